"""Checks of the arguments handed to the C library: values are checked and
refused with a clear error, never coerced (a NUL byte that would cut a
string short, a float rounded to an integer, an integer wrapped to the C
type, a 0/1 list read as indices)."""

from __future__ import annotations

import numbers
from typing import TYPE_CHECKING, Any, Optional, Sequence

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

INT_MAX = 2 ** 31 - 1    # C int
INT64_MAX = 2 ** 63 - 1  # int64_t


def text(value: Any, what: str) -> bytes:
    """value, a str without NUL bytes, encoded for C."""
    if not isinstance(value, str):
        raise TypeError("%s must be a string, not %s" % (what, type(value).__name__))
    if "\0" in value:
        raise ValueError("%s %r holds a NUL byte (at %d), where the C library would stop"
                         " reading" % (what, value, value.index("\0")))
    return value.encode()


def integer(value: Any, what: str, low: int, high: int) -> int:
    """value, an integer (Python or NumPy, not bool) in low ... high."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError("%s must be an integer, not %s %r" % (what, type(value).__name__, value))
    number = int(value)
    if not low <= number <= high:
        raise ValueError("%s must be in %d ... %d, got %d" % (what, low, high, number))
    return number


def real(value: Any, what: str) -> float:
    """value, a real number (Python or NumPy, not bool or str)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError("%s must be a real number, not %s %r"
                        % (what, type(value).__name__, value))
    return float(value)


def held_flags(fixed: Any, n: int, names: Sequence[str]) -> Optional[NDArray[Any]]:
    """fixed as n uint8 flags: None; an index or a name; a sequence of
    indices or names; or a boolean mask of n values. A sequence of n
    integers that are all 0 or 1 could be indices or a mask, and is refused."""
    if fixed is None:
        return None
    if isinstance(fixed, (str, numbers.Integral)) and not isinstance(fixed, (bool, np.bool_)):
        items = [fixed]
    elif isinstance(fixed, (bool, np.bool_)):
        raise TypeError("fixed=%r: give parameter indices, names or a mask of %d booleans"
                        % (fixed, n))
    else:
        try:
            items = list(fixed)
        except TypeError:
            raise TypeError("fixed holds parameter indices, names or %d booleans, not %s"
                            % (n, type(fixed).__name__)) from None
    flags = np.zeros(n, dtype=np.uint8)
    booleans = [isinstance(v, (bool, np.bool_)) for v in items]
    if items and all(booleans):
        if len(items) != n:
            raise ValueError("a mask for fixed has one boolean per parameter (%d), got %d"
                             % (n, len(items)))
        flags[:] = items
        return flags
    integers = [isinstance(v, numbers.Integral) and not b for v, b in zip(items, booleans)]
    if n > 0 and len(items) == n and all(integers) and all(int(v) in (0, 1) for v in items):
        as_indices = sorted({names[int(v)] for v in items})
        as_mask = [names[j] for j, v in enumerate(items) if v]
        raise ValueError(
            "fixed=%r is ambiguous: as indices it holds %s, as a mask %s. Write names"
            " (fixed=%r) or booleans (fixed=%r)"
            % ([int(v) for v in items], ", ".join(as_indices), ", ".join(as_mask) or "none",
               as_mask, [bool(v) for v in items]))
    for item, is_integer in zip(items, integers):
        if isinstance(item, str):
            if item not in names:
                raise ValueError("fixed names %r, not a parameter (%s)" % (item, ", ".join(names)))
            flags[list(names).index(item)] = 1
        elif is_integer:
            index = int(item)
            if not -n <= index < n:
                raise ValueError("fixed index %d out of range for %d parameters" % (index, n))
            flags[index] = 1
        else:
            raise TypeError("fixed holds parameter indices, names or %d booleans, not %r"
                            % (n, item))
    return flags
