"""Measurement: does bit stuffing ever make a longer stream the smaller symbol?

make() puts a shortest data bit stream into the symbol.  Bit stuffing adds
a bit to every codeword whose other bits are all 0 or all 1, so a stream a
few bits longer could, in principle, be cut into fewer codewords than the
shortest one, and fit a smaller symbol.  This script counts how often that
happens:

- exhaustively: every valid stream of every message up to a length over a
  small alphabet that mixes the modes (every stream enumerated, cut into
  codewords by the library's own stuffing, _test_hooks.stuffed_words);
- on a large random corpus: for each message and codeword width, the fewest
  codewords of any stream, by a shortest-path search whose state is
  (position, mode, bits in the open codeword, whether those bits are all 0,
  all 1 or mixed), against the codewords of the shortest stream (the search
  is tests/codeword_reference.py, the tests' reference);
- the exact choice that make can use (_test_hooks.smallest_symbol, the C++
  chooseSmallestSymbol): how often its symbol is smaller than the shortest
  stream's on larger random corpora, its slowest call, and its cost against
  today's path on typical payloads.

Streams that start with M/L U/L are not counted: a decoder reads them as
the mark of a structured-append symbol.

For each message it compares the smallest symbol (23% error correction)
that the shortest stream fits with the smallest that the best stream for
codewords would fit.  The streams of both counts use the code choices of
tests/reference_search.py (characters, shortest latches and single latch
codes, shifts, punctuation pairs, binary shift runs of every length), and
the exhaustive pass checks the search against enumeration.  ECI is not
used.  Run from the repository root against the package installed with
its test hooks (the README's test command):

    python bench/stuffing.py [--quick] [--json FILE]
"""

import argparse
import itertools
import json
import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

import reference_search as ref  # noqa: E402  (the tests' code tables)
from codeword_reference import fewest_words, steps, token_bits  # noqa: E402
from quillbank.aztec import _aztec, _test_hooks  # noqa: E402
from quillbank.aztec.optimal import encode_optimal, encode_optimal_stream  # noqa: E402

EC_PERCENT = 23
WIDTHS = (6, 8, 10, 12)
# Symbol shapes in order of side, compact first at equal sides.
SHAPES = sorted([(True, n) for n in range(1, 5)] + [(False, n) for n in range(1, 33)],
                key=lambda shape: (_aztec.capacity(shape[0], shape[1], EC_PERCENT)[0], not shape[0]))
CAPACITY = [_aztec.capacity(compact, layers, EC_PERCENT) for compact, layers in SHAPES]

# ---------------------------------------------------------------------------
# Exhaustive: every stream of a short message


# M/L U/L: a stream that starts so is read as a structured-append symbol's.
APPEND_MARK = token_bits([(5, 29), (5, 29)])


def all_streams(message, limit):
    """Every stream of at most `limit` bits, as tuples of bits.  Latch codes
    can cycle, so the bound keeps the enumeration finite; the exhaustive
    pass checks that the unbounded search finds no fewer codewords than the
    streams within the bound."""
    found = set()

    def walk(i, mode, bits):
        if len(bits) > limit:
            return
        if i == len(message) and bits[:10] != APPEND_MARK:
            found.add(tuple(bits))
        for tokens, j, target in steps(message, i, mode):
            walk(j, target, bits + token_bits(list(tokens)))

    walk(0, ref.UPPER, [])
    return found


# ---------------------------------------------------------------------------
# Symbols


def smallest_side(words_by_width):
    for (size, width, _, most) in CAPACITY:
        if words_by_width[width] <= most:
            return size
    return None


def compare(message):
    """(side of the shortest stream, side of the best stream for codewords,
    widths where the best stream takes fewer codewords)."""
    bits = encode_optimal(message, asBits=True)
    shortest = {w: len(_test_hooks.stuffed_words(bits, w)) for w in WIDTHS}
    side = smallest_side(shortest)
    # Only the widths of symbols no larger than the shortest stream's can
    # change the symbol; the others keep the shortest stream's count.
    widths = {width for size, width, _, _ in CAPACITY if side is None or size <= side}
    fewest = {w: fewest_words(message, w) if w in widths else shortest[w] for w in WIDTHS}
    assert all(fewest[w] <= shortest[w] for w in WIDTHS), (message, shortest, fewest)
    return smallest_side(shortest), smallest_side(fewest), [w for w in WIDTHS if fewest[w] < shortest[w]]


def exhaustive(alphabet, longest, slack):
    """Every message over `alphabet` up to `longest` bytes: enumerate its
    streams and check the search against them."""
    counts = {"messages": 0, "streams": 0, "fewer_words": 0, "smaller_symbol": 0}
    for n in range(1, longest + 1):
        for letters in itertools.product(alphabet, repeat=n):
            message = bytes(letters)
            bits = encode_optimal(message, asBits=True)
            streams = all_streams(message, len(bits) + slack)
            counts["messages"] += 1
            counts["streams"] += len(streams)
            assert min(map(len, streams)) == len(bits), message  # the steps reach the shortest stream
            enumerated = {w: min(len(_test_hooks.stuffed_words(list(s), w)) for s in streams) for w in WIDTHS}
            shortest = {w: len(_test_hooks.stuffed_words(bits, w)) for w in WIDTHS}
            searched = {w: fewest_words(message, w) for w in WIDTHS}
            assert enumerated == searched, (message, enumerated, searched)
            if any(enumerated[w] < shortest[w] for w in WIDTHS):
                counts["fewer_words"] += 1
            if smallest_side(enumerated) != smallest_side(shortest):
                counts["smaller_symbol"] += 1
    return counts


PIECES = [b"A", b"B", b"a", b"b", b"0", b"1", b" ", b".", b",", b"\r\n", b". ", b"@", b"!", b"\x01",
          b"\x80", b"\xff", b"Z", b"z", b"9", b":"]


def random_corpus(count, longest, rng):
    """Mixed pieces of every mode, random bytes and printable ASCII."""
    counts = {"messages": 0, "fewer_words": 0, "smaller_symbol": 0, "examples": []}
    for _ in range(count):
        kind = rng.random()
        if kind < 0.4:
            message = b"".join(rng.choice(PIECES) for _ in range(rng.randint(1, longest // 2)))[:longest]
        elif kind < 0.7:
            message = bytes(rng.randrange(256) for _ in range(rng.randint(1, longest)))
        else:
            message = bytes(rng.randrange(32, 127) for _ in range(rng.randint(1, longest)))
        side, better, widths = compare(message)
        counts["messages"] += 1
        counts["fewer_words"] += bool(widths)
        if side != better:
            counts["smaller_symbol"] += 1
            if len(counts["examples"]) < 5:
                counts["examples"].append({"message": message.hex(), "side": side, "could_be": better})
    return counts


def prove(message, side):
    """For a short message, a symbol of `side` modules that zxing-cpp reads
    back: from the enumerated stream with the fewest codewords at that
    side's width.  None when no stream within the bound gives one."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
    from symbol_pictures import modules_gray, read

    shortest = len(encode_optimal(message, asBits=True))
    for (compact, layers), (size, width, _, _) in zip(SHAPES, CAPACITY):
        if size != side:
            continue
        for stream in sorted(all_streams(message, shortest + 8), key=len):
            built = _test_hooks.build([bool(b) for b in stream], int(compact), layers, EC_PERCENT)
            if built is not None and read(modules_gray(built[5], built[2])) == (message, None):
                return {"stream_bits": len(stream), "shortest_bits": shortest, "compact": compact, "layers": layers}
    return None


# ---------------------------------------------------------------------------
# The exact choice (_test_hooks.smallest_symbol): how often it changes the
# symbol, and what it costs


def random_message(rng, longest):
    """Mixed pieces of every mode, random bytes or printable ASCII."""
    kind = rng.random()
    if kind < 0.4:
        return b"".join(rng.choice(PIECES) for _ in range(rng.randint(1, longest // 2)))[:longest]
    if kind < 0.7:
        return bytes(rng.randrange(256) for _ in range(rng.randint(1, longest)))
    return bytes(rng.randrange(32, 127) for _ in range(rng.randint(1, longest)))


def zero_heavy(rng, longest):
    """Binary data that is mostly zero bytes (stuffing is frequent)."""
    return bytes(rng.randrange(256) if rng.random() < 0.3 else 0 for _ in range(rng.randint(1, longest)))


def today_side(message):
    packed, bit_count = encode_optimal_stream(message)
    return _aztec.build(packed, bit_count, ec_percent=EC_PERCENT).size


def chosen_side(message):
    """The side of the exact choice's symbol, None when none holds the message."""
    chosen = _test_hooks.smallest_symbol(message, ec_percent=EC_PERCENT)
    if chosen is None:
        return None
    packed, bit_count, compact, layers = chosen
    return _aztec.build(packed, bit_count, compact=compact, layers=layers, ec_percent=EC_PERCENT).size


def exact_choice(corpora):
    """For each (name, count, make message): messages whose symbol is smaller
    with the exact choice, never larger, and the slowest choice."""
    results = {}
    chosen_side(b"A")  # the per-width tables are built on first use, once
    for name, count, make_message in corpora:
        changed, slowest, slow = 0, (0.0, 0), 0
        for _ in range(count):
            message = make_message()
            started = time.perf_counter()
            side = chosen_side(message)
            spent = time.perf_counter() - started
            if side is None:  # no symbol holds it; today's path refuses it too
                continue
            before = today_side(message)
            assert side <= before, message
            changed += side < before
            slowest = max(slowest, (spent, len(message)))
            slow += spent > 0.01
        results[name] = {"messages": count, "smaller_symbol": changed,
                         "slowest_ms": slowest[0] * 1e3, "slowest_length": slowest[1], "over_10_ms": slow}
    return results


def best_time(function, rounds=7, calls=200):
    best = float("inf")
    for _ in range(rounds):
        started = time.perf_counter()
        for _ in range(calls):
            function()
        best = min(best, (time.perf_counter() - started) / calls)
    return best


def choice_cost(payloads):
    """Microseconds per symbol: today's path (shortest stream, then the
    symbol writer's choice) against the exact choice, both laying out."""
    def today(message):
        packed, bit_count = encode_optimal_stream(message)
        _aztec.build(packed, bit_count, ec_percent=EC_PERCENT)

    def exact(message):
        packed, bit_count, compact, layers = _test_hooks.smallest_symbol(message, ec_percent=EC_PERCENT)
        _aztec.build(packed, bit_count, compact=compact, layers=layers, ec_percent=EC_PERCENT)

    return {name: {"today_us": best_time(lambda: today(message)) * 1e6,
                   "exact_us": best_time(lambda: exact(message)) * 1e6}
            for name, message in payloads.items()}


def typical_payloads(rng):
    return {
        "boarding pass": (b"M1DESMARAIS/LUC       EABC123 YULFRAAC 0834 326J001A0025 100^164GIWVC5EH7JNT684FVNJ91W2QA4DVN"
                          b"5J8K4F0L0GEQ3DF5TGBN8709HKT5D3DW3GBHFCV")[:100],
        "URL": b"https://www.example.com/products/item?id=1234567890&ref=newsletter",
        "32 GS1 digits": b"01095011015300031725123110123456",
        "random 500 bytes": bytes(rng.randrange(256) for _ in range(500)),
        "random 1,500 bytes": bytes(rng.randrange(256) for _ in range(1500)),
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller search, for a smoke run")
    parser.add_argument("--json", metavar="FILE", help="also write the counts as JSON")
    args = parser.parse_args(argv)
    started = time.perf_counter()
    alphabet = b"Aa0 .\r\n\x80"  # Upper, Lower, Digit, space in four modes, Punct and a pair, Mixed, binary
    report = {
        "exhaustive": exhaustive(alphabet, 2 if args.quick else 3, slack=8),
        "random": random_corpus(60 if args.quick else 1000, 24 if args.quick else 48, random.Random(24778)),
    }
    report["longest"] = 24 if args.quick else 48
    rng = random.Random(14)
    count = 200 if args.quick else 20000
    report["exact_choice"] = exact_choice([
        ("random 1-48 bytes", count, lambda: random_message(rng, 48)),
        ("random 1-400 bytes", count // 10, lambda: random_message(rng, 400)),
        ("zero-heavy binary 1-1500 bytes", count // 100, lambda: zero_heavy(rng, 1500)),
        ("zero-heavy binary 1-1900 bytes", count // 100, lambda: zero_heavy(rng, 1900)),
    ])
    report["choice_cost"] = choice_cost(typical_payloads(rng))
    report["seconds"] = time.perf_counter() - started
    e, r = report["exhaustive"], report["random"]
    print(f"Exhaustive: {e['messages']} messages over {alphabet!r} ({e['streams']} streams enumerated): "
          f"{e['fewer_words']} have a stream with fewer codewords than the shortest at some width, "
          f"{e['smaller_symbol']} a smaller symbol")
    print(f"Random: {r['messages']} messages of 1 to {report['longest']} bytes: {r['fewer_words']} with fewer codewords "
          f"at some width, {r['smaller_symbol']} with a smaller symbol (23% error correction)")
    for example in r["examples"]:
        message = bytes.fromhex(example["message"])
        proof = prove(message, example["could_be"]) if len(message) <= 8 else None
        example["proof"] = proof
        shown = (f"; a {proof['stream_bits']}-bit stream (shortest {proof['shortest_bits']}) makes a "
                 f"{'compact' if proof['compact'] else 'full'} {proof['layers']}-layer symbol that "
                 f"zxing-cpp reads back") if proof else ""
        print(f"  e.g. {message!r}: side {example['side']}, could be {example['could_be']}{shown}")
    for name, counts in report["exact_choice"].items():
        print(f"Exact choice, {name}: {counts['smaller_symbol']} of {counts['messages']} get a smaller symbol "
              f"(none larger); slowest choice {counts['slowest_ms']:.1f} ms ({counts['slowest_length']} bytes), "
              f"{counts['over_10_ms']} over 10 ms")
    for name, cost in report["choice_cost"].items():
        print(f"  {name}: {cost['today_us']:.1f} us today, {cost['exact_us']:.1f} us with the exact choice")
    print(f"({report['seconds']:.0f} s)")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=2)
            f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
