"""Importer: checkpoints in the published layouts become archives that
compute what the checkpoint's network computes; anything else is refused
with a report and no archive."""

import os
import shutil
import tempfile
import unittest

import torch

from modelpack.flow import FlowNet, FlowWidths
from modelpack.importer import ImportMismatch, import_checkpoint
from modelpack.sequence import SequenceNet
from modelpack.still import StillNet

from .helpers import configure_torch, cpp_style_names, run_cli, smooth_image

FLOW_WIDTHS = FlowWidths(enc=(4, 6, 8), fdim=8, hdim=4, cdim=6, corr1=8, corr2=6, flow1=4,
                         flow2=4, motion=10, head=8, mask=8)
TMP = None


def setUpModule():
    global TMP
    configure_torch()
    TMP = tempfile.mkdtemp(prefix="modelpack-import-")


def tearDownModule():
    shutil.rmtree(TMP, ignore_errors=True)


def randomised(net, seed):
    g = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for t in list(net.parameters()) + [b for n, b in net.named_buffers() if "running" in n]:
            t.copy_(torch.rand(t.shape, generator=g) * 0.4 - 0.2 if t.dim() > 1
                    else torch.rand(t.shape, generator=g) * 0.5 + 0.5)
    return net.eval()


def save(obj, name):
    path = os.path.join(TMP, name)
    torch.save(obj, path)
    return path


def quiet(*args, **kwargs):
    return import_checkpoint(*args, log=lambda *a: None, **kwargs)


class PublishedLayouts(unittest.TestCase):
    def check_archive(self, path, net, *inputs):
        archive = torch.jit.load(path)
        self.assertEqual(len(cpp_style_names(archive)), len(cpp_style_names(torch.jit.script(net))))
        with torch.no_grad():
            torch.testing.assert_close(archive(*inputs), net(*inputs))

    def test_still_under_params_ema_is_preferred(self):
        for scale, code in ((4, "4PstG"), (2, "2CGstP")):
            with self.subTest(code=code):
                net = randomised(StillNet(scale, 4, 2), scale)
                other = {k: torch.zeros_like(v) for k, v in net.state_dict().items()}
                ckpt = save({"params": other, "params_ema": net.state_dict()}, "still%d.pth" % scale)
                out = os.path.join(TMP, "pack-still")
                path = quiet(ckpt, code, out, family="still", scale=scale)
                self.assertEqual(path, os.path.join(out, code + ".pt"))
                self.check_archive(path, net, smooth_image(5, 3))

    def test_flow_with_module_prefix_shared_norms_and_buffers(self):
        net = randomised(FlowNet(FLOW_WIDTHS), 7)
        state = {"module." + k: v for k, v in net.state_dict().items()
                 if ".downsample.1." not in k and "num_batches_tracked" not in k}
        self.assertTrue(any(".norm3.running_var" in k for k in state))
        path = quiet(save(state, "flow.pth"), "FLWN", os.path.join(TMP, "pack-flow"))
        a = smooth_image(64, 72)
        self.check_archive(path, net, a, torch.roll(a, 1, 2), torch.tensor([4.0]))

    def test_sequence_under_params(self):
        net = randomised(SequenceNet(2, 4, 4), 3)
        path = quiet(save({"params": net.state_dict()}, "seq.pth"), "2CGsrP",
                     os.path.join(TMP, "pack-seq"))
        self.check_archive(path, net, smooth_image(4, 6, 4), smooth_image(4, 6, 16))


class FlowConventions(unittest.TestCase):
    """Orders that published flow weights depend on."""

    def test_correlation_window_has_x_offsets_outer(self):
        net = FlowNet(FLOW_WIDTHS)
        h, w = 16, 20
        ys, xs = torch.meshgrid(torch.arange(h), torch.arange(w), indexing="ij")
        level0 = (100.0 * xs + ys).float().expand(h * w, 1, h, w).contiguous()
        pyramid = [level0] + [torch.zeros(h * w, 1, h >> i, w >> i) for i in (1, 2, 3)]
        coords = torch.stack([xs, ys]).float().unsqueeze(0)
        corr = net._lookup(pyramid, coords)
        self.assertEqual(tuple(corr.shape), (1, 4 * 81, h, w))
        y0, x0 = 7, 9
        for dx, dy in ((-4, -4), (-4, 3), (2, -1), (4, 4)):
            self.assertEqual(corr[0, (dx + 4) * 9 + (dy + 4), y0, x0].item(),
                             100.0 * (x0 + dx) + (y0 + dy))

    def test_convex_upsampling_mask_layout(self):
        flow = torch.arange(2 * 3 * 4, dtype=torch.float32).reshape(1, 2, 3, 4)
        for k, (oy, ox) in ((4, (0, 0)), (5, (0, 1)), (1, (-1, 0))):
            mask = torch.zeros(1, 576, 3, 4)
            mask[:, k * 64:(k + 1) * 64] = 50.0      # 9 neighbours outer, then 8x8 fine pixels
            up = FlowNet._upsample(flow, mask)
            with self.subTest(neighbour=k):
                self.assertEqual(tuple(up.shape), (1, 2, 24, 32))
                torch.testing.assert_close(up[0, :, 8 * 1 + 5, 8 * 2 + 3], 8 * flow[0, :, 1 + oy, 2 + ox])


class Refusals(unittest.TestCase):
    def refused(self, state, code, *words, **kwargs):
        out = os.path.join(TMP, "refused")
        with self.assertRaises(ImportMismatch) as ctx:
            quiet(save(state, "bad.pth"), code, out, **kwargs)
        for w in words:
            self.assertIn(w, str(ctx.exception))
        self.assertFalse(os.path.exists(os.path.join(out, code + ".pt")))
        return str(ctx.exception)

    def test_missing_unexpected_and_mismatched_entries_are_listed(self):
        state = StillNet(4, 4, 2).state_dict()
        del state["body.7.rdb2.conv3.bias"]
        state["body.5.rdb1.conv2.weight"] = torch.zeros(2, 7, 3, 3)
        state["conv_extra.weight"] = torch.zeros(1)
        self.refused(state, "4PstP", "missing (1)", "body.7.rdb2.conv3.bias", "unexpected (1)",
                     "conv_extra.weight", "shape mismatch (1)", "body.5.rdb1.conv2.weight")

    def test_fixed_counts_are_enforced(self):
        self.refused(SequenceNet(4, 3, 4, nb=10).state_dict(), "4PAsrG", "10 residual blocks", "16")
        self.refused(StillNet(4, 4, 2, nb=22).state_dict(), "4PstG", "22", "23")
        self.refused(SequenceNet(4, 3, 4).state_dict(), "4CGsrG", "3 channels", "needs 4")
        self.refused(SequenceNet(2, 3, 4).state_dict(), "4PAsrP", "2x")

    def test_still_input_layout_must_fit_the_scale(self):
        self.refused(StillNet(4, 4, 2).state_dict(), "2PstG", "3 channels", "12 channels")
        self.refused(StillNet(2, 4, 2).state_dict(), "4PstG", "12 channels", "2x code")

    def test_wrong_family(self):
        self.refused(FlowNet(FLOW_WIDTHS).state_dict(), "4PstP", "no conv_first.weight", "flow")
        self.refused(FlowNet(FLOW_WIDTHS).state_dict(), "FLWN", "scale", scale=2)
        self.refused(StillNet(4, 4, 2).state_dict(), "4PstP", "--family", family="sequence")

    def test_shared_norm_entries_must_agree(self):
        state = randomised(FlowNet(FLOW_WIDTHS), 1).state_dict()
        state["cnet.layer3.0.downsample.1.bias"] = state["cnet.layer3.0.downsample.1.bias"] + 1
        self.refused(state, "FLWN", "disagree", "cnet.layer3.0.norm3.bias")

    def test_not_a_state_dict(self):
        self.refused({"params": [1, 2, 3]}, "4PstP", "does not hold a state dict")

    def test_command_line_reports_and_fails(self):
        state = StillNet(4, 4, 2).state_dict()
        del state["conv_hr.bias"]
        out = os.path.join(TMP, "cli")
        rc, _, err = run_cli("import", "--checkpoint", save(state, "cli.pth"), "--code", "4PstP",
                             "--out", out)
        self.assertEqual(rc, 1)
        self.assertIn("conv_hr.bias", err)
        self.assertFalse(os.path.exists(os.path.join(out, "4PstP.pt")))
        self.assertEqual(run_cli("import", "--checkpoint", "x.pth", "--code", "9XX", "--out", out)[0], 2)
        rc, _, err = run_cli("import", "--checkpoint", os.path.join(TMP, "none.pth"), "--code", "FLWN",
                             "--out", out)
        self.assertEqual(rc, 1)
        self.assertIn("does not exist", err)


if __name__ == "__main__":
    unittest.main()
