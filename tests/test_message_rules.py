"""One rule for a message's bytes and one for ECI numbers, the same through
every door: make, segments, encode_optimal, make_many and save_many, and the
command line's --eci.  Each door's result is read back (zxing-cpp for the
symbols and files, the stream decoder for encode_optimal), so a door that
took a buffer in another order or dropped an ECI number fails."""

import array

import numpy as np
import pytest

import quillbank.aztec as aztec
from quillbank.aztec.cli import EXIT_ERROR, EXIT_OK, main
from quillbank.aztec.errors import InvalidOptionError
from stream_decoder import decode_bits
from symbol_pictures import modules_gray, png_gray, read

TEXT = b"Gate B42"
DASHED = bytes(byte for pair in zip(TEXT, b"-" * len(TEXT)) for byte in pair)  # b"G-a-t-e..."


def read_symbol(symbol):
    return read(modules_gray(symbol.modules, symbol.size))


def read_file(path):
    return read(png_gray(path.read_bytes()))


def first(results):
    """make_many's one result, its exception raised as make() would."""
    if isinstance(results[0], Exception):
        raise results[0]
    return results[0]


# Each door makes something of a message with options, read back as
# (bytes, ECI number or None).
DOORS = {
    "make": lambda data, folder, **options: read_symbol(aztec.make(data, **options)),
    "Segment": lambda data, folder, eci=None: read_symbol(aztec.make([aztec.Segment(data, eci=eci)])),
    "encode_optimal": lambda data, folder, eci=None: decode_bits(aztec.encode_optimal(data, eci, asBits=True)),
    "make_many": lambda data, folder, **options: read_symbol(first(aztec.make_many([data], errors="return",
                                                                                   **options))),
    "save_many": lambda data, folder, **options: read_file(first(aztec.save_many(
        [data], [folder / "saved.png"], errors="return", **options))),
}


def read_only_array(data):
    array_ = np.frombuffer(bytearray(data), dtype=np.uint8)
    array_.flags.writeable = False
    return array_


MESSAGES = [
    ("bytes", TEXT, None),
    ("writable bytearray", bytearray(TEXT), None),
    ("read-only NumPy array", read_only_array(TEXT), None),
    ("writable array of unsigned bytes", array.array("B", TEXT), None),
    ("strided NumPy view", np.frombuffer(DASHED, dtype=np.uint8)[::2], None),
    ("strided memoryview", memoryview(DASHED)[::2], None),
    ("Fortran-ordered 2-D array", np.asfortranarray(np.frombuffer(TEXT, dtype=np.uint8).reshape(2, 4)), None),
    ("ASCII str", TEXT.decode(), None),
    ("int", 42, TypeError),
    ("array of 2-byte items", array.array("H", [0x4147, 0x6574]), TypeError),
]


@pytest.mark.parametrize("door", DOORS)
@pytest.mark.parametrize("name, data, error", MESSAGES, ids=[case[0] for case in MESSAGES])
def test_every_door_takes_and_refuses_the_same_messages(door, name, data, error, tmp_path):
    if error is not None:
        with pytest.raises(error):
            DOORS[door](data, tmp_path)
    else:
        assert DOORS[door](data, tmp_path) == (TEXT, None)


ECIS = [
    ("0", 0, 0, None),
    ("999999", 999_999, 999_999, None),
    ("NumPy integer", np.int64(26), 26, None),
    ("False, no designator", False, None, None),
    ("1000000", 1_000_000, None, InvalidOptionError),
    ("-1", -1, None, InvalidOptionError),
    ("True", True, None, TypeError),
    ("float", 3.0, None, TypeError),
]


@pytest.mark.parametrize("door", DOORS)
@pytest.mark.parametrize("name, eci, written, error", ECIS, ids=[case[0] for case in ECIS])
def test_every_door_takes_and_refuses_the_same_eci_numbers(door, name, eci, written, error, tmp_path):
    if error is not None:
        with pytest.raises(error):
            DOORS[door](TEXT, tmp_path, eci=eci)
    else:
        assert DOORS[door](TEXT, tmp_path, eci=eci) == (TEXT, written)


# Text with ECI 999999 is refused for another reason: that number has no
# character set to write text in.
@pytest.mark.parametrize("eci, status", [("0", EXIT_OK), ("26", EXIT_OK), ("1000000", EXIT_ERROR), ("-1", EXIT_ERROR)])
def test_the_command_line_takes_eci_numbers_by_the_same_rule(eci, status, tmp_path, capsys):
    path = tmp_path / "eci.png"
    assert main([f"--eci={eci}", TEXT.decode(), "-o", str(path)]) == status
    if status == EXIT_OK:
        assert read_file(path) == (TEXT, int(eci))
    else:
        assert f"ECI numbers are 0 to 999999, not {eci}" in capsys.readouterr().err
        assert not path.exists()


def test_the_compiled_doors_refuse_what_a_broken_rule_gives(monkeypatch):
    # encode_optimal's converters hand anything but str, contiguous byte
    # buffers and plain ints in range to the Python rules, and check what
    # comes back.
    from quillbank.aztec import arguments, charsets

    monkeypatch.setattr(charsets, "buffer_bytes", lambda data: "not bytes")
    with pytest.raises(SystemError, match="buffer_bytes gave no bytes"):
        aztec.encode_optimal(memoryview(DASHED)[::2])
    assert decode_bits(aztec.encode_optimal(bytearray(TEXT), asBits=True)) == (TEXT, None)  # never asks it
    monkeypatch.setattr(arguments, "check_eci", lambda eci: 10 ** 7)
    with pytest.raises(SystemError, match="check_eci gave no ECI number"):
        aztec.encode_optimal(TEXT, np.int64(3))
    assert decode_bits(aztec.encode_optimal(TEXT, 3, asBits=True)) == (TEXT, 3)  # a plain int never asks it
