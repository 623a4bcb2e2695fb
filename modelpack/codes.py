"""The seventeen model codes of a pack and what each one names, read from the
plug-in's model catalogue (models/include/models/ModelCatalogue.def).

Kept free of torch so that build tooling (CMake at configure time) can import
it quickly.
"""

import os
import re
from dataclasses import dataclass

# The plug-in's own table, which the companion library's getters and these codes follow.
CATALOGUE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "models", "include", "models",
                         "ModelCatalogue.def")

_MODEL_RE = re.compile(r"^MAGNIFEX_MODEL\((\w+), (\w+), (\d+), (\w+), (\w+)\)$")
_SIGNATURE_RE = re.compile(r'^MAGNIFEX_SIGNATURE\((\w+), (\d+), (\d+), "([^"]+)", (\d+), "([^"]+)", "([^"]+)"\)$')


@dataclass(frozen=True)
class CodeInfo:
    code: str
    family: str          # "still", "sequence" or "flow"
    scale: int           # 2 or 4; 0 for the flow network (scale-free)
    material: str        # "P" (still plates), "PA" (sequence plates), "CG", "" for flow
    training: str        # "G", "P", "" for flow
    channels: int        # image channels in and out


def _read_catalogue(path):
    infos, signatures = [], {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            m = _MODEL_RE.match(line)
            if m:
                code, family, scale, material, training = m.groups()
                material, training = ("" if v == "none" else v for v in (material, training))
                # Still archives all take RGB, CG ones included; the CG sequence networks carry
                # alpha as a fourth channel.
                channels = 4 if (family == "sequence" and material == "CG") else 3
                infos.append(CodeInfo(code, family, int(scale), material, training, channels))
                continue
            m = _SIGNATURE_RE.match(line)
            if m:
                family, scale, count, first, middle_index, middle, last = m.groups()
                signatures.setdefault(family, {})[int(scale)] = (int(count), first, int(middle_index), middle, last)
                continue
            if line.startswith("MAGNIFEX_"):
                raise ValueError("%s: a row this reader does not understand: %s" % (path, line))
    return infos, signatures


_INFOS, SIGNATURES = _read_catalogue(CATALOGUE)
_BY_CODE = {info.code: info for info in _INFOS}

# In the order the plug-in resolves its getters.
CODES = tuple(info.code for info in _INFOS)

FLOW_CODE = next(info.code for info in _INFOS if info.family == "flow")


def parse_code(code):
    """CodeInfo for one of the seventeen codes; ValueError for anything else."""
    try:
        return _BY_CODE[code]
    except (KeyError, TypeError):
        raise ValueError("unknown model code %r (known: %s)" % (code, " ".join(CODES))) from None


def codes_where(family=None, scale=None, material=None):
    """Codes matching all given fields, in getter order."""
    return [info.code for info in _INFOS
            if (family is None or info.family == family)
            and (scale is None or info.scale == scale)
            and (material is None or info.material == material)]


def expected_signature(code):
    info = parse_code(code)
    return SIGNATURES[info.family][info.scale]
