"""Highlights above 1 in still mode: the node against bicubic on linear EXR crops with highlights.

    python bench/highlight_quality.py --render build/bin/magnifex-render --plugin-dir build/plugins/trained \
        --photos ~/.cache/magnifex/photos/held-out ~/.cache/magnifex/photos/held-out-independent \
        --out build/bench/highlights [--scales 4 2] [--details 0] [--compare knee=DIR]

Plates carry skies, practical lights and speculars above 1 in linear light; the photographs do not.
Each held-out photograph (linear light, area-downscaled by 2) gives the crop with the brightest
highlights of a few, scaled up in exposure until its 99th percentile (largest channel) reaches
--peak (2): skies and lights go above 1, most of the crop stays below. The crop is area-downscaled in linear light and
written as a float EXR, upscaled by magnifex-render and, for comparison, bicubically in linear
light. Against the truth, in the LogC encoding the networks work in (PSNR peak 1):
  above_1    share of the truth's pixels with a channel above 1
  psnr       over the whole crop
  psnr_hi    over the highlight region (truth's largest channel above 1, grown by 2 pixels)
  gmsd_hi    gradient magnitude similarity deviation over the highlight region (lower is better)
  sharp_hi   mean gradient magnitude over the truth's in the highlight region (1 = as sharp)
Writes highlights.csv and a table per set on standard output. --compare renders the same crops
with other plug-in directories too, such as one whose still networks see highlights:
    python -m modelpack build --pack trained --highlight-knee 0.5 --out build/packs/trained-knee
    cmake -S companion -B build/knee -DMAGNIFEX_PACK_DIR=$PWD/build/packs/trained-knee && cmake --build build/knee
    cp build/plugins/trained/Magnifex.so build/knee/
"""

import argparse
import itertools
import math
import os
import sys
import tempfile

import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from still_quality import _write_exr, gradient, photo_sets, read_linear, render, write_and_group  # noqa: E402
from modelpack.degrade import downscale  # noqa: E402
from modelpack.encoding import log_encode  # noqa: E402
from modelpack.evaluate import crops  # noqa: E402
from modelpack.images import expand, load_linear  # noqa: E402


def brightest_crop(photo, size, candidates):
    """The crop (of `candidates` spread over the photograph) whose 99th percentile is highest."""
    return max(crops(photo, size, candidates),
               key=lambda c: torch.quantile(c.amax(0).flatten(), 0.99).item())[None]


def expose(crop, peak):
    """The crop scaled so that the 99th percentile of its largest channel is `peak`."""
    level = torch.quantile(crop.amax(1).flatten(), 0.99).item()
    return crop * min(max(peak / max(level, 1e-6), 1.0), 256.0)


def highlight_mask(truth):
    return F.max_pool2d((truth.amax(1, keepdim=True) > 1.0).float(), 5, 1, 2) > 0


def region_metrics(out_log, truth_log, mask):
    m = mask.expand_as(out_log)
    mse = ((out_log - truth_log) ** 2)
    go, gt = gradient(out_log), gradient(truth_log)
    gms = (2 * go * gt + 0.0026) / (go ** 2 + gt ** 2 + 0.0026)
    return {"psnr": -10 * math.log10(max(mse.mean().item(), 1e-12)),
            "psnr_hi": -10 * math.log10(max(mse[m].mean().item(), 1e-12)),
            "gmsd_hi": gms[mask].std().item(),
            "sharp_hi": go[mask].mean().item() / max(gt[mask].mean().item(), 1e-9)}


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--render", required=True)
    p.add_argument("--plugin-dir", required=True)
    p.add_argument("--photos", required=True, nargs="+", help="one folder (or NAME=FOLDER) per set")
    p.add_argument("--out", required=True)
    p.add_argument("--scales", type=int, nargs="+", default=[4, 2])
    p.add_argument("--details", type=float, nargs="+", default=[0.0])
    p.add_argument("--crop", type=int, default=256)
    p.add_argument("--candidates", type=int, default=4, help="crops looked at per photograph")
    p.add_argument("--peak", type=float, default=2.0)
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--compare", nargs="*", default=[], metavar="NAME=DIR",
                   help="other plug-in directories (another highlight treatment), rendered beside --plugin-dir")
    args = p.parse_args()
    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="magnifex-highlights-")
    plugins = [("", args)] + [(tag, argparse.Namespace(**dict(vars(args), plugin_dir=folder)))
                              for tag, folder in photo_sets(args.compare)]
    rows = []
    for name, folder in photo_sets(args.photos):
        for n, f in enumerate(expand([folder])):
            photo = torch.from_numpy(load_linear(f, os.path.join(work, "cache"), downscale=2))
            for scale in args.scales:
                truth = expose(brightest_crop(photo, args.crop - args.crop % scale, args.candidates), args.peak)
                mask = highlight_mask(truth)
                truth_log = log_encode(truth)
                lr = downscale(truth, scale, "area")
                src = os.path.join(work, "lr.exr")
                _write_exr(lr, src, work)
                row = {"set": name, "scale": scale, "image": n,
                       "above_1": (truth.amax(1) > 1).float().mean().item()}
                bic = F.interpolate(lr, scale_factor=float(scale), mode="bicubic", align_corners=False)
                rows.append(dict(row, method="bicubic", **region_metrics(log_encode(bic), truth_log, mask)))
                for d, (tag, plugin_args) in itertools.product(args.details, plugins):
                    dst = os.path.join(work, "out.exr")
                    render(plugin_args, src, dst, scale, d)
                    out = read_linear(dst, work)
                    rows.append(dict(row, method=" ".join(filter(None, ["details %g" % d, tag])),
                                     **region_metrics(log_encode(out), truth_log, mask)))
    _summarise(rows, args.out)


def _summarise(rows, out_dir):
    keys = ["above_1", "psnr", "psnr_hi", "gmsd_hi", "sharp_hi"]
    groups = write_and_group(rows, os.path.join(out_dir, "highlights.csv"), ("set", "scale", "method"))
    width = max(len(r["set"]) for r in rows)
    print("%-*s %-5s %-22s %7s %7s %7s %7s %8s %9s %12s" % (
        width, "set", "scale", "method", *keys, "gain dB", "gain_hi dB"))
    for (name, scale, method), rs in groups.items():
        mean = {k: sum(r[k] for r in rs) / len(rs) for k in keys}
        base = groups[(name, scale, "bicubic")]
        gain = mean["psnr"] - sum(r["psnr"] for r in base) / len(base)
        gain_hi = mean["psnr_hi"] - sum(r["psnr_hi"] for r in base) / len(base)
        print("%-*s %-5s %-22s %7.3f %7.2f %7.2f %7.4f %8.3f %+9.2f %+12.2f"
              % (width, name, "%dx" % scale, method, *[mean[k] for k in keys], gain, gain_hi))


if __name__ == "__main__":
    main()
