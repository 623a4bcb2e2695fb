"""Measuring a still network against bicubic on held-out images.

Each held-out image gives a few fixed crops of full-resolution truth. The
input is the crop area-downscaled in linear light and stored as an 8-bit
sRGB file would store it (or kept as float, `linear_input`, as from a linear
EXR); the network gets it as the node does (linear -> LogC) and its output is
taken back to sRGB. Bicubic is the usual upscale of the same sRGB input.
PSNR is over all three sRGB channels (peak 1), SSIM over luma with an 11-tap
Gaussian window (sigma 1.5) (metrics.py); both against the truth in sRGB,
clipped to [0, 1] as a viewer shows it.
"""

from dataclasses import dataclass

import torch
import torch.nn.functional as F

from .degrade import downscale, quantise_8bit
from .encoding import log_decode, log_encode, srgb_encode
from .metrics import psnr, ssim


def crops(image, size, count):
    """Up to `count` size x size crops spread evenly over a [3, H, W] image."""
    _, h, w = image.shape
    size_y, size_x = min(size, h), min(size, w)
    cols = max(1, int(round(count ** 0.5 * (w / max(h, 1)) ** 0.5)))
    rows = max(1, (count + cols - 1) // cols)
    out = []
    for r in range(rows):
        for c in range(cols):
            if len(out) == count:
                break
            y = (h - size_y) * (r + 0.5) / rows
            x = (w - size_x) * (c + 0.5) / cols
            y, x = int(y), int(x)
            out.append(image[:, y:y + size_y, x:x + size_x])
    return out


def to_view(linear):
    return srgb_encode(linear).clamp(0.0, 1.0)


@dataclass
class Scores:
    psnr: float
    ssim: float
    psnr_bicubic: float
    ssim_bicubic: float

    @property
    def gain(self):
        return self.psnr - self.psnr_bicubic


def low_resolution(truth, scale, linear_input=False):
    lr = downscale(truth[None], scale, "area")
    return lr if linear_input else quantise_8bit(lr)


def upscale_with(net, lr_linear):
    with torch.no_grad():
        return log_decode(net(log_encode(lr_linear)).float())


def score(net, images, scale, crop=192, per_image=4, linear_input=False, bf16=False):
    """Mean Scores of `net` (LogC in and out) over crops of the [3, H, W] linear images."""
    rows = []
    for image in images:
        for truth in crops(image, crop - crop % scale, per_image):
            lr = low_resolution(truth, scale, linear_input)
            with torch.autocast("cpu", dtype=torch.bfloat16, enabled=bool(bf16)):
                out = upscale_with(net, lr)
            want = to_view(truth[None])
            got = to_view(out)
            bic = F.interpolate(srgb_encode(lr), scale_factor=float(scale), mode="bicubic",
                                align_corners=False).clamp(0.0, 1.0)
            rows.append((psnr(got, want), ssim(got, want), psnr(bic, want), ssim(bic, want)))
    n = max(1, len(rows))
    return Scores(*(sum(r[i] for r in rows) / n for i in range(4)))
