"""Measuring a still network against bicubic on held-out images.

Each held-out image gives a few fixed crops of full-resolution truth. The
input is the crop area-downscaled in linear light and stored as an 8-bit
sRGB file would store it (or kept as float, `linear_input`, as from a linear
EXR); the network gets it as the node does (linear -> LogC) and its output is
taken back to sRGB. Bicubic is the usual upscale of the same sRGB input.
PSNR is over all three sRGB channels (peak 1), SSIM over luma with an 11-tap
Gaussian window (sigma 1.5); both against the truth in sRGB, clipped to [0, 1]
as a viewer shows it.
"""

from dataclasses import dataclass

import torch
import torch.nn.functional as F

from .degrade import downscale, quantise_8bit
from .encoding import log_decode, log_encode, srgb_encode


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


def psnr(a, b):
    mse = torch.mean((a - b) ** 2).item()
    return float("inf") if mse == 0 else -10.0 * torch.log10(torch.tensor(mse)).item()


def _luma(x):
    return 0.299 * x[:, 0:1] + 0.587 * x[:, 1:2] + 0.114 * x[:, 2:3]


def ssim(a, b):
    t = torch.arange(11, dtype=torch.float32) - 5
    g = torch.exp(-0.5 * (t / 1.5) ** 2)
    g = g / g.sum()
    win = (g[:, None] * g[None, :]).view(1, 1, 11, 11)
    x, y = _luma(a), _luma(b)
    mu_x, mu_y = F.conv2d(x, win), F.conv2d(y, win)
    sxx = F.conv2d(x * x, win) - mu_x ** 2
    syy = F.conv2d(y * y, win) - mu_y ** 2
    sxy = F.conv2d(x * y, win) - mu_x * mu_y
    c1, c2 = 0.01 ** 2, 0.03 ** 2
    s = ((2 * mu_x * mu_y + c1) * (2 * sxy + c2)) / ((mu_x ** 2 + mu_y ** 2 + c1) * (sxx + syy + c2))
    return s.mean().item()


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
