"""The product binding quillbank.aztec._aztec: arguments by name through one
parser, symbols that survive pickling and copying, and the per-interpreter
module state."""

import copy
import pickle
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
