"""BFloat16 against float32 on the CPU, and Magnifex against the ncnn runtime, on held-out photographs
rendered through magnifex-render.

    python bench/precision_study.py --render build/bin/magnifex-render --plugins build/plugins \
        --photos ~/.cache/magnifex/photos/held-out --out build/bench/precision [--threads 1 2] [--quick]

precision: for the reference and the trained pack, still 2x and 4x and sequence 4x (plates, a camera
move over the photograph), each thread count: the same input rendered with mixedprecision off
(float32) and on (BFloat16 passes where the CPU has them; the renders opt in with --cpu-bfloat16), alternately, in one run. Reports the
seconds of a frame after the first (stills are rendered as three frames of one picture; the first
includes opening), their ratio, and how far apart the two renders are (PSNR
in sRGB clipped to [0, 1], peak 1, and the largest absolute difference in linear light).

ncnn: the published 4x GAN network's own files run by the ncnn runtime on the CPU (the program a
user would pick instead, whole image, fp16 storage as it ships its default, after a warm-up run),
against magnifex-render's frames after the first on the same 8-bit picture with the trained pack at
4x, float32 and BFloat16, same threads.

Writes precision.csv and ncnn.csv and prints the tables.
"""

import argparse
import csv
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np
import torch

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from modelpack.encoding import srgb_encode  # noqa: E402
from modelpack.images import expand, load_linear  # noqa: E402
from still_quality import convert, read_linear, write_ppm  # noqa: E402

FRAME_DONE = re.compile(r"frame \S+ done in ([0-9.eE+-]+) s")
# Still inputs are rendered as this many frames of one picture: the first frame's time includes
# opening (loading and blending the networks, the first passes' kernel set-up); the others' is what
# each further frame of a shot costs.
STILL_FRAMES = 3


def crop_of(photo, h, w):
    """The centre h x w of a [1, 3, H, W] linear photograph."""
    H, W = photo.shape[2], photo.shape[3]
    top, left = (H - h) // 2, (W - w) // 2
    return photo[:, :, top:top + h, left:left + w]


def write_srgb_png(linear, path, work):
    ppm = os.path.join(work, "frame.ppm")
    write_ppm(ppm, srgb_encode(linear.clamp(0, 1)))
    convert(ppm, path)


def camera_move(photo, h, w, frames):
    """Frames of a slow diagonal move over the photograph, one pixel a frame each way."""
    H, W = photo.shape[2], photo.shape[3]
    top, left = (H - h - frames) // 2, (W - w - frames) // 2
    return [photo[:, :, top + f:top + f + h, left + f:left + f + w] for f in range(frames)]


def render(args, plugin_dir, src, dst, knobs, threads, frames=None):
    """Seconds of the frames after the first (their median) in one magnifex-render run."""
    cmd = [args.render, "--plugin-dir", plugin_dir, "--input", src, "--output", dst, "--output-type", "float",
           "--threads", str(threads), "--cpu-bfloat16"]
    for k, v in knobs:
        cmd += ["--set", "%s=%s" % (k, v)]
    if frames:
        cmd += ["--frames", frames]
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (" ".join(cmd), r.stderr))
    found = [float(t) for t in FRAME_DONE.findall(r.stderr)]
    if not found:
        raise RuntimeError("no per-frame time in:\n" + r.stderr)
    return float(np.median(found[1:] if len(found) > 1 else found))


def write_still_frames(linear, stem, work):
    """STILL_FRAMES copies of one picture as stem.####.png; returns (pattern, frame range)."""
    for f in range(1, STILL_FRAMES + 1):
        write_srgb_png(linear, "%s.%04d.png" % (stem, f), work)
    return stem + ".####.png", "1-%d" % STILL_FRAMES


def difference(a, b):
    """(PSNR in sRGB clipped to [0, 1], largest absolute difference in linear light)."""
    sa, sb = srgb_encode(a.clamp(0, 1)), srgb_encode(b.clamp(0, 1))
    mse = ((sa - sb) ** 2).mean().item()
    psnr = float("inf") if mse == 0 else 10 * np.log10(1.0 / mse)
    return psnr, (a - b).abs().max().item()


def precision_rows(args, photo, work, log):
    h, w = (48, 64) if args.quick else (96, 128)
    frames = 3
    still_in, still_frames = write_still_frames(crop_of(photo, h, w), os.path.join(work, "still"), work)
    for f, frame in enumerate(camera_move(photo, h, w, frames), start=1):
        write_srgb_png(frame, os.path.join(work, "move.%04d.png" % f), work)
    cases = [("still", 2, still_in, [], still_frames), ("still", 4, still_in, [], still_frames),
             ("sequence", 4, os.path.join(work, "move.####.png"),
              [("mode", "sequence"), ("preroll", "0")], "1-%d" % frames)]
    rows = []
    for pack in ("reference", "trained"):
        plugin_dir = os.path.join(args.plugins, pack)
        for mode, scale, src, knobs, frame_range in cases:
            for threads in args.threads:
                times, outputs = {}, {}
                for precision, mixed in (("float32", "false"), ("bfloat16", "true")):
                    dst = os.path.join(work, "%s-%s-%d-%s.####.exr" % (pack, mode, scale, precision))
                    log("  %s %s %dx, %d thread(s), %s" % (pack, mode, scale, threads, precision))
                    times[precision] = render(args, plugin_dir, src, dst, knobs + [("scale", "%dx" % scale),
                                                                                   ("mixedprecision", mixed)],
                                              threads, frame_range)
                    last = dst.replace("####", frame_range.split("-")[1].zfill(4))
                    outputs[precision] = read_linear(last, work)
                psnr, max_abs = difference(outputs["float32"], outputs["bfloat16"])
                rows.append({"pack": pack, "mode": mode, "scale": scale, "threads": threads,
                             "input": "%dx%d" % (w, h), "float32_s": times["float32"],
                             "bfloat16_s": times["bfloat16"], "speed_up": times["float32"] / times["bfloat16"],
                             "psnr_between_db": psnr, "max_abs_diff": max_abs})
    return rows


def ncnn_seconds(param, binary, srgb, threads, repeat):
    import ncnn
    net = ncnn.Net()
    net.opt.use_vulkan_compute = False
    net.opt.num_threads = threads
    net.load_param(param)
    net.load_model(binary)
    mat = ncnn.Mat(np.ascontiguousarray(srgb[0].numpy()))
    times = []
    for i in range(repeat + 1):
        start = time.perf_counter()
        ex = net.create_extractor()
        ex.input("data", mat)
        status, out = ex.extract("output")
        if status != 0:
            raise RuntimeError("ncnn failed with status %d" % status)
        if i:  # the first run is ncnn's warm-up
            times.append(time.perf_counter() - start)
    return float(np.median(times))


def ncnn_rows(args, photo, work, log):
    from modelpack.trained import published_x4plus
    param, binary = published_x4plus()
    sizes = [(48, 64)] if args.quick else [(96, 96), (128, 160)]
    rows = []
    for h, w in sizes:
        linear = crop_of(photo, h, w)
        src, frame_range = write_still_frames(linear, os.path.join(work, "ncnn-%dx%d" % (w, h)), work)
        srgb = srgb_encode(read_linear(src.replace("####", "0001"), work).clamp(0, 1))
        for threads in args.threads:
            log("  ncnn %dx%d, %d thread(s)" % (w, h, threads))
            peer = ncnn_seconds(param, binary, srgb, threads, 1 if args.quick else 2)
            row = {"input": "%dx%d" % (w, h), "threads": threads, "ncnn_s": peer}
            for precision, mixed in (("float32", "false"), ("bfloat16", "true")):
                log("  magnifex-render trained 4x %dx%d, %d thread(s), %s" % (w, h, threads, precision))
                t = render(args, os.path.join(args.plugins, "trained"), src, os.path.join(work, "ncnn-out.####.exr"),
                           [("scale", "4x"), ("mixedprecision", mixed)], threads, frame_range)
                row["magnifex_%s_s" % precision] = t
                row["magnifex_%s_over_ncnn" % precision] = t / peer
            rows.append(row)
    return rows


def write_csv(path, rows):
    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)


def print_table(title, rows):
    print("\n== %s ==" % title)
    keys = list(rows[0])
    print(" | ".join(keys))
    for r in rows:
        print(" | ".join("%.4g" % v if isinstance(v, float) else str(v) for v in (r[k] for k in keys)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--render", required=True)
    parser.add_argument("--plugins", required=True, help="folder of the reference/ and trained/ plug-in folders")
    parser.add_argument("--photos", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--only", nargs="+", choices=("precision", "ncnn"), default=("precision", "ncnn"))
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    log = lambda *a: print(*a, file=sys.stderr, flush=True)  # noqa: E731
    with tempfile.TemporaryDirectory() as work:
        # The first held-out photograph, prepared as for training (linear light, downscaled by 2).
        photo = torch.from_numpy(load_linear(expand([args.photos])[0], os.path.join(work, "cache"), downscale=2))[None]
        for study, rows_of in (("precision", precision_rows), ("ncnn", ncnn_rows)):
            if study not in args.only:
                continue
            rows = rows_of(args, photo, work, log)
            write_csv(os.path.join(args.out, study + ".csv"), rows)
            print_table(study, rows)


if __name__ == "__main__":
    main()
