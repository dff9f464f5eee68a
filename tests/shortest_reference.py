"""The tests' shortest-path reference for the optimal encoder: Dijkstra
over explicit states, written apart from the encoder (no shared table, no
run windows), with the flags and the structured-append start."""

import heapq

# States are (position, mode, length of the open binary run, flags written), with single latch codes as edges (no latch sequences) and
# the 11 extra header bits paid when a run reaches its 32nd byte.  It shares
# no table and no idea of run windows with the encoder.

U, L, D, P, M = "U", "L", "D", "P", "M"
WIDTH = {U: 5, L: 5, D: 4, P: 5, M: 5}
CHARS = {
    U: set(b" ABCDEFGHIJKLMNOPQRSTUVWXYZ"),
    L: set(b" abcdefghijklmnopqrstuvwxyz"),
    D: set(b" 0123456789,."),
    P: set(b"\r!\"#$%&'()*+,-./:;<=>?[]{}"),
    M: set(b" @\\^_`|~\x7f") | set(range(1, 14)) | set(range(27, 32)),
}
LATCHES = {U: {L: 5, M: 5, D: 5}, L: {M: 5, D: 5}, D: {U: 4}, P: {U: 5}, M: {U: 5, L: 5, P: 5}}
SHIFTS = {U: {P: 5}, L: {U: 5, P: 5}, D: {U: 4, P: 4}, P: {}, M: {P: 5}}
PAIRS = {b"\r\n", b". ", b", ", b": "}
BINARY_MODES = (U, L, M)
LONGEST_RUN = 2078


def flag_bits(value):
    """FLG(n) read in Punct: the code, the count, 4 bits a digit."""
    return 5 + 3 + (0 if value is None else 4 * len(str(value)))


def reference_length(message, eci=None, flags=(), append=False):
    """The fewest bits of any stream for `message` with `flags`, a list of
    (position, ECI number or None for FNC1) written before the byte at the
    position.  A state also counts the flags written; a byte is read only
    once every flag before it is, and no run or pair reaches past a flag.
    A structured-append stream starts with M/L and U/L (two 5-bit latches)."""
    n = len(message)
    flags = ([(0, eci % 1000000)] if eci is not None else []) + list(flags)
    start = 10 if append else 0
    best = {(0, U, 0, 0): start}
    queue = [(start, 0, U, 0, 0)]
    while queue:
        cost, i, mode, run, f = heapq.heappop(queue)
        if cost > best[(i, mode, run, f)]:
            continue
        if i == n and run == 0 and f == len(flags):
            return cost
        pending = f < len(flags) and flags[f][0] == i  # a flag must come before byte i
        # A pair also needs no flag between its two bytes.
        pair_free = not any(position == i + 1 for position, _ in flags[f:])

        def relax(state, extra):
            if cost + extra < best.get(state, cost + extra + 1):
                best[state] = cost + extra
                heapq.heappush(queue, (cost + extra, *state))

        if run:
            relax((i, mode, 0, f), 0)
            if i < n and run < LONGEST_RUN and not pending:
                relax((i + 1, mode, run + 1, f), 8 + (11 if run + 1 == 32 else 0))
            continue
        for target, bits in LATCHES[mode].items():
            relax((i, target, 0, f), bits)
        if pending:
            shift = 0 if mode == P else SHIFTS[mode][P]
            relax((i, mode, 0, f + 1), shift + flag_bits(flags[f][1]))
            continue
        if i == n:
            continue
        byte = message[i]
        if byte in CHARS[mode]:
            relax((i + 1, mode, 0, f), WIDTH[mode])
        for target, bits in SHIFTS[mode].items():
            if byte in CHARS[target]:
                relax((i + 1, mode, 0, f), bits + WIDTH[target])
        if message[i:i + 2] in PAIRS and pair_free:
            if mode == P:
                relax((i + 2, P, 0, f), 5)
            elif P in SHIFTS[mode]:
                relax((i + 2, mode, 0, f), SHIFTS[mode][P] + 5)
        if mode in BINARY_MODES:
            relax((i + 1, mode, 1, f), 10 + 8)
    raise AssertionError("no stream reaches the end")
