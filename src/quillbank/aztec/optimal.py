"""The optimal encoder: a shortest data bit stream for a message.

:class:`quillbank.aztec.encoder.Encoder` follows a described, pruned search
and so leaves bits on the table; :func:`encode_optimal` returns a stream of
the least possible length over every choice the code allows (modes, latches,
shifts, Punct pairs, binary shift runs of either header length).  Both
return the stream in the same forms, and a decoder reads either one back to
the same message.

Equal-length streams are chosen between by a fixed rule, so the result
depends on the message and the ECI number alone.
"""

from . import _optimal

__all__ = ["encode_optimal", "encode_optimal_stream"]


def encode_optimal(data, eci=None, asBits=False):
    """Return a shortest data bit stream for `data`.

    :param data: the message: a ``str`` (encoded as UTF-8), ``bytes``,
        ``bytearray`` or any other object with the buffer protocol.
    :param eci: an ECI number to start the stream with, or ``None``.
    :param asBits: return a list of booleans, one per stream bit, instead
        of packed bytes.
    :return: ``bytes`` with stream bit k in bit ``k % 8`` of byte ``k // 8``
        (the last byte padded with zero bits), or a ``list`` of ``bool``.
    """
    return _optimal.encode(data, eci, asBits)


def encode_optimal_stream(data, eci=None):
    """Return ``(packed, bit_count)``: the stream of :func:`encode_optimal`
    as packed bytes with its exact length in bits, for the symbol writer.
    """
    return _optimal.encode_stream(data, eci)
