"""Benchmark: what FNC1, ECI designators, the structured-append header and
reader initialisation cost against plain text, in stream bits, symbol size
and encode time, first in the shortest-stream programme alone, then through
make() and make_sequence() as a caller uses them.  Run against the installed
package:

    python -P bench/standard_features.py [--repeat N]
"""

import argparse
import random
import timeit

import quillbank.aztec as aztec
from quillbank.aztec import Segment, _aztec, gs1
from quillbank.aztec.builder import data_stream
from quillbank.aztec.optimal import encode_optimal_segments, encode_optimal_stream
from quillbank.aztec.sequence import header


def side(stream, reader_init=False):
    symbol = _aztec.build(stream[0], stream[1], reader_init=reader_init)
    return "-" if symbol is None else str(symbol.size)


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


def make_cases():
    """(name, plain call, call with the feature, stream of each or None)."""
    label = "(01)09501101530003(17)251231(10)ABC123(21)1234567890(30)42"
    element = gs1.parse(label).element_string.decode()
    mixed = ["Zürich Hbf → ", "Москва, Ленинградский вокзал", " 東京"]
    ticket = "ACME Rail. Seat 42B, coach 7. Valid 2026-12-08 only. " * 30
    return [
        ("make: GS1 label vs its element string", lambda: aztec.make(element), lambda: aztec.make(label, gs1=True),
         lambda: data_stream(element), lambda: data_stream(label, gs1=True)),
        ("make: 3 segments (ECI 26, 7, 20) vs UTF-8", lambda: aztec.make("".join(mixed)),
         lambda: aztec.make([mixed[0], Segment(mixed[1], encoding="iso-8859-5"),
                             Segment(mixed[2], encoding="shift_jis")]),
         lambda: data_stream("".join(mixed)),
         lambda: data_stream([mixed[0], Segment(mixed[1], encoding="iso-8859-5"),
                              Segment(mixed[2], encoding="shift_jis")])),
        ("make: reader_init=True vs plain", lambda: aztec.make("SET UP SCANNER 42"),
         lambda: aztec.make("SET UP SCANNER 42", reader_init=True), None, None),
        ("make_sequence: 2 symbols vs make, 1.6 kB", lambda: aztec.make(ticket), lambda: aztec.make_sequence(ticket),
         None, None),
        ("make_sequence: 4 symbols, id vs make", lambda: aztec.make(ticket),
         lambda: aztec.make_sequence(ticket, symbols=4, id="T42"), None, None),
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

    print(f"\n{'through make':46} {'plain bits':>10} {'bits':>7} {'sides':>15} {'plain us':>9} {'feature us':>10}")
    for name, plain, featured, plain_stream, featured_stream in make_cases():
        plain_time = microseconds(plain, args.repeat)
        featured_time = microseconds(featured, max(1, args.repeat // 5))
        made = featured()
        made = made if isinstance(made, list) else [made]
        sides = f"{plain().size}/" + "+".join(str(symbol.size) for symbol in made)
        bits = ("-", "-") if plain_stream is None else (len(plain_stream()), len(featured_stream()))
        print(f"{name:46} {bits[0]:>10} {bits[1]:>7} {sides:>15} {plain_time:9.1f} {featured_time:10.1f}")

    print("\nreader initialisation (same stream; symbol side without/with the bit):")
    for text in ("SET UP SCANNER", "x" * 60, "y" * 400, "z" * 1700):
        stream = encode_optimal_stream(text)
        print(f"  {len(text):5} bytes  {stream[1]:6} bits  side {side(stream)}/{side(stream, True)}")


if __name__ == "__main__":
    main()
