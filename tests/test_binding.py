"""The product binding quillbank.aztec._aztec: arguments by name through one
parser, symbols that survive pickling and copying, and the per-interpreter
module state."""

import copy
import pickle
import random
import subprocess
import sys

import pytest

import quillbank.aztec as aztec
from quillbank.aztec import _aztec


@pytest.mark.parametrize("call, words", [
    (lambda: _aztec.make(b"x", ec_percnt=23), "unexpected keyword argument 'ec_percnt'"),
    (lambda: _aztec.make(b"x", 23), "at most 1 positional"),
    (lambda: _aztec.make(ec_percent=23), "missing required argument 'message'"),
    (lambda: _aztec.capacity(True, 1, 23, compact=False), "multiple values for argument 'compact'"),
    (lambda: _aztec.make_list([b"x"], [None], threads=True), "threads must be an int"),
    (lambda: _aztec.make(b"x", compact=1), "compact must be True or False"),
    (lambda: _aztec.make(b"x", reader_init=1), "reader_init must be True or False"),
    (lambda: _aztec.build(b"\x00", 1.0), "bit_count must be an int"),
    (lambda: _aztec.png(b"\x01", 1, scale=2), "missing required argument 'border'"),
], ids=["misspelt", "positional option", "no message", "twice", "bool threads", "int compact",
        "int reader_init", "float bit count", "missing"])
def test_arguments_are_refused_by_name_as_python_refuses_them(call, words):
    with pytest.raises(TypeError, match=words):
        call()


def test_ranges_and_eci_numbers_follow_one_rule_in_every_function():
    for call in (lambda: _aztec.make(b"x", ec_percent=100), lambda: _aztec.make(b"x", layers=33),
                 lambda: _aztec.build(b"\x00", 9), lambda: _aztec.capacity(False, 0, 23),
                 lambda: _aztec.stuffed_count(b"", 0, 17), lambda: _aztec.make_list([b"x"], [None], threads=0)):
        with pytest.raises(ValueError):
            call()
    # In range for the argument, refused by the library (its error raised where the GIL is held).
    for call, words in ((lambda: _aztec.stuffed_count(b"\x00", 8, 7), "6, 8, 10 or 12 bits, not 7"),
                        (lambda: _aztec.capacity(True, 5, 23), "1 to 4 layers, not 5")):
        with pytest.raises(ValueError, match=words):
            call()
    # The ECI number of make, batches and the streams: one converter, one error.
    for call in (lambda: _aztec.make(b"x", eci=10**6), lambda: _aztec.make_list([b"x"], [10**6]),
                 lambda: _aztec.encode(b"x", 10**6), lambda: _aztec.encode_stream(b"x", eci=10**6)):
        with pytest.raises(aztec.InvalidOptionError, match="ECI numbers are 0 to 999999, not 1000000"):
            call()
    made = _aztec.make_list([b"x", "x", memoryview(b"ax")[1:]], [None, 26, None])
    assert made[0] == made[2] == _aztec.make(b"x") and made[1] == _aztec.make(b"x", eci=26)


@pytest.mark.parametrize("make", [
    lambda: aztec.make("Grüße", ec_percent=40),
    lambda: aztec.make_sequence(b"y" * 200, symbols=2, id="A1")[1],
    lambda: aztec.rune(77),
    lambda: aztec.make_many([b"batch"])[0],
], ids=["text", "sequence part", "rune", "batch"])
def test_symbols_survive_pickle_and_copy_with_every_label(make):
    symbol = make()
    names = ("size", "layers", "compact", "is_rune", "data_words", "check_words", "eci", "sequence", "modules",
             "_made_from")
    for duplicate in (pickle.loads(pickle.dumps(symbol)), copy.copy(symbol), copy.deepcopy(symbol)):
        assert type(duplicate) is aztec.AztecSymbol and duplicate == symbol and hash(duplicate) == hash(symbol)
        assert [getattr(duplicate, name) for name in names] == [getattr(symbol, name) for name in names]
        assert duplicate.verify() == symbol.verify()


def test_symbols_of_one_size_differ_when_one_module_does():
    symbol = aztec.make(b"one module")
    fields = (symbol.size, symbol.layers, symbol.compact, symbol.data_words, symbol.check_words)
    for k in (0, 7, 8, symbol.size ** 2 - 1):  # either end of a packed byte, and the last module
        modules = bytearray(symbol.modules)
        modules[k] ^= 1
        changed = aztec.AztecSymbol(bytes(modules), *fields)
        assert changed != symbol and changed.modules == bytes(modules)
    assert aztec.AztecSymbol(symbol.modules, *fields) == symbol


def test_modules_of_every_row_length_survive_packing():
    # Rows of 1 to 19 packed bytes, each length whole and cut short; a
    # packed row's last byte is unpacked into the next row's place first.
    rng = random.Random(19)
    for size in [*range(1, 20), 31, 32, 33, 63, 64, 65, 127, 143, 151]:
        modules = bytes(rng.getrandbits(1) for _ in range(size * size))
        symbol = aztec.AztecSymbol(modules, size, 0, True, 0, 0)
        assert symbol.modules == modules and pickle.loads(pickle.dumps(symbol)).modules == modules, size


def test_the_library_packs_the_modules_of_every_shape_as_they_were_drawn():
    # The same stream laid out by the core (a byte a module) and by the
    # product (packed by the library, unpacked by the binding), in every
    # shape: rows of 2 to 19 packed bytes, narrow and wide.
    from quillbank.aztec import _test_hooks
    rng = random.Random(36)
    for compact, most in ((True, 4), (False, 32)):
        for layers in range(1, most + 1):
            bits = [rng.getrandbits(1) for _ in range(40 * layers)]
            packed = bytes(sum(bit << k for k, bit in enumerate(bits[i:i + 8])) for i in range(0, len(bits), 8))
            drawn = _test_hooks.build(bits, int(compact), layers, 23)[5]
            assert _aztec.build(packed, len(bits), compact=compact, layers=layers).modules == drawn, (compact, layers)


def test_the_common_case_leaves_what_it_cannot_take_to_the_package():
    for message, ec_percent in ((b"", 23), ("Grüße", 23), (bytearray(b"x"), 23), (b"x", 23.0), (b"x", 100),
                                (b"x", -1), (b"x", 2**70), (b"x" * 8000, 23)):
        assert _aztec.make(message, ec_percent=ec_percent, plain=True) is None
    made = _aztec.make("ASCII", ec_percent=40, plain=True)
    assert made == _aztec.make(b"ASCII", ec_percent=40) and made._made_from == "ASCII" and made.eci is None
    with pytest.raises(TypeError, match="plain must be True or False"):
        _aztec.make(b"x", plain=1)


def test_make_front_makes_the_common_case_as_make_itself_does_and_hands_on_the_rest():
    general = aztec.make.__wrapped__  # the Python function behind the binding's front
    for data, options in ((b"boarding", {}), ("ASCII text", {"ec_percent": 40}), ("Grüße", {}),
                          (bytearray(b"x"), {}), (b"x", {"ec_percent": 23, "verify": True}), (b"x", {"eci": None})):
        front, python = aztec.make(data, **options), general(data, **options)
        assert type(front) is aztec.AztecSymbol and front == python
        assert (front.eci, front._made_from) == (python.eci, python._made_from)
    for args, options in (((b"",), {}), ((b"x",), {"ec_percent": 100}), ((b"x",), {"ec_percent": 2.0}),
                          ((b"x" * 4000,), {}), ((b"x" * 3000,), {"ec_percent": 40}), ((b"x", b"y"), {})):
        with pytest.raises(Exception) as front:
            aztec.make(*args, **options)
        with pytest.raises(Exception) as python:
            general(*args, **options)
        assert (type(front.value), str(front.value)) == (type(python.value), str(python.value))
    assert (aztec.make.__name__, aztec.make.__doc__) == ("make", general.__doc__)
    assert pickle.loads(pickle.dumps(aztec.make)) is aztec.make
    for arguments in ((general,), (general, 1), (1, general)):
        with pytest.raises(TypeError):
            _aztec.MakeFront(*arguments)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters with their own GIL came in 3.12")
def test_a_subinterpreter_with_its_own_gil_imports_and_uses_the_module():
    code = """
import _xxsubinterpreters as interpreters
interpreter = interpreters.create(isolated=True)
interpreters.run_string(interpreter, '''
from quillbank.aztec import _aztec
assert _aztec.make(b"elsewhere").size == 15
assert len(_aztec.make_list([b"a", b"b"], [None, None], threads=2)) == 2
''')
print("ran")
"""
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert completed.stdout.strip() == "ran", completed.stderr[-2000:]


def test_batch_jobs_refuse_wrong_flags_and_streams_and_keep_a_refused_job_in_place():
    # The lists of flags and streams: their shape refused before any work,
    # each item by the rules make and build follow; a job the library
    # refuses alone is a ValueError in its place, one no symbol holds None.
    for call, error in ((lambda: _aztec.make_list([b"x"], [None], flags=[(0, None)]), TypeError),
                        (lambda: _aztec.make_list([b"x"], [None], flags=[[(0, None)], None]), TypeError),
                        (lambda: _aztec.make_list([b"x"], [26], flags=[[(0, None)]]), ValueError),
                        (lambda: _aztec.make_list([b"x"], [None], streams=[b"\x00"]), TypeError),
                        (lambda: _aztec.make_list([b"x"], [None], streams=[(b"\x00", 9)]), ValueError),
                        (lambda: _aztec.render_list([b"x"], [None], streams=[(b"\x00", -1)]), ValueError)):
        with pytest.raises(error):
            call()
    made = _aztec.make_list([b"ab", b"ab", b"x" * 4000], [None] * 3, flags=[[(5, None)], [(1, None)], None])
    assert type(made[0]) is ValueError and "position" in str(made[0])
    assert made[1] == _aztec.make(b"ab", flags=[(1, None)]) and made[2] is None


def test_functions_that_take_a_buffer_release_it_on_refusal_as_on_success():
    # A bytearray still exported cannot be resized (BufferError): each call
    # below refuses after taking the buffer, or succeeds, and must let go.
    shared = bytearray(b"\x00" * 9)
    for call, error in ((lambda: _aztec.stuffed_count(shared, 80, 6), ValueError),
                        (lambda: _aztec.svg_path(shared, 2, 0), ValueError),
                        (lambda: _aztec.png(shared, 2, 1, 0), ValueError),
                        (lambda: _aztec.build(shared, 80), ValueError),
                        (lambda: _aztec.read_modules(shared, 2, 2), ValueError),
                        (lambda: _aztec.stuffed_count(shared, 8, 6), None),
                        (lambda: _aztec.svg_path(shared, 3, 1), None)):
        if error is None:
            call()
        else:
            with pytest.raises(error):
                call()
        shared.append(0)
        del shared[-1]
    with pytest.raises(TypeError, match="needs words and width"):
        _aztec.fitting_start(b"AB", None, words=3)
