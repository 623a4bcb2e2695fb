"""Turning full-resolution linear crops into low-resolution inputs like real plates.

All in linear light, on [N, 3, H, W] tensors whose sizes are multiples of the
scale. A `Degradation` is drawn at random per sample: a downscale kernel
(area, antialiased bicubic or Lanczos-3), optionally a mild Gaussian blur
before it (lens softness), sensor noise and film-like grain after it, and
8-bit sRGB quantisation (what an 8-bit file makes of the values).
"""

import math
import random
from dataclasses import dataclass

import torch
import torch.nn.functional as F

from .encoding import srgb_decode, srgb_encode

KERNELS = ("area", "bicubic", "lanczos")


@dataclass(frozen=True)
class Degradation:
    kernel: str = "area"
    blur_sigma: float = 0.0     # in full-resolution pixels
    noise: float = 0.0          # standard deviation in linear light
    grain: float = 0.0          # signal-dependent: sigma = grain * sqrt(value)
    quantise: bool = False      # round through 8-bit sRGB


def draw(rng: random.Random, clean=False):
    """A random degradation; `clean` keeps only the kernel and the quantisation."""
    kernel = rng.choice(KERNELS)
    quantise = rng.random() < 0.5
    if clean:
        return Degradation(kernel, quantise=quantise)
    return Degradation(
        kernel,
        blur_sigma=rng.uniform(0.3, 1.0) if rng.random() < 0.3 else 0.0,
        noise=rng.uniform(0.0, 0.006) if rng.random() < 0.25 else 0.0,
        grain=rng.uniform(0.0, 0.01) if rng.random() < 0.2 else 0.0,
        quantise=quantise)


def _separable(x, taps, stride=1):
    k = taps.to(x.dtype).to(x.device)
    c = x.shape[1]
    n = k.numel()
    pad = n // 2
    x = F.pad(x, [pad, n - 1 - pad, 0, 0], mode="replicate")
    x = F.conv2d(x, k.view(1, 1, 1, n).repeat(c, 1, 1, 1), stride=(1, stride), groups=c)
    x = F.pad(x, [0, 0, pad, n - 1 - pad], mode="replicate")
    return F.conv2d(x, k.view(1, 1, n, 1).repeat(c, 1, 1, 1), stride=(stride, 1), groups=c)


def gaussian_blur(x, sigma):
    if sigma <= 0:
        return x
    radius = max(1, int(math.ceil(3 * sigma)))
    t = torch.arange(-radius, radius + 1, dtype=torch.float64)
    taps = torch.exp(-0.5 * (t / sigma) ** 2)
    return _separable(x, (taps / taps.sum()).float())


def lanczos_taps(scale, lobes=3):
    """Taps of an antialiased Lanczos downscale by an integer factor, for a stride-`scale`
    convolution that starts half a pixel in (see lanczos_down)."""
    k = torch.arange(2 * lobes * scale, dtype=torch.float64)
    t = (k - lobes * scale + 0.5) / scale
    w = torch.sinc(t) * torch.sinc(t / lobes)
    return (w / w.sum()).float()


def lanczos_down(x, scale, lobes=3):
    taps = lanczos_taps(scale, lobes)
    n = taps.numel()
    c = x.shape[1]
    # Output pixel j centres on input (j + 0.5) * scale - 0.5; its taps start lobes*scale - 0.5 before.
    pad = lobes * scale
    lead = scale // 2
    x = F.pad(x, [pad, pad, pad, pad], mode="replicate")[:, :, lead:, lead:]
    k = taps.to(x.dtype).to(x.device)
    x = F.conv2d(x, k.view(1, 1, 1, n).repeat(c, 1, 1, 1), stride=(1, scale), groups=c)
    return F.conv2d(x, k.view(1, 1, n, 1).repeat(c, 1, 1, 1), stride=(scale, 1), groups=c)


def downscale(x, scale, kernel):
    if kernel == "area":
        return F.avg_pool2d(x, scale)
    if kernel == "bicubic":
        return F.interpolate(x, scale_factor=1.0 / scale, mode="bicubic", align_corners=False,
                             antialias=True)
    if kernel == "lanczos":
        return lanczos_down(x, scale)
    raise ValueError("unknown downscale kernel %r (%s)" % (kernel, ", ".join(KERNELS)))


def quantise_8bit(x):
    return srgb_decode(torch.round(srgb_encode(x.clamp(0.0, 1.0)) * 255.0) / 255.0)


def apply(hr, scale, d: Degradation, generator=None):
    """The low-resolution linear input for one full-resolution linear crop."""
    x = gaussian_blur(hr, d.blur_sigma)
    x = downscale(x, scale, d.kernel)
    if d.noise > 0 or d.grain > 0:
        sigma = d.noise + d.grain * torch.sqrt(x.clamp(min=0.0))
        x = x + sigma * torch.randn(x.shape, generator=generator, dtype=x.dtype)
    if d.quantise:
        # Values above 1 would clip in an 8-bit file; keep them as a float file would.
        x = torch.where(x <= 1.0, quantise_8bit(x), x)
    return x
