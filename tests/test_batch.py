"""make_many() and save_many(): order, equality with make(), failures in
either mode, file naming, and that an interrupted batch leaves only complete
files."""

import io
import os
import pathlib
import random

import pytest

import quillbank.aztec as aztec
from quillbank.aztec import Segment, writers
from quillbank.aztec import batch
from quillbank.aztec.batch import BatchError
from quillbank.aztec.writers import files
from symbol_pictures import modules_gray, png_gray, read
from test_output_files import as_nobody

# More messages than one thread's share, in mixed kinds and lengths, so that
# every thread gets work and the results must be put back in order.
_RNG = random.Random(14)
MESSAGES = ([f"ticket {i:04d}" for i in range(40)]
            + [bytes(_RNG.randrange(256) for _ in range(_RNG.randrange(1, 300))) for _ in range(40)]
            + ["Grüße " * (i % 7 + 1) for i in range(20)])
TOO_LONG = b"x" * 4000  # more than the largest symbol holds


@pytest.mark.parametrize("threads", [1, 2, 4])
@pytest.mark.parametrize("options", [{}, {"ec_percent": 50, "optimal": False}, {"eci": 26, "compact": False}])
def test_symbols_come_back_in_order_and_equal_to_make(threads, options):
    symbols = aztec.make_many(MESSAGES, threads=threads, **options)
    assert symbols == [aztec.make(m, **options) for m in MESSAGES]
    # Text above 0x7F is marked with ECI 3 unless an ECI is given.
    assert [s.eci for s in symbols] == [options.get("eci", 3 if isinstance(m, str) and not m.isascii() else None)
                                        for m in MESSAGES]


@pytest.mark.parametrize("kind", [str, bytes])
def test_a_batch_all_ascii_text_or_all_bytes_is_made_as_make_makes_each(kind):
    # The core takes such a list as it is, text as its bytes; a message too
    # long is refused in its place in make()'s words.
    texts = [f"M1DOE/JANE {i:04d} GATE {i % 40}" * (i % 4 + 1) for i in range(50)] + ["x" * 4000, "ok"]
    messages = [t if kind is str else t.encode("ascii") for t in texts]
    made = aztec.make_many(messages, threads=2, errors="return")
    assert made[:50] + made[51:] == [aztec.make(m) for m in messages[:50] + messages[51:]]
    assert [s._made_from for s in made[:3]] == messages[:3]
    with pytest.raises(aztec.DataOverflowError) as refused:
        aztec.make(messages[50])
    assert type(made[50]) is aztec.DataOverflowError and str(made[50]) == str(refused.value)


def test_messages_a_chunk_leaves_out_are_made_or_refused_as_make_does():
    # Among plain messages, made many to a crossing: text that needs ECI 26,
    # segments, a bytearray, an empty message, a lone surrogate and one too
    # long for the allowed symbols.  Each result is make()'s, error or symbol.
    messages = ["plain", "Привет", ["seg", b"ment"], bytearray(b"buffer"), b"", "x" * 200, "\ud800", b"ok"]
    results = aztec.make_many(messages, threads=2, errors="return", compact=True)
    for message, result in zip(messages, results):
        try:
            expected = aztec.make(message, compact=True)
        except Exception as error:
            assert type(result) is type(error) and str(result) == str(error)
        else:
            assert result == expected and result.eci == expected.eci


def test_symbols_of_a_generator_read_back_as_their_messages():
    symbols = aztec.make_many((m for m in MESSAGES), threads=2)
    for message, symbol in zip(MESSAGES, symbols):
        data = message.encode("latin-1") if isinstance(message, str) else message
        marked = 3 if isinstance(message, str) and not message.isascii() else None  # ECI 3 above 0x7F
        assert read(modules_gray(symbol.modules, symbol.size)) == (data, marked)


def _gs1_message(rng):
    lot = "".join(rng.choice("ABCDEFGH0123456789") for _ in range(rng.randrange(1, 20)))
    return f"(01)09501101530003(10){lot}(17)2{rng.randrange(10)}0101"


@pytest.mark.parametrize("threads", [1, 2])
def test_gs1_segment_and_search_encoder_batches_read_back_with_failures_in_place(threads):
    # Messages the package prepares (GS1 checks, segments joined with their
    # ECI changes, the search encoder's stream) made on the core's threads:
    # each symbol is make()'s and reads back as its data, and each failure is
    # make()'s own error, worded alike, in its place among good ones.
    zxingcpp = pytest.importorskip("zxingcpp")
    rng = random.Random(19 + threads)

    def reads(symbol):
        found = zxingcpp.read_barcodes(modules_gray(symbol.modules, symbol.size),
                                       formats=zxingcpp.BarcodeFormat.Aztec)
        return found[0].text

    gs1 = [_gs1_message(rng) for _ in range(60)]
    gs1[7] = "(01)09501101530004"  # a wrong check digit
    gs1[40] = "(10)" + "A" * 21  # a value longer than its AI takes
    segments = [["Grüße ", Segment("Привет %d" % i, encoding="utf-8"), b" %d" % i] for i in range(60)]
    segments[11] = ["x" * 4000, Segment("Привет", encoding="utf-8")]  # too long
    searched = [f"SEARCH {rng.randrange(10 ** 9)} encoder" for _ in range(60)]
    searched[23] = "x" * 4000
    for messages, options in ((gs1, {"gs1": True}), (segments, {"ec_percent": 40}),
                              (searched, {"optimal": False, "compact": False})):
        results = aztec.make_many(messages, threads=threads, errors="return", **options)
        for message, result in zip(messages, results):
            try:
                expected = aztec.make(message, **options)
            except aztec.AztecError as error:
                assert type(result) is type(error) and str(result) == str(error)
                continue
            assert result == expected and result.eci == expected.eci
            assert reads(result) == (message if isinstance(message, str) else
                                     "".join(p.data if isinstance(p, Segment) else
                                             p.decode() if isinstance(p, bytes) else p for p in message))
        assert sum(isinstance(result, Exception) for result in results) == (2 if messages is gs1 else 1)


def test_batches_of_every_kind_start_no_python_thread(monkeypatch):
    # The core's threads make every batch: a batch that needs Python's work
    # on each message, and its pictures, are made without a Python thread.
    import threading

    def no_thread(self):
        raise AssertionError("a Python thread was started")

    monkeypatch.setattr(threading.Thread, "start", no_thread)
    messages = [["seg", Segment("мент", encoding="utf-8")]] * 100
    assert aztec.make_many(messages, threads=2, verify=True) == [aztec.make(messages[0])] * 100
    assert aztec.render_many(["Grüße"] * 100, "svg", threads=2) == [aztec.make("Grüße").svg().encode()] * 100


@pytest.mark.parametrize("threads", [1, 2])
def test_return_mode_keeps_the_errors_in_place_and_the_other_symbols(threads):
    messages = list(MESSAGES)
    messages[7], messages[70] = TOO_LONG, 12345
    results = aztec.make_many(messages, threads=threads, errors="return")
    assert isinstance(results[7], aztec.DataOverflowError)
    assert isinstance(results[70], TypeError)
    good = [i for i in range(len(messages)) if i not in (7, 70)]
    assert [results[i] for i in good] == [aztec.make(messages[i]) for i in good]


def test_raise_mode_names_the_first_failing_index_and_keeps_every_result():
    messages = list(MESSAGES)
    messages[45] = messages[90] = TOO_LONG
    with pytest.raises(BatchError, match=r"message 45 failed \(and 1 more\): DataOverflowError") as caught:
        aztec.make_many(messages, threads=2)
    error = caught.value
    assert (error.index, error.indices) == (45, [45, 90])
    assert isinstance(error.__cause__, aztec.DataOverflowError) and error.__cause__ is error.results[45]
    assert error.results[44] == aztec.make(messages[44]) and error.results[91] == aztec.make(messages[91])


def test_a_batch_of_several_core_calls_keeps_order_and_failures_in_place():
    # More messages than one call into the core takes, made on the core's
    # own threads, with failures in both calls and at the edges.
    from quillbank.aztec.batch import _SLICE

    messages = [f"label {i}" for i in range(_SLICE + 77)]
    bad = [0, 5, _SLICE - 1, _SLICE, len(messages) - 1]
    for index in bad:
        messages[index] = TOO_LONG
    results = aztec.make_many(messages, threads=3, errors="return")
    assert [i for i, result in enumerate(results) if isinstance(result, aztec.DataOverflowError)] == bad
    assert all(results[i] == aztec.make(messages[i]) for i in range(len(messages)) if i not in bad)


def test_batches_at_once_on_several_threads_and_in_a_forked_child_are_made_alike():
    # The core keeps its helper threads between calls: a second caller
    # meanwhile makes its own, and a forked child, which has none of the
    # parent's threads, keeps a pool of its own.
    import threading

    expected = [aztec.make(m) for m in MESSAGES]
    aztec.make_many(MESSAGES, threads=2)  # the pool exists before the fork
    outcomes = []
    callers = [threading.Thread(target=lambda: outcomes.append(aztec.make_many(MESSAGES * 3, threads=2)))
               for _ in range(3)]
    for caller in callers:
        caller.start()
    for caller in callers:
        caller.join()
    assert outcomes == [expected * 3] * 3
    if not hasattr(os, "fork"):
        return
    child = os.fork()
    if child == 0:  # pragma: no cover - the child's status carries the result
        os._exit(0 if aztec.make_many(MESSAGES, threads=2) == expected else 1)
    deadline = 60
    import time

    while deadline > 0:
        done, status = os.waitpid(child, os.WNOHANG)
        if done:
            break
        time.sleep(0.1)
        deadline -= 0.1
    else:
        os.kill(child, 9)
        os.waitpid(child, 0)
        pytest.fail("make_many in a forked child did not finish")
    assert os.waitstatus_to_exitcode(status) == 0


@pytest.mark.parametrize("made", ["symbols", "pictures"])
def test_a_batch_that_runs_out_of_memory_raises_and_leaves_nothing_behind(made):
    # Python's allocations fail from the n-th on, for n across the results
    # of several blocks, while the core's helpers still make the next ones;
    # as symbols, each is made with what it was made from and fails part
    # way; as pictures (render_many's), each PNG file becomes bytes as it
    # is stored.
    testcapi = pytest.importorskip("_testcapi")
    from quillbank.aztec import _aztec

    messages = [f"label {i}".encode() for i in range(300)]
    ecis = [None, 26] * (len(messages) // 2)
    calls = {"symbols": lambda: _aztec.make_list(messages, ecis, threads=2),
             "pictures": lambda: _aztec.render_list(messages, ecis, threads=2, scale=4, border=2, max_side=65535)}
    outcomes = set()
    for first_failure in range(0, 3000, 41):
        testcapi.set_nomemory(first_failure, 0)
        try:
            calls[made]()
            outcome = "made"
        except MemoryError:
            outcome = "refused"
        finally:
            testcapi.remove_mem_hooks()
        outcomes.add(outcome)
    assert outcomes == {"made", "refused"}
    assert aztec.make_many(messages, threads=2) == [aztec.make(m) for m in messages]
    assert aztec.render_many(messages, threads=2) == [aztec.make(m).png() for m in messages]


def test_batches_from_two_threads_at_once_come_out_whole_and_in_order():
    # The core's kept helpers serve one batch at a time: a second batch
    # started meanwhile finds them busy and uses others.
    import threading

    from quillbank.aztec import _aztec

    messages = [f"label {i}".encode() for i in range(700)]  # more than the core's ring of results
    ecis = [None] * len(messages)
    expected = [aztec.make(m) for m in messages]
    results = [None, None]

    def batch(k):
        results[k] = [_aztec.make_list(messages, ecis, threads=2) for _ in range(3)]

    workers = [threading.Thread(target=batch, args=(k,)) for k in range(2)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert results == [[expected] * 3] * 2
    assert [symbol._made_from for symbol in results[0][0][:2]] == messages[:2]  # each verify()s


def test_ctrl_c_stops_a_batch_inside_the_core_and_the_next_batch_is_made():
    # The core checks for signals as it stores results, so Ctrl-C stops a
    # long batch part way (the handler sees symbols of only some messages
    # alive), its helpers ended; the next batch is made whole.
    import _thread
    import gc
    import signal
    import threading

    import sys

    from quillbank.aztec import _aztec
    from quillbank.aztec.symbol import AztecSymbol

    messages = [f"label {i}".encode() for i in range(200_000)]
    alive = []

    def handler(signum, frame):
        alive.append(sys.getrefcount(AztecSymbol) - before)
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, handler)
    # No collection meanwhile: a finaliser it ran (earlier tests' garbage)
    # would take the signal and lose the exception, as Python does.
    gc.collect()
    gc.disable()
    # Each symbol holds a reference to its class: the symbols alive, counted.
    before = sys.getrefcount(AztecSymbol)
    timer = threading.Timer(0.05, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            _aztec.make_list(messages, [None] * len(messages), threads=2)
        kept = sys.getrefcount(AztecSymbol) - before
    finally:
        timer.cancel()
        gc.enable()
        signal.signal(signal.SIGINT, previous)
    assert len(alive) == 1 and 0 < alive[0] < len(messages) and kept == 0
    assert aztec.make_many(messages[:300], threads=2) == [aztec.make(m) for m in messages[:300]]


@pytest.mark.parametrize("threads, error", [(0, ValueError), (257, ValueError), (True, TypeError), (2.0, TypeError)])
def test_the_core_refuses_a_thread_count_out_of_range(threads, error):
    from quillbank.aztec import _aztec

    with pytest.raises(error, match="threads"):
        _aztec.make_list([b"a"], [None], threads=threads)


def test_more_threads_than_the_pool_has_are_clamped_to_it(monkeypatch):
    expected = aztec.make(b"x")
    assert aztec.make_many([b"x"] * 10000, threads=300) == [expected] * 10000
    # threads=None on a host with more CPUs than the pool's limit.
    monkeypatch.setattr(os, "sched_getaffinity", lambda pid: set(range(300)), raising=False)
    monkeypatch.setattr(os, "cpu_count", lambda: 300)
    assert aztec.make_many([b"x"] * 9000) == [expected] * 9000


@pytest.mark.parametrize("call, error", [
    (lambda: aztec.make_many(["a"], ec_percent=200), aztec.InvalidOptionError),
    (lambda: aztec.make_many(["a"], scale=3), TypeError),
    (lambda: aztec.make_many(["a"], threads=0), aztec.InvalidOptionError),
    (lambda: aztec.make_many(["a"], threads=2.0), TypeError),
    (lambda: aztec.make_many(["a"], errors="ignore"), aztec.InvalidOptionError),
    (lambda: aztec.save_many(["a", "b"], "same.png"), aztec.InvalidOptionError),
    (lambda: aztec.save_many(["a", "b"], ["one.png"]), aztec.InvalidOptionError),
    (lambda: aztec.save_many(["a", "b"], ["x.png", "./x.png"]), aztec.InvalidOptionError),
    (lambda: aztec.save_many(["a"], b"out/{index}.png"), TypeError),
    (lambda: aztec.save_many(["a", "b"], "{index}.heic"), aztec.InvalidOptionError),
    (lambda: aztec.save_many(["a", "b"], "{index}.png", scale=0), aztec.InvalidOptionError),
    (lambda: aztec.save_many(["a", "b"], ["a.svg", "b.png"], title="for the SVG only"), TypeError),
    (lambda: aztec.save_many(["a", "b"], "{index}.png", colour="red"), TypeError),
])
def test_options_wrong_for_every_message_are_refused_before_any_work(call, error, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error):
        call()
    assert os.listdir(tmp_path) == []


def test_save_many_fills_the_index_field_and_writes_readable_files(tmp_path):
    names = aztec.save_many(MESSAGES[:3], str(tmp_path / "label-{index:03d}.png"), threads=2, scale=2)
    assert names == [str(tmp_path / f"label-{i:03d}.png") for i in range(3)]
    assert sorted(os.listdir(tmp_path)) == ["label-000.png", "label-001.png", "label-002.png"]
    with open(names[1], "rb") as f:
        assert read(png_gray(f.read())) == (MESSAGES[1].encode(), None)


def test_save_many_takes_the_callers_names_and_reports_failures_in_place(tmp_path):
    names = [tmp_path / "a.svg", tmp_path / "b.svg", tmp_path / "c.png"]
    results = aztec.save_many(["a", TOO_LONG, "c"], names, errors="return", eci=3)
    assert results[0] == names[0] and results[2] == names[2]
    assert isinstance(results[1], aztec.DataOverflowError)
    assert sorted(os.listdir(tmp_path)) == ["a.svg", "c.png"]
    with open(names[0]) as f:
        assert f.read() == aztec.make("a", eci=3).svg()


@pytest.mark.parametrize("name, options", [
    ("p.png", {"module_size": "0.5mm", "dpi": 300}),
    ("s.svg", {"title": "Seat 12A", "unit": "mm", "scale": 0.5, "omitsize": True, "dark": "navy"}),
    ("x.xbm", {"name": "label", "border": 0}),
    ("t.txt", {}),  # a writer that takes none of the colour and scale options
])
def test_save_many_takes_every_option_save_takes(tmp_path, name, options):
    messages = ["first", "Grüße"]
    names = [tmp_path / f"{i}{name}" for i in range(len(messages))]
    assert aztec.save_many(messages, names, ec_percent=40, **options) == names
    for message, path in zip(messages, names):
        expected = io.BytesIO()
        aztec.make(message, ec_percent=40).save(expected, kind=name[2:], **options)
        assert path.read_bytes() == expected.getvalue(), path
    if name.endswith(".png"):
        assert read(png_gray(names[1].read_bytes())) == ("Grüße".encode("latin-1"), 3)


@pytest.mark.parametrize("errors", ["raise", "return"])
def test_a_folder_missing_or_not_a_folder_refuses_the_whole_batch_naming_it(tmp_path, errors):
    (tmp_path / "out").mkdir()
    (tmp_path / "file").write_bytes(b"")
    (tmp_path / "loop").symlink_to(tmp_path / "loop")  # any other failure to look at it, named alike
    cases = [(str(tmp_path / "missing" / "{index}.png"), FileNotFoundError, tmp_path / "missing"),
             ([tmp_path / "out" / "a.png", tmp_path / "file" / "b.png"], NotADirectoryError, tmp_path / "file"),
             (str(tmp_path / "loop" / "{index}.png"), OSError, tmp_path / "loop")]
    for pattern, error, folder in cases:
        with pytest.raises(error) as caught:
            aztec.save_many(["a", "b"], pattern, errors=errors)
        assert caught.value.filename == str(folder)
    assert list((tmp_path / "out").iterdir()) == []


@pytest.mark.skipif(not hasattr(os, "fork") or os.name != "posix", reason="POSIX permissions")
def test_a_folder_that_cannot_be_written_refuses_the_batch_but_a_link_out_of_it_is_written():
    import tempfile

    def attempt(locked, elsewhere):
        with pytest.raises(PermissionError) as caught:
            aztec.save_many(["a", "b"], [locked / "link.png", locked / "new.png"], errors="return")
        assert caught.value.filename == str(locked)
        assert aztec.save_many(["a"], [locked / "link.png"]) == [locked / "link.png"]
        assert (elsewhere / "target.png").read_bytes() == aztec.make("a").png()

    # Root writes anywhere: a child that is nobody tries it, in a folder
    # that nobody can reach (pytest's own are root's alone).
    with tempfile.TemporaryDirectory() as top:
        locked, elsewhere = pathlib.Path(top, "locked"), pathlib.Path(top, "elsewhere")
        locked.mkdir()
        elsewhere.mkdir()
        (locked / "link.png").symlink_to(elsewhere / "target.png")
        os.chmod(top, 0o755)
        os.chmod(elsewhere, 0o777)
        os.chmod(locked, 0o555)
        as_nobody(attempt, locked, elsewhere)


@pytest.mark.parametrize("threads", [1, 2])
def test_an_interrupted_batch_leaves_only_complete_files(tmp_path, monkeypatch, threads):
    # Groups of 16: Ctrl-C while the fourth is made keeps the three synced
    # and renamed, and leaves nothing of the fourth, not even a temporary file.
    real_stage = files.stage
    calls = []

    def interrupted_stage(path, data):
        calls.append(path)
        if len(calls) == 50:
            raise KeyboardInterrupt
        return real_stage(path, data)

    monkeypatch.setattr(batch, "_SYNC_GROUP", 16)
    monkeypatch.setattr(files, "stage", interrupted_stage)
    with pytest.raises(KeyboardInterrupt):
        aztec.save_many(MESSAGES, str(tmp_path / "{index}.png"), threads=threads)
    assert sorted(os.listdir(tmp_path)) == sorted(f"{index}.png" for index in range(48))
    for index in range(48):
        with open(tmp_path / f"{index}.png", "rb") as f:
            assert f.read() == aztec.make(MESSAGES[index]).png()
