"""Fuzz targets of the encoders and of make and rune, one function each,
with the checks of their results and what the other targets share.

Each target draws one call from a `Choices` and checks its property: the
call succeeds with a correct result (streams decode back with the suite's
reference decoder, pictures hold the symbol's modules, symbols read back
with zxing-cpp on a sample), or it raises one of the errors documented for
it -- any other exception escapes and is the finding.
(pictures_target.py, gs1_target.py and cli_target.py hold the other
targets.)
"""

import atexit
import os
import shutil
import tempfile

import stream_decoder
import values
from values import Expect, Hostile

from quillbank.aztec import AztecError, InvalidOptionError, make, rune
from quillbank.aztec.builder import data_stream
from quillbank.aztec.encoder import Encoder
from quillbank.aztec.optimal import encode_optimal, encode_optimal_segments

#: One call in this many that succeeds is read back with zxing-cpp.
READ_BACK_EVERY = 20
#: Errors a caller's bad value may raise anywhere: ours, TypeError, and the
#: caller's own hostile objects' exception passed through.
DOCUMENTED = (AztecError, TypeError, Hostile)

_counter = [0]


def sampled():
    """True once in READ_BACK_EVERY calls: reading a symbol back is slow."""
    _counter[0] += 1
    return _counter[0] % READ_BACK_EVERY == 0


def refused(error, allowed):
    """Checks a refusal: an allowed type with a message that says something."""
    if not isinstance(error, allowed):
        raise error
    assert isinstance(error, Hostile) or str(error).strip(), repr(error)


def reader():
    """zxing-cpp's reader as a function of (modules, size), or None."""
    try:
        import numpy  # noqa: F401
        import zxingcpp  # noqa: F401
    except ImportError:
        return None
    from symbol_pictures import modules_gray, read

    return lambda modules, size: read(modules_gray(modules, size))


READ = reader()


# --- make, rune, data_stream --------------------------------------------------

#: ECI numbers whose character set every reader agrees on, for text.
ECI_CODECS = {3: "latin-1", 4: "iso8859-2", 7: "iso8859-5", 20: "shift_jis", 26: "utf-8"}
ENCODINGS = ("latin-1", "utf-8", "UTF8", "shift_jis", "cp1252", "iso8859-5", "utf-16-be", "cp437", "ascii",
             "no-such-codec", "rot13", "utf-16", "", 5, b"utf-8")


def expected_message(form, payload, eci, encoding):
    """(bytes, eci) make must write, or None where only a read back can say."""
    if form in values.BUFFER_FORMS:
        return bytes(payload), None if eci is False else eci
    if eci is False:  # no designator: ISO-8859-1, unmarked
        return payload.encode("latin-1"), None
    if encoding is not None:
        return None
    if eci is None:
        try:
            return payload.encode("latin-1"), None if payload.isascii() else 3
        except UnicodeEncodeError:
            return payload.encode("utf-8"), 26
    codec = ECI_CODECS.get(eci)
    return (payload.encode(codec), eci) if codec else None


def fuzz_make(c):
    form, data, payload = values.message(c)
    eci, eci_number, eci_kind = values.integer_like(c, (3, 4, 7, 20, 26, 899, 0, 999_999, 123_456),
                                                    (-1, 1_000_000, 2 ** 32, 2 ** 70))
    if c.one_in(3):
        eci, eci_number, eci_kind = None, None, "none"
    if eci is False:  # eci=False: no designator
        eci_number, eci_kind = False, "no designator"
    encoding = c.pick(ENCODINGS) if c.one_in(4) else None
    ec, ec_number, ec_kind = values.integer_like(c, (0, 5, 23, 50, 90, 99), (-1, 100, 2 ** 64))
    if c.bool():
        ec, ec_number, ec_kind = 23, 23, "int"
    compact = c.pick((None, None, True, False, 0, 1, "yes"))
    layers, layer_number, layer_kind = values.integer_like(c, tuple(range(1, 33)), (0, -1, 33, 2 ** 40))
    if c.bool():
        layers, layer_number, layer_kind = None, None, "none"
    optimal = c.pick((True, True, False, None, 1))
    call = dict(eci=eci, encoding=encoding, ec_percent=ec, compact=compact, layers=layers, optimal=optimal)
    bad_option = (
        (eci is not None and eci is not False and (eci_number is None or not 0 <= eci_number <= 999_999))
        or ec_number is None or not 0 <= ec_number <= 99
        or not (compact is None or isinstance(compact, bool))
        or (layers is not None and (layer_number is None or not 1 <= layer_number <= (4 if compact is True else 32)))
        or not isinstance(optimal, bool)
        or form in values.BAD_FORMS
        or (encoding is not None and form != "text"))
    try:
        symbol = make(data, **call)
    except DOCUMENTED as error:
        refused(error, DOCUMENTED)
        return
    assert not bad_option, ("accepted", form, call)
    check_symbol(symbol, compact, layer_number, ec_number)
    stream = stream_decoder.decode_bits(data_stream(data, eci=eci, encoding=encoding, optimal=optimal))
    expected = expected_message(form, payload, eci_number, encoding)
    if expected is not None:
        assert stream == expected, (form, call, stream[1], expected[1])
    elif encoding is not None:
        assert stream[0].decode(encoding) == payload, (form, call)
    assert stream[1] == symbol.eci, (stream[1], symbol.eci)
    if READ is not None and sampled():
        assert READ(symbol.modules, symbol.size) == stream, (form, call)


def check_symbol(symbol, compact, layers, ec_percent):
    assert symbol.size * symbol.size == len(symbol.modules) and set(symbol.modules) <= {0, 1}
    if compact is not None:
        assert symbol.compact == compact
    if layers is not None:
        assert symbol.layers == layers
    total = symbol.data_words + symbol.check_words
    assert symbol.check_words * 100 >= ec_percent * total, (symbol, ec_percent)


def fuzz_rune(c):
    value, number, _ = values.integer_like(c, tuple(range(256)), (-1, 256, 2 ** 40))
    try:
        symbol = rune(value)
    except DOCUMENTED as error:
        refused(error, DOCUMENTED)
        return
    assert number is not None and 0 <= number <= 255
    assert symbol.is_rune and symbol.size == 11 and len(symbol.modules) == 121


# --- encode_optimal and encode_optimal_segments --------------------------------

class Undecided:
    """asBits whose truth test fails."""

    def __bool__(self):
        raise Hostile("undecided")


AS_BITS = ((True, True), (False, False), (1, True), (0, False), ("", False), ("x", True), ([], False),
           ([0], True), (None, False), (Undecided(), Hostile))


def stream_message(form, payload, product):
    """Expect of a message for the stream functions: str as UTF-8; a buffer
    by its bytes, as the package's one rule takes it for encode_optimal
    (``product``: any layout, items of one byte), or as the search encoder
    does (C-contiguous, items of any size)."""
    if form == "text":
        try:
            return Expect(payload.encode("utf-8"))
        except UnicodeEncodeError:
            return Expect(error=UnicodeEncodeError)
    if form == "strided view" and not product and len(payload) > 1:  # one item or none is contiguous
        return Expect(error=TypeError)
    if form in values.BUFFER_FORMS:
        return Expect(bytes(payload))
    if form == "array H" and not product:
        return Expect(bytes(payload) + b"\x00" * (len(payload) % 2))
    return Expect(error={"released view": ValueError}.get(form, TypeError))


def optimal_eci(value, number, kind):
    """Expect of encode_optimal's eci, by the package's one rule: None or
    False for no designator, else an integer 0 to 999999 (True refused)."""
    if kind == "none" or value is None or value is False:
        return Expect(None)
    if isinstance(value, values.FailingIndex):
        return Expect(error=Hostile)
    if value is True or number is None:
        return Expect(error=TypeError)
    if not 0 <= number <= 999_999:
        return Expect(error=InvalidOptionError)
    return Expect(number)


def encoder_eci(value, number, kind):
    """Expect of the search encoder's eci: a number as the stream writes it
    (modulo a million), or the error; a value that is no integer at all is
    dropped, as its contract says."""
    if kind == "none" or value is None:
        return Expect(None)
    if isinstance(value, bool):
        return Expect(int(value))
    if isinstance(value, values.FailingIndex):
        return Expect(error=Hostile)
    if number is None or isinstance(value, (float, str)):
        return Expect(None)
    if not 0 <= number < 2 ** 32:
        return Expect(error=OverflowError)
    return Expect(number % 1_000_000)


def check_stream_call(call, call_as_bits, expects, result_as_bits, message, eci, ordered):
    """Runs a stream call that must raise an expected error (the first, when
    the arguments are `ordered` by a documented conversion order), or give
    a stream that decodes to (message, eci)."""
    errors = tuple(expect.error for expect in expects if expect.error is not None)
    try:
        result = call()
    except Exception as raised:  # the exact error is the property here
        assert errors and isinstance(raised, errors[:1] if ordered else errors), (raised, expects)
        return False
    assert not errors, ("no error", expects)
    if result_as_bits:
        bits = result
    else:
        bits = call_as_bits()
        assert isinstance(result, bytes) and result == pack(bits)
    assert isinstance(bits, list) and all(bit is True or bit is False for bit in bits)
    decoded = stream_decoder.decode_bits(bits)
    assert decoded == (message, eci), (decoded, message, eci)
    return True


def pack(bits):
    """Stream bit k in bit k % 8 of byte k // 8, as the packed form has it."""
    out = bytearray((len(bits) + 7) // 8)
    for k, bit in enumerate(bits):
        if bit:
            out[k >> 3] |= 1 << (k & 7)
    return bytes(out)


def eci_argument(c):
    value, number, kind = values.integer_like(c, (0, 3, 26, 899, 999_999, 1_000_000, 2 ** 32 - 1),
                                              (-1, 2 ** 32, 2 ** 70))
    if c.one_in(3):
        return None, None, "none"
    return value, number, kind


def fuzz_optimal(c):
    form, data, payload = values.message(c)
    eci, number, kind = eci_argument(c)
    as_bits, as_list = c.pick(AS_BITS)
    message = stream_message(form, payload, product=True)
    eci_expect = optimal_eci(eci, number, kind)
    asbits_expect = Expect(error=as_list) if as_list is Hostile else Expect(as_list)
    check_stream_call(lambda: encode_optimal(data, eci, as_bits), lambda: encode_optimal(data, eci, True),
                      (message, eci_expect, asbits_expect), as_list is True, message.value, eci_expect.value, ordered=False)


def fuzz_segments(c):
    payload = values.payload_bytes(c, 300)
    flags = []
    position = 0
    for _ in range(c.int(0, 4)):
        position = c.int(position, len(payload))
        flags.append((position, c.pick((None, None, 0, 3, 26, 999_999))))
    appended = c.bool()
    wrong = c.int(0, 7)
    spoiled = True  # a flag list that must be refused
    if wrong == 1 and flags:
        flags[-1] = (len(payload) + 1, None)        # past the end
    elif wrong == 2 and len(flags) >= 2 and flags[0][0] < flags[-1][0]:
        flags.reverse()                             # decreasing
    elif wrong == 3 and flags:
        flags[0] = (flags[0][0], c.pick((-1, 1_000_000, 2 ** 70)))
    elif wrong == 4 and flags:
        flags[0] = c.pick(((1,), [0, None], (1.0, None), (0, 3.0), (0, "3"), (2 ** 70, None), (-1, None)))
    elif wrong == 5:
        flags = c.pick((5, None, "ab", [None]))
    else:
        spoiled = False
    try:
        packed, count = encode_optimal_segments(payload, flags, appended)
    except (TypeError, ValueError) as error:
        refused(error, (TypeError, ValueError))
        assert spoiled, ("refused", payload, flags)
        return
    assert not spoiled, ("accepted", payload, flags)
    assert len(packed) == (count + 7) // 8
    decoded = stream_decoder.decode_flagged(stream_decoder.unpack(packed, count))
    assert decoded == (payload, flags, appended), (payload, flags, decoded)


# --- The search encoder ---------------------------------------------------------

ENCODER = Encoder()
FRESH_A = b"\x08"  # the stream of "A" from a fresh root


def encoder_message(c):
    """(object, Expect) of the search encoder's contract: any object, by
    its bytes, its text as UTF-8, or its str()."""
    kind = c.int(0, 9)
    if kind <= 5:
        form, data, payload = values.message(c)
        if form in ("int", "none", "list"):
            return data, Expect(str(data).encode("utf-8"))
        return data, stream_message(form, payload, product=False)
    text = values.payload_text(c, 80)
    try:
        utf8 = text.encode("utf-8")
    except UnicodeEncodeError:
        utf8 = None
    if kind == 6:
        return values.OwnEncode(text), Expect(b"\x1b" + utf8) if utf8 is not None else Expect(error=UnicodeEncodeError)
    if kind == 7:
        return values.Printed(text), Expect(utf8) if utf8 is not None else Expect(error=UnicodeEncodeError)
    if kind == 8:
        return values.FailingStr(), Expect(error=Hostile)
    return values.FailingBytes(b"x"), Expect(error=Hostile)


class Reentrant:
    """asBits whose truth test calls the same encoder."""

    def __bool__(self):
        ENCODER.encode(b"inner")
        return True


def fuzz_encoder(c):
    data, message = encoder_message(c)
    eci, number, kind = eci_argument(c)
    eci_expect = encoder_eci(eci, number, kind)
    if c.one_in(12):
        as_bits, asbits_expect, as_list = Reentrant(), Expect(error=RuntimeError), True
    else:
        as_bits, as_list = c.pick(AS_BITS)
        asbits_expect = Expect(error=as_list) if as_list is Hostile else Expect(as_list)
    check_stream_call(lambda: ENCODER.encode(data, eci=eci, asBits=as_bits),
                      lambda: ENCODER.encode(data, eci=eci, asBits=True), (message, eci_expect, asbits_expect),
                      as_list is True, message.value, eci_expect.value, ordered=True)
    # Nothing of this call, failed or not, reaches the next one.
    assert ENCODER.encode(b"A") == FRESH_A


_folder = []


def scratch_folder():
    """An empty folder for this call's files (one per process, emptied)."""
    if not _folder:
        # libFuzzer ends the process without atexit: the suite names a folder of its own.
        _folder.append(tempfile.mkdtemp(prefix="aztec-fuzz-", dir=os.environ.get("QUILLBANK_FUZZ_SCRATCH")))
        atexit.register(shutil.rmtree, _folder[0], True)
    folder = _folder[0]
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.unlink(path)
    return folder


SENTINEL = b"the file that was here\n"


#: The targets by name; pictures_target and cli_target add theirs.
TARGETS = {
    "make": fuzz_make,
    "rune": fuzz_rune,
    "encode_optimal": fuzz_optimal,
    "encode_optimal_segments": fuzz_segments,
    "Encoder": fuzz_encoder,
}
