"""A rocket in the real air: predictions, flight logs and the inverses."""

from __future__ import annotations

import math
import warnings
from collections.abc import Sequence
from typing import TYPE_CHECKING, Final, TypeAlias

import aeso
import numpy as np
import numpy.typing as npt

from . import _arguments, _checks, _native
from ._native import Craft
from ._native import Schedule as _NativeSchedule
from ._native import deployment_for_apogee as _deployment_for_apogee
from ._native import drag_scale_for_apogee as _drag_scale_for_apogee
from ._native import fly_controlled as _fly_controlled
from ._native import predict as _predict
from ._native import simulate as _simulate
from .aerodynamics import Brakes, Drag
from .atmosphere import Atmosphere, with_pressure
from .drag_fit import DragFit
from .drag_fit import fit as _fit_drag
from .estimation import Estimator, StateEstimate
from .flight_data import FlightData
from .control import PID, Actuator, ControlledFlight, Controller, Predictive, Schedule, Sensors, check_frame
from .errors import FlightError, failure_message, flight_error
from .raw_sensors import RawSensors
from .solutions import DeploymentSolution, DragScaleSolution, Reach

if TYPE_CHECKING:
    from ._native import InverseResult, _Controller, _Flight, _Predictor
    from .control import _Frame

__all__ = ["APOGEE_VELOCITY_THRESHOLD", "LOG_COLUMNS", "Vehicle"]

#: A flight ends at the first step whose vertical velocity falls below this (m/s).
APOGEE_VELOCITY_THRESHOLD: Final = _native.APOGEE_VELOCITY_THRESHOLD
#: The columns of a flight log's states: aeso's nine, then the density
#: (kg/m^3) and Mach number at the row's state, and the brakes' deployment at
#: its time (0 for a vehicle without brakes).
LOG_COLUMNS: Final = _native.LOG_COLUMNS

PROPERTIES: Final = ("mass", "cd", "area_drag", "area_lift", "moment_of_inertia", "stab_margin_dimensional", "cl_a")
_POSITIVE: Final = ("mass", "area_drag", "moment_of_inertia")
_NON_NEGATIVE: Final = ("cd", "area_lift")

TimeStep: TypeAlias = aeso.FixedTimeStep | aeso.AdaptiveTimeStep
#: A brake deployment: a level from 0 to 1 held throughout, or a schedule
#: ``(times, levels)`` counted from the state's time 0, linear between its
#: points and held at its end values (a recorded actuation).
Deployment: TypeAlias = float | tuple[Sequence[float], Sequence[float]] | list[Sequence[float]]
InitialState: TypeAlias = aeso.InitialState1DOF | aeso.InitialState3DOF
_REACH: Final = {code: Reach[name] for name, code in _native.INVERSE_STATUS.items() if name != "FAILED"}
_INVERSE_FAILED: Final = _native.INVERSE_STATUS["FAILED"]
_OK: Final = _native.FLIGHT_STATUS["OK"]
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
    0.5 m/s) is refused. A vehicle is immutable.

    Parameters
    ----------
    rocket : aeso.Rocket
        The rocket: its seven properties must be finite, ``mass``,
        ``area_drag`` and ``moment_of_inertia`` positive, ``cd`` and
        ``area_lift`` not negative.
    drag : Drag, optional
        The drag coefficient against Mach number, in place of the rocket's
        ``cd``; a :meth:`Drag.constant` becomes the rocket's ``cd``.
    brakes : Brakes, optional
        The air brakes.
    drag_scale : float, default 1.0
        A factor on the vehicle's whole drag (the body's and the brakes'),
        finite and not negative: the flights multiply every drag
        coefficient they read by it, as a study's ``drag.scale`` does (a
        table scaled beforehand differs in the last bits). An inverse or a
        controller that predicts with this vehicle predicts with it too.

    Raises
    ------
    TypeError
        ``rocket`` is not an :class:`aeso.Rocket`, ``drag`` not a
        :class:`Drag` or ``brakes`` not a :class:`Brakes` (nor None);
        ``drag_scale`` is not a number.
    ValueError
        Brakes with ``replace=True`` come with a ``drag``; a property of the
        rocket is not finite, or is out of its range above; ``drag_scale``
        is not finite or is negative.

    Examples
    --------
    >>> import aeso
    >>> from aeso_flight import Atmosphere, Drag, Vehicle
    >>> rocket = aeso.Rocket(20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0)
    >>> vehicle = Vehicle(rocket, drag=Drag(mach=[0.3, 0.8, 0.95], cd=[0.38, 0.30, 0.33]))
    >>> air = Atmosphere.standard(site_elevation=1401.0)
    >>> state = aeso.InitialState1DOF(initial_height=0.0, initial_velocity=250.0)
    >>> round(vehicle.predict_apogee_1dof(state, aeso.OdeMethod.RK45, atmosphere=air), 1)
    2660.3

    In the constant air, without a drag table or brakes, the flights are
    aeso's:

    >>> plain = Vehicle(rocket)
    >>> (plain.predict_apogee_1dof(state, aeso.OdeMethod.RK45, atmosphere=Atmosphere.constant())
    ...  == rocket.predict_apogee_1dof(state, aeso.OdeMethod.RK45))
    True
    """

    __slots__ = ("_properties", "_drag", "_brakes", "_craft", "_drag_scale")

    _properties: tuple[float, ...]
    _drag: Drag | None
    _brakes: Brakes | None
    _craft: Craft
    _drag_scale: float

    def __init__(self, rocket: aeso.Rocket, drag: Drag | None = None, brakes: Brakes | None = None,
                 drag_scale: float = 1.0) -> None:
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
        scale = _checks.non_negative("drag_scale", drag_scale)
        table = drag if curve else None
        craft = _arguments.craft(
            tuple(values.values()), None if table is None else table.mach, None if table is None else table.cd,
            None if brakes is None else brakes.deployment, None if brakes is None else brakes.mach,
            None if brakes is None else brakes.cd, None if brakes is None else brakes.area,
            brakes is not None and brakes.replace)
        object.__setattr__(self, "_properties", tuple(values.values()))
        object.__setattr__(self, "_drag", drag)
        object.__setattr__(self, "_brakes", brakes)
        object.__setattr__(self, "_craft", craft)
        object.__setattr__(self, "_drag_scale", scale)

    # -- the values -------------------------------------------------------

    @property
    def properties(self) -> dict[str, float]:
        """The rocket's seven properties as copied (``cd`` is the constant
        drag's when one was given): a new dict of floats, by name.

        Examples
        --------
        >>> Vehicle(rocket, drag=Drag.constant(0.5)).properties["cd"]
        0.5
        """
        return dict(zip(PROPERTIES, self._properties))

    @property
    def drag(self) -> Drag | None:
        """The :class:`Drag` the vehicle was made with, or None.

        Examples
        --------
        >>> vehicle.drag
        Drag(mach=[0.3, 0.8, 0.95], cd=[0.38, 0.3, 0.33])
        """
        return self._drag

    @property
    def brakes(self) -> Brakes | None:
        """The :class:`Brakes` the vehicle was made with, or None.

        Examples
        --------
        >>> vehicle.brakes is None
        True
        """
        return self._brakes

    @property
    def drag_scale(self) -> float:
        """The factor on the vehicle's whole drag (a float).

        Examples
        --------
        >>> Vehicle(rocket, drag_scale=1.1).drag_scale
        1.1
        """
        return self._drag_scale

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Vehicle is immutable")

    def __repr__(self) -> str:
        props = ", ".join(f"{k}={v!r}" for k, v in zip(PROPERTIES, self._properties))
        scale = "" if self._drag_scale == 1.0 else f", drag_scale={self._drag_scale!r}"
        return f"Vehicle({props}, drag={self._drag!r}, brakes={self._brakes!r}{scale})"

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
        frame: _Frame = "true",
    ) -> float:
        """The apogee (m above the pad) of a vertical flight from ``initial_state``.

        Parameters
        ----------
        initial_state : aeso.InitialState1DOF
            The state at the start of the coast: its height in metres above
            the pad, within the atmosphere's layers; its vertical velocity
            above 0.5 m/s; both finite.
        method : aeso.OdeMethod
            ``OdeMethod.Euler``, ``OdeMethod.RK3`` or ``OdeMethod.RK45``.
        timestep_config : aeso.FixedTimeStep or aeso.AdaptiveTimeStep, optional
            The step options: a ``FixedTimeStep`` for Euler and RK3, an
            ``AdaptiveTimeStep`` for RK45, every value finite, the steps
            positive, ``dt_min <= dt_max``, the tolerances not negative;
            None: the method's default (``FixedTimeStep(0.01)`` or
            ``AdaptiveTimeStep.default()``).
        max_iterations : int, default 100000
            The most steps the flight takes, from 0 to 2^64 - 1.
        atmosphere : Atmosphere
            Keyword only, required: the air.
        deployment : float or tuple, optional
            Keyword only; required for a vehicle with brakes, refused
            without. A level from 0 to 1 held throughout, or a schedule
            ``(times, levels)``, a tuple (or list) of two sequences of equal
            length:
            times (s) counted from the state's time 0, strictly increasing,
            and levels from 0 to 1, linear between the points and held at the
            end values (a recorded actuation). The schedule's points are
            step boundaries.
        frame : {"true", "barometric"}, default "true"
            Keyword only: the apogee's frame, its true height above the pad
            or what a pad-zeroed barometric altimeter reads there in
            ``atmosphere`` (:meth:`Atmosphere.pressure_altitude`; not in the
            constant air).

        Returns
        -------
        float
            The height at apogee, in metres above the pad (in ``frame``).

        Raises
        ------
        TypeError
            An argument of the wrong class: ``initial_state`` (of the other
            model, too), ``method``, ``timestep_config``, ``atmosphere``;
            step options of the wrong kind for the method ("RK45 requires
            AdaptiveTimeStep", "Euler requires FixedTimeStep", "RK3 requires
            FixedTimeStep"); ``max_iterations`` not an integer; a value that
            is not a number.
        ValueError
            A value of the state or the step options that is not finite or
            out of its range above; a state at or past its apogee; a
            negative ``max_iterations``; a deployment missing, given to a
            vehicle without brakes, outside [0, 1], or a schedule that is not
            a pair of equal lengths with increasing times; ``frame`` not one,
            or "barometric" in the constant air.
        OverflowError
            ``max_iterations`` above 2^64 - 1.
        FlightError
            The flight did not reach its apogee: ``max_iterations`` came
            first (``reason`` "iteration_limit"), an accepted state left the
            atmosphere's layers ("left_atmosphere"), or the state or the
            apogee stopped being finite ("not_finite",
            "non_finite_apogee").

        Examples
        --------
        >>> round(vehicle.predict_apogee_1dof(state, aeso.OdeMethod.RK45, atmosphere=air), 1)
        2660.3

        On a day 10 K warmer the altimeter reads it lower:

        >>> warm = Atmosphere.standard(site_elevation=1401.0, temperature_offset=10.0)
        >>> round(vehicle.predict_apogee_1dof(state, aeso.OdeMethod.RK45, atmosphere=warm), 1)
        2671.7
        >>> round(vehicle.predict_apogee_1dof(state, aeso.OdeMethod.RK45, atmosphere=warm,
        ...                                   frame="barometric"), 1)
        2579.2
        """
        return self._predict(1, initial_state, method, timestep_config, max_iterations, atmosphere, deployment,
                             frame)

    def predict_apogee_3dof(
        self,
        initial_state: aeso.InitialState3DOF,
        method: aeso.OdeMethod,
        timestep_config: TimeStep | None = None,
        max_iterations: int = 100000,
        *,
        atmosphere: Atmosphere,
        deployment: Deployment | None = None,
        frame: _Frame = "true",
    ) -> float:
        """The apogee (m above the pad) of a planar flight from ``initial_state``.

        Parameters
        ----------
        initial_state : aeso.InitialState3DOF
            The state at the start of the coast: ``y`` in metres above the
            pad, within the atmosphere's layers; ``vy`` above 0.5 m/s;
            ``|angle| < pi/2``; every value finite.
        method, timestep_config, max_iterations, atmosphere, deployment, frame
            As for :meth:`predict_apogee_1dof`.

        Returns
        -------
        float
            The height ``y`` at apogee, in metres above the pad (in
            ``frame``).

        Raises
        ------
        TypeError, ValueError, OverflowError, FlightError
            As for :meth:`predict_apogee_1dof`; ValueError also for
            ``|angle| >= pi/2`` (the nose below the horizon).

        Examples
        --------
        >>> import math
        >>> tilted = aeso.InitialState3DOF(0.0, 0.0, 0.05, -250 * math.sin(0.05),
        ...                                250 * math.cos(0.05), 0.0)
        >>> round(vehicle.predict_apogee_3dof(tilted, aeso.OdeMethod.RK45, atmosphere=air), 1)
        2652.7
        """
        return self._predict(3, initial_state, method, timestep_config, max_iterations, atmosphere, deployment,
                             frame)

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
        (as in aeso's logs, the final, interpolated state is not a row).
        Columns: height, velocity, acceleration, six zeros (aeso's nine),
        then density (kg/m^3), Mach number, deployment.

        Unlike aeso's flight logs, a flight that reaches ``max_iterations``
        before its apogee raises :class:`FlightError` instead of returning
        the rows so far.

        Parameters
        ----------
        initial_state : aeso.InitialState1DOF
            As for :meth:`predict_apogee_1dof`.
        method, timestep_config, max_iterations, atmosphere, deployment
            As for :meth:`predict_apogee_1dof`.

        Returns
        -------
        times : numpy.ndarray
            Float64, shape (n,): the time of each row (s).
        states : numpy.ndarray
            Float64, shape (n, 12): aeso's nine columns (the acceleration at
            the previous row's state, NaN in row 0), then the density and
            the Mach number at the row's state and the brakes' deployment at
            its time (0 without brakes).

        Raises
        ------
        TypeError, ValueError, OverflowError, FlightError
            As for :meth:`predict_apogee_1dof`.
        MemoryError
            The log could not grow.

        Examples
        --------
        >>> times, states = vehicle.simulate_flight_1dof(state, aeso.OdeMethod.RK45, atmosphere=air)
        >>> times.shape, states.shape
        ((229,), (229, 12))
        >>> states[0, 9:].round(4)   # density, Mach number, deployment at the start
        array([1.0685, 0.7465, 0.    ])
        """
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
        deployment.

        Parameters
        ----------
        initial_state : aeso.InitialState3DOF
            As for :meth:`predict_apogee_3dof`.
        method, timestep_config, max_iterations, atmosphere, deployment
            As for :meth:`predict_apogee_1dof`.

        Returns
        -------
        times : numpy.ndarray
            Float64, shape (n,): the time of each row (s).
        states : numpy.ndarray
            Float64, shape (n, 12): the state before every step, as in
            :meth:`simulate_flight_1dof` (the derivatives at the previous
            row's state, NaN in row 0).

        Raises
        ------
        TypeError, ValueError, OverflowError, FlightError, MemoryError
            As for :meth:`simulate_flight_1dof`; ValueError also for
            ``|angle| >= pi/2``.

        Examples
        --------
        >>> times, states = vehicle.simulate_flight_3dof(tilted, aeso.OdeMethod.RK45, atmosphere=air)
        >>> states.shape, round(float(states[-1, 1]), 1)   # the last logged height y
        ((228, 12), 2652.6)
        """
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
        frame: _Frame = "true",
    ) -> DeploymentSolution:
        """The brake deployment level that, held from ``initial_state`` on,
        makes the predicted apogee ``target`` (m above the pad), within
        0.01 m; 1-DOF or 3-DOF as the state's class says.

        Out of reach, the status says which way: :attr:`Reach.TOO_HIGH`
        (even fully open the apogee is above the target; level 1.0) or
        :attr:`Reach.TOO_LOW` (even closed it is below; level 0.0). The
        status is :attr:`Reach.REACHED` only when the apogee predicted at
        the level lies within 0.01 m of the target; where the apogee jumps
        across the target between two levels as close as doubles go (a
        coarse fixed step), it is :attr:`Reach.JUMP` with the nearer level.
        ``apogee`` is always the apogee predicted at ``level``.

        A cold search predicts at 0 and 1, then narrows the bracket;
        ``start``, the previous decision's solution, warm-starts it from that
        level and slope (in a 20 Hz loop 97 % of the decisions after the
        first then take one to three predictions, the others four to six).
        Brakes whose drag falls with deployment
        somewhere (:attr:`Brakes.decreasing`) are searched as given: the
        apogee is predicted at the table's levels up to its last fall, and
        the first pair of levels whose apogees lie on either side of the
        target is narrowed, so the answer is the smallest level that reaches
        it; above that fall the search goes on as for a monotone table.

        Parameters
        ----------
        target : float
            The apogee wanted (m above the pad), finite.
        initial_state : aeso.InitialState1DOF or aeso.InitialState3DOF
            The state at the start of the coast, as for
            :meth:`predict_apogee_1dof` or :meth:`predict_apogee_3dof`.
        method, timestep_config, max_iterations, atmosphere
            As for :meth:`predict_apogee_1dof`.
        start : DeploymentSolution, optional
            Keyword only: the previous decision's answer, to start from (in
            the same frame).
        frame : {"true", "barometric"}, default "true"
            Keyword only: the frame of ``target`` and of the apogees (the
            answer's, its slope and bracket, the 0.01 m): the true height
            above the pad or a pad-zeroed barometric altimeter's reading in
            ``atmosphere`` (:meth:`Atmosphere.pressure_altitude`; not in the
            constant air).

        Returns
        -------
        DeploymentSolution
            The level, the apogee predicted with it, whether the target was
            reached, the predictions made, and the slope and bracket for the
            next warm start.

        Raises
        ------
        ValueError
            The vehicle has no brakes, or their drag decreases with
            deployment somewhere in the table; ``target`` is not finite; and
            as for :meth:`predict_apogee_1dof`.
        TypeError
            ``target`` is not a number; ``start`` is not a
            :class:`DeploymentSolution` (nor None); and as for
            :meth:`predict_apogee_1dof`.
        OverflowError
            ``max_iterations`` above 2^64 - 1.
        FlightError
            A prediction of the search did not reach its apogee (the reasons
            of :meth:`predict_apogee_1dof`).

        Examples
        --------
        >>> from aeso_flight import Brakes
        >>> brakes = Brakes(deployment=[0.0, 0.5, 1.0], mach=[0.3, 0.9],
        ...                 cd=[[0.0, 0.0], [0.40, 0.45], [0.90, 1.00]])
        >>> braked = Vehicle(rocket, drag=vehicle.drag, brakes=brakes)
        >>> answer = braked.deployment_for_apogee(2300.0, state, aeso.OdeMethod.RK45, atmosphere=air)
        >>> answer.status, round(answer.level, 3), answer.predictions
        (<Reach.REACHED: 'reached'>, 0.4, 5)

        About a second later, from the state the flight has reached with
        the brakes at that level, warm-started:

        >>> later = aeso.InitialState1DOF(252.5, 231.1)
        >>> again = braked.deployment_for_apogee(2300.0, later, aeso.OdeMethod.RK45,
        ...                                      atmosphere=air, start=answer)
        >>> again.status, round(again.level, 3), again.predictions
        (<Reach.REACHED: 'reached'>, 0.399, 3)
        >>> braked.deployment_for_apogee(1500.0, state, aeso.OdeMethod.RK45, atmosphere=air).status
        <Reach.TOO_HIGH: 'too high'>
        """
        if self._brakes is None:
            raise ValueError("deployment_for_apogee needs a vehicle with brakes")
        goal = _checks.real("target", target)
        if start is not None and not isinstance(start, DeploymentSolution):
            raise TypeError(f"start must be a DeploymentSolution or None, not {type(start).__name__}")
        dof, state = _state(initial_state, atmosphere)
        barometric = _barometric(frame, atmosphere)
        how = self._flight(dof, method, timestep_config, max_iterations, atmosphere)
        r = _deployment_for_apogee(how, state, self._drag_scale, goal,
                                   None if start is None else _warm(start.level, start), barometric)
        return DeploymentSolution(*_solution(r, how[5], atmosphere))

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
        frame: _Frame = "true",
    ) -> DragScaleSolution:
        """The factor on the vehicle's drag coefficient (body and brakes; in
        3-DOF not the angle of attack's ``cl_a`` * alpha term) that makes
        the predicted apogee ``target`` (m above the pad), within 0.01 m: how
        much drag a brake must add, before it exists. Factors from 0 (no drag)
        up to 2^20 are searched; out of reach, the status says which way.

        Parameters
        ----------
        target : float
            The apogee wanted (m above the pad), finite.
        initial_state : aeso.InitialState1DOF or aeso.InitialState3DOF
            The state at the start of the coast, as for
            :meth:`predict_apogee_1dof` or :meth:`predict_apogee_3dof`.
        method, timestep_config, max_iterations, atmosphere, deployment
            As for :meth:`predict_apogee_1dof`.
        start : DragScaleSolution, optional
            Keyword only: the previous answer, to start from.
        frame : {"true", "barometric"}, default "true"
            Keyword only: the frame of ``target`` and of the apogees, as for
            :meth:`deployment_for_apogee`.

        Returns
        -------
        DragScaleSolution
            The factor, the apogee predicted with it, whether the target was
            reached, the predictions made, and the slope and bracket for a
            warm start.

        Raises
        ------
        ValueError
            ``target`` is not finite; and as for :meth:`predict_apogee_1dof`.
        TypeError
            ``target`` is not a number; ``start`` is not a
            :class:`DragScaleSolution` (nor None); and as for
            :meth:`predict_apogee_1dof`.
        OverflowError
            ``max_iterations`` above 2^64 - 1.
        FlightError
            A prediction of the search did not reach its apogee.

        Examples
        --------
        >>> factor = vehicle.drag_scale_for_apogee(2300.0, state, aeso.OdeMethod.RK45, atmosphere=air)
        >>> factor.status, round(factor.scale, 3)
        (<Reach.REACHED: 'reached'>, 2.007)

        The same target read by the altimeter on the warm day:

        >>> scored = vehicle.drag_scale_for_apogee(2300.0, state, aeso.OdeMethod.RK45, atmosphere=warm,
        ...                                        frame="barometric")
        >>> round(scored.apogee, 2), round(scored.scale, 3)
        (2300.0, 1.793)
        """
        goal = _checks.real("target", target)
        if start is not None and not isinstance(start, DragScaleSolution):
            raise TypeError(f"start must be a DragScaleSolution or None, not {type(start).__name__}")
        dof, state = _state(initial_state, atmosphere)
        barometric = _barometric(frame, atmosphere)
        how = self._flight(dof, method, timestep_config, max_iterations, atmosphere)
        r = _drag_scale_for_apogee(how, state, self._deployment(deployment), goal,
                                   None if start is None else _warm(start.scale, start), barometric)
        return DragScaleSolution(*_solution(r, how[5], atmosphere))

    def fit_drag(
        self,
        data: FlightData,
        *,
        atmosphere: Atmosphere,
        estimate: StateEstimate | None = None,
        mach: npt.ArrayLike | None = None,
        until: float | None = None,
        prior_sd: float | None = None,
        estimator: Estimator = Estimator(),
    ) -> DragFit:
        """The drag ``data`` says this vehicle flew with, by least squares over
        its coast, from the burnout to the apogee (or ``until``).

        With an accelerometer, its readings less the estimated bias measure
        the drag deceleration at each sample (in the coast the axial
        specific force is the drag over the mass), fitted against the drag
        the vehicle would have at the estimated height and velocity; the
        fit is accumulated sample by sample (a flight computer learning its
        drag in flight adds the same samples). Its standard errors count the
        residuals' scatter and the bias's uncertainty (which moves every
        sample alike). Without one, the parameters whose predictions from
        the estimated state at the burnout best follow the estimated heights
        (the same flights as :meth:`simulate_flight_1dof`).

        With ``mach=None``: one factor on the whole drag as the vehicle
        flies it (its ``drag_scale`` included), brakes included; with Mach
        knots, the body's drag coefficients there (brakes kept as they
        are). ``prior_sd`` puts a prior on the one factor, 1 within
        ``prior_sd``, weighed as a sample of the accelerometer's noise
        (``estimator.accelerometer_sd``) would be: what a flight computer
        learning its drag in flight (``Predictive(learn_drag=True)``) adds
        before its first sample, so that this fit of its sensor log cut at
        a tick, with the filter's estimate, is the scale it learned there,
        to the bit. The brakes'
        deployment is the data's ``deployment`` channel, held from sample
        to sample (0 without one). A fitted scale also absorbs the
        accelerometer's scale error, and, from the height track, what the
        burnout state gets wrong.

        A fit is refused when the data cannot support it: no burnout, or
        no coast before ``until``; fewer than 20 samples in the coast;
        knots beyond the Mach range the samples covered (it must reach to
        within half a knot interval of the first and the last knot); a
        scale or a coefficient that comes out negative.

        Parameters
        ----------
        data : FlightData
            The flight's samples, with a burnout (given or detected).
        atmosphere : Atmosphere
            Keyword only: the day's air.
        estimate : StateEstimate, optional
            Keyword only: the state estimate of ``data`` to use (default:
            ``data.estimate(atmosphere, until=until)``, the smoother's; give
            the filter's to compute what a flight computer would).
        mach : array_like, optional
            Keyword only: 1 to 16 Mach knots, strictly increasing, not
            negative.
        until : float, optional
            Keyword only: use only samples with time <= ``until``.
        prior_sd : float, optional
            Keyword only: a prior on the one factor, 1 within this (finite,
            positive); not with ``mach``, nor without an accelerometer.
        estimator : Estimator, optional
            Keyword only: the estimator of the default ``estimate``, and the
            accelerometer noise the prior is weighed against.

        Returns
        -------
        DragFit
            The fitted drag, its covariance and the vehicle flying it.

        Raises
        ------
        TypeError
            An argument of the wrong class.
        ValueError
            A fit the data cannot support (above); bad knots; the constant
            air (through the estimate).

        Examples
        --------
        With ``data`` and ``log_air`` of :class:`FlightData`'s examples (a
        coast decelerating at 15 m/s^2, far more than this vehicle's drag gives):

        >>> fit = vehicle.fit_drag(data, atmosphere=log_air)
        >>> round(fit.scale, 2), round(fit.scale_sd, 3)
        (3.28, 0.115)
        """
        return _fit_drag(self, data, atmosphere, estimate, mach, until, prior_sd, estimator)

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
        sensors: Sensors | RawSensors = Sensors(),
        seed: int = 0,
        sample: int = 0,
        record: bool = True,
        frame: _Frame = "true",
    ) -> ControlledFlight:
        """Flies the vehicle from ``initial_state`` to its apogee with
        ``controller`` in the loop at ``rate`` ticks per second, its commands
        moving the brakes through ``actuator``, its view of the state through
        ``sensors`` (noise drawn from ``seed``). 1-DOF or 3-DOF as the state's
        class says. ``target`` (m, in ``frame``) defines the miss, and is the
        controllers' target unless they name their own. A target that no
        deployment can reach from the start is said (a warning) and flown.
        The sensor noise is drawn from ``seed`` and ``sample``, the flight's
        number among those of the seed: sample ``i`` of a study drawn with
        ``seed`` sees the noise this flight sees with ``sample=i``.

        With :class:`~aeso_flight.raw_sensors.RawSensors` a flight computer
        runs on board: its barometer and accelerometer sample the flight at
        their own rates, its estimator (the filter of
        :meth:`FlightData.estimate`) turns their samples into the state its
        controller is shown, and a controller with ``learn_drag`` learns its
        drag from them; ``ControlledFlight.sensor_log`` keeps the samples.
        In the barometric ``frame`` the target is what a pad-zeroed
        altimeter reads (the scored apogee): the flight's apogee is read
        through the flight's air, and a controller aiming in that frame
        converts through the air it believes in.

        The built-in controllers (:class:`Predictive`, :class:`PID`,
        :class:`Schedule`) run natively with the whole flight detached from
        the interpreter; a callable is called at each tick, and an exception
        it raises ends the flight, raised again as :class:`FlightError` from
        it. ``record=False`` keeps no tick log (faster for many flights).

        Parameters
        ----------
        initial_state : aeso.InitialState1DOF or aeso.InitialState3DOF
            The state at the start of the coast, as for
            :meth:`predict_apogee_1dof` or :meth:`predict_apogee_3dof`.
        method : aeso.OdeMethod
            The flight's method, also its predictors'.
        timestep_config : aeso.FixedTimeStep or aeso.AdaptiveTimeStep, optional
            The flight's step options, as for :meth:`predict_apogee_1dof`
            (also a :class:`PID` predictor's).
        max_iterations : int, default 100000
            The most steps of the flight and of each prediction.
        atmosphere : Atmosphere
            Keyword only, required: the air.
        target : float
            Keyword only, required: the apogee wanted (m above the pad, in
            ``frame``), finite.
        controller : Predictive, PID, Schedule or callable
            Keyword only, required. A callable is called
            ``controller(time, sensed_state, deployment)`` at each tick: the
            tick's time (s), the sensed state as a tuple ((height, vertical
            velocity) in 1-DOF, the six values of
            :class:`aeso.InitialState3DOF` in 3-DOF; with raw sensors the
            estimate's (height, vertical velocity)) and the brakes'
            deployment at the tick; it returns the commanded level, a number
            from 0 to 1.
        rate : float
            Keyword only, required: ticks per second, finite and positive.
            The ticks are at t0 + k / rate, the first at the start.
        actuator : Actuator, default Actuator()
            Keyword only: between the commands and the brakes (the default
            is ideal).
        sensors : Sensors or RawSensors, default Sensors()
            Keyword only: what the controller sees (the default: the true
            state); raw sensors need standard atmospheres (the flight's and
            the believed one) and a 1-DOF predictor.
        seed : int, default 0
            Keyword only: the seed of the sensor noise, not negative.
        sample : int, default 0
            Keyword only: the sample number the noise is drawn for, not
            negative. The noise is keyed by (seed, sample, tick): sample k of
            a controlled study flown with seed s is this flight with
            ``seed=s, sample=k`` and the sample's inputs, to the bit.
        record : bool, default True
            Keyword only: keep the tick log (``ControlledFlight.ticks``) and
            the sensor log; without it the log's arrays are empty.
        frame : {"true", "barometric"}, default "true"
            Keyword only: the frame of ``target`` and of the miss; also the
            controller's unless it names its own (its ``frame``).
            "barometric" needs a standard atmosphere.

        Returns
        -------
        ControlledFlight
            The apogee, the miss, the deployment's end and travel, the steps
            and predictions, and the tick log.

        Raises
        ------
        ValueError
            The vehicle has no brakes; ``target`` or ``rate`` is not finite,
            ``rate`` not positive or above 10000 Hz (every tick is a step
            boundary); ``seed`` or ``sample`` is negative; a
            :class:`Predictive` or :class:`PID` whose vehicle has no brakes;
            a "3dof" predictor on a 1-DOF flight or with raw sensors; a
            controller that learns its drag without raw sensors; raw sensors
            or a barometric frame in the constant air; a callable's level
            outside [0, 1] (raised as it is); and as for
            :meth:`predict_apogee_1dof`.
        TypeError
            ``actuator``, ``sensors`` or ``controller`` of the wrong class, a
            controller whose ``vehicle`` or ``atmosphere`` is of the wrong
            class, ``seed`` or ``sample`` not an integer, ``record`` not a
            bool; a callable that returned something other than a number
            (raised as it is); and as for :meth:`predict_apogee_1dof`.
        OverflowError
            ``max_iterations``, ``seed`` or ``sample`` above 2^64 - 1.
        FlightError
            The flight did not reach its apogee (the reasons of
            :meth:`predict_apogee_1dof`; an iteration limit says when the
            ticks alone need more steps), the callable raised an
            :exc:`Exception` (``reason`` "controller_raised", the exception
            as its ``__cause__``), or a built-in controller commanded no
            finite level (``reason`` "controller_failed"). Other exceptions
            of the callable, such as :exc:`KeyboardInterrupt`, are raised as
            they are; Ctrl-C raises :exc:`KeyboardInterrupt` from a flight
            started on the main thread.

        Warns
        -----
        UserWarning
            The target is out of reach from the start: even with the brakes
            fully open the apogee is above it, or even closed below it. The
            flight is flown all the same. Or some of the controller's
            decisions failed (its own air or vehicle could not hold the
            predicted flight; it kept its last command there): the flight
            says how many (``failed_decisions``).

        Examples
        --------
        >>> from aeso_flight import Actuator, Predictive, Sensors
        >>> flight = braked.fly_controlled(state, aeso.OdeMethod.RK45, atmosphere=air, target=2300.0,
        ...                                controller=Predictive(), rate=20.0,
        ...                                actuator=Actuator(rate_limit=2.0, lag=0.05, delay=0.02),
        ...                                sensors=Sensors(height_sd=1.0, velocity_sd=0.5), seed=1)
        >>> round(flight.apogee, 2), round(flight.miss, 2), len(flight.ticks.time)
        (2299.75, -0.25, 411)

        A callable controller: half open while the sensed climb rate is above
        100 m/s, then closed.

        >>> def law(time, sensed, deployment):
        ...     return 0.5 if sensed[1] > 100.0 else 0.0
        >>> round(braked.fly_controlled(state, aeso.OdeMethod.RK45, atmosphere=air, target=2300.0,
        ...                             controller=law, rate=20.0).apogee, 1)
        2243.9
        """
        if self._brakes is None:
            raise ValueError("fly_controlled needs a vehicle with brakes")
        dof, state = _state(initial_state, atmosphere)
        goal = _checks.real("target", target)
        barometric = _barometric(frame, atmosphere)
        ticks_per_second = _checks.positive("rate", rate)
        if ticks_per_second > _arguments.MAX_CONTROL_RATE:
            raise ValueError(f"rate must be at most {_arguments.MAX_CONTROL_RATE:g} Hz, not {ticks_per_second!r}: "
                             f"every tick is a step boundary")
        if not isinstance(actuator, Actuator):
            raise TypeError(f"actuator must be an Actuator, not {type(actuator).__name__}")
        if not isinstance(sensors, (Sensors, RawSensors)):
            raise TypeError(f"sensors must be a Sensors or a RawSensors, not {type(sensors).__name__}")
        if not isinstance(record, (bool, np.bool_)):
            raise TypeError(f"record must be a bool, not {type(record).__name__}")
        seed_value = _checks.count("seed", seed, _MAX_COUNTER)
        flight = _checks.count("sample", sample, _MAX_COUNTER)
        how = self._flight(dof, method, timestep_config, max_iterations, atmosphere)
        raw = sensors if isinstance(sensors, RawSensors) else None
        native_controller = self._controller(controller, goal, frame, dof, method, timestep_config, max_iterations,
                                             atmosphere, raw is not None)
        self._say_if_out_of_reach(how, state, goal, atmosphere if barometric else None)
        simple = sensors if isinstance(sensors, Sensors) else Sensors()
        control = _arguments.control(ticks_per_second, actuator.rate_limit, actuator.lag, actuator.delay,
                                     actuator.initial, simple.height_sd, simple.velocity_sd, simple.velocity_scale,
                                     simple.correlation_time)
        native_raw = None if raw is None else _raw_sensors(raw, controller, atmosphere, state, dof)
        outcome = _fly_controlled(how, state, self._drag_scale, control, seed_value, flight, native_controller,
                                  bool(record), native_raw)
        error = outcome.error
        if error is not None:
            if not outcome.error_raised:
                raise error  # the callable's level was refused: its TypeError or ValueError
            if not isinstance(error, Exception):
                raise error  # KeyboardInterrupt, SystemExit: not the flight's to wrap
            raise FlightError(
                f"the controller raised {type(error).__name__} at t = {outcome.failed_time:g} s: {error}",
                "controller_raised",
            ) from error
        if outcome.flight.status != _OK:
            raise flight_error(outcome.flight, how[5], atmosphere.heights, ticks_per_second)
        if outcome.failed_decisions:
            warnings.warn(
                f"{outcome.failed_decisions} of the controller's {outcome.ticks} decisions failed (it kept its "
                f"last command): its first prediction that failed: "
                f"{failure_message(outcome.decision_failure, how[5])}", stacklevel=2)
        return ControlledFlight._from_native(outcome, goal, frame, atmosphere, 0.0, state[1] if dof == 1 else state[4])

    def _controller(
        self,
        controller: Controller,
        target: float,
        frame: _Frame,
        dof: int,
        method: aeso.OdeMethod,
        timestep_config: TimeStep | None,
        max_iterations: int,
        atmosphere: Atmosphere,
        raw_sensors: bool,
    ) -> _Controller:
        """The native form of a controller: a Predictive or PID aims at its
        target (the flight's unless its own) in its frame (the flight's
        unless its own), through the air it believes in."""
        if isinstance(controller, (Predictive, PID)):
            name = type(controller).__name__
            vehicle = self if controller.vehicle is None else controller.vehicle
            if not isinstance(vehicle, Vehicle):
                raise TypeError(f"{name}.vehicle must be a Vehicle or None, not {type(vehicle).__name__}")
            if vehicle._brakes is None:
                raise ValueError(f"{name}.vehicle needs brakes")
            if controller.learn_drag and not raw_sensors:
                raise ValueError(f"{name}(learn_drag=True) learns from an accelerometer: fly it with RawSensors")
            if controller.model == "3dof" and raw_sensors:
                raise ValueError(f'a "3dof" {name} needs the attitude, and raw sensors estimate the vertical '
                                 f'state only: use model="1dof"')
            air = _controller_air(controller, atmosphere)
            barometric = _barometric(frame if controller.frame is None else controller.frame, air,
                                     f"{name}.frame")
            goal = target if controller.target is None else controller.target
            iterations = max_iterations if controller.max_iterations is None else controller.max_iterations
            predicts = vehicle._predictor(controller.model, dof, method, controller.timestep_config, iterations, air)
            aim = _arguments.aim(goal, barometric, controller.learn_drag, controller.drag_prior_sd)
            if isinstance(controller, Predictive):
                return _arguments.predictive(aim, predicts)
            return _arguments.pid(aim, predicts, controller.kp, controller.ki, controller.kd)
        if isinstance(controller, Schedule):
            return _arguments.replay(_arguments.schedule(controller.times, controller.levels))
        if callable(controller):
            return _arguments.external(controller)
        raise TypeError(
            f"controller must be a Predictive, PID, Schedule or a callable, not {type(controller).__name__}"
        )

    def _predictor(self, model: str, dof: int, method: aeso.OdeMethod, timestep_config: TimeStep | None,
                   max_iterations: int, atmosphere: Atmosphere) -> _Predictor:
        model_dof = 1 if model == "1dof" else 3
        if model_dof == 3 and dof == 1:
            raise ValueError('a "3dof" predictor needs a 3-DOF flight: a 1-DOF flight has no attitude to sense')
        how = self._flight(model_dof, method, timestep_config, max_iterations, atmosphere)
        return _arguments.predictor(how, self._drag_scale)

    def _say_if_out_of_reach(self, how: _Flight, state: tuple[float, ...], target: float,
                             altimeter: Atmosphere | None) -> None:
        """Warns when even the extreme deployments cannot reach the target
        from the start (the flight is flown all the same); a target in the
        barometric frame is read by the `altimeter`'s air."""
        ends = []
        for level in (0.0, 1.0):
            result = _predict(how, state, level, self._drag_scale)
            if result.status != _OK:
                return  # the flight itself will say what is wrong
            ends.append(result.apogee if altimeter is None else float(altimeter.pressure_altitude(result.apogee)))
        if ends[1] > target:
            warnings.warn(
                f"the target {target!r} m is out of reach: even with the brakes fully open from the start "
                f"the apogee is {ends[1]:.1f} m", stacklevel=3)
        elif ends[0] < target:
            warnings.warn(
                f"the target {target!r} m is out of reach: even with the brakes closed the apogee is "
                f"{ends[0]:.1f} m", stacklevel=3)

    # -- the common part --------------------------------------------------

    def _flight(
        self,
        dof: int,
        method: aeso.OdeMethod,
        timestep_config: TimeStep | None,
        max_iterations: int,
        atmosphere: Atmosphere,
    ) -> _Flight:
        """How the vehicle flies: the native flight tuple."""
        if type(method) is not aeso.OdeMethod:
            raise TypeError(f"method must be an aeso.OdeMethod, not {type(method).__name__}")
        step = None if timestep_config is None else _arguments.step(timestep_config)
        iterations = (max_iterations if type(max_iterations) is int and 0 <= max_iterations <= _MAX_COUNTER
                      else _checks.count("max_iterations", max_iterations, _MAX_COUNTER))
        return (self._craft, atmosphere._air, dof, int(method), step, iterations)

    def _deployment(self, deployment: Deployment | None) -> float | _NativeSchedule:
        """The native deployment: a level or a schedule."""
        if deployment is None and self._brakes is None:
            return 0.0
        if self._brakes is None:
            if deployment is not None:
                raise ValueError("deployment: this vehicle has no brakes")
            return 0.0
        if deployment is None:
            raise ValueError("deployment is required for a vehicle with brakes: a level from 0 to 1 or (times, levels)")
        if isinstance(deployment, (tuple, list)) and not isinstance(deployment, (str, bytes)):
            if len(deployment) != 2:
                raise ValueError("deployment as a schedule is a pair (times, levels)")
            times = _checks.array("deployment times", deployment[0])
            levels = _checks.array("deployment levels", deployment[1])
            _checks.same_length("deployment times", times, "deployment levels", levels)
            _checks.increasing("deployment times", times)
            outside = np.flatnonzero((levels < 0.0) | (levels > 1.0))
            if outside.size:
                raise ValueError(f"deployment levels must be from 0 to 1: {float(levels[int(outside[0])])!r}")
            return _arguments.schedule(times, levels)
        if isinstance(deployment, (np.ndarray, Sequence)) and not isinstance(deployment, (str, bytes)):
            raise TypeError(f"deployment must be a level from 0 to 1 or a schedule (times, levels), "
                            f"not {type(deployment).__name__}")
        return _checks.level("deployment", deployment)

    def _predict(
        self,
        dof: int,
        initial_state: InitialState,
        method: aeso.OdeMethod,
        timestep_config: TimeStep | None,
        max_iterations: int,
        atmosphere: Atmosphere,
        deployment: Deployment | None,
        frame: _Frame,
    ) -> float:
        _, state = _state(initial_state, atmosphere, dof)
        barometric = _barometric(frame, atmosphere)
        how = self._flight(dof, method, timestep_config, max_iterations, atmosphere)
        result = _predict(how, state, self._deployment(deployment), self._drag_scale)
        if result.status != _OK:
            raise flight_error(result, how[5], atmosphere.heights)
        return float(atmosphere.pressure_altitude(result.apogee)) if barometric else result.apogee

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
        how = self._flight(dof, method, timestep_config, max_iterations, atmosphere)
        result = _simulate(how, state, self._deployment(deployment), self._drag_scale)
        if result.flight.status != _OK:
            raise flight_error(result.flight, how[5], atmosphere.heights)
        t = np.frombuffer(result.times, dtype=np.float64)
        return t, np.frombuffer(result.rows, dtype=np.float64).reshape(t.size, LOG_COLUMNS)


def _raw_sensors(raw: RawSensors, controller: object, atmosphere: Atmosphere, state: tuple[float, ...],
                 dof: int) -> tuple[object, ...]:
    """The native raw sensors of a flight in `atmosphere` from `state`: the
    estimator reads the barometer in the air it believes in (the raw
    sensors', else the controller's, else the flight's) from its prior about
    the initial height and vertical velocity, with the settings a log of
    these samples gets (FlightData.estimate)."""
    with_pressure(atmosphere, "raw sensors: the flight's air")
    believed = with_pressure(raw.believed_atmosphere or _controller_air(controller, atmosphere),
                             "raw sensors: the air the flight computer believes in")
    height, velocity = (state[0], state[1]) if dof == 1 else (state[1], state[4])
    mach_error = None if raw.barometer.mach_error is None else _arguments.schedule(*raw.barometer.mach_error)
    v = raw._values(height, velocity)
    return _arguments.raw_sensors(v[0:4], mach_error, v[4:8], atmosphere._air, believed._air,
                                  believed.pad_pressure, v[8:22], v[22:28])


def _barometric(frame: object, atmosphere: Atmosphere, name: str = "frame") -> bool:
    """Whether a frame is the barometric one, checked: the constant air has
    no altimeter."""
    if check_frame(name, frame) == "true":
        return False
    with_pressure(atmosphere, f"{name} barometric")
    return True


def _controller_air(controller: object, atmosphere: Atmosphere) -> Atmosphere:
    """The air a controller predicts in: its own, or the flight's."""
    air = getattr(controller, "atmosphere", None)
    if air is None:
        return atmosphere
    if not isinstance(air, Atmosphere):
        raise TypeError(f"{type(controller).__name__}.atmosphere must be an Atmosphere or None, "
                        f"not {type(air).__name__}")
    return air


#: The largest seed, sample or iteration limit: 2^64 - 1.
_MAX_COUNTER: Final = 2**64 - 1
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


def _warm(value: float, start: DeploymentSolution | DragScaleSolution) -> tuple[float, float, float, float]:
    return (value, start.slope, start.bracket[0], start.bracket[1])


def _solution(
    r: InverseResult, max_iterations: int, atmosphere: Atmosphere
) -> tuple[float, float, Reach, int, float, tuple[float, float]]:
    if r.status == _INVERSE_FAILED:
        raise flight_error(r.failure, max_iterations, atmosphere.heights)
    return (r.value, r.apogee, _REACH[r.status], r.predictions, r.slope, (r.low, r.high))
