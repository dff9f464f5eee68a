"""Structured append: one message spread over 2 to 26 Aztec symbols.

Each symbol's stream starts with M/L U/L (see
:func:`quillbank.aztec.optimal.encode_optimal_segments`,
``structured_append=True``), then the header text of :func:`header`, then
its part of the message; a reader joins the parts in order of position.
"""

from __future__ import annotations

from bisect import bisect_left, bisect_right
from typing import TYPE_CHECKING, Callable, List, NamedTuple, Optional, Sequence, Tuple

from .arguments import as_int
from .errors import InvalidOptionError

if TYPE_CHECKING:
    from .segments import Content, Flag

#: Whether the part of the message from one byte position to another fits.
Fits = Callable[[int, int], bool]
Cuts = List[Tuple[int, int]]

__all__ = ["MAX_SYMBOLS", "header", "FlagIndex", "part_content", "cut_greedily", "cut_evenly", "split_to", "last_true"]

#: The most symbols a sequence holds: positions and counts are letters A to Z.
MAX_SYMBOLS = 26


def header(position: int, count: int, id: Optional[str] = None) -> bytes:
    """The header text of one symbol of a sequence, as bytes.

    :param position: the symbol's place, 1 (first) to `count`.
    :param count: the number of symbols, 2 to 26.
    :param id: ``None`` (default), or a ``str`` of printable ASCII without
        spaces that tells this sequence's symbols from another's.
    :return: ``b" " + id + b" "`` when there is an ID, then the position and
        the count as capitals (A = 1): ``header(2, 3, "T42") == b" T42 BC"``.
    :raises TypeError: for a position or count that is not an int, or an
        ID that is not a str.
    :raises InvalidOptionError: for a count outside 2 to 26, a position
        outside 1 to count, or an empty ID or one with other characters.
    """
    position, count = as_int("the sequence position", position), as_int("the sequence count", count)
    if not 2 <= count <= MAX_SYMBOLS:
        raise InvalidOptionError(f"a sequence has 2 to {MAX_SYMBOLS} symbols, not {count}")
    if not 1 <= position <= count:
        raise InvalidOptionError(f"the position in a sequence of {count} symbols is 1 to {count}, not {position}")
    letters = bytes([64 + position, 64 + count])
    if id is None:
        return letters
    if not isinstance(id, str):
        raise TypeError(f"the sequence id must be a str, not {type(id).__name__}")
    if not id or not all("!" <= c <= "~" for c in id):
        raise InvalidOptionError(
            f"the sequence id must be printable ASCII without spaces (at least one character), not {id!r}")
    return b" " + id.encode("ascii") + b" " + letters


# --- Cutting a message into parts ---------------------------------------------

class FlagIndex(NamedTuple):
    """The flags of a content indexed once, so that the flags of any part
    are found by bisection rather than a scan of them all."""

    positions: List[int]
    #: The ECI number in force before each flag (and, last, after them all).
    eci_before: List[Optional[int]]

    @staticmethod
    def of(flags: Sequence[Flag]) -> "FlagIndex":
        in_force: Optional[int] = None
        before = []
        for _, value in flags:
            before.append(in_force)
            if value is not None:
                in_force = value
        before.append(in_force)
        return FlagIndex([position for position, _ in flags], before)


def part_content(content: Content, start: int, end: int, head: bytes,
                 index: Optional[FlagIndex] = None) -> Tuple[bytes, Tuple[Flag, ...]]:
    """``(message, flags)`` of the part ``content.message[start:end]`` after
    the header bytes ``head``; ``index`` is :meth:`FlagIndex.of` the
    content's flags, made once for many parts.

    GS1 parts start with FNC1.  Other parts start with the ECI designator
    in force where they begin, unless one is written right there.  A
    designator at a cut belongs to the part after it (it marks what
    follows); an FNC1 separator to the part before it (it ends a value).
    """
    index = index or FlagIndex.of(content.flags)
    shift = len(head) - start
    every = content.flags
    # The flags at the start of the part, those inside it and those at its
    # end, found by bisection: a part's cost does not grow with the flags
    # of the rest of the message.
    first = bisect_left(index.positions, start)
    inside = bisect_right(index.positions, start)
    at_end = max(inside, bisect_left(index.positions, end))
    beyond = bisect_right(index.positions, end)
    flags: List[Flag] = []
    if content.gs1:
        flags.append((len(head), None))
    elif index.eci_before[first] is not None and all(value is None for _, value in every[first:inside]):
        flags.append((len(head), index.eci_before[first]))
    flags += [(position + shift, value) for position, value in every[first:inside] if value is not None]
    flags += [(position + shift, value) for position, value in every[inside:at_end]]
    at_message_end = end == len(content.message)
    flags += [(position + shift, value) for position, value in every[at_end:beyond]
              if value is None or at_message_end]
    return head + content.message[start:end], tuple(flags)


def cut_greedily(boundaries: Sequence[int], fits: Fits, most_parts: int, most_bytes: int) -> Optional[Cuts]:
    """The cuts ``[(start, end)]`` that give each part in turn the most
    characters that fit; None when ``most_parts`` parts do not hold the
    message.

    ``boundaries`` are the byte positions where a part may start or end
    (ascending, the first 0 and the last the message length); ``fits(start,
    end)`` tells whether a part fits, and no part holds more than
    ``most_bytes`` bytes (a bound that keeps the search short).
    """
    cuts: Cuts = []
    first = 0
    last = len(boundaries) - 1
    while first < last:
        if len(cuts) == most_parts or not fits(boundaries[first], boundaries[first + 1]):
            return None
        highest = max(first + 1, min(last, bisect_right(boundaries, boundaries[first] + most_bytes) - 1))
        end = last_true(first + 1, highest, lambda k: fits(boundaries[first], boundaries[k]))
        cuts.append((boundaries[first], boundaries[end]))
        first = end
    return cuts


def cut_evenly(boundaries: Sequence[int], count: int, fits: Fits) -> Optional[Cuts]:
    """``count`` parts of about the same byte length, cut at boundaries;
    None when one of them does not fit or there are too few characters."""
    last = len(boundaries) - 1
    if last < count:
        return None
    indices = [0]
    total = boundaries[-1]
    for k in range(1, count):
        target = total * k // count
        nearest = bisect_left(boundaries, target)
        if nearest > 0 and target - boundaries[nearest - 1] <= boundaries[min(nearest, last)] - target:
            nearest -= 1
        # Each part one character at least.
        indices.append(min(max(nearest, indices[-1] + 1), last - (count - k)))
    indices.append(last)
    cuts = [(boundaries[a], boundaries[b]) for a, b in zip(indices, indices[1:])]
    return cuts if all(fits(start, end) for start, end in cuts) else None


def split_to(boundaries: Sequence[int], count: int, fits: Fits, most_bytes: int) -> Optional[Cuts]:
    """Exactly ``count`` non-empty parts that fit, or None: even parts if
    they fit, else the greedy cut with the last parts split further."""
    even = cut_evenly(boundaries, count, fits)
    if even is not None:
        return even
    cuts = cut_greedily(boundaries, fits, count, most_bytes)
    if cuts is None:
        return None
    position = {offset: index for index, offset in enumerate(boundaries)}
    # Split the longest parts (in characters) until there are `count`:
    # half a part that fits fits too.
    while len(cuts) < count:
        widest = max(range(len(cuts)), key=lambda i: position[cuts[i][1]] - position[cuts[i][0]])
        start, end = cuts[widest]
        a, b = position[start], position[end]
        if b - a < 2:
            return None
        middle = boundaries[(a + b) // 2]
        if not (fits(start, middle) and fits(middle, end)):
            return None
        cuts[widest:widest + 1] = [(start, middle), (middle, end)]
    return cuts


def last_true(low: int, high: int, holds: Callable[[int], bool], near: Optional[int] = None) -> int:
    """The largest n in low..high for which ``holds(n)``, by bisection: it
    holds up to some n and not after (``low`` is taken to hold).  ``near``,
    a guess of that n, is tried first, and the range is closed in from it in
    steps that double, so that a good guess costs a few calls."""
    if near is not None and low < near <= high:
        step = 1
        if holds(near):
            low = near
            while low < high:
                ahead = min(high, low + step)
                if not holds(ahead):
                    high = ahead - 1
                    break
                low, step = ahead, step * 2
        else:
            high = near - 1
            while low < high:
                behind = max(low, high - step + 1)
                if holds(behind):
                    low = behind
                    break
                high, step = behind - 1, step * 2
    while low < high:
        middle = (low + high + 1) // 2
        if holds(middle):
            low = middle
        else:
            high = middle - 1
    return low
