"""The training photographs: Debian wallpaper packages, pinned, checked, split.

`data/photos.json` lists each picture: the package and version it comes
from, its path there, its SHA-256, its licence and copyright holder, and its
split: "train", "held-out" (same packages and style as the training pictures) or
"held-out-independent" (packages that give no training picture, so a measure of photographs
unlike the training ones). `fetch` downloads those package versions with
`apt-get download` (no installation, no root needed), unpacks them, checks
every file's hash and lays the pictures out as

    OUT/train/<name>.<ext>
    OUT/held-out/<name>.<ext>
    OUT/held-out-independent/<name>.<ext>
    OUT/LICENCES.txt        one line per picture: name, licence, copyright, source

Re-running is cheap: files whose hash already matches are kept.
"""

import hashlib
import json
import os
import shutil
import subprocess
import tempfile

MANIFEST = os.path.join(os.path.dirname(__file__), "data", "photos.json")
SPLITS = ("train", "held-out", "held-out-independent")


def manifest():
    with open(MANIFEST, encoding="utf-8") as f:
        return json.load(f)["photos"]


def _sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def _target(out_dir, photo):
    ext = os.path.splitext(photo["path"])[1].lower()
    return os.path.join(out_dir, photo["split"], photo["name"] + ext)


def fetch(out_dir, log=print):
    photos = manifest()
    for split in SPLITS:
        os.makedirs(os.path.join(out_dir, split), exist_ok=True)
    todo = [p for p in photos if not (os.path.isfile(_target(out_dir, p))
                                      and _sha256(_target(out_dir, p)) == p["sha256"])]
    packages = sorted({(p["package"], p["version"]) for p in todo})
    if packages:
        log("downloading %d Debian package(s): %s" % (len(packages), " ".join(n for n, _ in packages)))
    with tempfile.TemporaryDirectory(prefix="magnifex-photos-") as work:
        for name, version in packages:
            r = subprocess.run(["apt-get", "download", "%s=%s" % (name, version)], cwd=work,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            debs = [f for f in os.listdir(work) if f.startswith(name + "_") and f.endswith(".deb")]
            if r.returncode != 0 or not debs:
                raise OSError("apt-get download %s=%s failed (is 'apt-get update' needed?):\n%s"
                              % (name, version, r.stdout.strip()))
            root = os.path.join(work, name)
            subprocess.run(["dpkg-deb", "-x", os.path.join(work, debs[0]), root], check=True)
        for p in todo:
            src = os.path.join(work, p["package"], p["path"].lstrip("/"))
            if not os.path.isfile(src):
                raise OSError("%s %s has no %s" % (p["package"], p["version"], p["path"]))
            got = _sha256(src)
            if got != p["sha256"]:
                raise OSError("%s from %s has SHA-256 %s, not the recorded %s"
                              % (p["path"], p["package"], got, p["sha256"]))
            dst = _target(out_dir, p)
            shutil.copyfile(src, dst + ".tmp")
            os.replace(dst + ".tmp", dst)
    with open(os.path.join(out_dir, "LICENCES.txt"), "w", encoding="utf-8") as f:
        for p in photos:
            f.write("%s\t%s\t%s\t%s\t%s %s:%s\n" % (p["split"], p["name"], p["licence"], p["copyright"],
                                                     p["package"], p["version"], p["path"]))
    counts = {s: sum(p["split"] == s for p in photos) for s in SPLITS}
    log("photographs in %s: %d to train on, %d held out, %d held out from other sources "
        "(licences in LICENCES.txt)" % (out_dir, counts["train"], counts["held-out"],
                                        counts["held-out-independent"]))
    return {s: os.path.join(out_dir, s) for s in SPLITS}
