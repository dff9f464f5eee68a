"""The Encoder type as Python sees it: name, construction, attributes,
methods, results, pickling and destruction."""

import copy
import gc
import pickle
import weakref

import pytest

import quillbank.aztec.encoder as encoder_module
from quillbank.aztec.encoder import Encoder
from tracebacks import CONVERSION_FILE, last_records

REFUSAL = "no default __reduce__ due to non-trivial __cinit__"


class TestTheType:
    def test_full_name(self):
        assert Encoder.__module__ == "quillbank.aztec.encoder"
        assert Encoder.__name__ == "Encoder"
        assert Encoder.__qualname__ == "Encoder"

    def test_no_docstrings(self):
        assert Encoder.__doc__ is None
        assert Encoder.encode.__doc__ is None
        assert Encoder.reset.__doc__ is None

    def test_methods_in_order(self):
        public = [name for name in vars(Encoder) if not name.startswith("__")]
        assert public == ["reset", "encode"]

    def test_instances_have_no_dict_and_no_weak_references(self):
        encoder = Encoder()
        with pytest.raises(AttributeError):
            encoder.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(encoder)

    def test_a_subclass_gets_dict_and_weak_references(self):
        class Sub(Encoder):
            pass

        sub = Sub()
        sub.extra = 1
        assert weakref.ref(sub)() is sub
        assert sub.encode("Ab").hex() == "e860"

    def test_not_tracked_by_the_cyclic_collector(self):
        assert not gc.is_tracked(Encoder())

    @pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {}), ((), {"x": 1}), ((1, 2), {"y": 3})])
    def test_constructor_ignores_arguments(self, args, kwargs):
        assert Encoder(*args, **kwargs).encode("Ab") == b"\xe8\x60"

    def test_module_binds_the_documented_names(self):
        names = set(vars(encoder_module))
        assert {"Encoder", "__builtins__", "__test__", "__file__", "__loader__", "__package__"} <= names
        assert encoder_module.__test__ == {}
        import builtins

        assert encoder_module.__builtins__ is builtins
        assert type(Encoder.__pyx_vtable__).__name__ == "PyCapsule"
        assert not any(name.startswith("_inject") or name == "_nullCallable" for name in names)


class TestResults:
    def test_bytes_by_default_and_a_list_of_booleans_with_asbits(self):
        encoder = Encoder()
        packed = encoder.encode("Ab")
        as_bits = encoder.encode("Ab", asBits=True)
        assert type(packed) is bytes
        assert type(as_bits) is list and all(type(b) is bool for b in as_bits)
        assert len(as_bits) == 15

    def test_each_call_returns_a_new_object(self):
        encoder = Encoder()
        first, second = encoder.encode("Ab"), encoder.encode("Ab")
        assert first == second and first is not second
        first, second = encoder.encode("Ab", asBits=True), encoder.encode("Ab", asBits=True)
        assert first == second and first is not second

    def test_object_is_reset_after_each_success(self):
        encoder = Encoder()
        encoder.encode(b"x" * 1000, eci=3)
        assert encoder.encode("Ab") == Encoder().encode("Ab")

    def test_reset_returns_none_and_restores_a_fresh_tree(self):
        encoder = Encoder()
        assert encoder.reset() is None
        assert encoder.encode("Ab") == b"\xe8\x60"


class TestPickling:
    @pytest.mark.parametrize(
        "attempt",
        [
            pickle.dumps,
            copy.copy,
            copy.deepcopy,
            lambda e: e.__reduce__(),
            lambda e: e.__reduce_ex__(2),
            lambda e: e.__reduce_ex__(0),
        ],
    )
    def test_refused(self, attempt):
        with pytest.raises(TypeError, match=REFUSAL) as excinfo:
            attempt(Encoder())
        assert last_records(excinfo, 1) == [
            ("quillbank.aztec.encoder.Encoder.__reduce_cython__", CONVERSION_FILE, 2)
        ]

    @pytest.mark.parametrize("state", [None, 1, (1, 2), {}])
    def test_setstate_refused_whatever_the_state(self, state):
        with pytest.raises(TypeError, match=REFUSAL) as excinfo:
            Encoder().__setstate__(state)
        assert last_records(excinfo, 1) == [
            ("quillbank.aztec.encoder.Encoder.__setstate_cython__", CONVERSION_FILE, 4)
        ]

    def test_refusing_methods_replace_reduce_and_setstate(self):
        assert Encoder.__reduce__.__name__ == "__reduce_cython__"
        assert Encoder.__setstate__.__name__ == "__setstate_cython__"
        assert not hasattr(Encoder, "__reduce_cython__")
        assert not hasattr(Encoder, "__setstate_cython__")

    def test_refusal_is_a_fresh_type_error_each_time(self):
        errors = []
        for _ in range(2):
            with pytest.raises(TypeError) as excinfo:
                Encoder().__reduce__()
            errors.append(excinfo.value)
        assert errors[0] is not errors[1]
        assert errors[0].args == (REFUSAL,)


class TestDestruction:
    def test_destruction_keeps_an_exception_in_flight(self):
        def fail_with_a_live_encoder():
            encoder = Encoder()
            encoder.encode(b"abc" * 100, asBits=False)
            raise KeyError("kept")

        with pytest.raises(KeyError, match="kept"):
            fail_with_a_live_encoder()

    def test_destroyed_inside_an_except_block(self):
        try:
            raise ValueError("outer")
        except ValueError:
            encoder = Encoder()
            del encoder
            import sys

            assert str(sys.exc_info()[1]) == "outer"

    def test_subclass_finaliser_may_resurrect(self):
        kept = []

        class Phoenix(Encoder):
            def __del__(self):
                kept.append(self)

        phoenix = Phoenix()
        phoenix.encode(b"half")
        del phoenix
        gc.collect()
        assert len(kept) == 1
        assert kept[0].encode("Ab") == b"\xe8\x60"
        kept.clear()
