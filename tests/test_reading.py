"""aztec.read, the package's own reader: symbols of every kind read back as
they were made, and as zxing-cpp reads them (conftest compares the two on
every picture a test reads with zxing-cpp); damage repaired within what the
check words allow and refused beyond; pictures of every raster and SVG
kind this package writes, at several scales and borders, both polarities."""

import io
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillbank.aztec as aztec
from quillbank.aztec import _test_hooks

zxingcpp = pytest.importorskip("zxingcpp")
np = pytest.importorskip("numpy")
import reading_agreement  # noqa: E402
from symbol_pictures import modules_gray  # noqa: E402


def slow(examples):
    return settings(max_examples=examples, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def read_both(symbol):
    """aztec.read of the symbol, after zxing-cpp has read the same picture
    (the conftest hook asserts that the two agree)."""
    before = len(reading_agreement.compared)
    found = zxingcpp.read_barcodes(modules_gray(symbol.modules, symbol.size), formats=zxingcpp.BarcodeFormat.Aztec)
    assert len(found) == 1 and len(reading_agreement.compared) == before + 1
    return aztec.read(symbol)


def assert_shape(found, symbol):
    assert (found.compact, found.layers, found.size, found.data_words, found.check_words, found.corrected) == \
        (symbol.compact, symbol.layers, symbol.size, symbol.data_words, symbol.check_words, 0)


# --- Symbols of every kind ----------------------------------------------------

shapes = st.one_of(st.just((None, None)), st.tuples(st.just(True), st.integers(1, 4)),
                   st.tuples(st.just(False), st.integers(1, 32)))


@slow(80)
@given(message=st.one_of(st.binary(min_size=1, max_size=400), st.text(min_size=1, max_size=200)),
       eci=st.one_of(st.none(), st.sampled_from([0, 3, 26, 899, 65535, 999999])), shape=shapes,
       ec=st.integers(0, 60), reader_init=st.booleans())
def test_random_messages_read_back_as_made(message, eci, shape, ec, reader_init):
    data = message.encode("utf-8") if isinstance(message, str) and eci is not None else message
    compact, layers = shape
    if reader_init and (compact, layers) != (None, None):
        compact, layers = (True, 1) if compact else (False, min(layers, 22))
    try:
        symbol = aztec.make(data, eci=eci, ec_percent=ec, compact=compact, layers=layers, reader_init=reader_init)
    except aztec.DataOverflowError:
        return
    found = read_both(symbol)
    expected = data if isinstance(data, bytes) else data.encode("utf-8" if symbol.eci == 26 else "latin-1")
    assert found.data == expected
    assert found.eci == symbol.eci and found.reader_init == reader_init and not found.gs1
    assert found.sequence is None and found.rune is None
    assert_shape(found, symbol)


def test_segments_give_each_designator_at_its_place_and_the_text():
    parts = ["Price: ", aztec.Segment("Ж5", encoding="iso-8859-5"), " or ", aztec.Segment("€5", encoding="cp1252")]
    found = read_both(aztec.make(parts))
    assert found.ecis == ((7, 7), (9, 3), (13, 23))
    assert found.text() == "Price: Ж5 or €5"


def test_gs1_reader_init_and_runes():
    found = read_both(aztec.make("(01)09501101530003(10)AB1(17)250101", gs1=True))
    assert found.gs1 and found.data == b"010950110153000310AB1\x1d17250101"
    for value in range(256):
        found = aztec.read(aztec.rune(value))
        assert (found.rune, found.data, found.layers, found.size) == (value, b"", 0, 11)


@pytest.mark.parametrize("symbol_id", [None, "T42", "a!~"])
def test_sequences_give_position_count_and_id(symbol_id):
    message = bytes(random.Random(9).randrange(256) for _ in range(900))
    parts = aztec.make_sequence(message, symbols=4, id=symbol_id)
    joined = b""
    for position, part in enumerate(parts, 1):
        found = read_both(part)
        assert found.sequence == (position, 4, symbol_id) == part.sequence
        joined += found.data
    assert joined == message


# --- Damage ---------------------------------------------------------------------

def codeword_cells(symbol):
    """The cells (y * size + x) of each codeword of the layers."""
    positions = _test_hooks.layer_positions(symbol.compact, symbol.layers)
    width, lead = symbol.word_bits, len(positions) % symbol.word_bits
    return [positions[lead + w * width:lead + (w + 1) * width] for w in range(symbol.data_words + symbol.check_words)]


def damaged_picture(symbol, wrong, unreadable):
    """A PGM of the symbol with codewords `wrong` inverted and `unreadable`
    painted mid-grey, at 2 pixels a module."""
    cells = codeword_cells(symbol)
    image = np.where(np.frombuffer(symbol.modules, np.uint8).reshape(symbol.size, symbol.size) == 1, 0, 255)
    image = image.astype(np.uint8)
    for word in wrong:
        for cell in cells[word]:
            image.flat[cell] = 255 - image.flat[cell]
    for word in unreadable:
        for cell in cells[word]:
            image.flat[cell] = 128
    image = np.kron(np.pad(image, 2, constant_values=255), np.ones((2, 2), np.uint8))
    return reading_agreement.pgm(image)


@pytest.mark.parametrize("compact,layers", [(True, 1), (True, 3), (False, 2), (False, 9), (False, 23)])
def test_damage_within_capacity_is_repaired_and_counted(compact, layers):
    rng = random.Random(layers)
    message = bytes(rng.randrange(256) for _ in range(3 * layers))
    symbol = aztec.make(message, compact=compact, layers=layers, ec_percent=40)
    total, reach = symbol.data_words + symbol.check_words, symbol.check_words
    for trial in range(6):
        erased = rng.randrange(reach + 1)
        errors = (reach - erased) // 2
        words = rng.sample(range(total), erased + errors)
        found = aztec.read(damaged_picture(symbol, words[erased:], words[:erased]))
        assert found.data == message, (trial, erased, errors)
        assert found.corrected == erased + errors


@pytest.mark.parametrize("compact,layers,ec", [(True, 1, 0), (True, 2, 23), (False, 4, 10), (False, 12, 23)])
def test_damage_beyond_capacity_never_returns_other_data(compact, layers, ec):
    rng = random.Random(layers + ec)
    message = bytes(rng.randrange(256) for _ in range(6 * layers))
    symbol = aztec.make(message, compact=compact, layers=layers, ec_percent=ec)
    total, reach = symbol.data_words + symbol.check_words, symbol.check_words
    refused = 0
    for trial in range(40):
        errors = rng.randrange(reach // 2 + 1, min(total, reach + 4) + 1)
        try:
            found = aztec.read(damaged_picture(symbol, rng.sample(range(total), errors), []))
        except aztec.AztecError as error:
            refused += 1
            assert "damaged beyond" in str(error) or "well-formed" in str(error)
            continue
        assert found.data == message, trial  # a repair that lands on the original only
    assert refused >= 30
    with pytest.raises(aztec.AztecError, match=f"beyond what its {reach} check words repair"):
        aztec.read(damaged_picture(symbol, [], range(reach + 1)))


def test_none_in_a_matrix_is_an_erasure():
    symbol = aztec.make(b"Unreadable modules", compact=True, layers=2)
    matrix = [list(row) for row in symbol.rows]
    cells = codeword_cells(symbol)
    for word in range(symbol.check_words):  # as many erasures as check words
        matrix[cells[word][0] // symbol.size][cells[word][0] % symbol.size] = None
    found = aztec.read(matrix)
    assert (found.data, found.corrected) == (b"Unreadable modules", symbol.check_words)
    matrix[cells[symbol.check_words][0] // symbol.size][cells[symbol.check_words][0] % symbol.size] = None
    with pytest.raises(aztec.AztecError, match="damaged beyond"):
        aztec.read(matrix)


def test_damaged_mode_message_is_repaired():
    symbol = aztec.make(b"Mode message damage", compact=False)
    matrix = [list(row) for row in symbol.rows]
    c = symbol.size // 2
    for x in (c - 5, c - 4, c + 2):  # three bits of three nibbles of the top side
        matrix[c - 7][x] = not matrix[c - 7][x]
    assert aztec.read(matrix).data == b"Mode message damage"


# --- Pictures -------------------------------------------------------------------

PICTURE_KINDS = ["png", "pbm", "pam", "ppm", "svg", "svgz"]


@pytest.mark.parametrize("kind", PICTURE_KINDS)
def test_pictures_of_every_kind_scale_border_and_polarity(kind, tmp_path):
    message = b"Pictures at any scale"
    symbol = aztec.make(message)
    for scale, border, dark, light in [(1, 0, "#000", "#fff"), (3, 2, "#fff", "#000"), (5, 7, "#003", "#ffc")]:
        if kind == "pbm" and dark != "#000":
            continue  # black on white only
        options = {"border": border, "dark": dark, "light": light}
        if kind not in ("svg", "svgz"):
            options["scale"] = scale
        target = tmp_path / f"s{scale}.{kind}"
        symbol.save(str(target), **options)
        with open(target, "rb") as opened:
            for source in (str(target), target, target.read_bytes(), opened):
                assert aztec.read(source).data == message, (kind, scale, border, dark)


def test_pictures_through_pillow_and_turned_symbols():
    pytest.importorskip("PIL")
    symbol = aztec.make(b"Turned and mirrored")
    for kind in ("xbm", "xpm"):
        stream = io.BytesIO()
        symbol.save(stream, kind=kind)
        assert aztec.read(stream.getvalue()).data == b"Turned and mirrored"
    assert aztec.read(symbol.to_pil(scale=2)).data == b"Turned and mirrored"
    matrix = np.pad(symbol.to_numpy(), 3)
    for turned in (np.rot90(matrix), np.rot90(matrix, 2), np.fliplr(matrix), matrix.astype(bool).T):
        assert aztec.read(turned).data == b"Turned and mirrored"


@pytest.mark.parametrize("source,error,words", [
    ([[0] * 30] * 30, aztec.AztecError, ["no Aztec symbol"]),
    ([[0, 2], [1, 0]], aztec.AztecError, ["row 0, column 1", "0 and 1", "None where unreadable"]),
    ([[0, 1], [1]], aztec.AztecError, ["differ in length"]),
    ([], aztec.AztecError, ["empty"]),
    (7, TypeError, ["module matrix", "int"]),
    (b"GIF89a not really", aztec.AztecError, ["cannot be read"]),
    (b"P5\n40 40\n255\n" + bytes(1600), aztec.AztecError, ["single colour"]),
])
def test_what_is_not_a_symbol_is_refused_saying_why(source, error, words):
    pytest.importorskip("PIL")
    with pytest.raises(error) as raised:
        aztec.read(source)
    assert all(word in str(raised.value) for word in words), raised.value


def test_a_cut_off_symbol_is_refused():
    symbol = aztec.make(b"x" * 300)
    rows = [list(row) for row in symbol.rows][: symbol.size - 4]
    with pytest.raises(aztec.AztecError, match="reaches outside|damaged beyond"):
        aztec.read(rows)


@slow(150)
@given(data=st.one_of(
    st.binary(max_size=300),
    st.binary(max_size=300).map(lambda body: b"\x89PNG\r\n\x1a\n" + body),
    st.tuples(st.sampled_from([b"P1", b"P2", b"P3", b"P4", b"P5", b"P6", b"P7"]), st.binary(max_size=200)).map(
        lambda parts: parts[0] + b"\n" + parts[1]),
    st.builds(lambda w, h, body: b"P5\n%d %d\n255\n" % (w, h) + body, st.integers(0, 1 << 20),
              st.integers(0, 1 << 20), st.binary(max_size=100)),
    st.binary(max_size=200).map(lambda body: b'<svg viewBox="0 0 9 9"><path fill="#000" d="' + body + b'"/>'),
))
def test_damaged_or_hostile_files_are_refused_with_aztec_error(data):
    with pytest.raises(aztec.AztecError):
        aztec.read(data)
