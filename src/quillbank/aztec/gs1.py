"""GS1 data for Aztec symbols: parsing and checking with biip.

A GS1 symbol carries an element string: Application Identifiers (AIs) and
their values back to back, with FNC1 first and after each variable-length
value that is not last (the reader turns those into GS, 0x1D).  The
programme of :mod:`quillbank.aztec.optimal` writes the FNC1 flags at the
positions :func:`parse` returns::

    data = gs1.parse("(01)09501101530003(17)250101(10)ABC123(21)42")
    flags = [(position, None) for position in data.fnc1_positions]
    packed, bit_count = encode_optimal_segments(data.element_string, flags)

biip holds the table of AIs: their values' length and format, dates, and
the check digits of GTINs, SSCCs and GLNs, all checked here.
"""

import re
from typing import NamedTuple, Tuple, Union

from .errors import InvalidOptionError

__all__ = ["GS1Data", "GS1Error", "parse", "human_readable"]

GROUP_SEPARATOR = "\x1d"

# One "(AI)value" of the human-readable form.
_HUMAN_ELEMENT = re.compile(r"\((\d{2,4})\)([^()]*)")


class GS1Error(InvalidOptionError):
    """GS1 content that is not a valid element string: an unknown AI, a
    value of the wrong length or format, or a wrong check digit."""


class GS1Data(NamedTuple):
    """A parsed GS1 message."""

    #: The AIs and their values, ASCII, without brackets or separators.
    element_string: bytes
    #: Where FNC1 goes in `element_string`: 0, then the end of each
    #: variable-length value that is not last.
    fnc1_positions: Tuple[int, ...]
    #: The human-readable form, "(01)09501101530003(10)ABC123".
    human_readable: str
    #: Where each AI and its value end in `element_string`.
    element_ends: Tuple[int, ...] = ()


def parse(content: Union[str, bytes]) -> GS1Data:
    """Parse and check GS1 content.

    :param content: the human-readable form, each AI in brackets
        (``"(01)09501101530003(17)250101(10)ABC123"``; a value that holds
        brackets needs the other form), or the element string with GS
        (``"\\x1d"``) after each variable-length value that is not last
        (``"010950110153000317250101" "10ABC123"``); ``str``, or ``bytes``
        of ASCII.
    :return: a :class:`GS1Data`.
    :raises GS1Error: for empty content, an unknown AI, a value of the wrong
        length or format (an impossible date included), or a wrong GTIN,
        SSCC or GLN check digit; the message names the AI.
    :raises TypeError: for content that is neither ``str`` nor ``bytes``.
    """
    from biip import ParseError

    text = _as_text(content)
    if not text.strip():
        raise GS1Error("GS1 content is empty: give AIs and values, e.g. (01)09501101530003")
    if text.startswith("("):
        elements = [_parse_element(ai, value) for ai, value in _human_elements(text)]
    else:
        try:
            elements = _biip_message(text).element_strings
        except ParseError as error:
            raise GS1Error(f"invalid GS1 content: {error}") from None
        _check_whole(text, elements)
    for element in elements:
        for problem in (element.gtin_error, element.sscc_error, element.gln_error):
            if problem:
                raise GS1Error(f"GS1 AI ({element.ai.ai}): {problem}")

    element_string = "".join(element.ai.ai + element.value for element in elements)
    positions = [0]
    ends = []
    end = 0
    for index, element in enumerate(elements):
        end += len(element.ai.ai) + len(element.value)
        ends.append(end)
        if _variable_length(element.ai) and index < len(elements) - 1:
            positions.append(end)
    return GS1Data(element_string.encode("ascii"), tuple(positions), _join_human(elements), tuple(ends))


def human_readable(content: Union[str, bytes]) -> str:
    """The human-readable form of GS1 content (either form :func:`parse`
    takes): what a reader shows for the symbol."""
    return parse(content).human_readable


def _biip_message(text):
    """biip's GS1Message of an element string with GS separators: biip 4
    and later (Python 3.10 and later) take a ParseConfig, biip 3 (the last
    for Python 3.9) keywords."""
    try:
        from biip import ParseConfig
        from biip.gs1_messages import GS1Message
    except ImportError:
        from biip.gs1 import GS1Message

        return GS1Message.parse(text, separator_chars=[GROUP_SEPARATOR])
    return GS1Message.parse(text, config=ParseConfig(separator_chars=[GROUP_SEPARATOR]))


def _parse_element(ai, value):
    """biip's element string of one "(AI)value", which must read whole.
    (biip 3's own reader of the bracketed form takes no punctuation in
    values, so each is read as an element string.)"""
    from biip import ParseError

    try:
        elements = _biip_message(ai + value).element_strings
    except ParseError as error:
        raise GS1Error(f"GS1 AI ({ai}): {error}") from None
    if len(elements) != 1 or (elements[0].ai.ai, elements[0].value) != (ai, value):
        read = "".join(f"({e.ai.ai}){e.value}" for e in elements)
        raise GS1Error(f"GS1 AI ({ai}): the value {value!r} is not valid (it reads as {read!r})")
    return elements[0]


def _human_elements(text):
    """[(AI, value)] of the human-readable form, which must be nothing but
    "(AI)value" pieces."""
    elements, end = [], 0
    for match in _HUMAN_ELEMENT.finditer(text):
        if match.start() != end:
            break
        elements.append(match.groups())
        end = match.end()
    if end != len(text):
        raise GS1Error(f"GS1 content {text!r} is not (AI)value(AI)value... from {text[end:end + 12]!r} on")
    return elements


def _variable_length(ai):
    """Whether a value of the AI needs a separator when another follows."""
    required = getattr(ai, "separator_required", None)
    return ai.fnc1_required if required is None else required


def _as_text(content):
    if isinstance(content, (bytes, bytearray)):
        try:
            return bytes(content).decode("ascii")
        except UnicodeDecodeError:
            raise GS1Error("GS1 content is ASCII only") from None
    if not isinstance(content, str):
        raise TypeError(f"GS1 content must be str or bytes, not {type(content).__name__}")
    return content


def _join_human(elements):
    return "".join(f"({element.ai.ai}){element.value}" for element in elements)


def _check_whole(text, elements):
    """Refuses an element string that biip read only in part (a stray
    separator, say): the parsed elements must give the text back."""
    pieces = [(e.ai.ai + e.value, e.ai.ai) for e in elements]
    rebuilt = "".join(piece for piece, _ in pieces)
    given = text.replace(GROUP_SEPARATOR, "")
    if rebuilt == given:
        return
    at = next((i for i, (a, b) in enumerate(zip(rebuilt, given)) if a != b), min(len(rebuilt), len(given)))
    where, end = "", 0
    for piece, ai in pieces:
        if end <= at:
            where = f" near AI ({ai})"
        end += len(piece)
    raise GS1Error(f"GS1 content {text!r} is not a valid element string{where}: it reads as {rebuilt!r}")
