"""Shared helpers for the model-pack tests."""

import contextlib
import io
import warnings

import torch

from modelpack.__main__ import main


def configure_torch():
    """Run scripted networks as the plug-in does (graph optimisation off: no
    per-shape recompilation) and on one thread, which keeps a shared 2-core
    machine from thrashing."""
    torch.set_num_threads(1)
    torch._C._set_graph_executor_optimize(False)
    # TorchScript is what the plug-in loads, deprecated or not.
    warnings.filterwarnings("ignore", r".*is deprecated", DeprecationWarning)


def cpp_style_names(module):
    """Parameter names as libtorch's named_parameters(true) lists them: walk
    every submodule path without de-duplicating shared modules."""
    names = []

    def walk(m, prefix):
        names.extend(prefix + n for n, _ in m.named_parameters(recurse=False))
        for child_name, child in m.named_children():
            walk(child, prefix + child_name + ".")
    walk(module, "")
    return names


def run_cli(*argv):
    """(exit status, stdout, stderr) of the command line run in-process."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            rc = main(list(argv))
        except SystemExit as e:
            rc = e.code
    return rc, out.getvalue(), err.getvalue()


def smooth_image(h, w, channels=3, seed=0):
    """Log-encoded-like smooth content in 0.1..0.85."""
    g = torch.Generator().manual_seed(seed)
    x = torch.rand(1, channels, max(h // 4, 1) + 1, max(w // 4, 1) + 1, generator=g)
    x = torch.nn.functional.interpolate(x, size=(h, w), mode="bilinear", align_corners=True)
    return 0.1 + 0.75 * x
