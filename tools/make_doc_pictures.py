"""Draws the user guide's pictures (docs/pictures/) with the installed package.

    python tools/make_doc_pictures.py            # writes docs/pictures/
    python tools/make_doc_pictures.py --out DIR  # somewhere else

Each picture is made as the guide's text says it is, and its PNG form is
read back with zxing-cpp's reader (when it is installed) before it is
written, so the guide never shows a symbol that does not scan.  The
pictures are small: a few modules of border and 4 units a module.
"""

from __future__ import annotations

import argparse
import io
import os
import sys
from typing import Any, Dict, List, NamedTuple, Optional

import quillbank.aztec as aztec

REPO_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class Picture(NamedTuple):
    name: str  # the file under docs/pictures; its extension is the kind
    expected: Optional[bytes]  # what a reader should find; None for a rune
    symbol: aztec.AztecSymbol
    options: Dict[str, Any]

    def document(self) -> bytes:
        if self.name.endswith(".svg"):
            return self.symbol.svg(**self.options).encode("utf-8")
        return self.symbol.png(**self.options)

    def png_for_reader(self) -> bytes:
        """The same modules and colours as a PNG (SVG renderers are the test
        suite's business)."""
        if self.name.endswith(".png"):
            return self.document()
        colours = {key: value for key, value in self.options.items() if key in ("dark", "light")}
        return self.symbol.png(**colours)


def pictures() -> List[Picture]:
    hello = aztec.make("Hello, World")
    ticket = "TICKET 4711 / CAR 12 SEAT 45 / 2026-12-24 08:15 PARIS-LONDON"
    return [
        # making-symbols.md
        Picture("hello.svg", b"Hello, World", hello, {}),
        Picture("rune-42.svg", None, aztec.rune(42), {}),
        # size-and-error-correction.md: one message at three corrections,
        # and a short one in a full symbol.
        Picture("ticket-ec10.svg", ticket.encode(), aztec.make(ticket, ec_percent=10), {}),
        Picture("ticket-ec23.svg", ticket.encode(), aztec.make(ticket), {}),
        Picture("ticket-ec50.svg", ticket.encode(), aztec.make(ticket, ec_percent=50), {}),
        Picture("hello-full.svg", b"Hello, World", aztec.make("Hello, World", compact=False), {}),
        # character-sets.md
        Picture("grusse.svg", "Grüße".encode("iso-8859-1"), aztec.make("Grüße"), {}),
        Picture("privet.svg", "Привет".encode("utf-8"), aztec.make("Привет"), {}),
        # formats-and-printing.md
        Picture("hello-colours.svg", b"Hello, World", hello, {"dark": "midnightblue", "light": "#fdf6e3"}),
        Picture("hello-print.png", b"Hello, World", hello, {"module_size": "0.25mm", "dpi": 300, "border": 4}),
        Picture("hello-border0.png", b"Hello, World", hello, {"border": 0}),
    ]


def read_back(png: bytes) -> Optional[bytes]:
    """The bytes zxing-cpp reads from a PNG (on a white margin), or None
    where zxing-cpp or Pillow is not installed."""
    try:
        import zxingcpp
        from PIL import Image, ImageOps
    except ImportError:
        return None
    image = ImageOps.expand(Image.open(io.BytesIO(png)).convert("L"), border=16, fill=255)
    found = zxingcpp.read_barcodes(image, formats=zxingcpp.BarcodeFormat.Aztec)
    if len(found) != 1:
        raise SystemExit(f"the reader found {len(found)} symbols, not one")
    return found[0].bytes


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Draws the user guide's pictures with the installed package.")
    parser.add_argument("--out", default=os.path.join(REPO_DIR, "docs", "pictures"),
                        help="the folder to write (default: docs/pictures)")
    options = parser.parse_args(argv)
    os.makedirs(options.out, exist_ok=True)
    for picture in pictures():
        document = picture.document()
        state = "rune"
        if picture.expected is not None:
            found = read_back(picture.png_for_reader())
            if found is not None and found != picture.expected:
                raise SystemExit(f"{picture.name}: the reader found {found!r}, not {picture.expected!r}")
            state = "read back" if found is not None else "not read back (no zxing-cpp)"
        with open(os.path.join(options.out, picture.name), "wb") as stream:
            stream.write(document)
        print(f"{picture.name:20} {len(document):6} bytes  {state}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
