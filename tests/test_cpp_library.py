"""The public C++ library: built and installed with CMake alone (no Python),
used by a consumer project through find_package, and making the same
symbols as the Python package, module for module."""

import os
import random
import shutil
import subprocess

import pytest

import quillbank.aztec as aztec
from quillbank.aztec import sequence_parts, shapes
from quillbank.aztec.segments import Segment, from_gs1, from_segments

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


def assert_same(line, symbol):
    """A consumer's "ok ..." line describes `symbol`, module for module."""
    fields = line.split()
    assert fields[0] == "ok", line
    compact, layers, size, data, check = map(int, fields[1:6])
    assert (bool(compact), layers, size, data, check) == (
        symbol.compact, symbol.layers, symbol.size, symbol.data_words, symbol.check_words)
    assert fields[6] == "".join("1" if dark else "0" for row in symbol.rows for dark in row)


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
    lines = cpp_results(consumer, [*refusals, "make compact=1 " + long_message.hex(), "many 2 ec=-1 41"])
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
    ok, png, svg = cpp_results(consumer, ["make pictures " + b"PNG and SVG".hex()])
    assert_same(ok, symbol)
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
    assert "the message does not fit" in out
    assert (tmp_path / "ticket.png").read_bytes().startswith(b"\x89PNG")
