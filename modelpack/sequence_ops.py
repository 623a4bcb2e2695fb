"""Sequence mode's tensor steps, as the plug-in takes them (render/sequence/).

Training a recurrent network through anything else would teach it a
different warp or channel order from the one it meets in the node, so these
follow the plug-in's definitions step for step, and a test runs both on the
same tensors (tests/modelpack/test_sequence_ops.py with the build's
magnifex_plugin_ops).
"""

import torch
import torch.nn.functional as F

from .encoding import log_decode, log_encode


def upscale_flow(lr_flow, s: int):
    """[N, 2, h, w] flow in input pixels to s times the resolution, bilinear, in output pixels."""
    return F.interpolate(lr_flow, size=(lr_flow.size(2) * s, lr_flow.size(3) * s), mode="bilinear",
                         align_corners=False) * float(s)


def sampling_grid(flow):
    """Each pixel's position plus its flow ([N, 2, H, W], x then y), in the sampler's [-1, 1]
    units across pixel centres: [N, H, W, 2]."""
    _, _, h, w = flow.shape
    opts = {"dtype": torch.float32, "device": flow.device}
    xs = torch.arange(w, **opts).view(1, w).expand(h, w)
    ys = torch.arange(h, **opts).view(h, 1).expand(h, w)
    to_unit = torch.tensor([2.0 / max(w - 1, 1), 2.0 / max(h - 1, 1)], **opts)
    return (torch.stack([xs, ys], 2) + flow.float().permute(0, 2, 3, 1)) * to_unit - 1.0


def warp_by_grid(image, grid):
    return F.grid_sample(image, grid.to(image.dtype), mode="bicubic", padding_mode="border", align_corners=True)


def warp_by_flow(image, flow):
    """`image` sampled at each pixel's position plus its flow: bicubic, border values outside."""
    return warp_by_grid(image, sampling_grid(flow))


def space_to_depth(x, s: int):
    """[B, C, H, W] in s x s blocks: [B, s*s*C, H/s, W/s], channel (i*s + j)*C + c holding channel
    c at row offset i and column offset j of each block (not pixel_unshuffle's order)."""
    b, c, h, w = x.shape
    if h % s or w % s:
        raise ValueError("space_to_depth: a %d x %d image is not made of %d x %d blocks" % (w, h, s, s))
    return x.reshape(b, c, h // s, s, w // s, s).permute(0, 3, 5, 1, 2, 4).reshape(b, s * s * c, h // s, w // s)


def flow_padding(h: int, w: int):
    """(bottom, right): zeros the flow network's input gains, to multiples of 8 and at least 128."""
    hh, ww = h, w
    if h % 8 or w % 8:
        hh, ww = h + 8 - h % 8, w + 8 - w % 8
    return max(hh, 128) - h, max(ww, 128) - w


def pad_for_flow(x):
    bottom, right = flow_padding(x.size(2), x.size(3))
    return F.pad(x[:, :3], [0, right, 0, bottom]) if bottom or right else x[:, :3]


# ---------------------------------------------------------------- material with alpha

def _alpha(image):
    return image[:, 3:4].clamp(0.0, 1.0)


def _unpremultiplied(colour, alpha):
    return torch.nan_to_num(colour / alpha, 0.0, 0.0, 0.0)


def prepare_alpha_input(rgba):
    """Linear premultiplied RGBA as the CG networks see it: logEncode(max(RGB, 0) / A) * A, then A."""
    alpha = _alpha(rgba)
    return torch.cat([log_encode(_unpremultiplied(rgba[:, :3].clamp_min(0.0), alpha)) * alpha, alpha], 1)


def colour_variant(tensor_image):
    """The colour path's input: the encoding of premultiplied linear colour."""
    alpha = _alpha(tensor_image)
    return log_encode(log_decode(_unpremultiplied(tensor_image[:, :3], alpha)) * alpha)


def recombine_alpha(hr_prev, hr_prev_b):
    """Colour from the colour path (decoded, negatives clamped), alpha from the main path."""
    return torch.cat([log_decode(hr_prev_b[:, :3].clamp_min(0.0)), _alpha(hr_prev)], 1)
