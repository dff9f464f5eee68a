"""Benchmark: make_many on the core's thread pool, this build against another.

    python -P bench/batch_pool.py                          # the installed build alone
    python -P bench/batch_pool.py --other /path/site-dir   # and another build, same run

The other build is a folder that holds a quillbank package (for example
`pip install --no-deps --target DIR .` of another commit).  Each build runs
in child processes of its own, in interleaved rounds, and the best round of
each counts, so that a busy moment of the shared machine falls on both
alike.  Every call makes messages new to it: 20,000 boarding passes (100
bytes) and 2,000 random messages of 500 bytes, on 1 and 2 threads.  Wall
time is what a caller waits; CPU time (every thread's, the interpreter's
included) is what the batch costs, and is steadier on a busy machine.

Each process starts with its first make_many call, timed apart: 10,000
boarding passes on 2 threads, against the two calls like it that follow
(the first call's import of the package's modules is timed on its own).
"""

import json
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)  # -P leaves this folder out
import report  # noqa: E402
from payloads import boarding_pass  # noqa: E402

RUNS = [("boarding passes", 20000, 1), ("boarding passes", 20000, 2),
        ("500 random bytes", 2000, 1), ("500 random bytes", 2000, 2)]


def messages(kind, count, seed):
    rng = random.Random(seed)
    if kind == "boarding passes":
        return [boarding_pass(rng) for _ in range(count)]
    return [bytes(rng.randrange(256) for _ in range(500)) for _ in range(count)]


def first_calls(aztec, seed):
    """[import ms, first call ms, best of the next two ms]: make_many of
    10,000 new boarding passes on 2 threads, the process's first."""
    start = time.perf_counter()
    aztec.make_many  # noqa: B018 (loads the modules a first call would)
    imported = time.perf_counter() - start
    calls = []
    for number in range(3):
        batch = messages("boarding passes", 10000, seed * 100 + 50 + number)
        start = time.perf_counter()
        aztec.make_many(batch, threads=2)
        calls.append(time.perf_counter() - start)
    return [imported * 1e3, calls[0] * 1e3, min(calls[1:]) * 1e3]


def child(seed):
    """Symbols a second for each run, with this process's quillbank, and
    its first calls (first_calls)."""
    import quillbank.aztec as aztec

    first = first_calls(aztec, seed)
    rates = []
    for number, (kind, count, threads) in enumerate(RUNS):
        batch = messages(kind, count, seed * 100 + number)
        start, cpu = time.perf_counter(), time.process_time()
        made = aztec.make_many(batch, threads=threads)
        rates += [count / (time.perf_counter() - start), count / (time.process_time() - cpu)]
        assert len(made) == count
    print(json.dumps({"rates": rates, "first": first}))


def main():
    rounds = report.build_rounds(os.path.abspath(__file__), child)
    if rounds is None:
        return
    builds = list(rounds)
    best = {name: [max(column) for column in zip(*(got["rates"] for got in rounds[name]))] for name in builds}
    firsts = {name: [got["first"] for got in rounds[name]] for name in builds}
    count = len(rounds["installed"])
    other = len(builds) > 1
    print(f"make_many, symbols a second (best of {count} rounds; load {os.getloadavg()[0]:.1f})")
    for clock, offset in (("wall time", 0), ("CPU time", 1)):
        print(f"{clock:32}" + "".join(f"{name:>12}" for name in builds) + ("      ratio" if other else ""))
        for index, (kind, count, threads) in enumerate(RUNS):
            row = f"{count} {kind}, {threads} thread{'s' * (threads > 1)}"
            figures = [best[name][2 * index + offset] for name in builds]
            line = f"  {row:30}" + "".join(f"{figure:12,.0f}" for figure in figures)
            if other:
                line += f"{figures[0] / figures[1]:11.3f}"
            print(line)
    print("first make_many of a process (10,000 boarding passes, 2 threads), median of the rounds, ms")
    for name, rows in firsts.items():
        imported, first, later = (sorted(column)[len(column) // 2] for column in zip(*rows))
        print(f"  {name:12} import {imported:6.1f}   first call {first:6.1f}   later calls {later:6.1f}"
              f"   first / later {first / later:5.2f}")


if __name__ == "__main__":
    main()
