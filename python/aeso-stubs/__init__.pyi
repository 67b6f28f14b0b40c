"""Type information for the aeso extension module: coasting-rocket flight
simulation and apogee prediction.

Internal errors. When the module's native code fails an internal consistency
check (for example ``AdaptiveTimeStep.next_dt`` with ``dt_min > dt_max``, or a
prediction that reaches ``max_iterations`` before apogee), it raises an
exception of class ``aeso_runtime.InternalError``. That class derives from
``BaseException``, not ``Exception`` (like ``SystemExit``), so
``except Exception`` does not catch it. It is created the first time such an
error happens and is not an attribute of this module, so it cannot be named in
an ``except`` clause; catch ``BaseException`` and test the class instead::

    try:
        apogee = rocket.predict_apogee_1dof(state, aeso.OdeMethod.RK45)
    except BaseException as exc:
        cls = type(exc)
        if (cls.__module__, cls.__qualname__) != ("aeso_runtime", "InternalError"):
            raise
        message = str(exc)  # the failure message, also exc.args[0]
"""

from typing import ClassVar, Self, SupportsFloat, SupportsIndex, final, overload, type_check_only

import numpy as np
import numpy.typing as npt

__all__ = [
    "OdeMethod",
    "Rocket",
    "FixedTimeStep",
    "AdaptiveTimeStep",
    "InitialState1DOF",
    "InitialState3DOF",
]

_Float = SupportsFloat | SupportsIndex

@final
@type_check_only
class _FloatAttribute:
    """A float attribute of an aeso object: reads give a float; assignments take
    anything that converts to float (int, NumPy scalars, objects with __float__
    or __index__); it cannot be deleted."""

    @overload
    def __get__(self, instance: None, owner: type[object], /) -> Self: ...
    @overload
    def __get__(self, instance: object, owner: type[object] | None = None, /) -> float: ...
    def __set__(self, instance: object, value: _Float, /) -> None: ...

_Times = npt.NDArray[np.float64]
"""Times of the logged states (s), shape (n,)."""
_States = npt.NDArray[np.float64]
"""Logged states, shape (n, 9); columns as described on Rocket.simulate_flight_1dof/3dof."""

@final
class OdeMethod:
    """Numerical integration methods for the ODE solver."""

    Euler: ClassVar[OdeMethod]
    RK3: ClassVar[OdeMethod]
    RK45: ClassVar[OdeMethod]
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __int__(self) -> int: ...
    # Equal to the same member, or to an int (or an object with __index__)
    # holding the member's value; no ordering.
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class FixedTimeStep:
    dt: _FloatAttribute
    def __new__(cls, dt: _Float) -> FixedTimeStep: ...

@final
class AdaptiveTimeStep:
    dt: _FloatAttribute
    """Initial timestep guess"""
    dt_min: _FloatAttribute
    """Minimum timestep"""
    dt_max: _FloatAttribute
    """Maximum timestep"""
    absolute_error_tolerance: _FloatAttribute
    """Absolute error tolerance"""
    relative_error_tolerance: _FloatAttribute
    """Relative error tolerance"""

    def __new__(
        cls,
        dt: _Float,
        dt_min: _Float,
        dt_max: _Float,
        absolute_error_tolerance: _Float,
        relative_error_tolerance: _Float,
    ) -> AdaptiveTimeStep: ...
    @staticmethod
    def default() -> AdaptiveTimeStep: ...
    def next_dt(self, error_norm: _Float) -> float:
        """Computes the next timestep size based on the current error norm using a common
        adaptive timestep control formula."""

@final
class InitialState1DOF:
    """Struct for defining the initial conditions of a 1-DOF simulation."""

    initial_height: _FloatAttribute
    initial_velocity: _FloatAttribute
    def __new__(cls, initial_height: _Float, initial_velocity: _Float) -> InitialState1DOF: ...

@final
class InitialState3DOF:
    """Struct for defining the initial conditions of a 3-DOF simulation."""

    x: _FloatAttribute
    y: _FloatAttribute
    angle: _FloatAttribute
    vx: _FloatAttribute
    vy: _FloatAttribute
    angular_rate: _FloatAttribute
    def __new__(
        cls,
        x: _Float,
        y: _Float,
        angle: _Float,
        vx: _Float,
        vy: _Float,
        angular_rate: _Float,
    ) -> InitialState3DOF: ...

@final
@type_check_only
class RocketProperties:
    """Represents the physical properties of the rocket used in the simulation.

    Not importable from aeso (only for annotations, under TYPE_CHECKING or in
    quotes): obtained by reading Rocket.rocket_properties, which returns a
    detached copy; assign it back to change the rocket."""

    mass: _FloatAttribute
    """Mass of the rocket (kg)"""
    cd: _FloatAttribute
    """Drag coefficient"""
    area_drag: _FloatAttribute
    """Reference area for drag (m^2)"""
    area_lift: _FloatAttribute
    """Reference area for lift (m^2)"""
    moment_of_inertia: _FloatAttribute
    """Moment of inertia about the z-axis (kg*m^2)"""
    stab_margin_dimensional: _FloatAttribute
    """Static stability margin (m)"""
    cl_a: _FloatAttribute
    """Lift coefficient slope (per radian)"""

@final
class Rocket:
    rocket_properties: RocketProperties
    """A copy of the rocket's properties; assign a RocketProperties to change them."""

    def __new__(
        cls,
        mass: _Float,
        cd: _Float,
        area_drag: _Float,
        area_lift: _Float,
        moment_of_inertia: _Float,
        stab_margin_dimensional: _Float,
        cl_a: _Float,
    ) -> Rocket: ...
    def simulate_flight_1dof(
        self,
        initial_state: InitialState1DOF,
        integration_method: OdeMethod,
        timestep_config: FixedTimeStep | AdaptiveTimeStep | None = None,
        max_iterations: SupportsIndex = 100000,
        print_output: bool | np.bool_ = False,
    ) -> tuple[_Times, _States]:
        """Rows: height, velocity, acceleration, then six zeros."""
    def simulate_flight_3dof(
        self,
        initial_state: InitialState3DOF,
        integration_method: OdeMethod,
        timestep_config: FixedTimeStep | AdaptiveTimeStep | None = None,
        max_iterations: SupportsIndex = 100000,
        print_output: bool | np.bool_ = False,
    ) -> tuple[_Times, _States]:
        """Rows: x, y, angle, vx, vy, angular_rate, d(vx)/dt, d(vy)/dt, d(angular_rate)/dt."""
    def predict_apogee_1dof(
        self,
        initial_state: InitialState1DOF,
        integration_method: OdeMethod,
        timestep_config: FixedTimeStep | AdaptiveTimeStep | None = None,
        max_iterations: SupportsIndex = 100000,
        print_output: bool | np.bool_ = False,
    ) -> float: ...
    def predict_apogee_3dof(
        self,
        initial_state: InitialState3DOF,
        integration_method: OdeMethod,
        timestep_config: FixedTimeStep | AdaptiveTimeStep | None = None,
        max_iterations: SupportsIndex = 100000,
        print_output: bool | np.bool_ = False,
    ) -> float: ...
