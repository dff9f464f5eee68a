"""Error paths that no Python input reaches (allocation failures, foreign
C++ exceptions, errors inside the internal operations), provoked in the
test-only fault injection build of the encoder."""

import json
import textwrap

import pytest

from fault_build import build_fault_injection_module, run_against

PRELUDE = """
import json, sys
import quillbank.aztec.encoder as module
from quillbank.aztec.encoder import Encoder
assert "site-packages" not in module.__file__

def records(error):
    out, tb = [], error.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename != "<string>":
            out.append([code.co_name, code.co_filename, tb.tb_lineno])
        tb = tb.tb_next
    return out

def attempt(call):
    try:
        value = call()
    except BaseException as error:
        return {"error": type(error).__name__, "message": str(error), "records": records(error)}
    return {"value": value.hex() if isinstance(value, bytes) else value}

unraisable = []
sys.unraisablehook = lambda u: unraisable.append([type(u.exc_value).__name__, str(u.exc_value), u.object])
"""


@pytest.fixture(scope="module")
def fault_site(tmp_path_factory):
    try:
        return build_fault_injection_module(str(tmp_path_factory.mktemp("faults")))
    except RuntimeError as error:
        pytest.fail(f"could not build the fault injection variant: {error}")


def run(fault_site, body):
    result = run_against(fault_site, PRELUDE + textwrap.dedent(body))
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1]), result.stderr


TRANSLATIONS = [
    ("bad_alloc", "MemoryError", "std::bad_alloc"),
    ("bad_cast", "TypeError", "std::bad_cast"),
    ("bad_typeid", "TypeError", "std::bad_typeid"),
    ("domain_error", "ValueError", "domain"),
    ("invalid_argument", "ValueError", "argument"),
    ("ios_failure", "OSError", "stream"),
    ("out_of_range", "IndexError", "range"),
    ("overflow_error", "OverflowError", "overflow"),
    ("range_error", "ArithmeticError", "range error"),
    ("underflow_error", "ArithmeticError", "underflow"),
    ("runtime_error", "RuntimeError", "runtime"),
    ("foreign", "RuntimeError", "Unknown exception"),
    ("python", "KeyError", "'pending'"),
]


class TestConstructionAndReset:
    def test_every_translation_row_at_construction(self, fault_site):
        kinds = [kind for kind, _, _ in TRANSLATIONS]
        outcome, _ = run(fault_site, f"""
            out = []
            for kind in {kinds!r}:
                module._injectFault("newRoot", kind, 1)
                out.append(attempt(Encoder))
            print(json.dumps(out))
        """)
        for (kind, error, message), got in zip(TRANSLATIONS, outcome):
            assert got["error"] == error, kind
            assert message in got["message"], kind
            assert got["records"][-1] == [
                "quillbank.aztec.encoder.Encoder.__cinit__", "quillbank\\aztec\\encoder\\__init__", 24]

    def test_failed_reset_leaves_a_usable_object(self, fault_site):
        outcome, _ = run(fault_site, """
            encoder = Encoder()
            module._injectFault("newRoot", "bad_alloc", 1)
            failed = attempt(encoder.reset)
            print(json.dumps([failed, attempt(lambda: encoder.encode("Ab")),
                              attempt(encoder.reset), attempt(lambda: encoder.encode("", eci=26))]))
        """)
        failed, encoded, reset, with_eci = outcome
        assert failed["error"] == "MemoryError"
        assert failed["records"][-1] == [
            "quillbank.aztec.encoder.Encoder.reset", "quillbank\\aztec\\encoder\\__init__", 34]
        assert encoded == {"value": "e860"}
        assert reset == {"value": None}
        assert with_eci == {"value": "004802"}

    def test_failed_reset_inside_encode(self, fault_site):
        outcome, _ = run(fault_site, """
            encoder = Encoder()
            module._injectFault("newRoot", "bad_alloc", 1)
            failed = attempt(lambda: encoder.encode("Ab"))
            print(json.dumps([failed, attempt(lambda: encoder.encode("", eci=26))]))
        """)
        failed, after = outcome
        assert failed["error"] == "MemoryError"
        assert [r[0] for r in failed["records"]][-2:] == [
            "quillbank.aztec.encoder.Encoder.encode", "quillbank.aztec.encoder.Encoder.reset"]
        assert after == {"value": "004802"}

    def test_failure_while_discarding_a_failed_message_keeps_the_first_error(self, fault_site):
        # The truth test fails; the fresh root planted after it fails too
        # (newRoot's first call): the truth test's error is the one raised,
        # and the next call plants its own root.
        outcome, _ = run(fault_site, """
            class Undecided:
                def __bool__(self):
                    module._injectFault("newRoot", "python", 1)
                    raise ZeroDivisionError("undecided")
            encoder = Encoder()
            failed = attempt(lambda: encoder.encode(b"SECRET", eci=3, asBits=Undecided()))
            print(json.dumps([failed, unraisable, attempt(lambda: encoder.encode("Ab"))]))
        """)
        failed, hooks, after = outcome
        assert failed["error"] == "ZeroDivisionError"
        assert failed["records"][-1] == [
            "quillbank.aztec.encoder.Encoder.encode", "quillbank\\aztec\\encoder\\__init__", 47]
        assert hooks == []
        assert after == {"value": "e860"}


class TestUnraisableErrors:
    @pytest.mark.parametrize(
        "site, message, operation",
        [
            ("replaceState", b"A", "addChar"),
            ("replaceState", b". ", "addPair"),
            ("replaceState", b"\xff", "addBinary"),
            ("removeState", b",", "cleanup"),
            ("addData", b"AB", "addData"),
        ],
    )
    def test_reported_twice_and_not_raised(self, fault_site, site, message, operation):
        outcome, stderr = run(fault_site, f"""
            module._injectFault({site!r}, "python", 1)
            result = attempt(lambda: Encoder().encode({message!r}))
            print(json.dumps([result, unraisable, type(sys.last_value).__name__]))
        """)
        result, hooks, last = outcome
        assert "value" in result  # the call itself succeeded
        assert hooks == [["RuntimeError", "injected fault",
                          f"quillbank.aztec.encoder.Encoder.{operation}"]]
        assert last == "RuntimeError"
        assert stderr.count("RuntimeError: injected fault") == 1  # the printed report; the hook is ours

    def test_data_loop_stops_where_the_error_happened(self, fault_site):
        outcome, _ = run(fault_site, """
            module._injectFault("addData", "python", 2)
            print(json.dumps(attempt(lambda: Encoder().encode(b"AB"))))
        """)
        assert outcome == {"value": "08"}  # only the A was consumed

    def test_default_unraisable_hook_prints_a_second_report(self, fault_site):
        result = run_against(fault_site, """
import quillbank.aztec.encoder as module
module._injectFault("replaceState", "python", 1)
module.Encoder().encode(b"A")
print("still running")
""")
        assert result.stdout.strip() == "still running"
        assert result.stderr.count("injected fault") == 2
        assert "quillbank.aztec.encoder.Encoder.addChar" in result.stderr


class TestAllocationFailuresInEncode:
    @pytest.mark.parametrize("site, as_bits, line", [
        ("growChild", False, 46), ("output", False, 50), ("output", True, 48)])
    def test_memory_error_and_a_fresh_object_after_it(self, fault_site, site, as_bits, line):
        outcome, _ = run(fault_site, f"""
            encoder = Encoder()
            module._injectFault({site!r}, "bad_alloc", 1)
            failed = attempt(lambda: encoder.encode(b"ab", asBits={as_bits}))
            print(json.dumps([failed, attempt(lambda: encoder.encode(b"", asBits=True))]))
        """)
        failed, after = outcome
        assert failed["error"] == "MemoryError"
        assert failed["records"][-1] == [
            "quillbank.aztec.encoder.Encoder.encode", "quillbank\\aztec\\encoder\\__init__", line]
        # The message was fed before the failure; the failed call discarded it.
        assert after == {"value": []}


class TestCallsIntoPython:
    def test_callable_returning_null_without_error(self, fault_site):
        outcome, _ = run(fault_site, """
            class Holder:
                list = module._nullCallable
            module.__builtins__ = Holder
            print(json.dumps(attempt(lambda: Encoder().encode(b"A", asBits=True))))
        """)
        assert outcome["error"] == "SystemError"
        assert outcome["message"] == "NULL result without error in PyObject_Call"

    def test_calls_count_against_the_recursion_limit(self, fault_site):
        outcome, _ = run(fault_site, """
            class Deep:
                def __str__(self):
                    return Encoder().encode(self).decode()
            sys.setrecursionlimit(200)
            print(json.dumps(attempt(lambda: Encoder().encode(Deep()))))
        """)
        assert outcome["error"] == "RecursionError"
