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
from typing import TYPE_CHECKING, Any, Literal, TypeAlias, cast

import aeso
import numpy as np
import numpy.typing as npt

from . import _checks
from ._native import SAMPLE_COLUMNS, TICK_COLUMNS

if TYPE_CHECKING:
    from ._native import ControlledResult
    from .atmosphere import Atmosphere
    from .flight_data import FlightData
    from .vehicle import Vehicle

    # The model a predictor flies.
    _Model: TypeAlias = Literal["1dof", "3dof"]
    # A frame of heights: the true height above the pad, or a pad-zeroed
    # barometric altimeter's reading (Atmosphere.pressure_altitude).
    _Frame: TypeAlias = Literal["true", "barometric"]

FRAMES: tuple[str, ...] = ("true", "barometric")

__all__ = ["Actuator", "ControlledFlight", "Controller", "PID", "Predictive", "Schedule", "Sensors", "TickLog"]

_Array = npt.NDArray[np.float64]


@dataclass(frozen=True, slots=True)
class Actuator:
    """The brakes' actuator: a command is delayed by ``delay`` (s), then
    rate-limited to ``rate_limit`` (deployment per second), then passed
    through a first-order lag of time constant ``lag`` (s). The brakes start
    at ``initial``. The default is ideal: the brakes follow each command at
    once.

    Between two events (a command's arrival, the rate-limited signal
    reaching its command) the brakes move by the closed form of that
    motion, and each event is an integration step boundary. The fields are
    the parameters, as floats; an actuator is immutable.

    Parameters
    ----------
    rate_limit : float, default inf
        The fastest the deployment moves (per second), positive; inf: no
        limit.
    lag : float, default 0.0
        The time constant of the first-order lag (s), finite and not
        negative; 0: no lag.
    delay : float, default 0.0
        The time from a command to its arrival at the actuator (s), finite
        and not negative.
    initial : float, default 0.0
        The deployment at the start, from 0 to 1.

    Raises
    ------
    TypeError
        A value is not a number.
    ValueError
        ``rate_limit`` is NaN, -inf, a bool or not positive; ``lag`` or
        ``delay`` is not finite or is negative; ``initial`` lies outside
        [0, 1] or is not finite.

    Examples
    --------
    >>> from aeso_flight import Actuator
    >>> Actuator(rate_limit=2.0, lag=0.05, delay=0.02)
    Actuator(rate_limit=2.0, lag=0.05, delay=0.02, initial=0.0)
    """

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
    velocity (scaled) and the angular rate as they are.

    The Gauss-Markov noise keeps the standard deviation given, sd: the
    first tick's is drawn with it, and from one tick to the next the noise
    is multiplied by phi = exp(-interval / correlation_time) and a draw of
    standard deviation sd sqrt(1 - phi^2) is added. The fields are the
    parameters, as floats; sensors are immutable.

    Parameters
    ----------
    height_sd : float, default 0.0
        The standard deviation of the height's noise (m), not negative.
    velocity_sd : float, default 0.0
        The standard deviation of the vertical velocity's noise (m/s), not
        negative.
    velocity_scale : float, default 1.0
        The factor on the true velocity, positive.
    correlation_time : float, default 0.0
        The noise's correlation time (s), not negative; 0: white noise.

    Raises
    ------
    TypeError
        A value is not a number.
    ValueError
        A value is not finite, negative, or (``velocity_scale``) zero.

    Examples
    --------
    >>> from aeso_flight import Sensors
    >>> Sensors(height_sd=1.0, velocity_sd=0.5, correlation_time=0.5)
    Sensors(height_sd=1.0, velocity_sd=0.5, velocity_scale=1.0, correlation_time=0.5)
    """

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
    the point of simulating it. ``target`` None: the flight's target.

    It predicts with the flight's method, and its ``max_iterations`` (None:
    the flight's). At a tick whose sensed vertical velocity is at or below
    0.5 m/s, or whose search fails, it keeps its last command; a flight whose
    decisions failed says how many (``ControlledFlight.failed_decisions``)
    and warns. Each decision searches the vehicle's brake table as given: a
    table whose drag falls with deployment somewhere is searched row by row
    there first (see :meth:`Vehicle.deployment_for_apogee`). The fields are
    the parameters; a controller is immutable.

    Parameters
    ----------
    target : float, optional
        The apogee it aims at (m above the pad), finite; None: the flight's
        target.
    model : {"1dof", "3dof"}, default "1dof"
        The predictor's model; "3dof" needs a 3-DOF flight.
    vehicle : Vehicle, optional
        The vehicle it believes in (with brakes, and its ``drag_scale``);
        None: the flight's.
    atmosphere : Atmosphere, optional
        The air it believes in; None: the flight's.
    timestep_config : aeso.FixedTimeStep or aeso.AdaptiveTimeStep, optional
        The predictor's step options; None: the method's default.
    max_iterations : int, optional
        The most steps of a prediction, from 0 to 2^64 - 1; None: the
        flight's.
    frame : {"true", "barometric"}, optional
        The frame of its target and predicted apogees: the true height above
        the pad, or what a pad-zeroed barometric altimeter reads
        (:meth:`Atmosphere.pressure_altitude`) in the air it believes in;
        None: the flight's (``fly_controlled(frame=)``).
    learn_drag : bool, default False
        Learn a factor on its vehicle's whole drag (body and brakes) in
        flight, from the accelerometer's deceleration since the start (it
        needs :class:`~aeso_flight.raw_sensors.RawSensors`): the recursive
        least-squares fit :meth:`Vehicle.fit_drag` makes of the samples so
        far, with the prior ``drag_prior_sd``; the predictions use it.
    drag_prior_sd : float, default 0.1
        The prior's standard deviation about a factor of 1, finite and
        positive.

    Raises
    ------
    TypeError
        ``target`` or ``drag_prior_sd`` is not a number; ``max_iterations``
        is not an integer; ``learn_drag`` is not a bool.
    ValueError
        ``target`` or ``drag_prior_sd`` is not finite (or the latter not
        positive), ``model`` is neither "1dof" nor "3dof", ``frame`` neither
        "true", "barometric" nor None, or ``max_iterations`` is negative.
        The vehicle and the air are checked when it flies
        (:meth:`Vehicle.fly_controlled`).
    OverflowError
        ``max_iterations`` above 2^64 - 1.

    Examples
    --------
    A predictor that believes in aeso's constant air flies past the target
    in the real one (``braked``, ``state`` and ``air`` of the
    :class:`Vehicle` examples):

    >>> from aeso_flight import Atmosphere, Predictive
    >>> mistaken = Predictive(atmosphere=Atmosphere.constant())
    >>> believed = braked.fly_controlled(state, aeso.OdeMethod.RK45, atmosphere=air,
    ...                                  target=2300.0, controller=mistaken, rate=20.0)
    >>> round(believed.miss, 1)
    11.3
    """

    target: float | None = None
    model: _Model = "1dof"
    vehicle: Vehicle | None = None
    atmosphere: Atmosphere | None = None
    timestep_config: aeso.FixedTimeStep | aeso.AdaptiveTimeStep | None = None
    max_iterations: int | None = None
    frame: _Frame | None = None
    learn_drag: bool = False
    drag_prior_sd: float = 0.1

    def __post_init__(self) -> None:
        _check_predictor(self)


@dataclass(frozen=True, slots=True)
class PID:
    """A PID controller on the error of the apogee predicted with the brakes
    held as they are (``model`` "1dof" or "3dof", with the ``vehicle`` and
    ``atmosphere`` it believes in, None: the flight's): deployment = kp e +
    ki integral(e) + kd de/dt, clamped to [0, 1]; the integral stops growing
    while the output is clamped in the direction the error pushes it
    (anti-windup). ``target`` None: the flight's target.

    The error e is the predicted apogee minus the target (m); the integral
    is the sum of e times the tick interval, and de/dt the difference from
    the last tick's error over the interval (0 at the first decision). The
    predictor flies with the flight's method, its ``timestep_config`` (None:
    the method's default) and its ``max_iterations`` (None: the flight's).
    At a tick whose sensed vertical velocity is at or below 0.5 m/s, or
    whose prediction fails, it keeps its last command (counted in
    ``ControlledFlight.failed_decisions``). A command that is not a number
    (gains whose terms overflow and cancel) ends the flight with
    :class:`FlightError` ("controller_failed"). The fields are the
    parameters; a controller is immutable.

    Parameters
    ----------
    kp : float
        The proportional gain (deployment per metre of error).
    ki : float, default 0.0
        The integral gain (per metre second).
    kd : float, default 0.0
        The derivative gain (per metre per second of change).
    target : float, optional
        The apogee it aims at (m above the pad); None: the flight's target.
    model : {"1dof", "3dof"}, default "1dof"
        The predictor's model; "3dof" needs a 3-DOF flight.
    vehicle, atmosphere, timestep_config, max_iterations
        What it predicts with, as for :class:`Predictive`.
    frame, learn_drag, drag_prior_sd
        Its target's frame and the drag it learns, as for
        :class:`Predictive` (the error is the predicted apogee in that frame
        less the target).

    Raises
    ------
    TypeError
        A gain, ``target`` or ``drag_prior_sd`` is not a number;
        ``max_iterations`` is not an integer; ``learn_drag`` is not a bool.
    ValueError
        A gain or ``target`` is not finite, ``model`` is neither "1dof"
        nor "3dof", ``frame`` is not one, ``drag_prior_sd`` is not finite
        and positive, or ``max_iterations`` is negative.
    OverflowError
        ``max_iterations`` above 2^64 - 1.

    Examples
    --------
    >>> from aeso_flight import PID
    >>> pid_flight = braked.fly_controlled(state, aeso.OdeMethod.RK45, atmosphere=air,
    ...                                    target=2300.0, controller=PID(kp=0.002, ki=0.001),
    ...                                    rate=20.0)
    >>> round(pid_flight.miss, 1)
    5.6
    """

    kp: float
    ki: float = 0.0
    kd: float = 0.0
    target: float | None = None
    model: _Model = "1dof"
    vehicle: Vehicle | None = None
    atmosphere: Atmosphere | None = None
    timestep_config: aeso.FixedTimeStep | aeso.AdaptiveTimeStep | None = None
    max_iterations: int | None = None
    frame: _Frame | None = None
    learn_drag: bool = False
    drag_prior_sd: float = 0.1

    def __post_init__(self) -> None:
        for name in ("kp", "ki", "kd"):
            object.__setattr__(self, name, _checks.real(name, getattr(self, name)))
        _check_predictor(self)


@dataclass(frozen=True, slots=True, eq=False)
class Schedule:
    """Replays a recorded actuation: at each tick the command is the level of
    the schedule (``times`` from the flight's start, ``levels`` from 0 to 1,
    linear between points, held at the ends). The fields are the
    parameters, as read-only float64 arrays; a schedule is immutable.

    Parameters
    ----------
    times : sequence of float
        The times of the points (s from the flight's start): at least one,
        finite, strictly increasing.
    levels : sequence of float
        The deployment at each, from 0 to 1; as many as ``times``.

    Raises
    ------
    TypeError
        ``times`` or ``levels`` is not a sequence of numbers.
    ValueError
        Not one-dimensional, a value not finite, no point, lengths that
        differ, times that do not strictly increase, or a level outside
        [0, 1].

    Examples
    --------
    >>> from aeso_flight import Schedule
    >>> replay = braked.fly_controlled(state, aeso.OdeMethod.RK45, atmosphere=air, target=2300.0,
    ...                                controller=Schedule(times=[0.0, 3.0], levels=[0.0, 0.6]),
    ...                                rate=20.0)
    >>> replay.final_deployment, round(replay.apogee, 1)
    (0.6, 2269.8)
    """

    times: Sequence[float] | npt.ArrayLike
    levels: Sequence[float] | npt.ArrayLike

    def __post_init__(self) -> None:
        t = _checks.array("times", self.times)
        lv = _checks.array("levels", self.levels)
        _checks.same_length("times", t, "levels", lv)
        _checks.increasing("times", t)
        outside = np.flatnonzero((lv < 0.0) | (lv > 1.0))
        if outside.size:
            raise ValueError(f"levels must be from 0 to 1: {float(lv[int(outside[0])])!r}")
        object.__setattr__(self, "times", t)
        object.__setattr__(self, "levels", lv)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Schedule):
            return NotImplemented
        return _arrays_equal(self, other, ("times", "levels"))

    def __hash__(self) -> int:
        return _arrays_hash(self, ("times", "levels"))


#: A controller: a built-in one (run natively, the whole flight detached
#: from the interpreter) or any callable ``f(time, sensed_state, deployment)
#: -> level`` (called at each tick; ``sensed_state`` is (height, vertical
#: velocity) in 1-DOF, the six values of aeso.InitialState3DOF in 3-DOF).
Controller: TypeAlias = Predictive | PID | Schedule | Callable[[float, tuple[float, ...], float], float]


@dataclass(frozen=True, slots=True, eq=False)
class TickLog:
    """What happened at each tick, one array element per tick.

    Made by :meth:`Vehicle.fly_controlled` as ``ControlledFlight.ticks``;
    its arrays are empty when the flight was flown with ``record=False``.
    The first tick is at the start, before any step. An immutable value: its
    arrays are read-only; two logs are equal when their arrays are (NaN
    equal to NaN), and hash alike then.

    Attributes
    ----------
    time : numpy.ndarray
        The tick's time (s).
    true_height : numpy.ndarray
        The true height (m above the pad).
    true_velocity : numpy.ndarray
        The true vertical velocity (m/s).
    sensed_height : numpy.ndarray
        The height the controller saw (m).
    sensed_velocity : numpy.ndarray
        The vertical velocity the controller saw (m/s).
    predicted_apogee : numpy.ndarray
        The controller's prediction (m above the pad), NaN when it made
        none.
    commanded : numpy.ndarray
        The deployment the controller commanded (its last command again
        when it kept it).
    actual : numpy.ndarray
        The deployment at the tick.
    predictions : numpy.ndarray
        Int64: the predictions the decision used.
    estimated_height, estimated_velocity : numpy.ndarray
        With :class:`~aeso_flight.raw_sensors.RawSensors`, the flight
        computer's estimate at the tick (m, m/s; the rows of samples at or
        before the tick, carried to it), also ``sensed_height`` and
        ``sensed_velocity``; NaN otherwise.
    estimated_height_sd, estimated_velocity_sd : numpy.ndarray
        Their standard deviations (NaN without raw sensors).
    learned_scale, learned_scale_sd : numpy.ndarray
        The factor on the controller's drag learned so far and its standard
        deviation (``learn_drag``; NaN otherwise).

    Examples
    --------
    The ticks of the flight of the :meth:`Vehicle.fly_controlled` example:

    >>> ticks = flight.ticks
    >>> ticks.time[:3], ticks.predictions[:3]
    (array([0.  , 0.05, 0.1 ]), array([5, 3, 3]))
    """

    time: _Array
    true_height: _Array
    true_velocity: _Array  # vertical
    sensed_height: _Array
    sensed_velocity: _Array
    predicted_apogee: _Array  # the controller's prediction (NaN when it made none)
    commanded: _Array
    actual: _Array  # the deployment at the tick
    predictions: npt.NDArray[np.int64]  # predictions the decision used
    estimated_height: _Array  # the on-board estimate (NaN without raw sensors)
    estimated_velocity: _Array
    estimated_height_sd: _Array
    estimated_velocity_sd: _Array
    learned_scale: _Array  # the drag scale learned so far (NaN when not learning)
    learned_scale_sd: _Array

    @classmethod
    def _from_records(cls, records: bytes | bytearray | None) -> TickLog:
        """The log of the native tick records (TICK_COLUMNS float64 values a
        tick), read by column name."""
        width = len(TICK_COLUMNS)
        rows = (np.frombuffer(records, dtype=np.float64).reshape(-1, width) if records is not None
                else np.empty((0, width)))
        columns = {}
        for i, name in enumerate(TICK_COLUMNS):
            column = rows[:, i].astype(np.int64) if name == "predictions" else rows[:, i].copy()
            column.setflags(write=False)
            columns[name] = column
        return cls(**cast("dict[str, Any]", columns))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, TickLog):
            return NotImplemented
        return _arrays_equal(self, other, TICK_COLUMNS)

    def __hash__(self) -> int:
        return _arrays_hash(self, TICK_COLUMNS)


if tuple(TickLog.__dataclass_fields__) != TICK_COLUMNS:
    raise ImportError(f"TickLog's fields {list(TickLog.__dataclass_fields__)} do not match the native tick columns "
                      f"{list(TICK_COLUMNS)}: the build is out of date")


@dataclass(frozen=True, slots=True)
class ControlledFlight:
    """The outcome of one controlled flight.

    Made by :meth:`Vehicle.fly_controlled`; an immutable value.

    Attributes
    ----------
    apogee : float
        The apogee: its true height above the pad (m).
    target : float
        The flight's target (m), in ``frame``.
    final_deployment : float
        The brakes' deployment at apogee.
    deployment_travel : float
        The deployment's total movement, sampled at the ticks and at apogee.
    steps : int
        The integration steps of the flight.
    predictions : int
        The predictions the controller made, in all.
    ticks : TickLog
        What happened at each tick.
    failed_decisions : int
        The decisions whose prediction failed (the controller kept its last
        command at them): 0 unless its own air or vehicle could not hold the
        predicted flight (:meth:`Vehicle.fly_controlled` then warns).
    frame : str
        The frame of the target and the miss: ``"true"`` (the height above
        the pad) or ``"barometric"`` (what a pad-zeroed barometric altimeter
        reads in the flight's air: the scored apogee).
    barometric_apogee : float or None
        The altimeter's reading at apogee in the flight's air
        (:meth:`Atmosphere.pressure_altitude` of ``apogee``); None in the
        constant air, where an altimeter reads nothing.
    learned_scale, learned_scale_sd : float or None
        The factor on its drag the controller had learned at the end, and
        its standard deviation (``learn_drag``); None otherwise.
    sensor_log : FlightData or None
        With :class:`~aeso_flight.raw_sensors.RawSensors` (and ``record``),
        the samples the flight computer read: pressure, specific force and
        the brakes' deployment as it knew it, one row per sample instant,
        launch and burnout at the flight's start (it starts at burnout);
        None otherwise. Its filter estimate from ``initial_estimate``
        (``sensor_log.estimate(believed air, estimator=..., smoothed=False,
        initial=initial_estimate)``) is the estimate the computer had, row
        by row, to the bit.
    initial_estimate : aeso.InitialState1DOF or None
        With raw sensors, the state the on-board estimator started from: the
        height its barometer's frame (the air it believes in) gives the
        static pressure at the start (the true height when it believes in
        the flight's air) and the true vertical velocity; None otherwise.
    estimator_start : tuple of float or None
        The same two values, (height, vertical velocity), or None.

    Two flights are equal, and hash alike, when their outcomes and tick logs
    are (the sensor log and the estimator's start, which the tick log's
    estimates come from, are not compared).

    Examples
    --------
    The flight of the :meth:`Vehicle.fly_controlled` example:

    >>> flight.target, round(flight.final_deployment, 3), flight.steps, flight.predictions
    (2300.0, 0.532, 1029, 1107)
    >>> flight.frame, round(flight.barometric_apogee, 2), flight.sensor_log is None
    ('true', 2299.75, True)
    """

    apogee: float
    target: float
    final_deployment: float
    deployment_travel: float  # the deployment's total movement, sampled at the ticks
    steps: int
    predictions: int
    ticks: TickLog = field(repr=False)
    failed_decisions: int = 0
    frame: _Frame = "true"
    barometric_apogee: float | None = None
    learned_scale: float | None = None
    learned_scale_sd: float | None = None
    # The sensor log and the estimator's start are what the tick log's
    # estimates come from: two flights compare (and hash) by the rest.
    sensor_log: FlightData | None = field(default=None, repr=False, compare=False)
    estimator_start: tuple[float, float] | None = field(default=None, repr=False, compare=False)

    @property
    def initial_estimate(self) -> aeso.InitialState1DOF | None:
        """With raw sensors, the state the on-board estimator started from
        (see the class's attributes); None otherwise.

        Examples
        --------
        >>> flight.initial_estimate is None
        True
        """
        return None if self.estimator_start is None else aeso.InitialState1DOF(*self.estimator_start)

    @property
    def miss(self) -> float:
        """The apogee less the target, in the target's frame (m): positive
        past the target, negative short of it.

        Examples
        --------
        >>> round(flight.miss, 2)
        -0.25
        """
        apogee = self.barometric_apogee if self.frame == "barometric" else self.apogee
        return apogee - self.target  # type: ignore[operator]

    @classmethod
    def _from_native(cls, outcome: ControlledResult, target: float, frame: _Frame, atmosphere: Atmosphere,
                     start: float, climb: float) -> ControlledFlight:
        """A flight from the result of the native fly_controlled (a flight
        that reached its apogee) in the air `atmosphere`, from its state at
        `start` s climbing at `climb` m/s."""
        apogee = outcome.flight.apogee
        barometric = None if atmosphere.kind == "constant" else float(atmosphere.pressure_altitude(apogee))
        learned = math.isfinite(outcome.learned_scale)
        raw = math.isfinite(outcome.start_height)
        return cls(apogee, target, outcome.final_deployment, outcome.travel, outcome.flight.steps,
                   outcome.predictions, TickLog._from_records(outcome.records), outcome.failed_decisions, frame,
                   barometric, outcome.learned_scale if learned else None,
                   outcome.learned_scale_sd if learned else None, _sensor_log(outcome.samples, atmosphere, start),
                   (outcome.start_height, climb) if raw else None)

    def plot(self, path: str | None = None) -> object:
        """A figure of the flight against time, in three panels: the altitude
        with the target, the controller's predicted apogee minus the target,
        and the commanded and actual deployment. Saved to ``path`` if given;
        returns the matplotlib Figure (needs matplotlib).

        Parameters
        ----------
        path : str, optional
            A file to save the figure to (at 120 dpi, its format from the
            suffix); None: not saved.

        Returns
        -------
        matplotlib.figure.Figure
            The figure.

        Raises
        ------
        ModuleNotFoundError
            matplotlib is not installed.

        Examples
        --------
        >>> import matplotlib.pyplot as plt
        >>> figure = flight.plot()
        >>> len(figure.axes)
        3
        >>> plt.close(figure)
        """
        from .figures import plot_controlled_flight

        return plot_controlled_flight(self, path)


def check_frame(name: str, frame: object) -> _Frame:
    """A frame of heights: "true" or "barometric"."""
    if frame not in FRAMES:
        raise ValueError(f'{name} must be "true" or "barometric", not {frame!r}')
    return frame  # type: ignore[return-value]


def _sensor_log(records: bytes | bytearray | None, atmosphere: Atmosphere, start: float) -> FlightData | None:
    """The flight computer's samples (SAMPLE_COLUMNS float64 values a row),
    read by column name, as a FlightData launched and burnt out at the
    flight's start."""
    if records is None:
        return None
    from .flight_data import FlightData

    rows = np.frombuffer(records, dtype=np.float64).reshape(-1, len(SAMPLE_COLUMNS))
    c = {name: rows[:, i] for i, name in enumerate(SAMPLE_COLUMNS)}
    return FlightData(c["time"], pressure=c["pressure"], acceleration=c["specific_force"],
                      deployment=c["deployment"], site_elevation=atmosphere.site_elevation, launch=start,
                      burnout=start)


def _check_predictor(controller: Predictive | PID) -> None:
    """Checks and converts what a Predictive or PID predicts with."""
    if controller.model not in ("1dof", "3dof"):
        raise ValueError(f'model must be "1dof" or "3dof", not {controller.model!r}')
    if controller.frame is not None:
        check_frame("frame", controller.frame)
    if not isinstance(controller.learn_drag, (bool, np.bool_)):
        raise TypeError(f"learn_drag must be a bool, not {type(controller.learn_drag).__name__}")
    object.__setattr__(controller, "learn_drag", bool(controller.learn_drag))
    object.__setattr__(controller, "drag_prior_sd", _checks.positive("drag_prior_sd", controller.drag_prior_sd))
    if controller.target is not None:
        object.__setattr__(controller, "target", _checks.real("target", controller.target))
    if controller.max_iterations is not None:
        object.__setattr__(controller, "max_iterations",
                           _checks.count("max_iterations", controller.max_iterations, 2**64 - 1))


def _arrays_equal(a: object, b: object, names: Sequence[str]) -> bool:
    return all(np.array_equal(getattr(a, n), getattr(b, n), equal_nan=True) for n in names)


def _arrays_hash(a: object, names: Sequence[str]) -> int:
    return hash(tuple(_checks.array_key(np.asarray(getattr(a, n))) for n in names))
