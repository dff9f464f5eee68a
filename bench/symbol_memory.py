"""Benchmark: the process memory that kept symbols cost.

    python -P bench/symbol_memory.py            # 100,000 boarding passes
    python -P bench/symbol_memory.py --count N

Makes COUNT symbols of fresh boarding passes (100-byte messages, as in
bench/peers.py) with make(), keeps them in a list and drops the messages,
and reports the growth of the process's resident memory (RSS) and of
Python's traced allocations (tracemalloc, in a second pass) per symbol.
The symbol of a boarding pass is 31x31 modules; what it was made from (the
message, for verify()) is kept with it and counted.  The target is at most
400 bytes a symbol.
"""

import argparse
import gc
import os
import random
import sys
import tracemalloc

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # -P leaves this folder out
from payloads import boarding_pass  # noqa: E402

import quillbank.aztec as aztec  # noqa: E402


def resident_bytes():
    """The process's resident memory, from /proc (Linux)."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def kept_symbols(count, seed):
    rng = random.Random(seed)
    return [aztec.make(boarding_pass(rng)) for _ in range(count)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=100_000)
    count = parser.parse_args().count
    kept_symbols(1000, 1)  # the encoder's per-thread caches, before the measurement
    gc.collect()
    before = resident_bytes()
    symbols = kept_symbols(count, 2)
    gc.collect()
    rss = (resident_bytes() - before) / count
    side = symbols[0].size
    del symbols
    gc.collect()
    tracemalloc.start()
    start = tracemalloc.get_traced_memory()[0]
    symbols = kept_symbols(count, 3)
    gc.collect()
    traced = (tracemalloc.get_traced_memory()[0] - start) / count
    tracemalloc.stop()
    print(f"{count:,} kept boarding-pass symbols ({side}x{side}), the list's slot included:")
    print(f"  resident memory   {rss:7.0f} bytes a symbol")
    print(f"  traced by Python  {traced:7.0f} bytes a symbol (tracemalloc)")
    print(f"  target            {400:7d} bytes a symbol")
    assert len(symbols) == count


if __name__ == "__main__":
    main()
