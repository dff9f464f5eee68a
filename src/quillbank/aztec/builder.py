"""Making symbols from messages: make(), rune() and the data stream they use."""

from __future__ import annotations

import operator
from functools import cached_property, lru_cache
from typing import Any, Callable, List, Literal, Optional, Sequence, SupportsIndex, Tuple, Union

from . import _symbol
from .charsets import BytesLike, message_bytes
from .errors import AztecError, DataOverflowError, InvalidOptionError
from .segments import Content, Flag, Segment, check_eci, from_gs1, from_segments, is_segments, single
from .sequence import MAX_SYMBOLS, FlagIndex, cut_greedily, header, last_true, part_content, split_to
from .symbol import AztecSymbol


__all__ = ["make", "make_sequence", "rune", "data_stream", "Segment"]

#: The error correction the standard recommends: 23% of the codewords (plus 3).
DEFAULT_EC_PERCENT = 23
MAX_COMPACT_LAYERS = 4
MAX_FULL_LAYERS = 32
#: Reader initialisation rides in the mode message, which has room for it
#: in compact symbols of 1 layer and full symbols of up to 22 layers.
MAX_INIT_COMPACT_LAYERS = 1
MAX_INIT_FULL_LAYERS = 22

#: A message: text, or any C-contiguous buffer of bytes (bytes, bytearray,
#: memoryview, array.array('B'), a NumPy uint8 array...).
Data = Union[str, BytesLike]
#: A message of segments, each with its own character set: a list, tuple
#: or other sequence of them.
Segments = Sequence[Union[str, BytesLike, Segment]]
# A data bit stream: one bool per bit, or packed bytes (stream bit k in bit
# k % 8 of byte k // 8) with the exact bit count.
Stream = Union[List[bool], Tuple[bytes, int]]


def make(data: Union[Data, Segment, Segments], *, eci: Union[SupportsIndex, "Literal[False]", None] = None, encoding: Optional[str] = None,
         gs1: bool = False, reader_init: bool = False, ec_percent: SupportsIndex = DEFAULT_EC_PERCENT,
         compact: Optional[bool] = None, layers: Optional[SupportsIndex] = None, optimal: bool = True,
         verify: bool = False) -> AztecSymbol:
    """Makes the smallest Aztec symbol holding ``data``.

    ``data`` is a ``str`` or any C-contiguous bytes-like object (``bytes``,
    ``bytearray``, ``memoryview``, ``array.array('B')``, a NumPy ``uint8``
    array).  Text is written so that a reader shows it as typed:

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
    # The common case first, in one call: bytes or ISO-8859-1 text with at
    # most ec_percent given (an int of 0 to 99).  Anything else, an empty or
    # very long message, or one that does not fit, is None there and takes
    # the general way below, which gives every error.
    plain = (eci is None and encoding is None and gs1 is False and reader_init is False and compact is None
             and layers is None and optimal is True and (verify is False or verify is True))
    if plain:
        symbol = _symbol.make_plain(data, ec_percent)
        if symbol is not None:
            symbol._made_from = data  # bytes or str, both immutable
            return _verified(symbol) if verify else symbol
    _check_bool("verify", verify)
    eci, allowed = _check_options(eci, gs1, reader_init, ec_percent, compact, layers, optimal)
    if gs1 or is_segments(data):
        content = _content(data, eci, encoding, gs1, reader_init)
        _check_length(content.message, allowed, content=content, optimal=optimal)
        eci = content.eci
    else:
        message, eci = _message(data, eci, encoding)
        _check_length(message, allowed, eci=eci, optimal=optimal)
        content = single(message, eci)
    # make_plain has already tried bytes and ISO-8859-1 text (no ECI) with
    # an int ec_percent, and found no symbol: the same call would not either.
    tried = plain and type(data) in (bytes, str) and eci is None and type(ec_percent) is int
    if optimal and not tried:
        # One call: stream, check words and layout, the lock released.
        leading = content.leading_eci_only()
        built = _symbol.make(content.message, content.eci if leading else None, allowed.kind, allowed.layers,
                             allowed.ec_percent, allowed.reader_init, None if leading else content.flags, False)
        if built is not None:
            return _made(AztecSymbol(built, eci, False), content, allowed.reader_init, verify)
    stream = _content_stream(content, optimal)
    built = None if optimal else allowed.build(stream)
    if built is None:
        raise _overflow(content, stream, allowed, optimal)
    return _made(AztecSymbol(built, eci, False), content, allowed.reader_init, verify)


def _made(symbol: AztecSymbol, content: Content, reader_init: bool, verify: bool) -> AztecSymbol:
    """The symbol with what it was made from, read back if asked."""
    symbol._made_from = (content.message, content.flags, reader_init)
    return _verified(symbol) if verify else symbol


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
    _check_bool("verify", verify)
    count = None if symbols is None else _check_int(
        "symbols", symbols, 2, MAX_SYMBOLS, f"a sequence has 2 to {MAX_SYMBOLS} symbols")
    header(1, 2, id)  # checks the ID
    eci, allowed = _check_options(eci, gs1, reader_init, ec_percent, compact, layers, optimal)
    if not optimal:
        raise InvalidOptionError("a sequence needs the shortest-stream encoder: leave out optimal=False")
    if not (gs1 or is_segments(data)):
        data = [Segment(data, encoding=encoding, eci=eci)]
        eci = encoding = None
    content = _content(data, eci, encoding, gs1, reader_init)
    _check_length(content.message, allowed, MAX_SYMBOLS)
    parts = _Parts(content, id, allowed)
    try:
        made = parts.plan(count)
    except AztecError:
        if not content.gs1:
            raise
        # GS1 parts are cut between AIs where they can be, else anywhere.
        made = _Parts(content._replace(boundaries=None), id, allowed).plan(count)
    return [_verified(symbol) for symbol in made] if verify else made


def rune(value: SupportsIndex) -> AztecSymbol:
    """Makes the Aztec Rune of ``value`` (0 to 255): an 11x11 symbol of one value."""
    number = _check_int("a rune value", value, 0, 255, "rune values are 0 to 255")
    symbol = AztecSymbol(_symbol.rune(number), None, True)
    symbol._made_from = number
    return symbol


def data_stream(data: Union[Data, Segment, Segments], *, eci: Union[SupportsIndex, "Literal[False]", None] = None,
                encoding: Optional[str] = None, gs1: bool = False, optimal: bool = True) -> List[bool]:
    """The data bit stream ``make`` puts into the symbol, one bool per bit.

    ``data``, ``eci``, ``encoding``, ``gs1`` (default False) and ``optimal``
    (default True) are those of :func:`make`, and follow its rules.
    """
    checked = _check_eci(eci)
    _check_bool("gs1", gs1)
    _check_bool("optimal", optimal)
    if gs1 or is_segments(data):
        return _stream_bits(_content_stream(_content(data, checked, encoding, gs1, False), optimal))
    message, checked = _message(data, checked, encoding)
    return _stream_bits(_data_stream(message, checked, optimal))


def _plain_bytes(data: object) -> Optional[bytes]:
    """The bytes of a message that needs no ECI designator, as make()
    writes it (bytes as they are, ASCII text); None for any other message."""
    if type(data) is bytes:
        return data
    if type(data) is str and data.isascii():
        return data.encode("ascii")
    return None


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


def _content(data: object, eci: Optional[int], encoding: Optional[str], gs1: bool, reader_init: bool) -> Content:
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


def _content_stream(content: Content, optimal: bool) -> Stream:
    """The data bit stream of a content: the plain one for a message with
    at most a leading ECI designator, the flagged one otherwise."""
    if content.leading_eci_only():
        return _data_stream(content.message, content.eci, optimal)
    if not optimal:
        what = "FNC1 (GS1 data)" if content.gs1 else "a change of ECI between segments"
        raise InvalidOptionError(f"optimal=False: the search encoder cannot write {what}; leave optimal out")
    from .optimal import encode_optimal_segments

    return encode_optimal_segments(content.message, content.flags)


def _packed(stream: Stream) -> Tuple[bytes, int]:
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


class _Words:
    """A stream's codewords after bit stuffing, counted once a width and
    only where its bits leave the answer open."""

    def __init__(self, stream: Stream) -> None:
        self.packed, self.bits = _packed(stream)
        self._counts: dict = {}

    def count(self, width: int) -> int:
        if width not in self._counts:
            self._counts[width] = max(1, _symbol.stuffed_count(self.packed, self.bits, width))
        return self._counts[width]

    def fit(self, words: int, width: int) -> bool:
        """Whether the stream fits in ``words`` codewords of ``width`` bits."""
        if self.bits > words * width:
            return False
        if max(1, -(-self.bits // (width - 1))) <= words:
            return True  # even if every codeword were stuffed
        return self.count(width) <= words


def _stream_bits(stream: Stream) -> List[bool]:
    if isinstance(stream, tuple):
        packed, count = stream
        # Stream bit k is bit k of the little-endian number of the bytes:
        # its binary digits, lowest first, as bytes 0 and 1.
        digits = format(int.from_bytes(packed, "little"), "b")[::-1].encode("ascii").translate(_BIT_OF_DIGIT)
        return list(map(bool, digits[:count])) + [False] * (count - len(digits))
    return list(stream)


_BIT_OF_DIGIT = bytes.maketrans(b"01", b"\x00\x01")


# --- Many messages with one set of options --------------------------------------

#: make()'s options that _Batch takes; any other goes message by message.
_BATCH_OPTIONS = frozenset({"eci", "encoding", "ec_percent", "compact", "layers", "reader_init", "gs1", "optimal"})


class _Batch:
    """make() for many messages with the same options, many symbols a
    crossing: the options are checked once, and each message's bytes and
    ECI number come from the same charset policy.  A message it does not
    make (segments, an empty or very long one, one that fails or does not
    fit) is None in its results, for make() to make or refuse alone."""

    def __init__(self, eci: Optional[int], encoding: Optional[str], allowed: "_Allowed") -> None:
        self.eci, self.encoding, self.allowed = eci, encoding, allowed

    @staticmethod
    def of(options: dict) -> Optional["_Batch"]:
        """The batch for make()'s keyword ``options`` (already known to be
        valid), or None where they ask for more than one crossing gives."""
        if not options.keys() <= _BATCH_OPTIONS or options.get("gs1", False) is not False or \
                options.get("optimal", True) is not True:
            return None
        eci, allowed = _check_options(options.get("eci"), False, options.get("reader_init", False),
                                      options.get("ec_percent", DEFAULT_EC_PERCENT), options.get("compact"),
                                      options.get("layers"), True)
        return _Batch(eci, options.get("encoding"), allowed)

    def make(self, items: Sequence[object], threads: int = 1) -> List[Optional[AztecSymbol]]:
        """The symbols of ``items`` (None where make() is to make or refuse
        one alone); the core wraps each as it is made, while its helpers
        make the next ones."""
        allowed = self.allowed
        return self._in_place(items, lambda messages, ecis: _symbol.make_list(
            messages, ecis, allowed.kind, allowed.layers, allowed.ec_percent, allowed.reader_init, threads,
            AztecSymbol))

    def built(self, items: Sequence[object], threads: int = 1) -> List[Optional[_symbol.Built]]:
        """:meth:`make`'s symbols as the core's plain tuples (compact, layers,
        size, data words, check words, modules), with no symbol object."""
        allowed = self.allowed
        return self._in_place(items, lambda messages, ecis: _symbol.make_list(
            messages, ecis, allowed.kind, allowed.layers, allowed.ec_percent, allowed.reader_init, threads))

    def render_png(self, items: Sequence[object], threads: int,
                   settings: Tuple[int, int, Optional[bytes], Optional[int]], max_side: int) -> List[Optional[bytes]]:
        """The PNG files of ``items`` with :func:`png_settings`'s
        ``settings``, drawn by the core's threads as they make the symbols
        (None where make() is to make or refuse one alone, or where the
        picture would be wider than ``max_side``)."""
        allowed = self.allowed
        return self._in_place(items, lambda messages, ecis: _symbol.render_list(
            messages, ecis, allowed.kind, allowed.layers, allowed.ec_percent, allowed.reader_init, threads,
            *settings, max_side))

    def _in_place(self, items: Sequence[object], made: Callable[[List[bytes], List[Optional[int]]], List[Any]]
                  ) -> List[Any]:
        """made(messages, ecis) for the items the core takes, each result
        in its item's place; None in the places of the others."""
        plain = self.eci is None and self.encoding is None
        if plain and all(type(data) is bytes and 0 < len(data) <= _PLAIN_MOST_BYTES for data in items):  # type: ignore
            # Most batches: every message is taken as it is, in its place.
            return made(list(items), [None] * len(items))  # type: ignore[arg-type]
        messages: List[bytes] = []
        ecis: List[Optional[int]] = []
        places: List[int] = []
        for place, data in enumerate(items):
            kind = type(data)
            message: Optional[bytes]
            eci = None
            if kind is bytes and plain:  # most batches: taken as they are, without a call
                message = data  # type: ignore[assignment]
            elif kind is str or kind is bytes:
                message = _plain_bytes(data) if plain else None
                if message is None:
                    try:
                        message, eci = message_bytes(data, self.eci, self.encoding)
                    except Exception:  # noqa: BLE001 - make() raises it again for this message
                        continue
            else:
                continue
            if message and len(message) <= _PLAIN_MOST_BYTES:
                messages.append(message)
                ecis.append(eci)
                places.append(place)
        results: List[Any] = [None] * len(items)
        for place, result in zip(places, made(messages, ecis)):
            results[place] = result
        return results


# --- Checking options --------------------------------------------------------

def _check_options(eci: object, gs1: object, reader_init: object, ec_percent: object, compact: object,
                   layers: object, optimal: object) -> Tuple[Union[int, "Literal[False]", None], "_Allowed"]:
    """The options of make() and make_sequence() checked: the ECI number,
    and the symbols they allow."""
    number = _check_eci(eci)
    ec = _check_int("ec_percent", ec_percent, 0, 99, "error correction is 0 to 99 percent")
    if type(gs1) is not bool or type(reader_init) is not bool:  # one test on the common path
        _check_bool("gs1", gs1)
        _check_bool("reader_init", reader_init)
    kind, layer_count = _check_shape(compact, layers, reader_init is True)
    _check_bool("optimal", optimal)
    return number, _Allowed(kind, layer_count, ec, reader_init is True)


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


def _check_eci(eci: object) -> Union[int, "Literal[False]", None]:
    return None if eci is None else check_eci(eci)


def _check_shape(compact: object, layers: object, reader_init: bool = False) -> Tuple[int, int]:
    """(kind, layers) as _symbol.build takes them: kind -1 either, 0 full,
    1 compact; layers 0 for the fewest that fit."""
    if compact is not None and not isinstance(compact, bool):
        raise TypeError(f"compact is True, False or None, not {type(compact).__name__}")
    kind = -1 if compact is None else int(compact)
    if layers is None:
        return kind, 0
    number = _check_int("layers", layers, 1, _most_layers(compact is True), _layers_text(compact, False))
    if reader_init and number > _most_layers(compact is True, True):
        raise InvalidOptionError(f"with reader_init=True, {_layers_text(compact, True)}: the mode message of "
                                 f"larger symbols has no room for the mark, not layers={number}")
    return kind, number


def _layers_text(compact: Optional[bool], reader_init: bool) -> str:
    if compact is None:
        return (f"layers is 1 to {_most_layers(False, reader_init)} "
                f"({_most_layers(True, reader_init)} at most in compact symbols)")
    return f"{'compact' if compact else 'full'} symbols have 1 to {_most_layers(compact, reader_init)} layers"


def _most_layers(compact: bool, reader_init: bool = False) -> int:
    if reader_init:
        return MAX_INIT_COMPACT_LAYERS if compact else MAX_INIT_FULL_LAYERS
    return MAX_COMPACT_LAYERS if compact else MAX_FULL_LAYERS


# --- Fitting the stream into a symbol -----------------------------------------

class _Allowed:
    """The symbols the options allow: kind (-1 either, 0 full, 1 compact),
    layers (0: any), error correction, and whether they carry the reader
    initialisation mark (which only some sizes can)."""

    def __init__(self, kind: int, layers: int, ec_percent: int, reader_init: bool = False) -> None:
        self.kind, self.layers, self.ec_percent, self.reader_init = kind, layers, ec_percent, reader_init
        # The largest of them: a full one unless only compact ones are allowed.
        self.compact = kind == 1
        self.largest_layers = layers or _most_layers(self.compact, reader_init)

    # The capacity of the largest allowed symbol, worked out only when an
    # error needs it (a symbol that fits never asks).
    @cached_property
    def _capacity(self) -> Tuple[int, int, int]:
        size, word_bits, _, most = _symbol.capacity(self.compact, self.largest_layers, self.ec_percent)
        return size, word_bits, max(most, 0)

    @property
    def size(self) -> int:
        return self._capacity[0]

    @property
    def word_bits(self) -> int:
        return self._capacity[1]

    @property
    def data_words(self) -> int:
        return self._capacity[2]

    @property
    def largest(self) -> str:
        """The largest allowed symbol, in words."""
        words = (f"a {'compact' if self.compact else 'full'} symbol of {self.largest_layers} "
                 f"layer{'s' if self.largest_layers > 1 else ''} ({self.size}x{self.size})")
        return words

    @property
    def limit(self) -> str:
        """Why the largest allowed symbol is the largest, in words."""
        if self.reader_init and not self.layers:
            return "the largest that can carry the reader-initialisation mark"
        return "the largest allowed"

    def shapes(self) -> List[Tuple[bool, int]]:
        """Every allowed (compact, layers), smallest first (compact first at
        one size, as make chooses)."""
        found = []
        for compact in (True, False):
            if self.kind == (not compact):
                continue
            most = _most_layers(compact, self.reader_init)
            for layers in ([self.layers] if self.layers else range(1, most + 1)):
                if layers <= most:
                    found.append((_symbol.capacity(compact, layers, 0)[0], not compact, layers, compact))
        return [(compact, layers) for _, _, layers, compact in sorted(found)]

    def holds(self, stream: _Words, **changes: int) -> bool:
        """Whether the largest allowed symbol, with ``changes`` to the
        options (kind, layers, ec_percent, reader_init), holds the stream."""
        allowed = self
        if changes:
            allowed = _Allowed(changes.get("kind", self.kind), changes.get("layers", self.layers),
                               changes.get("ec_percent", self.ec_percent),
                               bool(changes.get("reader_init", self.reader_init)))
        return allowed.data_words > 0 and stream.fit(allowed.data_words, allowed.word_bits)

    def build(self, stream: Stream, **changes: int) -> Optional[_symbol.Built]:
        if changes:
            kind, layers, ec = (changes.get("kind", self.kind), changes.get("layers", self.layers),
                                changes.get("ec_percent", self.ec_percent))
            init = bool(changes.get("reader_init", self.reader_init))
        else:
            kind, layers, ec, init = self.kind, self.layers, self.ec_percent, self.reader_init
        if isinstance(stream, tuple):
            return _symbol.build_packed(stream[0], stream[1], kind, layers, ec, init)
        return _symbol.build(stream, kind, layers, ec, init)

    def remedies(self, fits: Callable[..., bool]) -> List[str]:
        """The single changes of option that make ``fits`` true, in words."""
        found = []
        if self.ec_percent > 0 and fits(ec_percent=0):
            most = last_true(0, self.ec_percent - 1, lambda ec: fits(ec_percent=ec))
            found.append(f"ec_percent={most} or less")
        if self.compact and fits(kind=-1):
            found.append("full symbols (leave out compact=True)")
        if self.layers:
            more = [n for n in range(self.layers + 1, _most_layers(self.compact, self.reader_init) + 1)
                    if fits(layers=n)]
            if more:
                found.append(f"layers={more[0]}")
        if self.reader_init and not self.layers and fits(reader_init=False):
            found.append("reader_init=False (larger symbols cannot carry its mark)")
        return found


def _overflow(content: Content, stream: Stream, allowed: _Allowed, optimal: bool) -> DataOverflowError:
    """The error for a stream that fits none of the allowed symbols: what
    the largest of them holds, in codewords and in bytes of this message,
    which option would make the message fit, and make_sequence when a
    sequence of those symbols holds it."""
    message = content.message
    words = _Words(stream)
    needed = words.count(allowed.word_bits)
    head = f"the message does not fit: its {words.bits} bits make {needed} codewords of {allowed.word_bits} bits"
    if allowed.data_words == 0:
        fitting = 0
        holds = f"{allowed.largest} has no room for data with {allowed.ec_percent}% error correction"
    else:
        fitting = _longest_fitting_prefix(
            message, allowed, lambda length: _content_stream(content.prefix(length), optimal), words.bits)
        holds = (f"{allowed.largest}, {allowed.limit}, holds {allowed.data_words} of them with "
                 f"{allowed.ec_percent}% error correction: the first {fitting} of the message's "
                 f"{len(message)} bytes")
    remedies = allowed.remedies(lambda **changes: allowed.holds(words, **changes))
    split = _fits_sequence(content, allowed, words.bits)
    if remedies:
        advice = f"it would fit with {' or '.join(remedies)}"
        advice += "; or split it across symbols with make_sequence" if split else ""
    elif split:
        advice = "no one change of these options makes it fit, so split it across symbols with make_sequence"
    else:
        advice = (f"no one change of these options makes it fit, nor does a sequence of {MAX_SYMBOLS} "
                  f"such symbols (make_sequence)")
    return DataOverflowError(
        f"{head}, but {holds}; {advice}",
        needed_bits=words.bits, available_bits=allowed.data_words * allowed.word_bits,
        message_bytes=len(message), fitting_bytes=fitting)


def _longest_fitting_prefix(message: bytes, allowed: _Allowed, stream_of: Callable[[int], Stream],
                            whole_bits: int) -> int:
    """The most bytes from the start of ``message`` that fit (the whole,
    of ``whole_bits`` bits, does not).  Searched from a guess: the start
    whose share of the whole's bits the symbol holds, made closer once by
    that start's own bits per byte, so that a few encodings settle it
    where a plain bisection took a dozen."""
    room = allowed.data_words * allowed.word_bits
    guess = len(message) * room // max(whole_bits, 1)
    if 0 < guess < len(message):
        bits = _Words(stream_of(guess)).bits
        guess = guess * room // max(bits, 1)
    return last_true(0, len(message) - 1, lambda length: allowed.holds(_Words(stream_of(length))),
                     near=min(max(guess, 0), len(message) - 1))


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


#: The longest message that might fit, whatever its bytes: make()'s common
#: case compares with it alone.
_PLAIN_MOST_BYTES = 2 * _largest_bits() // _TEXT_BITS_TIMES_2
# make()'s common case: _symbol.make_plain fills AztecSymbols itself, and
# leaves longer messages to the general way.
_symbol.set_symbol_class(AztecSymbol, _PLAIN_MOST_BYTES)


@lru_cache(maxsize=None)
def _text_bytes() -> bytes:
    """The bytes some text mode holds: those the encoder writes alone in
    fewer bits than a binary shift run of one byte (18 bits) takes."""
    from . import _optimal

    return bytes(b for b in range(256) if len(_optimal.encode(bytes([b]), None, True)) < 18)


def _check_length(message: bytes, allowed: _Allowed, symbols: int = 1, eci: Optional[int] = None,
                  content: Optional[Content] = None, optimal: bool = True) -> None:
    """Refuses a message that no symbol at all (no ``symbols`` symbols) can
    hold, before encoding it whole.  The message is ``content``, or the
    bytes marked with ``eci``: the refusal of one symbol names make_sequence
    when a sequence holds it, and how many of its first bytes do fit."""
    largest_bits = _largest_bits() * symbols
    if len(message) * _TEXT_BITS_TIMES_2 <= 2 * largest_bits:
        return  # could fit, whatever its bytes
    binary = len(message.translate(None, _text_bytes()))
    least_bits_times_2 = binary * _BINARY_BITS_TIMES_2 + (len(message) - binary) * _TEXT_BITS_TIMES_2
    if least_bits_times_2 <= 2 * largest_bits:
        return
    capacity = allowed.data_words * allowed.word_bits * symbols
    # The byte count a refusal gives is one that fits: the longest start of
    # the message that the largest allowed symbol holds, by bisection with
    # real builds below the most bytes any stream of its bits could carry
    # (2.5 bits a byte), never an estimate from the message's average cost
    # (a letter estimated at 2.5 bits costs 5).  Only a start of at most
    # that many bytes is encoded, so a huge message costs little more.  A
    # sequence gives no such count: cutting it into parts is the slow work
    # this quick refusal is there to spare.
    fitting: Optional[int] = None
    if symbols > 1:
        holds = (f"{symbols} of {allowed.largest}, {allowed.limit}, hold {capacity} bits with "
                 f"{allowed.ec_percent}% error correction, and no sequence holds more than {largest_bits} bits")
    else:
        most = _most_bytes(capacity)
        start = (content or single(message, eci)).prefix(most)  # its flags cut once, not at each step
        start_bits = least_bits_times_2 * len(start.message) // (2 * len(message))  # a guess, for the search
        fitting = 0 if allowed.data_words == 0 else _longest_fitting_prefix(
            start.message, allowed, lambda length: _content_stream(start.prefix(length), optimal), start_bits)
        holds = (f"{allowed.largest}, {allowed.limit}, holds {capacity} bits with {allowed.ec_percent}% error "
                 f"correction: the first {fitting} of its bytes, and no single symbol holds more than "
                 f"{largest_bits} bits")
        if least_bits_times_2 <= 2 * capacity * MAX_SYMBOLS and _fits_sequence(content or single(message, eci),
                                                                               allowed):
            holds += "; split it across symbols with make_sequence"
    raise DataOverflowError(
        f"the message does not fit: its {len(message)} bytes ({binary} of them binary) need at least "
        f"{(least_bits_times_2 + 1) // 2} bits, but {holds}",
        needed_bits=(least_bits_times_2 + 1) // 2, available_bits=capacity,
        message_bytes=len(message), fitting_bytes=fitting)


# --- Structured-append sequences ------------------------------------------------

# A bound on the bits a cut between two parts can save: the latch back to
# Upper that one part's stream needs at its start and the whole one not.
_CUT_SLACK_BITS = 20


class _Parts:
    """The parts of a sequence for one content: which cuts fit which of the
    allowed sizes."""

    def __init__(self, content: Content, id: Optional[str], allowed: _Allowed) -> None:
        self.content, self.allowed, self.id = content, allowed, id
        # Every header of a sequence costs the same bits: its letters all
        # are capitals, written alike.  The cuts are planned with the first
        # symbol's letters; the bits of the others can stuff differently,
        # so a plan holds only once every part is made with its own.
        self.head = header(1, 2, id)
        self.boundaries: Sequence[int] = content.boundaries or range(len(content.message) + 1)
        self.flags = FlagIndex.of(content.flags)  # once: a plan tries many parts

    def build(self, shape: Tuple[bool, int], cuts: List[Tuple[int, int]]) -> Optional[List[AztecSymbol]]:
        """The symbols of the parts cut so, each with its own header, or
        None when one of them does not fit ``shape`` after all."""
        made = []
        for position, (start, end) in enumerate(cuts, 1):
            message, flags = part_content(self.content, start, end, header(position, len(cuts), self.id), self.flags)
            built = _symbol.make(message, None, int(shape[0]), shape[1], self.allowed.ec_percent,
                                 self.allowed.reader_init, flags, True)
            if built is None:
                return None
            part_eci = next((value for _, value in flags if value is not None), None)
            symbol = AztecSymbol(built, part_eci, False, (position, len(cuts), self.id))
            # What the part holds after its header, which the reader takes off.
            head = len(message) - (end - start)
            symbol._made_from = (message[head:], tuple((at - head, value) for at, value in flags),
                                 self.allowed.reader_init)
            made.append(symbol)
        return made

    def _lay_out(self, shape: Tuple[bool, int], stream: Tuple[bytes, int]) -> Optional[_symbol.Built]:
        return _symbol.build_packed(stream[0], stream[1], int(shape[0]), shape[1], self.allowed.ec_percent,
                                    self.allowed.reader_init)

    def room(self, shape: Tuple[bool, int]) -> Tuple[int, int, int]:
        """(data bits, data words, word bits) of a shape."""
        _, word_bits, _, words = _symbol.capacity(shape[0], shape[1], self.allowed.ec_percent)
        words = max(words, 0)
        return words * word_bits, words, word_bits

    def fitter(self, shape: Tuple[bool, int]) -> Callable[[int, int], bool]:
        """Whether the part of the message from ``start`` to ``end`` fits ``shape``."""
        from .optimal import encode_optimal_segments

        bits, words, word_bits = self.room(shape)

        def fits(start: int, end: int) -> bool:
            message, flags = part_content(self.content, start, end, self.head, self.flags)
            stream = encode_optimal_segments(message, flags, True)
            if stream[1] > bits:
                return False
            if -(-stream[1] // (word_bits - 1)) < words:
                return True  # fits even if every codeword were stuffed
            return self._lay_out(shape, stream) is not None

        return fits

    def cut_largest(self, most_parts: int) -> Optional[List[Tuple[int, int]]]:
        """The fewest parts of the largest allowed size, if ``most_parts`` do."""
        largest = self.allowed.shapes()[-1]
        return cut_greedily(self.boundaries, self.fitter(largest), most_parts, _most_bytes(self.room(largest)[0]))

    def plan(self, count: Optional[int]) -> List[AztecSymbol]:
        """The symbols of ``count`` parts (None: the fewest) of the smallest
        size that holds the message in that many."""
        whole = _content_bits(self.content)
        if count is None:
            if not _sequence_may_hold(self.allowed, whole):
                raise self.overflow(MAX_SYMBOLS, whole)  # at once: no cut of so long a stream fits
            cuts = self.cut_largest(MAX_SYMBOLS)
            if cuts is None:
                raise self.overflow(MAX_SYMBOLS, whole)
            count = max(2, len(cuts))
        characters = len(self.boundaries) - 1
        if characters < count:
            raise InvalidOptionError(f"the message has {characters} character{'s' if characters > 1 else ''}, "
                                     f"too few for {count} symbols that each hold one at least")
        for shape in self.allowed.shapes():
            bits = self.room(shape)[0]
            if count * (bits + _CUT_SLACK_BITS) < whole:
                continue
            cuts = split_to(self.boundaries, count, self.fitter(shape), _most_bytes(bits))
            made = None if cuts is None else self.build(shape, cuts)
            if made is not None:
                return made
        raise self.overflow(count, whole)

    def overflow(self, count: int, whole: int) -> DataOverflowError:
        allowed = self.allowed
        available = allowed.data_words * allowed.word_bits
        advice = ("ask for more symbols (leave out symbols=, or give more)" if count < MAX_SYMBOLS
                  else f"no sequence has more than {MAX_SYMBOLS} symbols")
        return DataOverflowError(
            f"the message does not fit in {count} symbols: its stream has {whole} bits, and {allowed.largest}, "
            f"{allowed.limit}, holds {available} data bits with {allowed.ec_percent}% error correction, "
            f"less the sequence header of each part; {advice}",
            needed_bits=whole, available_bits=available * count, message_bytes=len(self.content.message))


def _most_bytes(bits: int) -> int:
    """The most bytes a stream of ``bits`` bits holds (2.5 bits a byte at best)."""
    return bits * 2 // _TEXT_BITS_TIMES_2 + 1


# What a part of a sequence writes beside its bytes, at most: M/L U/L and
# two letters (the header of a sequence without an id), and an ECI
# designator (P/S, FLG(n), six digits).
_PART_HEAD_BITS = 10 + 10 + 5 + 8 + 24


def _surely_held_bytes(allowed: _Allowed) -> int:
    """Bytes of any message without flags that a part of the largest
    allowed size holds whatever they are, less the 3 bytes a character may
    add to a cut: the part's header and one binary shift run of all of them
    (B/S and an 11-bit length, 21 bits; two runs for more than 2,078
    bytes), even if every codeword were stuffed."""
    room = allowed.data_words * (allowed.word_bits - 1) - _PART_HEAD_BITS
    fit = (room - 21) // 8
    if fit > 2078:
        fit = (room - 42) // 8  # no symbol holds two runs' worth
    return max(0, fit - 3)


def _content_bits(content: Content) -> int:
    from .optimal import encode_optimal_segments

    return encode_optimal_segments(content.message, content.flags)[1]


def _fits_sequence(content: Content, allowed: _Allowed, whole_bits: Optional[int] = None) -> bool:
    """Whether a sequence of the largest allowed symbols holds the content."""
    if allowed.data_words == 0 or len(content.message) < 2:
        return False
    whole = _content_bits(content) if whole_bits is None else whole_bits
    if not _sequence_may_hold(allowed, whole):
        return False
    if content.leading_eci_only() and len(content.message) <= MAX_SYMBOLS * _surely_held_bytes(allowed):
        return True
    return _Parts(content, None, allowed).cut_largest(MAX_SYMBOLS) is not None


def _sequence_may_hold(allowed: _Allowed, whole_bits: int) -> bool:
    """Whether MAX_SYMBOLS of the largest allowed symbols may hold a stream
    of ``whole_bits`` bits: no cut saves more than _CUT_SLACK_BITS a part."""
    return MAX_SYMBOLS * (allowed.data_words * allowed.word_bits + _CUT_SLACK_BITS) >= whole_bits
