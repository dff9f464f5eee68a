"""Fuzzing with a fixed budget: the properties of fuzz/encoder_fuzz.py
(streams decode back to the message and its ECI; symbols read back, or are
refused with the documented errors), driven by hypothesis on every run and
by atheris' coverage-guided search when atheris is installed.

`python -P fuzz/encoder_fuzz.py -max_total_time=600` is the longer run."""

import importlib.util
import io
import os
import re
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quillbank.aztec.encoder import Encoder

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FUZZ_SCRIPT = os.path.join(REPO, "fuzz", "encoder_fuzz.py")
ATHERIS_RUNS = int(os.environ.get("QUILLBANK_ATHERIS_RUNS", "6000"))


def load_fuzz_module():
    spec = importlib.util.spec_from_file_location("encoder_fuzz", FUZZ_SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


fuzz = load_fuzz_module()
SHARED = Encoder()

# Text that stays in one mode, text that hops between them, and anything.
MODE_TEXT = "ABCXYZ abcxyz 0123456789,.!?:;\r\n@\\^_|~\x01\x1b\x7f"
byte_payloads = st.one_of(
    st.binary(max_size=600),
    st.lists(st.sampled_from([b"A", b"a", b"7", b"!", b"@", b"\x00", b"\x80", b"\xff", b". ", b"\r\n",
                              b", ", b": ", b" "]), max_size=200).map(b"".join),
    st.tuples(st.sampled_from([b"\x00", b"\x90", b"\xff", b"a"]), st.integers(25, 2200)).map(lambda t: t[0] * t[1]),
)
text_payloads = st.one_of(st.text(max_size=300), st.text(alphabet=MODE_TEXT, max_size=400))
ecis = st.one_of(st.none(), st.integers(0, 999999), st.integers(0, 2 ** 32 - 1), st.booleans(),
                 st.sampled_from(["26", 3.0]))


@settings(max_examples=400, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(form=st.sampled_from(["bytes", "bytearray", "memoryview"]), payload=byte_payloads, eci=ecis)
def test_fuzz_byte_messages_decode_back(form, payload, eci):
    fuzz.check_encode(SHARED, form, payload, eci)


@settings(max_examples=300, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(form=st.sampled_from(["text", "own encode", "printed"]), payload=text_payloads, eci=ecis)
def test_fuzz_text_messages_decode_back(form, payload, eci):
    fuzz.check_encode(SHARED, form, payload, eci)


READER = fuzz.zxing_reader()


@settings(max_examples=200, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    message=st.one_of(st.binary(max_size=300), st.text(alphabet=MODE_TEXT, max_size=600).map(str.encode)),
    eci=st.one_of(st.none(), st.integers(0, 999999)),
    ec_percent=st.integers(-3, 102),
    compact=st.sampled_from([None, True, False]),
    layers=st.one_of(st.none(), st.integers(-1, 34)),
)
def test_fuzz_symbol_options(message, eci, ec_percent, compact, layers):
    pytest.importorskip("quillbank.aztec.builder")
    fuzz.check_symbol(message, eci, ec_percent, compact, layers, READER)


def test_the_checks_catch_a_wrong_stream():
    # The property the fuzzers check fails on a stream of another message.
    class Wrong(Encoder):
        def encode(self, data, eci=None, asBits=False):
            return Encoder.encode(self, data + b"!", eci=eci, asBits=asBits)

    with pytest.raises(AssertionError):
        fuzz.check_encode(Wrong(), "bytes", b"message", None)


def test_atheris_fixed_budget(tmp_path):
    pytest.importorskip("atheris")
    blind = []
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        # Beside the preloaded sanitizer runtime (tools/sanitize.sh) libFuzzer
        # gets no coverage feedback, so it would never grow its inputs: give
        # it inputs of every length up to 1 kB from the start.
        blind = ["-len_control=0", "-max_len=1024"]
    completed = subprocess.run(
        # A failing input is written under tmp_path (named in the output).
        [sys.executable, "-P", FUZZ_SCRIPT, f"-runs={ATHERIS_RUNS}", "-max_total_time=120",
         f"-artifact_prefix={tmp_path}/", *blind],
        capture_output=True, text=True, timeout=300, cwd=REPO,
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
