"""The values the fuzz targets pass: messages in every form a caller may
hand over, hostile objects, and option values good, careless and wrong.

A value comes with what it stands for (`Expect`), so the targets can tell a
call that had to succeed from one that had to fail, and with which error.
"""

import array
import decimal
import fractions

#: Text that stays in one encoder mode, text that hops between them.
MODE_TEXT = "ABCXYZ abcxyz 0123456789,.!?:;\r\n@\\^_|~\x01\x1b\x7f"
#: Single bytes worth repeating: each mode's characters, a pair, binary.
PIECES = (b"A", b"a", b"7", b"!", b"@", b"\x00", b"\x80", b"\xff", b". ", b"\r\n", b", ", b": ", b" ")


class Hostile(Exception):
    """Raised by the fuzzer's own hostile objects; it must come out as it is."""


class Expect:
    """What a value stands for: the bytes (or text) a call must see, or the
    error a call must raise because of it."""

    def __init__(self, value=None, error=None):
        self.value, self.error = value, error

    def __repr__(self):
        return f"Expect(value={self.value!r}, error={self.error!r})"


# --- Messages -----------------------------------------------------------------

def payload_bytes(c, most=600):
    kind = c.int(0, 2)
    if kind == 0:
        return c.bytes(most)
    if kind == 1:
        return b"".join(c.pick(PIECES) for _ in range(c.int(0, most // 3)))
    return c.pick((b"\x00", b"\x90", b"\xff", b"a", b"0")) * c.int(25, 2 * most)


def payload_text(c, most=300):
    kind = c.int(0, 3)
    if kind == 0:
        return "".join(c.pick(MODE_TEXT) for _ in range(c.int(0, most)))
    if kind == 1:
        return c.text(most, surrogates=c.one_in(8))
    if kind == 2:  # Latin-1 that is not ASCII: written with no designator
        return "".join(chr(c.int(0x20, 0xFF)) for _ in range(c.int(0, most // 4)))
    return c.text(most // 4)


class OwnEncode(str):
    """Text whose own encode the search encoder uses."""

    def encode(self, *args):
        return b"\x1b" + str.encode(self, "utf8")


class Printed:
    """An object the search encoder writes by its str()."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class FailingStr:
    def __str__(self):
        raise Hostile("no text")


class FailingBytes(bytearray):
    def __bytes__(self):
        raise Hostile("no bytes")


def released_view():
    view = memoryview(b"released")
    view.release()
    return view


#: Message forms: name -> (makes the object from payload bytes or text,
#: whether it takes text).  Targets map each name to their own contract.
BUFFER_FORMS = {
    "bytes": bytes,
    "bytearray": bytearray,
    "memoryview": memoryview,
    "array B": lambda payload: array.array("B", payload),
    # Every other byte of a spaced copy: not contiguous from two items on.
    "strided view": lambda payload: memoryview(bytes(byte for item in payload for byte in (item, 0x2D)))[::2],
}
TEXT_FORMS = ("text",)
BAD_FORMS = ("int", "none", "released view", "array H", "list")


def bad_message(form, payload):
    """A message object of a form the buffer-taking functions refuse."""
    if form == "int":
        return len(payload)
    if form == "none":
        return None
    if form == "released view":
        return released_view()
    if form == "array H":
        return array.array("H", bytes(payload) + b"\x00" * (len(payload) % 2))
    return list(payload)


def message(c):
    """(form, object, payload): payload is bytes for buffer forms, str for
    text, bytes for the bad forms."""
    kind = c.int(0, 9)
    if kind < 5:
        form = c.pick(tuple(BUFFER_FORMS))
        payload = payload_bytes(c)
        return form, BUFFER_FORMS[form](payload), payload
    if kind < 9:
        payload = payload_text(c)
        return "text", payload, payload
    form = c.pick(BAD_FORMS)
    payload = payload_bytes(c, 40)
    return form, bad_message(form, payload), payload


# --- Integer-like values ------------------------------------------------------

class Index:
    """An integer-like object (operator.index), as NumPy's integers are."""

    def __init__(self, number):
        self.number = number

    def __index__(self):
        return self.number


class FailingIndex:
    def __index__(self):
        raise Hostile("no number")


def numpy_int(number):
    try:
        import numpy
    except ImportError:
        return Index(number)
    if not -2 ** 63 <= number < 2 ** 63:
        return Index(number)
    return numpy.int64(number)


def integer_like(c, good, bad):
    """(value, number or None, its kind): an int from `good` or `bad`, or
    the same number as an integer-like object; a bool, float, str or failing
    object otherwise (number None)."""
    kind = c.int(0, 9)
    number = c.pick(good) if c.int(0, 3) else c.pick(bad)
    if kind < 5:
        return number, number, "int"
    if kind == 5:
        return numpy_int(number), number, "index"
    if kind == 6:
        return Index(number), number, "index"
    return c.pick((True, False, float(number), str(number), FailingIndex(), None)), None, "other"


# --- Picture options ----------------------------------------------------------

#: Colours: every notation, and notations that must be refused (the issue's
#: list of malformed hex among them).
GOOD_COLORS = ("#000", "#fff", "black", "White", " red ", "#12345678", "#1234", "#a0b0c0", "transparent",
               (0, 0, 0), (255, 255, 255, 128), (10, 20, 30, 0.5), (1, 2, 3, 255), None)
BAD_COLORS = ("#-00001", "#0xffff", "#ff_fff", "#  ffff", "#+fffff", "#\u0661\u0662\u0663", "#12", "#1234567",
              "nocolour", "", (1, 2), (1, 2, 3, 4, 5), (256, 0, 0), (-1, 0, 0), (0, 0, 0, 1.5), (0, 0, 0, float("nan")),
              ("0", 0, 0), (True, 0, 0), 0x000000, b"#000", [0, 0, 0])
#: Option values.  Accepted sizes stay small so that no picture is large;
#: the large values are ones the documented limits refuse.
OPTION_VALUES = {
    "scale": (1, 2, 3, 4, 2.0, decimal.Decimal("3"), 0.5, 1.25, fractions.Fraction(3, 2), 0, -1, 2 ** 16,
              2 ** 31, 2 ** 64, 1e308, float("inf"), float("nan"), -0.0, True, "4", None, 0.0001, FailingIndex()),
    "border": (0, 1, 2, 3, 6, -1, 1001, 2 ** 31, 2 ** 64, True, 2.0, "2", None, FailingIndex(), Index(3)),
    "dark": GOOD_COLORS + BAD_COLORS,
    "light": GOOD_COLORS + BAD_COLORS,
    "module_size": ("0.5mm", "1px", "2 px", "0.02cm", ".5mm", "0.01in", "1pt", 0.01, 0.02, "0mm", "-1mm", "1e3mm", "mm",
                    "5 furlong", "", 0, -2, float("inf"), float("nan"), 10 ** 6, True, b"1mm", None),
    "unit": ("px", "mm", "cm", "in", "pt", "PX", "furlong", "", 5, None),
    "dpi": (72, 96, 300, 600, 72.5, decimal.Decimal("150"), 0, -1, 100_001, 1e9, float("inf"), float("nan"), True,
            "300", None),
    "omitsize": (True, False, 0, 1, None),
    "xmldecl": (True, False, 0, None),
    "name": ("aztec", "_x1", "Code128", "bad name", "\u00fcn\u00ef", "1abc", "", 5, None),
    "invert": (True, False, 1, None),
    "color": (True, False, None, 1, "yes"),
    "no_such_option": (1,),
}
TEXT_OPTIONS = ("title", "desc", "svgclass", "lineclass")
#: Every picture kind, in the spellings callers use, and kinds to refuse.
KINDS = ("svg", "svgz", "png", "eps", "pdf", "pbm", "pam", "ppm", "xbm", "xpm", "txt", "tex",
         ".svg", "PNG", "Pdf", "heic", "", "svg ", 5, b"svg", None)


def option_value(c, name):
    if name in TEXT_OPTIONS:
        kind = c.int(0, 5)
        if kind == 0:
            return c.pick((None, 5, b"title", ["x"]))
        if kind == 1:  # XML's special characters and the characters it cannot hold
            return "".join(c.pick(("<", ">", "&", '"', "'", "]]>", "\x00", "\x01", "\x1b", "\t", "\n",
                                   "\ufffe", "\ud800", "\U0001f600", "a", " ")) for _ in range(c.int(0, 8)))
        return c.text(40, surrogates=c.one_in(10))
    return c.pick(OPTION_VALUES[name])


def options(c, names, most=5):
    """A dict of up to `most` options drawn from `names`."""
    chosen = {}
    for _ in range(c.int(0, most)):
        name = c.pick(names)
        chosen[name] = option_value(c, name)
    return chosen
