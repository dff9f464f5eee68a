"""The charset policy of make() and data_stream(): text reads back as typed
with zxing-cpp's reader, with the bytes and ECI the policy names, and every
message a symbol cannot take as given is refused with an error that says why."""

import array

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillbank.aztec as aztec
from quillbank.aztec.builder import data_stream
from quillbank.aztec.charsets import CODEC_OF_ECI, ECI_OF_CODEC, eci_of

zxingcpp = pytest.importorskip("zxingcpp")
np = pytest.importorskip("numpy")
from symbol_pictures import modules_gray, parse_hex_eci  # noqa: E402


def read_back(symbol):
    """(text, identifier, raw bytes, ECI) as zxing-cpp reads the symbol.  The
    text is what the reader shows; the identifier, bytes and ECI come from
    its HexECI form (its symbology_identifier property says ]z0 even when
    the symbol has an ECI), so a label that a guessing reader would hide
    is still seen."""
    image = modules_gray(symbol.modules, symbol.size)
    plain = zxingcpp.read_barcodes(image, formats=zxingcpp.BarcodeFormat.Aztec)
    hexed = zxingcpp.read_barcodes(image, formats=zxingcpp.BarcodeFormat.Aztec, text_mode=zxingcpp.TextMode.HexECI)
    assert len(plain) == len(hexed) == 1
    raw = bytes.fromhex(hexed[0].text.replace(" ", ""))
    data, eci = parse_hex_eci(hexed[0].text)
    return plain[0].text, raw[:3].decode(), data, eci


@pytest.mark.parametrize("text,options,written,eci", [
    ("Grüße", {}, "Grüße".encode("latin-1"), 3),
    ("Gruss", {}, b"Gruss", None),
    ("Привет", {}, "Привет".encode("utf-8"), 26),
    ("東京", {}, "東京".encode("utf-8"), 26),
    ("😀", {}, "😀".encode("utf-8"), 26),
    ("Привет", {"encoding": "iso-8859-5"}, "Привет".encode("iso-8859-5"), 7),
    ("Grüße", {"encoding": "latin_1"}, "Grüße".encode("latin-1"), 3),
    ("Gruss", {"encoding": "latin_1"}, b"Gruss", None),
    ("Grüße", {"eci": False}, "Grüße".encode("latin-1"), None),
    ("Grüße", {"eci": False, "encoding": "latin-1"}, "Grüße".encode("latin-1"), None),
    ("Grüße", {"encoding": "utf-8"}, "Grüße".encode("utf-8"), 26),
    ("東京", {"encoding": "shift_jis"}, "東京".encode("shift_jis"), 20),
    ("東京", {"encoding": "gb18030"}, "東京".encode("gb18030"), 32),
    ("서울", {"encoding": "euc-kr"}, "서울".encode("euc-kr"), 30),
    ("Zürich", {"encoding": "cp1252"}, "Zürich".encode("cp1252"), 23),
    ("Привет", {"eci": 22}, "Привет".encode("cp1251"), 22),
    ("Grüße", {"eci": 26}, "Grüße".encode("utf-8"), 26),
    ("Grüße", {"eci": 3, "encoding": "latin-1"}, "Grüße".encode("latin-1"), 3),
    ("😀", {"encoding": "utf-16-be"}, "😀".encode("utf-16-be"), 25),
])
def test_text_reads_back_as_typed(text, options, written, eci):
    symbol = aztec.make(text, **options)
    assert symbol.eci == eci
    assert read_back(symbol) == (text, "]z0" if eci is None else "]z3", written, eci)
    assert data_stream(text, **options) == aztec.encode_optimal(written, eci=eci, asBits=True)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text=st.text(st.characters(blacklist_categories=("Cs", "Cc")), min_size=1, max_size=60))
def test_any_text_reads_back_as_typed(text):
    if text.isascii():
        written, eci = text.encode("ascii"), None
    else:
        try:
            written, eci = text.encode("latin-1"), 3
        except UnicodeEncodeError:
            written, eci = text.encode("utf-8"), 26
    shown, identifier, data, read_eci = read_back(aztec.make(text))
    assert (identifier, data, read_eci) == ("]z0" if eci is None else "]z3", written, eci)
    assert shown == text


def test_bytes_are_written_as_given():
    raw = "Grüße".encode("utf-8")
    assert read_back(aztec.make(raw))[1:] == ("]z0", raw, None)  # no ECI unless asked
    assert read_back(aztec.make(raw, eci=899))[1:] == ("]z3", raw, 899)


@pytest.mark.parametrize("buffer", [
    np.frombuffer(b"NumPy bytes", dtype=np.uint8),
    np.frombuffer(b"NumPy bytes", dtype=np.uint8).reshape(1, 11),
    array.array("B", b"NumPy bytes"),
    memoryview(b"NumPy bytes"),
    memoryview(bytearray(b"NumPy bytes")).cast("c"),
])
def test_any_contiguous_byte_buffer_is_a_message(buffer):
    assert aztec.make(buffer) == aztec.make(b"NumPy bytes")
    assert data_stream(buffer, eci=3) == data_stream(b"NumPy bytes", eci=3)


def test_buffers_a_message_cannot_be_are_refused():
    released = memoryview(b"gone")
    released.release()
    with pytest.raises(aztec.AztecError, match="released"):
        aztec.make(released)
    with pytest.raises(TypeError, match="items of 4 bytes"):
        aztec.make(array.array("i", [1, 2]))


@pytest.mark.parametrize("text,options,error,words", [
    ("Привет", {"encoding": "latin-1"}, aztec.AztecError, ["'П'", "U+041F", "position 0", "'latin-1'"]),
    ("abc€", {"eci": 3}, aztec.AztecError, ["'€'", "U+20AC", "position 3", "ECI 3"]),
    ("a\ud800b", {}, aztec.AztecError, ["surrogate", "U+D800", "position 1"]),
    ("text", {"eci": 899}, aztec.InvalidOptionError, ["ECI 899", "bytes"]),
    ("text", {"eci": 1000}, aztec.InvalidOptionError, ["ECI 1000", "bytes"]),
    ("text", {"eci": 7, "encoding": "utf-8"}, aztec.InvalidOptionError, ["disagree", "ECI 26"]),
    ("text", {"encoding": "koi8-r"}, aztec.InvalidOptionError, ["'koi8-r'", "no ECI number"]),
    ("text", {"encoding": "no-such-codec"}, aztec.InvalidOptionError, ["'no-such-codec'", "not a codec"]),
    (b"bytes", {"encoding": "utf-8"}, aztec.InvalidOptionError, ["str message", "eci="]),
    ("text", {"encoding": 26}, TypeError, ["encoding", "int"]),
    ("Привет", {"eci": False}, aztec.AztecError, ["'П'", "ISO-8859-1", "eci=False", "leave eci out"]),
    ("text", {"eci": False, "encoding": "utf-8"}, aztec.InvalidOptionError, ["eci=False", "'utf-8'", "bytes"]),
    ("text", {"eci": True}, TypeError, ["eci", "False", "not True"]),
])
def test_text_the_options_cannot_write_is_refused(text, options, error, words):
    for call in (aztec.make, data_stream):
        with pytest.raises(error) as raised:
            call(text, **options)
        assert all(word in str(raised.value) for word in words), str(raised.value)


def test_the_eci_table_agrees_with_python_codecs():
    # Every name is a codec's own name, so lookups of any alias find it,
    # and the reverse table names each codec by the number it is written with.
    import codecs

    assert all(codecs.lookup(name).name == name for name in ECI_OF_CODEC)
    assert all(CODEC_OF_ECI[eci] == name for name, eci in ECI_OF_CODEC.items())
    assert (eci_of("latin-1"), eci_of("UTF8"), eci_of("sjis"), eci_of("cp1256"), eci_of("UTF-32LE")) == (3, 26, 20, 24, 35)
    assert len(ECI_OF_CODEC) == 32 and 899 not in CODEC_OF_ECI
