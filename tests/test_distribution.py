"""The installed distribution: its metadata agrees with the package."""

import importlib.metadata

import quillbank.aztec as aztec


def test_installed_version_is_the_package_version():
    # pyproject.toml reads __version__ from the package's __init__.py; a
    # build that read it wrongly (or a hard-coded version coming back)
    # would give the wheel another version than the code reports.
    assert importlib.metadata.version("quillbank.aztec") == aztec.__version__
    assert aztec.__version__.count(".") == 2
