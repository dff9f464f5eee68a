"""The smallest symbol for a message, exactly: the codeword-optimal
programme against a plain search (codeword_reference.fewest_words) and the
tests' decoder, and the choice of the symbol read back by zxing-cpp."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from codeword_reference import fewest_words
from quillbank.aztec import _aztec, _test_hooks
from stream_decoder import decode_bits, decode_flagged, unpack
from symbol_pictures import modules_gray, read

WIDTHS = (6, 8, 10, 12)
PIECES = [b"A", b"B", b"a", b"b", b"0", b"9", b" ", b".", b". ", b",", b": ", b"\r\n", b"@", b"!", b"\x01",
          b"\x80", b"\xff", b"Z", b"z", b":"]
short_messages = st.lists(st.one_of(st.sampled_from(PIECES), st.binary(min_size=1, max_size=4)),
                          max_size=6).map(b"".join)
# Found by bench/stuffing.py: a longer stream (or another of equal length)
# takes fewer codewords than the shortest stream and fits a smaller symbol.
SMALLER = [
    (b"0@91b@", 19, 15),
    (b"XKfX2&i", 19, 15),
    (b"A\x01 9@,\xff\xff9. !\x809\xff0bB9", 23, 19),
    (bytes.fromhex("df9a89f6bdbf3bbae6d19a0c875064f77f8f68622ec87335767" "54d1498e44ade590a"), 27, 23),
]


def stuffed(packed, bit_count, width):
    return len(_test_hooks.stuffed_words(unpack(packed, bit_count), width))


def symbol_of(packed, bit_count, compact=None, layers=None, ec_percent=23):
    return _aztec.build(packed, bit_count, compact=compact, layers=layers, ec_percent=ec_percent)


def reads_back(symbol, message):
    return read(modules_gray(symbol.modules, symbol.size)) == (message, None)


class TestFewestCodewords:
    @settings(max_examples=150, deadline=None)
    @given(message=short_messages)
    def test_as_few_as_the_search_finds_and_decodes(self, message):
        for width in WIDTHS:
            packed, bit_count, words = _test_hooks.fewest_codewords(message, width)
            assert words == fewest_words(message, width), width
            assert stuffed(packed, bit_count, width) == words, width
            assert decode_bits(unpack(packed, bit_count)) == (message, None)
            # A bound only prunes: the minimum within it, nothing below it.
            assert _test_hooks.fewest_codewords(message, width, at_most=words)[2] == words
            assert words == 0 or _test_hooks.fewest_codewords(message, width, at_most=words - 1) is None

    # Long stretches of bytes only binary shift carries, whose equal bits
    # stuff wherever the codewords fall, between short text: the bound
    # prunes by that stuffing and by the run headers the text forces, and
    # must still find the unbounded minimum, flags in between or not.
    @settings(max_examples=60, deadline=None)
    @given(data=st.data(), pieces=st.lists(st.sampled_from([b"\x00" * 9, b"\xff" * 7, b"\x80", b"\x0e\x00", b"A",
                                                             b"\x01", b"\x7f\xff", b". ab"]), min_size=1, max_size=40))
    def test_a_bound_keeps_the_minimum_of_stuffing_binary(self, data, pieces):
        message = b"".join(pieces)
        positions = sorted(data.draw(st.lists(st.integers(0, len(message)), max_size=2)))
        flags = [(p, data.draw(st.one_of(st.none(), st.just(3)))) for p in positions]
        for width in WIDTHS:
            words = _test_hooks.fewest_codewords(message, width, flags)[2]
            assert _test_hooks.fewest_codewords(message, width, flags, at_most=words)[2] == words, width
            assert _test_hooks.fewest_codewords(message, width, flags, at_most=words - 1) is None, width

    # A run's header is 10 bits up to 31 bytes and 21 bits beyond, and the
    # bound that prunes counts it so: runs of 30 to 33 bytes, ended by text,
    # a flag or the message's end, are where a bound a byte off would drop
    # the minimum (the search without a bound, and the plain search, say
    # what it is).
    @pytest.mark.parametrize("run", [30, 31, 32, 33])
    def test_runs_either_side_of_the_short_header_keep_the_minimum(self, run):
        message = b"A" + b"\x00" * run + b"9" + b"\xff" * (63 - run) + b"a."
        fewest = fewest_words(message, 12)
        assert _test_hooks.fewest_codewords(message, 12, at_most=fewest)[2] == fewest
        assert _test_hooks.fewest_codewords(message, 12, at_most=fewest - 1) is None
        for flags in ([(1 + run, None)], [(run // 2, 3)], [(len(message) - 2, None)]):
            for width in WIDTHS:
                words = _test_hooks.fewest_codewords(message, width, flags)[2]
                assert _test_hooks.fewest_codewords(message, width, flags, at_most=words)[2] == words, (flags, width)
                assert _test_hooks.fewest_codewords(message, width, flags, at_most=words - 1) is None, (flags, width)

    # Here the open codeword's kind (all 0, all 1 or mixed), not only its
    # length, decides the count: pruning must keep all three.
    @pytest.mark.parametrize("message", [b"\x13}aa", b" ,aa", b" :b\x1b", b"!\x00\x01\x1c", b"(,bz"])
    def test_keeps_every_kind_of_open_codeword(self, message):
        for width in WIDTHS:
            assert _test_hooks.fewest_codewords(message, width)[2] == fewest_words(message, width), width

    @settings(max_examples=100, deadline=None)
    @given(data=st.data(), message=short_messages, append=st.booleans())
    def test_flags_and_structured_append_decode_and_never_cost_more(self, data, message, append):
        positions = sorted(data.draw(st.lists(st.integers(0, len(message)), max_size=3)))
        flags = [(p, data.draw(st.one_of(st.none(), st.integers(0, 999999)))) for p in positions]
        shortest = _aztec.encode_segments(message, flags, append)
        for width in WIDTHS:
            packed, bit_count, words = _test_hooks.fewest_codewords(message, width, flags, append)
            assert stuffed(packed, bit_count, width) == words <= stuffed(*shortest, width)
            assert decode_flagged(unpack(packed, bit_count)) == (message, flags, append)

    # The bounds are tried at the start before any cell is filled, from the
    # state the start leaves (M/L U/L for a structured-append symbol), and
    # the codeword bound among them only where a quarter of the bytes or
    # more are 00 or FF: either side of that share, with the append start
    # and a flag, a bound keeps the unbounded minimum and refuses one below.
    @pytest.mark.parametrize("zero_runs", [4, 5])
    def test_bounds_tried_before_the_fill_keep_the_minimum(self, zero_runs):
        rng = random.Random(zero_runs)
        pieces = [b"\x00" * 5] * zero_runs + [bytes([rng.randrange(0x80, 0xFF)]) for _ in range(100 - 5 * zero_runs)]
        rng.shuffle(pieces)
        message = b"".join(pieces)[:100]
        assert 4 * message.count(0) >= 100 if zero_runs == 5 else 4 * message.count(0) < 100
        for flags, append in (([], False), ([], True), ([(40, 3)], True), ([(0, None)], False)):
            for width in WIDTHS:
                packed, bit_count, words = _test_hooks.fewest_codewords(message, width, flags, append)
                assert decode_flagged(unpack(packed, bit_count)) == (message, flags, append)
                assert stuffed(packed, bit_count, width) == words
                assert _test_hooks.fewest_codewords(message, width, flags, append, words)[2] == words
                assert _test_hooks.fewest_codewords(message, width, flags, append, words - 1) is None

    def test_refuses_a_width_no_symbol_has(self):
        with pytest.raises(ValueError, match="widths"):
            _test_hooks.fewest_codewords(b"A", 7)
        with pytest.raises(TypeError):
            _test_hooks.fewest_codewords(1.5, 6)


class TestSmallestSymbol:
    @pytest.mark.parametrize("message, today, smallest", SMALLER)
    def test_found_cases_get_the_smaller_symbol_and_read_back(self, message, today, smallest):
        assert symbol_of(*_aztec.encode_stream(message)).size == today
        packed, bit_count, compact, layers = _test_hooks.smallest_symbol(message)
        built = symbol_of(packed, bit_count, compact, layers)
        assert built.size == smallest
        assert reads_back(built, message)

    @settings(max_examples=150, deadline=None)
    @given(message=st.lists(st.one_of(st.sampled_from(PIECES), st.binary(min_size=1, max_size=40)),
                            min_size=1, max_size=12).map(b"".join),
           ec_percent=st.sampled_from([5, 23, 50]))
    def test_never_larger_than_the_shortest_streams_and_reads_back(self, message, ec_percent):
        today = symbol_of(*_aztec.encode_stream(message), ec_percent=ec_percent)
        packed, bit_count, compact, layers = _test_hooks.smallest_symbol(message, ec_percent=ec_percent)
        built = symbol_of(packed, bit_count, compact, layers, ec_percent)
        assert built.size <= today.size
        assert reads_back(built, message)

    def test_requests_as_the_symbol_writer_takes_them(self):
        packed, bit_count, compact, layers = _test_hooks.smallest_symbol(b"0@91b@", compact=0)
        assert (compact, layers) == (False, 1)
        assert _test_hooks.smallest_symbol(b"\x80" * 3000) is None
        with pytest.raises(ValueError):
            _test_hooks.smallest_symbol(b"A", compact=1, layers=5)
        with pytest.raises(ValueError):
            _test_hooks.smallest_symbol(b"A", compact=0, layers=30, reader_init=True)


# --- Near a size's capacity -----------------------------------------------------

def zero_one_runs(rng, n):
    """n bytes of runs of 00 and FF with short text between: they stuff
    wherever the codewords fall, and the text is where a stream may leave
    its run."""
    out = b""
    while len(out) < n:
        out += rng.choice([b"\x00" * rng.randrange(1, 12), b"\xff" * rng.randrange(1, 12),
                           rng.randbytes(rng.randrange(1, 6)), b"A"])
    return out[:n]


def near_capacity_kinds():
    """Messages of the kinds that stuff differently, each made the same
    way every run."""
    import json
    import random

    rng = random.Random(20)
    letters = b"abcdefghijklmnopqrstuvwxyz ABCDEFGHIJ0123456789.,"

    def text(n):
        return bytes(rng.choice(letters) for _ in range(n))

    def mixed(n):
        out = b""
        while len(out) < n:
            out += text(rng.randrange(5, 40)) + rng.randbytes(rng.randrange(4, 30))
        return out[:n]

    tickets = "".join(json.dumps({"id": rng.randrange(10**6), "seat": f"{rng.randrange(60)}C", "paid": True})
                      for _ in range(20)).encode()
    utf8 = "".join(rng.choice("Grüße aus Köln Съешь ещё 欢迎光临 ab 12") for _ in range(400)).encode()
    return {"text": text(600), "digits": bytes(rng.choice(b"0123456789") for _ in range(600)), "json": tickets[:600],
            "mixed": mixed(600), "utf8": utf8[:600], "random": rng.randbytes(600), "00/FF runs": zero_one_runs(rng, 600)}


NEAR_KINDS = near_capacity_kinds()
# Sizes whose capacity falls within the messages above, each width among them.
NEAR_SHAPES = [(True, 1), (True, 2), (True, 4), (False, 2), (False, 5), (False, 9), (False, 12)]


def lengths_near(message, compact, layers):
    """Start lengths of ``message`` around where the shortest stream's bits
    fill the shape's codewords: where stuffing decides whether it fits."""
    _, width, _, words = _aztec.capacity(compact, layers, 23)

    def lower_bound_fits(length):
        return -(-_aztec.encode_stream(message[:length])[1] // width) <= words

    low, high = 1, len(message)
    while low < high:
        middle = (low + high + 1) // 2
        low, high = (middle, high) if lower_bound_fits(middle) else (low, middle - 1)
    return width, words, [n for n in range(low - 3, low + 2) if 0 < n <= len(message)]


class TestNearCapacity:
    # The bound prunes by the fewest bits still to come from each cell and
    # mode: pruning too much (a bound that is not one) loses the minimum
    # exactly here, where the capacity is a bit or two from it.
    @pytest.mark.parametrize("kind", sorted(NEAR_KINDS))
    @pytest.mark.parametrize("compact, layers", NEAR_SHAPES)
    def test_the_capacity_as_bound_keeps_the_unbounded_minimum(self, kind, compact, layers):
        width, capacity, lengths = lengths_near(NEAR_KINDS[kind], compact, layers)
        for length in lengths:
            message = NEAR_KINDS[kind][:length]
            fewest = _test_hooks.fewest_codewords(message, width)[2]
            found = _test_hooks.fewest_codewords(message, width, at_most=capacity)
            assert (found is None) == (fewest > capacity), length
            if found is not None:
                assert found[2] == fewest and stuffed(*found[:2], width) == fewest, length
                assert decode_bits(unpack(*found[:2])) == (message, None)
            assert _test_hooks.fewest_codewords(message, width, at_most=fewest)[2] == fewest
            assert _test_hooks.fewest_codewords(message, width, at_most=fewest - 1) is None

    # Runs of 00 and FF bytes a codeword over the largest sizes' capacities,
    # the slowest messages to settle: the capacity as bound must keep the
    # unbounded minimum there too (the 600-byte "00/FF runs" kind above is
    # what catches a bound that prunes too much).
    @pytest.mark.parametrize("layers", [31, 32])
    def test_runs_that_stuff_at_the_largest_sizes_keep_the_unbounded_minimum(self, layers):
        import random

        message = zero_one_runs(random.Random(layers), 2400)
        _, width, _, capacity = _aztec.capacity(False, layers, 23)

        def shortest_fits(length):
            return _aztec.stuffed_count(*_aztec.encode_stream(message[:length]), width) <= capacity

        low, high = 1, len(message)
        while low < high:
            middle = (low + high + 1) // 2
            low, high = (middle, high) if shortest_fits(middle) else (low, middle - 1)
        for length in (low, low + 1):
            start = message[:length]
            fewest = _test_hooks.fewest_codewords(start, width)[2]
            found = _test_hooks.fewest_codewords(start, width, at_most=capacity)
            assert (found is None) == (fewest > capacity), length
            assert _test_hooks.fewest_codewords(start, width, at_most=fewest)[2] == fewest
            assert _test_hooks.fewest_codewords(start, width, at_most=fewest - 1) is None

    @pytest.mark.parametrize("kind", sorted(NEAR_KINDS))
    def test_smallest_symbol_is_the_first_size_the_minimum_fits_and_reads_back(self, kind):
        shapes = sorted(((_aztec.capacity(c, n, 23)[0], not c, n, c) for c, n in NEAR_SHAPES))
        for _, _, layers, compact in shapes:
            _, _, lengths = lengths_near(NEAR_KINDS[kind], compact, layers)
            message = NEAR_KINDS[kind][:lengths[-1]]
            packed, bit_count, got_compact, got_layers = _test_hooks.smallest_symbol(message)
            for size, full, n, c in sorted((_aztec.capacity(c, n, 23)[0], not c, n, c)
                                           for c in (True, False) for n in range(1, 5 if c else 33)):
                _, width, _, words = _aztec.capacity(c, n, 23)
                if words > 0 and _test_hooks.fewest_codewords(message, width, at_most=words) is not None:
                    assert (got_compact, got_layers) == (c, n), (kind, len(message))
                    break
            assert reads_back(symbol_of(packed, bit_count, got_compact, got_layers), message)


# --- The longest start that fits ---------------------------------------------------

class TestFittingStart:
    # One encoding of the whole message: each start's stream is walked back
    # from its cells, which must be those an encoding of the start alone
    # fills.  So the start found must be one that real encodings of the
    # starts say fits, the next one must not, and where fitting goes down
    # with length (all but always) it is the longest.
    @settings(max_examples=80, deadline=None)
    @given(message=st.lists(st.one_of(st.sampled_from(PIECES + [b"\x00" * 9, b"\xff" * 7]),
                                      st.binary(min_size=1, max_size=30)), min_size=2, max_size=12).map(b"".join),
           eci=st.one_of(st.none(), st.integers(0, 999999)), width=st.sampled_from(WIDTHS), data=st.data())
    def test_the_start_that_encodings_of_the_starts_find(self, message, eci, width, data):
        starts = [_aztec.encode_stream(message[:n], eci) for n in range(len(message))]
        whole = _aztec.encode_stream(message, eci)
        words = data.draw(st.integers(0, _aztec.stuffed_count(*whole, width) + 1))

        def fits(n):
            packed, bits = starts[n]
            return n == 0 or (bits <= words * width and max(1, _aztec.stuffed_count(packed, bits, width)) <= words)

        packed, bits, fitting = _aztec.fitting_start(message, eci, words=words, width=width)
        assert (packed, bits) == whole
        assert fits(fitting) and (fitting == len(message) - 1 or not fits(fitting + 1))
        fitting_starts = [fits(n) for n in range(len(message))]
        if fitting_starts == sorted(fitting_starts, reverse=True):
            assert fitting == fitting_starts.count(True) - 1

    @pytest.mark.parametrize("letters", [b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 .,-/",
                                         b"\x00\xff\x00\xffA", "Grüße Köln 欢迎 abc 123".encode()])
    def test_a_refusal_after_an_encoding_names_the_message_s_own_fitting_start(self, letters):
        # Messages a little too long for any symbol, which make encodes
        # before refusing: the refusal's figures walk the cells of that
        # encoding again.  They must be the message's own (those of an
        # encoding after another message's), and the start they name must
        # fit and the next byte not.
        from quillbank import aztec

        rng = random.Random(letters[:4])
        _, width, _, words = _aztec.capacity(False, 32, 23)
        refused = 0
        for _ in range(6):
            message = bytes(rng.choice(letters) for _ in range(4600))
            fitting = _aztec.fitting_start(message, None, words=words, width=width)[2]
            message = message[:fitting + rng.randint(1, 40)]
            with pytest.raises(aztec.DataOverflowError) as refusal:
                aztec.make(message)
            _aztec.encode_stream(bytes([message[0] ^ 1]) + message[1:])  # the thread's cells: another message's
            assert refusal.value.fitting_bytes == _aztec.fitting_start(message, None, words=words, width=width)[2]
            aztec.make(message[:refusal.value.fitting_bytes])
            with pytest.raises(aztec.DataOverflowError):
                aztec.make(message[:refusal.value.fitting_bytes + 1])
            refused += 1
        assert refused == 6

    def test_refuses_what_the_encoder_refuses(self):
        with pytest.raises(ValueError, match="6, 8, 10 or 12"):
            _aztec.fitting_start(b"AB", None, words=3, width=7)
        with pytest.raises(ValueError, match="ECI"):
            _aztec.fitting_start(b"AB", 1000000, words=3, width=6)
        with pytest.raises(ValueError, match="words"):
            _aztec.fitting_start(b"AB", None, words=-1, width=6)
        with pytest.raises(TypeError):
            _aztec.fitting_start(b"AB", "3", words=3, width=6)
        with pytest.raises(TypeError):
            _aztec.fitting_start(b"AB", None, words=3)
        # str is taken as the other stream functions take it: as UTF-8
        assert _aztec.fitting_start("AB", None, words=3, width=6) == \
            _aztec.fitting_start(b"AB", None, words=3, width=6)
