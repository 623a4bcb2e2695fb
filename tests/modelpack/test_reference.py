"""Reference networks: what each one computes, checked against formulas
written independently with the tensor library's own interpolation.

Still networks are checked at a reduced size (27 features, one block): the
reference weights use no more channels and switch the body off, and one
test confirms that the full-size network gives the same result."""

import unittest

import torch
import torch.nn.functional as F

from modelpack.measure import psnr, sharpness, synthetic_images
from modelpack.packs import PACKS, make_network
from modelpack.still import StillNet
from modelpack.weights import GAN_B, PSNR_B, REF_A, still_reference

from .helpers import configure_torch


def setUpModule():
    configure_torch()


def sep_valid(x, taps):
    k = torch.tensor([float(t) for t in taps])
    c = x.shape[1]
    x = F.conv2d(x, k.view(1, 1, 1, -1).repeat(c, 1, 1, 1), groups=c)
    return F.conv2d(x, k.view(1, 1, -1, 1).repeat(c, 1, 1, 1), groups=c)


def sharpen(c):
    return (-float(c), 1 + 2 * float(c), -float(c))


def linear2x(x):
    return F.interpolate(x, scale_factor=2, mode="bilinear", align_corners=False)


def expected_still(x, scale, b, pad=8):
    """Edge-replicate x, then 4x: S_b L L S_a; 2x: S_b L S_a B."""
    h, w = x.shape[-2:]
    y = F.pad(x, [pad] * 4, mode="replicate")
    if scale == 4:
        y = linear2x(linear2x(sep_valid(y, sharpen(REF_A[4]))))
        margin = 4 * (pad - 1)
    else:
        y = linear2x(sep_valid(sep_valid(y, (0.25, 0.5, 0.25)), sharpen(REF_A[2])))
        margin = 2 * (pad - 2)
    y = sep_valid(y, sharpen(b))
    margin -= 1
    return y[..., margin:margin + scale * h, margin:margin + scale * w]


def small_reference(scale, training):
    return still_reference(StillNet(scale, 27, 1, nb=1), training).eval()


class StillReference(unittest.TestCase):
    def test_matches_the_formula_at_any_size_and_sign(self):
        g = torch.Generator().manual_seed(1)
        for scale in (2, 4):
            for training, b in (("P", PSNR_B[scale]), ("G", GAN_B[scale])):
                net = small_reference(scale, training)
                for h, w in ((1, 1), (2, 3), (7, 5), (16, 13)):
                    with self.subTest(scale=scale, training=training, size=(h, w)):
                        x = torch.rand(1, 3, h, w, generator=g) * 1.4 - 0.2
                        with torch.no_grad():
                            torch.testing.assert_close(net(x), expected_still(x, scale, b),
                                                       atol=2e-5, rtol=0)

    def test_flat_input_stays_flat_up_to_the_edge(self):
        for scale in (2, 4):
            for training in "PG":
                with self.subTest(scale=scale, training=training), torch.no_grad():
                    y = small_reference(scale, training)(torch.full((1, 3, 9, 6), 0.37))
                    torch.testing.assert_close(y, torch.full_like(y, 0.37), atol=1e-5, rtol=0)

    def test_full_width_archive_computes_the_same(self):
        x = torch.rand(1, 3, 4, 3, generator=torch.Generator().manual_seed(2))
        for code in ("4PstG", "2PstP"):
            scale, training = int(code[0]), code[-1]
            with self.subTest(code=code), torch.no_grad():
                full = make_network(PACKS["reference"], code)
                torch.testing.assert_close(full(x), small_reference(scale, training)(x),
                                           atol=2e-5, rtol=0)

    def test_quality_against_bicubic(self):
        images = synthetic_images(192)[:3]       # the smooth ones; the chirp is a stress case
        for scale in (2, 4):
            nets = {t: small_reference(scale, t) for t in "PG"}
            for i, hr in enumerate(images):
                with self.subTest(scale=scale, image=i), torch.no_grad():
                    lr = F.avg_pool2d(hr, scale)
                    bic = F.interpolate(lr, scale_factor=scale, mode="bicubic", align_corners=False)
                    yp, yg = nets["P"](lr), nets["G"](lr)
                    self.assertGreater(psnr(yp, hr), psnr(bic, hr) - 2.5)
                    self.assertGreater(psnr(yp, hr), psnr(yg, hr))
                    self.assertGreater(sharpness(yg, hr), sharpness(yp, hr) + 0.05)

    def test_details_blend_is_a_blend_of_results(self):
        d = 0.3
        x = torch.rand(1, 3, 8, 7, generator=torch.Generator().manual_seed(3))
        for scale in (2, 4):
            p, g = small_reference(scale, "P"), small_reference(scale, "G")
            mix = StillNet(scale, 27, 1, nb=1).eval()
            mix.load_state_dict({k: (1 - d) * p.state_dict()[k] + d * v
                                 for k, v in g.state_dict().items()})
            with self.subTest(scale=scale), torch.no_grad():
                torch.testing.assert_close(mix(x), (1 - d) * p(x) + d * g(x), atol=2e-5, rtol=0)


class SequenceAndFlowReference(unittest.TestCase):
    def test_sequence_returns_the_bicubic_upscale(self):
        for code, c, s in (("2PAsrG", 3, 2), ("4CGsrP", 4, 4)):
            net = make_network(PACKS["reference"], code)
            lr = torch.rand(1, c, 5, 7)
            with self.subTest(code=code), torch.no_grad():
                y = net(lr, torch.rand(1, s * s * c, 5, 7))
                self.assertTrue(torch.equal(
                    y, F.interpolate(lr, scale_factor=s, mode="bicubic", align_corners=False)))

    def test_flow_is_zero(self):
        net = make_network(PACKS["reference"], "FLWN")
        a, b = torch.rand(1, 3, 128, 128), torch.rand(1, 3, 128, 128)
        with torch.no_grad():
            f = net(a, b, torch.tensor([3.0]))
        self.assertEqual(tuple(f.shape), (1, 2, 128, 128))
        self.assertEqual(f.abs().max().item(), 0.0)


if __name__ == "__main__":
    unittest.main()
