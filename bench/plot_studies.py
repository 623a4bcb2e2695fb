"""One PNG per study from the CSV files run_studies.py wrote.

    python bench/plot_studies.py DIR
"""

import csv
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def read(path):
    with open(path) as f:
        rows = list(csv.DictReader(f))
    for row in rows:
        for k, v in row.items():
            try:
                row[k] = float(v)
            except (TypeError, ValueError):
                pass
    return rows


def label(row):
    size = "%dx%d" % (row["width"], row["height"])
    if row["study"] == "sequence":
        return "seq %s %s %dx" % (row["type"], size, row["scale"])
    return "%s %dx%s" % (size, row["scale"], " ms" if row.get("multisample") == 1 else "")


def overhead(rows, out):
    fig, ax = plt.subplots(figsize=(10, 4.5))
    ax.bar(range(len(rows)), [r["overhead"] for r in rows], color=["#4c72b0" if r["study"] == "still" else "#dd8452" for r in rows])
    ax.axhline(1.03, color="k", linestyle="--", linewidth=1, label="still target 1.03 (CPU)")
    ax.axhline(1.05, color="grey", linestyle=":", linewidth=1, label="sequence target 1.05")
    ax.set_xticks(range(len(rows)), [label(r) for r in rows], rotation=60, ha="right", fontsize=8)
    ax.set_ylim(0.9, max(1.2, max(r["overhead"] for r in rows) * 1.05))
    ax.set_ylabel("render time / sum of bare network passes")
    ax.set_title("Overhead of a render over its network passes (reference pack, %s)" % rows[0]["device"])
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(out, dpi=110)


def peer(rows, out):
    fig, ax = plt.subplots(figsize=(7, 4))
    names = ["%s %s %dx" % (r["pack"], "%dx%d" % (r["width"], r["height"]), r["scale"]) for r in rows]
    x = range(len(rows))
    ax.bar([i - 0.2 for i in x], [r["render_s"] for r in rows], 0.4, label="Magnifex (render through the host)")
    ax.bar([i + 0.2 for i in x], [r["peer_s"] for r in rows], 0.4, label="Python tiled loop (cut, run, paste)")
    ax.set_xticks(list(x), names, fontsize=8)
    ax.set_ylabel("seconds")
    ax.set_title("Magnifex against a plain PyTorch tiled loop, same archives and patches")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(out, dpi=110)


def scale(rows, out):
    fig, (a, b) = plt.subplots(1, 2, figsize=(11, 4.2))
    for pack, scale_, marker in (("tiny", 4, "o"), ("reference", 2, "s")):
        sel = [r for r in rows if r["pack"] == pack and r["scale"] == scale_]
        if not sel:
            continue
        mp = [r["width"] * r["height"] * r["scale"] ** 2 / 1e6 for r in sel]
        a.plot(mp, [r["s_per_output_mp"] for r in sel], marker=marker, label="%s %dx" % (pack, scale_))
        b.plot(mp, [r["peak_host_mb"] for r in sel], marker=marker, label="peak host memory, %s %dx" % (pack, scale_))
        b.plot(mp, [r["input_mb"] + 2 * r["output_plane_mb"] for r in sel], linestyle="--",
               label="input + 2 x output plane, %s %dx" % (pack, scale_))
    for ax in (a, b):
        ax.set_xscale("log")
        ax.set_xlabel("output megapixels")
        ax.legend(fontsize=8)
    a.set_ylabel("seconds per output megapixel")
    a.set_title("Cost per output megapixel")
    b.set_yscale("log")
    b.set_ylabel("MB")
    b.set_title("Peak host memory")
    fig.tight_layout()
    fig.savefig(out, dpi=110)


def profile(rows, out):
    skip = {"study", "width", "height", "scale", "multisample", "total_s", "peak_host_mb"}
    fig, axes = plt.subplots(1, len(rows), figsize=(6 * len(rows), 3.6), squeeze=False)
    for ax, row in zip(axes[0], rows):
        stages = [(k, v) for k, v in row.items() if k not in skip and isinstance(v, float)]
        ax.barh([k for k, _ in stages], [v for _, v in stages])
        ax.set_xlabel("seconds")
        ax.set_title("%dx%d at %dx%s, outside the passes" % (row["width"], row["height"], row["scale"],
                                                            ", multisample" if row["multisample"] == 1 else ""),
                     fontsize=9)
        ax.tick_params(axis="y", labelsize=7)
    fig.tight_layout()
    fig.savefig(out, dpi=110)


def passes(rows, out):
    fig, ax = plt.subplots(figsize=(8, 4))
    variants = [k[:-2] for k in rows[0] if k.endswith(" s")]
    width = 0.8 / len(variants)
    for i, v in enumerate(variants):
        ax.bar([j + i * width for j in range(len(rows))], [r[v + " s"] for r in rows], width, label=v)
    ax.set_xticks([j + 0.4 - width / 2 for j in range(len(rows))],
                  ["%dx, %d thread%s" % (r["scale"], r["threads"], "" if r["threads"] == 1 else "s") for r in rows])
    ax.set_ylabel("seconds for the render's passes")
    ax.set_title("Network passes as run against the plain layout (reference pack)")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(out, dpi=110)


def chunks(rows, out):
    row = rows[0]
    frames = sorted(int(k.split()[1]) for k in row if k.endswith(" mean diff"))
    fig, ax = plt.subplots(figsize=(7, 4))
    ax.plot(frames, [row["frame %d max diff" % f] for f in frames], marker="o", label="largest difference")
    ax.plot(frames, [row["frame %d mean diff" % f] for f in frames], marker="s", label="mean difference")
    for boundary in range(int(row["chunk"]) + 1, frames[-1] + 1, int(row["chunk"])):
        ax.axvline(boundary - 0.5, color="grey", linestyle=":")
    ax.set_xlabel("frame (dotted: chunk boundaries)")
    ax.set_ylabel("|chunked - unsplit| (linear)")
    ax.set_title("Chunks of %d frames against one run (state-carrying network; mean value %.2f)"
                 % (row["chunk"], row["mean value"]), fontsize=9)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(out, dpi=110)


def main():
    directory = sys.argv[1]
    for name, plot in (("overhead", overhead), ("peer", peer), ("scale", scale), ("profile", profile),
                       ("passes", passes), ("chunks", chunks)):
        path = os.path.join(directory, name + ".csv")
        if os.path.exists(path):
            rows = read(path)
            if rows:
                plot(rows, os.path.join(directory, name + ".png"))
                print(os.path.join(directory, name + ".png"))


if __name__ == "__main__":
    main()
