"""Training the flow network (FLWN) on moving clips made from photographs.

`python -m modelpack train --code FLWN` (see __main__.py for the options). Each
sample is a pair of frames of a clip from motion.py: a random crop of a
training photograph seen along a smooth camera path, area-downscaled, at a
random exposure, LogC-encoded as the plug-in hands patches over and padded as
it pads them (right and bottom, to multiples of 8 and at least 128). The truth
is the clip's exact flow from the current frame to the previous one.

The loss is the L1 distance of the flow after every update, weighted toward
the last (gamma ** (N - i)), over the patch without its padding. Runs train
at fewer updates than the plug-in's 25; the held-out score is taken at 25.

The held-out score is the mean end-point error in input pixels on clips of
the held-out photographs, beside the error of zero flow. A run lives in its
work folder as a still run does (checkpoint.pt, scores.tsv, cache/) and
resumes the same way.
"""

import math
import os
from dataclasses import asdict, dataclass, field

import torch

from .encoding import log_encode
from .flow import FlowNet, FlowWidths
from .motion import MotionLimits, camera_path, draw_cut_out, occluded_clip, render_clip
from .sequence_ops import pad_for_flow
from .train import (CHECKPOINT, Progress, Seeded, _write_checkpoint, append_scores, descend, learning_rate,
                    load_images, resume, run_steps)

PLUGIN_ITERATIONS = 25


@dataclass
class FlowTrainConfig:
    images: list
    held_out: list
    work: str
    widths: str = "narrow"      # "narrow", or a pack's flow widths: "tiny" or "reference"
    steps: int = 20000
    batch: int = 4
    patch: int = 64             # input patch side
    scale: int = 2              # frames rendered at this many times the patch, then area-downscaled
    shift: float = 8.0          # most input pixels a frame of the scored clips
    train_shift: float = 24.0   # and of the training clips (see ClipPairs)
    iterations: int = 8         # updates while training
    gamma: float = 0.8
    lr: float = 2e-4
    checkpoint_every: int = 250
    threads: int = 0
    device: str = "cpu"
    downscale: int = 1
    colorspace: str = ""
    seed: int = 1
    eval_clips: int = 8
    code: str = field(default="FLWN", init=False)


# Widths a CPU trains in hours: wide enough for the recurrent state to track motion (the tiny
# pack's four channels are not), a few times the tiny pack's cost.
NARROW = FlowWidths(enc=(16, 24, 32), fdim=32, hdim=24, cdim=24, corr1=48, corr2=32, flow1=16, flow2=16,
                    motion=32, head=32, mask=32)


def widths_named(name):
    from .packs import PACKS
    named = {"narrow": NARROW, **{k: v.flow for k, v in PACKS.items()}}
    if name not in named:
        raise ValueError("no flow widths named %s (%s)" % (name, ", ".join(sorted(named))))
    return named[name]


def fresh_network(widths: FlowWidths, seed):
    """PyTorch's default initialisation, batch norms at identity, the flow head's last layer
    small so a new network starts near zero flow. He initialisation, with the context encoder's
    batch norms held at identity (see train_mode), makes the context about 8 across and starts
    half the update's gates saturated: a run so started learnt nothing in 4,870 steps."""
    with torch.random.fork_rng():
        torch.manual_seed(seed)
        net = FlowNet(widths)
    with torch.no_grad():
        net.update_block.flow_head.conv2.weight.mul_(0.01)
        net.update_block.flow_head.conv2.bias.zero_()
    return net


class ClipPairs(Seeded):
    """(current, previous, flow) batches: LogC frames padded for the flow network, flow unpadded."""

    def __init__(self, images, patch, scale, shift, seed, occlusion=0.5):
        side = self.crop_side(patch, scale, shift)
        self.images = [im for im in images if min(im.shape[1:]) >= side]
        if not self.images:
            raise ValueError("no image is at least %d pixels on each side (for %d-pixel patches moving %g "
                             "pixels a frame)" % (side, patch, shift))
        self.patch, self.scale, self.shift, self.side = patch, scale, shift, side
        self.occlusion = occlusion  # the share of pairs with a cut-out crossing the scene
        super().__init__(seed)

    @staticmethod
    def crop_side(patch, scale, shift):
        # Room for the motion, a degree of rotation and a little zoom around the frame.
        return int(math.ceil(scale * (patch * 1.15 + 2 * shift + 4)))

    def pair(self):
        im = self.rng.choice(self.images)
        y = self.rng.randrange(im.shape[1] - self.side + 1)
        x = self.rng.randrange(im.shape[2] - self.side + 1)
        crop = im[:, y:y + self.side, x:x + self.side].double()
        limits = MotionLimits(shift=self.shift * self.rng.uniform(0.0, 1.0), rotation=1.0, zoom=0.01)
        maps = camera_path(2, self.gen, limits, self.scale)
        if self.rng.random() < self.occlusion:
            front, front_maps = draw_cut_out(self.images, self.side, self.rng, self.gen, 2, limits, self.scale)
            clip = occluded_clip(crop, front, maps, front_maps, self.patch, self.patch, self.scale)
        else:
            clip = render_clip(crop, maps, self.patch, self.patch, self.scale)
        exposure = 2.0 ** self.rng.uniform(-1.5, 0.7)
        frames = log_encode((clip.frames * exposure).float())
        return frames[1:2], frames[0:1], clip.flow[1:2].float()

    def batch(self, n):
        current, previous, flow = zip(*(self.pair() for _ in range(n)))
        return pad_for_flow(torch.cat(current)), pad_for_flow(torch.cat(previous)), torch.cat(flow)


def train_mode(net):
    """Training mode with the batch norms kept as they are: batches of a few patches give their
    statistics no meaning, and the plug-in runs the network with the stored ones."""
    net.train()
    for m in net.modules():
        if isinstance(m, torch.nn.BatchNorm2d):
            m.eval()


def sequence_loss(flows, truth, gamma):
    """L1 of every update's flow over the unpadded patch, the last weighted most."""
    h, w = truth.shape[2:]
    n = len(flows)
    return sum(gamma ** (n - 1 - i) * (f[:, :, :h, :w] - truth).abs().mean() for i, f in enumerate(flows))


def end_point_error(net, pairs, iterations=PLUGIN_ITERATIONS):
    """(mean end-point error of the network, that of zero flow), input pixels, over `pairs`."""
    errors, zero = [], []
    with torch.no_grad():
        for current, previous, truth in pairs:
            h, w = truth.shape[2:]
            flow = net.iterate(current, previous, iterations, False)[-1][:, :, :h, :w]
            errors.append((flow - truth).norm(dim=1).mean().item())
            zero.append(truth.norm(dim=1).mean().item())
    return sum(errors) / len(errors), sum(zero) / len(zero)


def train_flow(cfg: FlowTrainConfig, out_pack=None, log=print):
    os.makedirs(cfg.work, exist_ok=True)
    if cfg.threads:
        torch.set_num_threads(cfg.threads)
    ckpt_path = os.path.join(cfg.work, CHECKPOINT)
    resumed = os.path.isfile(ckpt_path)
    widths = widths_named(cfg.widths)
    net = fresh_network(widths, cfg.seed)
    if resumed:
        ckpt = torch.load(ckpt_path, map_location="cpu", weights_only=False)
        if ckpt["config"].get("code") != "FLWN" or ckpt["config"].get("widths") != cfg.widths:
            raise ValueError("%s holds another run (%s, %s widths); use another --work"
                             % (ckpt_path, ckpt["config"].get("code"), ckpt["config"].get("widths")))
        net.load_state_dict(ckpt["model"])
        log("resuming FLWN at step %d of %d" % (ckpt["step"], cfg.steps))
    else:
        log("starting FLWN from random weights (%s widths)" % cfg.widths)
    device = torch.device(cfg.device)
    net = net.to(device)
    opt = torch.optim.Adam(net.parameters(), lr=cfg.lr, weight_decay=1e-5)
    # Motion of up to a few feature cells (8 input pixels each) in training: a network that has
    # not yet learnt to read the correlation finds it there, and not in motion under one cell.
    samples = ClipPairs(load_images(cfg, cfg.images, log), cfg.patch, cfg.scale, cfg.train_shift, cfg.seed)
    held_pairs = []
    if cfg.held_out:
        # Fixed clips, so every checkpoint is scored on the same motion.
        held = ClipPairs(load_images(cfg, cfg.held_out, log), cfg.patch, cfg.scale, cfg.shift, cfg.seed + 1000)
        held_pairs = [held.batch(1) for _ in range(cfg.eval_clips)]
    step, history = resume(ckpt, opt, samples) if resumed else (0, [])
    log("  %s, batch %d of %dx%d patches, %d updates (scored at %d), motion up to %g pixels a frame "
        "(scored up to %g)" % (cfg.device, cfg.batch, cfg.patch, cfg.patch, cfg.iterations, PLUGIN_ITERATIONS,
                               cfg.train_shift, cfg.shift))

    scores_path = os.path.join(cfg.work, "scores.tsv")

    interval = []  # the training losses since the last checkpoint

    def checkpoint(progress, step):
        if interval:
            history.append({"step": step, "loss": sum(interval) / len(interval)})
            interval.clear()
        if held_pairs:
            net.eval()
            epe, zero = end_point_error(net, [tuple(t.to(device) for t in p) for p in held_pairs])
            train_mode(net)
            history.append({"step": step, "epe": epe, "epe_zero_flow": zero})
            append_scores(scores_path, ("step", "epe", "epe_zero_flow"), ("%d" % step, "%.4f" % epe, "%.4f" % zero))
            progress.note("step %d: held-out end-point error %.3f pixels (zero flow %.3f)" % (step, epe, zero))
        _write_checkpoint(ckpt_path, {
            "step": step, "model": {k: v.detach().cpu() for k, v in net.state_dict().items()},
            "optim": opt.state_dict(), "samples": samples.state(), "history": history,
            "config": asdict(cfg)})

    progress = Progress(cfg.steps, step)
    if not resumed and held_pairs:
        checkpoint(progress, step)
    train_mode(net)

    def one_step(step):
        current, previous, truth = (t.to(device) for t in samples.batch(cfg.batch))
        loss = sequence_loss(net.iterate(current, previous, cfg.iterations, True), truth, cfg.gamma)
        interval.append(descend(opt, loss, learning_rate(cfg.lr, step, cfg.steps, warmup=100), net.parameters()))
        return interval[-1]

    step, stopped = run_steps(cfg.steps, step, cfg.batch, cfg.checkpoint_every, one_step, checkpoint, progress)
    if stopped:
        return None
    net = net.cpu().eval()
    if out_pack:
        export_flow(net, cfg, out_pack, history, log)
    return net


def export_flow(net, cfg, out_pack, history, log=print):
    import json
    from .packs import save_archive
    from .train import META_FILE
    os.makedirs(out_pack, exist_ok=True)
    path = os.path.join(out_pack, "FLWN.pt")
    meta = {"code": "FLWN", "widths": cfg.widths, "steps": cfg.steps, "iterations": cfg.iterations,
            "scores": history[-1] if history else None}
    save_archive(torch.jit.script(net.eval()), path, {META_FILE: json.dumps(meta, sort_keys=True)})
    log("wrote %s" % path)
    return path
