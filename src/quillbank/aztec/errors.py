"""The errors of quillbank.aztec's symbol writer.

All of them are ValueErrors, so code that already catches ValueError around
a call keeps working; catch AztecError to tell them from other faults.
"""

from typing import Optional

__all__ = ["AztecError", "DataOverflowError", "InvalidOptionError"]


class AztecError(ValueError):
    """Base class of the errors raised for data or options a symbol cannot take."""


class DataOverflowError(AztecError):
    """The message does not fit the symbol asked for (or the largest symbol).

    Besides the message, for programs (each None when not known):
    ``needed_bits``, the data bits the message takes (at least, when it
    was refused before encoding); ``available_bits``, what the largest
    allowed symbol holds for data at the requested error correction;
    ``message_bytes``, the message's length; ``fitting_bytes``, the
    longest start of the message that symbol holds, a count that fits
    (None when a sequence was refused before it was cut).
    """

    def __init__(self, message: str, *, needed_bits: Optional[int] = None, available_bits: Optional[int] = None,
                 message_bytes: Optional[int] = None, fitting_bytes: Optional[int] = None) -> None:
        super().__init__(message)
        self.needed_bits = needed_bits
        self.available_bits = available_bits
        self.message_bytes = message_bytes
        self.fitting_bytes = fitting_bytes


class InvalidOptionError(AztecError):
    """An option is out of its range: an ECI number, error correction, layers, scale..."""
