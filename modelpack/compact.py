"""Compact storage of fine-tuned weights: what differs from the published parent.

A delta file holds, for every tensor of a network's state, the difference
from its parent's tensor, LZMA-compressed, behind a JSON header (names,
shapes, encoding, the parent's name, scores, anything the caller records).
Tensors that did not change are left out. Two encodings:
  * "f16": IEEE half precision;
  * "q8" (the default): per output channel, the largest difference over 127
    as a float32 scale and each difference as a signed byte of it. Fine-tuning
    differences are smooth and small, so this loses little (`delta_error`
    measures the weights, the trained pack's benchmark the pictures) and the
    bytes compress to about half of the half-precision ones.

    MAGNIFEX-DELTA 1\n
    <header length in bytes, decimal>\n
    <header JSON>
    <LZMA stream: per tensor, its scales (q8) then its values>
"""

import json
import lzma
import os

import numpy as np
import torch

MAGIC = b"MAGNIFEX-DELTA 1\n"


class DeltaError(ValueError):
    """A delta file that is damaged or does not fit the parent; the message says why."""


ENCODINGS = ("q8", "f16")


def _quantise(d):
    rows = d.reshape(d.shape[0], -1) if d.dim() else d.reshape(1, 1)
    scale = rows.abs().amax(dim=1).clamp(min=1e-30) / 127.0
    q = torch.round(rows / scale[:, None]).clamp(-127, 127).to(torch.int8)
    return scale.float(), q


def write_delta(child_state, parent_state, path, meta=None, encoding="q8"):
    if encoding not in ENCODINGS:
        raise DeltaError("unknown delta encoding %r (%s)" % (encoding, ", ".join(ENCODINGS)))
    names, shapes, chunks = [], [], []
    for name, t in child_state.items():
        if name not in parent_state or tuple(parent_state[name].shape) != tuple(t.shape):
            raise DeltaError("%s has no counterpart of shape %s in the parent" % (name, list(t.shape)))
        d = t.detach().float().cpu() - parent_state[name].detach().float().cpu()
        if torch.count_nonzero(d).item() == 0:
            continue
        names.append(name)
        shapes.append(list(t.shape))
        if encoding == "f16":
            chunks.append(d.half().numpy().astype("<f2").tobytes())
        else:
            scale, q = _quantise(d)
            chunks.append(scale.numpy().astype("<f4").tobytes() + q.numpy().tobytes())
    header = json.dumps({"tensors": names, "shapes": shapes, "encoding": encoding, "meta": meta or {}},
                        sort_keys=True).encode()
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
    encoding = header.get("encoding", "f16")
    if encoding not in ENCODINGS:
        raise DeltaError("%s uses the unknown encoding %r" % (path, encoding))
    out, pos = {}, 0
    for name, shape in zip(header["tensors"], header["shapes"]):
        count = int(np.prod(shape)) if shape else 1
        rows = shape[0] if shape else 1
        need = 2 * count if encoding == "f16" else 4 * rows + count
        if pos + need > len(raw):
            raise DeltaError("%s is cut short at %s" % (path, name))
        if encoding == "f16":
            arr = np.frombuffer(raw, dtype="<f2", count=count, offset=pos).astype(np.float32)
        else:
            scale = np.frombuffer(raw, dtype="<f4", count=rows, offset=pos)
            q = np.frombuffer(raw, dtype=np.int8, count=count, offset=pos + 4 * rows)
            arr = (q.reshape(rows, -1).astype(np.float32) * scale[:, None]).reshape(-1)
        out[name] = torch.from_numpy(arr.reshape(shape).copy())
        pos += need
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
