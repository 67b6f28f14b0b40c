"""Drag and brake tables as the flights see them, and brake schedules.

In the constant air a 1-DOF flight log gives back the drag coefficient each
acceleration was computed with (conftest.drag_coefficients): it must be the
table's value at the Mach number and deployment of the state it was computed
at, at the table's points, between them and held beyond its ends."""

import aeso
import numpy as np
import pytest
from conftest import AREA, BRAKES, RK45, ROCKET, drag_coefficients, predict, rocket, same_bits, simulate, state

from aeso_flight import Atmosphere, Brakes, Drag, Vehicle

AIR = Atmosphere.constant()
MACH = [0.3, 0.6, 0.9, 1.2]
CD = [0.5, 0.3, 0.45, 0.4]
FAST = 600.0  # m/s, Mach 1.76 in the constant air: the flight crosses the whole table


def first_mach(velocity):
    """The Mach number of a flight's first state."""
    _, states = Vehicle(rocket()).simulate_flight_1dof(aeso.InitialState1DOF(0.0, velocity), RK45, atmosphere=AIR)
    return states[0, 10]


def check_recovered(vehicle, velocity, expected, deployment=None):
    """The flight's recovered drag coefficients against expected(mach, level)."""
    kwargs = {} if deployment is None else {"deployment": deployment}
    _, states = vehicle.simulate_flight_1dof(aeso.InitialState1DOF(0.0, velocity), RK45, atmosphere=AIR, **kwargs)
    cd, mach, level, v = drag_coefficients(states, ROCKET["mass"], AREA)
    fast = v > 5.0  # below, gravity swamps the drag in the recovered value
    np.testing.assert_allclose(cd[fast], expected(mach[fast], level[fast]), rtol=1e-11)
    return cd, mach


@pytest.mark.parametrize("at", [None, 0, 2, 3], ids=["between", "first-point", "inner-point", "last-point"])
def test_drag_against_mach_at_and_between_points_and_held_beyond(at):
    mach = list(MACH)
    velocity = FAST
    if at is not None:
        # The first state's Mach number made a point of the table: the
        # second row's acceleration was computed exactly there.
        velocity = MACH[at] * 340.294
        mach[at] = first_mach(velocity)
    drag = Drag(mach, CD)
    cd, seen = check_recovered(Vehicle(rocket(), drag=drag), velocity,
                               lambda m, _: np.interp(m, mach, CD))
    if at is not None:
        assert cd[0] == pytest.approx(CD[at], rel=1e-12)
    else:
        assert seen.max() > mach[-1] and seen.min() < mach[0]


@pytest.mark.parametrize("level", [0.0, 0.3, 0.5, 0.77, 1.0])
@pytest.mark.parametrize("replace, area", [(False, None), (False, 2.5 * AREA), (True, None)],
                         ids=["added", "own-area", "replacing"])
def test_brake_drag_at_and_between_deployment_rows(level, replace, area):
    brakes = Brakes(BRAKES["deployment"], [0.3, 0.7, 1.1], [[0.1, 0.1, 0.1], [0.4, 0.5, 0.45], [0.9, 1.2, 1.0]],
                    replace=replace, area=area)
    body = None if replace else Drag(MACH, CD)
    ratio = 1.0 if area is None else area / AREA

    def expected(mach, deployment):
        cd = brakes.coefficient(deployment, mach) * ratio
        return cd if replace else cd + np.interp(mach, MACH, CD)

    check_recovered(Vehicle(rocket(), drag=body, brakes=brakes), FAST, expected, deployment=level)


def test_a_schedule_is_read_at_each_states_time():
    brakes = Brakes(**BRAKES)
    schedule = ([0.5, 1.25, 3.0, 4.0], [0.0, 1.0, 0.2, 0.6])
    vehicle = Vehicle(rocket(), brakes=brakes)
    times, states = vehicle.simulate_flight_1dof(aeso.InitialState1DOF(0.0, FAST), RK45, atmosphere=AIR,
                                                 deployment=schedule)
    np.testing.assert_array_equal(states[:, 11], np.interp(times, *schedule))
    check_recovered(vehicle, FAST, lambda m, d: brakes.coefficient(d, m) + ROCKET["cd"], deployment=schedule)


KNOTS = [0.3, 1.0, 2.625, 7.0, 11.1]
STEPS = [(aeso.OdeMethod.Euler, aeso.FixedTimeStep(0.125)), (aeso.OdeMethod.RK3, None), (RK45, None),
         (RK45, aeso.AdaptiveTimeStep(0.01, 1e-6, 2.0, 1e-3, 1e-3))]
STEP_IDS = ["euler-0.125", "rk3", "rk45", "rk45-long-steps"]


@pytest.mark.parametrize("dof", [1, 3])
@pytest.mark.parametrize("method, step", STEPS, ids=STEP_IDS)
def test_schedule_knots_are_step_boundaries(braked, site_air, dof, method, step):
    times, _ = simulate(braked, dof, state(dof), method, step, atmosphere=site_air,
                        deployment=(KNOTS, [0.0, 0.8, 0.1, 1.0, 0.4]))
    inside = [k for k in KNOTS if k < times[-1]]
    assert len(inside) >= 3
    assert set(inside) <= set(times.tolist())


@pytest.mark.parametrize("dof", [1, 3])
@pytest.mark.parametrize("method, step", STEPS[:3], ids=STEP_IDS[:3])
@pytest.mark.parametrize("knots", [[0.0], [-1.0, 0.0], [40.0, 50.0], [2.0, 4.0, 7.5]],
                         ids=["at-start", "before", "after-apogee", "on-fixed-steps"])
def test_a_schedule_held_constant_is_that_level(braked, site_air, dof, method, step, knots):
    held = (knots, [0.35] * len(knots))
    lands = any(0.0 < k < 30.0 for k in knots)
    if lands and step != STEPS[0][1]:
        # Knots that fall between steps shorten the steps before them: the
        # same flight, stepped differently.
        assert predict(braked, dof, state(dof), method, step, atmosphere=site_air, deployment=held) == \
            pytest.approx(predict(braked, dof, state(dof), method, step, atmosphere=site_air, deployment=0.35),
                          abs=0.05)
        return
    a = simulate(braked, dof, state(dof), method, step, atmosphere=site_air, deployment=held)
    b = simulate(braked, dof, state(dof), method, step, atmosphere=site_air, deployment=0.35)
    assert same_bits(a[0], b[0]) and same_bits(a[1], b[1])
