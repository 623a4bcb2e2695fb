"""Picture quality of still mode on held-out photographs, rendered through magnifex-render.

    python bench/still_quality.py --render build/bin/magnifex-render --plugin-dir build/plugins/trained \
        --photos ~/.cache/magnifex/photos/held-out ~/.cache/magnifex/photos/held-out-independent \
        --out build/bench/quality [--scales 2 4] [--details 0 0.9]

Each --photos folder is one set, named after the folder (or NAME=FOLDER), and every figure is given
per set: the held-out wallpapers share packages and style with the training ones, the independent
set does not, and an average over both would hide the difference. Each held-out photograph
(prepared as for training: linear light, area-downscaled by 2) gives a few crops of
full-resolution truth. Each crop is area-downscaled by the scale in linear light and
written as an 8-bit sRGB PNG (and, with --linear, as a float EXR); magnifex-render upscales it with
the plug-in directory's networks; bicubic upscales the same sRGB values. Against the truth, in sRGB
clipped to [0, 1]:
  psnr     over the three channels, peak 1 (higher is better)
  ssim     on luma, 11-tap Gaussian window
  gmsd     gradient magnitude similarity deviation (lower is better), a full-reference index of
           how well edges and texture are reproduced
  sharp    mean gradient magnitude over the truth's (1 = as sharp as the truth)
  halo     mean overshoot beyond the truth's 5 x 5 neighbourhood range (bright or dark rims)
  colour   largest relative difference of the mean of a channel, in linear light
Writes quality.csv, a table on standard output and crops_<scale>x.png (truth | bicubic | each
details value) for the first crop of every photograph (crops_<set>_<scale>x.png for the sets after
the first).
"""

import argparse
import csv
import os
import subprocess
import sys
import tempfile

import numpy as np
import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from modelpack.degrade import downscale, quantise_8bit  # noqa: E402
from modelpack.encoding import srgb_decode, srgb_encode  # noqa: E402
from modelpack.evaluate import crops, psnr, ssim  # noqa: E402
from modelpack.images import expand, load_linear, read_fits  # noqa: E402


def write_ppm(path, srgb):
    """8-bit binary PPM of a [1, 3, H, W] sRGB tensor in [0, 1]."""
    a = (srgb[0].clamp(0, 1) * 255).round().byte().permute(1, 2, 0).numpy()
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (a.shape[1], a.shape[0]))
        f.write(a.tobytes())


def convert(src, dst, *args):
    subprocess.run(["oiiotool", src, *args, "-o", dst], check=True, capture_output=True)


def read_linear(path, work):
    fits = os.path.join(work, "read.fits")
    convert(path, fits, "--ch", "R,G,B", "-d", "float")
    return torch.from_numpy(read_fits(fits))[None]


def render(args, src, dst, scale, details):
    cmd = [args.render, "--plugin-dir", args.plugin_dir, "--input", src, "--output", dst,
           "--set", "scale=%dx" % scale, "--set", "details=%g" % details, "--output-type", "float",
           "--threads", str(args.threads)]
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (" ".join(cmd), r.stderr))


def gradient(x):
    y = 0.299 * x[:, 0:1] + 0.587 * x[:, 1:2] + 0.114 * x[:, 2:3]
    gx = torch.tensor([[1, 0, -1], [1, 0, -1], [1, 0, -1]], dtype=torch.float32).view(1, 1, 3, 3) / 3
    p = F.pad(y, [1, 1, 1, 1], mode="replicate")
    return torch.sqrt(F.conv2d(p, gx) ** 2 + F.conv2d(p, gx.transpose(2, 3)) ** 2)


def gmsd(a, b, c=0.0026):
    ga, gb = gradient(a), gradient(b)
    gms = (2 * ga * gb + c) / (ga ** 2 + gb ** 2 + c)
    return gms.std().item()


def halo(out, truth):
    hi = F.max_pool2d(F.pad(truth, [2, 2, 2, 2], mode="replicate"), 5, 1)
    lo = -F.max_pool2d(F.pad(-truth, [2, 2, 2, 2], mode="replicate"), 5, 1)
    return ((out - hi).clamp(min=0) + (lo - out).clamp(min=0)).mean().item()


def metrics(out_srgb, truth_srgb, out_linear, truth_linear):
    mean_out = out_linear.mean(dim=(0, 2, 3))
    mean_truth = truth_linear.mean(dim=(0, 2, 3))
    return {"psnr": psnr(out_srgb, truth_srgb), "ssim": ssim(out_srgb, truth_srgb),
            "gmsd": gmsd(out_srgb, truth_srgb),
            "sharp": gradient(out_srgb).mean().item() / max(gradient(truth_srgb).mean().item(), 1e-9),
            "halo": halo(out_srgb, truth_srgb),
            "colour": ((mean_out - mean_truth).abs() / mean_truth.clamp(min=1e-6)).max().item()}


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--render", required=True)
    p.add_argument("--plugin-dir", required=True)
    p.add_argument("--photos", required=True, nargs="+",
                   help="held-out photographs: one folder (or NAME=FOLDER) per set")
    p.add_argument("--out", required=True)
    p.add_argument("--scales", type=int, nargs="+", default=[4, 2])
    p.add_argument("--details", type=float, nargs="+", default=[0.0, 0.9])
    p.add_argument("--crop", type=int, default=256, help="truth crop side (default 256)")
    p.add_argument("--per-image", type=int, default=2)
    p.add_argument("--linear", action="store_true", help="also float EXR inputs")
    p.add_argument("--threads", type=int, default=2)
    args = p.parse_args()
    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="magnifex-quality-")
    rows = []
    for n, (name, folder) in enumerate(photo_sets(args.photos)):
        photos = [torch.from_numpy(load_linear(f, os.path.join(work, "cache"), downscale=2))
                  for f in expand([folder])]
        sheets = measure_set(args, name, photos, work, rows)
        for scale, strips in sheets.items():
            if strips:
                sheet = torch.cat(strips, 2)
                path = os.path.join(args.out, "crops_%s%dx.png" % ("%s_" % name if n else "", scale))
                write_ppm(path + ".ppm", sheet)
                convert(path + ".ppm", path)
                os.remove(path + ".ppm")
                print("crops: %s (truth | bicubic | %s)"
                      % (path, " | ".join("details %g" % d for d in args.details)))
    _summarise(rows, args.out)


def photo_sets(specs):
    """(name, folder) of each --photos argument: NAME=FOLDER, or the folder's own name."""
    sets = []
    for spec in specs:
        name, sep, folder = spec.partition("=")
        if not sep:
            name, folder = os.path.basename(os.path.normpath(spec)), spec
        sets.append((name, folder))
    return sets


def measure_set(args, name, photos, work, rows):
    """Appends one row per crop, input and method of one set to `rows`; returns the crop strips."""
    sheets = {s: [] for s in args.scales}
    inputs = ["8-bit sRGB"] + (["linear EXR"] if args.linear else [])
    for scale in args.scales:
        for n, photo in enumerate(photos):
            for k, truth in enumerate(crops(photo, args.crop - args.crop % scale, args.per_image)):
                truth = truth[None]
                truth_srgb = srgb_encode(truth).clamp(0, 1)
                for kind in inputs:
                    lr = downscale(truth, scale, "area")
                    if kind == "8-bit sRGB":
                        lr = quantise_8bit(lr)
                        src = os.path.join(work, "lr.ppm")
                        write_ppm(src, srgb_encode(lr))
                    else:
                        src = os.path.join(work, "lr.exr")
                        _write_exr(lr, src, work)
                    bic = F.interpolate(srgb_encode(lr), scale_factor=float(scale), mode="bicubic",
                                        align_corners=False).clamp(0, 1)
                    row = {"set": name, "scale": scale, "input": kind, "image": n, "crop": k,
                           "method": "bicubic"}
                    rows.append(dict(row, **metrics(bic, truth_srgb, srgb_decode(bic), truth)))
                    strip = [truth_srgb, bic]
                    for d in args.details:
                        dst = os.path.join(work, "out.exr")
                        render(args, src, dst, scale, d)
                        out = read_linear(dst, work)
                        out_srgb = srgb_encode(out).clamp(0, 1)
                        rows.append(dict(row, method="details %g" % d,
                                         **metrics(out_srgb, truth_srgb, out, truth)))
                        strip.append(out_srgb)
                    if k == 0 and kind == "8-bit sRGB":
                        sheets[scale].append(torch.cat(strip, 3))
    return sheets


def _write_exr(linear, path, work):
    a = linear[0].permute(1, 2, 0).numpy().astype("<f4")[::-1]
    pfm = os.path.join(work, "lr.pfm")
    with open(pfm, "wb") as f:
        f.write(b"PF\n%d %d\n-1.0\n" % (a.shape[1], a.shape[0]) + np.ascontiguousarray(a).tobytes())
    convert(pfm, path, "-d", "float")


def write_and_group(rows, path, by):
    """Writes `rows` (dicts alike) to the CSV file `path`; returns them grouped by the tuple of
    their `by` fields, in the order the groups first appear."""
    with open(path, "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=list(rows[0].keys()))
        w.writeheader()
        w.writerows(rows)
    groups = {}
    for r in rows:
        groups.setdefault(tuple(r[k] for k in by), []).append(r)
    return groups


def _summarise(rows, out_dir):
    keys = ["psnr", "ssim", "gmsd", "sharp", "halo", "colour"]
    groups = write_and_group(rows, os.path.join(out_dir, "quality.csv"), ("set", "scale", "input", "method"))
    width = max(len(r["set"]) for r in rows)
    print("%-*s %-5s %-11s %-12s %7s %7s %7s %6s %7s %7s %9s %10s" % (
        width, "set", "scale", "input", "method", *keys, "gain dB", "gmsd/bic"))
    for (name, scale, kind, method), rs in groups.items():
        mean = {k: sum(r[k] for r in rs) / len(rs) for k in keys}
        base = groups[(name, scale, kind, "bicubic")]
        gain = mean["psnr"] - sum(r["psnr"] for r in base) / len(base)
        ratio = mean["gmsd"] / max(sum(r["gmsd"] for r in base) / len(base), 1e-9)
        print("%-*s %-5s %-11s %-12s %7.2f %7.4f %7.4f %6.2f %7.4f %7.4f %+9.2f %10.3f"
              % (width, name, "%dx" % scale, kind, method, *[mean[k] for k in keys], gain, ratio))


if __name__ == "__main__":
    main()
