"""Symbols read back by a barcode reader that no one here wrote: zxing-cpp's
reader (read_barcodes on the pictures; never its writer).  Every symbol must
give back exactly the message's bytes and ECI."""

import random

import pytest

zxingcpp = pytest.importorskip("zxingcpp")
np = pytest.importorskip("numpy")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import quillbank.aztec as aztec  # noqa: E402
from quillbank.aztec import _aztec, _test_hooks  # noqa: E402
from symbol_pictures import modules_gray, png_gray, read, svg_gray  # noqa: E402

# One character class per text mode of the encoder, and all bytes.
UPPER = "ABCDEFGHIJKLMNOPQRSTUVWXYZ "
LOWER = "abcdefghijklmnopqrstuvwxyz "
DIGITS = "0123456789,. "
PUNCT = "!\"#$%&'()*+,-./:;<=>?[]{}\r\n"
MIXED = "\x01\x07\x1b@\\^_`|~\x7f\t"

# make() refuses an empty message (the reader would turn its symbol down
# for having no content): test_symbol_make covers it.
message_strategy = st.one_of(
    st.binary(max_size=300),
    st.text(alphabet=UPPER + LOWER + DIGITS + PUNCT + MIXED, max_size=300).map(lambda t: t.encode("latin-1")),
    st.text(max_size=80).map(lambda t: t.encode("utf-8")),
    st.lists(st.sampled_from([UPPER, LOWER, DIGITS, PUNCT, MIXED]), min_size=1, max_size=12).flatmap(
        lambda classes: st.tuples(*[st.text(alphabet=c, min_size=1, max_size=25) for c in classes])
    ).map(lambda parts: "".join(parts).encode("latin-1")),
).filter(bool)


def assert_reads(symbol, message, eci=None):
    png = png_gray(symbol.png(scale=3))
    assert read(png) == (message, eci), symbol
    return png


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(message=message_strategy)
def test_random_messages_of_every_byte_class(message):
    assert_reads(aztec.make(message), message)


def boundaries(alphabet):
    """Where a growing text moves to the next symbol: [(last message of a
    symbol, first of the next one)], up to the largest symbol."""
    rng = random.Random(7)
    text = "".join(rng.choice(alphabet) for _ in range(5000)).encode("latin-1")
    found, previous = [], aztec.make(text[:1])
    for length in range(2, len(text)):
        try:
            symbol = aztec.make(text[:length])
        except aztec.DataOverflowError:
            found.append((text[:length - 1], None))
            return found
        if (symbol.compact, symbol.layers) != (previous.compact, previous.layers):
            assert symbol.size >= previous.size
            found.append((text[:length - 1], text[:length]))
        previous = symbol
    raise AssertionError("the text never filled the largest symbol")


@pytest.mark.parametrize("alphabet", [UPPER + DIGITS, LOWER + PUNCT + MIXED])
def test_text_at_every_layer_boundary(alphabet):
    # The longest message of each symbol and one character more, which
    # moves to the next symbol: both read back.  Full symbols of 1 to 3
    # layers are never the smallest (a compact one of the same size holds
    # more); the forced layer counts below cover them.
    seen = set()
    for last, first in boundaries(alphabet):
        symbol = aztec.make(last)
        seen.add((symbol.compact, symbol.layers))
        assert_reads(symbol, last)
        if first is not None:
            assert_reads(aztec.make(first), first)
    assert seen == {(True, n) for n in range(1, 5)} | {(False, n) for n in range(4, 33)}


@pytest.mark.parametrize("compact,layers", [(True, n) for n in range(1, 5)] + [(False, n) for n in range(1, 33)])
def test_every_layer_count(compact, layers):
    # A short message in every symbol: most of it is check words.
    message = b"L%d%s" % (layers, b"C" if compact else b"F")
    symbol = aztec.make(message, compact=compact, layers=layers)
    assert (symbol.compact, symbol.layers) == (compact, layers)
    assert_reads(symbol, message)


def test_largest_symbol():
    rng = random.Random(32)
    message = bytes(rng.randrange(256) for _ in range(4000))
    low, high = 1, len(message)
    while low < high:
        middle = (low + high + 1) // 2
        try:
            aztec.make(message[:middle])
            low = middle
        except aztec.DataOverflowError:
            high = middle - 1
    symbol = aztec.make(message[:low])
    assert (symbol.compact, symbol.layers, symbol.size) == (False, 32, 151)
    assert_reads(symbol, message[:low])
    with pytest.raises(aztec.DataOverflowError):
        aztec.make(message[:low + 1])


@pytest.mark.parametrize("ec", [0, 5, 50, 90])
def test_error_correction_levels(ec):
    # From the bare 3 check words of 0% to 90% of the codewords.
    rng = random.Random(ec)
    for length in [1, 20, 200, 1500]:
        message = bytes(rng.randrange(256) for _ in range(length))
        try:
            symbol = aztec.make(message, ec_percent=ec)
        except aztec.DataOverflowError:
            assert ec >= 50 and length >= 200
            continue
        assert symbol.check_words >= -(-(symbol.data_words + symbol.check_words) * ec // 100) + 3
        assert_reads(symbol, message)


@pytest.mark.parametrize("eci", [0, 3, 26, 899, 1000, 65535, 999999])
def test_eci_numbers(eci):
    for message in [b"ECI", "Grüße, 世界".encode("utf-8"), bytes(range(0, 256, 3))]:
        assert_reads(aztec.make(message, eci=eci), message, eci)


def test_all_runes():
    for value in range(256):
        found = zxingcpp.read_barcodes(png_gray(aztec.rune(value).png(scale=3)), formats=zxingcpp.BarcodeFormat.Aztec)
        assert [(b.text, b.symbology_identifier) for b in found] == [(f"{value:03d}", "]zC")], value


def test_svg_and_png_pictures():
    message = "Pictures: SVG and PNG, at several scales".encode()
    symbol = aztec.make(message)
    assert read(svg_gray(symbol.svg(), scale=4)) == (message, None)
    assert read(svg_gray(symbol.svg(border=0, dark="#123456"), scale=3)) == (message, None)
    for scale, border in [(1, 4), (2, 1), (5, 3)]:
        assert read(png_gray(symbol.png(scale=scale, border=border))) == (message, None)
    # Colors: a dark blue on a light yellow still reads, as its gray levels.
    colored = png_gray_levels(symbol.png(dark="#000080", light="#ffffc0", scale=3))
    assert read(colored) == (message, None)


def png_gray_levels(data):
    from symbol_pictures import png_pixels

    return np.array([[sum(p[:3]) // 3 for p in row] for row in png_pixels(data)], dtype=np.uint8)


def damaged(symbol, rng, codewords):
    """A pixel array of the symbol with every module of `codewords` randomly
    chosen codewords inverted (data or check words alike)."""
    matrix = bytearray(symbol.modules)
    positions = _test_hooks.layer_positions(symbol.compact, symbol.layers)
    width = symbol.word_bits
    lead = len(positions) % width
    for word in rng.sample(range(symbol.data_words + symbol.check_words), codewords):
        for bit in range(width):
            matrix[positions[lead + word * width + bit]] ^= 1
    return modules_gray(matrix, symbol.size)


@pytest.mark.parametrize("compact,layers", [(True, 1), (True, 4), (False, 2), (False, 6), (False, 12), (False, 25)])
def test_damage_up_to_what_error_correction_repairs(compact, layers):
    rng = random.Random(layers)
    most = _aztec.capacity(compact, layers, 23)[3] * (_aztec.capacity(compact, layers, 23)[1] - 1)
    message = bytes(rng.randrange(256) for _ in range(most // 16))  # about half full
    symbol = aztec.make(message, compact=compact, layers=layers)
    repairable = symbol.check_words // 2
    for trial in range(3):
        assert read(damaged(symbol, rng, repairable)) == (message, None), (symbol, trial)
    # A contiguous burst: a block of the outer layer's corner.
    image = modules_gray(symbol.modules, symbol.size, scale=3, border=2)
    burst = min(repairable, 6)
    image[2 * 3:(2 + burst) * 3, 2 * 3:(2 + 2) * 3] = 255 - image[2 * 3:(2 + burst) * 3, 2 * 3:(2 + 2) * 3]
    assert read(image) == (message, None)


def mode_message_cells(size, compact):
    """(x, y) of each mode message bit, in order: clockwise from the top left."""
    c, r = size // 2, 5 if compact else 7
    offsets = [d for d in range(2 - r, r - 1) if compact or d != 0]
    return ([(c + d, c - r) for d in offsets] + [(c + r, c + d) for d in offsets]
            + [(c + d, c + r) for d in reversed(offsets)] + [(c - r, c + d) for d in reversed(offsets)])


@pytest.mark.parametrize("compact", [True, False])
def test_damaged_mode_message(compact):
    # Its check words repair two (compact) or three (full) wrong nibbles.
    message = b"Mode message damage"
    symbol = aztec.make(message, compact=compact)
    cells = mode_message_cells(symbol.size, compact)
    matrix = bytearray(symbol.modules)
    for nibble in ([0, 5] if compact else [1, 4, 8]):
        for x, y in cells[4 * nibble:4 * nibble + 4]:
            matrix[y * symbol.size + x] ^= 1
    assert read(modules_gray(matrix, symbol.size)) == (message, None)
