"""Benchmark: what FNC1, ECI designators, the structured-append header and
reader initialisation cost against plain text, in stream bits, symbol size
and encode time.  Run against the installed package:

    python -P bench/standard_features.py [--repeat N]
"""

import argparse
import random
import timeit

from quillbank.aztec import _symbol, gs1
from quillbank.aztec.optimal import encode_optimal_segments, encode_optimal_stream
from quillbank.aztec.sequence import header


def side(stream, reader_init=False):
    built = _symbol.build_packed(stream[0], stream[1], -1, 0, 23, reader_init)
    return "-" if built is None else str(built[2])


def microseconds(call, repeat):
    runs = max(1, repeat)
    return min(timeit.repeat(call, number=runs, repeat=3)) / runs * 1e6


def cases():
    """(name, plain message, flagged message, flags, structured append)."""
    element = gs1.parse("(01)09501101530003(17)251231(10)ABC123(21)1234567890(30)42")
    russian = "Съешь же ещё этих мягких французских булок, да выпей чаю."
    latin = "Café crème, 2 × 3,50 € — Köln"
    latin1 = latin.replace("€", "EUR").replace("—", "-").replace("×", "x")
    sequence_part = "ACME Logistics GmbH, Industriestr. 17, D-70565 Stuttgart, GERMANY"
    rng = random.Random(12)
    big = bytes(rng.choice(b"ABCDEFGH 0123456789abc.,") for _ in range(100000))
    return [
        ("GS1: element string vs with FNC1", element.element_string, element.element_string,
         [(p, None) for p in element.fnc1_positions], False),
        ("Russian: UTF-8 vs ECI 7 + ISO-8859-5", russian.encode(), russian.encode("iso-8859-5"), [(0, 7)], False),
        ("Latin-1 then ECI 7 + Russian vs UTF-8", (latin1 + russian).encode(),
         latin1.encode("latin-1") + russian.encode("iso-8859-5"), [(len(latin1), 7)], False),
        ("sequence part: plain vs M/L U/L + ' ID42 BC'", sequence_part.encode(),
         header(2, 3, "ID42") + sequence_part.encode(), [], True),
        ("sequence part: plain vs M/L U/L + 'BC'", sequence_part.encode(), header(2, 3) + sequence_part.encode(),
         [], True),
        ("100 kB text: plain vs FNC1 every 100 bytes", big, big, [(p, None) for p in range(0, len(big), 100)], False),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=50)
    args = parser.parse_args()

    print(f"{'case':46} {'bits':>7} {'+bits':>6} {'side':>9} {'plain us':>9} {'flagged us':>10}")
    for name, plain, flagged, flags, append in cases():
        repeat = max(1, args.repeat // 100) if len(plain) > 10000 else args.repeat
        plain_stream = encode_optimal_stream(plain)
        stream = encode_optimal_segments(flagged, flags, append)
        plain_time = microseconds(lambda: encode_optimal_stream(plain), repeat)
        flagged_time = microseconds(lambda: encode_optimal_segments(flagged, flags, append), repeat)
        sides = f"{side(plain_stream)}/{side(stream)}" if len(plain) < 4000 else "-"
        print(f"{name:46} {stream[1]:7} {stream[1] - plain_stream[1]:+6} {sides:>9} "
              f"{plain_time:9.1f} {flagged_time:10.1f}")

    print("\nreader initialisation (same stream; symbol side without/with the bit):")
    for text in ("SET UP SCANNER", "x" * 60, "y" * 400, "z" * 1700):
        stream = encode_optimal_stream(text)
        print(f"  {len(text):5} bytes  {stream[1]:6} bits  side {side(stream)}/{side(stream, True)}")


if __name__ == "__main__":
    main()
