"""Whether an archive keeps its pictures when the plug-in runs it in BFloat16 on the CPU.

The plug-in runs a super-resolution pass under CPU BFloat16 autocast only for archives whose
`cpu_bfloat16` attribute is true. Every archive written by this package gets it from a
measurement: the archive run on a smooth probe picture in float32 and under BFloat16 autocast,
as the plug-in runs it (log-encoded, channels-last), and the two outputs compared in linear light.
Networks whose features carry the picture itself in LogC (the reference pack's exact upscalers)
lose about 25 dB to the 8-bit mantissa and stay float32; networks that work in sRGB keep 50 dB.
"""

import math

import torch
import torch.nn.functional as F

from .encoding import log_decode, log_encode, srgb_encode

# The two renders must be far closer than what separates a network from bicubic (1-3 dB).
MIN_PSNR_DB = 45.0
PROBE = 24


def probe_picture(channels, size=PROBE):
    """A smooth LogC picture with highlights, the same on every machine."""
    gen = torch.Generator().manual_seed(45)
    coarse = torch.rand(1, channels, 5, 5, generator=gen) * 1.4
    linear = F.interpolate(coarse, size=(size, size), mode="bicubic", align_corners=True).clamp_min(0.0)
    if channels == 4:
        linear[:, 3:] = linear[:, 3:].clamp(0.0, 1.0)
    return log_encode(linear)


def _inputs(archive):
    if archive.original_name == "SequenceNet":
        channels = archive.conv_in.state_dict()["0.weight"].shape[1] // (1 + archive.scale * archive.scale)
        lr = probe_picture(channels)
        hr = torch.zeros(1, channels * archive.scale * archive.scale, PROBE, PROBE)
        return [lr, hr]
    return [probe_picture(3)]


def bfloat16_psnr(archive):
    """PSNR in dB (sRGB of the clipped linear colour, peak 1) between the archive's float32 output
    and its output under CPU BFloat16 autocast."""
    inputs = [x.contiguous(memory_format=torch.channels_last) for x in _inputs(archive)]
    # Without graph optimisation, as the plug-in runs archives (and many times faster for one call).
    with torch.no_grad(), torch.jit.optimized_execution(False):
        full = archive(*inputs).float()
        with torch.autocast("cpu", dtype=torch.bfloat16):
            half = archive(*inputs).float()
    a = srgb_encode(log_decode(full[:, :3]).clamp(0.0, 1.0))
    b = srgb_encode(log_decode(half[:, :3]).clamp(0.0, 1.0))
    mse = ((a - b) ** 2).mean().item()
    return math.inf if mse == 0.0 else 10.0 * math.log10(1.0 / mse)


def mark_cpu_bfloat16(archive):
    """Sets the scripted archive's `cpu_bfloat16` from the measurement; returns the PSNR."""
    if not hasattr(archive, "cpu_bfloat16"):
        return None
    psnr = bfloat16_psnr(archive.eval())
    archive.cpu_bfloat16 = psnr >= MIN_PSNR_DB
    return psnr
