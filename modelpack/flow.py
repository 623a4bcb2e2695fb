"""Flow network: recurrent all-pairs field transforms, full model.

forward(image1, image2, iters) -> [N,2,h,w], the flow from image1 to image2
in pixels (x then y). h and w must be multiples of 8 (the plug-in pads them,
to at least 128). iters is a one-element float tensor; the plug-in passes 25.

Input range: the plug-in hands over log-encoded values, mostly 0..1. They
are mapped to [-1, 1] by 2x - 1, which is what networks of this family
trained on 0..255 images see after their own normalisation, so imported
weights keep working without rescaling.
"""

from dataclasses import dataclass, asdict
from typing import Final, List, Tuple

import torch
from torch import nn
import torch.nn.functional as F

CORR_LEVELS = 4
CORR_RADIUS = 4
WINDOW = (2 * CORR_RADIUS + 1) ** 2      # 81 samples per level
MASK_CHANNELS = 64 * 9                   # 8x8 fine pixels x 3x3 neighbours


@dataclass(frozen=True)
class FlowWidths:
    enc: Tuple[int, int, int] = (64, 96, 128)   # encoder layer1, layer2, layer3
    fdim: int = 256          # feature encoder output
    hdim: int = 128          # recurrent state
    cdim: int = 128          # context features
    corr1: int = 256         # motion encoder convc1
    corr2: int = 192         # motion encoder convc2
    flow1: int = 128         # motion encoder convf1
    flow2: int = 64          # motion encoder convf2
    motion: int = 128        # motion features incl. the 2 flow channels
    head: int = 256          # flow head hidden width
    mask: int = 256          # mask head hidden width

    def as_dict(self):
        d = asdict(self)
        d["enc"] = list(self.enc)
        return d


def _norm(kind, ch):
    if kind == "batch":
        return nn.BatchNorm2d(ch)
    return nn.InstanceNorm2d(ch)


class ResidualBlock(nn.Module):
    def __init__(self, cin, cout, norm, stride):
        super().__init__()
        self.conv1 = nn.Conv2d(cin, cout, 3, stride, 1)
        self.conv2 = nn.Conv2d(cout, cout, 3, 1, 1)
        self.relu = nn.ReLU(inplace=True)
        self.norm1 = _norm(norm, cout)
        self.norm2 = _norm(norm, cout)
        if stride != 1:
            # One module under two names, as in the published layout.
            self.norm3 = _norm(norm, cout)
            self.downsample = nn.Sequential(nn.Conv2d(cin, cout, 1, stride), self.norm3)
        else:
            self.downsample = nn.Identity()

    def forward(self, x):
        y = self.relu(self.norm1(self.conv1(x)))
        y = self.relu(self.norm2(self.conv2(y)))
        return self.relu(self.downsample(x) + y)


class Encoder(nn.Module):
    def __init__(self, out_dim, norm, enc):
        super().__init__()
        w1, w2, w3 = enc
        self.norm1 = _norm(norm, w1)
        self.conv1 = nn.Conv2d(3, w1, 7, 2, 3)
        self.relu1 = nn.ReLU(inplace=True)
        self.layer1 = nn.Sequential(ResidualBlock(w1, w1, norm, 1), ResidualBlock(w1, w1, norm, 1))
        self.layer2 = nn.Sequential(ResidualBlock(w1, w2, norm, 2), ResidualBlock(w2, w2, norm, 1))
        self.layer3 = nn.Sequential(ResidualBlock(w2, w3, norm, 2), ResidualBlock(w3, w3, norm, 1))
        self.conv2 = nn.Conv2d(w3, out_dim, 1)

    def forward(self, x):
        x = self.relu1(self.norm1(self.conv1(x)))
        return self.conv2(self.layer3(self.layer2(self.layer1(x))))


class MotionEncoder(nn.Module):
    def __init__(self, w: FlowWidths):
        super().__init__()
        self.convc1 = nn.Conv2d(CORR_LEVELS * WINDOW, w.corr1, 1)
        self.convc2 = nn.Conv2d(w.corr1, w.corr2, 3, padding=1)
        self.convf1 = nn.Conv2d(2, w.flow1, 7, padding=3)
        self.convf2 = nn.Conv2d(w.flow1, w.flow2, 3, padding=1)
        self.conv = nn.Conv2d(w.corr2 + w.flow2, w.motion - 2, 3, padding=1)

    def forward(self, flow, corr):
        c = F.relu(self.convc1(corr))
        c = F.relu(self.convc2(c))
        f = F.relu(self.convf1(flow))
        f = F.relu(self.convf2(f))
        out = F.relu(self.conv(torch.cat([c, f], 1)))
        return torch.cat([out, flow], 1)


class SepConvGRU(nn.Module):
    def __init__(self, hdim, idim):
        super().__init__()
        self.convz1 = nn.Conv2d(hdim + idim, hdim, (1, 5), padding=(0, 2))
        self.convr1 = nn.Conv2d(hdim + idim, hdim, (1, 5), padding=(0, 2))
        self.convq1 = nn.Conv2d(hdim + idim, hdim, (1, 5), padding=(0, 2))
        self.convz2 = nn.Conv2d(hdim + idim, hdim, (5, 1), padding=(2, 0))
        self.convr2 = nn.Conv2d(hdim + idim, hdim, (5, 1), padding=(2, 0))
        self.convq2 = nn.Conv2d(hdim + idim, hdim, (5, 1), padding=(2, 0))

    def forward(self, h, x):
        hx = torch.cat([h, x], 1)
        z = torch.sigmoid(self.convz1(hx))
        r = torch.sigmoid(self.convr1(hx))
        q = torch.tanh(self.convq1(torch.cat([r * h, x], 1)))
        h = (1 - z) * h + z * q
        hx = torch.cat([h, x], 1)
        z = torch.sigmoid(self.convz2(hx))
        r = torch.sigmoid(self.convr2(hx))
        q = torch.tanh(self.convq2(torch.cat([r * h, x], 1)))
        return (1 - z) * h + z * q


class FlowHead(nn.Module):
    def __init__(self, hdim, head):
        super().__init__()
        self.conv1 = nn.Conv2d(hdim, head, 3, padding=1)
        self.conv2 = nn.Conv2d(head, 2, 3, padding=1)
        self.relu = nn.ReLU(inplace=True)

    def forward(self, x):
        return self.conv2(self.relu(self.conv1(x)))


class UpdateBlock(nn.Module):
    def __init__(self, w: FlowWidths):
        super().__init__()
        self.encoder = MotionEncoder(w)
        self.gru = SepConvGRU(w.hdim, w.cdim + w.motion)
        self.flow_head = FlowHead(w.hdim, w.head)
        self.mask = nn.Sequential(
            nn.Conv2d(w.hdim, w.mask, 3, padding=1), nn.ReLU(inplace=True),
            nn.Conv2d(w.mask, MASK_CHANNELS, 1))

    def forward(self, net, inp, corr, flow):
        motion = self.encoder(flow, corr)
        net = self.gru(net, torch.cat([inp, motion], 1))
        return net, self.flow_head(net)


class FlowNet(nn.Module):
    levels: Final[int]
    radius: Final[int]

    def __init__(self, widths: FlowWidths = FlowWidths()):
        super().__init__()
        self.levels = CORR_LEVELS
        self.radius = CORR_RADIUS
        self.hdim = widths.hdim
        self.cdim = widths.cdim
        # Set on a network that reads vertical motion only: its horizontal flow is then the vertical
        # flow it finds in the transposed pair (twice the cost).
        self.x_from_transpose = False
        self.fnet = Encoder(widths.fdim, "instance", widths.enc)
        self.cnet = Encoder(widths.hdim + widths.cdim, "batch", widths.enc)
        self.update_block = UpdateBlock(widths)

    def forward(self, image1, image2, iters):
        n_iter = int(iters.reshape(-1)[0].item())
        flow = self.iterate(image1, image2, n_iter, False)[-1]
        if self.x_from_transpose:
            across = self.iterate(image1.transpose(2, 3).contiguous(), image2.transpose(2, 3).contiguous(),
                                  n_iter, False)[-1].transpose(2, 3)
            flow = torch.cat([across[:, 1:2], flow[:, 1:2]], 1)
        return flow

    def iterate(self, image1, image2, n_iter: int, every: bool) -> List[torch.Tensor]:
        """The flow after each of n_iter updates (every), or after the last alone: training
        supervises every update, the plug-in reads the last."""
        image1 = 2.0 * image1 - 1.0
        image2 = 2.0 * image2 - 1.0
        n = image1.size(0)
        fmaps = self.fnet(torch.cat([image1, image2], 0))
        pyramid = self._corr_pyramid(fmaps[:n], fmaps[n:])
        ctx = self.cnet(image1)
        net = torch.tanh(ctx[:, :self.hdim])
        inp = F.relu(ctx[:, self.hdim:self.hdim + self.cdim])

        coords0 = self._grid(fmaps[:n])
        coords1 = coords0
        flows: List[torch.Tensor] = []
        for i in range(n_iter):
            # Each update learns from where the last one left the flow, not through it: gradients
            # through the lookup positions of every earlier update make training unstable.
            coords1 = coords1.detach()
            corr = self._lookup(pyramid, coords1)
            net, delta = self.update_block(net, inp, corr, coords1 - coords0)
            coords1 = coords1 + delta
            # Each flow upsampled with its own update's mask; without `every`, only the last.
            if every or i == n_iter - 1:
                flows.append(self._upsample(coords1 - coords0, 0.25 * self.update_block.mask(net)))
        if len(flows) == 0:
            flows.append(self._upsample(coords1 - coords0, 0.25 * self.update_block.mask(net)))
        return flows

    @staticmethod
    def _grid(fmap):
        n, _, h, w = fmap.shape
        ys = torch.arange(h, device=fmap.device, dtype=fmap.dtype).view(1, 1, h, 1).expand(n, 1, h, w)
        xs = torch.arange(w, device=fmap.device, dtype=fmap.dtype).view(1, 1, 1, w).expand(n, 1, h, w)
        return torch.cat([xs, ys], 1)

    def _corr_pyramid(self, f1, f2) -> List[torch.Tensor]:
        n, d, h, w = f1.shape
        corr = torch.matmul(f1.reshape(n, d, h * w).transpose(1, 2), f2.reshape(n, d, h * w))
        corr = (corr / (float(d) ** 0.5)).reshape(n * h * w, 1, h, w)
        levels = [corr]
        for _ in range(self.levels - 1):
            corr = F.avg_pool2d(corr, 2, stride=2)
            levels.append(corr)
        return levels

    def _lookup(self, pyramid: List[torch.Tensor], coords):
        n, _, h, w = coords.shape
        r = self.radius
        k = 2 * r + 1
        d = torch.arange(-r, r + 1, device=coords.device, dtype=coords.dtype)
        # Window order of the published weights: x offset outer, y inner.
        dx = d.view(k, 1).expand(k, k).reshape(1, 1, k * k)
        dy = d.view(1, k).expand(k, k).reshape(1, 1, k * k)
        c = coords.permute(0, 2, 3, 1).reshape(n * h * w, 1, 1, 2)
        out = []
        for i, corr in enumerate(pyramid):
            hl = corr.size(2)
            wl = corr.size(3)
            s = 1.0 / float(2 ** i)
            gx = (c[:, :, :, 0] * s + dx) * (2.0 / max(wl - 1, 1)) - 1.0
            gy = (c[:, :, :, 1] * s + dy) * (2.0 / max(hl - 1, 1)) - 1.0
            grid = torch.stack([gx, gy], -1)
            sampled = F.grid_sample(corr, grid, mode="bilinear", padding_mode="zeros",
                                    align_corners=True)
            out.append(sampled.reshape(n, h, w, k * k))
        return torch.cat(out, -1).permute(0, 3, 1, 2).contiguous()

    @staticmethod
    def _upsample(flow, mask):
        # Each fine pixel: a softmax-weighted mix of the 3x3 coarse neighbours.
        n, _, h, w = flow.shape
        mask = torch.softmax(mask.reshape(n, 1, 9, 8, 8, h, w), dim=2)
        up = F.unfold(8.0 * flow, [3, 3], padding=1).reshape(n, 2, 9, 1, 1, h, w)
        up = torch.sum(mask * up, dim=2)
        return up.permute(0, 1, 4, 2, 5, 3).reshape(n, 2, 8 * h, 8 * w)


def widths_of(net: FlowNet) -> FlowWidths:
    """The widths a flow network was built with, read from its layers."""
    enc, up = net.fnet, net.update_block
    return FlowWidths(enc=(enc.conv1.out_channels, enc.layer2[0].conv1.out_channels, enc.layer3[0].conv1.out_channels),
                      fdim=enc.conv2.out_channels, hdim=net.hdim, cdim=net.cdim,
                      corr1=up.encoder.convc1.out_channels, corr2=up.encoder.convc2.out_channels,
                      flow1=up.encoder.convf1.out_channels, flow2=up.encoder.convf2.out_channels,
                      motion=up.encoder.conv.out_channels + 2, head=up.flow_head.conv1.out_channels,
                      mask=up.mask[0].out_channels)
