"""render_many: every message's picture as bytes, made in the core's
threads, the same bytes as a symbol of make() saves; data frame columns in
and out."""

import io
import random

import pytest

import quillbank.aztec as aztec
from quillbank.aztec.batch import BatchError

from symbol_pictures import png_gray, read


def _messages(count, seed):
    rng = random.Random(seed)
    kinds = [lambda: rng.randbytes(rng.randint(1, 300)),
             lambda: "".join(rng.choice("ABCDEFGH 0123456789/.-") for _ in range(rng.randint(1, 120))),
             lambda: "Grüße, " + str(rng.random()),
             lambda: "Привет " + str(rng.randint(0, 10 ** 9))]
    return [rng.choice(kinds)() for _ in range(count)]


def _saved(message, kind, make_options, picture_options):
    stream = io.BytesIO()
    aztec.make(message, **make_options).save(stream, kind=kind, **picture_options)
    return stream.getvalue()


@pytest.mark.parametrize("kind, make_options, picture_options", [
    ("png", {}, {}),
    ("png", {"ec_percent": 40}, {"scale": 3, "border": 0, "dark": "navy", "light": None}),
    ("png", {"compact": False}, {"module_size": "0.5mm", "dpi": 300}),
    ("svg", {}, {"scale": 2, "title": "ticket"}),
    ("pbm", {"eci": 26}, {}),
])
def test_each_picture_is_the_one_a_made_symbol_saves(kind, make_options, picture_options):
    messages = _messages(300, seed=len(kind) + len(picture_options))
    pictures = aztec.render_many(messages, kind, threads=2, **make_options, **picture_options)
    assert pictures == [_saved(m, kind, make_options, picture_options) for m in messages]


def test_pngs_read_back_as_their_messages():
    pytest.importorskip("zxingcpp")
    messages = _messages(60, seed=7)
    for message, picture in zip(messages, aztec.render_many(messages, threads=2)):
        symbol = aztec.make(message)
        expected = message if isinstance(message, bytes) else message.encode(
            "utf-8" if symbol.eci == 26 else "latin-1")
        assert read(png_gray(picture)) == (expected, symbol.eci)


def test_failures_stay_in_place_or_raise_with_the_results():
    messages = ["first", "", "x" * 5000, b"last"]
    results = aztec.render_many(messages, errors="return")
    assert results[0] == _saved("first", "png", {}, {}) and results[3] == _saved(b"last", "png", {}, {})
    assert isinstance(results[1], aztec.AztecError) and isinstance(results[2], aztec.DataOverflowError)
    with pytest.raises(BatchError) as raised:
        aztec.render_many(messages)
    assert raised.value.indices == [1, 2] and raised.value.results[0] == results[0]


def test_a_picture_too_wide_fails_alone():
    # 100 modules a side at 600 pixels a module is past the limit; a small
    # symbol at that scale is not.
    results = aztec.render_many(["A", "x" * 2000], scale=600, border=0, errors="return")
    assert results[0] == _saved("A", "png", {}, {"scale": 600, "border": 0})
    assert isinstance(results[1], aztec.InvalidOptionError)


def test_options_wrong_for_every_message_raise_before_any_work():
    with pytest.raises(aztec.InvalidOptionError):
        aztec.render_many(["a"], ec_percent=200)
    with pytest.raises(TypeError, match="title"):
        aztec.render_many(["a"], "png", title="PNG has none")
    with pytest.raises(aztec.InvalidOptionError, match="kind"):
        aztec.render_many(["a"], "gif87")


def test_data_frame_columns_in_and_an_arrow_column_out():
    pandas = pytest.importorskip("pandas")
    pyarrow = pytest.importorskip("pyarrow")
    messages = ["one", "two", None, "four"]
    expected = [_saved(m, "png", {}, {}) if m else None for m in messages]
    for column in (pandas.Series(messages), pyarrow.array(messages, pyarrow.string()),
                   pyarrow.array([m and m.encode() for m in messages], pyarrow.binary()),
                   pyarrow.chunked_array([messages[:2], messages[2:]])):
        out = aztec.render_many(column, errors="return", as_arrow=True)
        assert isinstance(out, pyarrow.Array) and out.type == pyarrow.binary()
        assert out.to_pylist() == expected
