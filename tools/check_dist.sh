#!/usr/bin/env bash
# The distribution as a user gets it: `python -m build` makes the sdist and
# builds the wheel from it (so the sdist must hold everything the build
# needs), the sdist is checked for sources present and outputs absent, and
# the wheel with its test extra goes into a fresh venv without the system's
# site packages, where the suite runs against it from this work tree.
#
#   bash tools/check_dist.sh              # the whole suite, -x -q
#   bash tools/check_dist.sh -k charset   # pytest arguments replace the default
#
# Needs the `build` package in the interpreter that runs it ($PYTHON, else
# python3) and a package index for the build and test dependencies.  Too slow
# for CI: two builds and a fresh install of the test dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."
python_=${PYTHON:-python3}

fail() { echo "check_dist: $*" >&2; exit 1; }

"$python_" -c "import build" 2>/dev/null ||
    fail "$python_ has no 'build' package: $python_ -m pip install build"

work=$(mktemp -d "${TMPDIR:-/tmp}/check_dist.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "== python -m build (sdist, then the wheel from the sdist)"
"$python_" -m build --outdir "$work/dist" . > "$work/build.log" 2>&1 ||
    { tail -40 "$work/build.log"; fail "python -m build failed (log above)"; }
sdist=$(ls "$work"/dist/*.tar.gz)
wheel=$(ls "$work"/dist/*.whl)
echo "   $(basename "$sdist")"
echo "   $(basename "$wheel")"

echo "== the sdist's contents"
tar -tzf "$sdist" | sed 's|^[^/]*/||' | sort > "$work/sdist.txt"
for needed in pyproject.toml CMakeLists.txt LICENSE README.md CHANGELOG.md PKG-INFO \
              cmake/symbol.cmake core/optimal_encoder.cpp src/quillbank/aztec/__init__.py \
              src/quillbank/aztec/encoder/__init__.cpp tests/conftest.py; do
    grep -qx "$needed" "$work/sdist.txt" || fail "the sdist lacks $needed"
done
generated=$(grep -E '(^|/)(build|dist|__pycache__|\.ci)/|\.(so|pyd|o|pyc)$|\.egg-info' "$work/sdist.txt" || true)
[ -z "$generated" ] || fail "the sdist holds generated or private files: $generated"
echo "   $(wc -l < "$work/sdist.txt") files, sources present, nothing generated"

echo "== a fresh venv (no system site packages) with the wheel and its test extra"
"$python_" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --upgrade pip > /dev/null 2>&1 || true
"$work/venv/bin/python" -m pip install -q "$wheel[test]" ||
    fail "the wheel or its test extra did not install"
"$work/venv/bin/python" -c "
import importlib.metadata, quillbank.aztec as aztec
assert importlib.metadata.version('quillbank.aztec') == aztec.__version__
print('   installed', aztec.__version__, 'from', aztec.__file__)"

echo "== the suite against the installed wheel"
if [ $# -eq 0 ]; then set -- -x -q; fi
"$work/venv/bin/python" -m pytest "$@"
