"""Reading training images as linear-light float RGB, the way magnifex-render reads them.

Anything OpenImageIO reads is accepted, through `oiiotool`: single files,
folders of them, and `####` / `%04d` frame sequences. Colour follows the
render command's rule: float and half files are linear; integer files are
sRGB and are linearised; `colorspace` overrides it ("linear", "sRGB",
"Rec709", or any OpenColorIO name). Images with one or two channels are taken
as grey; only red, green and blue are kept.

Each conversion is cached as a float FITS file (the one float format both
oiiotool writes and a few lines of numpy read) keyed by the source's path, size,
modification time and the options, so a resumed run does not convert again.
"""

import glob
import hashlib
import os
import re
import subprocess

import numpy as np

IMAGE_EXTENSIONS = (".exr", ".png", ".jpg", ".jpeg", ".tif", ".tiff", ".dpx", ".cin", ".tga",
                    ".bmp", ".hdr", ".webp", ".sgi", ".rgb", ".ppm", ".pfm", ".jxl", ".heic")
_HASHES = re.compile(r"#+")
_PRINTF = re.compile(r"%0?(\d*)d")


def expand(sources):
    """The image files named by files, folders and frame patterns, in order."""
    files = []
    for src in sources:
        if os.path.isdir(src):
            found = sorted(os.path.join(src, f) for f in os.listdir(src)
                           if f.lower().endswith(IMAGE_EXTENSIONS))
            if not found:
                raise ValueError("%s holds no image files" % src)
            files += found
        elif _HASHES.search(os.path.basename(src)) or _PRINTF.search(os.path.basename(src)):
            base = os.path.basename(src)
            m = _HASHES.search(base) or _PRINTF.search(base)
            width = len(m.group(0)) if m.group(0).startswith("#") else int(m.group(1) or 1)
            pattern = os.path.join(os.path.dirname(src), base[:m.start()] + "[0-9]" * width + base[m.end():])
            found = sorted(glob.glob(pattern))
            if not found:
                raise ValueError("no frames match %s" % src)
            files += found
        elif os.path.isfile(src):
            files.append(src)
        else:
            raise ValueError("%s is neither an image file, a folder nor a frame pattern" % src)
    return files


def _info(path):
    r = subprocess.run(["oiiotool", "--info", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       text=True)
    m = re.search(r":\s+(\d+)\s+x\s+(\d+),\s+(\d+) channel, (\w+)", r.stdout)
    if r.returncode != 0 or not m:
        raise ValueError("cannot read %s: %s" % (path, r.stdout.strip() or "not an image"))
    return int(m.group(1)), int(m.group(2)), int(m.group(3)), m.group(4)


def _is_float(pixel_type):
    return pixel_type in ("half", "float", "double")


def read_fits(path):
    """[C, H, W] of a float FITS file as oiiotool writes it: axes channel, column, row, rows
    bottom to top, big-endian, the pixels ending the file."""
    with open(path, "rb") as f:
        data = f.read()
    axes = {}
    for i in range(0, min(len(data), 2880 * 4), 80):
        card = data[i:i + 80].decode("ascii", "replace")
        if card.startswith("END"):
            break
        key, _, value = card.partition("=")
        if key.strip() in ("BITPIX", "NAXIS1", "NAXIS2", "NAXIS3"):
            axes[key.strip()] = int(value.split("/")[0])
    if axes.get("BITPIX") != -32 or not all(k in axes for k in ("NAXIS1", "NAXIS2", "NAXIS3")):
        raise ValueError("%s is not a float FITS image" % path)
    c, w, h = axes["NAXIS1"], axes["NAXIS2"], axes["NAXIS3"]
    n = c * w * h * 4
    if len(data) < n + 2880:
        raise ValueError("%s is cut short" % path)
    img = np.frombuffer(data[len(data) - n:], dtype=">f4").reshape(h, w, c)[::-1]
    return np.ascontiguousarray(img.transpose(2, 0, 1), dtype=np.float32)


def load_linear(path, cache_dir, colorspace=None, downscale=1):
    """[3, H, W] float32 linear RGB of one image, area-downscaled by `downscale`."""
    st = os.stat(path)
    key = hashlib.sha1(("%s|%d|%d|%s|%d" % (os.path.abspath(path), st.st_size, st.st_mtime_ns,
                                             colorspace, downscale)).encode()).hexdigest()[:20]
    cached = os.path.join(cache_dir, key + ".fits")
    if not os.path.isfile(cached):
        w, h, channels, pixel_type = _info(path)
        space = colorspace or ("linear" if _is_float(pixel_type) else "sRGB")
        # oiiotool's FITS writer aborts on some embedded ICC profiles; the conversion below is
        # explicit, so the profile is not needed.
        cmd = ["oiiotool", path, "--eraseattrib", "ICCProfile.*", "--ch", "R,G,B" if channels >= 3 else "0,0,0",
               "-d", "float"]
        if space.lower() != "linear":
            cmd += ["--colorconvert", space, "linear"]
        if downscale > 1:
            cmd += ["--resize:filter=box", "%dx%d" % (max(1, w // downscale), max(1, h // downscale))]
        os.makedirs(cache_dir, exist_ok=True)
        tmp = cached[:-len(".fits")] + ".%d.tmp.fits" % os.getpid()
        r = subprocess.run(cmd + ["-o", tmp], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if r.returncode != 0:
            raise ValueError("cannot convert %s: %s" % (path, r.stdout.strip()))
        os.replace(tmp, cached)
    return read_fits(cached)
