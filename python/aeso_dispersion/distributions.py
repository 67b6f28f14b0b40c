"""Distributions an uncertain study input can be drawn from.

Each distribution is a small immutable value with a numeric `code` and four
float parameters: that plain form is what travels to the workers, which draw
from it with `draw`. A fixed input is a plain float and is never drawn.

Normal and lognormal distributions take optional bounds `low` and `high`:
they are then truncated (a draw outside the bounds is replaced by the next
draw of the same stream, so the values keep the shape of the distribution
between the bounds). Uniform and triangular distributions are bounded by
their own parameters.
"""

import math
from dataclasses import dataclass

import numpy as np

# Codes of the plain form; CONSTANT marks an input that is not dispersed.
CONSTANT, NORMAL, UNIFORM, TRIANGULAR, LOGNORMAL = 0, 1, 2, 3, 4
N_PARAMS = 4
# Truncation bounds that keep less than this share of a distribution are
# refused: drawing would mostly throw values away, and such bounds are
# usually a mistake (a mean far outside them).
MIN_KEPT_SHARE = 1e-3


def _number(name, value, finite=True):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    value = float(value)
    if math.isnan(value) or (finite and not math.isfinite(value)):
        raise ValueError(f"{name} must be finite, got {value!r}")
    return value


def _normal_cdf(z):
    return 0.5 * math.erfc(-z / math.sqrt(2.0))


class _Distribution:
    """Checks and converts the fields of a distribution dataclass."""

    # Fields that may be infinite (the optional bounds).
    _unbounded_fields = ()

    def __post_init__(self):
        for name in self.__dataclass_fields__:
            finite = name not in self._unbounded_fields
            object.__setattr__(self, name, _number(name, getattr(self, name), finite))
        self._check()

    @property
    def params(self):
        values = tuple(getattr(self, name) for name in self.__dataclass_fields__)
        return values + (0.0,) * (N_PARAMS - len(values))

    @property
    def bounded(self):
        """True when every draw lies within `support`, given by the user."""
        return True

    def _shown(self):
        """The fields that say what the distribution is (not a bound that is
        its natural one)."""
        return [name for name in self.__dataclass_fields__ if name not in self._natural_bounds()]

    def _natural_bounds(self):
        return ()

    def __str__(self):
        fields = ", ".join(f"{name}={getattr(self, name):g}" for name in self._shown())
        return f"{type(self).__name__.lower()}({fields})"

    def spec(self):
        """The distribution exactly, as a results file records it:
        normal(mean=20.0, std=0.4)."""
        fields = ", ".join(f"{name}={getattr(self, name)!r}" for name in self._shown())
        return f"{type(self).__name__.lower()}({fields})"


class _Truncatable(_Distribution):
    """A distribution on an unbounded range with optional bounds low/high."""

    _unbounded_fields = ("low", "high")

    def _check_bounds(self):
        if self.low > self.high:
            raise ValueError(f"low ({self.low!r}) must not exceed high ({self.high!r})")
        kept = self.kept_share()
        if kept < MIN_KEPT_SHARE:
            raise ValueError(f"the bounds [{self.low:g}, {self.high:g}] keep only {kept:.2g} of the "
                             f"distribution (at least {MIN_KEPT_SHARE:g} needed)")

    def _share_between(self, mean, std, low, high):
        if std == 0:
            return 1.0 if low <= mean <= high else 0.0
        return _normal_cdf((high - mean) / std) - _normal_cdf((low - mean) / std)

    @property
    def bounded(self):
        natural = self._natural_support()
        return (self.low, self.high) != natural

    def _natural_bounds(self):
        return [name for name, value, natural in zip(("low", "high"), (self.low, self.high),
                                                     self._natural_support()) if value == natural]

    @property
    def support(self):
        return self.low, self.high


@dataclass(frozen=True)
class Normal(_Truncatable):
    """Normal distribution, truncated to [low, high] when bounds are given.

    A draw outside the bounds is replaced by the next draw of the same
    stream, so the values keep the shape of the distribution between them.
    Build it with :func:`normal`.

    Parameters
    ----------
    mean : float
        The mean, also the input's nominal value.
    std : float
        The standard deviation, >= 0.
    low, high : float, default -inf, inf
        The bounds of a truncated normal distribution.

    Raises
    ------
    TypeError
        A parameter is not a number.
    ValueError
        A parameter is not finite (the bounds may be infinite), ``std < 0``,
        ``low > high``, or bounds that keep less than 0.1 % of the
        distribution.
    """

    mean: float
    std: float
    low: float = -math.inf
    high: float = math.inf
    code = NORMAL

    def _check(self):
        if self.std < 0:
            raise ValueError(f"std must be >= 0, got {self.std!r}")
        self._check_bounds()

    def _natural_support(self):
        return -math.inf, math.inf

    def kept_share(self):
        """The share of the untruncated distribution between the bounds.

        Returns
        -------
        float
            From 0 to 1 (1 without bounds); bounds that keep less than
            0.1 % are refused.
        """
        return self._share_between(self.mean, self.std, self.low, self.high)

    @property
    def nominal(self):
        return self.mean


@dataclass(frozen=True)
class LogNormal(_Truncatable):
    """Lognormal distribution: exp of a normal value; always positive.

    Truncated to [low, high] when bounds are given, like :class:`Normal`.
    Its median, exp(log_mean), is the input's nominal value. Build it with
    :func:`lognormal`.

    Parameters
    ----------
    log_mean : float
        The mean of the normal value whose exp is drawn.
    log_std : float
        Its standard deviation, >= 0 (about the relative spread of the
        input, for small values).
    low, high : float, default -inf, inf
        The bounds of a truncated lognormal distribution (``low`` below 0
        counts as 0; ``high`` must be > 0).

    Raises
    ------
    TypeError
        A parameter is not a number.
    ValueError
        A parameter is not finite (the bounds may be infinite),
        ``log_std < 0``, ``high <= 0``, ``low > high``, or bounds that keep
        less than 0.1 % of the distribution.
    """

    log_mean: float
    log_std: float
    low: float = -math.inf
    high: float = math.inf
    code = LOGNORMAL

    def _check(self):
        if self.log_std < 0:
            raise ValueError(f"log_std must be >= 0, got {self.log_std!r}")
        if self.high <= 0:
            raise ValueError(f"high must be > 0 for a lognormal distribution, got {self.high!r}")
        object.__setattr__(self, "low", max(self.low, 0.0))  # positive anyway
        self._check_bounds()

    def _natural_support(self):
        return 0.0, math.inf

    def kept_share(self):
        """The share of the untruncated distribution between the bounds.

        Returns
        -------
        float
            From 0 to 1 (1 without bounds); bounds that keep less than
            0.1 % are refused.
        """
        log_low = math.log(self.low) if self.low > 0 else -math.inf
        return self._share_between(self.log_mean, self.log_std, log_low, math.log(self.high))

    @property
    def nominal(self):
        return math.exp(self.log_mean)


@dataclass(frozen=True)
class Uniform(_Distribution):
    """Uniform distribution on [low, high); its nominal value is the midpoint.

    Build it with :func:`uniform`.

    Parameters
    ----------
    low, high : float
        The bounds, ``low <= high``.

    Raises
    ------
    TypeError
        A parameter is not a number.
    ValueError
        A parameter is not finite, or ``low > high``.
    """

    low: float
    high: float
    code = UNIFORM

    def _check(self):
        if self.low > self.high:
            raise ValueError(f"low ({self.low!r}) must not exceed high ({self.high!r})")

    @property
    def support(self):
        return self.low, self.high

    @property
    def nominal(self):
        return 0.5 * (self.low + self.high)


@dataclass(frozen=True)
class Triangular(_Distribution):
    """Triangular distribution on [low, high] peaking at `mode`, its nominal value.

    Build it with :func:`triangular`.

    Parameters
    ----------
    low, mode, high : float
        ``low <= mode <= high`` and ``low < high``.

    Raises
    ------
    TypeError
        A parameter is not a number.
    ValueError
        A parameter is not finite, or the order above does not hold.
    """

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
    def support(self):
        return self.low, self.high

    @property
    def nominal(self):
        return self.mode


def normal(mean, std, low=-math.inf, high=math.inf):
    """A normally distributed input, truncated when bounds are given.

    Parameters
    ----------
    mean : float
        The mean, also the input's nominal value.
    std : float
        The standard deviation, >= 0.
    low, high : float, default -inf, inf
        Bounds of a truncated normal distribution: draws outside them are
        replaced by the next draws of the same stream.

    Returns
    -------
    Normal

    Raises
    ------
    TypeError, ValueError
        As :class:`Normal`.

    Examples
    --------
    >>> from aeso_dispersion import normal
    >>> normal(20.0, 0.4)
    Normal(mean=20.0, std=0.4, low=-inf, high=inf)
    >>> normal(0.45, 0.05, low=0.0).nominal    # a drag coefficient that stays >= 0
    0.45
    """
    return Normal(mean, std, low, high)


def lognormal(log_mean, log_std, low=-math.inf, high=math.inf):
    """A lognormally distributed input: exp of a normal value, always positive.

    Parameters
    ----------
    log_mean : float
        The mean of the normal value; exp(log_mean) is the median and the
        input's nominal value.
    log_std : float
        The standard deviation of the normal value, >= 0.
    low, high : float, default -inf, inf
        Bounds of a truncated lognormal distribution.

    Returns
    -------
    LogNormal

    Raises
    ------
    TypeError, ValueError
        As :class:`LogNormal`.

    Examples
    --------
    >>> import math
    >>> from aeso_dispersion import lognormal
    >>> inertia = lognormal(math.log(8.5), 0.05)   # median 8.5 kg m^2, about 5 % spread
    >>> round(inertia.nominal, 12)
    8.5
    """
    return LogNormal(log_mean, log_std, low, high)


def uniform(low, high):
    """A uniformly distributed input on [low, high).

    Parameters
    ----------
    low, high : float
        The bounds, ``low <= high``; the midpoint is the nominal value.

    Returns
    -------
    Uniform

    Raises
    ------
    TypeError, ValueError
        As :class:`Uniform`.

    Examples
    --------
    >>> from aeso_dispersion import uniform
    >>> uniform(240.0, 260.0).nominal
    250.0
    """
    return Uniform(low, high)


def triangular(low, mode, high):
    """A triangularly distributed input on [low, high], peaking at `mode`.

    Parameters
    ----------
    low, mode, high : float
        ``low <= mode <= high`` and ``low < high``; the mode is the nominal
        value.

    Returns
    -------
    Triangular

    Raises
    ------
    TypeError, ValueError
        As :class:`Triangular`.

    Examples
    --------
    >>> from aeso_dispersion import triangular
    >>> triangular(0.4, 0.45, 0.55).nominal
    0.45
    """
    return Triangular(low, mode, high)


# Parameter names of each distribution, in constructor order (required,
# then optional); the configuration file reads them from a table with a
# `distribution` key.
KINDS = {
    "normal": (Normal, ("mean", "std"), ("low", "high")),
    "lognormal": (LogNormal, ("log_mean", "log_std"), ("low", "high")),
    "uniform": (Uniform, ("low", "high"), ()),
    "triangular": (Triangular, ("low", "mode", "high"), ()),
}

DISTRIBUTIONS = (Normal, LogNormal, Uniform, Triangular)


def _truncated(draw, low, high, size):
    """`size` draws of `draw` within [low, high]: each draw outside is
    replaced by the next ones of the same generator, in order."""
    out = draw(size)
    redo = np.flatnonzero((out < low) | (out > high))
    while redo.size:
        new = draw(redo.size)
        out[redo] = new
        redo = redo[(new < low) | (new > high)]
    return out


def draw(rng, code, params, size):
    """Draws `size` values of one input from the generator `rng`, given the
    plain form of its distribution (its code and its four parameters)."""
    a, b, c, d = params
    if code == NORMAL:
        return _truncated(lambda k: rng.normal(a, b, k), c, d, size)
    if code == LOGNORMAL:
        return _truncated(lambda k: rng.lognormal(a, b, k), c, d, size)
    if code == UNIFORM:
        return rng.uniform(a, b, size)
    if code == TRIANGULAR:
        return rng.triangular(a, b, c, size)
    raise ValueError(f"unknown distribution code {code}")
