"""PSNR of a pack's still networks against bicubic interpolation.

Each synthetic image (log-encoded values, 0.1..0.85, made deterministically
here) is downscaled by area averaging, upscaled again by bicubic
interpolation and by the pack's PSNR and GAN still networks, and compared
with the original over the whole frame, borders included (peak value 1).
"sharpness" is the mean gradient magnitude of a result over that of the
original: below 1 is softer, above 1 crisper.
"""

import os
import time

import numpy as np
import torch
import torch.nn.functional as F

from .metrics import psnr, sharpness

IMAGE_NAMES = ("clouds", "waves", "discs", "chirp")


def synthetic_images(size=192, seed=0):
    """Four smooth-ish test images as [1,3,size,size] float32 tensors."""
    g = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:size, 0:size].astype(np.float64)
    out = []

    # Low-pass filtered noise.
    f = np.fft.fftfreq(size)
    lowpass = np.exp(-((f[None, :] ** 2 + f[:, None] ** 2) * (size / 12.0) ** 2))
    c = np.real(np.fft.ifft2(np.fft.fft2(g.standard_normal((3, size, size))) * lowpass))
    out.append(c)

    # Sums of oriented waves, wavelengths 10..60 pixels.
    img = np.zeros((3, size, size))
    for ch in range(3):
        for _ in range(6):
            wl, th, ph = g.uniform(10, 60), g.uniform(0, np.pi), g.uniform(0, 2 * np.pi)
            img[ch] += np.cos(2 * np.pi * (xx * np.cos(th) + yy * np.sin(th)) / wl + ph)
    out.append(img)

    # Soft-edged discs over a gradient (edges about 2 pixels wide).
    img = np.zeros((3, size, size)) + (0.3 + 0.3 * xx / size)[None]
    for _ in range(12):
        col, (cx, cy), r = g.uniform(0.1, 0.85, 3), g.uniform(0, size, 2), g.uniform(8, 40)
        a = 1.0 / (1.0 + np.exp((np.sqrt((xx - cx) ** 2 + (yy - cy) ** 2) - r) / 1.2))
        img = img * (1 - a) + col[:, None, None] * a
    out.append(img)

    # Radial chirp, up to half the pixel frequency in the corners.
    r2 = (xx - size / 2) ** 2 + (yy - size / 2) ** 2
    ch = np.cos(np.pi * r2 / (size * 4.0))
    out.append(np.stack([0.5 + 0.3 * ch, 0.5 + 0.24 * ch, 0.55 - 0.21 * ch]))

    images = []
    for img in out:
        lo, hi = img.min(), img.max()
        if lo < 0.1 or hi > 0.85:
            img = 0.1 + 0.75 * (img - lo) / (hi - lo)
        images.append(torch.tensor(img, dtype=torch.float32)[None])
    return images


def measure(pack_dir, size=192, log=print):
    if size % 4 or size < 16:
        raise ValueError("--size must be a multiple of 4, at least 16")
    images = synthetic_images(size)
    rows = []
    t0 = time.time()
    for scale in (2, 4):
        nets = {}
        for tr, label in (("P", "PSNR"), ("G", "GAN")):
            path = os.path.join(pack_dir, "%dPst%s.pt" % (scale, tr))
            if os.path.isfile(path) and os.path.getsize(path) > 0:
                nets[label] = torch.jit.load(path, map_location="cpu").eval()
        if not nets:
            log("no %dx still archives in %s" % (scale, pack_dir))
            continue
        for name, hr in zip(IMAGE_NAMES, images):
            lr = F.avg_pool2d(hr, scale)
            row = {"scale": scale, "image": name}
            with torch.no_grad():
                bic = F.interpolate(lr, scale_factor=scale, mode="bicubic", align_corners=False)
                row["bicubic"] = (psnr(bic, hr), sharpness(bic, hr))
                for label, net in nets.items():
                    y = net(lr)
                    row[label] = (psnr(y, hr), sharpness(y, hr), psnr(y, bic))
            rows.append(row)
    labels = [k for k in ("PSNR", "GAN") if any(k in r for r in rows)]
    head = "%-5s %-7s %15s" % ("scale", "image", "bicubic")
    for k in labels:
        head += " %15s %10s" % (k + " net", "vs bicubic")
    log("PSNR in dB against the original (sharpness in brackets), %dx%d images:" % (size, size))
    log(head)
    for r in rows:
        line = "%-5s %-7s %8.2f (%4.2f)" % ("%dx" % r["scale"], r["image"], *r["bicubic"])
        for k in labels:
            line += " %8.2f (%4.2f) %10.2f" % r[k] if k in r else " %15s %10s" % ("-", "-")
        log(line)
    log("(%.1fs)" % (time.time() - t0))
    return rows
