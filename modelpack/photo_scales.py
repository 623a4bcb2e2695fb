"""Each training photograph at several scales (`modelpack train --downscales 2,3,4`).

There are few free photographs to train on. Area-downscaling one by 2, 3 and 4 in linear light
gives three pictures with different texture per pixel (leaves that are a blur at 2 are crisp
edges at 4), so the same photographs teach more before the networks learn them by heart.
Patches are then drawn as before (random crops, flips, rotations) with every pixel of every
scale equally likely. The held-out images stay at the run's single --downscale, which keeps
their scores comparable with runs trained without this option.
"""

import os

import torch

from .images import expand, load_linear


def parse(text):
    """[2, 3, 4] from "2,3,4": distinct whole factors of at least 1, in the order given."""
    try:
        factors = [int(f) for f in text.split(",") if f.strip()]
    except ValueError:
        raise ValueError("--downscales takes whole factors separated by commas, not %r" % text) from None
    if not factors or min(factors) < 1 or len(set(factors)) != len(factors):
        raise ValueError("--downscales takes distinct factors of at least 1, not %r" % text)
    return factors


def load_images(cfg, sources, log):
    """Every image of `sources` once per factor of cfg.downscales (each a [3, H, W] tensor)."""
    files = expand(sources)
    cache = os.path.join(cfg.work, "cache")
    images = [torch.from_numpy(load_linear(f, cache, cfg.colorspace or None, d))
              for d in cfg.downscales for f in files]
    log("  %d image(s) from %s, each area-downscaled by %s (%.1f megapixels in all)"
        % (len(files), ", ".join(sources), ", ".join(map(str, cfg.downscales)),
           sum(im.shape[1] * im.shape[2] for im in images) / 1e6))
    return images
