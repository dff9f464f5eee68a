#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and
# UndefinedBehaviorSanitizer into
# a temporary virtualenv and runs the whole test suite against that build.
# The interpreter is not instrumented: the sanitizer runtimes are preloaded.
#
#   tools/sanitize.sh                 # whole suite
#   tools/sanitize.sh tests/test_robustness_threads.py -x   # pytest arguments
#
# Environment: PYTHON (default python3), FAULT_INJECTION=1 puts the
# test-only fault injection hooks into the suite's build too (tests that
# check the module's plain contents then fail, by design), SKIP_FAULT_PASS=1
# leaves out the fault pass below, KEEP=1 keeps the venv and build dir
# (printed at the end), SANITIZE_DIR to use a fixed directory (reused when it
# already holds a build: quicker repeated runs).
#
# Leaks: the suite runs with the leak checker off (the interpreter, pytest
# and the compilers that some tests start never free everything at exit).
# A second pass runs the leak tests with the interpreter's allocations routed
# through malloc (PYTHONMALLOC=malloc, so that LeakSanitizer sees every
# pointer the interpreter holds) and fails on any leak report whose stack
# passes through this project's code.  An error of either sanitizer ends
# the run with a non-zero status.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-python3}"
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

FAULT_HOOKS=OFF
[[ -z "${FAULT_INJECTION:-}" ]] || FAULT_HOOKS=ON
start=$(date +%s)
if [[ ! -x "$WORK/venv/bin/python" ]]; then
  "$PYTHON" -m venv --system-site-packages "$WORK/venv"
fi
"$WORK/venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps --force-reinstall \
  -C build-dir="$WORK/build" \
  -C cmake.build-type=Debug \
  -C cmake.define.QUILLBANK_SANITIZE=ON \
  -C cmake.define.QUILLBANK_FAULT_INJECTION="$FAULT_HOOKS" \
  "$REPO"
built=$(date +%s)
echo "sanitizer build: $((built - start)) s"

CXX_BIN="${CXX:-g++}"
ASAN_LIB="$("$CXX_BIN" -print-file-name=libasan.so)"
UBSAN_LIB="$("$CXX_BIN" -print-file-name=libubsan.so)"
for lib in "$ASAN_LIB" "$UBSAN_LIB"; do
  [[ -f "$lib" ]] || { echo "no sanitizer runtime at $lib" >&2; exit 2; }
done

cd "$REPO"
PRELOAD="$ASAN_LIB:$UBSAN_LIB"
UBSAN="print_stacktrace=1:halt_on_error=1:exitcode=87"
status=0
env LD_PRELOAD="$PRELOAD" \
  ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:exitcode=86:strict_init_order=1" \
  UBSAN_OPTIONS="$UBSAN" \
  "$WORK/venv/bin/python" -P -m pytest -p no:cacheprovider "$@" || status=$?
suite=$(date +%s)
echo "sanitizer suite: $((suite - built)) s (exit status $status)"

rm -rf "$WORK/lsan" && mkdir -p "$WORK/lsan"
env LD_PRELOAD="$PRELOAD" PYTHONMALLOC=malloc \
  ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:exitcode=86:log_path=$WORK/lsan/report" \
  UBSAN_OPTIONS="$UBSAN" \
  "$WORK/venv/bin/python" -P -m pytest -p no:cacheprovider -q \
  tests/test_robustness_leaks.py tests/test_robustness_threads.py >/dev/null || true
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
  if [[ ! -x "$WORK/fault-venv/bin/python" ]]; then
    "$PYTHON" -m venv --system-site-packages "$WORK/fault-venv"
  fi
  "$WORK/fault-venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps --force-reinstall \
    -C build-dir="$WORK/fault-build" -C cmake.build-type=Debug \
    -C cmake.define.QUILLBANK_SANITIZE=ON -C cmake.define.QUILLBANK_FAULT_INJECTION=ON "$REPO"
  rm -rf "$WORK/fault-lsan" && mkdir -p "$WORK/fault-lsan"
  fault_status=0
  env LD_PRELOAD="$PRELOAD" PYTHONMALLOC=malloc QUILLBANK_TESTS="$REPO/tests" \
    ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:exitcode=86:log_path=$WORK/fault-lsan/report" \
    UBSAN_OPTIONS="$UBSAN" \
    "$WORK/fault-venv/bin/python" -P - <<'PY' || fault_status=$?
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
