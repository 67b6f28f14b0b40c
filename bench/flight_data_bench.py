#!/usr/bin/env python3
"""Speed of a flight's data: the state estimate's filter and smoother in rows
per second, Vehicle.fit_drag on a 20,000-row log, and the estimate on 2
threads against 1.

A row is one time of the log: every row has an accelerometer sample (200 Hz)
and every other row a barometer sample, the shape of a board's log. The
rates are the native run's alone (FlightData.estimate's arrays in, the
estimate's arrays out), timed around the call to the compiled function with
the arrays made beforehand; fit_drag is timed as a user calls it, its
estimate included or given. Each figure is the best of several repeats (the
machine is shared), the thread ratio the median of interleaved repeats.

    python3 bench/flight_data_bench.py            # print the figures
    python3 bench/flight_data_bench.py --rows 2000000

The targets: the filter >= 5e6 rows/s, filter and smoother >= 2e6 rows/s,
fit_drag on 20,000 rows <= 50 ms.
"""

import argparse
import concurrent.futures
import math
import statistics
import sys
import sysconfig
import time

import aeso
import numpy as np

from aeso_flight import Atmosphere, Drag, Estimator, FlightData, Vehicle
from aeso_flight._native import estimate as native_estimate
from aeso_flight.estimation import prior, settings

AIR = Atmosphere.standard(1401.0, 10.0)
G0 = 9.80665


def synthetic_log(rows: int, seed: int = 1) -> FlightData:
    """A coast from 300 m/s sampled at 200 Hz (accelerometer) and 100 Hz
    (barometer), repeated past its apogee to reach `rows` rows."""
    rng = np.random.default_rng(seed)
    t = np.arange(rows) * 0.005
    period = 30.0
    phase = t % period
    v = 300.0 - 25.0 * phase
    h = 900.0 + 300.0 * phase - 12.5 * phase**2
    pressure = AIR.pressure(np.clip(h, 0.0, 20000.0)) + rng.normal(0.0, 3.0, rows)
    pressure[1::2] = np.nan
    force = -15.0 + 0.05 * v + rng.normal(0.0, 0.1, rows)
    return FlightData(t, pressure=pressure, acceleration=force, launch=-1.0, burnout=0.0)


def native_call(data: FlightData, smoothed: bool):
    """The compiled estimate's call on `data`, its output arrays made (and
    written once, so that their pages exist) beforehand."""
    n = data.time.size
    t = np.ascontiguousarray(data.time)
    p = np.ascontiguousarray(data.pressure)
    f = np.ascontiguousarray(data.specific_force)
    args = (AIR._air, AIR.pad_pressure, settings(Estimator(), 0.005, 0.01, -math.inf), prior(Estimator(), 900.0, 300.0),
            t, p, f, smoothed)
    outs = (np.zeros(3 * n), np.zeros(9 * n), np.zeros(n, dtype=np.int8), np.zeros(n, dtype=np.int8))
    return lambda: native_estimate(*args, *outs)


def rows_per_second(data: FlightData, smoothed: bool, repeats: int) -> float:
    n = data.time.size
    call = native_call(data, smoothed)
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return n / best


def fit_drag_seconds(repeats: int) -> tuple[float, float]:
    """(fit_drag with its own estimate, fit_drag given the estimate) on 20,000 rows."""
    data = synthetic_log(20000)
    rocket = aeso.Rocket(mass=16.91, cd=0.4, area_drag=0.01533, area_lift=0.01533, moment_of_inertia=6.4,
                         stab_margin_dimensional=0.28, cl_a=10.0)
    vehicle = Vehicle(rocket, drag=Drag(mach=[0.3, 0.9], cd=[0.38, 0.33]))
    initial = aeso.InitialState1DOF(900.0, 300.0)
    until = 25.0  # one coast
    whole, given = math.inf, math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        e = data.estimate(AIR, initial=initial)
        vehicle.fit_drag(data, atmosphere=AIR, estimate=e, until=until)
        whole = min(whole, time.perf_counter() - start)
        start = time.perf_counter()
        vehicle.fit_drag(data, atmosphere=AIR, estimate=e, until=until)
        given = min(given, time.perf_counter() - start)
    return whole, given


def thread_ratio(data: FlightData, repeats: int, native: bool) -> float:
    """Estimates per second on 2 threads over 1 thread (each thread runs
    the same number of smoothed estimates): the compiled call alone (each
    thread with its own outputs), or FlightData.estimate as a user calls it."""
    calls = 8
    own = [native_call(data, True) for _ in range(2)]

    def work(index: int) -> None:
        for _ in range(calls):
            if native:
                own[index]()
            else:
                data.estimate(AIR, initial=aeso.InitialState1DOF(900.0, 300.0))

    ratios = []
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for _ in range(repeats):
            rates = []
            for threads in (1, 2):
                start = time.perf_counter()
                list(pool.map(work, range(threads)))
                rates.append(threads * calls / (time.perf_counter() - start))
            ratios.append(rates[1] / rates[0])
    return statistics.median(ratios)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    data = synthetic_log(args.rows)
    gil = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL"
    print(f"Python {sys.version.split()[0]} ({gil}), {args.rows} rows")
    print(f"filter:               {rows_per_second(data, False, args.repeats) / 1e6:.2f}e6 rows/s (target >= 5e6)")
    print(f"filter and smoother:  {rows_per_second(data, True, args.repeats) / 1e6:.2f}e6 rows/s (target >= 2e6)")
    whole, given = fit_drag_seconds(args.repeats)
    print(f"fit_drag, 20,000 rows: {whole * 1e3:.1f} ms with its estimate, {given * 1e3:.2f} ms given it "
          f"(target <= 50 ms)")
    threaded = synthetic_log(200_000)
    print(f"estimate on 2 threads: {thread_ratio(threaded, args.repeats, True):.2f}x one thread (the compiled "
          f"call), {thread_ratio(threaded, args.repeats, False):.2f}x (FlightData.estimate)")


if __name__ == "__main__":
    main()
