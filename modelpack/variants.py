"""Broken packs for failure tests, each derived from the tiny pack.

To add one, append a Variant: name it, say what it breaks, and list the
codes to rebuild with a changed architecture (`rebuild`, code -> change
name from packs.CHANGES), to truncate to zero bytes (`empty`) or to leave
out (`remove`). Kept free of torch: CMake reads this list at configure time.
"""

from dataclasses import dataclass, field
from typing import Dict, Tuple

from .codes import CODES, codes_where

STILL = tuple(codes_where(family="still"))
SEQ_2X = tuple(codes_where(family="sequence", scale=2))
PLATES_SEQ = tuple(codes_where(family="sequence", material="PA"))
ALL_4X = tuple(codes_where(scale=4))
PSNR_STILL_AND_PLATES_SEQ = tuple(c for c in CODES if c.endswith("P") and
                                  (c in STILL or c in PLATES_SEQ))


@dataclass(frozen=True)
class Variant:
    name: str
    description: str
    rebuild: Dict[str, str] = field(default_factory=dict)
    empty: Tuple[str, ...] = ()
    remove: Tuple[str, ...] = ()

    def present(self):
        """Codes whose file exists in the variant, in getter order."""
        return [c for c in CODES if c not in self.remove]


VARIANTS = (
    Variant("still-701",
            "still archives (plates and CG) with 701 parameters: conv_hr has no bias; "
            "first, middle and last names still match",
            rebuild={c: "still-no-hr-bias" for c in STILL}),
    Variant("seq2x-72",
            "2x sequence archives (plates and CG) with 72 parameters: an extra identity "
            "convolution in conv_up; first, middle and last names still match",
            rebuild={c: "seq-extra-up-conv" for c in SEQ_2X}),
    Variant("empty-still",
            "the eight still archives are zero-byte files",
            empty=STILL),
    Variant("empty-plates-seq",
            "plates sequence archives (2PAsrG/P, 4PAsrG/P) are zero-byte files; "
            "flow and CG sequence archives are fine",
            empty=PLATES_SEQ),
    Variant("blend-mismatch",
            "PSNR still and plates sequence archives whose last convolution is 5x5: each loads and "
            "meets its signature, but cannot be blended with its 3x3 GAN archive",
            rebuild={c: "wide-last-conv" for c in PSNR_STILL_AND_PLATES_SEQ}),
    Variant("missing-4CGstG",
            "4CGstG.pt is absent",
            remove=("4CGstG",)),
    Variant("missing-flow-and-4x",
            "FLWN.pt and every 4x archive are absent",
            remove=("FLWN",) + ALL_4X),
)

BY_NAME = {v.name: v for v in VARIANTS}


def cmake_target_name(pack_name):
    return pack_name.replace("-", "_")
