"""The training code's sequence-mode steps are the plug-in's: both run on the same tensors."""

import os
import subprocess
import tempfile
import unittest

import torch

from modelpack import sequence_ops
from modelpack.encoding import log_encode

from .helpers import configure_torch

PLUGIN_OPS = os.environ.get("MAGNIFEX_PLUGIN_OPS", "")


def setUpModule():
    configure_torch()


def plugin_results(inputs):
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = os.path.join(tmp, "in.pt"), os.path.join(tmp, "out.pt")
        torch.save(inputs, src)
        subprocess.run([PLUGIN_OPS, src, dst], check=True)
        return torch.load(dst, weights_only=False)


@unittest.skipUnless(PLUGIN_OPS, "needs MAGNIFEX_PLUGIN_OPS (ctest passes it)")
class PluginSteps(unittest.TestCase):
    def inputs(self, s, h, w, seed):
        g = torch.Generator().manual_seed(seed)
        alpha = torch.rand(1, 1, h, w, generator=g)
        alpha[..., :2, :] = 0.0    # transparent rows: colour over a zero alpha
        alpha[..., -2:, :] = 1.0
        colour = torch.rand(1, 3, h, w, generator=g) * 3.0 - 0.2  # highlights and negatives
        return {
            "image": torch.rand(2, 3, s * h, s * w, generator=g),
            # Up to 9 pixels each way: some samples fall outside and take the border.
            "flow": (torch.rand(2, 2, s * h, s * w, generator=g) - 0.5) * 18.0,
            "lr_flow": (torch.rand(2, 2, h, w, generator=g) - 0.5) * 6.0,
            "patch": torch.rand(1, 4, h, w, generator=g) * 4.0 - 0.5,
            "rgba": torch.cat([colour * alpha, alpha], 1),
            "scale": torch.tensor([s]),
        }

    def test_each_step_matches_the_plug_in_on_the_same_tensors(self):
        # Odd sizes and both scales: the padding, the block order and the sampler's edges all show.
        for s, h, w in ((2, 13, 21), (4, 9, 7), (2, 136, 130)):
            x = self.inputs(s, h, w, seed=s * 100 + h)
            ours = {
                "upscale_flow": sequence_ops.upscale_flow(x["lr_flow"], s),
                "warp_by_flow": sequence_ops.warp_by_flow(x["image"], x["flow"]),
                "space_to_depth": sequence_ops.space_to_depth(x["image"], s),
                "pad_for_flow": sequence_ops.pad_for_flow(x["patch"]),
                "log_encode": log_encode(x["patch"]),
                "prepare_alpha_input": sequence_ops.prepare_alpha_input(x["rgba"]),
                "colour_variant": sequence_ops.colour_variant(sequence_ops.prepare_alpha_input(x["rgba"])),
                "recombine_alpha": sequence_ops.recombine_alpha(x["rgba"], x["rgba"]),
            }
            theirs = plugin_results(x)
            self.assertEqual(sorted(theirs), sorted(ours))
            for name, value in ours.items():
                with self.subTest(scale=s, size=(h, w), step=name):
                    torch.testing.assert_close(value, theirs[name], rtol=1e-5, atol=1e-5)

    def test_flow_training_pads_its_pairs_as_the_plug_in_pads_patches(self):
        # Patches inside one padded map, one side of 128 beside an odd one, and larger than the map.
        from modelpack.train_flow import ClipPairs, pad_pairs
        g = torch.Generator().manual_seed(5)
        photo = torch.rand(3, 720, 720, generator=g)
        pairs = ClipPairs([photo], 300, 2, 4.0, seed=1)
        for h, w in ((40, 72), (128, 77), (300, 136)):
            unpadded = pairs.pair(h, w)
            current, previous, _ = pad_pairs([unpadded])
            x = dict(self.inputs(2, 8, 8, seed=h), patch=unpadded[0])
            with self.subTest(size=(h, w)):
                torch.testing.assert_close(current, plugin_results(x)["pad_for_flow"], rtol=0, atol=0)
                x["patch"] = unpadded[1]
                torch.testing.assert_close(previous, plugin_results(x)["pad_for_flow"], rtol=0, atol=0)


class BlockOrder(unittest.TestCase):
    def test_space_to_depth_puts_each_block_offset_in_its_own_channel_group(self):
        # Channel (i*s + j)*C + c of the result holds channel c at offset (i, j) of each block.
        s, c = 2, 3
        x = torch.arange(1 * c * 4 * 6, dtype=torch.float32).reshape(1, c, 4, 6)
        y = sequence_ops.space_to_depth(x, s)
        for i in range(s):
            for j in range(s):
                for ch in range(c):
                    torch.testing.assert_close(y[0, (i * s + j) * c + ch], x[0, ch, i::s, j::s])
        with self.assertRaises(ValueError):
            sequence_ops.space_to_depth(torch.zeros(1, 3, 5, 6), 2)


if __name__ == "__main__":
    unittest.main()
