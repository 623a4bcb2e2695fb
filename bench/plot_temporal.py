"""The temporal error of every frame of a clip, one line a method, from sequence_quality.py's
temporal.csv.

    python bench/plot_temporal.py DIR      (writes DIR/temporal.png)
"""

import csv
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main(folder):
    with open(os.path.join(folder, "temporal.csv")) as f:
        rows = list(csv.reader(f))
    methods, data = rows[0][1:], rows[1:]
    frames = [int(r[0]) for r in data]
    fig, ax = plt.subplots(figsize=(7, 3.6), dpi=110)
    for i, method in enumerate(methods):
        ax.plot(frames, [float(r[i + 1]) for r in data], marker="o", label=method)
    ax.set_xlabel("frame")
    ax.set_ylabel("temporal error (sRGB)")
    ax.set_title("Frame-to-frame change against the truth's (lower is steadier)")
    ax.set_ylim(bottom=0)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    path = os.path.join(folder, "temporal.png")
    fig.savefig(path)
    print(path)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
