"""Benchmark of writing batches of files: save_many() of boarding passes to
PNG, durable (the default) and with durable=False, against make_many() plus a
plain open().write() of each picture, which syncs nothing.

    python bench/files.py [--count 4000] [--dir FOLDER] [--repeat 5] [--json FILE]

FOLDER (default: a new folder in the system's temporary folder) should be
on a disk, not in memory (tmpfs), for the durable figures to mean anything.
The goal is durable save_many at most twice the plain writes.
"""

import os
import random
import shutil
import sys
import tempfile
import time

import quillbank.aztec as aztec

import report


def boarding_passes(count):
    """IATA BCBP-like strings, one passenger each."""
    rng = random.Random(24)
    letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    passes = []
    for i in range(count):
        name = "".join(rng.choice(letters) for _ in range(rng.randrange(4, 12)))
        passes.append(f"M1{name + '/' + rng.choice(letters) * 3:<20}E{rng.randrange(10**6):06d} "
                      f"LHRJFKBA {rng.randrange(1, 9999):04d} {rng.randrange(1, 366):03d}Y"
                      f"{rng.randrange(1, 60):03d}{rng.choice('ABCDEF')}{i:05d} 100")
    return passes


def plain(messages, folder):
    for index, symbol in enumerate(aztec.make_many(messages)):
        with open(os.path.join(folder, f"{index}.png"), "wb") as out:
            out.write(symbol.png())


def timed(cases, messages, repeat, root):
    """The best of ``repeat`` runs of each case, each run into a new empty
    folder; the cases take turns, so that a busy moment of the machine
    weighs on all of them alike."""
    best = {}
    for _ in range(repeat):
        for name, function in cases:
            folder = tempfile.mkdtemp(dir=root)
            try:
                began = time.perf_counter()
                function(messages, folder)
                seconds = time.perf_counter() - began
            finally:
                shutil.rmtree(folder)
            best[name] = min(seconds, best.get(name, seconds))
    return best


def main(argv=None):
    parser = report.parser(__doc__, what="runs")
    parser.add_argument("--count", type=int, default=4000, help="files a batch (default 4000)")
    parser.add_argument("--dir", metavar="FOLDER", help="where the folders are made (default: the temporary folder)")
    options = parser.parse_args(argv)
    messages = boarding_passes(options.count)
    cases = [
        ("make_many + open().write()", plain),
        ("save_many, durable", lambda m, folder: aztec.save_many(m, os.path.join(folder, "{index}.png"))),
        ("save_many, durable=False",
         lambda m, folder: aztec.save_many(m, os.path.join(folder, "{index}.png"), durable=False)),
    ]
    best = timed(cases, messages, options.repeat, options.dir)
    rows = [{"case": name, "files": options.count, "seconds": best[name]} for name, _ in cases]
    base = rows[0]["seconds"]
    print(f"{'case':<30} {'seconds':>9} {'x plain':>8}")
    for row in rows:
        row["ratio_to_plain"] = row["seconds"] / base
        print(f"{row['case']:<30} {row['seconds']:>9.3f} {row['ratio_to_plain']:>8.2f}")
    report.write_json(options.json, rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
