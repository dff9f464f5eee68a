"""Builds the C++ tests of the core libraries with CMake and runs each."""

import os
import shutil
import subprocess

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CPP_TESTS = [name for name in ("core_tests", "symbol_tests", "optimal_tests", "smallest_tests", "batch_tests",
                               "exhaustion_tests", "reader_tests")
             if os.path.exists(os.path.join(REPO, "tests", "cpp", name + ".cpp"))]


@pytest.fixture(scope="module")
def build_dir(tmp_path_factory):
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.fail("cmake is needed to build the C++ tests")
    build = tmp_path_factory.mktemp("cpp") / "build"
    configure = subprocess.run(
        [cmake, "-S", REPO, "-B", str(build), "-DQUILLBANK_CORE_TESTS=ON",
         "-DQUILLBANK_WERROR=ON", "-DCMAKE_BUILD_TYPE=Debug"],
        capture_output=True, text=True, timeout=300)
    assert configure.returncode == 0, configure.stdout + configure.stderr
    compiled = subprocess.run(
        [cmake, "--build", str(build), "-j", "2", "--target", *CPP_TESTS],
        capture_output=True, text=True, timeout=900)
    assert compiled.returncode == 0, compiled.stdout + compiled.stderr
    return build


@pytest.mark.parametrize("name", CPP_TESTS)
def test_cpp_tests_pass(build_dir, name):
    ran = subprocess.run([str(build_dir / name)], capture_output=True, text=True, timeout=300)
    assert ran.returncode == 0, ran.stdout + ran.stderr
    last = ran.stdout.strip().splitlines()[-1]
    assert last.endswith(" passed, 0 failed") and int(last.split()[0]) > 0, ran.stdout
