"""The public C++ library: built and installed with CMake alone (no Python),
used by a consumer project through find_package, and making the same
symbols as the Python package, module for module."""

import os
import random
import shutil
import subprocess

import pytest

import quillbank.aztec as aztec
from quillbank.aztec import _aztec, _test_hooks, sequence_parts, shapes
from quillbank.aztec.segments import Segment, from_gs1, from_segments
from quillbank.aztec.sequence import header

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CONSUMER = os.path.join(REPO, "tests", "cpp", "consumer")


def run(*command, cwd=None, stdin=None):
    done = subprocess.run(command, cwd=cwd, input=stdin, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, " ".join(command) + "\n" + done.stdout + done.stderr
    return done.stdout


@pytest.fixture(scope="module")
def consumer(tmp_path_factory):
    """The consumer project's folder, built against a freshly installed library."""
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.fail("cmake is needed to build the C++ library")
    work = tmp_path_factory.mktemp("cpp_library")
    prefix, build, app = work / "prefix", work / "build", work / "app"
    run(cmake, "-S", REPO, "-B", str(build), "-DQUILLBANK_AZTEC_PYTHON=OFF", "-DQUILLBANK_WERROR=ON")
    run(cmake, "--build", str(build), "-j", "2")
    run(cmake, "--install", str(build), "--prefix", str(prefix))
    # Only the public header is installed; the core's stay private.
    headers = sorted(str(p.relative_to(prefix)) for p in prefix.rglob("*.hpp"))
    assert headers == ["include/quillbank/aztec.hpp"]
    run(cmake, "-S", CONSUMER, "-B", str(app), f"-DCMAKE_PREFIX_PATH={prefix}",
        "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror")
    run(cmake, "--build", str(app), "-j", "2")
    return app


def cpp_results(consumer, lines):
    """The consumer's results for its input lines, one list per line."""
    out = run(str(consumer / "matrices"), stdin="\n".join(lines) + "\n").splitlines()
    return out


def packed_rows(rows):
    """Rows of modules packed as Symbol::packed() holds them: a row in whole
    bytes, its leftmost module in bit 7."""
    packed = bytearray()
    for row in rows:
        bits = "".join("1" if dark else "0" for dark in row)
        bits += "0" * (-len(bits) % 8)
        packed += bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))
    return bytes(packed)


def assert_same(line, symbol):
    """A consumer's "ok ..." line describes `symbol`, module for module: by
    dark(), packed() and modules()."""
    rows = symbol.rows
    expected = (symbol.compact, symbol.layers, symbol.size, symbol.data_words, symbol.check_words)
    fields = line.split()
    assert fields[0] == "ok", line
    compact, layers, size, data, check = map(int, fields[1:6])
    assert (bool(compact), layers, size, data, check) == expected
    modules = "".join("1" if dark else "0" for row in rows for dark in row)
    assert fields[6] == modules
    assert bytes.fromhex(fields[7]) == packed_rows(rows)
    assert fields[8] == modules


def flag_options(flags):
    return [f"fnc1={position}" if eci is None else f"flag={position}:{eci}" for position, eci in flags]


def cases():
    """(consumer line, the Python package's symbol) for each kind of option."""
    rng = random.Random(1924)
    found = [("make " + b"Hello, World".hex(), aztec.make("Hello, World"))]
    for length in (1, 17, 300, 1200):
        data = bytes(rng.randrange(256) for _ in range(length))
        found.append(("make " + data.hex(), aztec.make(data)))
    utf8 = "Zürich HB → Genève".encode()
    found.append(("make eci=26 " + utf8.hex(), aztec.make(utf8, eci=26)))
    segments = from_segments(["abc", Segment("Жук", encoding="iso-8859-5"), b"123"])
    found.append((" ".join(["make", *flag_options(segments.flags), segments.message.hex()]),
                  aztec.make(["abc", Segment("Жук", encoding="iso-8859-5"), b"123"])))
    gs1_text = "(01)09501101530003(17)250101(10)ABC123(21)X1"
    gs1 = from_gs1(gs1_text)
    assert gs1.flags[0] == (0, None)
    found.append((" ".join(["make gs1", *flag_options(gs1.flags[1:]), gs1.message.hex()]),
                  aztec.make(gs1_text, gs1=True)))
    found.append(("make init " + b"SETUP 42".hex(), aztec.make(b"SETUP 42", reader_init=True)))
    found.append(("make init layers=9 " + b"SETUP 42".hex(), aztec.make(b"SETUP 42", reader_init=True, layers=9)))
    for ec, compact, layers in ((0, None, None), (50, False, None), (23, True, 4), (60, None, 20)):
        options = [f"ec={ec}"] + ([f"compact={int(compact)}"] if compact is not None else []) + \
            ([f"layers={layers}"] if layers else [])
        found.append((" ".join(["make", *options, b"ABC-123/xyz".hex()]),
                      aztec.make(b"ABC-123/xyz", ec_percent=ec, compact=compact, layers=layers)))
    # The second part of a sequence of two, as make_sequence makes it.
    text = b"PART ONE|part two"
    parts = sequence_parts.Parts(from_segments([text]), "T42", shapes.Allowed(-1, 0, 23))
    second = parts.build((False, 2), [(0, 9), (9, len(text))])[1]
    found.append(("make seq=2/2/T42 layers=2 compact=0 " + text[9:].hex(), second))
    return found


def test_consumer_symbols_match_the_python_package_module_for_module(consumer):
    made = cases()
    lines = cpp_results(consumer, [line for line, _ in made])
    assert len(lines) == len(made)
    for line, (_, symbol) in zip(lines, made):
        assert_same(line, symbol)


def test_batch_gives_each_message_its_symbol_or_its_error_in_place(consumer):
    rng = random.Random(24)
    messages = [bytes(rng.randrange(256) for _ in range(rng.randrange(1, 45))) for _ in range(150)]
    messages[7] = b""
    messages[90] = bytes(2000)  # too long for 4 compact layers
    for threads in (1, 3, 300):
        line = f"many {threads} compact=1 " + ",".join(m.hex() or "-" for m in messages)
        results = cpp_results(consumer, [line])
        assert len(results) == len(messages)
        for result, message in zip(results, messages):
            if message and len(message) < 2000:
                assert_same(result, aztec.make(message, compact=True))
        assert results[7].startswith("error 2 there is nothing to encode")
        assert results[90].startswith("error 1 the message does not fit")


def test_errors_say_what_python_says(consumer):
    long_message = bytes(range(256)) * 2
    with pytest.raises(aztec.DataOverflowError) as overflow:
        aztec.make(long_message, compact=True)
    refusals = {
        "make ec=100 41": aztec.InvalidOptionError,
        "make compact=1 layers=5 41": aztec.InvalidOptionError,
        "make init layers=23 41": aztec.InvalidOptionError,
        "make eci=1000000 41": aztec.InvalidOptionError,
    }
    lines = cpp_results(consumer, [*refusals, "make compact=1 " + long_message.hex(), "many 2 ec=-1 41",
                                   "fits compact=1 " + long_message.hex(), "fits compact=1 41", "fits ec=100 41"])
    # makeIfFits: nothing where make refuses the length, make's symbol where it fits, make's other errors.
    assert lines[-3] == "none"
    assert_same(lines[-2], aztec.make(b"A", compact=True))
    assert lines[-1] == lines[0]
    # Also where the length alone refuses it, before any encoding (make words an error there).
    too_long = (b"A" * 8000).hex()
    fits, made = cpp_results(consumer, ["fits " + too_long, "make " + too_long])
    assert fits == "none" and made.startswith("error 1 the message does not fit: its 8000 bytes need 20000 bits")
    lines = lines[:-3]
    for line, (case, error) in zip(lines, refusals.items()):
        option = {"ec": "ec_percent", "init": "reader_init"}
        words = case.split()[1:-1]
        kwargs = {}
        for word in words:
            key, _, value = word.partition("=")
            kwargs[option.get(key, key)] = True if not value else bool(int(value)) if key == "compact" else int(value)
        with pytest.raises(error) as raised:
            aztec.make(b"A", **kwargs)
        expected = str(raised.value).replace("reader_init=True", "readerInit").replace("layers=", "layers ")
        assert line == f"error 0 {expected}"
    # The head of the overflow message is Python's, to the codeword.
    head = str(overflow.value).split(", but")[0]
    assert lines[-2].startswith(f"error 1 {head}, but a compact symbol of 4 layers (27x27)")
    assert lines[-1] == "error 0 error correction is 0 to 99 percent, not -1"


def test_pictures_are_the_python_package_s(consumer):
    symbol = aztec.make(b"PNG and SVG")
    ok, *pictures = cpp_results(consumer, ["make pictures " + b"PNG and SVG".hex()])
    assert_same(ok, symbol)
    # Of the symbol, then of its modules as a grid.
    assert len(pictures) == 4
    for png, svg in (pictures[:2], pictures[2:]):
        assert bytes.fromhex(png.split()[1]) == symbol.png()
        assert f'd="{svg.split(" ", 1)[1]}"' in symbol.svg()


def test_random_symbols_read_back(consumer):
    zxingcpp = pytest.importorskip("zxingcpp")
    from symbol_pictures import modules_gray

    rng = random.Random(7)
    messages = [bytes(rng.randrange(256) for _ in range(rng.randrange(1, 600))) for _ in range(12)]
    line = "many 2 ec=33 " + ",".join(m.hex() for m in messages)
    for result, message in zip(cpp_results(consumer, [line]), messages):
        fields = result.split()
        size, modules = int(fields[3]), bytes(int(c) for c in fields[6])
        found = zxingcpp.read_barcodes(modules_gray(modules, size), formats=zxingcpp.BarcodeFormat.Aztec)
        assert len(found) == 1 and found[0].bytes == message


def test_the_documented_example_runs(consumer, tmp_path):
    with open(os.path.join(CONSUMER, "example.cpp"), encoding="utf-8") as source, \
            open(os.path.join(REPO, "docs", "cpp.md"), encoding="utf-8") as page:
        assert "```cpp\n" + source.read() + "```" in page.read()
    out = run(str(consumer / "example"), cwd=str(tmp_path))
    assert "failed: there is nothing to encode: the message is empty" in out
    assert out.count("job: ") == 2
    assert "the message does not fit" in out
    assert (tmp_path / "ticket.png").read_bytes().startswith(b"\x89PNG")


def stream_line(packed, bits):
    return f"stream {bits} {packed.hex()}"


def test_the_steps_of_make_are_the_python_package_s_bit_for_bit(consumer):
    rng = random.Random(19)
    binary = bytes(rng.randrange(256) for _ in range(70))
    text = b"BOARDING PASS 0042 seat 17C / gate B12"
    flags = [(0, 26), (4, None), (9, 3)]
    head = header(2, 3, "ID7")
    shifted = [(position + len(head), value) for position, value in flags]
    cases = [
        ("stream " + text.hex(), stream_line(*_aztec.encode_segments(text))),
        ("stream eci=26 " + binary.hex(), stream_line(*_aztec.encode_stream(binary, 26))),
        (" ".join(["stream seq=2/3/ID7", "flag=0:26", "fnc1=4", "flag=9:3", text.hex()]),
         stream_line(*_aztec.encode_segments(head + text, shifted, True))),
        # The caller's own header: the same stream, its flags counted from the header's first byte.
        (" ".join(["stream header", *flag_options(shifted), (head + text).hex()]),
         stream_line(*_aztec.encode_segments(head + text, shifted, True))),
    ]
    for width in (6, 8, 10, 12):
        packed, bits, words = _test_hooks.fewest_codewords(binary, width, flags)
        assert _aztec.stuffed_count(packed, bits, width) == words
        cases.append((f"fewest {width} flag=0:26 fnc1=4 flag=9:3 {binary.hex()}",
                      f"{stream_line(packed, bits)} {words}"))
    for options, kwargs in (("", {}), ("compact=0 ec=50 ", dict(compact=0, ec_percent=50)),
                            ("init ", dict(reader_init=True))):
        packed, bits, compact, layers = _test_hooks.smallest_symbol(binary, **kwargs)
        cases.append((f"plan {options}{binary.hex()}", f"plan {int(compact)} {layers} {stream_line(packed, bits)}"))
    for value in (0, 37, 255):
        cases.append((f"rune {value}", _aztec.rune(value)))
    for words, width, eci in ((9, 6, None), (20, 8, 26), (0, 10, None)):
        packed, bits, fitting = _aztec.fitting_start(binary, eci, words=words, width=width)
        eci_option = "" if eci is None else f"eci={eci} "
        cases.append((f"fitstart {words} {width} {eci_option}{binary.hex()}", f"{stream_line(packed, bits)} {fitting}"))
    for compact, layers, ec in ((1, 1, 0), (1, 4, 23), (0, 1, 50), (0, 32, 99)):
        cases.append((f"capacity {compact} {layers} {ec}", "capacity %d %d %d %d" % _aztec.capacity(bool(compact), layers, ec)))
    stream = _aztec.encode_stream(text)
    for options, kwargs in (("", {}), ("compact=0 layers=5 ec=10 ", dict(compact=False, layers=5, ec_percent=10)),
                            ("init ", dict(reader_init=True))):
        cases.append((f"layout {options}{stream[1]}:{stream[0].hex()}", _aztec.build(*stream, **kwargs)))
    lines = cpp_results(consumer, [line for line, _ in cases])
    assert len(lines) == len(cases)
    for line, (case, expected) in zip(lines, cases):
        if isinstance(expected, _aztec.Symbol):
            assert_same(line, expected)
        else:
            assert line == expected, case


def test_the_steps_refuse_as_make_does(consumer):
    long_stream = _aztec.encode_stream(bytes(range(256)) * 2)
    assert _aztec.build(*long_stream, compact=True) is None
    lines = cpp_results(consumer, [
        f"layout compact=1 {long_stream[1]}:{long_stream[0].hex()}",
        "layout 12:00",   # 12 bits in one byte
        "rune 256", "capacity 1 5 23", "capacity 0 1 100",
        "fewest 7 41", "plan -", "stream fnc1=2 41", "plan compact=1 " + (bytes(range(256)) * 2).hex(),
        "stream header seq=1/2 41",
        "fitstart 4 8 header 41", "fitstart 4 8 fnc1=0 41", "fitstart 4 7 41",
    ])
    assert lines[0].startswith("error 1 the message does not fit: its %d bits make" % long_stream[1])
    assert "but a compact symbol of 4 layers (27x27)" in lines[0]
    assert lines[1] == "error 0 a stream of 12 bits needs 2 bytes, not 1"
    assert lines[2] == "error 0 rune values are 0 to 255, not 256"
    assert lines[3] == "error 0 compact symbols have 1 to 4 layers, not 5"
    assert lines[4] == "error 0 error correction is 0 to 99 percent, not 100"
    assert lines[5] == "error 0 the codewords of a symbol are 6, 8, 10 or 12 bits, not 7"
    assert lines[6].startswith("error 2 there is nothing to encode")
    assert lines[7] == "error 0 flag position 2 is past the end of the 1-byte message"
    # plan words its overflow as make does.
    made = cpp_results(consumer, ["make compact=1 " + (bytes(range(256)) * 2).hex()])[0]
    assert lines[8] == made and made.startswith("error 1 ")
    assert lines[9].startswith("error 0 give a sequence or headerInMessage, not both")
    # The fitting start is of a message alone: a header in it, or a flag, is refused rather than left out.
    assert lines[10] == lines[11] == "error 0 the fitting start is found for a message with at most an ECI number before it"
    assert lines[12] == "error 0 the codewords of a symbol are 6, 8, 10 or 12 bits, not 7"


def grid_line(cells, width, height):
    return f"read {width} {height} {bytes(cells).hex()}"


def reading_line(reading):
    data, ecis, gs1, init, sequence, compact, layers, rune, corrected, size, data_words, check_words = reading
    seq = "-" if sequence is None else f"{sequence[0]}/{sequence[1]}/{sequence[2] or ''}"
    eci_text = ",".join(f"{position}:{number}" for position, number in ecis) or "-"
    return " ".join(map(str, ["read", data.hex() or "-", eci_text, int(gs1), int(init), seq, int(compact), layers,
                              -1 if rune is None else rune, corrected, size, data_words, check_words]))


def test_read_gives_what_read_modules_gives(consumer):
    symbols = [
        aztec.make(["abc", Segment("Жук", encoding="iso-8859-5"), b"123"]),
        aztec.make("(01)09501101530003(17)250101", gs1=True),
        aztec.make(b"SETUP 42", reader_init=True),
        aztec.rune(200),
        sequence_parts.Parts(from_segments([b"PART ONE|part two"]), "T42", shapes.Allowed(-1, 0, 23)).build(
            (False, 2), [(0, 9), (9, 17)])[1],
    ]
    grids = []
    for symbol in symbols:
        cells = bytearray(symbol.modules)
        grids.append((cells, symbol.size, symbol.size))
    # Turned, bordered and damaged: two codewords' worth of cells unreadable.
    size = symbols[0].size
    turned = bytearray((size + 4) * (size + 4))
    for y in range(size):
        for x in range(size):
            turned[(x + 2) * (size + 4) + (size - 1 - y) + 2] = symbols[0].modules[y * size + x]
    for i in range(6):
        turned[(size + 4) * 3 + 3 + i] = 2
    grids.append((turned, size + 4, size + 4))
    lines = cpp_results(consumer, [grid_line(*grid) for grid in grids] + [grid_line(bytes(25), 5, 5), "read 2 1 0003"])
    for line, grid in zip(lines, grids):
        assert line == reading_line(_aztec.read_modules(bytes(grid[0]), grid[1], grid[2]))
    with pytest.raises(ValueError) as unreadable:
        _aztec.read_modules(bytes(25), 5, 5)
    assert lines[-2] == f"error 4 {unreadable.value}"
    assert lines[-1] == "error 0 a cell is 0 (light), 1 (dark) or 2 (unreadable), not 3"


def test_batches_of_pictures_per_message_ecis_and_stopping(consumer):
    rng = random.Random(2024)
    messages = [bytes(rng.randrange(256) for _ in range(rng.randrange(1, 60))) for _ in range(40)]
    messages[5] = b""
    hexes = ",".join(m.hex() or "-" for m in messages)
    pictures = cpp_results(consumer, [f"pngs 3 ec=40 {hexes}"])
    assert len(pictures) == len(messages)
    for line, message in zip(pictures, messages):
        if message:
            assert line == "png " + aztec.make(message, ec_percent=40).png().hex()
    assert pictures[5].startswith("error 2 ")
    # One ECI number a message in place of Options::eci, or a wrong count.
    ecis = [rng.choice([None, 3, 26, 899]) for _ in messages]
    ecis[5] = None
    eci_text = "/".join("-" if eci is None else str(eci) for eci in ecis)
    made = cpp_results(consumer, [f"many 2 eci=7 ecis={eci_text} {hexes}", f"many 2 ecis=3/4 {hexes}"])
    for line, message, eci in zip(made, messages, ecis):
        if message:
            assert_same(line, aztec.make(message, eci=eci))
    assert made[-1] == "error 0 ecis has 2 ECI numbers for 40 messages: give one a message, or none"
    # keepGoing stops the batch at its first call: the messages after the
    # ones reported done are left unmade (one thread: none made ahead).
    messages = [b"ITEM %04d" % i for i in range(300)]
    lines = cpp_results(consumer, ["many 1 stop " + ",".join(m.hex() for m in messages)])
    done = int(lines[0].split()[1])
    assert lines[0] == f"stopped {done}" and 0 < done < len(messages)
    results = lines[1:]
    assert len(results) == len(messages)
    for line, message in zip(results[:done], messages):
        assert_same(line, aztec.make(message))
    assert set(results[done:]) == {"none"}


def test_the_run_hooks_see_every_result_final_in_order_before_the_batch_returns(consumer):
    messages = [b"RUN %04d" % i for i in range(500)]
    messages[3] = b""
    hexes = ",".join(m.hex() or "-" for m in messages)
    for kind in ("many", "pngs"):
        lines = cpp_results(consumer, [f"{kind} 2 runs {hexes}"])
        runs = [tuple(map(int, line.split()[1:])) for line in lines if line.startswith("run ")]
        assert lines[:len(runs)] == [f"run {first} {end} {final}" for first, end, final in runs]
        # Contiguous runs from the first message to the last, every result of a run final.
        assert [first for first, _, _ in runs] == [0] + [end for _, end, _ in runs[:-1]]
        assert runs[-1][1] == len(messages) and all(final == end - first for first, end, final in runs)
        assert len(lines) == len(runs) + len(messages) and lines[len(runs) + 3].startswith("error 2 ")


def test_jobs_carry_their_own_flags_gs1_and_streams_and_fail_alone(consumer):
    # One batch of jobs: GS1 by Options::gs1 and by an FNC1 flag, segments
    # with ECI changes, a ready stream of the search encoder, plain and
    # random messages; a job with wrong options and one too long fail in
    # their places.  Each symbol is the Python package's, module for module.
    from quillbank.aztec.builder import data_stream
    from quillbank.aztec.streams import packed

    rng = random.Random(19)
    gs1 = from_gs1("(01)09501101530003(10)AB12(17)250101")
    segments = from_segments(["Grüße ", Segment("Привет", encoding="utf-8"), b" 42"])
    searched = data_stream("Hello, search encoder", optimal=False)
    stream_bytes, stream_bits = packed(searched)
    jobs = [(gs1.message, ["gs1"] + flag_options([f for f in gs1.flags if f[0] > 0])),
            (gs1.message, flag_options(gs1.flags)),
            (segments.message, flag_options(segments.flags)),
            (b"Hello, search encoder", [f"stream={stream_bits}:{stream_bytes.hex()}"]),
            (b"wrong", ["layers=40"]),
            (b"x" * 4000, [])]
    jobs += [(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 80))), rng.choice([[], ["eci=26"], ["init"]]))
             for _ in range(30)]
    line = "jobs 2 ec=30 " + ",".join("/".join([message.hex()] + own) for message, own in jobs)
    made = cpp_results(consumer, [line])
    expected = [aztec.make("(01)09501101530003(10)AB12(17)250101", gs1=True, ec_percent=30)] * 2
    expected.append(aztec.make(["Grüße ", Segment("Привет", encoding="utf-8"), b" 42"], ec_percent=30))
    expected.append(aztec.make("Hello, search encoder", optimal=False, ec_percent=30))
    for k in range(4):
        assert_same(made[k], expected[k])
    assert made[4].startswith("error 0 ") and made[5].startswith("error 1 ")
    for line_of, (message, own) in zip(made[6:], jobs[6:]):
        assert_same(line_of, aztec.make(message, ec_percent=30, eci=26 if "eci=26" in own else None,
                                        reader_init="init" in own))
    # As PNG files (at the default ec_percent), and a batch's ECI numbers
    # refused beside the jobs' own.
    pictures = cpp_results(consumer, ["jobpngs 2 " + ",".join("/".join([m.hex()] + own) for m, own in jobs[:4]),
                                      "jobs 2 ecis=3 41", "jobs 1 layers=40 41,42/layers=3,43"])
    plain = [aztec.make("(01)09501101530003(10)AB12(17)250101", gs1=True),
             aztec.make(["Grüße ", Segment("Привет", encoding="utf-8"), b" 42"]),
             aztec.make("Hello, search encoder", optimal=False)]
    assert pictures[:4] == ["png " + symbol.png().hex() for symbol in [plain[0], *plain]]
    assert pictures[4].startswith("error 0 ecis is for a batch of messages")
    # Jobs that share wrong options fail alone; one that mends them is made.
    assert pictures[5] == pictures[7] and pictures[5].startswith("error 0 ")
    assert_same(pictures[6], aztec.make(b"B", layers=3))
