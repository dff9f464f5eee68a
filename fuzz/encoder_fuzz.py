#!/usr/bin/env python3
"""Coverage-guided fuzzing of the whole public surface with atheris.

Each input picks one target and one call of it (fuzz/targets.py,
fuzz/pictures_target.py, fuzz/gs1_target.py and fuzz/cli_target.py say what each draws and
checks):

  * make (every option: eci, encoding, ec_percent, compact, layers,
    optimal; messages in every form, hostile ones included), rune;
  * every picture: save to a file, a BytesIO, a StringIO, a raw stream
    taking short writes and a failing one, with every kind and random
    option values (scale, border, dark, light, module_size, unit, dpi,
    title, desc, classes, ...); svg(), png(), terminal(), the data URIs,
    svg_inline, to_numpy and matrix_iter;
  * encode_optimal and encode_optimal_segments (random flags), and GS1
    content (gs1.parse) with the stream that carries its FNC1 flags;
  * Encoder().encode with any data, eci and asBits, hostile objects and
    re-entrant calls included;
  * the command line's main: argument lists from a grammar of its options,
    random standard input, output captured, -o, sequences and --batch
    files in a scratch folder.

A call succeeds with a correct result (streams decode back with
tests/stream_decoder.py, pictures hold the symbol, one symbol in 20 is read
back with zxing-cpp) or raises a documented error; a failed call writes
nothing.  Anything else escapes and is reported as a crash.

The suite (tests/test_fuzz.py) drives the same targets with hypothesis and
runs this file for a fixed budget.  The long run, against the installed
package, from the repository root:

    nice -n 10 python -P fuzz/encoder_fuzz.py -max_total_time=600 -print_final_stats=1
    python -P fuzz/encoder_fuzz.py -runs=200000 -only_target=main   # some targets

Any libFuzzer option works; a failing input is written to crash-* and
reproduces with `python -P fuzz/encoder_fuzz.py crash-...`.  The
`-only_target=NAME,...` option (names of targets.TARGETS) is this
script's own.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
for folder in (HERE, os.path.join(os.path.dirname(HERE), "tests")):
    if folder not in sys.path:
        sys.path.insert(0, folder)

import atheris  # noqa: E402

TARGETS = {}
NAMES = ()


def one_input(data):
    from choices import AtherisChoices

    choices = AtherisChoices(atheris.FuzzedDataProvider(data))
    TARGETS[choices.pick(NAMES)](choices)


def main():
    global TARGETS, NAMES
    argv = [a for a in sys.argv if not a.startswith("-only_target=")]
    only = [name for a in sys.argv if a.startswith("-only_target=") for name in a.split("=", 1)[1].split(",")]
    if not any(a.startswith("-max_len=") for a in argv):
        argv.append("-max_len=4096")
    atheris.Setup(argv, one_input)
    # Python-level coverage of the package, the reference decoder and the
    # targets guides the search; the C++ code is not instrumented by the
    # project's build, so there the comparison hooks are what it has.
    try:  # imported first, so not instrumented: the search is about our code
        import numpy  # noqa: F401
        import zxingcpp  # noqa: F401
    except ImportError:
        pass
    with atheris.instrument_imports():
        import stream_decoder  # noqa: F401
        import quillbank.aztec.builder  # noqa: F401
        import quillbank.aztec.charsets  # noqa: F401
        import quillbank.aztec.cli  # noqa: F401
        import quillbank.aztec.writers  # noqa: F401
        import quillbank.aztec.reading  # noqa: F401
        import targets
        import pictures_target  # noqa: F401
        import gs1_target  # noqa: F401
        import cli_target  # noqa: F401
        import reader_target  # noqa: F401
    TARGETS = targets.TARGETS
    NAMES = tuple(sorted(TARGETS)) if not only else tuple(only)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
