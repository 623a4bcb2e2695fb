"""Picture quality and steadiness of sequence mode against still mode, on moving clips of held-out
photographs, rendered through magnifex-render.

    python bench/sequence_quality.py --render build/bin/magnifex-render --plugin-dir build/plugins/trained \
        --photos ~/.cache/magnifex/photos/held-out --out build/bench/sequence [--scale 4] [--details 0 0.9]

Each clip is a held-out photograph (linear light, area-downscaled by 2) seen along a smooth camera
path at full resolution, area-downscaled by the scale and written as 8-bit sRGB frames, as the
recurrent trainer's held-out clips are made (modelpack/train_sequence.py); the full-resolution
frames are the truth. magnifex-render upscales every clip in still mode and in sequence mode (its
default preroll) at each details value; bicubic upscales the same sRGB frames. Against the truth,
in sRGB clipped to [0, 1]:
  psnr      over the three channels, peak 1, mean over frames
  gmsd      gradient magnitude similarity deviation (lower: edges and texture closer to the truth)
  temporal  mean absolute difference between the result's frame-to-frame change and the truth's:
            flicker and crawling texture (lower is steadier)
Writes quality.csv, a table on standard output, temporal.csv (the temporal error of every frame of
the first clip, by method; bench/plot_temporal.py draws it) and frames.png (truth | bicubic | still
| sequence of one frame of each clip, at the last details value).
"""

import argparse
import csv
import os
import shutil
import subprocess
import sys
import tempfile

import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from modelpack.degrade import Degradation  # noqa: E402
from modelpack.encoding import srgb_encode  # noqa: E402
from modelpack.evaluate import psnr  # noqa: E402
from modelpack.images import expand, load_linear  # noqa: E402
from modelpack.train_sequence import ClipSamples, temporal_error  # noqa: E402
from still_quality import convert, gmsd, read_linear, write_ppm  # noqa: E402


def render(args, src, dst, mode, details):
    cmd = [args.render, "--plugin-dir", args.plugin_dir, "--input", src, "--output", dst,
           "--set", "mode=%s" % mode, "--set", "scale=%dx" % args.scale, "--set", "details=%g" % details,
           "--output-type", "float", "--threads", str(args.threads)]
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (" ".join(cmd), r.stderr))


def per_frame_temporal(frames, truth):
    return [temporal_error(frames[i - 1:i + 1], truth[i - 1:i + 1]) for i in range(1, len(frames))]


def clip_rows(args, clip_index, inputs, truth, work):
    """(rows, {method: [sRGB frames]}) of one clip."""
    frames = os.path.join(work, "clip")
    shutil.rmtree(frames, ignore_errors=True)
    os.makedirs(frames)
    first = 1001
    for t, frame in enumerate(inputs):
        write_ppm(os.path.join(frames, "lr.%04d.ppm" % (first + t)), srgb_encode(frame))
    seen = [srgb_encode(t).clamp(0, 1) for t in truth]
    results = {"bicubic": [F.interpolate(srgb_encode(f), scale_factor=float(args.scale), mode="bicubic",
                                         align_corners=False).clamp(0, 1) for f in inputs]}
    for mode in ("still", "sequence"):
        for d in args.details:
            out = os.path.join(work, "out")
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            render(args, os.path.join(frames, "lr.####.ppm"), os.path.join(out, "up.####.exr"), mode, d)
            results["%s %g" % (mode, d)] = [
                srgb_encode(read_linear(os.path.join(out, "up.%04d.exr" % (first + t)), work)).clamp(0, 1)
                for t in range(len(inputs))]
    rows = []
    for method, got in results.items():
        rows.append({"clip": clip_index, "method": method,
                     "psnr": sum(psnr(g, s) for g, s in zip(got, seen)) / len(seen),
                     "gmsd": sum(gmsd(g, s) for g, s in zip(got, seen)) / len(seen),
                     "temporal": temporal_error(got, seen),
                     "per_frame": per_frame_temporal(got, seen)})
    return rows, results, seen


def summarise(rows, out_dir):
    with open(os.path.join(out_dir, "quality.csv"), "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=["clip", "method", "psnr", "gmsd", "temporal"])
        w.writeheader()
        w.writerows({k: r[k] for k in w.fieldnames} for r in rows)
    methods = list(dict.fromkeys(r["method"] for r in rows))
    mean = {m: {k: sum(r[k] for r in rows if r["method"] == m) / sum(1 for r in rows if r["method"] == m)
                for k in ("psnr", "gmsd", "temporal")} for m in methods}
    print("%-14s %7s %9s %7s %9s %14s" % ("method", "psnr", "gain dB", "gmsd", "temporal", "vs still same"))
    for m in methods:
        still = mean.get(m.replace("sequence", "still"))
        ratio = "%.2f" % (mean[m]["temporal"] / still["temporal"]) if still and m.startswith("sequence") else ""
        print("%-14s %7.2f %+9.2f %7.4f %9.5f %14s" % (m, mean[m]["psnr"], mean[m]["psnr"] - mean["bicubic"]["psnr"],
                                                       mean[m]["gmsd"], mean[m]["temporal"], ratio))
    return mean


def write_temporal(rows, path):
    """The first clip's temporal error of each frame (from the second on), one column a method."""
    first = [r for r in rows if r["clip"] == 0]
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["frame"] + [r["method"] for r in first])
        for i in range(len(first[0]["per_frame"])):
            w.writerow([i + 2] + ["%.6f" % r["per_frame"][i] for r in first])


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--render", required=True)
    p.add_argument("--plugin-dir", required=True)
    p.add_argument("--photos", required=True, help="held-out photographs (folder)")
    p.add_argument("--out", required=True)
    p.add_argument("--scale", type=int, choices=(2, 4), default=4)
    p.add_argument("--details", type=float, nargs="+", default=[0.0, 0.9])
    p.add_argument("--clips", type=int, default=3)
    p.add_argument("--frames", type=int, default=10)
    p.add_argument("--size", type=int, default=64, help="input frame side in pixels (default 64)")
    p.add_argument("--shift", type=float, default=4.0, help="most input pixels a frame (default 4)")
    p.add_argument("--downscale", type=int, default=2,
                   help="area-downscale the photographs by this first, as for training (default 2)")
    p.add_argument("--supersample", type=int, default=2,
                   help="render the clips at this many times the truth's resolution (default 2, as for "
                   "training; 1 for photographs too small for that, at the cost of a softer truth)")
    p.add_argument("--seed", type=int, default=2024)
    p.add_argument("--threads", type=int, default=2)
    args = p.parse_args()
    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="magnifex-sequence-quality-")
    try:
        photos = [torch.from_numpy(load_linear(f, os.path.join(work, "cache"), downscale=args.downscale))
                  for f in expand([args.photos])]
        clips = ClipSamples(photos, args.scale, args.size, args.frames, args.shift, "PA", True, seed=args.seed,
                            premultiplied_share=0.0, degradation=Degradation("area", quantise=True),
                            supersample=args.supersample)
        rows, strips = [], []
        for c in range(args.clips):
            inputs, truth = clips.batch(1)
            got, results, seen = clip_rows(args, c, inputs, truth, work)
            rows += got
            t = len(seen) // 2
            last = args.details[-1]
            strips.append(torch.cat([seen[t]] + [results[m][t] for m in
                                                 ("bicubic", "still %g" % last, "sequence %g" % last)], 3))
        summarise(rows, args.out)
        write_temporal(rows, os.path.join(args.out, "temporal.csv"))
        sheet = os.path.join(args.out, "frames.png")
        write_ppm(sheet + ".ppm", torch.cat(strips, 2))
        convert(sheet + ".ppm", sheet)
        os.remove(sheet + ".ppm")
        print("frames: %s (truth | bicubic | still %g | sequence %g)" % (sheet, args.details[-1], args.details[-1]))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
