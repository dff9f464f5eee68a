"""Printing on the printer's own grid: a module is a whole number of dots in
every kind, the files say the size that is printed, and print_size() says
it too (and warns when it is not what was asked)."""

import io
import random
import re
import warnings

import pytest

import quillbank.aztec as aztec
from symbol_pictures import pdf_media_box, png_resolution, read, zpl_dots

SYMBOL = aztec.make("M1DESMARAIS/LUC       EABC123 YULFRAAC 0834 326J001A0025 100")


@pytest.mark.parametrize("dpi,module_size,dots", [(203, "0.5mm", 4), (300, "0.5mm", 6), (600, "0.5mm", 12),
                                                  (203, "0.02in", 4), (300, "1.1pt", 5)])
def test_every_kind_prints_the_module_on_whole_dots_and_says_so(dpi, module_size, dots):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a size this close to whole dots is not worth a warning
        size = SYMBOL.print_size(module_size=module_size, dpi=dpi, border=3)
    side = SYMBOL.size + 6
    assert (size.module_dots, size.side_dots) == (dots, dots * side)
    assert size.module_mm == pytest.approx(dots / dpi * 25.4) and size.side_mm == pytest.approx(side * size.module_mm)

    options = dict(module_size=module_size, dpi=dpi, border=3)
    png = SYMBOL.png(**options)
    assert int.from_bytes(png[16:20], "big") == size.side_dots
    assert png_resolution(png)[0] == round(dpi / 0.0254)
    inches = size.side_dots / dpi
    assert pdf_media_box(_saved("pdf", options))[2] == pytest.approx(inches * 72, abs=1e-5)
    eps = _saved("eps", options).decode()
    assert float(re.search(r"%%HiResBoundingBox: 0 0 ([\d.]+)", eps).group(1)) == pytest.approx(inches * 72, abs=1e-5)
    tex = _saved("tex", options).decode()
    assert float(re.search(r"x=([\d.]+)bp", tex).group(1)) == pytest.approx(dots / dpi * 72, abs=1e-5)
    svg = SYMBOL.svg(**options)
    width, unit = re.search(r'width="([\d.]+)([a-z]+)"', svg).groups()
    assert unit == module_size.lstrip("0123456789.")  # the unit asked for, the length snapped to dots
    assert float(width) * {"mm": 1 / 25.4, "in": 1, "pt": 1 / 72}[unit] == pytest.approx(inches, abs=1e-6)


def _saved(kind, options):
    return _bytes_of(SYMBOL, kind, options)


def _bytes_of(symbol, kind, options):
    buffer = io.BytesIO()
    symbol.save(buffer, kind=kind, **options)
    return buffer.getvalue()


def test_vector_sizes_without_dpi_stay_exact():
    assert 'width="11.5mm"' in aztec.make("Hello, World").svg(module_size="0.5mm")  # 23 modules


def test_print_size_warns_of_narrow_and_badly_rounded_modules():
    with pytest.warns(UserWarning, match=r"narrower than 0.254 mm"):
        size = SYMBOL.print_size(module_size="0.2mm", dpi=600)  # 4.7 dots, so 5: 0.212 mm
    assert size.module_dots == 5
    with pytest.warns(UserWarning, match=r"11% off the 0.300 mm"):
        assert SYMBOL.print_size(module_size="0.3mm", dpi=152).module_dots == 2  # 1.8 dots: 0.334 mm
    with pytest.warns(UserWarning) as caught:
        assert SYMBOL.print_size(module_size="0.05mm", dpi=203).module_dots == 1  # never below one dot
    assert len(caught) == 2 and caught[0].filename == __file__  # the warning points at the caller
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert SYMBOL.print_size(module_size=3, dpi=300).module_dots == 3  # a number is dots, as for PNG


@pytest.mark.parametrize("options,error", [
    (dict(module_size="0.5mm", dpi=0), aztec.InvalidOptionError),
    (dict(module_size="half", dpi=203), aztec.InvalidOptionError),
    (dict(module_size="0.5mm", dpi=203, border=-1), aztec.InvalidOptionError),
    (dict(module_size="2in", dpi=100_000), aztec.InvalidOptionError),  # wider than a picture may be
    (dict(module_size="0.5mm", dpi=None), TypeError),
])
def test_print_size_refuses_what_no_writer_takes(options, error):
    with pytest.raises(error):
        SYMBOL.print_size(**options)


# --- ZPL labels -------------------------------------------------------------------

def _label_modules(dots, left, top, step, size):
    """The modules of a printed symbol, read at the centre of each."""
    return tuple(tuple(bool(dots[top + y * step + step // 2, left + x * step + step // 2]) for x in range(size))
                 for y in range(size))


def _gray(dots, margin=16):
    import numpy as np

    return np.pad(np.where(dots == 1, 0, 255).astype(np.uint8), margin, constant_values=255)


_random = random.Random(22)


@pytest.mark.parametrize("dpi", [152, 203, 300, 600])
@pytest.mark.parametrize("message", [b"Hello, label"] + [bytes(_random.randrange(256) for _ in range(n))
                                                         for n in (1, 40, 300, 1200)], ids=lambda m: f"{len(m)}B")
def test_a_zpl_label_prints_exactly_the_symbols_modules_on_whole_dots(tmp_path, dpi, message):
    symbol = aztec.make(message)
    border = len(message) % 4
    home = (dpi // 10, len(message) % 50)
    path = tmp_path / "label.zpl"
    symbol.save(path, dpi=dpi, module_size="0.5mm", border=border, home=home)
    dots, fields = zpl_dots(path.read_text(encoding="ascii"))
    step = symbol.print_size(module_size="0.5mm", dpi=dpi).module_dots
    left, top = home[0] + border * step, home[1] + border * step
    assert fields[0] == (left, top)  # the quiet zone lies between home and the symbol
    side = symbol.size * step
    assert dots[:top].sum() == dots[:, :left].sum() == 0
    assert dots.shape[0] == top + side and dots[:, left + side:].sum() == 0  # the row padding is light
    assert (len(fields) > 1) == ((side + 7) // 8 * side > 99_999)  # large ones in fields of whole rows
    assert _label_modules(dots, left, top, step, symbol.size) == symbol.rows
    assert read(_gray(dots[top:, left:left + side])) == (message, None)


@pytest.mark.parametrize("dpi", [203, 300, 600])
def test_a_compressed_label_prints_the_same_dots_in_fewer_characters(dpi):
    for message in [b"A", b"Hello, label", bytes(_random.randrange(256) for _ in range(700)), b"\xff" * 1500]:
        symbol = aztec.make(message)
        for options in (dict(dpi=dpi, module_size="0.5mm"), dict(dpi=dpi, scale=1, border=0),
                        dict(dpi=dpi, module_size="1.2mm", home=(3, 5))):  # the largest makes several fields
            plain = _bytes_of(symbol, "zpl", options).decode("ascii")
            packed = _bytes_of(symbol, "zpl", dict(options, compress=True)).decode("ascii")
            assert len(packed) < len(plain) or ("scale" in options and len(packed) == len(plain))
            plain_dots, plain_fields = zpl_dots(plain)
            packed_dots, packed_fields = zpl_dots(packed)
            assert packed_fields == plain_fields and (packed_dots == plain_dots).all()
    assert read(_gray(packed_dots)) == (message, None)


@pytest.mark.parametrize("options,error", [
    (dict(dpi=203, compress=1), TypeError),
    (dict(dpi=200), aztec.InvalidOptionError),
    (dict(dpi=None), aztec.InvalidOptionError),
    (dict(dpi=203, home=(-1, 0)), aztec.InvalidOptionError),
    (dict(dpi=203, home=(31_990, 0)), aztec.InvalidOptionError),
    (dict(dpi=203, home=(0.5, 0)), TypeError),
    (dict(dpi=203, home="0,0"), TypeError),
    (dict(dpi=203, dark="red"), TypeError),  # a thermal printer has one colour
])
def test_zpl_refuses_what_a_printer_cannot_print(options, error):
    with pytest.raises(error):
        _saved("zpl", options)


def test_the_command_line_writes_zpl_labels(tmp_path):
    from quillbank.aztec.cli import main

    assert main(["Gate 12", "-o", str(tmp_path / "a.zpl"), "--dpi", "300", "--module-size", "0.5mm"]) == 0
    assert main(["Gate 12", "-o", str(tmp_path / "b.txt"), "--format", "zpl", "--dpi", "300",
                 "--module-size", "0.5mm"]) == 0
    first, second = (tmp_path / "a.zpl").read_text(), (tmp_path / "b.txt").read_text()
    assert first == second
    dots, _ = zpl_dots(first)
    assert read(_gray(dots)) == (b"Gate 12", None)


# --- Pillow's formats -------------------------------------------------------------

LOSSLESS = ["webp", "tiff", "tif", "bmp", "gif"]


def _opened(data):
    from PIL import Image

    image = Image.open(io.BytesIO(data))
    image.load()
    return image


@pytest.mark.parametrize("kind", LOSSLESS + ["jpeg", "jpg"])
@pytest.mark.parametrize("message", [b"Hello, world", bytes(_random.randrange(256) for _ in range(200))],
                         ids=lambda m: f"{len(m)}B")
def test_pillows_formats_by_extension_and_kind_read_back(tmp_path, kind, message):
    pytest.importorskip("PIL")
    import numpy as np

    from symbol_pictures import on_white

    symbol = aztec.make(message)
    path = tmp_path / f"symbol.{kind}"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        symbol.save(path, scale=3)
        by_kind = _bytes_of(symbol, kind, dict(scale=3))
    assert path.read_bytes() == by_kind
    lossy = kind.startswith("jp")
    warned = [str(w.message) for w in caught]
    assert (len(warned) == 2 and all(text.startswith("JPEG's lossy") for text in warned)) if lossy else not warned
    gray = np.asarray(on_white(_opened(by_kind), margin=0))
    assert read(gray) == (message, None)
    if not lossy:  # exactly the PNG's pixels
        assert np.array_equal(gray, np.asarray(on_white(_opened(symbol.png(scale=3)), margin=0)))


@pytest.mark.parametrize("kind,options", [
    ("webp", dict(dark="navy", light="#ffff0080")),
    ("tiff", dict(dark=(0, 0, 90, 200), light=None)),
    ("gif", dict(dark="darkgreen", light=None)),
    ("bmp", dict(dark="maroon", light="ivory")),
])
def test_colours_and_transparency_keep_every_pixel(kind, options):
    pytest.importorskip("PIL")
    import numpy as np

    picture = _opened(_saved(kind, options)).convert("RGBA")
    reference = _opened(SYMBOL.png(**options)).convert("RGBA")
    assert np.array_equal(np.asarray(picture), np.asarray(reference))


def test_the_resolution_is_written_where_the_format_has_a_place_for_it():
    pytest.importorskip("PIL")
    options = dict(module_size="0.5mm", dpi=300)
    for kind in ("tiff", "bmp", "jpeg"):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            image = _opened(_saved(kind, options))
        assert [round(value) for value in image.info["dpi"]] == [300, 300], kind
        assert image.size == (SYMBOL.print_size(**options).side_dots,) * 2


@pytest.mark.parametrize("kind,options", [
    ("jpeg", dict(light=None)), ("bmp", dict(dark="#0008")), ("gif", dict(light="#fff8")),
    ("webp", dict(scale=0)), ("tiff", dict(title="T")),
])
def test_pillows_formats_refuse_what_they_cannot_hold(kind, options):
    with pytest.raises((aztec.InvalidOptionError, TypeError)):
        _saved(kind, options)


def test_without_pillow_the_error_says_what_to_install(monkeypatch, tmp_path, capsys):
    import sys

    from quillbank.aztec.cli import main

    monkeypatch.setitem(sys.modules, "PIL", None)
    monkeypatch.setitem(sys.modules, "PIL.Image", None)
    with pytest.raises(ImportError, match=r"webp pictures .* pip install Pillow"):
        SYMBOL.save(tmp_path / "a.webp")
    assert main(["Hello", "-o", str(tmp_path / "b.gif")]) == 2
    assert "pip install Pillow" in capsys.readouterr().err
    assert not list(tmp_path.iterdir())


def test_the_command_line_warns_of_jpeg_in_one_line(tmp_path, capsys):
    pytest.importorskip("PIL")
    from quillbank.aztec.cli import main

    assert main(["Gate 12", "-o", str(tmp_path / "a.jpg")]) == 0
    assert capsys.readouterr().err == ("aztec: warning: JPEG's lossy compression blurs the edges of the modules, "
                                       "which harms scanning; prefer PNG, or WebP (written lossless)\n")
    assert read(_gray_of(tmp_path / "a.jpg")) == (b"Gate 12", None)


def _gray_of(path):
    import numpy as np

    from symbol_pictures import on_white

    return np.asarray(on_white(_opened(path.read_bytes()), margin=0))


@pytest.mark.parametrize("kind,options", [("zpl", dict(dpi=600, scale=100, border=10)),
                                          ("webp", dict(scale=200, border=0)), ("jpeg", dict(scale=90))])
def test_huge_labels_and_pillow_pictures_are_refused_before_any_work(kind, options):
    import time

    symbol = aztec.make(bytes(range(256)) * 4)  # 109 modules a side
    began = time.perf_counter()
    with pytest.raises(aztec.InvalidOptionError, match="lower the"):
        _bytes_of(symbol, kind, options)
    assert time.perf_counter() - began < 0.5  # no picture was made first
