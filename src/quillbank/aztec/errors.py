"""The errors of quillbank.aztec's symbol writer.

All of them are ValueErrors, so code that already catches ValueError around
a call keeps working; catch AztecError to tell them from other faults.
"""

__all__ = ["AztecError", "DataOverflowError", "InvalidOptionError"]


class AztecError(ValueError):
    """Base class of the errors raised for data or options a symbol cannot take."""


class DataOverflowError(AztecError):
    """The message does not fit the symbol asked for (or the largest symbol)."""


class InvalidOptionError(AztecError):
    """An option is out of its range: an ECI number, error correction, layers, scale..."""
