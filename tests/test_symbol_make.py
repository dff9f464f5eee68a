"""make() and rune(): the choice of symbol, the options and their errors,
and that the data stream reaches the layers unchanged."""

import re

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import quillbank.aztec as aztec
from quillbank.aztec import _aztec, _test_hooks
from quillbank.aztec.encoder import Encoder
from quillbank.aztec.builder import data_stream

ALL_SHAPES = [(True, n) for n in range(1, 5)] + [(False, n) for n in range(1, 33)]


def layer_words(symbol):
    """The codewords read back from the symbol's layers."""
    positions = _test_hooks.layer_positions(symbol.compact, symbol.layers)
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


def written(message):
    """The bytes and ECI make writes text with: ASCII bare, other ISO-8859-1
    with ECI 3, else UTF-8 with ECI 26."""
    if message.isascii():
        return message.encode("ascii"), None
    try:
        return message.encode("latin-1"), 3
    except UnicodeEncodeError:
        return message.encode("utf-8"), 26


@settings(max_examples=80, deadline=None)
@given(message=st.binary(min_size=1, max_size=400) | st.text(min_size=1, max_size=200),
       eci=st.none() | st.integers(0, 999999), ec=st.integers(0, 60))
@example(message=b"!", eci=100000, ec=30)  # stuffing makes a longer stream fit 15x15
@pytest.mark.parametrize("optimal", [True, False])
def test_stream_reaches_the_layers_unchanged(message, eci, ec, optimal):
    if isinstance(message, str):
        data, eci = written(message)
        symbol = aztec.make(message, ec_percent=ec, optimal=optimal)
    else:
        data, symbol = message, aztec.make(message, eci=eci, ec_percent=ec, optimal=optimal)
    assert symbol.eci == eci
    if optimal:
        # The stream with the fewest codewords where stuffing makes a longer
        # one fit a smaller symbol; otherwise the shortest.
        flags = [(0, eci)] if eci is not None else []
        packed, bit_count, _, _ = _test_hooks.smallest_symbol(data, flags, ec_percent=ec)
        stream = [packed[k >> 3] >> (k & 7) & 1 for k in range(bit_count)]
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
    assert words[symbol.data_words:] == _test_hooks.check_words(words[:symbol.data_words], symbol.check_words,
                                                            symbol.word_bits)


def smallest_by_capacity(stream, ec, shapes):
    """The symbol the rules choose, worked out from the capacities alone."""
    fitting = []
    for compact, layers in shapes:
        size, width, _, most = _aztec.capacity(compact, layers, ec)
        needed = max(1, len(_test_hooks.stuffed_words(stream, width)))
        if needed <= most:
            fitting.append((size, not compact, layers, compact))
    if not fitting:
        return None
    size, full, layers, compact = min(fitting)  # by size, compact first
    return compact, layers


@settings(max_examples=120, deadline=None)
@given(length=st.integers(1, 2000), ec=st.sampled_from([0, 10, 23, 50]),
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
    assert symbol.size == _aztec.capacity(*expected, ec)[0] and len(symbol.rows) == symbol.size


def test_symbol_attributes():
    symbol = aztec.make("Hello, world")
    assert (symbol.compact, symbol.layers, symbol.size, symbol.word_bits) == (True, 2, 19, 6)
    assert symbol.data_words + symbol.check_words == 40 and symbol.ec_percent >= 23
    assert all(len(row) == 19 for row in symbol.rows) and symbol.rows[9][9] is True  # the bullseye's centre
    assert symbol == aztec.make(b"Hello, world") and symbol != aztec.make("Hello, world!")
    assert "compact 19x19" in repr(symbol) and not symbol.is_rune and symbol.eci is None
    assert aztec.make(bytearray(b"ab")) == aztec.make(memoryview(b"ab")) == aztec.make("ab")
    assert aztec.make("x", eci=26).eci == 26


@pytest.mark.parametrize("message,ec", [
    (b"Hello, world", 23), ("Gruss", 0), (b"\x00\xff" * 5, 99), ("0" * 3000, 23), (b"x" * 2000, 5)],
    ids=["short", "ascii text", "binary at 99%", "digits", "long"])
def test_common_case_and_general_way_make_the_same_symbol(message, ec):
    # make()'s common case calls the core with the message alone; a list of
    # one segment takes the general way: a label one of them sets
    # differently shows here.
    made = aztec.make(message, ec_percent=ec)
    general = aztec.make([message], ec_percent=ec)
    names = ("size", "layers", "compact", "is_rune", "data_words", "check_words", "eci", "sequence", "modules")
    assert type(made) is type(general) is aztec.AztecSymbol
    assert {name: getattr(made, name) for name in names} == {name: getattr(general, name) for name in names}
    assert made.verify().data == general.verify().data


def test_making_a_symbol_out_of_memory_at_each_allocation_raises_and_then_works():
    # Python's allocations fail from the n-th on: the message's copy, the
    # symbol object, what it was made from.
    testcapi = pytest.importorskip("_testcapi")
    outcomes = set()
    for first_failure in range(12):
        testcapi.set_nomemory(first_failure, 0)
        try:
            made = _aztec.make(b"Hello, world", eci=26, ec_percent=23)
        except MemoryError:
            made = None
        finally:
            testcapi.remove_mem_hooks()
        outcomes.add(made is None)
    assert outcomes == {True, False}
    assert _aztec.make(b"Hello, world", ec_percent=23) == aztec.make(b"Hello, world")


def test_symbols_are_made_only_of_symbol_classes_with_plain_labels():
    class WithDict(_aztec.Symbol):
        pass

    for cls in (object, int, WithDict, aztec.rune(1)):
        with pytest.raises(TypeError):
            _aztec.set_symbol_class(cls)
    assert type(_aztec.make(b"x")) is aztec.AztecSymbol  # a refused class changes nothing
    symbol = aztec.make(b"x")
    fields = (symbol.modules, symbol.size, symbol.layers, symbol.compact, symbol.data_words, symbol.check_words)
    # A label that could hold the symbol itself is refused: the core's
    # symbols have no traversal for the garbage collector.
    for labels in ({"made_from": [b"x"]}, {"made_from": (b"x", [(0, None)], False)}, {"eci": True},
                   {"sequence": (1, 2, [])}):
        with pytest.raises(TypeError):
            aztec.AztecSymbol(*fields, **labels)
    for modules, size in ((symbol.modules[:-1], symbol.size), (b"\x02" * 4, 2), (b"", 0)):
        with pytest.raises(ValueError):
            aztec.AztecSymbol(modules, size, 1, True, 1, 1)
    with pytest.raises(AttributeError):
        symbol.size = 15  # read-only
    copied = aztec.AztecSymbol(*fields, eci=None, made_from=b"x")
    assert copied == symbol and hash(copied) == hash(symbol) and copied.verify().data == b"x"


def test_runes():
    symbols = [aztec.rune(v) for v in range(256)]
    assert len({s.modules for s in symbols}) == 256
    assert all(s.is_rune and s.size == 11 and s.layers == 0 and s.compact for s in symbols)
    assert "rune" in repr(symbols[0])


@pytest.mark.parametrize("call,error", [
    (lambda: aztec.make("x", eci=-1), aztec.InvalidOptionError),
    (lambda: aztec.make("x", eci=1_000_000), aztec.InvalidOptionError),
    (lambda: aztec.make(b"x", eci=2**70), aztec.InvalidOptionError),
    (lambda: aztec.make("x", eci=True), TypeError),
    (lambda: aztec.make("x", eci="26"), TypeError),
    (lambda: aztec.make("x", eci=26.0), TypeError),
    (lambda: aztec.make("x", ec_percent=100), aztec.InvalidOptionError),
    (lambda: aztec.make("x", ec_percent=-1), aztec.InvalidOptionError),
    (lambda: aztec.make("x", ec_percent=23.5), TypeError),
    (lambda: aztec.make("x", ec_percent=False), TypeError),
    (lambda: aztec.make("x", compact=True, layers=5), aztec.InvalidOptionError),
    (lambda: aztec.make("x", layers=33), aztec.InvalidOptionError),
    (lambda: aztec.make("x", layers=0), aztec.InvalidOptionError),
    (lambda: aztec.make("x", layers=2.0), TypeError),
    (lambda: aztec.make("x", compact=1), TypeError),
    (lambda: aztec.make("x", optimal=None), TypeError),
    (lambda: data_stream("x", optimal=0), TypeError),
    (lambda: aztec.make(12), TypeError),
    (lambda: aztec.make(b"x" * 2000, compact=True), aztec.DataOverflowError),
    (lambda: aztec.make(b"x" * 200, layers=2), aztec.DataOverflowError),
    (lambda: aztec.make(b"\xff" * 2000), aztec.DataOverflowError),
    (lambda: aztec.make(b"x" * 1000, ec_percent=99), aztec.DataOverflowError),
    (lambda: aztec.rune(256), aztec.InvalidOptionError),
    (lambda: aztec.rune(-1), aztec.InvalidOptionError),
    (lambda: aztec.rune(1.0), TypeError),
    (lambda: aztec.rune(True), TypeError),
])
def test_errors(call, error):
    with pytest.raises(error) as raised:
        call()
    text = str(raised.value)
    assert "\n" not in text and "int32" not in text and "int64" not in text
    if issubclass(error, aztec.AztecError):
        assert isinstance(raised.value, ValueError)


def test_option_errors_name_only_what_was_asked():
    with pytest.raises(aztec.InvalidOptionError) as raised:
        aztec.make("x", layers=33)
    assert "layers is 1 to 32" in str(raised.value) and "full" not in str(raised.value)
    with pytest.raises(aztec.InvalidOptionError, match="compact symbols have 1 to 4 layers, not 5"):
        aztec.make("x", compact=True, layers=5)


@pytest.mark.parametrize("message", ["", b"", bytearray(), memoryview(b"")])
def test_empty_message_is_refused(message):
    # Readers turn a symbol without content down, so none is made.
    with pytest.raises(aztec.AztecError, match="nothing to encode"):
        aztec.make(message)
    with pytest.raises(aztec.AztecError, match="nothing to encode"):
        data_stream(message, eci=26)


def test_integer_options_take_any_integer():
    np = pytest.importorskip("numpy")
    symbol = aztec.make(b"NumPy", eci=np.int64(26), ec_percent=np.uint8(40), layers=np.int32(3))
    assert symbol == aztec.make(b"NumPy", eci=26, ec_percent=40, layers=3) and type(symbol.eci) is int
    assert symbol.eci == 26 and symbol.layers == 3
    assert aztec.rune(np.int16(7)) == aztec.rune(7)
    with pytest.raises(TypeError):
        aztec.make(b"x", layers=np.float64(3))


def overflow(call):
    with pytest.raises(aztec.DataOverflowError) as raised:
        call()
    error = raised.value
    # (It names make_sequence only when a sequence holds the message:
    # test_standard_make checks that.)
    assert "holds at most 0" not in str(error)
    return error


def test_overflow_says_how_much_of_the_message_fits():
    message = __import__("random").Random(3).randbytes(2000)
    error = overflow(lambda: aztec.make(message))
    assert "full symbol of 32 layers (151x151), the largest allowed, holds 1278" in str(error)
    fitting = error.fitting_bytes
    assert f"the first {fitting} of the message's 2000 bytes" in str(error)
    assert (error.message_bytes, error.available_bits) == (2000, 1278 * 12) and error.needed_bits > 1278 * 12
    aztec.make(message[:fitting])
    overflow(lambda: aztec.make(message[:fitting + 1]))
    assert 1900 <= fitting < 1930  # about 1,914 bytes of binary at the default correction


@pytest.mark.parametrize("kind", ["text", "json", "mixed", "utf8", "digits"])
def test_overflow_figures_hold_for_every_kind_of_message(kind):
    # The longest start that fits is searched from a guess and judged by
    # the stream's bits and stuffing, no symbol drawn: it must still be
    # the start make() takes and the one after it the first it refuses;
    # and the sequence named by the cheap count of what a part surely holds
    # must be one make_sequence makes.
    import json

    rng = __import__("random").Random(kind)
    unit = {"text": lambda: bytes(rng.choice(b"abcdefghij KLMNOP.,0123") for _ in range(40)),
            "json": lambda: json.dumps({"id": rng.randrange(10**6), "seat": "12C", "ok": True}).encode(),
            "mixed": lambda: b"FROM:BERLIN|TO:KOELN|SIG:" + rng.randbytes(rng.randrange(8, 40)),
            "utf8": lambda: "".join(rng.choice("Grüße Köln Съешь 欢迎 ab") for _ in range(20)).encode(),
            "digits": lambda: str(rng.randrange(10**20)).encode()}[kind]
    message = b""
    while len(message) < 2 * 4700:
        message += unit()
    _, longest = next((n, n) for n in range(1400, 9400, 40) if _fits_nowhere(message[:n]))
    message = message[:longest + rng.randrange(200)]
    error = overflow(lambda: aztec.make(message))
    fitting = error.fitting_bytes
    assert f"the first {fitting} of the message's {len(message)} bytes" in str(error)
    aztec.make(message[:fitting])
    overflow(lambda: aztec.make(message[:fitting + 1]))
    assert "make_sequence" in str(error)
    assert len(aztec.make_sequence(message)) >= 2


def _fits_nowhere(message):
    try:
        aztec.make(message)
    except aztec.DataOverflowError:
        return True
    return False


TEXT = b"Advice that works " * 60
BINARY = __import__("random").Random(4).randbytes(1500)


@pytest.mark.parametrize("options,message", [
    (dict(ec_percent=50), BINARY),
    (dict(compact=True), TEXT),
    (dict(compact=True, layers=2, ec_percent=40), TEXT[:54]),
    (dict(layers=20), BINARY),
    (dict(compact=False, layers=28, ec_percent=30), BINARY),
], ids=["less-ec", "full", "compact-layers", "layers", "full-layers-ec"])
def test_overflow_advice_makes_the_message_fit(options, message):
    # Each remedy named, applied alone, makes the message fit; the error
    # correction and layers named are the most and the fewest that do.
    error = overflow(lambda: aztec.make(message, **options))
    text = str(error)
    named = re.findall(r"ec_percent=(\d+) or less|(full symbols)|layers=(\d+);", text)
    assert named, text
    for ec, full, layers in named:
        if ec:
            aztec.make(message, **{**options, "ec_percent": int(ec)})
            overflow(lambda: aztec.make(message, **{**options, "ec_percent": int(ec) + 1}))
        if full:
            aztec.make(message, **{k: v for k, v in options.items() if k != "compact"})
        if layers:
            aztec.make(message, **{**options, "layers": int(layers)})
            overflow(lambda: aztec.make(message, **{**options, "layers": int(layers) - 1}))


def test_overflow_without_room_for_data_says_so():
    error = overflow(lambda: aztec.make(b"x" * 30, compact=True, layers=1, ec_percent=99))
    assert "compact symbol of 1 layer (15x15) has no room for data with 99% error correction" in str(error)
    assert error.fitting_bytes == 0


def test_package_imports_lightly():
    import os
    import subprocess
    import sys

    code = ("import sys, quillbank.aztec.encoder; "
            "print(sorted(m for m in sys.modules if m.startswith('quillbank')))")
    python = [sys.executable, "-P"] if sys.version_info >= (3, 11) else [sys.executable]
    out = subprocess.run([*python, "-c", code], capture_output=True, text=True, check=True, cwd=os.sep).stdout
    assert "quillbank.aztec._aztec" not in out and "quillbank.aztec.symbol" not in out and "quillbank.aztec.builder" not in out
    assert aztec.__version__ and set(aztec.__all__) <= set(dir(aztec))


def test_make_takes_a_packed_stream_too(monkeypatch):
    # The optimal encoder hands over packed bytes and a bit count: make()
    # builds from them in one call, and the overflow message and
    # data_stream read them.
    from quillbank.aztec import streams

    message = b"Packed stream, same symbol 0123456789"
    listed = aztec.make(message, eci=7, optimal=False)
    packed = Encoder().encode(message, eci=7)
    count = len(Encoder().encode(message, eci=7, asBits=True))
    assert _aztec.build(packed, count, eci=7) == listed
    monkeypatch.setattr(streams, "stream_of", lambda data, eci, optimal: (packed, count))
    assert data_stream(message, eci=7) == Encoder().encode(message, eci=7, asBits=True)
    # (optimal=False: with the optimal encoder the core gives the overflow
    # its stream, and the longest start that fits, in one call.)
    with pytest.raises(aztec.DataOverflowError, match=f"its {count} bits"):
        aztec.make(message, compact=True, layers=1, optimal=False)


@pytest.mark.parametrize("unit", [b"\x00", b". ", b"A1a!", b"x", "Grüße, Zoë! ".encode("latin-1"), b"0123456789"])
def test_a_message_too_long_for_any_symbol_is_refused_with_a_true_bound(unit):
    # Refused before encoding; the bytes it says a symbol holds are a count
    # that fits, and one byte more of the same content does not fit.
    error = overflow(lambda: aztec.make(unit * 20_000_000))
    bound = error.fitting_bytes
    assert f"the first {bound} of its bytes" in str(error)
    assert "no single symbol holds more than 19932 bits" in str(error)
    message = (unit * (bound // len(unit) + 2))[:bound + 1]
    aztec.make(message[:bound])
    overflow(lambda: aztec.make(message))
    assert error.needed_bits > 19932 and error.available_bits == 1278 * 12
    if unit == b"\x00":
        assert bound < 1930  # close to the 1,914 bytes that fit
