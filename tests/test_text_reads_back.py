"""Text that reads back as typed: ISO-8859-1 text above 0x7F is marked with
ECI 3 wherever text becomes a symbol (make, segments, make_many,
make_sequence, the command line), ASCII text and bytes stay unmarked, and
eci=False gives the unmarked bytes of before.  Read back by zxing-cpp, and
by ZXing for Java where it is installed."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillbank.aztec as aztec
from quillbank.aztec.builder import data_stream

zxingcpp = pytest.importorskip("zxingcpp")
import java_reader  # noqa: E402
from symbol_pictures import modules_gray, png_gray, read  # noqa: E402

#: Short texts of which zxing-cpp 3.1 shows 8 as Shift JIS katakana when unmarked.
TYPED = ["£5", "¥100", "ÀÎ", "°C", "±3", "© 2026", "½ price", "10 ¤", "Grüße", "café", "Ñandú",
         "Müller, Jörg", "naïve façade", "Ärger über Öl", "Straße 5"]
LATIN_1_TEXT = st.text(st.sampled_from([chr(c) for c in range(0x20, 0x7F)] + [chr(c) for c in range(0xA0, 0x100)]),
                       min_size=1, max_size=40)


def shown(symbol):
    """The text zxing-cpp shows for a symbol."""
    found = zxingcpp.read_barcodes(modules_gray(symbol.modules, symbol.size), formats=zxingcpp.BarcodeFormat.Aztec)
    assert len(found) == 1
    return found[0].text


def test_the_short_texts_read_back_as_typed_marked_with_eci_3():
    for text in TYPED:
        symbol = aztec.make(text)
        assert (symbol.eci, shown(symbol)) == (3, text)
        assert read(modules_gray(symbol.modules, symbol.size)) == (text.encode("latin-1"), 3)


def test_the_short_texts_read_back_as_typed_by_zxing_for_java():
    why = java_reader.missing()
    if why:
        pytest.skip(f"ZXing for Java cannot run: {why}")
    version = tuple(int(part) for part in java_reader.jar_version(java_reader.find_jar()).split(".")[:2])
    unmarked = [aztec.make(text, eci=False) for text in TYPED]
    read = java_reader.read_symbols([aztec.make(text) for text in TYPED] + unmarked)
    # Every ZXing reads unmarked ISO-8859-1 as ISO-8859-1; only 3.5 and later
    # act on an ECI designator (3.4 reads its bits as text, docs/character-sets.md).
    assert read[len(TYPED):] == TYPED
    if version >= (3, 5):
        assert read[:len(TYPED)] == TYPED
    else:
        assert all(found != text for found, text in zip(read, TYPED)), "ZXing 3.4 now reads ECI: redo the table"


@pytest.mark.parametrize("message", ["Hello, World", "A1 2B", b"\xa3\x35", bytearray(b"Gr\xfc\xdfe")])
def test_ascii_text_and_bytes_stay_unmarked(message):
    symbol = aztec.make(message)
    assert symbol.eci is None
    written = message.encode("ascii") if isinstance(message, str) else bytes(message)
    assert read(modules_gray(symbol.modules, symbol.size)) == (written, None)
    assert aztec.make_many([message])[0] == symbol


def test_eci_false_writes_the_unmarked_bytes_of_before():
    for text in TYPED:
        old = aztec.make(text.encode("latin-1"))
        assert aztec.make(text, eci=False) == old and aztec.make(text, eci=False).eci is None
        assert aztec.make(text, encoding="latin-1", eci=False) == old
        assert aztec.make([aztec.Segment(text, eci=False)]) == old
        assert data_stream(text, eci=False) == data_stream(text.encode("latin-1"))
    assert aztec.make_many(TYPED, eci=False) == [aztec.make(t.encode("latin-1")) for t in TYPED]
    parts = aztec.make_sequence("Ärger über Öl " * 30, symbols=2, eci=False)
    assert [p.eci for p in parts] == [None, None]


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text=LATIN_1_TEXT, cut=st.integers(0, 40))
def test_random_latin_1_text_reads_back_as_typed_every_way_it_is_made(text, cut):
    marked = None if text.isascii() else 3
    symbol = aztec.make(text)
    assert (symbol.eci, shown(symbol)) == (marked, text)
    # Segments: the designator goes first, so the joined text is marked as a whole.
    joined = aztec.make([text[:cut], text[cut:]])
    assert (joined.eci, shown(joined)) == (marked, text)
    assert aztec.make_many([text, "x", text], threads=2) == [symbol, aztec.make("x"), symbol]
    if len(text) >= 2:
        parts = aztec.make_sequence(text, symbols=2)
        assert "".join(shown(part) for part in parts) == text
        assert [part.eci for part in parts] == [marked, marked]  # each part repeats the designator


def test_the_command_line_marks_text_above_0x7f(tmp_path):
    from quillbank.aztec.cli import main

    for index, text in enumerate(["Grüße", "£5", "Hello"]):
        for arguments, eci in ((["-o"], None if text.isascii() else 3), (["--no-eci", "-o"], None)):
            target = tmp_path / f"{index}-{len(arguments)}.png"
            assert main([text, *arguments, str(target)]) == 0
            assert read(png_gray(target.read_bytes())) == (text.encode("latin-1"), eci)
