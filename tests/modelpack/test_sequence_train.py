"""Training the recurrent networks: the starting point, the loss reaching through the unroll, and a
tiny run end to end (the plug-in's steps themselves are compared in test_sequence_ops)."""

import os
import shutil
import tempfile
import unittest

import torch
import torch.nn.functional as F

from modelpack.codes import expected_signature
from modelpack.encoding import log_encode
from modelpack.sequence_ops import colour_variant, prepare_alpha_input
from modelpack import trained
from modelpack.compact import write_delta
from modelpack.trained import trained_fresh
from modelpack.train_sequence import (ClipSamples, clip_loss, fresh_network, sequence_from_archive, targets,
                                      temporal_error, unroll, with_alpha, at_4x)

from .helpers import configure_torch, run_cli
from .test_motion import smooth_photo
from .test_train import write_images

TINY_PACK = os.environ.get("MAGNIFEX_TINY_PACK", "")


def setUpModule():
    configure_torch()


def still_flow(current, previous):
    return torch.zeros_like(current[:, :2])


def blocky_photo(size, seed):
    """Flat cells with hard edges, linear light: detail bicubic cannot make."""
    g = torch.Generator().manual_seed(seed)
    cells = torch.rand(1, 3, size // 8, size // 8, generator=g)
    return F.interpolate(cells, size=(size, size), mode="nearest")[0] * 0.8 + 0.1


def bicubic(x, s):
    return F.interpolate(x, scale_factor=float(s), mode="bicubic", align_corners=False)


class Unroll(unittest.TestCase):
    def test_a_fresh_network_is_the_bicubic_upscale_of_each_frame_in_both_materials(self):
        # Whatever the state carries, a zero last layer adds nothing to the skip path.
        photo = smooth_photo(160, 160, 4).float()
        for material, channels in (("PA", 3), ("CG", 4)):
            for s in (2, 4):
                with self.subTest(material=material, scale=s):
                    clips = ClipSamples([photo], s, 6, 3, 2.0, material, True, seed=s)
                    inputs, truth = clips.batch(2)
                    self.assertEqual(tuple(inputs.shape), (3, 2, channels, 6, 6))
                    self.assertEqual(tuple(truth.shape), (3, 2, channels, 6 * s, 6 * s))
                    net = fresh_network(s, channels, 8, seed=1).eval()
                    with torch.no_grad():
                        results = unroll(net, still_flow, inputs, material, s)
                    for frame, got in zip(inputs, results):
                        if material == "PA":
                            torch.testing.assert_close(got, bicubic(log_encode(frame), s))
                            continue
                        main, colour = got
                        x = prepare_alpha_input(frame)
                        variant = torch.cat([colour_variant(x), torch.ones_like(x[:, :1])], 1)
                        torch.testing.assert_close(main, bicubic(x, s))
                        torch.testing.assert_close(colour, bicubic(variant, s))

    def test_a_plates_network_given_alpha_keeps_its_colour_and_upscales_alpha_bicubically(self):
        for s in (2, 4):
            with self.subTest(scale=s):
                plates = fresh_network(s, 3, 8, seed=s)
                with torch.no_grad():  # a trained network's last layer is not zero
                    plates.conv_out.weight.normal_(0.0, 0.05)
                    plates.conv_out.bias.normal_(0.0, 0.05)
                rgba = with_alpha(plates).eval()
                g = torch.Generator().manual_seed(s)
                colour, alpha = torch.rand(2, 3, 5, 7, generator=g), torch.rand(2, 1, 5, 7, generator=g)
                previous = torch.rand(2, 4, 5 * s, 7 * s, generator=g)
                # The previous result in blocks, as the node hands it over, RGBA and RGB alike.
                blocks = lambda x: F.pixel_unshuffle(x, s).reshape(2, x.shape[1], s * s, 5, 7).transpose(1, 2) \
                    .reshape(2, -1, 5, 7)  # noqa: E731
                with torch.no_grad():
                    got = rgba(torch.cat([colour, alpha], 1), blocks(previous))
                    want = plates.eval()(colour, blocks(previous[:, :3]))
                torch.testing.assert_close(got[:, :3], want)
                torch.testing.assert_close(got[:, 3:], bicubic(alpha, s))
        with self.assertRaises(ValueError):
            with_alpha(fresh_network(2, 4, 8, seed=1))

    def test_a_2x_network_taken_to_4x_sees_the_previous_result_averaged_to_2x_and_interpolates(self):
        # The 4x features at even positions are the 2x network's, at odd ones their midpoints.
        for channels in (3, 4):
            with self.subTest(channels=channels):
                net2 = fresh_network(2, channels, 8, seed=channels).eval()
                net4 = at_4x(net2).eval()
                g = torch.Generator().manual_seed(channels)
                lr, previous = torch.rand(1, channels, 5, 6, generator=g), torch.rand(1, channels, 20, 24, generator=g)

                def blocks(x, s):
                    return F.pixel_unshuffle(x, s).reshape(1, channels, s * s, 5, 6).transpose(1, 2) \
                        .reshape(1, -1, 5, 6)

                def features(net, prev, s):
                    x = torch.cat([lr, blocks(prev, s)], 1)
                    return net.conv_up(net.resblocks(net.conv_in(x)))
                with torch.no_grad():
                    got = features(net4, previous, 4)
                    want = features(net2, F.avg_pool2d(previous, 2), 2)
                torch.testing.assert_close(got[..., ::2, ::2], want)
                torch.testing.assert_close(got[..., 1:-1:2, ::2], (want[..., :-1, :] + want[..., 1:, :]) / 2)
        with self.assertRaises(ValueError):
            at_4x(fresh_network(4, 3, 8, seed=1))

    def test_cg_clips_carry_soft_premultiplied_alpha(self):
        clips = ClipSamples([smooth_photo(200, 200, 5).float()], 2, 24, 2, 2.0, "CG", True, seed=2)
        alphas = torch.cat([clips.clip()[1][:, 3] for _ in range(6)])
        self.assertTrue(((alphas > 0.05) & (alphas < 0.95)).any())   # soft edges
        self.assertTrue((alphas == 0).any() and (alphas == 1).any())  # and both sides of them
        _, truth = clips.clip()
        transparent = (truth[:, 3:4] == 0).expand(-1, 3, -1, -1)
        self.assertTrue(transparent.any())
        self.assertEqual(truth[:, :3][transparent].abs().max().item(), 0.0)   # premultiplied

    def test_the_loss_reaches_every_layer_through_the_unroll_and_falls(self):
        # One batch learnt again and again, through the warp and the space-to-depth of the state.
        torch.manual_seed(0)
        photo = blocky_photo(200, 6)
        for material, channels in (("PA", 3), ("CG", 4)):
            with self.subTest(material=material):
                clips = ClipSamples([photo], 2, 12, 3, 2.0, material, True, seed=3)
                inputs, truth = clips.batch(2)
                net = fresh_network(2, channels, 8, seed=1)
                opt = torch.optim.Adam(net.parameters(), lr=2e-3)
                losses = []
                for step in range(60):
                    loss = clip_loss(unroll(net, still_flow, inputs, material, 2), targets(truth, material), 1.0)
                    opt.zero_grad()
                    loss.backward()
                    if step == 3:  # once the last layer is no longer zero, the gradient reaches everything
                        missed = [n for n, p in net.named_parameters() if p.grad is None or not p.grad.abs().sum()]
                        self.assertEqual(missed, [])
                    opt.step()
                    losses.append(loss.item())
                self.assertLess(sum(losses[-5:]) / 5, 0.9 * sum(losses[:5]) / 5)

    def test_the_temporal_error_measures_flicker_not_motion(self):
        truth = [torch.full((1, 3, 4, 4), v) for v in (0.1, 0.2, 0.3)]
        self.assertAlmostEqual(temporal_error([t + 0.05 for t in truth], truth), 0.0, places=6)  # steady offset
        flicker = [truth[0], truth[1] + 0.1, truth[2]]
        self.assertAlmostEqual(temporal_error(flicker, truth), 0.1, places=6)


class TrainedPackRules(unittest.TestCase):
    def test_the_pack_takes_what_was_trained_and_keeps_each_pair_blendable(self):
        tmp = tempfile.mkdtemp(prefix="modelpack-rules-")
        saved = trained.TRAINED_DIR
        try:
            trained.TRAINED_DIR = tmp
            quiet = lambda *_: None  # noqa: E731
            # Nothing trained: zero flow (cheaply), the reference recurrent networks.
            flow, _ = trained.sequence_or_flow("FLWN", quiet)
            a = torch.rand(1, 3, 128, 128)
            self.assertEqual(flow(a, a.flip(3), torch.tensor([25.0])).abs().max().item(), 0.0)
            self.assertIsNone(trained.sequence_or_flow("4PAsrG", quiet)[0])
            # A PSNR end alone: both ends of the pair are that network.
            net = fresh_network(4, 3, 8, seed=3)
            with torch.no_grad():
                net.conv_out.weight.normal_(0.0, 0.1)
            write_delta(net.state_dict(), trained.from_zero(net), trained.delta_path("4PAsrP"),
                        {"features": 8}, "f16")
            for code in ("4PAsrP", "4PAsrG"):
                got, _ = trained.sequence_or_flow(code, quiet)
                for name, value in net.state_dict().items():
                    torch.testing.assert_close(got.state_dict()[name], value, rtol=1e-3, atol=1e-4)
            self.assertIsNone(trained.sequence_or_flow("4CGsrG", quiet)[0])   # CG: its own pair
        finally:
            trained.TRAINED_DIR = saved
            shutil.rmtree(tmp, ignore_errors=True)


@unittest.skipUnless(TINY_PACK, "needs MAGNIFEX_TINY_PACK (ctest passes it)")
class TrainingRun(unittest.TestCase):
    def test_both_ends_train_resume_and_write_archives_of_the_family(self):
        tmp = tempfile.mkdtemp(prefix="modelpack-seq-")
        try:
            images = os.path.join(tmp, "images")
            write_images(images, 2, 256, 30)
            pack = os.path.join(tmp, "pack")
            common = ["--images", images, "--held-out", images, "--flow", TINY_PACK, "--features", "4",
                      "--patch", "8", "--frames", "2", "--batch", "1", "--shift", "2", "--float32"]
            work = os.path.join(tmp, "p")
            rc, _, err = run_cli("train", "--code", "2PAsrP", "--work", work, "--steps", "2",
                                 "--checkpoint-every", "1", *common)
            self.assertEqual(rc, 0, err)
            rc, _, err = run_cli("train", "--code", "2PAsrP", "--work", work, "--steps", "3", "--out", pack, *common)
            self.assertEqual(rc, 0, err)
            self.assertIn("resuming 2PAsrP at step 2 of 3", err + _)
            with open(os.path.join(work, "scores.tsv")) as f:
                self.assertEqual(len(f.read().splitlines()), 1 + 4)   # header, steps 0, 1, 2, 3
            # The detail end from the PSNR end, following the tiny pack's still detail network.
            rc, _, err = run_cli("train", "--code", "2PAsrG", "--work", os.path.join(tmp, "g"), "--steps", "2",
                                 "--parent", pack, "--teacher", TINY_PACK, "--out", pack, *common)
            self.assertEqual(rc, 0, err)
            for code in ("2PAsrP", "2PAsrG"):
                net, meta = sequence_from_archive(os.path.join(pack, code + ".pt"))
                self.assertEqual(meta["code"], code)
                self.assertEqual((net.scale, net.conv_in[0].out_channels), (2, 4))
                count, first, _, _, last = expected_signature(code)
                names = [n for n, _ in net.named_parameters()]
                self.assertEqual((len(names), names[0], names[-1]), (count, first, last))
            # Kept as the trained pack keeps it: whole, in half precision, widths in the header.
            delta = os.path.join(tmp, "2PAsrP.delta")
            rc, _, err = run_cli("delta", "--work", work, "--code", "2PAsrP", "--out", delta)
            self.assertEqual(rc, 0, err)
            kept = trained_fresh("2PAsrP", log=lambda *_: None, path=delta)
            trained, _ = sequence_from_archive(os.path.join(pack, "2PAsrP.pt"))
            for name, value in trained.state_dict().items():
                torch.testing.assert_close(kept.state_dict()[name], value, rtol=1e-3, atol=1e-4)
            rc, _, err = run_cli("train", "--code", "2PAsrG", "--work", os.path.join(tmp, "g2"), "--steps", "1",
                                 *common)
            self.assertEqual(rc, 1)
            self.assertIn("give --parent", err)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
