"""Benchmark of the symbol writer: make() for a 100-byte message and for the
largest symbol, and svg()/png() of both, as time per call and as a ratio to
the encoder call alone.

    python bench/symbol.py [--json FILE] [--repeat N]
"""

import random
import sys
import timeit

import quillbank.aztec as aztec
from quillbank.aztec.encoder import Encoder

import report

MESSAGE_100 = (b"Invoice 2024-0117: 3 x widget @ 12.50 EUR, ship to Quill Bank, 1 Main St, "
               b"Springfield. Thanks!")[:100].ljust(100, b".")


def largest_message():
    """The longest message of random bytes that still fits (full, 32 layers)."""
    rng = random.Random(151)
    data = bytes(rng.randrange(256) for _ in range(2500))
    low, high = 1, len(data)
    while low < high:
        middle = (low + high + 1) // 2
        try:
            aztec.make(data[:middle])
            low = middle
        except aztec.DataOverflowError:
            high = middle - 1
    return data[:low]


def per_call(function, repeat):
    """Seconds per call: the best of `repeat` timings of an automatic number of calls."""
    timer = timeit.Timer(function)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number


def measure(repeat):
    rows = []
    for name, message in [("100 bytes", MESSAGE_100), ("largest symbol", largest_message())]:
        symbol = aztec.make(message)
        encoder = per_call(lambda: Encoder().encode(message, asBits=True), repeat)
        shape = f"{'compact' if symbol.compact else 'full'} {symbol.layers} layers, {symbol.size}x{symbol.size}"
        for operation, function in [
            ("encoder alone", lambda: Encoder().encode(message, asBits=True)),
            ("make", lambda: aztec.make(message)),
            ("svg()", symbol.svg),
            ("png()", symbol.png),
        ]:
            seconds = encoder if operation == "encoder alone" else per_call(function, repeat)
            rows.append({"message": name, "bytes": len(message), "symbol": shape, "operation": operation,
                         "seconds": seconds, "ratio_to_encoder": seconds / encoder})
    return rows


def main(argv=None):
    parser = report.parser(__doc__)
    options = parser.parse_args(argv)
    rows = measure(options.repeat)
    print(f"{'message':<22} {'symbol':<30} {'operation':<14} {'per call':>12} {'x encoder':>10}")
    for row in rows:
        print(f"{row['message'] + ' (' + str(row['bytes']) + ')':<22} {row['symbol']:<30} {row['operation']:<14} "
              f"{row['seconds'] * 1e6:>9.1f} us {row['ratio_to_encoder']:>10.2f}")
    report.write_json(options.json, rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
