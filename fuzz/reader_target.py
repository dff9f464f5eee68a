"""Fuzz target of aztec.read: symbols of any options, damaged by any amount,
turned, drawn as any picture kind at any scale and border, and files that
are not pictures at all.  A read either gives back exactly what the symbol
was made from, or raises AztecError; any other result or exception is the
finding."""

import io

import targets

from quillbank.aztec import AztecError, DataOverflowError, make, read, rune

KINDS = ("png", "pbm", "pam", "ppm", "svg", "svgz")
HEADERS = (b"\x89PNG\r\n\x1a\n", b"P1\n", b"P4\n", b"P5\n", b"P6\n", b"P7\n", b"<svg ", b"\x1f\x8b", b"")


def fuzz_read(c):
    if c.one_in(5):  # a file that may look like a picture at its start only
        try:
            read(c.pick(HEADERS) + c.bytes(300))
        except AztecError:
            return
        raise AssertionError("garbage was read as a symbol")
    if c.one_in(6):
        value = c.int(0, 255)
        symbol, message = rune(value), None
    else:
        message = c.bytes(200) or b"x"
        try:
            symbol = make(message, ec_percent=c.int(0, 90), compact=c.pick((None, True, False)))
        except DataOverflowError:
            return
    modules = bytearray(symbol.modules)
    for _ in range(c.int(0, 3) ** 3):  # mostly none or a few, sometimes many
        modules[c.int(0, len(modules) - 1)] ^= 1
    size = symbol.size
    matrix = [list(modules[y * size:(y + 1) * size]) for y in range(size)]
    for _ in range(c.int(0, 3)):  # a quarter turn each
        matrix = [list(row) for row in zip(*matrix[::-1])]
    source = matrix
    if c.bool():
        border, scale = c.int(0, 4), c.int(1, 4)
        kind = c.pick(KINDS)
        options = {"border": border} if kind.startswith("svg") else {"border": border, "scale": scale}
        if kind not in ("pbm",) and c.bool():
            options.update(dark="#fff", light="#000")
        picture = io.BytesIO()
        from quillbank.aztec.writers import save

        save(picture, b"".join(bytes(row) for row in matrix), size, kind, **options)
        source = picture.getvalue()
    try:
        found = read(source)
    except AztecError:
        return
    if message is None:
        assert found.rune == value, (found, value)
    else:
        assert found.data == message, (found.data, message)


targets.TARGETS["read"] = fuzz_read
