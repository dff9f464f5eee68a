"""Fuzz target of GS1 content (quillbank.aztec.gs1.parse) and of the stream
that carries it (encode_optimal_segments with FNC1 at its positions).

Content comes from a small grammar of Application Identifiers, valid or
spoiled (a wrong check digit, a value too long, letters in a number), in
the bracketed form or as an element string with GS separators, or is
random text.  A parse either gives data that is consistent (ASCII, FNC1
first and at increasing positions inside the element string, the same data
from its own human-readable form) and a stream that decodes back to the
element string with those flags, or raises GS1Error or TypeError.
"""

import stream_decoder
import targets

from quillbank.aztec import gs1
from quillbank.aztec.optimal import encode_optimal_segments

GS = "\x1d"


def check_digit(digits):
    """The GS1 mod-10 check digit of `digits` (weights 3, 1, ... from the right)."""
    total = sum(int(d) * (3 if k % 2 == 0 else 1) for k, d in enumerate(reversed(digits)))
    return str(-total % 10)


def digits(c, count):
    return "".join(str(c.int(0, 9)) for _ in range(count))


def element(c):
    """(AI, value, variable length)."""
    kind = c.int(0, 6)
    if kind == 0:
        body = digits(c, 13)
        return "01", body + check_digit(body), False
    if kind == 1:
        body = digits(c, 17)
        return "00", body + check_digit(body), False
    if kind == 2:
        return "17", f"{c.int(0, 99):02d}{c.int(1, 12):02d}{c.int(1, 28):02d}", False
    if kind == 3:
        return "3103", digits(c, 6), False
    alphabet = "ABCXYZabc0123456789-./_"
    value = "".join(c.pick(alphabet) for _ in range(c.int(1, 20)))
    return c.pick(("10", "21", "400")), value, True


def spoil(c, ai, value):
    kind = c.int(0, 4)
    if kind == 0 and value[-1:].isdigit():
        return value[:-1] + str((int(value[-1]) + 1) % 10)  # wrong check digit (or another number)
    if kind == 1:
        return value + "1" * 25  # too long
    if kind == 2:
        return value[:-1] + "A"
    if kind == 3:
        return value[:-1]
    return value + c.pick(("(", ")", " ", "\u00e9", GS))


def content(c):
    """(content, valid) where valid says whether it must parse."""
    if c.one_in(8):
        return c.pick((c.text(60, surrogates=c.one_in(4)), c.bytes(60), None, 5)), None
    elements = [element(c) for _ in range(c.int(1, 4))]
    valid = True
    if c.one_in(3):
        k = c.int(0, len(elements) - 1)
        ai, value, variable = elements[k]
        elements[k] = (ai, spoil(c, ai, value), variable)
        valid = None  # a spoiled value may still be valid (another number)
    if c.bool():
        text = "".join(f"({ai}){value}" for ai, value, _ in elements)
    else:
        text = "".join(ai + value + (GS if variable and k < len(elements) - 1 else "")
                       for k, (ai, value, variable) in enumerate(elements))
    return (text.encode("ascii", "replace") if c.one_in(5) else text), valid


def fuzz_gs1(c):
    given, valid = content(c)
    try:
        data = gs1.parse(given)
    except (gs1.GS1Error, TypeError) as error:
        targets.refused(error, (gs1.GS1Error, TypeError))
        assert valid is not True, ("refused", given, error)
        return
    element_string, positions = data.element_string, data.fnc1_positions
    assert isinstance(element_string, bytes) and element_string.isascii() and element_string
    assert positions[0] == 0 and list(positions) == sorted(set(positions))
    assert all(0 < p < len(element_string) for p in positions[1:]), data
    if not set(b"()") & set(element_string):  # brackets in a value need the other form
        assert gs1.parse(data.human_readable) == data, data
    text = element_string.decode("ascii")
    separated = "".join(text[start:end] + GS for start, end in zip(positions, positions[1:])) + text[positions[-1]:]
    assert gs1.parse(separated) == data, (separated, data)
    flags = [(position, None) for position in positions]
    packed, count = encode_optimal_segments(element_string, flags)
    assert stream_decoder.decode_flagged(stream_decoder.unpack(packed, count)) == (element_string, flags, False)


targets.TARGETS["gs1"] = fuzz_gs1
