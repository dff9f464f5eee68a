"""make() and rune(): the choice of symbol, the options and their errors,
and that the data stream reaches the layers unchanged."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillbank.aztec as aztec
from quillbank.aztec import _symbol
from quillbank.aztec.encoder import Encoder
from quillbank.aztec.builder import data_stream

ALL_SHAPES = [(True, n) for n in range(1, 5)] + [(False, n) for n in range(1, 33)]


def layer_words(symbol):
    """The codewords read back from the symbol's layers."""
    positions = _symbol.layer_positions(symbol.compact, symbol.layers)
    width = symbol.word_bits
    lead = len(positions) % width
    assert all(symbol.modules[p] == 0 for p in positions[:lead])
    bits = [symbol.modules[p] for p in positions[lead:]]
    return [int("".join(map(str, bits[i:i + width])), 2) for i in range(0, len(bits), width)]


def unstuffed(words, width):
    bits = []
    for word in words:
        keep = width - 1 if word >> 1 in (0, (1 << (width - 1)) - 1) else width
        bits += [word >> (width - 1 - j) & 1 for j in range(keep)]
    return bits


@settings(max_examples=80, deadline=None)
@given(message=st.binary(max_size=400) | st.text(max_size=200), eci=st.none() | st.integers(0, 999999),
       ec=st.integers(0, 60))
@pytest.mark.parametrize("optimal", [True, False])
def test_stream_reaches_the_layers_unchanged(message, eci, ec, optimal):
    symbol = aztec.make(message, eci=eci, ec_percent=ec, optimal=optimal)
    data = message.encode("utf-8") if isinstance(message, str) else message
    if optimal:
        stream = [int(b) for b in aztec.encode_optimal(data, eci=eci, asBits=True)]
    else:
        stream = [int(b) for b in Encoder().encode(data, eci=eci, asBits=True)]
    words = layer_words(symbol)
    assert len(words) == symbol.data_words + symbol.check_words
    back = unstuffed(words[:symbol.data_words], symbol.word_bits)
    if stream:
        assert back[:len(stream)] == stream and set(back[len(stream):]) <= {1}
    assert symbol.check_words >= -(-(symbol.data_words + symbol.check_words) * ec // 100) + 3
    # Data and check words form a Reed–Solomon codeword: its check words are
    # what the core computes for the data words.
    assert words[symbol.data_words:] == _symbol.check_words(words[:symbol.data_words], symbol.check_words,
                                                            symbol.word_bits)


def smallest_by_capacity(stream, ec, shapes):
    """The symbol the rules choose, worked out from the capacities alone."""
    fitting = []
    for compact, layers in shapes:
        size, width, _, most = _symbol.capacity(compact, layers, ec)
        needed = max(1, len(_symbol.stuffed_words(stream, width)))
        if needed <= most:
            fitting.append((size, not compact, layers, compact))
    if not fitting:
        return None
    size, full, layers, compact = min(fitting)  # by size, compact first
    return compact, layers


@settings(max_examples=120, deadline=None)
@given(length=st.integers(0, 2000), ec=st.sampled_from([0, 10, 23, 50]),
       kind=st.sampled_from([None, True, False]), layers=st.none() | st.integers(1, 32))
def test_choice_is_the_smallest_that_fits(length, ec, kind, layers):
    message = bytes(range(256)) * 8
    message = message[:length]
    stream = data_stream(message)
    shapes = [s for s in ALL_SHAPES if (kind is None or s[0] == kind) and (layers is None or s[1] == layers)]
    if kind is True and layers is not None and layers > 4:
        with pytest.raises(aztec.InvalidOptionError):
            aztec.make(message, ec_percent=ec, compact=kind, layers=layers)
        return
    expected = smallest_by_capacity(stream, ec, shapes)
    if expected is None:
        with pytest.raises(aztec.DataOverflowError):
            aztec.make(message, ec_percent=ec, compact=kind, layers=layers)
        return
    symbol = aztec.make(message, ec_percent=ec, compact=kind, layers=layers)
    assert (symbol.compact, symbol.layers) == expected
    assert symbol.size == _symbol.capacity(*expected, ec)[0] and len(symbol.rows) == symbol.size


def test_symbol_attributes():
    symbol = aztec.make("Hello, world")
    assert (symbol.compact, symbol.layers, symbol.size, symbol.word_bits) == (True, 2, 19, 6)
    assert symbol.data_words + symbol.check_words == 40 and symbol.ec_percent >= 23
    assert all(len(row) == 19 for row in symbol.rows) and symbol.rows[9][9] is True  # the bullseye's centre
    assert symbol == aztec.make(b"Hello, world") and symbol != aztec.make("Hello, world!")
    assert "compact 19x19" in repr(symbol) and not symbol.is_rune and symbol.eci is None
    assert aztec.make(bytearray(b"ab")) == aztec.make(memoryview(b"ab")) == aztec.make("ab")
    assert aztec.make("x", eci=26).eci == 26


def test_runes():
    symbols = [aztec.rune(v) for v in range(256)]
    assert len({s.modules for s in symbols}) == 256
    assert all(s.is_rune and s.size == 11 and s.layers == 0 and s.compact for s in symbols)
    assert "rune" in repr(symbols[0])


@pytest.mark.parametrize("call,error", [
    (lambda: aztec.make("x", eci=-1), aztec.InvalidOptionError),
    (lambda: aztec.make("x", eci=1_000_000), aztec.InvalidOptionError),
    (lambda: aztec.make("x", eci=True), TypeError),
    (lambda: aztec.make("x", eci="26"), TypeError),
    (lambda: aztec.make("x", ec_percent=100), aztec.InvalidOptionError),
    (lambda: aztec.make("x", ec_percent=-1), aztec.InvalidOptionError),
    (lambda: aztec.make("x", ec_percent=23.5), TypeError),
    (lambda: aztec.make("x", compact=True, layers=5), aztec.InvalidOptionError),
    (lambda: aztec.make("x", layers=33), aztec.InvalidOptionError),
    (lambda: aztec.make("x", layers=0), aztec.InvalidOptionError),
    (lambda: aztec.make("x", compact=1), TypeError),
    (lambda: aztec.make(12), TypeError),
    (lambda: aztec.make(b"x" * 2000, compact=True), aztec.DataOverflowError),
    (lambda: aztec.make(b"x" * 200, layers=2), aztec.DataOverflowError),
    (lambda: aztec.make(b"\xff" * 2000), aztec.DataOverflowError),
    (lambda: aztec.make(b"x" * 1000, ec_percent=99), aztec.DataOverflowError),
    (lambda: aztec.rune(256), aztec.InvalidOptionError),
    (lambda: aztec.rune(-1), aztec.InvalidOptionError),
    (lambda: aztec.rune(1.0), TypeError),
])
def test_errors(call, error):
    with pytest.raises(error) as raised:
        call()
    assert "\n" not in str(raised.value)
    if issubclass(error, aztec.AztecError):
        assert isinstance(raised.value, ValueError)


def test_overflow_message_names_the_limit():
    with pytest.raises(aztec.DataOverflowError, match=r"compact symbol of 2 layers \(19x19\) holds at most 27 "):
        aztec.make(b"x" * 200, compact=True, layers=2)
    with pytest.raises(aztec.DataOverflowError, match=r"full symbol of 32 layers \(151x151\) holds at most 1278 "):
        aztec.make(b"\xff" * 2000)


def test_package_imports_lightly():
    import os
    import subprocess
    import sys

    code = ("import sys, quillbank.aztec.encoder; "
            "print(sorted(m for m in sys.modules if m.startswith('quillbank')))")
    python = [sys.executable, "-P"] if sys.version_info >= (3, 11) else [sys.executable]
    out = subprocess.run([*python, "-c", code], capture_output=True, text=True, check=True, cwd=os.sep).stdout
    assert "quillbank.aztec._symbol" not in out and "quillbank.aztec.symbol" not in out and "quillbank.aztec.builder" not in out
    assert aztec.__version__ and set(aztec.__all__) <= set(dir(aztec))


def test_make_takes_a_packed_stream_too(monkeypatch):
    # The optimal encoder hands over packed bytes and a bit count.
    from quillbank.aztec import builder as symbol_module

    message = b"Packed stream, same symbol 0123456789"
    listed = aztec.make(message, eci=7, optimal=False)
    packed = Encoder().encode(message, eci=7)
    count = len(Encoder().encode(message, eci=7, asBits=True))
    monkeypatch.setattr(symbol_module, "_data_stream", lambda data, eci, optimal: (packed, count))
    assert aztec.make(message, eci=7) == listed
    assert data_stream(message, eci=7) == Encoder().encode(message, eci=7, asBits=True)
    with pytest.raises(aztec.DataOverflowError, match=f"its {count} bits"):
        aztec.make(message, compact=True, layers=1)


def test_message_too_long_for_any_encoding_is_refused_before_encoding():
    # ". " pairs are the densest text there is: 5 bits for two bytes.
    with pytest.raises(aztec.DataOverflowError) as within_bound:
        aztec.make(b". " * 3993)  # encoded, then found too long
    assert "split the message" not in str(within_bound.value)
    with pytest.raises(aztec.DataOverflowError, match="largest Aztec symbol holds 19968"):
        aztec.make(b". " * 3994 + b".")
    with pytest.raises(aztec.DataOverflowError, match="split the message"):
        aztec.make(b"\x00" * 20_000_000)
