"""Hostile scale: errors that cross processes, pictures too large to make,
and sequences and segment lists too long to fit, refused at once."""

import concurrent.futures
import copy
import io
import pickle

import pytest

import quillbank.aztec as aztec
from quillbank.aztec import errors, gs1
from quillbank.aztec.batch import BatchError


def raised(call, *args, **kwargs):
    with pytest.raises(Exception) as caught:
        call(*args, **kwargs)
    return caught.value


# --- Errors that cross a process boundary -----------------------------------

def public_errors():
    return [
        raised(aztec.make, "x" * 5000),                 # DataOverflowError with its figures
        raised(aztec.make, "x", ec_percent=200),        # InvalidOptionError
        raised(aztec.make, "", ),                       # AztecError
        raised(aztec.make, "(01)123", gs1=True),        # GS1Error
        raised(aztec.make_many, ["ok", ""]),            # BatchError with its results
    ]


@pytest.mark.parametrize("error", public_errors(), ids=lambda error: type(error).__name__)
@pytest.mark.parametrize("duplicate", [lambda e: pickle.loads(pickle.dumps(e)), copy.copy, copy.deepcopy],
                         ids=["pickle", "copy", "deepcopy"])
def test_every_public_error_survives_pickle_and_copy_with_its_attributes(error, duplicate):
    again = duplicate(error)
    assert type(again) is type(error) and str(again) == str(error)
    public = {name: value for name, value in vars(error).items() if not name.startswith("_")}
    assert public.keys() == {name for name in vars(again) if not name.startswith("_")}
    for name, value in public.items():
        if name == "results":  # symbols compare equal, errors by type and text
            assert [(type(item), str(item)) for item in getattr(again, name)] == \
                   [(type(item), str(item)) for item in value]
        else:
            assert getattr(again, name) == value, name


def test_the_error_classes_are_the_public_ones():
    assert {type(error) for error in public_errors()} == {
        errors.DataOverflowError, errors.InvalidOptionError, errors.AztecError, gs1.GS1Error, BatchError}


def test_a_failing_batch_in_a_process_pool_raises_its_batch_error_in_the_parent():
    with concurrent.futures.ProcessPoolExecutor(1) as pool:
        future = pool.submit(aztec.make_many, ["ok", ""])
        with pytest.raises(BatchError) as caught:
            future.result(timeout=60)
    assert caught.value.indices == [1] and caught.value.results[0] == aztec.make("ok")


# --- Pictures too large to make ----------------------------------------------

LONG = aztec.make("x" * 2000)  # 125 modules: 129 with the default border


@pytest.mark.parametrize("kind", ["pam", "ppm", "xpm", "xbm", "pbm"])
def test_a_picture_past_the_limit_is_refused_naming_its_size_and_the_option(kind):
    error = raised(LONG.save, io.BytesIO(), kind=kind, scale=508)
    assert isinstance(error, errors.InvalidOptionError)
    assert "65,532 x 65,532 pixels" in str(error) and "smaller scale" in str(error)


@pytest.mark.parametrize("kind", ["pam", "ppm", "xpm", "xbm", "pbm"])
def test_the_limit_counts_the_bytes_the_picture_really_has(kind, monkeypatch):
    limit = 1 << 20
    monkeypatch.setattr(aztec.writers.options, "MAX_PICTURE_BYTES", limit)
    scale = 1
    while True:
        try:
            buffer = io.BytesIO()
            LONG.save(buffer, kind=kind, scale=scale + 1)
        except errors.InvalidOptionError:
            break
        scale += 1
        made = len(buffer.getvalue())
    # The largest picture made is not past the limit (but for its header),
    # and the next scale, refused, would have been.
    assert made <= limit + 200 and made * ((scale + 1) / scale) ** 2 > 0.97 * limit, (scale, made)


def test_a_module_size_too_large_names_module_size_and_png_keeps_its_side_limit():
    assert "smaller module_size" in str(raised(LONG.save, io.BytesIO(), kind="pam", module_size="20mm", dpi=600))
    assert LONG.png(scale=508)[:4] == b"\x89PNG"  # compressed as it is made: bounded by its side alone


def test_to_pil_is_refused_before_pillow_unpacks_it():
    pytest.importorskip("PIL")
    error = raised(LONG.to_pil, scale=64)
    assert isinstance(error, errors.InvalidOptionError) and "Pillow picture would be 8,256 x 8,256" in str(error)
    assert LONG.to_pil(scale=63).size == (129 * 63,) * 2


# --- Sequences and segment lists too long to fit ------------------------------

def alternating(count):
    """One-character segments, ISO-8859-1 and ISO-8859-5 in turn: an ECI
    designator before every one after the first."""
    return ["a" if i % 2 == 0 else aztec.Segment("Ж", encoding="iso-8859-5") for i in range(count)]


def test_segments_far_too_many_for_a_sequence_are_refused_before_any_cut(monkeypatch):
    from quillbank.aztec import sequence_parts

    def no_cutting(*arguments, **options):
        raise AssertionError("the message was cut although its stream is far too long")

    monkeypatch.setattr(sequence_parts, "cut_greedily", no_cutting)
    monkeypatch.setattr(sequence_parts, "split_to", no_cutting)
    segments = alternating(100_000)
    with pytest.raises(errors.DataOverflowError, match="does not fit in 26 symbols") as caught:
        aztec.make_sequence(segments)
    assert caught.value.needed_bits > caught.value.available_bits
    with pytest.raises(errors.DataOverflowError):
        aztec.make(segments)


def test_a_sequence_indexes_its_flags_once_and_reads_back(monkeypatch):
    from test_standard_make import check_sequence, read

    from quillbank.aztec import sequence

    real_of, indexed = sequence.FlagIndex.of, []
    monkeypatch.setattr(sequence.FlagIndex, "of", staticmethod(lambda flags: indexed.append(1) or real_of(flags)))
    segments = alternating(1_200)
    made = aztec.make_sequence(segments)
    assert len(indexed) == 1 and len(made) >= 2
    text = "aЖ" * 600
    check_sequence(made, b"".join(part.encode("iso-8859-5" if part == "Ж" else "latin-1") for part in text), None)
    assert "".join(read(symbol).text for symbol in made) == text
