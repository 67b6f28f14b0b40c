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


class _Distribution:
    """Checks and converts the fields of a distribution dataclass."""

    def __post_init__(self):
        for name in self.__dataclass_fields__:
            object.__setattr__(self, name, _finite(name, getattr(self, name)))
        self._check()

    @property
    def params(self):
        values = tuple(getattr(self, name) for name in self.__dataclass_fields__)
        return values + (0.0,) * (3 - len(values))

    def __str__(self):
        fields = ", ".join(f"{name}={getattr(self, name):g}" for name in self.__dataclass_fields__)
        return f"{type(self).__name__.lower()}({fields})"


@dataclass(frozen=True)
class Normal(_Distribution):
    """Normal distribution with the given mean and standard deviation (>= 0)."""

    mean: float
    std: float
    code = NORMAL

    def _check(self):
        if self.std < 0:
            raise ValueError(f"std must be >= 0, got {self.std!r}")

    @property
    def nominal(self):
        return self.mean


@dataclass(frozen=True)
class Uniform(_Distribution):
    """Uniform distribution on [low, high) (low <= high)."""

    low: float
    high: float
    code = UNIFORM

    def _check(self):
        if self.low > self.high:
            raise ValueError(f"low ({self.low!r}) must not exceed high ({self.high!r})")

    @property
    def nominal(self):
        return 0.5 * (self.low + self.high)


@dataclass(frozen=True)
class Triangular(_Distribution):
    """Triangular distribution on [low, high] peaking at mode (low <= mode <= high, low < high)."""

    low: float
    mode: float
    high: float
    code = TRIANGULAR

    def _check(self):
        if not self.low <= self.mode <= self.high:
            raise ValueError(f"need low <= mode <= high, got {self.low!r}, {self.mode!r}, {self.high!r}")
        if self.low == self.high:
            raise ValueError(f"low and high must differ, both are {self.low!r}")

    @property
    def nominal(self):
        return self.mode


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
