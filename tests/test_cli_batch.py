"""aztec --batch: one file per message of a file of lines, JSON Lines or
CSV, failures reported by line, and only complete files after Ctrl-C."""

import io
import os
import subprocess
import sys

import pytest

import quillbank.aztec as aztec
from quillbank.aztec.cli import main
from quillbank.aztec.writers import files
from test_symbol_cli import AWAY, PYTHON, Stream, call

LINES = ["first", "Grüße", "", "Привет", "x" * 4000]


def test_lines_are_written_one_file_each_and_failures_named_by_line(monkeypatch, tmp_path):
    source = tmp_path / "messages.txt"
    source.write_bytes("\n".join(LINES).encode() + b"\r\n" + b"caf\xe9\n")
    out = tmp_path / "out"
    out.mkdir()
    status, _, err = call(monkeypatch, "--batch", str(source), "-o", str(out / "{line}-{index}.svg"),
                          "--ec", "40", "--scale", "2")
    assert status == 1
    written = {"1-0.svg": "first", "2-1.svg": "Grüße", "4-3.svg": "Привет", "6-5.svg": b"caf\xe9"}
    assert sorted(p.name for p in out.iterdir()) == sorted(written)
    for name, message in written.items():
        assert (out / name).read_text() == aztec.make(message, ec_percent=40).svg(scale=2), name
    lines = err.splitlines()
    assert lines[0].startswith("aztec: 4 of 6 files written in ") and lines[0].endswith("; 2 failed:")
    assert lines[1].startswith("aztec:   line 3: there is nothing to encode")
    assert lines[2].startswith("aztec:   line 5: the message does not fit")
    assert len(lines) == 3  # no progress bar when standard error is not a terminal


def test_csv_and_json_lines_fill_names_from_their_fields(monkeypatch, tmp_path):
    (tmp_path / "t.csv").write_text('seat,text\n12A,"two\nlines"\n14C,plain\n../x,escape\n', encoding="utf-8")
    status, _, err = call(monkeypatch, "--batch", str(tmp_path / "t.csv"), "--column", "text",
                          "-o", str(tmp_path / "seat-{seat}.png"))
    assert status == 1 and "line 5: its 'seat' field '../x' cannot be part of a file name" in err
    assert (tmp_path / "seat-12A.png").read_bytes() == aztec.make("two\nlines").png()
    assert (tmp_path / "seat-14C.png").read_bytes() == aztec.make("plain").png()
    (tmp_path / "t.jsonl").write_text('"just text"\n{"message": "obj", "n": 7}\n[1, 2]\n{"message": \n',
                                      encoding="utf-8")
    status, _, err = call(monkeypatch, "--batch", str(tmp_path / "t.jsonl"), "--jsonl",
                          "-o", str(tmp_path / "j{index}.svg"))
    assert status == 1 and "line 3: not a string nor an object" in err and "line 4: not a line of JSON" in err
    assert (tmp_path / "j0.svg").read_text() == aztec.make("just text").svg()
    assert (tmp_path / "j1.svg").read_text() == aztec.make("obj").svg()


def test_standard_input_batch_all_written_exits_0(monkeypatch, tmp_path):
    status, out, err = call(monkeypatch, "--batch", "-", "-o", str(tmp_path / "{index}.pdf"),
                            stdin=b"a\nb\nc\n")
    assert (status, out) == (0, b"") and err.startswith("aztec: 3 of 3 files written")
    buffer = io.BytesIO()
    aztec.make("c").save(buffer, kind="pdf")
    assert (tmp_path / "2.pdf").read_bytes() == buffer.getvalue()


@pytest.mark.parametrize("content,arguments", [
    (b"a\nb\n", ["-o", "OUT/same.png"]),                      # every file the same name
    (b"a\n", ["-o", "OUT/{name}.png"]),                       # a field lines do not have
    (b"a\n", ["-o", "OUT/{}.png"]),                           # a field without a name
    (b"a\n", ["-o", "OUT/{index.png"]),                       # not a pattern
    (b"m\na\n", ["--column", "text", "-o", "OUT/{index}.png"]),  # no such column
    (b"text\na\n", ["--column", "text", "-o", "OUT/{seat}.png"]),  # a field the header lacks
    (b"", ["-o", "OUT/{index}.png"]),                         # no messages
    (b"a" * (1 << 20) + b"b", ["-o", "OUT/{index}.png"]),     # a line past the bound
    (b"a\n", ["-o", "OUT/{index}.png", "--scale", "0"]),      # options wrong for every file
    (b"a\n", ["-o", "OUT/{index}.png", "--ec", "200"]),
    (b"a\n", ["-o", "OUT/{index}.png", "--title", "for SVG only"]),
])
def test_batch_input_or_options_that_fail_every_message_stop_before_any_file(monkeypatch, tmp_path, content,
                                                                            arguments):
    source = tmp_path / "in.txt"
    source.write_bytes(content)
    out = tmp_path / "out"
    out.mkdir()
    arguments = [a.replace("OUT", str(out)) for a in arguments]
    status, _, err = call(monkeypatch, "--batch", str(source), *arguments)
    assert status == 2 and len(err.splitlines()) == 1 and err.startswith("aztec: error: "), err
    assert list(out.iterdir()) == []


def test_a_folder_missing_for_any_name_stops_the_batch_before_any_file(monkeypatch, tmp_path):
    (tmp_path / "A").mkdir()
    source = tmp_path / "seats.csv"
    source.write_text("seat,text\nA,first\nB,second\n")
    for arguments, folder in [(["-o", str(tmp_path / "none" / "{index}.png")], tmp_path / "none"),
                              (["--column", "text", "-o", str(tmp_path / "{seat}" / "{index}.png")], tmp_path / "B")]:
        status, _, err = call(monkeypatch, "--batch", str(source), *arguments)
        assert (status, err) == (2, f"aztec: error: {folder}: no such folder (folders are not created)\n")
    assert list((tmp_path / "A").iterdir()) == []


def test_a_folder_that_goes_away_during_the_batch_stops_it(monkeypatch, tmp_path):
    from quillbank.aztec import cli_batch

    source, out = tmp_path / "in.txt", tmp_path / "out"
    source.write_text("".join(f"m{i}\n" for i in range(300)))
    out.mkdir()
    real_save_many = cli_batch.save_many

    def save_then_move_the_folder(*arguments, **options):
        results = real_save_many(*arguments, **options)
        os.rename(out, tmp_path / "moved")
        return results

    monkeypatch.setattr(cli_batch, "save_many", save_then_move_the_folder)
    status, _, err = call(monkeypatch, "--batch", str(source), "-o", str(out / "{index}.svg"))
    lines = err.splitlines()
    assert status == 1 and lines[0].startswith(f"aztec: {cli_batch.CHUNK} of 300 files written")
    assert lines[0].endswith(f"; {300 - cli_batch.CHUNK} failed:")
    assert lines[1] == f"aztec:   line {cli_batch.CHUNK + 1}: not written: {out}: no such folder (folders are not created)"
    assert len(os.listdir(tmp_path / "moved")) == cli_batch.CHUNK


def test_a_folder_that_goes_away_stops_only_its_own_files(monkeypatch, tmp_path):
    from quillbank.aztec import cli_batch

    source = tmp_path / "in.csv"
    source.write_text("message,dir\n" + "".join(f"m{i},{'ab'[i % 2]}\n" for i in range(300)))
    for folder in "ab":
        (tmp_path / folder).mkdir()
    real_save_many = cli_batch.save_many

    def save_then_remove_a(*arguments, **options):
        results = real_save_many(*arguments, **options)
        if (tmp_path / "a").exists():
            os.rename(tmp_path / "a", tmp_path / "moved")
        return results

    monkeypatch.setattr(cli_batch, "save_many", save_then_remove_a)
    status, _, err = call(monkeypatch, "--batch", str(source), "--column", "message", "-o",
                          str(tmp_path / "{dir}" / "{index}.svg"))
    assert status == 1 and err.startswith(f"aztec: {cli_batch.CHUNK + 22} of 300 files written")
    assert len(os.listdir(tmp_path / "b")) == 150 and len(os.listdir(tmp_path / "moved")) == cli_batch.CHUNK // 2


def test_print_size_title_and_unit_reach_every_file(monkeypatch, tmp_path):
    pytest.importorskip("zxingcpp")
    from symbol_pictures import png_gray, read

    messages = ["first", "second"]
    status, _, _ = call(monkeypatch, "--batch", "-", "-o", str(tmp_path / "{index}.png"), "--module-size", "0.5mm",
                        "--dpi", "300", stdin=b"first\nsecond\n")
    assert status == 0
    for index, message in enumerate(messages):
        picture = (tmp_path / f"{index}.png").read_bytes()
        assert picture == aztec.make(message).png(module_size="0.5mm", dpi=300)
        assert read(png_gray(picture)) == (message.encode(), None)
    status, _, _ = call(monkeypatch, "--batch", "-", "-o", str(tmp_path / "{index}.svg"), "--title", "Seat",
                        "--unit", "mm", "--scale", "0.5", stdin=b"first\nsecond\n")
    assert status == 0
    assert (tmp_path / "1.svg").read_text() == aztec.make("second").svg(title="Seat", unit="mm", scale=0.5)


def test_a_missing_batch_file_is_named(monkeypatch, tmp_path):
    missing = str(tmp_path / "nowhere.txt")
    status, _, err = call(monkeypatch, "--batch", missing, "-o", str(tmp_path / "{index}.png"))
    assert status == 2 and err == f"aztec: error: {missing}: No such file or directory\n"


def test_progress_bar_on_a_terminal(monkeypatch, tmp_path):
    source = tmp_path / "in.txt"
    source.write_text("".join(f"m{i}\n" for i in range(600)))
    err = Stream(tty=True)
    monkeypatch.setattr(sys, "stdin", Stream())
    monkeypatch.setattr(sys, "stdout", Stream())
    monkeypatch.setattr(sys, "stderr", err)
    assert main(["--batch", str(source), "-o", str(tmp_path / "{index}.svg")]) == 0
    shown = err.value().decode()
    assert "\r[" in shown and "] 256/600" in shown and "] 600/600" in shown
    assert shown.splitlines()[-1].lstrip("\r ").startswith("aztec: 600 of 600 files written")


def test_ctrl_c_leaves_complete_files_only(monkeypatch, tmp_path):
    messages = [f"message {i}" for i in range(700)]
    source = tmp_path / "in.txt"
    source.write_text("\n".join(messages) + "\n")
    out = tmp_path / "out"
    out.mkdir()
    real_write_all, calls = files._write_all, []

    def interrupted(stream, data):
        calls.append(1)
        if len(calls) == 300:
            stream.write(data[:10])  # a temporary file half written, then Ctrl-C
            raise KeyboardInterrupt
        real_write_all(stream, data)

    monkeypatch.setattr(files, "_write_all", interrupted)
    status, _, err = call(monkeypatch, "--batch", str(source), "-o", str(out / "{index}.png"))
    # The input is read a chunk at a time: two chunks were read when it stopped.
    assert status == 130 and err.startswith("aztec: interrupted: at least 256 files written of the 512 messages read")
    names = os.listdir(out)
    assert 256 <= len(names) < 700 and all(name.endswith(".png") and not name.startswith(".") for name in names)
    for name in names:
        assert (out / name).read_bytes() == aztec.make(messages[int(name[:-4])]).png(), name


def test_batch_as_a_process_reads_back(tmp_path):
    pytest.importorskip("zxingcpp")
    from symbol_pictures import png_gray, read

    messages = [os.urandom(30).hex() for _ in range(5)]
    (tmp_path / "in.txt").write_text("\n".join(messages) + "\n")
    done = subprocess.run([*PYTHON, "-m", "quillbank.aztec", "--batch", str(tmp_path / "in.txt"),
                           "-o", str(tmp_path / "{line}.png")], capture_output=True, cwd=AWAY, timeout=60)
    assert done.returncode == 0 and done.stdout == b""
    for line, message in enumerate(messages, 1):
        assert read(png_gray((tmp_path / f"{line}.png").read_bytes())) == (message.encode(), None)


def test_gs1_batch_checks_each_line(monkeypatch, tmp_path):
    lines = b"(01)09501101530003(10)A1\n(01)09501101530004\n"
    status, _, err = call(monkeypatch, "--batch", "-", "--gs1", "-o", str(tmp_path / "{line}.svg"), stdin=lines)
    assert status == 1 and "line 2: GS1 AI (01)" in err
    assert (tmp_path / "1.svg").read_text() == aztec.make("(01)09501101530003(10)A1", gs1=True).svg()
    assert not (tmp_path / "2.svg").exists()


def test_a_byte_order_mark_is_not_data_in_any_kind_of_batch_file(monkeypatch, tmp_path):
    from symbol_pictures import png_gray, read

    bom = b"\xef\xbb\xbf"
    sources = {"t.txt": (bom + b"1A\r\nC2\r\n", []), "s.csv": (bom + b"seat,code\r\n1A,C1\r\n", ["--column", "seat"]),
               "j.jsonl": (bom + b'{"message": "1A"}\n', ["--jsonl"])}
    for name, (content, options) in sources.items():
        (tmp_path / name).write_bytes(content)
        field = "seat" if name.endswith(".csv") else "index"
        status, _, err = call(monkeypatch, "--batch", str(tmp_path / name), *options,
                              "-o", str(tmp_path / f"{name}-{{{field}}}.png"))
        assert status == 0, err
        first = tmp_path / (f"{name}-1A.png" if field == "seat" else f"{name}-0.png")
        assert read(png_gray(first.read_bytes())) == (b"1A", None), name


def test_a_json_line_nested_too_deep_fails_alone_and_the_batch_goes_on(monkeypatch, tmp_path):
    (tmp_path / "d.jsonl").write_text('"before"\n' + "[" * 1000 + '\n{"message": "after"}\n' + "{" * 100000 + "\n")
    status, _, err = call(monkeypatch, "--batch", str(tmp_path / "d.jsonl"), "--jsonl",
                          "-o", str(tmp_path / "{index}.svg"))
    assert status == 1 and "2 of 4 files written" in err
    assert "line 2: not a line of JSON" in err and "line 4: not a line of JSON" in err
    assert (tmp_path / "2.svg").read_text() == aztec.make("after").svg()


# --- Streaming: chunks as the input comes ------------------------------------------

def test_the_batch_reads_its_input_in_chunks_in_bounded_memory(monkeypatch, tmp_path):
    import gc

    from quillbank.aztec import cli_batch

    real_save_many, held = cli_batch.save_many, []

    def counted(*arguments, **options):
        gc.collect()  # what the batch holds, not garbage awaiting collection
        held.append(sum(isinstance(thing, cli_batch.Record) for thing in gc.get_objects()))
        return real_save_many(*arguments, **options)

    monkeypatch.setattr(cli_batch, "save_many", counted)
    # Empty lines fail alone: the records are all the batch holds.
    status, _, err = call(monkeypatch, "--batch", "-", "-o", str(tmp_path / "{index}.txt"), stdin=b"\n" * 2000)
    assert status == 1 and "0 of 2000 files written" in err and "... and" in err
    assert len(held) == -(-2000 // cli_batch.CHUNK) and max(held) <= 2 * cli_batch.CHUNK, held


def test_later_chunks_fail_a_repeated_name_or_a_wrong_kind_alone(monkeypatch, tmp_path):
    from quillbank.aztec import cli_batch

    rows = [f"s{i},svg" for i in range(cli_batch.CHUNK + 20)] + ["s3,svg", "s999,heic"]
    (tmp_path / "in.csv").write_text("seat,ext\n" + "\n".join(rows) + "\n")
    status, _, err = call(monkeypatch, "--batch", str(tmp_path / "in.csv"), "--column", "seat",
                          "-o", str(tmp_path / "{seat}.{ext}"))
    total = len(rows)
    assert status == 1 and err.startswith(f"aztec: {total - 2} of {total} files written")
    assert f"line {total}: not written: lines 5 and {total} would both be written to" in err
    assert f"line {total + 1}: cannot tell the picture kind" in err
    assert (tmp_path / "s3.svg").read_text() == aztec.make("s3").svg()


def batch_process(tmp_path, *arguments):
    return subprocess.Popen([*PYTHON, "-m", "quillbank.aztec", "--batch", "-", *arguments], cwd=AWAY,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def wait_for(condition, seconds=30):
    import time

    end = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < end, "timed out"
        time.sleep(0.02)


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals and pipes")
@pytest.mark.parametrize("signal_name", ["SIGTERM", "SIGHUP"])
def test_files_appear_while_input_comes_and_a_signal_ends_the_batch_as_ctrl_c(tmp_path, signal_name):
    import signal

    out = tmp_path / "out"
    out.mkdir()
    process = batch_process(tmp_path, "-o", str(out / "{index}.txt"))
    try:
        process.stdin.write(b"first\nsecond\n")
        process.stdin.flush()
        wait_for(lambda: sorted(os.listdir(out)) == ["0.txt", "1.txt"])  # the input is still open
        process.send_signal(getattr(signal, signal_name))
        _, err = process.communicate(timeout=30)
    finally:
        process.kill()
    assert process.returncode == 130 and b"interrupted: at least 2 files written of the 2 messages read" in err
    assert sorted(os.listdir(out)) == ["0.txt", "1.txt"]
    assert (out / "1.txt").read_text() == writers_txt("second")


def writers_txt(message):
    buffer = io.StringIO()
    aztec.make(message).save(buffer, kind="txt")
    return buffer.getvalue()


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX pipes")
def test_a_missing_folder_is_reported_before_the_input_ends(tmp_path):
    process = batch_process(tmp_path, "-o", str(tmp_path / "none" / "{index}.png"))
    try:
        process.stdin.write(b"first\n")
        process.stdin.flush()
        _, err = process.communicate(timeout=30)  # the input is never closed by the writer
    finally:
        process.kill()
    assert process.returncode == 2 and b"no such folder" in err
