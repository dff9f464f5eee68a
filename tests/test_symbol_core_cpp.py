"""Builds the C++ tests of the symbol writer's core with CMake and runs them."""

import os
import shutil
import subprocess

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_core_tests_pass(tmp_path):
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not installed: the C++ core tests cannot be built")
    build = tmp_path / "build"
    configure = subprocess.run(
        [cmake, "-S", REPO, "-B", str(build), "-DQUILLBANK_CORE_TESTS=ON", "-DQUILLBANK_WERROR=ON",
         "-DCMAKE_BUILD_TYPE=Debug"],
        capture_output=True, text=True, timeout=300)
    assert configure.returncode == 0, configure.stdout + configure.stderr
    compiled = subprocess.run([cmake, "--build", str(build), "--target", "symbol_tests", "-j", "2"],
                              capture_output=True, text=True, timeout=600)
    assert compiled.returncode == 0, compiled.stdout + compiled.stderr
    executable = build / "symbol_tests"
    ran = subprocess.run([str(executable)], capture_output=True, text=True, timeout=300)
    assert ran.returncode == 0, ran.stdout + ran.stderr
    last = ran.stdout.strip().splitlines()[-1]
    assert last.endswith(" passed, 0 failed") and int(last.split()[0]) > 0, ran.stdout
