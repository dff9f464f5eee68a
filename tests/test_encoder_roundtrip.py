"""Every stream decodes back to exactly the message and its ECI number."""

from hypothesis import given, settings, strategies as st

from quillbank.aztec.encoder import Encoder
from stream_decoder import decode_bits

ENCODER = Encoder()

# Pieces that exercise every byte class, the pairs and the mode changes.
PIECES = [b"A", b"z", b"7", b" ", b",", b".", b":", b"\r", b"\n", b"\r\n", b". ", b", ",
          b": ", b"@", b"\x7f", b"\x01", b"\x1f", b"\x00", b"\x10", b"\x1a", b"\x80",
          b"\xff", "é".encode(), b"!", b"}"]

pieced = st.lists(st.sampled_from(PIECES), max_size=80).map(b"".join)
runs = st.tuples(st.sampled_from([b"\xaa", b"\x00", b"a", b"5", b"."]),
                 st.integers(1, 2200)).map(lambda t: t[0] * t[1])
ecis = st.none() | st.integers(0, 2**32 - 1)


def expected_eci(eci):
    return None if eci is None else eci % 1000000


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=300), ecis)
def test_arbitrary_bytes_round_trip(data, eci):
    assert decode_bits(ENCODER.encode(data, eci=eci, asBits=True)) == (data, expected_eci(eci))


@settings(max_examples=300, deadline=None)
@given(pieced, ecis)
def test_mixed_pieces_round_trip(data, eci):
    assert decode_bits(ENCODER.encode(data, eci=eci, asBits=True)) == (data, expected_eci(eci))


@settings(max_examples=40, deadline=None)
@given(st.lists(runs | pieced, max_size=4).map(b"".join))
def test_long_runs_round_trip(data):
    assert decode_bits(ENCODER.encode(data, asBits=True)) == (data, None)


@settings(max_examples=200, deadline=None)
@given(st.text(max_size=100))
def test_text_round_trips_as_utf8(text):
    try:
        data = text.encode("utf8")
    except UnicodeEncodeError:  # lone surrogates are refused by encode too
        return
    assert decode_bits(ENCODER.encode(text, asBits=True)) == (data, None)
