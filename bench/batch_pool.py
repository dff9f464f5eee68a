"""Benchmark: make_many on the core's thread pool, this build against another.

    python -P bench/batch_pool.py                          # the installed build alone
    python -P bench/batch_pool.py --other /path/site-dir   # and another build, same run

The other build is a folder that holds a quillbank package (for example
`pip install --no-deps --target DIR .` of another commit).  Each build runs
in child processes of its own, in interleaved rounds, and the best round of
each counts, so that a busy moment of the shared machine falls on both
alike; the figure of 2 threads over 1 is given for every round too, its
mean and spread.  Every call makes messages new to it: 20,000 boarding passes (100
bytes) and 2,000 random messages of 500 bytes, on 1 and 2 threads.  Wall
time is what a caller waits; CPU time (every thread's, the interpreter's
included) is what the batch costs, and is steadier on a busy machine.

Before the timed runs, both threads make a batch of random data of their
own: each thread learns the states of such data on its own, and the runs
time its steady work (--cold: not).  Each process starts with its first make_many call, timed apart: 10,000
boarding passes on 2 threads, against the two calls like it that follow
(the first call's import of the package's modules is timed on its own).
"""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)  # -P leaves this folder out
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


def child(seed, cold=False):
    """Symbols a second for each run, with this process's quillbank, and
    its first calls (first_calls)."""
    import quillbank.aztec as aztec

    first = first_calls(aztec, seed)
    # Both threads learn the random data's states before the runs are
    # timed, on messages of their own: the runs compare the threads'
    # steady work, not which of them learnt what first.
    if not cold:
        aztec.make_many(messages("500 random bytes", 2000, seed * 100 + 90), threads=2)
    rates = []
    for number, (kind, count, threads) in enumerate(RUNS):
        batch = messages(kind, count, seed * 100 + number)
        start, cpu = time.perf_counter(), time.process_time()
        made = aztec.make_many(batch, threads=threads)
        rates += [count / (time.perf_counter() - start), count / (time.process_time() - cpu)]
        assert len(made) == count
    print(json.dumps({"rates": rates, "first": first}))


def round_of(path, seed, cold):
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = path
    out = subprocess.run([sys.executable, "-P", __file__, "--child", str(seed)] + ["--cold"] * cold, env=env, capture_output=True,
                         text=True, check=True, cwd=HERE).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--other", help="a folder holding another build's quillbank package")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--cold", action="store_true", help="no learning before the timed runs: the 1-thread "
                        "run learns the random data's states, the 2-thread run its helper's")
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child is not None:
        return child(args.child, args.cold)
    builds = {"installed": None}
    if args.other:
        builds["other"] = args.other
    best = {name: [0.0] * 2 * len(RUNS) for name in builds}
    scaling = {name: {kind: [] for kind, _, _ in RUNS} for name in builds}  # 2 threads over 1, each round
    firsts = {name: [] for name in builds}
    for number in range(args.rounds):
        # Both builds get the same fresh messages in a round, each going
        # first in every other round.
        for name, path in sorted(builds.items(), reverse=number % 2 == 1):
            got = round_of(path, number + 1, args.cold)
            best[name] = [max(a, b) for a, b in zip(best[name], got["rates"])]
            for index, (kind, _, threads) in enumerate(RUNS):
                if threads == 2:  # the run after it is the same kind on 1 thread
                    scaling[name][kind].append(got["rates"][2 * index] / got["rates"][2 * index - 2])
            firsts[name].append(got["first"])
    print(f"make_many, symbols a second (best of {args.rounds} rounds; load {os.getloadavg()[0]:.1f})")
    for clock, offset in (("wall time", 0), ("CPU time", 1)):
        print(f"{clock:32}" + "".join(f"{name:>12}" for name in builds) + ("      ratio" if args.other else ""))
        for index, (kind, count, threads) in enumerate(RUNS):
            row = f"{count} {kind}, {threads} thread{'s' * (threads > 1)}"
            figures = [best[name][2 * index + offset] for name in builds]
            line = f"  {row:30}" + "".join(f"{figure:12,.0f}" for figure in figures)
            if args.other:
                line += f"{figures[0] / figures[1]:11.3f}"
            print(line)
    print(f"2 threads over 1 thread, wall time, each round: mean, and lowest to highest of {args.rounds}")
    for name, kinds in scaling.items():
        print(f"  {name:12}" + "".join(f"   {kind}: {statistics.mean(r):.2f} ({min(r):.2f}-{max(r):.2f})"
                                          for kind, r in kinds.items()))
    print("first make_many of a process (10,000 boarding passes, 2 threads), median of the rounds, ms")
    for name, rows in firsts.items():
        imported, first, later = (sorted(column)[len(column) // 2] for column in zip(*rows))
        print(f"  {name:12} import {imported:6.1f}   first call {first:6.1f}   later calls {later:6.1f}"
              f"   first / later {first / later:5.2f}")


if __name__ == "__main__":
    main()
