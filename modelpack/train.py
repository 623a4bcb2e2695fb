"""Fine-tuning still networks on photographs or a studio's plates.

`python -m modelpack train` (see __main__.py for the options). The network
learns in the node's encoding: its inputs and targets are LogC values of
linear light, and the loss (L1) is taken on them, so what it learns is what
the plug-in will ask of it.

This module is the still family's task for the shared loop (train_loop.py:
work folder, checkpoints, resuming, progress, stopping); its checkpoints also
keep the network's widths, domain and layout, and its scores.tsv has held-out
PSNR/SSIM against bicubic. `--out PACK` writes the trained archive (and its CG
twin) into a pack folder at the end.

The parent. Fine-tuning starts from a parent network: an archive (.pt), a
pack folder (its archive of the same scale and training), or the published
4x GAN network's ncnn .param file (stillnets.resolve_parent). A 4x parent
also starts a 2x network, in the area layout (still.py): the 4x network with
its result area-downscaled by 2, so the run starts from the 4x network's own
2x.

Training ends, by the code's last letter. P (the PSNR end) trains for
fidelity: L1. G (the detail end) trains its low band to the truth and its
high band to the parent's (see loss_fn): started from a GAN parent it keeps
that network's crispness while colour and level are pulled to the truth. No
discriminator is trained.
"""

import os
from dataclasses import asdict, dataclass, field

import torch

from . import degrade, evaluate, photo_scales
from .codes import parse_code
from .encoding import log_encode
from .still import StillNet
from .stillnets import archive_meta, resolve_parent, save_still
from .train_loop import (BEST, Scored, Seeded, Task, WeightAverage, bf16_available, box, descend, learning_rate,
                         load_images, run, write_checkpoint)


@dataclass
class TrainConfig:
    code: str
    images: list
    held_out: list
    work: str
    parent: str
    steps: int = 20000
    batch: int = 4
    patch: int = 32             # low-resolution patch side
    lr: float = 1e-4
    checkpoint_every: int = 250
    threads: int = 0            # 0: leave the tensor library's default
    device: str = "cpu"
    bf16: bool = True           # CPU autocast to BFloat16 where the CPU has it
    downscale: int = 1          # area-downscale the images first (photographs: 2)
    downscales: list = field(default_factory=list)   # training images at each factor (photo_scales.py)
    colorspace: str = ""
    clean: bool = False         # only kernels and 8-bit quantisation, no blur/noise/grain
    seed: int = 1
    eval_crop: int = 192
    eval_per_image: int = 4
    widths: list = field(default_factory=list)   # [features >= 3, growth] without a parent
    highlight_knee: float = 1.0  # below 1: the layers see highlights squeezed under 1 (still.py)
    average: float = 0.0        # decay per step of the weight average scored, kept and written; 0: none

    @property
    def info(self):
        return parse_code(self.code)


# ---------------------------------------------------------------- data

class Samples(Seeded):
    """Random training pairs (low-resolution LogC input, full-resolution LogC truth)."""

    def __init__(self, images, scale, patch, clean, seed):
        self.images = [im for im in images if min(im.shape[1:]) >= patch * scale]
        if not self.images:
            raise ValueError("no training image is at least %d pixels on each side" % (patch * scale))
        areas = [im.shape[1] * im.shape[2] for im in self.images]
        self.weights = [a / sum(areas) for a in areas]
        self.scale, self.patch, self.clean = scale, patch, clean
        super().__init__(seed)

    def batch(self, n):
        size = self.patch * self.scale
        lrs, hrs = [], []
        for _ in range(n):
            im = self.rng.choices(self.images, self.weights)[0]
            y = self.rng.randrange(im.shape[1] - size + 1)
            x = self.rng.randrange(im.shape[2] - size + 1)
            hr = im[:, y:y + size, x:x + size][None]
            if self.rng.random() < 0.5:
                hr = hr.flip(3)
            hr = torch.rot90(hr, self.rng.randrange(4), (2, 3))
            # Exposure: plates come darker and brighter than photographs, highlights included.
            hr = hr * 2.0 ** self.rng.uniform(-1.5, 0.7)
            lr = degrade.apply(hr, self.scale, degrade.draw(self.rng, self.clean), self.gen)
            lrs.append(lr)
            hrs.append(hr)
        return log_encode(torch.cat(lrs)), log_encode(torch.cat(hrs))


def laplacian(x):
    return x - box(x, 1)


def loss_fn(training, out, hr, scale=4, teacher=None):
    """PSNR end: L1. Detail end: the low band (what survives a box over about one input pixel)
    follows the truth, so colour and level are the truth's, and the high band follows the
    parent's output (`teacher`), so the parent's crispness is kept without a discriminator.
    Matching the truth's high band instead would average unpredictable texture away (L1), and
    matching only its contrast rewards noise."""
    if training == "P":
        return (out - hr).abs().mean()
    r = max(1, scale // 2)
    low_out = box(out, r)
    low = (low_out - box(hr, r)).abs().mean()
    high = ((out - low_out) - (teacher - box(teacher, r))).abs().mean()
    return low + high


# ---------------------------------------------------------------- the task

class StillTask(Task):
    def check(self):
        info = self.cfg.info
        if info.family != "still":
            raise ValueError("%s is a %s network; modelpack train trains still networks"
                             % (self.cfg.code, info.family))
        if not 0.0 < self.cfg.highlight_knee <= 1.0:
            raise ValueError("--highlight-knee must lie in (0, 1], not %g" % self.cfg.highlight_knee)

    def refuse(self, saved, path):
        theirs, ours = saved.get("highlight_knee", 1.0), self.cfg.highlight_knee
        if theirs != ours:
            return "%s holds a run with highlight knee %g, not %g (use another --work)" % (path, theirs, ours)
        return super().refuse(saved, path)

    def setup(self, ckpt, log):
        cfg, info = self.cfg, self.cfg.info
        if ckpt is not None:
            net = StillNet(info.scale, *ckpt["widths"], srgb_core=ckpt["srgb_core"], area=ckpt.get("area", False),
                           highlight_knee=cfg.highlight_knee)
            net.load_state_dict(ckpt["model"])
            log("resuming %s at step %d of %d" % (cfg.code, ckpt["step"], cfg.steps))
        elif cfg.parent:
            net = resolve_parent(cfg.parent, cfg.code)
            log("starting %s from %s" % (cfg.code, cfg.parent))
        else:
            from .weights import still_tiny
            nf, gc = cfg.widths or (64, 32)
            net = StillNet(info.scale, nf, gc)
            # A smooth upscale plus small random parts: a deep residual stack from default random
            # weights starts far off and trains unstably.
            still_tiny(net, info.training, "train/%s" % cfg.code)
            log("starting %s from a smooth upscale (features %d, growth %d)" % (cfg.code, nf, gc))
        net.highlight_knee = cfg.highlight_knee
        self.widths = [net.conv_first.out_channels, net.body[0].rdb1.conv1.out_channels]
        self.device = device = torch.device(cfg.device)
        self.use_bf16 = cfg.bf16 and (bf16_available(cfg.device) or device.type == "cuda")
        self.net = net.to(device).to(memory_format=torch.channels_last)
        self.opt = torch.optim.Adam(self.net.parameters(), lr=cfg.lr, betas=(0.9, 0.99))
        self.average = WeightAverage(self.net, cfg.average) if cfg.average else None
        train_images = (photo_scales.load_images if cfg.downscales else load_images)(cfg, cfg.images, log)
        self.held = load_images(cfg, cfg.held_out, log) if cfg.held_out else []
        self.samples = Samples(train_images, info.scale, cfg.patch, cfg.clean, cfg.seed)
        self.best = None
        self.teacher = None
        if info.training == "G":
            if not cfg.parent:
                raise ValueError("the detail end (%s) learns its texture from a parent: give --parent" % cfg.code)
            self.teacher = resolve_parent(cfg.parent, cfg.code).to(device).to(memory_format=torch.channels_last).eval()
            self.teacher.highlight_knee = cfg.highlight_knee
            for p in self.teacher.parameters():
                p.requires_grad_(False)
        log("  %s, %s, batch %d of %dx%d inputs%s" % (
            cfg.device, "BFloat16 autocast" if self.use_bf16 else "float32", cfg.batch, cfg.patch, cfg.patch,
            ", %d threads" % torch.get_num_threads() if device.type == "cpu" else ""))
        if self.average is not None:
            log("  scored, kept and written: the weights averaged with decay %g a step" % cfg.average)
        if cfg.highlight_knee < 1.0:
            log("  the layers see highlights squeezed under 1 past linear %g" % cfg.highlight_knee)

    def step(self, step):
        cfg, info, device = self.cfg, self.cfg.info, self.device
        lr_in, hr = self.samples.batch(cfg.batch)
        lr_in = lr_in.to(device).contiguous(memory_format=torch.channels_last)
        hr = hr.to(device)
        with torch.autocast(device.type, dtype=torch.bfloat16, enabled=self.use_bf16):
            out = self.net(lr_in)
            if self.teacher is not None:
                with torch.no_grad():
                    taught = self.teacher(lr_in).float()
        loss = loss_fn(info.training, out.float(), hr, info.scale, taught if self.teacher is not None else None)
        loss = descend(self.opt, loss, learning_rate(cfg.lr, step, cfg.steps))
        if self.average is not None:
            self.average.update(self.net)
        return loss

    def score(self, step):
        if not self.held:
            return None
        cfg = self.cfg
        # With a weight average the average is what is scored, kept and written.
        net = self.average.net if self.average is not None else self.net
        net.eval()
        s = evaluate.score(net.float().cpu() if self.device.type != "cpu" else net, self.held, cfg.info.scale,
                           cfg.eval_crop, cfg.eval_per_image, bf16=self.use_bf16)
        net.to(self.device)
        if net is self.net:
            net.train()
        return Scored(asdict(s), ("step", "psnr", "psnr_bicubic", "gain_db", "ssim", "ssim_bicubic"),
                      ("%d" % step, "%.3f" % s.psnr, "%.3f" % s.psnr_bicubic, "%+.3f" % s.gain,
                       "%.4f" % s.ssim, "%.4f" % s.ssim_bicubic),
                      "step %d: held-out PSNR %.2f dB (bicubic %.2f, %+.2f dB), SSIM %.4f (bicubic %.4f)"
                      % (step, s.psnr, s.psnr_bicubic, s.gain, s.ssim, s.ssim_bicubic))

    def restore(self, ckpt):
        self.best = ckpt.get("best")
        if self.average is not None and ckpt.get("average") is not None:
            self.average.load_state_dict(ckpt["average"])

    def scored(self, step, scores, payload):
        """Keeps WORK/best.pt, the checkpoint of the highest held-out gain over bicubic: at a few
        patches a step the gain swings by a tenth of a dB between checkpoints, so the latest one is
        a poor pick."""
        gain = scores.fields["psnr"] - scores.fields["psnr_bicubic"]
        if self.best is None or gain > self.best["gain"]:
            self.best = {"step": step, "gain": gain}
            best = dict(payload, **self.state())
            if self.average is not None:
                best["model"] = self.average.state_dict()
            write_checkpoint(os.path.join(self.cfg.work, BEST), best)

    def state(self):
        return {"widths": self.widths, "srgb_core": self.net.srgb_core, "area": self.net.area, "best": self.best,
                "average": self.average.state_dict() if self.average is not None else None}

    def finish(self):
        return (self.average.net if self.average is not None else self.net).cpu().float().eval()

    def export(self, net, out_pack, history, log):
        export(net, self.cfg, out_pack, history, log)


def train(cfg: TrainConfig, out_pack=None, log=print, until=0):
    return run(StillTask(cfg), out_pack, log, until)


def export(net, cfg, out_pack, history, log=print):
    """Writes the trained archive and its CG twin (still CG archives are the plates ones)."""
    info = cfg.info
    partner = os.path.join(out_pack, cfg.code[:-1] + ("P" if cfg.code.endswith("G") else "G") + ".pt")
    if os.path.isfile(partner):
        _, partner_meta = archive_meta(partner)
        theirs = partner_meta.get("domain", "logc")
        ours = "srgb" if net.srgb_core else "logc"
        if theirs != ours:
            raise ValueError("%s works in the %s domain and this network in %s: details would blend "
                             "networks that do not share a parent; nothing was written"
                             % (partner, theirs, ours))
        theirs, ours = partner_meta.get("layout", "standard"), "area" if net.area else "standard"
        if theirs != ours:
            raise ValueError("%s has the %s 2x layout and this network the %s one: their weights "
                             "cannot be blended; nothing was written" % (partner, theirs, ours))
    os.makedirs(out_pack, exist_ok=True)
    meta = {"code": cfg.code, "parent": cfg.parent, "steps": cfg.steps,
            "scores": history[-1] if history else None}
    paths = []
    for code in (cfg.code, cfg.code.replace("Pst", "CGst")):
        path = os.path.join(out_pack, code + ".pt")
        save_still(net, path, dict(meta, code=code))
        paths.append(path)
    log("wrote %s" % ", ".join(paths))
    return paths
