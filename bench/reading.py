"""Benchmark of the reader: aztec.read() on symbols, module matrices and
pictures of a boarding pass (about 100 bytes) and of a large symbol, the
price of make(verify=True) against make(), and what keeping the message for
verify() costs make()'s common case (make() against its core call).

    python bench/reading.py [--repeat N]
"""

import argparse
import io
import random
import timeit

import quillbank.aztec as aztec
from quillbank.aztec import _aztec

BOARDING_PASS = (b"M1DOE/JOHN            EABC123 LHRJFKBA 0117 123Y012A0012 100"
                 b"^164GIWVC5EH7JNT684FVNJ91W2QA4DVN5J8K4F0L0GEQ3DF5TGBN8709HKT5D3DW3GBHFCVHMY7J5T6HFR41W0")


def per_call(function, repeat):
    """Seconds per call: the best of `repeat` timings of an automatic number of calls."""
    timer = timeit.Timer(function)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number


def saved(symbol, kind, **options):
    stream = io.BytesIO()
    symbol.save(stream, kind=kind, **options)
    return stream.getvalue()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    repeat = parser.parse_args().repeat
    rng = random.Random(7)
    large = aztec.make(bytes(rng.randrange(256) for _ in range(1500)))
    for name, symbol in (("boarding pass", aztec.make(BOARDING_PASS)), ("1,500 random bytes", large)):
        print(f"{name}: {symbol.size}x{symbol.size}, {symbol.data_words} data + {symbol.check_words} check words")
        sources = [("AztecSymbol", symbol), ("module matrix (rows)", symbol.rows),
                   ("PNG, 4 px a module", symbol.png()), ("SVG", symbol.svg()),
                   ("PBM, 4 px a module", saved(symbol, "pbm")), ("PPM, 4 px a module", saved(symbol, "ppm"))]
        for label, source in sources:
            print(f"  read {label:<22} {per_call(lambda: aztec.read(source), repeat) * 1e6:10.1f} us")
    message = BOARDING_PASS
    plain = per_call(lambda: aztec.make(message), repeat)
    core = per_call(lambda: _aztec.make(message, ec_percent=23), repeat)
    verified = per_call(lambda: aztec.make(message, verify=True), repeat)
    print(f"make(boarding pass)              {plain * 1e6:8.2f} us")
    print(f"  its core call (_aztec.make)    {core * 1e6:8.2f} us  (make's Python side, the kept message included: "
          f"{(plain - core) * 1e9:.0f} ns)")
    print(f"make(boarding pass, verify=True) {verified * 1e6:8.2f} us  ({verified / plain:.1f}x)")


if __name__ == "__main__":
    main()
