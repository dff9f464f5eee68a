"""Planning a structured-append sequence: which cuts of one message fit
which of the allowed sizes, the symbols of the parts, and whether a
sequence holds a message at all."""

from __future__ import annotations

from typing import Callable, List, Optional, Sequence, Tuple

from . import _aztec
from .errors import DataOverflowError, InvalidOptionError
from .segments import Content
from .sequence import MAX_SYMBOLS, FlagIndex, cut_greedily, header, part_content, split_to
from .shapes import Allowed, most_bytes
from .symbol import AztecSymbol

__all__ = ["Parts", "fits_sequence"]

# A bound on the bits a cut between two parts can save: the latch back to
# Upper that one part's stream needs at its start and the whole one not.
_CUT_SLACK_BITS = 20


class Parts:
    """The parts of a sequence for one content: which cuts fit which of the
    allowed sizes."""

    def __init__(self, content: Content, id: Optional[str], allowed: Allowed) -> None:
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
            # What the part holds after its header, which the reader takes off.
            head = len(message) - (end - start)
            made_from = (message[head:], tuple((at - head, value) for at, value in flags), self.allowed.reader_init)
            symbol = _aztec.make(message, flags=flags, structured_append=True, sequence=(position, len(cuts), self.id),
                                 made_from=made_from, **self._shape_options(shape))
            if symbol is None:
                return None
            made.append(symbol)
        return made

    def _shape_options(self, shape: Tuple[bool, int]) -> dict:
        return {"compact": shape[0], "layers": shape[1], "ec_percent": self.allowed.ec_percent,
                "reader_init": self.allowed.reader_init}

    def _lay_out(self, shape: Tuple[bool, int], stream: Tuple[bytes, int]) -> Optional[AztecSymbol]:
        return _aztec.build(stream[0], stream[1], **self._shape_options(shape))

    def room(self, shape: Tuple[bool, int]) -> Tuple[int, int, int]:
        """(data bits, data words, word bits) of a shape."""
        _, word_bits, _, words = _aztec.capacity(shape[0], shape[1], self.allowed.ec_percent)
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
        return cut_greedily(self.boundaries, self.fitter(largest), most_parts, most_bytes(self.room(largest)[0]))

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
            cuts = split_to(self.boundaries, count, self.fitter(shape), most_bytes(bits))
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



# What a part of a sequence writes beside its bytes, at most: M/L U/L and
# two letters (the header of a sequence without an id), and an ECI
# designator (P/S, FLG(n), six digits).
_PART_HEAD_BITS = 10 + 10 + 5 + 8 + 24


def _surely_held_bytes(allowed: Allowed) -> int:
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


def fits_sequence(content: Content, allowed: Allowed, whole_bits: Optional[int] = None) -> bool:
    """Whether a sequence of the largest allowed symbols holds the content."""
    if allowed.data_words == 0 or len(content.message) < 2:
        return False
    whole = _content_bits(content) if whole_bits is None else whole_bits
    if not _sequence_may_hold(allowed, whole):
        return False
    if content.leading_eci_only() and len(content.message) <= MAX_SYMBOLS * _surely_held_bytes(allowed):
        return True
    return Parts(content, None, allowed).cut_largest(MAX_SYMBOLS) is not None


def _sequence_may_hold(allowed: Allowed, whole_bits: int) -> bool:
    """Whether MAX_SYMBOLS of the largest allowed symbols may hold a stream
    of ``whole_bits`` bits: no cut saves more than _CUT_SLACK_BITS a part."""
    return MAX_SYMBOLS * (allowed.data_words * allowed.word_bits + _CUT_SLACK_BITS) >= whole_bits
