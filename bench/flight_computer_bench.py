#!/usr/bin/env python3
"""The flight computer in the loop: what raw sensors, the on-board estimator
and drag learned in flight cost, against the same flight with the simple
sensors, and how such flights scale on 2 threads.

The flight is control_bench.py's (3-DOF Prometheus from near burnout, RK45,
the standard atmosphere at 1401 m, its brake table, Predictive with a 1-DOF
predictor aiming at 3048 m) at 100 Hz with a servo (rate limit 2/s, lag
0.05 s, delay 0.02 s), flown two ways on the same seeds:

  * simple: Sensors(height_sd=1, velocity_sd=1, correlation_time=0.5), the
    controller that does not learn;
  * flight computer: RawSensors with a typical student flight computer's
    barometer (2 Pa, 50 Hz, resolution 1 Pa, lag 0.02 s) and accelerometer
    (0.05 m/s^2, bias 0.03 m/s^2, scale error 0.004, 100 Hz), an Estimator
    set from them, and Predictive(learn_drag=True).

Measured in one run: the CPU time of the same seeds' flights each way (the
best of --repeats runs, interleaved, time.process_time) and their ratio;
the predictions per decision after the first tick (median and mean over
every decision of those flights); the cost of a flight whose controller
makes no prediction (a Schedule of the first simple flight's commands)
with each kind of sensors, which isolates sampling and estimating; then
--flights flights with raw sensors
on 2 threads against 1 (wall time, the variants interleaved, median over
--repeats). Prints Markdown.

    python bench/flight_computer_bench.py [--repeats 7] [--seeds 5] [--flights 20]
    python bench/flight_computer_bench.py --threads-only --wait-quiet   # 2 threads against 1
"""

import argparse
import datetime
import os
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import control_bench as base  # noqa: E402

from aeso_flight import Accelerometer, Actuator, Barometer, Estimator, Predictive, RawSensors, Sensors  # noqa: E402

RATE = 100.0
SERVO = Actuator(rate_limit=2.0, lag=0.05, delay=0.02)
SIMPLE = dict(sensors=Sensors(height_sd=1.0, velocity_sd=1.0, correlation_time=0.5), controller=Predictive())
BOARD = RawSensors(Barometer(noise_sd=2.0, rate=50.0, lag=0.02, resolution=1.0),
                   Accelerometer(noise_sd=0.05, bias=0.03, scale_error=0.004, rate=100.0),
                   estimator=Estimator(barometer_sd=2.0, accelerometer_sd=0.05, bias_sd=0.05, dynamic_error=1e-3,
                                       process_noise=2.0, barometer_lag=0.02))
COMPUTER = dict(sensors=BOARD, controller=Predictive(learn_drag=True))
WAYS = {"simple sensors": SIMPLE, "flight computer (raw sensors, estimator, drag learning)": COMPUTER}


def flights(way, seeds, record=False):
    return [base.fly(RATE, actuator=SERVO, seed=s, record=record, **way) for s in seeds]


def costs(seeds, repeats):
    """{way: best CPU seconds of the seeds' flights}, the ways interleaved."""
    best = {name: float("inf") for name in WAYS}
    for _ in range(repeats):
        for name, way in WAYS.items():
            start = time.process_time()
            flights(way, seeds)
            best[name] = min(best[name], time.process_time() - start)
    return best


def overhead(repeats):
    """CPU seconds of one flight whose controller makes no prediction (a
    Schedule of the simple flight's commands), with the simple sensors and
    with raw sensors and the estimator: what sampling and estimating cost."""
    first = base.fly(RATE, actuator=SERVO, seed=0, record=True, **SIMPLE)
    schedule = base.replay(first)
    return {name: base.best_cpu(lambda: base.fly(RATE, schedule, actuator=SERVO, seed=0, sensors=way["sensors"]),
                                repeats)
            for name, way in WAYS.items()}


def decisions(seeds):
    """{way: the predictions of every decision after the first, over the seeds' flights}."""
    return {name: np.concatenate([f.ticks.predictions[1:] for f in flights(way, seeds, record=True)])
            for name, way in WAYS.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--seeds", type=int, default=5, help="flights per way in the cost comparison")
    parser.add_argument("--flights", type=int, default=20, help="flights per thread-scaling run")
    parser.add_argument("--threads-only", action="store_true", help="only the thread-scaling figure")
    parser.add_argument("--wait-quiet", action="store_true",
                        help="start only once other processes used < 5 %% of the CPU for 3 s")
    args = parser.parse_args()
    if args.wait_quiet:
        base.wait_quiet()
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    print(f"Run: {base.interpreter()}, numpy {np.__version__}, {os.cpu_count()} cores, {now}, "
          f"load average {os.getloadavg()[0]:.2f} at the start; `{' '.join(['python', *sys.argv])}`\n")
    if not args.threads_only:
        seeds = list(range(args.seeds))
        best = costs(seeds, args.repeats)
        used = decisions(seeds)
        print(f"{args.seeds} flights at {RATE:g} Hz each way (seeds 0-{args.seeds - 1}), CPU time best of "
              f"{args.repeats}:\n\n| sensors | CPU per flight (ms) | predictions per decision, median | mean |\n"
              "|---|---|---|---|")
        for name in WAYS:
            p = used[name]
            print(f"| {name} | {1e3 * best[name] / args.seeds:.1f} | {np.median(p):g} | {np.mean(p):.2f} |")
        names = list(WAYS)
        print(f"\nratio, flight computer / simple sensors: {best[names[1]] / best[names[0]]:.3f} (target <= 1.3)")
        bare = overhead(args.repeats)
        print(f"\nWithout predictions (a Schedule of seed 0's commands), CPU per flight: simple sensors "
              f"{1e3 * bare[names[0]]:.2f} ms, raw sensors and the estimator {1e3 * bare[names[1]]:.2f} ms")
    base.print_thread_scaling(base.thread_scaling(args.flights, args.repeats, lambda part: flights(COMPUTER, part)),
                              f"{args.flights} flights with raw sensors")


if __name__ == "__main__":
    main()
