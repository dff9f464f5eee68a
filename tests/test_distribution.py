"""The installed distribution: its metadata agrees with the package."""

import importlib.metadata

import quillbank.aztec as aztec


def test_installed_version_is_the_package_version():
    # pyproject.toml reads __version__ from the package's __init__.py; a
    # build that read it wrongly (or a hard-coded version coming back)
    # would give the wheel another version than the code reports.
    assert importlib.metadata.version("quillbank.aztec") == aztec.__version__
    assert aztec.__version__.count(".") == 2


def test_the_test_hooks_module_is_built_only_when_asked_for(tmp_path):
    # pip builds what CMake configures with its defaults: the test-only
    # module must not be among the targets unless QUILLBANK_AZTEC_TEST_HOOKS is on.
    import os
    import shutil
    import subprocess
    import sys

    import pytest

    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.fail("cmake is needed to configure the build")
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    targets = {}
    for hooks in ("OFF", "ON"):
        build = tmp_path / hooks
        configure = [cmake, "-S", repo, "-B", str(build), "-DQUILLBANK_AZTEC_PYTHON=ON",
                     f"-DPython_EXECUTABLE={sys.executable}"]
        if hooks == "ON":
            configure.append("-DQUILLBANK_AZTEC_TEST_HOOKS=ON")
        subprocess.run(configure, check=True, capture_output=True, timeout=300)
        listed = subprocess.run([cmake, "--build", str(build), "--target", "help"], check=True,
                                capture_output=True, text=True, timeout=300).stdout
        names = (line.split()[1] for line in listed.splitlines() if line.startswith("... "))
        targets[hooks] = {name for name in names if "/" not in name}  # targets, not their object files
    assert "_aztec" in targets["OFF"] and not {"_symbol", "_optimal"} & targets["OFF"]
    assert "_test_hooks" not in targets["OFF"]
    assert targets["ON"] - targets["OFF"] == {"_test_hooks"}
