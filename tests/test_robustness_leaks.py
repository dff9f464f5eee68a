"""Many thousands of encode calls over every argument form and every failure
path: neither the interpreter's allocations, nor the C++ heap, nor the
process's resident memory may grow, and every call gives back the
references it took to its arguments.

The number of rounds can be raised for a longer soak with
QUILLBANK_LEAK_ROUNDS (the suite's default keeps the file to a few
seconds)."""

import array
import ctypes
import gc
import os
import sys
import tracemalloc

import pytest

from quillbank.aztec.encoder import Encoder
from stream_decoder import decode_bits

ROUNDS = int(os.environ.get("QUILLBANK_LEAK_ROUNDS", "400"))
WARM_UP_ROUNDS = 60

# ---------------------------------------------------------------------------
# Memory gauges


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _libc():
    try:
        return ctypes.CDLL(None)
    except OSError:  # pragma: no cover - not a glibc system
        return None


def under_address_sanitizer():
    libc = _libc()
    if libc is None:
        return False
    try:
        libc["__asan_init"]
    except AttributeError:
        return False
    return True


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                 "fsmblks", "uordblks", "fordblks", "keepcost")]


def heap_in_use():
    """Bytes the C allocator has handed out and not had back (glibc's
    mallinfo2: every C++ `new` of the encoder shows here), or None."""
    libc = _libc()
    try:
        mallinfo2 = libc["mallinfo2"]
    except (AttributeError, TypeError):
        return None
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


# ---------------------------------------------------------------------------
# Argument forms and failure paths


class TextWithOwnEncode(str):
    def encode(self, *args):
        return b"own " + str.encode(self, "utf8")


class TextEncodingToBytearray(str):
    def encode(self, *args):
        return bytearray(b"from a bytearray")


class TextWhoseEncodeRaises(str):
    def encode(self, *args):
        raise ValueError("no encoding today")


class TextWhoseEncodeReturnsInt(str):
    def encode(self, *args):
        return 5


class Printable:
    def __str__(self):
        return "printed Object 42"


class PrintsBadly:
    def __str__(self):
        raise KeyError("no text")


class PrintsNonText:
    def __str__(self):
        return 7


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


class TruthRaises:
    def __bool__(self):
        raise ZeroDivisionError("undecided")


class ResetRaises(Encoder):
    def reset(self):
        raise RuntimeError("reset refused")


class ResetNotCallable(Encoder):
    reset = None


class ResetDoesNothing(Encoder):
    def reset(self):
        return None


class ResetDoubled(Encoder):
    def reset(self):
        Encoder.reset(self)
        return Encoder.reset(self)


released = memoryview(b"gone")
released.release()

# (name, encoder factory or None for the shared one, args, kwargs, exception)
CASES = [
    ("bytes", None, (b"Hello, World 0123",), {}, None),
    ("bytes as bits", None, (b"Hello\r\n. , : x",), {"asBits": True}, None),
    ("bytearray", None, (bytearray(b"\x00\x80\xff binary"),), {}, None),
    ("text", None, ("caf\u00e9 \u2603 text",), {"asBits": True}, None),
    ("text with own encode", None, (TextWithOwnEncode("abc"),), {}, None),
    ("text encoding to a bytearray", None, (TextEncodingToBytearray("x"),), {"asBits": 1}, None),
    ("memoryview", None, (memoryview(b"view of bytes"),), {}, None),
    ("array of shorts", None, (array.array("H", [1, 2, 65535]),), {}, None),
    ("object through str", None, (Printable(),), {"asBits": Truth(True)}, None),
    ("large int through str", None, (10 ** 40,), {}, None),
    ("float through str", None, (2.5,), {}, None),
    ("eci", None, (b"with eci",), {"eci": 26, "asBits": True}, None),
    ("eci bool", None, (b"x",), {"eci": True}, None),
    ("eci of a million and more", None, (b"x",), {"eci": 2 ** 32 - 1}, None),
    ("eci that is not an int", None, (b"x",), {"eci": "26"}, None),
    ("keywords only", None, (), {"data": b"kw", "eci": None, "asBits": Truth(False)}, None),
    ("empty", None, (b"",), {"asBits": True}, None),
    ("long binary run", None, (bytes(range(256)) * 12,), {}, None),
    ("no arguments", None, (), {}, TypeError),
    ("too many arguments", None, (b"a", None, True, 4), {}, TypeError),
    ("unexpected keyword", None, (b"a",), {"colour": 1}, TypeError),
    ("data twice", None, (b"a",), {"data": b"b"}, TypeError),
    ("asBits twice", None, (b"a", None, True), {"asBits": True}, TypeError),
    ("encode raises", None, (TextWhoseEncodeRaises("a"),), {}, ValueError),
    ("encode returns an int", None, (TextWhoseEncodeReturnsInt("a"),), {}, TypeError),
    ("str raises", None, (PrintsBadly(),), {}, KeyError),
    ("str returns an int", None, (PrintsNonText(),), {}, TypeError),
    ("non-contiguous buffer", None, (memoryview(b"abcdef")[::2],), {}, TypeError),
    ("released buffer", None, (released,), {}, ValueError),
    ("negative eci", None, (b"a",), {"eci": -1}, OverflowError),
    ("eci of 2**32", None, (b"a",), {"eci": 2 ** 32}, OverflowError),
    ("huge eci", None, (b"a",), {"eci": 2 ** 100}, OverflowError),
    ("huge negative eci", None, (b"a",), {"eci": -(2 ** 100)}, OverflowError),
    ("asBits raises", None, (b"data fed first",), {"asBits": TruthRaises()}, ZeroDivisionError),
    ("asBits not a bool", None, (b"a",), {"asBits": Truth(3)}, TypeError),
    ("reset raises", ResetRaises, (b"reset fails",), {}, RuntimeError),
    ("reset not callable", ResetNotCallable, (b"reset is None",), {"asBits": True}, TypeError),
    ("reset does nothing", ResetDoesNothing, (b"kept states",), {}, None),
    ("reset twice", ResetDoubled, (b"twice",), {}, None),
]

SINGLETONS = (type(None), bool)


def tracked_arguments(args, kwargs):
    """The argument objects whose reference counts can be compared: not the
    singletons nor small cached ints, which everything shares."""
    objects = list(args) + list(kwargs.values())
    return [o for o in objects
            if not isinstance(o, SINGLETONS) and not (type(o) is int and -5 <= o <= 256)]


class Runner:
    """Runs the cases; encoders that a case leaves un-reset are put back
    with the base class's reset."""

    def __init__(self):
        self.shared = Encoder()
        self.owned = {name: factory() for name, factory, *_ in CASES if factory}
        self.calls = 0
        self.refcount_changes = []

    def run_case(self, name, factory, args, kwargs, error, check_refs):
        encoder = self.owned[name] if factory else self.shared
        watched = tracked_arguments(args, kwargs) if check_refs else []
        before = [sys.getrefcount(o) for o in watched]
        if error is None:
            result = encoder.encode(*args, **kwargs)
            assert isinstance(result, (bytes, list))
            del result
        else:
            try:
                encoder.encode(*args, **kwargs)
            except error:
                pass
            else:
                raise AssertionError(f"{name}: no {error.__name__}")
        after = [sys.getrefcount(o) for o in watched]
        if before != after:
            self.refcount_changes.append((name, before, after))
        Encoder.reset(encoder)
        self.calls += 1

    def round(self, check_refs=False):
        for case in CASES:
            self.run_case(*case, check_refs=check_refs)
        # An object built and thrown away with states still in its tree.
        leftover = ResetDoesNothing()
        leftover.encode(b"left in the tree \x80\x81")
        del leftover
        self.calls += 1


def test_every_case_behaves_as_documented_before_it_is_repeated():
    # The soak below only counts calls; here the successful forms are shown
    # to give the right streams, so that the loop repeats meaningful work.
    encoder = Encoder()
    for name, factory, args, kwargs, error in CASES:
        if error is not None or name in ("keywords only",):
            continue
        bits = (factory or Encoder)().encode(*args, **dict(kwargs, asBits=True))
        data = kwargs.get("data", args[0] if args else None)
        if isinstance(data, TextWithOwnEncode):
            expected = data.encode()
        elif isinstance(data, TextEncodingToBytearray):
            expected = bytes(data.encode())
        elif isinstance(data, str):
            expected = data.encode("utf8")
        elif isinstance(data, (bytes, bytearray)):
            expected = bytes(data)
        elif isinstance(data, (memoryview, array.array)):
            expected = bytes(memoryview(data).cast("B"))
        else:
            expected = str(data).encode("utf8")
        eci = kwargs.get("eci")
        expected_eci = int(eci) % 1000000 if isinstance(eci, int) else None
        assert decode_bits(bits) == (expected, expected_eci), name
    assert decode_bits(encoder.encode(data=b"kw", asBits=True)) == (b"kw", None)


def test_reference_counts_of_the_arguments_are_unchanged_by_each_call():
    runner = Runner()
    for _ in range(20):
        runner.round(check_refs=True)
    assert runner.refcount_changes == []


def test_no_growth_of_interpreter_allocations():
    runner = Runner()
    for _ in range(WARM_UP_ROUNDS):
        runner.round()
    gc.collect()
    tracemalloc.start()
    try:
        runner.round()
        gc.collect()
        start, _ = tracemalloc.get_traced_memory()
        for _ in range(ROUNDS):
            runner.round()
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    calls = ROUNDS * (len(CASES) + 1)
    growth = end - start
    print(f"\n{calls} calls under tracemalloc: traced memory grew by {growth} bytes")
    # A single object kept per call would be tens of kilobytes by now.
    assert growth < 16 * 1024, growth


def test_no_growth_of_the_heap_or_resident_memory():
    if under_address_sanitizer():
        pytest.skip("the sanitizer's quarantine holds freed memory; its leak checker covers this")
    runner = Runner()
    for _ in range(WARM_UP_ROUNDS):
        runner.round()
    gc.collect()
    heap_start, rss_start = heap_in_use(), resident_bytes()
    for _ in range(ROUNDS * 3):
        runner.round()
    gc.collect()
    heap_end, rss_end = heap_in_use(), resident_bytes()
    calls = ROUNDS * 3 * (len(CASES) + 1)
    print(f"\n{calls} calls: heap in use {heap_start} -> {heap_end}, "
          f"resident {rss_start >> 10} KiB -> {rss_end >> 10} KiB")
    if heap_start is not None:
        # Sixteen bytes lost per call would be ~750 KiB here.
        assert heap_end - heap_start < 128 * 1024, (heap_start, heap_end)
    assert rss_end - rss_start < 4 * 1024 * 1024, (rss_start, rss_end)
