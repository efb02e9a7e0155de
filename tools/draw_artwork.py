#!/usr/bin/env python3
"""Draws Tolvane's artwork into ui/artwork: the four cursor-key arrows and the window icon.

    tools/draw_artwork.py             write the files
    tools/draw_artwork.py --out DIR   write them somewhere else
    tools/draw_artwork.py --check     redraw in memory, compare with ui/artwork

Standard library only. The drawing uses nothing but arithmetic and square roots (both
correctly rounded in IEEE floating point) and the PNGs carry no time stamps, so two runs
give byte-identical files.
"""

import argparse
import math
import pathlib
import re
import struct
import sys
import zlib

ROOT = pathlib.Path(__file__).resolve().parent.parent
ART_DIR = ROOT / "ui" / "artwork"
QRC = ART_DIR / "artwork.qrc"

# From the classic 16-colour palette: the arrows use nothing else.
BLACK = (0x00, 0x00, 0x00, 0xFF)
DARK_GREY = (0x80, 0x80, 0x80, 0xFF)
CLEAR = (0, 0, 0, 0)

ICON_SIZES = (16, 32, 48, 64, 128, 256)
ICON_UNITS = 256  # the icon is designed on a 256 x 256 canvas; 16 units = 1 px at 16 px
SUPERSAMPLE = 4  # samples per pixel along each axis


# ---------------------------------------------------------------- PNG


def png_bytes(width, height, rgba_rows):
    """8-bit RGBA PNG with no ancillary chunks, so nothing varies between runs."""

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    raw = bytearray()
    for row in rgba_rows:
        raw.append(0)  # filter: none
        for pixel in row:
            raw.extend(pixel)
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def png_pixels(data):
    """Size and raw scanlines of a PNG written by png_bytes (used to explain a --check miss)."""
    width, height = struct.unpack(">II", data[16:24])
    idat, pos = b"", 8
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        if data[pos + 4:pos + 8] == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += length + 12
    return width, height, zlib.decompress(idat)


# ---------------------------------------------------------------- arrows


def arrow_up_mask(box, tip_half, head_rows, shaft_half, top):
    """Block arrow pointing up in a box x box grid, symmetric about the box's centre line.

    The head is a 45-degree triangle (one pixel wider on each side per row), the shaft a bar
    running down from under the head to the bottom margin, as far from the edge as the tip is.
    """
    centre = box / 2
    bottom = box - 1 - top
    mask = [[False] * box for _ in range(box)]
    for y in range(top, bottom + 1):
        half = tip_half + (y - top) if y < top + head_rows else shaft_half
        for x in range(box):
            mask[y][x] = abs(x + 0.5 - centre) < half
    return mask


def rotate_cw(mask):
    """Quarter turn clockwise on screen: a pixel at (x, y) moves to (n-1-y, x)."""
    n = len(mask)
    return [[mask[n - 1 - x][y] for x in range(n)] for y in range(n)]


def arrow_image(size, mask, shadow_offset):
    """Black arrow over a dotted dark-grey copy of itself, shifted down-right."""

    def inside(x, y):
        return 0 <= x < len(mask) and 0 <= y < len(mask) and mask[y][x]

    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            if inside(x, y):
                row.append(BLACK)
            elif inside(x - shadow_offset, y - shadow_offset) and (x + y) % 2 == 0:
                row.append(DARK_GREY)
            else:
                row.append(CLEAR)
        rows.append(row)
    return rows


def arrow_files():
    # At 32 px: a 30-px box leaves room for the 2-px shadow, and arrow plus shadow sit with
    # a 2-px margin all round. At 16 px the box is odd so the tip is a single pixel. The 64-px
    # arrow is for screens at twice the scale: the same shape, drawn at that size rather than
    # doubled, so its slopes step one pixel a row.
    shapes = {
        64: (arrow_up_mask(60, tip_half=2, head_rows=26, shaft_half=12, top=4), 4),
        32: (arrow_up_mask(30, tip_half=1, head_rows=13, shaft_half=6, top=2), 2),
        16: (arrow_up_mask(15, tip_half=0.5, head_rows=7, shaft_half=2.5, top=1), 1),
    }
    files = {}
    for size, (mask, offset) in shapes.items():
        for direction in ("up", "right", "down", "left"):
            files[f"arrow_{direction}_{size}.png"] = png_bytes(size, size,
                                                               arrow_image(size, mask, offset))
            mask = rotate_cw(mask)
    return files


# ---------------------------------------------------------------- window icon
#
# A video projector seen from the front, its lens throwing a beam up to the right.
# Every shape is convex, listed back to front; the SVG and the PNGs come from this one list.
# Geometry in canvas units: polygon [(x, y), ...], rect (x, y, width, height, corner radius),
# circle (cx, cy, r). Edges sit on multiples of 16 where they can, so they stay crisp at 16 px.

BEAM = (0xFF, 0xD8, 0x4D)
BEAM_CORE = (0xFF, 0xF1, 0xB0)
BODY = (0x2B, 0x3A, 0x4F)
BODY_TOP = (0x46, 0x5C, 0x78)
SHADE = (0x1A, 0x24, 0x33)
RING = (0xD9, 0xDE, 0xE4)
GLASS = (0x1F, 0x6F, 0xB2)
GLINT = (0xBF, 0xE3, 0xFF)

LENS_X, LENS_Y = 144, 160

ICON_SHAPES = [
    ("polygon", BEAM, [(LENS_X, LENS_Y), (176, 0), (256, 0), (256, 80)]),
    ("polygon", BEAM_CORE, [(LENS_X, LENS_Y), (216, 0), (256, 0), (256, 40)]),
    ("rect", SHADE, (48, 192, 32, 48, 8)),  # feet, mostly hidden behind the body
    ("rect", SHADE, (144, 192, 32, 48, 8)),
    ("rect", BODY, (16, 112, 192, 112, 24)),
    ("rect", BODY_TOP, (16, 112, 192, 32, 16)),
    ("rect", BODY, (16, 128, 192, 16, 0)),  # squares off the band's lower corners
    ("rect", SHADE, (48, 160, 48, 16, 8)),  # vents
    ("rect", SHADE, (48, 192, 48, 16, 8)),
    ("circle", RING, (LENS_X, LENS_Y, 48)),
    ("circle", GLASS, (LENS_X, LENS_Y, 32)),
    ("circle", GLINT, (LENS_X - 12, LENS_Y - 12, 9)),
]


def icon_svg():
    lines = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{ICON_UNITS}" '
             f'height="{ICON_UNITS}" viewBox="0 0 {ICON_UNITS} {ICON_UNITS}">',
             "  <title>Tolvane</title>"]
    for kind, rgb, geometry in ICON_SHAPES:
        fill = "#%02x%02x%02x" % rgb
        if kind == "polygon":
            points = " ".join(f"{x},{y}" for x, y in geometry)
            lines.append(f'  <polygon points="{points}" fill="{fill}"/>')
        elif kind == "rect":
            x, y, w, h, r = geometry
            lines.append(f'  <rect x="{x}" y="{y}" width="{w}" height="{h}" rx="{r}" '
                         f'fill="{fill}"/>')
        else:
            cx, cy, r = geometry
            lines.append(f'  <circle cx="{cx}" cy="{cy}" r="{r}" fill="{fill}"/>')
    lines.append("</svg>")
    return ("\n".join(lines) + "\n").encode()


def span(kind, geometry, y):
    """Horizontal extent [left, right] of a convex shape on the line y, or None."""
    if kind == "polygon":
        xs = []
        for (x0, y0), (x1, y1) in zip(geometry, geometry[1:] + geometry[:1]):
            if (y0 <= y <= y1 or y1 <= y <= y0) and y0 != y1:
                xs.append(x0 + (x1 - x0) * (y - y0) / (y1 - y0))
        return (min(xs), max(xs)) if xs else None
    if kind == "circle":
        cx, cy, r = geometry
        if abs(y - cy) > r:
            return None
        half = math.sqrt(r * r - (y - cy) ** 2)
        return cx - half, cx + half
    x, top, w, h, r = geometry
    if not top <= y <= top + h:
        return None
    dy = max(top + r - y, y - (top + h - r), 0)  # depth into a corner band
    inset = r - math.sqrt(r * r - dy * dy)
    return x + inset, x + w - inset


def icon_png(size):
    """Rasterises ICON_SHAPES with SUPERSAMPLE x SUPERSAMPLE samples per pixel."""
    samples = size * SUPERSAMPLE
    scale = ICON_UNITS / samples
    # Premultiplied sums per pixel: r, g, b, a.
    acc = [[0] * (4 * size) for _ in range(size)]
    for sy in range(samples):
        y = (sy + 0.5) * scale
        line = [None] * samples
        for kind, rgb, geometry in ICON_SHAPES:
            extent = span(kind, geometry, y)
            if extent is None:
                continue
            first = max(0, math.ceil(extent[0] / scale - 0.5))
            last = min(samples - 1, math.floor(extent[1] / scale - 0.5))
            if first <= last:
                line[first:last + 1] = [rgb] * (last - first + 1)
        row = acc[sy // SUPERSAMPLE]
        for sx, rgb in enumerate(line):
            if rgb is not None:
                i = 4 * (sx // SUPERSAMPLE)
                for c in range(3):
                    row[i + c] += rgb[c]
                row[i + 3] += 1
    n = SUPERSAMPLE * SUPERSAMPLE
    rows = []
    for row in acc:
        pixels = []
        for i in range(0, len(row), 4):
            hits = row[i + 3]
            if hits == 0:
                pixels.append(CLEAR)
            else:  # straight (not premultiplied) colour, rounded half up
                pixels.append(tuple((row[i + c] * 2 + hits) // (2 * hits) for c in range(3)) +
                              ((hits * 255 * 2 + n) // (2 * n),))
        rows.append(pixels)
    return png_bytes(size, size, rows)


def icon_files():
    files = {"tolvane.svg": icon_svg()}
    for size in ICON_SIZES:
        files[f"tolvane_{size}.png"] = icon_png(size)
    return files


# ---------------------------------------------------------------- main


def check(files):
    """Compares a fresh drawing with ui/artwork and the resource list; returns the faults."""
    faults = []
    for name, fresh in sorted(files.items()):
        committed_path = ART_DIR / name
        if not committed_path.is_file():
            faults.append(f"{name}: missing from {ART_DIR}")
            continue
        committed = committed_path.read_bytes()
        if fresh == committed:
            continue
        why = "differs"
        if name.endswith(".png"):
            try:
                same = png_pixels(fresh) == png_pixels(committed)
            except (struct.error, zlib.error, IndexError):
                same = False
            why = ("same pixels, different compression (zlib %s)" % zlib.ZLIB_RUNTIME_VERSION
                   if same else "pixels differ")
        faults.append(f"{name}: {why}")
    # The program carries only the pictures it shows; each must be one the script draws.
    qrc = QRC.read_text() if QRC.is_file() else ""
    listed = re.findall(r"<file>([^<]+)</file>", qrc)
    if not listed:
        faults.append(f"{QRC.name}: lists no files")
    faults += [f"{name}: listed in {QRC.name} but not drawn" for name in listed
               if name not in files]
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--out", type=pathlib.Path, default=ART_DIR, help="folder to write to")
    mode.add_argument("--check", action="store_true",
                      help="compare a fresh drawing with the files in ui/artwork")
    args = parser.parse_args()

    files = {**arrow_files(), **icon_files()}
    if args.check:
        faults = check(files)
        for fault in faults:
            print(f"draw_artwork: {fault}", file=sys.stderr)
        if faults:
            print("draw_artwork: run tools/draw_artwork.py and commit the result", file=sys.stderr)
            return 1
        print(f"draw_artwork: {len(files)} files match")
        return 0
    if args.out.exists() and not args.out.is_dir():
        parser.error(f"--out {args.out}: not a folder")
    args.out.mkdir(parents=True, exist_ok=True)
    for name, data in files.items():
        (args.out / name).write_bytes(data)
    print(f"draw_artwork: wrote {len(files)} files to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
