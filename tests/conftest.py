"""Shared test set-up: the tests run against the installed package."""

import os
import sys

import pytest

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_DIR = os.path.dirname(TESTS_DIR)

# Helpers shared by several test files (the reference stream decoder, ...).
if TESTS_DIR not in sys.path:
    sys.path.insert(0, TESTS_DIR)


def pytest_sessionstart(session):
    import quillbank.aztec.encoder as encoder

    location = os.path.realpath(encoder.__file__)
    if location.startswith(os.path.realpath(REPO_DIR) + os.sep) and "site-packages" not in location:
        pytest.exit(
            f"quillbank.aztec.encoder was imported from the source tree ({location}); "
            "install the package and run the tests from the repository root with `pytest`",
            returncode=3,
        )
    try:
        import quillbank.aztec._test_hooks  # noqa: F401
    except ImportError:
        pytest.exit(
            "quillbank.aztec._test_hooks is missing: install with the test hooks: see README "
            "(pip install \".[test]\" -C cmake.define.QUILLBANK_AZTEC_TEST_HOOKS=ON)",
            returncode=3,
        )


# Every symbol a test reads with zxing-cpp is also read by aztec.read, which
# must agree with it: the message bytes, the ECI designators, GS1, reader
# initialisation and runes.  Pictures of exactly two grey levels only (whole
# modules, as this package draws them); anti-aliased renderings are left
# to zxing-cpp.
@pytest.fixture(autouse=True)
def _aztec_read_agrees_with_zxing(monkeypatch):
    try:
        import numpy
        import zxingcpp
    except ImportError:
        yield
        return
    original = zxingcpp.read_barcodes

    def read_barcodes(image, *args, **kwargs):
        found = original(image, *args, **kwargs)
        if isinstance(image, numpy.ndarray) and image.ndim == 2 and len(numpy.unique(image)) == 2:
            from reading_agreement import assert_agrees

            assert_agrees(original, image)
        return found

    monkeypatch.setattr(zxingcpp, "read_barcodes", read_barcodes)
    yield
