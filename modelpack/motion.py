"""Moving footage made from still photographs, with its exact optical flow.

No video is at hand, but a photograph seen through a moving camera is: each
frame samples the linear-light photograph at full resolution along a smooth
camera path (sub-pixel translation, a little rotation and zoom), and is then
area-downscaled to the input resolution, as a plate shot at that resolution
would be. The full-resolution frames are the truth a recurrent network is
trained towards, and because every frame is an affine view of one picture, the
flow between two frames is known exactly.

Coordinates: pixel (x, y) of a W x H image has its centre at (x, y), x to the
right and y down. An input pixel i covers full-resolution pixels
i*s .. i*s + s - 1, so its centre lies at i*s + (s - 1) / 2 there.

The flow of frame t is what the plug-in's flow network returns: for each input
pixel of frame t, where the same point of the scene lies in frame t - 1, minus
the pixel's own position, in input pixels (x first). Frame 0 has zero flow.
"""

import math
from dataclasses import dataclass
from typing import List

import torch
import torch.nn.functional as F


@dataclass
class MotionLimits:
    shift: float = 8.0        # most input pixels a frame the centre may move
    rotation: float = 1.0     # most degrees a frame
    zoom: float = 0.01        # most relative change of scale a frame


@dataclass
class Clip:
    truth: torch.Tensor       # [T, C, s*h, s*w] full-resolution frames, linear light
    frames: torch.Tensor      # [T, C, h, w] the input frames, area-downscaled
    flow: torch.Tensor        # [T, 2, h, w] frame t to frame t - 1, input pixels


def camera_path(frames: int, generator: torch.Generator, limits: MotionLimits = MotionLimits(),
                scale: int = 4) -> List[torch.Tensor]:
    """Per frame, the 2 x 3 affine map from full-resolution frame coordinates
    (relative to the frame's centre) to photograph coordinates (relative to the
    photograph's centre). The motion between frames eases from one random
    velocity to another, so paths are smooth but not straight."""
    def uniform(lo, hi):
        return lo + (hi - lo) * torch.rand((), generator=generator).item()

    start = [uniform(-1, 1) for _ in range(4)]
    end = [uniform(-1, 1) for _ in range(4)]
    x = y = angle = 0.0
    log_zoom = 0.0
    maps = []
    for t in range(frames):
        if t > 0:
            blend = 0.5 - 0.5 * math.cos(math.pi * t / max(frames - 1, 1))
            vx, vy, va, vz = (a + (b - a) * blend for a, b in zip(start, end))
            # The shift limit is of the whole motion, so split it between the axes.
            x += vx * limits.shift * scale / math.sqrt(2.0)
            y += vy * limits.shift * scale / math.sqrt(2.0)
            angle += math.radians(va * limits.rotation)
            log_zoom += math.log1p(vz * limits.zoom)
        z = math.exp(log_zoom)
        c, s = math.cos(angle) / z, math.sin(angle) / z
        maps.append(torch.tensor([[c, -s, x], [s, c, y]], dtype=torch.float64))
    return maps


def _apply(affine: torch.Tensor, points: torch.Tensor) -> torch.Tensor:
    """points [..., 2] through a 2 x 3 affine map."""
    return points @ affine[:, :2].T + affine[:, 2]


def _invert(affine: torch.Tensor) -> torch.Tensor:
    linear = torch.linalg.inv(affine[:, :2])
    return torch.cat([linear, -(linear @ affine[:, 2:])], dim=1)


def _centred_grid(height: int, width: int) -> torch.Tensor:
    """[height, width, 2] pixel centres relative to the image's centre, x first."""
    ys = torch.arange(height, dtype=torch.float64) - (height - 1) / 2.0
    xs = torch.arange(width, dtype=torch.float64) - (width - 1) / 2.0
    return torch.stack(torch.meshgrid(xs, ys, indexing="xy"), dim=-1)


def render_clip(photo: torch.Tensor, maps: List[torch.Tensor], height: int, width: int,
                scale: int) -> Clip:
    """The clip of `photo` ([3, H, W] linear light, or [4, H, W] premultiplied RGBA; larger than
    s*h x s*w with room for the motion) seen along `maps`, with input frames of h x w."""
    if photo.dim() != 3 or photo.size(0) not in (3, 4):
        raise ValueError("the photograph must be [3, H, W] or [4, H, W]")
    hh, ww = height * scale, width * scale
    ph, pw = photo.shape[1:]
    frame_grid = _centred_grid(hh, ww)
    truth = []
    for affine in maps:
        at = _apply(affine, frame_grid)  # photograph pixels, relative to its centre
        if (at[..., 0].abs().max() > (pw - 1) / 2.0) or (at[..., 1].abs().max() > (ph - 1) / 2.0):
            raise ValueError("the camera path leaves the photograph: use a larger one or less motion")
        unit = torch.stack([at[..., 0] / ((pw - 1) / 2.0), at[..., 1] / ((ph - 1) / 2.0)], dim=-1)
        sampled = F.grid_sample(photo[None].double(), unit[None], mode="bicubic", padding_mode="border",
                                align_corners=True)
        truth.append(sampled[0].to(photo.dtype))
    truth = torch.stack(truth)
    frames = F.avg_pool2d(truth, scale)

    # Input pixel centres in full-resolution frame coordinates, relative to the frame's centre.
    lr_centres = _centred_grid(height, width) * scale
    flow = [torch.zeros(2, height, width, dtype=photo.dtype)]
    for t in range(1, len(maps)):
        in_previous = _apply(_invert(maps[t - 1]), _apply(maps[t], lr_centres))
        flow.append(((in_previous - lr_centres) / scale).permute(2, 0, 1).to(photo.dtype))
    return Clip(truth=truth, frames=frames, flow=torch.stack(flow))


def over(front: Clip, back: Clip, scale: int) -> Clip:
    """A premultiplied RGBA clip (`front`, moving along its own path) over an RGB one: the frames
    composited at full resolution, then area-downscaled; each input pixel's flow is the front's
    where the front covers at least half of it in that frame, the back's elsewhere (what is
    uncovered had no counterpart in the frame before; its flow is the back's motion)."""
    alpha = front.truth[:, 3:4]
    truth = front.truth[:, :3] + back.truth * (1.0 - alpha)
    flow = torch.where(front.frames[:, 3:4] >= 0.5, front.flow, back.flow)
    return Clip(truth=truth, frames=F.avg_pool2d(truth, scale), flow=flow)


def occluded_clip(back: torch.Tensor, front: torch.Tensor, back_maps: List[torch.Tensor],
                  front_maps: List[torch.Tensor], height: int, width: int, scale: int) -> Clip:
    """`front` ([4, H, W] premultiplied RGBA, moving along `front_maps`) over `back` ([3, H, W],
    along `back_maps`): a foreground cut-out crossing the scene, with the occlusions it makes."""
    return over(render_clip(front, front_maps, height, width, scale),
                render_clip(back, back_maps, height, width, scale), scale)


def draw_cut_out(images, side: int, rng, generator: torch.Generator, frames: int, limits: MotionLimits,
                 scale: int):
    """(a [4, side, side] premultiplied cut-out of a random image, its own camera path)."""
    im = rng.choice(images)
    y = rng.randrange(im.shape[1] - side + 1)
    x = rng.randrange(im.shape[2] - side + 1)
    matte = soft_matte(side, side, generator, edge=rng.uniform(1.0, 3.0) * scale)
    crop = im[:, y:y + side, x:x + side].double()
    return torch.cat([crop * matte, matte], 0), camera_path(frames, generator, limits, scale)


def soft_matte(height: int, width: int, generator: torch.Generator, edge: float = 6.0) -> torch.Tensor:
    """[1, height, width] alpha of CG-like material: smooth random shapes, fully opaque and fully
    transparent areas between soft edges about `edge` pixels wide. Multiplied into a photograph
    (premultiplied) before render_clip, it moves with the scene as rendered elements do."""
    cells = 3 + int(torch.randint(0, 5, (), generator=generator))
    coarse = torch.rand(1, 1, cells, cells, generator=generator, dtype=torch.float64)
    field = F.interpolate(coarse, size=(height, width), mode="bicubic", align_corners=True)[0]
    # The field's slope sets the edge width: scale it so a ramp of one unit spans about `edge` pixels.
    slope = max(float(cells) / max(height, width), 1e-6)
    level = 0.3 + 0.4 * torch.rand((), generator=generator, dtype=torch.float64)
    return ((field - level) / (slope * edge) + 0.5).clamp(0.0, 1.0)
