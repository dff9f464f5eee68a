"""Threads sharing one Encoder.

The encoder's own work runs under the interpreter lock, but `encode` calls
back into Python -- the text's own `encode`, the truth test of `asBits`,
the object's `reset` -- and any of those may let another thread run, or
reset the very encoder that is encoding.  Whatever the interleaving, no
call may crash or touch a released state, and every result is the stream
of the messages fed since the last reset (one message, several run
together when threads interleaved, or none: an empty stream).

QUILLBANK_THREAD_ITERATIONS raises the number of calls per thread."""

import os
import random
import sys
import threading
import time

import pytest

from quillbank.aztec.encoder import Encoder
from stream_decoder import StreamError, decode_events, unpack

ITERATIONS = int(os.environ.get("QUILLBANK_THREAD_ITERATIONS", "2500"))
THREADS = 4
MARK = ord("<")


def message_for(thread, iteration):
    """Messages that start with '<' and hold no other '<', so that a run of
    several can be cut apart again; each has a different mix of modes."""
    bodies = [
        b"T%d.%d HELLO world 12345" % (thread, iteration),
        b"T%d.%d \x80\xff\x00 binary %d" % (thread, iteration, iteration * 7919),
        b"T%d.%d \r\n. , : punct!?" % (thread, iteration),
        b"T%d.%d @\\^_`|~ mixed \x01\x1b" % (thread, iteration),
    ]
    return b"<" + bodies[iteration % len(bodies)]


class SleepingTruth:
    """asBits whose truth test lets the other threads run."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        time.sleep(0)
        return self.value


class ResettingTruth:
    """asBits whose truth test resets the encoder that is encoding."""

    def __init__(self, encoder, value):
        self.encoder, self.value = encoder, value

    def __bool__(self):
        self.encoder.reset()
        time.sleep(0)
        return self.value


class EncodingTruth:
    """asBits whose truth test runs a whole encode on the same encoder."""

    def __init__(self, encoder, message):
        self.encoder, self.message = encoder, message

    def __bool__(self):
        self.encoder.encode(self.message)
        return True


class YieldingText(str):
    """A text whose own encode lets the other threads run."""

    def encode(self, *args):
        time.sleep(0)
        return str.encode(self, "utf8")


def split_messages(data):
    """The messages run together in `data`, or None when it is not a run of
    whole messages."""
    if not data:
        return []
    if data[0] != MARK:
        return None
    return [b"<" + piece for piece in data[1:].split(b"<")]


def check_result(result, fed, ecis):
    """Decodes one result and checks it against the messages fed and the ECI
    numbers used; returns the number of messages it holds."""
    if isinstance(result, list):
        candidates = [result]
    else:
        # Packed bytes end with up to seven padding bits.
        bits = unpack(result, 8 * len(result))
        candidates = [bits[:len(bits) - pad] for pad in range(8)] if result else [[]]
    for bits in candidates:
        try:
            events = decode_events(bits)
        except StreamError:
            continue
        data = b"".join(v for kind, v in events if kind == "data")
        numbers = [v for kind, v in events if kind == "eci"]
        kinds = [kind for kind, _ in events]
        # ECI designators all sit in the root, ahead of every character
        # (every message here starts outside the root's mode).
        first_data = kinds.index("data") if "data" in kinds else len(kinds)
        if "eci" in kinds[first_data:]:
            continue
        messages = split_messages(data)
        if messages is None or any(m not in fed for m in messages):
            continue
        if any(n not in ecis for n in numbers):
            continue
        return len(messages)
    raise AssertionError(f"not a stream of fed messages: {result!r}")


@pytest.fixture
def busy_switching():
    # Switch threads as often as the interpreter allows.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def test_threads_sharing_one_encoder_never_crash_and_give_whole_streams(busy_switching):
    encoder = Encoder()
    fed = set()
    ecis = {26, 3, 899999}
    for t in range(THREADS + 1):
        for i in range(ITERATIONS):
            fed.add(message_for(t, i))
    results = [[] for _ in range(THREADS)]
    errors = []
    start = threading.Barrier(THREADS)

    def work(t):
        rng = random.Random(t)
        try:
            start.wait()
            for i in range(ITERATIONS):
                message = message_for(t, i)
                choice = i % 6
                eci = rng.choice([None, None, 26, 3, 899999])
                if choice == 0:
                    as_bits = SleepingTruth(True)
                elif choice == 1:
                    as_bits = SleepingTruth(False)
                elif choice == 2:
                    as_bits = ResettingTruth(encoder, rng.random() < 0.5)
                elif choice == 3:
                    as_bits = EncodingTruth(encoder, message_for(THREADS, i))
                elif choice == 4:
                    message = YieldingText(message.decode("latin-1"))
                    as_bits = True
                else:
                    as_bits = False
                result = encoder.encode(message, eci=eci, asBits=as_bits)
                results[t].append(result)
        except BaseException as error:  # reported below
            errors.append((t, error))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads), "a thread did not finish"
    assert errors == []

    # Text messages went in as latin-1 text and come back as UTF-8.
    fed |= {m.decode("latin-1").encode("utf8") for m in fed}
    counts = {}
    for per_thread in results:
        assert len(per_thread) == ITERATIONS
        for result in per_thread:
            n = check_result(result, fed, ecis)
            counts[n] = counts.get(n, 0) + 1
    total = sum(counts.values())
    print(f"\n{total} calls from {THREADS} threads; messages per result: {sorted(counts.items())}")
    assert total == THREADS * ITERATIONS
    # The interleavings did happen: some results are empty, most are whole.
    assert counts.get(1, 0) > total // 4


def test_a_reset_inside_the_truth_test_gives_an_empty_stream():
    encoder = Encoder()
    assert encoder.encode(b"gone", asBits=ResettingTruth(encoder, True)) == []
    assert encoder.encode(b"gone", asBits=ResettingTruth(encoder, False)) == b""
    # The reset also cleared an ECI designator placed before it.
    assert encoder.encode(b"gone", eci=7, asBits=ResettingTruth(encoder, True)) == []
    # ... and the object is fresh for the next call.
    bits = encoder.encode(b"next", asBits=True)
    assert decode_events(bits) == [("data", c) for c in (b"n", b"e", b"x", b"t")]


def test_an_encode_inside_the_truth_test_takes_the_outer_message_along():
    encoder = Encoder()
    bits = encoder.encode(b"<outer", asBits=EncodingTruth(encoder, b"<inner"))
    assert bits == []  # the inner call returned the run of both and reset
    inner_result = []

    class Capture:
        def __bool__(self):
            inner_result.append(encoder.encode(b"<inner", asBits=True))
            return True

    encoder.encode(b"<outer", asBits=Capture())
    assert split_messages(b"".join(v for k, v in decode_events(inner_result[0]))) == [b"<outer", b"<inner"]
