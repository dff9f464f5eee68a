"""The pictures: PNG, SVG and terminal text show exactly the symbol's
modules, with the scale, border and colors asked for."""

import io

import pytest

import quillbank.aztec as aztec
from symbol_pictures import decode_half_blocks, png_chunks, png_pixels, svg_modules

SYMBOLS = [aztec.make("Pictures"), aztec.make(bytes(range(200)), compact=False), aztec.rune(42)]

BLACK, WHITE = (0, 0, 0, 255), (255, 255, 255, 255)


def expected_cells(symbol, border):
    size = symbol.size
    return {(x + border, y + border) for y in range(size) for x in range(size) if symbol.modules[y * size + x]}


@pytest.mark.parametrize("symbol", SYMBOLS)
@pytest.mark.parametrize("scale,border", [(1, 0), (3, 2), (4, 5)])
def test_png_pixels_are_the_modules(symbol, scale, border):
    pixels = png_pixels(symbol.png(scale=scale, border=border))
    side = symbol.size + 2 * border
    assert len(pixels) == side * scale and all(len(row) == side * scale for row in pixels)
    dark = expected_cells(symbol, border)
    for y, row in enumerate(pixels):
        for x, pixel in enumerate(row):
            assert pixel == (BLACK if (x // scale, y // scale) in dark else WHITE), (x, y)


def test_png_colors():
    symbol = SYMBOLS[0]
    plain = png_chunks(symbol.png())
    assert plain[0][1][9] == 0 and b"PLTE" not in dict(plain)  # black on white: grayscale
    pixels = png_pixels(symbol.png(dark="#123", light=(250, 240, 230), scale=1, border=1))
    assert pixels[0][0] == (250, 240, 230, 255) and pixels[1 + 9][1 + 9] == (0x11, 0x22, 0x33, 255)
    transparent = png_pixels(symbol.png(dark="navy", light=None, scale=1, border=1))
    assert transparent[0][0][3] == 0 and transparent[10][10] == (0, 0, 128, 255)


@pytest.mark.parametrize("symbol", SYMBOLS)
def test_svg_is_the_modules(symbol):
    document = symbol.svg(scale=2.5, border=3, title="A <symbol> & more")
    side, dark = svg_modules(document)
    assert side == symbol.size + 2 * 3 and dark == expected_cells(symbol, 3)
    assert f'width="{2.5 * side}"' in document and "<title>A &lt;symbol&gt; &amp; more</title>" in document
    import xml.dom.minidom

    xml.dom.minidom.parseString(document)  # well formed
    no_background = symbol.svg(light=None, dark="#456789")
    assert "<rect" not in no_background and 'fill="#456789"' in no_background


@pytest.mark.parametrize("symbol", SYMBOLS)
@pytest.mark.parametrize("border", [0, 1, 2])
def test_terminal_half_blocks(symbol, border):
    text = symbol.terminal(border=border, color=False)
    lines = text.split("\n")
    side = symbol.size + 2 * border
    assert len(lines) == (side + 1) // 2 and all(len(line) == side for line in lines)
    assert decode_half_blocks(text, border)[:symbol.size] == [list(row) for row in symbol.rows]
    inverted = decode_half_blocks(symbol.terminal(border=border, invert=True, color=False), border)[:symbol.size]
    assert inverted == [[not m for m in row] for row in symbol.rows]
    assert str(symbol) == symbol.terminal()


def test_save_by_extension_and_to_streams(tmp_path):
    symbol = SYMBOLS[0]
    symbol.save(tmp_path / "a.svg", scale=3)
    symbol.save(str(tmp_path / "a.PNG"), border=0)
    assert (tmp_path / "a.svg").read_text() == symbol.svg(scale=3)
    assert (tmp_path / "a.PNG").read_bytes() == symbol.png(border=0)
    binary, text = io.BytesIO(), io.StringIO()
    symbol.save(binary, kind="png")
    symbol.save(text, kind="svg")
    assert binary.getvalue() == symbol.png() and text.getvalue() == symbol.svg()


@pytest.mark.parametrize("call", [
    lambda s, p: s.save(p / "a.heic"),
    lambda s, p: s.save(p / "noextension"),
    lambda s, p: s.save(io.BytesIO()),
    lambda s, p: s.save(p / "a.png", kind="heic"),
    lambda s, p: s.save(p / "a.png", scale=0),
    lambda s, p: s.save(p / "a.png", scale=1.5),
    lambda s, p: s.save(p / "a.svg", border=-1),
    lambda s, p: s.save(p / "a.svg", dark="#12345"),
    lambda s, p: s.save(p / "a.svg", dark=None),
    lambda s, p: s.save(p / "a.png", light="chartreuse-ish"),
    lambda s, p: s.save(p / "a.png", scale=5000),
])
def test_save_errors_leave_no_file(tmp_path, call):
    with pytest.raises(aztec.InvalidOptionError):
        call(SYMBOLS[0], tmp_path)
    assert list(tmp_path.iterdir()) == []


def test_unwritable_file(tmp_path):
    with pytest.raises(OSError):
        SYMBOLS[0].save(tmp_path / "missing" / "a.png")
    assert list(tmp_path.iterdir()) == []
