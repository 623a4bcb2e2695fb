"""Reading still networks published as ncnn files (.param graph + .bin weights).

The .param file is text: a magic number, the layer and blob counts, then one
line per layer (type, name, input and output counts, blob names, key=value
parameters; a negative key -23300-k holds an array for key k as
"count,v1,v2,..."). The .bin file holds, for each Convolution layer in .param
order, a 4-byte storage tag (FP16_TAG: IEEE half data follows; 0: float32),
the weights in out x in x kh x kw order padded to 4 bytes, then the bias as
float32 with no tag. Nothing else may be in it.

Nothing is trusted before it is checked: the file structure, each
convolution's attributes against the residual-in-residual network's, the
storage of every weight, that the blob is consumed exactly; and finally the
graph itself, executed as the file wires it on a small input and compared
with the network built from the same weights, so that a file whose layers
are connected differently is refused rather than imported into the wrong
computation.
"""

import os
import struct
from dataclasses import dataclass, field

import numpy as np
import torch
import torch.nn.functional as F

from .still import StillNet

MAGIC = 7767517
FP16_TAG = 0x01306B47
FP32_TAG = 0
RRDB_BLOCKS = 23
SUPPORTED_LAYERS = ("Input", "Convolution", "Split", "Concat", "Eltwise", "BinaryOp", "Interp")


class NcnnError(ValueError):
    """The files are not a still network this reader can import; the message says why."""


@dataclass
class Layer:
    kind: str
    name: str
    inputs: list
    outputs: list
    params: dict = field(default_factory=dict)
    line: int = 0

    def get(self, key, default=None):
        return self.params.get(key, default)


def _number(text, where):
    try:
        return int(text)
    except ValueError:
        try:
            return float(text)
        except ValueError:
            raise NcnnError("%s: %r is not a number" % (where, text)) from None


def parse_param(path):
    """The layers of a .param file, in file order."""
    try:
        with open(path, "r", encoding="ascii") as f:
            lines = [l.strip() for l in f]
    except UnicodeDecodeError:
        raise NcnnError("%s is not an ncnn .param text file (non-ASCII bytes)" % path) from None
    except OSError as e:
        raise NcnnError("cannot read %s: %s" % (path, e.strerror or e)) from None
    lines = [l for l in lines if l]
    if not lines or lines[0] != str(MAGIC):
        raise NcnnError("%s is not an ncnn .param file (first line is not %d)" % (path, MAGIC))
    if len(lines) < 2 or len(lines[1].split()) != 2:
        raise NcnnError("%s: line 2 must hold the layer and blob counts" % path)
    layer_count, _ = (_number(x, "%s line 2" % path) for x in lines[1].split())
    layers = []
    for n, text in enumerate(lines[2:], start=3):
        where = "%s line %d" % (path, n)
        parts = text.split()
        if len(parts) < 4:
            raise NcnnError("%s: a layer needs a type, a name and two counts" % where)
        kind, name = parts[0], parts[1]
        n_in, n_out = _number(parts[2], where), _number(parts[3], where)
        if not isinstance(n_in, int) or not isinstance(n_out, int) or n_in < 0 or n_out < 0 \
                or len(parts) < 4 + n_in + n_out:
            raise NcnnError("%s: blob counts do not match the blob names" % where)
        blobs = parts[4:4 + n_in + n_out]
        params = {}
        for item in parts[4 + n_in + n_out:]:
            key, sep, value = item.partition("=")
            if not sep:
                raise NcnnError("%s: parameter %r is not key=value" % (where, item))
            k = _number(key, where)
            if not isinstance(k, int):
                raise NcnnError("%s: parameter key %r is not an integer" % (where, key))
            if k <= -23300:
                values = [_number(v, where) for v in value.split(",")]
                if not values or values[0] != len(values) - 1:
                    raise NcnnError("%s: array parameter %r has a wrong count" % (where, item))
                params[-23300 - k] = values[1:]
            else:
                params[k] = _number(value, where)
        layers.append(Layer(kind, name, blobs[:n_in], blobs[n_in:], params, n))
    if len(layers) != layer_count:
        raise NcnnError("%s declares %d layers but holds %d (cut short?)"
                        % (path, layer_count, len(layers)))
    return layers


@dataclass(frozen=True)
class ConvShape:
    out_ch: int
    in_ch: int
    kernel: int
    bias: bool


def _conv_shape(layer):
    """Shape of a Convolution layer, with the attributes this family uses checked."""
    where = "layer %s (line %d)" % (layer.name, layer.line)
    out_ch = layer.get(0, 0)
    k = layer.get(1, 0)
    size = layer.get(6, 0)
    checks = (
        (layer.get(11, k) == k, "a non-square kernel"),
        (layer.get(2, 1) == 1 and layer.get(12, 1) == 1, "dilation"),
        (layer.get(3, 1) == 1 and layer.get(13, 1) == 1, "a stride"),
        (layer.get(4, 0) == k // 2 and all(layer.get(p, k // 2) == k // 2 for p in (14, 15, 16)),
         "padding other than 'same'"),
        (layer.get(8, 0) == 0, "int8 quantised weights"),
        (layer.get(18, 0.0) == 0.0, "a non-zero pad value"),
    )
    for ok, what in checks:
        if not ok:
            raise NcnnError("%s: %s, which this family never has" % (where, what))
    if out_ch <= 0 or k <= 0 or size <= 0 or size % (out_ch * k * k):
        raise NcnnError("%s: weight size %d does not fit %d outputs of %dx%d kernels"
                        % (where, size, out_ch, k, k))
    return ConvShape(out_ch, size // (out_ch * k * k), k, layer.get(5, 0) == 1)


def read_bin(path, convs):
    """The (weight, bias) tensors of each Convolution layer, read from a .bin file."""
    try:
        with open(path, "rb") as f:
            blob = f.read()
    except OSError as e:
        raise NcnnError("cannot read %s: %s" % (path, e.strerror or e)) from None
    pos = 0
    out = []
    for layer, shape in convs:
        count = shape.out_ch * shape.in_ch * shape.kernel * shape.kernel
        where = "%s: weights of layer %s" % (path, layer.name)
        if pos + 4 > len(blob):
            raise NcnnError("%s end at byte %d, before their storage tag (cut short?)" % (where, pos))
        (tag,) = struct.unpack_from("<I", blob, pos)
        pos += 4
        if tag == FP16_TAG:
            nbytes, dtype = count * 2, np.float16
        elif tag == FP32_TAG:
            nbytes, dtype = count * 4, np.float32
        else:
            raise NcnnError("%s are stored with tag 0x%08X; only half (0x%08X) and float32 (0) "
                            "weights can be read" % (where, tag, FP16_TAG))
        if pos + nbytes > len(blob):
            raise NcnnError("%s need %d bytes at byte %d; the file has %d (cut short?)"
                            % (where, nbytes, pos, len(blob)))
        w = np.frombuffer(blob, dtype=dtype, count=count, offset=pos).astype(np.float32)
        pos += (nbytes + 3) // 4 * 4
        b = None
        if shape.bias:
            if pos + 4 * shape.out_ch > len(blob):
                raise NcnnError("%s: bias of layer %s is cut short" % (path, layer.name))
            b = np.frombuffer(blob, dtype="<f4", count=shape.out_ch, offset=pos).copy()
            pos += 4 * shape.out_ch
        if not (np.isfinite(w).all() and (b is None or np.isfinite(b).all())):
            raise NcnnError("%s hold values that are not finite" % where)
        weight = torch.from_numpy(w.reshape(shape.out_ch, shape.in_ch, shape.kernel, shape.kernel).copy())
        out.append((weight, torch.from_numpy(b) if b is not None else None))
    if pos != len(blob):
        raise NcnnError("%s holds %d bytes after the last convolution's weights; the graph "
                        "does not describe this file" % (path, len(blob) - pos))
    return out


def run_graph(layers, weights, x):
    """Executes the .param graph with the read weights on x [1,C,H,W]."""
    blobs = {}
    conv_weights = iter(weights)
    for layer in layers:
        ins = [blobs[b] for b in layer.inputs]
        if layer.kind == "Input":
            outs = [x]
        elif layer.kind == "Split":
            outs = [ins[0]] * len(layer.outputs)
        elif layer.kind == "Concat":
            outs = [torch.cat(ins, 1)]
        elif layer.kind == "Convolution":
            w, b = next(conv_weights)
            y = F.conv2d(ins[0], w, b, padding=w.shape[-1] // 2)
            act = layer.get(9, 0)
            if act == 1:
                y = F.relu(y)
            elif act == 2:
                y = F.leaky_relu(y, float((layer.get(10) or [0.0])[0]))
            outs = [y]
        elif layer.kind == "Eltwise":
            coeffs = layer.get(1) or [1.0] * len(ins)
            outs = [sum(c * t for c, t in zip(coeffs, ins))]
        elif layer.kind == "BinaryOp":
            outs = [ins[0] + ins[1]]
        else:  # Interp
            outs = [F.interpolate(ins[0], scale_factor=(float(layer.get(1, 1.0)), float(layer.get(2, 1.0))),
                                  mode="nearest")]
        blobs.update(zip(layer.outputs, outs))
    return blobs[layers[-1].outputs[0]]


def _check_layers(layers, path):
    """Layer kinds and the parameters of the non-convolution layers."""
    for layer in layers:
        where = "%s: layer %s (line %d)" % (path, layer.name, layer.line)
        if layer.kind not in SUPPORTED_LAYERS:
            raise NcnnError("%s is a %s layer; a residual-in-residual still network has only %s"
                            % (where, layer.kind, ", ".join(SUPPORTED_LAYERS)))
        n_in = len(layer.inputs)
        if layer.kind == "Eltwise" and (layer.get(0, 1) != 1 or len(layer.get(1) or [1.0] * n_in) != n_in):
            raise NcnnError("%s: only weighted sums are expected" % where)
        if layer.kind == "BinaryOp" and (layer.get(0, 0) != 0 or n_in != 2):
            raise NcnnError("%s: only the addition of two blobs is expected" % where)
        if layer.kind == "Interp" and (layer.get(0, 0) != 1 or layer.get(1) != 2.0 or layer.get(2) != 2.0):
            raise NcnnError("%s: only nearest-neighbour upsampling by 2 is expected" % where)
        if layer.kind == "Concat" and layer.get(0, 0) != 0:
            raise NcnnError("%s: concatenation along another axis than channels" % where)
    produced = set()
    for layer in layers:
        for b in layer.inputs:
            if b not in produced:
                raise NcnnError("%s: layer %s reads blob %s before any layer writes it"
                                % (path, layer.name, b))
        produced.update(layer.outputs)
    if layers[0].kind != "Input" or sum(l.kind == "Input" for l in layers) != 1:
        raise NcnnError("%s: the graph must start with its one Input layer" % path)


def read_still_network(param_path, bin_path, scale, srgb_core=True, log=print):
    """StillNet with the weights of a published ncnn still network; NcnnError when the files
    are not one."""
    if scale != 4:
        raise NcnnError("ncnn still networks are read at 4x only (a 3-channel conv_first and two "
                        "nearest-2x stages); the 2x layout's pixel-unshuffle has no reader here")
    for p in (param_path, bin_path):
        if not os.path.isfile(p):
            raise NcnnError("%s does not exist or is not a file" % p)
    layers = parse_param(param_path)
    _check_layers(layers, param_path)
    convs = [(l, _conv_shape(l)) for l in layers if l.kind == "Convolution"]
    probe = StillNet(scale, 1, 1)
    names = [n for n, _ in probe.named_parameters() if n.endswith(".weight")]
    if len(convs) != len(names):
        raise NcnnError("%s has %d convolutions; the %d-block residual-in-residual network has %d"
                        % (param_path, len(convs), RRDB_BLOCKS, len(names)))
    nf = convs[0][1].out_ch
    gc = convs[1][1].out_ch
    if convs[0][1].in_ch != 3:
        raise NcnnError("%s: the first convolution takes %d channels; a 4x network takes 3"
                        % (param_path, convs[0][1].in_ch))
    net = StillNet(scale, nf, gc, srgb_core=srgb_core)
    params = dict(net.named_parameters())
    for (layer, shape), name in zip(convs, names):
        want = tuple(params[name].shape)
        if (shape.out_ch, shape.in_ch, shape.kernel, shape.kernel) != want or not shape.bias:
            raise NcnnError("%s: layer %s is %dx%dx%dx%d%s where %s needs %s with a bias"
                            % (param_path, layer.name, shape.out_ch, shape.in_ch, shape.kernel,
                               shape.kernel, "" if shape.bias else " without bias", name, list(want)))
    weights = read_bin(bin_path, convs)
    with torch.no_grad():
        for (w, b), name in zip(weights, names):
            params[name].copy_(w)
            params[name[:-len("weight")] + "bias"].copy_(b)
    net.eval()
    _check_graph(layers, weights, net, param_path)
    total = sum(p.numel() for p in net.parameters())
    log("  %s: %d convolutions, features %d, growth %d, %d weights; the graph computes the "
        "residual-in-residual network" % (os.path.basename(param_path), len(convs), nf, gc, total))
    return net


def _check_graph(layers, weights, net, path):
    g = torch.Generator().manual_seed(0)
    x = torch.rand(1, 3, 12, 12, generator=g)
    m = net.margin
    with torch.no_grad():
        ours = net.layers(x)
        theirs = run_graph(layers, weights, F.pad(x, [m, m, m, m], mode="replicate"))
    o = m * net.scale
    if theirs.shape[1] != 3 or theirs.shape[2] < ours.shape[2] + 2 * o:
        raise NcnnError("%s: the graph's output is %s, not a 4x RGB image" % (path, list(theirs.shape)))
    theirs = theirs[:, :, o:o + ours.shape[2], o:o + ours.shape[3]]
    err = (ours - theirs).abs().max().item()
    scale = max(1.0, ours.abs().max().item())
    if not err <= 1e-4 * scale:
        raise NcnnError("%s: the graph is wired differently from the residual-in-residual network "
                        "(outputs differ by %.3g); refusing to import it" % (path, err))
