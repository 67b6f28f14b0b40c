"""A flight computer's raw sensors: a barometer on a static port and an
accelerometer along the body axis, each sampled at its own rate.

Sample k of a sensor is read at t0 + k / rate from the true flight at that
instant (t0 the flight's start), and its noise is drawn from the flight's
seed, the sample (a study's flight), the sensor and k alone, so two designs
flown on the same seed see the same noise. The noise is white and normal.

The barometer's port sees the static pressure p plus an error that is a
property of the port, c(M) q, with c a coefficient against Mach number
(``mach_error``; positive reads high, so the barometric altitude reads low)
and q the dynamic pressure. The sensing element follows the port through a
first-order lag of time constant ``lag``; its electronics then add the
noise and round to ``resolution``. The lag is discretised exactly for a port
pressure linear between consecutive samples, and starts in the response to
the static pressure's rate at the start (the flight starts in the air).

The accelerometer reads the axial specific force f, the acceleration less
gravity along the nose (+1 g at rest, minus the drag over the mass in the
coast; in a 1-DOF flight the axis is vertical): the reading is
(1 + scale_error) f + bias + noise.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Final

import numpy as np
import numpy.typing as npt

from . import _arguments, _checks, estimation
from .aerodynamics import _interpolate
from .atmosphere import Atmosphere, with_pressure
from .estimation import Estimator

__all__ = ["MAX_SENSOR_RATE", "Accelerometer", "Barometer", "RawSensors"]

#: The fastest a sensor samples (Hz).
MAX_SENSOR_RATE: Final = _arguments.MAX_SENSOR_RATE

# The port's error table: (Mach numbers, coefficients).
_MachTable = tuple[tuple[float, ...], tuple[float, ...]]


def _rate(value: object) -> float:
    rate = _checks.positive("rate", value)
    if rate > MAX_SENSOR_RATE:
        raise ValueError(f"rate must be at most {MAX_SENSOR_RATE:g} Hz, not {rate!r}")
    return rate


def _mach_table(value: object) -> _MachTable | None:
    """``(mach, coefficient)`` as two tuples of floats, checked as a drag
    table's points are (the coefficients may be negative)."""
    if value is None:
        return None
    mach: object
    coefficient: object
    try:
        mach, coefficient = value  # type: ignore[misc]
    except (TypeError, ValueError):
        raise TypeError("mach_error must be None or a pair (mach, coefficient) of sequences") from None
    m = _checks.array("mach_error[0]", mach)
    c = _checks.array("mach_error[1]", coefficient)
    _checks.same_length("mach_error[0]", m, "mach_error[1]", c)
    _checks.mach_numbers("mach_error[0]", m)
    return tuple(m.tolist()), tuple(c.tolist())


@dataclass(frozen=True, slots=True, kw_only=True)
class Barometer:
    """A barometer on a static port, sampled ``rate`` times a second: the
    port's pressure (the static pressure p plus ``mach_error``'s coefficient
    times the dynamic pressure q), through a first-order lag, plus white
    noise, rounded to ``resolution``.

    The lag x follows the port pressure u by lag x' = u - x, solved exactly
    for u linear between consecutive samples; it starts at u - lag p', p'
    the static pressure's rate at the start, as a sensor that had been
    climbing the same way would read. A reading is rounded to the nearest
    multiple of ``resolution`` (halves away from zero). The fields are the
    parameters, as floats (``mach_error`` as two tuples); a barometer is
    immutable, hashable and picklable.

    Parameters
    ----------
    noise_sd : float
        The standard deviation of a reading's noise (Pa), finite and not
        negative.
    rate : float
        Samples per second (Hz), positive and at most
        :data:`~aeso_flight.raw_sensors.MAX_SENSOR_RATE`.
    lag : float, default 0.0
        The time constant of the first-order lag (s), finite and not
        negative; 0: none.
    resolution : float, default 0.0
        The step the readings are rounded to (Pa), finite and not negative;
        0: not rounded.
    mach_error : (sequence of float, sequence of float), optional
        The port's error coefficient against Mach number, as a drag table:
        ``(mach, coefficient)``, the Mach numbers finite, not negative and
        strictly increasing, the coefficients finite (positive: the port
        reads high) and as many, linear between the points and held at the
        end values outside them. None: no error.

    Raises
    ------
    TypeError
        A value is not a number, or ``mach_error`` not a pair of sequences
        of numbers.
    ValueError
        A value is not finite or is negative; ``rate`` is zero or above
        :data:`~aeso_flight.raw_sensors.MAX_SENSOR_RATE`; ``mach_error``'s sequences are empty, of
        different lengths, or its Mach numbers negative or not strictly
        increasing.

    Examples
    --------
    A student flight computer's barometer, and one whose port reads high
    near Mach 1:

    >>> from aeso_flight.raw_sensors import Barometer
    >>> Barometer(noise_sd=2.0, rate=50.0, lag=0.02, resolution=1.0)
    Barometer(noise_sd=2.0, rate=50.0, lag=0.02, resolution=1.0, mach_error=None)
    >>> port = Barometer(noise_sd=2.0, rate=50.0, mach_error=([0.6, 0.95, 1.2], [0.0, 0.12, -0.02]))
    >>> port.error_coefficient([0.3, 0.8, 0.95, 1.5]).round(4)
    array([ 0.    ,  0.0686,  0.12  , -0.02  ])
    """

    noise_sd: float
    rate: float
    lag: float = 0.0
    resolution: float = 0.0
    mach_error: _MachTable | None = None

    def __init__(self, *, noise_sd: float, rate: float, lag: float = 0.0, resolution: float = 0.0,
                 mach_error: tuple[Sequence[float] | npt.ArrayLike, Sequence[float] | npt.ArrayLike] | None = None
                 ) -> None:
        object.__setattr__(self, "noise_sd", _checks.non_negative("noise_sd", noise_sd))
        object.__setattr__(self, "rate", _rate(rate))
        object.__setattr__(self, "lag", _checks.non_negative("lag", lag))
        object.__setattr__(self, "resolution", _checks.non_negative("resolution", resolution))
        object.__setattr__(self, "mach_error", _mach_table(mach_error))

    def error_coefficient(self, mach: float | npt.ArrayLike) -> float | npt.NDArray[np.float64]:
        """The port's error coefficient at ``mach`` (a float or an array):
        the reading's error is this times the dynamic pressure.

        Parameters
        ----------
        mach : float or array_like
            Mach numbers; outside the table's points the end values hold,
            and NaN gives NaN.

        Returns
        -------
        float or numpy.ndarray
            A float for a scalar ``mach``, else an array of its shape; 0
            without ``mach_error``.

        Raises
        ------
        ValueError
            NumPy cannot make a float array of ``mach``.
        TypeError
            ``mach`` is of a type NumPy does not convert to float.

        Examples
        --------
        >>> Barometer(noise_sd=1.0, rate=20.0).error_coefficient(0.9)
        0.0
        >>> Barometer(noise_sd=1.0, rate=20.0, mach_error=([0.8, 1.0], [0.0, 0.1])).error_coefficient(0.9)
        0.05
        """
        if self.mach_error is None:
            return _interpolate(np.zeros(1), np.zeros(1), mach)
        return _interpolate(np.array(self.mach_error[0]), np.array(self.mach_error[1]), mach)


@dataclass(frozen=True, slots=True, kw_only=True)
class Accelerometer:
    """An accelerometer along the body axis, sampled ``rate`` times a
    second: it reads the axial specific force f (the acceleration less
    gravity, along the nose: +1 g at rest, minus the drag over the mass in
    the coast) as (1 + ``scale_error``) f + ``bias`` + white noise of
    ``noise_sd``. A 1-DOF flight takes its axis as vertical. The fields are
    the parameters, as floats; an accelerometer is immutable, hashable and
    picklable.

    Parameters
    ----------
    noise_sd : float
        The standard deviation of a reading's noise (m/s^2), finite and not
        negative.
    bias : float, default 0.0
        The reading's constant offset (m/s^2), finite.
    scale_error : float, default 0.0
        The gain's error, a fraction strictly between -1 and 1; 0: exact.
    rate : float
        Samples per second (Hz), positive and at most
        :data:`~aeso_flight.raw_sensors.MAX_SENSOR_RATE`.

    Raises
    ------
    TypeError
        A value is not a number.
    ValueError
        A value is not finite; ``noise_sd`` is negative; ``scale_error``
        is not strictly between -1 and 1; ``rate`` is zero, negative or
        above :data:`~aeso_flight.raw_sensors.MAX_SENSOR_RATE`.

    Examples
    --------
    >>> from aeso_flight.raw_sensors import Accelerometer
    >>> Accelerometer(noise_sd=0.05, bias=0.03, scale_error=0.005, rate=100.0)
    Accelerometer(noise_sd=0.05, bias=0.03, scale_error=0.005, rate=100.0)
    """

    noise_sd: float
    bias: float = 0.0
    scale_error: float = 0.0
    rate: float

    def __post_init__(self) -> None:
        object.__setattr__(self, "noise_sd", _checks.non_negative("noise_sd", self.noise_sd))
        object.__setattr__(self, "bias", _checks.real("bias", self.bias))
        scale_error = _checks.real("scale_error", self.scale_error)
        if not -1.0 < scale_error < 1.0:
            raise ValueError(f"scale_error must lie strictly between -1 and 1, not {scale_error!r}")
        object.__setattr__(self, "scale_error", scale_error)
        object.__setattr__(self, "rate", _rate(self.rate))


@dataclass(frozen=True, slots=True)
class RawSensors:
    """A flight computer's raw sensors and the estimator it reads them with,
    for :meth:`Vehicle.fly_controlled` (``sensors=``): the controller is
    shown the computer's own estimate of the state, not the truth.

    The barometer and the accelerometer sample the flight at their own
    rates, each sample at a step boundary (the state and the loop's own
    derivative there, with the brakes as they were before that instant).
    The flight computer feeds every row of samples (the samples of one
    instant) to the Kalman filter of :meth:`FlightData.estimate`, through
    the same native code and rule, from the flight's start with the
    estimator's prior standard deviations about the initial height and
    vertical velocity; the barometer's pressures become heights through
    ``believed_atmosphere`` (its pad pressure is the one the computer
    believes the pad has). At a tick the controller is shown the filter's
    estimate from the rows at or before the tick, carried forward to it by
    the filter's own prediction when the last row is earlier (rates that do
    not divide the tick rate).

    The flight computer's model of its actuator is the flight's
    :class:`~aeso_flight.Actuator`: the deployment it learns its drag with
    is the brakes' at each sample. Its estimate is vertical: a 3-DOF flight's
    accelerometer reads along the body axis, which the estimator takes as
    vertical (:class:`~aeso_flight.FlightData`), and its controller predicts
    in 1-DOF. The fields are the parameters; the value is immutable.

    Parameters
    ----------
    barometer : Barometer
        The barometer.
    accelerometer : Accelerometer
        The accelerometer.
    estimator : Estimator, default Estimator()
        The filter's noise model and prior (its ``barometer_lag`` models the
        barometer's lag; set its noise from the sensors').
    believed_atmosphere : Atmosphere, optional
        The air the computer reads its barometer in: a standard atmosphere;
        None: the air its controller believes in (a :class:`Predictive`'s
        or :class:`PID`'s ``atmosphere``, else the flight's).

    Raises
    ------
    TypeError
        A value of the wrong class.
    ValueError
        ``believed_atmosphere`` is the constant air (its pressure does not
        change with height).

    Examples
    --------
    The sensors of a typical student flight computer:

    >>> from aeso_flight import Estimator
    >>> from aeso_flight.raw_sensors import Accelerometer, Barometer, RawSensors
    >>> board = RawSensors(Barometer(noise_sd=2.0, rate=50.0, lag=0.02, resolution=1.0),
    ...                    Accelerometer(noise_sd=0.05, bias=0.03, rate=100.0),
    ...                    estimator=Estimator(barometer_sd=2.0, accelerometer_sd=0.05, bias_sd=0.05,
    ...                                        barometer_lag=0.02))
    >>> board.barometer.rate, board.accelerometer.rate
    (50.0, 100.0)
    """

    barometer: Barometer
    accelerometer: Accelerometer
    estimator: Estimator = Estimator()
    believed_atmosphere: Atmosphere | None = None

    def __post_init__(self) -> None:
        for name, kind in (("barometer", Barometer), ("accelerometer", Accelerometer), ("estimator", Estimator)):
            value = getattr(self, name)
            if not isinstance(value, kind):
                article = "an" if kind.__name__[0] in "AEIOU" else "a"
                raise TypeError(f"{name} must be {article} {kind.__name__}, not {type(value).__name__}")
        if self.believed_atmosphere is not None:
            with_pressure(self.believed_atmosphere, "believed_atmosphere")

    def _values(self, height: float, velocity: float) -> tuple[float, ...]:
        """The flight computer's native values for a flight from ``height``
        and vertical ``velocity``: the barometer's (rate, noise_sd, lag,
        resolution), the accelerometer's (rate, noise_sd, bias,
        scale_error), the estimator's settings (with the sample intervals of
        the sensors' rates, as a log of these samples gets them) and its
        prior, in the order of _arguments.COMPUTER_COLUMNS (less the drag
        prior's sd, the controller's)."""
        b, a, e = self.barometer, self.accelerometer, self.estimator
        settings = estimation.settings(e, estimation.sample_interval(1.0 / a.rate),
                                       estimation.sample_interval(1.0 / b.rate), 0.0)
        return ((b.rate, b.noise_sd, b.lag, b.resolution, a.rate, a.noise_sd, a.bias, a.scale_error) + settings
                + estimation.prior(e, height, velocity))
