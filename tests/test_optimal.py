"""The optimal encoder: shortest streams, checked against a shortest-path
search (shortest_reference.py), against the search encoder, and by decoding."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quillbank.aztec.encoder import Encoder
from quillbank.aztec.errors import InvalidOptionError
from quillbank.aztec.optimal import encode_optimal, encode_optimal_stream
from shortest_reference import LONGEST_RUN, reference_length
from stream_decoder import decode_bits, unpack


def run_header_bits(length):
    """The fewest header bits of runs that carry 0, 1, ... `length` bytes:
    the best cut into runs, tried over every last-run length."""
    headers = [0] * (length + 1)
    for total in range(1, length + 1):
        short = min(headers[max(0, total - 31):total]) + 10
        longs = headers[max(0, total - LONGEST_RUN):max(0, total - 31)]
        headers[total] = min(short, min(longs) + 21) if longs else short
    return headers


def binary_only_length(length):
    """Fewest bits for `length` bytes that only binary shift can carry."""
    return 8 * length + run_header_bits(length)[length]


# ---------------------------------------------------------------------------
# Messages that exercise every choice: each mode's characters, the pair
# halves, bytes only binary shift carries, and runs of them around 31 bytes.

PIECES = [b"A", b"Z", b"a", b"z", b"0", b"7", b" ", b".", b",", b":", b"\r", b"\n", b"!",
          b"@", b"\\", b"|", b"\x7f", b"\x01", b"\x1b", b"\x00", b"\x0e", b"\x80", b"\xff",
          b"\r\n", b". ", b", ", b": ", b"AB", b"ab", b"12", b"{", b"}"]


def random_message(rng, pieces):
    parts = []
    for _ in range(rng.randint(0, pieces)):
        if rng.random() < 0.08:
            parts.append(bytes(rng.randint(0, 255) for _ in range(rng.randint(25, 45))))
        else:
            parts.append(rng.choice(PIECES))
    return b"".join(parts)


message_strategy = st.lists(
    st.one_of(st.sampled_from(PIECES), st.binary(min_size=1, max_size=40)), max_size=12
).map(b"".join)
eci_strategy = st.one_of(st.none(), st.integers(0, 999999))


def optimal_bits(message, eci=None):
    return encode_optimal(message, eci=eci, asBits=True)


def check_decodes(bits, message, eci=None):
    assert decode_bits(bits) == (message, None if eci is None else eci % 1000000)


# ---------------------------------------------------------------------------


class TestShortest:
    def test_random_messages_match_the_reference(self):
        rng = random.Random(24778)
        for _ in range(600):
            message = random_message(rng, 10)
            eci = rng.choice([None, None, None, 3, 26, 899999])
            bits = optimal_bits(message, eci)
            assert len(bits) == reference_length(message, eci), message
            check_decodes(bits, message, eci)

    @settings(max_examples=300, deadline=None)
    @given(message=message_strategy)
    def test_generated_messages_match_the_reference(self, message):
        bits = optimal_bits(message)
        assert len(bits) == reference_length(message)
        check_decodes(bits, message)

    @pytest.mark.parametrize("text", [
        "Hello, World!", "https://example.com/path?q=1&r=2", '{"id": 12, "ok": true}',
        "Grüße aus Köln", "Ünïcödé ünd ßpäß, 日本語のテキスト", "12 Main St.\r\nSpringfield, IL: 62701",
        "a1b2c3D4E5F6. , : \r\n", "(01)09501101530003(17)250101(10)ABC123",
    ])
    def test_everyday_text_matches_the_reference(self, text):
        message = text.encode("utf-8")
        bits = optimal_bits(message)
        assert len(bits) == reference_length(message)
        check_decodes(bits, message)

    def test_binary_then_text_across_the_long_header(self):
        # A long run beside text: where to end the run and how to split it.
        rng = random.Random(5)
        for size in (30, 31, 32, 33, 61, 62, 63, 64, 90):
            for tail in (b"", b"A", b"AB", b"ab.", b"12345", b"\x00A\x80"):
                message = bytes(rng.randint(128, 255) for _ in range(size)) + tail
                message = message[:size // 2] + b"x" + message[size // 2:]
                bits = optimal_bits(message)
                assert len(bits) == reference_length(message), (size, tail)
                check_decodes(bits, message)


class TestBinaryRuns:
    @pytest.mark.parametrize("length", [
        1, 31, 32, 62, 63, 64, 2077, 2078, 2079, 2078 + 31, 2078 + 32, 2078 + 62,
        2078 + 63, 2 * 2078, 2 * 2078 + 1, 3 * 2078 + 40,
    ])
    def test_bytes_without_text_codes_cut_into_the_best_runs(self, length):
        rng = random.Random(length)
        message = bytes(rng.choice([0, 14, 20, 26, 128, 200, 255]) for _ in range(length))
        bits = optimal_bits(message)
        assert len(bits) == binary_only_length(length)
        check_decodes(bits, message)

    def test_run_headers_use_both_length_forms(self):
        def headers(bits):
            # B/S code, then the 5-bit length, then 11 more bits if it is 0.
            value = int("".join("1" if b else "0" for b in bits[:21]), 2)
            return value >> 16, (value >> 11) & 31, value & 2047

        assert headers(optimal_bits(b"\x80" * 63)) == (31, 0, 63 - 31)
        assert headers(optimal_bits(b"\x80" * 31))[:2] == (31, 31)
        # 32 to 62 bytes go as two short runs, 20 header bits instead of 21.
        assert len(optimal_bits(b"\x80" * 40)) == 20 + 8 * 40


class TestNeverLongerThanEncoder:
    @settings(max_examples=400, deadline=None)
    @given(message=message_strategy, eci=eci_strategy)
    def test_generated_messages(self, message, eci):
        bits = optimal_bits(message, eci)
        assert len(bits) <= len(Encoder().encode(message, eci=eci, asBits=True))
        check_decodes(bits, message, eci)

    @settings(max_examples=200, deadline=None)
    @given(text=st.text(max_size=60))
    def test_generated_text(self, text):
        bits = optimal_bits(text)
        assert len(bits) <= len(Encoder().encode(text, asBits=True))
        check_decodes(bits, text.encode("utf-8"))


class TestForms:
    @pytest.mark.parametrize("message", [b"", b"A", b"Hello, World!", bytes(range(256)), b"\x80" * 40])
    def test_packed_bytes_bits_and_count_agree(self, message):
        bits = encode_optimal(message, asBits=True)
        packed = encode_optimal(message)
        stream, count = encode_optimal_stream(message)
        assert isinstance(packed, bytes) and stream == packed
        assert count == len(bits) and len(packed) == (count + 7) // 8
        assert unpack(packed, count) == bits
        assert all(type(b) is bool for b in bits)
        # The padding bits of the last byte are zero.
        assert not count % 8 or packed[-1] >> (count % 8) == 0

    def test_message_types_give_the_same_stream(self):
        expected = encode_optimal(b"Gr\xc3\xbc\xc3\x9fe, 12.")
        assert encode_optimal("Grüße, 12.") == expected
        assert encode_optimal(bytearray(b"Gr\xc3\xbc\xc3\x9fe, 12.")) == expected
        assert encode_optimal(memoryview(b"xxGr\xc3\xbc\xc3\x9fe, 12.")[2:]) == expected
        strided = memoryview(b"G-r-\xc3-\xbc-\xc3-\x9f-e-,- -1-2-.")[::2]
        assert encode_optimal(strided) == expected

    def test_eci_is_placed_first_and_read_back(self):
        for eci in (0, 7, 26, 123456, 999999):
            bits = encode_optimal("Ab1", eci=eci, asBits=True)
            assert decode_bits(bits) == (b"Ab1", eci)
            assert bits[:5] == [False] * 5  # P/S from Upper
        assert encode_optimal("x", eci=False) == encode_optimal("x")  # no designator, as make() reads False
        with pytest.raises(TypeError, match="not True"):
            encode_optimal("x", eci=True)

    def test_eci_numbers_of_more_than_six_digits_are_refused_not_wrapped(self):
        # 1000026 was written as ECI 26: the wrap belongs to the search
        # encoder alone.
        for call in (lambda: encode_optimal(b"AB", 1000026), lambda: encode_optimal_stream(b"AB", 2 ** 32 - 1)):
            with pytest.raises(InvalidOptionError, match="ECI numbers are 0 to 999999, not"):
                call()

    @pytest.mark.parametrize("data, eci, error", [
        (123, None, TypeError), (["A"], None, TypeError), (None, None, TypeError),
        ("A", "3", TypeError), ("A", -1, InvalidOptionError), ("A", 2 ** 32, InvalidOptionError),
        ("\ud800", None, UnicodeEncodeError),
    ])
    def test_bad_arguments_are_refused(self, data, eci, error):
        with pytest.raises(error):
            encode_optimal(data, eci=eci)

    def test_equal_input_gives_equal_output(self):
        # The tie rule makes the stream a function of the message.
        rng = random.Random(1)
        for _ in range(50):
            message = random_message(rng, 12)
            first = encode_optimal(message)
            assert all(encode_optimal(bytes(message)) == first for _ in range(3))


    def test_threads_encoding_at_once_get_the_serial_streams(self):
        # The encoder runs without the GIL, on per-thread working storage.
        import threading

        rng = random.Random(3)
        messages = [random_message(rng, 40) for _ in range(60)] + [bytes(range(256)) * 9]
        expected = [encode_optimal(m) for m in messages]
        wrong = []

        def work():
            for _ in range(4):
                wrong.extend(m for m, e in zip(messages, expected) if encode_optimal(m) != e)

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert wrong == []


class TestSymbols:
    """Whole symbols of the optimal stream (make's default), read by a real reader."""

    @pytest.mark.parametrize("message", [
        b"Hello, World!", "Grüße, 東京 ".encode() * 3, bytes(range(256)), b"HTTPS://X.EXAMPLE/\r\n. , : 0123",
    ])
    def test_reader_decodes_symbols_of_the_stream(self, message):
        zxingcpp = pytest.importorskip("zxingcpp")
        numpy = pytest.importorskip("numpy")
        import quillbank.aztec as aztec
        from quillbank.aztec.builder import data_stream

        assert data_stream(message) == optimal_bits(message)
        symbol = aztec.make(message)
        grid = numpy.frombuffer(symbol.modules, dtype=numpy.uint8).reshape(symbol.size, symbol.size)
        image = numpy.pad(numpy.where(grid == 1, 0, 255).astype(numpy.uint8), 4, constant_values=255)
        image = numpy.kron(image, numpy.ones((4, 4), dtype=numpy.uint8))
        results = zxingcpp.read_barcodes(image, formats=zxingcpp.BarcodeFormat.Aztec)
        assert len(results) == 1 and results[0].bytes == message
