"""Import-time behaviour, each case in a fresh interpreter."""

import subprocess
import sys
import tempfile
import textwrap

import pytest


def run(code, *flags):
    # Run away from the source tree, so that only the installed package is found.
    return subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=120, cwd=tempfile.gettempdir(),
    )


def test_repeated_import_returns_the_identical_module():
    result = run("""
        import sys
        import quillbank.aztec.encoder as first
        first.marker = "kept"
        encoder_type = first.Encoder
        del sys.modules["quillbank.aztec.encoder"]
        import importlib
        second = importlib.import_module("quillbank.aztec.encoder")
        assert second is first
        assert second.marker == "kept" and second.Encoder is encoder_type
        assert sys.modules["quillbank.aztec.encoder"] is first
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr


def test_exec_of_another_module_object_is_refused():
    result = run("""
        import _imp, importlib.util
        spec = importlib.util.find_spec("quillbank.aztec.encoder")
        other = _imp.create_dynamic(spec)
        import quillbank.aztec.encoder as real
        assert other is not real
        try:
            _imp.exec_dynamic(other)
        except RuntimeError as error:
            print(error)
    """)
    assert result.stdout.strip() == (
        "Module 'encoder' has already been imported. Re-initialisation is not supported."
    ), result.stderr


@pytest.mark.parametrize("version, shown", [("3.10.4 (fake)", "3.10"), ("3.1.0", "3.1"), ("4.11.0", "4.11")])
def test_version_mismatch_warns_and_fails_under_warnings_as_errors(version, shown):
    result = run(f"""
        import sys, warnings
        sys.version = {version!r}
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import quillbank.aztec.encoder
        print(caught[0].category.__name__, caught[0].message)
    """)
    major, minor = sys.version_info[:2]
    assert result.stdout.strip() == (
        f"RuntimeWarning compiletime version {major}.{minor} of module "
        f"'quillbank.aztec.encoder' does not match runtime version {shown}"
    ), result.stderr

    result = run(f"""
        import sys
        sys.version = {version!r}
        try:
            import quillbank.aztec.encoder
        except RuntimeWarning as warning:
            print("failed:", warning)
        sys.version = {sys.version!r}
        sys.modules.pop("quillbank.aztec.encoder", None)
        import quillbank.aztec.encoder
        print(quillbank.aztec.encoder.Encoder().encode("Ab").hex())
    """, "-W", "error::RuntimeWarning")
    lines = result.stdout.splitlines()
    assert lines[0].startswith("failed: compiletime version"), result.stderr
    assert lines[1] == "e860"  # a later import starts over


def test_matching_version_with_another_micro_release_does_not_warn():
    major, minor = sys.version_info[:2]
    result = run(f"""
        import sys
        sys.version = "{major}.{minor}.99 (other build)"
        import quillbank.aztec.encoder
        print("ok")
    """, "-W", "error")
    assert result.stdout.strip() == "ok", result.stderr


def test_spec_without_origin_or_search_locations():
    result = run("""
        import _imp, importlib.util
        path = importlib.util.find_spec("quillbank.aztec.encoder").origin

        class Spec:
            name = "quillbank.aztec.encoder"
            loader = None
            parent = "quillbank.aztec"
            submodule_search_locations = None

            def __init__(self, missing_from=None):
                self.reads = 0
                self.missing_from = missing_from

            @property
            def origin(self):
                # The import machinery reads origin before the module does.
                self.reads += 1
                if self.missing_from is not None and self.reads >= self.missing_from:
                    raise AttributeError("origin")
                return path

        probe = Spec()
        with_origin = _imp.create_dynamic(probe)
        without = _imp.create_dynamic(Spec(missing_from=probe.reads))
        print(with_origin.__file__ == path, hasattr(without, "__file__"),
              hasattr(with_origin, "__path__"), without.__package__)
    """)
    assert result.stdout.split() == ["True", "False", "False", "quillbank.aztec"], result.stderr


def test_package_import_has_a_path():
    result = run("""
        import quillbank.aztec.encoder as m
        print(type(m.__path__).__name__, m.__spec__.name)
    """)
    assert result.stdout.split() == ["list", "quillbank.aztec.encoder"], result.stderr


def test_a_second_interpreter_cannot_import_the_module():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("this Python offers no sub-interpreters to the tests")
    result = run("""
        import _testcapi
        import quillbank.aztec.encoder
        status = _testcapi.run_in_subinterp("import quillbank.aztec.encoder")
        print("status", status)
    """)
    assert "status -1" in result.stdout, result.stderr
    assert ("ImportError: Interpreter change detected - this module can only be loaded "
            "into one interpreter per process.") in result.stderr
