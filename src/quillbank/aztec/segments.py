"""What a stream holds besides bytes: segments with their own character
sets, and GS1 content.

A :class:`Content` is the message as the shortest-stream programme takes it:
bytes, flags at byte positions (an ECI designator, or FNC1) and the places
where a part of a sequence may begin (character boundaries).  The cut of a
message into the parts of a sequence is sequence.py's, and the plan of
those parts sequence_parts.py's.
"""

from __future__ import annotations

import collections.abc
from bisect import bisect_left
from dataclasses import dataclass
from typing import List, Literal, NamedTuple, Optional, Sequence, Tuple, Union

from . import gs1 as _gs1
from .arguments import check_eci
from .charsets import LATIN_1, LATIN_1_ECI, BytesLike, codec_of, message_bytes
from .errors import InvalidOptionError

__all__ = ["Segment", "Content", "Flag", "single", "is_segments", "from_segments", "from_gs1"]

#: (byte position, ECI number, or None for FNC1)
Flag = Tuple[int, Optional[int]]


@dataclass(frozen=True)
class Segment:
    """A piece of a message with its own character set, for :func:`make`.

    ``data`` is a ``str`` or bytes-like object; ``encoding`` (default None)
    and ``eci`` (default None; False for no designator) are those of
    :func:`make`, applied to this piece alone: ``Segment("Привет",
    encoding="iso-8859-5")`` is written in ISO-8859-5 and marked with ECI 7.
    """

    data: Union[str, BytesLike]
    encoding: Optional[str] = None
    eci: Union[int, "Literal[False]", None] = None

    def __init__(self, data: Union[str, BytesLike], *, encoding: Optional[str] = None,
                 eci: Union[int, "Literal[False]", None] = None) -> None:
        if encoding is not None and not isinstance(encoding, str):
            raise TypeError(f"encoding is a codec name (str) or None, not {type(encoding).__name__}")
        object.__setattr__(self, "data", data)
        object.__setattr__(self, "encoding", encoding)
        object.__setattr__(self, "eci", check_eci(eci))


# The character set in force before any designator: ISO-8859-1 by the
# standard, but guessed at by readers.
_UNMARKED = object()


class Content(NamedTuple):
    """A message ready for the shortest-stream programme."""

    message: bytes
    #: (position, ECI number or None for FNC1), in order of position.
    flags: Tuple[Flag, ...]
    #: Where a part of a sequence may start: the character boundaries
    #: (for GS1, the ends of the AIs' values), ascending, 0 and
    #: len(message) included.  None: every byte position.
    boundaries: Optional[Tuple[int, ...]] = None
    #: GS1 content: FNC1 at position 0 marks it, and starts every part.
    gs1: bool = False

    @property
    def eci(self) -> Optional[int]:
        """The first ECI number written, if any."""
        for _, value in self.flags:
            if value is not None:
                return value
        return None

    def leading_eci_only(self) -> bool:
        """Whether the flags are at most one ECI designator at the start (a
        stream the plain encoders write)."""
        return not self.flags or (len(self.flags) == 1 and self.flags[0][0] == 0
                                  and self.flags[0][1] is not None)

    def prefix(self, length: int) -> "Content":
        """The first ``length`` bytes with their flags (those after them dropped)."""
        # The flags are in order of position: found by bisection, not a scan
        # ((length,) sorts before every flag at length, whatever its value).
        before = bisect_left(self.flags, (length,))
        at = bisect_left(self.flags, (length + 1,))
        kept = self.flags[:before] + tuple(flag for flag in self.flags[before:at] if flag[1] is None)
        return self._replace(message=self.message[:length], flags=kept)


def is_segments(data: object) -> bool:
    """Whether a message is a list of segments: a :class:`Segment`, or a
    list, tuple or other sequence that is neither text nor bytes-like."""
    if isinstance(data, (list, tuple, Segment)):
        return True
    if isinstance(data, (str, bytes, bytearray, memoryview)) or not isinstance(data, collections.abc.Sequence):
        return False
    try:
        memoryview(data)  # type: ignore[arg-type]
    except TypeError:
        return True
    return False  # a buffer that is also a sequence (array.array) is one message


def single(message: bytes, eci: Optional[int]) -> Content:
    """One message in one character set, as make() writes it."""
    return Content(message, ((0, eci),) if eci is not None else ())


def from_segments(items: Union[Sequence[object], Segment]) -> Content:
    """The content of a list of segments (``str``, bytes-like or
    :class:`Segment`), each written by the charset policy on its own.

    An ECI designator goes before the first segment if it has an ECI
    number, and at a later boundary only where the character set changes.
    ISO-8859-1's (ECI 3) after segments all unmarked goes at the start
    instead: it is what unmarked bytes are anyway, and a reader that
    guesses sees the whole message marked.  A segment of bytes without
    ``eci`` continues in the character set in force; an empty segment
    writes nothing.
    """
    if isinstance(items, Segment):
        items = [items]
    parts = bytearray()
    flags: List[Flag] = []
    boundaries = [0]
    in_force: Optional[object] = _UNMARKED
    for index, item in enumerate(items):
        data, eci, encoding = _segment_fields(item, index)
        written, eci = message_bytes(data, eci, encoding)  # type: ignore[arg-type]
        if not written:
            continue
        charset = _charset(data, eci)
        if eci is not None:
            if in_force is _UNMARKED and charset == LATIN_1:
                flags.append((0, eci))
            elif charset != in_force:
                flags.append((len(parts), eci))
            in_force = charset
        elif charset == LATIN_1 and in_force not in (_UNMARKED, LATIN_1):
            flags.append((len(parts), LATIN_1_ECI))  # back to ISO-8859-1 after another set
            in_force = LATIN_1
        start = len(parts)
        parts += written
        boundaries += [start + end for end in _character_ends(data, written, eci, encoding)]
    return Content(bytes(parts), tuple(flags), tuple(boundaries))


def from_gs1(data: object) -> Content:
    """The content of GS1 data (either form :func:`gs1.parse` takes, or a
    list of segments that are all plain ISO-8859-1): FNC1 first and after
    each variable-length value that is not last."""
    if is_segments(data):
        joined = from_segments(data)  # type: ignore[arg-type]
        if joined.flags:
            raise InvalidOptionError(
                "GS1 data is ASCII, written without an ECI designator: segments of another character "
                f"set (ECI {joined.eci}) cannot be GS1 content")
        data = joined.message
    elif not isinstance(data, (str, bytes)):
        data = message_bytes(data, None, None)[0]  # type: ignore[arg-type]
    parsed = _gs1.parse(data)
    return Content(parsed.element_string, tuple((p, None) for p in parsed.fnc1_positions),
                   (0,) + parsed.element_ends, True)


def _segment_fields(item: object, index: int) -> Tuple[object, Optional[int], Optional[str]]:
    if isinstance(item, Segment):
        return item.data, item.eci, item.encoding
    if isinstance(item, (list, tuple)):
        raise TypeError(f"segment {index} is a {type(item).__name__}: a segment is str, bytes-like or Segment")
    return item, None, None


def _charset(data: object, eci: Optional[int]) -> Optional[object]:
    """The character set a segment is written in, for telling a change: its
    codec name (ISO-8859-1 for unmarked text), the ECI number when it has
    no codec here, or None for unmarked bytes (written in the set in force)."""
    if eci is None:
        return LATIN_1 if isinstance(data, str) else None
    return codec_of(eci) or eci


def _character_ends(data: object, written: bytes, eci: Optional[int], encoding: Optional[str]) -> List[int]:
    """The byte offsets in ``written`` where each character of a text
    segment ends (every byte for bytes, and single-byte text)."""
    if not isinstance(data, str) or len(data) == len(written):
        return list(range(1, len(written) + 1))
    codec = encoding if encoding is not None else (codec_of(eci) if eci is not None else "utf-8")
    ends, end = [], 0
    for character in data:
        end += len(character.encode(codec))  # type: ignore[arg-type]
        ends.append(end)
    if end != len(written):  # a codec with state across characters: cut anywhere
        return list(range(1, len(written) + 1))
    return ends
