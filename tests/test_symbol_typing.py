"""The type hints match what the public API takes and returns: mypy --strict
accepts a typed caller of the whole API (tests/typing_example.py) and
rejects calls the functions refuse."""

import os
import subprocess
import sys
import textwrap

import pytest

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def mypy(path, cwd):
    pytest.importorskip("mypy", reason="mypy is not installed (it is in the test extra)")
    command = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", os.path.join(cwd, ".mypy"),
               path]
    return subprocess.run(command, capture_output=True, text=True, cwd=cwd, timeout=300)


def test_a_typed_caller_of_the_whole_api_passes_mypy_strict(tmp_path):
    example = os.path.join(TESTS_DIR, "typing_example.py")
    checked = mypy(example, str(tmp_path))
    assert checked.returncode == 0, checked.stdout + checked.stderr
    # The example is real code: it runs, against the installed package.
    ran = subprocess.run([sys.executable, example, str(tmp_path)], capture_output=True, text=True, cwd=str(tmp_path))
    assert ran.returncode == 0 and "example ran" in ran.stdout, ran.stderr


def test_mypy_rejects_what_the_api_refuses(tmp_path):
    # Hints that said Any would let all of these through.
    bad = tmp_path / "bad.py"
    bad.write_text(textwrap.dedent("""\
        from quillbank.aztec import encode_optimal, make, make_many, rune
        make("x", ec_percent=23.5)
        make("x", encoding=26)
        make(12)
        rune("7")
        packed: bytes = encode_optimal(b"x", asBits=True)
        make("x").size.upper()
        make_many(["x"], errors="return")[0].size
        make("x").to_numpy().upper()
        make("x").to_pil().no_such_method()
        make([7])
        """))
    checked = mypy(str(bad), str(tmp_path))
    lines = {int(line.split(":")[1]) for line in checked.stdout.splitlines() if ": error:" in line}
    assert lines == {2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, checked.stdout
