"""A rocket in the real air: predictions, flight logs and the inverses."""

from __future__ import annotations

import math
import warnings
from collections.abc import Sequence
from typing import Final, TypeAlias

import aeso
import numpy as np
import numpy.typing as npt

from . import _checks
from ._native import Craft
from ._native import Schedule as _NativeSchedule
from ._native import deployment_for_apogee as _deployment_for_apogee
from ._native import drag_scale_for_apogee as _drag_scale_for_apogee
from ._native import fly_controlled as _fly_controlled
from ._native import predict as _predict
from ._native import simulate as _simulate
from .aerodynamics import Brakes, Drag
from .atmosphere import Atmosphere
from .control import PID, Actuator, ControlledFlight, Controller, Predictive, Schedule, Sensors
from .errors import FlightError, flight_error
from .solutions import DeploymentSolution, DragScaleSolution, Reach

__all__ = ["APOGEE_VELOCITY_THRESHOLD", "LOG_COLUMNS", "Vehicle"]

#: A flight ends at the first step whose vertical velocity falls below this (m/s).
APOGEE_VELOCITY_THRESHOLD: Final = 0.5
#: The columns of a flight log's states: aeso's nine, then the density
#: (kg/m^3) and Mach number at the row's state, and the brakes' deployment at
#: its time (0 for a vehicle without brakes).
LOG_COLUMNS: Final = 12

PROPERTIES: Final = ("mass", "cd", "area_drag", "area_lift", "moment_of_inertia", "stab_margin_dimensional", "cl_a")
_POSITIVE: Final = ("mass", "area_drag", "moment_of_inertia")
_NON_NEGATIVE: Final = ("cd", "area_lift")

TimeStep: TypeAlias = aeso.FixedTimeStep | aeso.AdaptiveTimeStep
#: A brake deployment: a level from 0 to 1 held throughout, or a schedule
#: ``(times, levels)`` counted from the state's time 0, linear between its
#: points and held at its end values (a recorded actuation).
Deployment: TypeAlias = float | tuple[Sequence[float], Sequence[float]]
InitialState: TypeAlias = aeso.InitialState1DOF | aeso.InitialState3DOF
_REACH: Final = {0: Reach.REACHED, 1: Reach.TOO_HIGH, 2: Reach.TOO_LOW}
_EMPTY: Final = np.empty(0)
_Array = npt.NDArray[np.float64]


class Vehicle:
    """A rocket with its drag and, optionally, air brakes, to be flown in a
    given atmosphere.

    ``rocket`` is an :class:`aeso.Rocket`; its seven properties are copied
    now, so changing the rocket later does not change the vehicle. ``drag``
    (a :class:`Drag`) replaces the rocket's constant ``cd``; ``brakes`` (a
    :class:`Brakes`) adds a brake table. Brakes with ``replace=True`` are the
    whole vehicle's drag, so they exclude ``drag``.

    The methods take aeso's initial-state and step-option classes and a
    method, as :class:`aeso.Rocket`'s do, and by keyword the ``atmosphere``
    (no default: say which air) and the brakes' ``deployment`` (required
    for a vehicle with brakes, refused without). In the constant air with no
    drag table and no brakes every result is aeso's, to the bit. A flight
    that cannot reach its apogee raises :class:`FlightError` with the
    reason; a state at or past its apogee (vertical velocity at or below
    0.5 m/s) is refused.
    """

    __slots__ = ("_properties", "_drag", "_brakes", "_craft")

    _properties: tuple[float, ...]
    _drag: Drag | None
    _brakes: Brakes | None
    _craft: Craft

    def __init__(self, rocket: aeso.Rocket, drag: Drag | None = None, brakes: Brakes | None = None) -> None:
        if not isinstance(rocket, aeso.Rocket):
            raise TypeError(f"rocket must be an aeso.Rocket, not {type(rocket).__name__}")
        if drag is not None and not isinstance(drag, Drag):
            raise TypeError(f"drag must be a Drag or None, not {type(drag).__name__}")
        if brakes is not None and not isinstance(brakes, Brakes):
            raise TypeError(f"brakes must be a Brakes or None, not {type(brakes).__name__}")
        if brakes is not None and brakes.replace and drag is not None:
            raise ValueError("brakes with replace=True are the whole vehicle's drag: give no drag with them")
        p = rocket.rocket_properties
        values = {name: _checks.real(f"rocket.{name}", getattr(p, name)) for name in PROPERTIES}
        for name in _POSITIVE:
            if values[name] <= 0.0:
                raise ValueError(f"rocket.{name} must be positive, not {values[name]!r}")
        for name in _NON_NEGATIVE:
            if values[name] < 0.0:
                raise ValueError(f"rocket.{name} must not be negative, not {values[name]!r}")
        curve = drag is not None and not drag.is_constant
        if drag is not None and drag.is_constant:
            # One coefficient at every speed is the rocket's own cd: the
            # flights are then aeso's.
            values["cd"] = float(drag.cd[0])
        area = None if brakes is None else brakes.area
        craft = Craft(
            tuple(values.values()),
            drag.mach if curve and drag is not None else _EMPTY,
            drag.cd if curve and drag is not None else _EMPTY,
            _EMPTY if brakes is None else brakes.deployment,
            _EMPTY if brakes is None else brakes.mach,
            _EMPTY if brakes is None else np.ascontiguousarray(brakes.cd).reshape(-1),
            1.0 if area is None else area / values["area_drag"],
            brakes is not None and brakes.replace,
        )
        object.__setattr__(self, "_properties", tuple(values.values()))
        object.__setattr__(self, "_drag", drag)
        object.__setattr__(self, "_brakes", brakes)
        object.__setattr__(self, "_craft", craft)

    # -- the values -------------------------------------------------------

    @property
    def properties(self) -> dict[str, float]:
        """The rocket's seven properties as copied (``cd`` is the constant
        drag's when one was given)."""
        return dict(zip(PROPERTIES, self._properties))

    @property
    def drag(self) -> Drag | None:
        return self._drag

    @property
    def brakes(self) -> Brakes | None:
        return self._brakes

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Vehicle is immutable")

    def __repr__(self) -> str:
        props = ", ".join(f"{k}={v!r}" for k, v in zip(PROPERTIES, self._properties))
        return f"Vehicle({props}, drag={self._drag!r}, brakes={self._brakes!r})"

    # -- flights ----------------------------------------------------------

    def predict_apogee_1dof(
        self,
        initial_state: aeso.InitialState1DOF,
        method: aeso.OdeMethod,
        timestep_config: TimeStep | None = None,
        max_iterations: int = 100000,
        *,
        atmosphere: Atmosphere,
        deployment: Deployment | None = None,
    ) -> float:
        """The apogee (m above the pad) of a vertical flight from ``initial_state``."""
        return self._predict(1, initial_state, method, timestep_config, max_iterations, atmosphere, deployment)

    def predict_apogee_3dof(
        self,
        initial_state: aeso.InitialState3DOF,
        method: aeso.OdeMethod,
        timestep_config: TimeStep | None = None,
        max_iterations: int = 100000,
        *,
        atmosphere: Atmosphere,
        deployment: Deployment | None = None,
    ) -> float:
        """The apogee (m above the pad) of a planar flight from ``initial_state``."""
        return self._predict(3, initial_state, method, timestep_config, max_iterations, atmosphere, deployment)

    def simulate_flight_1dof(
        self,
        initial_state: aeso.InitialState1DOF,
        method: aeso.OdeMethod,
        timestep_config: TimeStep | None = None,
        max_iterations: int = 100000,
        *,
        atmosphere: Atmosphere,
        deployment: Deployment | None = None,
    ) -> tuple[_Array, _Array]:
        """The flight log ``(times, states)`` of a vertical flight: times of
        shape (n,) and states of shape (n, 12), the state before every step
        and the final state. Columns: height, velocity, acceleration, six
        zeros (aeso's nine), then density (kg/m^3), Mach number, deployment."""
        return self._simulate(1, initial_state, method, timestep_config, max_iterations, atmosphere, deployment)

    def simulate_flight_3dof(
        self,
        initial_state: aeso.InitialState3DOF,
        method: aeso.OdeMethod,
        timestep_config: TimeStep | None = None,
        max_iterations: int = 100000,
        *,
        atmosphere: Atmosphere,
        deployment: Deployment | None = None,
    ) -> tuple[_Array, _Array]:
        """The flight log of a planar flight, shapes (n,) and (n, 12).
        Columns: x, y, angle, vx, vy, angular_rate, d(vx)/dt, d(vy)/dt,
        d(angular_rate)/dt (aeso's nine), then density (kg/m^3), Mach number,
        deployment."""
        return self._simulate(3, initial_state, method, timestep_config, max_iterations, atmosphere, deployment)

    def deployment_for_apogee(
        self,
        target: float,
        initial_state: InitialState,
        method: aeso.OdeMethod,
        timestep_config: TimeStep | None = None,
        max_iterations: int = 100000,
        *,
        atmosphere: Atmosphere,
        start: DeploymentSolution | None = None,
    ) -> DeploymentSolution:
        """The brake deployment level that, held from ``initial_state`` on,
        makes the predicted apogee ``target`` (m above the pad), within
        0.01 m; 1-DOF or 3-DOF as the state's class says.

        Out of reach, the status says which way: :attr:`Reach.TOO_HIGH`
        (even fully open the apogee is above the target; level 1.0) or
        :attr:`Reach.TOO_LOW` (even closed it is below; level 0.0). A cold
        search predicts at 0 and 1, then narrows the bracket; ``start``, the
        previous decision's solution, warm-starts it from that level and
        slope (a control loop's consecutive decisions then take one to
        three predictions). Needs brakes whose drag does not decrease with
        deployment.
        """
        if self._brakes is None:
            raise ValueError("deployment_for_apogee needs a vehicle with brakes")
        if not self._brakes.monotone:
            raise ValueError(
                "deployment_for_apogee needs brakes whose drag does not decrease with deployment: "
                "the table's cd falls from one deployment level to the next"
            )
        goal = _checks.real("target", target)
        if start is not None and not isinstance(start, DeploymentSolution):
            raise TypeError(f"start must be a DeploymentSolution or None, not {type(start).__name__}")
        dof, state = _state(initial_state, atmosphere)
        args = self._common(dof, state, method, timestep_config, max_iterations, atmosphere)
        r = _deployment_for_apogee(*args, 1.0, goal, None if start is None else _warm(start.level, start))
        return DeploymentSolution(*_solution(r, max_iterations, atmosphere))

    def drag_scale_for_apogee(
        self,
        target: float,
        initial_state: InitialState,
        method: aeso.OdeMethod,
        timestep_config: TimeStep | None = None,
        max_iterations: int = 100000,
        *,
        atmosphere: Atmosphere,
        deployment: Deployment | None = None,
        start: DragScaleSolution | None = None,
    ) -> DragScaleSolution:
        """The factor on the vehicle's whole drag (body and brakes) that makes
        the predicted apogee ``target`` (m above the pad), within 0.01 m: how
        much drag a brake must add, before it exists. Factors from 0 (no drag)
        up to 2^20 are searched; out of reach, the status says which way."""
        goal = _checks.real("target", target)
        if start is not None and not isinstance(start, DragScaleSolution):
            raise TypeError(f"start must be a DragScaleSolution or None, not {type(start).__name__}")
        dof, state = _state(initial_state, atmosphere)
        args = self._common(dof, state, method, timestep_config, max_iterations, atmosphere)
        level, schedule = self._deployment(deployment)
        r = _drag_scale_for_apogee(*args, level, schedule, goal, None if start is None else _warm(start.scale, start))
        return DragScaleSolution(*_solution(r, max_iterations, atmosphere))

    def fly_controlled(
        self,
        initial_state: InitialState,
        method: aeso.OdeMethod,
        timestep_config: TimeStep | None = None,
        max_iterations: int = 100000,
        *,
        atmosphere: Atmosphere,
        target: float,
        controller: Controller,
        rate: float,
        actuator: Actuator = Actuator(),
        sensors: Sensors = Sensors(),
        seed: int = 0,
        sample: int = 0,
        record: bool = True,
    ) -> ControlledFlight:
        """Flies the vehicle from ``initial_state`` to its apogee with
        ``controller`` in the loop at ``rate`` ticks per second, its commands
        moving the brakes through ``actuator``, its view of the state through
        ``sensors`` (noise drawn from ``seed``). 1-DOF or 3-DOF as the state's
        class says. ``target`` (m above the pad) defines the miss, and is the
        controllers' target unless they name their own. A target that no
        deployment can reach from the start is said (a warning) and flown.
        The sensor noise is drawn from ``seed`` and ``sample``, the flight's
        number among those of the seed: sample ``i`` of a study drawn with
        ``seed`` sees the noise this flight sees with ``sample=i``.

        The built-in controllers (:class:`Predictive`, :class:`PID`,
        :class:`Schedule`) run natively with the whole flight detached from
        the interpreter; a callable is called at each tick, and an exception
        it raises ends the flight, raised again as :class:`FlightError` from
        it. ``record=False`` keeps no tick log (faster for many flights).
        """
        if self._brakes is None:
            raise ValueError("fly_controlled needs a vehicle with brakes")
        dof, state = _state(initial_state, atmosphere)
        goal = _checks.real("target", target)
        ticks_per_second = _checks.positive("rate", rate)
        if not isinstance(actuator, Actuator):
            raise TypeError(f"actuator must be an Actuator, not {type(actuator).__name__}")
        if not isinstance(sensors, Sensors):
            raise TypeError(f"sensors must be a Sensors, not {type(sensors).__name__}")
        seed_value = _checks.count("seed", seed)
        flight = _checks.count("sample", sample)
        args = self._common(dof, state, method, timestep_config, max_iterations, atmosphere)
        kind, controller_target, gains, predictor, schedule, callback = self._controller(
            controller, goal, dof, method, timestep_config, max_iterations, atmosphere)
        self._say_if_out_of_reach(args, goal, atmosphere)
        control = (float(kind), controller_target, ticks_per_second, actuator.rate_limit, actuator.lag,
                   actuator.delay, actuator.initial, sensors.height_sd, sensors.velocity_sd,
                   sensors.velocity_scale, sensors.correlation_time, *gains)
        outcome = _fly_controlled(*args, 1.0, control, seed_value, flight, predictor, schedule, callback, bool(record))
        status, failed_at, failure, error, failed_time = (outcome[0], outcome[6], outcome[12], outcome[13],
                                                          outcome[14])
        if failure == 1 and error is not None:
            if not isinstance(error, Exception):
                raise error  # KeyboardInterrupt, SystemExit: not the flight's to wrap
            raise FlightError(
                f"the controller raised {type(error).__name__} at t = {failed_time:g} s: {error}", "controller_raised"
            ) from error
        if failure == 2 and error is not None:
            raise error
        if status != 0:
            raise flight_error(status, failed_at, int(args[6]), atmosphere.heights)  # type: ignore[call-overload]
        return ControlledFlight._from_native(outcome, goal)

    def _controller(
        self,
        controller: Controller,
        target: float,
        dof: int,
        method: aeso.OdeMethod,
        timestep_config: TimeStep | None,
        max_iterations: int,
        atmosphere: Atmosphere,
    ) -> tuple[int, float, tuple[float, float, float], tuple[object, ...] | None, _NativeSchedule | None, object]:
        """The native form of a controller: (kind, target, gains, predictor,
        schedule, callable)."""
        no_gains = (0.0, 0.0, 0.0)
        if isinstance(controller, Predictive):
            vehicle = self if controller.vehicle is None else controller.vehicle
            if not isinstance(vehicle, Vehicle):
                raise TypeError(f"Predictive.vehicle must be a Vehicle or None, not {type(vehicle).__name__}")
            if vehicle._brakes is None or not vehicle._brakes.monotone:
                raise ValueError("Predictive needs a vehicle whose brakes' drag does not decrease with deployment")
            air = atmosphere if controller.atmosphere is None else controller.atmosphere
            if not isinstance(air, Atmosphere):
                raise TypeError(f"Predictive.atmosphere must be an Atmosphere or None, not {type(air).__name__}")
            goal = target if controller.target is None else controller.target
            return (0, goal, no_gains, vehicle._predictor(controller.model, dof, method, controller.timestep_config,
                                                           max_iterations, air), None, None)
        if isinstance(controller, PID):
            goal = target if controller.target is None else controller.target
            predictor = self._predictor(controller.model, dof, method, timestep_config, max_iterations, atmosphere)
            return (1, goal, (controller.kp, controller.ki, controller.kd), predictor, None, None)
        if isinstance(controller, Schedule):
            return (2, target, no_gains, None, _NativeSchedule(controller.times, controller.levels), None)
        if callable(controller):
            return (3, target, no_gains, None, None, controller)
        raise TypeError(
            f"controller must be a Predictive, PID, Schedule or a callable, not {type(controller).__name__}"
        )

    def _predictor(self, model: str, dof: int, method: aeso.OdeMethod, timestep_config: TimeStep | None,
                   max_iterations: int, atmosphere: Atmosphere) -> tuple[object, ...]:
        model_dof = 1 if model == "1dof" else 3
        if model_dof == 3 and dof == 1:
            raise ValueError('a "3dof" predictor needs a 3-DOF flight: a 1-DOF flight has no attitude to sense')
        return (self._craft, atmosphere._air, model_dof, _step(timestep_config),
                _checks.count("max_iterations", max_iterations), 1.0, int(method))

    def _say_if_out_of_reach(self, args: tuple[object, ...], target: float, atmosphere: Atmosphere) -> None:
        """Warns when even the extreme deployments cannot reach the target
        from the start (the flight is flown all the same)."""
        ends = []
        for level in (0.0, 1.0):
            status, apogee, *_, failed_at = _predict(*args, level, None, 1.0)
            if status != 0:
                return  # the flight itself will say what is wrong
            ends.append(apogee)
        if ends[1] > target:
            warnings.warn(
                f"the target {target!r} m is out of reach: even with the brakes fully open from the start "
                f"the apogee is {ends[1]:.1f} m", stacklevel=3)
        elif ends[0] < target:
            warnings.warn(
                f"the target {target!r} m is out of reach: even with the brakes closed the apogee is "
                f"{ends[0]:.1f} m", stacklevel=3)

    # -- the common part --------------------------------------------------

    def _common(
        self,
        dof: int,
        state: tuple[float, ...],
        method: aeso.OdeMethod,
        timestep_config: TimeStep | None,
        max_iterations: int,
        atmosphere: Atmosphere,
    ) -> tuple[object, ...]:
        if type(method) is not aeso.OdeMethod:
            raise TypeError(f"method must be an aeso.OdeMethod, not {type(method).__name__}")
        step = None if timestep_config is None else _step(timestep_config)
        iterations = (max_iterations if type(max_iterations) is int and max_iterations >= 0
                      else _checks.count("max_iterations", max_iterations))
        return (self._craft, atmosphere._air, dof, state, int(method), step, iterations)

    def _deployment(self, deployment: Deployment | None) -> tuple[float, _NativeSchedule | None]:
        if deployment is None and self._brakes is None:
            return 0.0, None
        if self._brakes is None:
            if deployment is not None:
                raise ValueError("deployment: this vehicle has no brakes")
            return 0.0, None
        if deployment is None:
            raise ValueError("deployment is required for a vehicle with brakes: a level from 0 to 1 or (times, levels)")
        if isinstance(deployment, tuple):
            if len(deployment) != 2:
                raise ValueError("deployment as a schedule is a pair (times, levels)")
            times = _checks.array("deployment times", deployment[0])
            levels = _checks.array("deployment levels", deployment[1])
            _checks.same_length("deployment times", times, "deployment levels", levels)
            _checks.increasing("deployment times", times)
            outside = np.flatnonzero((levels < 0.0) | (levels > 1.0))
            if outside.size:
                raise ValueError(f"deployment levels must be from 0 to 1: {levels[int(outside[0])]!r}")
            return 0.0, _NativeSchedule(times, levels)
        return _checks.level("deployment", deployment), None

    def _predict(
        self,
        dof: int,
        initial_state: InitialState,
        method: aeso.OdeMethod,
        timestep_config: TimeStep | None,
        max_iterations: int,
        atmosphere: Atmosphere,
        deployment: Deployment | None,
    ) -> float:
        _, state = _state(initial_state, atmosphere, dof)
        args = self._common(dof, state, method, timestep_config, max_iterations, atmosphere)
        level, schedule = self._deployment(deployment)
        status, apogee, _, _, _, _, failed_at = _predict(*args, level, schedule, 1.0)
        if status != 0:
            raise flight_error(status, failed_at, int(args[6]), atmosphere.heights)  # type: ignore[call-overload]
        return float(apogee)

    def _simulate(
        self,
        dof: int,
        initial_state: InitialState,
        method: aeso.OdeMethod,
        timestep_config: TimeStep | None,
        max_iterations: int,
        atmosphere: Atmosphere,
        deployment: Deployment | None,
    ) -> tuple[_Array, _Array]:
        _, state = _state(initial_state, atmosphere, dof)
        args = self._common(dof, state, method, timestep_config, max_iterations, atmosphere)
        level, schedule = self._deployment(deployment)
        status, failed_at, times, rows = _simulate(*args, level, schedule, 1.0)
        if status != 0:
            raise flight_error(status, failed_at, int(args[6]), atmosphere.heights)  # type: ignore[call-overload]
        t = np.frombuffer(times, dtype=np.float64)
        return t, np.frombuffer(rows, dtype=np.float64).reshape(t.size, LOG_COLUMNS)


_HALF_PI: Final = math.pi / 2
_isfinite = math.isfinite


def _state(initial_state: InitialState, atmosphere: Atmosphere, dof: int | None = None) -> tuple[int, tuple[float, ...]]:
    """The model and the checked values of an initial state (aeso's float
    attributes always read as floats)."""
    if type(atmosphere) is not Atmosphere and not isinstance(atmosphere, Atmosphere):
        raise TypeError(f"atmosphere must be an Atmosphere, not {type(atmosphere).__name__}")
    cls = type(initial_state)
    if cls is aeso.InitialState1DOF and dof != 3:
        altitude = initial_state.initial_height  # type: ignore[union-attr]
        vertical = initial_state.initial_velocity  # type: ignore[union-attr]
        values: tuple[float, ...] = (altitude, vertical)
        finite = _isfinite(altitude) and _isfinite(vertical)
        dof = 1
    elif cls is aeso.InitialState3DOF and dof != 1:
        s3 = initial_state
        values = (s3.x, s3.y, s3.angle, s3.vx, s3.vy, s3.angular_rate)  # type: ignore[union-attr]
        altitude, vertical = values[1], values[4]
        finite = all(map(_isfinite, values))
        dof = 3
    else:
        wanted = {1: "an aeso.InitialState1DOF", 3: "an aeso.InitialState3DOF"}.get(
            dof or 0, "an aeso.InitialState1DOF or InitialState3DOF")
        raise TypeError(f"initial_state must be {wanted}, not {cls.__name__}")
    if not finite:
        names = ("initial_height", "initial_velocity") if dof == 1 else ("x", "y", "angle", "vx", "vy", "angular_rate")
        for name, value in zip(names, values):
            _checks.real(f"initial_state.{name}", value)
    if not vertical > APOGEE_VELOCITY_THRESHOLD:
        raise ValueError(
            f"initial_state is at or past its apogee: its vertical velocity {vertical!r} m/s is not above "
            f"the {APOGEE_VELOCITY_THRESHOLD} m/s at which a flight ends"
        )
    if dof == 3 and not -_HALF_PI < values[2] < _HALF_PI:
        raise ValueError(f"initial_state.angle {values[2]!r} rad points the nose below the horizon (|angle| >= pi/2)")
    low, high = atmosphere._bounds
    if not low <= altitude <= high:
        raise ValueError(
            f"initial_state's altitude {altitude!r} m lies outside the atmosphere's layers, "
            f"from {low:.1f} m to {high:.1f} m above the pad"
        )
    return dof, values


def _step(timestep_config: TimeStep | None) -> tuple[float, ...] | None:
    """Step options as plain values, checked."""
    if timestep_config is None:
        return None
    if isinstance(timestep_config, aeso.FixedTimeStep):
        return (_checks.positive("timestep_config.dt", timestep_config.dt),)
    if isinstance(timestep_config, aeso.AdaptiveTimeStep):
        t = timestep_config
        dt = _checks.positive("timestep_config.dt", t.dt)
        dt_min = _checks.positive("timestep_config.dt_min", t.dt_min)
        dt_max = _checks.positive("timestep_config.dt_max", t.dt_max)
        if dt_min > dt_max:
            raise ValueError(f"timestep_config.dt_min {dt_min!r} exceeds dt_max {dt_max!r}")
        return (dt, dt_min, dt_max,
                _checks.non_negative("timestep_config.absolute_error_tolerance", t.absolute_error_tolerance),
                _checks.non_negative("timestep_config.relative_error_tolerance", t.relative_error_tolerance))
    raise TypeError(
        f"timestep_config must be an aeso.FixedTimeStep, aeso.AdaptiveTimeStep or None, "
        f"not {type(timestep_config).__name__}"
    )


def _warm(value: float, start: DeploymentSolution | DragScaleSolution) -> tuple[float, float, float, float]:
    return (value, start.slope, start.bracket[0], start.bracket[1])


def _solution(r: tuple[object, ...], max_iterations: int, atmosphere: Atmosphere) -> tuple[object, ...]:
    status, value, apogee, predictions, slope, low, high, failure, failed_at = r
    if status == 3:
        raise flight_error(int(failure), float(failed_at), max_iterations, atmosphere.heights)  # type: ignore[arg-type]
    return (value, apogee, _REACH[int(status)], predictions, slope, (low, high))  # type: ignore[call-overload]
