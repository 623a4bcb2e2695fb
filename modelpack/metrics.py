"""How close a result is to its truth: the measures the held-out scores, the pack measurement and
the benchmarks share, so that a figure means the same wherever it is printed."""

import torch
import torch.nn.functional as F


def psnr(a, b):
    """Peak signal-to-noise ratio in dB for values whose peak is 1; infinite for identical ones."""
    mse = torch.mean((a - b) ** 2).item()
    return float("inf") if mse == 0 else -10.0 * torch.log10(torch.tensor(mse)).item()


def _luma(x):
    return 0.299 * x[:, 0:1] + 0.587 * x[:, 1:2] + 0.114 * x[:, 2:3]


def ssim(a, b):
    """Structural similarity of the luma of two [N, 3, H, W] images in [0, 1]: an 11-tap Gaussian
    window (sigma 1.5), valid positions only."""
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


def sharpness(y, ref):
    """Mean gradient magnitude of `y` over that of `ref`: below 1 is softer, above 1 crisper."""
    def grad(t):
        return ((t[..., 1:, :] - t[..., :-1, :]).abs().mean() + (t[..., 1:] - t[..., :-1]).abs().mean())
    return (grad(y) / grad(ref)).item()
