"""Fuzzing the command line's `main`: random argument lists from a grammar
of its real options, standard input replaced by random bytes, standard
output and error captured, `-o` and `--batch` files in a scratch folder.

Properties: `main` returns 0, 1, 2 or 130 as documented and never raises
(not even SystemExit) nor prints a traceback; a failure (2) is one line on
standard error, prints nothing and writes no file (a file that was there
stays as it was); a success prints or writes what was asked: the stream or
symbol reads back to the message, a sequence writes NAME-1, NAME-2, ...
whose parts join to the message, and a batch writes one file per good
record and lists each bad one in its summary, with status 1 when there is
one.

To follow a new option, add it to `OPTIONS` with the values worth trying,
and to `NOT_TOGETHER` where it does not apply with another.
"""

import io
import json
import os
import re
import sys

import gs1_target
import stream_decoder
import targets

from quillbank.aztec import charsets, gs1
from quillbank.aztec.cli import main

#: Values of integer options: accepted ones stay small (no picture is
#: large), the large ones are beyond the documented limits.
SMALL = ("0", "1", "2", "3", "4", "23", "26", "32", "99", "255", "899", "999999")
WRONG = ("-1", "100", "256", "1000000", "2147483648", "99999999999999999999", "", "abc", "1e3", " 5", "4.0",
         "\u0663", "0x10")
KINDS = ("svg", "svgz", "png", "pdf", "eps", "pbm", "pam", "ppm", "xbm", "xpm", "txt", "tex")
#: Output names (joined to the scratch folder but for "-" and ""); batch
#: name patterns among them.
PICTURE_NAMES = ("pic.svg", "pic.png", "pic.SVG", "pic.pdf", "pic.txt", "pic.eps", "pic.svgz", "pic.pbm",
                 "pic.xpm", "pic.heic", "pic", "missing/pic.svg", "", ".", "-", "-")
NAME_PATTERNS = ("b-{index}.svg", "b-{line}.png", "b-{index:03d}.txt", "b-{seat}.svg", "same.svg", "b-{}.svg",
                 "b-{index", "missing/{index}.svg", "b-{seat}-{line}.png", "b-{line}.svg", "b-{index}.png")
OUTPUT_NAMES = PICTURE_NAMES + NAME_PATTERNS
COLORS = ("black", "navy", "#000", "#000000", "#123456", "#12345678", "#abcd", "transparent", "white", "#12",
          "#gggggg", "notacolor", "")
#: --batch files, written into the scratch folder for the call.
BATCH_FILES = ("lines.txt", "lines.txt", "records.jsonl", "records.csv", "missing.txt", "-")
COLUMNS = ("message", "message", "code", "seat", "nope", "")

#: The grammar: option -> its values (None: a flag without value).
OPTIONS = {
    "-o": OUTPUT_NAMES,
    "--output": OUTPUT_NAMES,
    "--encoding": ("iso8859-5", "utf-8", "shift_jis", "cp1252", "latin-1", "utf-16-be", "iso8859-15", "cp437",
                   "ascii", "no-such-codec", "rot13", ""),
    "--eci": SMALL + WRONG,
    "--gs1": None,
    "--ec": SMALL + WRONG,
    "--compact": None,
    "--full": None,
    "--layers": SMALL + WRONG,
    "--reader-init": None,
    "--sequence": ("2", "3", "auto", "auto", "26", "1", "27", "0", "-2", "AUTO", "x", ""),
    "--id": ("T42", "A", "!~", "a b", "", "\u00e9", "x" * 40),
    "--search-encoder": None,
    "--format": KINDS + ("SVG", "heic", "", "svg "),
    "--scale": ("1", "2", "3", "8", "0.5", "0", "-1", "70000", "2147483648", "x", "2.5", "nan", "inf"),
    "--module-size": ("0.5mm", "1", "0.25in", "2pt", "1cm", "3px", "0", "-1mm", "1e6mm", "mm", "x", "nan", "inf"),
    "--unit": ("px", "pt", "mm", "cm", "in", "MM", "furlong", ""),
    "--dpi": ("72", "300", "600", "0", "-1", "1e9", "x", "2.5", "nan", "inf"),
    "--dark": COLORS,
    "--light": COLORS,
    "--title": ("Our ticket", "", "<&>\"'", "\u00e9\u20ac", "a\x00b", "\ufffe", "\x1b[31m"),
    "--border": ("0", "1", "2", "6", "-1", "1001", "2147483648", "99999999999999999999", "x"),
    "--invert": None,
    "--no-color": None,
    "--batch": BATCH_FILES,
    "--jsonl": None,
    "--column": COLUMNS,
    "--bits": None,
    "--hex": None,
    "--rune": SMALL + WRONG,
    "--version": None,
    "-h": None,
    "--help": None,
    "--bogus": None,
}

#: Options that do not apply to what is asked are errors: (these, those),
#: no option of the first group with one of the second.  "message" stands
#: for a message given as an argument; the names in <> for what the
#: argument list does not give, or gives as the last value of an option.
MESSAGE = ("--encoding", "--eci", "--ec", "--compact", "--full", "--layers", "--search-encoder", "--gs1",
           "--reader-init", "--sequence", "--id")
SYMBOL = ("--ec", "--compact", "--full", "--layers", "--reader-init", "--sequence", "--id")
PICTURE = ("--format", "--scale", "--dark", "--light", "--dpi", "--unit", "--module-size", "--title")
TERMINAL = ("--invert", "--no-color")
BATCH = ("--jsonl", "--column")
NOT_TOGETHER = (
    (MESSAGE + ("--bits", "--hex", "--batch", "message"), ("--rune",)),
    (SYMBOL + PICTURE + TERMINAL + BATCH + ("-o", "--output", "--border", "--batch"), ("--bits", "--hex")),
    (PICTURE, ("<no -o>",)),
    (TERMINAL, ("-o", "--output")),
    (("<-o ->",), ("<no --format>", "--sequence")),
    (("--id",), ("<no --sequence>",)),
    (BATCH, ("<no --batch>",)),
    (("--batch",), ("message", "<no -o>", "<-o ->", "--sequence")),
)


def given(argv, message):
    """The options the argument list gives, with "message" and the <...>
    names of NOT_TOGETHER."""
    names = {a.split("=", 1)[0] for a in argv if a.startswith("-") and a != message}
    if message is not None:
        names.add("message")
    if not names & {"-o", "--output"}:
        names.add("<no -o>")
    elif last_value(argv, "-o", "--output") == "-":
        names.add("<-o ->")
    names |= {f"<no {option}>" for option in ("--format", "--sequence", "--batch") if option not in names}
    return names


#: Starts that reach past the checks of the options: (option, values) pairs
#: that go together, the random options follow.
STARTS = (
    (),
    (("--batch", BATCH_FILES), ("-o", NAME_PATTERNS)),
    (("--batch", BATCH_FILES), ("--jsonl", None), ("-o", NAME_PATTERNS)),
    (("--batch", BATCH_FILES), ("--column", COLUMNS), ("-o", NAME_PATTERNS)),
    (("--sequence", OPTIONS["--sequence"]), ("-o", PICTURE_NAMES)),
    (("--sequence", OPTIONS["--sequence"]),),
    (("-o", ("-",)), ("--format", KINDS)),
    (("--gs1", None),),
)


def option_group(c, folder, option=None, choices=None):
    """(the arguments of one option, whether its value is left out); an
    option of a start always has its value."""
    start = option is not None
    if not start:
        option = c.pick(tuple(OPTIONS))
        choices = OPTIONS[option]
    if choices is None:
        return [option], False
    value = c.pick(choices)
    if option in ("-o", "--output", "--batch") and value not in ("", "-"):
        # "." is a folder: one inside the scratch folder, as a sequence
        # writes FOLDER-1, ... beside it.
        value = os.path.join(folder, "folder" if value == "." else value)
    if c.one_in(4) and option.startswith("--"):
        return [f"{option}={value}"], False
    if not start and c.one_in(10):
        return [option], True  # its value left out
    return [option, value], False


def message_argument(c, gs1_given):
    if gs1_given and c.bool():
        content, _ = gs1_target.content(c)
        if isinstance(content, str):
            return content
    # Arguments reach Python decoded with surrogateescape.
    return os.fsdecode(c.bytes(200)) if c.bool() else c.text(200)


def arguments(c, folder):
    """(argument list, the message given as an argument or None)."""
    start = c.pick(STARTS)
    groups = [option_group(c, folder, option, choices) for option, choices in start]
    groups += [option_group(c, folder) for _ in range(c.int(0, 4))]
    argv = [a for group, _ in groups for a in group]
    message = None
    # A batch takes no message: rarely one.
    if (c.int(0, 5) == 5) if start[:1] == (("--batch", BATCH_FILES),) else c.bool():
        message = message_argument(c, any(group[0] == "--gs1" for group, _ in groups))
        if message.startswith("-"):  # a message that looks like an option
            if groups and groups[-1][1]:
                argv.pop()  # not "--" as the value left out
            argv += ["--", message]
        else:
            # Not right after an option whose value is left out: it would be that value.
            places = [k for k in range(len(groups) + 1) if k == 0 or not groups[k - 1][1]]
            k = c.pick(places)
            argv.insert(sum(len(group) for group, _ in groups[:k]), message)
    return argv, message


# --- Batch files ------------------------------------------------------------------

SEATS = ("12A", "7", "12A", "..", "a/b", "", "\u00e9")


def batch_message(c, gs1_given):
    if gs1_given and c.bool():
        content, _ = gs1_target.content(c)
        if isinstance(content, str):
            return content
    if c.one_in(12):
        return "A" * c.pick((3000, 8000))  # too long for a symbol, or long
    # A line holds no line break of any kind, and a file no lone surrogate
    # (UTF-8 cannot hold one; the JSON Lines file has its own such record).
    text = "".join(ch for ch in c.text(30) if ch not in LINE_BREAKS and not "\ud800" <= ch <= "\udfff")
    return c.pick(("ABC", "Hello, World", "Gr\u00fc\u00dfe", "\u041f\u0440\u0438\u0432\u0435\u0442", "", "\u00e9",
                   "x\ty", text))


LINE_BREAKS = "\r\n\x85\u2028\u2029\x0b\x0c\x1c\x1d\x1e"


def batch_file(c, argv):
    """(the file's bytes, its records as (line, message or None, fields or
    None)): a record without message is one that must fail."""
    gs1_given = "--gs1" in argv
    count = c.int(0, 4)
    if "--jsonl" in argv:
        column = last_value(argv, "--column") or "message"
        lines, records = [], []
        for number in range(1, count + 1):
            message = batch_message(c, gs1_given)
            kind = c.int(0, 3)
            if kind == 0:
                lines.append(json.dumps(message))
                records.append((number, message, {}))
            elif kind == 1:
                key, seat = c.pick((column, column, "message", "code")), c.pick(SEATS)
                lines.append(json.dumps({key: message, "seat": seat}, ensure_ascii=c.bool()))
                fields = {key: message, "seat": seat}
                records.append((number, message if key == column else None, fields))
            else:
                lines.append(c.pick(("{", "5", "null", '{"message": 5}', "\"\\ud800\"")))
                records.append((number, None, None))
        return "".join(line + "\n" for line in lines).encode("utf-8", "surrogatepass"), records
    if "--column" in argv or any(a.startswith("--column=") for a in argv):
        import csv

        header = [c.pick(("message", "code")), "seat"]
        text, records = io.StringIO(), []
        writer = csv.writer(text, lineterminator="\n")
        writer.writerow(header)
        for number in range(2, count + 2):
            message, seat = batch_message(c, gs1_given), c.pick(SEATS)
            if "\n" in message or "\r" in message:
                message = "ABC"
            writer.writerow([message, seat])
            fields = dict(zip(header, (message, seat)))
            records.append((number, fields.get(last_value(argv, "--column")), fields))
        return text.getvalue().encode("utf-8"), records
    messages = [batch_message(c, gs1_given) if c.int(0, 5) else b"\xff\xfeA" for _ in range(count)]
    data = b"".join((m if isinstance(m, bytes) else m.encode("utf-8")) + c.pick((b"\n", b"\r\n")) for m in messages)
    return data, [(number, message, {}) for number, message in enumerate(messages, 1)]


# --- The call ----------------------------------------------------------------------

def streams(c, batch_input):
    """(stdin, stdout, the input bytes)."""
    length = c.int(0, 15)
    if batch_input is not None:
        data = batch_input
    elif length == 0:  # longer than any symbol holds: refused, however it is read
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


def output_bytes(stdout):
    """What was printed, as bytes (text as UTF-8), or None for a closed stream."""
    if stdout.closed:
        return None
    if isinstance(stdout, io.StringIO):
        return stdout.getvalue().encode("utf-8", "surrogateescape")
    stdout.flush()
    return stdout.buffer.getvalue()


def fuzz_cli(c):
    folder = targets.scratch_folder()
    argv, message = arguments(c, folder)
    os.mkdir(os.path.join(folder, "folder"))
    existing = os.path.join(folder, "pic.svg")
    if c.bool():
        with open(existing, "wb") as stream:
            stream.write(targets.SENTINEL)
    batch, records = last_value(argv, "--batch"), None
    batch_input = None
    if batch is not None:
        content, records = batch_file(c, argv)
        if batch == "-":
            batch_input = content
        elif os.path.dirname(batch) == folder and os.path.basename(batch) != "missing.txt":
            with open(batch, "wb") as stream:
                stream.write(content)
    stdin, stdout, data = streams(c, batch_input)
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
    printed = output_bytes(stdout)
    assert "Traceback" not in errors, (argv, errors)
    assert status in (0, 1, 2) and type(status) is int, (argv, status)
    if status == 2:
        assert errors.startswith("aztec: ") and errors.count("\n") == 1 and errors.endswith("\n"), (argv, errors)
        assert not printed, ("a failure printed", argv, printed)
        assert sorted(os.listdir(folder)) == before, ("a failure left files", argv)
        if os.path.basename(existing) in before:
            with open(existing, "rb") as stream:
                assert stream.read() == targets.SENTINEL, ("a failure changed the file", argv)
        return
    names = given(argv, message)
    # --help and --version answer before any other option is looked at.
    answered = names & {"-h", "--help", "--version"}
    for these, those in () if answered else NOT_TOGETHER:
        assert not (names & set(these) and names & set(those)), ("options that do not apply", these, those, argv)
    if answered:
        assert status == 0 and printed and errors == "", (argv, status, errors)
    elif batch is not None:
        check_batch(argv, records, status, errors, before, folder)
    else:
        assert status == 0 and errors == "", (argv, status, errors)
        check_success(argv, message, data, printed, before, folder)


def last_value(argv, *names):
    """The value argparse keeps for an option: its last occurrence."""
    found = None
    for k, argument in enumerate(argv):
        if argument == "--":
            break
        for name in names:
            if argument == name and k + 1 < len(argv):
                found = argv[k + 1]
            elif argument.startswith(name + "="):
                found = argument[len(name) + 1:]
    return found


# --- What a success must have done -------------------------------------------------

def expected_bytes(argv, message, gs1_given):
    """(bytes, eci) a symbol must read back to; GS1 data as its element
    string (the reader's GS separators are taken out before comparing)."""
    if gs1_given:
        return gs1.parse(message).element_string, None
    eci = last_value(argv, "--eci")
    return charsets.message_bytes(message, int(eci) if eci is not None else None, last_value(argv, "--encoding"))


def message_of(message, data):
    """The message main was given: the argument (its bytes where it is not
    text), or standard input."""
    if message is None:
        return data
    try:
        message.encode("utf-8")
    except UnicodeEncodeError:
        return os.fsencode(message)
    return message


def check_success(argv, message, data, printed, before, folder):
    gs1_given = "--gs1" in argv
    wanted = expected_bytes(argv, message_of(message, data), gs1_given)
    if "--bits" in argv or "--hex" in argv:
        line = printed.decode("ascii").rstrip("\n")
        if "--hex" in argv:
            raw = bytes.fromhex(line)
            bits = stream_decoder.unpack(raw, len(raw) * 8)
            assert any(decodes_to(bits[:len(bits) - drop], wanted, gs1_given) and not any(bits[len(bits) - drop:])
                       for drop in range(8)), (argv, line)
        else:
            assert set(line) <= {"0", "1"}
            assert decodes_to([b == "1" for b in line], wanted, gs1_given), (argv, line)
        return
    output = last_value(argv, "-o", "--output")
    rune = last_value(argv, "--rune") is not None
    sequence = last_value(argv, "--sequence")
    readable = not rune and targets.READ is not None and targets.sampled()
    if output is None:
        assert printed, argv
        drawings = printed.decode("utf-8", "surrogateescape").rstrip("\n").split("\n\n")
        if sequence is not None:
            assert len(drawings) == count_of(sequence, len(drawings)), (argv, len(drawings))
        elif readable:
            check_drawing(argv, drawings[0], wanted, gs1_given)
        return
    kind = (last_value(argv, "--format") or os.path.splitext(output)[1][1:]).lower()
    if output == "-":
        assert printed, argv
        if readable:
            check_picture(argv, kind, printed, wanted, gs1_given)
        return
    assert not printed, (argv, printed[:80])
    new = sorted(set(os.listdir(folder)) - set(before))
    if sequence is None:
        with open(output, "rb") as stream:
            document = stream.read()
        assert document, argv
        assert new in ([], [os.path.basename(output)]), (argv, new)  # only what was asked
        if readable:
            check_picture(argv, kind, document, wanted, gs1_given)
        return
    root, extension = os.path.splitext(output)
    parts = [f"{os.path.basename(root)}-{k}{extension}" for k in range(1, len(new) + 1)]
    assert new == sorted(parts) and len(new) == count_of(sequence, len(new)), (argv, new)
    if readable and kind in ("svg", "png") and not picture_colours(argv):
        check_sequence([os.path.join(os.path.dirname(output), part) for part in parts], argv, kind, wanted, gs1_given)


def count_of(sequence, found):
    """The number of symbols --sequence asks for (auto: what was found, at least 2)."""
    return max(found, 2) if sequence == "auto" else int(sequence)


def picture_colours(argv):
    return last_value(argv, "--dark") is not None or last_value(argv, "--light") is not None


def check_drawing(argv, drawing, wanted, gs1_given):
    """The drawing in the terminal reads back to the message."""
    from symbol_pictures import decode_half_blocks

    border = int(last_value(argv, "--border") or 2)
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
    assert same_data(targets.READ(modules, size), wanted, gs1_given), argv


def picture_image(kind, document):
    from symbol_pictures import png_gray, svg_gray

    if kind == "png":
        return png_gray(document)
    if kind == "svg":
        return svg_gray(document.decode("utf-8"))
    return None


def check_picture(argv, kind, document, wanted, gs1_given):
    """An SVG or PNG in black and white reads back to the message."""
    from symbol_pictures import read

    image = None if picture_colours(argv) else picture_image(kind, document)
    if image is not None:
        assert same_data(read(image), wanted, gs1_given), argv


def check_sequence(paths, argv, kind, wanted, gs1_given):
    """Each part reads back alone as a part of a sequence (the reader does
    not show the place nor the ID), and the parts' data joined is the
    message."""
    import zxingcpp

    joined = b""
    for path in paths:
        with open(path, "rb") as stream:
            image = picture_image(kind, stream.read())
        found = zxingcpp.read_barcodes(image, formats=zxingcpp.BarcodeFormat.Aztec)
        assert len(found) == 1 and found[0].symbology_identifier == ("]z7" if gs1_given else "]z6"), (argv, path)
        joined += found[0].bytes
    assert same_data((joined, wanted[1]), wanted, gs1_given), argv


def same_data(found, wanted, gs1_given):
    if found is None:
        return False
    if gs1_given:  # the reader shows FNC1 separators as GS
        return found[0].replace(b"\x1d", b"") == wanted[0]
    return found == wanted


def decodes_to(bits, wanted, gs1_given):
    try:
        if gs1_given:
            message, flags, _ = stream_decoder.decode_flagged(bits)
            return message == wanted[0] and flags and flags[0] == (0, None)
        return stream_decoder.decode_bits(bits) == wanted
    except stream_decoder.StreamError:
        return False


# --- What a batch must have done ----------------------------------------------------

SUMMARY = re.compile(r"aztec: (\d+) of (\d+) files written in [0-9.]+ s(; (\d+) failed:)?")


def file_name(pattern, index, line, fields):
    """The file a record is written to, or None where it cannot have one."""
    for field, value in fields.items():
        if f"{{{field}" in pattern and (not value or value in (".", "..") or "/" in value or "\0" in value):
            return None
    try:
        return pattern.format_map({**fields, "index": index, "line": line})
    except (KeyError, ValueError, IndexError, AttributeError):
        return None


def check_batch(argv, records, status, errors, before, folder):
    """One file per good record; every other record listed by its line, and
    status 1 when there is one."""
    lines = errors.rstrip("\n").split("\n")
    summary = SUMMARY.fullmatch(lines[0])
    assert summary and all(line.startswith("aztec:   line ") for line in lines[1:]), (argv, errors)
    written, total = int(summary.group(1)), int(summary.group(2))
    failed = {int(line.split()[2].rstrip(":")) for line in lines[1:]}
    assert total == len(records) and len(failed) == len(lines) - 1 == int(summary.group(4) or 0), (argv, errors)
    assert status == (1 if failed else 0) and written + len(failed) == total, (argv, status, errors)
    pattern = last_value(argv, "-o", "--output")
    gs1_given, good = "--gs1" in argv, set()
    for index, (line, message, fields) in enumerate(records):
        name = None if message is None else file_name(pattern, index, line, fields or {})
        if line in failed:
            continue
        assert name is not None, ("a record that cannot be written was", argv, line)
        assert os.path.isfile(name), ("reported written, but not there", argv, name)
        with open(name, "rb") as stream:
            document = stream.read()
        assert document and document != targets.SENTINEL, (argv, name)
        good.add(os.path.basename(name))
        kind = (last_value(argv, "--format") or os.path.splitext(name)[1][1:]).lower()
        if targets.READ is not None and targets.sampled():
            check_picture(argv, kind, document, expected_bytes(argv, message, gs1_given), gs1_given)
    new = set(os.listdir(folder)) - set(before)
    assert len(good) == written and new <= good, ("files no record asked for", argv, new, good)


targets.TARGETS["main"] = fuzz_cli
