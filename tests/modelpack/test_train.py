"""Training still networks: the encodings against known values, the degradations against what a
resampler must preserve, compact deltas, and a few training steps at tiny widths end to end."""

import os
import shutil
import signal
import subprocess
import tempfile
import unittest

import torch

from modelpack import degrade
from modelpack.compact import DeltaError, apply_delta, read_delta, write_delta
from modelpack.encoding import (compress_highlights, expand_highlights, log_decode, log_encode, srgb_decode,
                                srgb_encode)
from modelpack.still import StillNet
from modelpack.stillnets import area_two_x, save_still, still_from_archive
from modelpack.train import StillTask, TrainConfig, box, loss_fn, train
from modelpack.train_flow import FlowTask, FlowTrainConfig
from modelpack.train_loop import Scored, run
from modelpack.train_sequence import SequenceTask, SequenceTrainConfig

from .helpers import configure_torch, cpp_style_names

TMP = None


def setUpModule():
    global TMP
    configure_torch()
    TMP = tempfile.mkdtemp(prefix="modelpack-train-")


def tearDownModule():
    shutil.rmtree(TMP, ignore_errors=True)


class Encodings(unittest.TestCase):
    def test_log_curve_meets_the_published_points_and_inverts(self):
        # LogC3 at EI 800: 18 % grey at 0.391, diffuse white at 0.5706; black at 0.0928.
        for linear, code in ((0.18, 0.3910), (1.0, 0.5706), (0.0, 0.0928)):
            self.assertAlmostEqual(log_encode(torch.tensor(linear)).item(), code, places=3)
        x = torch.tensor([-0.02, 0.0, 0.005, 0.010591, 0.18, 1.0, 16.0, 55.0])
        torch.testing.assert_close(log_decode(log_encode(x)), x, rtol=2e-5, atol=1e-6)

    def test_srgb_curve_is_the_standard_one_and_extends_beyond_unit_range(self):
        self.assertAlmostEqual(srgb_encode(torch.tensor(0.18)).item(), 0.4614, places=3)
        self.assertAlmostEqual(srgb_encode(torch.tensor(0.002)).item(), 0.002 * 12.92, places=6)
        x = torch.tensor([-0.5, -0.001, 0.0, 0.002, 0.5, 1.0, 4.0])
        torch.testing.assert_close(srgb_decode(srgb_encode(x)), x, rtol=1e-5, atol=1e-7)

    def test_the_srgb_adapter_keeps_flat_light_of_any_level(self):
        # Any interpolating layers map a flat patch to itself, so a flat LogC input must come back
        # unchanged, highlights and negatives included, whichever way highlights go.
        for knee in (1.0, 0.5):
            net = StillNet(4, 3, 1, srgb_core=True, highlight_knee=knee)
            net.layers = lambda x: torch.nn.functional.interpolate(x, scale_factor=4.0, mode="nearest")
            for linear in (-0.01, 0.0, 0.18, 1.0, 6.0):
                with self.subTest(knee=knee, linear=linear):
                    x = log_encode(torch.full((1, 3, 5, 7), linear))
                    torch.testing.assert_close(net(x), log_encode(torch.full((1, 3, 20, 28), linear)),
                                               rtol=1e-4, atol=1e-5)

    def test_the_highlight_shoulder_keeps_light_below_its_knee_and_inverts_above_it(self):
        # (knee, linear, squeezed): the shoulder is k + (1 - k) u / (1 + u), u = (v - k) / (1 - k).
        for knee, linear, squeezed in ((0.5, 0.3, 0.3), (0.5, 0.5, 0.5), (0.5, 1.0, 0.75),
                                       (0.5, 2.0, 0.875), (0.8, 1.0, 0.9), (0.8, 40.8, 0.999005)):
            with self.subTest(knee=knee, linear=linear):
                c = compress_highlights(torch.tensor([linear]), knee)
                self.assertAlmostEqual(c.item(), squeezed, places=5)
                self.assertAlmostEqual(expand_highlights(c, knee).item(), linear, delta=1e-4 * linear)
        # Slope 1 on both sides of the knee: no kink for the layers to turn into an edge.
        for knee in (0.5, 0.8):
            v = torch.tensor([knee - 1e-3, knee, knee + 1e-3], dtype=torch.float64)
            c = compress_highlights(v, knee)
            self.assertAlmostEqual(((c[2] - c[1]) / (c[1] - c[0])).item(), 1.0, places=2)
        self.assertLess(compress_highlights(torch.tensor([1e6]), 0.5).item(), 1.0)

    def test_only_a_knee_below_1_lets_the_layers_shape_highlights(self):
        # An edge between two highlights (2 and 4, both above 1), through layers that upscale by
        # nearest neighbour: carried past the layers it comes back as its bicubic upscale; seen by
        # them, it keeps their hard step in the detail band.
        linear = torch.full((1, 3, 8, 8), 2.0)
        linear[..., 4:] = 4.0
        bicubic = torch.nn.functional.interpolate(linear, scale_factor=4.0, mode="bicubic", align_corners=False)
        for knee, like_bicubic in ((1.0, True), (0.5, False)):
            with self.subTest(knee=knee):
                net = StillNet(4, 3, 1, srgb_core=True, highlight_knee=knee)
                net.layers = lambda x: torch.nn.functional.interpolate(x, scale_factor=4.0, mode="nearest")
                out = log_decode(net(log_encode(linear)))
                gap = (out - bicubic).abs().max().item()
                if like_bicubic:
                    self.assertLess(gap, 1e-3)
                else:
                    self.assertGreater(gap, 0.1)


    def test_the_colour_anchor_removes_a_cast_and_keeps_finer_detail(self):
        # Layers that darken by 5 % (a cast) and add a one-pixel checkerboard (detail).
        net = StillNet(4, 3, 1, srgb_core=True)
        checker = ((torch.arange(64).view(1, -1) + torch.arange(48).view(-1, 1)) % 2).float() * 0.04 - 0.02
        def layers(x):
            up = torch.nn.functional.interpolate(x, scale_factor=4.0, mode="bicubic", align_corners=False)
            return srgb_encode(srgb_decode(up) * 0.95) + checker
        net.layers = layers
        linear = 0.05 + 0.4 * torch.rand(1, 3, 12, 16)
        out = log_decode(net(log_encode(linear)))
        bicubic = torch.nn.functional.interpolate(linear, scale_factor=4.0, mode="bicubic", align_corners=False)
        means = out.mean(dim=(2, 3)) / bicubic.mean(dim=(2, 3))
        torch.testing.assert_close(means, torch.ones_like(means), rtol=0, atol=5e-3)  # from 5 % to within 0.5 %
        detail = (out - bicubic)[..., 8:-8, 8:-8]
        self.assertGreater(detail.abs().mean().item(), 0.005)  # the checkerboard survives


class Degradations(unittest.TestCase):
    def test_every_kernel_keeps_flat_areas_and_linear_ramps(self):
        # A normalised symmetric kernel reproduces a ramp at the output pixel centres
        # (j + 0.5) * s - 0.5, away from the replicated border.
        for scale in (2, 4):
            w = 16 * scale
            ramp = torch.arange(w, dtype=torch.float32).view(1, 1, 1, w).expand(1, 3, w, w)
            centres = (torch.arange(16, dtype=torch.float32) + 0.5) * scale - 0.5
            for kernel in degrade.KERNELS:
                with self.subTest(scale=scale, kernel=kernel):
                    flat = degrade.downscale(torch.full((1, 3, w, w), 0.3), scale, kernel)
                    self.assertEqual(tuple(flat.shape), (1, 3, 16, 16))
                    torch.testing.assert_close(flat, torch.full_like(flat, 0.3))
                    out = degrade.downscale(ramp, scale, kernel)[0, 0, 8, 3:13]
                    torch.testing.assert_close(out, centres[3:13], rtol=0, atol=1e-3)

    def test_quantisation_lands_on_8_bit_srgb_codes_and_spares_highlights(self):
        x = torch.tensor([[[[0.0, 0.18, 0.5, 1.0, 3.0]]]]).expand(1, 3, 1, 5)
        y = degrade.apply(x.repeat(1, 1, 2, 2), 1, degrade.Degradation("area", quantise=True))
        codes = srgb_encode(y[0, 0, 0, :4]) * 255
        torch.testing.assert_close(codes, codes.round(), rtol=0, atol=1e-3)
        self.assertEqual(y[0, 0, 0, 4].item(), 3.0)


class Deltas(unittest.TestCase):
    def test_round_trip_damage_and_mismatch(self):
        parent = StillNet(4, 3, 1).state_dict()
        child = {k: v + 0.01 * torch.randn_like(v) if k.startswith("body.2.") else v.clone() for k, v in parent.items()}
        for encoding in ("q8", "f16"):
            path = os.path.join(TMP, "%s.delta" % encoding)
            changed = write_delta(child, parent, path, {"summary": "test"}, encoding)
            self.assertEqual(changed, 30)        # one block's 30 tensors, nothing else stored
            meta, rebuilt = apply_delta(parent, path)
            self.assertEqual(meta["summary"], "test")
            for k in child:
                # Within half a step: of 1/127 of a channel's largest difference (q8), of half
                # precision (f16).
                d = (child[k] - parent[k]).reshape(child[k].shape[0], -1).abs().amax(1) if child[k].dim() \
                    else (child[k] - parent[k]).abs().reshape(1)
                step = (d / 127.0 if encoding == "q8" else d * 2.0 ** -10).max().item()
                self.assertLessEqual((rebuilt[k] - child[k]).abs().max().item(), step / 2 + 1e-7, k)
        with open(path, "rb") as f:
            blob = f.read()
        for name, bad in (("cut", blob[:-40]), ("not-delta", b"PK" + blob[2:])):
            p = os.path.join(TMP, name + ".delta")
            with open(p, "wb") as f:
                f.write(bad)
            with self.subTest(name), self.assertRaises(DeltaError):
                read_delta(p)
        with self.assertRaises(DeltaError):
            apply_delta(StillNet(4, 4, 1).state_dict(), path)


def write_images(folder, count, size, seed):
    """Small photographs-like PNGs made with oiiotool: smooth noise with some edges."""
    os.makedirs(folder, exist_ok=True)
    for i in range(count):
        subprocess.run(["oiiotool", "--pattern", "noise:type=uniform:min=0.1:max=0.9:seed=%d" % (seed + i),
                        "%dx%d" % (size // 8, size // 8), "3", "--resize:filter=catmull-rom",
                        "%dx%d" % (size, size), "-d", "uint8",
                        "-o", os.path.join(folder, "im%02d.png" % i)], check=True)


class TrainingRun(unittest.TestCase):
    def test_a_tiny_run_learns_resumes_and_writes_a_pack(self):
        images = os.path.join(TMP, "images")
        held = os.path.join(TMP, "held")
        write_images(images, 3, 64, 10)
        write_images(held, 1, 64, 20)
        work = os.path.join(TMP, "work")
        pack = os.path.join(TMP, "pack")
        cfg = TrainConfig(code="4PstP", images=[images], held_out=[held], work=work, parent="",
                          steps=6, batch=2, patch=8, lr=1e-3, checkpoint_every=3, widths=[4, 2],
                          eval_crop=32, eval_per_image=1, bf16=False)
        logs = []
        first = train(cfg, log=logs.append)
        self.assertIsNotNone(first)
        self.assertEqual(torch.load(os.path.join(work, "checkpoint.pt"), weights_only=False)["step"], 6)
        cfg.steps, cfg.average = 40, 0.5   # resumed with a weight average: the average is what comes out
        net = train(cfg, pack, log=logs.append)
        self.assertIn("resuming 4PstP at step 6 of 40", logs)
        last = torch.load(os.path.join(work, "checkpoint.pt"), weights_only=False)
        for k, v in net.state_dict().items():
            torch.testing.assert_close(v, last["average"][k])
        self.assertFalse(torch.equal(last["model"]["conv_first.weight"], last["average"]["conv_first.weight"]))
        with open(os.path.join(work, "scores.tsv")) as f:
            rows = [l.split("\t") for l in f.read().splitlines()[1:]]
        self.assertEqual([int(r[0]) for r in rows], [0, 3, 6, 9, 12, 15, 18, 21, 24, 27, 30, 33, 36, 39, 40])
        # The start (a smooth upscale with random parts) is well below bicubic; training gains on it.
        self.assertGreater(float(rows[-1][1]), float(rows[0][1]) + 1.0)
        # best.pt holds the checkpoint of the highest gain, across the resume.
        gains = {int(r[0]): float(r[1]) - float(r[2]) for r in rows}
        best = torch.load(os.path.join(work, "best.pt"), weights_only=False)
        self.assertEqual(best["step"], max(gains, key=gains.get))
        self.assertEqual(best["history"][-1]["step"], best["step"])
        if best["step"] > 6:
            self.assertEqual(set(best["model"]), set(best["average"]))
            self.assertTrue(all(torch.equal(best["model"][k], best["average"][k]) for k in best["model"]))
        for code in ("4PstP", "4CGstP"):
            archive = torch.jit.load(os.path.join(pack, code + ".pt"))
            self.assertEqual(len(cpp_style_names(archive)), 702)
            x = torch.rand(1, 3, 5, 6)
            with torch.no_grad():
                torch.testing.assert_close(archive(x), net(x))

    def test_the_detail_end_keeps_the_parents_high_band(self):
        # A detail-end run learns from its parent; where the output's high band is the parent's,
        # only the low band's distance to the truth is left to pay.
        images = os.path.join(TMP, "images-g")
        write_images(images, 2, 48, 40)
        parent = StillNet(4, 3, 1)
        from modelpack.weights import still_tiny
        still_tiny(parent, "G", "detail-test")
        path = os.path.join(TMP, "parent-g.pt")
        save_still(parent, path, {})
        cfg = TrainConfig(code="4PstG", images=[images], held_out=[], work=os.path.join(TMP, "work-g"),
                          parent=path, steps=2, batch=2, patch=8, lr=1e-3, bf16=False)
        net = train(cfg, log=lambda *a: None)
        self.assertEqual(len(cpp_style_names(torch.jit.script(net))), 702)
        out, hr = torch.rand(1, 3, 16, 16), torch.rand(1, 3, 16, 16)
        low_only = (box(out, 2) - box(hr, 2)).abs().mean()
        torch.testing.assert_close(loss_fn("G", out, hr, 4, teacher=out.clone()), low_only)

    def test_the_area_layout_is_the_4x_network_area_downscaled_in_linear_light(self):
        for srgb_core in (False, True):
            net4 = StillNet(4, 4, 2, srgb_core=srgb_core)
            torch.manual_seed(0)
            with torch.no_grad():
                for p in net4.parameters():
                    p.uniform_(-0.1, 0.1)
            net2 = area_two_x(net4)
            self.assertEqual(len(cpp_style_names(torch.jit.script(net2))), 702)
            # Odd sizes, and values past 1.0 linear in the sRGB domain.
            x = torch.rand(1, 3, 7, 9) * 0.7
            with torch.no_grad():
                out2, out4 = net2(x), net4(x)
            self.assertEqual(tuple(out2.shape), (1, 3, 14, 18))
            area = torch.nn.functional.avg_pool2d(log_decode(out4), 2)
            if srgb_core:
                # Light past the sRGB range is carried by bicubic at each network's own scale.
                self.assertLess((log_decode(out2) - area).abs().mean().item(), 0.01)
            else:
                torch.testing.assert_close(log_decode(out2), area, rtol=1e-5, atol=1e-6)

    def test_an_archive_reads_back_in_its_layout_and_highlight_treatment(self):
        torch.manual_seed(3)
        for knee in (1.0, 0.6):
            with self.subTest(knee=knee):
                net2 = area_two_x(StillNet(4, 4, 2, srgb_core=True, highlight_knee=knee)).eval()
                path = os.path.join(TMP, "2PstP-area.pt")
                save_still(net2, path, {"code": "2PstP"})
                again, meta = still_from_archive(path)
                self.assertEqual((again.scale, again.area, again.highlight_knee, meta["layout"]),
                                 (2, True, knee, "area"))
                x = torch.rand(1, 3, 6, 5) * 0.7   # LogC 0.7: linear 3.8, a highlight
                with torch.no_grad():
                    torch.testing.assert_close(again(x), net2(x))

    def test_an_srgb_archive_runs_under_cpu_bfloat16_autocast_as_the_plug_in_runs_it(self):
        torch.manual_seed(2)
        net = StillNet(4, 4, 2, srgb_core=True).eval()
        with torch.no_grad():
            for p in net.parameters():
                p.uniform_(-0.05, 0.05)
        archive = torch.jit.script(net)
        # Channels-last, as the plug-in hands inputs to CPU passes.
        x = (torch.rand(1, 3, 24, 32) * 0.6).contiguous(memory_format=torch.channels_last)
        with torch.no_grad():
            full = archive(x)
            with torch.autocast("cpu", dtype=torch.bfloat16):
                half = archive(x)
        self.assertEqual(half.shape, full.shape)
        self.assertLess((half.float() - full).abs().max().item(), 0.02)


class LoopRules(unittest.TestCase):
    def test_a_run_stopped_by_a_signal_resumes_to_what_an_unstopped_run_reaches(self):
        images = os.path.join(TMP, "images-loop")
        write_images(images, 2, 64, 50)
        families = (
            ("still", StillTask, lambda work: TrainConfig(
                code="4PstP", images=[images], held_out=[], work=work, parent="", steps=4, batch=2, patch=8,
                lr=1e-3, widths=[4, 2], bf16=False)),
            ("flow", FlowTask, lambda work: FlowTrainConfig(
                images=[images], held_out=[], work=work, widths="tiny", steps=4, batch=1, patch=32, scale=1,
                train_shift=2.0, iterations=2, require=0.0)),
        )
        for name, task_type, config in families:
            with self.subTest(name):
                straight = run(task_type(config(os.path.join(TMP, "loop-%s-straight" % name))), log=lambda *_: None)

                class StoppedAfterTwo(task_type):
                    def step(self, step):
                        loss = super().step(step)
                        if step == 1:
                            os.kill(os.getpid(), signal.SIGTERM)
                        return loss
                # Stopped by a signal, or paused by --until: either way a checkpoint at step 2 that
                # resumes to the unstopped run's weights.
                work = os.path.join(TMP, "loop-%s-stopped" % name)
                self.assertIsNone(run(StoppedAfterTwo(config(work)), log=lambda *_: None))
                paused = os.path.join(TMP, "loop-%s-paused" % name)
                self.assertIsNotNone(run(task_type(config(paused)), log=lambda *_: None, until=2))
                for folder in (work, paused):
                    self.assertEqual(torch.load(os.path.join(folder, "checkpoint.pt"), weights_only=False)["step"], 2)
                    resumed = run(task_type(config(folder)), log=lambda *_: None)
                    for key, value in straight.state_dict().items():
                        self.assertTrue(torch.equal(resumed.state_dict()[key], value), key)

    def test_the_weight_average_weighs_each_step_by_the_decay_to_the_power_of_its_age(self):
        from modelpack.train_loop import WeightAverage

        class Net(torch.nn.Module):
            def __init__(self):
                super().__init__()
                self.w = torch.nn.Parameter(torch.zeros(3))
                self.register_buffer("stat", torch.zeros(1))
        net = Net()
        steps = [torch.tensor([1.0, -2.0, 4.0]), torch.tensor([3.0, 0.0, -1.0]), torch.tensor([0.5, 8.0, 2.0])]
        start = torch.tensor([2.0, 2.0, 2.0])
        for decay in (0.5, 0.9, 0.999):
            with self.subTest(decay=decay):
                with torch.no_grad():
                    net.w.copy_(start)
                average = WeightAverage(net, decay)
                for i, w in enumerate(steps):
                    with torch.no_grad():
                        net.w.copy_(w)
                        net.stat.fill_(i)
                    average.update(net)
                n = len(steps)
                expected = decay ** n * start + sum((1 - decay) * decay ** (n - 1 - k) * w for k, w in enumerate(steps))
                torch.testing.assert_close(average.net.w, expected)
                self.assertEqual(average.net.stat.item(), n - 1)  # buffers as they stand
                self.assertFalse(average.net.w.requires_grad)
        with self.assertRaises(ValueError):
            WeightAverage(net, 1.0)

    def test_a_still_run_keeps_the_checkpoint_of_its_highest_held_out_gain(self):
        # (held-out PSNR at each checkpoint, bicubic at 30): a later tie does not replace the best.
        for psnrs, best_step in (((30.5, 30.9, 30.7, 30.9, 30.8), 1), ((29.0, 28.5), 0), ((30.1, 30.2, 30.3), 2)):
            with self.subTest(psnrs=psnrs):
                work = tempfile.mkdtemp(dir=TMP)
                task = StillTask(TrainConfig(code="4PstP", images=[], held_out=[], work=work, parent=""))
                task.net, task.widths, task.average, task.best = StillNet(4, 4, 2), [4, 2], None, None
                for step, psnr in enumerate(psnrs):
                    task.scored(step, Scored({"psnr": psnr, "psnr_bicubic": 30.0}, (), (), ""),
                                {"step": step, "history": []})
                self.assertEqual(torch.load(os.path.join(work, "best.pt"), weights_only=False)["step"], best_step)

    def test_a_checkpoint_of_another_run_is_refused_and_left_as_it_was(self):
        still = dict(images=[], held_out=[], parent="")
        flow = dict(images=[], held_out=[])
        cases = (  # (task, config of the checkpoint found, the refusal)
            (lambda w: StillTask(TrainConfig(code="4PstG", work=w, **still)), {"code": "4PstP"},
             "holds a 4PstP run; this run trains 4PstG (use another --work)"),
            (lambda w: StillTask(TrainConfig(code="4PstP", work=w, highlight_knee=0.5, **still)), {"code": "4PstP"},
             "holds a run with highlight knee 1, not 0.5 (use another --work)"),
            (lambda w: SequenceTask(SequenceTrainConfig(code="2PAsrP", work=w, flow="FLWN.pt", **flow)),
             {"code": "4PstP"}, "holds a 4PstP run; this run trains 2PAsrP (use another --work)"),
            (lambda w: FlowTask(FlowTrainConfig(work=w, **flow)), {"code": "FLWN", "widths": "tiny", "recipe": 2},
             "holds another run (FLWN, tiny widths); use another --work"),
            (lambda w: FlowTask(FlowTrainConfig(work=w, **flow)), {"code": "FLWN", "widths": "narrow",
                                                                  "iterations": 8},
             "holds a run of the earlier flow recipe (Adam with coupled weight decay, 8 updates"),
        )
        for i, (task, saved, refusal) in enumerate(cases):
            with self.subTest(refusal):
                work = os.path.join(TMP, "refused-%d" % i)
                os.makedirs(work)
                path = os.path.join(work, "checkpoint.pt")
                torch.save({"step": 5, "config": saved}, path)
                with open(path, "rb") as f:
                    before = f.read()
                with self.assertRaises(ValueError) as caught:
                    run(task(work), log=lambda *_: None)
                self.assertIn(path + " " + refusal, str(caught.exception))
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), before)
                self.assertEqual(sorted(os.listdir(work)), ["checkpoint.pt"])


if __name__ == "__main__":
    unittest.main()
