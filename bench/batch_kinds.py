"""Benchmark: batches whose messages need the package's own work (GS1 data,
two-segment messages) and save_many to files, this build against another,
with zint making the same messages one by one in the same processes.

    python -P bench/batch_kinds.py                          # the installed build alone
    python -P bench/batch_kinds.py --other /path/site-dir   # and another build, same run

The other build is a folder that holds a quillbank package (for example
`pip install --no-deps --target DIR .` of another commit).  Each build runs
in child processes of its own, in interleaved rounds, so that a busy moment
of the shared machine falls on both alike; the best and the worst round of
each are shown.  Every call makes 1,000 messages new to it: GS1 element
strings of a trade item, a lot and a date; two segments, ISO-8859-1 text
then Cyrillic in UTF-8; boarding passes (100 bytes) saved to PNG and to SVG
files in a new temporary folder.  Figures are milliseconds a call.
"""

import json
import os
import random
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)  # -P leaves this folder out
import report  # noqa: E402
from payloads import boarding_pass  # noqa: E402

COUNT = 1000
RUNS = [("GS1 make_many", 1), ("GS1 make_many", 2), ("two segments make_many", 1), ("two segments make_many", 2),
        ("save_many PNG", 2), ("save_many SVG", 2)]
PEERS = ["zint GS1 one by one", "zint two segments one by one"]


def gs1_strings(rng):
    return [f"(01)0950110153000{rng.randrange(10)}(10){rng.randrange(10 ** 8)}(17)2{rng.randrange(10)}0101"
            for _ in range(COUNT)]


def two_segments(rng):
    return [(f"Grüße {rng.randrange(10 ** 6)} ", f"Привет {rng.randrange(10 ** 9)}") for _ in range(COUNT)]


def fix_check_digits(strings, aztec):
    """The GS1 strings with the check digit their GTIN needs, found once a
    string by trying the ten (the package refuses a wrong one)."""
    fixed = []
    for text in strings:
        head, tail = text[:17], text[18:]
        for digit in "0123456789":
            try:
                aztec.make(head + digit + tail, gs1=True)
            except aztec.AztecError:
                continue
            fixed.append(head + digit + tail)
            break
    return fixed


def timed(call):
    start = time.perf_counter()
    call()
    return (time.perf_counter() - start) * 1e3


def child(seed):
    """Milliseconds of each run and each peer with this process's quillbank."""
    import quillbank.aztec as aztec
    from quillbank.aztec import Segment

    rng = random.Random(seed)
    figures = []
    folder = tempfile.mkdtemp(prefix="batch_kinds_")
    try:
        for number, (kind, threads) in enumerate(RUNS):
            if kind.startswith("GS1"):
                batch = fix_check_digits(gs1_strings(rng), aztec)
                figures.append(timed(lambda: aztec.make_many(batch, threads=threads, gs1=True)))
            elif kind.startswith("two"):
                batch = [[latin, Segment(cyrillic, encoding="utf-8")] for latin, cyrillic in two_segments(rng)]
                figures.append(timed(lambda: aztec.make_many(batch, threads=threads)))
            else:
                batch = [boarding_pass(rng) for _ in range(COUNT)]
                pattern = os.path.join(folder, f"{number}-{{index}}.{kind[-3:].lower()}")
                figures.append(timed(lambda: aztec.save_many(batch, pattern, threads=threads)))
        figures += peers(rng, aztec)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(json.dumps(figures))


def peers(rng, aztec):
    import zint

    symbol = zint.Symbol()
    symbol.symbology = zint.Symbology.AZTEC
    symbol.option_1 = 2  # 23% + 3 codewords of error correction

    gs1 = [text.replace("(", "[").replace(")", "]") for text in fix_check_digits(gs1_strings(rng), aztec)]

    def zint_gs1():
        symbol.input_mode = zint.InputMode.GS1
        for text in gs1:
            symbol.clear()
            symbol.encode(text)

    segments = two_segments(rng)

    def zint_segments():
        symbol.input_mode = zint.InputMode.UNICODE
        for latin, cyrillic in segments:
            symbol.clear()
            symbol.encode_segs([zint.Seg(latin.encode(), 3), zint.Seg(cyrillic.encode(), 26)])

    return [timed(zint_gs1), timed(zint_segments)]


def main():
    rounds = report.build_rounds(os.path.abspath(__file__), child)
    if rounds is None:
        return
    count = len(next(iter(rounds.values())))
    print(f"{COUNT} messages a call, ms: best (worst) of {count} rounds; load {os.getloadavg()[0]:.1f}")
    print(f"{'':34}" + "".join(f"{name:>22}" for name in rounds) + ("   other / this" if len(rounds) > 1 else ""))
    rows = [f"{kind}, {threads} thread{'s' * (threads > 1)}" for kind, threads in RUNS] + PEERS
    for index, row in enumerate(rows):
        best = [min(got[index] for got in runs) for runs in rounds.values()]
        worst = [max(got[index] for got in runs) for runs in rounds.values()]
        line = f"  {row:32}" + "".join(f"{b:12.1f} ({w:7.1f})" for b, w in zip(best, worst))
        if len(rounds) > 1:
            line += f"{best[1] / best[0]:13.2f}"
        print(line)


if __name__ == "__main__":
    main()
