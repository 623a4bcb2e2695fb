"""Building packs: one scripted TorchScript archive per model code."""

import json
import os
import shutil
import time
from dataclasses import dataclass

import torch
from torch import nn

from . import weights
from .codes import CODES, parse_code
from .flow import FlowNet, FlowWidths
from .sequence import SequenceNet
from .still import StillNet
from .variants import BY_NAME


@dataclass(frozen=True)
class PackSpec:
    name: str
    description: str
    still_nf: int
    still_gc: int
    seq_nf: int
    flow: FlowWidths

    def widths(self):
        return {"still": {"features": self.still_nf, "growth": self.still_gc, "blocks": 23},
                "sequence": {"features": self.seq_nf, "blocks": 16},
                "flow": self.flow.as_dict()}


PACKS = {
    "reference": PackSpec(
        "reference",
        "Full-width reference networks, not trained: still PSNR = smooth linear upscale "
        "(edge-replicated, sharpened linear interpolation), still GAN = the same with a "
        "sharpening last stage, sequence = bicubic upscale of the current frame, flow = zero.",
        64, 32, 64, FlowWidths()),
    "tiny": PackSpec(
        "tiny",
        "Tiny-width networks with the same parameter names and counts, for fast tests: "
        "smooth upscales plus small deterministic random parts; flow of a few pixels at most.",
        3, 1, 4,
        FlowWidths(enc=(4, 6, 8), fdim=8, hdim=4, cdim=4, corr1=8, corr2=8, flow1=4,
                   flow2=4, motion=8, head=8, mask=8)),
}


def make_network(spec, code):
    """The eager network of one code with the pack's weights, in eval mode."""
    info = parse_code(code)
    tiny = spec.name != "reference"
    if info.family == "still":
        net = StillNet(info.scale, spec.still_nf, spec.still_gc)
        if tiny:
            weights.still_tiny(net, info.training, "%s/%dst%s" % (spec.name, info.scale, info.training))
        else:
            weights.still_reference(net, info.training)
    elif info.family == "sequence":
        net = SequenceNet(info.scale, info.channels, spec.seq_nf)
        if tiny:
            weights.sequence_tiny(net, "%s/%s" % (spec.name, code))
        else:
            weights.sequence_reference(net)
    else:
        net = FlowNet(spec.flow)
        if tiny:
            weights.flow_tiny(net, "%s/%s" % (spec.name, code))
        else:
            weights.flow_reference(net)
    return net.eval()


# Architecture changes used by broken variants; each keeps the network's
# function and its first, middle and last parameter names.
def _still_no_hr_bias(net):
    old = net.conv_hr
    new = nn.Conv2d(old.in_channels, old.out_channels, 3, 1, 1, bias=False)
    with torch.no_grad():
        new.weight.copy_(old.weight)
    net.conv_hr = new
    return net


def _seq_extra_up_conv(net):
    nf = net.conv_out.in_channels
    extra = nn.Conv2d(nf, nf, 3, 1, 1)
    with torch.no_grad():
        extra.weight.zero_()
        extra.bias.zero_()
        for c in range(nf):
            extra.weight[c, c, 1, 1] = 1.0
    net.conv_up = nn.Sequential(*list(net.conv_up), extra, nn.ReLU(inplace=True))
    return net


def _wide_last_conv(net):
    """The last convolution (still conv_last, sequence conv_out) as a 5x5 one whose centre holds the
    3x3 weights: the same function and names, but a weight shape that cannot be blended with the
    3x3 archive of the other training."""
    attr = "conv_last" if hasattr(net, "conv_last") else "conv_out"
    old = getattr(net, attr)
    new = nn.Conv2d(old.in_channels, old.out_channels, 5, 1, 2)
    with torch.no_grad():
        new.weight.zero_()
        new.weight[:, :, 1:4, 1:4] = old.weight
        new.bias.copy_(old.bias)
    setattr(net, attr, new)
    return net


CHANGES = {
    "still-no-hr-bias": _still_no_hr_bias,
    "seq-extra-up-conv": _seq_extra_up_conv,
    "wide-last-conv": _wide_last_conv,
}


def _arch_key(net):
    return (type(net).__name__,) + tuple((k, tuple(v.shape)) for k, v in net.state_dict().items())


class _Scripter:
    """Scripts each architecture once; later networks of the same shape only
    swap their tensors in."""

    def __init__(self):
        self.cache = {}

    def __call__(self, net):
        key = _arch_key(net)
        scripted = self.cache.get(key)
        if scripted is None:
            scripted = torch.jit.script(net)
            self.cache[key] = scripted
        else:
            scripted.load_state_dict(net.state_dict())
        return scripted


def save_archive(scripted, path, extra_files=None):
    from .precision import mark_cpu_bfloat16
    mark_cpu_bfloat16(scripted)
    tmp = path + ".tmp"
    torch.jit.save(scripted, tmp, _extra_files=extra_files or {})
    os.replace(tmp, path)


def _prepare_dir(out_dir):
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise ValueError("%s exists and is not a directory" % out_dir)
    os.makedirs(out_dir, exist_ok=True)
    # Only what a pack consists of is cleared; anything else is left alone.
    for code in CODES:
        p = os.path.join(out_dir, code + ".pt")
        if os.path.lexists(p):
            os.remove(p)


def _describe(code):
    info = parse_code(code)
    if info.family == "flow":
        return "flow"
    return "%s %dx %s %s" % (info.family, info.scale,
                             {"P": "plates", "PA": "plates", "CG": "CG"}[info.material],
                             {"G": "GAN", "P": "PSNR"}[info.training])


def _log_archive(log, i, n, code, path, t0, note=""):
    if os.path.exists(path):
        size = os.path.getsize(path)
        what = "%.1f MB" % (size / 1e6) if size >= 1e5 else "%d bytes" % size
    else:
        what = "absent"
    log("  [%2d/%d] %-7s %-24s %s (%.1fs)%s" % (i, n, code, _describe(code), what,
                                                 time.time() - t0, note))


def write_pack_json(out_dir, name, description, widths, base=None):
    present = [c for c in CODES if os.path.exists(os.path.join(out_dir, c + ".pt"))]
    doc = {"name": name, "description": description, "widths": widths, "codes": present}
    if base:
        doc["derived_from"] = base
    with open(os.path.join(out_dir, "pack.json"), "w") as f:
        json.dump(doc, f, indent=2)
        f.write("\n")


def build_pack(name, out_dir, log=print, changes=None, codes=CODES):
    """Write <out_dir>/<code>.pt for the given codes of pack `name`.

    `changes` maps a code to a CHANGES entry applied before scripting. The
    still CG archives are copies of the plates ones of the same scale and
    training, which is why the plates ones are built first."""
    spec = PACKS[name]
    changes = changes or {}
    os.makedirs(out_dir, exist_ok=True)
    scripter = _Scripter()
    order = [c for c in codes if not c[1:].startswith("CGst")] + \
            [c for c in codes if c[1:].startswith("CGst")]
    for i, code in enumerate(order, 1):
        t0 = time.time()
        path = os.path.join(out_dir, code + ".pt")
        note = ""
        if code[1:].startswith("CGst"):
            src = code.replace("CG", "P")
            src_path = os.path.join(out_dir, src + ".pt")
            if src in codes and changes.get(src) == changes.get(code):
                shutil.copyfile(src_path, path + ".tmp")
                os.replace(path + ".tmp", path)
                _log_archive(log, i, len(order), code, path, t0, "  (copy of %s)" % src)
                continue
            net = make_network(spec, src)
        else:
            net = make_network(spec, code)
        if code in changes:
            net = CHANGES[changes[code]](net)
            note = "  [%s]" % changes[code]
        save_archive(scripter(net), path)
        _log_archive(log, i, len(order), code, path, t0, note)


def build(name, out_dir, log=print):
    if name not in PACKS:
        raise ValueError("unknown pack %r (known: %s)" % (name, ", ".join(PACKS)))
    spec = PACKS[name]
    t0 = time.time()
    log("Building pack '%s' into %s" % (name, out_dir))
    _prepare_dir(out_dir)
    build_pack(name, out_dir, log)
    write_pack_json(out_dir, name, spec.description, spec.widths())
    log("Done: %d archives in %.1fs" % (len(CODES), time.time() - t0))


def build_variant(variant, out_dir, base_dir=None, log=print):
    """A broken pack: the tiny pack (copied from base_dir when given, else
    built) with the variant's archives rebuilt, emptied or removed."""
    if variant not in BY_NAME:
        raise ValueError("unknown variant %r (known: %s)" % (variant, ", ".join(BY_NAME)))
    v = BY_NAME[variant]
    t0 = time.time()
    log("Building broken pack '%s' into %s: %s" % (v.name, out_dir, v.description))
    _prepare_dir(out_dir)
    if base_dir:
        missing = [c for c in CODES if not os.path.isfile(os.path.join(base_dir, c + ".pt"))]
        if missing:
            raise ValueError("base pack %s lacks %s" % (base_dir, " ".join(missing)))
        for code in CODES:
            if code not in v.rebuild:
                shutil.copyfile(os.path.join(base_dir, code + ".pt"), os.path.join(out_dir, code + ".pt"))
        log("  copied the unchanged tiny archives from %s" % base_dir)
        build_pack("tiny", out_dir, log, v.rebuild, [c for c in CODES if c in v.rebuild])
    else:
        build_pack("tiny", out_dir, log, v.rebuild)
    for code in v.empty:
        open(os.path.join(out_dir, code + ".pt"), "wb").close()
        log("  %-7s emptied (0 bytes)" % code)
    for code in v.remove:
        os.remove(os.path.join(out_dir, code + ".pt"))
        log("  %-7s removed" % code)
    write_pack_json(out_dir, v.name, v.description, PACKS["tiny"].widths(), base="tiny")
    log("Done: %s in %.1fs" % (v.name, time.time() - t0))
