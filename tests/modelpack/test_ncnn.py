"""The ncnn reader on the published 4x GAN files: it computes what the ncnn runtime computes, and
damaged or altered files are refused with a reason before anything is written."""

import os
import shutil
import tempfile
import unittest

import numpy as np
import torch

from modelpack.ncnn import NcnnError, read_still_network
from modelpack.trained import published_x4plus

from .helpers import configure_torch, run_cli

try:
    PARAM, BIN = published_x4plus()
except ValueError:
    PARAM = BIN = None
try:
    import ncnn
except ImportError:
    ncnn = None

TMP = None


def setUpModule():
    global TMP
    configure_torch()
    TMP = tempfile.mkdtemp(prefix="modelpack-ncnn-")


def tearDownModule():
    shutil.rmtree(TMP, ignore_errors=True)


def quiet_read(param, binary, **kw):
    return read_still_network(param, binary, 4, log=lambda *a: None, **kw)


@unittest.skipIf(PARAM is None, "the published weights are not installed (scripts/setup)")
class PublishedFiles(unittest.TestCase):
    @unittest.skipIf(ncnn is None, "the ncnn runtime is not installed (scripts/setup)")
    def test_the_reader_computes_what_the_ncnn_runtime_computes(self):
        net = quiet_read(PARAM, BIN, srgb_core=False)
        net.margin = 0      # the published graph pads with zeros; compare the bare layers
        x = torch.rand(1, 3, 16, 20, generator=torch.Generator().manual_seed(3))
        runtime = ncnn.Net()
        runtime.opt.use_vulkan_compute = False
        runtime.load_param(PARAM)
        runtime.load_model(BIN)
        ex = runtime.create_extractor()
        ex.input("data", ncnn.Mat(np.ascontiguousarray(x[0].numpy())))
        status, out = ex.extract("output")
        self.assertEqual(status, 0)
        with torch.no_grad():
            ours = net.layers(x)
        theirs = torch.from_numpy(np.array(out))[None]
        self.assertEqual(tuple(theirs.shape), (1, 3, 64, 80))
        self.assertLess((ours - theirs).abs().max().item(), 1e-4)

    def test_import_writes_an_archive_with_the_plug_in_signature(self):
        out = os.path.join(TMP, "pack")
        rc, _, err = run_cli("import", "--ncnn", PARAM, "--code", "4PstG", "--out", out)
        self.assertEqual(rc, 0, err)
        archive = torch.jit.load(os.path.join(out, "4PstG.pt"))
        names = [n for n, _ in archive.named_parameters()]
        self.assertEqual((len(names), names[0], names[100], names[-1]),
                         (702, "conv_first.weight", "body.3.rdb1.conv5.weight", "conv_last.bias"))

    def damaged(self, name, param_edit=None, bin_edit=None):
        with open(PARAM) as f:
            param = f.read()
        with open(BIN, "rb") as f:
            blob = f.read()
        p, b = os.path.join(TMP, name + ".param"), os.path.join(TMP, name + ".bin")
        with open(p, "w") as f:
            f.write(param_edit(param) if param_edit else param)
        with open(b, "wb") as f:
            f.write(bin_edit(blob) if bin_edit else blob)
        return p, b

    def test_damaged_or_altered_files_are_refused_with_a_reason(self):
        lines = lambda text: text.split("\n")
        cases = [
            ("bin-cut", None, lambda b: b[:len(b) // 2], "cut short"),
            ("bin-extra", None, lambda b: b + b"\0" * 64, "after the last convolution"),
            ("bin-tag", None, lambda b: b"\x01\x02\x03\x04" + b[4:], "tag 0x04030201"),
            ("param-cut", lambda t: "\n".join(lines(t)[:200]), None, "declares 999 layers"),
            ("param-magic", lambda t: "7767518" + t[7:], None, "not an ncnn .param"),
            ("param-stride", lambda t: t.replace("0=64 1=3 4=1 5=1 6=1728", "0=64 1=3 3=2 4=1 5=1 6=1728", 1),
             None, "a stride"),
            # The first dense block's concatenation in the other order: the same layers and
            # shapes, wired differently.
            ("param-rewired", lambda t: t.replace("Concat_3                 2 1 703_splitncnn_6 705_splitncnn_3",
                                                  "Concat_3                 2 1 705_splitncnn_3 703_splitncnn_6", 1),
             None, "wired differently"),
        ]
        for name, pe, be, message in cases:
            with self.subTest(name):
                p, b = self.damaged(name, pe, be)
                out = os.path.join(TMP, "out-" + name)
                rc, _, err = run_cli("import", "--ncnn", p, "--code", "4PstG", "--out", out)
                self.assertEqual(rc, 1)
                self.assertIn(message, err)
                self.assertFalse(os.path.exists(os.path.join(out, "4PstG.pt")))

    def test_an_equivalent_wiring_is_accepted(self):
        # The check compares what the graph computes, not its text: a weighted sum written with
        # its operands and coefficients exchanged is the same network.
        p, b = self.damaged("param-commuted",
                            lambda t: t.replace("Add_16                   2 1 716 703_splitncnn_2",
                                                "Add_16                   2 1 703_splitncnn_2 716", 1)
                            .replace("0=1 -23301=2,2.000000e-01,1.000000e+00",
                                     "0=1 -23301=2,1.000000e+00,2.000000e-01", 1))
        quiet_read(p, b)

if __name__ == "__main__":
    unittest.main()
