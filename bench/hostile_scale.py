"""Benchmark of refusals under hostile scale: how long the library takes to
say no to a picture, a sequence or a segment list that cannot be made, and
the memory of a streamed command-line batch.

    python bench/hostile_scale.py           # the table
    python bench/hostile_scale.py --quick   # fewer repeats, a smaller batch

Each refusal is timed twice: cold (the first call in a fresh interpreter,
imports included) and warm (the best of several calls).  The batch feeds N
lines through a pipe to ``python -m quillbank.aztec --batch -`` and reports
the child's peak resident set; it should not grow with N.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import textwrap
import time

CASES = {
    "PAM of 65,532 px a side refused": """
        import io
        symbol = aztec.make("x" * 2000)
        def run():
            try:
                symbol.save(io.BytesIO(), kind="pam", scale=508)
            except aztec.InvalidOptionError:
                pass
    """,
    "make_sequence of 100,000 a/Ж segments refused": """
        segments = ["a" if i % 2 == 0 else aztec.Segment("Ж", encoding="iso-8859-5") for i in range(100_000)]
        def run():
            try:
                aztec.make_sequence(segments)
            except aztec.DataOverflowError:
                pass
    """,
    "make of b'A' * 7970 refused (the plain bytes)": """
        def run():
            try:
                aztec.make(b"A" * 7970)
            except aztec.DataOverflowError:
                pass
    """,
    "make of 7,970 Segment(b'A', eci=3) refused": """
        segments = [aztec.Segment(b"A", eci=3) for _ in range(7970)]
        def run():
            try:
                aztec.make(segments)
            except aztec.DataOverflowError:
                pass
    """,
    "make of 7,970 Segment(b'A', eci=3 or 4) refused": """
        segments = [aztec.Segment(b"A", eci=3 + i % 2) for i in range(7970)]
        def run():
            try:
                aztec.make(segments)
            except aztec.DataOverflowError:
                pass
    """,
    "make of 7,970 Segment(b'A', eci=i) refused": """
        segments = [aztec.Segment(b"A", eci=i) for i in range(7970)]
        def run():
            try:
                aztec.make(segments)
            except aztec.DataOverflowError:
                pass
    """,
}

TIMER = """
import time
import quillbank.aztec as aztec
{setup}
start = time.perf_counter(); run(); cold = time.perf_counter() - start
warm = min((lambda s: (run(), time.perf_counter() - s)[1])(time.perf_counter()) for _ in range({repeats}))
print(cold, warm)
"""


def time_case(setup: str, repeats: int) -> "tuple[float, float]":
    code = TIMER.format(setup=textwrap.dedent(setup), repeats=repeats)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    cold, warm = map(float, done.stdout.split())
    return cold, warm


def batch_peak(lines: int) -> "tuple[float, int]":
    """Seconds and the peak resident set (KiB) of a batch of ``lines`` empty
    lines (each fails alone, so no file is written), measured by a fresh
    parent so that no other child's peak counts."""
    with tempfile.TemporaryDirectory() as folder:
        parent = textwrap.dedent(f"""
            import resource, subprocess, sys, time
            start = time.perf_counter()
            subprocess.run([sys.executable, "-m", "quillbank.aztec", "--batch", "-", "-o", {os.path.join(folder, "{index}.txt")!r}],
                           input=b"\\n" * {lines}, capture_output=True)
            print(time.perf_counter() - start, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
        """)
        done = subprocess.run([sys.executable, "-c", parent], capture_output=True, text=True, check=True)
    seconds, peak = done.stdout.split()
    return float(seconds), int(peak)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    arguments = parser.parse_args()
    repeats = 2 if arguments.quick else 5
    print(f"{'refusal':52} {'cold ms':>9} {'warm ms':>9}")
    for name, setup in CASES.items():
        cold, warm = time_case(setup, repeats)
        print(f"{name:52} {cold * 1e3:9.2f} {warm * 1e3:9.2f}")
    print(f"\n{'batch of empty lines':52} {'seconds':>9} {'peak MiB':>9}")
    for lines in ([20_000, 100_000] if arguments.quick else [20_000, 200_000, 1_000_000]):
        seconds, peak = batch_peak(lines)
        print(f"{lines:>12,} lines{'':34} {seconds:9.2f} {peak / 1024:9.1f}")


if __name__ == "__main__":
    main()
