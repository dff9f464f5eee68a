"""docs/recipes.md: its examples run in order in an empty folder, and every
file they write reads back as the message the recipe put in it."""

import os
import shutil

import pytest

from symbol_pictures import pdf_media_box, png_gray, read, render, svg_gray, zpl_dots
from test_docs import run_examples


def _read_back(path):
    """What the reader finds in a file the recipes wrote: (bytes, ECI)."""
    import numpy as np

    data = path.read_bytes()
    kind = path.suffix[1:]
    if kind == "png":
        return read(png_gray(data))
    if kind == "svg":
        return read(svg_gray(data.decode()))
    if kind == "zpl":
        dots, _ = zpl_dots(data.decode("ascii"))
        return read(np.pad(np.where(dots == 1, 0, 255).astype(np.uint8), 16, constant_values=255))
    raise AssertionError(f"the recipes wrote {path.name}, which this test cannot read")


def test_every_recipe_runs_and_its_files_read_back(tmp_path, monkeypatch):
    names = run_examples("recipes.md", tmp_path, monkeypatch)
    gs1 = b"00006141411234567890" + b"42010115" + b"\x1d" + b"4010614141ABC42"  # FNC1 read as GS
    expected = {"boarding-pass.png": names["bcbp"].encode("latin-1"), "boarding-pass.svg": names["bcbp"].encode(),
                "rail-ticket.png": names["ticket"], "parcel.zpl": gs1}
    for number, shipment in enumerate(names["shipments"], 1):
        expected[f"label-{number}.zpl"] = expected[f"label-{number}.png"] = shipment.encode()
    count = len(names["parts"])
    manifest = [f"manifest-{position}-of-{count}.png" for position in range(1, count + 1)]
    assert set(os.listdir(tmp_path)) == set(expected) | set(manifest) | {"parcel.pdf"}
    assert b"".join(_read_back(tmp_path / name)[0] for name in manifest) == names["manifest"].encode()
    for name, message in expected.items():
        assert _read_back(tmp_path / name) == (message, None), name
    side_points = names["size"].side_dots / 203 * 72
    assert pdf_media_box((tmp_path / "parcel.pdf").read_bytes())[2] == pytest.approx(side_points, abs=1e-4)
    if shutil.which("pdftoppm"):  # CI has it; elsewhere the PDF's size is what is checked
        assert read(render(tmp_path / "parcel.pdf", "pdf")) == (gs1, None)
    home = names["home"]
    assert 0 <= min(home) and home[0] + names["size"].side_dots <= 812  # on the 4x6 inch label
