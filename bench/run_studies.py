"""Runs the benchmark studies with magnifex_bench and the Python peer, one process per measurement,
and writes <out>/<study>.csv plus a table on standard output. scripts/bench calls it; plots come
from plot_studies.py.

    python bench/run_studies.py --build BUILD --out DIR [--quick] [--threads N] [--only STUDY ...]
"""

import argparse
import csv
import json
import os
import subprocess
import sys
import tempfile
import time

STUDIES = ("overhead", "peer", "scale", "profile", "passes", "chunks", "quality", "precision", "ncnn")


def configs(study, quick):
    """(arguments of magnifex_bench) for each measurement of a study."""
    if study == "overhead":
        sizes = [(128, 80)] if quick else [(256, 160), (512, 288)]
        runs = []
        for w, h in sizes:
            for scale in (2, 4):
                for ms in (False, True):
                    runs.append(["still", "--pack", "reference", "--width", w, "--height", h, "--scale", scale,
                                 "--repeat", 2] + (["--multisample"] if ms else []))
            for kind in ("plates", "cg"):
                runs.append(["sequence", "--pack", "reference", "--width", w, "--height", h, "--scale", 4,
                             "--type", kind, "--repeat", 2])
        if not quick:
            # The 1080p-class still render at 4x: about half an hour on two cores with the reference pack.
            runs.append(["still", "--pack", "reference", "--width", 1920, "--height", 1080, "--scale", 4,
                         "--repeat", 1])
        return runs
    if study == "peer":
        if quick:
            return [["still", "--pack", "tiny", "--width", 256, "--height", 160, "--max-size", 100, "--repeat", 3]]
        # The trained pack with BFloat16 passes against the peer in float32, as a user would run each.
        return [["still", "--pack", "reference", "--width", 512, "--height", 288, "--max-size", 200, "--repeat", 2],
                ["still", "--pack", "tiny", "--width", 960, "--height", 540, "--max-size", 250, "--repeat", 3],
                ["still", "--pack", "trained", "--width", 256, "--height", 160, "--max-size", 200, "--repeat", 2,
                 "--precision", "mixed"]]
    if study == "scale":
        tiny = [(128, 72), (256, 144), (512, 288), (960, 540)] + ([] if quick else [(1920, 1080), (3840, 2160)])
        runs = [["still", "--pack", "tiny", "--width", w, "--height", h, "--scale", 4, "--repeat", 1, "--no-passes"]
                for w, h in tiny]
        if not quick:
            runs += [["still", "--pack", "reference", "--width", w, "--height", h, "--scale", 2, "--repeat", 1,
                      "--no-passes"] for w, h in [(128, 72), (256, 144), (512, 288)]]
        return runs
    if study == "profile":
        w, h = (960, 540) if quick else (1920, 1080)
        return [["profile", "--width", w, "--height", h, "--scale", 4, "--repeat", 3],
                ["profile", "--width", w, "--height", h, "--scale", 4, "--repeat", 3, "--multisample"]]
    if study == "passes":
        w, h = (128, 80) if quick else (256, 160)
        return [["passes", "--pack", "reference", "--width", w, "--height", h, "--scale", s, "--repeat", 2,
                 "--max-size", 100] for s in (2, 4)]
    if study == "chunks":
        return [["chunks", "--pack", "tiny", "--width", 160, "--height", 112, "--scale", 4]]
    raise ValueError(study)


def run_bench(build, args, threads, log):
    cmd = [os.path.join(build, "bin", "magnifex_bench")] + [str(a) for a in args] + ["--threads", str(threads)]
    log("  " + " ".join(cmd[1:]))
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=dict(os.environ, OMP_NUM_THREADS=str(threads)))
    rows = [json.loads(line) for line in out.stdout.splitlines() if line.startswith("{")]
    if len(rows) != 1:
        raise RuntimeError("magnifex_bench printed %d results:\n%s%s" % (len(rows), out.stdout, out.stderr))
    return rows[0]


def run_peer(build, dump, pack, threads, log):
    here = os.path.dirname(os.path.abspath(__file__))
    cmd = [sys.executable, os.path.join(here, "peer_tiled.py"), "--pack-dir", os.path.join(build, "packs", pack),
           "--dump", dump, "--threads", str(threads)]
    log("  peer_tiled.py --pack-dir packs/%s" % pack)
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=dict(os.environ, OMP_NUM_THREADS=str(threads)))
    return json.loads(out.stdout.strip().splitlines()[-1])


def study_rows(study, build, quick, threads, log):
    rows = []
    for args in configs(study, quick):
        if study == "peer":
            with tempfile.TemporaryDirectory() as dump:
                row = run_bench(build, args + ["--dump", dump], threads, log)
                peer = run_peer(build, dump, row["pack"], threads, log)
            row.update({"peer_s": peer["peer_s"], "magnifex_over_peer": row["render_s"] / peer["peer_s"],
                        "max_abs_diff": peer["max_abs_diff"], "mean_abs_diff": peer["mean_abs_diff"],
                        "diff_p999": peer["diff_p999"]})
            rows.append(row)
        elif study == "passes":
            for t in sorted({1, threads}):
                rows.append(run_bench(build, args, t, log))
        else:
            rows.append(run_bench(build, args, threads, log))
    return rows


def run_quality(args, log):
    """Picture quality of the trained pack on held-out photographs (bench/still_quality.py)."""
    here = os.path.dirname(os.path.abspath(__file__))
    photos = os.environ.get("MAGNIFEX_HELD_OUT_PHOTOS", "")
    # The set from packages that give no training picture sits beside the held-out wallpapers.
    independent = os.path.join(os.path.dirname(os.path.normpath(photos)), "held-out-independent")
    sets = [photos] + ([independent] if os.path.isdir(independent) else [])
    cmd = [sys.executable, os.path.join(here, "still_quality.py"),
           "--render", os.path.join(args.build, "bin", "magnifex-render"),
           "--plugin-dir", os.path.join(args.build, "plugins", "trained"),
           "--photos", *sets, "--out", os.path.join(args.out, "quality"), "--threads", str(args.threads)]
    if args.quick:
        cmd += ["--per-image", "1", "--crop", "128"]
    else:
        cmd += ["--linear"]
    log("  still_quality.py --plugin-dir plugins/trained --photos %s" % " ".join(sets))
    out = subprocess.run(cmd, check=True, capture_output=True, text=True)
    print("\n== quality ==")
    print(out.stdout.rstrip())
    cmd = [sys.executable, os.path.join(here, "highlight_quality.py"),
           "--render", os.path.join(args.build, "bin", "magnifex-render"),
           "--plugin-dir", os.path.join(args.build, "plugins", "trained"), "--photos", *sets,
           "--out", os.path.join(args.out, "highlights"), "--threads", str(args.threads)]
    if args.quick:
        cmd += ["--scales", "4", "--crop", "128"]
    log("  highlight_quality.py --plugin-dir plugins/trained --photos %s" % " ".join(sets))
    out = subprocess.run(cmd, check=True, capture_output=True, text=True)
    print("\n== highlights above 1 (linear EXR, LogC) ==")
    print(out.stdout.rstrip())
    # Sequence mode beside still mode on moving clips of the same photographs: plates and CG
    # (premultiplied RGBA) at both scales.
    for name, extra in (("sequence", []), ("sequence-2x", ["--scale", "2"]),
                        ("sequence-cg", ["--material", "CG"]),
                        ("sequence-cg-2x", ["--scale", "2", "--material", "CG"])):
        cmd = [sys.executable, os.path.join(here, "sequence_quality.py"),
               "--render", os.path.join(args.build, "bin", "magnifex-render"),
               "--plugin-dir", os.path.join(args.build, "plugins", "trained"),
               "--photos", photos, "--out", os.path.join(args.out, name), "--threads", str(args.threads)] + extra
        if args.quick:
            cmd += ["--clips", "1", "--frames", "5", "--size", "32"]
        log("  sequence_quality.py --plugin-dir plugins/trained --photos %s %s" % (photos, " ".join(extra)))
        out = subprocess.run(cmd, check=True, capture_output=True, text=True)
        print("\n== %s quality ==" % name.replace("-", " "))
        print(out.stdout.rstrip())


def run_precision(args, study, log):
    """float32 against BFloat16, or Magnifex against the ncnn runtime (bench/precision_study.py)."""
    here = os.path.dirname(os.path.abspath(__file__))
    cmd = [sys.executable, os.path.join(here, "precision_study.py"),
           "--render", os.path.join(args.build, "bin", "magnifex-render"),
           "--plugins", os.path.join(args.build, "plugins"),
           "--photos", os.environ.get("MAGNIFEX_HELD_OUT_PHOTOS", ""), "--out", args.out,
           "--threads"] + [str(t) for t in sorted({1, args.threads})] + ["--only", study]
    if args.quick:
        cmd.append("--quick")
    log("  precision_study.py --only %s" % study)
    out = subprocess.run(cmd, check=True, capture_output=True, text=True)
    print(out.stdout.rstrip())


def write_csv(path, rows):
    keys = []
    for row in rows:
        keys += [k for k in row if k not in keys]
    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=keys)
        writer.writeheader()
        writer.writerows(rows)


def print_table(study, rows):
    keys = []
    for row in rows:
        keys += [k for k in row if k not in keys and k not in ("study", "peak_gpu_mb") or (k == "peak_gpu_mb" and row[k])]
    def cell(v):
        return "%.4g" % v if isinstance(v, float) else str(v)
    table = [keys] + [[cell(r.get(k, "")) for k in keys] for r in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(keys))]
    print("\n== %s ==" % study)
    for line in table:
        print("  ".join(c.rjust(w) for c, w in zip(line, widths)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--only", nargs="*", choices=STUDIES)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    log = lambda line: print(line, file=sys.stderr, flush=True)
    for study in args.only or STUDIES:
        start = time.time()
        log("[bench] %s" % study)
        if study in ("precision", "ncnn"):
            run_precision(args, study, log)
            log("[bench] %s done in %.0f s" % (study, time.time() - start))
            continue
        if study == "quality":
            run_quality(args, log)
            log("[bench] %s done in %.0f s" % (study, time.time() - start))
            continue
        rows = study_rows(study, args.build, args.quick, args.threads, log)
        write_csv(os.path.join(args.out, study + ".csv"), rows)
        print_table(study, rows)
        log("[bench] %s done in %.0f s" % (study, time.time() - start))


if __name__ == "__main__":
    main()
