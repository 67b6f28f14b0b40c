"""Argument checks shared by the package's classes: one clear ``TypeError``
or ``ValueError`` naming the argument, before anything runs."""

from __future__ import annotations

import math
import operator
from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

Real = SupportsFloat | SupportsIndex


# Kinds of NumPy arrays that hold numbers (not bools, strings, dates or
# objects).
_NUMBER_KINDS = "iuf"


def _float(name: str, value: object) -> float:
    """float(value), or a TypeError naming the argument; an exception that
    float() raises other than TypeError and ValueError (a __float__ that
    fails) is the TypeError's cause."""
    if isinstance(value, (bool, np.bool_, str, bytes, np.datetime64, np.timedelta64)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    try:
        return float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}") from None
    except Exception as exc:
        raise TypeError(f"{name} must be a number: converting {type(value).__name__} to float raised "
                        f"{type(exc).__name__}: {exc}") from exc


def real(name: str, value: object) -> float:
    """``value`` as a finite float."""
    x = _float(name, value)
    if not math.isfinite(x):
        raise ValueError(f"{name} must be finite, not {x!r}")
    return x


def real_or_inf(name: str, value: object) -> float:
    """``value`` as a float that is not NaN and not -inf (+inf allowed)."""
    x = _float(name, value)
    if math.isnan(x) or x == -math.inf:
        raise ValueError(f"{name} must be a number or inf, not {value!r}")
    return x


def positive(name: str, value: object) -> float:
    x = real(name, value)
    if x <= 0.0:
        raise ValueError(f"{name} must be positive, not {x!r}")
    return x


def non_negative(name: str, value: object) -> float:
    x = real(name, value)
    if x < 0.0:
        raise ValueError(f"{name} must not be negative, not {x!r}")
    return x


def level(name: str, value: object) -> float:
    """A brake deployment: a finite float from 0 to 1."""
    x = real(name, value)
    if not 0.0 <= x <= 1.0:
        raise ValueError(f"{name} must be from 0 to 1, not {x!r}")
    return x


def count(name: str, value: object, maximum: int | None = None) -> int:
    """A non-negative integer (an object with ``__index__``), at most
    ``maximum`` (OverflowError beyond)."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        n = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if n < 0:
        raise ValueError(f"{name} must not be negative, not {n}")
    if maximum is not None and n > maximum:
        raise OverflowError(f"{name} must be at most {maximum}, not {n}")
    return n


def _not_numbers(values: object) -> str | None:
    """What in ``values`` is not a number (a bool, a string, a date), or
    None: NumPy would turn such values into floats without a word."""
    if isinstance(values, np.ndarray):
        if values.dtype.kind in _NUMBER_KINDS:
            return None
        if values.dtype.kind != "O":
            return f"an array of {values.dtype}"
        items = values.ravel().tolist()
    else:
        try:
            items = np.array(values, dtype=object).ravel().tolist()
        except (TypeError, ValueError):
            return None  # ragged: the conversion below says so
    for kind in set(map(type, items)):
        if issubclass(kind, (bool, np.bool_, str, bytes, np.datetime64, np.timedelta64)) or (
                issubclass(kind, np.generic) and np.dtype(kind).kind not in _NUMBER_KINDS):
            return kind.__name__
    return None


def array(name: str, values: object, ndim: int = 1, missing: bool = False) -> npt.NDArray[np.float64]:
    """A read-only float64 copy of ``values`` with ``ndim`` dimensions, every
    value finite (or, with ``missing``, NaN: no sample); -0.0 becomes 0.0
    (the two are equal, and equal tables hash alike)."""
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name} must be a sequence of numbers, not {type(values).__name__}")
    wrong = _not_numbers(values)
    if wrong is not None:
        raise TypeError(f"{name} must be a sequence of numbers, not of {wrong}")
    try:
        a = np.array(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a sequence of numbers") from None
    a += 0.0
    if a.ndim != ndim:
        shape = "a sequence" if ndim == 1 else "a table (a sequence of rows of equal length)"
        raise ValueError(f"{name} must be {shape} of numbers, not an array of {a.ndim} dimensions")
    bad = np.flatnonzero(np.isinf(a.ravel()) if missing else ~np.isfinite(a.ravel()))
    if bad.size:
        index = np.unravel_index(int(bad[0]), a.shape)
        where = int(index[0]) if ndim == 1 else tuple(int(i) for i in index)
        kind = "finite or NaN (no sample)" if missing else "finite"
        raise ValueError(f"{name} must be {kind}: {float(a[index])!r} at index {where}")
    a.setflags(write=False)
    return a


def increasing(name: str, values: npt.NDArray[np.float64], at_least: int = 1) -> None:
    """Strictly increasing, with at least ``at_least`` values."""
    if values.size < at_least:
        raise ValueError(f"{name} must have at least {at_least} value{'s' if at_least > 1 else ''}")
    steps = np.flatnonzero(np.diff(values) <= 0.0)
    if steps.size:
        i = int(steps[0]) + 1
        raise ValueError(
            f"{name} must be strictly increasing: {float(values[i])!r} at index {i} follows {float(values[i - 1])!r}"
        )


def mach_numbers(name: str, values: npt.NDArray[np.float64]) -> None:
    """The Mach numbers of a table's points: at least one, strictly
    increasing, not negative."""
    increasing(name, values)
    if values[0] < 0.0:
        raise ValueError(f"{name} must not be negative: {float(values[0])!r}")


def array_key(a: npt.NDArray[np.float64]) -> bytes:
    """Bytes of an array for a hash consistent with equality that treats NaN
    as equal to NaN: one NaN, and 0.0 for -0.0."""
    canonical = np.where(np.isnan(a), np.nan, a + 0.0) if a.dtype.kind == "f" else a
    return repr(a.shape).encode() + np.ascontiguousarray(canonical).tobytes()


def same_length(name_a: str, a: Sequence[object] | npt.NDArray[np.float64], name_b: str,
                b: Sequence[object] | npt.NDArray[np.float64]) -> None:
    if len(a) != len(b):
        raise ValueError(f"{name_a} and {name_b} must have the same length, not {len(a)} and {len(b)}")
