"""The inverses: the brake deployment, or the factor on the drag, whose
predicted apogee is a target, cold and warm-started along a coast."""

import statistics

import aeso
import pytest
from conftest import RK45, predict, rocket, simulate, state

from aeso_flight import Brakes, Predictive, Reach, Vehicle


@pytest.mark.parametrize("dof", [1, 3])
@pytest.mark.parametrize("target", [2700.0, 3048.0, 3500.0, 4000.0])
def test_reachable_targets_cold(braked, site_air, dof, target):
    solution = braked.deployment_for_apogee(target, state(dof), RK45, atmosphere=site_air)
    assert solution.status is Reach.REACHED
    assert abs(solution.apogee - target) <= 0.01
    assert solution.predictions <= 10
    assert 0.0 < solution.level < 1.0
    # The level flown on its own gives that apogee.
    assert predict(braked, dof, state(dof), RK45, atmosphere=site_air, deployment=solution.level) == solution.apogee


@pytest.mark.parametrize("dof", [1, 3])
@pytest.mark.parametrize("target, status, level", [(2000.0, Reach.TOO_HIGH, 1.0), (4500.0, Reach.TOO_LOW, 0.0)])
def test_unreachable_targets(braked, site_air, dof, target, status, level):
    solution = braked.deployment_for_apogee(target, state(dof), RK45, atmosphere=site_air)
    assert (solution.status, solution.level) == (status, level)
    assert solution.apogee == predict(braked, dof, state(dof), RK45, atmosphere=site_air, deployment=level)
    assert (solution.apogee > target) == (status is Reach.TOO_HIGH)


@pytest.mark.parametrize("dof", [1, 3])
@pytest.mark.parametrize("target", [3048.0, 3300.0])
@pytest.mark.parametrize("inverse", ["deployment", "drag_scale"])
def test_warm_start_along_a_coast(braked, site_air, dof, target, inverse):
    """Consecutive decisions of a 100 Hz loop, each warm-started from the
    last, on the states of a flight with the brakes closed."""
    _, states = simulate(braked, dof, state(dof), aeso.OdeMethod.RK3, aeso.FixedTimeStep(0.01),
                         atmosphere=site_air, deployment=0.0)
    vehicle = braked if inverse == "deployment" else Vehicle(rocket())
    solve = vehicle.deployment_for_apogee if inverse == "deployment" else vehicle.drag_scale_for_apogee
    previous, counts = None, []
    for row in states[:300]:
        here = state(dof, tuple(row[:2] if dof == 1 else row[:6]))
        solution = solve(target, here, RK45, atmosphere=site_air, start=previous)
        if solution.status is not Reach.REACHED:
            break
        assert abs(solution.apogee - target) <= 0.01
        counts.append(solution.predictions)
        previous = solution
    assert len(counts) >= 100
    assert statistics.median(counts) <= 3


@pytest.mark.parametrize("dof", [1, 3])
@pytest.mark.parametrize("target", [1500.0, 3048.0, 5000.0])
def test_drag_scale_for_apogee_cold(site_air, dof, target):
    vehicle = Vehicle(rocket())
    solution = vehicle.drag_scale_for_apogee(target, state(dof), RK45, atmosphere=site_air)
    assert solution.status is Reach.REACHED
    assert abs(solution.apogee - target) <= 0.01
    assert solution.predictions <= 10
    scaled = Vehicle(rocket(cd=0.35 * solution.scale))
    assert predict(scaled, dof, state(dof), RK45, atmosphere=site_air) == pytest.approx(solution.apogee, abs=1e-6)


@pytest.mark.parametrize("target, status", [(1e5, Reach.TOO_LOW), (900.0, Reach.TOO_HIGH)])
def test_drag_scale_out_of_reach(site_air, target, status):
    solution = Vehicle(rocket()).drag_scale_for_apogee(target, state(1), RK45, atmosphere=site_air)
    assert solution.status is status
    assert (solution.apogee > target) == (status is Reach.TOO_HIGH)
    assert solution.scale == (0.0 if status is Reach.TOO_LOW else 2.0**20)


# A measured brake table: closed, the petals add some drag; opened to 0.1
# they add less at the three lowest Mach numbers (by up to 0.016), more above.
DIPPING = Brakes([0.0, 0.1, 0.3, 0.6, 1.0], [0.2, 0.4, 0.6, 0.8, 1.0],
                 [[0.050, 0.052, 0.060, 0.070, 0.080],
                  [0.034, 0.040, 0.048, 0.075, 0.090],
                  [0.150, 0.160, 0.170, 0.190, 0.210],
                  [0.350, 0.360, 0.380, 0.410, 0.450],
                  [0.600, 0.620, 0.650, 0.700, 0.760]])
COAST = aeso.InitialState1DOF(988.26, 250.0)


def dipping_apogee(level, air):
    return Vehicle(rocket(), brakes=DIPPING).predict_apogee_1dof(COAST, RK45, atmosphere=air, deployment=level)


def test_a_dipping_table_is_accepted_with_its_falling_cells_named():
    assert DIPPING.decreasing == ((0.0, 0.1, 0.2), (0.0, 0.1, 0.4), (0.0, 0.1, 0.6))
    assert not DIPPING.monotone


# Targets where the apogee rises with the level (two levels reach them: the
# smaller is the answer), where it falls, and the highest it reaches.
@pytest.mark.parametrize("fraction", [0.05, 0.3, 0.8, 0.999, -0.3, -3.0])
def test_a_dipping_table_is_searched_as_given_for_the_smallest_level(site_air, fraction):
    closed, top = dipping_apogee(0.0, site_air), dipping_apogee(0.1, site_air)
    assert top > closed  # the dip lifts the apogee
    target = closed + fraction * (top - closed)
    solution = Vehicle(rocket(), brakes=DIPPING).deployment_for_apogee(target, COAST, RK45, atmosphere=site_air)
    assert solution.status is Reach.REACHED
    again = dipping_apogee(solution.level, site_air)
    assert again == solution.apogee and abs(again - target) <= 0.01
    # No smaller level reaches the target: the apogee stays on the side of
    # the closed brakes' below the answer.
    below = [dipping_apogee(level, site_air) - target for level in
             [solution.level * k / 50 for k in range(50)]]
    assert all((miss > 0.0) == (closed > target) for miss in below if abs(miss) > 0.01)


def test_predictive_flies_a_dipping_table(site_air):
    flight = Vehicle(rocket(), brakes=DIPPING).fly_controlled(
        COAST, RK45, atmosphere=site_air, target=3000.0, controller=Predictive(), rate=20.0)
    assert abs(flight.miss) < 1.0 and flight.failed_decisions == 0
