"""Fuzz target of every picture: `save` to a file, a BytesIO, a StringIO,
a raw stream taking short writes and a failing one, with every kind and
random option values; svg(), png(), terminal(), the data URIs,
svg_inline, to_numpy and matrix_iter.

A picture that is made holds the symbol's modules exactly (parsed back
from SVG, PNG, text and the drawings), a saved file or stream holds the
document the writer makes, and a call that fails writes nothing: a
stream stays empty, a file that was there stays byte for byte as it
was, and no file is left behind.
"""

import gzip
import io
import operator
import os
import pathlib
import urllib.parse
import xml.etree.ElementTree as ElementTree

import targets
import values
from targets import DOCUMENTED, refused

from quillbank.aztec import make, rune

# --- Pictures -------------------------------------------------------------------

_symbols = []


def symbols():
    """A compact symbol, a full one with ECI, and a rune, made once."""
    if not _symbols:
        _symbols.extend([make(b"fuzz 123"), make("Gr\u00fc\u00dfe \u2603", compact=False), rune(42)])
    return _symbols


SAVE_OPTIONS = ("scale", "border", "dark", "light", "module_size", "unit", "dpi", "omitsize", "xmldecl", "name",
                "no_such_option") + values.TEXT_OPTIONS
SVG_OPTIONS = ("scale", "border", "dark", "light", "module_size", "unit", "omitsize", "xmldecl",
               "dpi") + values.TEXT_OPTIONS
PNG_OPTIONS = ("scale", "border", "dark", "light", "module_size", "unit", "dpi")
TEXT_KINDS = frozenset({"svg", "eps", "xbm", "xpm", "txt", "tex"})


class ShortWriter(io.RawIOBase):
    """A raw stream that takes at most `most` bytes a write."""

    def __init__(self, most):
        self.most, self.data = most, bytearray()

    def writable(self):
        return True

    def write(self, chunk):
        taken = bytes(chunk[:self.most])
        self.data += taken
        return len(taken)


class FailingWriter(io.RawIOBase):
    """A stream whose write fails (a full disk)."""

    def writable(self):
        return True

    def write(self, chunk):
        raise OSError(28, "No space left on device")


def fuzz_pictures(c):
    symbol = c.pick(symbols())
    action = c.int(0, 11)
    if action <= 4:
        fuzz_save(c, symbol)
    elif action == 10:
        fuzz_terminal(c, symbol)
    elif action == 11:
        fuzz_matrix(c, symbol)
    else:
        method, names, check = METHODS[action - 5]
        chosen = values.options(c, names)
        try:
            result = getattr(symbol, method)(**chosen)
        except DOCUMENTED as error:
            refused(error, DOCUMENTED)
            return
        check(symbol, result, chosen)


def border_of(chosen):
    """The border a picture that was made has (any integer-like value)."""
    return operator.index(chosen.get("border", 2))


def padded(symbol, border):
    """The rows of the picture, 1 dark, with `border` light modules around."""
    side = symbol.size + 2 * border
    rows = [bytes(side)] * border
    rows += [bytes(border) + symbol.modules[y * symbol.size:(y + 1) * symbol.size] + bytes(border)
             for y in range(symbol.size)]
    return rows + [bytes(side)] * border


def check_svg_text(symbol, document, chosen):
    assert isinstance(document, str)
    root = ElementTree.fromstring(document.encode("utf-8"))  # well-formed XML, whatever the text options held
    namespace = "{http://www.w3.org/2000/svg}"
    for name in ("title", "desc"):
        if chosen.get(name) is not None:
            assert root.find(namespace + name).text == chosen[name].replace("\r\n", "\n").replace("\r", "\n") or \
                (root.find(namespace + name).text is None and chosen[name] == ""), name
    path_element = root.find(namespace + "path")
    for element, name in ((root, "svgclass"), (path_element, "lineclass")):
        if chosen.get(name) is not None:  # as XML reads attributes: each of these whitespaces a space
            wanted = chosen[name].replace("\r\n", " ")
            assert element.get("class") == wanted.translate({9: " ", 10: " ", 13: " "}), name
    path = path_element.get("d")
    border = border_of(chosen)
    side = symbol.size + 2 * border
    assert root.get("viewBox") == f"0 0 {side} {side}"
    dark = set()
    for x, y, width, back in (map(int, m) for m in _svg_runs(path)):
        assert width == back
        dark.update((x + i, y) for i in range(width))
    rows = padded(symbol, border)
    assert dark == {(x, y) for y, row in enumerate(rows) for x, m in enumerate(row) if m}


def _svg_runs(path):
    import re

    runs = re.findall(r"M(\d+) (\d+)h(\d+)v1h-(\d+)z", path)
    assert "".join(f"M{x} {y}h{w}v1h-{b}z" for x, y, w, b in runs) == path
    return runs


def check_svg_uri(symbol, uri, chosen):
    head = "data:image/svg+xml;charset=utf-8,"
    assert uri.startswith(head)
    check_svg_text(symbol, urllib.parse.unquote(uri[len(head):]), chosen)


def check_png_uri(symbol, uri, chosen):
    import base64

    head = "data:image/png;base64,"
    assert uri.startswith(head)
    check_png(symbol, base64.b64decode(uri[len(head):], validate=True), chosen)


def check_png(symbol, data, chosen):
    from symbol_pictures import png_pixels

    assert isinstance(data, bytes)
    pixels = png_pixels(data)
    check_raster(symbol, pixels, chosen)


def check_raster(symbol, pixels, chosen):
    """Each module's pixels are all one colour: the dark colour where the
    module is dark, the light one where it is light."""
    rows = padded(symbol, border_of(chosen))
    side = len(rows)
    assert len(pixels) % side == 0 and all(len(row) == len(pixels) for row in pixels)
    scale = len(pixels) // side
    if isinstance(chosen.get("scale"), int) and chosen.get("module_size") is None:
        assert scale == chosen["scale"]
    colours = {}
    for y in range(side):
        line = pixels[y * scale]
        for x in range(side):
            colours.setdefault(rows[y][x], set()).add(line[x * scale])
            assert pixels[y * scale + scale - 1][x * scale + scale - 1] == line[x * scale]
    assert all(len(found) == 1 for found in colours.values()), colours


def fuzz_terminal(c, symbol):
    chosen = values.options(c, ("border", "invert", "color", "no_such_option"), 3)
    stream = c.pick((None, io.StringIO(), io.TextIOWrapper(io.BytesIO(), encoding="ascii")))
    try:
        drawing = symbol.terminal(stream=stream, **chosen)
    except DOCUMENTED as error:
        refused(error, DOCUMENTED)
        return
    if chosen.get("color") or stream is None:
        return  # colour codes, or whatever standard output is here
    from symbol_pictures import decode_half_blocks

    border = border_of(chosen)
    rows = [[m == 1 for m in row] for row in padded(symbol, border)]
    if chosen.get("invert"):
        rows = [[not m for m in row] for row in rows]
    if isinstance(stream, io.TextIOWrapper):  # no half blocks in ASCII: "##" a dark module
        drawn = [[line[k:k + 2] == "##" for k in range(0, len(line), 2)] for line in drawing.split("\n")]
        assert drawn == rows
    else:
        drawn = decode_half_blocks(drawing, 0)[:len(rows)]
        assert drawn == rows


def fuzz_matrix(c, symbol):
    border = values.option_value(c, "border")
    use_numpy = c.bool()
    try:
        if use_numpy:
            rows = [[int(m) for m in row] for row in symbol.to_numpy(border)]
        else:
            rows = [[int(m) for m in row] for row in symbol.matrix_iter(border)]
    except DOCUMENTED as error:
        refused(error, DOCUMENTED)
        return
    assert rows == [list(row) for row in padded(symbol, border_of({"border": border}))]


def fuzz_save(c, symbol):
    kind = c.pick(values.KINDS) if c.int(0, 3) else None
    chosen = values.options(c, SAVE_OPTIONS)
    where = c.int(0, 5)
    if where <= 2:
        check_save_to_file(c, symbol, kind, chosen)
        return
    stream = (io.BytesIO(), io.StringIO(), ShortWriter(c.int(1, 5000)), FailingWriter())[c.int(0, 3)]
    check_save_to_stream(symbol, stream, kind, chosen)


def check_save_to_stream(symbol, stream, kind, chosen):
    try:
        symbol.save(stream, kind=kind, **chosen) if kind is not None else symbol.save(stream, **chosen)
    except DOCUMENTED + (OSError,) as error:
        refused(error, DOCUMENTED + ((OSError,) if isinstance(stream, FailingWriter) else ()))
        if not isinstance(stream, FailingWriter):
            assert not written(stream), "a failed save wrote to the stream"
        return
    assert not isinstance(stream, FailingWriter)
    check_document(symbol, normal_kind(kind), written(stream), chosen)


def written(stream):
    if isinstance(stream, ShortWriter):
        return bytes(stream.data)
    return stream.getvalue()


def normal_kind(kind):
    return kind.lower().lstrip(".")


def check_document(symbol, kind, document, chosen):
    """The saved document is the one the writer makes, and holds the symbol."""
    if isinstance(document, str):
        assert kind in TEXT_KINDS, kind
        document_bytes = document.encode("utf-8")
    else:
        document_bytes = document
    reference = io.BytesIO()
    symbol.save(reference, kind=kind, **chosen)
    assert document_bytes == reference.getvalue(), kind
    if kind == "svg":
        check_svg_text(symbol, document_bytes.decode("utf-8"), chosen)
    elif kind == "svgz":
        check_svg_text(symbol, gzip.decompress(document_bytes).decode("utf-8"), chosen)
    elif kind == "png":
        check_png(symbol, document_bytes, chosen)
    elif kind == "txt":
        assert document_bytes.decode("ascii").splitlines() == [
            "".join(map(str, row)) for row in padded(symbol, border_of(chosen))]
    else:
        magic = {"eps": b"%!PS-Adobe-3.0 EPSF-3.0\n", "pdf": b"%PDF-1.4\n", "pbm": b"P4\n", "pam": b"P7\n",
                 "ppm": b"P6\n", "xbm": b"#define ", "xpm": b"/* XPM */\n", "tex": b"% Aztec symbol"}[kind]
        assert document_bytes.startswith(magic), kind


def check_save_to_file(c, symbol, kind, chosen):
    """Saves to a new file, over a file, through a symbolic link to a file,
    into a missing folder or onto a folder."""
    folder = targets.scratch_folder()
    extension = c.pick(("svg", "svgz", "png", "eps", "pdf", "pbm", "pam", "ppm", "xbm", "xpm", "txt", "tex",
                        "SVG", "heic", "", "svg.tmp"))
    place = c.pick(("missing folder", "folder", "new", "new", "new", "over", "over", "link"))
    target = os.path.join(folder, f"pic.{extension}")
    written_to = target  # the file that gets the picture
    if place == "missing folder":
        target = written_to = os.path.join(folder, "missing", f"pic.{extension}")
    elif place == "folder":
        target = written_to = folder + os.sep
    elif place == "link":
        written_to = os.path.join(folder, "linked")
        os.symlink("linked", target)
    if place in ("over", "link"):
        with open(written_to, "wb") as stream:
            stream.write(targets.SENTINEL)
    target_object = c.pick((target, target, pathlib.Path(target), os.fsencode(target)))
    before = sorted(os.listdir(folder))
    try:
        symbol.save(target_object, kind=kind, **chosen) if kind is not None else symbol.save(target_object, **chosen)
    except DOCUMENTED + (OSError,) as error:
        refused(error, DOCUMENTED + ((OSError,) if place in ("missing folder", "folder") else ()))
        if isinstance(error, OSError):
            assert error.filename, "a write error names the file"
        assert sorted(os.listdir(folder)) == before, "a failed save left files"
        if place in ("over", "link"):
            with open(written_to, "rb") as stream:
                assert stream.read() == targets.SENTINEL, "a failed save changed the file that was there"
        return
    assert place in ("new", "over", "link") and isinstance(target_object, (str, os.PathLike))
    assert sorted(os.listdir(folder)) == sorted(set(before) | {os.path.basename(target)}), "files left"
    assert os.path.islink(target) == (place == "link"), "the link was replaced"
    with open(written_to, "rb") as stream:
        document = stream.read()
    check_document(symbol, normal_kind(kind if kind is not None else extension), document, chosen)


#: The methods that return a picture: name, its options, the check.
METHODS = (
    ("svg", SVG_OPTIONS, check_svg_text),
    ("png", PNG_OPTIONS, check_png),
    ("svg_data_uri", SVG_OPTIONS, check_svg_uri),
    ("png_data_uri", PNG_OPTIONS, check_png_uri),
    ("svg_inline", SVG_OPTIONS, check_svg_text),
)

targets.TARGETS["pictures"] = fuzz_pictures
