"""Reading the traceback records that the encoder adds to its exceptions."""

MODULE_FILE = "quillbank\\aztec\\encoder\\__init__"
CONVERSION_FILE = "stringsource"
ENCODE = "quillbank.aztec.encoder.Encoder.encode"


def records(excinfo_or_exception):
    """(function name, file name, line) of every traceback entry, outermost
    first; the encoder's own records are the innermost ones."""
    exc = getattr(excinfo_or_exception, "value", excinfo_or_exception)
    tb = exc.__traceback__
    out = []
    while tb is not None:
        code = tb.tb_frame.f_code
        out.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return out


def last_records(excinfo, count):
    """The innermost `count` of the encoder's own records (the entries of
    Python code that raised inside a call of the encoder are left out)."""
    own = [r for r in records(excinfo) if r[1] in (MODULE_FILE, CONVERSION_FILE)]
    return own[-count:]
