"""Builds the test-only variant of the encoder with fault injection and
runs Python code against it in a fresh interpreter."""

import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def build_fault_injection_module(directory):
    """Compile the encoder with QUILLBANK_FAULT_INJECTION into `directory`
    and lay it out as the package quillbank.aztec.encoder; returns the
    folder to put first on sys.path, or raises RuntimeError."""
    cmake = shutil.which("cmake")
    if not cmake:
        raise RuntimeError("cmake is not on PATH")
    build = os.path.join(directory, "build")
    configure = [
        cmake, "-S", REPO, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
        "-DQUILLBANK_PYTHON_MODULES=ON", "-DQUILLBANK_FAULT_INJECTION=ON",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    for command in (configure, [cmake, "--build", build, "--target", "encoder", "-j2"]):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"{' '.join(command)} failed:\n{done.stdout}\n{done.stderr}")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    built = os.path.join(build, "__init__" + suffix)
    root = os.path.join(directory, "site")
    package = os.path.join(root, "quillbank", "aztec", "encoder")
    os.makedirs(package)
    for folder in (os.path.join(root, "quillbank"), os.path.join(root, "quillbank", "aztec")):
        open(os.path.join(folder, "__init__.py"), "w").close()
    shutil.copy(built, os.path.join(package, "__init__" + suffix))
    return root


def run_against(root, code):
    env = dict(os.environ, PYTHONPATH=root)
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True, text=True, env=env, timeout=120, cwd=root,
    )
