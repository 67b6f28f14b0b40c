#!/usr/bin/env python3
"""aeso_flight against aeso: time and instructions per prediction, the
inverse's prediction counts, and thread scaling.

(i) Prometheus from burnout: 3-DOF RK45 in the day's standard atmosphere of
its site (1401 m) with its drag against Mach, against the same prediction in
aeso (constant air, one cd); the same in 1-DOF. Wall time per prediction
(median of repeats), and instructions per prediction counted by callgrind
(bench/callgrind.py), the whole call and, apart, the instructions executed
in the compiled module and the maths library (the native run).
(ii) Vehicle.deployment_for_apogee with the brake table BRAKES below:
predictions from a cold start for several targets, and the median of the
consecutive warm-started decisions of a 100 Hz loop along the coast (the
states of a flight with the brakes closed, and a closed loop in which the
brakes follow each decision for 10 ms).
(iii) Throughput of 2 threads against 1, each thread making the same
predictions (detached runs), on the interpreter that runs this script.
(iv) Instructions per prediction (callgrind) with large drag tables against
the 11-point one: 10^5 and 10^6 points over the same curve, and 10^5 with
one far end point (Mach 10^6), whose points then lie in few cells of the
table's index (a lookup falls back to a binary search there).

    python3 bench/flight_bench.py                     # everything, about 3 minutes
    python3 bench/flight_bench.py --parts time threads
    python3 bench/flight_bench.py --parts tables
    build/venv-freethreaded/bin/python bench/flight_bench.py --parts threads
"""

import argparse
import math
import multiprocessing
import os
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from compare import machine_details  # noqa: E402
from thread_scaling import interpreter_build  # noqa: E402

import aeso  # noqa: E402
from aeso_flight import Atmosphere, Brakes, Drag, Reach, Vehicle  # noqa: E402

AREA = math.pi * 0.06985**2
ROCKET = (16.911, 0.35, AREA, AREA, 6.4, 0.28, 10.0)
BURNOUT_3DOF = (0.0, 988.26, -0.08, 24.5, 305.3, 0.0)
BURNOUT_1DOF = (988.26, 305.3)
SITE = 1401.0
MACH = [0.15, 0.45, 0.77, 0.82, 0.88, 0.94, 0.99, 1.04, 1.24, 1.33, 1.49]
CD = [0.422, 0.38, 0.32, 0.30, 0.30, 0.32, 0.37, 0.44, 0.43, 0.42, 0.39]
# An illustrative air brake of the size student teams fly (not a measured
# one): drag coefficient added to the body's, referred to the rocket's area,
# growing with the exposed area (about linear in deployment) and with Mach
# number as flat plates' does below Mach 1.
BRAKES = dict(
    deployment=[0.0, 0.25, 0.5, 0.75, 1.0],
    mach=[0.2, 0.5, 0.8, 1.0],
    cd=[[0.0, 0.0, 0.0, 0.0],
        [0.12, 0.13, 0.15, 0.18],
        [0.26, 0.28, 0.32, 0.39],
        [0.41, 0.43, 0.49, 0.60],
        [0.55, 0.58, 0.66, 0.80]],
)
TARGETS = (2800.0, 3048.0, 3300.0, 3600.0)
RK45 = aeso.OdeMethod.RK45

# The child process of an instruction count: builds everything, makes one
# prediction (imports and first-call costs), then `calls` more.
CHILD = """
import math, sys
import aeso
from aeso_flight import Atmosphere, Drag, Vehicle
kind, dof, calls = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
area = math.pi * 0.06985**2
rocket = aeso.Rocket(16.911, 0.35, area, area, 6.4, 0.28, 10.0)
state = aeso.InitialState1DOF(988.26, 305.3) if dof == 1 else aeso.InitialState3DOF(0.0, 988.26, -0.08, 24.5, 305.3, 0.0)
if kind == "aeso":
    run = rocket.predict_apogee_1dof if dof == 1 else rocket.predict_apogee_3dof
    kwargs = {}
else:
    vehicle = Vehicle(rocket, drag=Drag(%r, %r))
    run = vehicle.predict_apogee_1dof if dof == 1 else vehicle.predict_apogee_3dof
    kwargs = {"atmosphere": Atmosphere.standard(site_elevation=%r)}
for _ in range(1 + calls):
    run(state, aeso.OdeMethod.RK45, **kwargs)
""" % (MACH, CD, SITE)


# The child process of a table's instruction count: the 3-DOF prediction of
# part (i) in the standard air with the drag table TABLE.
TABLE_CHILD = """
import math, sys
import numpy as np
import aeso
from aeso_flight import Atmosphere, Drag, Vehicle
table, calls = sys.argv[1], int(sys.argv[2])
mach, cd = %r, %r
if table != "11 points":
    points = {"10^5 points": 10**5, "10^6 points": 10**6, "10^5 points and Mach 10^6": 10**5 - 1}[table]
    dense = np.linspace(0.0, 1.5, points)
    mach, cd = dense, np.interp(dense, mach, cd)
    if table.endswith("Mach 10^6"):
        mach, cd = np.append(mach, 1e6), np.append(cd, cd[-1])
area = math.pi * 0.06985**2
vehicle = Vehicle(aeso.Rocket(16.911, 0.35, area, area, 6.4, 0.28, 10.0), drag=Drag(mach, cd))
air = Atmosphere.standard(site_elevation=1401.0)
state = aeso.InitialState3DOF(0.0, 988.26, -0.08, 24.5, 305.3, 0.0)
for _ in range(1 + calls):
    vehicle.predict_apogee_3dof(state, aeso.OdeMethod.RK45, atmosphere=air)
""" % (MACH, CD)
TABLES = ("11 points", "10^5 points", "10^6 points", "10^5 points and Mach 10^6")


def rocket():
    return aeso.Rocket(*ROCKET)


def state(dof, values=None):
    if dof == 1:
        return aeso.InitialState1DOF(*(values if values is not None else BURNOUT_1DOF))
    return aeso.InitialState3DOF(*(values if values is not None else BURNOUT_3DOF))


def predictors(dof):
    """The prediction in aeso and in aeso_flight, as calls without arguments."""
    r = rocket()
    vehicle = Vehicle(r, drag=Drag(MACH, CD))
    air = Atmosphere.standard(site_elevation=SITE)
    s = state(dof)
    if dof == 1:
        return (lambda: r.predict_apogee_1dof(s, RK45),
                lambda: vehicle.predict_apogee_1dof(s, RK45, atmosphere=air))
    return (lambda: r.predict_apogee_3dof(s, RK45), lambda: vehicle.predict_apogee_3dof(s, RK45, atmosphere=air))


# ------------------------------------------------------------- callgrind

def counts(kind, dof, calls, child=CHILD):
    """(all instructions, instructions in the compiled modules and libm) of
    the child process making 1 + `calls` predictions."""
    with tempfile.TemporaryDirectory() as workdir:
        out = os.path.join(workdir, "cg.out")
        no_aslr = ["setarch", os.uname().machine, "-R"]
        subprocess.run([*no_aslr, "valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        "--compress-strings=no", sys.executable, "-c", child, kind, *([] if dof is None else [str(dof)]),
                        str(calls)],
                       capture_output=True, text=True, check=True,
                       env={**os.environ, "PYTHONHASHSEED": "0", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"})
        return self_costs(out)


NATIVE = re.compile(r"(aeso\.cpython|_native\.cpython|libm[.-])")


def self_costs(path):
    """Total instructions and those executed in the native objects (the
    extension modules and libm), from a callgrind output file: each cost line
    counts to the object of the function it follows, except the inclusive
    cost line after a `calls=` line."""
    total = native = 0
    in_native = False
    skip_next = False
    with open(path) as f:
        for line in f:
            if line.startswith("ob="):
                in_native = bool(NATIVE.search(line))
            elif line.startswith("calls="):
                skip_next = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                if skip_next:
                    skip_next = False
                    continue
                cost = int(line.split()[-1])
                total += cost
                native += cost if in_native else 0
    return total, native


def part_instructions(calls):
    print(f"\n## Instructions per prediction (callgrind: 1 + {calls} predictions less 1, over {calls})\n")
    print("| model | aeso (constant air) | aeso_flight (standard air, Mach table) | ratio | native: aeso | native: aeso_flight | ratio |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for dof in (3, 1):
        per = {}
        for kind in ("aeso", "flight"):
            base, base_native = counts(kind, dof, 0)
            total, total_native = counts(kind, dof, calls)
            per[kind] = ((total - base) / calls, (total_native - base_native) / calls)
        a, f = per["aeso"], per["flight"]
        print(f"| {dof}-DOF RK45 | {a[0]:,.0f} | {f[0]:,.0f} | {f[0] / a[0]:.2f} | {a[1]:,.0f} | {f[1]:,.0f} | "
              f"{f[1] / a[1]:.2f} |", flush=True)


def part_tables(calls):
    """Instructions per prediction with each table of TABLES; the ratio to
    the 11-point table (target: at most 2 for 10^5 points and a far end
    point)."""
    print(f"\n## Instructions per 3-DOF prediction by drag table (callgrind: 1 + {calls} predictions less 1, "
          f"over {calls})\n")
    print("| table | instructions | native | against 11 points |")
    print("|---|---:|---:|---:|")
    first = None
    for table in TABLES:
        base, base_native = counts(table, None, 0, TABLE_CHILD)
        total, total_native = counts(table, None, calls, TABLE_CHILD)
        per, native = (total - base) / calls, (total_native - base_native) / calls
        first = first or per
        print(f"| {table} | {per:,.0f} | {native:,.0f} | {per / first:.2f} |", flush=True)


# ------------------------------------------------------------------ time

def per_call(fn, clock, calls):
    start = clock()
    for _ in range(calls):
        fn()
    return (clock() - start) / calls


def part_time(repeats):
    """Batches of about 50 ms of each prediction, alternating, so that what
    else the machine does falls on both alike; the medians over the batches
    of the time per call and of the ratio of neighbouring batches, by the
    wall clock and by the process's CPU time (which a busy machine's
    preemption does not count)."""
    batches = 3 * repeats
    print(f"\n## Time per prediction (median of {batches} alternating batches of about 50 ms)\n")
    print("| model | clock | aeso (constant air) | aeso_flight (standard air, Mach table) | ratio | target |")
    print("|---|---|---:|---:|---:|---:|")
    for dof, target in ((3, 1.3), (1, 2.0)):
        theirs, ours = predictors(dof)
        calls = [max(1, int(0.05 / per_call(fn, time.perf_counter, 20))) for fn in (theirs, ours)]
        for name, clock in (("wall", time.perf_counter), ("CPU", time.process_time)):
            a, f = [], []
            for _ in range(batches):
                a.append(per_call(theirs, clock, calls[0]))
                f.append(per_call(ours, clock, calls[1]))
            ratio = statistics.median(y / x for x, y in zip(a, f))
            print(f"| {dof}-DOF RK45 | {name} | {statistics.median(a) * 1e6:.1f} us | "
                  f"{statistics.median(f) * 1e6:.1f} us | {ratio:.2f} | <= {target} |", flush=True)


# --------------------------------------------------------------- inverse

def coast_states(vehicle, air, dof):
    """The states of a 100 Hz log of the coast with the brakes closed."""
    simulate = vehicle.simulate_flight_1dof if dof == 1 else vehicle.simulate_flight_3dof
    _, states = simulate(state(dof), aeso.OdeMethod.RK3, aeso.FixedTimeStep(0.01), atmosphere=air, deployment=0.0)
    return [state(dof, tuple(row[:2] if dof == 1 else row[:6])) for row in states]


def decisions(vehicle, air, dof, target, states):
    """Predictions of consecutive warm-started decisions, while reachable."""
    previous, used = None, []
    for s in states:
        solution = vehicle.deployment_for_apogee(target, s, RK45, atmosphere=air, start=previous)
        if solution.status is not Reach.REACHED:
            break
        used.append(solution.predictions)
        previous = solution
    return used


def closed_loop(vehicle, air, dof, target):
    """Predictions of the decisions of a loop whose brakes follow each one
    for 10 ms, until the apogee."""
    simulate = vehicle.simulate_flight_1dof if dof == 1 else vehicle.simulate_flight_3dof
    here, previous, used = state(dof), None, []
    while True:
        solution = vehicle.deployment_for_apogee(target, here, RK45, atmosphere=air, start=previous)
        used.append(solution.predictions)
        previous = solution
        _, states = simulate(here, aeso.OdeMethod.RK3, aeso.FixedTimeStep(0.01), atmosphere=air,
                             deployment=solution.level)
        if len(states) < 3:
            return used, solution
        row = states[1]
        here = state(dof, tuple(row[:2] if dof == 1 else row[:6]))


def part_inverse():
    air = Atmosphere.standard(site_elevation=SITE)
    vehicle = Vehicle(rocket(), drag=Drag(MACH, CD), brakes=Brakes(**BRAKES))
    print("\n## deployment_for_apogee (brake table BRAKES, standard air at 1401 m, Mach table)\n")
    print("| model | target | cold: predictions | level | open loop: decisions | median | max "
          "| closed loop: decisions | median | max | final apogee |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for dof in (1, 3):
        coast = coast_states(vehicle, air, dof)
        for target in TARGETS:
            cold = vehicle.deployment_for_apogee(target, state(dof), RK45, atmosphere=air)
            open_loop = decisions(vehicle, air, dof, target, coast)
            closed, last = closed_loop(vehicle, air, dof, target)
            print(f"| {dof}-DOF | {target:.0f} m | {cold.predictions} | {cold.level:.4f} ({cold.status.value}) | "
                  f"{len(open_loop)} | {statistics.median(open_loop) if open_loop else float('nan'):g} | "
                  f"{max(open_loop, default=0)} | {len(closed)} | {statistics.median(closed):g} | {max(closed)} | "
                  f"{last.apogee:.2f} m |", flush=True)


# --------------------------------------------------------------- threads

def cpu_seconds():
    """CPU time of this process and its finished children: threads count in
    the first, processes in the second."""
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def part_threads(predictions, repeats):
    """Predictions per second of 2 threads against 1, each thread making the
    same `predictions` 3-DOF predictions (with brakes at several levels).
    Beside them, 2 processes doing the same: on a machine whose cores other
    work also uses, threads that run truly in parallel do as well as
    processes, whatever share of the cores the machine leaves them."""
    vehicle = Vehicle(rocket(), drag=Drag(MACH, CD), brakes=Brakes(**BRAKES))
    air = Atmosphere.standard(site_elevation=SITE)
    s = state(3)

    def work(count=predictions):
        for i in range(count):
            vehicle.predict_apogee_3dof(s, RK45, atmosphere=air, deployment=(i % 11) / 10.0)

    def rate(workers, kind):
        """(predictions/s, CPU time over wall time, CPU time per prediction)."""
        if kind == "threads":
            barrier, make = threading.Barrier(workers + 1), threading.Thread
        else:
            context = multiprocessing.get_context("fork")
            barrier, make = context.Barrier(workers + 1), context.Process

        def run():
            work(10)  # warm (a new process's first calls)
            barrier.wait()
            work()

        pool = [make(target=run) for _ in range(workers)]
        for w in pool:
            w.start()
        barrier.wait()
        start, cpu = time.perf_counter(), cpu_seconds()
        for w in pool:
            w.join()
        wall, used = time.perf_counter() - start, cpu_seconds() - cpu
        return workers * predictions / wall, used / wall, used / (workers * predictions)

    work()  # warm up
    kinds = (("1 thread", 1, "threads"), ("2 threads", 2, "threads"), ("2 processes", 2, "processes"))
    runs = {name: [] for name, _, _ in kinds}
    for _ in range(repeats):
        for name, workers, kind in kinds:
            runs[name].append(rate(workers, kind))
    print(f"\n## Threads ({interpreter_build()}, Python {sys.version.split()[0]}; median of {repeats})\n")
    print("| workers | predictions/s | against 1 thread | CPU time / wall time | CPU time per prediction |")
    print("|---|---:|---:|---:|---:|")
    one = statistics.median(r[0] for r in runs["1 thread"])
    for name, measured in runs.items():
        per_s, busy, cpu = (statistics.median(r[i] for r in measured) for i in range(3))
        print(f"| {name} | {per_s:,.0f} | {per_s / one:.2f} (best {max(r[0] for r in measured) / one:.2f}) "
              f"| {busy:.2f} | {cpu * 1e6:.0f} us |")
    threads = statistics.median(r[0] for r in runs["2 threads"])
    processes = statistics.median(r[0] for r in runs["2 processes"])
    print(f"\n2 threads against 2 processes: {threads / processes:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--parts", nargs="+", default=["time", "instructions", "inverse", "threads", "tables"],
                        choices=["time", "instructions", "inverse", "threads", "tables"])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--calls", type=int, default=20, help="predictions counted by callgrind")
    # Runs of 10,000 predictions per worker (about 1.5 s): with 2000 (0.3 s)
    # the workers' uneven start and finish moved the ratio by 0.1 or more.
    parser.add_argument("--thread-predictions", type=int, default=10000)
    args = parser.parse_args()
    print("\n".join(machine_details()))
    print(f"command: {' '.join([os.path.basename(sys.executable), *sys.argv])}")
    if "time" in args.parts:
        part_time(args.repeats)
    if "instructions" in args.parts:
        part_instructions(args.calls)
    if "inverse" in args.parts:
        part_inverse()
    if "threads" in args.parts:
        part_threads(args.thread_predictions, args.repeats)
    if "tables" in args.parts:
        part_tables(args.calls)
    print(f"\nload average at the end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
