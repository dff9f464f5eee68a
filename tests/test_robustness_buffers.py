"""Caller memory and integer arguments at the C level.

The bindings release the interpreter lock while they compute, and another
thread may write to a caller's bytearray meanwhile (it may not resize it
while the buffer is exported, but it may change every byte).  A binding
that read such a buffer twice without the lock once wrote past the end of
its output; each race here runs in a child process, so that a corrupted
heap ends that process and not the suite.  Integer arguments are checked
before any arithmetic on them (the sanitizer build, tools/sanitize.sh,
reports a signed overflow as an error)."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from quillbank.aztec import _aztec, _test_hooks
from quillbank.aztec.errors import InvalidOptionError
from quillbank.aztec.optimal import encode_optimal

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

# The child flips a same-length bytearray between two contents in one
# thread while the main thread hands it to a binding, for a bounded time,
# and prints every distinct result as JSON.
RACE = """
import json, sys, threading, time
sys.path.insert(0, {tests!r})

def race(call, first, second, seconds):
    shared = bytearray(first)
    stop = threading.Event()

    def flip():
        while not stop.is_set():
            shared[:] = second
            shared[:] = first

    flipper = threading.Thread(target=flip)
    flipper.start()
    seen, calls = set(), 0
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline:
            seen.add(call(shared))
            calls += 1
    finally:
        stop.set()
        flipper.join()
    return seen, calls
"""


def run_child(body):
    code = RACE.format(tests=TESTS_DIR) + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120, cwd=TESTS_DIR)
    assert done.returncode == 0, f"child exited with {done.returncode}:\n{done.stderr[-3000:]}"
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_a_message_changed_by_another_thread_is_read_once():
    # Upper-case letters and punctuation price differently: a second read
    # of the message during the write used to overflow the output.
    outcome = run_child("""
        from quillbank.aztec.optimal import encode_optimal_stream
        from stream_decoder import decode_bits, unpack
        size = 3000
        seen, calls = race(encode_optimal_stream, b"A" * size, b"!" * size, 1.5)
        decoded = sorted({decode_bits(unpack(packed, count))[0].decode("latin-1")
                          for packed, count in seen})
        print(json.dumps({"calls": calls, "messages": decoded, "size": size}))
    """)
    size = outcome["size"]
    assert outcome["calls"] > 0
    assert set(outcome["messages"]) <= {"A" * size, "!" * size}


def test_modules_changed_by_another_thread_give_one_of_the_two_pictures():
    outcome = run_child("""
        from quillbank.aztec import _aztec
        size = 151
        light, dark = bytes(size * size), b"\\x01" * (size * size)
        def picture(modules):
            return _aztec.png(modules, size, 3, 4, None, None)
        seen, calls = race(picture, light, dark, 1.0)
        known = {picture(light): "light", picture(dark): "dark"}
        print(json.dumps({"calls": calls, "pictures": sorted(known.get(p, "mixed") for p in seen)}))
    """)
    assert outcome["calls"] > 0
    assert set(outcome["pictures"]) <= {"light", "dark"}


@pytest.mark.parametrize("call", [
    lambda: _aztec.capacity(True, 1, 2**31 - 1),
    lambda: _aztec.capacity(False, 32, -(2**31)),
    lambda: _aztec.capacity(True, 4, 100),
    lambda: _aztec.png(b"\x01", 1, 2**31 - 1, 2**31 - 1, None, None),
    lambda: _aztec.png(b"\x01", 1, 1, 2**31 - 1, None, None),
    lambda: _aztec.build(b"\xff", 2**62),
    lambda: _test_hooks.check_words([1, 2], 2**62, 8),
    lambda: _test_hooks.check_words([1, 2], 2**8 - 2, 8),
], ids=["capacity-huge-ec", "capacity-negative-ec", "capacity-ec-100", "png-huge", "png-huge-border",
        "packed-huge-count", "check-huge-count", "check-just-too-many"])
def test_integer_arguments_out_of_range_are_refused_before_arithmetic(call):
    with pytest.raises(ValueError):
        call()


def test_capacity_takes_the_ends_of_the_error_correction_range():
    assert _aztec.capacity(True, 1, 0) == (15, 6, 17, 14)
    assert _aztec.capacity(False, 32, 99)[:3] == (151, 12, 1664)


def test_optimal_encoder_takes_integer_like_eci_numbers():
    numpy = pytest.importorskip("numpy")
    assert encode_optimal("A", eci=numpy.int64(26)) == encode_optimal("A", eci=26)
    assert encode_optimal(numpy.frombuffer(b"AB", numpy.uint8), eci=numpy.uint16(3)) == \
        encode_optimal(b"AB", eci=3)
    with pytest.raises(InvalidOptionError):
        encode_optimal("A", eci=numpy.int64(-1))
    with pytest.raises(TypeError):
        encode_optimal("A", eci=26.0)
