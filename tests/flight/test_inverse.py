"""The inverses: the brake deployment, or the factor on the drag, whose
predicted apogee is a target, cold and warm-started along a coast."""

import statistics

import aeso
import pytest
from conftest import RK45, predict, rocket, simulate, state

from aeso_flight import Reach, Vehicle


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
