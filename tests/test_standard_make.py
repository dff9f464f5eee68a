"""ECI segments, GS1, structured-append sequences and reader initialisation
through make(), make_sequence() and data_stream(): read back by zxing-cpp's
reader, the streams checked by the tests' decoder and shortest-path
reference, and every combination that cannot be written refused with a
reason."""

import re

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import quillbank.aztec as aztec
from quillbank.aztec import Segment, make, make_sequence
from quillbank.aztec.builder import data_stream
from quillbank.aztec.optimal import encode_optimal_segments
from shortest_reference import reference_length
from stream_decoder import StreamError, decode_flagged, split_append_header
from test_optimal_flags import gs1_contents
from test_symbol_make import layer_words, unstuffed

zxingcpp = pytest.importorskip("zxingcpp")
pytest.importorskip("numpy")
from symbol_pictures import modules_gray  # noqa: E402

def slow(examples):
    return settings(max_examples=examples, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def read(symbol, text_mode=None):
    options = {} if text_mode is None else {"text_mode": getattr(zxingcpp.TextMode, text_mode)}
    found = zxingcpp.read_barcodes(modules_gray(symbol.modules, symbol.size),
                                   formats=zxingcpp.BarcodeFormat.Aztec, **options)
    assert len(found) == 1
    return found[0]


def bits_of(stream):
    return [bool(stream[0][k >> 3] >> (k & 7) & 1) for k in range(stream[1])]


# The reference is a plain Dijkstra: it checks parts up to this length.
REFERENCE_BYTES = 300


def symbol_stream(symbol):
    """(message, flags, structured append) of the stream in the symbol's
    layers, which must be the programme's shortest stream for them and (for
    short messages) as long as the reference says: the stream is found among
    the prefixes of the data bits that the padding (fewer than a codeword
    of ones) leaves."""
    back = [bool(b) for b in unstuffed(layer_words(symbol)[:symbol.data_words], symbol.word_bits)]
    for length in range(len(back), len(back) - symbol.word_bits, -1):
        try:
            message, flags, append = decode_flagged(back[:length])
        except StreamError:
            continue
        stream = encode_optimal_segments(message, flags, append)
        if bits_of(stream) == back[:length]:
            if len(message) <= REFERENCE_BYTES:
                assert stream[1] == reference_length(message, flags=flags, append=append)
            return message, flags, append
    raise AssertionError("the symbol holds no shortest stream")


def written(text):
    """The bytes and ECI a text segment is written with by default: ASCII
    bare, other ISO-8859-1 with ECI 3, the rest in UTF-8 with ECI 26."""
    if text.isascii():
        return text.encode("ascii"), None
    try:
        return text.encode("latin-1"), 3
    except UnicodeEncodeError:
        return text.encode("utf-8"), 26


# --- Segments ----------------------------------------------------------------

def segment_lists(max_size=12):
    """Lists of text segments in ISO-8859-1, UTF-8, Shift JIS and ISO-8859-7."""
    return st.lists(st.one_of(
        st.text(alphabet="abcXYZ 0129.,:!\r\nßüé", min_size=1, max_size=max_size),
        st.text(alphabet="АБВабв ёЁ.,", min_size=1, max_size=max_size),
        st.text(alphabet="東京日本語", min_size=1, max_size=5).map(lambda t: Segment(t, encoding="shift_jis")),
        st.text(alphabet="Ωαβγ 12", min_size=1, max_size=8).map(lambda t: Segment(t, eci=9)),
    ), min_size=1, max_size=5)


def expected_content(segments):
    """(bytes, designators) of a list from segment_lists: each segment in its
    character set, a designator where the set changes (none for a first
    ASCII one; ISO-8859-1's at the very start when all before is ASCII)."""
    expected_bytes, expected_flags, in_force = b"", [], "unmarked"
    for segment in segments:
        if isinstance(segment, Segment):
            codec, eci = ("shift_jis", 20) if segment.eci is None else ("iso8859-7", segment.eci)
            data = segment.data.encode(codec)
        else:
            data, eci = written(segment)
            codec = "utf-8" if eci == 26 else "latin-1"
        if eci == 3 and in_force == "unmarked":
            expected_flags.append((0, 3))
        elif eci is not None and codec != in_force:
            expected_flags.append((len(expected_bytes), eci))
        elif eci is None and in_force not in ("unmarked", "latin-1"):
            expected_flags.append((len(expected_bytes), 3))
        if eci is not None or in_force != "unmarked":
            in_force = codec
        expected_bytes += data
    return expected_bytes, expected_flags


def joined_text(segments):
    return "".join(s.data if isinstance(s, Segment) else s for s in segments)


class TestSegments:
    @pytest.mark.parametrize("segments, flags, eci", [
        (["Gruss ", "aus Koeln"], [], None),                     # ASCII: no designator
        (["Grüße ", "aus Köln"], [(0, 3)], 3),                   # ISO-8859-1: one designator
        (["Hallo ", "Köln"], [(0, 3)], 3),                       # ... at the start, after ASCII
        (["Hi ", "Привет"], [(3, 26)], 26),                      # none before a first ASCII segment
        (["Grüße ", "Привет"], [(0, 3), (6, 26)], 3),
        (["Привет", " ok"], [(0, 26), (12, 3)], 26),             # back to ISO-8859-1 is a change
        (["Привет", "мир"], [(0, 26)], 26),                      # UTF-8 twice: one designator
        ([Segment("Привет", encoding="iso-8859-5"), "東京"], [(0, 7), (6, 26)], 7),
        ([Segment("東京", encoding="shift_jis"), Segment("日本", eci=20)], [(0, 20)], 20),
        (["Привет", b"!"], [(0, 26)], 26),                       # bytes continue in the set in force
        (["", "abc", ""], [], None),                             # empty segments write nothing
    ])
    def test_designators_only_where_the_character_set_changes(self, segments, flags, eci):
        symbol = make(segments)
        joined = "".join(s if isinstance(s, str) else s.data if isinstance(s, Segment) else s.decode()
                         for s in segments)
        message, found_flags, append = decode_flagged(data_stream(segments))
        assert (found_flags, append, symbol.eci) == (flags, False, eci)
        assert read(symbol).text == joined
        assert symbol_stream(symbol)[:2] == (message, flags)

    @slow(25)
    @given(segment_lists())
    def test_random_segment_lists_read_as_the_joined_text(self, segments):
        expected_bytes, expected_flags = expected_content(segments)
        stream = data_stream(segments)
        # The stream is the shortest for those bytes and designators.
        assert decode_flagged(stream) == (expected_bytes, expected_flags, False)
        assert len(stream) == reference_length(expected_bytes, flags=expected_flags)
        if expected_flags:  # without any, zxing-cpp guesses the character set
            assert read(make(segments)).text == joined_text(segments)

    @pytest.mark.parametrize("call, error, words", [
        (lambda: make(["a", "b"], eci=3), aztec.InvalidOptionError, ["Segment(", "each segment"]),
        (lambda: make(["a"], encoding="utf-8"), aztec.InvalidOptionError, ["Segment("]),
        (lambda: make(["a", 7]), TypeError, ["bytes-like"]),
        (lambda: make(["a", ["b"]]), TypeError, ["segment 1"]),
        (lambda: make([]), aztec.AztecError, ["empty"]),
        (lambda: make(["", b""]), aztec.AztecError, ["empty"]),
        (lambda: make(["a", "Привет"], optimal=False), aztec.InvalidOptionError, ["ECI", "optimal"]),
        (lambda: Segment("a", eci="3"), TypeError, ["eci"]),
        (lambda: Segment("a", eci=1_000_000), aztec.InvalidOptionError, ["999999"]),
        (lambda: Segment("a", encoding=26), TypeError, ["encoding"]),
        (lambda: make([Segment("Привет", encoding="latin-1")]), aztec.AztecError, ["'П'", "position 0"]),
    ])
    def test_segments_that_cannot_be_written_are_refused(self, call, error, words):
        with pytest.raises(error) as raised:
            call()
        assert all(word in str(raised.value) for word in words), str(raised.value)

    def test_any_sequence_of_segments_is_a_list_of_them(self):
        import array
        import collections

        listed = make(["Name: ", "Grüße"])
        assert make(collections.deque(["Name: ", "Grüße"])) == make(("Name: ", "Grüße")) == listed
        assert make_sequence(collections.UserList(["Name: ", "Grüße"] * 20), symbols=2) == \
            make_sequence(["Name: ", "Grüße"] * 20, symbols=2)
        # A buffer that is also a sequence stays one message of bytes.
        assert make(array.array("B", b"ab")) == make(b"ab")

    def test_a_leading_designator_alone_is_the_plain_stream(self):
        # One segment is the message make writes alone, the search encoder included.
        assert make(["Привет"]) == make("Привет")
        assert make([Segment("Привет", encoding="iso-8859-5")], optimal=False) == \
            make("Привет", encoding="iso-8859-5", optimal=False)
        assert Segment("x", eci=7) == Segment("x", eci=7) and hash(Segment(b"x")) == hash(Segment(b"x"))
        # One Segment alone is a list of one.
        assert make(Segment("Привет", encoding="iso-8859-5")) == make("Привет", encoding="iso-8859-5")
        assert data_stream(Segment(b"\x80", eci=899)) == data_stream(b"\x80", eci=899)


# --- GS1 -----------------------------------------------------------------------

GS1_EXAMPLE = "(01)09501101530003(17)250101(10)ABC123(21)X7"


class TestGS1:
    @slow(20)
    @given(content=gs1_contents())
    def test_gs1_reads_as_gs1_with_its_human_readable_text(self, content):
        from quillbank.aztec import gs1

        data = gs1.parse(content)
        symbol = make(content, gs1=True)
        found = read(symbol, "HRI")
        assert (found.symbology_identifier, found.content_type.name, found.text) == ("]z1", "GS1", data.human_readable)
        assert symbol_stream(symbol)[:2] == (data.element_string, [(p, None) for p in data.fnc1_positions])
        # The element string with GS separators is the same content.
        separated = bytearray(data.element_string)
        for position in reversed(data.fnc1_positions[1:]):
            separated[position:position] = b"\x1d"
        assert make(bytes(separated), gs1=True) == symbol == make([content], gs1=True)

    @pytest.mark.parametrize("call, words", [
        (lambda: make(GS1_EXAMPLE, gs1=True, eci=3), ["GS1", "ECI"]),
        (lambda: make(GS1_EXAMPLE, gs1=True, encoding="ascii"), ["GS1", "encoding"]),
        (lambda: make(GS1_EXAMPLE, gs1=True, reader_init=True), ["GS1", "reader_init"]),
        (lambda: make(["(01)09501101530003", "(10)Привет"], gs1=True), ["GS1", "ECI 26", "character set"]),
        (lambda: make(GS1_EXAMPLE, gs1=True, optimal=False), ["FNC1", "optimal"]),
        (lambda: make("(01)09501101530004", gs1=True), ["(01)", "check"]),
        (lambda: make_sequence(GS1_EXAMPLE, gs1=True, reader_init=True), ["GS1", "reader_init"]),
    ])
    def test_gs1_combinations_that_cannot_be_written_are_refused(self, call, words):
        with pytest.raises(aztec.InvalidOptionError) as raised:
            call()
        assert all(word.lower() in str(raised.value).lower() for word in words), str(raised.value)

    def test_gs1_data_stream_has_fnc1_first(self):
        message, flags, _ = decode_flagged(data_stream(GS1_EXAMPLE, gs1=True))
        assert message == b"01095011015300031725010110ABC12321X7" and flags == [(0, None), (32, None)]


# --- Structured append ---------------------------------------------------------

def check_sequence(symbols, content_bytes, symbol_id, gs1=False):
    """Every part reads alone with its identifier and exactly its data, its
    stream starts with M/L U/L and the header of its place, and the parts
    join to the message."""
    count = len(symbols)
    assert 2 <= count <= 26 and len({(s.compact, s.layers) for s in symbols}) == 1
    joined = b""
    for position, symbol in enumerate(symbols, 1):
        assert symbol.sequence == (position, count, symbol_id)
        message, flags, append = symbol_stream(symbol)
        assert append
        part_position, part_count, part_id, data = split_append_header(message)
        assert (part_position, part_count, part_id) == (position, count, symbol_id) and data
        head = len(message) - len(data)
        found = read(symbol)
        assert found.symbology_identifier == ("]z7" if gs1 else "]z6")
        if gs1:
            # FNC1 right after the header in every part; the reader shows
            # FNC1 separators as GS.
            assert flags[0] == (head, None) and all(value is None for _, value in flags)
            assert found.bytes == with_separators(data, [p - head for p, _ in flags[1:]])
        else:
            assert found.bytes == data
        joined += data
    assert joined == content_bytes


def with_separators(data, positions):
    out = bytearray(data)
    for position in reversed(positions):
        out[position:position] = b"\x1d"
    return bytes(out)


class TestSequences:
    @slow(12)
    @given(message=st.one_of(st.binary(min_size=2, max_size=900),
                             st.text(alphabet="abc XYZ 012,.\r\n", min_size=2, max_size=900).map(str.encode)),
           symbols=st.none() | st.integers(2, 6),
           symbol_id=st.none() | st.text(alphabet="ABCxyz019!#~", min_size=1, max_size=6),
           ec=st.sampled_from([10, 23, 60]))
    def test_random_messages_spread_over_parts_that_read_alone(self, message, symbols, symbol_id, ec):
        symbols = None if symbols is not None and symbols > len(message) else symbols
        made = make_sequence(message, symbols=symbols, id=symbol_id, ec_percent=ec)
        check_sequence(made, message, symbol_id)
        if symbols is not None:
            assert len(made) == symbols

    @slow(10)
    @given(segments=segment_lists(max_size=40), symbols=st.integers(2, 4))
    # The third part's letters ("CC") stuff differently from those the cuts
    # are planned with ("AB"), and it does not fit that size: the next one.
    @example(segments=["0", "\u0401", "\u00fc00X"], symbols=3)
    def test_random_segment_lists_spread_over_parts_that_read_alone(self, segments, symbols):
        message, _ = expected_content(segments)
        text = joined_text(segments)
        if len(text) < symbols:
            return
        made = make_sequence(segments, symbols=symbols, ec_percent=60)
        check_sequence(made, message, None)
        in_force = None
        for symbol in made:
            part, flags, _ = symbol_stream(symbol)
            head = len(part) - len(split_append_header(part)[3])
            # The designator in force where a part begins comes right after
            # its header (a first ISO-8859-1 stretch needs none).
            if in_force is not None:
                assert flags and flags[0][0] == head
            in_force = flags[-1][1] if flags else in_force
        if all(symbol.eci is not None for symbol in made):  # else zxing-cpp guesses a part's set
            assert "".join(read(symbol).text for symbol in made) == text

    def test_the_default_is_the_fewest_symbols_of_the_smallest_size_for_them(self):
        message = bytes(range(256)) * 20
        made = make_sequence(message)
        check_sequence(made, message, None)
        count, compact, layers = len(made), made[0].compact, made[0].layers
        assert count == 3 and not compact
        with pytest.raises(aztec.DataOverflowError, match=f"does not fit in {count - 1} symbols"):
            make_sequence(message, symbols=count - 1)
        with pytest.raises(aztec.DataOverflowError):  # one layer less does not hold it in as many
            make_sequence(message, symbols=count, compact=False, layers=layers - 1)

    def test_utf8_text_is_cut_between_characters_and_repeats_its_designator(self):
        text = "Привет, мир! Grüße 東京 😀 " * 12
        made = make_sequence(text, id="RU1", symbols=5)
        check_sequence(made, text.encode("utf-8"), "RU1")
        assert "".join(read(symbol).text for symbol in made) == text
        assert all(symbol.eci == 26 and symbol_stream(symbol)[1][0][1] == 26 for symbol in made)

    def test_eci_segments_in_a_sequence(self):
        segments = ["Zürich ", Segment("Привет " * 20, encoding="iso-8859-5"), "Köln " * 20]
        made = make_sequence(segments, symbols=3)
        message = ("Zürich ").encode("latin-1") + ("Привет " * 20).encode("iso-8859-5") + ("Köln " * 20).encode("latin-1")
        check_sequence(made, message, None)
        assert "".join(read(symbol).text for symbol in made) == "Zürich " + "Привет " * 20 + "Köln " * 20

    def test_reader_initialisation_in_a_sequence(self):
        text = "Привет SET UP " * 30
        made = make_sequence(text, reader_init=True, symbols=3)
        check_sequence(made, text.encode("utf-8"), None)
        assert all(read(symbol).extra.get("ReaderInit") is True for symbol in made)
        assert all(symbol.compact and symbol.layers == 1 or not symbol.compact and symbol.layers <= 22
                   for symbol in made)

    def test_gs1_in_a_sequence_is_cut_between_ais(self):
        content = "(01)09501101530003(17)251231(10)ABC123(21)1234567890(30)42(400)ORDER-77"
        made = make_sequence(content, gs1=True, symbols=3, id="P1")
        from quillbank.aztec import gs1

        data = gs1.parse(content)
        check_sequence(made, data.element_string, "P1", gs1=True)
        texts = [read(symbol, "HRI").text for symbol in made]
        assert "".join(texts) == data.human_readable and all(t.startswith("(") for t in texts)

    @pytest.mark.parametrize("message, options", [
        (b"x" * 5000, {}), (b"Advice that works " * 60, {"compact": True}), (bytes(range(256)) * 9, {"layers": 20}),
    ], ids=["text", "compact", "layers"])
    def test_make_points_to_make_sequence_when_a_sequence_holds_the_message(self, message, options):
        with pytest.raises(aztec.DataOverflowError, match="make_sequence"):
            make(message, **options)
        check_sequence(make_sequence(message, **options), message, None)

    @pytest.mark.parametrize("message, options", [
        (__import__("random").Random(5).randbytes(60000), {}),
        (b"x" * 30, {"compact": True, "layers": 1, "ec_percent": 99}),
    ], ids=["too-long", "no-room"])
    def test_make_does_not_point_to_a_sequence_that_cannot_hold_the_message(self, message, options):
        with pytest.raises(aztec.DataOverflowError) as raised:
            make(message, **options)
        assert "split it across symbols" not in str(raised.value)
        with pytest.raises(aztec.DataOverflowError):
            make_sequence(message, **options)

    @pytest.mark.parametrize("call, error, words", [
        (lambda: make_sequence("abc", symbols=1), aztec.InvalidOptionError, ["2 to 26"]),
        (lambda: make_sequence("abc", symbols=27), aztec.InvalidOptionError, ["2 to 26"]),
        (lambda: make_sequence("abc", symbols=2.0), TypeError, ["symbols"]),
        (lambda: make_sequence("abc", id="A B"), aztec.InvalidOptionError, ["without spaces"]),
        (lambda: make_sequence("abc", id=7), TypeError, ["id"]),
        (lambda: make_sequence("ab", symbols=3), aztec.InvalidOptionError, ["2 characters", "3 symbols"]),
        (lambda: make_sequence("Ж", symbols=2), aztec.InvalidOptionError, ["1 character"]),
        (lambda: make_sequence("abc", optimal=False), aztec.InvalidOptionError, ["optimal=False"]),
        (lambda: make_sequence(""), aztec.AztecError, ["empty"]),
    ])
    def test_bad_sequences_are_refused(self, call, error, words):
        with pytest.raises(error) as raised:
            call()
        assert all(word in str(raised.value) for word in words), str(raised.value)


# --- Reader initialisation --------------------------------------------------------

class TestReaderInit:
    @slow(15)
    @given(message=st.binary(min_size=1, max_size=1500), ec=st.sampled_from([5, 23, 50]))
    def test_reader_initialisation_is_reported_and_sizes_can_carry_it(self, message, ec):
        try:
            symbol = make(message, reader_init=True, ec_percent=ec)
        except aztec.DataOverflowError as error:
            assert "reader-initialisation" in str(error)
            assert make(message, ec_percent=ec).layers > 22
            return
        assert (symbol.compact and symbol.layers == 1) or (not symbol.compact and symbol.layers <= 22)
        found = read(symbol)
        assert found.extra.get("ReaderInit") is True and found.bytes == message
        assert not read(make(message, ec_percent=ec)).extra.get("ReaderInit")

    def test_reader_initialisation_with_an_eci(self):
        symbol = make("Привет, сканер", reader_init=True)
        found = read(symbol)
        assert symbol.eci == 26 and found.extra.get("ReaderInit") is True and found.text == "Привет, сканер"
        found = read(make(["SET ", "Привет"], reader_init=True))
        assert found.extra.get("ReaderInit") is True and found.text == "SET Привет"

    def test_a_message_too_long_for_the_sizes_that_carry_it_says_why(self):
        with pytest.raises(aztec.DataOverflowError) as raised:
            make(b"x" * 3000, reader_init=True)
        text = str(raised.value)
        assert "full symbol of 22 layers" in text and "reader-initialisation mark" in text
        assert "reader_init=False" in text and "make_sequence" in text
        assert make(b"x" * 3000).layers > 22

    @pytest.mark.parametrize("options, words", [
        ({"layers": 23}, ["reader_init=True", "22"]),
        ({"compact": True, "layers": 2}, ["reader_init=True", "compact symbols have 1 to 1"]),
        ({"reader_init": 1}, None),
    ])
    def test_sizes_that_cannot_carry_it_are_refused(self, options, words):
        error = TypeError if words is None else aztec.InvalidOptionError
        with pytest.raises(error) as raised:
            make("SET UP", **{"reader_init": True, **options})
        assert words is None or all(word in str(raised.value) for word in words), str(raised.value)
