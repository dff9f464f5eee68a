"""The command line: ``aztec MESSAGE -o symbol.svg``, or ``python -m quillbank.aztec``.

Without ``-o`` the symbol is drawn in the terminal.  Every failure (a bad
option, a message that does not fit, a file that cannot be written) ends
with one line on standard error and exit status 2, and no output file.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import List, NoReturn, Optional, Sequence

from . import __version__
from .errors import AztecError
from .builder import data_stream, make, rune
from .symbol import AztecSymbol

__all__ = ["main"]

EXIT_USAGE = 2


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        _fail(message)


class _Failure(Exception):
    """A failure already worded for the user."""


def _fail(message: str) -> NoReturn:
    raise _Failure(message)


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="aztec",
        description="Write an Aztec Code symbol (ISO/IEC 24778). The message is the argument, "
        "or standard input read as bytes when there is none.",
    )
    parser.add_argument("message", nargs="?", help="the message (UTF-8 as given by the shell); default: standard input")
    parser.add_argument("-o", "--output", metavar="FILE", help="write a picture: SVG or PNG by the file's extension")
    parser.add_argument("--eci", type=int, metavar="N", help="mark the message with ECI number N (0 to 999999)")
    parser.add_argument("--ec", type=int, default=23, metavar="PERCENT",
                        help="least error correction, percent of the codewords plus 3 (default: 23)")
    kind = parser.add_mutually_exclusive_group()
    kind.add_argument("--compact", action="store_const", const=True, dest="compact", help="a compact symbol only")
    kind.add_argument("--full", action="store_const", const=False, dest="compact", help="a full symbol only")
    parser.add_argument("--layers", type=int, metavar="N", help="exactly N layers (compact 1 to 4, full 1 to 32)")
    parser.add_argument("--scale", type=int, metavar="N", help="pixels per module in pictures (default: 4)")
    parser.add_argument("--border", type=int, default=2, metavar="N", help="light modules around the symbol (default: 2)")
    parser.add_argument("--invert", action="store_true", help="in the terminal, draw the light modules as blocks")
    stream = parser.add_mutually_exclusive_group()
    stream.add_argument("--bits", action="store_true", help="print the data bit stream as 0s and 1s instead")
    stream.add_argument("--hex", action="store_true",
                        help="print the data bit stream in hex instead (8 bits a byte, the first bit lowest)")
    parser.add_argument("--search-encoder", action="store_false", dest="optimal",
                        help="use the search encoder's stream instead of a shortest one")
    parser.add_argument("--rune", type=int, metavar="VALUE", help="draw the Aztec Rune of VALUE (0 to 255) instead")
    parser.add_argument("--version", action="version", version=f"aztec {__version__}")
    return parser


def _message(argument: Optional[str]) -> bytes:
    if argument is not None:
        # The bytes the shell passed, also where they are not valid UTF-8.
        return os.fsencode(argument)
    return sys.stdin.buffer.read() if sys.stdin is not None else b""


def _stream_text(bits: List[bool], as_hex: bool) -> str:
    if not as_hex:
        return "".join("1" if b else "0" for b in bits)
    packed = bytearray((len(bits) + 7) // 8)
    for i, bit in enumerate(bits):
        if bit:
            packed[i // 8] |= 1 << (i % 8)
    return packed.hex()


def _print(text: str) -> None:
    out = sys.stdout
    buffer = getattr(out, "buffer", None)
    if buffer is not None:
        out.flush()
        buffer.write(text.encode("utf-8") + b"\n")
        buffer.flush()
    else:
        out.write(text + "\n")


def _symbol(options: argparse.Namespace) -> AztecSymbol:
    if options.rune is not None:
        if options.message is not None:
            _fail("--rune takes no message")
        return rune(options.rune)
    return make(_message(options.message), eci=options.eci, ec_percent=options.ec,
                compact=options.compact, layers=options.layers, optimal=options.optimal)


def _run(arguments: Optional[Sequence[str]]) -> None:
    options = _parser().parse_args(arguments)
    if options.rune is not None and (options.bits or options.hex):
        _fail("a rune has no data bit stream")
    if options.bits or options.hex:
        _print(_stream_text(data_stream(_message(options.message), eci=options.eci,
                                              optimal=options.optimal), options.hex))
        return
    symbol = _symbol(options)
    if options.output is None:
        _print(symbol.terminal(border=options.border, invert=options.invert))
        return
    symbol.save(options.output, scale=options.scale, border=options.border)


def main(arguments: Optional[Sequence[str]] = None) -> int:
    """Runs the command line; returns the exit status (0, or 2 on failure)."""
    try:
        _run(arguments)
    except _Failure as failure:
        return _report(str(failure))
    except AztecError as error:
        return _report(str(error))
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        return _report(f"{where}{error.strerror or error}")
    return 0


def _report(message: str) -> int:
    sys.stderr.write(f"aztec: error: {' '.join(message.split())}\n")
    return EXIT_USAGE


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
