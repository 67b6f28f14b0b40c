#!/usr/bin/env python3
"""Air-brake control: what a controlled flight costs, against one aeso
prediction, against RocketPy, and on 2 threads.

The flight is that of aeso_flight's performance section: 3-DOF, RK45 at its
default options, the standard atmosphere at a 1401 m site, Prometheus' drag
against Mach, the rocket (16.911 kg, cd 0.35, areas pi 0.06985^2, inertia
6.4, margin 0.28 m, cl_a 10) from x 0, y 988.26, angle -0.08, vx 24.5,
vy 305.3, rate 0, with the brake table BRAKES below, and Predictive with a
1-DOF predictor aiming at 3048 m, every tick at its exact time, an ideal
actuator and exact sensors. Measured in one run:

  * at 20 Hz, the flight's CPU time against one aeso 3-DOF prediction from
    the same state (aeso's constant air);
  * at 100 Hz, against RocketPy's air-brake flight at 100 Hz with exact
    sample times (time_overshoot=False): the equivalent rocket (EmptyMotor,
    nose and fins giving a 0.28 m margin, the same drag and brake tables,
    the same air, g 9.80665) started from the same state, with a Python
    controller: a cheap law on the drag-free apogee, and the same Predictive
    law calling aeso_flight's deployment_for_apogee. RocketPy is in no extra
    of this project: install it in a bench-only environment
    (pip install "rocketpy==1.13.*"); without it this part is skipped;
  * the flight's own work beyond its predictions and the uncontrolled
    integration, by CPU time: the flight; the same flight with a Schedule
    controller replaying its recorded commands (the same steps and apogee,
    no predictions); the uncontrolled prediction of that deployment history
    (aeso_flight's scheduled prediction, its knots at the ticks); with
    --callgrind also by instruction counts, the predictions counted inside
    deployment_for_apogee (needs an unstripped build:
    pip install . -Cinstall.strip=false);
  * the predictions per decision after the first tick;
  * controlled flights (20 Hz, noisy sensors, a servo) on 2 threads against
    1 (wall time, interleaved repeats, median).

CPU times are the best of --repeats runs (time.process_time; the machine is
shared). Prints Markdown.

    python bench/control_bench.py [--repeats 7] [--callgrind]
    python bench/control_bench.py --threads-only --wait-quiet   # 2 threads against 1
"""

import argparse
import concurrent.futures
import datetime
import math
import os
import platform
import statistics
import sys
import sysconfig
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import aeso  # noqa: E402
from aeso_flight import Actuator, Atmosphere, Brakes, Drag, Predictive, Schedule, Sensors, Vehicle  # noqa: E402

SITE = 1401.0
AREA = math.pi * 0.06985**2
ROCKET = (16.911, 0.35, AREA, AREA, 6.4, 0.28, 10.0)
STATE = (0.0, 988.26, -0.08, 24.5, 305.3, 0.0)
MACH = [0.15, 0.45, 0.77, 0.82, 0.88, 0.94, 0.99, 1.04, 1.24, 1.33, 1.49]
CD = [0.422, 0.38, 0.32, 0.30, 0.30, 0.32, 0.37, 0.44, 0.43, 0.42, 0.39]
# Brakes: petals whose frontal area at full deployment is about 60 % of the
# body's, flat-plate cd ~1.2, the drag linear in deployment and rising with
# Mach as (1 + 0.25 M^2); added to the body's drag, on its area.
BRAKE_LEVELS = [0.0, 0.25, 0.5, 0.75, 1.0]
BRAKE_MACH = [0.0, 0.3, 0.6, 0.9, 1.2]
BRAKE_CD = [[round(0.75 * d * (1.0 + 0.25 * m * m), 4) for m in BRAKE_MACH] for d in BRAKE_LEVELS]
TARGET = 3048.0  # m above the pad (10,000 ft)
RK45 = aeso.OdeMethod.RK45
G = 9.80665

VEHICLE = Vehicle(aeso.Rocket(*ROCKET), drag=Drag(mach=MACH, cd=CD),
                  brakes=Brakes(deployment=BRAKE_LEVELS, mach=BRAKE_MACH, cd=BRAKE_CD))
AIR = Atmosphere.standard(site_elevation=SITE)
INITIAL = aeso.InitialState3DOF(*STATE)


def fly(rate, controller=None, record=False, **options):
    return VEHICLE.fly_controlled(INITIAL, RK45, atmosphere=AIR, target=TARGET, rate=rate,
                                  controller=controller or Predictive(), record=record, **options)


def replay(flight):
    """The Schedule controller that commands what `flight` commanded, tick by tick."""
    return Schedule(flight.ticks.time, flight.ticks.commanded)


def uncontrolled(flight):
    """The scheduled prediction of `flight`'s deployment history (knots at its ticks)."""
    t = flight.ticks
    return VEHICLE.predict_apogee_3dof(INITIAL, RK45, atmosphere=AIR, deployment=(t.time, t.actual))


def best_cpu(call, repeats, inner=1):
    """The least process CPU time of `inner` calls, over `repeats` runs, per call (s)."""
    best = math.inf
    for _ in range(repeats):
        start = time.process_time()
        for _ in range(inner):
            call()
        best = min(best, (time.process_time() - start) / inner)
    return best


def interpreter():
    build = "GIL"
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        build = "free-threaded, GIL " + ("enabled" if sys._is_gil_enabled() else "disabled")
    return f"CPython {platform.python_version()} ({build})"


# -- RocketPy ---------------------------------------------------------------


def rocketpy_flight(rate, law, exact):
    """(CPU seconds, apogee above the pad, controller calls) of RocketPy's
    air-brake flight from the same state; `law` 'simple', 'predictive' or
    'closed' (the brakes never open)."""
    from rocketpy import Environment, Flight, Rocket
    from rocketpy.motors import EmptyMotor
    from rocketpy.tools import euler313_to_quaternions

    env = Environment(elevation=SITE, gravity=G)
    env.set_atmospheric_model(type="standard_atmosphere")
    drag = [[m, c] for m, c in zip(MACH, CD)]
    rocket = Rocket(radius=0.06985, mass=ROCKET[0], inertia=(ROCKET[4], ROCKET[4], 0.05), power_off_drag=drag,
                    power_on_drag=drag, center_of_mass_without_motor=0.0,
                    coordinate_system_orientation="tail_to_nose")
    rocket.add_motor(EmptyMotor(), position=-1.2)
    rocket.add_nose(length=0.6, kind="von karman", position=1.5)
    rocket.add_trapezoidal_fins(n=4, root_chord=0.25, tip_chord=0.10, span=0.08, position=-1.0)
    table = [[d, m, BRAKE_CD[i][j]] for i, d in enumerate(BRAKE_LEVELS) for j, m in enumerate(BRAKE_MACH)]
    calls = [0]
    last = [None]

    def simple(time, sampling_rate, state, history, observed, air_brakes):
        # Open in proportion to how far the drag-free apogee overshoots.
        calls[0] += 1
        ballistic = state[2] - SITE + max(state[5], 0.0) ** 2 / (2 * G)
        air_brakes.deployment_level = min(1.0, max(0.0, (ballistic - TARGET) / 1500.0))

    def predictive(time, sampling_rate, state, history, observed, air_brakes):
        # aeso_flight's Predictive law: the level whose 1-DOF apogee is the target.
        calls[0] += 1
        if state[5] <= 0.5:
            return
        answer = VEHICLE.deployment_for_apogee(TARGET, aeso.InitialState1DOF(state[2] - SITE, state[5]), RK45,
                                               atmosphere=AIR, start=last[0])
        last[0] = answer
        air_brakes.deployment_level = answer.level

    def closed(time, sampling_rate, state, history, observed, air_brakes):
        calls[0] += 1

    laws = {"simple": simple, "predictive": predictive, "closed": closed}
    rocket.add_air_brakes(drag_coefficient_curve=table, controller_function=laws[law],
                          sampling_rate=rate, clamp=True, initial_observed_variables=[], override_rocket_drag=False)
    x, y, angle, vx, vy, _ = STATE
    # Heading +x (east); inclination from the horizontal.
    e = euler313_to_quaternions(0.0, -abs(angle), math.radians(-90.0))
    initial = [0.0, x, 0.0, SITE + y, vx, 0.0, vy, *e, 0.0, 0.0, 0.0]
    start = time.process_time()
    flight = Flight(rocket, env, rail_length=5.0, initial_solution=initial, terminate_on_apogee=True,
                    time_overshoot=not exact)
    return time.process_time() - start, flight.apogee - SITE, calls[0]


# -- instruction counts ----------------------------------------------------

_SETUP = "import sys; sys.path.insert(0, {bench!r}); import control_bench as b; f = b.fly({rate}, record=True); "


def counts(rate):
    """Instructions of the flight, of its predictions, of its Schedule replay
    and of the uncontrolled prediction, each beyond a process that does the
    rest (whole-process differences; the predictions counted inside them)."""
    from callgrind import instructions

    setup = _SETUP.format(bench=os.path.dirname(os.path.abspath(__file__)), rate=rate)
    prepare = "r = b.replay(f); b.fly({rate}, r); b.uncontrolled(f); "
    base = instructions(setup + prepare.format(rate=rate))
    return {
        "flight": instructions(setup + prepare.format(rate=rate) + f"b.fly({rate})") - base,
        "predictions": instructions(setup + prepare.format(rate=rate) + f"b.fly({rate})",
                                    within="aeso::deployment_for_apogee*")
        - instructions(setup + prepare.format(rate=rate), within="aeso::deployment_for_apogee*"),
        "replay": instructions(setup + prepare.format(rate=rate) + f"b.fly({rate}, r)") - base,
        "uncontrolled": instructions(setup + prepare.format(rate=rate) + "b.uncontrolled(f)") - base,
    }


# -- the run -----------------------------------------------------------------


def machine_cpu():
    """(busy, total) CPU seconds of the whole machine so far, from /proc/stat
    (None elsewhere)."""
    try:
        with open("/proc/stat") as f:
            fields = [int(v) for v in f.readline().split()[1:]]
    except OSError:
        return None
    tick = os.sysconf("SC_CLK_TCK")
    idle = fields[3] + fields[4]  # idle, iowait
    return (sum(fields) - idle) / tick, sum(fields) / tick


def wait_quiet(share=0.05, seconds=3.0):
    """Returns once the other processes used less than `share` of the
    machine's CPU over `seconds` (at once where /proc/stat is missing)."""
    while (before := machine_cpu()) is not None:
        time.sleep(seconds)
        after = machine_cpu()
        if (after[0] - before[0]) / (after[1] - before[1]) < share:
            return


def thread_scaling(flights, repeats, fly_seeds=None):
    """Per repeat (the variants interleaved): the wall-time throughput of
    `flights` controlled flights on 2 threads over 1, the CPU time the 2
    threads took over the 1 (1.00: no work lost to running in parallel), and
    the largest share of the machine's CPU that other processes used during
    either variant (what the wall times are worth on a shared machine).
    `fly_seeds(seeds)` flies the flights of some seeds (default: 20 Hz,
    noisy sensors, a servo)."""
    if fly_seeds is None:
        options = dict(sensors=Sensors(height_sd=2.0, velocity_sd=1.0, correlation_time=0.2),
                       actuator=Actuator(rate_limit=2.0, lag=0.05))

        def fly_seeds(part):
            return [fly(20, seed=s, **options) for s in part]

    seeds = list(range(flights))
    rows = []
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        list(pool.map(time.sleep, [0.01] * 2))
        for _ in range(repeats):
            wall, used, others = {}, {}, 0.0
            for threads in (1, 2):
                machine = machine_cpu()
                start, start_cpu = time.perf_counter(), time.process_time()
                if threads == 1:
                    fly_seeds(seeds)
                else:
                    list(pool.map(fly_seeds, (seeds[0::2], seeds[1::2])))
                wall[threads] = time.perf_counter() - start
                used[threads] = time.process_time() - start_cpu
                if machine is not None:
                    after = machine_cpu()
                    busy, total = after[0] - machine[0], after[1] - machine[1]
                    others = max(others, (busy - used[threads]) / total if total > 0 else 0.0)
            rows.append((wall[1] / wall[2], used[2] / used[1], others))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--callgrind", action="store_true", help="also count instructions (slow)")
    parser.add_argument("--threads-only", action="store_true", help="only the thread-scaling figure")
    parser.add_argument("--flights", type=int, default=40, help="flights per thread-scaling run")
    parser.add_argument("--wait-quiet", action="store_true",
                        help="start only once other processes used < 5 %% of the CPU for 3 s")
    args = parser.parse_args()
    if args.wait_quiet:
        wait_quiet()
    load = os.getloadavg()[0]
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    print(f"Run: {interpreter()}, numpy {np.__version__}, {os.cpu_count()} cores, {now}, "
          f"load average {load:.2f} at the start; `{' '.join(['python', *sys.argv])}`\n")
    if not args.threads_only:
        measure(args)
    print_thread_scaling(thread_scaling(args.flights, args.repeats),
                         f"{args.flights} controlled flights (20 Hz, noisy sensors, a servo)")


def print_thread_scaling(rows, what):
    """The rows of thread_scaling as a Markdown table, and their medians."""
    print(f"\nThreads: {what} on 2 threads over 1 (target >= 1.8), each repeat with the largest share of the "
          "machine's CPU other processes used during it:\n\n"
          "| repeat | speed-up, wall | CPU time, 2 threads / 1 | others' CPU share |\n|---|---|---|---|")
    for i, (speedup, cpu, others) in enumerate(rows, 1):
        print(f"| {i} | {speedup:.2f}x | {cpu:.2f} | {others:.0%} |")
    quiet = [r[0] for r in rows if r[2] < 0.10]
    print(f"\nmedian speed-up {statistics.median(r[0] for r in rows):.2f}x over all repeats; "
          + (f"{statistics.median(quiet):.2f}x over the {len(quiet)} with others below 10 %" if quiet
             else "no repeat had others below 10 %"))
    print(f"\nload average {os.getloadavg()[0]:.2f} at the end")


def measure(args):
    repeats = args.repeats
    print(f"Brake table (cd added on the body's area; rows deployment {BRAKE_LEVELS}, columns Mach {BRAKE_MACH}): "
          f"{BRAKE_CD}\n")
    rocket = aeso.Rocket(*ROCKET)
    one = best_cpu(lambda: rocket.predict_apogee_3dof(INITIAL, RK45), repeats, inner=50)
    rows = []
    flights = {}
    for rate in (20, 100):
        f = fly(rate, record=True)
        flights[rate] = f
        r = replay(f)
        again = fly(rate, r)
        assert again.apogee == f.apogee, "the replay must fly the same flight"
        t_flight = best_cpu(lambda: fly(rate), repeats)
        t_replay = best_cpu(lambda: fly(rate, r), repeats)
        t_free = best_cpu(lambda: uncontrolled(f), repeats)
        p = f.ticks.predictions[1:]
        rows.append((rate, f, t_flight, t_replay, t_free, p))
    print("| rate | apogee (m) | steps | ticks | CPU time (ms) | / one aeso 3-DOF prediction | replay (ms) "
          "| uncontrolled (ms) | own work | predictions per decision after the first: median, mean, max |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for rate, f, t_flight, t_replay, t_free, p in rows:
        own = (t_replay - t_free) / t_flight
        print(f"| {rate} Hz | {f.apogee:.2f} | {f.steps} | {f.ticks.time.size} | {t_flight * 1e3:.2f} "
              f"| {t_flight / one:.0f}x | {t_replay * 1e3:.2f} | {t_free * 1e3:.2f} | {own:+.1%} "
              f"| {np.median(p):g}, {p.mean():.2f}, {p.max()} |")
    print(f"\nOne aeso 3-DOF prediction (constant air, RK45) from the same state: {one * 1e6:.1f} us CPU. "
          "Own work: (replay - uncontrolled) / flight.")
    if args.callgrind:
        print("\n| rate | flight (Ir) | predictions | replay | uncontrolled | own work (flight - predictions - "
              "uncontrolled) |\n|---|---|---|---|---|---|")
        for rate in (20, 100):
            c = counts(rate)
            own = c["flight"] - c["predictions"] - c["uncontrolled"]
            print(f"| {rate} Hz | {c['flight']:,} | {c['predictions']:,} | {c['replay']:,} | {c['uncontrolled']:,} "
                  f"| {own:,} ({own / c['flight']:+.1%}) |")
    try:
        import rocketpy  # noqa: F401
    except ImportError:
        print("\nRocketPy is not installed here: no comparison.")
        return
    closed = VEHICLE.predict_apogee_3dof(INITIAL, RK45, atmosphere=AIR, deployment=0.0)
    print(f"\nThe same rocket with the brakes closed: apogee {closed:.2f} m in aeso_flight (3-DOF), "
          f"{rocketpy_flight(100, 'closed', False)[1]:.2f} m in RocketPy (6-DOF).")
    t100 = rows[1][2]
    print("\n| RocketPy 1.x air-brake flight, 100 Hz | sample times | CPU time (s) | apogee (m) | controller calls "
          "| aeso_flight 100 Hz is |\n|---|---|---|---|---|---|")
    for law in ("simple", "predictive"):
        for exact in (True, False):
            runs = [rocketpy_flight(100, law, exact) for _ in range(max(1, repeats // 3))]
            cpu = min(r[0] for r in runs)
            print(f"| {law} law | {'exact' if exact else 'may skip'} | {cpu:.3f} | {runs[0][1]:.2f} | {runs[0][2]} "
                  f"| {cpu / t100:.0f}x faster |")


if __name__ == "__main__":
    main()
