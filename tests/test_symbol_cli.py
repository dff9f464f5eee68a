"""The aztec command line, run as `python -m quillbank.aztec` in a
subprocess of the installed package."""

import os
import subprocess
import sys

import pytest

import quillbank.aztec as aztec
from quillbank.aztec import encode_optimal
from quillbank.aztec.encoder import Encoder
from symbol_pictures import decode_half_blocks, png_pixels


# The installed package, never the source tree: -P where the interpreter has
# it (3.11 on), and a working directory away from the repository.
PYTHON = [sys.executable, "-P"] if sys.version_info >= (3, 11) else [sys.executable]
AWAY = os.path.abspath(os.sep)


def run(*arguments, stdin=b""):
    return subprocess.run([*PYTHON, "-m", "quillbank.aztec", *arguments], input=stdin,
                          capture_output=True, cwd=AWAY, timeout=60)


def test_terminal_drawing_from_argument_and_stdin():
    shown = run("Hello, terminal")
    assert shown.returncode == 0 and shown.stderr == b""
    symbol = aztec.make("Hello, terminal")
    text = shown.stdout.decode("utf-8").rstrip("\n")
    assert decode_half_blocks(text, 2)[:symbol.size] == [list(row) for row in symbol.rows]
    # Standard input is taken as bytes, not text.
    raw = bytes(range(256))
    piped = run("--border", "0", "--full", stdin=raw)
    symbol = aztec.make(raw, compact=False)
    assert piped.returncode == 0
    assert decode_half_blocks(piped.stdout.decode("utf-8").rstrip("\n"), 0)[:symbol.size] == [
        list(row) for row in symbol.rows]


def test_pictures_match_the_api(tmp_path):
    assert run("-o", str(tmp_path / "a.svg"), "--scale", "3", "--border", "1", "--eci", "26", "Grüße").returncode == 0
    assert (tmp_path / "a.svg").read_text() == aztec.make("Grüße", eci=26).svg(scale=3, border=1)
    assert run("-o", str(tmp_path / "a.png"), "--compact", "--layers", "3", "--ec", "40", "PNG").returncode == 0
    assert (tmp_path / "a.png").read_bytes() == aztec.make("PNG", compact=True, layers=3, ec_percent=40).png()
    assert run("-o", str(tmp_path / "r.png"), "--rune", "200", "--scale", "1").returncode == 0
    assert png_pixels((tmp_path / "r.png").read_bytes()) == png_pixels(aztec.rune(200).png(scale=1))


def test_bits_and_hex_print_the_stream():
    stream = encode_optimal(b"Stream 42", eci=3, asBits=True)
    bits = run("--bits", "--eci", "3", "Stream 42")
    assert bits.returncode == 0 and bits.stdout.decode().strip() == "".join("1" if b else "0" for b in stream)
    packed = run("--hex", "--eci", "3", "Stream 42")
    assert packed.stdout.decode().strip() == encode_optimal(b"Stream 42", eci=3).hex()


def test_search_encoder_option_prints_the_search_stream():
    stream = Encoder().encode(b"abCDE", asBits=True)
    assert stream != encode_optimal(b"abCDE", asBits=True)
    bits = run("--bits", "--search-encoder", "abCDE")
    assert bits.stdout.decode().strip() == "".join("1" if b else "0" for b in stream)
    packed = run("--hex", "--search-encoder", "--eci", "3", "Stream 42")
    assert packed.stdout.decode().strip() == Encoder().encode(b"Stream 42", eci=3).hex()


def test_message_bytes_are_taken_as_given():
    # A byte that is not UTF-8 reaches the encoder unchanged (POSIX argv).
    if os.name != "posix":
        pytest.skip("argv bytes are a POSIX matter")
    bits = run("--bits", os.fsdecode(b"caf\xe9"))
    stream = encode_optimal(b"caf\xe9", asBits=True)
    assert bits.stdout.decode().strip() == "".join("1" if b else "0" for b in stream)


@pytest.mark.parametrize("arguments,stdin", [
    (["--eci", "1000000", "x"], b""),
    (["--eci", "-1", "x"], b""),
    (["--ec", "120", "x"], b""),
    (["--layers", "5", "--compact", "x"], b""),
    (["--layers", "1", "--full", "x" * 200], b""),
    (["--nonsense", "x"], b""),
    (["--compact", "--full", "x"], b""),
    (["--bits", "--hex", "x"], b""),
    (["--rune", "256"], b""),
    (["--rune", "3", "x"], b""),
    (["--rune", "3", "--bits"], b""),
    (["--scale", "0"], b"x"),
    ([], os.urandom(3000)),
])
def test_bad_input_one_line_exit_2_no_file(tmp_path, arguments, stdin):
    target = tmp_path / "out.png"
    failed = run("-o", str(target), *arguments, stdin=stdin)
    assert failed.returncode == 2 and failed.stdout == b""
    lines = failed.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("aztec: error: ")
    assert list(tmp_path.iterdir()) == []


def test_unwritable_output(tmp_path):
    for target in [tmp_path / "missing" / "a.svg", tmp_path / "a.jpg", tmp_path]:
        failed = run("-o", str(target), "x")
        assert failed.returncode == 2 and len(failed.stderr.decode().splitlines()) == 1
    assert list(tmp_path.iterdir()) == []


def test_installed_script_and_help():
    helped = run("--help")
    assert helped.returncode == 0 and b"--rune" in helped.stdout
    script = os.path.join(os.path.dirname(sys.executable), "aztec")
    if not os.path.exists(script):
        pytest.skip("no aztec script beside the interpreter")
    shown = subprocess.run([script, "--bits", "A"], capture_output=True, timeout=60)
    assert shown.returncode == 0 and shown.stdout.decode().strip() == "00010"
