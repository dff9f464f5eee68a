"""Pictures to grey levels: the PNG, netpbm and SVG files this package
writes (and any PNG or netpbm file), Pillow for any other format.

Every reader returns the picture as rows of grey levels (bytes, 0 black to
255 white), transparent pixels laid on white paper as a viewer shows them.
"""

from __future__ import annotations

import gzip
import re
import struct
import zlib
from typing import Callable, Dict, List, Optional, Tuple

from ..errors import AztecError

__all__ = ["grey_rows"]

Rows = List[bytes]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
#: The most pixels a picture may have: checked from its header, before its
#: pixels are decompressed or allocated.
MAX_PIXELS = 1 << 26


def grey_rows(data: bytes) -> Rows:
    """The picture in ``data`` as rows of grey levels; AztecError when it
    is no picture this package can read."""
    try:
        return _grey_rows(data)
    except AztecError:
        raise
    except (ValueError, IndexError, KeyError, struct.error, EOFError) as error:
        # A malformed file: a header field that is not a number, a length
        # past the end...
        raise AztecError(f"the picture cannot be read: it is damaged or not well formed ({error})") from None


def _check_pixels(width: int, height: int) -> None:
    if width < 1 or height < 1 or width * height > MAX_PIXELS:
        raise AztecError(f"the picture's size {width}x{height} is out of range: read() takes 1 to "
                         f"{MAX_PIXELS} pixels")


def _grey_rows(data: bytes) -> Rows:
    if data.startswith(PNG_SIGNATURE):
        return _png(data)
    if data[:2] in (b"P1", b"P2", b"P3", b"P4", b"P5", b"P6", b"P7"):
        return _netpbm(data)
    if data[:2] == b"\x1f\x8b":
        try:
            data = gzip.decompress(data)
        except (OSError, EOFError, zlib.error) as error:
            raise AztecError(f"the gzip-compressed picture cannot be read: {error}") from None
    head = data[:512].lstrip()
    if head.startswith((b"<?xml", b"<svg")):
        return _svg(data)
    return _pillow(data)


def _grey(r: int, g: int, b: int, alpha: int = 255) -> int:
    """A colour's grey level (its luma), laid on white."""
    level = (299 * r + 587 * g + 114 * b + 500) // 1000
    return (level * alpha + 255 * (255 - alpha) + 127) // 255


def _cached(convert: Callable[[bytes], bytes]) -> Callable[[bytes], bytes]:
    """``convert`` computed once per distinct row: a picture's rows repeat
    each module's height."""
    seen: Dict[bytes, bytes] = {}

    def rows(row: bytes) -> bytes:
        found = seen.get(row)
        if found is None:
            found = seen[row] = convert(row)
        return found
    return rows


def _pixels_to_grey(depth: int, maxval: int, has_alpha: bool) -> Callable[[bytes], bytes]:
    """A converter of rows of 8-bit samples, ``depth`` a pixel (grey, grey
    and alpha, RGB, RGBA), to grey levels."""
    def convert(row: bytes) -> bytes:
        if maxval != 255:
            row = bytes(min(255, (v * 255 + maxval // 2) // maxval) for v in row)
        out = bytearray(len(row) // depth)
        colours: Dict[bytes, int] = {}
        for i in range(len(out)):
            pixel = row[i * depth:(i + 1) * depth]
            level = colours.get(pixel)
            if level is None:
                colour = pixel[:-1] if has_alpha else pixel
                alpha = pixel[-1] if has_alpha else 255
                rgb = tuple(colour) * 3 if len(colour) == 1 else tuple(colour)
                level = colours[pixel] = _grey(rgb[0], rgb[1], rgb[2], alpha)
            out[i] = level
        return bytes(out)
    return _cached(convert)


# --- PNG -------------------------------------------------------------------

def _png_chunks(data: bytes) -> Dict[bytes, bytes]:
    chunks: Dict[bytes, bytes] = {}
    position = 8
    while position + 12 <= len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        body = data[position + 8:position + 8 + length]
        if len(body) != length:
            break
        chunks[kind] = chunks.get(kind, b"") + body if kind == b"IDAT" else body
        position += 12 + length
        if kind == b"IEND":
            break
    return chunks


def _png(data: bytes) -> Rows:
    chunks = _png_chunks(data)
    header = chunks.get(b"IHDR", b"")
    if len(header) != 13 or b"IDAT" not in chunks:
        raise AztecError("the PNG file is cut short or has no image data")
    width, height, depth, colour_type, _, _, interlace = struct.unpack(">IIBBBBB", header)
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(colour_type)
    if channels is None or interlace != 0 or depth not in (1, 2, 4, 8, 16):
        return _pillow(data)
    _check_pixels(width, height)
    bits_a_pixel = depth * channels
    row_bytes = (width * bits_a_pixel + 7) // 8
    try:
        # No more than the pixels need: a compression bomb stops there.
        raw = zlib.decompressobj().decompress(chunks[b"IDAT"], (row_bytes + 1) * height)
    except zlib.error as error:
        raise AztecError(f"the PNG file's image data cannot be read: {error}") from None
    if len(raw) < (row_bytes + 1) * height:
        raise AztecError("the PNG file's image data is cut short")
    samples = _unfiltered(raw, row_bytes, height, max(1, bits_a_pixel // 8))
    levels = _png_levels(colour_type, depth, chunks)
    if levels is not None:  # grey or palette: a table of each byte's levels
        convert = _cached(_sample_levels(levels, depth, width))
    else:
        convert = _pixels_to_grey(channels, 255, colour_type in (4, 6))
        if depth == 16:
            samples = [row[0::2] for row in samples]
    return [convert(row) for row in samples]


def _png_levels(colour_type: int, depth: int, chunks: Dict[bytes, bytes]) -> Optional[List[int]]:
    """The grey level of each sample value of a grey or palette PNG, or
    None for the other colour types."""
    if colour_type == 0:
        top = (1 << depth) - 1
        return [v * 255 // top for v in range(top + 1)] if depth < 16 else None
    if colour_type != 3:
        return None
    palette, alpha = chunks.get(b"PLTE", b""), chunks.get(b"tRNS", b"")
    levels = []
    for i in range(len(palette) // 3):
        r, g, b = palette[3 * i:3 * i + 3]
        levels.append(_grey(r, g, b, alpha[i] if i < len(alpha) else 255))
    return levels + [255] * (256 - len(levels))


def _sample_levels(levels: List[int], depth: int, width: int) -> Callable[[bytes], bytes]:
    """A converter of rows of ``depth``-bit samples to their grey levels."""
    per_byte, mask = 8 // depth, (1 << depth) - 1
    table = [bytes(levels[(byte >> (8 - depth * (k + 1))) & mask] for k in range(per_byte)) for byte in range(256)]
    return lambda row: b"".join([table[byte] for byte in row])[:width]


def _unfiltered(raw: bytes, row_bytes: int, height: int, step: int) -> Rows:
    """The scanlines with PNG's five filters undone."""
    rows: Rows = []
    previous = bytearray(row_bytes)
    for y in range(height):
        start = y * (row_bytes + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + row_bytes])
        if kind == 1:
            for i in range(step, row_bytes):
                line[i] = (line[i] + line[i - step]) & 0xFF
        elif kind == 2:
            line = bytearray((a + b) & 0xFF for a, b in zip(line, previous))
        elif kind == 3:
            for i in range(row_bytes):
                left = line[i - step] if i >= step else 0
                line[i] = (line[i] + (left + previous[i]) // 2) & 0xFF
        elif kind == 4:
            for i in range(row_bytes):
                a = line[i - step] if i >= step else 0
                b, c = previous[i], previous[i - step] if i >= step else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        elif kind != 0:
            raise AztecError(f"the PNG file has an unknown filter type {kind}")
        rows.append(bytes(line))
        previous = line
    return rows


# --- Netpbm (PBM, PGM, PPM, PAM) ---------------------------------------------

_TOKEN = re.compile(rb"(?:\s|#[^\n]*\n?)*([^\s#]+)")


def _netpbm(data: bytes) -> Rows:
    kind = data[:2]
    if kind == b"P7":
        return _pam(data)
    fields: List[int] = []
    position = 2
    wanted = 2 if kind in (b"P1", b"P4") else 3
    while len(fields) < wanted:
        match = _TOKEN.match(data, position)
        if match is None:
            raise AztecError(f"the {kind.decode()} file's header is cut short")
        fields.append(int(match.group(1)))
        position = match.end()
    width, height = fields[0], fields[1]
    _check_pixels(width, height)
    maxval = 1 if kind in (b"P1", b"P4") else fields[2]
    if not 0 < maxval < 65536:
        raise AztecError(f"the {kind.decode()} file's maximum value {maxval} is out of range")
    if kind in (b"P1", b"P2", b"P3"):  # plain: samples as decimal numbers
        samples = [int(v) for v in re.findall(rb"\d", data[position:])] if kind == b"P1" else \
            [int(v) for v in data[position:].split()]
        channels = 3 if kind == b"P3" else 1
        per_row = width * channels
        values = [bytes(min(v, 255) for v in samples[y * per_row:(y + 1) * per_row]) for y in range(height)]
        if kind == b"P1":
            return [bytes(0 if v else 255 for v in row) for row in values]
        return [_pixels_to_grey(channels, maxval, False)(row) for row in values]
    body = data[position + 1:]
    if kind == b"P4":
        row_bytes = (width + 7) // 8
        rows = [body[y * row_bytes:(y + 1) * row_bytes] for y in range(height)]
        convert = _cached(_sample_levels([255, 0], 1, width))
        return [convert(row) for row in rows]
    channels = 3 if kind == b"P6" else 1
    return _sample_rows(body, width, height, channels, maxval, False)


def _sample_rows(body: bytes, width: int, height: int, channels: int, maxval: int, alpha: bool) -> Rows:
    size = 2 if maxval > 255 else 1
    row_bytes = width * channels * size
    if len(body) < row_bytes * height:
        raise AztecError("the picture's pixels are cut short")
    convert = _pixels_to_grey(channels, maxval if size == 1 else maxval >> 8, alpha)
    rows = [body[y * row_bytes:(y + 1) * row_bytes] for y in range(height)]
    return [convert(row[0::2] if size == 2 else row) for row in rows]


def _pam(data: bytes) -> Rows:
    end = data.find(b"ENDHDR\n")
    if end < 0:
        raise AztecError("the PAM file's header has no ENDHDR")
    header: Dict[str, str] = {}
    for line in data[3:end].decode("ascii", "replace").splitlines():
        parts = line.split(None, 1)
        if parts and not parts[0].startswith("#"):
            header[parts[0]] = parts[1].strip() if len(parts) > 1 else ""
    try:
        width, height = int(header["WIDTH"]), int(header["HEIGHT"])
        depth, maxval = int(header["DEPTH"]), int(header["MAXVAL"])
    except (KeyError, ValueError):
        raise AztecError("the PAM file's header lacks WIDTH, HEIGHT, DEPTH or MAXVAL") from None
    _check_pixels(width, height)
    if not 0 < depth <= 4 or not 0 < maxval < 65536:
        raise AztecError(f"the PAM file's depth {depth} or maximum value {maxval} is out of range")
    body = data[end + len(b"ENDHDR\n"):]
    tupltype = header.get("TUPLTYPE", "")
    if tupltype.startswith("BLACKANDWHITE"):  # 1 is white there
        maxval = 1
    return _sample_rows(body, width, height, depth, maxval, depth in (2, 4))


# --- SVG ---------------------------------------------------------------------

_VIEW_BOX = re.compile(rb'viewBox="0 0 (\d+) (\d+)"')
_RECT_FILL = re.compile(rb'<rect width="\d+" height="\d+" fill="(#[0-9a-fA-F]+)"(?: fill-opacity="([\d.]+)")?')
_PATH = re.compile(rb'<path[^>]* fill="(#[0-9a-fA-F]+)"(?: fill-opacity="([\d.]+)")? d="([^"]*)"')
_RUN = re.compile(rb"M(\d+) (\d+)h(\d+)v1h-\d+z")


def _svg(data: bytes) -> Rows:
    """An SVG document as this package writes it: a viewBox of one unit a
    module, a background rectangle, and one path of runs of dark modules.
    One pixel a module."""
    box, path = _VIEW_BOX.search(data), _PATH.search(data)
    if box is None or path is None:
        raise AztecError("the SVG document is not one this package wrote (a viewBox in modules and one path of "
                         "module runs); convert it to PNG to read it")
    width, height = int(box.group(1)), int(box.group(2))
    _check_pixels(width, height)
    rect = _RECT_FILL.search(data)
    light = _svg_grey(rect.group(1), rect.group(2)) if rect else 255
    dark = _svg_grey(path.group(1), path.group(2))
    rows = [bytearray([light]) * width for _ in range(height)]
    for x, y, run in _RUN.findall(path.group(3)):
        x, y, run = int(x), int(y), int(run)
        if y < height:
            rows[y][x:x + run] = bytes([dark]) * len(rows[y][x:x + run])
    return [bytes(row) for row in rows]


def _svg_grey(colour: bytes, opacity: object) -> int:
    digits = colour[1:].decode()
    if len(digits) in (3, 4):
        digits = "".join(c * 2 for c in digits)
    r, g, b = (int(digits[i:i + 2], 16) for i in (0, 2, 4))
    alpha = int(digits[6:8], 16) if len(digits) == 8 else 255
    if opacity:
        alpha = round(alpha * float(opacity))  # type: ignore[arg-type]
    return _grey(r, g, b, alpha)


# --- Anything else -------------------------------------------------------------

def _pillow(data: bytes) -> Rows:
    try:
        import io

        from PIL import Image
    except ImportError:
        raise AztecError("the picture is not PNG, netpbm or SVG; reading other formats needs Pillow: "
                         "pip install Pillow") from None
    try:
        image = Image.open(io.BytesIO(data))
        image.load()
    except Exception as error:  # noqa: BLE001 - Pillow raises many kinds
        raise AztecError(f"the picture cannot be read: {error}") from None
    return pillow_rows(image)


def pillow_rows(image: object) -> Rows:
    """A Pillow image as grey rows, transparency laid on white."""
    from PIL import Image

    rgba = image.convert("RGBA")  # type: ignore[attr-defined]
    paper = Image.new("RGBA", rgba.size, (255, 255, 255, 255))
    grey = Image.alpha_composite(paper, rgba).convert("L")
    width, height = grey.size
    pixels = grey.tobytes()
    return [pixels[y * width:(y + 1) * width] for y in range(height)]
