"""encode's arguments: binding, the coercion of data, eci and asBits, with
the exceptions and traceback records of each failure."""

import array
import ctypes

import pytest

from quillbank.aztec.encoder import Encoder
from stream_decoder import decode_bits
from tracebacks import CONVERSION_FILE, ENCODE, MODULE_FILE, last_records

AT_LEAST = r"^encode\(\) takes at least 1 positional argument \(0 given\)$"


def call_with_raw_keywords(method, args, kwargs):
    """Call a bound builtin method with a keyword dictionary as it is, keys
    and all, the way C code can (Python's own call syntax checks the keys)."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(method, args, kwargs)


class TestBinding:
    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, AT_LEAST),
            ((), {"eci": 3}, AT_LEAST),
            ((), {"asBits": True, "other": 1}, AT_LEAST),
            ((1, 2, 3, 4), {}, r"^encode\(\) takes at most 3 positional arguments \(4 given\)$"),
            ((1, 2, 3, 4), {"data": 1}, r"takes at most 3 positional arguments \(4 given\)"),
            ((b"",), {"data": b""}, r"^encode\(\) got multiple values for keyword argument 'data'$"),
            ((b"", None), {"eci": 1}, r"got multiple values for keyword argument 'eci'"),
            ((b"",), {"bogus": 1}, r"^encode\(\) got an unexpected keyword argument 'bogus'$"),
            ((), {"data": b"", "asbits": 1}, r"unexpected keyword argument 'asbits'"),
        ],
    )
    def test_binding_errors(self, args, kwargs, message):
        encoder = Encoder()
        with pytest.raises(TypeError, match=message) as excinfo:
            encoder.encode(*args, **kwargs)
        assert last_records(excinfo, 1) == [(ENCODE, MODULE_FILE, 37)]

    def test_non_string_keyword(self):
        encoder = Encoder()
        with pytest.raises(TypeError, match=r"^encode\(\) keywords must be strings$"):
            call_with_raw_keywords(encoder.encode, (b"A",), {1: 2})

    def test_first_offending_keyword_wins(self):
        with pytest.raises(TypeError, match="multiple values for keyword argument 'data'"):
            call_with_raw_keywords(Encoder().encode, (b"A",), {"data": 1, 5: 6})

    def test_positional_and_keyword_forms_agree(self):
        encoder = Encoder()
        expected = encoder.encode(b"Ab", asBits=True)
        assert encoder.encode(b"Ab", None, True) == expected
        assert encoder.encode(data=b"Ab", asBits=True) == expected
        assert encoder.encode(b"Ab", asBits=True, eci=None) == expected
        assert encoder.encode(b"Ab", **{}) == b"\xe8\x60"

    def test_keywords_given_by_name_strings_built_at_run_time(self):
        name = "".join(["as", "Bits"])
        assert Encoder().encode(b"Ab", **{name: True}) == Encoder().encode(b"Ab", asBits=True)


class TestData:
    @pytest.mark.parametrize(
        "data, as_bytes",
        [
            ("\u00c4", b"\xc3\x84"),
            (bytearray(b"Hello"), b"Hello"),
            (12, b"12"),
            (None, b"None"),
            (3.5, b"3.5"),
            (memoryview(b"view"), b"view"),
            (array.array("B", b"arr"), b"arr"),
            (array.array("H", [0x4141, 0x4242]), b"AABB"),
        ],
    )
    def test_coercion(self, data, as_bytes):
        encoder = Encoder()
        assert encoder.encode(data, asBits=True) == encoder.encode(as_bytes, asBits=True)

    def test_numpy_array_is_encoded_by_its_bytes(self):
        numpy = pytest.importorskip("numpy")
        assert Encoder().encode(numpy.frombuffer(b"np!", dtype=numpy.uint8)) == Encoder().encode(b"np!")

    def test_non_contiguous_numpy_array_is_refused(self):
        numpy = pytest.importorskip("numpy")
        with pytest.raises(TypeError, match="C-contiguous"):
            Encoder().encode(numpy.arange(10, dtype=numpy.uint8)[::2])

    def test_non_contiguous_buffer_is_refused(self):
        with pytest.raises(TypeError, match="C-contiguous") as excinfo:
            Encoder().encode(memoryview(b"abcdef")[::2])
        assert last_records(excinfo, 1) == [(ENCODE, MODULE_FILE, 43)]

    def test_str_subclass_uses_its_own_encode(self):
        calls = []

        class Shouting(str):
            def encode(self, *args):
                calls.append(args)
                return str.upper(self).encode(*args)

        assert Encoder().encode(Shouting("ab")) == Encoder().encode(b"AB")
        assert calls == [("utf8",)]

    def test_str_subclass_encode_returning_bytearray_is_accepted(self):
        class Odd(str):
            def encode(self, *args):
                return bytearray(b"AB")

        assert Encoder().encode(Odd("x")) == b"\x08\x03"

    def test_str_subclass_encode_returning_a_non_bytes_fails_after_the_designator(self):
        class Odd(str):
            def encode(self, *args):
                return 42

        encoder = Encoder()
        with pytest.raises(TypeError, match="expected bytes, int found") as excinfo:
            encoder.encode(Odd("x"), eci=7)
        assert last_records(excinfo, 2) == [
            (ENCODE, MODULE_FILE, 46),
            ("string.from_py.__pyx_convert_string_from_py_std__in_string", CONVERSION_FILE, 15),
        ]
        # The failed call reset the object: its designator is gone.
        assert decode_bits(encoder.encode(b"A", asBits=True)) == (b"A", None)

    def test_lone_surrogate(self):
        encoder = Encoder()
        with pytest.raises(UnicodeEncodeError) as excinfo:
            encoder.encode("\ud800")
        assert last_records(excinfo, 1) == [(ENCODE, MODULE_FILE, 41)]
        assert encoder.encode("Ab") == b"\xe8\x60"  # nothing was kept

    def test_failing_str(self):
        class NoText:
            def __str__(self):
                raise ValueError("no text")

        with pytest.raises(ValueError, match="no text") as excinfo:
            Encoder().encode(NoText())
        assert last_records(excinfo, 1) == [(ENCODE, MODULE_FILE, 43)]

    def test_str_returning_a_subclass_with_its_own_encode(self):
        class Loud(str):
            def encode(self, *args):
                return b"LOUD"

        class Speaker:
            def __str__(self):
                return Loud("quiet")

        assert Encoder().encode(Speaker()) == Encoder().encode(b"LOUD")

    def test_failing_bytes_call_for_a_bytearray_subclass(self):
        class Weird(bytearray):
            def __bytes__(self):
                raise RuntimeError("no bytes")

        with pytest.raises(RuntimeError, match="no bytes") as excinfo:
            Encoder().encode(Weird(b"x"))
        assert last_records(excinfo, 1) == [(ENCODE, MODULE_FILE, 39)]


class TestEci:
    @pytest.mark.parametrize("eci", ["26", 26.0, b"26", [26], object()])
    def test_values_that_are_not_int_are_ignored(self, eci):
        assert Encoder().encode(b"A", eci=eci) == Encoder().encode(b"A")

    def test_bools_are_ints(self):
        assert decode_bits(Encoder().encode(b"A", eci=True, asBits=True)) == (b"A", 1)
        assert decode_bits(Encoder().encode(b"A", eci=False, asBits=True)) == (b"A", 0)

    def test_int_subclass(self):
        class Number(int):
            pass

        assert decode_bits(Encoder().encode(b"A", eci=Number(26), asBits=True)) == (b"A", 26)

    def test_integer_like_objects_are_taken_as_their_number(self):
        numpy = pytest.importorskip("numpy")

        class Index:
            def __index__(self):
                return 899

        for eci, number in ((numpy.int64(26), 26), (numpy.uint8(3), 3), (Index(), 899)):
            assert decode_bits(Encoder().encode(b"A", eci=eci, asBits=True)) == (b"A", number)

    def test_integer_like_objects_out_of_range_or_failing(self):
        numpy = pytest.importorskip("numpy")

        class Failing:
            def __index__(self):
                raise LookupError("no number")

        for eci, error, message in ((numpy.int64(-1), OverflowError, "negative"),
                                    (numpy.uint64(2**32), OverflowError, "too large"),
                                    (Failing(), LookupError, "no number")):
            encoder = Encoder()
            with pytest.raises(error, match=message) as excinfo:
                encoder.encode(b"A", eci=eci)
            assert last_records(excinfo, 1) == [(ENCODE, MODULE_FILE, 45)]
            assert encoder.encode(b"A") == Encoder().encode(b"A")

    @pytest.mark.parametrize(
        "eci, message",
        [
            (-1, "^can't convert negative value to uint32_t$"),
            (-(2**70), "^can't convert negative value to uint32_t$"),
            (2**32, "too large"),
            (2**100, "too large"),
        ],
    )
    def test_out_of_range_leaves_the_object_unchanged(self, eci, message):
        encoder = Encoder()
        with pytest.raises(OverflowError, match=message) as excinfo:
            encoder.encode(b"A", eci=eci)
        assert last_records(excinfo, 1) == [(ENCODE, MODULE_FILE, 45)]
        assert encoder.encode(b"A") == Encoder().encode(b"A")

    def test_largest_number(self):
        assert decode_bits(Encoder().encode(b"", eci=2**32 - 1, asBits=True)) == (b"", 967295)


class TestAsBits:
    @pytest.mark.parametrize("flag, wanted", [(1, True), (0, False), ("", False), ("x", True),
                                              ([], False), ([0], True), (None, False)])
    def test_truth_value_selects_the_form(self, flag, wanted):
        result = Encoder().encode(b"A", asBits=flag)
        assert isinstance(result, list) == wanted

    def test_failing_truth_test_leaves_a_fresh_object(self):
        class Undecided:
            def __bool__(self):
                raise ZeroDivisionError("undecided")

        encoder = Encoder()
        with pytest.raises(ZeroDivisionError) as excinfo:
            encoder.encode(b"FIRST", asBits=Undecided())
        assert last_records(excinfo, 1) == [(ENCODE, MODULE_FILE, 47)]
        # Nothing of the failed message reaches the next one.
        assert decode_bits(encoder.encode(b"SECOND", asBits=True)) == (b"SECOND", None)
        assert encoder.encode(b"A") == b"\x08"

    def test_reset_inside_the_truth_test_empties_the_result(self):
        encoder = Encoder()

        class Resetting:
            def __bool__(self):
                encoder.reset()
                return True

        assert encoder.encode(b"LOST", asBits=Resetting()) == []
        assert encoder.encode(b"A") == b"\x08"


class TestListFromBuiltins:
    @pytest.fixture
    def module(self):
        import quillbank.aztec.encoder as module

        saved = module.__builtins__
        yield module
        module.__builtins__ = saved

    def test_list_is_taken_from_the_module_builtins(self, module):
        seen = []

        class Holder:
            @staticmethod
            def list(bits):
                seen.append(bits)
                return tuple(bits)

        module.__builtins__ = Holder
        assert Encoder().encode(b"A", asBits=True) == (False, False, False, True, False)
        assert seen == [[False, False, False, True, False]]

    def test_missing_list_fails_before_the_bits_and_resets_the_object(self, module):
        module.__builtins__ = object()
        encoder = Encoder()
        with pytest.raises(AttributeError) as excinfo:
            encoder.encode(b"A", asBits=True)
        assert last_records(excinfo, 1) == [(ENCODE, MODULE_FILE, 48)]
        module.__builtins__ = __import__("builtins")
        assert decode_bits(encoder.encode(b"B", asBits=True)) == (b"B", None)

    def test_missing_builtins_global_is_a_name_error(self, module):
        del module.__builtins__
        try:
            with pytest.raises(NameError, match="^name '__builtins__' is not defined$"):
                Encoder().encode(b"A", asBits=True)
            assert Encoder().encode(b"A") == b"\x08"  # bytes need no list
        finally:
            module.__builtins__ = __import__("builtins")


class TestReset:
    def test_subclass_reset_is_the_one_called(self):
        class Keeping(Encoder):
            def reset(self):
                pass

        keeping = Keeping()
        first = keeping.encode(b"one")
        assert first == Encoder().encode(b"one")
        assert decode_bits(keeping.encode(b"two", asBits=True)) == (b"onetwo", None)
        Encoder.reset(keeping)
        assert keeping.encode(b"A") == b"\x08"

    def test_reset_stored_on_the_instance(self):
        class Open(Encoder):
            pass

        encoder = Open()
        calls = []
        encoder.reset = lambda: calls.append(1)
        encoder.encode(b"A")
        assert calls == [1]

    def test_failing_reset_discards_the_result(self):
        class FailingOnce(Encoder):
            failed = False

            def reset(self):
                if not self.failed:
                    self.failed = True
                    raise LookupError("reset failed")
                Encoder.reset(self)

        encoder = FailingOnce()
        with pytest.raises(LookupError) as excinfo:
            encoder.encode(b"A")
        assert last_records(excinfo, 1) == [(ENCODE, MODULE_FILE, 51)]
        # The failed call reset the object itself (not through the failing
        # reset): the next message starts from a fresh root.
        assert decode_bits(encoder.encode(b"B", asBits=True)) == (b"B", None)
        assert encoder.encode(b"A") == b"\x08"

    def test_second_designator_follows_the_first_without_reset(self):
        class Keeping(Encoder):
            def reset(self):
                pass

        encoder = Keeping()
        encoder.encode(b"", eci=3)
        bits = encoder.encode(b"", eci=4, asBits=True)
        assert bits == Encoder().encode(b"", eci=3, asBits=True) + Encoder().encode(b"", eci=4, asBits=True)


class TestTracebackSwitch:
    def test_records_show_the_implementation_line_when_switched_on(self):
        import sys

        Encoder().encode(b"A")
        with pytest.raises(TypeError):
            Encoder().encode()
        runtime = sys.modules["_quillbank_aztec_runtime"]
        assert runtime.cline_in_traceback is False
        runtime.cline_in_traceback = True
        try:
            with pytest.raises(TypeError) as excinfo:
                Encoder().encode()
            name, file, line = last_records(excinfo, 1)[0]
            assert name.startswith(ENCODE + " (quillbank/aztec/encoder/__init__:")
            assert (file, line) == (MODULE_FILE, 37)
        finally:
            runtime.cline_in_traceback = False
        with pytest.raises(TypeError) as excinfo:
            Encoder().encode()
        assert last_records(excinfo, 1) == [(ENCODE, MODULE_FILE, 37)]

    def test_records_of_different_functions_on_the_same_line_keep_their_names(self):
        # The refusal (line 2 of its file) and a conversion record share no
        # code object with the module's own records.
        with pytest.raises(TypeError) as excinfo:
            Encoder().__reduce__()
        assert last_records(excinfo, 1)[0][0].endswith("__reduce_cython__")
        with pytest.raises(TypeError) as excinfo:
            Encoder().encode(1, 2, 3, 4)
        assert last_records(excinfo, 1) == [(ENCODE, MODULE_FILE, 37)]
