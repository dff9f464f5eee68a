"""Fuzzing with a fixed budget: the targets of fuzz/ (make, rune, every
picture and its options, encode_optimal, encode_optimal_segments, GS1
content, the Encoder, the command line's main, read), driven by hypothesis on every run and
by atheris' coverage-guided search when atheris is installed.

Budgets (environment variables): QUILLBANK_FUZZ_EXAMPLES, hypothesis
examples per target (default 120); QUILLBANK_ATHERIS_RUNS, atheris runs
(default 3000).  The long run is `nice -n 10 python -P
fuzz/encoder_fuzz.py -max_total_time=600` (see its docstring)."""

import io
import os
import re
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FUZZ = os.path.join(REPO, "fuzz")
if FUZZ not in sys.path:
    sys.path.insert(0, FUZZ)

import cli_target  # noqa: E402,F401  (these three add their targets)
import gs1_target  # noqa: E402,F401
import pictures_target  # noqa: E402
import reader_target  # noqa: E402,F401
import targets  # noqa: E402
from choices import HypothesisChoices  # noqa: E402

EXAMPLES = int(os.environ.get("QUILLBANK_FUZZ_EXAMPLES", "120"))
ATHERIS_RUNS = int(os.environ.get("QUILLBANK_ATHERIS_RUNS", "3000"))
FUZZ_SCRIPT = os.path.join(FUZZ, "encoder_fuzz.py")
# Pictures are cheap to try and have the most options, the command line the
# most options together: three times the budget.
WEIGHT = {"pictures": 3, "main": 3}


@pytest.mark.parametrize("name", sorted(targets.TARGETS))
def test_fuzz_target(name):
    @settings(max_examples=EXAMPLES * WEIGHT.get(name, 1), deadline=None, database=None, report_multiple_bugs=False,
              suppress_health_check=list(HealthCheck))
    @given(st.data())
    def run(data):
        targets.TARGETS[name](HypothesisChoices(data))

    run()


class WrongStream:
    """An encoder that writes one byte more than it is given."""

    def __init__(self, real):
        self.real = real

    def encode(self, data, eci=None, asBits=False):
        return self.real.encode(bytes(data) + b"!" if isinstance(data, bytes) else data, eci=eci, asBits=asBits)


def test_the_checks_catch_a_wrong_stream(monkeypatch):
    # The stream property fails on a stream of another message.
    monkeypatch.setattr(targets, "ENCODER", WrongStream(targets.ENCODER))
    with pytest.raises(AssertionError):
        targets.check_stream_call(lambda: targets.ENCODER.encode(b"message", asBits=True), None,
                                  (targets.Expect(b"message"),), True, b"message", None, ordered=True)


def test_the_checks_catch_a_failed_save_that_wrote():
    from quillbank.aztec import InvalidOptionError

    # A save that raises after writing part of a picture is caught.
    class Spoiled:
        def save(self, stream, **options):
            stream.write(b"<svg")
            raise InvalidOptionError("late")

    with pytest.raises(AssertionError, match="wrote"):
        pictures_target.check_save_to_stream(Spoiled(), io.BytesIO(), "svg", {})


def test_the_checks_catch_a_batch_that_did_not_write_what_it_reports(tmp_path):
    # A line reported written but missing, and a bad line not reported.
    import cli_target

    argv = ["--batch", str(tmp_path / "lines.txt"), "-o", str(tmp_path / "{line}.svg")]
    with pytest.raises(AssertionError):
        cli_target.check_batch(argv, [(1, "ABC", {})], 0, "aztec: 1 of 1 files written in 0.01 s\n", [], str(tmp_path))
    (tmp_path / "1.svg").write_bytes(b"<svg/>")
    with pytest.raises(AssertionError):
        cli_target.check_batch(argv, [(1, None, None)], 0, "aztec: 1 of 1 files written in 0.01 s\n", [],
                               str(tmp_path))


def test_atheris_fixed_budget(tmp_path):
    pytest.importorskip("atheris")
    blind = []
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        # Beside the preloaded sanitizer runtime (tools/sanitize.sh) libFuzzer
        # gets no coverage feedback, so it would never grow its inputs: give
        # it inputs of every length up to 1 kB from the start.
        blind = ["-len_control=0", "-max_len=1024"]
    names = ",".join(sorted(targets.TARGETS))
    completed = subprocess.run(
        # A failing input is written under tmp_path (named in the output).
        [sys.executable, "-P", FUZZ_SCRIPT, f"-runs={ATHERIS_RUNS}", "-max_total_time=120",
         f"-artifact_prefix={tmp_path}/", f"-only_target={names}", *blind],
        capture_output=True, text=True, timeout=300, cwd=REPO,
        env={**os.environ, "QUILLBANK_FUZZ_SCRATCH": str(tmp_path)},
    )
    tail = completed.stderr[-4000:]
    assert completed.returncode == 0, tail
    done = re.search(r"Done (\d+) runs", completed.stderr)
    assert done, tail
    print(f"\natheris: {done.group(0)}")
    assert int(done.group(1)) >= min(ATHERIS_RUNS, 1000)


# --- Regressions of what the fuzzer found ---------------------------------------

@pytest.mark.parametrize("option", ["title", "desc", "svgclass", "lineclass"])
@pytest.mark.parametrize("character", ["\x00", "\x01", "\x1b", "\x0c", "\ufffe", "\uffff"])
def test_svg_text_options_refuse_characters_xml_cannot_hold(option, character):
    # They made a document that is not well-formed XML, which viewers refuse.
    import quillbank.aztec as aztec

    symbol = aztec.make("x")
    with pytest.raises(aztec.InvalidOptionError, match=option):
        symbol.svg(**{option: "a" + character})
    with pytest.raises(aztec.InvalidOptionError):
        symbol.save(io.BytesIO(), kind="svgz", **{option: character})
    assert "\t" in symbol.svg(title="a\tb\r\nc")  # the controls XML holds stay allowed


def test_a_batch_from_a_closed_standard_input_is_one_line(tmp_path, monkeypatch, capsys):
    # main raised ValueError("I/O operation on closed file") for it.
    from quillbank.aztec.cli import main

    stream = io.TextIOWrapper(io.BytesIO(b"ABC\n"))
    stream.close()
    monkeypatch.setattr(sys, "stdin", stream)
    assert main(["--batch", "-", "-o", str(tmp_path / "{index}.svg")]) == 2
    assert capsys.readouterr().err == "aztec: error: standard input is closed\n"
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("arguments", [["--sequence", "auto", "--format", "ppm"], ["--format", "svg"], []])
def test_an_empty_output_name_is_refused(arguments, tmp_path, monkeypatch, capsys):
    # A sequence wrote files named "-1", "-2", ... in the current folder.
    from quillbank.aztec.cli import main

    monkeypatch.chdir(tmp_path)
    assert main(["Hello, World", "-o", "", *arguments]) == 2
    assert capsys.readouterr().err.startswith("aztec: error: -o needs a file name")
    assert list(tmp_path.iterdir()) == []
