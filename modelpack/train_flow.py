"""Training the flow network (FLWN) on moving clips made from photographs.

`python -m modelpack train --code FLWN` (see __main__.py for the options). Each
sample is a pair of frames of a clip from motion.py: a random crop of a
training photograph seen along a smooth camera path, area-downscaled, at a
random exposure, randomly flipped or transposed, LogC-encoded as the plug-in
hands patches over and padded as it pads them (pad_for_flow: zeros right and
bottom, to multiples of 8 and at least 128). The truth is the clip's exact
flow from the current frame to the previous one.

Patch sizes. The plug-in cuts frames into patches of up to 500 pixels a side
and pads the smaller ones, so the network must read motion in a small patch
inside a mostly empty 128 x 128 map as well as in a large one. Most steps are
a batch of patches with sides from 32 to 128 (all padded to 128); a share of
steps are a few patches of one larger size, up to --patch on a side (a
patch too large for any photograph at the clips' supersampling is rendered
without it).

The recipe, and why (issue 32: a network that learnt one axis only):
- The loss is the L1 distance of the flow after every update, up to the
  plug-in's 25, weighted toward the last (gamma ** (N - i)), over each patch
  without its padding. Trained at 8 updates and run at 25, the update drifted
  past its best.
- AdamW: weight decay decoupled from the gradient. Adam's coupled L2 term is
  added after clipping, so where the clipped loss gradient was small (the
  recurrent unit, the context encoder) decay outweighed it.
- Gradients are clipped per group: the flow head's last layer (scaled by 0.01
  at the start) alone, everything else together. Clipped as one, the head's
  gradient took almost the whole norm and shrank every other one.
- Held-out scores per axis (mean |x error| and |y error| beside zero flow's),
  at 25 updates on padded patches of 32 to 500 pixels. An end-point error
  averaged over both axes hid a network that had dropped one.
- A run's archive is written (--out) only when each axis beats zero flow
  by --require (3) times; WORK/best.pt keeps the best checkpoint that did.
- --average D: an exponential moving average of the weights (decay D a
  step) is scored, kept in best.pt and written; the latest weights' axes
  are scored beside it. At the peak learning rate the latest weights' scores
  swing by a tenth of a pixel from one checkpoint to the next.

A run lives in its work folder as a still run does (checkpoint.pt,
scores.tsv, cache/) and resumes the same way: this module is the flow
network's task for the shared loop (train_loop.py), and its checkpoints also
keep the best scores so far. Checkpoints of other widths or of the earlier
recipe (Adam, 8 updates, unpadded pairs) are refused: start a new --work.
"""

import math
import os
from dataclasses import dataclass, field

import torch

from .codes import PLUGIN
from .encoding import log_encode
from .flow import FlowNet, FlowWidths
from .motion import MotionLimits, camera_path, draw_cut_out, occluded_clip, render_clip
from .sequence_ops import flow_padding, pad_for_flow
from .train_loop import BEST, Scored, Seeded, Task, WeightAverage, learning_rate, load_images, run, write_checkpoint

PLUGIN_ITERATIONS = PLUGIN["flow_iterations"]
RECIPE = 2             # checkpoints of another recipe are refused
SMALLEST = 32          # the smallest patch side trained and scored
PADDED = 128           # the plug-in pads patches to at least this

# Held-out patch sizes (h, w): square and not, inside one padded map and larger.
EVAL_SIZES = ((32, 32), (500, 500), (48, 96), (384, 500), (64, 64), (500, 300), (80, 120), (320, 320),
              (96, 96), (180, 320), (128, 128), (256, 256), (64, 200), (200, 120), (136, 136), (120, 40))


@dataclass
class FlowTrainConfig:
    images: list
    held_out: list
    work: str
    widths: str = "narrow"      # "narrow", or a pack's flow widths: "tiny" or "reference"
    steps: int = 20000
    batch: int = 4
    patch: int = 500            # largest patch side (the plug-in's largest patch)
    large_share: float = 0.15   # share of steps on patches larger than the padded map
    scale: int = 2              # frames rendered at this many times the patch, then area-downscaled
    shift: float = 8.0          # most input pixels a frame of the scored clips
    train_shift: float = 24.0   # and of the training clips (see ClipPairs)
    iterations: int = PLUGIN_ITERATIONS  # updates while training
    gamma: float = 0.85
    lr: float = 2e-4
    weight_decay: float = 1e-4  # decoupled (AdamW)
    require: float = 3.0        # each axis's error at most zero flow's / require, or no archive
    x_from_transpose: bool = False  # scored and written reading x from the transposed pair (training as without)
    loss_axes: str = "xy"       # the axes in the loss: "xy", or "y" for a network shipped with the transposed read
    average: float = 0.0        # decay per step of the weight average scored, kept and written; 0: none
    checkpoint_every: int = 250
    threads: int = 0
    device: str = "cpu"
    downscale: int = 1
    colorspace: str = ""
    seed: int = 1
    eval_clips: int = 16
    parent: str = ""            # a FLWN.delta, FLWN.pt or pack folder to start from (same widths)
    code: str = field(default="FLWN", init=False)
    recipe: int = field(default=RECIPE, init=False)


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


def _padded(h, w):
    bottom, right = flow_padding(h, w)
    return h + bottom, w + right


def pad_pairs(pairs):
    """Unpadded (current, previous, flow) pairs of one padded size -> batched (current, previous,
    truth): the frames padded by pad_for_flow, the truth NaN where the padding lies (no flow is
    known there, and the loss and the scores skip it)."""
    padded = {_padded(*p[2].shape[2:]) for p in pairs}
    if len(padded) != 1:
        raise ValueError("pairs of one batch must pad to one size, not %s" % sorted(padded))
    hh, ww = padded.pop()
    truth = []
    for _, _, flow in pairs:
        t = torch.full((1, 2, hh, ww), float("nan"), dtype=flow.dtype)
        t[:, :, :flow.size(2), :flow.size(3)] = flow
        truth.append(t)
    return (torch.cat([pad_for_flow(p[0]) for p in pairs]), torch.cat([pad_for_flow(p[1]) for p in pairs]),
            torch.cat(truth))


class ClipPairs(Seeded):
    """(current, previous, truth) batches of pad_pairs: LogC frames padded for the flow network.
    Sides of SMALLEST..min(patch, PADDED), drawn per pair; with patch above PADDED, a share of
    batches (`large_share`) are pairs of one size with a side above PADDED, as many as make about
    the pixels of a batch of small ones."""

    def __init__(self, images, patch, scale, shift, seed, occlusion=0.5, large_share=0.0):
        self.images = images
        self.patch, self.scale, self.shift = patch, scale, shift
        self.occlusion = occlusion  # the share of pairs with a cut-out crossing the scene
        self.large_share = large_share if patch > PADDED else 0.0
        for side, scale_needed in ((min(patch, PADDED), scale), (patch, 1)):
            if not self._fitting(self.crop_side(side, scale_needed, shift)):
                raise ValueError("no image is at least %d pixels on each side (for %d-pixel patches moving %g "
                                 "pixels a frame)" % (self.crop_side(side, scale_needed, shift), side, shift))
        super().__init__(seed)

    @staticmethod
    def crop_side(patch, scale, shift):
        # Room for the motion, a degree of rotation and a little zoom around the frame.
        return int(math.ceil(scale * (patch * 1.15 + 2 * shift + 4)))

    def _fitting(self, side):
        return [im for im in self.images if min(im.shape[1:]) >= side]

    def pair(self, h, w):
        """One unpadded pair of h x w patches: (current [1,3,h,w], previous, flow [1,2,h,w])."""
        # Flips and transposition: each axis sees the other's motion, in both directions. A pair to
        # be transposed is rendered w x h, so that it comes out h x w.
        flips = [self.rng.random() < 0.5 for _ in range(3)]
        if flips[2]:
            h, w = w, h
        scale = self.scale
        side = self.crop_side(max(h, w), scale, self.shift)
        images = self._fitting(side)
        if not images:  # larger than any photograph at the supersampling: render without it
            scale = 1
            side = self.crop_side(max(h, w), scale, self.shift)
            images = self._fitting(side)
        im = self.rng.choice(images)
        y = self.rng.randrange(im.shape[1] - side + 1)
        x = self.rng.randrange(im.shape[2] - side + 1)
        crop = im[:, y:y + side, x:x + side].double()
        limits = MotionLimits(shift=self.shift * self.rng.uniform(0.0, 1.0), rotation=1.0, zoom=0.01)
        maps = camera_path(2, self.gen, limits, scale)
        if self.rng.random() < self.occlusion:
            front, front_maps = draw_cut_out(images, side, self.rng, self.gen, 2, limits, scale)
            clip = occluded_clip(crop, front, maps, front_maps, h, w, scale)
        else:
            clip = render_clip(crop, maps, h, w, scale)
        exposure = 2.0 ** self.rng.uniform(-1.5, 0.7)
        frames = log_encode((clip.frames * exposure).float())
        flow = clip.flow[1:2].float()
        current, previous = frames[1:2], frames[0:1]
        for flip, dim, sign in ((flips[0], 3, (-1.0, 1.0)), (flips[1], 2, (1.0, -1.0))):
            if flip:
                current, previous = current.flip(dim), previous.flip(dim)
                flow = flow.flip(dim) * torch.tensor(sign).view(1, 2, 1, 1)
        if flips[2]:
            current, previous, flow = current.transpose(2, 3), previous.transpose(2, 3), flow.transpose(2, 3).flip(1)
        return current.contiguous(), previous.contiguous(), flow.contiguous()

    def sizes(self, n):
        """The (h, w) of each pair of the next batch."""
        small = min(self.patch, PADDED)
        lo = min(SMALLEST, small)
        if self.rng.random() < self.large_share:
            while True:
                h, w = self.rng.randint(lo, self.patch), self.rng.randint(lo, self.patch)
                if max(h, w) > PADDED:
                    break
            hh, ww = _padded(h, w)
            count = max(1, round(n * PADDED * PADDED / (hh * ww)))
            return [(h, w)] * count
        sizes = []
        while len(sizes) < n:
            h, w = self.rng.randint(lo, small), self.rng.randint(lo, small)
            # A side of 128 beside one that is not a multiple of 8 pads to 136: not in this batch.
            if not sizes or _padded(h, w) == _padded(*sizes[0]):
                sizes.append((h, w))
        return sizes

    def batch(self, n):
        return pad_pairs([self.pair(h, w) for h, w in self.sizes(n)])


def train_mode(net):
    """Training mode with the batch norms kept as they are: batches of a few patches give their
    statistics no meaning, and the plug-in runs the network with the stored ones."""
    net.train()
    for m in net.modules():
        if isinstance(m, torch.nn.BatchNorm2d):
            m.eval()


def axis_errors(flow, truth):
    """[N, 2] mean |error| of each pair on each axis, over the pixels where the truth is known
    (truth may be cropped to a patch or NaN over its padding)."""
    h, w = truth.shape[2:]
    known = torch.isfinite(truth)
    diff = torch.where(known, flow[:, :, :h, :w] - torch.nan_to_num(truth), torch.zeros((), dtype=flow.dtype))
    return diff.abs().sum((2, 3)) / known.sum((2, 3)).clamp_min(1)


def sequence_loss(flows, truth, gamma, axes="xy"):
    """L1 of every update's flow on `axes` over each unpadded patch (pairs weighted alike), the
    last update weighted most."""
    n = len(flows)
    pick = ["xy".index(a) for a in axes]
    return sum(gamma ** (n - 1 - i) * axis_errors(f, truth)[:, pick].mean() for i, f in enumerate(flows))


def flow_scores(net, pairs, iterations=PLUGIN_ITERATIONS):
    """Held-out scores in input pixels, means over `pairs` (each pair alike): end-point error
    (epe), mean |x error| (x), mean |y error| (y), and the same of zero flow (..._zero_flow).
    `net` is called as the plug-in calls it (forward, a one-element tensor of updates), so an
    archive scores as it runs."""
    rows = []
    iters = torch.tensor([float(iterations)])
    with torch.no_grad():
        for current, previous, truth in pairs:
            h, w = truth.shape[2:]
            flow = net(current, previous, iters.to(current.device))[:, :, :h, :w]
            known = torch.isfinite(truth[:, 0])
            t = torch.nan_to_num(truth)
            epe = ((flow - t).norm(dim=1) * known).sum() / known.sum()
            zero = (t.norm(dim=1) * known).sum() / known.sum()
            ax = axis_errors(flow, truth).mean(0)
            ax0 = axis_errors(torch.zeros_like(t), truth).mean(0)
            rows.append([epe.item(), zero.item(), ax[0].item(), ax0[0].item(), ax[1].item(), ax0[1].item()])
    means = [sum(c) / len(c) for c in zip(*rows)]
    return dict(zip(("epe", "epe_zero_flow", "x", "x_zero_flow", "y", "y_zero_flow"), means))


def passes(scores, require):
    """Each axis's error at most zero flow's / require."""
    return all(scores[a] * require <= scores[a + "_zero_flow"] for a in ("x", "y"))


def describe(s):
    return ("x %.3f (zero flow %.3f), y %.3f (zero flow %.3f), end-point %.3f (zero flow %.3f) input pixels"
            % (s["x"], s["x_zero_flow"], s["y"], s["y_zero_flow"], s["epe"], s["epe_zero_flow"]))


def held_out_pairs(cfg, images):
    """Fixed clips, so every checkpoint is scored on the same motion: EVAL_SIZES in turn (those
    within --patch), motion up to --shift."""
    held = ClipPairs(images, cfg.patch, cfg.scale, cfg.shift, cfg.seed + 1000)
    sizes = [s for s in EVAL_SIZES if max(s) <= cfg.patch] or [(cfg.patch, cfg.patch)]
    return [pad_pairs([held.pair(*sizes[i % len(sizes)])]) for i in range(cfg.eval_clips)]


def head_parameters(net):
    return list(net.update_block.flow_head.conv2.parameters())


def clip_groups(net, limit=1.0):
    """Clips the flow head's last layer and the rest each to norm `limit`; returns their norms
    before clipping."""
    head = head_parameters(net)
    ids = {id(p) for p in head}
    rest = [p for p in net.parameters() if id(p) not in ids]
    return tuple(torch.nn.utils.clip_grad_norm_(group, limit).item() for group in (head, rest))


def make_optimizer(net, cfg):
    return torch.optim.AdamW(net.parameters(), lr=cfg.lr, weight_decay=cfg.weight_decay)


def training_step(net, opt, batch, cfg, lr):
    """One optimiser step on a batch; returns (loss, [x, y] L1 of the last update, [x, y] of zero
    flow, (head, rest) gradient norms before clipping)."""
    current, previous, truth = batch
    flows = net.iterate(current, previous, cfg.iterations, True)
    loss = sequence_loss(flows, truth, cfg.gamma, cfg.loss_axes)
    opt.zero_grad(set_to_none=True)
    loss.backward()
    norms = clip_groups(net)
    for group in opt.param_groups:
        group["lr"] = lr
    opt.step()
    with torch.no_grad():
        last = axis_errors(flows[-1].detach(), truth).mean(0).tolist()
        zero = axis_errors(torch.zeros_like(flows[-1]), truth).mean(0).tolist()
    return loss.item(), last, zero, norms


def parent_state(parent):
    """The weights of a flow network to start from: a trained pack's FLWN.delta, an archive, or a
    pack folder's FLWN.pt."""
    if parent.endswith(".delta"):
        from .trained import trained_fresh
        net = trained_fresh("FLWN", lambda *_: None, parent)
        if net is None:
            raise ValueError("no flow network in %s" % parent)
        return net.state_dict()
    path = os.path.join(parent, "FLWN.pt") if os.path.isdir(parent) else parent
    if not os.path.isfile(path):
        raise ValueError("parent %s is neither a FLWN.delta, an archive nor a pack folder with FLWN.pt" % parent)
    return {k: v.detach().clone() for k, v in torch.jit.load(path, map_location="cpu").state_dict().items()}


class FlowTask(Task):
    def check(self):
        self.widths = widths_named(self.cfg.widths)

    def refuse(self, saved, path):
        cfg = self.cfg
        if saved.get("code") != "FLWN" or saved.get("widths") != cfg.widths:
            return "%s holds another run (%s, %s widths); use another --work" % (
                path, saved.get("code"), saved.get("widths"))
        if saved.get("recipe", 1) != RECIPE:
            return ("%s holds a run of the earlier flow recipe (Adam with coupled weight decay, %s updates, "
                    "pairs unpadded); it cannot resume under this one: use a new --work"
                    % (path, saved.get("iterations")))
        if saved.get("loss_axes", "xy") != cfg.loss_axes:
            return "%s holds a run with the loss on %s, not %s; use another --work" % (
                path, saved.get("loss_axes", "xy"), cfg.loss_axes)
        return None

    def setup(self, ckpt, log):
        cfg = self.cfg
        net = fresh_network(self.widths, cfg.seed)
        if ckpt is not None:
            net.load_state_dict(ckpt["model"])
            log("resuming FLWN at step %d of %d" % (ckpt["step"], cfg.steps))
        elif cfg.parent:
            net.load_state_dict(parent_state(cfg.parent))
            log("starting FLWN from %s (%s widths)" % (cfg.parent, cfg.widths))
        else:
            log("starting FLWN from random weights (%s widths)" % cfg.widths)
        # Only forward() reads the transposed pair; training steps call iterate(), so what a step
        # computes is the same either way.
        net.x_from_transpose = cfg.x_from_transpose
        self.device = device = torch.device(cfg.device)
        self.net = net.to(device)
        self.opt = make_optimizer(self.net, cfg)
        self.average = WeightAverage(self.net, cfg.average) if cfg.average else None
        # Motion of up to a few feature cells (8 input pixels each) in training: a network that has
        # not yet learnt to read the correlation finds it there, and not in motion under one cell.
        self.samples = ClipPairs(load_images(cfg, cfg.images, log), cfg.patch, cfg.scale, cfg.train_shift, cfg.seed,
                                 large_share=cfg.large_share)
        self.held = held_out_pairs(cfg, load_images(cfg, cfg.held_out, log)) if cfg.held_out else []
        self.best = None
        self.interval = []  # (loss, last-update x/y, zero-flow x/y, gradient norms) since the last checkpoint
        log("  %s, batch %d of patches %d..%d (%d%% of steps larger, up to %d), %d updates, motion up to %g "
            "pixels a frame (scored up to %g, at %d updates)"
            % (cfg.device, cfg.batch, min(SMALLEST, cfg.patch), min(cfg.patch, PADDED),
               round(100 * self.samples.large_share), cfg.patch, cfg.iterations, cfg.train_shift, cfg.shift,
               PLUGIN_ITERATIONS))
        if cfg.x_from_transpose:
            log("  scored and written with the horizontal flow read from the transposed pair")
        if cfg.loss_axes != "xy":
            log("  the loss on the %s axis only" % cfg.loss_axes)
        if self.average is not None:
            log("  scored, kept and written: the weights averaged with decay %g a step (the last %d steps or so)"
                % (cfg.average, round(1.0 / (1.0 - cfg.average))))
        self.log = log

    def restore(self, ckpt):
        self.best = ckpt.get("best")
        if self.average is not None:
            if ckpt.get("average") is not None:
                self.average.load_state_dict(ckpt["average"])
            else:
                self.log("  the weight average starts from the weights at step %d" % ckpt["step"])

    def start_training(self):
        train_mode(self.net)

    def step(self, step):
        cfg = self.cfg
        batch = tuple(t.to(self.device) for t in self.samples.batch(cfg.batch))
        self.interval.append(training_step(self.net, self.opt, batch, cfg,
                                           learning_rate(cfg.lr, step, cfg.steps, warmup=100)))
        if self.average is not None:
            self.average.update(self.net)
        return self.interval[-1][0]

    def summary(self, step):
        if not self.interval:
            return None
        rows, n = self.interval, len(self.interval)
        mean = lambda f: sum(f(r) for r in rows) / n  # noqa: E731
        fields = {"loss": mean(lambda r: r[0]), "train_x": mean(lambda r: r[1][0]),
                  "train_y": mean(lambda r: r[1][1]), "train_x_zero_flow": mean(lambda r: r[2][0]),
                  "train_y_zero_flow": mean(lambda r: r[2][1]), "grad_head": mean(lambda r: r[3][0]),
                  "grad_rest": mean(lambda r: r[3][1])}
        self.interval = []
        return fields, ("step %d: training L1 of the last update x %.3f (zero flow %.3f), y %.3f (zero flow %.3f); "
                        "gradient norm head %.3g, rest %.3g" % (
                            step, fields["train_x"], fields["train_x_zero_flow"], fields["train_y"],
                            fields["train_y_zero_flow"], fields["grad_head"], fields["grad_rest"]))

    def score(self, step):
        if not self.held:
            return None
        cfg, net = self.cfg, self.net
        held = [tuple(t.to(self.device) for t in p) for p in self.held]
        net.eval()
        s = flow_scores(net, held)
        train_mode(net)
        # With a weight average the average is what passes, is kept and is written; the latest
        # weights' axes stay beside it, to show what averaging does.
        latest = {}
        if self.average is not None:
            latest = {"latest_" + k: s[k] for k in ("epe", "x", "y")}
            s = flow_scores(self.average.net, held)
        ok = passes(s, cfg.require)
        keys = ("epe", "epe_zero_flow", "x", "x_zero_flow", "y", "y_zero_flow")
        note = "step %d: held-out error %s%s%s" % (
            step, "of the averaged weights " if latest else "", describe(s),
            "; each axis beats zero flow %gx" % cfg.require if ok and cfg.require else "")
        if latest:
            note += "; latest weights x %.3f, y %.3f" % (latest["latest_x"], latest["latest_y"])
        return Scored({**s, **latest, "passes": ok}, ("step",) + keys + ("passes",) + tuple(latest),
                      tuple(["%d" % step] + ["%.4f" % s[k] for k in keys] + ["yes" if ok else "no"]
                            + ["%.4f" % v for v in latest.values()]), note)

    def scored(self, step, scores, payload):
        """Keeps WORK/best.pt: the checkpoint whose worse axis is furthest below zero flow's, of
        those that pass."""
        s = scores.fields
        worst = max(s["x"] / s["x_zero_flow"], s["y"] / s["y_zero_flow"])
        if s["passes"] and (self.best is None or worst < self.best["worst"]):
            self.best = {"step": step, "worst": worst, "scores": {k: v for k, v in s.items() if k != "passes"}}
            best = dict(payload, history=payload["history"] + [])
            if self.average is not None:
                best["model"] = self.average.state_dict()
            write_checkpoint(os.path.join(self.cfg.work, BEST), best)

    def state(self):
        return {"best": self.best, "average": self.average.state_dict() if self.average is not None else None}

    def finish(self):
        return (self.average.net if self.average is not None else self.net).cpu().eval()

    def export(self, net, out_pack, history, log):
        export_flow(net, self.cfg, out_pack, history, log)


def train_flow(cfg: FlowTrainConfig, out_pack=None, log=print, until=0):
    return run(FlowTask(cfg), out_pack, log, until)


def export_flow(net, cfg, out_pack, history, log=print):
    """Writes FLWN.pt into `out_pack` when the run's last held-out scores pass (cfg.require);
    returns its path, or None."""
    import json
    from .packs import save_archive
    from .stillnets import META_FILE
    scores = next((h for h in reversed(history) if "epe" in h), None)
    if cfg.require and (scores is None or not passes(scores, cfg.require)):
        log("FLWN not written: %s" % ("no held-out scores" if scores is None else
                                      "each axis must beat zero flow %gx (%s)" % (cfg.require, describe(scores))))
        return None
    os.makedirs(out_pack, exist_ok=True)
    path = os.path.join(out_pack, "FLWN.pt")
    meta = {"code": "FLWN", "widths": cfg.widths, "steps": cfg.steps, "iterations": cfg.iterations,
            "scores": scores, "x_from_transpose": bool(net.x_from_transpose)}
    save_archive(torch.jit.script(net.eval()), path, {META_FILE: json.dumps(meta, sort_keys=True)})
    log("wrote %s" % path)
    return path
