"""A small user program written against the aeso stubs: it uses every class,
attribute and method the way the documentation describes. mypy --strict must
accept it as it is, and it must run without error."""

from __future__ import annotations

from fractions import Fraction
from typing import TYPE_CHECKING, assert_type

import numpy as np
import numpy.typing as npt

import aeso

if TYPE_CHECKING:
    # Only for annotations: the class is not a module attribute at run time.
    from aeso import RocketProperties


def heavier(rocket: aeso.Rocket, extra_mass: float) -> RocketProperties:
    properties = rocket.rocket_properties
    properties.mass = properties.mass + extra_mass
    rocket.rocket_properties = properties
    return properties


def internal_error_message(rocket: aeso.Rocket, state: aeso.InitialState1DOF) -> str | None:
    """The message of the internal error raised by a prediction that ends
    before apogee, caught as the stub's documentation describes."""
    try:
        rocket.predict_apogee_1dof(state, aeso.OdeMethod.Euler, max_iterations=2)
    except BaseException as exc:
        cls = type(exc)
        if (cls.__module__, cls.__qualname__) != ("aeso_runtime", "InternalError"):
            raise
        return str(exc)
    return None


def main() -> None:
    rocket = aeso.Rocket(mass=20.0, cd=0.45, area_drag=0.0081, area_lift=0.0081,
                         moment_of_inertia=8.5, stab_margin_dimensional=0.25, cl_a=2)
    vertical = aeso.InitialState1DOF(0, 250.0)
    planar = aeso.InitialState3DOF(x=0.0, y=0.0, angle=0.05, vx=-12.49, vy=249.69,
                                   angular_rate=np.float64(0.0))
    vertical.initial_velocity = 240.0
    vertical.initial_height = np.float32(0.0)  # attributes take what converts to float
    assert_type(planar.vy, float)

    methods = [aeso.OdeMethod.Euler, aeso.OdeMethod.RK3, aeso.OdeMethod.RK45]
    assert [int(m) for m in methods] == [0, 1, 2]
    assert aeso.OdeMethod.RK3 == 1 and aeso.OdeMethod.Euler != aeso.OdeMethod.RK45

    fixed = aeso.FixedTimeStep(Fraction(1, 100))
    adaptive = aeso.AdaptiveTimeStep.default()
    adaptive.relative_error_tolerance = 1e-3
    adaptive.dt_max = Fraction(1, 10)
    assert_type(adaptive.dt_max, float)
    assert_type(adaptive.next_dt(error_norm=0.5), float)

    apogee = rocket.predict_apogee_1dof(vertical, aeso.OdeMethod.RK3, fixed)
    assert_type(apogee, float)
    apogee_3dof = rocket.predict_apogee_3dof(
        planar, aeso.OdeMethod.RK45, timestep_config=adaptive,
        max_iterations=np.int64(100000), print_output=np.False_)
    assert_type(apogee_3dof, float)

    times, states = rocket.simulate_flight_3dof(planar, aeso.OdeMethod.RK45, None)
    assert_type(times, npt.NDArray[np.float64])
    assert_type(states, npt.NDArray[np.float64])
    altitude = states[:, 1]
    assert altitude.shape == times.shape
    times_1dof, _ = rocket.simulate_flight_1dof(vertical, aeso.OdeMethod.Euler, print_output=False)
    assert times_1dof.ndim == 1

    properties = heavier(rocket, 1.0)
    assert_type(properties.cl_a, float)
    assert rocket.rocket_properties.mass == 21.0

    message = internal_error_message(rocket, vertical)
    assert message == "Index out of bounds", message


if __name__ == "__main__":
    main()
