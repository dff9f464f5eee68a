"""The command line speaks its own language (its options, never the Python
API's argument names), keeps the exit statuses docs/command-line.md lists,
and points to a guide that the installed package carries."""

import io
import json
import os
import re
import subprocess
import sys

import pytest

from quillbank.aztec.cli import main

PYTHON = [sys.executable, "-P"] if sys.version_info >= (3, 11) else [sys.executable]

# What an API message says that a command-line user cannot type.
PYTHON_WORDS = re.compile(r"\w=|\bmake_sequence\b|\bec_percent\b|\bmodule_size\b|\breader_init\b|\boptimal\b"
                          r"|\bpass kind\b|(?<!--)\b(dpi|scale|unit|border|layers|encoding|eci) is\b")


def run(monkeypatch, *arguments, stdin=b""):
    """main() on the arguments: (status, standard error)."""
    err = io.StringIO()
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
    monkeypatch.setattr(sys, "stdout", io.TextIOWrapper(io.BytesIO()))
    monkeypatch.setattr(sys, "stderr", err)
    return main(list(arguments)), err.getvalue()


@pytest.mark.parametrize("arguments, says", [
    (["x" * 5000], "split it across symbols with --sequence"),
    (["x" * 3000, "--full", "--layers", "31"], "or --layers 32"),
    (["x" * 2500, "--ec", "50"], "it would fit with --ec 37 or less"),
    (["x", "--compact", "--layers", "1", "--ec", "99"], "--ec 70 or less"),
    (["x" * 300, "--compact"], "leave out --compact"),
    (["x", "--module-size", "0.5mm", "-o", "a.png"], "--module-size in mm needs --dpi"),
    (["x", "-o", "a.heic"], "or give --format"),
    (["x", "--scale", "2", "--module-size", "1mm", "-o", "a.svg"], "give --scale or --module-size"),
    (["x", "--scale", "1.5", "-o", "a.png"], "--module-size with --dpi"),
    (["x", "--title", "T", "-o", "a.png"], "take no option --title"),
    (["x", "--border", "2000", "-o", "a.png"], "--border is 0 to 1000"),
    (["x", "--unit", "furlong", "-o", "a.svg"], "--unit is one of"),
    (["x", "--eci", "3", "--encoding", "utf-8"], "--eci 3 and --encoding 'utf-8' disagree"),
    (["x", "--encoding", "rot13"], "--encoding 'rot13' has no ECI number"),
    (["Ж", "--encoding", "latin-1"], "leave --encoding out"),
    (["x", "--eci", "899"], "or give --encoding"),
    (["x", "--reader-init", "--layers", "30"], "with --reader-init, --layers is 1 to 22"),
    (["(01)09501101530003", "--gs1", "--eci", "3"], "(--eci)"),
    (["(01)09501101530003", "--gs1", "--search-encoder"], "leave out --search-encoder"),
    (["xy", "--sequence", "2", "--search-encoder", "-o", "s.png"], "leave out --search-encoder"),
    (["x" * 10000, "--sequence", "2", "-o", "s.png"], "(--sequence auto, or a larger number)"),
])
def test_every_message_names_the_options_not_the_python_arguments(monkeypatch, tmp_path, arguments, says):
    monkeypatch.chdir(tmp_path)
    status, err = run(monkeypatch, *arguments)
    assert status == 2 and says in err and len(err.splitlines()) == 1, err
    assert not PYTHON_WORDS.search(err), err
    assert os.listdir(tmp_path) == []


def test_a_batch_reports_each_failure_in_the_options_words(monkeypatch, tmp_path):
    source = tmp_path / "in.txt"
    source.write_text("short\n" + "x" * 5000 + "\n")
    status, err = run(monkeypatch, "--batch", str(source), "-o", str(tmp_path / "{line}.png"))
    assert status == 1 and "line 2: " in err and "--sequence" in err and not PYTHON_WORDS.search(err), err


# --- Exit statuses, one for each the docs list ----------------------------------------

def jsonl(tmp_path, records):
    source = tmp_path / "in.jsonl"
    source.write_text("".join(json.dumps(record) + "\n" for record in records))
    return str(source)


def test_status_0_is_done_and_1_is_a_batch_with_failures(monkeypatch, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    assert run(monkeypatch, "Hello", "-o", str(out / "one.png")) == (0, "")
    source = jsonl(tmp_path, [{"message": "a", "seat": "1A"}, {"message": "", "seat": "1B"},
                              {"message": "c", "row": 3}])
    status, err = run(monkeypatch, "--batch", source, "--jsonl", "-o", str(out / "{seat}.png"))
    assert status == 1 and "1 of 3 files written" in err
    assert "line 2: there is nothing to encode" in err and "line 3: it has no field 'seat'" in err
    assert sorted(os.listdir(out)) == ["1A.png", "one.png"]


@pytest.mark.parametrize("pattern, records, says", [
    ("{nope}.png", [{"message": "a"}, {"message": "b"}], "nope, which the first record (line 1) does not have"),
    ("{nope}.png", ["a", "b"], "nope, which the first record (line 1) does not have"),
    ("{index}.png", [{"message": "a"}, {"message": "a", "x": 1}], None),
    ("{seat}.png", [{"message": "a", "seat": "1A"}, {"message": "b", "seat": "1A"}],
     "lines 1 and 2 would both be written"),
])
def test_status_2_is_an_error_with_no_file_written(monkeypatch, tmp_path, pattern, records, says):
    out = tmp_path / "out"
    out.mkdir()
    status, err = run(monkeypatch, "--batch", jsonl(tmp_path, records), "--jsonl", "-o", str(out / pattern),
                      *(["--title", "T"] if says is None else []))
    assert status == 2 and err.startswith("aztec: error: ") and len(err.splitlines()) == 1, err
    assert says is None or says in err
    assert os.listdir(out) == []


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full here")
@pytest.mark.parametrize("option", ["--version", "--help", "--docs"])
def test_status_2_when_the_text_asked_for_cannot_be_written(option):
    with open("/dev/full", "w") as full:
        result = subprocess.run([*PYTHON, "-m", "quillbank.aztec", option], stdout=full, stderr=subprocess.PIPE,
                                cwd=os.sep, timeout=60)
    assert result.returncode == 2
    assert result.stderr.decode().splitlines() == ["aztec: error: cannot write to standard output: "
                                                   "No space left on device"]


def test_the_help_points_to_the_guide_the_package_carries():
    def aztec(*arguments):
        return subprocess.run([*PYTHON, "-m", "quillbank.aztec", *arguments], capture_output=True, cwd=os.sep,
                              timeout=60)

    help_text = aztec("--help")
    assert help_text.returncode == 0 and b"aztec --docs" in help_text.stdout
    assert b"docs/command-line.md" not in help_text.stdout
    guide = aztec("--docs")
    assert guide.returncode == 0 and guide.stdout.startswith(b"# The command line")
    for status in (b"| 0 |", b"| 1 |", b"| 2 |", b"| 130 |"):  # the statuses the tests above hold it to
        assert status in guide.stdout
