"""Air brakes in closed loop: the controller the rocket will fly, its
actuator and its sensors, and what one controlled flight did.

A controlled flight (:meth:`Vehicle.fly_controlled`) ticks at ``rate`` Hz,
at t0 + k / rate (counted by index). At each tick the controller sees the
sensed state and commands a deployment; the command reaches the actuator
``delay`` s later, then is rate-limited, then passes through a first-order
lag (in that order), and the brakes move by the closed form of that motion
between events. Ticks and command arrivals are integration step boundaries,
so no step straddles them.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Literal, TypeAlias

import aeso
import numpy as np
import numpy.typing as npt

from . import _checks

if TYPE_CHECKING:
    from .atmosphere import Atmosphere
    from .vehicle import Vehicle

__all__ = ["Actuator", "ControlledFlight", "Controller", "PID", "Predictive", "Schedule", "Sensors", "TickLog"]

Model: TypeAlias = Literal["1dof", "3dof"]
_Array = npt.NDArray[np.float64]


@dataclass(frozen=True, slots=True)
class Actuator:
    """The brakes' actuator: a command is delayed by ``delay`` (s), then
    rate-limited to ``rate_limit`` (deployment per second), then passed
    through a first-order lag of time constant ``lag`` (s). The brakes start
    at ``initial``. The default is ideal: the brakes follow each command at
    once."""

    rate_limit: float = math.inf
    lag: float = 0.0
    delay: float = 0.0
    initial: float = 0.0

    def __post_init__(self) -> None:
        rate = _checks.real_or_inf("rate_limit", self.rate_limit)
        if not rate > 0.0:
            raise ValueError(f"rate_limit must be positive, not {rate!r}")
        object.__setattr__(self, "rate_limit", rate)
        object.__setattr__(self, "lag", _checks.non_negative("lag", self.lag))
        object.__setattr__(self, "delay", _checks.non_negative("delay", self.delay))
        object.__setattr__(self, "initial", _checks.level("initial", self.initial))


@dataclass(frozen=True, slots=True)
class Sensors:
    """What the controller sees: the true height plus noise of standard
    deviation ``height_sd`` (m), and the true vertical velocity times
    ``velocity_scale`` plus noise of ``velocity_sd`` (m/s). The noise is white
    (``correlation_time=0``) or first-order Gauss-Markov with that
    correlation time (s), as a state estimator's error is; it is drawn per
    tick from the flight's seed, so two designs flown on the same seed see
    the same noise. A 3-DOF predictor sees x, the angle, the horizontal
    velocity (scaled) and the angular rate as they are."""

    height_sd: float = 0.0
    velocity_sd: float = 0.0
    velocity_scale: float = 1.0
    correlation_time: float = 0.0

    def __post_init__(self) -> None:
        object.__setattr__(self, "height_sd", _checks.non_negative("height_sd", self.height_sd))
        object.__setattr__(self, "velocity_sd", _checks.non_negative("velocity_sd", self.velocity_sd))
        object.__setattr__(self, "velocity_scale", _checks.positive("velocity_scale", self.velocity_scale))
        object.__setattr__(self, "correlation_time", _checks.non_negative("correlation_time", self.correlation_time))


@dataclass(frozen=True, slots=True)
class Predictive:
    """At each tick, the deployment whose predicted apogee (brakes held from
    then on) is the target, from the sensed state, warm-started from the
    last answer. The predictor flies ``model`` ("1dof" or "3dof") with the
    ``vehicle`` and ``atmosphere`` it believes in (None: the flight's own)
    and its own ``timestep_config``; it may differ from the flight, which is
    the point of simulating it. ``target`` None: the flight's target."""

    target: float | None = None
    model: Model = "1dof"
    vehicle: Vehicle | None = None
    atmosphere: Atmosphere | None = None
    timestep_config: aeso.FixedTimeStep | aeso.AdaptiveTimeStep | None = None

    def __post_init__(self) -> None:
        _check_model(self.model)
        if self.target is not None:
            object.__setattr__(self, "target", _checks.real("target", self.target))


@dataclass(frozen=True, slots=True)
class PID:
    """A PID controller on the error of the apogee predicted with the brakes
    held as they are (``model`` "1dof" or "3dof", the flight's vehicle and
    air): deployment = kp e + ki integral(e) + kd de/dt, clamped to [0, 1]; the
    integral stops growing while the output is clamped in the direction the
    error pushes it (anti-windup). ``target`` None: the flight's target."""

    kp: float
    ki: float = 0.0
    kd: float = 0.0
    target: float | None = None
    model: Model = "1dof"

    def __post_init__(self) -> None:
        for name in ("kp", "ki", "kd"):
            object.__setattr__(self, name, _checks.real(name, getattr(self, name)))
        _check_model(self.model)
        if self.target is not None:
            object.__setattr__(self, "target", _checks.real("target", self.target))


@dataclass(frozen=True, slots=True)
class Schedule:
    """Replays a recorded actuation: at each tick the command is the level of
    the schedule (``times`` from the flight's start, ``levels`` from 0 to 1,
    linear between points, held at the ends)."""

    times: Sequence[float] | npt.ArrayLike
    levels: Sequence[float] | npt.ArrayLike

    def __post_init__(self) -> None:
        t = _checks.array("times", self.times)
        lv = _checks.array("levels", self.levels)
        _checks.same_length("times", t, "levels", lv)
        _checks.increasing("times", t)
        outside = np.flatnonzero((lv < 0.0) | (lv > 1.0))
        if outside.size:
            raise ValueError(f"levels must be from 0 to 1: {lv[int(outside[0])]!r}")
        object.__setattr__(self, "times", t)
        object.__setattr__(self, "levels", lv)


#: A controller: a built-in one (run natively, the whole flight detached
#: from the interpreter) or any callable ``f(time, sensed_state, deployment)
#: -> level`` (called at each tick; ``sensed_state`` is (height, vertical
#: velocity) in 1-DOF, the six values of aeso.InitialState3DOF in 3-DOF).
Controller: TypeAlias = Predictive | PID | Schedule | Callable[[float, tuple[float, ...], float], float]


@dataclass(frozen=True, slots=True)
class TickLog:
    """What happened at each tick, one array element per tick."""

    time: _Array
    true_height: _Array
    true_velocity: _Array  # vertical
    sensed_height: _Array
    sensed_velocity: _Array
    predicted_apogee: _Array  # the controller's prediction (NaN when it made none)
    commanded: _Array
    actual: _Array  # the deployment at the tick
    predictions: npt.NDArray[np.int64]  # predictions the decision used


@dataclass(frozen=True, slots=True)
class ControlledFlight:
    """The outcome of one controlled flight."""

    apogee: float
    target: float
    final_deployment: float
    deployment_travel: float  # the deployment's total movement, sampled at the ticks
    steps: int
    predictions: int
    ticks: TickLog = field(repr=False)

    @property
    def miss(self) -> float:
        """apogee - target (m)."""
        return self.apogee - self.target

    @classmethod
    def _from_native(cls, outcome: tuple[object, ...], target: float) -> ControlledFlight:
        """A flight from the outcome tuple of the native fly_controlled
        (a flight that reached its apogee)."""
        records = outcome[11]
        rows = (np.frombuffer(records, dtype=np.float64).reshape(-1, 9)  # type: ignore[call-overload]
                if records is not None else np.empty((0, 9)))
        log = TickLog(rows[:, 0], rows[:, 1], rows[:, 2], rows[:, 3], rows[:, 4], rows[:, 5], rows[:, 6], rows[:, 7],
                      rows[:, 8].astype(np.int64))
        return cls(float(outcome[1]), target, float(outcome[7]), float(outcome[8]),  # type: ignore[arg-type]
                   int(outcome[5]), int(outcome[10]), log)  # type: ignore[call-overload]

    def plot(self, path: str | None = None) -> object:
        """A figure of the flight against time: the altitude and the
        controller's predicted apogee with the target, and the commanded and
        actual deployment. Saved to ``path`` if given; returns the matplotlib
        Figure (needs matplotlib)."""
        from .figures import plot_controlled_flight

        return plot_controlled_flight(self, path)


def _check_model(model: str) -> None:
    if model not in ("1dof", "3dof"):
        raise ValueError(f'model must be "1dof" or "3dof", not {model!r}')
