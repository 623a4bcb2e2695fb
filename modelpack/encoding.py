"""The encodings networks see: the node's LogC3 curve and the sRGB curve.

`log_encode` / `log_decode` are the plug-in's curves (ALEXA LogC3, EI 800),
with the same constants and branches, so training sees exactly the values the
node hands a network. The sRGB pair is the IEC 61966-2-1 curve, extended
beyond [0, 1]: odd-symmetric below zero and the power branch above one, so
any linear value survives a round trip.

Published weights of the still family were trained on sRGB values in [0, 1].
`SrgbCore` lets such a network live inside a LogC archive: the archive's
forward decodes LogC to linear light, takes the part of each value within
[0, 1] through sRGB into the network and back, ties the result's low band to
the linear-light bicubic upscale (`anchor_colour`), and carries what lies
outside (highlights above 1, negatives below 0) past the network by bicubic
upscaling. Every step is parameter-free, so the archive keeps the family's
parameter names and counts; GAN and PSNR ends built this way live in the same
(sRGB) domain, which is what makes blending their weights meaningful.
"""

import torch
import torch.nn.functional as F

LOG_CUT = 0.010591
LOG_A = 5.555556
LOG_B = 0.052272
LOG_ENCODE_SLOPE = 0.24719
LOG_DECODE_SLOPE = 0.2471896
LOG_D = 0.385537
LOG_E = 5.367655
LOG_F = 0.092809
LOG_DECODE_THRESHOLD = 0.1496582


# TorchScript cannot read module globals, so the curves spell the constants above out.
def log_encode(x):
    log_branch = torch.log10(x * 5.555556 + 0.052272) * 0.24719 + 0.385537
    return torch.where(x > 0.010591, log_branch, x * 5.367655 + 0.092809)


def log_decode(y):
    log_branch = (torch.pow(10.0, (y - 0.385537) / 0.2471896) - 0.052272) / 5.555556
    return torch.where(y > 0.1496582, log_branch, (y - 0.092809) / 5.367655)


def srgb_encode(x):
    a = torch.abs(x)
    power = 1.055 * torch.pow(torch.clamp(a, min=0.0031308), 1.0 / 2.4) - 0.055
    return torch.sign(x) * torch.where(a > 0.0031308, power, a * 12.92)


def srgb_decode(y):
    a = torch.abs(y)
    power = torch.pow((torch.clamp(a, min=0.04045) + 0.055) / 1.055, 2.4)
    return torch.sign(y) * torch.where(a > 0.04045, power, a / 12.92)


def split_in_range(linear):
    """(the part of each value within [0, 1], what lies outside it)."""
    inside = torch.clamp(linear, 0.0, 1.0)
    return inside, linear - inside


def compress_highlights(linear, knee: float):
    """Non-negative linear light squeezed into [0, 1): unchanged up to `knee`, then a rational
    shoulder with slope 1 at the knee that reaches 1 only at infinity, so highlights keep their
    texture inside the range an sRGB network knows. Linear 1 lands halfway up the shoulder."""
    u = torch.clamp(linear - knee, min=0.0) / (1.0 - knee)
    return torch.where(linear > knee, knee + (1.0 - knee) * u / (1.0 + u), linear)


def expand_highlights(compressed, knee: float):
    """The inverse of compress_highlights. Values at or past 1 are taken as the shoulder's top
    (a thousand times the shoulder's width past the knee) rather than infinity."""
    t = torch.clamp((compressed - knee) / (1.0 - knee), 0.0, 0.999)
    return torch.where(compressed > knee, knee + (1.0 - knee) * t / (1.0 - t), compressed)


def bicubic_up(x, scale: int):
    return F.interpolate(x, scale_factor=float(scale), mode="bicubic", align_corners=False)


def gaussian_blur(x, sigma: float):
    """The low band of x: a separable Gaussian, replicate-padded. The kernel is made here, so
    that an archive holds no tensor beyond the family's parameters."""
    r = int(3.0 * sigma + 0.5)
    t = torch.arange(-r, r + 1, dtype=x.dtype, device=x.device)
    k = torch.exp(-(t * t) / (2.0 * sigma * sigma))
    k = k / k.sum()
    c = x.size(1)
    # Plain layout: under CPU BFloat16 autocast a depthwise convolution of a channels-last input
    # (what the plug-in passes on the CPU) with this long a kernel takes minutes instead of
    # milliseconds in this libtorch.
    x = F.pad(x.contiguous(), [r, r, r, r], mode="replicate")
    x = F.conv2d(x, k.view(1, 1, 1, -1).repeat(c, 1, 1, 1), groups=c)
    return F.conv2d(x, k.view(1, 1, -1, 1).repeat(c, 1, 1, 1), groups=c)


def anchor_colour(y, reference, scale: int):
    """y with its low band (a Gaussian of one input pixel) taken from `reference`, the bicubic
    upscale in linear light, which keeps the input's colour. Networks trained with L1 in a log
    encoding settle on a median that is darker in linear light (about 1.5 % here, unevenly per
    channel: a colour cast); detail finer than an input pixel, what the network adds, stays."""
    return y + gaussian_blur(reference - y, float(scale))
