"""symbol.verify(), make(verify=True) and the command line's --verify,
--read and --json."""

import json
import subprocess
import sys

import pytest

import quillbank.aztec as aztec

PYTHON = [sys.executable, "-P"] if sys.version_info >= (3, 11) else [sys.executable]


def run(*arguments, stdin=b"", cwd=None):
    return subprocess.run([*PYTHON, "-m", "quillbank.aztec", *arguments], input=stdin, capture_output=True,
                          timeout=60, cwd=cwd)


@pytest.mark.parametrize("make", [
    lambda: aztec.make(b"plain bytes", verify=True),
    lambda: aztec.make("Grüße", verify=True),
    lambda: aztec.make("Привет", verify=True),
    lambda: aztec.make(b"marked", eci=899, compact=False, layers=3, verify=True),
    lambda: aztec.make(["a", aztec.Segment("Ж", encoding="iso-8859-5"), b"\x00"], verify=True),
    lambda: aztec.make("(01)09501101530003(10)AB1(17)250101", gs1=True, verify=True),
    lambda: aztec.make("programme", reader_init=True, verify=True),
    lambda: aztec.make(b"search", optimal=False, verify=True),
    lambda: aztec.rune(200),
], ids=["bytes", "latin-1", "utf-8", "eci", "segments", "gs1", "reader-init", "search-encoder", "rune"])
def test_what_make_makes_verifies(make):
    symbol = make()
    found = symbol.verify()
    assert (found.compact, found.layers, found.size) == (symbol.compact, symbol.layers, symbol.size)


def test_every_part_of_a_sequence_verifies_even_gs1():
    for parts in (aztec.make_sequence("x" * 400 + "Ж" * 40, symbols=3, id="Z9", verify=True),
                  aztec.make_sequence("(01)09501101530003(10)" + "A" * 20 + "(21)" + "B" * 20, gs1=True,
                                      symbols=2, verify=True)):
        assert [part.verify().sequence for part in parts] == [part.sequence for part in parts]


def faulty(symbol, **changes):
    """The symbol as a writer with a fault would make it: ``changes`` to its
    modules, labels or what it was made from."""
    fields = {name: getattr(symbol, name) for name in (
        "modules", "size", "layers", "compact", "data_words", "check_words", "eci", "sequence", "is_rune")}
    fields["made_from"] = symbol._made_from
    return aztec.AztecSymbol(**{**fields, **changes})


def test_a_symbol_that_holds_something_else_is_refused_naming_the_difference():
    symbol = faulty(aztec.make(b"the right message"), made_from=b"the wrong message")
    with pytest.raises(aztec.AztecError, match=r"reads back differently.*data b'the right message'"):
        symbol.verify()
    symbol = faulty(aztec.make("(01)09501101530003", gs1=True), made_from=(b"0109501101530003", (), False))
    with pytest.raises(aztec.AztecError, match="GS1 True, made False"):
        symbol.verify()
    sequence = aztec.make_sequence(b"y" * 200, symbols=2)
    with pytest.raises(aztec.AztecError, match=r"sequence \(1, 2, None\), made \(2, 2, None\)"):
        faulty(sequence[0], sequence=(2, 2, None)).verify()


def test_a_symbol_that_does_not_read_back_is_refused():
    symbol = aztec.make(b"damaged", ec_percent=0)
    modules = bytearray(symbol.modules)
    size = symbol.size
    for y in range(size):  # every module of its one layer, two modules deep around the core
        for x in range(size):
            if min(x, y, size - 1 - x, size - 1 - y) < 2:
                modules[y * size + x] ^= 1
    with pytest.raises(aztec.AztecError, match="does not read back"):
        faulty(symbol, modules=bytes(modules)).verify()
    with pytest.raises(aztec.AztecError, match="does not say what it was made from"):
        faulty(aztec.make(b"x"), made_from=None).verify()
    with pytest.raises(TypeError, match="verify"):
        aztec.make(b"x", verify="yes")


def test_make_many_verifies_when_asked():
    made = aztec.make_many([b"one", "two", "Ж"], verify=True)
    assert [symbol.verify().data for symbol in made] == [b"one", b"two", "Ж".encode()]


# --- The command line -----------------------------------------------------------

def test_read_prints_each_message_and_says_what_failed(tmp_path):
    aztec.make("Grüße, Zürich").save(str(tmp_path / "text.png"), scale=2)
    aztec.make(b"bin\x00\xff").save(str(tmp_path / "binary.svg"))
    (tmp_path / "blank.pbm").write_bytes(b"P1\n3 3\n000000000\n")
    one = run("--read", "text.png", cwd=tmp_path)
    assert (one.returncode, one.stdout.decode(), one.stderr) == (0, "Grüße, Zürich\n", b"")
    several = run("--read", "text.png", "binary.svg", "blank.pbm", "missing.png", cwd=tmp_path)
    assert several.returncode == 1
    assert several.stdout.decode().splitlines() == ["text.png: Grüße, Zürich", "binary.svg: bin\\x00\\xff"]
    errors = several.stderr.decode()
    assert "binary.svg: the message is not text; shown escaped" in errors
    assert "blank.pbm: the picture holds no symbol" in errors and "missing.png: No such file" in errors
    none = run("--read", "blank.pbm", cwd=tmp_path)
    assert none.returncode == 2 and none.stdout == b""


def test_read_json_gives_every_field_and_standard_input(tmp_path):
    symbol = aztec.make_sequence(b"\x01" * 30, symbols=2, id="Q")[1]
    found = run("--read", "-", "--json", stdin=symbol.png())
    assert found.returncode == 0
    fields = json.loads(found.stdout)
    assert fields == {"file": "-", "text": None, "data_hex": "01" * 15, "ecis": [], "gs1": False,
                      "reader_init": False, "sequence": [2, 2, "Q"], "compact": symbol.compact,
                      "layers": symbol.layers, "rune": None, "corrected": 0, "size": symbol.size,
                      "data_words": symbol.data_words, "check_words": symbol.check_words}
    bad = run("--read", "nothing.png", "--json", cwd=tmp_path)
    assert bad.returncode == 2 and json.loads(bad.stdout)["error"] == "No such file or directory"


@pytest.mark.parametrize("arguments,words", [
    (["--read", "a.png", "--ec", "5"], "--ec does not apply to --read"),
    (["message", "--read", "a.png"], "the message does not apply to --read"),
    (["message", "--json"], "--json applies to --read"),
    (["--bits", "x", "--verify"], "--verify does not apply"),
])
def test_options_that_do_not_apply_are_refused(arguments, words):
    found = run(*arguments)
    assert found.returncode == 2 and words in found.stderr.decode()


def test_verify_on_the_way_out(tmp_path):
    for arguments in (["Verified", "-o", "v.svg"], ["--rune", "9", "-o", "r.png"],
                      ["Part", "--sequence", "2", "-o", "s.png"]):
        done = run(*arguments, "--verify", cwd=tmp_path)
        assert done.returncode == 0, done.stderr
    assert run("--read", "v.svg", "r.png", "s-1.png", "s-2.png", cwd=tmp_path).stdout.decode().splitlines() == \
        ["v.svg: Verified", "r.png: 9", "s-1.png: Pa", "s-2.png: rt"]
