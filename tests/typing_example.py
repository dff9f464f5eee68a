"""An example that uses the whole public API the way a typed caller would:
test_symbol_typing runs ``mypy --strict`` on it (and runs it).  Not a test
module: pytest does not collect it."""

from __future__ import annotations

import array
import io
import sys
import os
from typing import List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt
import PIL.Image

from typing_extensions import assert_type

import quillbank.aztec as aztec
from quillbank.aztec import (AztecError, AztecSymbol, DataOverflowError, InvalidOptionError, Segment, encode_optimal,
                             make, make_sequence, rune)
from quillbank.aztec.builder import data_stream
from quillbank.aztec.encoder import Encoder


def symbols() -> List[AztecSymbol]:
    return [
        make("Grüße"),
        make("Привет", encoding="iso-8859-5"),
        make("東京", eci=26, ec_percent=40, compact=None, layers=None, optimal=True),
        make(b"bytes", eci=899, compact=True, layers=3),
        make(bytearray(b"bytearray"), optimal=False),
        make(memoryview(b"memoryview")),
        make(array.array("B", b"array")),
        aztec.make("package attribute"),
        rune(42),
        make(["Grüße ", b"bytes ", Segment("Привет", encoding="iso-8859-5"), Segment(b"\x80", eci=899)]),
        make("(01)09501101530003(10)ABC123", gs1=True),
        make("SET UP", reader_init=True),
        *make_sequence("A long message " * 20, symbols=3, id="T42", ec_percent=30),
        *aztec.make_sequence(b"bytes " * 200),
    ]


def documented_calls(folder: str) -> List[AztecSymbol]:
    """The calls the guide shows, with the types a caller's own code has."""
    pieces: List[str] = ["Name: ", "Grüße"]
    parts: List[Segment] = [Segment("Привет", encoding="iso-8859-5"), Segment("Grüße", eci=False)]
    mixed: Sequence[Union[str, bytes, Segment]] = ("a", b"b", Segment("c"))
    made = [make(pieces), make(parts), make(mixed), make(np.frombuffer(b"Hi", np.uint8)),
            make(Segment(np.frombuffer(b"Hi", np.uint8))), make("Grüße", eci=False),
            *make_sequence(pieces * 40, symbols=2)]
    assert_type(made[0].to_numpy(border=1), npt.NDArray[np.uint8])
    assert_type(made[0].to_pil(scale=2), PIL.Image.Image)
    many = aztec.make_many(["£5", "café"], threads=2, eci=False)
    assert_type(many, List[AztecSymbol])
    assert_type(aztec.make_many(pieces, errors="return"), List[Union[AztecSymbol, Exception]])
    saved = aztec.save_many(pieces, os.path.join(folder, "{index}.png"), scale=2)
    assert_type(saved, List[Union[str, "os.PathLike[str]"]])
    assert_type(aztec.save_many(pieces, [os.path.join(folder, "a.svg"), os.path.join(folder, "b.svg")],
                                errors="return"), List[Union[str, "os.PathLike[str]", Exception]])
    return made + many


def placed(symbol: AztecSymbol) -> Optional[Tuple[int, int, Optional[str]]]:
    return symbol.sequence


def describe(symbol: AztecSymbol) -> Tuple[int, int, bool, bool, int, int, Optional[int], int, float]:
    rows: Tuple[Tuple[bool, ...], ...] = symbol.rows
    modules: bytes = symbol.modules
    assert len(rows) * len(rows[0]) == len(modules)
    return (symbol.size, symbol.layers, symbol.compact, symbol.is_rune, symbol.data_words, symbol.check_words,
            symbol.eci, symbol.word_bits, symbol.ec_percent)


def pictures(symbol: AztecSymbol, folder: str) -> Tuple[str, bytes, str]:
    svg: str = symbol.svg(scale=2, border=1, dark="#123456", light=(255, 255, 255), title="A symbol")
    png: bytes = symbol.png(scale=3, border=2, dark="#000", light=None)
    text: str = symbol.terminal(border=1, invert=False)
    symbol.save(f"{folder}/symbol.svg")
    symbol.save(f"{folder}/symbol.png", scale=2, border=1)
    symbol.save(io.BytesIO(), kind="png")
    assert str(symbol) and repr(symbol) and symbol == symbol and hash(symbol) == hash(symbol)
    return svg, png, text


def streams() -> None:
    assert_type(encode_optimal(b"packed"), bytes)
    assert_type(encode_optimal("bits", asBits=True), List[bool])
    assert_type(encode_optimal(memoryview(b"bits"), 26, True), List[bool])
    assert_type(encode_optimal(b"either", None, asBits=len(sys.argv) > 5), "bytes | List[bool]")
    assert_type(data_stream("Grüße", eci=None, encoding="utf-8", optimal=False), List[bool])
    assert_type(data_stream(["Grüße", Segment("x", eci=26)], gs1=False), List[bool])
    encoder = Encoder()
    assert_type(encoder.encode(b"packed", eci=3), bytes)
    assert_type(encoder.encode("bits", asBits=True), List[bool])
    encoder.reset()


def errors() -> List[str]:
    said = []
    try:
        make(b"\xff" * 2000)
    except DataOverflowError as error:
        needed: Optional[int] = error.needed_bits
        available: Optional[int] = error.available_bits
        fitting: Optional[int] = error.fitting_bytes
        length: Optional[int] = error.message_bytes
        said.append(f"{error} {needed} {available} {fitting} {length}")
    try:
        make("x", ec_percent=100)
    except InvalidOptionError as error:
        said.append(str(error))
    try:
        make("")
    except AztecError as error:
        said.append(str(error))
    return said


if __name__ == "__main__":
    for made in symbols():
        describe(made)
        pictures(made, sys.argv[1])
        placed(made)
    streams()
    assert len(documented_calls(sys.argv[1])) == 10
    assert len(errors()) == 3
    print("example ran")
