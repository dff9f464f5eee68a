"""Binary data, where the optimal encoder follows each binary mode's long
run from an old start by remembered transitions (the long-run machine),
handing back to the general programme where a start in the short window,
a front leaving its 2,078-byte window, a flag or a transition not met yet
stops it: streams must stay shortest there and not depend on what the
thread encoded before."""

import random
import zlib

import pytest

from quillbank.aztec.optimal import encode_optimal, encode_optimal_segments
from shortest_reference import LONGEST_RUN, flag_bits, reference_length
from stream_decoder import decode_bits, decode_flagged, unpack
from test_optimal import binary_only_length, run_header_bits
from test_optimal_machine import in_fresh_thread

BINARY_ONLY = bytes([0, 14, 26, 128, 155, 200, 255])
# Text that a binary mode writes in fewer than 8 bits (a start after it has
# a smaller key than the run's), and words of it that make short runs win.
ISLANDS = [b"A", b"a", b"@", b"Q", b"ab", b"AB", b". ", b"\r\n", b"abcd", b"ABCDE", b"1234", b"a@b"]


def random_bytes(rng, length):
    return bytes(rng.getrandbits(8) for _ in range(length))


def with_islands(rng, length):
    """Binary-only bytes with islands of text of one to five bytes."""
    out = bytearray()
    while len(out) < length:
        out += bytes(rng.choice(BINARY_ONLY) for _ in range(rng.choice([1, 3, 20, 31, 32, 45, 70])))
        out += rng.choice(ISLANDS)
    return bytes(out[:length])


def text_that_never_pays(rng, length, lone=b"!#$%()+-/;<=>?[]{}0123456789"):
    """Binary-only bytes with lone characters among them (binary-only bytes
    on either side).  Lone Punct and Digit characters cost at least 9 bits
    from every binary mode: the best stream is the one for binary-only bytes
    (binary_only_length)."""
    message = bytearray(rng.choice(BINARY_ONLY) for _ in range(length))
    for position in range(5, length - 1, rng.choice([3, 7, 11])):
        if message[position - 1] in BINARY_ONLY and message[position + 1] in BINARY_ONLY:
            message[position] = rng.choice(lone)
    return bytes(message)


def lone_capitals_length(message):
    """The fewest bits for binary-only bytes, lone Punct and Digit
    characters and lone capitals: a capital rides in a run (8 bits) or, in
    Upper, ends the run before it and is written in 5 bits, the next run
    paying its own header.  The best choice of capitals written so, each
    part between them cut into runs as binary bytes are."""
    headers = run_header_bits(len(message))

    def runs(length):
        return 8 * length + headers[length]

    capitals = [i for i, byte in enumerate(message) if 65 <= byte <= 90]
    best = {}  # capital position -> fewest bits up to and including it, written as text
    for c in capitals:
        best[c] = min([runs(c) + 5] + [best[s] + runs(c - s - 1) + 5 for s in best])
    return min([runs(len(message))] + [best[s] + runs(len(message) - s - 1) for s in best])


def medium_messages():
    """Long enough for the machine to take over (an old front) and to be
    stopped by text, short enough for the reference search."""
    rng = random.Random(2078)
    english = b"Parcel 7 of 12: handle with care. " * 40
    messages = [random_bytes(rng, rng.randint(120, 260)) for _ in range(4)]
    messages += [with_islands(rng, rng.randint(120, 260)) for _ in range(4)]
    messages += [zlib.compress(english, 9)[:200], b"Ticket\r\n" + random_bytes(rng, 150) + b"Gate 12. "]
    return messages


class TestShortest:
    @pytest.mark.parametrize("message", medium_messages(), ids=lambda message: f"{len(message)} bytes")
    def test_binary_data_is_shortest_and_reads_back(self, message):
        bits = encode_optimal(message, asBits=True)
        assert len(bits) == reference_length(message), message
        assert decode_bits(bits) == (message, None)

    @pytest.mark.parametrize("length", [LONGEST_RUN + 40, 2 * LONGEST_RUN + 1, 2 * LONGEST_RUN + 70])
    def test_text_that_never_pays_leaves_the_runs_as_for_binary_bytes(self, length):
        # The fronts leave their windows among bytes of several classes.
        message = text_that_never_pays(random.Random(length), length)
        bits = encode_optimal(message, asBits=True)
        assert len(bits) == binary_only_length(length)
        assert decode_bits(bits) == (message, None)


    @pytest.mark.parametrize("length", [LONGEST_RUN + 500, 2 * LONGEST_RUN + 300])
    def test_lone_capitals_are_written_where_a_front_leaves_its_window(self, length):
        # A capital in a long run leaves a start 3 bits cheaper than the
        # run's, idle while the front lives and the best one after: the
        # machine must hand back the starts it pushed.
        rng = random.Random(length)
        message = text_that_never_pays(rng, length, lone=b"ABCXYZ!#0123456789")
        bits = encode_optimal(message, asBits=True)
        assert len(bits) == lone_capitals_length(message) < binary_only_length(length)
        assert decode_bits(bits) == (message, None)


class TestLongMessages:
    def long_messages(self):
        rng = random.Random(4156)
        return [random_bytes(rng, 4156 + 63), with_islands(rng, 5000), random_bytes(rng, LONGEST_RUN + 31),
                zlib.compress(random_bytes(rng, 3000) + b"A" * 3000, 1)]

    def test_streams_do_not_depend_on_what_the_thread_encoded_before(self):
        # Fronts leave their windows inside each message; a transition
        # that read anything its state leaves out (a start's age, a key
        # below the short window's bound) would differ between orders.
        messages = self.long_messages()
        forward = in_fresh_thread(lambda: [encode_optimal(m) for m in messages])
        backward = in_fresh_thread(lambda: [encode_optimal(m) for m in reversed(messages)])[::-1]
        again = in_fresh_thread(lambda: [encode_optimal(m) for m in messages + messages])[len(messages):]
        assert forward == backward == again
        for message in messages:
            assert decode_bits(encode_optimal(message, asBits=True)) == (message, None)

    def test_flags_inside_long_runs_stop_the_machine(self):
        # The machine fills the flag's first cell, the general programme
        # writes the flag (P/S and FLG(n) from Upper), and the runs start
        # again after it: with text that never pays, each part between
        # flags is cut as binary bytes are.
        rng = random.Random(31)
        message = text_that_never_pays(rng, 2 * LONGEST_RUN + 100)
        cuts = [p for p in range(1, len(message)) if message[p - 1] in BINARY_ONLY and message[p] in BINARY_ONLY]
        for _ in range(5):
            positions = sorted(rng.sample(cuts, rng.randint(1, 3)))
            flags = [(position, rng.choice([None, 3, 999999])) for position in positions]
            append = rng.random() < 0.5
            packed, count = encode_optimal_segments(message, flags, append)
            parts = zip([0] + positions, positions + [len(message)])
            assert count == (10 if append else 0) + sum(binary_only_length(b - a) for a, b in parts) + sum(
                5 + flag_bits(value) for _, value in flags)
            assert decode_flagged(unpack(packed, count)) == (message, flags, append)
            assert in_fresh_thread(lambda: encode_optimal_segments(message, flags, append)) == (packed, count)
