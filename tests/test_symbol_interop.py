"""The symbol where people put it: terminals of every theme and encoding,
web pages (data URIs, inline SVG), notebooks, the default viewer, Pillow
and NumPy."""

import base64
import io
import os
import pathlib
import re
import subprocess
import sys
import urllib.parse
import urllib.request
import webbrowser

import numpy as np
import pytest

import quillbank.aztec as aztec
from symbol_pictures import decode_half_blocks, read

SYMBOL = aztec.make("Scan me on any theme")
ANSI = re.compile("\x1b\\[[0-9;]*m")


class _Console(io.StringIO):
    def __init__(self, tty, encoding):
        super().__init__()
        self._tty, self._encoding = tty, encoding

    def isatty(self):
        return self._tty

    @property
    def encoding(self):
        return self._encoding


def test_terminal_colours_the_whole_picture_on_terminals_only(monkeypatch):
    monkeypatch.delenv("NO_COLOR", raising=False)
    plain = SYMBOL.terminal(color=False)
    coloured = SYMBOL.terminal(stream=_Console(True, "utf-8"))
    lines = coloured.split("\n")
    # Black ink on white paper from the first to the last cell of every line,
    # quiet zone included, whatever the theme's own colours.
    assert all(line.startswith("\x1b[38;5;16;48;5;231m") and line.endswith("\x1b[0m") for line in lines)
    assert ANSI.sub("", coloured) == plain
    assert decode_half_blocks(plain, 2)[:SYMBOL.size] == [list(row) for row in SYMBOL.rows]
    assert SYMBOL.terminal(stream=_Console(False, "utf-8")) == plain
    monkeypatch.setenv("NO_COLOR", "1")
    assert SYMBOL.terminal(stream=_Console(True, "utf-8")) == plain
    assert SYMBOL.terminal(stream=_Console(True, "utf-8"), color=True) == coloured


def test_terminal_falls_back_to_characters_the_console_has(monkeypatch):
    monkeypatch.delenv("NO_COLOR", raising=False)
    text = SYMBOL.terminal(stream=_Console(False, "ascii"), border=1)
    text.encode("ascii")
    assert [[line[2 * x] == "#" for x in range(len(line) // 2)] for line in text.split("\n")] == \
        [list(row) for row in SYMBOL.matrix_iter(border=1)]
    coloured = SYMBOL.terminal(stream=_Console(True, "cp1252"), border=1)
    coloured.encode("ascii")  # only spaces, drawn on the two background colours
    cells = [re.findall("\x1b\\[48;5;(16|231)m((?:  )+)", line) for line in coloured.split("\n")]
    assert [[code == "16" for code, run in line for _ in range(len(run) // 2)] for line in cells] == \
        [list(row) for row in SYMBOL.matrix_iter(border=1)]


def test_print_on_a_console_without_half_blocks():
    script = "import quillbank.aztec as a; print(a.make('Plain ASCII console'))"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=60,
                            env=dict(os.environ, PYTHONIOENCODING="ascii"))
    assert result.returncode == 0, result.stderr
    assert b"##" in result.stdout and b"\x1b" not in result.stdout  # not a terminal: no colour codes


def test_web_and_notebook_forms():
    svg = SYMBOL.svg()
    assert urllib.parse.unquote(SYMBOL.svg_data_uri().split(",", 1)[1]) == svg
    assert '"' not in SYMBOL.svg_data_uri() and "#" not in SYMBOL.svg_data_uri()  # safe in an HTML attribute
    uri = SYMBOL.png_data_uri(scale=2, dark="navy")
    assert uri.startswith("data:image/png;base64,")
    assert base64.b64decode(uri.split(",", 1)[1]) == SYMBOL.png(scale=2, dark="navy")
    inline = SYMBOL.svg_inline(title="Pass")
    assert inline.startswith("<svg ") and "<title>Pass</title>" in inline and "<?xml" not in inline
    assert SYMBOL._repr_svg_() == SYMBOL.svg(xmldecl=False).rstrip("\n") and SYMBOL._repr_png_() == SYMBOL.png()


def test_show_opens_the_picture_in_the_default_viewer(monkeypatch):
    opened = []
    monkeypatch.setattr("webbrowser.open", lambda url, *a, **k: opened.append(url) or True)
    name = SYMBOL.show(scale=3)
    try:
        assert opened == [pathlib.Path(name).as_uri()]
        with open(name, "rb") as picture:
            assert picture.read() == SYMBOL.png(scale=3)
        SYMBOL.show("svg")
        assert opened[1].endswith(".svg")
    finally:
        os.unlink(name)
        os.unlink(urllib.request.url2pathname(urllib.parse.urlparse(opened[1]).path))


def test_show_raises_when_no_viewer_starts_and_leaves_no_file(tmp_path):
    # BROWSER names a viewer that fails; no other is on the (empty) PATH.
    environment = {"BROWSER": "/bin/false", "PATH": "", "TMPDIR": str(tmp_path)}
    script = ("import webbrowser, quillbank.aztec as aztec\n"
              "try:\n    aztec.make('x').show()\nexcept webbrowser.Error as error:\n    print('refused:', error)\n")
    shown = subprocess.run([sys.executable, "-c", script], env=environment, capture_output=True, text=True,
                           timeout=60)
    assert shown.stdout.startswith("refused: no viewer could be started"), shown.stderr
    assert os.listdir(tmp_path) == []
