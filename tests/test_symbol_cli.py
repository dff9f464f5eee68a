"""The aztec command line: main() in this process for most cases, and
`python -m quillbank.aztec` in a subprocess of the installed package where
the process itself matters (closed pipes, /dev/zero, a terminal)."""

import inspect
import io
import os
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillbank.aztec as aztec
from quillbank.aztec import builder, encode_optimal, shapes, writers
from quillbank.aztec.cli import LONGEST_MESSAGE, main
from quillbank.aztec.encoder import Encoder
from symbol_pictures import decode_half_blocks, png_gray, read, render

# The installed package, never the source tree: -P where the interpreter has
# it (3.11 on), and a working directory away from the repository.
PYTHON = [sys.executable, "-P"] if sys.version_info >= (3, 11) else [sys.executable]
AWAY = os.path.abspath(os.sep)


def run(*arguments, stdin=b"", **kwargs):
    return subprocess.run([*PYTHON, "-m", "quillbank.aztec", *arguments], input=stdin,
                          capture_output=True, cwd=AWAY, timeout=60, **kwargs)


class Stream(io.TextIOWrapper):
    """A standard stream over bytes that may claim to be a terminal."""

    def __init__(self, data=b"", tty=False):
        super().__init__(io.BytesIO(data), encoding="utf-8", newline="")
        self.tty = tty

    def isatty(self):
        return self.tty

    def value(self):
        self.flush()
        return self.buffer.getvalue()


def call(monkeypatch, *arguments, stdin=b"", tty=False):
    """main() on the arguments: (status, standard output bytes, standard error text)."""
    out, err = Stream(tty=tty), Stream()
    monkeypatch.setattr(sys, "stdin", Stream(stdin))
    monkeypatch.setattr(sys, "stdout", out)
    monkeypatch.setattr(sys, "stderr", err)
    status = main(list(arguments))
    return status, out.value(), err.value().decode()


def saved(symbol, kind, **options):
    out = io.BytesIO()
    symbol.save(out, kind=kind, **options)
    return out.getvalue()


# --- Messages and what is drawn -------------------------------------------------------

def test_terminal_drawing_from_argument_and_stdin():
    shown = run("Hello, terminal")
    assert shown.returncode == 0 and shown.stderr == b""
    symbol = aztec.make("Hello, terminal")
    assert decode_half_blocks(shown.stdout.decode().rstrip("\n"), 2)[:symbol.size] == [list(r) for r in symbol.rows]
    # Standard input is taken as bytes, not text.
    raw = bytes(range(256))
    piped = run("--border", "0", "--full", stdin=raw)
    symbol = aztec.make(raw, compact=False)
    assert piped.returncode == 0
    assert decode_half_blocks(piped.stdout.decode().rstrip("\n"), 0)[:symbol.size] == [list(r) for r in symbol.rows]


def test_colour_on_a_terminal_unless_no_color(monkeypatch):
    symbol = aztec.make("colour")
    status, out, _ = call(monkeypatch, "colour", tty=True)
    assert status == 0 and out.decode() == symbol.terminal(color=True) + "\n"
    plain = symbol.terminal(color=False) + "\n"
    assert call(monkeypatch, "colour", "--no-color", tty=True)[1].decode() == plain
    monkeypatch.setenv("NO_COLOR", "1")
    assert call(monkeypatch, "colour", tty=True)[1].decode() == plain
    assert call(monkeypatch, "colour", "--invert", "--border", "0", tty=True)[1].decode() == \
        symbol.terminal(invert=True, border=0, color=False) + "\n"


@pytest.mark.parametrize("arguments,text,identifier", [
    (["Grüße"], "Grüße", "]z3"),
    (["£5"], "£5", "]z3"),
    (["Gruss"], "Gruss", "]z0"),
    (["--no-eci", "Grüße"], "Grüße", "]z0"),
    (["Привет"], "Привет", "]z3"),
    (["東京 😀"], "東京 😀", "]z3"),
    (["--encoding", "iso8859-5", "Привет"], "Привет", "]z3"),
    (["--eci", "22", "Привет"], "Привет", "]z3"),
])
def test_message_argument_is_text_that_reads_back_as_typed(monkeypatch, tmp_path, arguments, text, identifier):
    zxingcpp = pytest.importorskip("zxingcpp")
    target = tmp_path / "t.png"
    assert call(monkeypatch, "-o", str(target), *arguments)[0] == 0
    image = png_gray(target.read_bytes())
    shown = zxingcpp.read_barcodes(image, formats=zxingcpp.BarcodeFormat.Aztec)
    # The identifier from the HexECI form: the reader's own property says ]z0 even with an ECI.
    hexed = zxingcpp.read_barcodes(image, formats=zxingcpp.BarcodeFormat.Aztec, text_mode=zxingcpp.TextMode.HexECI)
    assert shown[0].text == text
    assert bytes.fromhex(hexed[0].text.replace(" ", ""))[:3].decode() == identifier


def test_argument_bytes_that_are_not_text_are_written_as_given():
    if os.name != "posix":
        pytest.skip("argv bytes are a POSIX matter")
    # The locale decodes b"\xe9" to a surrogate escape; the message is the byte.
    bits = run("--bits", os.fsdecode(b"caf\xe9"), env={**os.environ, "LC_ALL": "C.UTF-8"})
    assert bits.stdout.decode().strip() == "".join("1" if b else "0" for b in encode_optimal(b"caf\xe9", asBits=True))


def test_bits_and_hex_print_the_stream(monkeypatch):
    stream = encode_optimal(b"Stream 42", eci=3, asBits=True)
    assert call(monkeypatch, "--bits", "--eci", "3", "Stream 42")[1].decode() == \
        "".join("1" if b else "0" for b in stream) + "\n"
    assert call(monkeypatch, "--hex", "--eci", "3", "Stream 42")[1].decode() == \
        encode_optimal(b"Stream 42", eci=3).hex() + "\n"
    assert call(monkeypatch, "--hex", "--search-encoder", "abCDE")[1].decode() == \
        Encoder().encode(b"abCDE").hex() + "\n"
    assert call(monkeypatch, "--hex", "--encoding", "utf-8", "é")[1].decode() == \
        encode_optimal("é".encode(), eci=26).hex() + "\n"
    gs1 = "(01)09501101530003(10)AB1"
    assert call(monkeypatch, "--bits", "--gs1", gs1)[1].decode() == \
        "".join("1" if b else "0" for b in builder.data_stream(gs1, gs1=True)) + "\n"
    # Standard input, as bytes: the longest message any symbol holds is taken.
    longest = b". " * (LONGEST_MESSAGE // 2)
    assert call(monkeypatch, "--hex", stdin=longest)[1].decode() == encode_optimal(longest).hex() + "\n"


def test_longest_message_bounds_what_the_largest_symbol_holds_closely():
    # Punctuation pairs are the cheapest bytes: the most of them that fit
    # the largest symbol come to just under the bound.
    with pytest.raises(aztec.DataOverflowError) as overflow:
        aztec.make(b". " * (LONGEST_MESSAGE // 2 + 1), ec_percent=0)
    assert LONGEST_MESSAGE - 16 <= overflow.value.fitting_bytes <= LONGEST_MESSAGE


# --- Pictures -------------------------------------------------------------------

def test_every_kind_by_extension_by_format_and_to_standard_output(monkeypatch, tmp_path):
    symbol = aztec.make("Every kind")
    for kind in sorted(writers.WRITERS):
        expected = saved(symbol, kind)
        by_extension, by_format = tmp_path / f"a.{kind}", tmp_path / f"{kind}.picture"
        assert call(monkeypatch, "Every kind", "-o", str(by_extension))[0] == 0
        assert call(monkeypatch, "Every kind", "-o", str(by_format), "--format", kind)[0] == 0
        assert by_extension.read_bytes() == by_format.read_bytes() == expected, kind
        warned = "aztec: warning: JPEG's lossy compression" if kind == "jpeg" else ""  # the kind's own warning
        status, output, err = call(monkeypatch, "Every kind", "-o", "-", "--format", kind)
        assert (status, output, err.startswith(warned), err.count("\n")) == (0, expected, True, bool(warned)), kind


@pytest.mark.parametrize("kind,arguments,options", [
    ("svg", ["--scale", "2.5", "--unit", "mm", "--dark", "navy", "--light", "transparent", "--title", "T",
             "--border", "1"],
     {"scale": 2.5, "unit": "mm", "dark": "navy", "light": "transparent", "title": "T", "border": 1}),
    ("svg", ["--module-size", "0.5mm"], {"module_size": "0.5mm"}),
    ("png", ["--module-size", "0.5mm", "--dpi", "600", "--dark", "#336699"],
     {"module_size": "0.5mm", "dpi": 600, "dark": "#336699"}),
    ("png", ["--module-size", "2", "--unit", "mm", "--dpi", "254"], {"module_size": 2, "unit": "mm", "dpi": 254}),
    ("pdf", ["--module-size", "0.4mm", "--light", "#ffffcc"], {"module_size": "0.4mm", "light": "#ffffcc"}),
    ("eps", ["--scale", "1.5"], {"scale": 1.5}),
])
def test_picture_options_reach_the_writer(monkeypatch, tmp_path, kind, arguments, options):
    target = tmp_path / f"a.{kind}"
    assert call(monkeypatch, "Options", "-o", str(target), *arguments)[0] == 0
    assert target.read_bytes() == saved(aztec.make("Options"), kind, **options)


def test_symbol_options_and_runes_match_the_api(monkeypatch, tmp_path):
    target = tmp_path / "a.png"
    assert call(monkeypatch, "-o", str(target), "--compact", "--layers", "3", "--ec", "40", "PNG")[0] == 0
    assert target.read_bytes() == aztec.make("PNG", compact=True, layers=3, ec_percent=40).png()
    assert call(monkeypatch, "-o", str(target), "--rune", "200", "--scale", "1")[0] == 0
    assert target.read_bytes() == aztec.rune(200).png(scale=1)


@pytest.mark.parametrize("kind", ["png", "svg", "pdf", "eps", "pbm"])
def test_pictures_written_by_the_command_line_read_back(monkeypatch, tmp_path, kind):
    pytest.importorskip("zxingcpp")
    pytest.importorskip("PIL")
    np = pytest.importorskip("numpy")
    message = os.urandom(40)
    target = tmp_path / f"a.{kind}"
    assert call(monkeypatch, "-o", str(target), "--scale", "3", stdin=message)[0] == 0
    assert read(np.array(render(target, kind))) == (message, None)


# --- Errors: one line, exit 2, no file ----------------------------------------------------

# OUT.kind is replaced by a file in the test's folder.
BAD = [
    (["--eci", "1000000", "x"], b""),
    (["--ec", "120", "x"], b""),
    (["--layers", "5", "--compact", "x"], b""),
    (["--layers", "1", "--full", "x" * 200], b""),
    (["--nonsense", "x"], b""),
    (["--compact", "--full", "x"], b""),
    (["--bits", "--hex", "x"], b""),
    (["--scale", "wide", "x"], b""),
    (["--sequence", "many", "x"], b""),
    (["--rune", "256"], b""),
    (["--rune", "3", "x"], b""),
    (["--rune", "3", "--bits"], b""),
    (["--rune", "3", "--ec", "30"], b""),
    ([], b""),
    ([], b"A" * (LONGEST_MESSAGE + 1)),
    (["--hex"], os.urandom(LONGEST_MESSAGE + 1)),
    (["--bits", "x" * (LONGEST_MESSAGE + 1)], b""),
    (["--border", "9" * 30, "x"], b""),
    (["--scale", "3", "x"], b""),
    (["--module-size", "1mm", "--bits", "x"], b""),
    (["--bits", "x", "--border", "1"], b""),
    (["--hex", "x", "-o", "OUT.png"], b""),
    (["x", "-o", "OUT.png", "--invert"], b""),
    (["x", "-o", "-"], b""),
    (["x", "-o", "OUT.png", "--title", "T"], b""),
    (["x", "-o", "OUT.png", "--scale", "2.5"], b""),
    (["x", "-o", "OUT.png", "--module-size", "1mm"], b""),
    (["x", "-o", "OUT.svg", "--scale", "inf"], b""),
    (["x", "-o", "OUT.svg", "--dark", "#ff_fff"], b""),
    (["x", "-o", "OUT.svg", "--unit", "furlong"], b""),
    (["x", "-o", "OUT.heic"], b""),
    (["x", "-o", "OUT.png", "--format", "heic"], b""),
    (["x", "-o", "OUT.pbm", "--dark", "red"], b""),
    (["--encoding", "klingon", "x"], b""),
    (["--encoding", "ascii", "Grüße"], b""),
    (["--encoding", "utf-8"], b"bytes"),
    (["--eci", "899", "text"], b""),
    (["--id", "A1", "x"], b""),
    (["--sequence", "2", "x", "-o", "-", "--format", "svg"], b""),
    (["--sequence", "27", "x" * 100], b""),
    (["--sequence", "auto", "--id", "two words", "x" * 3000], b""),
    (["--sequence", "2", "--bits", "x"], b""),
    (["--sequence", "auto"], b". " * (LONGEST_MESSAGE * 13 + 1)),
    (["--gs1", "(01)09501101530004"], b""),
    (["--gs1", "--eci", "26", "(01)09501101530003"], b""),
    (["--jsonl", "x"], b""),
    (["--batch", "list.txt", "x", "-o", "OUT{index}.png"], b""),
    (["--batch", "list.txt"], b""),
    (["--batch", "list.txt", "-o", "-", "--format", "svg"], b""),
    (["--batch", "list.txt", "-o", "OUT{index}.png", "--sequence", "2"], b""),
]


@pytest.mark.parametrize("arguments,stdin", BAD)
def test_bad_invocation_is_one_line_exit_2_and_no_file(monkeypatch, tmp_path, arguments, stdin):
    arguments = [a.replace("OUT", str(tmp_path / "out")) for a in arguments]
    status, out, err = call(monkeypatch, *arguments, stdin=stdin)
    assert (status, out) == (2, b"")
    assert len(err.splitlines()) == 1 and err.startswith("aztec: error: "), err
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("colours", [["--dark", "red", "--light", "red"], ["--dark", "#eee"], ["--light", "#111"]])
def test_colours_too_alike_to_scan_name_the_options_and_write_nothing(monkeypatch, tmp_path, colours):
    status, _, err = call(monkeypatch, "x", "-o", str(tmp_path / "c.png"), *colours)
    assert status == 2 and "--dark" in err and "--light" in err and "contrast" in err, err
    assert list(tmp_path.iterdir()) == []


def test_write_errors_name_the_file(monkeypatch, tmp_path):
    for target in [tmp_path / "missing" / "a.svg", tmp_path / "folder.svg"]:
        (tmp_path / "folder.svg").mkdir(exist_ok=True)
        status, _, err = call(monkeypatch, "x", "-o", str(target))
        assert status == 2 and str(target) in err and len(err.splitlines()) == 1
    assert [p.name for p in tmp_path.iterdir()] == ["folder.svg"]


def test_help_and_version_return_0(monkeypatch):
    status, out, _ = call(monkeypatch, "--version")
    assert status == 0 and out.decode() == f"aztec {aztec.__version__}\n"
    status, out, _ = call(monkeypatch, "--help")
    assert status == 0 and b"--batch" in out and b"exit status" in out


# --- The process: closed pipes, endless input, a terminal --------------------------------

def test_closed_standard_output_is_one_line_and_exit_2():
    # A reader that has gone (aztec X | head -c0): the pipe is closed before the write.
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        gone = subprocess.run([*PYTHON, "-m", "quillbank.aztec", "Hello"], stdout=write_end,
                              stderr=subprocess.PIPE, cwd=AWAY, timeout=60)
    finally:
        os.close(write_end)
    assert gone.returncode == 2 and gone.stderr.decode().splitlines() == ["aztec: error: standard output: Broken pipe"]
    # No standard output at all (aztec X >&-).
    closed = subprocess.run(["sh", "-c", '"$@" >&-', "sh", *PYTHON, "-m", "quillbank.aztec", "Hello"],
                            capture_output=True, cwd=AWAY, timeout=60)
    assert closed.returncode == 2 and closed.stderr.decode().splitlines() == ["aztec: error: standard output is closed"]


@pytest.mark.parametrize("arguments", [[], ["--hex"], ["-o", "-", "--format", "svg"]])
def test_endless_standard_input_is_refused_after_a_bounded_read(arguments):
    if not os.path.exists("/dev/zero"):
        pytest.skip("no /dev/zero")
    with open("/dev/zero", "rb") as zero:
        endless = subprocess.run([*PYTHON, "-m", "quillbank.aztec", *arguments], stdin=zero,
                                 capture_output=True, cwd=AWAY, timeout=60)
    assert endless.returncode == 2 and endless.stdout == b""
    assert endless.stderr.decode().splitlines() == [
        f"aztec: error: standard input holds more than {LONGEST_MESSAGE} bytes, more than any Aztec symbol holds "
        f"(the largest symbol holds {shapes.largest_bits()} bits)"]


def test_a_terminal_on_standard_input_gets_the_usage_not_a_wait():
    pty = pytest.importorskip("pty")
    master, slave = pty.openpty()
    try:
        waiting = subprocess.run([*PYTHON, "-m", "quillbank.aztec"], stdin=slave, capture_output=True,
                                 cwd=AWAY, timeout=60)
    finally:
        os.close(slave)
        os.close(master)
    lines = waiting.stderr.decode().splitlines()
    assert waiting.returncode == 2 and waiting.stdout == b""
    assert lines[0].startswith("usage: aztec") and lines[-1].startswith("aztec: error: no message")


def test_binary_picture_to_a_terminal_is_refused():
    pty = pytest.importorskip("pty")
    master, slave = pty.openpty()
    try:
        refused = subprocess.run([*PYTHON, "-m", "quillbank.aztec", "x", "-o", "-", "--format", "png"],
                                 stdout=slave, stderr=subprocess.PIPE, cwd=AWAY, timeout=60)
    finally:
        os.close(slave)
        os.close(master)
    assert refused.returncode == 2 and refused.stderr.decode().startswith("aztec: error: png pictures are binary")


def test_installed_script():
    script = os.path.join(os.path.dirname(sys.executable), "aztec")
    if not os.path.exists(script):
        pytest.skip("no aztec script beside the interpreter")
    shown = subprocess.run([script, "--bits", "A"], capture_output=True, timeout=60)
    assert shown.returncode == 0 and shown.stdout.decode().strip() == "00010"


# --- GS1, reader initialisation and sequences -----------------------------------------------

def _make_takes(name):
    return name in inspect.signature(aztec.make).parameters


@pytest.mark.skipif(not _make_takes("gs1"), reason="make() of this build has no gs1")
def test_gs1_and_reader_init_read_back(monkeypatch, tmp_path):
    zxingcpp = pytest.importorskip("zxingcpp")
    target = tmp_path / "g.png"
    element = "(01)09501101530003(17)250101(10)ABC123"
    assert call(monkeypatch, "--gs1", element, "-o", str(target))[0] == 0
    found = zxingcpp.read_barcodes(png_gray(target.read_bytes()), formats=zxingcpp.BarcodeFormat.Aztec)
    assert (found[0].symbology_identifier, found[0].text) == ("]z1", element)
    assert call(monkeypatch, "--reader-init", "Set up", "-o", str(target))[0] == 0
    found = zxingcpp.read_barcodes(png_gray(target.read_bytes()), formats=zxingcpp.BarcodeFormat.Aztec)
    assert found[0].text == "Set up" and found[0].extra.get("ReaderInit") is True
    status, _, err = call(monkeypatch, "--gs1", "--reader-init", element, "-o", str(tmp_path / "h.png"))
    assert status == 2 and len(err.splitlines()) == 1 and not (tmp_path / "h.png").exists()


@pytest.mark.skipif(not hasattr(aztec, "make_sequence") and "make_sequence" not in dir(aztec),
                    reason="this build has no make_sequence")
@pytest.mark.parametrize("count", ["3", "auto"])
def test_sequence_writes_numbered_files_that_read_back_in_order(monkeypatch, tmp_path, count):
    zxingcpp = pytest.importorskip("zxingcpp")
    message = os.urandom(1500)
    assert call(monkeypatch, "--sequence", count, "--id", "T42", "-o", str(tmp_path / "part.png"),
                stdin=message)[0] == 0
    expected = aztec.make_sequence(message, symbols=None if count == "auto" else 3, id="T42")
    names = sorted(p.name for p in tmp_path.iterdir())
    assert names == [f"part-{n}.png" for n in range(1, len(expected) + 1)]
    parts = []
    for position, symbol in enumerate(expected, 1):
        data = (tmp_path / f"part-{position}.png").read_bytes()
        assert data == symbol.png()
        found = zxingcpp.read_barcodes(png_gray(data), formats=zxingcpp.BarcodeFormat.Aztec)
        assert found[0].symbology_identifier == "]z6"
        parts.append(found[0].bytes)
    assert b"".join(parts) == message


# --- Any arguments at all ----------------------------------------------------------

_WORDS = ["--eci", "--no-eci", "--encoding", "--ec", "--compact", "--full", "--layers", "--search-encoder", "--format",
          "--scale", "--module-size", "--unit", "--dpi", "--dark", "--light", "--title", "--border", "--invert",
          "--no-color", "--jsonl", "--column", "--bits", "--hex", "--rune", "--id", "--sequence", "-o", "-o",
          "-", "OUT.svg", "OUT.png", "OUT.txt", "OUT.pdf", "OUT{index}.svg", "0", "1", "3", "-1", "2.5", "1e400",
          "nan", "99999999999999999999", "0.5mm", "mm", "red", "#ff_fff", "transparent", "utf-8", "klingon",
          "svg", "png", "auto", "Grüße", "\udce9", "\ud800", "x" * 3000, ""]


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(arguments=st.lists(st.sampled_from(_WORDS), max_size=7), stdin=st.binary(max_size=40))
def test_any_arguments_end_in_a_status_never_a_traceback(tmp_path, arguments, stdin):
    folder = tmp_path / str(len(list(tmp_path.iterdir())))
    folder.mkdir()
    arguments = [a.replace("OUT", str(folder / "out")) for a in arguments]
    saved_streams = sys.stdin, sys.stdout, sys.stderr
    out, err = Stream(), Stream()
    sys.stdin, sys.stdout, sys.stderr = Stream(stdin), out, err
    try:
        status = main(arguments)
    finally:
        sys.stdin, sys.stdout, sys.stderr = saved_streams
    lines = err.value().decode().splitlines()
    assert status in (0, 2)
    if status == 2:
        assert len(lines) == 1 and lines[0].startswith("aztec: error: "), lines
        assert list(folder.iterdir()) == []
    else:
        assert lines == [] and (out.value() or list(folder.iterdir()))
