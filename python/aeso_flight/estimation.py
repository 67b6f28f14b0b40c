"""The state estimator's settings and what it estimates: :class:`Estimator`
(the noise model and the prior) and :class:`StateEstimate` (a flight's
height, velocity and accelerometer bias at each sample, with their
covariance)."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Final

import aeso
import numpy as np
import numpy.typing as npt

from . import _checks

if TYPE_CHECKING:
    from .atmosphere import Atmosphere
    from .flight_data import FlightData

__all__ = ["Estimator", "StateEstimate"]

#: The pad holds the rocket still: before launch the velocity is 0 within this (m/s).
REST_VELOCITY_SD: Final = 0.01
#: An accelerometer reading is held for at most this many of the
#: accelerometer's median sample intervals, and at least MIN_HOLD s; then
#: the filter goes on as without an accelerometer until the next reading.
HOLD_INTERVALS: Final = 10.0
MIN_HOLD: Final = 0.05
#: The barometer's dynamic error changes over about this long (s).
DYNAMIC_ERROR_TIME: Final = 1.0
G0: Final = 9.80665
#: The fewest samples of a sensor on the pad that Estimator.from_pad measures.
MIN_PAD_SAMPLES: Final = 10

_Array = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Estimator:
    """The state estimator's noise model and prior: an immutable value.

    The estimator is a Kalman filter over the height above the pad, the
    vertical velocity and the accelerometer's bias (its smoother runs after
    the flight). The accelerometer drives it: its last reading is held until
    the next, and the vertical acceleration is that reading less the bias
    less 1 g (the axis taken as vertical). The barometer corrects the height
    through the :class:`Atmosphere`; a reading more than ``gate`` standard
    deviations from the prediction is not used (a barometer reads hundreds
    of metres low near Mach 1, and logs hold glitches). Without an
    accelerometer (none in the data, none yet, or none for 10 of its sample
    intervals) the third state is minus the vertical acceleration, a random
    walk of ``acceleration_drift``; without a barometer nothing
    corrects the height, and its standard deviation grows.

    Set the sensor values from a pad recording with :meth:`from_pad`: the
    standard deviations of the pressure and of the accelerometer while the
    rocket stands still, and the bias as the accelerometer's mean there less
    1 g (less g cos(rail angle) on a tilted rail).

    Parameters
    ----------
    barometer_sd : float, default 8.0
        One pressure reading's noise (Pa; about 0.7 m at sea level, 1 m at
        3 km). Its resolution counts too: a step of r Pa adds r/sqrt(12).
    accelerometer_sd : float, default 0.5
        One accelerometer reading's noise (m/s^2), resolution included.
    process_noise : float, default 0.5
        The acceleration the held reading does not explain, a white noise of
        this spectral density (m/s^2 per sqrt(Hz)): the axis's tilt, the
        hold between readings.
    bias : float, default 0.0
        The accelerometer bias's prior mean (m/s^2): its reading at rest
        less 1 g.
    bias_sd : float, default 0.5
        Its prior standard deviation (m/s^2).
    bias_drift : float, default 0.01
        The bias's random walk (m/s^2 per sqrt(s)).
    dynamic_error : float, default 0.1
        The barometer's error per unit of dynamic pressure, as a standard
        deviation: a static port reads off by some per cent of the dynamic
        pressure (about 6 % near Mach 0.9 on Prometheus), so the barometer
        counts little at speed and fully near apogee.
    acceleration_drift : float, default 20.0
        Without an accelerometer: the random walk of the vertical
        acceleration (m/s^3 per sqrt(Hz)); the prior of the acceleration has
        the standard deviation of one second of it.
    height_sd : float, default 0.5
        The prior height's standard deviation (m).
    velocity_sd : float, default 0.1
        The prior velocity's standard deviation (m/s).
    gate : float, default 5.0
        A barometer reading whose innovation exceeds this many of its
        standard deviations is not used.

    Raises
    ------
    TypeError
        A value is not a number.
    ValueError
        A value is not finite or not positive (``bias`` may be any finite
        number; ``gate`` must be at least 1).

    Examples
    --------
    >>> from aeso_flight import Estimator
    >>> Estimator().barometer_sd
    8.0
    >>> Estimator(accelerometer_sd=0.05).accelerometer_sd
    0.05
    """

    barometer_sd: float = 8.0
    accelerometer_sd: float = 0.5
    process_noise: float = 0.5
    bias: float = 0.0
    bias_sd: float = 0.5
    bias_drift: float = 0.01
    dynamic_error: float = 0.1
    acceleration_drift: float = 20.0
    height_sd: float = 0.5
    velocity_sd: float = 0.1
    gate: float = 5.0

    def __post_init__(self) -> None:
        for name in ("barometer_sd", "accelerometer_sd", "process_noise", "bias_sd", "bias_drift",
                     "dynamic_error", "acceleration_drift", "height_sd", "velocity_sd"):
            object.__setattr__(self, name, _checks.positive(name, getattr(self, name)))
        object.__setattr__(self, "bias", _checks.real("bias", self.bias))
        gate = _checks.real("gate", self.gate)
        if not gate >= 1.0:
            raise ValueError(f"gate must be at least 1 standard deviation, not {gate!r}")
        object.__setattr__(self, "gate", gate)

    @classmethod
    def from_pad(cls, data: FlightData, **values: float) -> Estimator:
        """An estimator whose sensor noise and bias are those measured on the
        pad: the samples of ``data`` before its launch.

        Parameters
        ----------
        data : FlightData
            A log with samples before its launch: a sensor with at least 10
            of them is measured, the others keep the defaults.
        **values : float
            Any other field of the estimator (a given sensor value wins over
            the measured one).

        Returns
        -------
        Estimator
            ``barometer_sd`` the pad pressure's standard deviation (at least
            1 Pa), ``accelerometer_sd`` the specific force's (at least
            0.01 m/s^2), ``bias`` its mean less 1 g.

        Raises
        ------
        ValueError
            No sensor with 10 samples before the launch, or no launch
            detected (give ``launch`` to the data).

        Examples
        --------
        >>> import numpy as np
        >>> from aeso_flight import Estimator, FlightData
        >>> t = np.arange(-2.0, 1.0, 0.01)
        >>> rng = np.random.default_rng(1)
        >>> pad_log = FlightData(t, pressure=101325.0 + rng.normal(0.0, 3.0, t.size),
        ...                      acceleration=9.80665 + 0.2 + rng.normal(0.0, 0.1, t.size), launch=0.0)
        >>> pad = Estimator.from_pad(pad_log)
        >>> round(pad.barometer_sd), round(pad.accelerometer_sd, 2), round(pad.bias, 2)
        (3, 0.09, 0.21)
        """
        if data.launch is None:
            raise ValueError("the data has no launch: give FlightData(..., launch=) to mark the pad's samples")
        before = data.time < data.launch
        measured: dict[str, float] = {}
        counts = []
        pressure = data.pressure_samples()
        if pressure is not None:
            p = pressure[before & ~np.isnan(pressure)]
            counts.append(f"{p.size} pressure")
            if p.size >= MIN_PAD_SAMPLES:
                measured["barometer_sd"] = max(1.0, float(np.std(p, ddof=1)))
        f = data.specific_force
        if f is not None:
            a = f[before & ~np.isnan(f)]
            counts.append(f"{a.size} accelerometer")
            if a.size >= MIN_PAD_SAMPLES:
                measured["accelerometer_sd"] = max(0.01, float(np.std(a, ddof=1)))
                measured["bias"] = float(np.mean(a)) - G0
        if not measured:
            raise ValueError(f"{' and '.join(counts)} samples before launch: a pad recording needs "
                             f"at least {MIN_PAD_SAMPLES} of a sensor")
        measured.update(values)
        return cls(**measured)


@dataclass(frozen=True, eq=False)
class StateEstimate:
    """A flight's estimated vertical state at each sample of its data.

    Built by :meth:`FlightData.estimate`.

    Attributes
    ----------
    time : numpy.ndarray
        The data's sample times (s, up to ``until``).
    height, velocity : numpy.ndarray
        At each, the height above the pad (m) and the vertical velocity
        (m/s).
    bias : numpy.ndarray
        The accelerometer's bias (m/s^2; without an accelerometer, minus the
        vertical acceleration); NaN where no accelerometer reading drives the
        filter.
    covariance : numpy.ndarray
        n x 3 x 3, of the height, the velocity and the bias (where the bias
        is NaN, the third row and column are minus the vertical
        acceleration's).
    barometer : numpy.ndarray
        Per sample 1 (a barometer sample used), 0 (one refused by the gate)
        or -1 (none).
    smoothed : bool
        Whether the values are the smoother's (every sample's information)
        or the filter's (each sample's own and earlier ones: what a flight
        computer knows then).
    gated : int
        The barometer samples the gate refused.
    height_sd, velocity_sd, bias_sd : numpy.ndarray
        The standard deviations, from ``covariance``.

    Examples
    --------
    >>> estimate = data.estimate(log_air)
    >>> estimate
    <StateEstimate smoothed, 2100 samples from -1 s to 19.99 s>
    >>> state, covariance = estimate.at(5.0)
    >>> round(state.initial_velocity), covariance.shape
    (150, (2, 2))
    """

    time: _Array
    height: _Array
    velocity: _Array
    bias: _Array
    covariance: npt.NDArray[np.float64]
    barometer: npt.NDArray[np.int8]
    smoothed: bool
    gated: int
    height_sd: _Array = field(init=False)
    velocity_sd: _Array = field(init=False)
    bias_sd: _Array = field(init=False)

    def __post_init__(self) -> None:
        for name, i in (("height_sd", 0), ("velocity_sd", 1), ("bias_sd", 2)):
            sd = np.sqrt(np.maximum(self.covariance[:, i, i], 0.0))
            sd.setflags(write=False)
            object.__setattr__(self, name, sd)

    def at(self, t: float) -> tuple[aeso.InitialState1DOF, npt.NDArray[np.float64]]:
        """The state and its 2 x 2 covariance (height, velocity) at time ``t``:
        a sample's own values, linear between samples.

        Parameters
        ----------
        t : float
            A time (s) within ``time``.

        Returns
        -------
        state : aeso.InitialState1DOF
            The height above the pad and the vertical velocity.
        covariance : numpy.ndarray
            2 x 2: the covariance of height (m) and velocity (m/s).

        Raises
        ------
        ValueError
            ``t`` is not finite or lies outside ``time``.

        Examples
        --------
        >>> state, covariance = estimate.at(5.0)
        >>> bool(covariance[0, 0] > 0.0)
        True
        """
        s = _checks.real("t", t)
        if not self.time[0] <= s <= self.time[-1]:
            raise ValueError(f"t {s!r} s lies outside the estimate's times, {self.time[0]!r} to {self.time[-1]!r} s")
        i = int(np.searchsorted(self.time, s, side="right")) - 1
        if i >= self.time.size - 1 or self.time[i] == s:
            w, j = 0.0, min(i, self.time.size - 1)
            k = j
        else:
            j, k = i, i + 1
            w = (s - self.time[j]) / (self.time[k] - self.time[j])
        h = (1.0 - w) * self.height[j] + w * self.height[k]
        v = (1.0 - w) * self.velocity[j] + w * self.velocity[k]
        c = (1.0 - w) * self.covariance[j, :2, :2] + w * self.covariance[k, :2, :2]
        return aeso.InitialState1DOF(float(h), float(v)), np.array(c)

    def __repr__(self) -> str:
        kind = "smoothed" if self.smoothed else "filtered"
        return f"<StateEstimate {kind}, {self.time.size} samples from {self.time[0]:g} s to {self.time[-1]:g} s>"


def settings(estimator: Estimator, accelerometer_interval: float | None, barometer_interval: float | None,
             rest_until: float) -> tuple[float, ...]:
    """The native filter's settings, in the order of EstimatorSettings."""
    interval = accelerometer_interval or 0.0
    psd = estimator.accelerometer_sd**2 * interval + estimator.process_noise**2
    hold = max(HOLD_INTERVALS * interval, MIN_HOLD)
    # The dynamic error changes slowly: the readings of one DYNAMIC_ERROR_TIME
    # count as one.
    readings = DYNAMIC_ERROR_TIME / barometer_interval if barometer_interval else 1.0
    dynamic = estimator.dynamic_error * math.sqrt(max(readings, 1.0))
    return (estimator.barometer_sd, dynamic, estimator.dynamic_error, psd, estimator.bias_drift**2,
            estimator.acceleration_drift**2, estimator.accelerometer_sd, hold, estimator.gate, REST_VELOCITY_SD,
            rest_until, estimator.bias, estimator.bias_sd)


def prior(estimator: Estimator, height: float, velocity: float) -> tuple[float, ...]:
    """The native filter's prior: (height, velocity, minus the acceleration,
    and their sds); the bias's comes with the first reading."""
    return (height, velocity, 0.0, estimator.height_sd, estimator.velocity_sd, estimator.acceleration_drift * 1.0)


def finite_or_nan(value: float) -> float:
    return value if math.isfinite(value) else float("nan")


def build(time: _Array, means: _Array, covariances: _Array, barometer: npt.NDArray[np.int8], smoothed: bool,
          gated: int, driven: npt.NDArray[np.int8]) -> StateEstimate:
    """A StateEstimate from the native run's outputs (read-only arrays)."""
    m = means.reshape(-1, 3)
    c = covariances.reshape(-1, 3, 3)
    bias = np.where(driven == 1, m[:, 2], np.nan)
    arrays = [np.array(time), m[:, 0].copy(), m[:, 1].copy(), bias, c.copy(), barometer.copy()]
    for a in arrays:
        a.setflags(write=False)
    return StateEstimate(arrays[0], arrays[1], arrays[2], arrays[3], arrays[4], arrays[5], smoothed, gated)
