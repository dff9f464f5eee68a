"""Test helpers of the symbol writer: turning its PNG and SVG output back into
module matrices and pixel arrays, and reading symbols with zxing-cpp's
reader (its reader only)."""

import re
import struct
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def png_chunks(data):
    """[(kind, body)] of a PNG, checking every chunk's CRC."""
    assert data[:8] == PNG_SIGNATURE
    chunks, position = [], 8
    while position < len(data):
        (length,) = struct.unpack(">I", data[position:position + 4])
        kind = data[position + 4:position + 8]
        body = data[position + 8:position + 8 + length]
        (crc,) = struct.unpack(">I", data[position + 8 + length:position + 12 + length])
        assert crc == zlib.crc32(kind + body), kind
        chunks.append((kind, body))
        position += 12 + length
    assert position == len(data) and chunks[-1] == (b"IEND", b"")
    return chunks


def png_pixels(data):
    """The PNG as rows of RGBA tuples (1-bit grayscale or palette images)."""
    chunks = png_chunks(data)
    width, height, depth, color_type, compression, filtering, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    assert chunks[0][0] == b"IHDR" and depth == 1 and (compression, filtering, interlace) == (0, 0, 0)
    found = dict(chunks)
    if color_type == 0:
        palette = [(0, 0, 0, 255), (255, 255, 255, 255)]
    else:
        assert color_type == 3
        entries = found[b"PLTE"]
        alpha = found.get(b"tRNS", b"")
        palette = [tuple(entries[3 * i:3 * i + 3]) + ((alpha[i] if i < len(alpha) else 255),) for i in range(2)]
    raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
    row_bytes = 1 + (width + 7) // 8
    assert len(raw) == row_bytes * height
    rows, previous = [], bytes(row_bytes - 1)
    for y in range(height):
        line = raw[y * row_bytes:(y + 1) * row_bytes]
        assert line[0] in (0, 2)  # the writer uses None and Up only
        if line[0] == 2:
            line = b"\x02" + bytes((a + b) & 0xFF for a, b in zip(line[1:], previous))
        previous = line[1:]
        rows.append([palette[(line[1 + x // 8] >> (7 - x % 8)) & 1] for x in range(width)])
    return rows


def png_gray(data):
    """The PNG as a numpy array of 0 (dark) and 255 (light), for the reader."""
    import numpy as np

    pixels = png_pixels(data)
    return np.array([[0 if p[:3] == (0, 0, 0) else 255 for p in row] for row in pixels], dtype=np.uint8)


_SVG_RUN = re.compile(r"M(\d+) (\d+)h(\d+)v1h-(\d+)z")


def svg_modules(document):
    """(side, set of dark (x, y) cells) of one of our SVG documents, parsed
    from its viewBox and the runs of its path."""
    side = int(re.search(r'viewBox="0 0 (\d+) (\d+)"', document).group(1))
    path = re.search(r'<path fill="[^"]+" d="([^"]*)"', document).group(1)
    dark = set()
    consumed = 0
    for match in _SVG_RUN.finditer(path):
        x, y, width, back = map(int, match.groups())
        assert width == back
        dark.update((x + i, y) for i in range(width))
        consumed += len(match.group(0))
    assert consumed == len(path), "the path holds only runs"
    return side, dark


def svg_gray(document, scale=4):
    """Rasterises one of our SVG documents at `scale` pixels a module."""
    import numpy as np

    side, dark = svg_modules(document)
    image = np.full((side, side), 255, dtype=np.uint8)
    for x, y in dark:
        image[y, x] = 0
    return np.kron(image, np.ones((scale, scale), dtype=np.uint8))


def modules_gray(modules, size, scale=3, border=2):
    """A pixel array of modules (bytes, 1 = dark, row by row), drawn by the
    test itself."""
    import numpy as np

    matrix = np.frombuffer(bytes(modules), dtype=np.uint8).reshape(size, size)
    image = np.where(matrix == 1, 0, 255).astype(np.uint8)
    image = np.pad(image, border, constant_values=255)
    return np.kron(image, np.ones((scale, scale), dtype=np.uint8))


def decode_half_blocks(text, border):
    """Module rows (lists of bools) of a half-block drawing, border cut off."""
    rows = []
    for line in text.split("\n"):
        rows.append([c in "\u2580\u2588" for c in line])
        rows.append([c in "\u2584\u2588" for c in line])
    return [row[border:len(row) - border] for row in rows[border:]]


def read(image):
    """What zxing-cpp's reader finds: (bytes, eci or None), or None."""
    import zxingcpp

    formats = zxingcpp.BarcodeFormat.Aztec
    found = zxingcpp.read_barcodes(image, formats=formats, text_mode=zxingcpp.TextMode.HexECI)
    if not found:
        return None
    assert len(found) == 1
    return parse_hex_eci(found[0].text)


def parse_hex_eci(text):
    """(bytes, first ECI or None) from the reader's HexECI text: the
    symbology identifier, then the data with each ECI as a backslash and
    six digits and each data backslash doubled."""
    raw = bytes.fromhex(text.replace(" ", ""))
    assert raw[:2] == b"]z", raw[:3]
    if raw[2:3] == b"0" or raw[2:3] == b"":
        return raw[3:], None
    out, eci, i = bytearray(), None, 3
    while i < len(raw):
        if raw[i:i + 1] == b"\\":
            if raw[i + 1:i + 2] == b"\\":
                out.append(0x5C)
                i += 2
                continue
            number = int(raw[i + 1:i + 7])
            eci = number if eci is None else eci
            i += 7
            continue
        out.append(raw[i])
        i += 1
    return bytes(out), eci


# Real renderers: each turns a saved picture into a Pillow image ("L", dark
# low) the way a person would see it, or skips the test when the tool is
# missing from this machine (CI installs them all).

def _tool(name):
    import shutil

    import pytest

    path = shutil.which(name)
    if path is None:
        pytest.skip(f"{name} is not installed (Debian: see .ci/run)")
    return path


def _run(command, **kwargs):
    import os
    import subprocess

    # The renderers are not our code: under the sanitizer run they must not
    # inherit its preloaded runtimes (Chromium hangs with them).
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    return subprocess.run(command, check=True, capture_output=True, timeout=120, env=env, **kwargs).stdout


def on_white(image, margin=8):
    """A Pillow image flattened onto white paper with a white margin (a
    picture drawn with border=0 still has room around it), in grey levels."""
    from PIL import Image, ImageOps

    rgba = image.convert("RGBA")
    paper = Image.new("RGBA", rgba.size, (255, 255, 255, 255))
    return ImageOps.expand(Image.alpha_composite(paper, rgba).convert("L"), margin, fill=255)


def render(path, kind, renderer=None):
    """The picture at ``path`` drawn by a real renderer: poppler for PDF,
    Ghostscript for EPS, librsvg (or headless Chromium) for SVG and SVGZ,
    netpbm for PAM and XBM, Pillow for the other raster kinds."""
    import io

    from PIL import Image

    path = str(path)
    if kind == "pdf":
        data = _run([_tool("pdftoppm"), "-r", "144", "-png", "-singlefile", path])
    elif kind == "eps":
        data = _run([_tool("gs"), "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=png16m", "-r144",
                     "-dEPSCrop", "-sOutputFile=-", path])
    elif kind in ("svg", "svgz") and renderer == "chromium":
        return _chromium(path)
    elif kind in ("svg", "svgz"):
        data = _run([_tool("rsvg-convert"), path])
    elif kind == "pam":
        data = _run([_tool("pamtopng"), path])
    elif kind == "xbm":  # netpbm keeps X11's meaning of a set bit (ink); Pillow reads it as white
        data = _run([_tool("xbmtopbm"), path])
    elif kind in ("png", "pbm", "ppm", "xpm"):
        data = open(path, "rb").read()
    else:
        raise AssertionError(f"no renderer for {kind}")
    image = Image.open(io.BytesIO(data))
    image.load()
    return on_white(image)


def _chromium(path):
    import os
    import tempfile

    from PIL import Image

    browser = _tool("chromium")
    with tempfile.TemporaryDirectory() as folder:
        shot = os.path.join(folder, "shot.png")
        _run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
              "--force-device-scale-factor=1", "--window-size=800,800", f"--screenshot={shot}",
              "file://" + os.path.abspath(path)], stdin=open(os.devnull, "rb"))
        image = Image.open(shot)
        image.load()
    return on_white(image)


def png_resolution(data):
    """Pixels a metre (x, y) from a PNG's pHYs chunk, or None."""
    for kind, body in png_chunks(data):
        if kind == b"pHYs":
            x, y, unit = struct.unpack(">IIB", body)
            assert unit == 1
            return x, y
    return None


def pdf_media_box(data):
    """The single page's MediaBox of a PDF, as floats."""
    boxes = re.findall(rb"/MediaBox\s*\[\s*([-\d.\s]+)\]", data)
    assert len(boxes) == 1 and data.count(b"/Type /Page ") == 1
    return [float(v) for v in boxes[0].split()]


def tikz_modules(document):
    """(side, dark cells) of one of our TikZ pictures, from its rectangles."""
    side = int(re.search(r"rectangle \((\d+),\d+\);", document).group(1)) if "aztecLight" in document else None
    dark = set()
    for x, y, width in re.findall(r"\((\d+),(\d+)\) rectangle \+\((\d+),1\)", document):
        dark.update((int(x) + i, int(y)) for i in range(int(width)))
    return side, dark


def sampled_modules(image, side, margin=8):
    """The module grid of a rendered picture of ``side`` modules (border
    included), read at each module's centre: rows of bools, True dark."""
    width = image.size[0] - 2 * margin
    step = width / side
    pixels = image.load()
    return [tuple(pixels[margin + int((x + 0.5) * step), margin + int((y + 0.5) * step)] < 128 for x in range(side))
            for y in range(side)]


def zpl_dots(label):
    """The dots a ZPL label of ours prints, as a numpy array (1 dark) from
    the label's top left, rebuilt from its ^LH home and each ^FO ... ^GFA
    field: the counts checked against the hex data, every row of whole
    bytes.  Returns (dots, [(x, y) of each field])."""
    import numpy as np

    body = label.strip()
    assert body.startswith("^XA") and body.endswith("^XZ") and body.count("^XA") == 1
    home = re.search(r"\^LH(\d+),(\d+)", body)
    home_x, home_y = (int(home.group(1)), int(home.group(2))) if home else (0, 0)
    fields = re.findall(r"\^FO(\d+),(\d+)\^GFA,(\d+),(\d+),(\d+),([0-9A-Za-z,:!]*)\^FS", body)
    assert fields and len(fields) == body.count("^GF")
    placed = []
    for x, y, total, count, width, data in fields:
        x, y, total, count, width = map(int, (x, y, total, count, width))
        data = _zpl_expanded(data, width)
        assert total == count == len(data) // 2 and total % width == 0
        bits = np.unpackbits(np.frombuffer(bytes.fromhex(data), dtype=np.uint8)).reshape(total // width, width * 8)
        placed.append((home_x + x, home_y + y, bits))
    right = max(x + bits.shape[1] for x, _, bits in placed)
    bottom = max(y + bits.shape[0] for _, y, bits in placed)
    dots = np.zeros((bottom, right), dtype=np.uint8)
    for x, y, bits in placed:
        dots[y:y + bits.shape[0], x:x + bits.shape[1]] |= bits
    return dots, [(x, y) for x, y, _ in placed]


def _zpl_expanded(data, width):
    """The plain hex of a ^GFA field's data, undoing ZPL's ASCII compression
    (G-Y count 1-19 and g-z 20-400 of the next digit, summed; "," fills the
    row with 0 and "!" with F; ":" repeats the row before)."""
    if re.fullmatch(r"[0-9A-F]*", data):
        return data
    chars, rows, row, count = 2 * width, [], "", 0
    for c in data:
        if "G" <= c <= "Y":
            count += ord(c) - ord("G") + 1
        elif "g" <= c <= "z":
            count += (ord(c) - ord("g") + 1) * 20
        elif c == ":":
            assert row == "" and count == 0 and rows
            rows.append(rows[-1])
        elif c in ",!":
            assert count == 0
            row += ("0" if c == "," else "F") * (chars - len(row))
        else:
            assert c in "0123456789ABCDEF"
            row += c * max(count, 1)
            count = 0
        assert len(row) <= chars, "a count ran past the end of a row"
        if len(row) == chars:
            rows.append(row)
            row = ""
    assert row == "" and count == 0
    return "".join(rows)
