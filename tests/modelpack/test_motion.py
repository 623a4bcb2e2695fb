"""Synthetic moving footage: the flow it states must be the motion its frames show."""

import os
import tempfile
import unittest

import torch
import torch.nn.functional as F

from modelpack.encoding import log_encode
from modelpack.motion import MotionLimits, camera_path, occluded_clip, render_clip
from modelpack.sequence_ops import flow_padding, warp_by_flow
from modelpack.train_flow import (ClipPairs, FlowTrainConfig, axis_errors, fresh_network, make_optimizer,
                                  pad_pairs, train_flow, train_mode, training_step, widths_named)

from .helpers import configure_torch


def setUpModule():
    configure_torch()


def smooth_photo(height, width, seed):
    """A photograph-like picture with detail at several scales, linear light in 0 .. 1."""
    g = torch.Generator().manual_seed(seed)
    picture = torch.zeros(1, 3, height, width, dtype=torch.float64)
    for cells in (4, 9, 23):
        coarse = torch.rand(1, 3, cells, cells, generator=g, dtype=torch.float64)
        picture += F.interpolate(coarse, size=(height, width), mode="bicubic", align_corners=True) / 3
    return picture[0].clamp(0, 1)


class Motion(unittest.TestCase):
    def test_a_whole_pixel_pan_shifts_the_frames_and_states_that_shift(self):
        s, k = 2, 3  # k input pixels a frame to the right: the scene moves left in the frame
        maps = [torch.tensor([[1.0, 0.0, t * k * s], [0.0, 1.0, 0.0]], dtype=torch.float64) for t in range(3)]
        clip = render_clip(smooth_photo(64, 96, 1), maps, 12, 20, s)
        self.assertEqual(tuple(clip.truth.shape), (3, 3, 24, 40))
        self.assertEqual(tuple(clip.frames.shape), (3, 3, 12, 20))
        self.assertTrue(torch.equal(clip.flow[0], torch.zeros(2, 12, 20, dtype=torch.float64)))
        for t in (1, 2):
            torch.testing.assert_close(clip.flow[t, 0], torch.full((12, 20), float(k), dtype=torch.float64))
            torch.testing.assert_close(clip.flow[t, 1], torch.zeros(12, 20, dtype=torch.float64))
            torch.testing.assert_close(clip.frames[t, :, :, :-k], clip.frames[t - 1, :, :, k:])

    def test_warping_by_the_stated_flow_rebuilds_each_frame(self):
        s = 4
        limits = MotionLimits(shift=3.0, rotation=1.5, zoom=0.02)
        maps = camera_path(4, torch.Generator().manual_seed(5), limits, scale=s)
        clip = render_clip(smooth_photo(256, 320, 2), maps, 24, 32, s)
        inner = (slice(None), slice(4, -4), slice(4, -4))  # away from what enters at the borders
        for t in range(1, 4):
            moved = warp_by_flow(clip.frames[t - 1][None], clip.flow[t][None])[0]
            error = (moved - clip.frames[t])[inner].abs().mean()
            unmoved = (clip.frames[t - 1] - clip.frames[t])[inner].abs().mean()
            self.assertLess(error, 0.1 * unmoved, t)
            # The motion stays within its limit (a little more at the corners, from rotation and zoom).
            centre = clip.flow[t, :, 12, 16].norm()
            self.assertLessEqual(centre, limits.shift + 0.5, t)
            self.assertGreater(clip.flow[t].abs().max(), 0.0, t)

    def test_a_cut_out_crossing_the_scene_carries_its_own_motion(self):
        # Background panning right, a cut-out panning down over it: away from the matte's edge each
        # input pixel's flow is its own layer's, and warping by it rebuilds the frame.
        s, k = 2, 2
        back_maps = [torch.tensor([[1.0, 0.0, t * k * s], [0.0, 1.0, 0.0]], dtype=torch.float64) for t in range(2)]
        front_maps = [torch.tensor([[1.0, 0.0, 0.0], [0.0, 1.0, t * k * s]], dtype=torch.float64) for t in range(2)]
        matte = torch.zeros(1, 96, 96, dtype=torch.float64)
        matte[:, :, 48:] = 1.0   # the right half of the photograph, hard-edged
        front = torch.cat([smooth_photo(96, 96, 7) * matte, matte])
        clip = occluded_clip(smooth_photo(96, 96, 8), front, back_maps, front_maps, 16, 20, s)
        self.assertEqual(tuple(clip.frames.shape), (2, 3, 16, 20))
        flow = clip.flow[1]
        # The frame's left part shows the background, its right part the cut-out.
        torch.testing.assert_close(flow[:, :, :8], torch.tensor([float(k), 0.0]).view(2, 1, 1).expand(2, 16, 8).double())
        torch.testing.assert_close(flow[:, :, 12:], torch.tensor([0.0, float(k)]).view(2, 1, 1).expand(2, 16, 8).double())
        moved = warp_by_flow(clip.frames[0][None], flow[None])[0]
        for cols in (slice(1, 8), slice(12, 19)):
            error = (moved - clip.frames[1])[:, 3:-3, cols].abs().max()
            self.assertLess(error, 0.02, cols)

    def test_a_path_that_leaves_the_photograph_is_refused(self):
        maps = [torch.tensor([[1.0, 0.0, 0.0], [0.0, 1.0, 0.0]], dtype=torch.float64),
                torch.tensor([[1.0, 0.0, 40.0], [0.0, 1.0, 0.0]], dtype=torch.float64)]
        with self.assertRaises(ValueError):
            render_clip(smooth_photo(48, 64, 3), maps, 10, 14, 4)


class FlowTraining(unittest.TestCase):
    def test_the_padding_is_the_plug_ins(self):
        # Multiples of 8 and at least 128; a side already a multiple of 8 gains 8 when the other is not.
        # A training batch pads its frames so, with zeros, and knows its truth only inside the patch.
        for (h, w), padded in (((100, 200), (128, 208)), ((128, 128), (128, 128)), ((130, 136), (136, 144)),
                               ((136, 130), (144, 136)), ((64, 64), (128, 128)), ((121, 128), (128, 136))):
            bottom, right = flow_padding(h, w)
            self.assertEqual((h + bottom, w + right), padded, (h, w))
            frame, flow = torch.rand(1, 3, h, w) + 0.5, torch.rand(1, 2, h, w)
            current, previous, truth = pad_pairs([(frame, frame, flow), (frame, frame, flow)])
            self.assertEqual(tuple(current.shape), (2, 3) + padded)
            self.assertTrue(torch.equal(current[:, :, :h, :w], frame.expand(2, -1, -1, -1)))
            self.assertEqual(current.ne(0).sum().item(), 2 * 3 * h * w)
            self.assertEqual(torch.isfinite(truth).sum().item(), 2 * 2 * h * w)
            self.assertTrue(torch.equal(truth[:, :, :h, :w], flow.expand(2, -1, -1, -1)))
        with self.assertRaises(ValueError):  # one batch, one padded size
            pad_pairs([(torch.zeros(1, 3, 64, 64),) * 2 + (torch.zeros(1, 2, 64, 64),),
                       (torch.zeros(1, 3, 136, 64),) * 2 + (torch.zeros(1, 2, 136, 64),)])

    def test_flipped_and_transposed_pairs_state_the_motion_their_frames_show(self):
        # Warping the previous frame by the stated flow rebuilds the current one, whichever flips and
        # transposition the pair drew (eight pairs of this seed draw six of the eight combinations).
        pairs = ClipPairs([smooth_photo(240, 240, 6).float()], 64, 2, 4.0, seed=3, occlusion=0.0)
        for i in range(8):
            current, previous, flow = pairs.pair(40, 56)
            self.assertEqual(tuple(flow.shape), (1, 2, 40, 56))
            rebuilt = (warp_by_flow(previous, flow) - current)[..., 6:-6, 6:-6].abs().mean().item()
            unmoved = (previous - current)[..., 6:-6, 6:-6].abs().mean().item()
            self.assertLess(rebuilt, min(0.001, 0.5 * unmoved), i)

    def test_a_tiny_run_learns_resumes_and_writes_an_archive(self):
        import os
        import shutil
        import tempfile
        from .test_train import write_images
        tmp = tempfile.mkdtemp(prefix="modelpack-flow-")
        try:
            write_images(os.path.join(tmp, "images"), 2, 192, 30)
            write_images(os.path.join(tmp, "held"), 1, 192, 40)
            cfg = FlowTrainConfig(images=[os.path.join(tmp, "images")], held_out=[os.path.join(tmp, "held")],
                                  work=os.path.join(tmp, "work"), widths="tiny", steps=4, batch=2, patch=64,
                                  shift=6.0, train_shift=6.0,
                                  iterations=4, lr=1e-3, checkpoint_every=4, eval_clips=2)
            logs = []
            self.assertIsNotNone(train_flow(cfg, log=logs.append))
            cfg.steps = 8
            # Eight steps beat no axis of zero flow three times over: no archive.
            train_flow(cfg, os.path.join(tmp, "pack"), log=logs.append)
            self.assertIn("resuming FLWN at step 4 of 8", logs)
            self.assertFalse(os.path.exists(os.path.join(tmp, "pack", "FLWN.pt")))
            with open(os.path.join(cfg.work, "scores.tsv")) as f:
                rows = [l.split("\t") for l in f.read().splitlines()[1:]]
            self.assertEqual([int(r[0]) for r in rows], [0, 4, 8])
            for r in rows:  # zero flow's error on each axis: the motion itself
                self.assertGreater(min(float(r[2]), float(r[4]), float(r[6])), 0.0)
                self.assertEqual(r[7], "no")
            cfg.require = 0.0
            net = train_flow(cfg, os.path.join(tmp, "pack"), log=logs.append)
            archive = torch.jit.load(os.path.join(tmp, "pack", "FLWN.pt"))
            a, b = torch.rand(1, 3, 128, 128), torch.rand(1, 3, 128, 128)
            with torch.no_grad():
                torch.testing.assert_close(archive(a, b, torch.tensor([25.0])), net(a, b, torch.tensor([25.0])))
            # Scored and written with the transposed read: the archive's x is the y the same weights
            # find in the transposed pair, and the pack's file keeps the read.
            cfg.x_from_transpose, cfg.steps = True, 9
            net = train_flow(cfg, os.path.join(tmp, "across"), log=logs.append)
            archive = torch.jit.load(os.path.join(tmp, "across", "FLWN.pt"))
            iters = torch.tensor([4.0])
            with torch.no_grad():
                plain = net(a, b, iters)
                across = net(a.transpose(2, 3), b.transpose(2, 3), iters).transpose(2, 3)
                torch.testing.assert_close(archive(a, b, iters), torch.cat([across[:, 1:], plain[:, 1:]], 1))
            from modelpack.trained import delta_from_run, trained_fresh
            delta = delta_from_run(cfg.work, "FLWN", os.path.join(tmp, "FLWN.delta"), log=logs.append)
            self.assertTrue(trained_fresh("FLWN", lambda *_: None, delta).x_from_transpose)
            # Resumed with a weight average: the average is scored, written and delta'd; the latest
            # weights' axes join scores.tsv, its earlier rows padded.
            cfg.average, cfg.steps = 0.5, 12
            averaged = train_flow(cfg, os.path.join(tmp, "averaged"), log=logs.append)
            self.assertIn("  the weight average starts from the weights at step 9", logs)
            ckpt = torch.load(os.path.join(cfg.work, "checkpoint.pt"), weights_only=False)
            for key, value in ckpt["average"].items():
                self.assertTrue(torch.equal(averaged.state_dict()[key], value), key)
            self.assertFalse(all(torch.equal(ckpt["model"][k], v) for k, v in ckpt["average"].items()))
            archive = torch.jit.load(os.path.join(tmp, "averaged", "FLWN.pt"))
            with torch.no_grad():
                torch.testing.assert_close(archive(a, b, iters), averaged(a, b, iters))
            with open(os.path.join(cfg.work, "scores.tsv")) as f:
                table = [l.split("\t") for l in f.read().splitlines()]
            self.assertEqual(table[0][-3:], ["latest_epe", "latest_x", "latest_y"])
            self.assertEqual([int(r[0]) for r in table[1:]], [0, 4, 8, 9, 12])
            self.assertEqual({len(r) for r in table}, {11})
            self.assertEqual(table[-2][-3:], ["", "", ""])
            self.assertNotIn("", table[-1])
        finally:
            shutil.rmtree(tmp, ignore_errors=True)

    def test_the_loss_takes_the_axes_asked_for_over_the_unpadded_pixels(self):
        from modelpack.train_flow import sequence_loss
        # Truth known on a 2 x 3 patch of a 4 x 4 map; each update off by (dx, dy) everywhere.
        truth = torch.full((1, 2, 4, 4), float("nan"))
        truth[:, :, :2, :3] = 1.0
        flows = [torch.ones(1, 2, 4, 4) + torch.tensor([dx, dy]).view(1, 2, 1, 1) for dx, dy in ((2.0, -4.0), (1.0, 0.5))]
        gamma = 0.5
        for axes, expected in (("xy", 0.5 * (2 + 4) / 2 + (1 + 0.5) / 2), ("y", 0.5 * 4 + 0.5)):
            with self.subTest(axes=axes):
                self.assertAlmostEqual(sequence_loss(flows, truth, gamma, axes).item(), expected, places=6)

    def test_the_recipe_learns_both_axes_on_tiny_widths(self):
        # One batch of clip pairs learnt again and again with the trainer's own step (every update in
        # the loss, AdamW, clipping per group): the last update's error falls on each axis, well
        # below zero flow's, or the loss does not reach the flow on that axis.
        torch.manual_seed(0)
        pairs = ClipPairs([smooth_photo(200, 200, 6).float()], 64, 2, 6.0, seed=3)
        batch = pairs.batch(2)
        net = fresh_network(widths_named("tiny"), 1)
        train_mode(net)
        cfg = FlowTrainConfig(images=[], held_out=[], work="", iterations=4, lr=1e-2)
        opt = make_optimizer(net, cfg)
        errors = [training_step(net, opt, batch, cfg, cfg.lr)[1] for _ in range(40)]
        zero = axis_errors(torch.zeros_like(batch[2]), batch[2]).mean(0).tolist()
        for axis in (0, 1):
            with self.subTest(axis="xy"[axis]):
                late = sum(e[axis] for e in errors[-5:]) / 5
                self.assertLess(late, 0.7 * errors[0][axis])
                self.assertLess(late, 0.7 * zero[axis])

    def test_a_fresh_network_starts_with_its_update_gates_open(self):
        # Saturated gates pass almost no gradient: a network started so learns nothing.
        gates = []
        net = fresh_network(widths_named("narrow"), 1)
        hook = net.update_block.gru.convz1.register_forward_hook(lambda m, i, o: gates.append(torch.sigmoid(o)))
        frame = log_encode(smooth_photo(128, 128, 4).float())[None]
        with torch.no_grad():
            net.iterate(frame, torch.roll(frame, 2, 3), 2, False)
        hook.remove()
        z = torch.cat([g.flatten() for g in gates])
        self.assertGreater(((z > 0.05) & (z < 0.95)).float().mean().item(), 0.9)

    def test_a_network_reading_only_vertical_motion_reads_horizontal_motion_from_the_transposed_pair(self):
        # Scripted as the pack ships it, and kept through the trained pack's file.
        from modelpack import trained
        from modelpack.compact import write_delta
        net = fresh_network(widths_named("tiny"), 2).eval()
        with torch.no_grad():
            net.update_block.flow_head.conv2.weight.mul_(100.0)  # a flow well away from zero
        frame = log_encode(smooth_photo(128, 136, 5).float())[None]
        a, b = frame, torch.roll(frame, (1, 3), (2, 3))
        iters = torch.tensor([3.0])
        with torch.no_grad():
            plain = net(a, b, iters)
            across = net(a.transpose(2, 3), b.transpose(2, 3), iters).transpose(2, 3)
            with tempfile.TemporaryDirectory(prefix="modelpack-flow-") as tmp:
                path = os.path.join(tmp, "FLWN.delta")
                meta = {"widths": widths_named("tiny").as_dict(), "x_from_transpose": True}
                write_delta(net.state_dict(), trained.from_zero(net), path, meta, "f16")
                shipped = torch.jit.script(trained.trained_fresh("FLWN", lambda *_: None, path))
            got = shipped(a, b, iters)
        self.assertGreater(plain[:, 0].sub(across[:, 1]).abs().mean().item(), 0.1)  # the two differ
        torch.testing.assert_close(got[:, 0], across[:, 1], rtol=0.0, atol=1e-3)
        torch.testing.assert_close(got[:, 1], plain[:, 1], rtol=0.0, atol=1e-3)


if __name__ == "__main__":
    unittest.main()
