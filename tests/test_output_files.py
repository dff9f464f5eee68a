"""Files that belong together are written all or nothing, a file the user
could not write is never replaced, and any name open() takes save() takes:
sequences, write-protected and hard-linked files, owners, odd names, and
batches synced in groups."""

import errno
import io
import os
import pathlib
import shutil
import stat
import subprocess
import sys
import tempfile
import traceback

import pytest

import quillbank.aztec as aztec
from quillbank.aztec.cli import main
from quillbank.aztec.writers import files
from symbol_pictures import png_gray, read

POSIX = pytest.mark.skipif(not hasattr(os, "fork") or os.name != "posix", reason="POSIX owners and permissions")
OLD = b"the ticket that was here\n"


def run_cli(monkeypatch, *arguments, stdin=b""):
    """main() on the arguments with standard input; (status, standard error)."""
    err = io.StringIO()
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
    monkeypatch.setattr(sys, "stderr", err)
    return main(list(arguments)), err.getvalue()


def contents(folder):
    return {path.name: path.read_bytes() for path in sorted(pathlib.Path(folder).iterdir()) if path.is_file()}


def as_nobody(attempt, *arguments):
    """Runs ``attempt`` in a child process whose user is nobody when this
    one is root (root may write any file), else here; fails when it fails."""
    if os.geteuid() != 0:
        attempt(*arguments)
        return
    # What the package imports on demand is imported here, as root: nobody
    # may not read the folder this interpreter's standard library is in.
    from concurrent.futures import ThreadPoolExecutor  # noqa: F401

    child = os.fork()
    if child == 0:  # pragma: no cover - the child's status carries the result
        try:
            os.setgid(65534)
            os.setuid(65534)
            attempt(*arguments)
        except BaseException:
            traceback.print_exc()
            os._exit(1)
        os._exit(0)
    assert os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]) == 0


@pytest.fixture
def shared_folder():
    """A folder that root and nobody may both write (pytest's are root's alone)."""
    top = tempfile.mkdtemp()
    os.chmod(top, 0o777)
    yield pathlib.Path(top)
    shutil.rmtree(top)


# --- Groups of files --------------------------------------------------------------------

def block(path, how):
    """Makes ``path`` a file no write may replace: a folder of its name, or
    an immutable file (root, where the file system has them)."""
    if how == "folder":
        path.unlink()
        path.mkdir()
    elif os.geteuid() != 0 or shutil.which("chattr") is None or \
            subprocess.run(["chattr", "+i", str(path)], capture_output=True).returncode != 0:
        pytest.skip("no immutable files here")


@pytest.mark.parametrize("how", ["folder", "immutable"])
def test_a_failing_sequence_changes_none_of_the_files_of_the_last_one(monkeypatch, tmp_path, how):
    first, second = b"first sequence, " * 80, b"second sequence, " * 80
    target = str(tmp_path / "part.png")
    assert run_cli(monkeypatch, "--sequence", "3", "-o", target, stdin=first)[0] == 0
    before = contents(tmp_path)
    assert before["part-1.png"] == aztec.make_sequence(first, symbols=3)[0].png()
    assert read(png_gray(before["part-3.png"])) is not None
    block(tmp_path / "part-2.png", how)
    try:
        status, err = run_cli(monkeypatch, "--sequence", "3", "-o", target, stdin=second)
        assert status == 2 and "part-2.png" in err and len(err.splitlines()) == 1
        after = contents(tmp_path)
    finally:
        if how == "immutable":
            subprocess.run(["chattr", "-i", str(tmp_path / "part-2.png")])
    if how == "folder":
        del before["part-2.png"]  # a folder now, which contents() leaves out
    assert after == before


def test_a_rename_that_fails_puts_back_the_files_renamed_before_it(monkeypatch, tmp_path):
    (tmp_path / "a.png").write_bytes(OLD)
    os.chmod(tmp_path / "a.png", 0o640)
    real_replace = os.replace

    def failing_replace(source, target):
        if os.fspath(target).endswith("c.png"):
            raise OSError(errno.EIO, "the disk went away")
        real_replace(source, target)

    monkeypatch.setattr(os, "replace", failing_replace)
    documents = [(str(tmp_path / name), name.encode()) for name in ("a.png", "b.png", "c.png")]
    with pytest.raises(OSError) as caught:
        files.write_files(documents)
    assert caught.value.errno == errno.EIO and caught.value.filename == str(tmp_path / "c.png")
    assert contents(tmp_path) == {"a.png": OLD}  # b.png, new, is gone again; no temporary file is left
    assert stat.S_IMODE(os.stat(tmp_path / "a.png").st_mode) == 0o640
    monkeypatch.setattr(os, "replace", real_replace)
    files.write_files(documents)
    assert contents(tmp_path) == {"a.png": b"a.png", "b.png": b"b.png", "c.png": b"c.png"}


def test_save_sequence_writes_its_pattern_or_names_and_reads_back(tmp_path):
    symbols = aztec.make_sequence("Gate 42, seat 17A, " * 40, symbols=3, id="BP")
    names = aztec.save_sequence(symbols, str(tmp_path / "pass-{position}.svg"))
    assert names == [str(tmp_path / f"pass-{n}.svg") for n in (1, 2, 3)]
    assert [pathlib.Path(name).read_text() for name in names] == [symbol.svg() for symbol in symbols]
    listed = [tmp_path / "x.png", tmp_path / "y.png", tmp_path / "z.png"]
    aztec.save_sequence(symbols, listed, scale=3)
    assert read(png_gray(listed[0].read_bytes())) is not None
    with pytest.raises(aztec.InvalidOptionError, match="symbols 1 and 2 would both be written"):
        aztec.save_sequence(symbols[:2], str(tmp_path / "same-{position!s:.0}.png"))


# --- The user's files -------------------------------------------------------------------

@POSIX
def test_a_file_the_user_could_not_write_is_not_replaced(shared_folder):
    protected = shared_folder / "mine.png"  # nobody's own, without write permission
    others = shared_folder / "roots.png"  # root's, which nobody may not write
    for path in (protected, others):
        path.write_bytes(OLD)
        os.chmod(path, 0o444)
    if os.geteuid() == 0:
        os.chown(protected, 65534, 65534)

    def attempt():
        symbol = aztec.make("not over it")
        for path in (protected, others):
            with pytest.raises(PermissionError) as caught:
                symbol.save(path)
            assert caught.value.filename == str(path) and "write-protected" in str(caught.value)
        results = aztec.save_many(["x", "y"], [protected, shared_folder / "new.png"], errors="return")
        assert isinstance(results[0], PermissionError) and results[1] == shared_folder / "new.png"
        assert main(["x", "-o", str(others)]) == 2

    as_nobody(attempt)
    assert protected.read_bytes() == OLD and others.read_bytes() == OLD
    assert sorted(p.name for p in shared_folder.iterdir()) == ["mine.png", "new.png", "roots.png"]


@POSIX
def test_a_replaced_file_keeps_its_mode_owner_and_group(shared_folder):
    target = shared_folder / "label.svg"
    target.write_bytes(OLD)
    os.chmod(target, 0o664)
    if os.geteuid() == 0:
        os.chown(target, 65534, 65534)  # root keeps another user's file theirs
    before = os.stat(target)
    aztec.make("kept").save(target)
    after = os.stat(target)
    assert (after.st_uid, after.st_gid, stat.S_IMODE(after.st_mode)) == (before.st_uid, before.st_gid, 0o664)
    assert after.st_ino != before.st_ino and target.read_text() == aztec.make("kept").svg()


def test_a_file_with_several_hard_links_is_refused_and_both_names_kept(tmp_path):
    (tmp_path / "a.png").write_bytes(OLD)
    os.link(tmp_path / "a.png", tmp_path / "b.png")
    with pytest.raises(OSError) as caught:
        aztec.make("x").save(tmp_path / "a.png")
    assert caught.value.errno == errno.EMLINK and "2 hard links" in str(caught.value)
    assert contents(tmp_path) == {"a.png": OLD, "b.png": OLD}
    assert os.stat(tmp_path / "a.png").st_ino == os.stat(tmp_path / "b.png").st_ino


def test_any_name_open_takes_is_taken_and_a_trailing_separator_is_a_folder(tmp_path):
    longest = "a" * (os.pathconf(tmp_path, "PC_NAME_MAX") - 4) + ".png"
    aztec.make("long name").save(tmp_path / longest)
    assert read(png_gray((tmp_path / longest).read_bytes()))[0] == b"long name"
    for name in (str(tmp_path / "newfile") + os.sep, str(tmp_path / longest) + os.sep):
        with pytest.raises(IsADirectoryError) as caught:
            aztec.make("x").save(name, kind="svg")
        assert caught.value.filename == name
    assert os.listdir(tmp_path) == [longest]


# --- Batches ----------------------------------------------------------------------------

def test_save_many_refuses_a_pattern_that_gives_two_messages_one_name(tmp_path):
    with pytest.raises(aztec.InvalidOptionError, match=r"messages 1 and 10 would both be written to .*1\.svg"):
        aztec.save_many([f"m{i}" for i in range(12)], str(tmp_path / "{index!s:.1}.svg"))
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("durable", [True, False])
def test_batches_synced_in_groups_or_not_write_every_file_and_leave_no_temporary(monkeypatch, tmp_path, durable):
    import quillbank.aztec.batch as batch

    monkeypatch.setattr(batch, "_SYNC_GROUP", 7)
    messages = [f"seat {i}" for i in range(30)]
    (tmp_path / "3.png").write_bytes(OLD)
    os.link(tmp_path / "3.png", tmp_path / "link")  # refused: this one fails alone
    results = aztec.save_many(messages, str(tmp_path / "{index}.png"), errors="return", durable=durable)
    assert [i for i, result in enumerate(results) if isinstance(result, OSError)] == [3]
    assert sorted(os.listdir(tmp_path)) == sorted([f"{i}.png" for i in range(30)] + ["link"])
    assert (tmp_path / "3.png").read_bytes() == OLD
    assert read(png_gray((tmp_path / "29.png").read_bytes()))[0] == b"seat 29"


def test_the_command_line_writes_batches_without_syncing_when_asked(monkeypatch, tmp_path):
    source = tmp_path / "seats.txt"
    source.write_text("1A\n1B\n")
    (tmp_path / "out").mkdir()
    assert run_cli(monkeypatch, "--batch", str(source), "-o", str(tmp_path / "out" / "{line}.png"),
                   "--no-sync")[0] == 0
    assert read(png_gray((tmp_path / "out" / "2.png").read_bytes()))[0] == b"1B"
    status, err = run_cli(monkeypatch, "x", "-o", str(tmp_path / "x.png"), "--no-sync")
    assert status == 2 and "--no-sync does not apply without --batch" in err
