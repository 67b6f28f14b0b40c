#!/usr/bin/env python3
"""How a controlled study scales from 1 to 2 workers on the threads backend.

The study is examples/controlled_study.toml (3-DOF flights in the standard
atmosphere with Prometheus' drag table and a brake table, the Predictive
controller at 20 Hz with a 1-DOF predictor, a rate-limited, lagging, late
actuator and noisy sensors; blocks of 100 samples). For n samples (default
800) it runs the study with 1 and 2 workers, interleaved, --repeats times
each, and records:

  * the wall time of each run (best of the repeats): the speed-up 1 -> 2
    workers, which other work on a shared machine lowers;
  * the CPU time of every worker thread (thread CPU time, which other work
    moves far less than the wall time): the work of the study (the smaller
    of the 1-worker and the 2-worker total) over the busier thread of 2
    workers is the speed-up two free cores would give, and the 2-worker
    total over the 1-worker one the work lost to running in parallel;
  * the share of a block's CPU time spent attached to the interpreter
    (drawing and assembling the inputs, reading the outcomes; the native
    runs replaced by a call that returns at once): what a GIL build cannot
    run in parallel (Amdahl's bound);

and checks that 1 and 2 workers give the same outcomes, bit for bit. The
load average before and after is printed with the figures.

    python3 bench/controlled_study_bench.py                  # about 2 minutes per repeat on 2 cores
    python3 bench/controlled_study_bench.py -n 400 --repeats 1
    python3 bench/controlled_study_bench.py --study examples/flight_computer_study.toml

With --study another controlled study file is measured, such as the
flight-computer study (raw sensors, the on-board estimator, drag learned in
flight), whose rows' sensor values become the native runner's in Python
(counted in the attached share: the whole of real_air.fly's Python part is
kept, only the native run replaced).
"""

import argparse
import collections
import os
import platform
import statistics
import sys
import threading
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(HERE, "..", "examples", "controlled_study.toml")

from aeso_dispersion import Threads, backends, engine, load_study, real_air  # noqa: E402


def interpreter():
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    return f"CPython {platform.python_version()} ({'free-threaded' if not gil else 'GIL build'})"


def run(study, n, seed, workers):
    """(wall time, CPU time per worker thread, outcomes) of one run."""
    per_thread = collections.defaultdict(float)
    lock = threading.Lock()
    block = backends.run_block

    def timed_block(*args, **kwargs):
        start = time.thread_time()
        try:
            return block(*args, **kwargs)
        finally:
            with lock:
                per_thread[threading.get_ident()] += time.thread_time() - start

    backends.run_block = timed_block
    try:
        result = study.run(n=n, seed=seed, backend=Threads(workers=workers), progress=False)
    finally:
        backends.run_block = block
    return result.elapsed, sorted(per_thread.values(), reverse=True), result.runs.outcomes


def attached_share(study, seed, blocks=2):
    """The share of a block's thread CPU time spent in Python (attached)."""
    plan = study.plan

    def per_block(count):
        start = time.thread_time()
        for b in range(count):
            engine.run_block(plan, seed, b, plan.block_size)
        return (time.thread_time() - start) / count

    full = per_block(blocks)
    run_block = real_air._arguments.run_block
    real_air._arguments.run_block = lambda *args: None
    try:
        python_only = statistics.median(per_block(20) for _ in range(3))
    finally:
        real_air._arguments.run_block = run_block
    return python_only / full, full


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", type=int, default=800)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--study", default=EXAMPLE, help="the controlled study file (default: %(default)s)")
    args = parser.parse_args()
    study = load_study(args.study)
    load_before = os.getloadavg()
    walls, threads, outcomes = {1: [], 2: []}, {1: [], 2: []}, {}
    for _ in range(args.repeats):
        for workers in (1, 2):
            wall, per_thread, values = run(study, args.n, args.seed, workers)
            walls[workers].append(wall)
            threads[workers].append(per_thread)
            outcomes.setdefault(workers, values)
    same = np.array_equal(outcomes[1], outcomes[2], equal_nan=True)
    share, block = attached_share(study, args.seed)
    load_after = os.getloadavg()

    one = min(sum(t) for t in threads[1])
    two = min(threads[2], key=max)  # the 2-worker run with the shortest busier thread
    span, both = max(two), sum(two)
    best = {w: min(walls[w]) for w in walls}
    print(f"{interpreter()}, {os.cpu_count()} cores; {args.n} samples of {os.path.basename(args.study)}, "
          f"{args.repeats} repeats; load average {load_before[0]:.2f} before, {load_after[0]:.2f} after")
    print(f"  1 and 2 workers give the same outcomes, bit for bit: {same}")
    print(f"  wall time, best of {args.repeats}: 1 worker {best[1]:.2f} s, 2 workers {best[2]:.2f} s: "
          f"{best[1] / best[2]:.2f}x  (all: {', '.join(f'{w:.2f}' for w in walls[1])} / "
          f"{', '.join(f'{w:.2f}' for w in walls[2])} s)")
    print(f"  thread CPU time: 1 worker {one:.2f} s; 2 workers {both:.2f} s in all ({both / one:.3f}x the "
          f"work), the busier thread {span:.2f} s, the other {min(two):.2f} s")
    print(f"  two free cores: {min(one, both) / span:.2f}x (the smaller work over the busier thread)")
    print(f"  per flight: {1000 * one / args.n:.1f} ms of CPU time")
    print(f"  attached to the interpreter: {100 * share:.3f} % of a {block:.2f} s block: at most "
          f"{2 / (1 + share):.3f}x with 2 workers on a GIL build")


if __name__ == "__main__":
    main()
