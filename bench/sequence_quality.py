"""Picture quality and steadiness of sequence mode against still mode, on moving clips of held-out
photographs, rendered through magnifex-render.

    python bench/sequence_quality.py --render build/bin/magnifex-render --plugin-dir build/plugins/trained \
        --photos ~/.cache/magnifex/photos/held-out --out build/bench/sequence [--scale 4] [--details 0 0.9] \
        [--flow build/packs/trained]

Each clip is a held-out photograph (linear light, area-downscaled by 2) seen along a smooth camera
path at full resolution, area-downscaled by the scale and written as 8-bit sRGB frames, as the
recurrent trainer's held-out clips are made (modelpack/train_sequence.py); the full-resolution
frames are the truth. magnifex-render upscales every clip in still mode and in sequence mode (its
default preroll) at each details value, and still mode at details 0 whatever the values (sequence
mode exists to be steadier than still mode's fidelity end too); bicubic upscales the same sRGB
frames. Against the truth, in sRGB clipped to [0, 1]:
  psnr      over the three channels, peak 1, mean over frames
  gmsd      gradient magnitude similarity deviation (lower: edges and texture closer to the truth)
  sharp     mean gradient magnitude over the truth's (1 = as sharp as the truth; as in still_quality)
  temporal  mean absolute difference between the result's frame-to-frame change and the truth's:
            flicker and crawling texture (lower is steadier)
The table also gives, for sequence mode, its temporal error over still mode's at the same details
and at details 0, and its PSNR over still mode's at details 0.

The flow network (FLWN.pt of --flow, a pack folder or an archive; default the pack folder beside the
plug-in directory, build/packs/<name>) is scored per axis as the plug-in calls it: pairs of
LogC-encoded frames of the held-out photographs, patches of 32 to 500 pixels padded as the plug-in
pads them, the plug-in's number of updates (flow_iterations in models/ModelCatalogue.def), the
current frame first, motion up to --shift: mean |x error| and |y error| in input pixels beside
zero flow's (flow.csv). A network that reads one axis only shows here, where
an end-point error hides it.

Writes quality.csv, flow.csv, a table on standard output, temporal.csv (the temporal error of every frame of
the first clip, by method; bench/plot_temporal.py draws it) and frames.png (truth | bicubic | still
| sequence of one frame of each clip, at the last details value).

--material CG: the clips are premultiplied RGBA with soft mattes moving with the scene (as the CG
recurrent networks train on), written as float EXR and rendered with type "CG [RGBA]"; bicubic
upscales the premultiplied RGBA. psnr, gmsd and temporal are of the premultiplied colour (over
black, in sRGB), and two more columns judge the mattes:
  alpha     PSNR of alpha
  edge      mean absolute error, in sRGB, of the result composited over mid grey, where the truth's
            alpha is neither 0 nor 1: a fringe or halo along the matte's edge raises it
frames.png then shows each result over mid grey.
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
from modelpack.images import expand, load_linear, read_fits  # noqa: E402
from modelpack.metrics import psnr  # noqa: E402
from modelpack.train_sequence import ClipSamples, temporal_error  # noqa: E402
from still_quality import convert, gmsd, gradient, read_linear, write_ppm  # noqa: E402


CG_TYPE = "CG [RGBA]"
GREY = 0.18


def render(args, src, dst, mode, details):
    cmd = [args.render, "--plugin-dir", args.plugin_dir, "--input", src, "--output", dst,
           "--set", "mode=%s" % mode, "--set", "scale=%dx" % args.scale, "--set", "details=%g" % details,
           "--output-type", "float", "--threads", str(args.threads)]
    if args.material == "CG":
        cmd += ["--set", "type=%s" % CG_TYPE]
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (" ".join(cmd), r.stderr))


def write_exr_rgba(path, rgba, work):
    """A [1, 4, H, W] linear premultiplied frame as a float RGBA EXR (through a FITS file, which
    oiiotool reads: axes channel, column, row, rows bottom to top, big-endian)."""
    import numpy as np
    c, h, w = rgba.shape[1:]
    cards = ["SIMPLE  =                    T", "BITPIX  =                  -32", "NAXIS   =                    3",
             "NAXIS1  = %20d" % c, "NAXIS2  = %20d" % w, "NAXIS3  = %20d" % h, "END"]
    header = "".join(card.ljust(80) for card in cards).encode("ascii")
    header += b" " * (-len(header) % 2880)
    pixels = rgba[0].permute(1, 2, 0).numpy()[::-1].astype(">f4").tobytes()
    fits = os.path.join(work, "write.fits")
    with open(fits, "wb") as f:
        # As oiiotool writes FITS, and reads it back: a row of zeros before the pixels.
        f.write(header + b"\0" * (w * c * 4) + pixels)
    convert(fits, path, "--chnames", "R,G,B,A", "-d", "float")


def read_rgba(path, work):
    fits = os.path.join(work, "read.fits")
    convert(path, fits, "--ch", "R,G,B,A", "-d", "float")
    return torch.from_numpy(read_fits(fits))[None]


def view(frame):
    """What the metrics see of a frame: sRGB of its (premultiplied) colour, in [0, 1]."""
    return srgb_encode(frame[:, :3]).clamp(0, 1)


def over_grey(frame):
    return srgb_encode(frame[:, :3] + GREY * (1.0 - frame[:, 3:4].clamp(0, 1))).clamp(0, 1)


def matte_scores(got, truth):
    """(alpha PSNR, edge error over grey) of RGBA results against the RGBA truth."""
    alpha = sum(psnr(g[:, 3:4].clamp(0, 1), t[:, 3:4]) for g, t in zip(got, truth)) / len(truth)
    errors = []
    for g, t in zip(got, truth):
        edge = ((t[:, 3:4] > 0.02) & (t[:, 3:4] < 0.98)).expand(-1, 3, -1, -1)
        if edge.any():
            errors.append((over_grey(g) - over_grey(t)).abs()[edge].mean().item())
    return alpha, sum(errors) / max(len(errors), 1)


def per_frame_temporal(frames, truth):
    return [temporal_error(frames[i - 1:i + 1], truth[i - 1:i + 1]) for i in range(1, len(frames))]


def clip_rows(args, clip_index, inputs, truth, work):
    """(rows, {method: [sRGB frames]}) of one clip."""
    frames = os.path.join(work, "clip")
    shutil.rmtree(frames, ignore_errors=True)
    os.makedirs(frames)
    first = 1001
    cg = args.material == "CG"
    for t, frame in enumerate(inputs):
        if cg:
            write_exr_rgba(os.path.join(frames, "lr.%04d.exr" % (first + t)), frame, work)
        else:
            write_ppm(os.path.join(frames, "lr.%04d.ppm" % (first + t)), srgb_encode(frame))
    if cg:
        # Linear RGBA: the premultiplied bicubic upscale a compositor would otherwise use.
        results = {"bicubic": [F.interpolate(f, scale_factor=float(args.scale), mode="bicubic",
                                             align_corners=False) for f in inputs]}
    else:
        results = {"bicubic": [F.interpolate(srgb_encode(f), scale_factor=float(args.scale), mode="bicubic",
                                             align_corners=False).clamp(0, 1) for f in inputs]}
    for mode in ("still", "sequence"):
        # Still mode at details 0 always: its fidelity end is what sequence mode must beat too.
        for d in ([0.0] if 0.0 not in args.details and mode == "still" else []) + list(args.details):
            out = os.path.join(work, "out")
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            src = os.path.join(frames, "lr.####.%s" % ("exr" if cg else "ppm"))
            render(args, src, os.path.join(out, "up.####.exr"), mode, d)
            paths = [os.path.join(out, "up.%04d.exr" % (first + t)) for t in range(len(inputs))]
            results["%s %g" % (mode, d)] = ([read_rgba(p, work) for p in paths] if cg else
                                            [srgb_encode(read_linear(p, work)).clamp(0, 1) for p in paths])
    seen = [view(t) if cg else srgb_encode(t).clamp(0, 1) for t in truth]
    rows = []
    for method, got in results.items():
        row = {"clip": clip_index, "method": method}
        if cg:
            row["alpha"], row["edge"] = matte_scores(got, list(truth))
            got = [view(g) for g in got]
        row.update({"psnr": sum(psnr(g, s) for g, s in zip(got, seen)) / len(seen),
                    "gmsd": sum(gmsd(g, s) for g, s in zip(got, seen)) / len(seen),
                    "sharp": sum(gradient(g).mean().item() / max(gradient(s).mean().item(), 1e-9)
                                 for g, s in zip(got, seen)) / len(seen),
                    "temporal": temporal_error(got, seen),
                    "per_frame": per_frame_temporal(got, seen)})
        rows.append(row)
    if cg:  # the sheet shows RGBA over grey
        seen = [over_grey(t) for t in truth]
        results = {m: [over_grey(g) for g in got] for m, got in results.items()}
    return rows, results, seen


def flow_archive(args):
    """The FLWN.pt the plug-in directory's pack holds (or --flow's), or None."""
    if args.flow:
        path = os.path.join(args.flow, "FLWN.pt") if os.path.isdir(args.flow) else args.flow
    else:
        plugin_dir = os.path.normpath(args.plugin_dir)
        path = os.path.join(os.path.dirname(os.path.dirname(plugin_dir)), "packs", os.path.basename(plugin_dir),
                            "FLWN.pt")
    return path if os.path.isfile(path) else None


def flow_scores(args, photos, out_dir):
    """Per-axis scores of the pack's flow network, called as the plug-in calls it (flow.csv)."""
    from modelpack.train_flow import (PLUGIN_ITERATIONS, ClipPairs, FlowTrainConfig, flow_scores as score,
                                      held_out_pairs)
    path = flow_archive(args)
    if path is None:
        print("flow: no FLWN.pt found (give --flow); not scored")
        return None
    module = torch.jit.load(path, map_location="cpu").eval()
    # Patches up to the plug-in's 500 pixels, or as large as the largest photograph holds.
    side = max(min(im.shape[1:]) for im in photos)
    patch = 500
    while patch > 32 and ClipPairs.crop_side(patch, 1, args.shift) > side:
        patch -= 1
    cfg = FlowTrainConfig(images=[], held_out=[], work="", shift=args.shift, seed=args.seed,
                          eval_clips=args.flow_pairs, patch=patch)
    try:
        pairs = held_out_pairs(cfg, photos)
    except ValueError as e:
        print("flow: not scored (%s)" % e)
        return None
    s = score(module, pairs)
    with open(os.path.join(out_dir, "flow.csv"), "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(list(s))
        w.writerow(["%.4f" % v for v in s.values()])
    print("flow %s, %d pairs of 32..%d px patches moving up to %g px, %d updates:"
          % (path, args.flow_pairs, patch, args.shift, PLUGIN_ITERATIONS))
    print("  %-6s %9s %10s %7s" % ("axis", "error px", "zero flow", "ratio"))
    for axis in ("x", "y", "epe"):
        print("  %-6s %9.3f %10.3f %7.2f" % (axis, s[axis], s[axis + "_zero_flow"],
                                            s[axis] / max(s[axis + "_zero_flow"], 1e-9)))
    return s


def summarise(rows, out_dir):
    matte = ["alpha", "edge"] if "alpha" in rows[0] else []
    keys = ["psnr", "gmsd", "sharp", "temporal"] + matte
    with open(os.path.join(out_dir, "quality.csv"), "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=["clip", "method"] + keys)
        w.writeheader()
        w.writerows({k: r[k] for k in w.fieldnames} for r in rows)
    methods = list(dict.fromkeys(r["method"] for r in rows))
    mean = {m: {k: sum(r[k] for r in rows if r["method"] == m) / sum(1 for r in rows if r["method"] == m)
                for k in keys} for m in methods}
    # Temporal error over still mode's at the same details and at details 0; PSNR over still mode's at 0.
    print("%-14s %7s %9s %7s %6s %9s %14s %11s %11s" % ("method", "psnr", "gain dB", "gmsd", "sharp", "temporal",
                                                        "vs still same", "vs still 0", "dB still 0")
          + ("  %7s %7s" % ("alpha", "edge") if matte else ""))
    still0 = mean.get("still 0")
    for m in methods:
        still = mean.get(m.replace("sequence", "still"))
        sequence = m.startswith("sequence")
        ratio = "%.2f" % (mean[m]["temporal"] / still["temporal"]) if still and sequence else ""
        ratio0 = "%.2f" % (mean[m]["temporal"] / still0["temporal"]) if still0 and sequence else ""
        gain0 = "%+.2f" % (mean[m]["psnr"] - still0["psnr"]) if still0 and sequence else ""
        print("%-14s %7.2f %+9.2f %7.4f %6.3f %9.5f %14s %11s %11s" % (
            m, mean[m]["psnr"], mean[m]["psnr"] - mean["bicubic"]["psnr"], mean[m]["gmsd"], mean[m]["sharp"],
            mean[m]["temporal"], ratio, ratio0, gain0)
              + ("  %7.2f %7.4f" % (mean[m]["alpha"], mean[m]["edge"]) if matte else ""))
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
    p.add_argument("--material", choices=("PA", "CG"), default="PA",
                   help="PA: plates, 8-bit sRGB frames (default); CG: premultiplied RGBA float EXR frames")
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
    p.add_argument("--flow", help="pack folder or FLWN.pt whose flow network to score per axis (default: "
                   "build/packs/<name> for --plugin-dir build/plugins/<name>)")
    p.add_argument("--flow-pairs", type=int, default=16, help="held-out pairs the flow is scored on (default 16)")
    args = p.parse_args()
    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="magnifex-sequence-quality-")
    try:
        photos = [torch.from_numpy(load_linear(f, os.path.join(work, "cache"), downscale=args.downscale))
                  for f in expand([args.photos])]
        # Plates as 8-bit frames, CG as float renders are.
        clips = ClipSamples(photos, args.scale, args.size, args.frames, args.shift, args.material, True,
                            seed=args.seed, premultiplied_share=0.0,
                            degradation=Degradation("area", quantise=args.material == "PA"),
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
        torch.set_num_threads(args.threads)
        flow_scores(args, photos, args.out)
        write_temporal(rows, os.path.join(args.out, "temporal.csv"))
        sheet = os.path.join(args.out, "frames.png")
        write_ppm(sheet + ".ppm", torch.cat(strips, 2))
        convert(sheet + ".ppm", sheet)
        os.remove(sheet + ".ppm")
        print("frames: %s (truth | bicubic | still %g | sequence %g%s)" % (
            sheet, args.details[-1], args.details[-1], ", over grey" if args.material == "CG" else ""))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
