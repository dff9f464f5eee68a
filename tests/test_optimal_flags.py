"""Flags in the shortest stream (FNC1 and ECI designators at byte positions)
and the structured-append start: exact against the reference, read back by
the tests' decoder and, in whole symbols, by zxing-cpp's reader."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quillbank.aztec import _aztec
from quillbank.aztec.optimal import encode_optimal_segments, encode_optimal_stream
from shortest_reference import reference_length
from stream_decoder import decode_flagged, split_append_header, unpack
from symbol_pictures import modules_gray

PIECES = [b"A", b"z", b"7", b"12", b" ", b".", b". ", b",", b": ", b"\r\n", b"!", b"@", b"\x00", b"\x80",
          b"\xff\xfe", b"{", b"ab"]
FLAG_VALUES = st.one_of(st.none(), st.integers(0, 9), st.integers(0, 999999))


@st.composite
def flagged_messages(draw):
    """(message, flags in order of position, structured append)."""
    message = b"".join(draw(st.lists(st.one_of(st.sampled_from(PIECES), st.binary(min_size=1, max_size=35)),
                                     max_size=10)))
    positions = sorted(draw(st.lists(st.integers(0, len(message)), max_size=4)))
    flags = [(position, draw(FLAG_VALUES)) for position in positions]
    return message, flags, draw(st.booleans())


def stream_bits(message, flags=(), append=False):
    return unpack(*encode_optimal_segments(message, flags, append))


class TestShortestWithFlags:
    @settings(max_examples=300, deadline=None)
    @given(case=flagged_messages())
    def test_generated_flags_match_the_reference_and_read_back(self, case):
        message, flags, append = case
        bits = stream_bits(message, flags, append)
        assert len(bits) == reference_length(message, flags=flags, append=append)
        # The decoder finds each flag before its byte: none fell inside a
        # binary run or a Punct pair.
        assert decode_flagged(bits) == (message, flags, append)

    @settings(max_examples=100, deadline=None)
    @given(case=flagged_messages(), eci=st.integers(0, 999999))
    def test_without_flags_the_stream_is_the_plain_one(self, case, eci):
        message = case[0]
        assert encode_optimal_segments(message) == encode_optimal_stream(message)
        assert encode_optimal_segments(message, [(0, eci)]) == encode_optimal_stream(message, eci)

    @pytest.mark.parametrize("message, flags, expected", [
        # D/L before the flag: Digit's P/S is one bit shorter than Upper's.
        (b"01", [(0, None)], "11110" "0000" "00000" "000" "0010" "0011"),
        # ECI 0 is a one-digit designator, not FNC1.
        (b"", [(0, 0)], "00000" "00000" "001" "0010"),
    ])
    def test_hand_streams(self, message, flags, expected):
        assert "".join("1" if b else "0" for b in stream_bits(message, flags)) == expected


class TestArguments:
    @pytest.mark.parametrize("flags, error", [
        ([(3, None)], ValueError), ([(1, None), (0, 5)], ValueError), ([(0, 1000000)], ValueError),
        ([(0, -1)], ValueError), ([(-1, None)], ValueError), ([(2 ** 80, None)], ValueError),
        ([(0, "7")], TypeError), ([(0.0, None)], TypeError), ([[0, None]], TypeError), ([(0,)], TypeError),
        (7, TypeError),
    ])
    def test_bad_flags_are_refused(self, flags, error):
        with pytest.raises(error):
            encode_optimal_segments(b"AB", flags)

    def test_a_bytearray_changed_by_another_thread_is_read_once(self):
        # The message is copied before the lock is released: the stream is
        # of one whole content, never of a mix of two (an encoder reading
        # the caller's buffer without the lock gets mixes here nearly
        # every time: the message is long enough for the other thread to
        # run during the encoding).
        import threading

        size = 200000
        contents = (b"A" * size, b"\x80" * size)
        flags = [(size, None)]
        expected = {encode_optimal_segments(content, flags) for content in contents}
        buffer = bytearray(contents[0])
        done = threading.Event()

        def mutate():
            k = 0
            while not done.is_set():
                buffer[:] = contents[k % 2]
                k += 1

        thread = threading.Thread(target=mutate)
        thread.start()
        try:
            streams = [encode_optimal_segments(buffer, flags) for _ in range(8)]
        finally:
            done.set()
            thread.join()
        assert all(stream in expected for stream in streams)

    def test_positions_count_the_bytes_of_any_message_form(self):
        expected = encode_optimal_segments(b"Gr\xc3\xbc\xc3\x9fe", [(2, 26), (6, None)])
        for data in ("Grüße", bytearray(b"Gr\xc3\xbc\xc3\x9fe"), memoryview(b"xGr\xc3\xbc\xc3\x9fe")[1:]):
            assert encode_optimal_segments(data, [(2, 26), (6, None)]) == expected


# ---------------------------------------------------------------------------
# Whole symbols read by zxing-cpp.


def read_symbol(packed, bit_count, reader_init=False, text_mode=None):
    zxingcpp = pytest.importorskip("zxingcpp")
    pytest.importorskip("numpy")
    symbol = _aztec.build(packed, bit_count, reader_init=reader_init)
    assert symbol is not None
    size, modules = symbol.size, symbol.modules
    options = {} if text_mode is None else {"text_mode": getattr(zxingcpp.TextMode, text_mode)}
    found = zxingcpp.read_barcodes(modules_gray(modules, size), formats=zxingcpp.BarcodeFormat.Aztec, **options)
    assert len(found) == 1
    return found[0]


gs1_text = st.text(alphabet="ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-", min_size=1, max_size=12)


def with_check_digit(digits):
    total = sum(int(d) * (3 if i % 2 == 0 else 1) for i, d in enumerate(reversed(digits)))
    return digits + str(-total % 10)


@st.composite
def gs1_contents(draw):
    """Human-readable GS1 content: a GTIN, a date, and variable-length AIs."""
    parts = []
    if draw(st.booleans()):
        parts.append("(01)" + with_check_digit(draw(st.text(alphabet="0123456789", min_size=13, max_size=13))))
    if draw(st.booleans()):
        parts.append("(17)%02d%02d%02d" % (draw(st.integers(0, 99)), draw(st.integers(1, 12)), draw(st.integers(1, 28))))
    for ai in draw(st.lists(st.sampled_from(["10", "21", "30"]), min_size=1, max_size=3)):
        parts.append(f"({ai})" + (str(draw(st.integers(0, 99999999))) if ai == "30" else draw(gs1_text)))
    return "".join(draw(st.permutations(parts)))


class TestReader:
    @settings(max_examples=25, deadline=None)
    @given(content=gs1_contents())
    def test_gs1_with_fnc1_reads_as_gs1(self, content):
        from quillbank.aztec import gs1

        data = gs1.parse(content)
        stream = encode_optimal_segments(data.element_string, [(p, None) for p in data.fnc1_positions])
        found = read_symbol(*stream, text_mode="HRI")
        assert found.symbology_identifier == "]z1"
        assert found.content_type.name == "GS1"
        assert found.text == gs1.human_readable(content) == data.human_readable

    @settings(max_examples=25, deadline=None)
    @given(latin=st.text(alphabet=st.characters(min_codepoint=32, max_codepoint=255, blacklist_categories=["Cc"]),
                         max_size=20),
           cyrillic=st.text(alphabet="АБВГДЕЖЗабвгдежз ёЁ0123.,", min_size=1, max_size=20))
    def test_an_eci_change_in_the_middle_reads_as_the_joined_text(self, latin, cyrillic):
        first = latin.encode("iso-8859-1")
        message = first + cyrillic.encode("iso-8859-5")
        found = read_symbol(*encode_optimal_segments(message, [(len(first), 7)]))
        assert found.text == latin + cyrillic

    @settings(max_examples=20, deadline=None)
    @given(count=st.integers(2, 26), data=st.data(),
           symbol_id=st.one_of(st.none(), st.text(alphabet="ABCxyz019!#~", min_size=1, max_size=8)),
           part=st.binary(min_size=1, max_size=40))  # the reader reports no empty symbol
    def test_structured_append_parts_read_with_their_data(self, count, data, symbol_id, part):
        from quillbank.aztec.sequence import header

        position = data.draw(st.integers(1, count))
        packed, bit_count = encode_optimal_segments(header(position, count, symbol_id) + part, (), True)
        found = read_symbol(packed, bit_count)
        assert found.symbology_identifier == "]z6"
        assert found.bytes == part
        message, flags, append = decode_flagged(unpack(packed, bit_count))
        assert append and flags == []
        assert split_append_header(message) == (position, count, symbol_id, part)

    @pytest.mark.parametrize("message, eci, text", [
        # The designator after D/L (4-bit P/S), and in Punct after M/L P/L.
        (b"2024 \xa4", 3, "2024 \xa4"), ("!?!? ✓".encode(), 26, "!?!? ✓"), (b"\xb0\xb1!", 7, "АБ!"),
    ])
    def test_a_designator_after_latches_reads_back(self, message, eci, text):
        stream = encode_optimal_segments(message, [(0, eci)])
        assert decode_flagged(unpack(*stream))[1] == [(0, eci)]
        assert read_symbol(*stream).text == text

    def test_flags_after_a_structured_append_header(self):
        from quillbank.aztec import gs1
        from quillbank.aztec.sequence import header

        start = header(1, 2, "X1")
        data = gs1.parse("(01)09501101530003(10)AB(21)7")
        flags = [(len(start) + p, None) for p in data.fnc1_positions]
        found = read_symbol(*encode_optimal_segments(start + data.element_string, flags, True), text_mode="HRI")
        # GS1 in a sequence has its own identifier.
        assert (found.symbology_identifier, found.text) == ("]z7", data.human_readable)
        cyrillic = "Привет, мир".encode("iso-8859-5")
        found = read_symbol(*encode_optimal_segments(start + cyrillic, [(len(start), 7)], True))
        assert (found.symbology_identifier, found.text) == ("]z6", "Привет, мир")

    @pytest.mark.parametrize("message, flags", [
        (b"SET UP SCANNER 42", []), (bytes(range(256)) * 3, []), (b"Ecole \xe9t\xe9", [(0, 3)]),
    ])
    def test_reader_initialisation_is_reported(self, message, flags):
        stream = encode_optimal_segments(message, flags)
        found = read_symbol(*stream, reader_init=True)
        assert found.extra.get("ReaderInit") is True and found.bytes == message
        assert not read_symbol(*stream).extra.get("ReaderInit")

    def test_reader_initialisation_refuses_symbols_that_cannot_carry_it(self):
        packed, bit_count = encode_optimal_segments(b"x" * 2500)
        assert _aztec.build(packed, bit_count, reader_init=True) is None  # more than 22 layers
        assert _aztec.build(packed, bit_count).layers > 22
        with pytest.raises(ValueError, match="reader initialisation"):
            _aztec.build(packed, bit_count, compact=True, layers=3, reader_init=True)
