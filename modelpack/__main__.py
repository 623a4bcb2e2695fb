"""Command line: python -m modelpack {build,broken,import,measure,cmake-info}."""

import argparse
import sys

from .codes import CODES
from .variants import VARIANTS, cmake_target_name

PACK_NAMES = ("reference", "tiny")


def _parser():
    p = argparse.ArgumentParser(prog="python -m modelpack", description=__doc__)
    sub = p.add_subparsers(dest="command", required=True)

    b = sub.add_parser("build", help="build the reference or the tiny pack")
    b.add_argument("--pack", required=True, choices=PACK_NAMES)
    b.add_argument("--out", required=True, help="pack directory (created; its <code>.pt files are replaced)")

    v = sub.add_parser("broken", help="build a broken pack for failure tests")
    g = v.add_mutually_exclusive_group(required=True)
    g.add_argument("--variant", choices=[x.name for x in VARIANTS])
    g.add_argument("--list", action="store_true", help="list the variants")
    v.add_argument("--out", help="pack directory")
    v.add_argument("--from", dest="base", help="copy unchanged archives from this tiny pack instead of building them")

    i = sub.add_parser("import", help="turn a trained checkpoint (.pth state dict) into an archive of a pack")
    i.add_argument("--checkpoint", required=True)
    i.add_argument("--code", required=True, choices=CODES)
    i.add_argument("--out", required=True, help="pack directory; writes <out>/<code>.pt")
    i.add_argument("--family", choices=("still", "sequence", "flow"), help="checked against the code")
    i.add_argument("--scale", type=int, choices=(2, 4), help="checked against the code")

    m = sub.add_parser("measure", help="PSNR of a pack's still networks against bicubic")
    m.add_argument("--pack", required=True, help="pack directory")
    m.add_argument("--size", type=int, default=192, help="test image size in pixels, a multiple of 4 (default 192)")

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
        elif args.command == "build":
            from .packs import build
            build(args.pack, args.out)
        elif args.command == "import":
            from .importer import import_checkpoint
            import_checkpoint(args.checkpoint, args.code, args.out, args.family, args.scale)
        elif args.command == "measure":
            from .measure import measure
            measure(args.pack, args.size)
    except (ValueError, OSError) as e:
        print("error: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
