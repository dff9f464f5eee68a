"""The encoder against a linear model of its search on long messages.

reference_search keeps every tied candidate and is exponential, so it can
only check short messages.  The model here applies the same rules with the
merge of same-mode ties (least cost survives, then the first per mode) and
cached costs, so it runs in linear time; it is first checked against
reference_search on short messages, then compared bit for bit with the
encoder on messages of tens of kilobytes: states that grow in place over
thousands of bits, many short states on the path, binary runs cut at 2078
bytes, and ECI designators.
"""

import random

import pytest

from quillbank.aztec.encoder import Encoder
from reference_search import CHARS, LATCH, PAIRS, SHIFT, eci_tokens, path_bits, run_length, unencodable
from reference_search import encode_bits as unmerged_bits

UPPER, LOWER, DIGIT, PUNCT, MIXED = range(5)


class Node:
    __slots__ = ("mode", "parent", "tokens", "cost")

    def __init__(self, mode, parent, tokens):
        self.mode = mode
        self.parent = parent
        self.tokens = list(tokens)
        self.cost = (parent.cost if parent else 0) + sum(w for w, _ in tokens)

    def append(self, token):
        self.tokens.append(token)
        self.cost += token[0]


def _step_char(live, byte):
    out = []
    for node in live:
        if (node.mode, byte) in CHARS:
            node.append(CHARS[(node.mode, byte)])
            out.append(node)
            continue
        for target in range(5):
            if (target, byte) not in CHARS:
                continue
            code = CHARS[(target, byte)]
            out.append(Node(target, node, LATCH[(node.mode, target)] + [code]))
            if (node.mode, target) in SHIFT:
                out.append(Node(node.mode, node, [SHIFT[(node.mode, target)], code]))
    return out


def _step_pair(live, code):
    out = []
    for node in live:
        if node.mode == PUNCT:
            node.append((5, code))
            out.append(node)
            continue
        out.append(Node(PUNCT, node, LATCH[(node.mode, PUNCT)] + [(5, code)]))
        out.append(Node(node.mode, node, [SHIFT[(node.mode, PUNCT)], (5, code)]))
    return out


def _step_binary(live, run):
    header = (10, 992 + len(run)) if len(run) < 32 else (21, 2031616 + len(run) - 31)
    out = []
    for node in live:
        tokens, mode = [], node.mode
        if mode in (DIGIT, PUNCT):
            tokens, mode = list(LATCH[(node.mode, UPPER)]), UPPER
        out.append(Node(mode, node, tokens + [header] + [(8, b) for b in run]))
    return out


def _prune(live):
    least = min(node.cost for node in live)
    kept, modes = [], set()
    for node in live:
        if node.cost == least and node.mode not in modes:
            kept.append(node)
            modes.add(node.mode)
    return kept


def model_bits(data, eci=None):
    live = [Node(UPPER, None, eci_tokens(eci) if eci is not None else [])]
    p = 0
    while p < len(data):
        if data[p:p + 2] in PAIRS:
            live = _step_pair(live, PAIRS[data[p:p + 2]])
            p += 2
        elif data[p] < 0x80 and not unencodable(data[p]):
            live = _step_char(live, data[p])
            p += 1
        else:
            k = p + run_length(data, p)
            live = _step_binary(live, data[p:k])
            p = k
        live = _prune(live)
    return path_bits(min(live, key=lambda node: node.cost))  # the first of least cost


def packed(bits):
    out = bytearray((len(bits) + 7) // 8)
    for i, bit in enumerate(bits):
        if bit:
            out[i // 8] |= 1 << (i % 8)
    return bytes(out)


# Pieces of messages: characters of every mode, pairs and their near misses,
# bytes no mode holds, high bytes and UTF-8 letters.
_PIECES = (
    [bytes([c]) for c in b"aZ09 ,.:!@\\~\x7f\x01\r\n"]
    + [b". ", b", ", b": ", b"\r\n", b".,", b"\x00", b"\x0e\x1a", b"\xff", "\u00e9".encode()]
)


def _short_messages(seed, count):
    rng = random.Random(seed)
    for _ in range(count):
        yield b"".join(rng.choice(_PIECES) for _ in range(rng.randint(0, 7)))


def _long_message(kind, rng):
    if kind == "tie mix":
        return b"".join(rng.choice(_PIECES) for _ in range(20000))
    if kind == "long words":
        # Lower and Upper states that grow in place over thousands of bits.
        words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(1, 900)))
                 for _ in range(60)]
        return b" ".join(w.upper() if rng.random() < 0.3 else w for w in words)
    if kind == "digits and runs":
        parts = []
        for _ in range(12):
            parts.append(bytes(rng.choice(b"0123456789., ") for _ in range(rng.randint(1, 3000))))
            parts.append(bytes(rng.randint(0x80, 0xFF) for _ in range(rng.randint(1, 5000))))
            parts.append(bytes(rng.choice(b"\x00\x0e\x10\x1a") for _ in range(rng.randint(1, 2500))))
        return b"".join(parts)
    raise ValueError(kind)


@pytest.mark.parametrize("seed", range(4))
def test_model_agrees_with_the_unmerged_search(seed):
    for i, data in enumerate(_short_messages(seed, 150)):
        eci = None if i % 3 else i * 7919
        assert model_bits(data, eci) == unmerged_bits(data, eci)[0], data


@pytest.mark.parametrize("kind", ["tie mix", "long words", "digits and runs"])
@pytest.mark.parametrize("eci", [None, 26])
def test_long_messages_match_the_model(kind, eci):
    data = _long_message(kind, random.Random(kind + str(eci)))
    expected = model_bits(data, eci)
    encoder = Encoder()
    assert encoder.encode(data, eci=eci, asBits=True) == expected
    assert encoder.encode(data, eci=eci) == packed(expected)
    # A fresh tree after a long message: a short one is encoded as by a new
    # encoder.
    assert encoder.encode(b"Hello, World\r\n") == Encoder().encode(b"Hello, World\r\n")
