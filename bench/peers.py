"""Benchmark: quillbank.aztec against zint (zint-bindings) and zxing-cpp, side by side.

    python -P bench/peers.py                 # the tables
    python -P bench/peers.py --json out.json # the tables, and the figures as JSON
    python -P bench/peers.py --quick         # fewer rounds, messages and a smaller batch: a couple of minutes
    PEERS_QUICK=1 python -P bench/peers.py   # the same

The headline figures time messages new at every call: each payload row is
a set of distinct messages of that kind (the same length and kind of
content), made once and given to every library in the same order, since
our encoder learns per thread and a message repeated again and again
flatters it.  The figures for one message repeated follow, labelled.  The
tail section times each message by single calls (the best of three,
a whole pass apart), beside zint on the same message: near-capacity messages
found by bisection on each payload kind (the starts of a new long message
around every length where the smallest symbol changes; the bisection has
made some of them once before), messages too long for any symbol, and
messages of random length per length band (p50/p99/max).  Our symbols of
the near-capacity messages are read back by zxing-cpp's reader.  Its targets: a refusal at most 3x
zint's time or 0.3 ms, any other message at most 5x zint's time or 0.5 ms,
whichever is larger (zint's time on the same message, refused by it or not).

The peers are used as black boxes through their public Python APIs.  All
three libraries are timed in one run on the same messages, in interleaved
rounds (every payload and library once per round), and the best round of
each counts, so that a busy moment of the shared machine falls on all of
them alike.  A ratio is the peer's time over ours: above 1 we are faster.

What each library is asked (printed with the tables too):
- quillbank.aztec: make(message) with its default 23% error correction,
  the symbol's module bytes (.modules); PNG: .png() at 4 pixels a module
  and a 2-module border.
- zint: one Symbol kept for the run (cleared between messages, its fastest
  use), symbology AZTEC, option_1=2 (23% + 3 codewords), bytes in DATA mode;
  the matrix is its encoded_data; PNG: print() to a memory file at scale 2
  (4 pixels a module) with a 2-module white space all round.
- quillbank.aztec SVG: .svg() at 4 units a module and a 2-module border,
  timed against our own PNG (ratio PNG time / SVG time).
- Batches: make() in a loop, make_many on 1 thread and on every core, and
  the peers' loops, for boarding passes and for 500-byte random messages.
- zxing-cpp: create_barcode(message, Aztec, ec_level="23%"), the matrix as
  to_image(scale=1, add_quiet_zones=False).  zxing-cpp has no PNG writer of
  its own, so it is left out of the PNG table.
A peer that refuses a message at 23% (1,500 random bytes: too many
codewords) is asked for 10% instead (zint option_1=1, zxing-cpp
ec_level="10%"); the table marks it, and a second geometric mean leaves such
messages out.
Every library's symbol of every payload is read back by zxing-cpp's reader
before the timing, and the symbol sides are printed: a library that picks a
larger symbol does more work and says so.
"""

import argparse
import json
import math
import os
import platform
import random
import sys
import time
import zlib

import numpy as np
import zint
import zxingcpp

import quillbank.aztec as aztec

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # -P leaves this folder out
from payloads import boarding_pass  # noqa: E402

SEED = 24778
EC_PERCENT = 23
SCALE = 4
BORDER = 2

# ---------------------------------------------------------------------------
# Payloads


def rail_ticket(length, rng):
    """A ticket of `length` bytes: printable fields with binary signature blocks."""
    out = bytearray()
    while len(out) < length:
        out += (f"#UT01TKT{rng.randrange(10**8):08d}|FROM:{rng.choice(['BERLIN HBF', 'KOELN HBF', 'MUENCHEN'])}"
                f"|TO:{rng.choice(['HAMBURG', 'FRANKFURT(M)', 'STUTTGART'])}|CLASS:{rng.randint(1, 2)}|"
                f"VALID:2026-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}|SIG:").encode("ascii")
        out += bytes(rng.randrange(256) for _ in range(64))
    return bytes(out[:length])


def payloads():
    rng = random.Random(SEED)
    label = "ACME Logistics GmbH\r\nAttn: J. Smith, Dept. 42\r\nIndustriestr. 17\r\nD-70565 Stuttgart\r\nGERMANY"
    json_text = json.dumps({"id": 81723, "user": "jsmith", "items": [{"sku": "A-1029", "qty": 2},
                            {"sku": "B-77", "qty": 1}], "total": 129.95, "paid": True})
    words = "the quick brown fox jumps over lazy dog pack my box with five dozen liquor jugs".split()
    prose = " ".join(rng.choice(words) + str(rng.randrange(100)) for _ in range(2000))
    compressed = zlib.compress(prose.encode("ascii"), 9)
    rows = [
        ("boarding pass", boarding_pass(rng)),
        ("URL", "https://www.example.com/track/shipment?id=1Z999AA10123456784&lang=en-GB#status"),
        ("JSON", json_text),
        ("German UTF-8", "Grüße aus Köln: Die Straßenbahn fährt um 12:30 Uhr über die Brücke."),
        ("Russian UTF-8", "Съешь же ещё этих мягких французских булок, да выпей чаю."),
        ("Chinese UTF-8", "欢迎光临！请在入口处出示您的电子票，谢谢合作。"),
        ("GS1 digits", "01095011015300031725123110123456"),
        ("address label", label),
        ("random 100 B", bytes(rng.randrange(256) for _ in range(100))),
        ("random 500 B", bytes(rng.randrange(256) for _ in range(500))),
        ("random 1500 B", bytes(rng.randrange(256) for _ in range(1500))),
        ("zlib 1 KB", compressed[:1024]),
        ("ticket 1500 B", rail_ticket(1500, rng)),
    ]
    return [(name, data.encode("utf-8") if isinstance(data, str) else data) for name, data in rows]


def variants(name, message, rng, count):
    """`count` distinct messages of the payload's kind: new random bytes,
    boarding passes and tickets; text with a few characters swapped (the
    same characters, so the same kind of content); new digits."""
    if name.startswith("random"):
        return [rng.randbytes(len(message)) for _ in range(count)]
    if name == "boarding pass":
        return [boarding_pass(rng) for _ in range(count)]
    if name.startswith("ticket"):
        return [rail_ticket(len(message), rng) for _ in range(count)]
    if name.startswith("zlib"):
        words = "the quick brown fox jumps over lazy dog pack my box with five dozen liquor jugs".split()
        made = []
        for _ in range(count):
            prose = " ".join(rng.choice(words) + str(rng.randrange(100)) for _ in range(2000))
            made.append(zlib.compress(prose.encode("ascii"), 9)[:len(message)])
        return made
    if name == "GS1 digits":
        return [b"01" + bytes(rng.choice(b"0123456789") for _ in range(len(message) - 2)) for _ in range(count)]
    text = list(message.decode("utf-8"))
    made = []
    for _ in range(count):
        letters = text[:]
        for _ in range(4):
            i, j = rng.randrange(len(letters)), rng.randrange(len(letters))
            letters[i], letters[j] = letters[j], letters[i]
        made.append("".join(letters).encode("utf-8"))
    return made


# ---------------------------------------------------------------------------
# The libraries, as black boxes


def zint_symbol():
    symbol = zint.Symbol()
    symbol.symbology = zint.Symbology.AZTEC
    symbol.option_1 = 2  # 23% + 3 codewords of error correction
    return symbol


class Libraries:
    """Each library's matrix and PNG call, all taking the message bytes."""

    def __init__(self):
        self.matrix_symbol = zint_symbol()
        self.png_symbol = zint_symbol()
        self.png_symbol.output_options = zint.OutputOptions.BARCODE_MEMORY_FILE
        self.png_symbol.outfile = "memory.png"
        self.png_symbol.scale = SCALE / 2  # zint draws a module of a matrix symbol 2 x scale pixels wide
        self.png_symbol.whitespace_width = BORDER
        self.png_symbol.whitespace_height = BORDER
        # Messages a peer refuses at 23% error correction, and is asked to
        # make at 10% instead (found by sides_read_back).
        self.low_ec = {"zint": set(), "zxing-cpp": set()}

    @staticmethod
    def ours(message):
        return aztec.make(message).modules

    def zint(self, message):
        symbol = self.matrix_symbol
        symbol.clear()
        symbol.option_1 = 1 if message in self.low_ec["zint"] else 2
        symbol.encode(message)
        return symbol.encoded_data

    def zxing(self, message):
        level = "10%" if message in self.low_ec["zxing-cpp"] else "23%"
        return zxingcpp.create_barcode(message, zxingcpp.BarcodeFormat.Aztec, ec_level=level).to_image(
            scale=1, add_quiet_zones=False)

    @staticmethod
    def ours_png(message):
        return aztec.make(message).png(scale=SCALE, border=BORDER)

    def zint_png(self, message):
        symbol = self.png_symbol
        symbol.clear()
        symbol.option_1 = 1 if message in self.low_ec["zint"] else 2
        symbol.encode(message)
        symbol.print()
        return bytes(symbol.memfile)

    @staticmethod
    def ours_svg(message):
        return aztec.make(message).svg(scale=SCALE, border=BORDER)

    def matrix_calls(self):
        return {"quillbank": self.ours, "zint": self.zint, "zxing-cpp": self.zxing}

    def png_calls(self):
        return {"quillbank": self.ours_png, "zint": self.zint_png}

    def svg_calls(self):
        """Our SVG against our own PNG: a ratio of 1 or more is SVG at least as fast."""
        return {"quillbank": self.ours_svg, "quillbank PNG": self.ours_png}


def sides_read_back(libraries, message):
    """Each library's symbol side, after checking that zxing-cpp's reader
    reads the message back from it."""
    pictures = {
        "quillbank": _picture(aztec.make(message).modules, aztec.make(message).size),
        "zint": _zint_picture(libraries, message),
        "zxing-cpp": _zxing_picture(libraries, message),
    }
    sides = {}
    for name, picture in pictures.items():
        _read_back(name, picture, message)
        sides[name] = picture.shape[0]
    return sides


def _read_back(name, picture, message):
    image = np.kron(np.pad(picture, BORDER, constant_values=255), np.ones((3, 3), dtype=np.uint8))
    found = zxingcpp.read_barcode(image, formats=zxingcpp.BarcodeFormat.Aztec)
    if found is None or found.bytes != message:
        raise SystemExit(f"{name}'s symbol does not read back as the message")


def _picture(modules, size):
    return np.where(np.frombuffer(modules, dtype=np.uint8).reshape(size, size) == 1, 0, 255).astype(np.uint8)


def _zxing_picture(libraries, message):
    try:
        return np.asarray(libraries.zxing(message))
    except ValueError:  # too long for 23%: ask for 10% and say so
        libraries.low_ec["zxing-cpp"].add(message)
        return np.asarray(libraries.zxing(message))


def _zint_picture(libraries, message):
    symbol = libraries.matrix_symbol
    symbol.clear()
    symbol.option_1 = 2
    try:
        symbol.encode(message)
    except RuntimeError:  # too long for 23%: ask for 10% and say so
        libraries.low_ec["zint"].add(message)
        symbol.clear()
        symbol.option_1 = 1
        symbol.encode(message)
    rows, width = symbol.rows, symbol.width
    packed = np.asarray(symbol.encoded_data, dtype=np.uint8)[:rows]
    bits = np.unpackbits(packed, axis=1, bitorder="little")[:, :width]
    return np.where(bits == 1, 0, 255).astype(np.uint8)


# ---------------------------------------------------------------------------
# Timing


def calls_for(function, argument, target):
    """A call count that takes about `target` seconds."""
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            function(argument)
        elapsed = time.perf_counter() - start
        if elapsed >= target / 4:
            return max(1, int(number * target / elapsed))
        number *= 2


def seconds_per_call(function, argument, number):
    start = time.perf_counter()
    for _ in range(number):
        function(argument)
    return (time.perf_counter() - start) / number


def interleaved(calls, messages, settings):
    """{payload: {library: best seconds per call}} over interleaved rounds."""
    numbers = {(p, lib): calls_for(f, m, settings["target"]) for p, m in messages for lib, f in calls.items()}
    best = {p: {lib: math.inf for lib in calls} for p, _ in messages}
    for _ in range(settings["rounds"]):
        for payload, message in messages:
            for library, function in calls.items():
                seconds = seconds_per_call(function, message, numbers[payload, library])
                best[payload][library] = min(best[payload][library], seconds)
    return best


def interleaved_fresh(calls, sets, settings):
    """{payload: {library: best seconds per call}} where each call gets the
    next message of the payload's set, new to it: every library goes
    through the same set once per round."""
    best = {p: {lib: math.inf for lib in calls} for p, _ in sets}
    for _ in range(settings["rounds"]):
        for payload, messages in sets:
            for library, function in calls.items():
                start = time.perf_counter()
                for message in messages:
                    function(message)
                seconds = (time.perf_counter() - start) / len(messages)
                best[payload][library] = min(best[payload][library], seconds)
    return best


def measure_batch(libraries, settings, kind="boarding passes"):
    """Symbols per second for a batch of boarding passes (or of 500 random
    bytes, a tenth as many), each run of each round on a batch of its own
    (messages new to every call: a batch run twice would flatter the
    thread that made it before)."""
    rng = random.Random(SEED + 1)

    def new_batch():
        if kind == "boarding passes":
            return [boarding_pass(rng) for _ in range(settings["batch"])]
        return [rng.randbytes(500) for _ in range(settings["batch"] // 10)]

    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()

    def loop(function):
        return lambda batch: [function(m) for m in batch]

    runs = {
        "quillbank make() loop": loop(aztec.make),
        "quillbank make_many, 1 thread": lambda batch: aztec.make_many(batch, threads=1),
        f"quillbank make_many, {cores} threads": lambda batch: aztec.make_many(batch, threads=cores),
        "zint loop": loop(libraries.zint),
        "zxing-cpp loop": loop(libraries.zxing),
    }
    best = {name: math.inf for name in runs}
    busy = {name: 0.0 for name in runs}  # cores this process kept busy in the best round: CPU time / wall time
    for _ in range(settings["rounds"]):
        for name, run in runs.items():
            passes = new_batch()
            start, cpu = time.perf_counter(), time.process_time()
            run(passes)
            seconds = time.perf_counter() - start
            if seconds < best[name]:
                best[name], busy[name] = seconds, (time.process_time() - cpu) / seconds
    rates = {name: len(passes) / seconds for name, seconds in best.items()}
    return {"kind": kind, "messages": len(passes), "cores": cores, "symbols_per_second": rates,
            "threads_over_one": rates[f"quillbank make_many, {cores} threads"] / rates["quillbank make_many, 1 thread"],
            "cores_busy": busy[f"quillbank make_many, {cores} threads"], "load_average": os.getloadavg()}


# ---------------------------------------------------------------------------
# The tail: near-capacity messages, messages too long, length bands

BANDS = [(1, 256), (257, 1024), (1025, 2048), (2049, 4600)]
# The targets: at most this many times zint's time on the same message, or
# this many seconds, whichever is larger.
REFUSAL_TARGET = (3, 0.3e-3)
MESSAGE_TARGET = (5, 0.5e-3)


def tail_kinds(rng):
    """{kind: new(n)}: a new message of n bytes of the kind at every call."""
    letters = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 .,-/"

    def text(n):
        return bytes(rng.choice(letters) for _ in range(n))

    def json_tickets(n):
        out = ""
        while len(out) < n:
            out += json.dumps({"id": rng.randrange(10**6), "user": f"u{rng.randrange(10**4)}", "seat": f"{rng.randrange(60)}C",
                               "total": round(rng.random() * 300, 2), "paid": rng.random() < 0.5})
        return out[:n].encode("ascii")

    def utf8(n):
        return "".join(rng.choice("Grüße aus Köln Съешь же ещё 欢迎光临 abc 123") for _ in range(n)).encode("utf-8")[:n]

    def zero_one_runs(n):
        # Binary data whose bits stuff wherever the codewords fall: the
        # class whose smallest symbol is still slow to settle exactly.
        out = b""
        while len(out) < n:
            out += rng.choice([b"\x00" * rng.randrange(1, 12), b"\xff" * rng.randrange(1, 12),
                               rng.randbytes(rng.randrange(1, 6)), b"A"])
        return out[:n]

    return {"text": text, "JSON": json_tickets, "digits": lambda n: bytes(rng.choice(b"0123456789") for _ in range(n)),
            "ticket (text+binary)": lambda n: rail_ticket(n, rng), "UTF-8": utf8, "random": rng.randbytes,
            "00/FF runs": zero_one_runs}


def side_of(message):
    """Our symbol's side, or None when no symbol holds the message."""
    try:
        return aztec.make(message).size
    except aztec.DataOverflowError:
        return None


def sides_by_length(new):
    """The sides our symbols take, smallest first, on the starts of one long
    message of the kind."""
    message = new(4600)
    sides, length = [], 1
    while length <= len(message):
        side = side_of(message[:length])
        if side is None:
            break
        sides.append(side)
        low, high = length, len(message)
        while low < high:  # the longest start of this side
            middle = (low + high + 1) // 2
            low, high = (middle, high) if (side_of(message[:middle]) or 10**6) <= side else (low, middle - 1)
        length = low + 1
    return sides


def near_capacity(new, sides, step):
    """For every `step`th side: a new long message, the longest start of it
    that side holds found by bisection, and the starts one byte shorter, and
    one and two longer (a larger side, or none)."""
    found = []
    for side in sides[::step]:
        message = new(4600)
        low, high = 1, len(message)
        while low < high:
            middle = (low + high + 1) // 2
            low, high = (middle, high) if (side_of(message[:middle]) or 10**6) <= side else (low, middle - 1)
        found += [message[:n] for n in (low - 1, low, low + 1, low + 2) if 0 < n <= len(message)]
    return found


def too_long(new, rng, count):
    """`count` new messages of 2,000 to 5,000 bytes that no symbol holds."""
    found = []
    while len(found) < count:
        message = new(rng.randint(2000, 5000))
        if side_of(message) is None:
            found.append(message)
    return found


def time_one(libraries, messages, rounds=3):
    """[(ours, zint, refused)] seconds per message, each the best of
    `rounds` single calls made a whole pass apart (ours and zint one after
    the other on each message)."""
    ours = [math.inf] * len(messages)
    peer = [math.inf] * len(messages)
    for _ in range(rounds):
        for i, message in enumerate(messages):
            start = time.perf_counter()
            try:
                aztec.make(message)
            except aztec.DataOverflowError:
                pass
            ours[i] = min(ours[i], time.perf_counter() - start)
            symbol = libraries.matrix_symbol
            symbol.clear()
            symbol.option_1 = 2
            start = time.perf_counter()
            try:
                symbol.encode(message)
            except RuntimeError:  # refused at 23%, as we may refuse it: its time counts all the same
                pass
            peer[i] = min(peer[i], time.perf_counter() - start)
    return [(o, z, side_of(m) is None) for o, z, m in zip(ours, peer, messages)]


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def tail_row(timed):
    """p50/p99/max of ours and zint's (ms), and how far the worst message
    is from its target (its time over the target; above 1 is a miss)."""
    def over(o, z, refused):
        factor, floor = REFUSAL_TARGET if refused else MESSAGE_TARGET
        return o / max(factor * z, floor)

    ours = [o for o, _, _ in timed]
    peer = [z for _, z, _ in timed]
    overs = [over(*t) for t in timed]
    return {"messages": len(timed), "refused": sum(r for _, _, r in timed),
            "ours_ms": [percentile(ours, 0.5) * 1e3, percentile(ours, 0.99) * 1e3, max(ours) * 1e3],
            "zint_ms": [percentile(peer, 0.5) * 1e3, percentile(peer, 0.99) * 1e3, max(peer) * 1e3],
            "worst_over_target": max(overs), "misses": sum(v > 1 for v in overs)}


def measure_tail(libraries, settings):
    sections = {"near capacity": {}, "too long for any symbol": {}}
    bands = {f"{low:,}-{high:,} bytes": [] for low, high in BANDS}
    for kind in tail_kinds(random.Random()):
        if settings.get("tail_kinds") and kind not in settings["tail_kinds"]:
            continue
        # A generator of its own a kind, so that a kind's messages are the
        # same whichever kinds are measured with it.
        rng = random.Random(f"{SEED + 2} {kind}")
        new = tail_kinds(rng)[kind]
        sides = sides_by_length(new)
        near = near_capacity(new, sides, settings["side_step"])
        for message in near:
            if side_of(message) is not None:
                symbol = aztec.make(message)
                _read_back("quillbank", _picture(symbol.modules, symbol.size), message)
        sections["near capacity"][kind] = tail_row(time_one(libraries, near))
        sections["too long for any symbol"][kind] = tail_row(
            time_one(libraries, too_long(new, rng, settings["too_long"])))
        for (low, high), band in zip(BANDS, bands.values()):
            band += time_one(libraries, [new(rng.randint(low, high)) for _ in range(settings["per_band"])])
    sections["length bands (every kind measured)"] = {band: tail_row(timed) for band, timed in bands.items()}
    return sections


def print_tail(tail):
    print("Tail: one call a message (best of three a pass apart), zint on the same message at 23% "
          "(its refusal timed as it comes); ms")
    print(f"  targets: a refusal at most {REFUSAL_TARGET[0]}x zint or {REFUSAL_TARGET[1] * 1e3:.1f} ms, any other "
          f"message at most {MESSAGE_TARGET[0]}x zint or {MESSAGE_TARGET[1] * 1e3:.1f} ms; 'worst' is the worst "
          f"message's time over its target (above 1: missed)")
    for title, rows in tail.items():
        print(f"  {title}")
        print(f"    {'':<24} {'msgs':>5} {'refused':>7}   {'ours p50/p99/max':>22}   {'zint p50/p99/max':>22}"
              f" {'worst':>6} {'misses':>6}")
        for name, row in rows.items():
            ours = "/".join(f"{v:.2f}" for v in row["ours_ms"])
            peer = "/".join(f"{v:.2f}" for v in row["zint_ms"])
            print(f"    {name:<24} {row['messages']:>5} {row['refused']:>7}   {ours:>22}   {peer:>22}"
                  f" {row['worst_over_target']:>6.2f} {row['misses']:>6}")
    print()


# ---------------------------------------------------------------------------
# Report


def geometric_mean(values):
    return math.exp(sum(math.log(v) for v in values) / len(values))


def table(title, best, sizes, messages, low_ec):
    peers = [lib for lib in next(iter(best.values())) if lib != "quillbank"]
    rows = []
    for payload, message in messages:
        times = best[payload]
        rows.append({"payload": payload, "bytes": len(message), "sides": sizes[payload],
                     "low_ec": [peer for peer in peers if message in low_ec.get(peer, ())],
                     "us": {lib: t * 1e6 for lib, t in times.items()},
                     "ratio": {peer: times[peer] / times["quillbank"] for peer in peers}})
    means = {peer: geometric_mean([r["ratio"][peer] for r in rows]) for peer in peers}
    alike = {peer: geometric_mean([r["ratio"][peer] for r in rows if peer not in r["low_ec"]])
             for peer in peers}
    return {"title": title, "peers": peers, "rows": rows, "geometric_mean": means,
            "geometric_mean_same_ec": alike}


def print_table(section):
    peers = section["peers"]
    print(section["title"])
    head = f"  {'payload':<15} {'bytes':>5} {'sides':>11} {'us ours':>8}"
    for peer in peers:
        head += f" {'us ' + peer:>12} {'x ' + peer:>11}"
    print(head)
    for row in section["rows"]:
        sides = "/".join(str(row["sides"][lib]) for lib in ["quillbank", *peers])
        line = f"  {row['payload']:<15} {row['bytes']:>5} {sides:>11} {row['us']['quillbank']:>8.2f}"
        for peer in peers:
            line += f" {row['us'][peer]:>12.2f} {row['ratio'][peer]:>10.2f}x"
        if row["low_ec"]:
            line += f"  ({' and '.join(row['low_ec'])} {'refuse' if len(row['low_ec']) > 1 else 'refuses'} it at 23%: asked 10%)"
        print(line)
    line = f"  {'geometric mean':<15} {'':>5} {'':>11} {'':>8}"
    for peer in peers:
        line += f" {'':>12} {section['geometric_mean'][peer]:>10.2f}x"
    print(line)
    if section["geometric_mean_same_ec"] != section["geometric_mean"]:
        line = f"  {'  same EC only':<15} {'':>5} {'':>11} {'':>8}"
        for peer in peers:
            line += f" {'':>12} {section['geometric_mean_same_ec'][peer]:>10.2f}x"
        print(line)
    print()


def print_batch(batch):
    print(f"Batch of {batch['messages']} {batch['kind']} ({batch['cores']} cores), module matrix")
    rates = batch["symbols_per_second"]
    ours = rates["quillbank make() loop"]
    for name, rate in rates.items():
        print(f"  {name:<32} {rate:>10,.0f} symbols/s  {rate / ours:>5.2f}x make() loop")
    print(f"  make_many on {batch['cores']} threads / 1 thread: {batch['threads_over_one']:.2f}x, "
          f"{batch['cores_busy']:.2f} cores busy "
          f"(load average {batch['load_average'][0]:.1f} at the end: other processes take cores too)")
    print()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", metavar="PATH", help="also write the figures to PATH as JSON")
    parser.add_argument("--quick", action="store_true",
                        help="one round, fewer messages, a short batch: a couple of minutes (or PEERS_QUICK=1)")
    parser.add_argument("--tail-only", action="store_true", help="only the tail section")
    parser.add_argument("--tail-kind", action="append", metavar="KIND",
                        help="only this payload kind in the tail (repeatable; e.g. '00/FF runs'); the messages of a "
                             "kind are the same as in a full run")
    args = parser.parse_args(argv)
    quick = args.quick or os.environ.get("PEERS_QUICK", "") not in ("", "0")
    settings = {"target": 0.005 if quick else 0.02, "rounds": 2 if quick else 5,
                "batch": 1000 if quick else 10_000, "fresh": 30 if quick else 200,
                "side_step": 4 if quick else 1, "too_long": 10 if quick else 60, "per_band": 15 if quick else 150}

    settings["tail_kinds"] = args.tail_kind
    libraries = Libraries()
    messages = payloads()
    sizes = {payload: sides_read_back(libraries, message) for payload, message in messages}
    print(f"quillbank.aztec {aztec.__version__} against zint-bindings and zxing-cpp "
          f"({platform.machine()}, Python {platform.python_version()}); ratio = peer's time / ours")
    print("Asked: all at 23% error correction, message bytes as they are (no ECI); sides are "
          "quillbank/zint/zxing-cpp in modules.  See the module docstring for the calls.")
    print()
    report = {"python": platform.python_version(), "machine": platform.machine(), "settings": settings}
    if args.tail_only:
        report["tail"] = measure_tail(libraries, settings)
        print_tail(report["tail"])
        return write_json(args.json, report)
    fresh = fresh_sets(libraries, messages, settings["fresh"])
    report["matrix"] = table(f"Module matrix, {settings['fresh']} messages new at every call per payload "
                             f"(the headline)", interleaved_fresh(libraries.matrix_calls(), fresh, settings),
                             sizes, messages, libraries.low_ec)
    print_table(report["matrix"])
    report["matrix_repeated"] = table("Module matrix, one message repeated (flatters our per-thread learning)",
                                      interleaved(libraries.matrix_calls(), messages, settings), sizes, messages,
                                      libraries.low_ec)
    print_table(report["matrix_repeated"])
    png_sizes = {p: {lib: s[lib] for lib in ("quillbank", "zint")} for p, s in sizes.items()}
    report["png"] = table(f"PNG, {SCALE} pixels a module, {BORDER}-module border, messages new at every call",
                          interleaved_fresh(libraries.png_calls(), fresh, settings), png_sizes, messages,
                          libraries.low_ec)
    print_table(report["png"])
    report["svg"] = table(f"SVG against our PNG, {SCALE} units a module, {BORDER}-module border",
                          interleaved(libraries.svg_calls(), messages, settings),
                          {p: {"quillbank": s["quillbank"], "quillbank PNG": s["quillbank"]} for p, s in sizes.items()},
                          messages, {})
    print_table(report["svg"])
    report["batch"] = measure_batch(libraries, settings)
    print_batch(report["batch"])
    report["batch_500"] = measure_batch(libraries, settings, "messages of 500 random bytes")
    print_batch(report["batch_500"])
    report["tail"] = measure_tail(libraries, settings)
    print_tail(report["tail"])
    return write_json(args.json, report)


def fresh_sets(libraries, messages, count):
    """[(payload, messages new to every library)], each checked as the
    base payload is: the first few read back from every library, and the
    ones a peer refuses at 23% asked at 10%, as marked for the base."""
    rng = random.Random(SEED + 3)
    sets = []
    for payload, message in messages:
        made = variants(payload, message, rng, count)
        for variant in made[:3]:
            sides_read_back(libraries, variant)
        for variant in made[3:]:
            _zint_picture(libraries, variant)
            _zxing_picture(libraries, variant)
        sets.append((payload, made))
    return sets


def write_json(path, report):
    if path:
        with open(path, "w") as f:
            json.dump(report, f, indent=2)
            f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
