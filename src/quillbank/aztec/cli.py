"""The command line: ``aztec MESSAGE -o symbol.svg``, or ``python -m quillbank.aztec``.

A thin layer over the public API: each option is an argument of
:func:`make`, :meth:`AztecSymbol.save`, :meth:`AztecSymbol.terminal`,
:func:`make_sequence`, :func:`save_sequence` or :func:`save_many`, passed
on only when given, so the defaults and the checks are the API's; the
API's error messages are put in the options' words (:func:`in_options`).
``docs/command-line.md`` (``aztec --docs``) shows every option with an
example.

Exit statuses: 0 done; 1 a batch in which some messages failed (the others
are written), or --read with some files unreadable (the others printed); 2
an error, reported in one line on standard error with no
output file left behind; 130 interrupted (Ctrl-C), with complete files only.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import warnings
from typing import IO, Any, Dict, List, NoReturn, Optional, Sequence, Union

from . import __version__, writers
from .batch import save_sequence
from .builder import data_stream, make, make_sequence, rune
from .errors import AztecError
from .sequence import MAX_SYMBOLS
from .shapes import MOST_MESSAGE_BYTES, largest_bits
from .symbol import AztecSymbol

__all__ = ["main", "EXIT_OK", "EXIT_SOME_FAILED", "EXIT_ERROR", "EXIT_INTERRUPTED", "LONGEST_MESSAGE"]

EXIT_OK = 0
EXIT_SOME_FAILED = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130

#: The most bytes any symbol can hold: the largest symbol's data bits at the
#: least error correction, at 2.5 bits a byte (a punctuation pair such as
#: ". " in one 5-bit code, the cheapest bytes there are).  Standard input
#: and the message of --bits/--hex are refused past it, after reading at most
#: one byte more.
LONGEST_MESSAGE = MOST_MESSAGE_BYTES

STANDARD_OUTPUT = "-"

# The options of each kind, by their names in the parsed namespace, to tell
# options that do not apply to what is asked.
_MESSAGE_OPTIONS = ("encoding", "eci", "ec", "compact", "layers", "optimal", "gs1", "reader_init", "sequence", "id")
_SYMBOL_OPTIONS = ("ec", "compact", "layers", "reader_init", "sequence", "id", "verify")
_PICTURE_OPTIONS = ("format", "scale", "dark", "light", "dpi", "unit", "module_size", "title")
_TERMINAL_OPTIONS = ("invert", "no_color")
_BATCH_OPTIONS = ("jsonl", "column", "same_size", "durable")


# --- The API's words in the command line's -----------------------------------------

# The options of the API by the names the command line gives them.
_FLAGS = {"ec_percent": "--ec", "eci": "--eci", "encoding": "--encoding", "reader_init": "--reader-init",
          "compact": "--compact", "layers": "--layers", "symbols": "--sequence", "kind": "--format",
          "module_size": "--module-size", "dpi": "--dpi", "scale": "--scale", "unit": "--unit",
          "border": "--border", "title": "--title", "dark": "--dark", "light": "--light", "id": "--id"}
_NAMES = "|".join(_FLAGS)

# Phrases of the API's messages that name a function or a way of calling
# it, first; then every ``name=value`` and every message that starts with an
# option's name.  One table, so that a new API message needs one line here
# (the tests look for Python names in every message the command line prints).
_PHRASES = [
    (r"\bmake_sequence\b", "--sequence"),
    (r"leave out optimal=False|leave optimal out", "leave out --search-encoder"),
    (r"\boptimal=False\b", "--search-encoder"),
    (r"\(leave out symbols=, or give more\)", "(--sequence auto, or a larger number)"),
    (r"pass kind to save to a stream", "give --format with -o -"),
    (r"\bpass kind\b", "give --format"),
    (r"give scale or module_size, not both", "give --scale or --module-size, not both"),
    (r"\bmodule_size in (\w+) needs dpi\b", r"--module-size in \1 needs --dpi"),
    (r"\bmodule_size with dpi\b", "--module-size with --dpi"),
    (r"lower the scale or the border", "lower --scale or --border"),
    (r"a raster picture's scale\b", "a raster picture's --scale"),
    (r"take no option '?(\w+)'?", lambda found: "take no option " + _FLAGS.get(found[1], found[1])),
    (r"another encoding, or leave encoding out", "another --encoding, or leave --encoding out"),
    (r"^the sequence id\b", "--id"),
    (rf"\b({_NAMES})=(True|False|\d+|N|'[^']*')?", lambda found: _assignment(found[1], found[2])),
    (rf"(?<![-\w])({_NAMES})(?= is\b)", lambda found: _FLAGS[found[1]]),
    (r"^encoding (?=')", "--encoding "),
]


def _assignment(name: str, value: Optional[str]) -> str:
    flag = _FLAGS[name]
    if value == "False":
        return "--full" if name == "compact" else f"no {flag}"
    return flag if value in (None, "True") else f"{flag} {value}"


def in_options(message: str) -> str:
    """An API error's message in the command line's words: its options
    (``--ec 22``, ``--sequence``) where the API names its arguments."""
    for pattern, replacement in _PHRASES:
        message = re.sub(pattern, replacement, message)  # type: ignore[call-overload]
    return message


class CommandLineError(Exception):
    """A failure already worded for the user: one line, exit status 2."""


class _Exit(Exception):
    """--help or --version has been printed: leave with this status."""

    def __init__(self, status: int) -> None:
        super().__init__(status)
        self.status = status


def fail(message: str) -> NoReturn:
    raise CommandLineError(message)


class _PrintGuide(argparse.Action):
    """--docs: prints the guide installed with the package, as --version
    prints the version."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: Optional[str] = None) -> None:
        from importlib import resources

        try:
            guide = resources.files(__package__).joinpath(GUIDE).read_text(encoding="utf-8")
        except OSError:
            fail("the guide is not installed with this copy of the package: see docs/command-line.md in its source")
        parser._print_message(guide, sys.stdout)
        parser.exit()


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        fail(message)

    def _print_message(self, message: str, file: Optional[IO[str]] = None) -> None:
        """Prints --help, --version or the usage in full, flushed here: a
        failing stream (a full disk, /dev/full) is an error (status 2, as
        for any output that cannot be written), where argparse would pass
        over it."""
        stream = file if file is not None else sys.stderr
        if not message or stream is None:
            return
        try:
            stream.write(message)
            stream.flush()
        except (OSError, ValueError) as error:  # a full, closed or failing stream
            if stream is sys.stdout:
                _silence_stdout()
            reason = error.strerror if isinstance(error, OSError) and error.strerror else "it is closed"
            where = "standard output" if stream is sys.stdout else "standard error"
            report(f"cannot write to {where}: {reason}")
            raise _Exit(EXIT_ERROR) from None

    def exit(self, status: int = 0, message: Optional[str] = None) -> NoReturn:
        if message:
            sys.stderr.write(message)
        raise _Exit(status)


_DESCRIPTION = """\
Write an Aztec Code symbol (ISO/IEC 24778): draw it in the terminal, or
write a picture with -o (SVG, PNG, PDF, EPS, ... by the file's extension).

The message argument is text: ISO-8859-1 when it holds it, else UTF-8 marked
with ECI 26 (or --encoding).  Standard input, read when there is no
argument, is written as its bytes."""

_EPILOG = """\
examples:
  aztec "Hello, World"                          draw it in the terminal
  aztec "Hello, World" -o hello.png --scale 8   a PNG, 8 pixels a module
  aztec "Grüße" -o ticket.pdf --module-size 0.5mm
  aztec "Привет" --encoding iso8859-5 -o ru.svg
  printf 'raw\\x00bytes' | aztec -o bin.svg      standard input, as bytes
  aztec "Hello" -o - --format svg > hello.svg   a picture to standard output
  aztec --batch tickets.txt -o "out/{line}.png" one file per line
  aztec --bits "Ab"                             the data bit stream
  aztec --read hello.png                        print the message a picture holds

exit status: 0 done; 1 some messages of a batch failed (or some files of
--read could not be read); 2 an error (one line on standard error, no file
written); 130 interrupted.
aztec --docs prints the guide to every option."""

#: The guide --docs prints, installed in the package from docs/command-line.md.
GUIDE = "command-line.md"


def _number(text: str) -> Union[int, float]:
    """A whole or decimal number, as given."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None


def _length(text: str) -> Union[int, float, str]:
    """A number (in --unit), or a length with its unit such as 0.5mm."""
    try:
        return _number(text)
    except argparse.ArgumentTypeError:
        return text


def _codec_name(text: str) -> str:
    """--encoding: a codec name is text; bytes that are not (surrogate
    escapes of an argument in another encoding) name no codec."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        shown = text.encode("utf-8", "backslashreplace").decode("utf-8")
        raise argparse.ArgumentTypeError(f"'{shown}' is not a character set name") from None
    return text


def _symbol_count(text: str) -> Union[int, str]:
    """--sequence: a number of symbols, or auto (the fewest)."""
    if text == "auto":
        return text
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is neither a number of symbols nor auto") from None


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="aztec", description=_DESCRIPTION, epilog=_EPILOG,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    source = parser.add_argument_group("the message")
    source.add_argument("message", nargs="?",
                        help="the message as text; default: standard input, as bytes")
    source.add_argument("--encoding", type=_codec_name, metavar="NAME",
                        help="write the text in this character set (a Python codec with an ECI number, "
                             "such as iso8859-5 or shift_jis), marked with its ECI")
    marks = source.add_mutually_exclusive_group()
    marks.add_argument("--eci", type=int, metavar="N",
                       help="mark the message with ECI number N (0 to 999999); text is written in its "
                            "character set")
    marks.add_argument("--no-eci", dest="eci", action="store_const", const=False,
                       help="write text in ISO-8859-1 with no ECI designator (text above 0x7F is marked "
                            "with ECI 3 otherwise)")
    source.add_argument("--gs1", action="store_true", default=None,
                        help='a GS1 element string, such as "(01)09501101530003(17)250101"')
    symbol = parser.add_argument_group("the symbol")
    symbol.add_argument("--ec", type=int, metavar="PERCENT",
                        help="least error correction, percent of the codewords plus 3 (default: 23)")
    kind = symbol.add_mutually_exclusive_group()
    kind.add_argument("--compact", action="store_const", const=True, dest="compact", help="a compact symbol only")
    kind.add_argument("--full", action="store_const", const=False, dest="compact", help="a full symbol only")
    symbol.add_argument("--layers", type=int, metavar="N", help="exactly N layers (compact 1 to 4, full 1 to 32)")
    symbol.add_argument("--reader-init", action="store_true", default=None,
                        help="set the reader initialisation flag (for scanner set-up symbols)")
    symbol.add_argument("--sequence", type=_symbol_count, metavar="N|auto",
                        help="spread the message over N symbols (2 to 26; auto: the fewest), "
                             "written to NAME-1.png, NAME-2.png, ...")
    symbol.add_argument("--id", metavar="ID", help="the ID that marks the symbols of one --sequence")
    symbol.add_argument("--verify", action="store_true", default=None,
                        help="read each symbol back with the package's own reader before writing it, and "
                             "fail if it does not hold the message")
    symbol.add_argument("--search-encoder", action="store_const", const=False, dest="optimal",
                        help="use the search encoder's stream instead of a shortest one")
    output = parser.add_argument_group("pictures")
    output.add_argument("-o", "--output", metavar="FILE",
                        help="write a picture to FILE, of the kind of its extension (svg, svgz, png, pdf, eps, "
                             "pbm, pam, ppm, xbm, xpm, txt, tex, zpl; with Pillow webp, tiff, bmp, gif, jpeg); "
                             "- for standard output")
    output.add_argument("--format", metavar="KIND", help="the picture kind, whatever the extension (needed with -o -)")
    output.add_argument("--scale", type=_number, metavar="N",
                        help="a module's width: whole pixels for raster pictures, any number in --unit for "
                             "vector ones (default: 4)")
    output.add_argument("--module-size", type=_length, metavar="LENGTH",
                        help="a module's printed width, such as 0.5mm (raster pictures need --dpi)")
    output.add_argument("--unit", metavar="UNIT", help="unit of --scale in vector pictures: px, pt, mm, cm or in")
    output.add_argument("--dpi", type=_number, metavar="N", help="print resolution: --module-size becomes whole dots; written into PNG "
                                                             "pictures; for a ZPL label 152, 203 (its default), 300 or 600")
    output.add_argument("--dark", metavar="COLOR", help="colour of the dark modules: a CSS name, #rgb, #rrggbb, "
                                                         "#rrggbbaa (default: black)")
    output.add_argument("--light", metavar="COLOR", help="colour of the light modules, or transparent "
                                                          "(default: white)")
    output.add_argument("--title", metavar="TEXT", help="the picture's title (SVG)")
    output.add_argument("--border", type=int, metavar="N",
                        help="light modules around the symbol, 0 to 1000 (default: 2)")
    terminal = parser.add_argument_group("the terminal (without -o)")
    terminal.add_argument("--invert", action="store_true", default=None,
                          help="without colour, draw the light modules as blocks")
    terminal.add_argument("--no-color", action="store_true", default=None,
                          help="plain characters, no colour codes (also when NO_COLOR is set)")
    batch = parser.add_argument_group("batches")
    batch.add_argument("--batch", metavar="FILE",
                       help="one symbol per line of FILE (- for standard input), written to the files "
                            "that -o names with {index} (from 0), {line} (from 1) or a field")
    batch.add_argument("--jsonl", action="store_true", default=None,
                       help="FILE is JSON Lines: a string, or an object whose --column field (default: "
                            "message) is the message")
    batch.add_argument("--column", metavar="NAME",
                       help="FILE is CSV with a header row; the message is in column NAME")
    batch.add_argument("--same-size", action="store_true", default=None,
                       help="every symbol of the batch the same shape: the smallest that holds each message")
    batch.add_argument("--no-sync", action="store_const", const=False, dest="durable",
                       help="leave syncing the files to disk to the system (for scratch output: faster, but "
                            "a power cut may lose files)")
    modes = parser.add_argument_group("other output")
    stream = modes.add_mutually_exclusive_group()
    stream.add_argument("--bits", action="store_true", default=None,
                        help="print the data bit stream as 0s and 1s instead")
    stream.add_argument("--hex", action="store_true", default=None,
                        help="print the data bit stream in hex instead (8 bits a byte, the first bit lowest)")
    modes.add_argument("--read", nargs="+", metavar="FILE",
                       help="print the message of each picture (PNG, PBM, PGM, PPM, PAM, SVG; others with "
                            "Pillow), one a line; - for standard input")
    modes.add_argument("--json", action="store_true", default=None,
                       help="with --read: everything read from each picture as a JSON object a line")
    modes.add_argument("--rune", type=int, metavar="VALUE", help="the Aztec Rune of VALUE (0 to 255) instead")
    modes.add_argument("--version", action="version", version=f"aztec {__version__}")
    modes.add_argument("--docs", action=_PrintGuide, help="print the guide to every option, with examples")
    return parser


# --- Which options apply ----------------------------------------------------------

def _flag(name: str) -> str:
    if name == "compact":
        return "--compact/--full"
    if name == "optimal":
        return "--search-encoder"
    if name == "eci":
        return "--eci/--no-eci"
    if name == "durable":
        return "--no-sync"
    return "--" + name.replace("_", "-")


def _given(options: argparse.Namespace, names: Sequence[str]) -> List[str]:
    return [_flag(name) for name in names if getattr(options, name) is not None]


def _refuse(options: argparse.Namespace, names: Sequence[str], reason: str) -> None:
    found = _given(options, names)
    if found:
        fail(f"{', '.join(found)} {'does' if len(found) == 1 else 'do'} not apply {reason}")


def _check_applicable(options: argparse.Namespace) -> None:
    """Refuses options that would be silently ignored for what is asked."""
    if options.read is not None:
        others = [name for name, value in vars(options).items() if value is not None and name not in ("read", "json")]
        if others:
            fail(f"{', '.join('the message' if name == 'message' else _flag(name) for name in others)} "
                 f"{'does' if len(others) == 1 else 'do'} not apply to --read (it reads pictures, writes none)")
        return
    if options.json:
        fail("--json applies to --read FILE...")
    if options.rune is not None:
        if options.message is not None or options.batch is not None:
            fail("--rune takes no message: the rune's value is its content")
        _refuse(options, _MESSAGE_OPTIONS + ("bits", "hex"), "to a rune (it carries one value, no message)")
    if options.bits or options.hex:
        _refuse(options, _SYMBOL_OPTIONS + _PICTURE_OPTIONS + _TERMINAL_OPTIONS + _BATCH_OPTIONS
                + ("output", "border", "batch"), "to the data bit stream (--bits, --hex)")
    elif options.output is None:
        _refuse(options, _PICTURE_OPTIONS, "without -o (picture options are for files written with -o)")
    else:
        _refuse(options, _TERMINAL_OPTIONS, "with -o (terminal options are for drawing in the terminal)")
    if options.output == "":  # a sequence would write -1, -2, ... in the current folder
        fail("-o needs a file name (or - for standard output), not an empty one")
    if options.output == STANDARD_OUTPUT and options.format is None:
        fail(f"-o - needs --format to say the picture kind: {', '.join(sorted(writers.WRITERS))}")
    if options.id is not None and options.sequence is None:
        fail("--id marks the symbols of a --sequence; give --sequence N or --sequence auto")
    if options.sequence is not None and options.output == STANDARD_OUTPUT:
        fail("--sequence writes one file per symbol: give -o NAME.png rather than -o -")
    if options.batch is None:
        _refuse(options, _BATCH_OPTIONS, "without --batch")
        return
    if options.message is not None:
        fail("--batch reads the messages from its file: give no message argument")
    if options.output is None or options.output == STANDARD_OUTPUT:
        fail('--batch writes one file per message: give -o with a name pattern such as "out/{index}.png"')
    _refuse(options, ("sequence",), "to --batch")


def _make_options(options: argparse.Namespace) -> Dict[str, Any]:
    given = {"encoding": options.encoding, "eci": options.eci, "ec_percent": options.ec,
             "compact": options.compact, "layers": options.layers, "optimal": options.optimal,
             "gs1": options.gs1, "reader_init": options.reader_init, "verify": options.verify}
    return {name: value for name, value in given.items() if value is not None}


def _picture_options(options: argparse.Namespace) -> Dict[str, Any]:
    given = {"scale": options.scale, "border": options.border, "dark": options.dark, "light": options.light,
             "dpi": options.dpi, "unit": options.unit, "module_size": options.module_size,
             "title": options.title}
    if options.dark is not None or options.light is not None:
        # The writers check the pair too; here the errors name these options.
        writers.colors.dark_and_light(options.dark if options.dark is not None else "#000",
                                      options.light if options.light is not None else "#fff", ("--dark", "--light"))
    return {name: value for name, value in given.items() if value is not None}


# --- Reading the message ------------------------------------------------------------

def _argument_message(argument: str) -> Union[str, bytes]:
    """The message argument as text; an argument that is not valid in the
    locale's encoding (its bad bytes are surrogate escapes) as its bytes."""
    try:
        argument.encode("utf-8")
    except UnicodeEncodeError:
        try:
            return os.fsencode(argument)
        except UnicodeEncodeError:
            return argument  # a lone surrogate from a caller of main(): make names it
    return argument


def _read_bounded(stream: Any, name: str, limit: int = LONGEST_MESSAGE) -> bytes:
    """At most ``limit`` bytes of a stream, having read at most one byte (or
    character) more; refuses a longer input.  A text stream put in place by
    a caller of main() gives its text as UTF-8."""
    try:
        data = stream.read(limit + 1)
    except OSError as error:
        fail(f"{name}: {error.strerror or error}")
    except ValueError:  # the stream is closed
        fail(f"{name} is closed")
    if isinstance(data, str):
        data = data.encode("utf-8", "surrogateescape")
    if len(data) > limit:
        holder = ("any Aztec symbol holds" if limit <= LONGEST_MESSAGE
                  else f"a sequence of {MAX_SYMBOLS} Aztec symbols holds")
        fail(f"{name} holds more than {limit} bytes, more than {holder} "
             f"(the largest symbol holds {largest_bits()} bits)")
    return bytes(data)


def _standard_input(limit: int) -> bytes:
    if sys.stdin is None:
        return b""
    return _read_bounded(getattr(sys.stdin, "buffer", sys.stdin), "standard input", limit)


def _message(options: argparse.Namespace) -> Union[str, bytes]:
    if options.message is not None:
        return _argument_message(options.message)
    # A sequence holds up to MAX_SYMBOLS symbols' worth.
    return _standard_input(LONGEST_MESSAGE * (MAX_SYMBOLS if options.sequence is not None else 1))


def _stdin_is_terminal() -> bool:
    try:
        return sys.stdin is not None and sys.stdin.isatty()
    except (AttributeError, ValueError, OSError):
        return False


# --- Writing to standard output --------------------------------------------------

def standard_output() -> Any:
    """sys.stdout; a closed one is the command line's one-line failure."""
    if sys.stdout is None:
        fail("standard output is closed")
    return sys.stdout


def write_standard_output(text: str) -> None:
    """Writes text in full to standard output; a failure is one line on
    standard error."""
    out = standard_output()
    try:
        out.write(text)
        out.flush()
    except OSError as error:
        _silence_stdout()
        fail(f"standard output: {error.strerror or error}")
    except ValueError:  # written to after it was closed
        fail("standard output is closed")


def _save_to_stdout(symbol: AztecSymbol, kind: str, pictures: Dict[str, Any]) -> None:
    out = standard_output()
    try:
        out.flush()
        symbol.save(getattr(out, "buffer", out), kind=kind, **pictures)
    except OSError as error:
        _silence_stdout()
        fail(f"standard output: {error.strerror or error}")
    except ValueError:  # written to after it was closed
        fail("standard output is closed")


def _silence_stdout() -> None:
    """Points standard output's file descriptor at the null device, so that
    the interpreter's last flush of what is still buffered for a closed pipe
    does not print a second error."""
    try:
        fd = sys.stdout.fileno()
        null = os.open(os.devnull, os.O_WRONLY)
    except (AttributeError, ValueError, OSError):
        return  # not a real file descriptor: nothing is flushed at exit
    try:
        os.dup2(null, fd)
    except OSError:
        pass
    finally:
        os.close(null)


def _stdout_is_terminal() -> bool:
    try:
        return sys.stdout is not None and sys.stdout.isatty()
    except (AttributeError, ValueError, OSError):
        return False


# --- Doing what is asked ------------------------------------------------------------

def _stream_text(bits: List[bool], as_hex: bool) -> str:
    if not as_hex:
        return "".join("1" if b else "0" for b in bits)
    packed = bytearray((len(bits) + 7) // 8)
    for i, bit in enumerate(bits):
        if bit:
            packed[i // 8] |= 1 << (i % 8)
    return packed.hex()


def _print_stream(options: argparse.Namespace) -> None:
    message = _message(options)
    if len(message) > LONGEST_MESSAGE:  # a character is at least a byte in any character set
        fail(f"the message holds more than {LONGEST_MESSAGE} bytes, more than any Aztec symbol holds")
    stream_options = {name: value for name, value in _make_options(options).items()
                      if name in ("encoding", "eci", "gs1", "optimal")}
    write_standard_output(_stream_text(data_stream(message, **stream_options), bool(options.hex)) + "\n")


def _symbols(options: argparse.Namespace) -> List[AztecSymbol]:
    if options.rune is not None:
        made = rune(options.rune)
        if options.verify:
            made.verify()
        return [made]
    message = _message(options)
    make_options = _make_options(options)
    if options.sequence is None:
        return [make(message, **make_options)]
    count = None if options.sequence == "auto" else options.sequence
    return list(make_sequence(message, symbols=count, id=options.id, **make_options))


def _numbered(name: str, position: int) -> str:
    """NAME-1.png for the first symbol of a sequence written to NAME.png."""
    root, extension = os.path.splitext(name)
    return f"{root}-{position}{extension}"


def _write_pictures(symbols: List[AztecSymbol], options: argparse.Namespace) -> None:
    pictures = _picture_options(options)
    if options.output == STANDARD_OUTPUT:
        kind = writers.check_kind(options.format)
        if kind in writers.BINARY_KINDS and _stdout_is_terminal():
            fail(f"{kind} pictures are binary: redirect standard output to a file (> symbol.{kind}) "
                  "rather than the terminal")
        _save_to_stdout(symbols[0], kind, pictures)
        return
    if len(symbols) == 1:
        symbols[0].save(options.output, kind=options.format, **pictures)
        return
    names = [_numbered(options.output, position) for position in range(1, len(symbols) + 1)]
    save_sequence(symbols, names, kind=options.format, **pictures)


def _draw(symbols: List[AztecSymbol], options: argparse.Namespace) -> None:
    out = standard_output()
    drawing = {"border": options.border, "invert": options.invert, "color": False if options.no_color else None}
    drawings = [symbol.terminal(stream=out, **{k: v for k, v in drawing.items() if v is not None})
                for symbol in symbols]
    write_standard_output("\n\n".join(drawings) + "\n")


def _run(arguments: Optional[Sequence[str]]) -> int:
    parser = _parser()
    options = parser.parse_args(arguments)
    _check_applicable(options)
    if options.read is not None:
        from .cli_read import run_read

        return run_read(options.read, bool(options.json))
    if options.batch is not None:
        from .cli_batch import run_batch

        return run_batch(options.batch, options.output, jsonl=bool(options.jsonl), column=options.column,
                         same_size=bool(options.same_size), durable=options.durable is None,
                         make_options=_make_options(options),
                         picture_options={"kind": options.format, **_picture_options(options)})
    if (options.message is None and options.rune is None and _stdin_is_terminal()):
        sys.stderr.write(parser.format_usage())
        fail("no message: give it as an argument or on standard input (aztec --help tells more)")
    if options.bits or options.hex:
        _print_stream(options)
        return EXIT_OK
    symbols = _symbols(options)
    if options.output is None:
        _draw(symbols, options)
    else:
        _write_pictures(symbols, options)
    return EXIT_OK


def main(arguments: Optional[Sequence[str]] = None) -> int:
    """Runs the command line on ``arguments`` (default: ``sys.argv[1:]``)
    and returns the exit status: 0 done, 1 some messages of a batch failed,
    2 an error (reported in one line on standard error), 130 interrupted.
    ``--help`` and ``--version`` return 0.  A warning (a JPEG's lossy
    compression) is one line on standard error."""
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _warn_in_one_line
            return _run(arguments)
    except _Exit as leaving:
        return leaving.status
    except CommandLineError as failure:
        return report(str(failure))
    except (AztecError, TypeError) as error:
        # TypeError: an option a writer does not take (--title for a PNG).
        return report(in_options(str(error)))
    except OSError as error:
        return report(describe_os_error(error))
    except ImportError as error:  # a kind written by an optional package that is missing
        return report(str(error))
    except KeyboardInterrupt:
        sys.stderr.write("aztec: interrupted\n")
        return EXIT_INTERRUPTED


def _warn_in_one_line(message: Union[Warning, str], category: type, filename: str, lineno: int,
                      file: Optional[IO[str]] = None, line: Optional[str] = None) -> None:
    if sys.stderr is not None:
        try:
            sys.stderr.write(f"aztec: warning: {one_line(str(message))}\n")
        except (OSError, ValueError):
            pass


def describe_os_error(error: OSError) -> str:
    """An OSError in the user's words, the file first."""
    where = f"{error.filename}: " if error.filename is not None else ""
    return f"{where}{error.strerror or error}"


def one_line(message: str) -> str:
    """A message as one line; a lone surrogate (from an argument that is
    not text) escaped, so that any stream can show it."""
    return " ".join(message.split()).encode("utf-8", "backslashreplace").decode("utf-8")


def report(message: str) -> int:
    """Writes an error in one line to standard error; returns EXIT_ERROR."""
    if sys.stderr is not None:
        try:
            sys.stderr.write(f"aztec: error: {one_line(message)}\n")
            sys.stderr.flush()
        except (OSError, ValueError):
            pass
    return EXIT_ERROR


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
