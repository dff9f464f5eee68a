"""The symbol writer's core arithmetic through its binding: the Galois
fields, Reed–Solomon check words and bit stuffing, against their definitions
written out here in plain Python."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quillbank.aztec import _aztec, _test_hooks

POLYNOMIALS = {4: 0b10011, 6: 0b1000011, 8: 0b100101101, 10: 0b10000001001, 12: 0b1000001101001}


def field_multiply(a, b, width):
    """Carry-less product reduced by the field's polynomial."""
    product = 0
    for i in range(width):
        if b >> i & 1:
            product ^= a << i
    for i in range(2 * width - 2, width - 1, -1):
        if product >> i & 1:
            product ^= POLYNOMIALS[width] << (i - width)
    return product


def evaluate(words, x, width):
    value = 0
    for word in words:
        value = field_multiply(value, x, width) ^ word
    return value


def power(x, n, width):
    value = 1
    for _ in range(n):
        value = field_multiply(value, x, width)
    return value


@settings(max_examples=300, deadline=None)
@given(width=st.sampled_from(sorted(POLYNOMIALS)), data=st.data())
def test_field_multiplication(width, data):
    a = data.draw(st.integers(0, (1 << width) - 1))
    b = data.draw(st.integers(0, (1 << width) - 1))
    assert _test_hooks.gf_multiply(a, b, width) == field_multiply(a, b, width)


@settings(max_examples=150, deadline=None)
@given(width=st.sampled_from(sorted(POLYNOMIALS)), data=st.data())
def test_check_words_make_a_codeword(width, data):
    # data followed by check words is a polynomial with roots x^1 .. x^k.
    most = (1 << width) - 1
    check_count = data.draw(st.integers(1, min(most - 1, 40)))
    words = data.draw(st.lists(st.integers(0, most), min_size=1, max_size=min(most - check_count, 60)))
    check = _test_hooks.check_words(words, check_count, width)
    assert len(check) == check_count and all(0 <= w <= most for w in check)
    for i in range(1, check_count + 1):
        assert evaluate(words + check, power(2, i, width), width) == 0


def test_mode_message_check_words():
    # Compact, 2 layers, 10 data words: 01 001001 -> nibbles 0100 1001.
    words = [0b0100, 0b1001]
    check = _test_hooks.check_words(words, 5, 4)
    assert all(evaluate(words + check, power(2, i, 4), 4) == 0 for i in range(1, 6))
    assert _test_hooks.check_words([0, 0], 5, 4) == [0] * 5


def unstuff(words, width):
    bits = []
    for word in words:
        head = word >> 1
        keep = width - 1 if head in (0, (1 << (width - 1)) - 1) else width
        bits += [word >> (width - 1 - j) & 1 for j in range(keep)]
    return bits


@settings(max_examples=300, deadline=None)
@given(width=st.sampled_from([6, 8, 10, 12]),
       bits=st.lists(st.booleans(), max_size=200) | st.lists(st.sampled_from([True] * 9 + [False]), max_size=200)
       | st.lists(st.sampled_from([False] * 9 + [True]), max_size=200))
def test_stuffing(width, bits):
    words = _test_hooks.stuffed_words(bits, width)
    assert all(w not in (0, (1 << width) - 1) for w in words)
    back = unstuff(words, width)
    # The stream itself, then fewer than `width` padding ones.
    assert back[:len(bits)] == [int(b) for b in bits]
    assert set(back[len(bits):]) <= {1} and len(back) - len(bits) < width


@pytest.mark.parametrize("bits,width,words", [
    ("000001", 6, ["000001", "111110"]),
    ("11111", 6, ["111110"]),
    ("111111", 6, ["111110", "111110"]),
    ("0101", 6, ["010111"]),
    ("1111111", 8, ["11111110"]),
    ("000000000", 10, ["0000000001"]),
])
def test_stuffing_examples(bits, width, words):
    assert _test_hooks.stuffed_words([c == "1" for c in bits], width) == [int(w, 2) for w in words]


def test_capacities():
    # (size, word bits, codewords, data words at 23%) of a few symbols.
    assert _aztec.capacity(True, 1, 23) == (15, 6, 17, 17 - 4 - 3)
    assert _aztec.capacity(True, 4, 0) == (27, 8, 76, 64)  # the mode message counts 64 at most
    assert _aztec.capacity(False, 1, 23) == (19, 6, 21, 21 - 5 - 3)
    assert _aztec.capacity(False, 9, 23) == (53, 10, 230, 230 - 53 - 3)
    assert _aztec.capacity(False, 32, 23) == (151, 12, 1664, 1664 - 383 - 3)


def test_binding_rejects_bad_arguments():
    with pytest.raises(ValueError):
        _test_hooks.gf_multiply(64, 1, 6)
    with pytest.raises(ValueError):
        _test_hooks.check_words([1] * 60, 10, 6)  # longer than GF(64) allows
    with pytest.raises(ValueError):
        _test_hooks.check_words([64], 2, 6)
    with pytest.raises(ValueError):
        _aztec.capacity(True, 5, 23)
    with pytest.raises(ValueError):
        _test_hooks.build([True], 1, 5, 23)
    with pytest.raises(TypeError):
        _test_hooks.build(7, -1, 0, 23)
    with pytest.raises(ValueError):
        _aztec.rune(256)
    with pytest.raises(ValueError):
        _aztec.png(b"\x00" * 3, 2, 1, 0, None, None)

    class Unjudgeable:
        def __bool__(self):
            raise RuntimeError("no truth")

    with pytest.raises(RuntimeError):
        _test_hooks.build([True, Unjudgeable()], -1, 0, 23)
    assert _test_hooks.build((1, 0, 1, 1), -1, 0, 23) == _test_hooks.build([True, False, True, True], -1, 0, 23)
    with pytest.raises(ValueError):
        _aztec.build(b"\x01", 9)


@settings(max_examples=100, deadline=None)
@given(bits=st.lists(st.booleans(), max_size=3000), ec=st.integers(0, 50))
def test_packed_and_listed_streams_give_one_symbol(bits, ec):
    packed = bytearray((len(bits) + 7) // 8)
    for k, bit in enumerate(bits):
        packed[k // 8] |= bit << (k % 8)
    symbol = _aztec.build(bytes(packed) + b"\xff", len(bits), ec_percent=ec)
    built = _test_hooks.build(bits, -1, 0, ec)
    assert (symbol is None and built is None) or (
        symbol.compact, symbol.layers, symbol.size, symbol.data_words, symbol.check_words, symbol.modules) == built


def test_items_that_change_the_list_while_it_is_read():
    bits = [True, False]

    class Clearing:
        def __bool__(self):
            bits.clear()
            return True

    bits[1:1] = [Clearing()] + [True] * 50
    assert _test_hooks.build(bits, -1, 0, 23)[2] == 15  # read up to the change, no crash
    words = [1, 2]

    class Shrinking:
        def __index__(self):
            words.clear()
            return 3

    words.insert(1, Shrinking())
    assert len(_test_hooks.check_words(words, 3, 6)) == 3


def test_binding_keeps_no_references_and_no_memory():
    import gc
    import sys
    import tracemalloc

    bits = [True, False] * 300
    built = _test_hooks.build(bits, -1, 0, 23)
    size, modules = built[2], built[5]
    words = list(range(1, 40))
    references = (sys.getrefcount(bits), sys.getrefcount(modules), sys.getrefcount(words))

    def round_of_calls():
        _test_hooks.build(bits, -1, 0, 23)
        _test_hooks.build(bits, 1, 1, 23)  # does not fit: None
        _aztec.build(modules, 500)
        _aztec.make(b"made plain", ec_percent=23)
        _aztec.make(b"\xff" * 2000, ec_percent=23)  # does not fit: None
        _aztec.rune(7)
        _test_hooks.stuffed_words(bits, 8)
        _test_hooks.check_words(words, 10, 8)
        _test_hooks.layer_positions(True, 2)
        _aztec.png(modules, size, 2, 1, None, None)
        _aztec.svg_path(modules, size, 1)
        for bad in (lambda: _test_hooks.build(bits, 1, 9, 23), lambda: _test_hooks.check_words([999], 2, 6),
                    lambda: _test_hooks.build([object, None, 3j, "x"], -1, 9, 23)):
            try:
                bad()
            except ValueError:
                pass

    for _ in range(50):
        round_of_calls()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(500):
        round_of_calls()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 20_000, grown
    assert (sys.getrefcount(bits), sys.getrefcount(modules), sys.getrefcount(words)) == references
