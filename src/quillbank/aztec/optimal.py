"""The optimal encoder: a shortest data bit stream for a message.

:class:`quillbank.aztec.encoder.Encoder` follows a described, pruned search
and so leaves bits on the table; :func:`encode_optimal` returns a stream of
the least possible length over every choice the code allows (modes, latches,
shifts, Punct pairs, binary shift runs of either header length).  Both
return the stream in the same forms, and a decoder reads either one back to
the same message.

Equal-length streams are chosen between by a fixed rule, so the result
depends on the message and the ECI number alone.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, List, Literal, Optional, Sequence, SupportsIndex, Tuple, Union, overload

from . import _aztec

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["encode_optimal", "encode_optimal_stream", "encode_optimal_segments"]

#: A message: text (encoded as UTF-8) or any buffer of bytes.
Data = Union[str, "Buffer"]
#: An ECI number to start the stream with, or None or False for none.
Eci = Union[SupportsIndex, "Literal[False]", None]


@overload
def encode_optimal(data: Data, eci: Eci = ..., asBits: Literal[False] = ...) -> bytes: ...
@overload
def encode_optimal(data: Data, eci: Eci, asBits: Literal[True]) -> List[bool]: ...
@overload
def encode_optimal(data: Data, eci: Eci = ..., *, asBits: Literal[True]) -> List[bool]: ...
@overload
def encode_optimal(data: Data, eci: Eci = ..., asBits: object = ...) -> Union[bytes, List[bool]]: ...


def encode_optimal(data: Data, eci: Eci = None, asBits: object = False) -> Union[bytes, List[bool]]:
    """Return a shortest data bit stream for `data`.

    :param data: the message: a ``str`` (encoded as UTF-8), or any
        bytes-like object whose items are bytes (``bytes``, ``bytearray``,
        ``memoryview``, ``array.array('B')``, a NumPy ``uint8`` array),
        read-only or writable, contiguous or strided.
    :param eci: an ECI number (0 to 999999; an int or any integer
        ``operator.index`` takes, not bool) to start the stream with, or
        ``None`` or ``False`` for no designator.
    :param asBits: return a list of booleans, one per stream bit, instead
        of packed bytes (any object, taken by its truth value; default False).
    :return: ``bytes`` with stream bit k in bit ``k % 8`` of byte ``k // 8``
        (the last byte padded with zero bits), or a ``list`` of ``bool``.
    :raises InvalidOptionError: for an ECI number out of range.
    :raises TypeError: for a message or ECI number of another type, or a
        buffer of wider items.
    """
    return _aztec.encode(data, eci, asBits)


def encode_optimal_stream(data: Data, eci: Eci = None) -> Tuple[bytes, int]:
    """Return ``(packed, bit_count)``: the stream of :func:`encode_optimal`
    as packed bytes with its exact length in bits, for the symbol writer.
    """
    return _aztec.encode_stream(data, eci)


def encode_optimal_segments(data: Data, flags: Sequence[Tuple[int, Optional[int]]] = (),
                            structured_append: bool = False) -> Tuple[bytes, int]:
    """Return ``(packed, bit_count)``: a shortest stream for `data` with flags
    at fixed byte positions, for the symbol writer.

    :param data: the message, as for :func:`encode_optimal` (a ``str`` is
        encoded as UTF-8 and the positions count its UTF-8 bytes).
    :param flags: a sequence of ``(position, value)`` tuples in order of
        position (equal positions are written in the order given), each
        written before the byte at `position` (``len(data)``: after the
        last).  ``value`` is ``None`` for FNC1 (FLG(0)) or an ECI number
        0 to 999999 for its designator (FLG(n), n its digit count; note
        that ECI 0 is a designator, not FNC1).  Default: no flag.
    :param structured_append: start the stream with M/L U/L, the latch pair
        that marks a symbol of a structured-append sequence (default
        ``False``).  The header text after it is part of `data`: see
        :func:`quillbank.aztec.sequence.header`.
    :raises TypeError: for a flag that is no ``(int, int or None)`` tuple.
    :raises ValueError: for decreasing positions, a position past the
        message, or an ECI number out of range.

    The stream is the shortest over every choice, the flags priced from
    every mode (P/S and FLG, or FLG alone in Punct); no binary run or
    Punct pair spans a flag, and the decoder's mode is unchanged by it.
    """
    return _aztec.encode_segments(data, flags, structured_append)
