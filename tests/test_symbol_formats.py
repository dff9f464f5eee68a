"""Every picture kind, as a person would see it: saved, drawn by a real
renderer (poppler, Ghostscript, librsvg, Chromium, netpbm, Pillow) and read
back by zxing-cpp; print sizes read back from the files themselves."""

import math
import random
import re

import pytest

import quillbank.aztec as aztec
from symbol_pictures import modules_gray, pdf_media_box, png_resolution, read, render, sampled_modules, tikz_modules

_random = random.Random(13)
MESSAGES = [b"Hello, world", bytes(range(256))[:150]] + [
    bytes(_random.randrange(256) for _ in range(_random.randrange(1, 300))) for _ in range(3)]
RENDERED_KINDS = ["svg", "svgz", "png", "eps", "pdf", "pbm", "pam", "ppm", "xbm", "xpm"]


@pytest.mark.parametrize("message", MESSAGES, ids=lambda m: f"{len(m)}B")
@pytest.mark.parametrize("kind", RENDERED_KINDS)
def test_every_kind_reads_back_through_a_renderer(tmp_path, kind, message):
    symbol = aztec.make(message, compact=False if len(message) == 150 else None)
    path = tmp_path / f"symbol.{kind}"
    symbol.save(path)
    image = render(path, kind)
    assert read(image) == (message, None)
    assert sampled_modules(image, symbol.size + 4) == list(symbol.matrix_iter(border=2))  # not mirrored, exact


@pytest.mark.parametrize("message", MESSAGES[::2], ids=lambda m: f"{len(m)}B")
def test_svg_reads_back_through_chromium(tmp_path, message):
    path = tmp_path / "symbol.svg"
    aztec.make(message).save(path, module_size="2mm", dark="#000000e0", light="lightyellow")
    assert read(render(path, "svg", renderer="chromium")) == (message, None)


@pytest.mark.parametrize("message", MESSAGES[:3], ids=lambda m: f"{len(m)}B")
def test_text_kinds_hold_exactly_the_modules(tmp_path, message):
    symbol = aztec.make(message)
    symbol.save(tmp_path / "a.txt", border=1)
    rows = (tmp_path / "a.txt").read_text().splitlines()
    assert rows == ["".join("1" if dark else "0" for dark in row) for row in symbol.matrix_iter(border=1)]
    drawn = bytes(int(c) for row in rows[1:-1] for c in row[1:-1])
    assert read(modules_gray(drawn, symbol.size)) == (message, None)
    symbol.save(tmp_path / "a.tex", border=3, module_size="1mm")
    side, dark = tikz_modules((tmp_path / "a.tex").read_text())
    size = symbol.size
    assert side == size + 6
    assert dark == {(x + 3, y + 3) for y in range(size) for x in range(size) if symbol.modules[y * size + x]}
    # 1 mm is 72 / 25.4 PostScript points, TeX's bp (TeX's pt is smaller).
    assert "x=2.834646bp,y=-2.834646bp" in (tmp_path / "a.tex").read_text()


OPTION_CASES = [
    ("svg", dict(scale=2.5, border=0, dark="navy", light="#ffffc0", title="A & B", desc="<d>", svgclass="c",
                 lineclass="l", xmldecl=False)),
    ("svg", dict(unit="mm", module_size=1.2, light=None, dark="#000000cc")),
    ("svg", dict(module_size="0.05in", unit="pt", dark=(20, 20, 60, 0.9), light="transparent")),
    ("svgz", dict(scale=3, dark=(20, 20, 60), light="WhiteSmoke")),
    ("png", dict(scale=2, border=1, dark="#123", light=(250, 240, 230, 255))),
    ("png", dict(dark="darkgreen", light=None, dpi=300, module_size="0.5mm")),
    ("png", dict(dark="#000a", light="#fff0", scale=3)),
    ("pdf", dict(module_size="1mm", dark="maroon", light="ivory")),
    ("pdf", dict(scale=2.5, unit="px", light=None, border=5)),
    ("eps", dict(module_size=0.06, unit="in", dark="#336", light=None)),
    ("eps", dict(scale=3.3, border=0)),
    ("pam", dict(dark=(0, 0, 90, 255), light=None, border=0)),
    ("pam", dict(dark="#00000099", light="#ffff")),
    ("ppm", dict(dark="rebeccapurple", light="lightyellow", scale=5)),
    ("xpm", dict(dark="#204", light=None, module_size="4px")),
    ("pbm", dict(module_size="0.5mm", dpi=200, border=4)),
    ("xbm", dict(scale=2, border=3)),
]


@pytest.mark.parametrize("kind,options", OPTION_CASES, ids=lambda c: c if isinstance(c, str) else "")
def test_option_combinations_read_back(tmp_path, kind, options):
    message = MESSAGES[sum(map(len, options)) % len(MESSAGES)]  # a different message for most cases
    path = tmp_path / f"symbol.{kind}"
    symbol = aztec.make(message)
    symbol.save(path, **options)
    image = render(path, kind)
    assert read(image) == (message, None)
    border = options.get("border", 2)
    assert sampled_modules(image, symbol.size + 2 * border) == list(symbol.matrix_iter(border=border))


def test_print_sizes_read_back_from_the_files(tmp_path):
    symbol = aztec.make("Boarding pass 1234")
    side = symbol.size + 2 * 2

    png = symbol.png(module_size="0.5mm", dpi=300)
    per_metre = png_resolution(png)
    width = int.from_bytes(png[16:20], "big")
    assert per_metre == (11811, 11811) and width == side * 6  # 0.5 mm is 5.9 pixels at 300 dpi
    assert abs(width / per_metre[0] * 1000 / side - 0.5) <= 0.5 * 25.4 / 300  # within half a pixel

    svg = symbol.svg(module_size="0.5mm")
    assert f'width="{side * 0.5:g}mm" height="{side * 0.5:g}mm"' in svg
    inches = symbol.svg(module_size="0.5mm", unit="in")
    assert re.search(r'width="([\d.]+)in"', inches).group(1) == f"{side * 0.5 / 25.4:.6f}".rstrip("0")

    symbol.save(tmp_path / "a.pdf", module_size="0.5mm")
    box = pdf_media_box((tmp_path / "a.pdf").read_bytes())
    assert box[:2] == [0, 0] and box[2] == box[3] and abs(box[2] - side * 0.5 * 72 / 25.4) < 1e-4
    assert render(tmp_path / "a.pdf", "pdf").size[0] - 16 == math.ceil(box[2] * 2)  # drawn at 144 dpi

    symbol.save(tmp_path / "a.eps", scale=2.5)
    eps = (tmp_path / "a.eps").read_text()
    assert f"%%BoundingBox: 0 0 {math.ceil(side * 2.5)} {math.ceil(side * 2.5)}" in eps
    assert f"%%HiResBoundingBox: 0 0 {side * 2.5:g} {side * 2.5:g}" in eps
    assert render(tmp_path / "a.eps", "eps").size[0] - 16 == math.ceil(side * 2.5 * 2)  # cropped to the HiRes box


def test_smallest_png_encodings():
    symbol = aztec.make("PNG")
    from symbol_pictures import png_chunks

    def layout(**options):
        chunks = dict(png_chunks(symbol.png(**options)))
        return chunks[b"IHDR"][8:10], chunks.get(b"PLTE"), chunks.get(b"tRNS")

    assert layout() == (b"\x01\x00", None, None)  # 1-bit greyscale
    assert layout(dark="red") == (b"\x01\x03", b"\xff\xff\xff\xff\x00\x00", None)  # 1-bit, two entries
    assert layout(light=None)[2] == b"\x00"
    assert layout(dark="#00000080")[2] == b"\xff\x80"
