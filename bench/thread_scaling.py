#!/usr/bin/env python3
"""Throughput of aeso calls from 1, 2 and 4 threads, relative to 1 thread.

Each workload runs in a ThreadPoolExecutor whose threads each make the same
number of calls; throughput is calls per second of wall time from handing out
the work to the last result. Two ways of sharing are measured: every thread
calling the same Rocket (its borrow counter is then shared between cores),
and one Rocket per thread. Repeats are interleaved over the thread counts so
that drift on a shared machine affects them alike; the median is reported.

    python3 bench/thread_scaling.py            # print the table
    python3 bench/thread_scaling.py --markdown # as Markdown

Runs on GIL and free-threaded interpreters; it needs only aeso (and NumPy,
for the flight arrays). compare.py includes this table in its report.
"""

import argparse
import concurrent.futures
import math
import os
import statistics
import sys
import sysconfig
import time

ROCKET = (20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0)
V0, ANGLE0 = 250.0, 0.05
THREAD_COUNTS = (1, 2, 4)


def interpreter_build():
    """'free-threaded (GIL disabled)', 'free-threaded (GIL enabled)' or 'GIL'."""
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        return "GIL"
    return "free-threaded (GIL " + ("enabled)" if sys._is_gil_enabled() else "disabled)")


def workloads():
    import aeso

    init3 = aeso.InitialState3DOF(0.0, 0.0, ANGLE0, -V0 * math.sin(ANGLE0), V0 * math.cos(ANGLE0), 0.0)
    init1 = aeso.InitialState1DOF(0.0, V0)
    rk45 = aeso.OdeMethod.RK45
    return [
        ("predict_apogee_3dof (RK45)", lambda r: r.predict_apogee_3dof(init3, rk45)),
        ("simulate_flight_1dof (RK45)", lambda r: r.simulate_flight_1dof(init1, rk45)),
    ]


def calls_per_second(pool, threads, call, rockets, calls_per_thread):
    def worker(rocket):
        for _ in range(calls_per_thread):
            call(rocket)

    start = time.perf_counter()
    futures = [pool.submit(worker, rockets[i]) for i in range(threads)]
    for f in futures:
        f.result()
    return threads * calls_per_thread / (time.perf_counter() - start)


def measure(repeats=7, seconds_per_run=0.3):
    """Rows (workload, sharing, {threads: throughput ratio}, single-thread calls/s)."""
    import aeso

    rows = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(THREAD_COUNTS)) as pool:
        # Start every worker thread before timing anything.
        list(pool.map(time.sleep, [0.01] * max(THREAD_COUNTS)))
        for name, call in workloads():
            shared = aeso.Rocket(*ROCKET)
            # Size each run to about seconds_per_run on one thread.
            start = time.perf_counter()
            for _ in range(20):
                call(shared)
            per_call = (time.perf_counter() - start) / 20
            calls_per_thread = max(10, int(seconds_per_run / per_call))
            for sharing in ("shared Rocket", "Rocket per thread"):
                if sharing == "shared Rocket":
                    rockets = [shared] * max(THREAD_COUNTS)
                else:
                    rockets = [aeso.Rocket(*ROCKET) for _ in range(max(THREAD_COUNTS))]
                samples = {n: [] for n in THREAD_COUNTS}
                for _ in range(repeats):
                    for n in THREAD_COUNTS:
                        samples[n].append(calls_per_second(pool, n, call, rockets, calls_per_thread))
                base = statistics.median(samples[1])
                ratios = {n: statistics.median(samples[n]) / base for n in THREAD_COUNTS}
                rows.append((name, sharing, ratios, base))
    return rows


def table(rows):
    """(title, header, rows of strings) in compare.py's table format."""
    title = (f"Thread scaling: throughput relative to 1 thread ({interpreter_build()} build, "
             f"Python {sys.version.split()[0]}, {os.cpu_count()} cores)")
    header = ["workload", "sharing", "1 thread (calls/s)"] + [f"{n} threads" for n in THREAD_COUNTS[1:]]
    body = [[name, sharing, f"{base:,.0f}"] + [f"{ratios[n]:.2f}x" for n in THREAD_COUNTS[1:]]
            for name, sharing, ratios, base in rows]
    return title, header, body


def targets(rows):
    """Target rows for compare.py: 2 threads >= 1.8x for predictions, no count slower than 1."""
    out = []
    for name, sharing, ratios, _ in rows:
        if name.startswith("predict"):
            out.append((f"{name}, {sharing}: 2 threads >= 1.8x 1 thread", f"{ratios[2]:.2f}x", ratios[2] >= 1.8))
        slowest = min(ratios[n] for n in THREAD_COUNTS[1:])
        out.append((f"{name}, {sharing}: no thread count slower than 1 thread", f"min {slowest:.2f}x",
                    slowest >= 1.0))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=7, help="interleaved repeats (median taken)")
    parser.add_argument("--seconds", type=float, default=0.3, help="length of one single-thread run")
    parser.add_argument("--markdown", action="store_true", help="print Markdown instead of plain text")
    args = parser.parse_args()
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from compare import render

    rows = measure(args.repeats, args.seconds)
    print(render(*table(rows), args.markdown))
    target_rows = [[t, f, "met" if ok else "NOT MET"] for t, f, ok in targets(rows)]
    print(render("Thread-scaling targets", ["target", "measured", "verdict"], target_rows, args.markdown))
    return 0


if __name__ == "__main__":
    sys.exit(main())
