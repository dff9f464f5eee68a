"""Printing on the printer's own grid: a module is a whole number of dots in
every kind, the files say the size that is printed, and print_size() says
it too (and warns when it is not what was asked)."""

import re
import warnings

import pytest

import quillbank.aztec as aztec
from symbol_pictures import pdf_media_box, png_resolution

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
    assert float(re.search(r"x=([\d.]+)pt", tex).group(1)) == pytest.approx(dots / dpi * 72, abs=1e-5)
    svg = SYMBOL.svg(**options)
    width, unit = re.search(r'width="([\d.]+)([a-z]+)"', svg).groups()
    assert unit == module_size.lstrip("0123456789.")  # the unit asked for, the length snapped to dots
    assert float(width) * {"mm": 1 / 25.4, "in": 1, "pt": 1 / 72}[unit] == pytest.approx(inches, abs=1e-6)


def _saved(kind, options):
    import io

    buffer = io.BytesIO()
    SYMBOL.save(buffer, kind=kind, **options)
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
