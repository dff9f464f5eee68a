"""What readers show for ISO-8859-1 text written with and without an ECI 3
designator: the tables of docs/character-sets.md.

    python tools/reader_table.py                      # prints the tables
    python tools/reader_table.py --update docs/character-sets.md
    python tools/reader_table.py --jar /path/to/zxing-core-3.5.x.jar

Each printable ISO-8859-1 character above 0x7F (0xA0 to 0xFF) is written
alone, beside ASCII, in a short word and in a long word, both as unmarked
ISO-8859-1 bytes (what make() wrote for such text before ECI 3 became the
default) and marked with ECI 3, and read back by zxing-cpp (the installed
``zxingcpp`` module) and by ZXing for Java (tests/java/ReadAztec.java, with
Debian's libzxing-core-java, or each jar given with --jar).  Needs java,
javac, numpy and zxing-cpp.
"""

from __future__ import annotations

import argparse
import os
import sys
from importlib import metadata
from typing import Callable, Dict, List, Optional, Sequence, Tuple

import quillbank.aztec as aztec

REPO_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO_DIR, "tests"))

import java_reader  # noqa: E402
from symbol_pictures import modules_gray  # noqa: E402

BEGIN = "<!-- reader table: tools/reader_table.py writes from here -->"
END = "<!-- reader table: to here -->"

CHARACTERS = [chr(code) for code in range(0xA0, 0x100)]
#: Where each character is put: (name, text of the character).
CONTEXTS: List[Tuple[str, Callable[[str], str]]] = [
    ("alone", lambda c: c),
    ("beside ASCII", lambda c: f"{c}5"),
    ("short word", lambda c: f"caf{c}"),
    ("long word", lambda c: f"Donaudampfschiff{c}hrtsgesellschaft"),
]
#: Short texts of which zxing-cpp 3.1 shows 8 wrong when unmarked.
EXAMPLES = ["£5", "¥100", "ÀÎ", "°C", "±3", "© 2026", "½ price", "10 ¤", "Grüße", "café", "Ñandú",
            "Müller, Jörg", "naïve façade", "Ärger über Öl", "Straße 5"]
ASCII = ["Hello", "A1 2B", "boarding pass 4711"]
MARKS = ("no ECI", "ECI 3")


def symbols_of(text: str) -> Tuple[aztec.AztecSymbol, aztec.AztecSymbol]:
    """The text as unmarked ISO-8859-1 bytes, and marked with ECI 3."""
    return aztec.make(text.encode("latin-1")), aztec.make(text, eci=3)


def read_zxing_cpp(symbols: Sequence[aztec.AztecSymbol]) -> List[Optional[str]]:
    import zxingcpp

    texts: List[Optional[str]] = []
    for symbol in symbols:
        found = zxingcpp.read_barcodes(modules_gray(symbol.modules, symbol.size),
                                       formats=zxingcpp.BarcodeFormat.Aztec)
        texts.append(found[0].text if len(found) == 1 else None)
    return texts


def readers(jars: Sequence[str]) -> Dict[str, Callable[[Sequence[aztec.AztecSymbol]], List[Optional[str]]]]:
    found: Dict[str, Callable[[Sequence[aztec.AztecSymbol]], List[Optional[str]]]] = {
        f"zxing-cpp {metadata.version('zxing-cpp')}": read_zxing_cpp}
    for jar in jars:
        found[f"ZXing {java_reader.jar_version(jar)}"] = \
            lambda symbols, jar=jar: java_reader.read_symbols(symbols, jar)  # type: ignore[misc]
    return found


def shown(text: Optional[str]) -> str:
    """A reading as a table cell."""
    if text is None:
        return "(no read)"
    visible = "".join(c if c.isprintable() else f"\\x{ord(c):02x}" for c in text)
    return "`" + visible.replace("|", "\\|").replace("`", "'") + "`"


def measure(jars: Sequence[str]) -> str:
    texts = EXAMPLES + ASCII + [make(c) for _, make in CONTEXTS for c in CHARACTERS]
    symbols = [symbol for text in texts for symbol in symbols_of(text)]
    read: Dict[Tuple[str, str, str], Optional[str]] = {}
    names = []
    for name, reader in readers(jars).items():
        names.append(name)
        for index, text in enumerate(reader(symbols)):
            read[name, texts[index // 2], MARKS[index % 2]] = text
    columns = [(name, mark) for name in names for mark in MARKS]
    head = "| | " + " | ".join(f"{name}, {mark}" for name, mark in columns) + " |\n"
    rule = "|---" * (len(columns) + 1) + "|\n"

    def typed(group: Sequence[str], name: str, mark: str) -> str:
        good = sum(read[name, text, mark] == text for text in group)
        return f"{good}/{len(group)}"

    out = ["Read back as typed, of the 96 printable characters 0xA0 to 0xFF "
           "(and of 15 short texts and of ASCII text):\n\n", head, rule]
    for context, make in CONTEXTS:
        group = [make(c) for c in CHARACTERS]
        out.append(f"| {context} (`{make('é')}`) | " + " | ".join(typed(group, *column) for column in columns) + " |\n")
    out.append("| the 15 texts below | " + " | ".join(typed(EXAMPLES, *column) for column in columns) + " |\n")
    out.append(f"| ASCII ({', '.join(f'`{t}`' for t in ASCII)}) | "
               + " | ".join(typed(ASCII, *column) for column in columns) + " |\n")
    out += ["\nWhat each reader shows for 15 short texts:\n\n", "| typed " + head[2:], rule]
    for text in EXAMPLES:
        out.append(f"| {shown(text)} | " + " | ".join(shown(read[name, text, mark]) for name, mark in columns) + " |\n")
    out += ["\n<details><summary>Every character: what each reader shows for it alone, and in how many of "
            "the four texts (alone, beside ASCII, short word, long word) it reads as typed</summary>\n\n",
            "| | " + " | ".join(f"{name}, {mark}" for name, mark in columns) + " |\n", rule]
    for c in CHARACTERS:
        cells = []
        for name, mark in columns:
            good = sum(read[name, make(c), mark] == make(c) for _, make in CONTEXTS)
            cells.append(f"{shown(read[name, c, mark])} {good}/4")
        out.append(f"| U+{ord(c):04X} {shown(c)} | " + " | ".join(cells) + " |\n")
    out.append("\n</details>\n")
    return "".join(out)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--jar", action="append", default=[],
                        help="a ZXing core jar to read with (default: Debian's libzxing-core-java)")
    parser.add_argument("--update", metavar="FILE", help="replace the tables between the markers in FILE")
    options = parser.parse_args(argv)
    why = java_reader.missing()
    if why and not options.jar:
        parser.error(why)
    table = measure(options.jar or [java_reader.find_jar()])
    if options.update is None:
        print(table, end="")
        return 0
    with open(options.update, encoding="utf-8") as file:
        document = file.read()
    start, end = document.index(BEGIN) + len(BEGIN), document.index(END)
    with open(options.update, "w", encoding="utf-8") as file:
        file.write(document[:start] + "\n\n" + table + "\n" + document[end:])
    return 0


if __name__ == "__main__":
    sys.exit(main())
