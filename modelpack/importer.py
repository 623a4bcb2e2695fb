"""Import a trained checkpoint (.pth state dict) as one archive of a pack.

Accepted layouts: a plain state dict, or one wrapped under `params_ema`
(preferred when both are present), `params` or `state_dict`; keys may carry
a `module.` prefix. The flow family's `norm3` / `downsample.1` pairs name
one module: either name is enough, and when both are present they must
agree. Batch-norm buffers are loaded; `num_batches_tracked` may be absent.

Widths are read off the checkpoint's shapes; the block counts and channel
counts that the plug-in's signatures fix are checked, and then every name
and shape is compared with the network built from those widths. Any
difference is reported (missing, unexpected, shape mismatch) and nothing is
written.

The 2x still network takes pixel-unshuffled input (12 channels into
conv_first), the layout 2x checkpoints of this family are published in.
A 2x checkpoint whose conv_first takes 3 channels (a single-upsampling
design) is rejected: its 702 names would fit, but not its computation.
"""

import json
import os

import torch

from .codes import expected_signature, parse_code
from .flow import CORR_LEVELS, WINDOW, MASK_CHANNELS, FlowNet, FlowWidths
from .packs import save_archive
from .sequence import BLOCKS as SEQ_BLOCKS, SequenceNet
from .still import StillNet

STILL_BLOCKS = 23
WRAPPERS = ("params_ema", "params", "state_dict")


class ImportMismatch(ValueError):
    """The checkpoint does not fit the archive; the message says why."""


def cpp_parameter_names(module):
    """Parameter names as the C++ API lists them: a submodule reachable under
    two names is listed under both (Python's named_parameters lists it once)."""
    def walk(m, prefix):
        for name, _ in m.named_parameters(recurse=False):
            yield prefix + name
        for child_name, child in m.named_children():
            yield from walk(child, prefix + child_name + ".")
    return list(walk(module, ""))


def load_state(path, log=print):
    if not os.path.isfile(path):
        raise ImportMismatch("checkpoint %s does not exist" % path)
    try:
        obj = torch.load(path, map_location="cpu", weights_only=True)
    except Exception as e:  # torch raises a variety of types for bad files
        raise ImportMismatch("cannot read %s as a PyTorch checkpoint: %s" % (path, e))
    if isinstance(obj, dict):
        for key in WRAPPERS:
            if key in obj and isinstance(obj[key], dict):
                log("  using the state dict under '%s'" % key)
                obj = obj[key]
                break
    if not isinstance(obj, dict) or not obj or \
            not all(isinstance(k, str) and torch.is_tensor(v) for k, v in obj.items()):
        raise ImportMismatch("%s does not hold a state dict (a mapping of names to tensors)" % path)
    prefixed = sum(k.startswith("module.") for k in obj)
    if prefixed:
        log("  stripping the 'module.' prefix from %d keys" % prefixed)
    return {(k[len("module."):] if k.startswith("module.") else k): v for k, v in obj.items()}


def _shape(state, key, dim, default):
    t = state.get(key)
    return int(t.shape[dim]) if t is not None and t.dim() > dim else default


def _count_blocks(state, prefix):
    ids = {k[len(prefix):].split(".")[0] for k in state if k.startswith(prefix)}
    return len([i for i in ids if i.isdigit()])


def _still(state, scale):
    in_ch = _shape(state, "conv_first.weight", 1, 12 if scale == 2 else 3)
    if scale == 2 and in_ch == 3:
        raise ImportMismatch(
            "conv_first takes 3 channels: a 2x network that upsamples once. The 2x still "
            "network here takes pixel-unshuffled input (12 channels into conv_first, "
            "the published 2x layout); this checkpoint cannot be imported as 2x.")
    if scale == 4 and in_ch == 12:
        raise ImportMismatch("conv_first takes 12 channels: a 2x (pixel-unshuffle) "
                             "checkpoint; import it under a 2x code")
    if in_ch not in (3, 12):
        raise ImportMismatch("conv_first takes %d channels; expected %d for %dx"
                             % (in_ch, 12 if scale == 2 else 3, scale))
    nb = _count_blocks(state, "body.")
    if nb != STILL_BLOCKS:
        raise ImportMismatch("the checkpoint has %d residual-in-residual blocks; the archive "
                             "signature needs %d" % (nb, STILL_BLOCKS))
    out = _shape(state, "conv_last.weight", 0, 3)
    if out != 3:
        raise ImportMismatch("conv_last gives %d channels; the still network gives 3" % out)
    nf = _shape(state, "conv_first.weight", 0, 64)
    gc = _shape(state, "body.0.rdb1.conv1.weight", 0, 32)
    return StillNet(scale, nf, gc), "features %d, growth %d" % (nf, gc)


def _sequence(state, scale, channels):
    nb = _count_blocks(state, "resblocks.")
    if nb != SEQ_BLOCKS:
        raise ImportMismatch("the checkpoint has %d residual blocks; the archive signature "
                             "needs %d" % (nb, SEQ_BLOCKS))
    out = _shape(state, "conv_out.weight", 0, channels)
    if out != channels:
        raise ImportMismatch("conv_out gives %d channels; this code needs %d" % (out, channels))
    ups = _count_blocks(state, "conv_up.")      # one transposed convolution per 2x
    if ups and ups != scale // 2:
        raise ImportMismatch("the checkpoint upsamples %d times (%dx); this code is %dx"
                             % (ups, 2 ** ups, scale))
    nf = _shape(state, "conv_in.0.weight", 0, 64)
    return SequenceNet(scale, channels, nf), "features %d" % nf


def _flow(state):
    d = FlowWidths()
    ub = "update_block."
    enc = (_shape(state, "fnet.conv1.weight", 0, d.enc[0]),
           _shape(state, "fnet.layer2.0.conv1.weight", 0, d.enc[1]),
           _shape(state, "fnet.layer3.0.conv1.weight", 0, d.enc[2]))
    hdim = _shape(state, ub + "gru.convz1.weight", 0, d.hdim)
    corr_in = _shape(state, ub + "encoder.convc1.weight", 1, CORR_LEVELS * WINDOW)
    if corr_in != CORR_LEVELS * WINDOW:
        raise ImportMismatch("the motion encoder reads %d correlation channels; this flow "
                             "network gives %d (%d levels of radius-4 windows)"
                             % (corr_in, CORR_LEVELS * WINDOW, CORR_LEVELS))
    mask_out = _shape(state, ub + "mask.2.weight", 0, MASK_CHANNELS)
    if mask_out != MASK_CHANNELS:
        raise ImportMismatch("the mask head gives %d channels; 8x convex upsampling needs %d"
                             % (mask_out, MASK_CHANNELS))
    w = FlowWidths(
        enc=enc,
        fdim=_shape(state, "fnet.conv2.weight", 0, d.fdim),
        hdim=hdim,
        cdim=_shape(state, "cnet.conv2.weight", 0, d.hdim + d.cdim) - hdim,
        corr1=_shape(state, ub + "encoder.convc1.weight", 0, d.corr1),
        corr2=_shape(state, ub + "encoder.convc2.weight", 0, d.corr2),
        flow1=_shape(state, ub + "encoder.convf1.weight", 0, d.flow1),
        flow2=_shape(state, ub + "encoder.convf2.weight", 0, d.flow2),
        motion=_shape(state, ub + "encoder.conv.weight", 0, d.motion - 2) + 2,
        head=_shape(state, ub + "flow_head.conv1.weight", 0, d.head),
        mask=_shape(state, ub + "mask.0.weight", 0, d.mask))
    if w.cdim <= 0:
        raise ImportMismatch("cnet gives %d channels, no more than the %d of the recurrent "
                             "state" % (w.cdim + hdim, hdim))
    return FlowNet(w), "widths %s" % w.as_dict()


def _alias(key):
    if ".norm3." in key:
        return key.replace(".norm3.", ".downsample.1.")
    if ".downsample.1." in key:
        return key.replace(".downsample.1.", ".norm3.")
    return None


def compare(net, state):
    """(missing, unexpected, mismatched, disagreeing) between a network's
    state dict and a checkpoint's; all empty when the checkpoint fits."""
    want = net.state_dict()
    missing, mismatched, disagree = [], [], []
    for key, t in want.items():
        have = state.get(key)
        if have is None:
            alias = _alias(key)
            have = state.get(alias) if alias else None
        if have is None:
            if not key.endswith("num_batches_tracked"):
                missing.append(key)
            continue
        if tuple(have.shape) != tuple(t.shape):
            mismatched.append("%s: checkpoint %s, network %s"
                              % (key, list(have.shape), list(t.shape)))
        alias = _alias(key)
        if ".norm3." in key and key in state and alias in state and \
                state[key].shape == state[alias].shape and not torch.equal(state[key], state[alias]):
            disagree.append("%s and %s" % (key, alias))
    unexpected = [k for k in state if k not in want]
    return missing, unexpected, mismatched, disagree


def _report(code, missing, unexpected, mismatched, disagree, limit=20):
    lines = ["the checkpoint does not fit %s:" % code]
    for title, items in (("missing", missing), ("unexpected", unexpected),
                         ("shape mismatch", mismatched),
                         ("shared entries that disagree", disagree)):
        if items:
            lines.append("  %s (%d):" % (title, len(items)))
            lines += ["    " + s for s in items[:limit]]
            if len(items) > limit:
                lines.append("    ... and %d more" % (len(items) - limit))
    return "\n".join(lines)


FAMILY_MARKERS = (("still", "conv_first.weight"), ("sequence", "conv_in.0.weight"),
                  ("flow", "fnet.conv1.weight"))


def guess_family(state):
    for family, key in FAMILY_MARKERS:
        if key in state:
            return family
    return None


def build_from_checkpoint(state, code):
    """The eager network of `code` carrying the checkpoint's weights."""
    info = parse_code(code)
    family = guess_family(state)
    if family != info.family:
        marker = dict(FAMILY_MARKERS)[info.family]
        raise ImportMismatch("%s needs a %s network, but the checkpoint has no %s%s"
                             % (code, info.family, marker,
                                "; it looks like a %s network" % family if family else ""))
    if info.family == "still":
        net, widths = _still(state, info.scale)
    elif info.family == "sequence":
        net, widths = _sequence(state, info.scale, info.channels)
    else:
        net, widths = _flow(state)
    missing, unexpected, mismatched, disagree = compare(net, state)
    if missing or unexpected or mismatched or disagree:
        raise ImportMismatch(_report(code, missing, unexpected, mismatched, disagree))
    full = dict(net.state_dict())
    for key in full:
        src = state.get(key)
        if src is None and _alias(key):
            src = state.get(_alias(key))
        if src is not None:
            full[key] = src
    net.load_state_dict(full, strict=True)
    return net.eval(), widths


def import_checkpoint(checkpoint, code, out_dir, family=None, scale=None, log=print):
    info = parse_code(code)
    if family is not None and family != info.family:
        raise ImportMismatch("--family %s does not match %s, a %s network" % (family, code, info.family))
    if scale is not None and scale != info.scale:
        raise ImportMismatch("--scale %d does not match %s (%s)"
                             % (scale, code, "%dx" % info.scale if info.scale else "scale-free"))
    log("Importing %s as %s" % (checkpoint, code))
    state = load_state(checkpoint, log)
    net, widths = build_from_checkpoint(state, code)
    log("  %s network, %s: every name and shape matches" % (info.family, widths))
    return write_network(net, code, out_dir, log)


def import_ncnn(param_path, code, out_dir, domain="srgb", log=print):
    """Imports a published ncnn still network; nothing is written unless the files check out."""
    from .ncnn import read_still_network
    from .stillnets import META_FILE
    info = parse_code(code)
    if info.family != "still":
        raise ImportMismatch("ncnn files are read for still networks; %s is a %s network"
                             % (code, info.family))
    if not param_path.endswith(".param"):
        raise ImportMismatch("%s is not an ncnn .param file" % param_path)
    log("Importing %s as %s" % (param_path, code))
    net = read_still_network(param_path, param_path[:-len(".param")] + ".bin", info.scale,
                             srgb_core=domain == "srgb", log=log)
    meta = {"code": code, "parent": os.path.basename(param_path), "domain": domain}
    return write_network(net.eval(), code, out_dir, log, {META_FILE: json.dumps(meta, sort_keys=True)})


def write_network(net, code, out_dir, log=print, extra_files=None):
    """Scripts the network, checks the plug-in's signature and writes OUT/<code>.pt."""
    scripted = torch.jit.script(net)
    count, first, mid_index, mid, last = expected_signature(code)
    names = cpp_parameter_names(scripted)
    if (len(names), names[0], names[mid_index] if len(names) > mid_index else None, names[-1]) != \
            (count, first, mid, last):
        raise ImportMismatch("internal: the scripted network's signature is %d entries "
                             "(%s, %s); expected %d" % (len(names), names[0], names[-1], count))
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise ImportMismatch("%s exists and is not a directory" % out_dir)
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, code + ".pt")
    save_archive(scripted, path, extra_files)
    log("  wrote %s (%d parameters as the plug-in counts them)" % (path, len(names)))
    return path
