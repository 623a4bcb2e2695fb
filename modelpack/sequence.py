"""Recurrent sequence network: 16 residual blocks, a bicubic skip path.

forward(lr [N,C,h,w], hr_prev_s2d [N,S*S*C,h,w]) -> [N,C,S*h,S*w]. The second
input is the previous high-resolution result, warped to the current frame and
rearranged into channels by the plug-in's own space-to-depth; the network
only concatenates it. The output is the network's correction added to the
bicubic upscale of lr, so a zero conv_out returns that upscale exactly.
"""

from typing import Final

import torch
from torch import nn
import torch.nn.functional as F

BLOCKS = 16


class ResBlock(nn.Module):
    def __init__(self, nf):
        super().__init__()
        self.conv = nn.Sequential(
            nn.Conv2d(nf, nf, 3, 1, 1), nn.ReLU(inplace=True), nn.Conv2d(nf, nf, 3, 1, 1))

    def forward(self, x):
        return x + self.conv(x)


class SequenceNet(nn.Module):
    scale: Final[int]

    def __init__(self, scale=4, channels=3, nf=64, nb=BLOCKS):
        super().__init__()
        if scale not in (2, 4):
            raise ValueError("sequence network scale must be 2 or 4, not %r" % (scale,))
        self.scale = scale
        # Set when an archive is written, from a measurement (precision.py).
        self.cpu_bfloat16 = False
        self.conv_in = nn.Sequential(
            nn.Conv2d((1 + scale * scale) * channels, nf, 3, 1, 1), nn.ReLU(inplace=True))
        self.resblocks = nn.Sequential(*[ResBlock(nf) for _ in range(nb)])
        up = []
        for _ in range(scale // 2):
            up += [nn.ConvTranspose2d(nf, nf, 3, 2, 1, output_padding=1), nn.ReLU(inplace=True)]
        self.conv_up = nn.Sequential(*up)
        self.conv_out = nn.Conv2d(nf, channels, 3, 1, 1)

    def forward(self, lr, hr_prev_s2d):
        x = torch.cat([lr, hr_prev_s2d], 1)
        out = self.conv_out(self.conv_up(self.resblocks(self.conv_in(x))))
        return out + F.interpolate(lr, scale_factor=float(self.scale), mode="bicubic",
                                   align_corners=False)
