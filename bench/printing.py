"""Benchmark of the printing outputs: a ZPL label and Pillow's formats
against the PNG they start from, and make_many(same_size=True) against
make_many, as time per symbol.

    python bench/printing.py [--json FILE] [--repeat N] [--batch N]
"""

import io
import random
import sys
import timeit
import warnings

import quillbank.aztec as aztec

import report

BOARDING_PASS = "M1DESMARAIS/LUC       EABC123 YULFRAAC 0834 326J001A0025 100"


def per_call(function, repeat):
    """Seconds per call: the best of `repeat` timings of an automatic number of calls."""
    timer = timeit.Timer(function)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number


def pictures(repeat):
    rows = []
    for name, message in [("boarding pass", BOARDING_PASS), ("1,500 random bytes", random.Random(7).randbytes(1500))]:
        symbol = aztec.make(message)
        cases = [("png 0.5mm@203", dict(kind="png", module_size="0.5mm", dpi=203)),
                 ("zpl 0.5mm@203", dict(kind="zpl", module_size="0.5mm", dpi=203)),
                 ("zpl 0.5mm@600", dict(kind="zpl", module_size="0.5mm", dpi=600)),
                 ("zpl compressed @600", dict(kind="zpl", module_size="0.5mm", dpi=600, compress=True))]
        try:
            import PIL  # noqa: F401
            cases += [(kind, dict(kind=kind, module_size="0.5mm", dpi=203)) for kind in ("webp", "tiff", "gif", "jpeg")]
        except ImportError:
            pass
        for operation, options in cases:
            def save(options=options):
                symbol.save(io.BytesIO(), **options)
            seconds = per_call(save, repeat)
            buffer = io.BytesIO()
            symbol.save(buffer, **options)
            rows.append({"message": name, "symbol": f"{symbol.size}x{symbol.size}", "operation": operation,
                         "seconds": seconds, "bytes_out": len(buffer.getvalue())})
    return rows


def batches(repeat, count):
    rng = random.Random(22)
    messages = [rng.randbytes(rng.randrange(10, 200)) for _ in range(count)]
    rows = []
    for operation, options in [("make_many", {}), ("make_many same_size", {"same_size": True})]:
        seconds = per_call(lambda: aztec.make_many(messages, **options), repeat) / count
        shapes = {(s.compact, s.layers) for s in aztec.make_many(messages, **options)}
        rows.append({"message": f"{count} of 10-200 random bytes", "symbol": f"{len(shapes)} shapes",
                     "operation": operation, "seconds": seconds, "bytes_out": 0})
    return rows


def main(argv=None):
    parser = report.parser(__doc__)
    parser.add_argument("--batch", type=int, default=2000, help="messages in the batch (default 2000)")
    options = parser.parse_args(argv)
    warnings.simplefilter("ignore")  # JPEG's warning, once per call
    rows = pictures(options.repeat) + batches(options.repeat, options.batch)
    print(f"{'message':<28} {'symbol':<10} {'operation':<22} {'per symbol':>12} {'bytes':>8}")
    for row in rows:
        print(f"{row['message']:<28} {row['symbol']:<10} {row['operation']:<22} "
              f"{row['seconds'] * 1e6:>9.1f} us {row['bytes_out'] or '':>8}")
    report.write_json(options.json, rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
