"""Making symbols from messages: make(), rune() and the data stream they use."""

from __future__ import annotations

import operator
from functools import lru_cache
from typing import TYPE_CHECKING, Callable, List, Optional, SupportsIndex, Tuple, Union

from . import _symbol
from .charsets import message_bytes
from .errors import AztecError, DataOverflowError, InvalidOptionError
from .symbol import AztecSymbol

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["make", "rune", "data_stream"]

#: The largest ECI number an ECI designator can carry (six digits).
MAX_ECI = 999_999
#: The error correction the standard recommends: 23% of the codewords (plus 3).
DEFAULT_EC_PERCENT = 23
MAX_COMPACT_LAYERS = 4
MAX_FULL_LAYERS = 32

#: A message: text, or any C-contiguous buffer of bytes (bytes, bytearray,
#: memoryview, array.array('B'), a NumPy uint8 array...).
Data = Union[str, "Buffer"]
# A data bit stream: one bool per bit, or packed bytes (stream bit k in bit
# k % 8 of byte k // 8) with the exact bit count.
Stream = Union[List[bool], Tuple[bytes, int]]


def make(data: Data, *, eci: Optional[SupportsIndex] = None, encoding: Optional[str] = None,
         ec_percent: SupportsIndex = DEFAULT_EC_PERCENT, compact: Optional[bool] = None,
         layers: Optional[SupportsIndex] = None, optimal: bool = True) -> AztecSymbol:
    """Makes the smallest Aztec symbol holding ``data``.

    ``data`` is a ``str`` or any C-contiguous bytes-like object (``bytes``,
    ``bytearray``, ``memoryview``, ``array.array('B')``, a NumPy ``uint8``
    array).  Text is written so that a reader shows it as typed:

    - text that ISO-8859-1 (Latin-1) can hold is written in ISO-8859-1 with
      no ECI designator, the character set readers assume without one;
    - any other text is written in UTF-8, marked with ECI 26;
    - ``encoding="name"`` (default None) writes the text with that Python
      codec and marks it with the codec's ECI number (none for ISO-8859-1).
      Codecs with an ECI number: ISO-8859-1 to -16, Shift JIS, cp437,
      cp1250 to cp1252, cp1256, UTF-8, UTF-16BE/LE, UTF-32BE/LE, US-ASCII,
      Big5, GB2312, EUC-KR, GBK and GB18030.  A character the codec cannot
      hold is an AztecError naming it and its position;
    - ``eci=N`` (default None) with text and no ``encoding`` writes the
      text in ECI N's character set; an ECI number without one (899,
      binary data, among them) is refused: pass bytes to mark your own
      bytes.  ``eci`` and ``encoding`` that name different character sets
      are refused.

    Bytes are written as given, marked with ``eci`` (0 to 999999) only if
    it is given.  The symbol's ``eci`` property tells the ECI number used.

    ``ec_percent`` (0 to 99, default 23, the standard's recommendation) is
    the least share of the codewords given to error correction, plus three
    codewords.  ``compact=True`` or ``False`` (default None: either)
    restricts the choice to compact or full symbols, and ``layers`` (default
    None: the fewest that fit) fixes the layer count (1 to 4 compact, 1 to
    32 full).  ``optimal`` (default True) encodes the message in a shortest
    data bit stream; ``optimal=False`` uses the stream of
    :class:`quillbank.aztec.encoder.Encoder` instead.  Integer options take
    any integer (``operator.index``), but not ``bool`` or ``float``.

    Raises AztecError for an empty message or text that cannot be written,
    DataOverflowError when the message does not fit (its message says what
    would), InvalidOptionError for an option out of range, and TypeError
    for an argument of the wrong type.
    """
    eci = _check_eci(eci)
    ec = _check_int("ec_percent", ec_percent, 0, 99, "error correction is 0 to 99 percent")
    kind, layer_count = _check_shape(compact, layers)
    _check_bool("optimal", optimal)
    message, eci = _message(data, eci, encoding)
    allowed = _Allowed(kind, layer_count, ec)
    _check_length(message, allowed)
    stream = _data_stream(message, eci, optimal)
    built = allowed.build(stream)
    if built is None:
        raise _overflow(message, stream, allowed, lambda prefix: _data_stream(prefix, eci, optimal))
    return AztecSymbol(built, eci, False)


def rune(value: SupportsIndex) -> AztecSymbol:
    """Makes the Aztec Rune of ``value`` (0 to 255): an 11x11 symbol of one value."""
    number = _check_int("a rune value", value, 0, 255, "rune values are 0 to 255")
    return AztecSymbol(_symbol.rune(number), None, True)


def data_stream(data: Data, *, eci: Optional[SupportsIndex] = None, encoding: Optional[str] = None,
                optimal: bool = True) -> List[bool]:
    """The data bit stream ``make`` puts into the symbol, one bool per bit.

    ``data``, ``eci``, ``encoding`` and ``optimal`` are those of
    :func:`make`, and follow its character set rules.
    """
    checked = _check_eci(eci)
    _check_bool("optimal", optimal)
    message, checked = _message(data, checked, encoding)
    return _stream_bits(_data_stream(message, checked, optimal))


def _message(data: Data, eci: Optional[int], encoding: Optional[str]) -> Tuple[bytes, Optional[int]]:
    message, eci = message_bytes(data, eci, encoding)
    if not message:
        raise AztecError("there is nothing to encode: the message is empty")
    return message, eci


def _data_stream(message: bytes, eci: Optional[int], optimal: bool) -> Stream:
    """The one place the data bit stream comes from, in either form of Stream:
    a shortest stream, or the search encoder's."""
    if optimal:
        from .optimal import encode_optimal_stream

        return encode_optimal_stream(message, eci)
    from .encoder import Encoder

    return Encoder().encode(message, eci=eci, asBits=True)


def _stream_bits(stream: Stream) -> List[bool]:
    if isinstance(stream, tuple):
        packed, count = stream
        return [bool(packed[k >> 3] >> (k & 7) & 1) for k in range(count)]
    return list(stream)


# --- Checking options --------------------------------------------------------

def _check_int(name: str, value: object, low: int, high: int, range_text: str) -> int:
    """``value`` as an int (anything operator.index takes but bool), in low..high."""
    if isinstance(value, bool):
        raise TypeError(f"{name} is an integer, not bool")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} is an integer, not {type(value).__name__}") from None
    if not low <= number <= high:
        raise InvalidOptionError(f"{range_text}, not {number}")
    return number


def _check_bool(name: str, value: object) -> None:
    if not isinstance(value, bool):
        raise TypeError(f"{name} is True or False, not {type(value).__name__}")


def _check_eci(eci: object) -> Optional[int]:
    if eci is None:
        return None
    return _check_int("eci", eci, 0, MAX_ECI, f"ECI numbers are 0 to {MAX_ECI}")


def _check_shape(compact: object, layers: object) -> Tuple[int, int]:
    """(kind, layers) as _symbol.build takes them: kind -1 either, 0 full,
    1 compact; layers 0 for the fewest that fit."""
    if compact is not None and not isinstance(compact, bool):
        raise TypeError(f"compact is True, False or None, not {type(compact).__name__}")
    kind = -1 if compact is None else int(compact)
    if layers is None:
        return kind, 0
    if compact is None:
        text = f"layers is 1 to {MAX_FULL_LAYERS} ({MAX_COMPACT_LAYERS} at most in compact symbols)"
    else:
        text = f"{'compact' if compact else 'full'} symbols have 1 to {_most_layers(compact)} layers"
    return kind, _check_int("layers", layers, 1, _most_layers(compact is True), text)


def _most_layers(compact: bool) -> int:
    return MAX_COMPACT_LAYERS if compact else MAX_FULL_LAYERS


# --- Fitting the stream into a symbol -----------------------------------------

class _Allowed:
    """The symbols the options allow: kind (-1 either, 0 full, 1 compact),
    layers (0: any) and error correction."""

    def __init__(self, kind: int, layers: int, ec_percent: int) -> None:
        self.kind, self.layers, self.ec_percent = kind, layers, ec_percent
        # The largest of them: a full one unless only compact ones are allowed.
        self.compact = kind == 1
        self.largest_layers = layers or _most_layers(self.compact)
        self.size, self.word_bits, _, most = _symbol.capacity(self.compact, self.largest_layers, ec_percent)
        self.data_words = max(most, 0)

    @property
    def largest(self) -> str:
        """The largest allowed symbol, in words."""
        return (f"a {'compact' if self.compact else 'full'} symbol of {self.largest_layers} "
                f"layer{'s' if self.largest_layers > 1 else ''} ({self.size}x{self.size})")

    def build(self, stream: Stream, **changes: int) -> Optional[_symbol.Built]:
        kind, layers, ec = (changes.get("kind", self.kind), changes.get("layers", self.layers),
                            changes.get("ec_percent", self.ec_percent))
        if isinstance(stream, tuple):
            return _symbol.build_packed(stream[0], stream[1], kind, layers, ec)
        return _symbol.build(stream, kind, layers, ec)

    def remedies(self, fits: Callable[..., bool]) -> List[str]:
        """The single changes of option that make ``fits`` true, in words."""
        found = []
        if self.ec_percent > 0 and fits(ec_percent=0):
            most = _last_true(0, self.ec_percent - 1, lambda ec: fits(ec_percent=ec))
            found.append(f"ec_percent={most} or less")
        if self.compact and fits(kind=-1):
            found.append("full symbols (leave out compact=True)")
        if self.layers:
            more = [n for n in range(self.layers + 1, _most_layers(self.compact) + 1) if fits(layers=n)]
            if more:
                found.append(f"layers={more[0]}")
        return found


def _overflow(message: bytes, stream: Stream, allowed: _Allowed,
              stream_of: Callable[[bytes], Stream]) -> DataOverflowError:
    """The error for a stream that fits none of the allowed symbols: what
    the largest of them holds, in codewords and in bytes of this message,
    and which option would make the message fit."""
    bits = _stream_bits(stream)
    needed = len(_symbol.stuffed_words(bits, allowed.word_bits))
    head = f"the message does not fit: its {len(bits)} bits make {needed} codewords of {allowed.word_bits} bits"
    if allowed.data_words == 0:
        fitting = 0
        holds = f"{allowed.largest} has no room for data with {allowed.ec_percent}% error correction"
    else:
        fitting = _longest_fitting_prefix(message, allowed, stream_of)
        holds = (f"{allowed.largest}, the largest allowed, holds {allowed.data_words} of them with "
                 f"{allowed.ec_percent}% error correction: the first {fitting} of the message's "
                 f"{len(message)} bytes")
    remedies = allowed.remedies(lambda **changes: allowed.build(stream, **changes) is not None)
    advice = (f"it would fit with {' or '.join(remedies)}; or" if remedies
              else "no one change of these options makes it fit, so")
    return DataOverflowError(
        f"{head}, but {holds}; {advice} split it across symbols with make_sequence",
        needed_bits=len(bits), available_bits=allowed.data_words * allowed.word_bits,
        message_bytes=len(message), fitting_bytes=fitting)


def _longest_fitting_prefix(message: bytes, allowed: _Allowed, stream_of: Callable[[bytes], Stream]) -> int:
    """The most bytes from the start of ``message`` that fit (the whole does not)."""
    return _last_true(0, len(message) - 1, lambda length: allowed.build(stream_of(message[:length])) is not None)


def _last_true(low: int, high: int, holds: Callable[[int], bool]) -> int:
    """The largest n in low..high for which ``holds(n)``, by bisection: it
    holds up to some n and not after (``low`` is taken to hold)."""
    while low < high:
        middle = (low + high + 1) // 2
        if holds(middle):
            low = middle
        else:
            high = middle - 1
    return low


# --- The quick length refusal -------------------------------------------------

# A byte that some text mode holds costs at least 2.5 bits (two bytes of a
# punctuation pair share one 5-bit code); any other byte costs 8 bits in a
# binary shift run.  A message whose bits by that count exceed what the
# largest symbol holds at all cannot fit, and is refused before it is
# encoded, so a huge message costs one pass over its bytes.
_TEXT_BITS_TIMES_2 = 5
_BINARY_BITS_TIMES_2 = 16


@lru_cache(maxsize=None)
def _largest_bits() -> int:
    """The data bits of the largest symbol, with the least error correction."""
    loosest = _Allowed(-1, 0, 0)
    return loosest.data_words * loosest.word_bits


@lru_cache(maxsize=None)
def _text_bytes() -> bytes:
    """The bytes some text mode holds: those the encoder writes alone in
    fewer bits than a binary shift run of one byte (18 bits) takes."""
    from . import _optimal

    return bytes(b for b in range(256) if len(_optimal.encode(bytes([b]), None, True)) < 18)


def _check_length(message: bytes, allowed: _Allowed) -> None:
    """Refuses a message no symbol at all can hold, before encoding it."""
    largest_bits = _largest_bits()
    if len(message) * _TEXT_BITS_TIMES_2 <= 2 * largest_bits:
        return  # could fit, whatever its bytes
    binary = len(message.translate(None, _text_bytes()))
    least_bits_times_2 = binary * _BINARY_BITS_TIMES_2 + (len(message) - binary) * _TEXT_BITS_TIMES_2
    if least_bits_times_2 <= 2 * largest_bits:
        return
    capacity = allowed.data_words * allowed.word_bits
    at_most = capacity * 2 * len(message) // least_bits_times_2
    raise DataOverflowError(
        f"the message does not fit: its {len(message)} bytes ({binary} of them binary) need at least "
        f"{(least_bits_times_2 + 1) // 2} bits, but {allowed.largest}, the largest allowed, holds "
        f"{capacity} with {allowed.ec_percent}% error correction: at most {at_most} bytes of a message "
        f"like this one, and no single symbol holds more than {largest_bits} bits; "
        f"split it across symbols with make_sequence",
        needed_bits=(least_bits_times_2 + 1) // 2, available_bits=capacity,
        message_bytes=len(message), fitting_bytes=at_most)
