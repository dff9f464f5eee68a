#!/usr/bin/env python3
"""Coverage-guided fuzzing of the encoder and the symbol writer with atheris.

Each input picks a message form (bytes, text, bytearray, a buffer, a text
subclass with its own encode, an object printed with str), an ECI number,
asBits and the symbol writer's options, and checks:

  * the data stream decodes back to the message and its ECI number (numbers
    of a million and more are reduced modulo 1,000,000), and the packed
    bytes are the bits packed least significant bit first;
  * make() gives a symbol that zxing-cpp's reader (when installed) reads
    back to the same message and ECI, or refuses with DataOverflowError or
    InvalidOptionError -- nothing else.

Run against the installed package, from the repository root:

    python -P fuzz/encoder_fuzz.py -max_total_time=600 fuzz/corpus
    python -P fuzz/encoder_fuzz.py -runs=200000

(any libFuzzer option works; a crash or a failed check leaves a crash-*
file that reproduces with `python -P fuzz/encoder_fuzz.py crash-...`).
The test suite imports `check_encode` and `check_symbol` from here, so the
suite's own fuzzing checks the same properties.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")
if TESTS not in sys.path:
    sys.path.insert(0, TESTS)

try:
    import atheris
except ImportError:  # the suite uses the checks without atheris
    atheris = None

if __name__ != "__main__":
    # The suite's use; the fuzzer imports these in main(), after
    # atheris.Setup has loaded libFuzzer, so that a build of the extensions
    # with coverage instrumentation finds its hooks.
    import stream_decoder
    from quillbank.aztec.encoder import Encoder

FORMS = ("bytes", "text", "bytearray", "memoryview", "own encode", "printed")


class OwnEncode(str):
    def encode(self, *args):
        return b"\x1b" + str.encode(self, "utf8")


class Printed:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def message_object(form, payload):
    """The object to encode and the bytes it stands for.  `payload` is bytes
    for the byte forms and str for the text forms."""
    if form == "bytes":
        return payload, payload
    if form == "bytearray":
        return bytearray(payload), payload
    if form == "memoryview":
        return memoryview(payload), payload
    if form == "text":
        return payload, payload.encode("utf8")
    if form == "own encode":
        return OwnEncode(payload), b"\x1b" + payload.encode("utf8")
    return Printed(payload), payload.encode("utf8")


def pack(bits):
    out = bytearray((len(bits) + 7) // 8)
    for k, bit in enumerate(bits):
        if bit:
            out[k >> 3] |= 1 << (k & 7)
    return bytes(out)


def check_encode(encoder, form, payload, eci):
    data, expected = message_object(form, payload)
    expected_eci = int(eci) % 1000000 if isinstance(eci, int) else None
    bits = encoder.encode(data, eci=eci, asBits=True)
    assert isinstance(bits, list) and all(b is True or b is False for b in bits)
    decoded = stream_decoder.decode_bits(bits)
    assert decoded == (expected, expected_eci), (form, payload, eci, decoded)
    packed = encoder.encode(data, eci=eci)
    assert packed == pack(bits), (form, payload, eci)
    return bits


def check_symbol(message, eci, ec_percent, compact, layers, reader=None):
    import quillbank.aztec as aztec

    try:
        symbol = aztec.make(message, eci=eci, ec_percent=ec_percent, compact=compact, layers=layers)
    except (aztec.DataOverflowError, aztec.InvalidOptionError):
        return None
    except aztec.AztecError as error:
        assert not message and "nothing to encode" in str(error)  # an empty message is refused
        return None
    assert symbol.size * symbol.size == len(symbol.modules)
    assert set(symbol.modules) <= {0, 1}
    if compact is not None:
        assert symbol.compact == compact
    if layers is not None:
        assert symbol.layers == layers
    assert symbol.eci == eci
    if reader is not None and message:
        read = reader(symbol)
        assert read == (message, eci), (message, eci, ec_percent, compact, layers, read)
    return symbol


def zxing_reader():
    """A function reading a symbol with zxing-cpp's reader, or None."""
    try:
        import numpy  # noqa: F401
        import zxingcpp  # noqa: F401
    except ImportError:
        return None
    from symbol_pictures import modules_gray, read

    return lambda symbol: read(modules_gray(symbol.modules, symbol.size))


ENCODER = Encoder() if __name__ != "__main__" else None
READER = None


def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    form = FORMS[fdp.ConsumeIntInRange(0, len(FORMS) - 1)]
    eci_kind = fdp.ConsumeIntInRange(0, 3)
    eci = (None, fdp.ConsumeIntInRange(0, 999999), fdp.ConsumeIntInRange(0, 2 ** 32 - 1), True)[eci_kind]
    if form in ("bytes", "bytearray", "memoryview"):
        payload = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 3000))
    else:
        payload = fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 1000))
    check_encode(ENCODER, form, payload, eci)
    if fdp.ConsumeBool():
        message = message_object(form, payload)[1][:400]
        symbol_eci = eci if eci is None or (isinstance(eci, int) and not isinstance(eci, bool)
                                              and eci <= 999999) else None
        ec_percent = fdp.ConsumeIntInRange(-3, 102)
        compact = (None, True, False)[fdp.ConsumeIntInRange(0, 2)]
        layers = None if fdp.ConsumeBool() else fdp.ConsumeIntInRange(-1, 34)
        check_symbol(message, symbol_eci, ec_percent, compact, layers, READER)


def main():
    global ENCODER, Encoder, READER, stream_decoder
    if atheris is None:
        sys.exit("atheris is not installed: pip install atheris")
    argv = list(sys.argv)
    if not any(a.startswith("-max_len=") for a in argv):
        argv.append("-max_len=4096")
    atheris.Setup(argv, one_input)
    # Python-level coverage of the reference decoder and of the symbol
    # writer's option handling.  The C++ code is not instrumented by the
    # project's build, so the search there is guided by those and by the
    # comparison hooks on the Python side.
    with atheris.instrument_imports():
        import stream_decoder
        import quillbank.aztec.builder  # noqa: F401
    from quillbank.aztec.encoder import Encoder

    ENCODER = Encoder()
    READER = zxing_reader()
    atheris.Fuzz()


if __name__ == "__main__":
    main()
