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
