"""The peer: a plain PyTorch-in-Python tiled loop over the same archives and patch list, the way
open-source upscalers tile (cut, run, paste), timed; then the difference to Magnifex's output.

    python bench/peer_tiled.py --pack-dir build/packs/reference --dump DIR [--threads 2] [--repeat 3]

DIR holds what `magnifex_bench still --dump DIR` wrote: input.f32 (H x W x 3 linear, rows top to
bottom), magnifex.f32 (S*H x S*W x 3) and patches.json (size, scale, details, patches [x0, x1, y0,
y1]). Prints one JSON line.
"""

import argparse
import json
import os
import statistics
import time

import numpy as np
import torch


def log_encode(x):
    return torch.where(x > 0.010591, 0.24719 * torch.log10(5.555556 * x + 0.052272) + 0.385537,
                       5.367655 * x + 0.092809)


def log_decode(y):
    return torch.where(y > 0.1496582, (torch.pow(10.0, (y - 0.385537) / 0.2471896) - 0.052272) / 5.555556,
                       (y - 0.092809) / 5.367655)


def blended_still_net(pack_dir, scale, details):
    """The still network as the node runs it: the PSNR archive's weights * (1 - d) + the GAN's * d."""
    net = torch.jit.load(os.path.join(pack_dir, "%dPstG.pt" % scale)).eval()
    psnr = torch.jit.load(os.path.join(pack_dir, "%dPstP.pt" % scale))
    psnr_params = dict(psnr.named_parameters())
    with torch.no_grad():
        for name, p in net.named_parameters():
            p.copy_(psnr_params[name] * (1.0 - details) + p * details)
    return net


def upscale(net, image, patches, scale):
    """Cut each patch, run it, paste its result over the output: later patches cover earlier ones."""
    with torch.inference_mode():
        x = log_encode(torch.from_numpy(image).permute(2, 0, 1).unsqueeze(0))
        out = torch.zeros(1, 3, x.shape[2] * scale, x.shape[3] * scale)
        for x0, x1, y0, y1 in patches:
            out[:, :, y0 * scale:y1 * scale, x0 * scale:x1 * scale] = net(x[:, :, y0:y1, x0:x1])[:, :3]
        return log_decode(out)[0].permute(1, 2, 0).numpy()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pack-dir", required=True)
    parser.add_argument("--dump", required=True)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)

    with open(os.path.join(args.dump, "patches.json")) as f:
        meta = json.load(f)
    W, H, S = meta["width"], meta["height"], meta["scale"]
    image = np.fromfile(os.path.join(args.dump, "input.f32"), dtype=np.float32).reshape(H, W, 3)
    theirs = np.fromfile(os.path.join(args.dump, "magnifex.f32"), dtype=np.float32).reshape(H * S, W * S, -1)[:, :, :3]
    net = blended_still_net(args.pack_dir, S, meta["details"])
    upscale(net, image, meta["patches"][:1], S)  # warm-up, as the node's first render

    times, result = [], None
    for _ in range(args.repeat):
        start = time.perf_counter()
        result = upscale(net, image, meta["patches"], S)
        times.append(time.perf_counter() - start)
    diff = np.abs(result - theirs)
    print(json.dumps({"study": "peer", "width": W, "height": H, "scale": S, "threads": args.threads,
                      "patches": len(meta["patches"]), "peer_s": statistics.median(times),
                      "max_abs_diff": float(diff.max()), "mean_abs_diff": float(diff.mean()),
                      "diff_p999": float(np.quantile(diff, 0.999))}), flush=True)


if __name__ == "__main__":
    main()
