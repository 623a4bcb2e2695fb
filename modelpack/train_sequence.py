"""Training the recurrent sequence networks on moving clips made from photographs.

`python -m modelpack train --code 4PAsrP --flow PACK ...` (see __main__.py).
Each sample is a clip of a few frames (motion.py): a crop of a training
photograph seen along a smooth camera path at full resolution, degraded to
the input resolution as the still trainer degrades its crops, at a random
exposure. The network is unrolled over the clip exactly as the node runs it
(render/sequence/RecurrentStep.cpp, in sequence_ops.py): the state starts at
zero, the frozen flow network gives the flow from each frame to the one
before at the plug-in's 25 updates, the previous result is warped by it at
output resolution and rearranged by the plug-in's space-to-depth, and the
gradient runs back through the whole unroll.

Material. A plates code (PA) trains on RGB clips; a third of them are
premultiplied colour over black, which is what the hybrid type's colour pass
gives the plates networks. A CG code trains on premultiplied RGBA clips with
soft mattes, through both of the CG type's passes (the main pass, whose alpha
the node keeps, and the colour pass, whose colour it keeps), one network for
the two as in the node.

The loss per frame: L1 to the truth in the node's encoding, plus `temporal`
times the L1 distance between the output's frame-to-frame change and the
truth's, the flicker a viewer sees. The PSNR end (P) trains for fidelity from
fresh weights whose last layer is zero (the bicubic upscale, exactly). The
detail end (G) starts from the PSNR end (`--parent`, so `details` blends two
networks of one parent) and trains its low band to the truth and its high
band to a still detail network run on the same frames (`--teacher`, by
default the still G network of the flow's pack), keeping the temporal term.

Held-out clips are scored at each checkpoint: PSNR of the decoded frames
against bicubic (sRGB, peak 1), the temporal error of both, and their
sharpness (mean gradient magnitude over the truth's), which tells whether a
detail end has kept any more detail than its PSNR end. A run lives in its work
folder and resumes as the other trainers' do: this module is the sequence
family's task for the shared loop (train_loop.py), and its checkpoints also
keep the network's width (features).
"""

import math
import os
from dataclasses import asdict, dataclass, field

import torch
import torch.nn.functional as F

from . import degrade
from .codes import PLUGIN, parse_code
from .encoding import log_decode, log_encode
from .evaluate import to_view
from .metrics import psnr, sharpness
from .motion import MotionLimits, camera_path, draw_cut_out, occluded_clip, render_clip, soft_matte
from .sequence import BLOCKS, SequenceNet
from .sequence_ops import (colour_variant, pad_for_flow, prepare_alpha_input, sampling_grid, space_to_depth,
                           upscale_flow, warp_by_flow, warp_by_grid)
from .stillnets import META_FILE, archive_meta
from .train_loop import Scored, Seeded, Task, bf16_available, box, descend, learning_rate, load_images, run

PLUGIN_ITERATIONS = PLUGIN["flow_iterations"]


@dataclass
class SequenceTrainConfig:
    code: str
    images: list
    held_out: list
    work: str
    flow: str = ""              # the frozen flow network: FLWN.pt or a pack folder holding one
    parent: str = ""            # a sequence archive or pack folder to start from (G: the P end)
    teacher: str = ""           # G: a still archive or pack folder whose detail the high band follows
    features: int = 32
    steps: int = 4000
    batch: int = 2
    patch: int = 32             # input patch side
    frames: int = 6             # frames a clip unrolls over
    shift: float = 6.0          # most input pixels a frame
    temporal: float = 1.0
    lr: float = 2e-4
    checkpoint_every: int = 250
    threads: int = 0
    device: str = "cpu"
    bf16: bool = True
    downscale: int = 1
    colorspace: str = ""
    clean: bool = False
    seed: int = 1
    eval_clips: int = 8
    eval_patch: int = 32
    eval_frames: int = 6
    family: str = field(default="sequence", init=False)

    @property
    def info(self):
        return parse_code(self.code)


# ---------------------------------------------------------------- networks

def fresh_network(scale, channels, features, seed):
    """He-initialised, the blocks' last convolutions small and conv_out zero: it starts as the
    bicubic upscale of its current frame, exactly, and every block near the identity."""
    net = SequenceNet(scale, channels, features)
    g = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for name, m in net.named_modules():
            if isinstance(m, (torch.nn.Conv2d, torch.nn.ConvTranspose2d)):
                fan_in = m.weight[0].numel() if isinstance(m, torch.nn.Conv2d) else m.weight.shape[0] * 9
                std = (2.0 / fan_in) ** 0.5 * (0.1 if name.endswith("conv.2") else 1.0)
                m.weight.copy_(torch.randn(m.weight.shape, generator=g) * std)
                m.bias.zero_()
        net.conv_out.weight.zero_()
    return net


def with_alpha(net):
    """The CG (RGBA) network that a plates network becomes: its colour channels, current frame and
    warped previous result alike, weighted as the plates network weights them, alpha ignored on
    the way in and returned as its bicubic upscale. The plates networks learn premultiplied colour
    too, which is what both CG passes hand over, so a CG run starts from what they learnt."""
    s, nf = net.scale, net.conv_in[0].out_channels
    if net.conv_out.out_channels != 3:
        raise ValueError("only a 3-channel (plates) network takes on an alpha channel")
    rgba = SequenceNet(s, 4, nf, len(net.resblocks))
    state = {k: v.clone() for k, v in net.state_dict().items()}
    w3 = state["conv_in.0.weight"]
    w4 = w3.new_zeros(nf, (1 + s * s) * 4, 3, 3)
    for block in range(1 + s * s):  # the current frame, then each space-to-depth block
        w4[:, block * 4:block * 4 + 3] = w3[:, block * 3:block * 3 + 3]
    state["conv_in.0.weight"] = w4
    state["conv_out.weight"] = torch.cat([state["conv_out.weight"], torch.zeros_like(state["conv_out.weight"][:1])])
    state["conv_out.bias"] = torch.cat([state["conv_out.bias"], torch.zeros_like(state["conv_out.bias"][:1])])
    rgba.load_state_dict(state)
    return rgba


def _linear_doubling(nf):
    """A stride-2 transposed convolution that doubles a feature map by linear interpolation, each
    channel on its own: kernel [1/2, 1, 1/2] along each axis."""
    taps = torch.tensor([0.5, 1.0, 0.5])
    w = torch.zeros(nf, nf, 3, 3)
    w[range(nf), range(nf)] = taps[:, None] * taps[None, :]
    return w


def at_4x(net):
    """The 4x network that a 2x one becomes: the previous result's 4x blocks weighted as the 2x
    network weights the 2x blocks they fall in (so it sees the previous result averaged down to
    2x), the body unchanged, and a second doubling that interpolates the 2x network's features
    linearly. It starts near the 2x network's picture enlarged, which a fresh 4x network on this
    machine's budget does not leave bicubic to reach."""
    if net.scale != 2:
        raise ValueError("only a 2x network is taken to 4x")
    nf, c = net.conv_in[0].out_channels, net.conv_out.out_channels
    wide = SequenceNet(4, c, nf, len(net.resblocks))
    state = {k: v.clone() for k, v in net.state_dict().items()}
    w2 = state["conv_in.0.weight"]
    w4 = w2.new_zeros(nf, 17 * c, 3, 3)
    w4[:, :c] = w2[:, :c]
    for dy in range(4):
        for dx in range(4):
            parent = (dy // 2) * 2 + dx // 2
            w4[:, (1 + dy * 4 + dx) * c:(2 + dy * 4 + dx) * c] = w2[:, (1 + parent) * c:(2 + parent) * c] / 4
    state["conv_in.0.weight"] = w4
    state["conv_up.2.weight"] = _linear_doubling(nf)
    state["conv_up.2.bias"] = torch.zeros(nf)
    wide.load_state_dict(state)
    return wide


def _pack_member(path, code):
    if os.path.isdir(path):
        path = os.path.join(path, code + ".pt")
    if not os.path.isfile(path):
        raise ValueError("%s does not exist" % path)
    return path


def sequence_from_archive(path):
    """(SequenceNet, meta) carrying an archive's weights; the widths come from the weights."""
    module, meta = archive_meta(path)
    state = {k: v.detach().clone() for k, v in module.state_dict().items()}
    features, cin = state["conv_in.0.weight"].shape[:2]
    channels = state["conv_out.weight"].shape[0]
    scale = int(round(math.sqrt(cin // channels - 1)))
    net = SequenceNet(scale, channels, features)
    net.load_state_dict(state)
    return net, meta


def load_flow(path, device):
    """The frozen flow network: a callable (current, previous) -> flow at the plug-in's updates."""
    module = torch.jit.load(_pack_member(path, "FLWN"), map_location=device).eval()
    iterations = torch.tensor([float(PLUGIN_ITERATIONS)], device=device)

    def flow(current, previous):
        h, w = current.shape[2:]
        with torch.no_grad():
            return module(pad_for_flow(current), pad_for_flow(previous), iterations)[:, :, :h, :w].float()
    return flow


def load_teacher(path, code, device):
    """The still detail network of the code's scale whose high band a G end follows."""
    info = parse_code(code)
    module = torch.jit.load(_pack_member(path, "%dPstG" % info.scale), map_location=device).eval()
    for p in module.parameters():
        p.requires_grad_(False)
    return module


# ---------------------------------------------------------------- clips

class ClipSamples(Seeded):
    """Batches of clips: (inputs [T, N, C, h, w] linear, truth [T, N, C, sh, sw] linear)."""

    def __init__(self, images, scale, patch, frames, shift, material, clean, seed, premultiplied_share=1.0 / 3.0,
                 degradation=None, occlusion=0.3, supersample=2):
        # Frames are rendered at `supersample` times the truth's resolution and area-downscaled to
        # it: resampling a photograph at its own resolution (sub-pixel shifts, rotation) softens it,
        # and a soft truth leaves little for a network to learn over bicubic.
        self.supersample = supersample
        self.side = self.crop_side(scale, patch, frames, shift, supersample)
        self.images = [im for im in images if min(im.shape[1:]) >= self.side]
        if not self.images:
            raise ValueError("no image is at least %d pixels on each side (for %d-pixel patches over %d "
                             "frames moving %g pixels a frame)" % (self.side, patch, frames, shift))
        self.scale, self.patch, self.frames, self.shift = scale, patch, frames, shift
        self.material, self.clean, self.premultiplied_share = material, clean, premultiplied_share
        self.degradation = degradation  # one for every clip; None draws one per clip
        self.occlusion = occlusion      # the share of plates clips with a cut-out crossing the scene
        super().__init__(seed)

    @staticmethod
    def crop_side(scale, patch, frames, shift, supersample=2):
        # The path may drift up to shift / sqrt(2) a frame along each axis, either way, the whole clip
        # long, and rotate and zoom a little.
        return int(math.ceil(supersample * scale * (patch * 1.2 + 1.5 * shift * max(frames - 1, 1) + 4)))

    def clip(self):
        im = self.rng.choice(self.images)
        y = self.rng.randrange(im.shape[1] - self.side + 1)
        x = self.rng.randrange(im.shape[2] - self.side + 1)
        crop = im[:, y:y + self.side, x:x + self.side].double()
        if self.rng.random() < 0.5:
            crop = crop.flip(2)
        crop = crop * 2.0 ** self.rng.uniform(-1.5, 0.7)
        premultiplied = self.material == "CG" or self.rng.random() < self.premultiplied_share
        if premultiplied:
            alpha = soft_matte(self.side, self.side, self.gen, edge=self.rng.uniform(1.0, 4.0) * self.scale)
            crop = torch.cat([crop * alpha, alpha], 0)
        limits = MotionLimits(shift=self.shift * self.rng.uniform(0.2, 1.0), rotation=0.5, zoom=0.005)
        fine = self.scale * self.supersample
        maps = camera_path(self.frames, self.gen, limits, fine)
        if not premultiplied and self.rng.random() < self.occlusion:
            front, front_maps = draw_cut_out(self.images, self.side, self.rng, self.gen, self.frames, limits, fine)
            front[:3] *= 2.0 ** self.rng.uniform(-1.0, 1.0)  # lit unlike the scene behind it
            clip = occluded_clip(crop, front, maps, front_maps, self.patch, self.patch, fine)
        else:
            clip = render_clip(crop, maps, self.patch, self.patch, fine)
        truth = F.avg_pool2d(clip.truth, self.supersample).float()
        if self.material == "CG":
            # Rendered material: area-downscaled, no lens or sensor.
            return clip.frames.float(), truth
        if premultiplied:
            # The colour pass of the hybrid type sees premultiplied colour; its alpha is not this network's.
            return clip.frames[:, :3].float(), truth[:, :3]
        d = self.degradation or degrade.draw(self.rng, self.clean)
        return degrade.apply(truth, self.scale, d, self.gen).float(), truth

    def batch(self, n):
        inputs, truths = zip(*(self.clip() for _ in range(n)))
        return torch.stack(inputs, 1), torch.stack(truths, 1)


# ---------------------------------------------------------------- the unroll

def network_input(frame, material):
    """What the node hands the network for a linear frame: LogC RGB, or the CG encoding of RGBA."""
    return prepare_alpha_input(frame) if material == "CG" else log_encode(frame)


def unroll(net, flow, inputs, material, scale, autocast=False):
    """The node's recurrence over a clip of linear inputs [T, N, C, h, w]. Per frame, what the node
    keeps: plates, the result (LogC); CG, (main pass, colour pass), both [N, 4, sh, sw] in their
    encodings. The first frame's previous frame is itself and its state zero, as after a reset."""
    x = [network_input(f, material) for f in inputs]
    n, c, h, w = x[0].shape
    state = torch.zeros(n, c, scale * h, scale * w, device=x[0].device)
    state_b = torch.zeros_like(state) if material == "CG" else None
    previous = x[0]
    results = []

    def run(a, b):
        with torch.autocast(a.device.type, dtype=torch.bfloat16, enabled=autocast):
            return net(a, b).float()
    for frame in x:
        hr_flow = upscale_flow(flow(frame, previous), scale)
        if material == "CG":
            grid = sampling_grid(hr_flow)
            main = run(frame, space_to_depth(warp_by_grid(state, grid), scale))
            variant = colour_variant(frame)
            colour_in = torch.cat([variant, torch.ones_like(variant[:, :1])], 1)
            colour = run(colour_in, space_to_depth(warp_by_grid(state_b, grid), scale))
            state, state_b = main, colour
            results.append((main, colour))
        else:
            state = run(frame, space_to_depth(warp_by_flow(state, hr_flow), scale))
            results.append(state)
        previous = frame
    return results


def targets(truth, material):
    """The encoded truth of each frame in the form `unroll` returns."""
    if material != "CG":
        return [log_encode(t) for t in truth]
    out = []
    for t in truth:
        colour = log_encode(t[:, :3])
        out.append((prepare_alpha_input(t), torch.cat([colour, torch.ones_like(colour[:, :1])], 1)))
    return out


def _l1(a, b):
    return (a - b).abs().mean()


def detail_loss(out, truth, teacher, scale):
    """Low band to the truth, high band to the teacher's (the still trainer's detail loss)."""
    r = max(1, scale // 2)
    low_out = box(out, r)
    return _l1(low_out, box(truth, r)) + _l1(out - low_out, teacher - box(teacher, r))


def frame_loss(result, wanted, taught, scale):
    """One frame's fidelity term; with a teacher, the detail term on what the node shows as colour
    (the colour pass of CG material) and L1 on the rest."""
    if isinstance(result, tuple):
        (main, colour), (want_main, want_colour) = result, wanted
        if taught is None:
            return _l1(main, want_main) + _l1(colour, want_colour)
        return (_l1(main, want_main) + detail_loss(colour[:, :3], want_colour[:, :3], taught, scale)
                + _l1(colour[:, 3:], want_colour[:, 3:]))
    return _l1(result, wanted) if taught is None else detail_loss(result, wanted, taught, scale)


def clip_loss(results, wanted, temporal, taught=None, scale=4):
    """Mean over frames of frame_loss, plus `temporal` times the mean L1 of the difference between
    the output's frame-to-frame change and the truth's."""
    taught = taught or [None] * len(results)
    fidelity = sum(frame_loss(r, t, k, scale) for r, t, k in zip(results, wanted, taught)) / len(results)
    if len(results) < 2 or temporal == 0:
        return fidelity

    def flat(r):
        return torch.cat(r, 1) if isinstance(r, tuple) else r
    outs, truths = [flat(r) for r in results], [flat(t) for t in wanted]
    change = sum(_l1(outs[i] - outs[i - 1], truths[i] - truths[i - 1]) for i in range(1, len(outs)))
    return fidelity + temporal * change / (len(outs) - 1)


# ---------------------------------------------------------------- measuring

def decoded_frames(results, material):
    """Per frame, the node's linear result: RGB decoded; CG, colour of the colour pass and alpha of
    the main pass (recombine_alpha)."""
    if material != "CG":
        return [log_decode(r) for r in results]
    return [torch.cat([log_decode(c[:, :3].clamp_min(0.0)), m[:, 3:4].clamp(0.0, 1.0)], 1) for m, c in results]


def temporal_error(frames, truth):
    """Mean absolute difference between the frames' frame-to-frame change and the truth's."""
    return sum((frames[i] - frames[i - 1] - (truth[i] - truth[i - 1])).abs().mean().item()
               for i in range(1, len(frames))) / max(len(frames) - 1, 1)


def bicubic(frame, scale):
    """The usual upscale of what a viewer sees of the input (sRGB), as the still networks are measured."""
    return F.interpolate(to_view(frame[:, :3]), scale_factor=float(scale), mode="bicubic",
                         align_corners=False).clamp(0.0, 1.0)


@dataclass
class ClipScore:
    psnr: float
    psnr_bicubic: float
    temporal: float
    temporal_bicubic: float
    sharp: float                  # gradient magnitude over the truth's: a detail end should raise it
    sharp_bicubic: float

    @property
    def gain(self):
        return self.psnr - self.psnr_bicubic


def score(net, flow, clips, material, scale, autocast=False):
    """ClipScore over held-out clips [(inputs, truth)], on the displayed colour (premultiplied for CG)."""
    p, pb, te, tb, sh, sb = [], [], [], [], [], []
    with torch.no_grad():
        for inputs, truth in clips:
            ours = [to_view(f[:, :3]) for f in decoded_frames(unroll(net, flow, inputs, material, scale, autocast),
                                                              material)]
            theirs = [bicubic(f, scale) for f in inputs]
            seen = [to_view(t[:, :3]) for t in truth]
            p += [psnr(o, t) for o, t in zip(ours, seen)]
            pb += [psnr(o, t) for o, t in zip(theirs, seen)]
            te.append(temporal_error(ours, seen))
            tb.append(temporal_error(theirs, seen))
            sh += [sharpness(o, t) for o, t in zip(ours, seen)]
            sb += [sharpness(o, t) for o, t in zip(theirs, seen)]
    mean = lambda v: sum(v) / len(v)  # noqa: E731
    return ClipScore(mean(p), mean(pb), mean(te), mean(tb), mean(sh), mean(sb))


# ---------------------------------------------------------------- the run

def _material(info):
    return "CG" if info.material == "CG" else "PA"


class SequenceTask(Task):
    merged_rows = True

    def check(self):
        cfg, info = self.cfg, self.cfg.info
        if info.family != "sequence":
            raise ValueError("%s is a %s network, not a recurrent one" % (cfg.code, info.family))
        if not cfg.flow:
            raise ValueError("the recurrent networks train behind a frozen flow network: give --flow "
                             "(a FLWN.pt or a pack folder holding one)")

    def setup(self, ckpt, log):
        cfg, info = self.cfg, self.cfg.info
        self.material = material = _material(info)
        self.device = device = torch.device(cfg.device)
        if ckpt is not None:
            net = SequenceNet(info.scale, info.channels, ckpt["features"])
            net.load_state_dict(ckpt["model"])
            log("resuming %s at step %d of %d" % (cfg.code, ckpt["step"], cfg.steps))
        elif cfg.parent:
            net, _ = sequence_from_archive(_pack_member(cfg.parent, cfg.code[:-1] + "P"))
            taken = []
            if info.channels == 4 and net.conv_out.out_channels == 3:
                net = with_alpha(net)
                taken.append("given alpha (its bicubic upscale)")
            if info.scale == 4 and net.scale == 2:
                net = at_4x(net)
                taken.append("taken to 4x")
            log("starting %s from %s%s" % (cfg.code, cfg.parent, "".join(", " + t for t in taken)))
        else:
            if info.training == "G":
                raise ValueError("the detail end (%s) starts from its PSNR end, so that details blends two "
                                 "networks of one parent: give --parent" % cfg.code)
            net = fresh_network(info.scale, info.channels, cfg.features, cfg.seed)
            log("starting %s from the bicubic upscale (%d features, %d blocks)" % (cfg.code, cfg.features, BLOCKS))
        if net.conv_in[0].in_channels != (1 + info.scale ** 2) * info.channels:
            raise ValueError("the parent is not a %dx %d-channel sequence network" % (info.scale, info.channels))
        self.features = net.conv_in[0].out_channels
        self.use_bf16 = cfg.bf16 and (bf16_available(cfg.device) or device.type == "cuda")
        self.net = net.to(device)
        self.flow = load_flow(cfg.flow, device)
        self.teacher = None
        if info.training == "G":
            self.teacher = load_teacher(cfg.teacher or cfg.flow, cfg.code, device)
        self.opt = torch.optim.Adam(self.net.parameters(), lr=cfg.lr, betas=(0.9, 0.99))
        self.samples = ClipSamples(load_images(cfg, cfg.images, log), info.scale, cfg.patch, cfg.frames, cfg.shift,
                                   material, cfg.clean, cfg.seed)
        if cfg.held_out:
            # Fixed clips, so every checkpoint is scored on the same footage: area-downscaled 8-bit
            # plates (as the still networks are measured), float CG.
            h = ClipSamples(load_images(cfg, cfg.held_out, log), info.scale, cfg.eval_patch, cfg.eval_frames,
                            cfg.shift, material, True, cfg.seed + 1000, premultiplied_share=0.0,
                            degradation=degrade.Degradation("area", quantise=True))
            self.held = [tuple(t.to(device) for t in h.batch(1)) for _ in range(cfg.eval_clips)]
        self.interval = []
        log("  %s, %s, batch %d clips of %d frames of %dx%d inputs, motion up to %g pixels a frame" % (
            cfg.device, "BFloat16 autocast" if self.use_bf16 else "float32", cfg.batch, cfg.frames, cfg.patch,
            cfg.patch, cfg.shift))

    def step(self, step):
        cfg, info, device, material = self.cfg, self.cfg.info, self.device, self.material
        inputs, truth = (t.to(device) for t in self.samples.batch(cfg.batch))
        results = unroll(self.net, self.flow, inputs, material, info.scale, self.use_bf16)
        taught = None
        if self.teacher is not None:
            with torch.no_grad(), torch.autocast(device.type, dtype=torch.bfloat16, enabled=self.use_bf16):
                taught = [self.teacher(colour_variant(network_input(f, material)) if material == "CG"
                                       else log_encode(f)).float() for f in inputs]
        loss = clip_loss(results, targets(truth, material), cfg.temporal, taught, info.scale)
        self.interval.append(descend(self.opt, loss, learning_rate(cfg.lr, step, cfg.steps, warmup=100),
                                     self.net.parameters()))
        return self.interval[-1]

    def summary(self, step):
        if not self.interval:
            return None
        fields = {"loss": sum(self.interval) / len(self.interval)}
        self.interval.clear()
        return fields, None

    def score(self, step):
        if not self.held:
            return None
        self.net.eval()
        s = score(self.net, self.flow, self.held, self.material, self.cfg.info.scale, self.use_bf16)
        self.net.train()
        return Scored(asdict(s), ("step", "psnr", "psnr_bicubic", "gain_db", "temporal", "temporal_bicubic",
                                  "sharp", "sharp_bicubic"),
                      ("%d" % step, "%.3f" % s.psnr, "%.3f" % s.psnr_bicubic, "%+.3f" % s.gain,
                       "%.5f" % s.temporal, "%.5f" % s.temporal_bicubic, "%.3f" % s.sharp, "%.3f" % s.sharp_bicubic),
                      "step %d: held-out PSNR %.2f dB (bicubic %.2f, %+.2f dB), temporal error %.4f "
                      "(bicubic %.4f), sharpness %.2f of the truth's (bicubic %.2f)"
                      % (step, s.psnr, s.psnr_bicubic, s.gain, s.temporal, s.temporal_bicubic, s.sharp,
                         s.sharp_bicubic))

    def state(self):
        return {"features": self.features}

    def export(self, net, out_pack, history, log):
        export_sequence(net, self.cfg, out_pack, history, log)


def train_sequence(cfg: SequenceTrainConfig, out_pack=None, log=print, until=0):
    return run(SequenceTask(cfg), out_pack, log, until)


def save_sequence(net, path, meta):
    import json
    from .packs import save_archive
    save_archive(torch.jit.script(net.eval()), path, {META_FILE: json.dumps(meta, sort_keys=True)})


def export_sequence(net, cfg, out_pack, history, log=print):
    os.makedirs(out_pack, exist_ok=True)
    path = os.path.join(out_pack, cfg.code + ".pt")
    scores = next((h for h in reversed(history) if "psnr" in h), None)
    save_sequence(net, path, {"code": cfg.code, "parent": cfg.parent, "flow": cfg.flow, "steps": cfg.steps,
                              "features": net.conv_in[0].out_channels, "scores": scores})
    log("wrote %s" % path)
    return path
