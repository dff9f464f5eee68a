"""Stretches of bytes that only binary shift carries, which the optimal
encoder fills without its general step while every run repeats the one
before it (a "steady" stretch): the streams must stay shortest where such a
stretch starts and ends, that is where a run queue's front would move (a
start 31 bytes back leaving the short window, a long run's start leaving the
2,078-byte one), where text or a flag interrupts it, and whatever mode the
text before it leaves each binary mode in."""

import random

import pytest

from quillbank.aztec.optimal import encode_optimal, encode_optimal_segments
from shortest_reference import reference_length
from stream_decoder import decode_bits, decode_flagged, unpack
from test_optimal import binary_only_length

BINARY_ONLY = bytes([0, 14, 26, 128, 155, 200, 255])
# Text that leaves the binary modes (Upper, Lower, Mixed) at different costs,
# so that their run queues differ, pairs and a Digit run among it.
TEXT = [b"A", b"ab", b"@", b"12", b"a@", b"A. ", b"\r\n", b"x1y", b"!"]


def binary(rng, length):
    return bytes(rng.choice(BINARY_ONLY) for _ in range(length))


def stretch_messages():
    """Text, then a stretch of a length about the short window (31) and its
    double, then perhaps text inside it at a distance about the window, and
    text after."""
    rng = random.Random(2477831)
    messages = []
    for length in (2, 3, 4, 30, 31, 32, 33, 34, 61, 62, 63, 64, 65, 93, 94):
        for _ in range(4):
            message = rng.choice(TEXT) + binary(rng, length)
            if rng.random() < 0.5:
                cut = rng.choice([1, 2, 3, 30, 31, 32, 33])
                message = message[:cut] + rng.choice(TEXT) + message[cut:]
            messages.append(message + rng.choice([b"", b"z", b"Q\x80\x81", b"1"]) + binary(rng, rng.randint(0, 40)))
    return messages


class TestSteadyStretches:
    @pytest.mark.parametrize("message", stretch_messages())
    def test_stretches_about_the_windows_are_shortest_and_read_back(self, message):
        bits = encode_optimal(message, asBits=True)
        assert len(bits) == reference_length(message), message
        assert decode_bits(bits) == (message, None)

    def test_sparse_text_among_binary_bytes_is_shortest(self):
        # One text byte in eight, three, two: stretches that just become
        # steady, broken at every distance from their start.
        rng = random.Random(7)
        for share in (0.125, 0.33, 0.5):
            for _ in range(12):
                message = bytes(rng.choice(b"aA0 .,:\r\n@!") if rng.random() < share else rng.choice(BINARY_ONLY)
                                for _ in range(rng.randint(20, 160)))
                bits = encode_optimal(message, asBits=True)
                assert len(bits) == reference_length(message), message
                assert decode_bits(bits) == (message, None)

    def test_flags_inside_a_stretch_end_it(self):
        # A steady stretch stops before a flag's position; the run after the
        # flag starts again from the flag's cell.
        rng = random.Random(11)
        for _ in range(25):
            message = rng.choice(TEXT) + binary(rng, rng.choice([40, 70, 100]))
            positions = sorted(rng.randint(1, len(message)) for _ in range(rng.randint(1, 3)))
            flags = [(position, rng.choice([None, 3, 26])) for position in positions]
            append = rng.random() < 0.3
            packed, count = encode_optimal_segments(message, flags, append)
            assert count == reference_length(message, flags=flags, append=append), (message, flags)
            assert decode_flagged(unpack(packed, count)) == (message, flags, append)

    @pytest.mark.parametrize("length", [2078 + 1, 2078 + 31, 2078 + 32, 2 * 2078 + 33])
    def test_a_long_stretch_after_text_splits_where_the_long_window_ends(self, length):
        # The long run's start leaves its window inside the stretch.  "ab"
        # is L/L and two letters (15 bits); the runs from Lower cost what
        # they cost from Upper, cut as binary_only_length cuts them.
        rng = random.Random(length)
        message = b"ab" + binary(rng, length)
        bits = encode_optimal(message, asBits=True)
        assert len(bits) == 15 + binary_only_length(length)
        assert decode_bits(bits) == (message, None)
