"""Training the still fidelity ends on a borrowed GPU machine, and bringing the weights back.

A borrowed machine has no network and no project environment (python3 with torch, numpy); it gets
the checkout plus a few ignored folders (64 MiB in all) and returns at most 8 files of under
16 MiB from one folder. So the work is cut in three:

  prepare (here)   writes PREP (.gpu-train/): the published parent (it is not in the checkout) at
                   BFloat16's precision (write_parent), 128 x 128 truth tiles of the training
                   photographs (the high-resolution patch both trainers draw: 4x from 32, 2x from 64
                   input pixels) and the held-out crops, 8-bit sRGB transform-coded (write_tiles),
                   as many tiles as the carry limit leaves room for.
  run (there)      resumes 4PstP from the committed weights for part of the time, then 2PstP from
                   the new 4PstP in the area layout, each with large batches under BFloat16
                   autocast and the samples made on the device; writes each network's change from
                   where it started (a q8 delta file, split when it would pass the return limit),
                   the held-out scores before and after, a log and a manifest with every file's size
                   and SHA-256. Nothing on the machine is needed afterwards.
  import (here)    checks every returned file against the manifest, rejoins split files, adds the
                   changes to the exact committed weights and stores them as the pack's deltas
                   (4PstP against the published network, 2PstP against the new 4PstP), measures
                   committed and new on the held-out photographs at 4x and at 2x, and installs the
                   pair only when both measure better (or writes it into a folder named for it).

`dry_run` does all of it on this CPU at tiny widths in about a minute, with a tiny part size so that
files are split and rejoined as a long run's may be.
"""

import hashlib
import json
import lzma
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PREP_DIR = os.path.join(ROOT, ".gpu-train")
MiB = 1 << 20
CARRY_LIMIT = 64 * MiB          # what travels: tracked files plus the carried folders
RETURN_FILES, RETURN_FILE_LIMIT, RETURN_LIMIT = 8, 16 * MiB, 64 * MiB
PART_SIZE = 15 * MiB            # under the return limit per file, with room to spare
TILE = 128                      # high-resolution side of a training sample at 4x (32) and 2x (64)
HELD_CROP, HELD_PER_IMAGE = 192, 4   # what the trainers' held-out check scores (train.TrainConfig)
CODES = ("4PstP", "2PstP")
MANIFEST = "manifest.json"
PREP_MANIFEST = "prepared.json"
TINY_WIDTHS = (6, 3)
TILES_MAGIC = b"MAGNIFEX-TILES 1\n"
GTEST_SOURCES = "/usr/src/googletest"     # what scripts/gpu-check --prepare carries in .device/


class Damaged(ValueError):
    """A returned file that is missing, cut short or altered; the message says which."""


# ---------------------------------------------------------------- files

def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(MiB), b""):
            h.update(chunk)
    return h.hexdigest()


def split_file(path, out_dir, part_size=PART_SIZE):
    """Moves `path` into `out_dir` as itself, or as NAME.part0, NAME.part1, ... of at most
    `part_size` bytes. Returns its manifest entry (whole size and hash, and its parts')."""
    name = os.path.basename(path)
    size = os.path.getsize(path)
    entry = {"file": name, "bytes": size, "sha256": sha256_file(path), "parts": []}
    if size <= part_size:
        dest = os.path.join(out_dir, name)
        if os.path.abspath(dest) != os.path.abspath(path):
            shutil.move(path, dest)
        entry["parts"].append({"name": name, "bytes": size, "sha256": entry["sha256"]})
        return entry
    with open(path, "rb") as f:
        for i in range((size + part_size - 1) // part_size):
            part = "%s.part%d" % (name, i)
            data = f.read(part_size)
            with open(os.path.join(out_dir, part), "wb") as g:
                g.write(data)
            entry["parts"].append({"name": part, "bytes": len(data), "sha256": hashlib.sha256(data).hexdigest()})
    os.remove(path)
    return entry


def join_file(entry, src_dir, dest):
    """Rebuilds a file from its parts in `src_dir` after checking each part and the whole against
    the manifest entry; raises Damaged naming what is wrong, writing nothing then."""
    h, total = hashlib.sha256(), 0
    tmp = dest + ".tmp"
    try:
        with open(tmp, "wb") as out:
            for p in entry["parts"]:
                path = os.path.join(src_dir, p["name"])
                if not os.path.isfile(path):
                    raise Damaged("%s is missing (part of %s)" % (p["name"], entry["file"]))
                with open(path, "rb") as f:
                    data = f.read()
                if len(data) != p["bytes"]:
                    raise Damaged("%s has %d bytes, the manifest says %d (cut short or padded in transfer)"
                                  % (p["name"], len(data), p["bytes"]))
                if hashlib.sha256(data).hexdigest() != p["sha256"]:
                    raise Damaged("%s does not match its SHA-256 in the manifest (altered in transfer)" % p["name"])
                h.update(data)
                total += len(data)
                out.write(data)
        if total != entry["bytes"] or h.hexdigest() != entry["sha256"]:
            raise Damaged("%s rejoined from its parts does not match the manifest" % entry["file"])
        os.replace(tmp, dest)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)
    return dest


def check_return_limits(out_dir):
    """Raises ValueError when `out_dir` holds more than the machine returns."""
    files = [os.path.join(out_dir, f) for f in sorted(os.listdir(out_dir))]
    sizes = {os.path.basename(f): os.path.getsize(f) for f in files if os.path.isfile(f)}
    problems = []
    if len(files) > RETURN_FILES:
        problems.append("%d files (at most %d come back)" % (len(files), RETURN_FILES))
    problems += ["%s is %.1f MiB (at most %d each)" % (n, s / MiB, RETURN_FILE_LIMIT // MiB)
                 for n, s in sizes.items() if s >= RETURN_FILE_LIMIT]
    if sum(sizes.values()) > RETURN_LIMIT:
        problems.append("%.1f MiB in all (at most %d)" % (sum(sizes.values()) / MiB, RETURN_LIMIT // MiB))
    if problems:
        raise ValueError("%s would not come back whole: %s" % (out_dir, "; ".join(problems)))
    return sizes


# ---------------------------------------------------------------- tiles (8-bit sRGB, transform-coded)

def _dct(n=8):
    k, i = np.arange(n)[:, None], np.arange(n)[None, :]
    m = np.cos(np.pi * (2 * i + 1) * k / (2 * n)) * np.sqrt(2.0 / n)
    m[0] /= np.sqrt(2.0)
    return m


# Orthonormal, like the 8 x 8 cosine transform, so that a coefficient's rounding error reaches the
# pixels as white noise of the same size: step 6 leaves about 1.1 levels of 255 rms (47 dB), far
# below what the networks get wrong (about 9 levels at 4x) and too random to learn, and carries three
# times the tiles lossless coding would (2.6 bits a pixel against 8).
_COLOUR = np.array([[1, 1, 1], [1, 0, -1], [1, -2, 1]]) / np.sqrt([[3.0], [2.0], [6.0]])
TILE_STEP = 6.0


def _write_framed(path, magic, header, payload):
    """A carried file: magic line, header length, JSON header, LZMA payload; written whole or not at all."""
    header = json.dumps(header, sort_keys=True).encode()
    with open(path + ".tmp", "wb") as f:
        f.write(magic + b"%d\n" % len(header) + header + payload)
    os.replace(path + ".tmp", path)


def _read_framed(path, magic, what):
    """(header, decompressed payload) of a file _write_framed made."""
    with open(path, "rb") as f:
        blob = f.read()
    if not blob.startswith(magic):
        raise ValueError("%s is not %s" % (path, what))
    line, _, rest = blob[len(magic):].partition(b"\n")
    k = int(line)
    return json.loads(rest[:k]), lzma.decompress(rest[k:])


def write_tiles(path, tiles, meta, step=TILE_STEP):
    """[N, H, W, 3] uint8 sRGB (H, W multiples of 8) behind a JSON header: decorrelated colours,
    8 x 8 cosine transform, each coefficient rounded to `step`, LZMA over the coefficients
    grouped by frequency."""
    tiles = np.asarray(tiles, dtype=np.uint8)
    n, h, w, _ = tiles.shape
    x = (tiles.astype(np.float64) - 127.5) @ _COLOUR.T
    d = _dct()
    c = np.einsum("ui,nyixjc,vj->uvcnyx", d, x.reshape(n, h // 8, 8, w // 8, 8, 3), d, optimize=True)
    q = np.round(c / step).astype("<i2")
    _write_framed(path, TILES_MAGIC, dict(meta, shape=list(tiles.shape), step=step),
                  lzma.compress(q.tobytes(), preset=9))
    return os.path.getsize(path)


def read_tiles(path):
    meta, payload = _read_framed(path, TILES_MAGIC, "a tiles file")
    n, h, w, _ = meta["shape"]
    q = np.frombuffer(payload, dtype="<i2").reshape(8, 8, 3, n, h // 8, w // 8)
    d = _dct()
    x = np.einsum("ui,uvcnyx,vj->nyixjc", d, q.astype(np.float64) * meta["step"], d, optimize=True).reshape(n, h, w, 3)
    tiles = np.clip(np.round(x @ _COLOUR + 127.5), 0, 255).astype(np.uint8)
    return meta, tiles


def to_srgb8(linear):
    """[3, H, W] linear float -> [H, W, 3] uint8 sRGB (what an 8-bit file of it holds)."""
    import torch
    from .encoding import srgb_encode
    return (srgb_encode(torch.as_tensor(linear).clamp(0.0, 1.0)) * 255.0).round().byte().permute(1, 2, 0).numpy()


def from_srgb8(tiles, device="cpu"):
    """[N, H, W, 3] uint8 sRGB -> [N, 3, H, W] linear float on `device`."""
    import torch
    from .encoding import srgb_decode
    t = torch.from_numpy(np.ascontiguousarray(tiles)).to(device)
    return srgb_decode(t.permute(0, 3, 1, 2).float() / 255.0).contiguous()


# ---------------------------------------------------------------- prepare

def carried_bytes(root=ROOT, extra=()):
    """{what: bytes} that travels: tracked files, untracked files git does not ignore, and the
    carried folders named."""
    def listed(*args):
        r = subprocess.run(["git", "-C", root, "ls-files", "-z"] + list(args), stdout=subprocess.PIPE, check=True)
        return [f for f in r.stdout.decode().split("\0") if f]

    def size(paths):
        return sum(os.path.getsize(os.path.join(root, p)) for p in paths
                   if os.path.isfile(os.path.join(root, p)) and not os.path.islink(os.path.join(root, p)))
    sizes = {"tracked files": size(listed()), "untracked files": size(listed("-o", "--exclude-standard"))}
    for d in extra:
        path = os.path.join(root, d)
        sizes[d + "/"] = sum(os.path.getsize(os.path.join(a, f)) for a, _, fs in os.walk(path) for f in fs)
    return sizes


def _photos(photos_dir, split, log):
    """Linear [3, H, W] arrays of the photographs of a split (downscaled by 2, as scripts/train
    trains on them), or None when they are not there."""
    from .images import expand, load_linear
    folder = os.path.join(photos_dir, split) if photos_dir else ""
    if not folder or not os.path.isdir(folder):
        return None
    cache = os.path.join(os.path.dirname(folder), ".cache-gpu-train")
    files = expand([folder])
    log("  %d %s photograph(s) from %s" % (len(files), split, folder))
    return [(os.path.splitext(os.path.basename(f))[0], load_linear(f, cache, None, 2)) for f in files]


def _synthetic(split):
    """Stand-ins for the photographs where they are not fetched (a dry run in a fresh clone)."""
    from .measure import synthetic_images
    seed = 1 if split == "train" else 2
    return [("synthetic%d" % i, im[0].numpy() if im.dim() == 4 else im.numpy())
            for i, im in enumerate(synthetic_images(256, seed))]


def _tile_order(images, size, seed=7):
    """Non-overlapping tiles of every image, interleaved image by image in a fixed shuffled order,
    so that any prefix spreads over all of them."""
    rng = random.Random(seed)
    per = []
    for name, im in images:
        _, h, w = im.shape
        spots = [(y, x) for y in range(0, h - size + 1, size) for x in range(0, w - size + 1, size)]
        rng.shuffle(spots)
        per.append([(name, im, y, x) for y, x in spots])
    order = []
    while any(per):
        for spots in per:
            if spots:
                order.append(spots.pop())
    return order


def parent_state(tiny=False):
    """The network the pack's deltas are taken against, as (StillNet, description): the published
    4x network, or for a dry run a tiny one in the same sRGB adapter."""
    from .still import StillNet
    if tiny:
        from .weights import still_tiny
        net = StillNet(4, *TINY_WIDTHS, srgb_core=True)
        still_tiny(net, "G", "gpu-train/dry-run")
        # Rounded to half precision, as the published weights are, so that it travels exactly.
        net.load_state_dict({k: v.half().float() for k, v in net.state_dict().items()})
        return net, "tiny (%d, %d), dry run" % TINY_WIDTHS
    from .trained import PUBLISHED_STEM, parent_network
    return parent_network(log=lambda *_: None), PUBLISHED_STEM


PARENT_FILE = "parent.weights"
PARENT_BITS = 7
PARENT_TOLERANCE = 2.0 ** -(PARENT_BITS + 1)
PARENT_MAGIC = b"MAGNIFEX-PARENT 1\n"


def write_parent(path, state, name):
    """The parent's weights rounded to 7 bits of mantissa, as BFloat16 rounds them, stored as half
    precision in two byte planes. Exact half precision (the published weights' own) does not fit
    beside the checkout and the photographs. The run computes under BFloat16 autocast, and the
    committed 4PstP on this parent scored 34.492 dB at 4x on the held-out photographs against
    34.488 on the exact one. What comes back is the change from the start the run trained from,
    added here to the exact weights."""
    import torch
    names = list(state)
    flat = torch.cat([state[k].detach().float().reshape(-1) for k in names])
    drop = 23 - PARENT_BITS
    bits = flat.view(torch.int32)
    rounded = ((bits + (1 << (drop - 1))) & ~((1 << drop) - 1)).view(torch.float32)
    planes = rounded.half().numpy().view(np.uint8).reshape(-1, 2)
    header = {"names": names, "shapes": [list(state[k].shape) for k in names], "parent": name,
              "mantissa_bits": PARENT_BITS}
    _write_framed(path, PARENT_MAGIC, header, lzma.compress(planes[:, 1].tobytes() + planes[:, 0].tobytes(), preset=6))


def read_parent(path):
    """(header, {name: float32 tensor}) of a carried parent."""
    import torch
    header, payload = _read_framed(path, PARENT_MAGIC, "a carried parent")
    raw = np.frombuffer(payload, dtype=np.uint8)
    n = len(raw) // 2
    flat = torch.from_numpy(np.stack([raw[n:], raw[:n]], axis=1).copy().view("<f2").reshape(-1)).float()
    state, pos = {}, 0
    for name, shape in zip(header["names"], header["shapes"]):
        count = int(np.prod(shape)) if shape else 1
        state[name] = flat[pos:pos + count].reshape(shape).clone()
        pos += count
    return header, state


def prepare(prep_dir=PREP_DIR, photos_dir="", tiny=False, limit=CARRY_LIMIT, extra_carried=(".device",),
            tile_budget=None, held_per_image=HELD_PER_IMAGE, log=print):
    """Writes what a run needs into `prep_dir` and returns the carried sizes. Training tiles fill
    what the limit leaves, less a reserve; `tile_budget` (bytes) caps them (the dry run)."""
    import torch
    from .evaluate import crops
    t0 = time.time()
    if os.path.isdir(prep_dir):
        shutil.rmtree(prep_dir)
    os.makedirs(prep_dir)
    net, parent_name = parent_state(tiny)
    state = {k: v.detach().float() for k, v in net.state_dict().items()}
    path = os.path.join(prep_dir, PARENT_FILE)
    write_parent(path, state, parent_name)
    _, back = read_parent(path)
    worst = max(((back[k] - v).abs() - PARENT_TOLERANCE * v.abs()).max().item() for k, v in state.items())
    if worst > 2.0 ** -25:
        raise ValueError("the carried parent is further from the published weights than %g" % PARENT_TOLERANCE)
    log("  parent %s: %.1f MB (%d bits of mantissa, as BFloat16 holds it)"
        % (parent_name, os.path.getsize(path) / 1e6, PARENT_BITS))

    held, train = _photos(photos_dir, "held-out", log), _photos(photos_dir, "train", log)
    synthetic = not (held and train)
    if synthetic and not tiny:
        raise ValueError("no photographs at %r (train/, held-out/): give --photos" % photos_dir)
    if synthetic:
        held, train = _synthetic("held-out"), _synthetic("train")
    held_crops = [to_srgb8(c) for _, im in held for c in crops(torch.from_numpy(im), HELD_CROP, held_per_image)]
    # A finer step for the few held-out crops: 54 dB, so that the scores there are the truth's.
    write_tiles(os.path.join(prep_dir, "held-out.tiles"), np.stack(held_crops),
                {"sources": [n for n, _ in held], "per_image": held_per_image}, step=2.0)

    carried_dirs = [d for d in extra_carried if os.path.isdir(os.path.join(ROOT, d))]
    rel = os.path.relpath(prep_dir, ROOT)
    inside = not rel.startswith("..")
    used = carried_bytes(ROOT, carried_dirs)
    if ".device" in extra_carried and ".device" not in carried_dirs and os.path.isdir(GTEST_SOURCES):
        # scripts/gpu-check --prepare copies these there before the same call carries them.
        used[".device/ (to come)"] = sum(os.path.getsize(os.path.join(a, f))
                                         for a, _, fs in os.walk(GTEST_SOURCES) for f in fs)
    prep_now = sum(os.path.getsize(os.path.join(prep_dir, f)) for f in os.listdir(prep_dir))
    reserve = MiB // 2 + 64 * 1024     # the manifest, and what the tree may grow by before the run
    room = limit - sum(used.values()) - prep_now - reserve
    if tile_budget is not None:
        room = min(room, tile_budget)
    if room <= 0:
        raise ValueError("no room for training tiles: %.1f MiB would travel before them (limit %d MiB)"
                         % ((sum(used.values()) + prep_now) / MiB, limit // MiB))
    order = _tile_order(train, TILE)
    tiles_path = os.path.join(prep_dir, "train.tiles")

    def cut(k):
        return np.stack([to_srgb8(im[:, y:y + TILE, x:x + TILE]) for _, im, y, x in order[:k]])
    # The bytes a tile takes, from a first sample, then fewer until the file fits.
    probe = min(len(order), 48)
    count = min(len(order), int(room / (write_tiles(tiles_path, cut(probe), {}) / probe)))
    while count > 0:
        size = write_tiles(tiles_path, cut(count), {"sources": sorted({o[0] for o in order[:count]}),
                                                     "of": len(order)})
        if size <= room:
            break
        count = int(count * room / size * 0.98)
    if count <= 0:
        raise ValueError("not one training tile fits in %.2f MiB" % (room / MiB))
    chosen = order[:count]

    start = {}
    for code in CODES:
        p = os.path.join(ROOT, "modelpack", "trained", code + ".delta")
        start[code] = None if tiny or not os.path.isfile(p) else {
            "path": os.path.relpath(p, ROOT), "sha256": sha256_file(p)}
    files = {f: {"bytes": os.path.getsize(os.path.join(prep_dir, f)), "sha256": sha256_file(os.path.join(prep_dir, f))}
             for f in sorted(os.listdir(prep_dir))}
    manifest = {"parent": parent_name, "widths": [net.conv_first.out_channels, net.body[0].rdb1.conv1.out_channels],
                "tiny": tiny, "synthetic": synthetic, "tile": TILE, "train_tiles": len(chosen),
                "train_tiles_possible": len(order), "held_out_crops": len(held_crops), "start": start, "files": files}
    with open(os.path.join(prep_dir, PREP_MANIFEST), "w") as f:
        json.dump(manifest, f, indent=1, sort_keys=True)
    prep_total = sum(os.path.getsize(os.path.join(prep_dir, f)) for f in os.listdir(prep_dir))
    log("  %d training tiles of %d x %d (%d of the %d the photographs hold), %d held-out crops of %d"
        % (len(chosen), TILE, TILE, len(chosen), len(order), len(held_crops), HELD_CROP))
    sizes = dict(used)
    sizes[rel + "/" if inside else prep_dir] = prep_total
    total = sum(sizes.values()) if inside else sum(used.values()) + prep_total
    for what, n in sizes.items():
        log("  %-20s %8.2f MiB" % (what, n / MiB))
    log("  %-20s %8.2f MiB of %d MiB: %.2f MiB to spare (%.1fs)"
        % ("carried in all", total / MiB, limit // MiB, (limit - total) / MiB, time.time() - t0))
    if total > limit:
        raise ValueError("%.2f MiB would travel, over the %d MiB limit" % (total / MiB, limit // MiB))
    return sizes, total


def load_prepared(prep_dir):
    """The prepared folder's manifest, after checking every file in it."""
    path = os.path.join(prep_dir, PREP_MANIFEST)
    if not os.path.isfile(path):
        raise ValueError("%s is missing: run scripts/gpu-train --prepare where the photographs and the "
                         "published network are, and carry %s" % (path, os.path.relpath(prep_dir, ROOT)))
    with open(path) as f:
        manifest = json.load(f)
    for name, want in manifest["files"].items():
        p = os.path.join(prep_dir, name)
        if not os.path.isfile(p) or os.path.getsize(p) != want["bytes"] or sha256_file(p) != want["sha256"]:
            raise ValueError("%s is missing or damaged: prepare again" % p)
    return manifest


# ---------------------------------------------------------------- networks

def _zero_state(net):
    return {k: v.detach().float().clone().zero_() for k, v in net.state_dict().items()}


def carried_parent(prep_dir, manifest):
    """The parent network as carried (write_parent)."""
    from .still import StillNet
    net = StillNet(4, *manifest["widths"], srgb_core=True)
    _, state = read_parent(os.path.join(prep_dir, PARENT_FILE))
    net.load_state_dict(state)
    return net


def with_delta(net, path):
    """A copy of `net` plus a delta file's differences (or `net` itself for no file)."""
    import copy
    from .compact import apply_delta
    out = copy.deepcopy(net)
    if path:
        _, state = apply_delta(net.state_dict(), path)
        out.load_state_dict(state)
    return out


def q8_rebuilt(child, parent):
    """The state a q8 delta file of `child` against `parent` rebuilds (compact.read_delta's
    arithmetic), without writing it: what the pack will run."""
    import torch
    from .compact import _quantise
    out = {}
    for k, p in parent.items():
        p = p.detach().float().cpu()
        d = child[k].detach().float().cpu() - p
        if torch.count_nonzero(d).item() == 0:
            out[k] = p.clone()
            continue
        scale, q = _quantise(d)
        out[k] = p + (q.float() * scale[:, None]).reshape(d.shape)
    return out


# ---------------------------------------------------------------- the run

class DeviceSamples:
    """Training pairs made on the device from the carried tiles: a random dihedral turn, the
    exposure range and degradations of train.Samples, batched."""

    def __init__(self, tiles, scale, device, seed):
        import torch
        self.tiles = torch.from_numpy(np.ascontiguousarray(tiles)).to(device)
        self.scale, self.device = scale, device
        self.rng = random.Random(seed)
        self.gen = torch.Generator(device=device).manual_seed(seed)

    def batch(self, n):
        import torch
        from . import degrade
        from .encoding import log_encode, srgb_decode
        idx = torch.tensor([self.rng.randrange(len(self.tiles)) for _ in range(n)], device=self.device)
        hr = srgb_decode(self.tiles[idx].permute(0, 3, 1, 2).float() / 255.0)
        turns = [self.rng.randrange(8) for _ in range(n)]
        hr = torch.stack([torch.rot90(h.flip(2) if t >= 4 else h, t % 4, (1, 2)) for h, t in zip(hr, turns)])
        gain = torch.tensor([2.0 ** self.rng.uniform(-1.5, 0.7) for _ in range(n)], device=self.device)
        hr = hr * gain.view(n, 1, 1, 1)
        lrs = []
        for i in range(n):
            d = degrade.draw(self.rng)
            x = degrade.downscale(degrade.gaussian_blur(hr[i:i + 1], d.blur_sigma), self.scale, d.kernel)
            if d.noise > 0 or d.grain > 0:
                sigma = d.noise + d.grain * torch.sqrt(x.clamp(min=0.0))
                x = x + sigma * torch.randn(x.shape, generator=self.gen, device=self.device)
            if d.quantise:
                x = torch.where(x <= 1.0, degrade.quantise_8bit(x), x)
            lrs.append(x)
        return log_encode(torch.cat(lrs)), log_encode(hr)


def score_on(net, truths, scale, device, bf16):
    """evaluate.score's figures over the carried held-out crops, computed on `device`."""
    import torch
    import torch.nn.functional as F
    from .encoding import srgb_encode
    from .evaluate import low_resolution, to_view, upscale_with
    from .metrics import psnr, ssim
    net.eval()
    rows = []
    for truth in truths:
        truth = truth.to(device)
        lr = low_resolution(truth, scale)
        with torch.autocast(torch.device(device).type, dtype=torch.bfloat16, enabled=bf16):
            out = upscale_with(net, lr)
        want, got = to_view(truth[None]), to_view(out.float())
        bic = F.interpolate(srgb_encode(lr), scale_factor=float(scale), mode="bicubic",
                            align_corners=False).clamp(0.0, 1.0)
        rows.append((psnr(got, want), ssim(got, want), psnr(bic, want), ssim(bic, want)))
    m = [sum(r[i] for r in rows) / len(rows) for i in range(4)]
    return {"psnr": round(m[0], 4), "ssim": round(m[1], 5), "psnr_bicubic": round(m[2], 4),
            "ssim_bicubic": round(m[3], 5), "gain_db": round(m[0] - m[2], 4)}


def _train_for(net, samples, seconds, batch, lr, device, bf16, log, label):
    """Trains `net` (P end: L1) until `seconds` have passed; learning rate warmed up, then a cosine
    over the time rather than the steps, since the step rate is only known once running."""
    import math
    import torch
    from .train import loss_fn
    net.train()
    opt = torch.optim.Adam(net.parameters(), lr=lr, betas=(0.9, 0.99))
    t0 = time.time()
    step, avg, last = 0, float("nan"), t0
    while True:
        frac = (time.time() - t0) / max(seconds, 1e-9)
        if frac >= 1.0:
            break
        lr_in, hr = samples.batch(batch)
        lr_in = lr_in.contiguous(memory_format=torch.channels_last)
        with torch.autocast(torch.device(device).type, dtype=torch.bfloat16, enabled=bf16):
            out = net(lr_in)
        loss = loss_fn("P", out.float(), hr)
        opt.zero_grad(set_to_none=True)
        loss.backward()
        rate = lr * min(1.0, (step + 1) / 50) * (0.1 + 0.45 * (1.0 + math.cos(math.pi * frac)))
        for g in opt.param_groups:
            g["lr"] = rate
        opt.step()
        step += 1
        value = loss.item()
        avg = value if math.isnan(avg) else 0.98 * avg + 0.02 * value
        if time.time() - last > 30 or step == 1:
            last = time.time()
            log("  %s step %d  loss %.5f  %.1f samples/s  lr %.2e" % (
                label, step, avg, step * batch / max(last - t0, 1e-9), rate))
    took = time.time() - t0
    log("  %s: %d steps of %d in %.0fs (%.1f samples/s)" % (label, step, batch, took, step * batch / max(took, 1e-9)))
    net.eval()
    return {"steps": step, "batch": batch, "seconds": round(took, 1), "lr": lr}


def run(out_dir, minutes=8.0, prep_dir=PREP_DIR, device="", batch=0, split=0.6, lr=5e-5,
        part_size=PART_SIZE, threads=0, seed=1, reserve=None, log=print):
    """Trains 4PstP then 2PstP on what `prep_dir` holds for `minutes` in all, and writes the
    returned files into `out_dir` (see the module's docstring)."""
    import torch
    from .compact import write_delta
    from .stillnets import area_two_x
    t_start = time.time()
    deadline = t_start + 60.0 * minutes
    os.makedirs(out_dir, exist_ok=True)
    if any(f in os.listdir(out_dir) for f in (MANIFEST,) + CODES):
        raise ValueError("%s already holds a run's files; give an empty folder" % out_dir)
    log_path = os.path.join(out_dir, "train.log")
    log_file = open(log_path, "a")

    def say(text):
        line = "[%6.1fs] %s" % (time.time() - t_start, text)
        log(line)
        log_file.write(line + "\n")
        log_file.flush()

    try:
        if threads:
            torch.set_num_threads(threads)
        device = device or ("cuda" if torch.cuda.is_available() else "cpu")
        prep = load_prepared(prep_dir)
        tiny = prep["tiny"]
        cuda = torch.device(device).type == "cuda"
        if cuda:
            torch.backends.cudnn.benchmark = True
            torch.backends.cuda.matmul.allow_tf32 = True
            torch.backends.cudnn.allow_tf32 = True
            name = torch.cuda.get_device_name(0)
        else:
            name = "CPU, %d thread(s)" % torch.get_num_threads()
        from .train_loop import bf16_available
        bf16 = cuda or bf16_available(device)
        batch = batch or (64 if cuda else 4)
        # After the last step: the 2x file's compression (about 15 s), the scores, the manifest.
        reserve = reserve if reserve is not None else (45.0 if not tiny else 5.0)
        say("device %s, torch %s, %s, batch %d, %.1f minutes, widths %s, %d training tiles"
            % (name, torch.__version__, "BFloat16 autocast" if bf16 else "float32", batch, minutes,
               prep["widths"], prep["train_tiles"]))
        parent = carried_parent(prep_dir, prep)
        _, tiles = read_tiles(os.path.join(prep_dir, "train.tiles"))
        _, held = read_tiles(os.path.join(prep_dir, "held-out.tiles"))
        truths = list(from_srgb8(held, device))
        starts = {}
        for code in CODES:
            s = prep["start"].get(code)
            if s:
                p = os.path.join(ROOT, s["path"])
                if sha256_file(p) != s["sha256"]:
                    say("warning: %s changed since it was prepared; starting from the file as it is now" % s["path"])
                starts[code] = p
            else:
                starts[code] = None
        committed4 = with_delta(parent, starts["4PstP"])
        committed2 = with_delta(area_two_x(committed4), starts["2PstP"])
        scores = {"4PstP": {}, "2PstP": {}}
        scores["4PstP"]["before"] = score_on(committed4.to(device), truths, 4, device, bf16)
        scores["2PstP"]["before"] = score_on(committed2.to(device), truths, 2, device, bf16)
        for code in CODES:
            say("%s before: held-out %s" % (code, scores[code]["before"]))
        del committed2

        left = deadline - time.time() - reserve
        if left <= 0:
            raise ValueError("%.1f minutes leave no time to train after setting up" % minutes)
        files, writers = {}, []

        def write_update(code, child, start):
            """The change from where the run started, as a q8 delta file; LZMA lets go of the
            interpreter while it compresses, so the next run trains meanwhile."""
            path = os.path.join(tempfile.mkdtemp(prefix="gpu-train-"), code + ".update")
            files[code] = path
            meta = {"code": code, "from": "the committed weights on the carried parent"}
            t = threading.Thread(target=write_delta, args=(child, start, path, meta, "q8"))
            t.start()
            writers.append(t)

        def cpu_state(net):
            # Copies: on a CPU run .cpu() would hand back the very tensors training changes.
            return {k: v.detach().float().cpu().clone() for k, v in net.state_dict().items()}
        # 4x first: the 2x network is the 4x one area-downscaled, and its delta is taken against it.
        start4 = cpu_state(committed4)
        net4 = committed4.to(device).to(memory_format=torch.channels_last)
        info4 = _train_for(net4, DeviceSamples(tiles, 4, device, seed), left * split, batch, lr, device, bf16,
                           say, "4PstP")
        trained4 = cpu_state(net4)
        write_update("4PstP", trained4, start4)
        # What the import will make of it (to the carried parent's precision).
        net4.load_state_dict(q8_rebuilt(trained4, start4))
        net4 = net4.float().eval()
        net2 = with_delta(area_two_x(net4.cpu()), starts["2PstP"]).to(device).to(memory_format=torch.channels_last)
        start2 = cpu_state(net2)
        scores["2PstP"]["start"] = score_on(net2, truths, 2, device, bf16)
        say("2PstP start (the new 4PstP in the area layout%s): held-out %s"
            % (" plus the committed 2x delta" if starts["2PstP"] else "", scores["2PstP"]["start"]))
        # The 2x samples cost four times the 4x ones (a 64-pixel input to the 4x layers): half the batch.
        info2 = _train_for(net2, DeviceSamples(tiles, 2, device, seed + 1),
                           max(1.0, deadline - time.time() - reserve), max(1, batch // 2), lr, device, bf16,
                           say, "2PstP")
        trained2 = cpu_state(net2)
        write_update("2PstP", trained2, start2)
        net2.load_state_dict(q8_rebuilt(trained2, start2))
        net4 = net4.to(device)
        scores["4PstP"]["after"] = score_on(net4, truths, 4, device, bf16)
        scores["2PstP"]["after"] = score_on(net2, truths, 2, device, bf16)
        for code in CODES:
            b, a = scores[code]["before"], scores[code]["after"]
            say("%s after: held-out %.3f dB (%+.3f over bicubic), before %.3f (%+.3f): %+.3f dB"
                % (code, a["psnr"], a["gain_db"], b["psnr"], b["gain_db"], a["psnr"] - b["psnr"]))
        for t in writers:
            t.join()
        entries = []
        for code in CODES:
            if not os.path.isfile(files[code]):
                raise ValueError("writing %s's file failed" % code)
            entry = split_file(files[code], out_dir, part_size)
            shutil.rmtree(os.path.dirname(files[code]), ignore_errors=True)
            entry["code"] = code
            entries.append(entry)
            say("%s: %.2f MB in %d file(s)" % (entry["file"], entry["bytes"] / 1e6, len(entry["parts"])))
        manifest = {"kind": "magnifex gpu-train", "version": 1, "dry_run": tiny, "parent": prep["parent"],
                    "widths": prep["widths"], "device": name, "torch": torch.__version__, "bf16": bf16,
                    "minutes": minutes, "seconds": round(time.time() - t_start, 1),
                    "started_from": {c: prep["start"].get(c) for c in CODES},
                    "runs": {"4PstP": info4, "2PstP": info2}, "scores": scores,
                    "held_out": "%d carried crops of %d (8-bit sRGB truth)" % (len(truths), HELD_CROP),
                    "weights": entries}
        with open(os.path.join(out_dir, MANIFEST), "w") as f:
            json.dump(manifest, f, indent=1, sort_keys=True)
        say("done in %.0fs; files in %s" % (time.time() - t_start, out_dir))
    finally:
        log_file.close()
    sizes = check_return_limits(out_dir)
    for n, s in sizes.items():
        log("  %-22s %10d bytes" % (n, s))
    return manifest


# ---------------------------------------------------------------- import

def read_returned(out_dir, work_dir):
    """(manifest, {code: rejoined delta path in work_dir}) after checking every file."""
    from .compact import read_delta
    path = os.path.join(out_dir, MANIFEST)
    if not os.path.isfile(path):
        raise Damaged("%s is missing: not a gpu-train output folder, or its manifest did not come back" % path)
    try:
        with open(path) as f:
            manifest = json.load(f)
        entries = {e["code"]: e for e in manifest["weights"]}
    except (ValueError, KeyError, TypeError) as e:
        raise Damaged("%s is damaged: %s" % (path, e)) from None
    missing = [c for c in CODES if c not in entries]
    if missing:
        raise Damaged("the manifest lists no %s" % ", ".join(missing))
    paths = {}
    for code in CODES:
        paths[code] = join_file(entries[code], out_dir, os.path.join(work_dir, code + ".update"))
        read_delta(paths[code])   # the container itself: header, compressed data, every tensor's length
    return manifest, paths


def _held_out_images(photos_dir, tiny, log):
    """The held-out photographs; a dry run measures on the synthetic stand-ins without them."""
    import torch
    images = _photos(photos_dir, "held-out", log)
    if images is None and not tiny:
        raise ValueError("no held-out photographs at %r: give --photos (scripts/gpu-train fetches them)" % photos_dir)
    if images is None:
        log("  held-out: the synthetic stand-ins (no photographs given)")
        images = _synthetic("held-out")
    return [torch.from_numpy(np.ascontiguousarray(im)) for _, im in images]


def _pack_delta(code, state, parent, parent_name, manifest, work):
    """A network as the trained pack keeps it (trained.delta_from_run's form), in `work`."""
    from .compact import write_delta
    run = manifest.get("runs", {}).get(code, {})
    after = manifest.get("scores", {}).get(code, {}).get("after", {})
    summary = "%d steps of batch %d on %s, from the committed weights" % (
        run.get("steps", 0), run.get("batch", 0), manifest.get("device"))
    if "gain_db" in after:
        summary += ", held-out %+.2f dB over bicubic there" % after["gain_db"]
    meta = {"code": code, "summary": summary, "scores": after, "parent": parent_name,
            "config": {k: run.get(k) for k in ("steps", "batch", "lr")}}
    path = os.path.join(work, code + ".delta")
    write_delta(state, parent, path, meta, "q8")
    return path


def import_run(out_dir, photos_dir="", into="", threads=1, log=print):
    """Checks, measures and installs (or writes into `into`) a run's files; returns the scores."""
    import torch
    from . import evaluate
    from .stillnets import area_two_x
    from .train_loop import bf16_available
    if threads:
        torch.set_num_threads(threads)
    work = tempfile.mkdtemp(prefix="gpu-train-import-")
    try:
        manifest, paths = read_returned(out_dir, work)
        tiny = bool(manifest.get("dry_run"))
        log("%s: every file matches its manifest (%s, %s, %.0fs)"
            % (out_dir, manifest.get("device"), "dry run" if tiny else "full widths", manifest.get("seconds", 0)))
        parent, name = parent_state(tiny)
        if name != manifest["parent"] or [parent.conv_first.out_channels, parent.body[0].rdb1.conv1.out_channels] \
                != manifest["widths"]:
            raise Damaged("the run's parent is %s %s; here it is %s" % (manifest["parent"], manifest["widths"], name))
        trained = os.path.join(ROOT, "modelpack", "trained")
        committed = {c: None if tiny or not os.path.isfile(os.path.join(trained, c + ".delta"))
                     else os.path.join(trained, c + ".delta") for c in CODES}
        for c, path in committed.items():
            want = (manifest.get("started_from") or {}).get(c)
            if (want or {}).get("sha256") != (sha256_file(path) if path else None) and not tiny:
                raise ValueError("modelpack/trained/%s.delta changed since the run started from it: its update "
                                 "no longer applies" % c)
        old4 = with_delta(parent, committed["4PstP"])
        old2 = with_delta(area_two_x(old4), committed["2PstP"])
        pack = {}
        try:
            # The run's changes on the exact parent, then in the pack's own form: 4PstP against the
            # published network, 2PstP against the new 4PstP in the area layout.
            grown4 = with_delta(old4, paths["4PstP"])
            pack["4PstP"] = _pack_delta("4PstP", grown4.state_dict(), parent.state_dict(), name, manifest, work)
            new4 = with_delta(parent, pack["4PstP"])
            base2 = area_two_x(new4)
            grown2 = with_delta(with_delta(base2, committed["2PstP"]), paths["2PstP"])
            pack["2PstP"] = _pack_delta("2PstP", grown2.state_dict(), base2.state_dict(), "4PstP (area layout)",
                                        manifest, work)
            new2 = with_delta(base2, pack["2PstP"])
        except ValueError as e:
            raise Damaged("a returned file does not fit the network: %s" % e) from None
        held = _held_out_images(photos_dir, tiny, log)
        bf16 = bf16_available("cpu")
        per_image = 1 if tiny else HELD_PER_IMAGE   # a dry run's check, kept short
        result, better = {}, True
        for code, scale, old, new in (("4PstP", 4, old4, new4), ("2PstP", 2, old2, new2)):
            t = time.time()
            b = evaluate.score(old.eval(), held, scale, HELD_CROP, per_image, bf16=bf16)
            a = evaluate.score(new.eval(), held, scale, HELD_CROP, per_image, bf16=bf16)
            result[code] = {"before": b, "after": a}
            better = better and a.psnr > b.psnr
            log("  %s at %dx, held-out: committed %.3f dB (%+.3f over bicubic, SSIM %.4f), returned %.3f dB "
                "(%+.3f, SSIM %.4f): %+.3f dB  (%.0fs)" % (code, scale, b.psnr, b.gain, b.ssim, a.psnr, a.gain,
                                                          a.ssim, a.psnr - b.psnr, time.time() - t))
        if into:
            os.makedirs(into, exist_ok=True)
            for code in CODES:
                shutil.copyfile(pack[code], os.path.join(into, code + ".delta"))
            log("wrote 4PstP.delta and 2PstP.delta into %s" % into)
        elif tiny:
            log("a dry run's weights are never installed (name a folder with --into to keep them)")
        elif better:
            for code in CODES:
                shutil.copyfile(pack[code], os.path.join(trained, code + ".delta") + ".tmp")
                os.replace(os.path.join(trained, code + ".delta") + ".tmp", os.path.join(trained, code + ".delta"))
            log("both measure better: installed modelpack/trained/4PstP.delta and 2PstP.delta "
                "(rebuild magnifex_pack_trained, then commit them)")
        else:
            log("not better on both held-out sets: the committed files are kept")
        return result, better
    finally:
        shutil.rmtree(work, ignore_errors=True)


def dry_run(out_dir, seconds=30.0, photos_dir="", log=print):
    """The whole path on this CPU at tiny widths: prepare into a scratch folder, train, write the
    returned files (split at a small part size), then check and measure them as an import does."""
    import torch
    torch.set_num_threads(1)
    prep = tempfile.mkdtemp(prefix="gpu-train-prep-")
    try:
        log("prepare (tiny parent, at most 1.5 MiB of tiles)")
        prepare(prep, photos_dir, tiny=True, tile_budget=3 * MiB // 2, held_per_image=1, log=log)
        log("run (%.0f s, CPU)" % seconds)
        manifest = run(out_dir, minutes=seconds / 60.0, prep_dir=prep, device="cpu", batch=4, part_size=64 * 1024,
                       reserve=3.0, log=log)
    finally:
        shutil.rmtree(prep, ignore_errors=True)
    return manifest


def main(argv=None):
    import argparse
    p = argparse.ArgumentParser(prog="python -m modelpack gpu-train", description=__doc__.split("\n\n")[0])
    g = p.add_mutually_exclusive_group()
    g.add_argument("--prepare", action="store_true", help="write the carried material into --prep")
    g.add_argument("--import", dest="import_", metavar="OUT", help="check, measure and install a run's files")
    g.add_argument("--dry-run", metavar="OUT", help="everything at tiny widths on this CPU (about a minute)")
    p.add_argument("out", nargs="?", help="the run: folder for the returned files (empty)")
    p.add_argument("--minutes", type=float, default=8.0, help="the run's time in all (default 8)")
    p.add_argument("--prep", default=PREP_DIR, help="the prepared folder (default .gpu-train/)")
    p.add_argument("--photos", default="", help="the photographs' folder (train/, held-out/)")
    p.add_argument("--into", default="", help="import: write the delta files here instead of installing")
    p.add_argument("--device", default="", help="run: cuda (default when there is one) or cpu")
    p.add_argument("--batch", type=int, default=0, help="run: 4x batch (default 64 on a GPU; 2x gets half)")
    p.add_argument("--split", type=float, default=0.6, help="run: share of the training time for 4PstP (0.6)")
    p.add_argument("--lr", type=float, default=5e-5, help="run: peak learning rate (default 5e-5: a few hundred "
                   "tiles seen many times, so gentler than the CPU runs' 1.2e-4)")
    p.add_argument("--threads", type=int, default=0, help="CPU threads")
    args = p.parse_args(argv)
    chosen = sum(bool(x) for x in (args.prepare, args.import_, args.dry_run, args.out))
    if chosen != 1 or (args.out and (args.prepare or args.import_ or args.dry_run)):
        p.error("give exactly one of --prepare, --import OUT, --dry-run OUT or OUT")
    if not 0.0 < args.split < 1.0 or args.minutes <= 0:
        p.error("--split must lie between 0 and 1 and --minutes be positive")
    try:
        if args.prepare:
            if args.threads:
                import torch
                torch.set_num_threads(args.threads)
            prepare(args.prep, args.photos)
        elif args.import_:
            _, better = import_run(args.import_, args.photos, args.into, args.threads or 1)
        elif args.dry_run:
            t = time.time()
            dry_run(args.dry_run, photos_dir=args.photos)
            print("imported as a check:")
            import_run(args.dry_run, args.photos, "", 1)
            print("dry run done in %.0fs" % (time.time() - t))
        else:
            run(args.out, args.minutes, args.prep, args.device, args.batch, args.split, args.lr,
                threads=args.threads)
    except Damaged as e:
        print("error: refused: %s" % e, file=sys.stderr)
        return 1
    except (ValueError, OSError) as e:
        print("error: %s" % e, file=sys.stderr)
        return 1
    return 0
