"""Still networks as archives: reading one back as an eager network, writing one with its
metadata, the parent a fine-tune starts from, and the area layout that makes a 2x network of a 4x
one. The still trainer, the importer and the trained pack all build on these."""

import json
import os

import torch

from .codes import parse_code
from .still import StillNet

META_FILE = "magnifex.json"


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
    net = StillNet(scale, nf, gc, srgb_core=meta.get("domain") == "srgb", area=area,
                   highlight_knee=float(meta.get("highlight_knee", 1.0)))
    net.load_state_dict(state)
    return net, meta


def save_still(net, path, meta):
    from .packs import save_archive
    meta = dict(meta, domain="srgb" if net.srgb_core else "logc")
    if net.area:
        meta["layout"] = "area"
    if net.highlight_knee < 1.0:
        meta["highlight_knee"] = net.highlight_knee
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
    net2 = StillNet(2, nf, gc, nb=len(net4.body), srgb_core=net4.srgb_core, area=True,
                    highlight_knee=net4.highlight_knee)
    net2.load_state_dict(net4.state_dict())
    return net2
