"""Why a message does not fit, in figures: the DataOverflowError of a
stream that no allowed symbol holds (what the largest holds, the longest
start of the message that fits, the one change of option that would make
it fit, make_sequence when a sequence holds it), and the quick refusal of
a message too long for any symbol, before it is encoded whole."""

from __future__ import annotations

from functools import lru_cache
from typing import Callable, Optional

from . import _aztec
from .errors import DataOverflowError
from .segments import Content, single
from .sequence import MAX_SYMBOLS, last_true
from .sequence_parts import fits_sequence
from .shapes import BINARY_BITS_TIMES_2, TEXT_BITS_TIMES_2, Allowed, Words, largest_bits, most_bytes
from .streams import Stream, content_stream

__all__ = ["overflow", "check_length"]


def overflow(content: Content, stream: Optional[Stream], allowed: Allowed, optimal: bool) -> DataOverflowError:
    """The error for a stream that fits none of the allowed symbols (None:
    the content's, not yet encoded): what the largest of them holds, in
    codewords and in bytes of this message, which option would make the
    message fit, and make_sequence when a sequence of those symbols holds
    it."""
    message = content.message
    fitting: Optional[int] = None
    if stream is None and optimal and content.leading_eci_only() and allowed.data_words > 0:
        # One encoding gives the stream and the longest start that fits.
        packed, bits, fitting = _aztec.fitting_start(message, content.eci, words=allowed.data_words,
                                                      width=allowed.word_bits)
        stream = (packed, bits)
    elif stream is None:
        stream = content_stream(content, optimal)
    words = Words(stream)
    needed = words.count(allowed.word_bits)
    head = f"the message does not fit: its {words.bits} bits make {needed} codewords of {allowed.word_bits} bits"
    if allowed.data_words == 0:
        fitting = 0
        holds = f"{allowed.largest} has no room for data with {allowed.ec_percent}% error correction"
    else:
        if fitting is None:
            fitting = _longest_fitting_prefix(
                message, allowed, lambda length: content_stream(content.prefix(length), optimal), words.bits)
        holds = (f"{allowed.largest}, {allowed.limit}, holds {allowed.data_words} of them with "
                 f"{allowed.ec_percent}% error correction: the first {fitting} of the message's "
                 f"{len(message)} bytes")
    remedies = allowed.remedies(lambda **changes: allowed.holds(words, **changes))
    split = fits_sequence(content, allowed, words.bits)
    if remedies:
        advice = f"it would fit with {' or '.join(remedies)}"
        advice += "; or split it across symbols with make_sequence" if split else ""
    elif split:
        advice = "no one change of these options makes it fit, so split it across symbols with make_sequence"
    else:
        advice = (f"no one change of these options makes it fit, nor does a sequence of {MAX_SYMBOLS} "
                  f"such symbols (make_sequence)")
    return DataOverflowError(
        f"{head}, but {holds}; {advice}",
        needed_bits=words.bits, available_bits=allowed.data_words * allowed.word_bits,
        message_bytes=len(message), fitting_bytes=fitting)


def _longest_fitting_prefix(message: bytes, allowed: Allowed, stream_of: Callable[[int], Stream],
                            whole_bits: int) -> int:
    """The most bytes from the start of ``message`` that fit (the whole,
    of ``whole_bits`` bits, does not).  Searched from a guess: the start
    whose share of the whole's bits the symbol holds, made closer once by
    that start's own bits per byte, so that a few encodings settle it
    where a plain bisection took a dozen."""
    room = allowed.data_words * allowed.word_bits
    guess = len(message) * room // max(whole_bits, 1)
    if 0 < guess < len(message):
        bits = Words(stream_of(guess)).bits
        guess = guess * room // max(bits, 1)
    return last_true(0, len(message) - 1, lambda length: allowed.holds(Words(stream_of(length))),
                     near=min(max(guess, 0), len(message) - 1))


@lru_cache(maxsize=None)
def _text_bytes() -> bytes:
    """The bytes some text mode holds: those the encoder writes alone in
    fewer bits than a binary shift run of one byte (18 bits) takes."""
    return bytes(b for b in range(256) if len(_aztec.encode(bytes([b]), asBits=True)) < 18)


def check_length(message: bytes, allowed: Allowed, symbols: int = 1, eci: Optional[int] = None,
                 content: Optional[Content] = None, optimal: bool = True) -> None:
    """Refuses a message that no symbol at all (no ``symbols`` symbols) can
    hold, before encoding it whole.  The message is ``content``, or the
    bytes marked with ``eci``: the refusal of one symbol names make_sequence
    when a sequence holds it, and how many of its first bytes do fit."""
    most_bits = largest_bits() * symbols
    if len(message) * TEXT_BITS_TIMES_2 <= 2 * most_bits:
        return  # could fit, whatever its bytes
    binary = len(message.translate(None, _text_bytes()))
    least_bits_times_2 = binary * BINARY_BITS_TIMES_2 + (len(message) - binary) * TEXT_BITS_TIMES_2
    if least_bits_times_2 <= 2 * most_bits:
        return
    capacity = allowed.data_words * allowed.word_bits * symbols
    # The byte count a refusal gives is one that fits: the longest start of
    # the message that the largest allowed symbol holds, by bisection with
    # real builds below the most bytes any stream of its bits could carry
    # (2.5 bits a byte), never an estimate from the message's average cost
    # (a letter estimated at 2.5 bits costs 5).  Only a start of at most
    # that many bytes is encoded, so a huge message costs little more.  A
    # sequence gives no such count: cutting it into parts is the slow work
    # this quick refusal is there to spare.
    fitting: Optional[int] = None
    if symbols > 1:
        holds = (f"{symbols} of {allowed.largest}, {allowed.limit}, hold {capacity} bits with "
                 f"{allowed.ec_percent}% error correction, and no sequence holds more than {most_bits} bits")
    else:
        most = most_bytes(capacity)
        start = (content or single(message, eci)).prefix(most)  # its flags cut once, not at each step
        start_bits = least_bits_times_2 * len(start.message) // (2 * len(message))  # a guess, for the search
        if allowed.data_words == 0:
            fitting = 0
        elif optimal and start.leading_eci_only():
            # One encoding of the start, not one a step of a search.
            fitting = _aztec.fitting_start(start.message, start.eci, words=allowed.data_words,
                                           width=allowed.word_bits)[2]
        else:
            fitting = _longest_fitting_prefix(
                start.message, allowed, lambda length: content_stream(start.prefix(length), optimal), start_bits)
        holds = (f"{allowed.largest}, {allowed.limit}, holds {capacity} bits with {allowed.ec_percent}% error "
                 f"correction: the first {fitting} of its bytes, and no single symbol holds more than "
                 f"{most_bits} bits")
        if least_bits_times_2 <= 2 * capacity * MAX_SYMBOLS and fits_sequence(content or single(message, eci),
                                                                              allowed):
            holds += "; split it across symbols with make_sequence"
    raise DataOverflowError(
        f"the message does not fit: its {len(message)} bytes ({binary} of them binary) need at least "
        f"{(least_bits_times_2 + 1) // 2} bits, but {holds}",
        needed_bits=(least_bits_times_2 + 1) // 2, available_bits=capacity,
        message_bytes=len(message), fitting_bytes=fitting)
