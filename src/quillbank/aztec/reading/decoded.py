"""Decoded: what aztec.read() found in a symbol."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional, Tuple

__all__ = ["Decoded"]


@dataclass(frozen=True)
class Decoded:
    """A symbol read back by :func:`quillbank.aztec.read`."""

    #: the message bytes (FNC1 after the first place as GS, 0x1D)
    data: bytes
    #: the ECI designators as (byte position in ``data``, ECI number), in order
    ecis: Tuple[Tuple[int, int], ...]
    #: FNC1 opens the message: GS1 data
    gs1: bool
    #: the symbol is a reader initialisation symbol
    reader_init: bool
    #: (position from 1, count, id or None) in a structured-append sequence, else None
    sequence: Optional[Tuple[int, int, Optional[str]]]
    #: compact (11x11 core) or full symbol
    compact: bool
    #: data layers around the core; 0 for a rune
    layers: int
    #: the value (0 to 255) of an Aztec Rune, else None
    rune: Optional[int]
    #: codewords of the layers that error correction repaired
    corrected: int
    #: modules on a side
    size: int
    #: codewords carrying the data stream
    data_words: int
    #: Reed–Solomon check codewords of the layers
    check_words: int

    @property
    def eci(self) -> Optional[int]:
        """The first ECI number, or None when the message has no designator."""
        return self.ecis[0][1] if self.ecis else None

    def text(self, errors: str = "strict") -> str:
        """The message as text: each stretch of ``data`` decoded in the
        character set of the ECI designator in force (ISO-8859-1 before
        any).  Raises UnicodeDecodeError (or LookupError for an ECI number
        with no character set, such as 899) as :meth:`bytes.decode` does,
        unless ``errors`` says otherwise."""
        from ..charsets import LATIN_1, codec_of

        pieces, start, codec = [], 0, LATIN_1
        for position, number in self.ecis:
            pieces.append(self.data[start:position].decode(codec, errors))
            found = codec_of(number)
            if found is None:
                raise LookupError(f"ECI {number} has no character set to decode text with")
            start, codec = position, found
        pieces.append(self.data[start:].decode(codec, errors))
        return "".join(pieces)
