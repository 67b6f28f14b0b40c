#!/usr/bin/env python3
"""How long other threads wait while one thread runs a long prediction.

One thread runs an Euler 1-DOF prediction sized to last about --seconds;
meanwhile the main thread times gc.collect() (a stop-the-world pause on a
free-threaded interpreter, a GIL acquisition on a GIL build) and a heartbeat
thread that sleeps 5 ms between ticks records its largest gap.

    python3 bench/stalls.py --seconds 3
"""

import argparse
import gc
import sys
import sysconfig
import threading
import time

import aeso

ROCKET = (1.0, 0.5, 0.01, 0.02, 0.1, 0.05, 2.0)
INIT = aeso.InitialState1DOF(0.0, 200.0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="length of the long run")
    args = parser.parse_args()

    rocket = aeso.Rocket(*ROCKET)
    run = lambda dt: rocket.predict_apogee_1dof(INIT, aeso.OdeMethod.Euler, aeso.FixedTimeStep(dt), 10**10)  # noqa: E731
    start = time.perf_counter()
    run(1e-5)
    step = 1e-5 * (time.perf_counter() - start) / args.seconds

    ticks, stop, started = [], threading.Event(), threading.Event()
    times = {}

    def heartbeat():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.005)

    def runner():
        started.set()
        t0 = time.perf_counter()
        run(step)
        times["run"] = time.perf_counter() - t0

    beat = threading.Thread(target=heartbeat)
    beat.start()
    time.sleep(0.05)
    worker = threading.Thread(target=runner)
    worker.start()
    started.wait()
    time.sleep(0.2)
    t0 = time.perf_counter()
    gc.collect()
    times["gc"] = time.perf_counter() - t0
    worker.join()
    stop.set()
    beat.join()
    gap = max(b - a for a, b in zip(ticks, ticks[1:]))

    gil = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL"
    print(f"{gil} build, Python {sys.version.split()[0]}: run {times['run']:.2f} s, "
          f"gc.collect() during it {times['gc'] * 1e3:.1f} ms, largest 5 ms-heartbeat gap {gap * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
