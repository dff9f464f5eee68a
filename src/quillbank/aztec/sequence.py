"""Structured append: one message spread over 2 to 26 Aztec symbols.

Each symbol's stream starts with M/L U/L (see
:func:`quillbank.aztec.optimal.encode_optimal_segments`,
``structured_append=True``), then the header text of :func:`header`, then
its part of the message; a reader joins the parts in order of position.
"""

from .errors import InvalidOptionError

__all__ = ["MAX_SYMBOLS", "header"]

#: The most symbols a sequence holds: positions and counts are letters A to Z.
MAX_SYMBOLS = 26


def header(position, count, id=None):
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
    for name, value in (("position", position), ("count", count)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"the sequence {name} must be an int, not {type(value).__name__}")
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
