"""One size for a batch: make_many(same_size=True) and aztec --batch
--same-size give every symbol the smallest shape that holds each message,
and every symbol still reads back as its own message."""

import random

import pytest

import quillbank.aztec as aztec
from quillbank.aztec.batch import BatchError, common_shape
from symbol_pictures import modules_gray, png_gray, read
from test_symbol_cli import call

_random = random.Random(2026)
MIXED = [b"A", "Gate 12", "M1DESMARAIS/LUC       EABC123 YULFRAAC 0834 326J001A0025 100", "x" * 150,
         bytes(_random.randrange(256) for _ in range(90))] + [
    bytes(_random.randrange(256) for _ in range(_random.randrange(1, 120))) for _ in range(40)]


def _shape(symbol):
    return symbol.compact, symbol.layers, symbol.size


def _as_bytes(message):
    return message.encode("latin-1") if isinstance(message, str) else message


@pytest.mark.parametrize("options", [{}, {"ec_percent": 50}, {"compact": False}, {"threads": 1}])
def test_a_mixed_batch_gets_the_smallest_shape_that_holds_every_message(options):
    symbols = aztec.make_many(MIXED, same_size=True, **options)
    assert len({_shape(symbol) for symbol in symbols}) == 1
    make_options = {key: value for key, value in options.items() if key != "threads"}
    own = [aztec.make(message, **make_options) for message in MIXED]
    largest = max(own, key=lambda symbol: (symbol.size, not symbol.compact))
    assert _shape(symbols[0]) == _shape(largest)  # no larger than the largest message needs
    ec_percent = options.get("ec_percent", 23)
    for message, symbol, alone in zip(MIXED, symbols, own):
        assert read(modules_gray(symbol.modules, symbol.size)) == (_as_bytes(message), None)
        total = symbol.data_words + symbol.check_words
        assert symbol.check_words >= total * ec_percent // 100 + 3
        if _shape(alone) == _shape(symbol):
            assert symbol == alone  # the same shape is the same symbol
        elif alone.word_bits == symbol.word_bits:
            assert symbol.data_words == alone.data_words  # the same stream, the room given to check words


def test_a_message_that_fits_no_size_fails_alone_and_the_others_share_a_shape():
    messages = ["short", "x" * 40, "too long for a compact symbol " * 4, "y" * 10]
    returned = aztec.make_many(messages, same_size=True, errors="return", compact=True)
    assert isinstance(returned[2], aztec.DataOverflowError)
    fine = [returned[i] for i in (0, 1, 3)]
    assert {_shape(symbol) for symbol in fine} == {_shape(aztec.make("x" * 40, compact=True))}
    with pytest.raises(BatchError) as raised:
        aztec.make_many(messages, same_size=True, compact=True)
    assert raised.value.indices == [2]
    assert [_shape(raised.value.results[i]) for i in (0, 1, 3)] == [_shape(symbol) for symbol in fine]
    assert common_shape(messages, compact=True) == (True, fine[0].layers)
    assert common_shape([""]) is None  # nothing made, nothing to share
    with pytest.raises(TypeError):
        aztec.make_many(messages, same_size=1)


def test_the_command_line_writes_a_batch_of_one_size(monkeypatch, tmp_path):
    source = tmp_path / "labels.txt"
    lines = ["1", "PARCEL 0042 TO GATE 7", "z" * 200, "w" * 5000]
    source.write_text("\n".join(lines) + "\n", encoding="utf-8")
    status, _, err = call(monkeypatch, "--batch", str(source), "-o", str(tmp_path / "{line}.png"), "--same-size",
                          "--scale", "1", "--border", "0")
    assert status == 1 and "line 4: the message does not fit" in err
    sides = set()
    for number, message in enumerate(lines[:3], 1):
        picture = (tmp_path / f"{number}.png").read_bytes()
        sides.add(int.from_bytes(picture[16:20], "big"))
        assert read(png_gray(picture)) == (message.encode(), None)
    assert sides == {aztec.make("z" * 200).size}
    assert call(monkeypatch, "one", "--same-size")[0] == 2  # a batch option without --batch
