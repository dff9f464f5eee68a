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
