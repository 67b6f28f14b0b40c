"""What the aeso_flight tests share: Prometheus' rocket, its burnout states and
a brake table, and the helpers that read a flight log."""

import math

import aeso
import numpy as np
import pytest

from aeso_flight import Atmosphere, Brakes, Vehicle

AREA = math.pi * 0.06985**2
# Prometheus (launch site 1401 m) from just after burnout.
ROCKET = dict(mass=16.911, cd=0.35, area_drag=AREA, area_lift=AREA, moment_of_inertia=6.4,
              stab_margin_dimensional=0.28, cl_a=10.0)
BURNOUT_1DOF = (988.26, 305.3)
BURNOUT_3DOF = (0.0, 988.26, -0.08, 24.5, 305.3, 0.0)
SITE = 1401.0
# Drag coefficient of the brakes over (deployment, Mach), referred to the
# rocket's area: monotone in deployment.
BRAKES = dict(deployment=[0.0, 0.5, 1.0], mach=[0.3, 0.9],
              cd=[[0.0, 0.0], [0.4, 0.45], [0.9, 1.0]])
GRAVITY = 9.80665
RK45 = aeso.OdeMethod.RK45
METHODS = (aeso.OdeMethod.Euler, aeso.OdeMethod.RK3, aeso.OdeMethod.RK45)


def rocket(**changes):
    return aeso.Rocket(**{**ROCKET, **changes})


def state(dof, values=None):
    if dof == 1:
        return aeso.InitialState1DOF(*(values or BURNOUT_1DOF))
    return aeso.InitialState3DOF(*(values or BURNOUT_3DOF))


def predict(vehicle, dof, initial, *args, **kwargs):
    fly = vehicle.predict_apogee_1dof if dof == 1 else vehicle.predict_apogee_3dof
    return fly(initial, *args, **kwargs)


def simulate(vehicle, dof, initial, *args, **kwargs):
    fly = vehicle.simulate_flight_1dof if dof == 1 else vehicle.simulate_flight_3dof
    return fly(initial, *args, **kwargs)


def drag_coefficients(states, mass, area):
    """The drag coefficient each 1-DOF log row's acceleration was computed
    with, and the density and Mach number of the state it was computed at:
    row k's acceleration is the derivative at the state of row k-1."""
    v = states[:-1, 1]
    accel = states[1:, 2]
    rho = states[:-1, 9]
    cd = (-accel - GRAVITY) * mass / (rho / 2.0 * v * v * area)
    return cd, states[:-1, 10], states[:-1, 11], v


@pytest.fixture(scope="session")
def site_air():
    return Atmosphere.standard(site_elevation=SITE)


@pytest.fixture(scope="session")
def braked():
    return Vehicle(rocket(), brakes=Brakes(**BRAKES))


def same_bits(a, b):
    return np.array_equal(np.asarray(a), np.asarray(b), equal_nan=True)
