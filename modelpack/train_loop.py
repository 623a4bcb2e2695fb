"""The training loop the three trainers share, and the pieces of a run they have in common.

A run lives in its work folder:

    WORK/checkpoint.pt    the latest state: step, model, optimiser (optim), sample draw (samples),
                          history, config, plus what the family keeps (widths, features, best, average);
                          written atomically every --checkpoint-every steps and at the end
    WORK/scores.tsv       the held-out scores of each checkpoint
    WORK/cache/           the training images converted to linear float

Running the same command again resumes from the checkpoint, refused when it holds a run of
another code (or, for the flow network, other widths or an earlier recipe). A run stopped by
Ctrl-C or SIGTERM writes a checkpoint after the step in progress and returns None.

Each family brings a task (Task below): its network, optimiser and sample draw, one training
step, its held-out score, and its export. The loop keeps the order in which each family built
these before the loop was shared, so random draws, and so losses, are what they were.
"""

import copy
import math
import os
import random
import signal
import sys
import time
from dataclasses import asdict, dataclass

import torch
import torch.nn.functional as F

from .images import expand, load_linear

CHECKPOINT = "checkpoint.pt"
SCORES = "scores.tsv"
BEST = "best.pt"


# ---------------------------------------------------------------- pieces the tasks share

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


def box(x, radius):
    return F.avg_pool2d(F.pad(x, [radius] * 4, mode="replicate"), 2 * radius + 1, stride=1)


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


def bf16_available(device):
    return device == "cpu" and torch.backends.mkldnn.is_available() and \
        getattr(torch.cpu, "_is_avx512_bf16_supported", lambda: False)()


def load_images(cfg, sources, log):
    files = expand(sources)
    cache = os.path.join(cfg.work, "cache")
    images = [torch.from_numpy(load_linear(f, cache, cfg.colorspace or None, cfg.downscale)) for f in files]
    log("  %d image(s) from %s" % (len(images), ", ".join(sources)))
    return images


def write_checkpoint(path, payload):
    tmp = path + ".tmp"
    torch.save(payload, tmp)
    os.replace(tmp, path)


def append_scores(path, columns, row):
    """One row of a run's scores.tsv, under a header written when the file is new. A run resumed
    with more columns (the same ones first) rewrites the file under the longer header, its earlier
    rows padded with empty cells, so the file stays one table."""
    header = None
    if os.path.isfile(path):
        with open(path) as f:
            lines = f.read().splitlines()
        header = lines[0].split("\t") if lines else None
    if header is not None and tuple(header) != tuple(columns):
        if tuple(header) != tuple(columns[:len(header)]):
            raise ValueError("%s has the columns %s, not the first of %s; move it aside" % (
                path, " ".join(header), " ".join(columns)))
        pad = "\t" * (len(columns) - len(header))
        tmp = path + ".tmp"
        with open(tmp, "w") as f:
            f.write("\t".join(columns) + "\n")
            f.writelines(line + pad + "\n" for line in lines[1:])
        os.replace(tmp, path)
    with open(path, "a") as f:
        if header is None:
            f.write("\t".join(columns) + "\n")
        f.write("\t".join(row) + "\n")


class WeightAverage:
    """An exponential moving average of a network's weights (buffers copied as they are). At a
    high learning rate a network's held-out scores swing from checkpoint to checkpoint; the
    average of its recent weights swings less and usually scores better than any one of them."""

    def __init__(self, net, decay):
        if not 0.0 < decay < 1.0:
            raise ValueError("the weight average's decay must lie between 0 and 1, not %g" % decay)
        self.decay = decay
        self.net = copy.deepcopy(net).eval()
        for p in self.net.parameters():
            p.requires_grad_(False)

    def update(self, net):
        with torch.no_grad():
            for mine, theirs in zip(self.net.parameters(), net.parameters()):
                mine.lerp_(theirs.detach(), 1.0 - self.decay)
            for mine, theirs in zip(self.net.buffers(), net.buffers()):
                mine.copy_(theirs)

    def state_dict(self):
        return {k: v.detach().cpu().clone() for k, v in self.net.state_dict().items()}

    def load_state_dict(self, state):
        self.net.load_state_dict(state)


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


# ---------------------------------------------------------------- the task

@dataclass
class Scored:
    """A checkpoint's held-out score: its history fields, its scores.tsv row under `columns`,
    and the line printed."""
    fields: dict
    columns: tuple
    row: tuple
    note: str


class Task:
    """One family's part of a run. `setup` builds net, opt and samples (and whatever else the
    step needs) from the checkpoint when there is one; the loop restores the optimiser and the
    sample draw from it afterwards."""

    merged_rows = False     # one history row per checkpoint (training figures and scores), or one each

    def __init__(self, cfg):
        self.cfg = cfg
        self.net = self.opt = self.samples = None
        self.held = []

    @property
    def code(self):
        return self.cfg.code

    @property
    def batch(self):
        """Samples a step trains on, for the progress line."""
        return self.cfg.batch

    def check(self):
        """Raises ValueError for a configuration this family cannot train, before anything is
        written."""

    def refuse(self, saved, path):
        """Why the checkpoint at `path`, whose config is `saved`, cannot resume this run; None
        when it can."""
        if saved.get("code") != self.code:
            return "%s holds a %s run; this run trains %s (use another --work)" % (path, saved.get("code"), self.code)
        return None

    def setup(self, ckpt, log):
        raise NotImplementedError

    def restore(self, ckpt):
        """Takes back what the family keeps in its checkpoints beyond the loop's keys."""

    def start_training(self):
        self.net.train()

    def step(self, step):
        """Trains one batch; returns its loss."""
        raise NotImplementedError

    def summary(self, step):
        """(history fields, printed line or None) of the training since the last checkpoint, or
        None; clears what it summed."""
        return None

    def score(self, step):
        """The held-out Scored of the network as it stands, or None without held-out images."""
        return None

    def scored(self, step, scores, payload):
        """Called with each checkpoint's scores before it is written (the flow network keeps its
        best checkpoint)."""

    def state(self):
        """The family's own checkpoint keys."""
        return {}

    def finish(self):
        """The trained network as returned and exported."""
        return self.net.cpu().float().eval()

    def export(self, net, out_pack, history, log):
        raise NotImplementedError


# ---------------------------------------------------------------- the loop

def run_steps(total, step, batch, checkpoint_every, one_step, checkpoint, progress, until=0):
    """`one_step(step)` trains one batch and returns its loss; `checkpoint(progress, step)` runs
    every `checkpoint_every` steps, at the end, and when Ctrl-C or SIGTERM stops the run after the
    step in progress, or `until` (when before `total`) pauses it. Returns (the step reached,
    "stopped", "paused" or None)."""
    end = min(total, until) if until > 0 else total
    stop = {"signal": None}

    def on_signal(signum, _frame):
        stop["signal"] = signum
    old_handlers = {s: signal.signal(s, on_signal) for s in (signal.SIGINT, signal.SIGTERM)}
    loss_value = float("nan")
    try:
        while step < end and stop["signal"] is None:
            loss = one_step(step)
            step += 1
            loss_value = loss if math.isnan(loss_value) else 0.98 * loss_value + 0.02 * loss
            progress.show(step, loss_value, batch)
            if step % checkpoint_every == 0 or step == end:
                checkpoint(progress, step)
        if stop["signal"] is not None:
            checkpoint(progress, step)
            progress.note("stopped at step %d; the same command resumes" % step)
            return step, "stopped"
        if step < total:
            progress.note("paused at step %d of %d (--until); the command without --until, or with another "
                          "--steps, resumes" % (step, total))
            return step, "paused"
    finally:
        for s, h in old_handlers.items():
            signal.signal(s, h)
    progress.show(step, loss_value, batch, force=True)
    return step, None


def run(task, out_pack=None, log=print, until=0):
    """Trains `task` in its work folder, from its checkpoint when there is one; returns the
    trained network (exported into `out_pack` when given), or None when a signal stopped it. With
    `until` (> 0) before the last step the run pauses there with a checkpoint and returns the network
    as it stands, unexported: resumed under another --steps, a schedule changes from that step on."""
    cfg = task.cfg
    task.check()
    os.makedirs(cfg.work, exist_ok=True)
    if cfg.threads:
        torch.set_num_threads(cfg.threads)
    ckpt_path = os.path.join(cfg.work, CHECKPOINT)
    ckpt = None
    if os.path.isfile(ckpt_path):
        ckpt = torch.load(ckpt_path, map_location="cpu", weights_only=False)
        reason = task.refuse(ckpt["config"], ckpt_path)
        if reason:
            raise ValueError(reason)
    task.setup(ckpt, log)
    if ckpt is not None:
        task.opt.load_state_dict(ckpt["optim"])
        task.samples.restore(ckpt["samples"])
        task.restore(ckpt)
        step, history = ckpt["step"], ckpt["history"]
    else:
        step, history = 0, []
    scores_path = os.path.join(cfg.work, SCORES)

    def checkpoint(progress, step):
        summary = task.summary(step)
        if summary is not None and summary[1]:
            progress.note(summary[1])
        scores = task.score(step)
        if scores is not None:
            append_scores(scores_path, scores.columns, scores.row)
            progress.note(scores.note)
        if task.merged_rows:
            history.append({"step": step, **(summary[0] if summary else {}), **(scores.fields if scores else {})})
        else:
            history.extend({"step": step, **fields} for fields in (summary and summary[0], scores and scores.fields)
                           if fields)
        payload = {"step": step, "model": {k: v.detach().cpu() for k, v in task.net.state_dict().items()},
                   "optim": task.opt.state_dict(), "samples": task.samples.state(), "history": history,
                   "config": asdict(cfg)}
        if scores is not None:
            task.scored(step, scores, payload)
        payload.update(task.state())
        write_checkpoint(ckpt_path, payload)

    progress = Progress(cfg.steps, step)
    if ckpt is None and task.held:
        checkpoint(progress, step)
    task.start_training()
    step, ended = run_steps(cfg.steps, step, task.batch, cfg.checkpoint_every, task.step, checkpoint, progress,
                            until)
    if ended == "stopped":
        return None
    net = task.finish()
    if ended == "paused":
        return net
    if out_pack:
        task.export(net, out_pack, history, log)
    return net
