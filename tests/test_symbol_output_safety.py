"""Writing pictures safely: no file lost or half written, devices written in
place and never removed, every byte reaching a stream, and one clear error
(InvalidOptionError or TypeError) for every bad option, before any work."""

import errno
import io
import os
import stat
import subprocess
import sys
import textwrap

import pytest

import quillbank.aztec as aztec
import quillbank.aztec.writers
from quillbank.aztec.writers import parse_color

SYMBOL = aztec.make("Files are never lost")
OLD = b"the ticket that was here\n" * 100


def test_a_write_over_the_size_limit_leaves_the_old_file(tmp_path):
    target = tmp_path / "ticket.ppm"  # about 2.5 MB, far over the limit
    target.write_bytes(OLD)
    script = textwrap.dedent(f"""
        import resource, signal
        import quillbank.aztec as aztec
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192))
        try:
            aztec.make("Files are never lost").save({str(target)!r}, scale=40)
        except OSError as error:
            print(error.errno, error.filename)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.stdout.split() == [str(errno.EFBIG), str(target)], result.stderr
    assert target.read_bytes() == OLD
    assert [p.name for p in tmp_path.iterdir()] == ["ticket.ppm"]  # the temporary file is gone


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full here")
def test_devices_are_written_in_place_and_never_removed():
    with pytest.raises(OSError) as failure:
        SYMBOL.save("/dev/full", kind="png")
    assert failure.value.errno == errno.ENOSPC and failure.value.filename == "/dev/full"
    assert "/dev/full" in str(failure.value)
    SYMBOL.save("/dev/null", kind="pdf")
    assert stat.S_ISCHR(os.stat("/dev/full").st_mode) and stat.S_ISCHR(os.stat("/dev/null").st_mode)


def test_fifo_symlink_and_mode_are_kept(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    SYMBOL.save(fifo, kind="svg")
    assert reader.communicate(timeout=30)[0] == SYMBOL.svg().encode() and stat.S_ISFIFO(os.stat(fifo).st_mode)

    real = tmp_path / "real.png"
    real.write_bytes(OLD)
    os.chmod(real, 0o640)
    (tmp_path / "link.png").symlink_to(real)
    SYMBOL.save(tmp_path / "link.png")
    assert (tmp_path / "link.png").is_symlink() and real.read_bytes() == SYMBOL.png()
    assert stat.S_IMODE(os.stat(real).st_mode) == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.png", "pipe", "real.png"]


class _Trickle(io.RawIOBase):
    """A raw non-blocking stream that takes at most 4,096 bytes a call, and
    after ``stall_after`` bytes would block (returns None)."""

    def __init__(self, stall_after=None):
        self.data, self.stall_after = bytearray(), stall_after

    def writable(self):
        return True

    def write(self, chunk):
        if self.stall_after is not None and len(self.data) >= self.stall_after:
            return None
        taken = bytes(chunk[:4096])
        self.data += taken
        return len(taken)


def test_short_writes_to_streams():
    stream = _Trickle()
    SYMBOL.save(stream, kind="ppm", scale=10)
    assert bytes(stream.data) == aztec.writers.ppm(SYMBOL.modules, SYMBOL.size, scale=10)  # 159,000 bytes
    stalled = _Trickle(stall_after=4096)
    with pytest.raises(BlockingIOError, match=r"took 4096 of \d+ bytes"):
        SYMBOL.save(stalled, kind="ppm", scale=10)
    class Response:  # a file-like object that reports no count, as some web frameworks' do
        def __init__(self):
            self.parts = []

        def write(self, data):
            self.parts.append(bytes(data))

    response = Response()
    SYMBOL.save(response, kind="png")
    assert response.parts == [SYMBOL.png()]
    text = io.StringIO()
    SYMBOL.save(text, kind="eps")
    assert text.getvalue() == aztec.writers.eps(SYMBOL.modules, SYMBOL.size)
    with pytest.raises(TypeError, match="binary"):
        SYMBOL.save(io.StringIO(), kind="png")


BAD_OPTIONS = [
    (dict(kind="svg", scale=float("inf")), aztec.InvalidOptionError),
    (dict(kind="svg", scale=1e308), aztec.InvalidOptionError),
    (dict(kind="svg", scale=float("nan")), aztec.InvalidOptionError),
    (dict(kind="svg", scale=0), aztec.InvalidOptionError),
    (dict(kind="svg", scale="2"), TypeError),
    (dict(kind="svg", border=2**31), aztec.InvalidOptionError),
    (dict(kind="svg", border=-1), aztec.InvalidOptionError),
    (dict(kind="svg", border=1.5), TypeError),
    (dict(kind="svg", unit="km"), aztec.InvalidOptionError),
    (dict(kind="svg", unit=3), TypeError),
    (dict(kind="svg", title=3), TypeError),
    (dict(kind="svgz", title="\ud800"), aztec.InvalidOptionError),
    (dict(kind="svg", omitsize="yes"), TypeError),
    (dict(kind="svg", frobnicate=1), TypeError),
    (dict(kind=5), TypeError),
    (dict(kind="heic"), aztec.InvalidOptionError),
    (dict(kind="png", scale=1.5), aztec.InvalidOptionError),
    (dict(kind="png", scale=2**40), aztec.InvalidOptionError),
    (dict(kind="png", scale=3000), aztec.InvalidOptionError),  # over 65,535 pixels a side
    (dict(kind="png", dpi=0), aztec.InvalidOptionError),
    (dict(kind="png", dpi=float("inf")), aztec.InvalidOptionError),
    (dict(kind="png", module_size="0.5mm"), aztec.InvalidOptionError),  # no dpi
    (dict(kind="png", module_size="5 furlongs", dpi=300), aztec.InvalidOptionError),
    (dict(kind="png", module_size=-1), aztec.InvalidOptionError),
    (dict(kind="png", module_size="1mm", dpi=300, scale=3), aztec.InvalidOptionError),
    (dict(kind="png", dark="#-00001"), aztec.InvalidOptionError),
    (dict(kind="png", dark=None), aztec.InvalidOptionError),
    (dict(kind="png", dark=[0, 0, 0]), TypeError),
    (dict(kind="png", dark=(0, 0, 256)), aztec.InvalidOptionError),
    (dict(kind="png", dark=(0, 0, True)), TypeError),
    (dict(kind="png", light=(0, 0, 0, 1.5)), aztec.InvalidOptionError),
    (dict(kind="pdf", scale=1000), aztec.InvalidOptionError),  # a page over 200 inches
    (dict(kind="eps", dark="#0008"), aztec.InvalidOptionError),
    (dict(kind="pbm", dark="red"), aztec.InvalidOptionError),
    (dict(kind="ppm", light=None), aztec.InvalidOptionError),
    (dict(kind="xbm", name="not an identifier"), aztec.InvalidOptionError),
    (dict(kind="txt", scale=2), TypeError),
]


@pytest.mark.parametrize("options,error", BAD_OPTIONS, ids=lambda o: repr(o)[:60] if isinstance(o, dict) else "")
def test_bad_options_are_refused_and_the_file_kept(tmp_path, options, error):
    target = tmp_path / "ticket"
    target.write_bytes(OLD)
    with pytest.raises(error) as refused:
        SYMBOL.save(target, **options)
    assert type(refused.value) in (error, aztec.InvalidOptionError)
    assert target.read_bytes() == OLD and [p.name for p in tmp_path.iterdir()] == ["ticket"]


def test_targets_and_kinds_are_named_clearly(tmp_path):
    with pytest.raises(TypeError, match="not bytes"):
        SYMBOL.save(b"x.svg", kind="svg")
    with pytest.raises(TypeError, match="stream"):
        SYMBOL.save(42, kind="svg")
    for call in (lambda: SYMBOL.save(tmp_path / "a.heic"), lambda: SYMBOL.save(io.BytesIO(), kind="heic")):
        with pytest.raises(aztec.InvalidOptionError, match="bmp, eps, gif, jpeg, pam, pbm, pdf, png, ppm, svg, svgz, tex, tiff, txt, webp, xbm, xpm, zpl"):
            call()
    with pytest.raises(OSError) as missing:
        SYMBOL.save(tmp_path / "missing" / "a.png")
    assert missing.value.filename == str(tmp_path / "missing" / "a.png")
    with pytest.raises(aztec.InvalidOptionError):
        SYMBOL.terminal(border=2**31)  # refused before 2**62 cells are drawn


@pytest.mark.parametrize("text", ["#-00001", "#0xffff", "#ff_fff", "#  ffff", "#+fffff", "#\uff11\uff12\uff13",
                                  "#\u0661\u0662\u0663", "#ff", "#fffffff", "ff0000", "#ff00 0", "reddish", ""])
def test_colours_are_parsed_strictly(text):
    with pytest.raises(aztec.InvalidOptionError):
        parse_color(text)


def test_colour_notations():
    from PIL import ImageColor

    for name in ImageColor.colormap:  # every CSS colour name
        assert parse_color(name) == ImageColor.getrgb(name) + (255,), name
    assert parse_color("#AbC") == (0xAA, 0xBB, 0xCC, 255) and parse_color("#abcd") == (0xAA, 0xBB, 0xCC, 0xDD)
    assert parse_color("#0a0b0c") == (10, 11, 12, 255) and parse_color("#0a0b0c0d") == (10, 11, 12, 13)
    assert parse_color((1, 2, 3)) == (1, 2, 3, 255) and parse_color((1, 2, 3, 0.5)) == (1, 2, 3, 128)
    assert parse_color(None) is None and parse_color(" Transparent ") is None
