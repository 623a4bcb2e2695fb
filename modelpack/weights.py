"""Weights for the reference and tiny packs.

Reference still networks are exact linear upscalers built into the
architecture (see README.md for the formulas):

  4x:  y = S_b( L( L( S_a(x) ) ) ),       a = 7/32,  b = 0 (PSNR), 3/2 (GAN)
  2x:  y = S_b( L( S_a( B(x) ) ) ),       a = 3/8,   b = 1/4 (PSNR), 3/2 (GAN)

  x is first extended by edge replication (the network's forward does it),
  L    = linear-interpolation 2x upscale (half-pixel centres): nearest 2x,
         then the 3x3 kernel [1,2,1]x[1,2,1]/16,
  B    = the 3x3 blur [1,2,1]x[1,2,1]/16,
  S_c  = the separable sharpening [-c, 1+2c, -c] x [-c, 1+2c, -c].

S_a and the PSNR networks' S_b offset the softening of linear interpolation
(and of area sampling); a and b are round values near the best PSNR on the
measure command's images (at 4x they beat bicubic interpolation there). B is
forced at 2x: after pixel-unshuffle and nearest-neighbour upsampling, a
pixel-level alternating pattern cannot reach the output, so the filter must
null it.

How the path realises them: the body is all zeros and so is conv_body, so
feat = conv_first(x). LeakyReLU is made exact by carrying every signal f as
the pair (f, -f): lrelu(f) - lrelu(-f) = 1.2 f for either sign, so the next
convolution reads f from the pair whatever the sign. The 2x network's
conv_first gathers 9 phase-shifted combinations of the unshuffled input per
colour, from which conv_up1 assembles S_a(B(x)) at input resolution; then
conv_up2 performs L, conv_hr is the identity and conv_last applies S_b.

GAN and PSNR archives differ only in conv_last. The network is linear in
conv_last's weights, so the plug-in's weight blend with `details` d gives
exactly (1 - d) * PSNR output + d * GAN output.
"""

import zlib
from fractions import Fraction

import torch
from torch import nn

from .flow import FlowNet
from .sequence import SequenceNet
from .still import StillNet

REF_A = {4: Fraction(7, 32), 2: Fraction(3, 8)}
PSNR_B = {4: Fraction(0), 2: Fraction(1, 4)}
GAN_B = {4: Fraction(3, 2), 2: Fraction(3, 2)}
TINY_PSNR_B = 0.0
TINY_GAN_B = 0.5     # milder than the reference: tests feed noise, too

SMOOTH = (0.25, 0.5, 0.25)       # [1,2,1]/4, one axis of L's kernel and of B
IDENT = (0.0, 1.0, 0.0)
PAIR_GAIN = 1.2                  # lrelu(f) - lrelu(-f) = 1.2 f


def sharpen(c):
    c = float(c)
    return (-c, 1.0 + 2.0 * c, -c)


def outer(ky, kx):
    return torch.tensor([[a * b for b in kx] for a in ky], dtype=torch.float32)


def zero_(module):
    with torch.no_grad():
        for p in module.parameters():
            p.zero_()


def _pair_out(weight, c, kernel, src, src_is_pair):
    """Write f_c = kernel * (signal of channel src) into the output pair (c, c+3)."""
    if src_is_pair:
        weight[c, src] += kernel / PAIR_GAIN
        weight[c, src + 3] -= kernel / PAIR_GAIN
    else:
        weight[c, src] += kernel
    weight[c + 3] = -weight[c]


def still_reference(net: StillNet, training: str):
    """Fill a StillNet (nf >= 6 at 4x, nf >= 27 at 2x) with the reference upscaler."""
    s = net.scale
    nf = net.conv_first.out_channels
    need = 27 if s == 2 else 6
    if nf < need:
        raise ValueError("the %dx reference needs at least %d features, not %d" % (s, need, nf))
    b = PSNR_B[s] if training == "P" else GAN_B[s]
    a = float(REF_A[s])
    zero_(net)
    with torch.no_grad():
        up1 = net.conv_up1.weight
        if s == 4:
            for c in range(3):
                net.conv_first.weight[c, c] = outer(sharpen(a), sharpen(a))
                _pair_out(up1, c, outer(SMOOTH, SMOOTH), c, src_is_pair=False)
        else:
            # One axis of the mid-level filter h = S_a * B (5 taps, h2 h1 h0 h1 h2).
            h2, h1 = -a / 4.0, 0.25
            # Per axis, conv_first forms three coarse signals from the unshuffle
            # phases, as (phase, coarse offset) terms: x[2i], x[2i+1] and
            # x[2i+2] + x[2i-1]. After nearest 2x, mid pixel 2i sees coarse i-1
            # through conv_up1's left tap and i through the others, 2i+1 sees
            # i and i+1; the taps below then give h at both phases. That works
            # because h sums alike over even and odd offsets (h0 + 2 h2 = 2 h1).
            basis = (((0, 0),), ((1, 0),), ((0, 1), (1, -1)))
            taps = ((h2, h1 - h2, h1 - h2), (h1 - h2, h1 - h2, h2), (0.0, h2, 0.0))
            for c in range(3):
                for jy in range(3):
                    for jx in range(3):
                        ch = c * 9 + jy * 3 + jx
                        for py, oy in basis[jy]:
                            for px, ox in basis[jx]:
                                # pixel-unshuffle channel order: c*4 + dy*2 + dx
                                net.conv_first.weight[ch, c * 4 + py * 2 + px, 1 + oy, 1 + ox] += 1.0
                        up1[c, ch] += outer(taps[jy], taps[jx])
                up1[c + 3] = -up1[c]
        for c in range(3):
            _pair_out(net.conv_up2.weight, c, outer(SMOOTH, SMOOTH), c, src_is_pair=True)
            _pair_out(net.conv_hr.weight, c, outer(IDENT, IDENT), c, src_is_pair=True)
            k = outer(sharpen(b), sharpen(b)) / PAIR_GAIN
            net.conv_last.weight[c, c] = k
            net.conv_last.weight[c, c + 3] = -k
    return net


def sequence_reference(net: SequenceNet):
    """All zeros: conv_out is zero, so the output is the bicubic upscale of lr."""
    zero_(net)
    return net


def flow_reference(net: FlowNet):
    """Zero convolutions (batch norms at their identity defaults): zero flow."""
    with torch.no_grad():
        for m in net.modules():
            if isinstance(m, (nn.Conv2d, nn.ConvTranspose2d)):
                m.weight.zero_()
                m.bias.zero_()
            elif isinstance(m, nn.BatchNorm2d):
                m.reset_parameters()
    return net


# ---------------------------------------------------------------- tiny pack

def _gen(tag):
    return torch.Generator().manual_seed(zlib.crc32(tag.encode()))


def _rand_(t, gen, std):
    with torch.no_grad():
        t.copy_(torch.randn(t.shape, generator=gen) * std)


def _he_std(w):
    fan_in = w.shape[1] * w.shape[2] * w.shape[3]
    return (2.0 / fan_in) ** 0.5


def _small_(w, gen, amp):
    """Random terms of about amp in all over the fan-in, summing to zero per
    output channel, so flat areas pass unchanged."""
    fan_in = w.shape[1] * w.shape[2] * w.shape[3]
    _rand_(w, gen, amp / fan_in ** 0.5)
    with torch.no_grad():
        w -= w.mean(dim=(1, 2, 3), keepdim=True)


def still_tiny(net: StillNet, training: str, tag: str):
    """A smooth upscale (as the reference, without sign pairs: log-encoded
    pixels are almost always positive) plus small deterministic random
    parts through the body and cross-channel terms. The random parts sum
    to zero, so a flat input gives the same flat output. Needs nf >= 3."""
    s = net.scale
    nf = net.conv_first.out_channels
    if nf < 3:
        raise ValueError("the tiny still network needs at least 3 features")
    g = _gen(tag)
    b = TINY_PSNR_B if training == "P" else TINY_GAN_B
    zero_(net)
    with torch.no_grad():
        w = net.conv_first.weight
        _small_(w, g, 0.02)
        for c in range(3):
            if s == 4:
                w[c, c] += outer(sharpen(REF_A[4]), sharpen(REF_A[4]))
            else:
                w[c, 4 * c:4 * c + 4, 1, 1] += 0.25     # mean of the 2x2 block
        for m in net.body.modules():
            if isinstance(m, nn.Conv2d):
                _rand_(m.weight, g, 0.5 * _he_std(m.weight))
                _rand_(m.bias, g, 0.02)
        # The body grows its input about 1.2**23 = 66 fold (to ~30 here).
        _small_(net.conv_body.weight, g, 0.02 / 30.0)
        for conv in (net.conv_up1, net.conv_up2, net.conv_hr, net.conv_last):
            _small_(conv.weight, g, 0.02)
        for c in range(nf):
            net.conv_up1.weight[c, c] += outer(SMOOTH, SMOOTH)
            net.conv_up2.weight[c, c] += outer(SMOOTH, SMOOTH)
            net.conv_hr.weight[c, c] += outer(IDENT, IDENT)
        for c in range(3):
            net.conv_last.weight[c, c] += outer(sharpen(b), sharpen(b))
    return net


def sequence_tiny(net: SequenceNet, tag: str):
    """Random hidden layers, a small conv_out: bicubic upscale plus a small,
    frame-dependent correction."""
    g = _gen(tag)
    with torch.no_grad():
        for name, m in net.named_modules():
            if isinstance(m, (nn.Conv2d, nn.ConvTranspose2d)):
                w = m.weight
                std = _he_std(w if isinstance(m, nn.Conv2d) else w.transpose(0, 1))
                if name.endswith("conv.2"):
                    std *= 0.2            # residual branches add a little each
                if m is net.conv_out:
                    std = 0.01
                _rand_(w, g, std)
                _rand_(m.bias, g, 0.01)
    return net


def flow_tiny(net: FlowNet, tag: str):
    """Random weights; the flow head's last layer is small, so the flow stays
    within a few pixels over 25 iterations."""
    g = _gen(tag)
    with torch.no_grad():
        for name, m in net.named_modules():
            if isinstance(m, nn.Conv2d):
                std = _he_std(m.weight)
                if name == "update_block.flow_head.conv2":
                    std = 0.001
                _rand_(m.weight, g, std)
                _rand_(m.bias, g, 0.01)
            elif isinstance(m, nn.BatchNorm2d):
                m.reset_parameters()
    return net
