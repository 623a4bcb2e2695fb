"""Still network: residual-in-residual dense blocks (RRDB), 3 channels in and out.

2x layout. The 2x network rearranges its input with pixel-unshuffle by 2
(conv_first takes 12 channels) and then upsamples twice by 2, like the 4x
one. Chosen over a 3-channel network that upsamples once because:
  * it is the layout in which trained 2x networks of this family are
    published, so their checkpoints import as they are;
  * the 23 blocks of the body, nearly all of the work, run on a quarter of
    the pixels: a 2x pass costs about a quarter of a 4x pass per input pixel
    instead of about the same.
The price: the input must have even sizes (forward pads and crops, below),
and nearest-neighbour upsampling of unshuffled phases cannot tell a
one-pixel checkerboard or stripe pattern from flat grey (every phase channel
is constant), whatever the weights. Natural images barely notice; a chirp
running up to the pixel frequency does (see the measure command).

Edges. Every convolution pads with zeros, which pulls the outermost output
pixels towards black. forward therefore extends its input by edge
replication (MARGIN pixels of the network's own input grid, plus one row or
column that makes a 2x input even) and crops the result back to exactly
S*h x S*w. Zero padding then only touches the cropped margin for the
upsampling path; the body's reach is larger, but trained weights see a
plausible, flat surround instead of black. Works for every h, w >= 1.

Domain. By default the layers work on the node's LogC values directly. With
`srgb_core` the forward wraps them in the parameter-free sRGB adapter of
encoding.py (LogC -> linear -> sRGB in [0, 1] -> layers -> linear, its low
band tied to the bicubic upscale -> LogC, out-of-range light carried past by
bicubic upscaling), the domain published
weights of this family were trained in. A `highlight_knee` below 1 lets the
layers see light above 1 as well, squeezed under 1 past the knee and expanded
after (encoding.py). Both archives of a GAN/PSNR pair must use the same domain.

A 2x network in the sRGB domain adds its layers' output to the bicubic
upscale (a parameter-free skip). Its parent is the published 4x network fed
the unshuffled phases averaged, which is 9 dB worse than bicubic at 2x; with
the skip and conv_last started at zero, training starts at bicubic and only
has to learn what bicubic lacks.

Area layout (`area=True`, 2x only). The 4x layers with their 3-channel
conv_first, and the 4x result area-downscaled by 2 in linear light: a 4x
network's own 2x. The same 702 parameters and shapes as a 4x network, so a
trained 4x pair is a 2x pair as it stands (the default pack's 2x is its 4x
networks so: 0.8 dB above bicubic at 2x where a 2x-layout fine-tune of the
same CPU hours stayed at bicubic). The price is the 4x network's cost per
input pixel, four times the 2x layout's.
"""

from typing import Final

import torch
from torch import nn
import torch.nn.functional as F

from .encoding import (anchor_colour, bicubic_up, compress_highlights, expand_highlights, log_decode, log_encode,
                       split_in_range, srgb_decode, srgb_encode)

# Replicated border, in pixels of the grid conv_first works on. Zero padding
# creeps one pixel inwards per 3x3 convolution and doubles with each
# upsampling: 1 -> 2 -> 3 -> 6 -> 7 -> 8 -> 9 output pixels, so 3 such pixels
# (12 output pixels at either scale) keep it out of the crop.
MARGIN = 3


def lrelu(x):
    return F.leaky_relu(x, 0.2)


class DenseBlock(nn.Module):
    def __init__(self, nf, gc):
        super().__init__()
        self.conv1 = nn.Conv2d(nf, gc, 3, 1, 1)
        self.conv2 = nn.Conv2d(nf + gc, gc, 3, 1, 1)
        self.conv3 = nn.Conv2d(nf + 2 * gc, gc, 3, 1, 1)
        self.conv4 = nn.Conv2d(nf + 3 * gc, gc, 3, 1, 1)
        self.conv5 = nn.Conv2d(nf + 4 * gc, nf, 3, 1, 1)

    def forward(self, x):
        x1 = lrelu(self.conv1(x))
        x2 = lrelu(self.conv2(torch.cat([x, x1], 1)))
        x3 = lrelu(self.conv3(torch.cat([x, x1, x2], 1)))
        x4 = lrelu(self.conv4(torch.cat([x, x1, x2, x3], 1)))
        x5 = self.conv5(torch.cat([x, x1, x2, x3, x4], 1))
        return x5 * 0.2 + x


class RRDB(nn.Module):
    def __init__(self, nf, gc):
        super().__init__()
        self.rdb1 = DenseBlock(nf, gc)
        self.rdb2 = DenseBlock(nf, gc)
        self.rdb3 = DenseBlock(nf, gc)

    def forward(self, x):
        return self.rdb3(self.rdb2(self.rdb1(x))) * 0.2 + x


class StillNet(nn.Module):
    scale: Final[int]
    layer_scale: Final[int]
    unshuffle: Final[bool]
    area: Final[bool]
    margin: Final[int]
    srgb_core: Final[bool]
    highlight_knee: Final[float]

    def __init__(self, scale=4, nf=64, gc=32, nb=23, srgb_core=False, area=False, highlight_knee=1.0):
        super().__init__()
        if scale not in (2, 4):
            raise ValueError("still network scale must be 2 or 4, not %r" % (scale,))
        if area and scale != 2:
            raise ValueError("the area layout is a 2x layout")
        if not 0.0 < highlight_knee <= 1.0:
            raise ValueError("the highlight knee must lie in (0, 1], not %r" % (highlight_knee,))
        self.scale = scale
        self.srgb_core = srgb_core
        # 1: light above 1 goes past the layers bicubically; below 1: the layers see it squeezed.
        self.highlight_knee = highlight_knee
        # Set when an archive is written, from a measurement (precision.py).
        self.cpu_bfloat16 = False
        self.area = area
        self.unshuffle = scale == 2 and not area
        # The factor of the layers themselves: 4 in the area layout, whose forward halves it.
        self.layer_scale = 4 if area else scale
        # Margin in input pixels; even at 2x so unshuffle phases stay aligned.
        self.margin = MARGIN * (2 if self.unshuffle else 1)
        in_ch = 12 if self.unshuffle else 3
        self.conv_first = nn.Conv2d(in_ch, nf, 3, 1, 1)
        self.body = nn.Sequential(*[RRDB(nf, gc) for _ in range(nb)])
        self.conv_body = nn.Conv2d(nf, nf, 3, 1, 1)
        self.conv_up1 = nn.Conv2d(nf, nf, 3, 1, 1)
        self.conv_up2 = nn.Conv2d(nf, nf, 3, 1, 1)
        self.conv_hr = nn.Conv2d(nf, nf, 3, 1, 1)
        self.conv_last = nn.Conv2d(nf, 3, 3, 1, 1)

    def forward(self, x):
        if not self.srgb_core:
            out = self.layers(x)
            return log_encode(F.avg_pool2d(log_decode(out), 2)) if self.area else out
        linear = log_decode(x)
        knee = self.highlight_knee
        if knee < 1.0:
            outside = torch.clamp(linear, max=0.0)
            inside = compress_highlights(linear - outside, knee)
        else:
            inside, outside = split_in_range(linear)
        s = srgb_encode(inside)
        core = self.layers(s)
        if self.unshuffle:
            core = core + bicubic_up(s, self.scale)
        y = srgb_decode(core)
        y = anchor_colour(y, bicubic_up(inside, self.layer_scale), self.layer_scale)
        if knee < 1.0:
            y = expand_highlights(y, knee)
        if self.area:
            y = F.avg_pool2d(y, 2)
        return log_encode(y + bicubic_up(outside, self.scale))

    def layers(self, x):
        """The network proper, in whatever domain its weights were trained in."""
        h = x.size(2)
        w = x.size(3)
        m = self.margin
        if self.unshuffle:
            x = F.pad(x, [m, m + w % 2, m, m + h % 2], mode="replicate")
            x = F.pixel_unshuffle(x, 2)
        else:
            x = F.pad(x, [m, m, m, m], mode="replicate")
        feat = self.conv_first(x)
        feat = feat + self.conv_body(self.body(feat))
        feat = lrelu(self.conv_up1(F.interpolate(feat, scale_factor=2.0, mode="nearest")))
        feat = lrelu(self.conv_up2(F.interpolate(feat, scale_factor=2.0, mode="nearest")))
        out = self.conv_last(lrelu(self.conv_hr(feat)))
        o = m * self.layer_scale
        return out[:, :, o:o + h * self.layer_scale, o:o + w * self.layer_scale]

