"""A reference decoder of Aztec Code data bit streams, written from the
standard's tables: mode codes, latches, shifts, binary shift with both
length forms, FLG(n) (FNC1 and ECI designators) and the structured-append
header (M/L U/L first, then an optional " ID " and two capitals).  The tests
decode what the encoders produce and compare it with the message.
"""

UPPER, LOWER, MIXED, PUNCT, DIGIT = "upper", "lower", "mixed", "punct", "digit"

_MIXED_CHARS = (
    [None, b" "]
    + [bytes([b]) for b in range(1, 14)]
    + [bytes([b]) for b in range(27, 32)]
    + [b"@", b"\\", b"^", b"_", b"`", b"|", b"~", b"\x7f"]
)
_PUNCT_CHARS = [None, b"\r", b"\r\n", b". ", b", ", b": "] + [
    bytes([c]) for c in b"!\"#$%&'()*+,-./:;<=>?[]{}"
]

# Control codes per mode: code -> (kind, target mode).
_CONTROLS = {
    UPPER: {0: ("shift", PUNCT), 28: ("latch", LOWER), 29: ("latch", MIXED),
            30: ("latch", DIGIT), 31: ("binary", None)},
    LOWER: {0: ("shift", PUNCT), 28: ("shift", UPPER), 29: ("latch", MIXED),
            30: ("latch", DIGIT), 31: ("binary", None)},
    MIXED: {0: ("shift", PUNCT), 28: ("latch", LOWER), 29: ("latch", UPPER),
            30: ("latch", PUNCT), 31: ("binary", None)},
    PUNCT: {0: ("flag", None), 31: ("latch", UPPER)},
    DIGIT: {0: ("shift", PUNCT), 14: ("latch", UPPER), 15: ("shift", UPPER)},
}


class StreamError(ValueError):
    """The bits are not a well-formed data stream."""


class _Reader:
    def __init__(self, bits):
        self.bits = [1 if b else 0 for b in bits]
        self.pos = 0

    def remaining(self):
        return len(self.bits) - self.pos

    def read(self, width):
        if self.remaining() < width:
            raise StreamError(f"stream ends inside a {width}-bit field at bit {self.pos}")
        value = 0
        for bit in self.bits[self.pos:self.pos + width]:
            value = value * 2 + bit
        self.pos += width
        return value


def _character(mode, code):
    if mode == UPPER:
        return b" " if code == 1 else bytes([63 + code])
    if mode == LOWER:
        return b" " if code == 1 else bytes([95 + code])
    if mode == MIXED:
        return _MIXED_CHARS[code]
    if mode == PUNCT:
        return _PUNCT_CHARS[code]
    if code == 1:
        return b" "
    if code <= 11:
        return bytes([46 + code])
    return b"," if code == 12 else b"."


def decode_events(bits):
    """Decode a stream into a list of events: ('data', bytes) and ('eci', n)
    or ('fnc1', None), in stream order; a stream that starts with M/L U/L
    starts with ('append', None)."""
    reader = _Reader(bits)
    events = []
    mode = UPPER
    shifted_from = None
    if len(bits) >= 10 and reader.read(10) == (29 << 5) | 29:
        events.append(("append", None))
    else:
        reader.pos = 0
    while reader.remaining():
        width = 4 if mode == DIGIT else 5
        if reader.remaining() < width:
            raise StreamError(f"{reader.remaining()} stray bits at the end of the stream")
        code = reader.read(width)
        control = _CONTROLS[mode].get(code)
        back_to = shifted_from
        shifted_from = None
        if control is None:
            events.append(("data", _character(mode, code)))
        elif control[0] == "latch":
            if back_to is not None:
                raise StreamError("a latch right after a shift")
            mode = control[1]
            continue
        elif control[0] == "shift":
            if back_to is not None:
                raise StreamError("a shift right after a shift")
            shifted_from, mode = mode, control[1]
            continue
        elif control[0] == "binary":
            length = reader.read(5)
            if length == 0:
                length = reader.read(11) + 31
            events.append(("data", bytes(reader.read(8) for _ in range(length))))
        else:  # FLG(n)
            count = reader.read(3)
            if count == 0:
                events.append(("fnc1", None))
            elif count == 7:
                raise StreamError("FLG(7) is reserved")
            else:
                digits = [reader.read(4) for _ in range(count)]
                if any(d < 2 or d > 11 for d in digits):
                    raise StreamError(f"bad ECI digit codes {digits}")
                events.append(("eci", int("".join(str(d - 2) for d in digits))))
        if back_to is not None:
            mode = back_to
    return events


def decode_bits(bits):
    """Decode a stream into (message bytes, ECI number or None).  More than
    one ECI designator, or one after the data began, is refused."""
    message = bytearray()
    eci = None
    for kind, value in decode_events(bits):
        if kind == "data":
            message += value
        elif kind == "eci":
            if eci is not None or message:
                raise StreamError("an ECI designator that is not at the start")
            eci = value
        else:
            raise StreamError(f"unexpected {kind}")
    return bytes(message), eci


def decode_flagged(bits):
    """Decode a stream into (message bytes, flags, structured append): the
    flags as [(byte position, ECI number or None for FNC1)]."""
    message = bytearray()
    flags = []
    append = False
    for kind, value in decode_events(bits):
        if kind == "data":
            message += value
        elif kind == "append":
            append = True
        else:
            flags.append((len(message), value))
    return bytes(message), flags, append


def split_append_header(message):
    """(position, count, id or None, the rest) of a structured-append
    symbol's message: an optional space, ID and space, then the position
    and count as capitals (A = 1)."""
    symbol_id = None
    if message[:1] == b" ":
        end = message.index(b" ", 1)
        symbol_id, message = message[1:end].decode("ascii"), message[end + 1:]
    letters = message[:2]
    if len(letters) != 2 or not all(65 <= c <= 90 for c in letters):
        raise StreamError(f"no position and count letters in {message[:2]!r}")
    return letters[0] - 64, letters[1] - 64, symbol_id, message[2:]


def unpack(packed, bit_count):
    """The first bit_count bits of a stream packed least significant bit first."""
    return [bool(packed[k >> 3] >> (k & 7) & 1) for k in range(bit_count)]
