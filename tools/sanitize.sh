#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the test suite against that build with
# the active interpreter -- the venv's `python` (or PYTHON) -- and the test
# dependencies installed in it, so that the reader (zxing-cpp) and fuzzing
# (atheris) tests run under the sanitizers too.  The build goes into a
# folder of its own that is put first on PYTHONPATH; the interpreter's own
# installation of the package is neither used nor touched.  The interpreter
# is not instrumented: the sanitizer runtimes are preloaded.
#
#   tools/sanitize.sh                 # whole suite
#   tools/sanitize.sh tests/test_robustness_threads.py -x   # pytest arguments
#
# Needs: pip 22.1 or later in the interpreter (for --config-settings), the
# test dependencies (pip install ".[test]"; the build below adds the test
# hooks, QUILLBANK_AZTEC_TEST_HOOKS), a C++ compiler (CXX, default
# g++) with its ASan and UBSan runtimes, and cmake; each is checked first.
#
# Environment: PYTHON (default: the active interpreter, that is
# $VIRTUAL_ENV/bin/python or the first python on PATH), CXX,
# FAULT_INJECTION=1 puts the test-only fault injection hooks into the
# suite's build too (tests that check the module's plain contents then fail,
# by design), SKIP_FAULT_PASS=1 leaves out the fault pass below, KEEP=1 keeps
# the build folders (printed at the end), SANITIZE_DIR to use a fixed folder
# (its builds are reused: quicker repeated runs).
#
# Leaks: the suite runs with the leak checker off (the interpreter, pytest
# and the compilers that some tests start never free everything at exit).
# A second pass runs the leak tests with the interpreter's allocations routed
# through malloc (PYTHONMALLOC=malloc, so that LeakSanitizer sees every
# pointer the interpreter holds) and fails on any leak report whose stack
# passes through this project's code.  An error of either sanitizer ends
# the run with a non-zero status.
set -euo pipefail

fail() {
  echo "tools/sanitize.sh: $*" >&2
  exit 2
}

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# ---------------------------------------------------------------------------
# Requirements, checked before any work

if [[ -z "${PYTHON:-}" ]]; then
  if [[ -n "${VIRTUAL_ENV:-}" && -x "$VIRTUAL_ENV/bin/python" ]]; then
    PYTHON="$VIRTUAL_ENV/bin/python"
  else
    PYTHON="$(command -v python || command -v python3 || true)"
  fi
fi
[[ -n "$PYTHON" ]] || fail "no python on PATH; activate a venv or set PYTHON"
# The interpreter itself, not a shim or wrapper in front of it.
PYTHON="$("$PYTHON" -c 'import sys; print(sys.executable)')" || fail "cannot run $PYTHON"
echo "interpreter: $PYTHON"

pip_version="$("$PYTHON" -m pip --version 2>/dev/null | awk '{print $2}')" ||
  fail "$PYTHON has no pip (python -m ensurepip --upgrade installs it)"
"$PYTHON" - "$pip_version" <<'PY' ||
import sys
parts = [int(p) if p.isdigit() else 0 for p in sys.argv[1].split(".")[:2]]
sys.exit(0 if parts >= [22, 1] else 1)
PY
  fail "pip $pip_version in $PYTHON is too old: the build needs pip 22.1 or later for --config-settings
  (upgrade it with: $PYTHON -m pip install --upgrade pip)"

missing="$("$PYTHON" - <<'PY'
import importlib.util, platform
needed = ["pytest", "hypothesis", "numpy", "zxingcpp"]
if platform.system() == "Linux" and platform.machine() == "x86_64":
    needed.append("atheris")  # as in pyproject.toml's test extra
print(" ".join(n for n in needed if importlib.util.find_spec(n) is None))
PY
)"
[[ -z "$missing" ]] || fail "$PYTHON lacks the test dependencies $missing, so their tests would be skipped
  (install them with: $PYTHON -m pip install \"$REPO[test]\")"

CXX="${CXX:-g++}"
command -v "$CXX" >/dev/null || fail "no C++ compiler: $CXX is not on PATH (install g++ or set CXX)"
export CXX  # CMake builds with the compiler whose runtimes are preloaded
ASAN_LIB="$("$CXX" -print-file-name=libasan.so)"
UBSAN_LIB="$("$CXX" -print-file-name=libubsan.so)"
for lib in "$ASAN_LIB" "$UBSAN_LIB"; do
  [[ -f "$lib" ]] || fail "$CXX has no sanitizer runtime $lib (on Debian: apt-get install libasan8 libubsan1)"
done
cmake --version >/dev/null 2>&1 || fail "cmake is missing or does not run (python -m pip install cmake)"
# Build isolation would fetch scikit-build-core; the interpreter's own is used when it has one.
isolation=()
"$PYTHON" -c 'import scikit_build_core' 2>/dev/null && isolation=(--no-build-isolation)

if [[ -n "${SANITIZE_DIR:-}" ]]; then
  WORK="$SANITIZE_DIR"
  mkdir -p "$WORK"
else
  WORK="$(mktemp -d /tmp/quillbank-sanitize.XXXXXX)"
fi
cleanup() {
  if [[ -z "${KEEP:-}" && -z "${SANITIZE_DIR:-}" ]]; then rm -rf "$WORK"; else echo "kept $WORK"; fi
}
trap cleanup EXIT

probe="$WORK/probe"
echo 'int main() { return 0; }' >"$probe.cpp"
"$CXX" -fsanitize=address,undefined "$probe.cpp" -o "$probe" 2>"$probe.log" ||
  fail "$CXX cannot link with -fsanitize=address,undefined:
$(cat "$probe.log")"

# build FOLDER BUILD_DIR FAULT_HOOKS: the package, sanitized, in FOLDER.
build() {
  rm -rf "$1"
  "$PYTHON" -m pip install --quiet --no-deps --target "$1" ${isolation[@]+"${isolation[@]}"} \
    --config-settings=build-dir="$2" \
    --config-settings=cmake.build-type=Debug \
    --config-settings=cmake.define.QUILLBANK_SANITIZE=ON \
    --config-settings=cmake.define.QUILLBANK_FAULT_INJECTION="$3" \
    --config-settings=cmake.define.QUILLBANK_AZTEC_TEST_HOOKS=ON \
    "$REPO"
}

PRELOAD="$ASAN_LIB:$UBSAN_LIB"
UBSAN="print_stacktrace=1:halt_on_error=1:exitcode=87"
# run FOLDER [ENV...] -- ARGS: the interpreter with the build in FOLDER first
# on its path (PYTHONSAFEPATH: not the working directory) and the runtimes
# preloaded.
run() {
  local site="$1"
  shift
  local settings=()
  while [[ "$1" != "--" ]]; do settings+=("$1"); shift; done
  shift
  env LD_PRELOAD="$PRELOAD" PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}" PYTHONSAFEPATH=1 \
    UBSAN_OPTIONS="$UBSAN" "${settings[@]}" "$PYTHON" "$@"
}

FAULT_HOOKS=OFF
[[ -z "${FAULT_INJECTION:-}" ]] || FAULT_HOOKS=ON
start=$(date +%s)
build "$WORK/site" "$WORK/build" "$FAULT_HOOKS"
built=$(date +%s)
echo "sanitizer build: $((built - start)) s"

cd "$REPO"
loaded="$(run "$WORK/site" ASAN_OPTIONS=detect_leaks=0 -- -c \
  'import quillbank.aztec.encoder as m, quillbank.aztec._aztec as s; print(m.__file__, s.__file__)')"
for file in $loaded; do
  [[ "$file" == "$WORK/site/"* ]] || fail "the tests would import $file, not the sanitized build"
done

status=0
# Type checking, the documentation's examples and the distribution's
# metadata run no code of the extensions, and the clusters' tests run it in
# worker processes of their own (render_many is tested here directly):
# they are left to the plain run.
run "$WORK/site" ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:exitcode=86:strict_init_order=1" -- \
  -m pytest -p no:cacheprovider -rs --ignore=tests/test_symbol_typing.py --ignore=tests/test_docs.py \
  --ignore=tests/test_clusters.py \
  --ignore=tests/test_distribution.py "$@" || status=$?
suite=$(date +%s)
echo "sanitizer suite: $((suite - built)) s (exit status $status)"

rm -rf "$WORK/lsan" && mkdir -p "$WORK/lsan"
run "$WORK/site" PYTHONMALLOC=malloc \
  ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:exitcode=86:log_path=$WORK/lsan/report" -- \
  -m pytest -p no:cacheprovider -q tests/test_robustness_leaks.py tests/test_robustness_threads.py \
  >/dev/null || true
ours=$(cat "$WORK/lsan"/report* 2>/dev/null | awk '
  /^(Direct|Indirect) leak/ { if (block ~ /quillbank|\/core\//) n++; block = $0; next }
  { block = block "\n" $0 }
  END { if (block ~ /quillbank|\/core\//) n++; print n + 0 }')
errors=$(cat "$WORK/lsan"/report* 2>/dev/null | grep -c "ERROR: AddressSanitizer" || true)
echo "leak pass: $ours leak reports through quillbank code, $errors AddressSanitizer errors"
if [[ "$ours" != 0 || "$errors" != 0 ]]; then
  cat "$WORK/lsan"/report* >&2
  [[ $status != 0 ]] || status=88
fi
# Fault pass: a second sanitized build with the test-only fault injection
# hooks, and every fault site, kind and call number over a few messages;
# after each fault the encoder must reset and encode correctly, and neither
# sanitizer nor the leak checker may report anything.
if [[ -z "${SKIP_FAULT_PASS:-}" ]]; then
  build "$WORK/fault-site" "$WORK/fault-build" ON
  rm -rf "$WORK/fault-lsan" && mkdir -p "$WORK/fault-lsan"
  fault_status=0
  run "$WORK/fault-site" PYTHONMALLOC=malloc QUILLBANK_TESTS="$REPO/tests" \
    ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:exitcode=86:log_path=$WORK/fault-lsan/report" -- \
    - <<'PY' || fault_status=$?
import contextlib, io, itertools, os, sys
sys.path.insert(0, os.environ["QUILLBANK_TESTS"])
import quillbank.aztec.encoder as module
from quillbank.aztec.encoder import Encoder
from stream_decoder import decode_bits

sys.unraisablehook = lambda report: None
sites = ["newRoot", "replaceState", "removeState", "addData", "growChild", "output"]
kinds = ["bad_alloc", "python", "runtime_error", "out_of_range", "bad_cast", "other"]
messages = [b"Hello, World 0123 \x80\xff\r\n. x", b"a" * 50 + b"\x00" * 40 + b"!@#" * 10, "caf\u00e9 \u2603"]
calls = 0
for site, kind, nth in itertools.product(sites, kinds, range(1, 25)):
    for message, eci, as_bits in itertools.product(messages, (None, 26), (True, False)):
        module._injectFault(site, kind, nth)
        encoder = None
        try:
            with contextlib.redirect_stderr(io.StringIO()):
                encoder = Encoder()
                encoder.encode(message, eci=eci, asBits=as_bits)
                encoder.encode(message, eci=eci, asBits=as_bits)
        except Exception:
            pass
        module._injectFault(site, kind, 0)
        encoder = encoder or Encoder()
        encoder.reset()
        expected = message if isinstance(message, bytes) else message.encode("utf8")
        assert decode_bits(encoder.encode(message, eci=eci, asBits=True)) == (expected, eci)
        calls += 1
print(f"fault pass: {calls} faults injected, each followed by a correct encode")
PY
  fault_errors=$(cat "$WORK/fault-lsan"/report* 2>/dev/null | grep -c "ERROR: \|runtime error" || true)
  echo "fault pass: exit status $fault_status, $fault_errors sanitizer reports"
  if [[ "$fault_status" != 0 || "$fault_errors" != 0 ]]; then
    cat "$WORK/fault-lsan"/report* >&2 2>/dev/null || true
    [[ $status != 0 ]] || status=89
  fi
fi

end=$(date +%s)
echo "sanitizer run: $((end - start)) s in all (exit status $status)"
exit "$status"
