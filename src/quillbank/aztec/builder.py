"""Making symbols from messages: make(), rune() and the data stream they use."""

from __future__ import annotations

from typing import List, Optional, Tuple, Union

from . import _symbol
from .errors import DataOverflowError, InvalidOptionError
from .symbol import AztecSymbol

__all__ = ["make", "rune", "data_stream"]

#: The largest ECI number an ECI designator can carry (six digits).
MAX_ECI = 999_999
#: The error correction the standard recommends: 23% of the codewords (plus 3).
DEFAULT_EC_PERCENT = 23
MAX_COMPACT_LAYERS = 4
MAX_FULL_LAYERS = 32

Data = Union[str, bytes, bytearray, memoryview]
# A data bit stream: one bool per bit, or packed bytes (stream bit k in bit
# k % 8 of byte k // 8) with the exact bit count.
Stream = Union[List[bool], Tuple[bytes, int]]


def make(data: Data, *, eci: Optional[int] = None, ec_percent: int = DEFAULT_EC_PERCENT,
         compact: Optional[bool] = None, layers: Optional[int] = None,
         optimal: bool = True) -> AztecSymbol:
    """Makes the smallest Aztec symbol holding ``data``.

    ``data`` is ``str`` (written as UTF-8) or bytes.  ``eci`` marks the
    message with an ECI number (0 to 999999) that tells the reader its
    character set.  ``ec_percent`` (0 to 99) is the least share of the
    codewords given to error correction, plus three codewords; the default of
    23 is the standard's recommendation.  ``compact=True`` or ``False``
    restricts the choice to compact or full symbols and ``layers`` fixes the
    layer count (1 to 4 compact, 1 to 32 full).  ``optimal`` (default True)
    encodes the message in a shortest data bit stream; ``optimal=False`` uses
    the stream of :class:`quillbank.aztec.encoder.Encoder` instead.

    An empty message gives a symbol of one padding codeword; some readers
    turn such a symbol down for having no content.

    Raises DataOverflowError when the message does not fit, and
    InvalidOptionError for an option out of range.
    """
    message = _message_bytes(data)
    _check_eci(eci)
    _check_ec_percent(ec_percent)
    kind = _check_kind(compact, layers)
    _check_message_length(message)
    stream = _data_stream(message, eci, optimal)
    if isinstance(stream, tuple):
        built = _symbol.build_packed(stream[0], stream[1], kind, layers or 0, ec_percent)
    else:
        built = _symbol.build(stream, kind, layers or 0, ec_percent)
    if built is None:
        raise DataOverflowError(_overflow_message(_stream_bits(stream), compact, layers, ec_percent))
    return AztecSymbol(built, eci, False)


# No encoding takes fewer than 2.5 bits a byte (a punctuation pair is one
# 5-bit code), and the largest symbol has 1664 codewords of 12 bits: a longer
# message cannot fit, and is refused before it is encoded at all.
_LARGEST_SYMBOL_BITS = 1664 * 12
_LONGEST_MESSAGE = _LARGEST_SYMBOL_BITS * 2 // 5


def _check_message_length(message: bytes) -> None:
    if len(message) > _LONGEST_MESSAGE:
        raise DataOverflowError(
            f"a message of {len(message)} bytes needs at least {(5 * len(message) + 1) // 2} bits, "
            f"but the largest Aztec symbol holds {_LARGEST_SYMBOL_BITS}; split the message "
            f"(no message of more than {_LONGEST_MESSAGE} bytes fits)")


def rune(value: int) -> AztecSymbol:
    """Makes the Aztec Rune of ``value`` (0 to 255): an 11x11 symbol of one value."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"a rune value is an int, not {type(value).__name__}")
    if not 0 <= value <= 255:
        raise InvalidOptionError(f"rune values are 0 to 255, not {value}")
    return AztecSymbol(_symbol.rune(value), None, True)


def data_stream(data: Data, *, eci: Optional[int] = None, optimal: bool = True) -> List[bool]:
    """The data bit stream ``make`` puts into the symbol, one bool per bit."""
    _check_eci(eci)
    return _stream_bits(_data_stream(_message_bytes(data), eci, optimal))


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


def _message_bytes(data: Data) -> bytes:
    if isinstance(data, str):
        return data.encode("utf-8")
    if isinstance(data, (bytes, bytearray, memoryview)):
        return bytes(data)
    raise TypeError(f"the message is str or bytes, not {type(data).__name__}")


def _check_int(name: str, value: object) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} is an int, not {type(value).__name__}")


def _check_eci(eci: Optional[int]) -> None:
    if eci is None:
        return
    _check_int("eci", eci)
    if not 0 <= eci <= MAX_ECI:
        raise InvalidOptionError(f"ECI numbers are 0 to {MAX_ECI}, not {eci}")


def _check_ec_percent(ec_percent: int) -> None:
    _check_int("ec_percent", ec_percent)
    if not 0 <= ec_percent <= 99:
        raise InvalidOptionError(f"error correction is 0 to 99 percent, not {ec_percent}")


def _check_kind(compact: Optional[bool], layers: Optional[int]) -> int:
    """The kind argument of _symbol.build: -1 either, 0 full, 1 compact."""
    if compact is not None and not isinstance(compact, bool):
        raise TypeError(f"compact is True, False or None, not {type(compact).__name__}")
    if layers is not None:
        _check_int("layers", layers)
        most = MAX_COMPACT_LAYERS if compact else MAX_FULL_LAYERS
        if not 1 <= layers <= most:
            kind = "compact" if compact else "full"
            raise InvalidOptionError(f"{kind} symbols have 1 to {most} layers, not {layers}")
    return -1 if compact is None else int(compact)



def _overflow_message(bits: List[bool], compact: Optional[bool], layers: Optional[int], ec_percent: int) -> str:
    # Name the largest symbol the caller allowed (a full one unless compact
    # was asked for) and what it holds.
    is_compact = compact is True
    largest = layers or (MAX_COMPACT_LAYERS if is_compact else MAX_FULL_LAYERS)
    size, width, _, most = _symbol.capacity(is_compact, largest, ec_percent)
    needed = len(_symbol.stuffed_words(bits, width))
    kind = "compact" if is_compact else "full"
    return (f"the message does not fit: its {len(bits)} bits make {needed} codewords of {width} bits, "
            f"and a {kind} symbol of {largest} layers ({size}x{size}) holds at most {max(most, 0)} "
            f"with {ec_percent}% error correction")
