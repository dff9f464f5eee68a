"""The symbols a request allows and what they hold: compact or full, the
layer counts, the capacity at an error correction, whether a stream fits
(after bit stuffing), and the most bytes any symbol can hold."""

from __future__ import annotations

from functools import cached_property, lru_cache
from typing import TYPE_CHECKING, Callable, List, Optional, Tuple

from . import _aztec
from .arguments import check_int
from .errors import InvalidOptionError
from .sequence import last_true
from .streams import Stream, packed

if TYPE_CHECKING:
    from .symbol import AztecSymbol

__all__ = ["MAX_COMPACT_LAYERS", "MAX_FULL_LAYERS", "MAX_INIT_COMPACT_LAYERS", "MAX_INIT_FULL_LAYERS",
           "TEXT_BITS_TIMES_2", "BINARY_BITS_TIMES_2", "MOST_MESSAGE_BYTES", "most_layers", "check_shape", "Allowed",
           "Words", "largest_bits", "most_bytes"]

MAX_COMPACT_LAYERS = 4
MAX_FULL_LAYERS = 32
#: Reader initialisation rides in the mode message, which has room for it
#: in compact symbols of 1 layer and full symbols of up to 22 layers.
MAX_INIT_COMPACT_LAYERS = 1
MAX_INIT_FULL_LAYERS = 22

# A byte that some text mode holds costs at least 2.5 bits (two bytes of a
# punctuation pair share one 5-bit code); any other byte costs 8 bits in a
# binary shift run.  A message whose bits by that count exceed what the
# largest symbol holds at all cannot fit, and is refused before it is
# encoded, so a huge message costs one pass over its bytes.
TEXT_BITS_TIMES_2 = 5
BINARY_BITS_TIMES_2 = 16


def most_layers(compact: bool, reader_init: bool = False) -> int:
    """The most layers of a compact or full symbol; with ``reader_init``,
    the most of one that can carry the reader-initialisation mark."""
    if reader_init:
        return MAX_INIT_COMPACT_LAYERS if compact else MAX_INIT_FULL_LAYERS
    return MAX_COMPACT_LAYERS if compact else MAX_FULL_LAYERS


def check_shape(compact: object, layers: object, reader_init: bool = False) -> Tuple[int, int]:
    """(kind, layers) as Allowed takes them: kind -1 either, 0 full,
    1 compact; layers 0 for the fewest that fit."""
    if compact is not None and not isinstance(compact, bool):
        raise TypeError(f"compact is True, False or None, not {type(compact).__name__}")
    kind = -1 if compact is None else int(compact)
    if layers is None:
        return kind, 0
    number = check_int("layers", layers, 1, most_layers(compact is True), _layers_text(compact, False))
    if reader_init and number > most_layers(compact is True, True):
        raise InvalidOptionError(f"with reader_init=True, {_layers_text(compact, True)}: the mode message of "
                                 f"larger symbols has no room for the mark, not layers={number}")
    return kind, number


def _layers_text(compact: Optional[bool], reader_init: bool) -> str:
    if compact is None:
        return (f"layers is 1 to {most_layers(False, reader_init)} "
                f"({most_layers(True, reader_init)} at most in compact symbols)")
    return f"{'compact' if compact else 'full'} symbols have 1 to {most_layers(compact, reader_init)} layers"


class Words:
    """A stream's codewords after bit stuffing, counted once a width and
    only where its bits leave the answer open."""

    def __init__(self, stream: Stream) -> None:
        self.packed, self.bits = packed(stream)
        self._counts: dict = {}

    def count(self, width: int) -> int:
        if width not in self._counts:
            self._counts[width] = max(1, _aztec.stuffed_count(self.packed, self.bits, width))
        return self._counts[width]

    def fit(self, words: int, width: int) -> bool:
        """Whether the stream fits in ``words`` codewords of ``width`` bits."""
        if self.bits > words * width:
            return False
        if max(1, -(-self.bits // (width - 1))) <= words:
            return True  # even if every codeword were stuffed
        return self.count(width) <= words


class Allowed:
    """The symbols the options allow: kind (-1 either, 0 full, 1 compact),
    layers (0: any), error correction, and whether they carry the reader
    initialisation mark (which only some sizes can)."""

    def __init__(self, kind: int, layers: int, ec_percent: int, reader_init: bool = False) -> None:
        self.kind, self.layers, self.ec_percent, self.reader_init = kind, layers, ec_percent, reader_init
        # The largest of them: a full one unless only compact ones are allowed.
        self.compact = kind == 1
        self.largest_layers = layers or most_layers(self.compact, reader_init)

    # The capacity of the largest allowed symbol, worked out only when an
    # error needs it (a symbol that fits never asks).
    def options(self) -> dict:
        """The symbols allowed, as _aztec's functions take them by name."""
        return {"compact": None if self.kind < 0 else self.kind == 1, "layers": self.layers or None,
                "ec_percent": self.ec_percent, "reader_init": self.reader_init}

    @cached_property
    def _capacity(self) -> Tuple[int, int, int]:
        size, word_bits, _, most = _aztec.capacity(self.compact, self.largest_layers, self.ec_percent)
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
            most = most_layers(compact, self.reader_init)
            for layers in ([self.layers] if self.layers else range(1, most + 1)):
                if layers <= most:
                    found.append((_aztec.capacity(compact, layers, 0)[0], not compact, layers, compact))
        return [(compact, layers) for _, _, layers, compact in sorted(found)]

    def holds(self, stream: Words, **changes: int) -> bool:
        """Whether the largest allowed symbol, with ``changes`` to the
        options (kind, layers, ec_percent, reader_init), holds the stream."""
        if changes.keys() <= {"ec_percent"}:  # the same largest symbol: its data words at that correction
            words = _data_words(self.compact, self.largest_layers, changes.get("ec_percent", self.ec_percent))
            return words > 0 and stream.fit(words, self.word_bits)
        allowed = Allowed(changes.get("kind", self.kind), changes.get("layers", self.layers),
                          changes.get("ec_percent", self.ec_percent), bool(changes.get("reader_init", self.reader_init)))
        return allowed.data_words > 0 and stream.fit(allowed.data_words, allowed.word_bits)

    def make(self, message: bytes, eci: Optional[int], flags: object) -> Optional["AztecSymbol"]:
        """The smallest allowed symbol of ``message`` with its ECI number or
        its flags (as _aztec.make takes them); None when none holds it."""
        if self.kind < 0 and not self.layers and not self.reader_init:  # most calls: no shape asked
            return _aztec.make(message, eci=eci, flags=flags, ec_percent=self.ec_percent)
        return _aztec.make(message, eci=eci, flags=flags, **self.options())

    def build(self, stream: Stream, eci: Optional[int], made_from: object) -> Optional["AztecSymbol"]:
        """The smallest allowed symbol of the stream, labelled with ``eci``
        and what it was ``made_from``; None when none holds it."""
        bits, count = packed(stream)
        return _aztec.build(bits, count, eci=eci, made_from=made_from, **self.options())

    def remedies(self, fits: Callable[..., bool]) -> List[str]:
        """The single changes of option that make ``fits`` true, in words."""
        found = []
        if self.ec_percent > 0 and fits(ec_percent=0):
            most = last_true(0, self.ec_percent - 1, lambda ec: fits(ec_percent=ec))
            found.append(f"ec_percent={most} or less")
        if self.compact and fits(kind=-1):
            found.append("full symbols (leave out compact=True)")
        if self.layers:
            more = [n for n in range(self.layers + 1, most_layers(self.compact, self.reader_init) + 1)
                    if fits(layers=n)]
            if more:
                found.append(f"layers={more[0]}")
        if self.reader_init and not self.layers and fits(reader_init=False):
            found.append("reader_init=False (larger symbols cannot carry its mark)")
        return found


@lru_cache(maxsize=None)
def _data_words(compact: bool, layers: int, ec_percent: int) -> int:
    """The data codewords of a symbol at an error correction (0 when none)."""
    return max(_aztec.capacity(compact, layers, ec_percent)[3], 0)


@lru_cache(maxsize=None)
def largest_bits() -> int:
    """The data bits of the largest symbol, with the least error correction."""
    loosest = Allowed(-1, 0, 0)
    return loosest.data_words * loosest.word_bits


def most_bytes(bits: int) -> int:
    """The most bytes a stream of ``bits`` bits holds (2.5 bits a byte at best)."""
    return bits * 2 // TEXT_BITS_TIMES_2 + 1


#: The longest message that might fit, whatever its bytes: make()'s common
#: case, batches and the command line compare with it alone.
MOST_MESSAGE_BYTES = 2 * largest_bits() // TEXT_BITS_TIMES_2
