"""Compact storage of fine-tuned weights: what differs from the published parent.

A delta file holds, for every tensor of a network's state, the difference
from its parent's tensor in IEEE half precision, LZMA-compressed, behind a
JSON header (names, shapes, the parent's name, scores, anything the caller
records). Tensors that did not change are left out. Applying it to the same
parent gives the fine-tuned weights to within half-precision rounding of the
differences, far below what the networks can tell apart; `delta_error`
measures it.

    MAGNIFEX-DELTA 1\n
    <header length in bytes, decimal>\n
    <header JSON>
    <LZMA stream: the half-precision differences, one tensor after another>
"""

import json
import lzma
import os

import numpy as np
import torch

MAGIC = b"MAGNIFEX-DELTA 1\n"


class DeltaError(ValueError):
    """A delta file that is damaged or does not fit the parent; the message says why."""


def write_delta(child_state, parent_state, path, meta=None):
    names, shapes, chunks = [], [], []
    for name, t in child_state.items():
        if name not in parent_state or tuple(parent_state[name].shape) != tuple(t.shape):
            raise DeltaError("%s has no counterpart of shape %s in the parent" % (name, list(t.shape)))
        d = (t.detach().float() - parent_state[name].detach().float()).half()
        if torch.count_nonzero(d).item() == 0:
            continue
        names.append(name)
        shapes.append(list(t.shape))
        chunks.append(d.cpu().numpy().astype("<f2").tobytes())
    header = json.dumps({"tensors": names, "shapes": shapes, "meta": meta or {}}, sort_keys=True).encode()
    data = lzma.compress(b"".join(chunks), preset=9 | lzma.PRESET_EXTREME)
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(MAGIC + b"%d\n" % len(header) + header + data)
    os.replace(tmp, path)
    return len(names)


def read_delta(path):
    """(meta, {name: float32 difference})."""
    with open(path, "rb") as f:
        blob = f.read()
    if not blob.startswith(MAGIC):
        raise DeltaError("%s is not a Magnifex delta file" % path)
    rest = blob[len(MAGIC):]
    line, _, rest = rest.partition(b"\n")
    try:
        n = int(line)
        header = json.loads(rest[:n])
        raw = lzma.decompress(rest[n:])
    except (ValueError, lzma.LZMAError) as e:
        raise DeltaError("%s is damaged: %s" % (path, e)) from None
    out, pos = {}, 0
    for name, shape in zip(header["tensors"], header["shapes"]):
        count = int(np.prod(shape)) if shape else 1
        if pos + 2 * count > len(raw):
            raise DeltaError("%s is cut short at %s" % (path, name))
        arr = np.frombuffer(raw, dtype="<f2", count=count, offset=pos).astype(np.float32)
        out[name] = torch.from_numpy(arr.reshape(shape).copy())
        pos += 2 * count
    if pos != len(raw):
        raise DeltaError("%s holds %d bytes more than its header lists" % (path, len(raw) - pos))
    return header["meta"], out


def apply_delta(parent_state, path):
    """(meta, the fine-tuned state): the parent's state plus the file's differences."""
    meta, delta = read_delta(path)
    state = {k: v.detach().clone().float() for k, v in parent_state.items()}
    for name, d in delta.items():
        if name not in state or tuple(state[name].shape) != tuple(d.shape):
            raise DeltaError("%s changes %s %s, which the parent does not have"
                             % (path, name, list(d.shape)))
        state[name] += d
    return meta, state


def delta_error(child_state, rebuilt_state):
    """Largest absolute difference between the trained and the rebuilt weights."""
    return max((child_state[k].float() - rebuilt_state[k].float()).abs().max().item() for k in child_state)
