"""The borrowed-GPU round trip's file layer: weight files split to fit what comes back and rejoined
exactly, and an import that refuses anything that did not come back whole."""

import contextlib
import io
import json
import os
import shutil
import tempfile
import unittest

import torch

from modelpack import gpu_train
from modelpack.compact import write_delta

from .helpers import configure_torch


def setUpModule():
    configure_torch()


def _bytes(n, seed):
    g = torch.Generator().manual_seed(seed)
    return bytes(torch.randint(0, 256, (n,), generator=g, dtype=torch.uint8).tolist())


class SplitAndRejoin(unittest.TestCase):
    def test_parts_stay_under_the_size_and_rejoin_to_the_same_bytes(self):
        # (file size, part size, part sizes expected)
        for size, part, want in ((0, 8, [0]), (8, 8, [8]), (9, 8, [8, 1]), (29, 7, [7, 7, 7, 7, 1]),
                                 (1000, 999, [999, 1])):
            with self.subTest(size=size, part=part), tempfile.TemporaryDirectory() as tmp:
                data = _bytes(size, size)
                src = os.path.join(tmp, "x.delta")
                with open(src, "wb") as f:
                    f.write(data)
                out = os.path.join(tmp, "out")
                os.mkdir(out)
                entry = gpu_train.split_file(src, out, part)
                self.assertEqual([p["bytes"] for p in entry["parts"]], want)
                self.assertEqual(sorted(os.listdir(out)), sorted(p["name"] for p in entry["parts"]))
                back = gpu_train.join_file(entry, out, os.path.join(tmp, "back"))
                with open(back, "rb") as f:
                    self.assertEqual(f.read(), data)


class ImportRefusesDamage(unittest.TestCase):
    """A returned folder as a run writes it (two small deltas, split), then damaged one way each."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="gpu-train-test-")
        self.out = os.path.join(self.tmp, "out")
        os.mkdir(self.out)
        g = torch.Generator().manual_seed(3)
        parent = {"a.weight": torch.zeros(8, 4, 3, 3), "a.bias": torch.zeros(8)}
        entries = []
        for code in gpu_train.CODES:
            child = {k: v + torch.randn(v.shape, generator=g) for k, v in parent.items()}
            path = os.path.join(self.tmp, code + ".delta")
            write_delta(child, parent, path, {"code": code})
            entry = gpu_train.split_file(path, self.out, 200)
            entry["code"] = code
            entries.append(entry)
        self.assertGreater(len(entries[0]["parts"]), 1)
        self.manifest = {"weights": entries, "parent": "x", "widths": [8, 4]}
        self._write_manifest()

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def _write_manifest(self):
        with open(os.path.join(self.out, gpu_train.MANIFEST), "w") as f:
            json.dump(self.manifest, f)

    def _part(self, i=1):
        return os.path.join(self.out, self.manifest["weights"][0]["parts"][i]["name"])

    def _flip(self):
        with open(self._part(), "r+b") as f:
            f.seek(17)
            b = f.read(1)
            f.seek(17)
            f.write(bytes([b[0] ^ 0x40]))

    def _truncate(self):
        with open(self._part(), "r+b") as f:
            f.truncate(50)

    def _remove(self):
        os.remove(self._part())

    def _damage_before_hashing(self):
        # A file damaged before its hashes were taken: only the delta's own checks can tell.
        w = self.manifest["weights"][1]
        whole = gpu_train.join_file(w, self.out, os.path.join(self.tmp, "2PstP.delta"))
        for p in w["parts"]:
            os.remove(os.path.join(self.out, p["name"]))
        with open(whole, "r+b") as f:
            data = bytearray(f.read())
            data[len(data) // 2] ^= 0x01
            f.seek(0)
            f.write(data)
        self.manifest["weights"][1] = dict(gpu_train.split_file(whole, self.out, 200), code=w["code"])
        self._write_manifest()

    def _no_manifest(self):
        os.remove(os.path.join(self.out, gpu_train.MANIFEST))

    def test_every_kind_of_damage_is_refused_with_status_1_naming_the_file(self):
        part = lambda: self.manifest["weights"][0]["parts"][1]["name"]   # noqa: E731
        for damage, names in ((self._flip, part), (self._truncate, part), (self._remove, part),
                              (self._damage_before_hashing, lambda: "2PstP"),
                              (self._no_manifest, lambda: gpu_train.MANIFEST)):
            with self.subTest(damage=damage.__name__):
                self.tearDown()
                self.setUp()
                want = names()
                damage()
                err = io.StringIO()
                with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
                    rc = gpu_train.main(["--import", self.out, "--into", os.path.join(self.tmp, "into")])
                self.assertEqual(rc, 1)
                self.assertIn(want, err.getvalue())
                self.assertFalse(os.path.exists(os.path.join(self.tmp, "into")))

    def test_the_undamaged_folder_passes_the_checks(self):
        manifest, paths = gpu_train.read_returned(self.out, self.tmp)
        self.assertEqual(sorted(paths), sorted(gpu_train.CODES))
        self.assertEqual(manifest["widths"], [8, 4])


if __name__ == "__main__":
    unittest.main()
