"""A studio's path end to end at tiny widths: train on its plates, write a pack, build the companion
library from it on its own, and render through magnifex-render with the plug-in; and a recurrent
archive rendering a sequence in the plug-in as the training code unrolls it. Needs the build's
magnifex-render and tiny plug-in directory (ctest passes them)."""

import os
import shutil
import subprocess
import tempfile
import unittest

import numpy as np
import torch

from modelpack.encoding import log_decode, log_encode, srgb_decode, srgb_encode
from modelpack.still import StillNet
from modelpack.train import save_still
from modelpack.train_sequence import fresh_network, load_flow, save_sequence, unroll
from modelpack.weights import still_tiny

from .helpers import configure_torch, run_cli
from .test_train import write_images

RENDER = os.environ.get("MAGNIFEX_RENDER", "")
TINY_PLUGIN_DIR = os.environ.get("MAGNIFEX_TINY_PLUGIN_DIR", "")
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def read_png(path):
    ppm = path + ".ppm"
    subprocess.run(["oiiotool", path, "--ch", "R,G,B", "-d", "uint8", "-o", ppm], check=True)
    with open(ppm, "rb") as f:
        parts = f.read().split(b"\n", 3)
    w, h = (int(v) for v in parts[1].split())
    return np.frombuffer(parts[3], dtype=np.uint8).reshape(h, w, 3)


@unittest.skipUnless(RENDER and TINY_PLUGIN_DIR, "needs MAGNIFEX_RENDER and MAGNIFEX_TINY_PLUGIN_DIR")
class StudioPack(unittest.TestCase):
    def setUp(self):
        configure_torch()
        self.tmp = tempfile.mkdtemp(prefix="modelpack-studio-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def plugin_with(self, pack):
        """A plug-in folder with the companion library built on its own from `pack`, as a studio
        builds it."""
        lib = os.path.join(self.tmp, "lib")
        for cmd in (["cmake", "-S", os.path.join(SOURCE_DIR, "companion"), "-B", lib, "-G", "Ninja",
                     "-DMAGNIFEX_PACK_DIR=" + pack],
                    ["cmake", "--build", lib]):
            r = subprocess.run(cmd, capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        plugin_dir = os.path.join(self.tmp, "plugin")
        os.makedirs(plugin_dir)
        shutil.copy(os.path.join(TINY_PLUGIN_DIR, "Magnifex.so"), plugin_dir)
        shutil.copy(os.path.join(lib, "MagnifexModels.so"), plugin_dir)
        return plugin_dir

    def tiny_pack_copy(self):
        pack = os.path.join(self.tmp, "pack")
        shutil.copytree(os.path.join(os.path.dirname(os.path.dirname(TINY_PLUGIN_DIR)), "packs", "tiny"), pack)
        return pack

    def test_a_recurrent_archive_renders_a_sequence_as_training_unrolls_it(self):
        plates = os.path.join(self.tmp, "plates")
        write_images(plates, 3, 32, 40)
        for i, name in enumerate(sorted(os.listdir(plates))):
            os.rename(os.path.join(plates, name), os.path.join(plates, "plate.%04d.png" % (1001 + i)))
        pack = self.tiny_pack_copy()
        # Random weights throughout, the last layer included, so the result depends on the state.
        net = fresh_network(2, 3, 4, seed=7)
        with torch.no_grad():
            net.conv_out.weight.normal_(0.0, 0.3, generator=torch.Generator().manual_seed(8))
        for code in ("2PAsrP", "2PAsrG"):
            save_sequence(net, os.path.join(pack, code + ".pt"), {"code": code})
        plugin_dir = self.plugin_with(pack)
        r = subprocess.run([RENDER, "--plugin-dir", plugin_dir, "--input", os.path.join(plates, "plate.####.png"),
                            "--output", os.path.join(self.tmp, "up.####.png"), "--set", "mode=sequence",
                            "--set", "scale=2x", "--set", "details=0", "--set", "mixedprecision=false",
                            # No preroll: the first frame starts from a reset state, as a clip does in
                            # training, and each later one carries the state of the frame before.
                            "--set", "preroll=0", "--threads", "1"], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        frames = [srgb_decode(torch.from_numpy(read_png(os.path.join(plates, "plate.%04d.png" % f))
                                               .astype(np.float32) / 255.0).permute(2, 0, 1)[None])
                  for f in (1001, 1002, 1003)]
        flow = load_flow(pack, torch.device("cpu"))
        with torch.no_grad():
            results = unroll(net.eval(), flow, torch.stack(frames), "PA", 2)
            alone = unroll(net, flow, torch.stack(frames[2:]), "PA", 2)[0]

        def as_png(x):
            return (srgb_encode(log_decode(x)).clamp(0, 1)[0].permute(1, 2, 0).numpy() * 255).round()
        for i, f in enumerate((1001, 1002, 1003)):
            got = read_png(os.path.join(self.tmp, "up.%04d.png" % f)).astype(np.float32)
            self.assertEqual(got.shape, (64, 64, 3))
            self.assertLessEqual(np.abs(got - as_png(results[i])).max(), 1.0, f)
        # The state matters: the third frame rendered without the first two differs.
        self.assertGreater(np.abs(as_png(alone) - as_png(results[2])).max(), 8.0)

    def test_trained_archives_render_in_the_plug_in_as_they_compute(self):
        plates = os.path.join(self.tmp, "plates")
        write_images(plates, 2, 48, 30)
        for i, name in enumerate(sorted(os.listdir(plates))):   # a #### sequence, as plates come
            os.rename(os.path.join(plates, name), os.path.join(plates, "plate.%04d.png" % (1001 + i)))
        pack = self.tiny_pack_copy()
        # A parent in the sRGB adapter, as the trained pack's are, so that the plug-in runs it too.
        parent = StillNet(4, 3, 1, srgb_core=True)
        still_tiny(parent, "P", "studio-test")
        parent_path = os.path.join(self.tmp, "parent.pt")
        save_still(parent, parent_path, {})
        # Both ends of a pair share the parent (and so its domain): the plug-in blends weights
        # into one of the two archives and runs that one's forward.
        for code in ("4PstG", "4CGstG"):
            shutil.copy(parent_path, os.path.join(pack, code + ".pt"))
        rc, _, err = run_cli("train", "--code", "4PstP", "--images", os.path.join(plates, "plate.####.png"),
                             "--work", os.path.join(self.tmp, "work"), "--parent", parent_path, "--steps", "3",
                             "--batch", "2", "--patch", "8", "--out", pack, "--float32")
        self.assertEqual(rc, 0, err)
        plugin_dir = self.plugin_with(pack)
        src = os.path.join(plates, "plate.1001.png")
        out = os.path.join(self.tmp, "up.png")
        r = subprocess.run([RENDER, "--plugin-dir", plugin_dir, "--input", src, "--output", out,
                            "--set", "scale=4x", "--set", "details=0", "--threads", "1",
                            # float32, as the archive is run below (BFloat16 passes differ by a few levels)
                            "--set", "mixedprecision=false"],
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        # What the trained archive computes on the same 8-bit input, taken through the node's
        # encoding by hand.
        lr = torch.from_numpy(read_png(src).astype(np.float32) / 255.0).permute(2, 0, 1)[None]
        archive = torch.jit.load(os.path.join(pack, "4PstP.pt"))
        self.assertTrue(archive.srgb_core)
        with torch.no_grad():
            want = srgb_encode(log_decode(archive(log_encode(srgb_decode(lr))))).clamp(0, 1)
        want = (want[0].permute(1, 2, 0).numpy() * 255).round()
        got = read_png(out).astype(np.float32)
        self.assertEqual(got.shape, (192, 192, 3))
        # 8-bit rounding of values computed in another order.
        self.assertLessEqual(np.abs(got - want).max(), 1.0)


if __name__ == "__main__":
    unittest.main()
