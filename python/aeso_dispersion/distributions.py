"""Distributions an uncertain study input can be drawn from.

Each distribution is a small immutable value with a numeric `code` and up to
three float parameters: that plain form is what travels to the workers, which
draw from it with `draw_columns`. A fixed input is a plain float and is never
drawn.
"""

import math
from dataclasses import dataclass

import numpy as np

# Codes of the plain form; CONSTANT marks an input that is not dispersed.
CONSTANT, NORMAL, UNIFORM, TRIANGULAR = 0, 1, 2, 3


def _finite(name, value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    value = float(value)
    if not math.isfinite(value):
        raise ValueError(f"{name} must be finite, got {value!r}")
    return value


@dataclass(frozen=True)
class Normal:
    """Normal distribution with the given mean and standard deviation (>= 0)."""

    mean: float
    std: float

    def __post_init__(self):
        object.__setattr__(self, "mean", _finite("mean", self.mean))
        object.__setattr__(self, "std", _finite("std", self.std))
        if self.std < 0:
            raise ValueError(f"std must be >= 0, got {self.std!r}")

    code = NORMAL

    @property
    def params(self):
        return (self.mean, self.std, 0.0)

    @property
    def nominal(self):
        return self.mean

    def __str__(self):
        return f"normal(mean={self.mean:g}, std={self.std:g})"


@dataclass(frozen=True)
class Uniform:
    """Uniform distribution on [low, high) (low <= high)."""

    low: float
    high: float

    def __post_init__(self):
        object.__setattr__(self, "low", _finite("low", self.low))
        object.__setattr__(self, "high", _finite("high", self.high))
        if self.low > self.high:
            raise ValueError(f"low ({self.low!r}) must not exceed high ({self.high!r})")

    code = UNIFORM

    @property
    def params(self):
        return (self.low, self.high, 0.0)

    @property
    def nominal(self):
        return 0.5 * (self.low + self.high)

    def __str__(self):
        return f"uniform(low={self.low:g}, high={self.high:g})"


@dataclass(frozen=True)
class Triangular:
    """Triangular distribution on [low, high] peaking at mode (low <= mode <= high, low < high)."""

    low: float
    mode: float
    high: float

    def __post_init__(self):
        for name in ("low", "mode", "high"):
            object.__setattr__(self, name, _finite(name, getattr(self, name)))
        if not self.low <= self.mode <= self.high:
            raise ValueError(f"need low <= mode <= high, got {self.low!r}, {self.mode!r}, {self.high!r}")
        if self.low == self.high:
            raise ValueError(f"low and high must differ, both are {self.low!r}")

    code = TRIANGULAR

    @property
    def params(self):
        return (self.low, self.mode, self.high)

    @property
    def nominal(self):
        return self.mode

    def __str__(self):
        return f"triangular(low={self.low:g}, mode={self.mode:g}, high={self.high:g})"


def normal(mean, std):
    """A normally distributed input: normal(20.0, 0.4)."""
    return Normal(mean, std)


def uniform(low, high):
    """A uniformly distributed input: uniform(240.0, 260.0)."""
    return Uniform(low, high)


def triangular(low, mode, high):
    """A triangular distributed input: triangular(0.4, 0.45, 0.55)."""
    return Triangular(low, mode, high)


# Parameter names of each distribution, in constructor order; the
# configuration file reads them from a table with a `distribution` key.
KINDS = {
    "normal": (Normal, ("mean", "std")),
    "uniform": (Uniform, ("low", "high")),
    "triangular": (Triangular, ("low", "mode", "high")),
}

DISTRIBUTIONS = (Normal, Uniform, Triangular)


def draw_columns(rng, codes, params, size):
    """Draws `size` values of each dispersed input, in input order.

    `codes` and `params` are the plain form (one code and one row of three
    parameters per dispersed input). Inputs are drawn one after the other
    from the same generator, so a block's values depend only on the
    generator's seed and on the list of distributions.
    """
    columns = np.empty((len(codes), size))
    for j, (code, (a, b, c)) in enumerate(zip(codes.tolist(), params.tolist())):
        if code == NORMAL:
            columns[j] = rng.normal(a, b, size)
        elif code == UNIFORM:
            columns[j] = rng.uniform(a, b, size)
        elif code == TRIANGULAR:
            columns[j] = rng.triangular(a, b, c, size)
        else:
            raise ValueError(f"unknown distribution code {code}")
    return columns
