"""Command line: python -m modelpack {build,broken,import,train,delta,photos,measure,gpu-train,cmake-info}."""

import argparse
import sys

from .codes import CODES
from .variants import VARIANTS, cmake_target_name

PACK_NAMES = ("reference", "tiny", "trained")


def _parser():
    p = argparse.ArgumentParser(prog="python -m modelpack", description=__doc__)
    sub = p.add_subparsers(dest="command", required=True)

    b = sub.add_parser("build", help="build the reference, tiny or trained pack")
    b.add_argument("--pack", required=True, choices=PACK_NAMES)
    b.add_argument("--out", required=True, help="pack directory (created; its <code>.pt files are replaced)")
    b.add_argument("--highlight-knee", type=float,
                   help="trained pack only: linear level past which the still networks see highlights "
                   "squeezed under 1, in (0, 1), or 1 to carry light above 1 past them bicubically "
                   "(default: what each network was trained with)")

    v = sub.add_parser("broken", help="build a broken pack for failure tests")
    g = v.add_mutually_exclusive_group(required=True)
    g.add_argument("--variant", choices=[x.name for x in VARIANTS])
    g.add_argument("--list", action="store_true", help="list the variants")
    v.add_argument("--out", help="pack directory")
    v.add_argument("--from", dest="base", help="copy unchanged archives from this tiny pack instead of building them")

    i = sub.add_parser("import", help="turn a trained checkpoint (.pth state dict, or ncnn .param/.bin "
                       "of a still network) into an archive of a pack")
    src = i.add_mutually_exclusive_group(required=True)
    src.add_argument("--checkpoint", help="a .pth state dict")
    src.add_argument("--ncnn", metavar="PARAM", help="an ncnn .param file; its .bin lies beside it")
    i.add_argument("--domain", choices=("srgb", "logc"), default="srgb",
                   help="what the ncnn network was trained on: srgb (published weights; the archive "
                   "converts the node's LogC around it) or logc (default srgb)")
    i.add_argument("--code", required=True, choices=CODES)
    i.add_argument("--out", required=True, help="pack directory; writes <out>/<code>.pt")
    i.add_argument("--family", choices=("still", "sequence", "flow"), help="checked against the code")
    i.add_argument("--scale", type=int, choices=(2, 4), help="checked against the code")

    t = sub.add_parser("train", help="train a still, flow or recurrent network on photographs or plates",
                       description="Fine-tunes a still network in the node's encoding, or trains the flow network "
                       "(FLWN) or a recurrent sequence network on moving clips made from the images. Resumes "
                       "from WORK/checkpoint.pt when it exists; Ctrl-C or SIGTERM write a checkpoint first.")
    t.add_argument("--code", required=True, choices=[c for c in CODES if "Pst" in c or "sr" in c] + ["FLWN"],
                   help="the still plates code to train: ...P the PSNR end, ...G the detail end (its CG twin is "
                   "written too); FLWN, the flow network; or a recurrent code (..PAsr., ..CGsr.)")
    t.add_argument("--images", required=True, nargs="+",
                   help="training images: files, folders, ####/%%04d sequences (any format OpenImageIO reads)")
    t.add_argument("--held-out", nargs="*", default=[], help="images to measure on, never trained on")
    t.add_argument("--work", required=True, help="folder for the checkpoint, scores and image cache")
    t.add_argument("--parent", default="", help="pack folder, archive (.pt) or ncnn .param to start from")
    t.add_argument("--out", help="pack folder to write the trained archive into at the end")
    t.add_argument("--steps", type=int, default=20000)
    t.add_argument("--batch", type=int, default=4)
    t.add_argument("--patch", type=int,
                   help="low-resolution patch side in pixels (default 32; FLWN: the largest, default 500)")
    t.add_argument("--lr", type=float, help="learning rate (default 1e-4; FLWN and recurrent 2e-4)")
    t.add_argument("--checkpoint-every", type=int, default=250, help="steps between checkpoints (default 250)")
    t.add_argument("--until", type=int, default=0, metavar="STEP",
                   help="pause at STEP with a checkpoint, before --steps; resumed with another --steps, the "
                   "learning-rate schedule changes from there (default: run to --steps)")
    t.add_argument("--threads", type=int, default=0, help="CPU threads (default: the library's choice)")
    t.add_argument("--device", default="cpu", help="cpu or cuda[:N] (default cpu)")
    t.add_argument("--float32", action="store_true", help="no BFloat16 autocast")
    t.add_argument("--downscale", type=int, default=1,
                   help="area-downscale the images by this factor first (photographs: 2)")
    t.add_argument("--downscales", default="", help="still networks: train on each image area-downscaled "
                   "by each of these factors, e.g. 2,3,4 (the held-out images keep --downscale)")
    t.add_argument("--colorspace", default="", help="the images' colour space (default: float files "
                   "linear, integer files sRGB, as magnifex-render reads them)")
    t.add_argument("--clean", action="store_true", help="no blur, noise or grain in the degradations")
    t.add_argument("--widths", type=int, nargs=2, metavar=("FEATURES", "GROWTH"),
                   help="widths of a network started without --parent")
    t.add_argument("--seed", type=int, default=1)
    t.add_argument("--average", type=float, default=0.0, metavar="DECAY",
                   help="still and flow networks: score, keep and write a moving average of the weights, DECAY "
                   "a step (for example 0.998, about the last 500 steps); default 0, the weights as they stand")
    t.add_argument("--highlight-knee", type=float, default=1.0,
                   help="still networks: linear level past which the layers see highlights squeezed under 1, "
                   "in (0, 1); 1 (default) carries light above 1 past them bicubically")
    f = t.add_argument_group("flow network (FLWN)")
    f.add_argument("--flow-widths", default="narrow", choices=("narrow", "tiny", "reference"),
                   help="narrow (default: trainable on a CPU in hours), or the widths of the tiny or "
                   "reference pack's flow network")
    f.add_argument("--iterations", type=int, default=25,
                   help="updates while training, each one in the loss (default 25, what the plug-in runs)")
    f.add_argument("--require", type=float, default=3.0,
                   help="write the archive only when each axis's held-out error is at most zero flow's / "
                   "this (default 3; 0 writes any)")
    f.add_argument("--x-from-transpose", action="store_true",
                   help="score and write the network reading its horizontal flow from the transposed pair, as "
                   "the pack can ship it (twice the flow's cost); training steps are the same either way")
    f.add_argument("--loss-axes", default="xy", choices=("xy", "y"),
                   help="the axes in the loss (default xy; y for a network that reads horizontal flow from the "
                   "transposed pair: with flips and transposition every pair's motion is trained as vertical)")
    f.add_argument("--train-shift", type=float, default=24.0,
                   help="most motion of the training pairs in input pixels a frame (default 24; --shift is "
                   "that of the scored pairs)")
    f.add_argument("--shift", type=float, help="most motion in input pixels a frame (default 8; recurrent 6)")
    r = t.add_argument_group("recurrent networks (..PAsr., ..CGsr.)")
    r.add_argument("--flow", help="the frozen flow network they train behind: a FLWN.pt or a pack folder")
    r.add_argument("--teacher", default="", help="detail ends: the pack folder or still archive whose detail "
                   "network's high band they follow (default: the --flow pack's)")
    r.add_argument("--features", type=int, default=32, help="width of a network started fresh (default 32)")
    r.add_argument("--frames", type=int, default=6, help="frames each clip unrolls over (default 6)")
    r.add_argument("--temporal", type=float, default=1.0, help="weight of the temporal loss (default 1)")

    dl = sub.add_parser("delta", help="store a training run's weights in the form the trained pack keeps "
                        "them in (still: differences from the published parent; flow and recurrent: whole, "
                        "half precision)")
    dl.add_argument("--work", required=True, help="the training run's folder")
    dl.add_argument("--code", required=True, choices=[c for c in CODES if "CGst" not in c])
    dl.add_argument("--out", help="delta file (default modelpack/trained/<code>.delta)")
    dl.add_argument("--x-from-transpose", action="store_true",
                    help="FLWN: take the horizontal flow from the transposed pair (for a network that "
                         "reads vertical motion only)")

    ph = sub.add_parser("photos", help="fetch the training photographs (Debian wallpaper packages)")
    ph.add_argument("--out", required=True, help="folder; gets train/, held-out/ and LICENCES.txt")

    m = sub.add_parser("measure", help="PSNR of a pack's still networks against bicubic")
    m.add_argument("--pack", required=True, help="pack directory")
    m.add_argument("--size", type=int, default=192, help="test image size in pixels, a multiple of 4 (default 192)")

    sub.add_parser("gpu-train", add_help=False, help="train the still fidelity ends on a borrowed GPU machine "
                   "(prepare, run, import, dry run; see gpu-train --help)")
    sub.add_parser("cmake-info", help="print the pack list as CMake set() commands")
    return p


def _cmake_info():
    print("set(MAGNIFEX_PACK_CODES %s)" % ";".join(CODES))
    print("set(MAGNIFEX_PACK_BROKEN_VARIANTS %s)" % ";".join(v.name for v in VARIANTS))
    for name in PACK_NAMES:
        print("set(MAGNIFEX_PACK_PRESENT_%s %s)" % (cmake_target_name(name), ";".join(CODES)))
    for v in VARIANTS:
        print("set(MAGNIFEX_PACK_PRESENT_%s %s)" % (cmake_target_name(v.name), ";".join(v.present())))


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["gpu-train"]:
        # Its own parser: the same options run on a borrowed machine without the rest of the tools.
        from .gpu_train import main as gpu_train
        return gpu_train(argv[1:])
    args = _parser().parse_args(argv)
    try:
        if args.command == "cmake-info":
            _cmake_info()
        elif args.command == "broken" and args.list:
            for v in VARIANTS:
                print("%-22s %s" % (v.name, v.description))
        elif args.command == "broken":
            if not args.out:
                raise ValueError("--out is required with --variant")
            from .packs import build_variant
            build_variant(args.variant, args.out, args.base)
        elif args.command == "build" and args.highlight_knee is not None and not 0.0 < args.highlight_knee <= 1.0:
            raise ValueError("--highlight-knee must lie in (0, 1], not %g" % args.highlight_knee)
        elif args.command == "build" and args.highlight_knee is not None and args.pack != "trained":
            raise ValueError("--highlight-knee applies to the trained pack only")
        elif args.command == "build" and args.pack == "trained":
            from .trained import build_trained
            build_trained(args.out, highlight_knee=args.highlight_knee)
        elif args.command == "build":
            from .packs import build
            build(args.pack, args.out)
        elif args.command == "import" and args.ncnn:
            from .importer import import_ncnn
            import_ncnn(args.ncnn, args.code, args.out, args.domain)
        elif args.command == "import":
            from .importer import import_checkpoint
            import_checkpoint(args.checkpoint, args.code, args.out, args.family, args.scale)
        elif args.command == "train" and args.code == "FLWN":
            from .train_flow import FlowTrainConfig, train_flow
            cfg = FlowTrainConfig(images=args.images, held_out=args.held_out, work=args.work,
                                  widths=args.flow_widths, steps=args.steps, batch=args.batch,
                                  patch=args.patch or 500, shift=args.shift or 8.0, train_shift=args.train_shift,
                                  iterations=args.iterations, require=args.require, parent=args.parent,
                                  x_from_transpose=args.x_from_transpose, loss_axes=args.loss_axes,
                                  average=args.average, lr=args.lr or 2e-4,
                                  checkpoint_every=args.checkpoint_every, threads=args.threads,
                                  device=args.device, downscale=args.downscale, colorspace=args.colorspace,
                                  seed=args.seed)
            if train_flow(cfg, args.out, until=args.until) is None:
                return 130
        elif args.command == "train" and "sr" in args.code and args.average:
            raise ValueError("--average applies to still and flow networks, not to %s" % args.code)
        elif args.command == "train" and "sr" in args.code:
            from .train_sequence import SequenceTrainConfig, train_sequence
            cfg = SequenceTrainConfig(code=args.code, images=args.images, held_out=args.held_out, work=args.work,
                                      flow=args.flow or "", parent=args.parent, teacher=args.teacher,
                                      features=args.features, steps=args.steps, batch=args.batch,
                                      patch=args.patch or 32, frames=args.frames, shift=args.shift or 6.0,
                                      temporal=args.temporal, lr=args.lr or 2e-4,
                                      checkpoint_every=args.checkpoint_every, threads=args.threads,
                                      device=args.device, bf16=not args.float32, downscale=args.downscale,
                                      colorspace=args.colorspace, clean=args.clean, seed=args.seed)
            if train_sequence(cfg, args.out, until=args.until) is None:
                return 130
        elif args.command == "train":
            from .train import TrainConfig, train
            from .photo_scales import parse
            cfg = TrainConfig(code=args.code, images=args.images, held_out=args.held_out, work=args.work,
                              parent=args.parent, steps=args.steps, batch=args.batch, patch=args.patch or 32,
                              lr=args.lr or 1e-4, checkpoint_every=args.checkpoint_every, threads=args.threads,
                              device=args.device, bf16=not args.float32, downscale=args.downscale,
                              colorspace=args.colorspace, clean=args.clean, seed=args.seed,
                              widths=list(args.widths or []),
                              highlight_knee=args.highlight_knee,
                              average=args.average,
                              downscales=parse(args.downscales) if args.downscales else [])
            if train(cfg, args.out, until=args.until) is None:
                return 130
        elif args.command == "delta":
            from .trained import delta_from_run
            delta_from_run(args.work, args.code, args.out, x_from_transpose=args.x_from_transpose)
        elif args.command == "photos":
            from .photos import fetch
            fetch(args.out)
        elif args.command == "measure":
            from .measure import measure
            measure(args.pack, args.size)
    except (ValueError, OSError) as e:
        print("error: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
