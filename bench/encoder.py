"""Benchmark of the data encoder, quillbank.aztec.encoder.

    python bench/encoder.py                 # the table
    python bench/encoder.py --json out.json # the table, and the figures as JSON
    python bench/encoder.py --quick         # fewer repeats, for a smoke run

Every figure is also given as a ratio to a yardstick timed in the same run
on the same bytes, because absolute times on shared machines drift:
zlib.crc32 for throughput, bytes() of the message for the cost of a call.
Each timing is the best of several repeats.  The messages are generated
from a fixed seed; every call encodes its message from scratch (the encoder
keeps no results between calls).

The growth table gives, for English text of 1 to 256 KB, the time per byte
of a reused Encoder and of a fresh one per call, and the page faults per KB
of message of a reused one: faults on every call mean storage given back
and taken again (the flat-cost target: 64 and 256 KB within 1.3x of 4 KB per
byte, and reused never slower than fresh).

Peak memory is measured in a fresh interpreter per size: the growth of the
process's peak resident set (VmHWM, reset through /proc/self/clear_refs)
during one encode, divided by the message length.
"""

import argparse
import json
import os
import platform
import random
import resource
import subprocess
import sys
import textwrap
import timeit
import zlib

from quillbank.aztec.encoder import Encoder

SEED = 24778
KB = 1024

# ---------------------------------------------------------------------------
# Messages

_WORDS = (
    "the of and to in is was for on that with as by at from this be are or it an which "
    "ticket label boarding pass gate seat flight passenger baggage check departure arrival "
    "terminal service number code order delivery parcel address street city station route "
    "platform carriage economy business class reference booking issued valid until printed"
).split()


def english_text(length, rng):
    """Sentences of words, capitalised, with numbers, commas, full stops,
    the occasional question mark, colon or parenthesis, and CR LF breaks."""
    out = []
    size = 0
    while size < length:
        words = []
        for i in range(rng.randint(5, 16)):
            r = rng.random()
            if r < 0.12:
                word = str(rng.randint(0, 99999))
            elif r < 0.16:
                word = rng.choice(_WORDS).upper()
            else:
                word = rng.choice(_WORDS)
            if i == 0:
                word = word.capitalize()
            elif rng.random() < 0.08:
                word += ","
            elif rng.random() < 0.03:
                word = "(" + word + ")"
            words.append(word)
        end = rng.choice([". ", ". ", ". ", "? ", ": ", ".\r\n"])
        sentence = " ".join(words) + end
        out.append(sentence)
        size += len(sentence)
    return "".join(out).encode("ascii")[:length]


def digits_only(length, rng):
    return bytes(rng.choice(b"0123456789") for _ in range(length))


def high_bytes(length, rng):
    return bytes(rng.randint(0x80, 0xFF) for _ in range(length))


# Pieces that give many candidates of equal cost: characters held by several
# modes, both letter cases, pairs and single punctuation, and é (two bytes of
# 0x80 and above in UTF-8).
_TIE_PIECES = (
    [bytes([c]) for c in b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"]
    + [b",", b".", b"!", b"@", b" ", b" ", b"\r", b". ", b"\r\n", "\u00e9".encode("utf-8")]
)


def tie_mix(length, rng):
    out = bytearray()
    while len(out) < length:
        out += rng.choice(_TIE_PIECES)
    return bytes(out[:length])


def boarding_pass():
    """A 100-byte message shaped like a bar-coded boarding pass."""
    message = (
        b"M1DESMARAIS/LUC       EABC123 YULFRAAC 0834 326J001A0025 14D>5180"
        b"  B1A              2A01234567890 1AC"
    )
    return message.ljust(100, b" ")[:100]


THROUGHPUT_CASES = [
    ("english text", english_text),
    ("digits only", digits_only),
    ("bytes >= 0x80", high_bytes),
    ("tie-heavy mix", tie_mix),
]

GROWTH_SIZES = [1, 2, 4, 8, 16, 32, 64, 128, 256]  # KB
MEMORY_SIZE = 256 * KB  # peak memory of each kind of message at this length

# ---------------------------------------------------------------------------
# Timing


def best_time(stmt, namespace, target_seconds, repeats):
    """Seconds per execution of `stmt`: the best of `repeats` runs of a loop
    sized to take about `target_seconds`."""
    timer = timeit.Timer(stmt, globals=namespace)
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= target_seconds / 5 or number >= 1 << 24:
            break
        number *= 2
    number = max(1, int(number * target_seconds / max(elapsed, 1e-9) / 5))
    return min(timer.repeat(repeats, number)) / number


def measure_throughput(name, data, settings):
    encoder = Encoder()
    namespace = {"encode": encoder.encode, "crc32": zlib.crc32, "data": data}
    # Interleave the two so that both see the same machine.
    encode_times, crc_times = [], []
    for _ in range(settings["rounds"]):
        encode_times.append(best_time("encode(data)", namespace, settings["target"], 3))
        crc_times.append(best_time("crc32(data)", namespace, settings["target"], 3))
    t_encode, t_crc = min(encode_times), min(crc_times)
    return {
        "case": name,
        "bytes": len(data),
        "seconds_per_call": t_encode,
        "mb_per_s": len(data) / t_encode / 1e6,
        "crc32_seconds": t_crc,
        "crc32_mb_per_s": len(data) / t_crc / 1e6,
        "ratio_to_crc32": t_encode / t_crc,
    }


def measure_call(data, as_bits, settings):
    encoder = Encoder()
    namespace = {"encode": encoder.encode, "data": data, "as_bits": as_bits}
    stmt = "encode(data, None, as_bits)"
    call_times, bytes_times = [], []
    for _ in range(settings["rounds"]):
        call_times.append(best_time(stmt, namespace, settings["target"], 5))
        bytes_times.append(best_time("bytes(data)", namespace, settings["target"], 5))
    t_call, t_bytes = min(call_times), min(bytes_times)
    return {
        "case": "boarding pass, asBits=%s" % as_bits,
        "bytes": len(data),
        "seconds_per_call": t_call,
        "bytes_call_seconds": t_bytes,
        "ratio_to_bytes_call": t_call / t_bytes,
    }


# One encode in a fresh interpreter; prints the message length and the
# growth of the peak resident set in bytes.
_PEAK_SCRIPT = textwrap.dedent(
    """
    import random, sys
    sys.path.insert(0, %(bench_dir)r)
    import encoder as bench
    from quillbank.aztec.encoder import Encoder

    def status(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024

    make = dict(bench.THROUGHPUT_CASES)[%(case)r]
    data = make(%(size)d, random.Random(bench.SEED))
    e = Encoder()
    e.encode(b"warm up")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS")
    e.encode(data)
    print(len(data), status("VmHWM") - before)
    """
)


def measure_peak(size, case="english text"):
    script = _PEAK_SCRIPT % {
        "bench_dir": os.path.dirname(os.path.abspath(__file__)), "size": size, "case": case}
    try:
        out = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, check=True,
            cwd=os.path.dirname(os.path.abspath(__file__)),  # keeps a source tree off sys.path
        ).stdout.split()
    except (subprocess.CalledProcessError, OSError):
        return None
    return max(int(out[1]), 0)


def page_faults_per_kb(function, data, calls=4):
    """Minor page faults per KB of message of one call, after a warm-up call:
    above zero when the call gives storage back and takes it again."""
    function(data)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(calls):
        function(data)
    return (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / calls / (len(data) / KB)


def measure_growth(settings):
    encoder = Encoder()
    messages = {kb: english_text(kb * KB, random.Random(SEED)) for kb in settings["sizes"]}
    encode_times = {kb: [] for kb in messages}
    fresh_times = {kb: [] for kb in messages}
    crc_times = {kb: [] for kb in messages}
    # Rounds over all the sizes, so that a busy moment of the machine does
    # not fall on one size only; the best of the rounds counts.
    for _ in range(settings["rounds"]):
        for kb, data in messages.items():
            namespace = {"encode": encoder.encode, "Encoder": Encoder, "crc32": zlib.crc32, "data": data}
            target = settings["target"] * (1 if kb <= 16 else 2)
            encode_times[kb].append(best_time("encode(data)", namespace, target, 3))
            fresh_times[kb].append(best_time("Encoder().encode(data)", namespace, target, 3))
            crc_times[kb].append(best_time("crc32(data)", namespace, target, 3))
    rows = []
    for kb, data in messages.items():
        t_encode, t_fresh, t_crc = min(encode_times[kb]), min(fresh_times[kb]), min(crc_times[kb])
        peak = measure_peak(len(data)) if settings["memory"] else None
        rows.append(
            {
                "kb": kb,
                "bytes": len(data),
                "seconds_per_call": t_encode,
                "ns_per_byte": t_encode / len(data) * 1e9,
                "fresh_ns_per_byte": t_fresh / len(data) * 1e9,
                "page_faults_per_kb": page_faults_per_kb(encoder.encode, data),
                "ratio_to_crc32": t_encode / t_crc,
                "peak_bytes": peak,
                "peak_bytes_per_message_byte": None if peak is None else peak / len(data),
            }
        )
    return rows


# ---------------------------------------------------------------------------
# Report


def print_report(report):
    print("quillbank.aztec.encoder benchmark (%s, Python %s)" % (platform.machine(), platform.python_version()))
    print()
    print("Throughput, 4 KB messages (yardstick: zlib.crc32 on the same bytes)")
    print("  %-16s %10s %12s %12s %10s" % ("message", "MB/s", "us/call", "crc32 MB/s", "x crc32"))
    for row in report["throughput"]:
        print(
            "  %-16s %10.1f %12.2f %12.1f %10.1f"
            % (row["case"], row["mb_per_s"], row["seconds_per_call"] * 1e6,
               row["crc32_mb_per_s"], row["ratio_to_crc32"])
        )
    print()
    print("One call, 100-byte boarding pass (yardstick: bytes() of the message)")
    print("  %-28s %10s %12s %10s" % ("call", "us/call", "bytes() us", "x bytes()"))
    for row in report["call"]:
        print(
            "  %-28s %10.3f %12.4f %10.1f"
            % (row["case"], row["seconds_per_call"] * 1e6, row["bytes_call_seconds"] * 1e6,
               row["ratio_to_bytes_call"])
        )
    print()
    print("Growth with length, English text")
    print("  %8s %12s %10s %12s %10s %10s %14s" % (
        "KB", "ms/call", "ns/byte", "fresh ns/B", "faults/KB", "x crc32", "peak B/byte"))
    for row in report["growth"]:
        peak = row["peak_bytes_per_message_byte"]
        print(
            "  %8d %12.3f %10.2f %12.2f %10.2f %10.1f %14s"
            % (row["kb"], row["seconds_per_call"] * 1e3, row["ns_per_byte"], row["fresh_ns_per_byte"],
               row["page_faults_per_kb"], row["ratio_to_crc32"], "-" if peak is None else "%.1f" % peak)
        )
    if any(r["peak_bytes"] is not None for r in report["growth"]):
        print("  (peak memory below 16 KB is at the resolution of 4 KB pages and of the")
        print("  allocator's growth steps)")
    if report["memory"]:
        print()
        print("Peak memory of one encode, %d KB messages" % (MEMORY_SIZE // KB))
        print("  %-16s %12s %14s" % ("message", "peak MB", "peak B/byte"))
        for row in report["memory"]:
            peak = row["peak_bytes"]
            print("  %-16s %12s %14s" % (
                row["case"], "-" if peak is None else "%.2f" % (peak / 1e6),
                "-" if peak is None else "%.1f" % row["peak_bytes_per_message_byte"]))
    summary = report["summary"]
    if "growth_4k_to_64k" in summary:
        print()
        print("  time(64 KB) / time(4 KB) = %.2f (16 is linear)" % summary["growth_4k_to_64k"])
    for kb in (64, 256):
        if "per_byte_%dk_over_4k" % kb in summary:
            print("  ns/byte at %d KB / at 4 KB = %.2f reused, %.2f fresh (target <= 1.3)" % (
                kb, summary["per_byte_%dk_over_4k" % kb], summary["fresh_per_byte_%dk_over_4k" % kb]))
    if "reused_over_fresh_256k" in summary:
        print("  reused / fresh at 256 KB = %.2f (target <= 1)" % summary["reused_over_fresh_256k"])
    if summary.get("max_peak_bytes_per_message_byte") is not None:
        print("  largest peak memory per message byte (%d KB messages): %.1f"
              % (MEMORY_SIZE // KB, summary["max_peak_bytes_per_message_byte"]))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", metavar="PATH", help="also write the figures to PATH as JSON")
    parser.add_argument("--quick", action="store_true", help="shorter timings, for a smoke run")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak memory runs")
    args = parser.parse_args(argv)

    settings = {
        "target": 0.05 if args.quick else 0.2,
        "rounds": 1 if args.quick else 3,
        "sizes": GROWTH_SIZES,
        "memory": not args.no_memory,
    }
    report = {"python": platform.python_version(), "machine": platform.machine(),
              "throughput": [], "call": [], "growth": [], "memory": []}
    for name, make in THROUGHPUT_CASES:
        data = make(4 * KB, random.Random(SEED))
        report["throughput"].append(measure_throughput(name, data, settings))
    message = boarding_pass()
    for as_bits in (False, True):
        report["call"].append(measure_call(message, as_bits, settings))
    report["growth"] = measure_growth(settings)
    if settings["memory"]:
        for name, _ in THROUGHPUT_CASES:
            peak = measure_peak(MEMORY_SIZE, name)
            report["memory"].append({
                "case": name, "bytes": MEMORY_SIZE, "peak_bytes": peak,
                "peak_bytes_per_message_byte": None if peak is None else peak / MEMORY_SIZE})

    by_kb = {row["kb"]: row for row in report["growth"]}
    summary = {}
    if 4 in by_kb and 64 in by_kb:
        summary["growth_4k_to_64k"] = by_kb[64]["seconds_per_call"] / by_kb[4]["seconds_per_call"]
    for kb in (64, 256):
        if 4 in by_kb and kb in by_kb:
            for key, column in (("per_byte", "ns_per_byte"), ("fresh_per_byte", "fresh_ns_per_byte")):
                summary["%s_%dk_over_4k" % (key, kb)] = by_kb[kb][column] / by_kb[4][column]
    if 256 in by_kb:
        summary["reused_over_fresh_256k"] = by_kb[256]["ns_per_byte"] / by_kb[256]["fresh_ns_per_byte"]
    peaks = [r["peak_bytes_per_message_byte"] for r in report["memory"]
             if r["peak_bytes_per_message_byte"] is not None]
    summary["max_peak_bytes_per_message_byte"] = max(peaks) if peaks else None
    report["summary"] = summary

    print_report(report)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=2)
            f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
