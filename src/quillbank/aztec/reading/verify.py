"""symbol.verify(): a symbol read back by the package's own reader and
compared with what it was made from."""

from __future__ import annotations

from typing import TYPE_CHECKING, List, Optional, Tuple, cast

from ..errors import AztecError
from .decoded import Decoded

if TYPE_CHECKING:
    from ..symbol import AztecSymbol

__all__ = ["verify", "expected_content"]

#: What a symbol was made from, as make() keeps it: the message (bytes, or
#: text written in ISO-8859-1 with no designator), or (message bytes,
#: flags (position, ECI number or None for FNC1), reader_init), or a rune's
#: value.
Made = object


def verify(symbol: "AztecSymbol") -> Decoded:
    """The symbol's own modules decoded; AztecError naming each difference
    from what the symbol was made from."""
    from . import read

    made = getattr(symbol, "_made_from", None)
    if made is None:
        raise AztecError("this symbol does not say what it was made from (it was not made by make(), "
                         "make_sequence() or rune()); read it with aztec.read() instead")
    try:
        found = read(symbol)
    except AztecError as error:
        raise AztecError(f"the symbol does not read back: {error}") from None
    differences = _differences(symbol, made, found)
    if differences:
        raise AztecError("the symbol reads back differently from what it was made from: " + "; ".join(differences))
    return found


def expected_content(made: Made) -> Tuple[bytes, Tuple[Tuple[int, int], ...], bool, bool]:
    """(data, ecis, gs1, reader_init) a reader gives for what a symbol was
    made from: FNC1 first is GS1, a later FNC1 a GS byte (0x1D) at its place."""
    if isinstance(made, str):
        return made.encode("latin-1"), (), False, False
    if isinstance(made, bytes):
        return made, (), False, False
    message, flags, reader_init = cast(Tuple[bytes, Tuple[Tuple[int, Optional[int]], ...], bool], made)
    data, ecis, gs1, taken = bytearray(), [], False, 0
    for position, value in flags:
        data += message[taken:position]
        taken = position
        if value is not None:
            ecis.append((len(data), value))
        elif position == 0 and not data:
            gs1 = True
        else:
            data.append(0x1D)
    data += message[taken:]
    return bytes(data), tuple(ecis), gs1, reader_init


def _differences(symbol: "AztecSymbol", made: Made, found: Decoded) -> List[str]:
    if symbol.is_rune:
        return [] if found.rune == made else [f"rune value {found.rune!r}, made {made!r}"]
    data, ecis, gs1, reader_init = expected_content(made)
    found_things = (found.data, found.ecis, found.gs1, found.reader_init, found.sequence,
                    (found.compact, found.layers, found.data_words, found.check_words))
    wanted = (data, ecis, gs1, reader_init, symbol.sequence,
              (symbol.compact, symbol.layers, symbol.data_words, symbol.check_words))
    names = ("data", "ECI designators", "GS1", "reader initialisation", "sequence", "shape")
    return [f"{name} {_shown(got)}, made {_shown(want)}"
            for name, got, want in zip(names, found_things, wanted) if got != want]


def _shown(value: object, most: int = 60) -> str:
    text = repr(value)
    return text if len(text) <= most else text[:most] + "..."
