"""The picture writers' own machinery.  PNG: every picture decodes (by
Pillow, which uses its own inflate and PNG reader) to exactly the modules
asked for, reads back with zxing-cpp's reader, and stays as small as zlib
would make it.  SVG: the path data, written into a buffer sized for the
worst case.  Both: the checked options they remember between calls."""

import io
import zlib
from fractions import Fraction

import pytest

np = pytest.importorskip("numpy")
Image = pytest.importorskip("PIL.Image")
zxingcpp = pytest.importorskip("zxingcpp")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import quillbank.aztec as aztec  # noqa: E402
from quillbank.aztec import _aztec, writers  # noqa: E402
from symbol_pictures import png_chunks  # noqa: E402

COLOURS = [  # (dark, light, their RGBA)
    ("#000", "#fff", (0, 0, 0, 255), (255, 255, 255, 255)),
    ("#123456", "ivory", (0x12, 0x34, 0x56, 255), (255, 255, 240, 255)),
    ("navy", None, (0, 0, 128, 255), (255, 255, 255, 0)),
    ((200, 0, 0, 128), (0, 255, 0, 64), (200, 0, 0, 128), (0, 255, 0, 64)),
]


def decoded(png):
    """The picture as an RGBA array, decoded by Pillow."""
    image = Image.open(io.BytesIO(png))
    image.load()
    return np.asarray(image.convert("RGBA"))


def expected(modules, size, scale, border, dark, light):
    matrix = np.pad(np.frombuffer(modules, dtype=np.uint8).reshape(size, size), border)
    pixels = np.kron(matrix, np.ones((scale, scale), dtype=np.uint8)).astype(bool)
    return np.where(pixels[..., None], np.array(dark, dtype=np.uint8), np.array(light, dtype=np.uint8))


@settings(max_examples=100, deadline=None)
@given(size=st.integers(1, 151), density=st.floats(0, 1), seed=st.integers(0, 2**32 - 1),
       scale=st.one_of(st.integers(1, 9), st.sampled_from([16, 33, 70])), border=st.integers(0, 4),
       colours=st.sampled_from(COLOURS))
def test_pixels_decode_to_the_modules(size, density, seed, scale, border, colours):
    # Any matrix, not only symbols: blank and solid rows, runs of every
    # length, rows both short (a few bytes) and long (Up-filtered repeats).
    if (size + 2 * border) * scale > 1500:
        scale = max(1, 1500 // (size + 2 * border))
    random = np.random.default_rng(seed)
    modules = (random.random(size * size) < density).astype(np.uint8).tobytes()
    dark, light, dark_rgba, light_rgba = colours
    png = writers.png(modules, size, scale=scale, border=border, dark=dark, light=light)
    assert np.array_equal(decoded(png), expected(modules, size, scale, border, dark_rgba, light_rgba))


@pytest.mark.parametrize("message", [b"01095011015300031725123110123456", bytes(range(256)) * 6])
@pytest.mark.parametrize("colours", COLOURS[:3], ids=["grey", "palette", "alpha"])
def test_small_and_large_symbols_read_back(message, colours):
    symbol = aztec.make(message)
    dark, light, _, _ = colours
    image = Image.open(io.BytesIO(symbol.png(scale=3, dark=dark, light=light)))
    on_white = Image.alpha_composite(Image.new("RGBA", image.size, "white"), image.convert("RGBA"))
    found = zxingcpp.read_barcodes(np.asarray(on_white.convert("L")), formats=zxingcpp.BarcodeFormat.Aztec)
    assert [result.bytes for result in found] == [message]


def test_image_data_is_no_larger_than_zlib_makes_it():
    # At the default scale the rows' repeats are found better than by
    # zlib's best effort on the same rows.
    for message in [b"PNG", b"https://www.example.com/track?id=1Z999AA10123456784", bytes(range(256)) * 4]:
        symbol = aztec.make(message)
        image_data = dict(png_chunks(symbol.png()))[b"IDAT"]
        assert len(image_data) <= len(zlib.compress(up_filtered(zlib.decompress(image_data), symbol), 9)), message


def up_filtered(rows, symbol, scale=4, border=2):
    """PNG rows with each repeat of the row above as an Up row of zeros,
    the form that zlib compresses best."""
    width = 1 + ((symbol.size + 2 * border) * scale + 7) // 8
    lines = [rows[at:at + width] for at in range(0, len(rows), width)]
    return b"".join(b"\x02" + bytes(width - 1) if line == before else line
                    for before, line in zip([None] + lines, lines))


def test_wide_rows_repeat_as_up_filtered_rows():
    # Rows past 512 bytes repeat under the Up filter instead of as copies.
    symbol = aztec.rune(7)
    png = symbol.png(scale=400, border=1)
    image = Image.open(io.BytesIO(png))
    image.load()
    light = np.asarray(image.convert("L")) == 255
    dark = np.kron(np.pad(np.frombuffer(symbol.modules, dtype=np.uint8).reshape(11, 11), 1),
                   np.ones((400, 400), dtype=np.uint8)).astype(bool)
    assert np.array_equal(light, ~dark)
    rows = zlib.decompress(dict(png_chunks(png))[b"IDAT"])
    assert rows[1 + 5200 // 8] == 2  # the second row is an Up row


@pytest.mark.parametrize("kind", ["png", "svg"])
def test_remembered_options_answer_only_for_options_that_give_the_same_picture(kind):
    # Each pair compares equal (and hashes alike), but the second must be
    # refused or drawn on its own even after the first was remembered.
    symbol = aztec.make("remembered")
    write = getattr(symbol, kind)
    assert write(scale=3, border=2) == write(scale=3, border=2)
    for refused in [dict(scale=3, border=2.0), dict(scale=True, border=2), dict(dark=(0, 0, 0, True))]:
        write(scale=3, border=2, dark=(0, 0, 0, 1.0))  # equal to (0, 0, 0, True)
        with pytest.raises(TypeError):
            write(**refused)
    clear = write(dark=(0, 0, 0, 1.0))  # alpha 255; alpha 1 is too faint to scan
    with pytest.raises(aztec.InvalidOptionError, match="contrast"):
        write(dark=(0, 0, 0, 1))
    assert clear == write(dark="#000")
    if kind == "png":  # an int scale only, though Fraction(3) == 3
        write(scale=3)
        with pytest.raises(TypeError):
            write(scale=Fraction(3))
    if kind == "svg":
        write(xmldecl=True)
        with pytest.raises(TypeError):
            write(xmldecl=1)
    assert write(border=3) != write(border=2) and write(border=2) == write()


@pytest.mark.parametrize("size, border", [(1, 0), (11, 0), (31, 7), (151, 1000), (151, 0)])
@pytest.mark.parametrize("pattern", ["stripes", "solid", "random"])
def test_svg_path_is_one_rectangle_per_run(size, border, pattern):
    # Stripes give the most runs a row can hold, solid rows the widest.
    random = np.random.default_rng(size + border)
    cells = {"stripes": lambda x, y: (x + y) % 2 == 0, "solid": lambda x, y: True,
             "random": lambda x, y: random.random() < 0.5}[pattern]
    rows = [[bool(cells(x, y)) for x in range(size)] for y in range(size)]
    modules = bytes(int(dark) for row in rows for dark in row)
    expected = []
    for y, row in enumerate(rows):
        x = 0
        while x < size:
            if row[x]:
                end = x
                while end < size and row[end]:
                    end += 1
                expected.append(f"M{x + border} {y + border}h{end - x}v1h-{end - x}z")
                x = end
            else:
                x += 1
    assert _aztec.svg_path(modules, size, border) == "".join(expected)


@pytest.mark.parametrize("colours, per_metre, error", [
    (b"\x00" * 7, None, TypeError), ("light and dark", None, TypeError), (bytearray(8), None, TypeError),
    (None, -1, ValueError), (None, 2**31, ValueError), (None, True, TypeError), (None, 3.0, TypeError),
])
def test_the_core_refuses_bad_png_colours_and_resolutions(colours, per_metre, error):
    with pytest.raises(error):
        _aztec.png(b"\x01", 1, 1, 0, colours, per_metre)


# --- Colours a scanner can tell apart -------------------------------------------

@pytest.mark.parametrize("dark, light", [("#777", "#787878"), ("red", "red"), ((0, 0, 0, 10), "#fff"),
                                         ("#fff", None), ("orange", "white"), ("#000", (40, 40, 40))])
@pytest.mark.parametrize("kind", ["png", "svg", "pdf", "pam", "xpm"])
def test_colours_too_alike_to_scan_are_refused_by_every_writer(dark, light, kind):
    with pytest.raises(aztec.InvalidOptionError, match=r"dark .* and light .* too alike.* contrast ratio is 1\.\d\d:1"):
        aztec.make("x").save(io.BytesIO(), kind=kind, dark=dark, light=light)


@pytest.mark.parametrize("dark, light", [("#aaa", "#fff"), ("#fff", "#000"), ("#fde", "#333"),
                                         ((0, 0, 0, 128), None), ("#000", (70, 70, 70))])
def test_colours_that_contrast_enough_are_drawn_and_read_back(dark, light):
    # Light on dark too: the reader tries the inverted picture.
    message = b"contrast enough"
    image = Image.open(io.BytesIO(aztec.make(message).png(scale=3, dark=dark, light=light)))
    on_white = Image.alpha_composite(Image.new("RGBA", image.size, "white"), image.convert("RGBA"))
    found = zxingcpp.read_barcodes(np.asarray(on_white.convert("L")), formats=zxingcpp.BarcodeFormat.Aztec)
    assert [result.bytes for result in found] == [message]
