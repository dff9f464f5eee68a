"""Which bytes and which ECI number a message is written with: the charset
policy of make() and data_stream().

- ASCII ``str``: as it is, no ECI designator (every reader shows it alike).
- other ``str`` that ISO-8859-1 can hold: ISO-8859-1, marked with ECI 3.
  The standard makes ISO-8859-1 the character set of unmarked bytes, but
  readers in use guess instead, and take short text for Shift JIS.
- any other ``str``: UTF-8, marked with ECI 26.
- ``str`` with ``encoding``: that codec, marked with its ECI number;
  ISO-8859-1 is marked as in the rule above.
- ``str`` with ``eci`` alone: the character set of that ECI number.
- ``eci=False``: no designator; text is written in ISO-8859-1, unmarked,
  as make() wrote it before ECI 3 was its default.
- bytes and other buffers of bytes (:func:`buffer_bytes`): as given,
  marked with ``eci`` only if asked.
"""

from __future__ import annotations

import codecs
from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple, Union

from .errors import AztecError, InvalidOptionError

if TYPE_CHECKING:
    from typing_extensions import Buffer, Protocol

    class _ArrayInterface(Protocol):
        """NumPy arrays, which say they are buffers (``__buffer__``) to a
        type checker on Python 3.12 and later only."""

        @property
        def __array_interface__(self) -> Dict[str, Any]: ...

#: A bytes-like message: any buffer of bytes (bytes, bytearray, memoryview,
#: array.array('B'), a NumPy uint8 array...), in any layout (buffer_bytes).
BytesLike = Union["Buffer", "_ArrayInterface"]

__all__ = ["ECI_OF_CODEC", "CODEC_OF_ECI", "LATIN_1", "LATIN_1_ECI", "UTF_8_ECI", "NO_ECI", "eci_of",
           "codec_of", "message_bytes", "buffer_bytes"]

LATIN_1 = "iso8859-1"
LATIN_1_ECI = 3
#: ``eci=False``: write no ECI designator (text in ISO-8859-1, unmarked).
NO_ECI = False
UTF_8_ECI = 26

# ECI numbers of the AIM ECI assignments (AIM's register of Extended Channel
# Interpretations), keyed by the names codecs.lookup() gives.  Only the
# character sets Python has a codec for are here: ISO-8859-12 does not
# exist, and Windows code pages 1253 to 1255 have no ECI number.
ECI_OF_CODEC: Dict[str, int] = {
    "cp437": 2,
    LATIN_1: LATIN_1_ECI,
    "iso8859-2": 4,
    "iso8859-3": 5,
    "iso8859-4": 6,
    "iso8859-5": 7,
    "iso8859-6": 8,
    "iso8859-7": 9,
    "iso8859-8": 10,
    "iso8859-9": 11,
    "iso8859-10": 12,
    "iso8859-11": 13,
    "iso8859-13": 15,
    "iso8859-14": 16,
    "iso8859-15": 17,
    "iso8859-16": 18,
    "shift_jis": 20,
    "cp1250": 21,
    "cp1251": 22,
    "cp1252": 23,
    "cp1256": 24,
    "utf-16-be": 25,
    "utf-8": UTF_8_ECI,
    "ascii": 27,
    "big5": 28,
    "gb2312": 29,
    "euc_kr": 30,
    "gbk": 31,
    "gb18030": 32,
    "utf-16-le": 33,
    "utf-32-be": 34,
    "utf-32-le": 35,
}
# ECI 0 and 1 are the older numbers of code page 437 and ISO-8859-1.
CODEC_OF_ECI: Dict[int, str] = {**{eci: name for name, eci in ECI_OF_CODEC.items()}, 0: "cp437", 1: LATIN_1}


def codec_of(eci: int) -> Optional[str]:
    """The codec name of ECI number ``eci``, or None when it has no
    character set here (899, binary data, among them)."""
    return CODEC_OF_ECI.get(eci)


def eci_of(encoding: str) -> int:
    """The ECI number of the Python codec ``encoding`` (any of its names).

    Raises InvalidOptionError for a name that is no codec or a codec
    without an ECI number.
    """
    return _lookup(encoding)[1]


def _lookup(encoding: str) -> Tuple[str, int]:
    """(codec name, ECI number) of an encoding name as the caller wrote it."""
    try:
        name = codecs.lookup(encoding).name
    except LookupError:
        raise InvalidOptionError(f"encoding {encoding!r} is not a codec Python knows") from None
    eci = ECI_OF_CODEC.get(name)
    if eci is None:
        raise InvalidOptionError(
            f"encoding {encoding!r} has no ECI number, so a reader could not tell it; "
            f"encode the text yourself and pass the bytes with eci=N if your readers agree on N")
    return name, eci


def message_bytes(data: Union[str, BytesLike], eci: Optional[int], encoding: Optional[str]) -> Tuple[bytes, Optional[int]]:
    """The bytes to write for ``data`` and the ECI number to mark them with
    (None: no designator).

    ``eci`` must already be a checked number, None, or False (NO_ECI, an
    int to the type checker).
    Raises TypeError for a message that is neither ``str`` nor a bytes-like
    buffer, and AztecError for text the character set cannot hold or
    options that disagree.
    """
    if encoding is not None and not isinstance(encoding, str):
        raise TypeError(f"encoding is a codec name (str) or None, not {type(encoding).__name__}")
    if isinstance(data, str):
        return _text_bytes(data, eci, encoding)
    if encoding is not None:
        raise InvalidOptionError(
            "encoding applies to a str message; bytes are written as given (mark them with eci=N)")
    return buffer_bytes(data), None if eci is NO_ECI else eci


def _text_bytes(text: str, eci: Optional[int], encoding: Optional[str]) -> Tuple[bytes, Optional[int]]:
    if eci is NO_ECI:
        if encoding is not None and _lookup(encoding)[0] != LATIN_1:
            raise InvalidOptionError(
                f"eci=False writes ISO-8859-1 text without a designator, not {encoding!r}; to write "
                f"other bytes unmarked, encode the text yourself and pass the bytes")
        return _encode(text, LATIN_1, "ISO-8859-1, which eci=False writes",
                       "leave eci out to write the text in UTF-8, marked with ECI 26"), None
    if encoding is not None:
        codec, encoding_eci = _lookup(encoding)
        if eci is not None and codec_of(eci) != codec:
            raise InvalidOptionError(
                f"eci={eci} and encoding={encoding!r} disagree: {encoding!r} is ECI {encoding_eci}")
        if eci is None and codec == LATIN_1:
            return _latin_1(_encode(text, LATIN_1, repr(encoding)))
        return _encode(text, codec, repr(encoding)), eci if eci is not None else encoding_eci
    if eci is not None:
        codec_name = codec_of(eci)
        if codec_name is None:
            raise InvalidOptionError(
                f"ECI {eci} has no character set to encode text with; pass the message as bytes "
                f"to mark your own bytes with it, or give encoding=")
        return _encode(text, codec_name, f"{codec_name} (ECI {eci})"), eci
    try:
        return _latin_1(text.encode(LATIN_1))
    except UnicodeEncodeError:
        return _encode(text, "utf-8", "UTF-8"), UTF_8_ECI


def _latin_1(written: bytes) -> Tuple[bytes, Optional[int]]:
    """ISO-8859-1 text's bytes, marked with ECI 3 when one is above 0x7F."""
    return written, None if written.isascii() else LATIN_1_ECI


def _encode(text: str, codec: str, label: str,
            advice: str = "choose another encoding, or leave encoding out to write UTF-8") -> bytes:
    """``text`` in ``codec``; ``label`` names the character set in errors,
    and ``advice`` says what to change."""
    try:
        return text.encode(codec)
    except UnicodeEncodeError as error:
        character = text[error.start]
        if "\ud800" <= character <= "\udfff":
            raise AztecError(
                f"the text holds a lone surrogate U+{ord(character):04X} at position {error.start}, "
                f"which is no character and cannot be written") from None
        raise AztecError(
            f"{character!r} (U+{ord(character):04X}) at position {error.start} cannot be written "
            f"in {label}; {advice}") from None


def buffer_bytes(data: object) -> bytes:
    """The bytes of a bytes-like message: the one rule every door takes
    buffers by.  Any object with the buffer protocol whose items are single
    bytes is taken (bytes, bytearray, memoryview, array.array('B'), a NumPy
    uint8 array), read-only or writable, in any layout: a strided or
    Fortran-ordered one is gathered in C order, as ``bytes()`` gathers it.

    Raises TypeError for an object that is no buffer, or whose items are
    wider than a byte (their bytes would depend on the machine's byte
    order), and AztecError for a buffer that cannot be read (a released
    memoryview).
    """
    if type(data) is bytes:
        return data
    try:
        view = memoryview(data)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"the message is str or a bytes-like object, not {type(data).__name__}") from None
    except ValueError as error:
        # A released memoryview, or an object whose buffer is gone.
        raise AztecError(f"the message buffer cannot be read: {error}") from None
    with view:
        if view.itemsize != 1:
            raise TypeError(f"the message buffer holds items of {view.itemsize} bytes "
                            f"(format {view.format!r}); pass a buffer of bytes")
        return view.tobytes()
