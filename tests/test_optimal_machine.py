"""The optimal encoder's remembered transitions (a per-thread state machine
that text runs through, handing over to the general programme and back):
the stream must not depend on what the thread encoded before, and must stay
shortest where the two paths meet."""

import random
import threading

import pytest

from quillbank.aztec.optimal import encode_optimal, encode_optimal_segments
from shortest_reference import reference_length
from stream_decoder import decode_bits, decode_flagged, unpack


def in_fresh_thread(function):
    """function() run in a new thread, whose remembered states start empty;
    its exception, if any, is raised here."""
    outcome = {}

    def run():
        try:
            outcome["value"] = function()
        except BaseException as error:  # re-raised in the caller's thread
            outcome["error"] = error

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def boundary_messages():
    """Messages whose states sit where the paths meet: starts kept in the run
    queues up to and past the kept age, pairs at a hand-over, runs that begin
    before one, shifts that leave several starts queued."""
    rng = random.Random(24778)
    messages = []
    for gap in (1, 2, 30, 31, 32, 33, 63, 64, 65, 66, 90):
        messages.append(b"\x80" + b"a" * gap + b"\x81b")               # a start kept for `gap` bytes
        messages.append(b"ab\x90" + b"A. " * (gap // 3) + b"\x00\x00z")  # pairs beside it
    for size in (1, 2, 31, 32, 33, 40):
        binary = bytes(rng.randrange(128, 256) for _ in range(size))
        messages.append(b"Hello " + binary + b" world, again.\r\n" + binary[:3] + b"END")
    for _ in range(40):
        pieces = [b"a", b"A", b"1", b". ", b", ", b": ", b"\r\n", b"!", b"@", b"\x80", b"\x00", b"aA", b"zZ9"]
        messages.append(b"".join(rng.choice(pieces) for _ in range(rng.randint(1, 60))))
    for _ in range(40):
        # Random bytes: runs of every length, their starts kept long.
        messages.append(bytes(rng.randrange(256) for _ in range(rng.randint(40, 200))))
    return messages


class TestHistory:
    def test_streams_do_not_depend_on_what_the_thread_encoded_before(self):
        # A transition remembered from one message that read anything the
        # state leaves out would give another message a different stream.
        messages = boundary_messages()
        forward = in_fresh_thread(lambda: [encode_optimal(m) for m in messages])
        backward = in_fresh_thread(lambda: [encode_optimal(m) for m in reversed(messages)])[::-1]
        alone = [in_fresh_thread(lambda m=m: encode_optimal(m)) for m in messages[::7]]
        assert forward == backward
        assert alone == forward[::7]

    def test_a_full_cache_starts_again_without_changing_streams(self):
        # Thousands of states (bytes of every kind mixed) fill the cache and
        # clear it, mid-message too; each stream is still the one a thread
        # that never saw the others gives.
        rng = random.Random(7)
        alphabet = bytes(range(1, 128)) + b"\x80\xff"
        messages = [bytes(rng.choice(alphabet) for _ in range(rng.randint(200, 900))) for _ in range(150)]
        crowded = in_fresh_thread(lambda: [encode_optimal(m) for m in messages])
        assert [in_fresh_thread(lambda m=m: encode_optimal(m)) for m in messages[-10:]] == crowded[-10:]

    def test_a_message_the_machine_gives_up_on_is_still_shortest(self):
        # Letters of both cases among digits and punctuation add states the
        # machine never meets again: it stops learning part way, and the
        # general programme finishes the message, the text it knows too.
        rng = random.Random(5)
        mixed = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 .,-/"
        messages = [bytes(rng.choice(mixed) for _ in range(rng.randint(300, 600)))
                    + b"Gate 12: boarding now.\r\n" * rng.randint(1, 8) for _ in range(4)]
        warm = in_fresh_thread(lambda: [encode_optimal(m) for m in messages * 2])
        assert warm[:4] == warm[4:]
        for message, packed in zip(messages, warm):
            bits = encode_optimal(message, asBits=True)
            assert encode_optimal(message) == packed
            assert len(bits) == reference_length(message)
            assert decode_bits(bits) == (message, None)

    def test_text_after_random_bytes_is_encoded_as_by_a_fresh_thread(self):
        # Random bytes put the machine to rest (it learns states there and
        # carries next to nothing); the text after them wakes it.  No stream
        # on either side depends on that.
        rng = random.Random(3)
        noise = [rng.randbytes(rng.randint(50, 600)) for _ in range(40)]
        text = [b"Gate %d: boarding now. Seat %dC\r\n" % (i, i * 7 % 60) * rng.randint(1, 6) for i in range(30)]
        messages = noise + text + noise[:10] + text[:10]
        warm = in_fresh_thread(lambda: [encode_optimal(m, asBits=True) for m in messages])
        assert [in_fresh_thread(lambda m=m: encode_optimal(m, asBits=True)) for m in messages[::4]] == warm[::4]
        for message, bits in zip(messages[40:], warm[40:]):
            assert len(bits) == reference_length(message)
            assert decode_bits(bits) == (message, None)


class TestWherePathsMeet:
    @pytest.mark.parametrize("message", boundary_messages()[::3])
    def test_boundary_messages_are_shortest_and_read_back(self, message):
        bits = encode_optimal(message, asBits=True)
        assert len(bits) == reference_length(message)
        assert decode_bits(bits) == (message, None)

    def test_flags_stop_and_restart_the_machine(self):
        # The machine runs up to a flag, the general programme writes it.
        rng = random.Random(11)
        text = b"Fly on time. Gate 12: boarding now\r\n"
        for _ in range(30):
            message = text * rng.randint(1, 3)
            positions = sorted(rng.randint(0, len(message)) for _ in range(rng.randint(1, 4)))
            flags = [(p, rng.choice([None, 3, 26])) for p in positions]
            append = rng.random() < 0.5
            packed, count = encode_optimal_segments(message, flags, append)
            assert count == reference_length(message, flags=flags, append=append)
            assert decode_flagged(unpack(packed, count)) == (message, flags, append)
            cold = in_fresh_thread(lambda: encode_optimal_segments(message, flags, append))
            assert cold == (packed, count)
