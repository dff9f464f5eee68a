"""A plain model of the encoder's search, written for the tests: every
candidate is kept while it ties for the fewest bits, with no merging of
equal candidates, costs recomputed from the tokens, and lists copied at
every step.  Exponential on mixed input, so only for short messages.
"""

UPPER, LOWER, DIGIT, PUNCT, MIXED = range(5)


def _char_codes():
    table = {}
    def put(mode, byte, code):
        table[(mode, byte)] = (4 if mode == DIGIT else 5, code)
    for mode in (UPPER, LOWER, DIGIT, MIXED):
        put(mode, 32, 1)
    for b in range(65, 91):
        put(UPPER, b, b - 63)
    for b in range(97, 123):
        put(LOWER, b, b - 95)
    for b in range(48, 58):
        put(DIGIT, b, b - 46)
    put(DIGIT, 44, 12)
    put(DIGIT, 46, 13)
    for b in range(1, 14):
        put(MIXED, b, b + 1)
    for b in range(27, 32):
        put(MIXED, b, b - 12)
    for b, code in zip(b"@\\^_`|~\x7f", range(20, 28)):
        put(MIXED, b, code)
    put(PUNCT, 13, 1)
    for b, code in zip(b"!\"#$%&'()*+,-./:;<=>?[]{}", range(6, 31)):
        put(PUNCT, b, code)
    return table


CHARS = _char_codes()

# Shortest latch sequences as (width, value) tokens, written out code by code.
LATCH = {
    (UPPER, LOWER): [(5, 28)], (UPPER, DIGIT): [(5, 30)],
    (UPPER, PUNCT): [(5, 29), (5, 30)], (UPPER, MIXED): [(5, 29)],
    (LOWER, UPPER): [(5, 30), (4, 14)], (LOWER, DIGIT): [(5, 30)],
    (LOWER, PUNCT): [(5, 29), (5, 30)], (LOWER, MIXED): [(5, 29)],
    (DIGIT, UPPER): [(4, 14)], (DIGIT, LOWER): [(4, 14), (5, 28)],
    (DIGIT, PUNCT): [(4, 14), (5, 29), (5, 30)], (DIGIT, MIXED): [(4, 14), (5, 29)],
    (PUNCT, UPPER): [(5, 31)], (PUNCT, LOWER): [(5, 31), (5, 28)],
    (PUNCT, DIGIT): [(5, 31), (5, 30)], (PUNCT, MIXED): [(5, 31), (5, 29)],
    (MIXED, UPPER): [(5, 29)], (MIXED, LOWER): [(5, 28)],
    (MIXED, DIGIT): [(5, 29), (5, 30)], (MIXED, PUNCT): [(5, 30)],
}
SHIFT = {
    (UPPER, PUNCT): (5, 0), (LOWER, UPPER): (5, 28), (LOWER, PUNCT): (5, 0),
    (DIGIT, UPPER): (4, 15), (DIGIT, PUNCT): (4, 0), (MIXED, PUNCT): (5, 0),
}
PAIRS = {b"\r\n": 2, b". ": 3, b", ": 4, b": ": 5}
MAX_RUN = 2078


class State:
    def __init__(self, mode, parent, tokens):
        self.mode = mode
        self.parent = parent
        self.tokens = list(tokens)

    def cost(self):
        total, state = 0, self
        while state is not None:
            total += sum(width for width, _ in state.tokens)
            state = state.parent
        return total

    def stream(self):
        return path_bits(self)


def path_bits(state):
    """The stream of the path from the root to `state` (any node with
    `parent` and `tokens`), one bool per bit."""
    chain = []
    while state is not None:
        chain.append(state)
        state = state.parent
    bits = []
    for node in reversed(chain):
        for width, value in node.tokens:
            bits.extend(bool(value >> p & 1) for p in range(width - 1, -1, -1))
    return bits


def eci_tokens(eci):
    digits = str(eci % 1000000)
    value = len(digits)
    for d in digits:
        value = value * 16 + int(d) + 2
    return [(5, 0), (4 * (len(digits) + 2), value)]


def _add_char(live, byte):
    candidates = [m for m in range(5) if (m, byte) in CHARS]
    out = []
    for state in live:
        if (state.mode, byte) in CHARS:
            state.tokens.append(CHARS[(state.mode, byte)])
            out.append(state)
            continue
        for target in candidates:
            code = CHARS[(target, byte)]
            out.append(State(target, state, LATCH[(state.mode, target)] + [code]))
            if (state.mode, target) in SHIFT:
                out.append(State(state.mode, state, [SHIFT[(state.mode, target)], code]))
    return out


def _add_pair(live, code):
    out = []
    for state in live:
        if state.mode == PUNCT:
            state.tokens.append((5, code))
            out.append(state)
            continue
        out.append(State(PUNCT, state, LATCH[(state.mode, PUNCT)] + [(5, code)]))
        out.append(State(state.mode, state, [SHIFT[(state.mode, PUNCT)], (5, code)]))
    return out


def _add_binary(live, run):
    out = []
    n = len(run)
    header = (10, 992 + n) if n < 32 else (21, 2031616 + n - 31)
    for state in live:
        tokens, mode = [], state.mode
        if mode in (DIGIT, PUNCT):
            tokens, mode = list(LATCH[(state.mode, UPPER)]), UPPER
        out.append(State(mode, state, tokens + [header] + [(8, b) for b in run]))
    return out


def unencodable(byte):
    return byte < 0x80 and not any((m, byte) in CHARS for m in range(5))


def run_length(data, p):
    high = data[p] >= 0x80
    k = p
    while k < len(data) and k - p < MAX_RUN and (
        data[k] >= 0x80 if high else unencodable(data[k])
    ):
        k += 1
    return k - p


def encode_bits(data, eci=None):
    """The stream of the first cheapest candidate, as a list of booleans;
    also returns the largest number of live candidates seen after a step."""
    root = State(UPPER, None, eci_tokens(eci) if eci is not None else [])
    live = [root]
    widest = 1
    p = 0
    while p < len(data):
        pair = data[p:p + 2]
        if pair in PAIRS:
            live = _add_pair(live, PAIRS[pair])
            p += 2
        elif data[p] < 0x80 and not unencodable(data[p]):
            live = _add_char(live, data[p])
            p += 1
        else:
            k = run_length(data, p)
            live = _add_binary(live, data[p:p + k])
            p += k
        least = min(state.cost() for state in live)
        live = [state for state in live if state.cost() == least]
        widest = max(widest, len(live))
    return live[0].stream(), widest
