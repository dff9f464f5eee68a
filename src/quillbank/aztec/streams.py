"""A message's content and its data bit stream: the bytes and flags a
message is written with, and the stream either encoder makes of them, in
the two forms the symbol writer takes."""

from __future__ import annotations

from typing import List, Optional, Sequence, Tuple, Union

from .charsets import BytesLike, message_bytes
from .errors import AztecError, InvalidOptionError
from .segments import Content, Segment, from_gs1, from_segments

__all__ = ["Data", "Segments", "Stream", "message_of", "stream_of", "content_of", "content_stream", "packed",
           "stream_bits"]

#: A message: text, or any buffer of bytes (bytes, bytearray, memoryview,
#: array.array('B'), a NumPy uint8 array...), in any layout.
Data = Union[str, BytesLike]
#: A message of segments, each with its own character set: a list, tuple
#: or other sequence of them.
Segments = Sequence[Union[str, BytesLike, Segment]]
# A data bit stream: one bool per bit, or packed bytes (stream bit k in bit
# k % 8 of byte k // 8) with the exact bit count.
Stream = Union[List[bool], Tuple[bytes, int]]


def message_of(data: Data, eci: Optional[int], encoding: Optional[str]) -> Tuple[bytes, Optional[int]]:
    """The bytes of a single message and its ECI number, by the charset
    policy; an empty message is refused."""
    message, eci = message_bytes(data, eci, encoding)
    if not message:
        raise AztecError("there is nothing to encode: the message is empty")
    return message, eci


def stream_of(message: bytes, eci: Optional[int], optimal: bool) -> Stream:
    """The one place the data bit stream comes from, in either form of Stream:
    a shortest stream, or the search encoder's."""
    if optimal:
        from .optimal import encode_optimal_stream

        return encode_optimal_stream(message, eci)
    from .encoder import Encoder

    return Encoder().encode(message, eci=eci, asBits=True)


def content_of(data: object, eci: Optional[int], encoding: Optional[str], gs1: bool, reader_init: bool) -> Content:
    """The content of GS1 data or of a list of segments, options checked
    against each other."""
    if gs1:
        for given, why in ((eci is not None and eci is not False, "an ECI designator (eci=)"),
                           (encoding is not None, "encoding="),
                           (reader_init, "reader_init=True")):
            if given:
                raise InvalidOptionError(
                    f"GS1 data cannot be combined with {why}: GS1 symbols hold ASCII element strings "
                    f"read as GS1 data, not marked with a character set nor programming the reader")
        content = from_gs1(data)
    else:
        if eci is not None or encoding is not None:
            raise InvalidOptionError(
                "eci and encoding apply to a single message; give each segment its own with "
                "Segment(data, encoding=..., eci=...)")
        content = from_segments(data)  # type: ignore[arg-type]
    if not content.message:
        raise AztecError("there is nothing to encode: the message is empty")
    return content


def content_stream(content: Content, optimal: bool) -> Stream:
    """The data bit stream of a content: the plain one for a message with
    at most a leading ECI designator, the flagged one otherwise."""
    if content.leading_eci_only():
        return stream_of(content.message, content.eci, optimal)
    if not optimal:
        what = "FNC1 (GS1 data)" if content.gs1 else "a change of ECI between segments"
        raise InvalidOptionError(f"optimal=False: the search encoder cannot write {what}; leave optimal out")
    from .optimal import encode_optimal_segments

    return encode_optimal_segments(content.message, content.flags)


def packed(stream: Stream) -> Tuple[bytes, int]:
    """A stream packed as the optimal encoder returns it (bit k in bit
    k % 8 of byte k // 8), and its bit count."""
    if isinstance(stream, tuple):
        return stream
    bits = list(stream)
    packed = bytearray((len(bits) + 7) // 8)
    for k, bit in enumerate(bits):
        if bit:
            packed[k >> 3] |= 1 << (k & 7)
    return bytes(packed), len(bits)


def stream_bits(stream: Stream) -> List[bool]:
    """A stream as one bool per bit."""
    if isinstance(stream, tuple):
        packed, count = stream
        # Stream bit k is bit k of the little-endian number of the bytes:
        # its binary digits, lowest first, as bytes 0 and 1.
        digits = format(int.from_bytes(packed, "little"), "b")[::-1].encode("ascii").translate(_BIT_OF_DIGIT)
        return list(map(bool, digits[:count])) + [False] * (count - len(digits))
    return list(stream)


_BIT_OF_DIGIT = bytes.maketrans(b"01", b"\x00\x01")
