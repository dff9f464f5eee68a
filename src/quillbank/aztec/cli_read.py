"""The command line's ``aztec --read FILE...``: each picture's message, or
with ``--json`` everything read from it, one JSON object a line."""

from __future__ import annotations

import json
import sys
from typing import Any, Dict, List, Optional

from .errors import AztecError
from .reading import Decoded, read

__all__ = ["run_read"]

# Characters of text shown as they are; any other control character makes
# the message shown escaped.
_PLAIN_CONTROLS = frozenset("\t\n\r\x1d")


def run_read(files: List[str], as_json: bool) -> int:
    """Reads each file; returns 0 when all were read, 1 when some were not,
    2 when none was (each failure is reported on standard error)."""
    from .cli import EXIT_ERROR, EXIT_OK, EXIT_SOME_FAILED, report

    failed = 0
    for name in files:
        try:
            found = read(sys.stdin.buffer.read() if name == "-" else name)
        except AztecError as error:
            message = str(error)
        except OSError as error:
            message = str(error.strerror or error)
        else:
            _print(_as_json(name, found) if as_json else _as_line(name, found, len(files) > 1))
            continue
        failed += 1
        report(f"{name}: {message}")
        if as_json:
            _print(json.dumps({"file": name, "error": message}, ensure_ascii=False))
    if failed == 0:
        return EXIT_OK
    return EXIT_ERROR if failed == len(files) else EXIT_SOME_FAILED


def message_text(found: Decoded) -> Optional[str]:
    """The message as text (in the character sets of its ECI designators),
    or None when it is not text: it does not decode, or holds control
    characters other than tab, line ends and GS."""
    if found.rune is not None:
        return str(found.rune)
    try:
        text = found.text()
    except (UnicodeDecodeError, LookupError):
        return None
    if any((ord(c) < 32 or 127 <= ord(c) < 160) and c not in _PLAIN_CONTROLS for c in text):
        return None
    return text


def _as_line(name: str, found: Decoded, named: bool) -> str:
    text = message_text(found)
    if text is None:
        # Not text: the bytes escaped as in a Python bytes literal, and said so.
        from .cli import one_line

        sys.stderr.write(f"aztec: {one_line(name)}: the message is not text; shown escaped (\\xNN a byte)\n")
        text = repr(found.data)[2:-1]
    return f"{name}: {text}" if named else text


def _as_json(name: str, found: Decoded) -> str:
    fields: Dict[str, Any] = {
        "file": name,
        "text": message_text(found),
        "data_hex": found.data.hex(),
        "ecis": [list(pair) for pair in found.ecis],
        "gs1": found.gs1,
        "reader_init": found.reader_init,
        "sequence": list(found.sequence) if found.sequence is not None else None,
        "compact": found.compact,
        "layers": found.layers,
        "rune": found.rune,
        "corrected": found.corrected,
        "size": found.size,
        "data_words": found.data_words,
        "check_words": found.check_words,
    }
    return json.dumps(fields, ensure_ascii=False)


def _print(line: str) -> None:
    from .cli import standard_output, write_standard_output

    # Characters standard output's encoding lacks are shown escaped.
    encoding = getattr(standard_output(), "encoding", None) or "utf-8"
    write_standard_output(line.encode(encoding, "backslashreplace").decode(encoding) + "\n")
