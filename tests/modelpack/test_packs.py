"""Tiny pack and broken variants: archives as the plug-in loads them."""

import functools
import json
import os
import shutil
import tempfile
import unittest

import torch
import torch.nn.functional as F

from modelpack.codes import CODES, expected_signature, parse_code
from modelpack.packs import build, build_variant
from modelpack.variants import BY_NAME, VARIANTS

from .helpers import configure_torch, cpp_style_names, run_cli, smooth_image

TMP = None
TINY = None


def setUpModule():
    global TMP, TINY
    configure_torch()
    TMP = tempfile.mkdtemp(prefix="modelpack-test-")
    TINY = os.path.join(TMP, "tiny")
    build("tiny", TINY, log=lambda *a: None)
    for v in VARIANTS:
        build_variant(v.name, os.path.join(TMP, v.name), base_dir=TINY, log=lambda *a: None)


def tearDownModule():
    shutil.rmtree(TMP, ignore_errors=True)


@functools.lru_cache(maxsize=None)
def load(pack, code):
    return torch.jit.load(os.path.join(TMP, pack, code + ".pt"), map_location="cpu")


class TinySignatures(unittest.TestCase):
    def test_every_archive_matches_its_signature(self):
        for code in CODES:
            with self.subTest(code=code):
                names = cpp_style_names(load("tiny", code))
                count, first, mid_index, mid, last = expected_signature(code)
                self.assertEqual((len(names), names[0], names[mid_index], names[-1]),
                                 (count, first, mid, last))

    def test_flow_lists_the_shared_norm_under_both_names(self):
        net = load("tiny", "FLWN")
        names = cpp_style_names(net)
        self.assertEqual(len(names), 128)
        self.assertEqual(len(list(net.named_parameters())), 124)   # Python de-duplicates
        self.assertIn("cnet.layer2.0.norm3.weight", names)
        self.assertIn("cnet.layer2.0.downsample.1.weight", names)

    def test_gan_and_psnr_share_one_architecture(self):
        for code in CODES:
            if code.endswith("G") and code != "FLWN":
                with self.subTest(code=code):
                    g, p = load("tiny", code), load("tiny", code[:-1] + "P")
                    shapes = [(n, tuple(t.shape)) for n, t in g.named_parameters()]
                    self.assertEqual(shapes, [(n, tuple(t.shape)) for n, t in p.named_parameters()])
                    self.assertFalse(all(torch.equal(a, b) for a, b in
                                         zip(g.parameters(), p.parameters())))

    def test_pack_json(self):
        with open(os.path.join(TINY, "pack.json")) as f:
            doc = json.load(f)
        self.assertEqual(doc["name"], "tiny")
        self.assertEqual(doc["codes"], list(CODES))
        self.assertEqual(doc["widths"]["still"]["blocks"], 23)


class TinyShapesAndValues(unittest.TestCase):
    SIZES = ((1, 1), (1, 2), (3, 1), (5, 7), (12, 9))

    def test_still_any_size(self):
        for code in ("2PstG", "4PstP"):
            net, s = load("tiny", code), parse_code(code).scale
            for h, w in self.SIZES:
                with self.subTest(code=code, size=(h, w)), torch.no_grad():
                    y = net(smooth_image(h, w))
                    self.assertEqual(tuple(y.shape), (1, 3, s * h, s * w))
                    self.assertTrue(torch.isfinite(y).all())

    def test_still_stays_near_a_smooth_upscale(self):
        x = smooth_image(24, 20)
        for code in ("2PstP", "2PstG", "4PstP", "4PstG"):
            s = parse_code(code).scale
            with self.subTest(code=code), torch.no_grad():
                y = load("tiny", code)(x)
                ref = F.interpolate(x, scale_factor=s, mode="bicubic", align_corners=False)
                self.assertLess((y - ref).abs().mean().item(), 0.04)

    def test_sequence_is_bicubic_plus_a_small_recurrent_part(self):
        for code in ("2PAsrG", "4CGsrP"):
            info = parse_code(code)
            s, c = info.scale, info.channels
            net = load("tiny", code)
            for h, w in ((1, 1), (5, 3), (16, 12)):
                with self.subTest(code=code, size=(h, w)), torch.no_grad():
                    lr = smooth_image(h, w, c)
                    y0 = net(lr, torch.zeros(1, s * s * c, h, w))
                    y1 = net(lr, torch.full((1, s * s * c, h, w), 0.5))
                    bic = F.interpolate(lr, scale_factor=s, mode="bicubic", align_corners=False)
                    self.assertEqual(tuple(y0.shape), (1, c, s * h, s * w))
                    self.assertLess((y0 - bic).abs().max().item(), 0.2)
                    self.assertFalse(torch.equal(y0, y1))   # the previous frame matters

    def test_flow_is_small_and_finite(self):
        net = load("tiny", "FLWN")
        a = smooth_image(128, 136)
        b = torch.roll(a, 2, dims=3)
        with torch.no_grad():
            f = net(a, b, torch.tensor([25.0]))
            f0 = net(a, b, torch.tensor([0.0]))
        self.assertEqual(tuple(f.shape), (1, 2, 128, 136))
        self.assertTrue(torch.isfinite(f).all())
        self.assertLess(f.abs().max().item(), 8.0)
        self.assertEqual(f0.abs().max().item(), 0.0)   # no update, no flow


class BrokenVariants(unittest.TestCase):
    def test_files_match_the_variant(self):
        for v in VARIANTS:
            with self.subTest(variant=v.name):
                d = os.path.join(TMP, v.name)
                for code in CODES:
                    path = os.path.join(d, code + ".pt")
                    if code in v.remove:
                        self.assertFalse(os.path.exists(path))
                    elif code in v.empty:
                        self.assertEqual(os.path.getsize(path), 0)
                    else:
                        self.assertGreater(os.path.getsize(path), 0)
                with open(os.path.join(d, "pack.json")) as f:
                    self.assertEqual(json.load(f)["codes"], v.present())

    def test_changed_signatures_keep_names_and_function(self):
        cases = (("still-701", "4PstG", 701, (1, 3, 5, 4)), ("still-701", "2CGstP", 701, (1, 3, 3, 5)),
                 ("seq2x-72", "2PAsrP", 72, None), ("seq2x-72", "2CGsrG", 72, None),
                 ("blend-mismatch", "4PstP", 702, (1, 3, 5, 4)), ("blend-mismatch", "2PAsrP", 70, None))
        for variant, code, count, shape in cases:
            with self.subTest(variant=variant, code=code):
                broken, tiny = load(variant, code), load("tiny", code)
                names = cpp_style_names(broken)
                _, first, mid_index, mid, last = expected_signature(code)
                self.assertEqual((len(names), names[0], names[mid_index], names[-1]),
                                 (count, first, mid, last))
                if shape:
                    args = (smooth_image(*shape[2:]),)
                else:
                    c = parse_code(code).channels
                    args = (smooth_image(6, 5, c), smooth_image(6, 5, 4 * c))
                with torch.no_grad():
                    torch.testing.assert_close(broken(*args), tiny(*args))

    def test_empty_archives_do_not_load(self):
        with self.assertRaises(RuntimeError):
            load("empty-still", "2PstG")

    def test_standalone_build_equals_derived(self):
        d = os.path.join(TMP, "standalone")
        build_variant("missing-4CGstG", d, log=lambda *a: None)
        self.assertEqual(sorted(os.listdir(d)), sorted(c + ".pt" for c in BY_NAME["missing-4CGstG"].present())
                         + ["pack.json"])


class CommandLine(unittest.TestCase):
    def test_bad_arguments_fail(self):
        self.assertEqual(run_cli("build", "--pack", "huge", "--out", TMP)[0], 2)
        self.assertEqual(run_cli("broken", "--variant", "nope", "--out", TMP)[0], 2)
        self.assertEqual(run_cli("broken", "--variant", "still-701")[0], 1)
        not_a_dir = os.path.join(TMP, "file")
        open(not_a_dir, "w").close()
        rc, _, err = run_cli("broken", "--variant", "still-701", "--out", not_a_dir, "--from", TINY)
        self.assertEqual(rc, 1)
        self.assertIn("not a directory", err)

    def test_listings(self):
        rc, out, _ = run_cli("broken", "--list")
        self.assertEqual(rc, 0)
        self.assertEqual([line.split()[0] for line in out.splitlines()], [v.name for v in VARIANTS])
        rc, out, _ = run_cli("cmake-info")
        self.assertIn("set(MAGNIFEX_PACK_BROKEN_VARIANTS %s)" % ";".join(v.name for v in VARIANTS), out)
        self.assertIn("set(MAGNIFEX_PACK_PRESENT_missing_4CGstG %s)"
                      % ";".join(c for c in CODES if c != "4CGstG"), out)


if __name__ == "__main__":
    unittest.main()
