"""What marking ISO-8859-1 text with ECI 3 costs: bits and symbol sizes.

    python bench/eci_cost.py [--count 10000] [--read]

For a corpus of short ISO-8859-1 texts (names, places, prices, words, made
with a fixed seed) and the texts of bench/optimal.py's corpus, compares the
symbol make() writes by default (ECI 3 where the text has a character above
0x7F) with the unmarked one of ``eci=False``: the data bits, and how many
symbols grow to a larger size.  ``--read`` also reads both with zxing-cpp
and counts the texts each shows as typed.
"""

from __future__ import annotations

import argparse
import collections
import os
import random
import statistics
import sys
from typing import Dict, List, Optional, Sequence, Tuple

import quillbank.aztec as aztec
from quillbank.aztec.builder import data_stream

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

WORDS = ("Grüße café Ñandú Müller Jörg naïve façade Ärger über Öl Straße Zürich Köln München Málaga "
         "Sevilla Bogotá São Paulo Genève Besançon Århus Tromsø Reykjavík Ísafjörður Łódź crème brûlée "
         "señor niño déjà vu Pâques Noël fiancée Ångström Gdańsk Höhe Maß Größe".split())
ASCII_WORDS = "seat gate flight row ticket order invoice Berlin Paris Madrid Oslo total item no. x".split()
SIGNS = "£ ¥ ° ± © ½ ¤ § µ ¼ ¾ ª º ¿ ¡ «» ®".split()


def latin_1_texts(count: int, seed: int = 25) -> List[str]:
    """``count`` short texts, each with at least one character above 0x7F
    (Python's codec drops the few words outside ISO-8859-1 above)."""
    rng = random.Random(seed)
    words = [w for w in WORDS if w.encode("latin-1", "ignore").decode("latin-1") == w]
    texts: List[str] = []
    while len(texts) < count:
        shape = rng.randrange(4)
        if shape == 0:  # a sign and a number: "£5", "10 ¤", "±3"
            sign, number = rng.choice(SIGNS), str(rng.randrange(1, 10 ** rng.randrange(1, 5)))
            text = sign + number if rng.random() < 0.5 else f"{number} {sign}"
        elif shape == 1:  # a name: "Müller, Jörg"
            text = f"{rng.choice(words)}, {rng.choice(words)}"
        elif shape == 2:  # a few words
            text = " ".join(rng.choice(words + ASCII_WORDS) for _ in range(rng.randrange(1, 6)))
        else:  # a label line: "seat 12A Málaga"
            text = f"{rng.choice(ASCII_WORDS)} {rng.randrange(1, 60)}{rng.choice('ABCDEF')} {rng.choice(words)}"
        if not text.isascii():
            texts.append(text)
    return texts


def bench_texts() -> List[Tuple[str, str]]:
    from optimal import corpus

    return [(name, data) for name, data in corpus() if isinstance(data, str)]


def shown(symbol: aztec.AztecSymbol) -> Optional[str]:
    import numpy as np
    import zxingcpp

    matrix = np.frombuffer(bytes(symbol.modules), dtype=np.uint8).reshape(symbol.size, symbol.size)
    image = np.kron(np.pad(np.where(matrix == 1, 0, 255).astype(np.uint8), 2, constant_values=255),
                    np.ones((3, 3), dtype=np.uint8))
    found = zxingcpp.read_barcodes(image, formats=zxingcpp.BarcodeFormat.Aztec)
    return found[0].text if len(found) == 1 else None


def compare(texts: Sequence[str], reading: bool) -> Dict[str, object]:
    extra: List[int] = []
    grown: collections.Counter = collections.Counter()
    typed = {"marked": 0, "unmarked": 0}
    for text in texts:
        marked, unmarked = aztec.make(text), aztec.make(text, eci=False)
        extra.append(len(data_stream(text)) - len(data_stream(text, eci=False)))
        if marked.size != unmarked.size:
            grown[f"{unmarked.size}x{unmarked.size} to {marked.size}x{marked.size}"] += 1
        if reading:
            typed["marked"] += shown(marked) == text
            typed["unmarked"] += shown(unmarked) == text
    return {"texts": len(texts), "changed": sum(not t.isascii() for t in texts), "extra": extra,
            "grown": grown, "typed": typed if reading else None}


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=10_000, help="short ISO-8859-1 texts (default 10000)")
    parser.add_argument("--read", action="store_true", help="read every symbol back with zxing-cpp")
    options = parser.parse_args(argv)
    short = compare(latin_1_texts(options.count), options.read)
    extra = short["extra"]
    print(f"{short['texts']} short ISO-8859-1 texts (1 to 40 characters, each with one above 0x7F):")
    print(f"  extra data bits with ECI 3: min {min(extra)}, median {statistics.median(extra)}, "
          f"mean {statistics.mean(extra):.1f}, max {max(extra)}")
    grown = short["grown"]
    print(f"  symbols that grow: {sum(grown.values())} of {short['texts']} "
          f"({100 * sum(grown.values()) / short['texts']:.1f}%): "
          + ", ".join(f"{n} {what}" for what, n in grown.most_common()))
    if short["typed"]:
        typed = short["typed"]
        print(f"  read as typed by zxing-cpp: {typed['marked']} marked, {typed['unmarked']} unmarked")
    print("bench/optimal.py's texts:")
    for name, text in bench_texts():
        if text.isascii():
            print(f"  {name}: ASCII, unchanged")
            continue
        try:
            text.encode("latin-1")
        except UnicodeEncodeError:
            print(f"  {name}: UTF-8 with ECI 26, unchanged")
            continue
        result = compare([text], options.read)
        print(f"  {name}: {result['extra'][0]:+d} bits, " + (", ".join(result["grown"]) or "same size"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
