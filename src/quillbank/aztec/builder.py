"""Making symbols from messages: make(), make_sequence(), rune() and
data_stream(), and the check of their options."""

from __future__ import annotations

import functools
from typing import Callable, List, Literal, Optional, SupportsIndex, Tuple, TypeVar, Union, cast

from . import _aztec
from .arguments import check_bool, check_eci, check_int
from .errors import AztecError, InvalidOptionError
from .overflow import check_length, overflow
from .segments import Content, Segment, is_segments, single
from .sequence import MAX_SYMBOLS, header
from .sequence_parts import Parts
from .shapes import Allowed, check_shape
from .streams import Data, Segments, content_of, content_stream, message_of, stream_bits
from .symbol import AztecSymbol


__all__ = ["make", "make_sequence", "rune", "data_stream", "Segment", "check_options", "checked_content",
           "DEFAULT_EC_PERCENT"]

#: The error correction the standard recommends: 23% of the codewords (plus 3).
DEFAULT_EC_PERCENT = 23


def _refused(data: Data, ec_percent: SupportsIndex = DEFAULT_EC_PERCENT) -> AztecSymbol:
    """The refusal of make(data, ec_percent=ec_percent) in its common case,
    which the binding has tried and found no symbol for."""
    return _general(data, eci=None, encoding=None, gs1=False, reader_init=False, ec_percent=ec_percent,
                    compact=None, layers=None, optimal=True, verify=False, plain=True)


def _general(data: Union[Data, Segment, Segments], eci: object, encoding: Optional[str], gs1: object,
             reader_init: object, ec_percent: object, compact: object, layers: object, optimal: object,
             verify: object, plain: bool) -> AztecSymbol:
    """make()'s general way: every option checked, text converted, and every
    error worded.  ``plain`` says the options are the common case's, which
    the binding has tried already for bytes and ASCII text.  (The options
    come in make()'s order, not by name: a call by keywords costs a message
    of this way more than the checks of most options.)"""
    check_bool("verify", verify)
    eci, allowed = check_options(eci, gs1, reader_init, ec_percent, compact, layers, optimal)
    content = checked_content(data, eci, encoding, gs1, allowed, optimal)  # type: ignore[arg-type]
    eci = content.eci
    # The common case has already tried bytes and ASCII text (no ECI) with
    # an int ec_percent, and found no symbol: the same call would not either.
    tried = plain and type(data) in (bytes, str) and eci is None and type(ec_percent) is int
    if optimal and not tried:
        # One call: stream, check words and layout, the lock released.
        leading = content.leading_eci_only()
        # The symbol keeps what it was made from: the message and its flags.
        symbol = allowed.make(content.message, eci if leading else None, None if leading else content.flags)
        if symbol is not None:
            return _verified(symbol) if verify else symbol
    # (With optimal=True the core has found no symbol: the stream is
    # encoded for the error alone, by overflow.)
    stream = None if optimal else content_stream(content, optimal)
    symbol = None if optimal else allowed.build(
        stream, eci=eci, made_from=(content.message, tuple(content.flags), allowed.reader_init))
    if symbol is None:
        raise overflow(content, stream, allowed, optimal)
    return _verified(symbol) if verify else symbol


_Function = TypeVar("_Function", bound=Callable[..., AztecSymbol])


def _common_case_first(make: _Function) -> _Function:
    """``make`` as the binding's front (``_aztec.MakeFront``), which makes
    the common case itself: one message, bytes or ASCII text, with at most
    ``ec_percent`` (an int of 0 to 99).  A Python function looks its
    keyword-only defaults up by name at every call: the front spares the
    common case that and the frame.  Every other call goes to ``make`` as
    it came, and a common one that fits no symbol to :func:`_refused`.  The
    front carries ``make``'s name, docstring, keyword defaults and signature
    (``__wrapped__``)."""
    front = _aztec.MakeFront(make, _refused)
    return cast(_Function, functools.update_wrapper(front, make, functools.WRAPPER_ASSIGNMENTS + ("__kwdefaults__",)))


@_common_case_first
def make(data: Union[Data, Segment, Segments], *, eci: Union[SupportsIndex, "Literal[False]", None] = None, encoding: Optional[str] = None,
         gs1: bool = False, reader_init: bool = False, ec_percent: SupportsIndex = DEFAULT_EC_PERCENT,
         compact: Optional[bool] = None, layers: Optional[SupportsIndex] = None, optimal: bool = True,
         verify: bool = False) -> AztecSymbol:
    """Makes the smallest Aztec symbol holding ``data``.

    ``data`` is a ``str`` or any bytes-like object whose items are bytes
    (``bytes``, ``bytearray``, ``memoryview``, ``array.array('B')``, a
    NumPy ``uint8`` array), read-only or writable, contiguous or strided
    (gathered in order, as ``bytes()`` gathers it).  Text is written so
    that a reader shows it as typed:

    - ASCII text is written as it is, with no ECI designator;
    - other text that ISO-8859-1 (Latin-1) can hold is written in
      ISO-8859-1, marked with ECI 3: readers in use take unmarked bytes of
      short text for Shift JIS (``"£5"`` as ``"｣5"``);
    - any other text is written in UTF-8, marked with ECI 26;
    - ``encoding="name"`` (default None) writes the text with that Python
      codec and marks it with the codec's ECI number (ISO-8859-1's only
      where the text needs it, as above).
      Codecs with an ECI number: ISO-8859-1 to -16, Shift JIS, cp437,
      cp1250 to cp1252, cp1256, UTF-8, UTF-16BE/LE, UTF-32BE/LE, US-ASCII,
      Big5, GB2312, EUC-KR, GBK and GB18030.  A character the codec cannot
      hold is an AztecError naming it and its position;
    - ``eci=N`` (default None) with text and no ``encoding`` writes the
      text in ECI N's character set; an ECI number without one (899,
      binary data, among them) is refused: pass bytes to mark your own
      bytes.  ``eci`` and ``encoding`` that name different character sets
      are refused;
    - ``eci=False`` writes no designator: the text in ISO-8859-1, unmarked,
      the bytes version 0.1 wrote (for a format whose consumers compare
      bytes, or readers that know no ECI designator).

    Bytes are written as given, marked with ``eci`` (0 to 999999) only if
    it is given.  The symbol's ``eci`` property tells the ECI number used
    (the first one, when there are several).

    ``data`` may also be a list (tuple, any sequence) of segments: ``str``,
    bytes-like objects or :class:`Segment` records (``Segment(data,
    encoding=None, eci=None)``; one alone is a list of one), each written
    by the rules above on its own.  An ECI designator goes
    before the first segment if it has an ECI number (ECI 3 before all
    the segments when those before it are ASCII), and between two
    segments only where the character set changes; bytes without ``eci``
    continue in the character set in force.  A reader shows the joined
    text.  ``eci`` and ``encoding`` go in the segments, not beside them.

    ``gs1=True`` (default False) writes GS1 data: ``data`` is the
    human-readable form, ``"(01)09501101530003(17)250101(10)ABC123"``, or
    the element string with GS (``"\\x1d"``) after each variable-length
    value that is not last; it is checked (AIs, lengths, formats, check
    digits; :class:`quillbank.aztec.gs1.GS1Error` names the AI) and written
    with FNC1 first and after each variable-length value that is not last.
    GS1 takes no ``eci``, ``encoding`` or ``reader_init``.

    ``reader_init=True`` (default False) marks the symbol as a reader
    initialisation symbol, which programs the reader that scans it; only
    compact symbols of 1 layer and full ones of up to 22 layers can carry
    the mark, so the symbol is chosen among those.

    ``ec_percent`` (0 to 99, default 23, the standard's recommendation) is
    the least share of the codewords given to error correction, plus three
    codewords.  ``compact=True`` or ``False`` (default None: either)
    restricts the choice to compact or full symbols, and ``layers`` (default
    None: the fewest that fit) fixes the layer count (1 to 4 compact, 1 to
    32 full).  ``optimal`` (default True) encodes the message in a shortest
    data bit stream; ``optimal=False`` uses the stream of
    :class:`quillbank.aztec.encoder.Encoder` instead, which writes a single
    leading ECI designator but no FNC1 and no ECI change.  Integer options
    take any integer (``operator.index``), but not ``bool`` or ``float``.

    ``verify=True`` (default False) reads the symbol back with the
    package's own reader before returning it (:meth:`AztecSymbol.verify`)
    and raises AztecError if it does not hold what was asked; any symbol
    can be checked later with ``symbol.verify()``.

    Raises AztecError for an empty message or text that cannot be written,
    DataOverflowError when the message does not fit (its message says what
    would, :func:`make_sequence` among it when the message fits a
    sequence), InvalidOptionError for an option out of range or options
    that cannot be combined, and TypeError for an argument of the wrong
    type.
    """
    # (The binding's front, _common_case_first, has made a call of the
    # common case already.)  The common case given in other words (options
    # at their defaults named, verify) in one call too: the binding takes
    # bytes or ASCII text with an int ec_percent of 0 to 99, and gives None
    # for anything else, an empty message, or one that does not fit; the
    # general way, which gives every error, takes those.
    plain = (eci is None and encoding is None and gs1 is False and reader_init is False and compact is None
             and layers is None and optimal is True and (verify is False or verify is True))
    if plain:
        symbol = _aztec.make(data, ec_percent=ec_percent, plain=True)  # keeps data, bytes or str: immutable
        if symbol is not None:
            return _verified(symbol) if verify else symbol
    return _general(data, eci, encoding, gs1, reader_init, ec_percent, compact, layers, optimal, verify, plain)


def checked_content(data: object, eci: Union[int, "Literal[False]", None], encoding: Optional[str], gs1: bool,
                    allowed: Allowed, optimal: bool) -> Content:
    """What make() writes of ``data`` with options check_options() checked:
    its bytes and flags, refused before it is encoded where no allowed
    symbol at all can hold it."""
    if gs1 or is_segments(data):
        content = content_of(data, eci, encoding, gs1, allowed.reader_init)
        check_length(content.message, allowed, content=content, optimal=optimal)
        return content
    message, checked = message_of(data, eci, encoding)  # type: ignore[arg-type]
    check_length(message, allowed, eci=checked, optimal=optimal)
    return single(message, checked)


def _verified(symbol: AztecSymbol) -> AztecSymbol:
    symbol.verify()
    return symbol


def make_sequence(data: Union[Data, Segment, Segments], *, symbols: Optional[SupportsIndex] = None, id: Optional[str] = None,
                  eci: Union[SupportsIndex, "Literal[False]", None] = None, encoding: Optional[str] = None, gs1: bool = False,
                  reader_init: bool = False, ec_percent: SupportsIndex = DEFAULT_EC_PERCENT,
                  compact: Optional[bool] = None, layers: Optional[SupportsIndex] = None,
                  optimal: bool = True, verify: bool = False) -> List[AztecSymbol]:
    """Spreads one message over a structured-append sequence of 2 to 26
    Aztec symbols, all of one size; a reader joins their parts in order.

    ``symbols`` (default None) is the number of symbols: None takes the
    fewest that hold the message, each part of the smallest size that
    holds it in that many; a number 2 to 26 takes exactly that many.
    ``id`` (default None) is a ``str`` of printable ASCII without spaces
    that every symbol carries, so a reader tells this sequence from
    another.  The other options are those of :func:`make`; ``optimal=False``
    is refused (the search encoder writes no sequence header).

    The message is cut between characters, never inside one, and every
    part holds one at least.  Each part repeats what its data needs to read
    alone: the ECI designator in force where it begins, and FNC1 first
    for GS1 data.  ``symbol.sequence`` is ``(position, count, id)``,
    position 1 first.  ``verify=True`` reads every symbol back before
    returning them, as :func:`make` does.

    Raises DataOverflowError when 26 symbols (or ``symbols``) of the largest
    allowed size do not hold the message, InvalidOptionError for a count
    out of range, a bad ``id`` or a message of fewer characters than
    symbols, and the errors of :func:`make` for the rest.
    """
    check_bool("verify", verify)
    count = None if symbols is None else check_int(
        "symbols", symbols, 2, MAX_SYMBOLS, f"a sequence has 2 to {MAX_SYMBOLS} symbols")
    header(1, 2, id)  # checks the ID
    eci, allowed = check_options(eci, gs1, reader_init, ec_percent, compact, layers, optimal)
    if not optimal:
        raise InvalidOptionError("a sequence needs the shortest-stream encoder: leave out optimal=False")
    if not (gs1 or is_segments(data)):
        data = [Segment(data, encoding=encoding, eci=eci)]
        eci = encoding = None
    content = content_of(data, eci, encoding, gs1, reader_init)
    check_length(content.message, allowed, MAX_SYMBOLS)
    parts = Parts(content, id, allowed)
    try:
        made = parts.plan(count)
    except AztecError:
        if not content.gs1:
            raise
        # GS1 parts are cut between AIs where they can be, else anywhere.
        made = Parts(content._replace(boundaries=None), id, allowed).plan(count)
    return [_verified(symbol) for symbol in made] if verify else made


def rune(value: SupportsIndex) -> AztecSymbol:
    """Makes the Aztec Rune of ``value`` (0 to 255): an 11x11 symbol of one value."""
    number = check_int("a rune value", value, 0, 255, "rune values are 0 to 255")
    return _aztec.rune(number)


def data_stream(data: Union[Data, Segment, Segments], *, eci: Union[SupportsIndex, "Literal[False]", None] = None,
                encoding: Optional[str] = None, gs1: bool = False, optimal: bool = True) -> List[bool]:
    """The data bit stream ``make`` puts into the symbol, one bool per bit.

    ``data``, ``eci``, ``encoding``, ``gs1`` (default False) and ``optimal``
    (default True) are those of :func:`make`, and follow its rules.
    """
    checked = check_eci(eci)
    check_bool("gs1", gs1)
    check_bool("optimal", optimal)
    if gs1 or is_segments(data):
        return stream_bits(content_stream(content_of(data, checked, encoding, gs1, False), optimal))
    message, checked = message_of(data, checked, encoding)
    return stream_bits(content_stream(single(message, checked), optimal))


def check_options(eci: object, gs1: object, reader_init: object, ec_percent: object, compact: object,
                  layers: object, optimal: object) -> Tuple[Union[int, "Literal[False]", None], Allowed]:
    """The options of make() and make_sequence() checked: the ECI number,
    and the symbols they allow."""
    number = check_eci(eci)
    ec = check_int("ec_percent", ec_percent, 0, 99, "error correction is 0 to 99 percent")
    if type(gs1) is not bool or type(reader_init) is not bool:  # one test on the common path
        check_bool("gs1", gs1)
        check_bool("reader_init", reader_init)
    kind, layer_count = check_shape(compact, layers, reader_init is True)
    check_bool("optimal", optimal)
    return number, Allowed(kind, layer_count, ec, reader_init is True)
