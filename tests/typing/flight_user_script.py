"""A small user program written against aeso_flight's annotations: an air-brake
team's day at the pad. mypy --strict must accept it as it is, and it must run
without error."""

from __future__ import annotations

import math
from typing import assert_type

import numpy as np
import numpy.typing as npt

import aeso
from aeso_flight import (PID, Accelerometer, Atmosphere, Barometer, Brakes, DeploymentSolution, Drag,
                         DragScaleSolution, Estimator, FlightData, FlightError, Predictive, RawSensors, Reach, TickLog,
                         Vehicle)

AREA = math.pi * 0.06985**2


def decide(vehicle: Vehicle, states: npt.NDArray[np.float64], air: Atmosphere, target: float) -> list[float]:
    """Consecutive decisions of a control loop, each warm-started from the last."""
    levels: list[float] = []
    previous: DeploymentSolution | None = None
    for row in states[:20]:
        state = aeso.InitialState1DOF(float(row[0]), float(row[1]))
        previous = vehicle.deployment_for_apogee(target, state, aeso.OdeMethod.RK45, atmosphere=air,
                                                 start=previous)
        levels.append(previous.level)
    return levels


def main() -> None:
    rocket = aeso.Rocket(mass=16.911, cd=0.35, area_drag=AREA, area_lift=AREA, moment_of_inertia=6.4,
                         stab_margin_dimensional=0.28, cl_a=10.0)
    hot_day = Atmosphere.standard(site_elevation=1401.0, temperature_offset=12.0)
    at_the_pad = Atmosphere.standard(1401.0, pad_temperature=300.0, pad_pressure=86000.0)
    assert_type(hot_day.density(0.0), float)
    heights = np.linspace(0.0, 3000.0, 7)
    assert np.shape(at_the_pad.pressure(heights)) == (7,)
    low, high = Atmosphere.constant().heights
    assert math.isinf(low) and math.isinf(high)

    drag = Drag(mach=[0.15, 0.45, 0.77, 0.99, 1.24], cd=[0.422, 0.38, 0.32, 0.37, 0.43])
    assert_type(drag.coefficient(0.5), float | npt.NDArray[np.float64])
    brakes = Brakes(deployment=[0.0, 0.5, 1.0], mach=[0.3, 0.9], cd=[[0.0, 0.0], [0.4, 0.45], [0.9, 1.0]])
    vehicle = Vehicle(rocket, drag=drag, brakes=brakes)
    assert vehicle.brakes == brakes and Vehicle(rocket, drag=Drag.constant(0.35)).drag is not None

    burnout = aeso.InitialState1DOF(988.26, 305.3)
    planar = aeso.InitialState3DOF(0.0, 988.26, -0.08, 24.5, 305.3, 0.0)
    apogee = vehicle.predict_apogee_1dof(burnout, aeso.OdeMethod.RK45, atmosphere=hot_day, deployment=0.3)
    assert_type(apogee, float)
    apogee_3dof = vehicle.predict_apogee_3dof(planar, aeso.OdeMethod.RK3, aeso.FixedTimeStep(0.01),
                                              atmosphere=at_the_pad, deployment=([1.0, 2.0], [0.0, 0.8]))
    assert abs(apogee - apogee_3dof) < 1000.0
    times, states = vehicle.simulate_flight_1dof(burnout, aeso.OdeMethod.RK3, atmosphere=hot_day, deployment=0.0)
    assert_type(states, npt.NDArray[np.float64])
    assert states.shape == (times.size, 12)
    _, planar_states = vehicle.simulate_flight_3dof(planar, aeso.OdeMethod.RK45, aeso.AdaptiveTimeStep.default(),
                                                    atmosphere=hot_day, deployment=1.0)
    assert float(planar_states[-1, 11]) == 1.0

    levels = decide(vehicle, states, hot_day, 3048.0)
    assert all(0.0 <= level <= 1.0 for level in levels)
    sizing = Vehicle(rocket).drag_scale_for_apogee(3048.0, planar, aeso.OdeMethod.RK45, atmosphere=hot_day)
    assert_type(sizing, DragScaleSolution)
    assert sizing.status is Reach.REACHED and sizing.scale > 1.0

    board = (Barometer(noise_sd=2.0, rate=50.0, lag=0.02, resolution=1.0, mach_error=([0.8, 1.0], [0.0, 0.1])),
             Accelerometer(noise_sd=0.05, bias=0.02, rate=100.0))
    assert_type(board[0].error_coefficient(0.9), float | npt.NDArray[np.float64])
    assert board[1].rate == 2.0 * board[0].rate
    computer = RawSensors(*board, estimator=Estimator(barometer_lag=0.02))
    flown = vehicle.fly_controlled(burnout, aeso.OdeMethod.RK45, atmosphere=hot_day, target=3048.0,
                                   controller=Predictive(learn_drag=True), rate=20.0, sensors=computer,
                                   frame="barometric")
    assert_type(flown.sensor_log, FlightData | None)
    assert_type(flown.initial_estimate, aeso.InitialState1DOF | None)
    assert_type(flown.ticks.learned_scale, npt.NDArray[np.float64])
    assert flown.sensor_log is not None and flown.barometric_apogee is not None
    decisions = flown.sensor_log.replay(vehicle, PID(0.01, target=3048.0, learn_drag=True), atmosphere=hot_day,
                                        rate=20.0)
    assert_type(decisions, TickLog)
    scored = vehicle.predict_apogee_1dof(burnout, aeso.OdeMethod.RK45, atmosphere=hot_day, deployment=0.3,
                                         frame="barometric")
    assert_type(scored, float)

    try:
        Vehicle(rocket).predict_apogee_1dof(aeso.InitialState1DOF(0.0, 900.0), aeso.OdeMethod.RK45,
                                            atmosphere=Atmosphere.standard(site_elevation=85000.0))
    except FlightError as error:
        assert error.reason == "left_atmosphere" and error.height is not None
    else:
        raise AssertionError("the flight should have left the atmosphere")


if __name__ == "__main__":
    main()
