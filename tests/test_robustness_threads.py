"""Threads sharing one Encoder.

The encoder's own work runs under the interpreter lock, but `encode` calls
back into Python -- the text's own `encode`, the truth test of `asBits`,
the object's `reset` -- and any of those may let another thread run, or
reset the very encoder that is encoding.  A second `encode` on an object
that is encoding is refused with RuntimeError, so whatever the
interleaving, no call may crash or touch a released state, and every
result is the stream of the message of that call alone (or none: an empty
stream when its truth test reset the object).

QUILLBANK_THREAD_ITERATIONS raises the number of calls per thread."""

import os
import random
import sys
import threading
import time

import pytest

from quillbank.aztec.encoder import Encoder
from stream_decoder import StreamError, decode_events, unpack
from tracebacks import ENCODE, MODULE_FILE, last_records

ITERATIONS = int(os.environ.get("QUILLBANK_THREAD_ITERATIONS", "2500"))
THREADS = 4


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


def decoded(result):
    """(data, ECI numbers) of one result, packed bytes or a list of bits."""
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
        return (b"".join(v for kind, v in events if kind == "data"),
                [v for kind, v in events if kind == "eci"])
    raise AssertionError(f"not a stream: {result!r}")


REFUSAL = "encoder is already encoding a message"


@pytest.fixture
def busy_switching():
    # Switch threads as often as the interpreter allows.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def test_threads_sharing_one_encoder_never_mix_two_messages(busy_switching):
    encoder = Encoder()
    outcomes = [[] for _ in range(THREADS)]
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
                try:
                    result = encoder.encode(message, eci=eci, asBits=as_bits)
                except RuntimeError as refusal:
                    if str(refusal) != REFUSAL:
                        raise
                    result = refusal
                outcomes[t].append((choice, message, eci, result))
        except BaseException as error:  # reported below
            errors.append((t, error))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads), "a thread did not finish"
    assert errors == []

    refused = whole = emptied = 0
    for per_thread in outcomes:
        assert len(per_thread) == ITERATIONS
        for choice, message, eci, result in per_thread:
            if isinstance(result, RuntimeError):
                refused += choice != 3
                continue
            assert choice != 3, "an encode inside the truth test was not refused"
            data, numbers = decoded(result)
            if choice == 2 and not data and not numbers:
                emptied += 1  # its own truth test reset the object
                continue
            own = message.encode("utf8") if isinstance(message, str) else message
            assert (data, numbers) == (own, [] if eci is None else [eci])
            whole += 1
    total = THREADS * ITERATIONS
    print(f"\n{total} calls from {THREADS} threads: {whole} whole, {emptied} emptied, {refused} refused")
    # The interleavings did happen: calls that met another thread's call
    # were refused; the others gave their own message.
    assert refused > 0 and whole > 0


def test_a_reset_inside_the_truth_test_gives_an_empty_stream():
    encoder = Encoder()
    assert encoder.encode(b"gone", asBits=ResettingTruth(encoder, True)) == []
    assert encoder.encode(b"gone", asBits=ResettingTruth(encoder, False)) == b""
    # The reset also cleared an ECI designator placed before it.
    assert encoder.encode(b"gone", eci=7, asBits=ResettingTruth(encoder, True)) == []
    # ... and the object is fresh for the next call.
    bits = encoder.encode(b"next", asBits=True)
    assert decode_events(bits) == [("data", c) for c in (b"n", b"e", b"x", b"t")]


def test_an_encode_inside_the_truth_test_is_refused_and_the_outer_call_fails():
    encoder = Encoder()
    with pytest.raises(RuntimeError, match=f"^{REFUSAL}$") as excinfo:
        encoder.encode(b"<outer", eci=3, asBits=EncodingTruth(encoder, b"<inner"))
    assert last_records(excinfo, 2) == [(ENCODE, MODULE_FILE, 47), (ENCODE, MODULE_FILE, 37)]
    # Neither message is left in the object.
    assert decoded(encoder.encode(b"<next", asBits=True)) == (b"<next", [])
