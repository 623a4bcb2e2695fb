"""Model-pack tools for Magnifex: network definitions, reference and tiny
packs, broken packs for failure tests, and an importer for trained
checkpoints. Run `python -m modelpack --help`."""

from .codes import CODES, parse_code  # noqa: F401
