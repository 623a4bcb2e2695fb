"""The seventeen model codes of a pack and what each one names.

Kept free of torch so that build tooling (CMake at configure time) can import
it quickly.
"""

import re
from dataclasses import dataclass

# In the order the plug-in resolves its getters.
CODES = (
    "2CGsrG", "2CGsrP", "2CGstG", "2CGstP",
    "2PAsrG", "2PAsrP", "2PstG", "2PstP",
    "4CGsrG", "4CGsrP", "4CGstG", "4CGstP",
    "4PAsrG", "4PAsrP", "4PstG", "4PstP",
    "FLWN",
)

FLOW_CODE = "FLWN"

_CODE_RE = re.compile(r"^([24])(CG|PA|P)(st|sr)([GP])$")


@dataclass(frozen=True)
class CodeInfo:
    code: str
    family: str          # "still", "sequence" or "flow"
    scale: int           # 2 or 4; 0 for the flow network (scale-free)
    material: str        # "P" (still plates), "PA" (sequence plates), "CG", "" for flow
    training: str        # "G", "P", "" for flow
    channels: int        # image channels in and out


def parse_code(code):
    """CodeInfo for one of the seventeen codes; ValueError for anything else."""
    if code == FLOW_CODE:
        return CodeInfo(code, "flow", 0, "", "", 3)
    m = _CODE_RE.match(code)
    if not m or code not in CODES:
        raise ValueError("unknown model code %r (known: %s)" % (code, " ".join(CODES)))
    scale, material, mode, training = m.groups()
    family = "still" if mode == "st" else "sequence"
    # Still archives all take RGB, CG ones included; the CG sequence
    # networks carry alpha as a fourth channel.
    channels = 4 if (family == "sequence" and material == "CG") else 3
    return CodeInfo(code, family, int(scale), material, training, channels)


def codes_where(family=None, scale=None, material=None):
    """Codes matching all given fields, in getter order."""
    out = []
    for code in CODES:
        info = parse_code(code)
        if family is not None and info.family != family:
            continue
        if scale is not None and info.scale != scale:
            continue
        if material is not None and info.material != material:
            continue
        out.append(code)
    return out


# Parameter-name signatures the plug-in checks, as counted by the C++ API
# (a submodule reachable under two names is listed under both).
SIGNATURES = {
    "still": {2: (702, "conv_first.weight", 100, "body.3.rdb1.conv5.weight", "conv_last.bias"),
              4: (702, "conv_first.weight", 100, "body.3.rdb1.conv5.weight", "conv_last.bias")},
    "flow": {0: (128, "fnet.conv1.weight", 10, "fnet.layer2.0.conv1.weight", "update_block.mask.2.bias")},
    "sequence": {2: (70, "conv_in.0.weight", 10, "resblocks.2.conv.0.weight", "conv_out.bias"),
                 4: (72, "conv_in.0.weight", 10, "resblocks.2.conv.0.weight", "conv_out.bias")},
}


def expected_signature(code):
    info = parse_code(code)
    return SIGNATURES[info.family][info.scale]
