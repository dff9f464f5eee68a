"""Fuzzing the command line's `main`: random argument lists from a grammar
of its real options, standard input replaced by random bytes, standard
output and error captured, `-o` into a scratch folder.

Properties: `main` returns 0, 1 or 2 and never raises (not even
SystemExit) nor prints a traceback; a failure is one line on standard
error and writes no file (a file that was there stays as it was); a
success prints or writes what was asked, and the stream or symbol reads
back to the message.

To follow a new option, add it to `OPTIONS` with the values worth trying,
and to `NOT_TOGETHER` where it does not apply with another.
"""

import io
import os
import sys

import stream_decoder
import targets

from quillbank.aztec.cli import main

#: Values of integer options: accepted ones stay small (no picture is
#: large), the large ones are beyond the documented limits.
SMALL = ("0", "1", "2", "3", "4", "23", "26", "32", "99", "255", "899", "999999")
WRONG = ("-1", "100", "256", "1000000", "2147483648", "99999999999999999999", "", "abc", "1e3", " 5", "4.0",
         "\u0663", "0x10")
OUTPUT_NAMES = ("pic.svg", "pic.png", "pic.SVG", "pic.pdf", "pic.txt", "pic.jpeg", "pic", "missing/pic.svg", "",
                ".")

#: The grammar: option -> its values (None: a flag without value).
OPTIONS = {
    "-o": OUTPUT_NAMES,
    "--output": OUTPUT_NAMES,
    "--eci": SMALL + WRONG,
    "--ec": SMALL + WRONG,
    "--compact": None,
    "--full": None,
    "--layers": SMALL + WRONG,
    "--scale": ("1", "2", "3", "8", "0", "-1", "70000", "2147483648", "x", "2.5"),
    "--border": ("0", "1", "2", "6", "-1", "1001", "2147483648", "99999999999999999999", "x"),
    "--invert": None,
    "--bits": None,
    "--hex": None,
    "--search-encoder": None,
    "--rune": SMALL + WRONG,
    "--version": None,
    "-h": None,
    "--help": None,
    "--bogus": None,
}


#: Options that do not apply to what is asked are errors: (these, those),
#: no option of the first group with one of the second.  "message" stands
#: for a message given as an argument.
PICTURE = ("--scale", "--border", "--invert", "-o", "--output")
MESSAGE = ("--eci", "--ec", "--compact", "--full", "--layers", "--search-encoder", "message")
NOT_TOGETHER = (
    (("--scale",), ("<no -o>",)),
    (PICTURE, ("--bits", "--hex")),
    (MESSAGE, ("--rune",)),
)


def given(argv, message):
    """The options the argument list gives, "message" and "<no -o>" included."""
    names = {a.split("=", 1)[0] for a in argv if a.startswith("-") and a != message}
    if message is not None:
        names.add("message")
    if not names & {"-o", "--output"}:
        names.add("<no -o>")
    return names


def arguments(c, folder):
    """(argument list, the message given as an argument or None)."""
    argv, message = [], None
    for _ in range(c.int(0, 5)):
        option = c.pick(tuple(OPTIONS))
        choices = OPTIONS[option]
        if choices is None:
            argv.append(option)
            continue
        value = c.pick(choices)
        if option in ("-o", "--output") and value not in ("", "."):
            value = os.path.join(folder, value)
        elif option in ("-o", "--output") and value == ".":
            value = folder
        if c.one_in(4) and option.startswith("--"):
            argv.append(f"{option}={value}")
        elif c.one_in(10):
            argv.append(option)  # its value left out
        else:
            argv += [option, value]
    if c.bool():
        # Arguments reach Python decoded with surrogateescape.
        message = os.fsdecode(c.bytes(200)) if c.bool() else c.text(200)
        if message.startswith("-"):
            argv += ["--", message]  # a message that looks like an option
        else:
            argv.insert(c.int(0, len(argv)), message)
    return argv, message


def streams(c):
    """(stdin, stdout, the input bytes)."""
    length = c.int(0, 15)
    if length == 0:  # longer than any symbol holds: refused, however it is read
        data = c.pick((b"\x00", b"A", b"\xff")) * c.pick((3500, 40_000))
    else:
        data = targets.values.payload_bytes(c, 400) if length > 3 else c.bytes(40)
    stdin = c.pick(("bytes", "bytes", "bytes", "none", "closed"))
    if stdin == "none":
        stdin_stream = None
    else:
        stdin_stream = io.TextIOWrapper(io.BytesIO(data), encoding="utf-8")
        if stdin == "closed":
            stdin_stream.close()
    kind = c.int(0, 5)
    if kind == 0:
        stdout = io.StringIO()
    else:
        stdout = io.TextIOWrapper(io.BytesIO(), encoding=c.pick(("utf-8", "utf-8", "ascii")), write_through=True)
        if kind == 1:
            stdout.close()
    return stdin_stream, stdout, data


def output_text(stdout):
    if stdout.closed:
        return None
    if isinstance(stdout, io.StringIO):
        return stdout.getvalue()
    stdout.flush()
    return stdout.buffer.getvalue().decode(stdout.encoding)


def fuzz_cli(c):
    folder = targets.scratch_folder()
    argv, message = arguments(c, folder)
    existing = os.path.join(folder, "pic.svg")
    if c.bool():
        with open(existing, "wb") as stream:
            stream.write(targets.SENTINEL)
    stdin, stdout, data = streams(c)
    stderr = io.StringIO()
    before = sorted(os.listdir(folder))
    saved = sys.stdin, sys.stdout, sys.stderr
    sys.stdin, sys.stdout, sys.stderr = stdin, stdout, stderr
    try:
        status = main(list(argv))
    except BaseException as error:  # the finding: main must not raise
        sys.stdin, sys.stdout, sys.stderr = saved
        raise AssertionError(f"main({argv!r}) raised {error!r}; stderr: {stderr.getvalue()!r}") from error
    finally:
        sys.stdin, sys.stdout, sys.stderr = saved
    errors = stderr.getvalue()
    assert "Traceback" not in errors, (argv, errors)
    assert status in (0, 1, 2) and type(status) is int, (argv, status)
    if status != 0:
        assert errors.startswith("aztec: ") and errors.count("\n") == 1 and errors.endswith("\n"), (argv, errors)
        assert sorted(os.listdir(folder)) == before, ("a failure left files", argv)
        if existing in before or os.path.basename(existing) in before:
            with open(existing, "rb") as stream:
                assert stream.read() == targets.SENTINEL, ("a failure changed the file", argv)
        return
    assert errors == "", (argv, errors)
    names = given(argv, message)
    for these, those in NOT_TOGETHER:
        assert not (names & set(these) and names & set(those)), ("options that do not apply", these, those, argv)
    check_success(argv, message, data, output_text(stdout), folder)


def last_value(argv, *names):
    """The value argparse keeps for an option: its last occurrence."""
    found = None
    for k, argument in enumerate(argv):
        for name in names:
            if argument == name and k + 1 < len(argv):
                found = argv[k + 1]
            elif argument.startswith(name + "="):
                found = argument[len(name) + 1:]
    return found


def check_success(argv, message, data, printed, folder):
    if any(a in ("-h", "--help", "--version") for a in argv):
        assert printed, argv
        return
    text = message if message is not None else None
    wanted = os.fsencode(text) if text is not None else data
    eci = last_value(argv, "--eci")
    eci = int(eci) if eci is not None else None
    if "--bits" in argv or "--hex" in argv:
        line = printed.rstrip("\n")
        if "--hex" in argv:
            raw = bytes.fromhex(line)
            bits = stream_decoder.unpack(raw, len(raw) * 8)
            assert any(decodes_to(bits[:len(bits) - drop], wanted, eci) and not any(bits[len(bits) - drop:])
                       for drop in range(8)), (argv, line)
        else:
            assert set(line) <= {"0", "1"}
            assert decodes_to([b == "1" for b in line], wanted, eci), (argv, line)
        return
    output = last_value(argv, "-o", "--output")
    rune = last_value(argv, "--rune") is not None
    if output is None:
        assert printed, argv
        if not rune and targets.READ is not None and targets.sampled():
            check_drawing(argv, printed, wanted, eci)
        return
    with open(output, "rb") as stream:
        document = stream.read()
    assert document, argv
    if not rune and targets.READ is not None and targets.sampled():
        check_picture(argv, output, document, wanted, eci)


def check_drawing(argv, printed, message, eci):
    """The drawing in the terminal reads back to the message."""
    from symbol_pictures import decode_half_blocks

    border = int(last_value(argv, "--border") or 2)
    drawing = printed.rstrip("\n")
    if "#" in drawing or not drawing.strip():  # no half blocks in this encoding: two characters a module
        rows = [[line[k:k + 2] == "##" for k in range(0, len(line), 2)] for line in drawing.split("\n")]
        rows = [row[border:len(row) - border] for row in rows[border:len(rows) - border]]
    else:
        rows = decode_half_blocks(drawing, border)
    size = len(rows[0])
    rows = rows[:size]
    if "--invert" in argv:
        rows = [[not m for m in row] for row in rows]
    modules = bytes(1 if m else 0 for row in rows for m in row)
    assert targets.READ(modules, size) == (message, eci), argv


def check_picture(argv, output, document, message, eci):
    """An SVG or PNG written with -o reads back to the message."""
    from symbol_pictures import png_gray, read, svg_gray

    kind = os.path.splitext(output)[1].lower()
    if kind == ".png":
        image = png_gray(document)
    elif kind == ".svg":
        image = svg_gray(document.decode("utf-8"))
    else:
        return
    assert read(image) == (message, eci), argv


def decodes_to(bits, message, eci):
    try:
        return stream_decoder.decode_bits(bits) == (message, eci)
    except stream_decoder.StreamError:
        return False


targets.TARGETS["main"] = fuzz_cli
