"""The fewest codewords of one width that any stream of a message takes
after bit stuffing: a slow, plain search, the reference of the codeword-
optimal programme (core/codeword_optimal.*).

Dijkstra over (position, mode, open codeword), in codewords: the open
codeword is the bits already in it and whether they are so far all 0, all
1 or mixed, and a token's bits go through that automaton as bit stuffing
cuts them.  The steps are those of reference_search.py: characters in their
modes and by every shift, single latch codes in any chain, the Punct pairs,
binary shift runs of every length.  No flags and no structured-append
start.  (bench/stuffing.py uses it to measure how often stuffing changes
the symbol.)
"""

import heapq

import reference_search as ref

MODES = (ref.UPPER, ref.LOWER, ref.DIGIT, ref.PUNCT, ref.MIXED)
BINARY_MODES = (ref.UPPER, ref.LOWER, ref.MIXED)
# Single latch codes (width, value); longer latches are chains of these.
LATCH_CODES = {
    (ref.UPPER, ref.LOWER): (5, 28), (ref.UPPER, ref.MIXED): (5, 29), (ref.UPPER, ref.DIGIT): (5, 30),
    (ref.LOWER, ref.MIXED): (5, 29), (ref.LOWER, ref.DIGIT): (5, 30),
    (ref.DIGIT, ref.UPPER): (4, 14), (ref.PUNCT, ref.UPPER): (5, 31),
    (ref.MIXED, ref.UPPER): (5, 29), (ref.MIXED, ref.LOWER): (5, 28), (ref.MIXED, ref.PUNCT): (5, 30),
}

# ---------------------------------------------------------------------------
# The steps of every stream: from (position, mode), the tokens a step emits
# and where it lands.


def binary_header(length):
    return [(5, 31), (5, length)] if length < 32 else [(5, 31), (5, 0), (11, length - 31)]


def steps(message, i, mode):
    """(tokens, next position, next mode) for every step out of (i, mode)."""
    yield from text_steps(message, i, mode)
    if mode in BINARY_MODES:
        for length in range(1, min(ref.MAX_RUN, len(message) - i) + 1):
            yield binary_header(length) + [(8, b) for b in message[i:i + length]], i + length, mode


def text_steps(message, i, mode):
    """The steps other than binary runs, tokens as tuples."""
    for (start, target), token in LATCH_CODES.items():
        if start == mode:
            yield (token,), i, target
    if i == len(message):
        return
    byte = message[i]
    if (mode, byte) in ref.CHARS:
        yield (ref.CHARS[(mode, byte)],), i + 1, mode
    for (start, target), shift in ref.SHIFT.items():
        if start == mode and (target, byte) in ref.CHARS:
            yield (shift, ref.CHARS[(target, byte)]), i + 1, mode
    pair = ref.PAIRS.get(bytes(message[i:i + 2]))
    if pair is not None:
        if mode == ref.PUNCT:
            yield ((5, pair),), i + 2, mode
        elif (mode, ref.PUNCT) in ref.SHIFT:
            yield (ref.SHIFT[(mode, ref.PUNCT)], (5, pair)), i + 2, mode


def token_bits(tokens):
    return [value >> (width - 1 - j) & 1 for width, value in tokens for j in range(width)]


# ---------------------------------------------------------------------------
# Search: the fewest codewords of any stream, for one width

OPEN, ZEROS, ONES, MIXED_BITS = range(4)


def push_bit(width, state, bit):
    """(completed words, new state) after one stream bit; state = (bits in
    the open word, ZEROS/ONES/MIXED_BITS/OPEN)."""
    k, kind = state
    if kind == OPEN:
        kind = ONES if bit else ZEROS
    elif (kind == ONES) != bool(bit):
        kind = MIXED_BITS
    k += 1
    if k == width - 1 and kind != MIXED_BITS:
        return 1, (0, OPEN)  # the stuffed bit closes the word
    if k == width:
        return 1, (0, OPEN)
    return 0, (k, kind)


_PUSHED = {}


def push_tokens(width, state, tokens):
    """(completed words, new state) after the bits of `tokens`, memoised."""
    key = (width, state, tokens)
    found = _PUSHED.get(key)
    if found is None:
        added, s = 0, state
        for bit in token_bits(tokens):
            done, s = push_bit(width, s, bit)
            added += done
        found = _PUSHED[key] = (added, s)
    return found


def fewest_words(message, width):
    """The fewest codewords (stuffed, padded) of any stream of `message`:
    Dijkstra over (position, mode, open codeword state), in codewords.  A
    stream may not start with M/L U/L, the mark of a structured-append
    symbol: the node after the opening M/L is marked `fresh`."""
    n = len(message)
    start = (0, ref.UPPER, (0, OPEN), False)
    opening_latch = (LATCH_CODES[(ref.UPPER, ref.MIXED)],)
    append_mark = (LATCH_CODES[(ref.MIXED, ref.UPPER)],)
    best = {start: 0}
    queue = [(0, start)]
    answer = None

    def relax(words, node):
        if words < best.get(node, words + 1):
            best[node] = words
            heapq.heappush(queue, (words, node))

    while queue:
        words, node = heapq.heappop(queue)
        if answer is not None and words >= answer:
            break
        if words > best[node]:
            continue
        i, mode, state, fresh = node
        if i == n:
            answer = min(answer if answer is not None else words + 1, words + (state[0] > 0))
        for tokens, j, target in text_steps(message, i, mode):
            if fresh and tokens == append_mark:
                continue
            added, s = push_tokens(width, state, tokens)
            relax(words + added, (j, target, s, node == start and tokens == opening_latch))
        if mode in BINARY_MODES:
            for length in range(1, min(ref.MAX_RUN, n - i) + 1):
                added, s = push_tokens(width, state, tuple(binary_header(length)))
                for byte in message[i:i + length]:
                    more, s = push_tokens(width, s, ((8, byte),))
                    added += more
                relax(words + added, (i + length, mode, s, False))
    return answer
