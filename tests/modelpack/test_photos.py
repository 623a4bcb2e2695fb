"""The photo manifest's held-out sets and the multi-scale training images."""

import os
import tempfile
import types
import unittest

import numpy as np

from modelpack import photo_scales, photos


class Manifest(unittest.TestCase):
    def test_the_independent_set_shares_no_package_with_the_others(self):
        by_split = {}
        for p in photos.manifest():
            self.assertIn(p["split"], photos.SPLITS, p["name"])
            by_split.setdefault(p["split"], set()).add(p["package"])
        independent = by_split["held-out-independent"]
        for split in ("train", "held-out"):
            with self.subTest(split=split):
                self.assertEqual(independent & by_split[split], set())
        names = [p["name"] for p in photos.manifest()]
        self.assertEqual(len(names), len(set(names)))


class Scales(unittest.TestCase):
    def test_factors_parse_or_are_refused(self):
        for text, want in (("2,3,4", [2, 3, 4]), ("3", [3]), (" 2, 4 ", [2, 4]),
                           ("2,2", None), ("0,2", None), ("2.5", None), ("", None), ("a", None)):
            with self.subTest(text=text):
                if want is None:
                    self.assertRaises(ValueError, photo_scales.parse, text)
                else:
                    self.assertEqual(photo_scales.parse(text), want)

    def test_each_image_comes_once_per_factor_area_downscaled(self):
        work = tempfile.mkdtemp(prefix="modelpack-scales-")
        rng = np.random.default_rng(3)
        truth = rng.uniform(0.0, 2.0, (24, 36, 3)).astype("<f4")   # highlights above 1 kept
        with open(os.path.join(work, "a.pfm"), "wb") as f:
            f.write(b"PF\n36 24\n-1.0\n" + np.ascontiguousarray(truth[::-1]).tobytes())
        cfg = types.SimpleNamespace(work=work, colorspace="linear", downscales=[2, 3, 4])
        images = photo_scales.load_images(cfg, [work], lambda *_: None)
        self.assertEqual(len(images), 3)
        for factor, im in zip(cfg.downscales, images):
            with self.subTest(factor=factor):
                h, w = 24 // factor, 36 // factor
                want = truth.reshape(h, factor, w, factor, 3).mean(axis=(1, 3)).transpose(2, 0, 1)
                np.testing.assert_allclose(im.numpy(), want, rtol=0, atol=1e-5)


if __name__ == "__main__":
    unittest.main()
