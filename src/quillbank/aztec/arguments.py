"""The rules every public function applies to its plain arguments: an
integer in a range, a flag that is True or False, an ECI number.  Each rule
is written once, here; the compiled modules call check_eci for anything
but a plain int in range, so that every door takes and refuses alike."""

from __future__ import annotations

import operator
from typing import Literal, Union

from .errors import InvalidOptionError

__all__ = ["MAX_ECI", "as_int", "check_int", "check_bool", "check_eci"]

#: The largest ECI number: a designator has room for six digits.
MAX_ECI = 999_999


def as_int(name: str, value: object) -> int:
    """``value`` as an int: anything operator.index takes (int, a NumPy
    integer...), but not bool."""
    if isinstance(value, bool):
        raise TypeError(f"{name} is an integer, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} is an integer, not {type(value).__name__}") from None


def check_int(name: str, value: object, low: int, high: int, range_text: str) -> int:
    """``value`` as an int (:func:`as_int`) in low..high; ``range_text``
    says what the range is, for the error."""
    number = as_int(name, value)
    if not low <= number <= high:
        raise InvalidOptionError(f"{range_text}, not {number}")
    return number


def check_bool(name: str, value: object) -> bool:
    """``value``, which must be True or False (not 0, 1 or None)."""
    if not isinstance(value, bool):
        raise TypeError(f"{name} is True or False, not {type(value).__name__}")
    return value


def check_eci(eci: object) -> Union[int, "Literal[False]", None]:
    """An ``eci`` argument checked: None (the door's default), False (no
    designator), or an ECI number 0 to 999999 given as an int or any object
    operator.index takes (a NumPy integer), returned as an int.

    Raises TypeError for True and for anything else that is no integer, and
    InvalidOptionError for a number out of range.
    """
    if eci is None or eci is False:
        return eci
    if eci is True:
        raise TypeError("eci is an integer, or False for no designator, not True")
    try:
        number = operator.index(eci)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"eci is an integer, or False for no designator, not {type(eci).__name__}") from None
    if not 0 <= number <= MAX_ECI:
        raise InvalidOptionError(f"ECI numbers are 0 to {MAX_ECI}, not {number}")
    return number
