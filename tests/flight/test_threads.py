"""Flights on two threads at once give the bits of the same flights on one."""

import threading

import aeso
import pytest
from conftest import BURNOUT_1DOF, RK45, predict, same_bits, simulate, state

from aeso_flight import Accelerometer, Barometer, Estimator, Predictive, RawSensors
from aeso_flight._arguments import TICK_COLUMNS

ROUNDS = 40


def work(vehicle, air, k):
    """A thread's flights: each round its own state, level and kind."""
    results = []
    for i in range(ROUNDS):
        dof = 1 + 2 * ((i + k) % 2)
        values = (BURNOUT_1DOF[0], BURNOUT_1DOF[1] - 3.0 * i) if dof == 1 else \
            (0.0, 988.26, -0.08 + 0.002 * i, 24.5, 305.3 - 3.0 * i, 0.0)
        level = ((i * 7 + k) % 11) / 10.0
        results.append(predict(vehicle, dof, state(dof, values), RK45, atmosphere=air, deployment=level))
        if i % 10 == k:
            results.append(simulate(vehicle, dof, state(dof, values), aeso.OdeMethod.RK3, atmosphere=air,
                                    deployment=(list(range(1, 12)), [level] * 11))[1])
    return results


def computers(vehicle, air, k):
    """A thread's controlled flights with raw sensors, the on-board
    estimator and drag learning: the tick logs and sensor logs."""
    board = RawSensors(Barometer(noise_sd=2.0, rate=50.0, lag=0.02), Accelerometer(noise_sd=0.05, rate=100.0),
                       estimator=Estimator(barometer_lag=0.02))
    results = []
    for i in range(4):
        dof = 1 + 2 * ((i + k) % 2)
        flight = vehicle.fly_controlled(state(dof), RK45, atmosphere=air, target=2900.0 + 50.0 * i,
                                        controller=Predictive(learn_drag=True, frame="barometric"), rate=20.0,
                                        sensors=board, seed=i + 10 * k)
        results += [getattr(flight.ticks, name) for name in TICK_COLUMNS]
        results.append(flight.sensor_log.pressure)
    return results


@pytest.mark.parametrize("work", [work, computers], ids=["flights", "flight computers"])
def test_two_threads_give_the_bits_of_one(braked, site_air, work):
    alone = [work(braked, site_air, k) for k in (0, 1)]
    together = [None, None]
    start = threading.Barrier(2)

    def run(k):
        start.wait()
        together[k] = work(braked, site_air, k)

    threads = [threading.Thread(target=run, args=(k,)) for k in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for a, b in zip(alone, together):
        assert len(a) == len(b) and all(same_bits(x, y) for x, y in zip(a, b))
