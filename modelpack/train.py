"""Fine-tuning still networks on photographs or a studio's plates.

`python -m modelpack train` (see __main__.py for the options). The network
learns in the node's encoding: its inputs and targets are LogC values of
linear light, and the loss (L1) is taken on them, so what it learns is what
the plug-in will ask of it.

A run lives in its work folder:

    WORK/checkpoint.pt    the latest state (network, optimiser, step, random
                          state, scores); written atomically every
                          --checkpoint-every steps and at the end
    WORK/scores.tsv       held-out PSNR/SSIM against bicubic at each checkpoint
    WORK/cache/           the training images converted to linear float

Running the same command again resumes from the checkpoint, and a run that
is stopped (Ctrl-C, SIGTERM) writes one before it exits. `--out PACK` writes
the trained archive (and its CG twin) into a pack folder at the end.

The parent. Fine-tuning starts from a parent network: an archive (.pt), a
pack folder (its archive of the same scale and training), or the published
4x GAN network's ncnn .param file. A 4x parent also starts a 2x network, in
the area layout (still.py): the 4x network with its result area-downscaled
by 2, so the run starts from the 4x network's own 2x.

Training ends, by the code's last letter. P (the PSNR end) trains for
fidelity: L1. G (the detail end) trains its low band to the truth and its
high band to the parent's (see loss_fn): started from a GAN parent it keeps
that network's crispness while colour and level are pulled to the truth. No
discriminator is trained.
"""

import json
import math
import os
import random
import signal
import sys
import time
from dataclasses import asdict, dataclass, field

import torch
import torch.nn.functional as F

from . import degrade, evaluate, photo_scales
from .codes import parse_code
from .encoding import log_encode
from .images import expand, load_linear
from .still import StillNet

CHECKPOINT = "checkpoint.pt"
META_FILE = "magnifex.json"


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

    @property
    def info(self):
        return parse_code(self.code)


# ---------------------------------------------------------------- archives

def archive_meta(path):
    extra = {META_FILE: ""}
    module = torch.jit.load(path, map_location="cpu", _extra_files=extra)
    meta = json.loads(extra[META_FILE]) if extra[META_FILE] else {}
    return module, meta


def still_from_archive(path):
    """(StillNet, meta) carrying an archive's weights."""
    module, meta = archive_meta(path)
    state = {k: v.detach().clone() for k, v in module.state_dict().items()}
    nf = state["conv_first.weight"].shape[0]
    gc = state["body.0.rdb1.conv1.weight"].shape[0]
    area = meta.get("layout") == "area"
    scale = 2 if state["conv_first.weight"].shape[1] == 12 or area else 4
    net = StillNet(scale, nf, gc, srgb_core=meta.get("domain") == "srgb", area=area)
    net.load_state_dict(state)
    return net, meta


def save_still(net, path, meta):
    from .packs import save_archive
    meta = dict(meta, domain="srgb" if net.srgb_core else "logc")
    if net.area:
        meta["layout"] = "area"
    save_archive(torch.jit.script(net.eval()), path, {META_FILE: json.dumps(meta, sort_keys=True)})


def resolve_parent(parent, code):
    """The eager still network a fine-tune starts from, at the code's scale."""
    info = parse_code(code)
    if os.path.isdir(parent):
        path = os.path.join(parent, code + ".pt")
        if not os.path.isfile(path):
            path = os.path.join(parent, "%dPst%s.pt" % (4, info.training))
        net, _ = still_from_archive(path)
    elif parent.endswith(".param"):
        from .ncnn import read_still_network
        net = read_still_network(parent, parent[:-len(".param")] + ".bin", 4, log=lambda *_: None)
    elif os.path.isfile(parent):
        net, _ = still_from_archive(parent)
    else:
        raise ValueError("parent %s is neither a pack folder, an archive nor an ncnn .param" % parent)
    if net.scale == info.scale:
        return net
    if net.scale == 4 and info.scale == 2:
        return area_two_x(net)
    raise ValueError("a %dx parent cannot start a %dx network" % (net.scale, info.scale))


def area_two_x(net4):
    """The 2x network that is `net4` area-downscaled by 2 (the area layout, still.py): the same
    weights, a 4x network's own 2x result from the start."""
    nf = net4.conv_first.out_channels
    gc = net4.body[0].rdb1.conv1.out_channels
    net2 = StillNet(2, nf, gc, nb=len(net4.body), srgb_core=net4.srgb_core, area=True)
    net2.load_state_dict(net4.state_dict())
    return net2


# ---------------------------------------------------------------- data

class Seeded:
    """A sample source's random state (Python's and torch's), saved in checkpoints so that a
    resumed run draws what the uninterrupted one would have."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.gen = torch.Generator().manual_seed(seed)

    def state(self):
        return {"rng": self.rng.getstate(), "gen": self.gen.get_state()}

    def restore(self, s):
        self.rng.setstate(s["rng"])
        self.gen.set_state(s["gen"])


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


def box(x, radius):
    return F.avg_pool2d(F.pad(x, [radius] * 4, mode="replicate"), 2 * radius + 1, stride=1)


def laplacian(x):
    return x - box(x, 1)


def learning_rate(base, step, steps, warmup=200):
    """Linear warm-up (the first Adam steps on a trained parent would shake it), then a cosine
    decay to a tenth."""
    ramp = min(1.0, (step + 1) / warmup)
    return base * ramp * (0.1 + 0.45 * (1.0 + math.cos(math.pi * min(step, steps) / max(steps, 1))))


def descend(opt, loss, lr, clip_params=None):
    """One optimiser step on `loss` at learning rate `lr`; gradients clipped to norm 1 over
    `clip_params` when given (networks trained from fresh weights)."""
    opt.zero_grad(set_to_none=True)
    loss.backward()
    if clip_params is not None:
        torch.nn.utils.clip_grad_norm_(clip_params, 1.0)
    for group in opt.param_groups:
        group["lr"] = lr
    opt.step()
    return loss.item()


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


# ---------------------------------------------------------------- progress

class Progress:
    def __init__(self, total, start, stream=None):
        # Looked up now, not at import, so that a redirected stderr gets the bar.
        self.total, self.start_step, self.stream = total, start, stream or sys.stderr
        self.t0 = time.time()
        self.tty = self.stream.isatty()
        self.last = 0.0

    def show(self, step, loss, samples_per_step, force=False):
        now = time.time()
        if not force and now - self.last < (0.5 if self.tty else 60.0):
            return
        self.last = now
        done = step - self.start_step
        rate = done / max(now - self.t0, 1e-9)
        eta = (self.total - step) / rate if rate > 0 else float("inf")
        width = 30
        filled = int(width * step / max(self.total, 1))
        eta_text = "--:--:--" if math.isinf(eta) else time.strftime("%H:%M:%S", time.gmtime(eta))
        line = "[%s%s] %d/%d steps  %.2f samples/s  loss %.5f  ETA %s" % (
            "#" * filled, "." * (width - filled), step, self.total, rate * samples_per_step, loss, eta_text)
        self.stream.write(("\r" + line) if self.tty else line + "\n")
        self.stream.flush()

    def note(self, text):
        self.stream.write(("\n" if self.tty else "") + text + "\n")
        self.stream.flush()


# ---------------------------------------------------------------- the run

def bf16_available(device):
    return device == "cpu" and torch.backends.mkldnn.is_available() and \
        getattr(torch.cpu, "_is_avx512_bf16_supported", lambda: False)()


def _write_checkpoint(path, payload):
    tmp = path + ".tmp"
    torch.save(payload, tmp)
    os.replace(tmp, path)


def append_scores(path, columns, row):
    """One row of a run's scores.tsv, under a header written when the file is new."""
    new = not os.path.isfile(path)
    with open(path, "a") as f:
        if new:
            f.write("\t".join(columns) + "\n")
        f.write("\t".join(row) + "\n")


def resume(ckpt, opt, samples):
    """(step, history) of a checkpointed run, its optimiser and sample draw restored."""
    opt.load_state_dict(ckpt["optim"])
    samples.restore(ckpt["samples"])
    return ckpt["step"], ckpt["history"]


def load_images(cfg, sources, log):
    files = expand(sources)
    cache = os.path.join(cfg.work, "cache")
    images = [torch.from_numpy(load_linear(f, cache, cfg.colorspace or None, cfg.downscale)) for f in files]
    log("  %d image(s) from %s" % (len(images), ", ".join(sources)))
    return images


def run_steps(total, step, batch, checkpoint_every, one_step, checkpoint, progress):
    """The loop both trainers share. `one_step(step)` trains one batch and returns its loss;
    `checkpoint(progress, step)` runs every `checkpoint_every` steps, at the end, and when Ctrl-C
    or SIGTERM stops the run after the step in progress. Returns (the step reached, whether the
    run was stopped)."""
    stop = {"signal": None}

    def on_signal(signum, _frame):
        stop["signal"] = signum
    old_handlers = {s: signal.signal(s, on_signal) for s in (signal.SIGINT, signal.SIGTERM)}
    loss_value = float("nan")
    try:
        while step < total and stop["signal"] is None:
            loss = one_step(step)
            step += 1
            loss_value = loss if math.isnan(loss_value) else 0.98 * loss_value + 0.02 * loss
            progress.show(step, loss_value, batch)
            if step % checkpoint_every == 0 or step == total:
                checkpoint(progress, step)
        if stop["signal"] is not None:
            checkpoint(progress, step)
            progress.note("stopped at step %d; the same command resumes" % step)
            return step, True
    finally:
        for s, h in old_handlers.items():
            signal.signal(s, h)
    progress.show(step, loss_value, batch, force=True)
    return step, False


def train(cfg: TrainConfig, out_pack=None, log=print):
    info = cfg.info
    if info.family != "still":
        raise ValueError("%s is a %s network; modelpack train trains still networks" % (cfg.code, info.family))
    os.makedirs(cfg.work, exist_ok=True)
    if cfg.threads:
        torch.set_num_threads(cfg.threads)
    ckpt_path = os.path.join(cfg.work, CHECKPOINT)
    resumed = os.path.isfile(ckpt_path)
    if resumed:
        ckpt = torch.load(ckpt_path, map_location="cpu", weights_only=False)
        saved = ckpt["config"]
        if saved["code"] != cfg.code:
            raise ValueError("%s holds a %s run; this run trains %s (use another --work)"
                             % (ckpt_path, saved["code"], cfg.code))
        net = StillNet(info.scale, *ckpt["widths"], srgb_core=ckpt["srgb_core"], area=ckpt.get("area", False))
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
    widths = [net.conv_first.out_channels, net.body[0].rdb1.conv1.out_channels]
    device = torch.device(cfg.device)
    use_bf16 = cfg.bf16 and (bf16_available(cfg.device) or device.type == "cuda")
    net = net.to(device).to(memory_format=torch.channels_last)
    opt = torch.optim.Adam(net.parameters(), lr=cfg.lr, betas=(0.9, 0.99))
    train_images = (photo_scales.load_images if cfg.downscales else load_images)(cfg, cfg.images, log)
    held = load_images(cfg, cfg.held_out, log) if cfg.held_out else []
    samples = Samples(train_images, info.scale, cfg.patch, cfg.clean, cfg.seed)
    teacher = None
    if info.training == "G":
        if not cfg.parent:
            raise ValueError("the detail end (%s) learns its texture from a parent: give --parent" % cfg.code)
        teacher = resolve_parent(cfg.parent, cfg.code).to(device).to(memory_format=torch.channels_last).eval()
        for p in teacher.parameters():
            p.requires_grad_(False)
    step, history = resume(ckpt, opt, samples) if resumed else (0, [])
    log("  %s, %s, batch %d of %dx%d inputs%s" % (
        cfg.device, "BFloat16 autocast" if use_bf16 else "float32", cfg.batch, cfg.patch, cfg.patch,
        ", %d threads" % torch.get_num_threads() if device.type == "cpu" else ""))

    scores_path = os.path.join(cfg.work, "scores.tsv")

    def checkpoint(progress, step):
        if held:
            net.eval()
            s = evaluate.score(net.float().cpu() if device.type != "cpu" else net, held, info.scale,
                               cfg.eval_crop, cfg.eval_per_image, bf16=use_bf16)
            net.to(device)
            net.train()
            history.append({"step": step, **asdict(s)})
            append_scores(scores_path, ("step", "psnr", "psnr_bicubic", "gain_db", "ssim", "ssim_bicubic"),
                          ("%d" % step, "%.3f" % s.psnr, "%.3f" % s.psnr_bicubic, "%+.3f" % s.gain,
                           "%.4f" % s.ssim, "%.4f" % s.ssim_bicubic))
            progress.note("step %d: held-out PSNR %.2f dB (bicubic %.2f, %+.2f dB), SSIM %.4f (bicubic %.4f)"
                          % (step, s.psnr, s.psnr_bicubic, s.gain, s.ssim, s.ssim_bicubic))
        _write_checkpoint(ckpt_path, {
            "step": step, "model": {k: v.detach().cpu() for k, v in net.state_dict().items()},
            "optim": opt.state_dict(), "samples": samples.state(), "history": history,
            "config": asdict(cfg), "widths": widths, "srgb_core": net.srgb_core,
            "area": net.area})

    progress = Progress(cfg.steps, step)
    if not resumed and held:
        checkpoint(progress, step)
    net.train()

    def one_step(step):
        lr_in, hr = samples.batch(cfg.batch)
        lr_in = lr_in.to(device).contiguous(memory_format=torch.channels_last)
        hr = hr.to(device)
        with torch.autocast(device.type, dtype=torch.bfloat16, enabled=use_bf16):
            out = net(lr_in)
            if teacher is not None:
                with torch.no_grad():
                    taught = teacher(lr_in).float()
        loss = loss_fn(info.training, out.float(), hr, info.scale, taught if teacher is not None else None)
        return descend(opt, loss, learning_rate(cfg.lr, step, cfg.steps))

    step, stopped = run_steps(cfg.steps, step, cfg.batch, cfg.checkpoint_every, one_step, checkpoint, progress)
    if stopped:
        return None
    net = net.cpu().float().eval()
    if out_pack:
        export(net, cfg, out_pack, history, log)
    return net


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
