"""The rules every public function applies to its plain arguments: an
integer in a range, a flag that is True or False."""

from __future__ import annotations

import operator

from .errors import InvalidOptionError

__all__ = ["as_int", "check_int", "check_bool"]


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


def check_bool(name: str, value: object) -> None:
    if not isinstance(value, bool):
        raise TypeError(f"{name} is True or False, not {type(value).__name__}")
