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
