#!/usr/bin/env python3
"""Time aeso's apogee predictions against what a user would use instead.

For the reference rocket (mass 20 kg, cd 0.45, areas 0.0081 m^2, moment of
inertia 8.5 kg m^2, stability margin 0.25 m, lift slope 2 per radian,
launched at 250 m/s; 3-DOF at 0.05 rad with the velocity along the body
axis), in one run on one machine:

  * aeso's predict_apogee_1dof / predict_apogee_3dof, each method, default options;
  * scipy.integrate.solve_ivp(method="RK45") with a terminal event at zero
    vertical velocity, at its default tolerances and at the loosest tolerance
    whose apogee error is no larger than aeso's RK45 error;
  * the same RK45 run as a plain-Python loop and compiled with numba.njit
    (when numba is installed), both bit-identical to aeso by construction;
  * optionally the C++ benchmarks (bench_core) of the same runs, for the cost
    of the Python call itself;
  * the peak memory of a 10^6-row simulate_flight_* run;
  * the throughput of 1, 2 and 4 threads (thread_scaling.py), on a shared
    Rocket and on one Rocket per thread.

The 1-DOF error is measured against the closed-form apogee
(m/(2k)) ln(1 + k v0^2/(m g)), k = 0.6125 cd A. The 3-DOF model has no closed
form: its error is measured against solve_ivp DOP853 at rtol = atol = 1e-13.

Times are medians over repeats of the mean time per call. Nothing is written
unless --markdown PATH is given.

    python3 bench/compare.py                          # everything it can find
    python3 bench/compare.py --markdown /tmp/perf.md  # also write the tables
"""

import argparse
import datetime
import json
import math
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
from decimal import Decimal, getcontext

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import reference_rk45 as ref  # noqa: E402
import thread_scaling  # noqa: E402

ROCKET = (20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0)
V0 = 250.0
ANGLE0 = 0.05
Y0_1DOF = (0.0, V0)
Y0_3DOF = (0.0, 0.0, ANGLE0, -V0 * math.sin(ANGLE0), V0 * math.cos(ANGLE0), 0.0)
DEFAULT_CPP_BENCH = os.path.join(HERE, "..", "build", "bench", "bench", "bench_core")


def closed_form_apogee_1dof():
    """The exact 1-DOF apogee for the double-valued inputs, as a Decimal.

    Evaluated with 50 significant digits: in double precision the formula
    itself would be off by a few units in the last place, which is about
    the error of aeso's RK45 prediction.
    """
    getcontext().prec = 50
    m, cd, area = Decimal(ROCKET[0]), Decimal(ROCKET[1]), Decimal(ROCKET[2])
    k = Decimal(0.6125) * cd * area
    v0, g = Decimal(V0), Decimal(9.80665)
    return m / (2 * k) * (1 + k * v0 * v0 / (m * g)).ln()


def error(apogee, reference):
    """|apogee - reference|, exact for a Decimal reference."""
    if isinstance(reference, Decimal):
        return float(abs(Decimal(float(apogee)) - reference))
    return abs(float(apogee) - reference)


# ------------------------------------------------------------ timing

def time_per_call(fn, repeats, min_repeat_time):
    """Median over `repeats` of the mean time of one call, in seconds."""
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= min_repeat_time:
            break
        number = max(number * 2, int(number * min_repeat_time / max(elapsed, 1e-9) * 1.1))
    samples = [elapsed / number]
    for _ in range(repeats - 1):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        samples.append((time.perf_counter() - start) / number)
    return statistics.median(samples)


# ------------------------------------------------------------ solve_ivp

def solve_ivp_apogee(model, rtol, atol, method="RK45"):
    from scipy.integrate import solve_ivp

    if model == "1dof":
        deriv, y0, vertical, altitude = ref.deriv_1dof, Y0_1DOF, ref.VERTICAL_1DOF, ref.ALTITUDE_1DOF
    else:
        deriv, y0, vertical, altitude = ref.deriv_3dof, Y0_3DOF, ref.VERTICAL_3DOF, ref.ALTITUDE_3DOF

    def fun(_t, y):
        return deriv(y, ROCKET)

    def apogee(_t, y):
        return y[vertical]

    apogee.terminal = True
    apogee.direction = -1

    def run():
        sol = solve_ivp(fun, (0.0, 1000.0), y0, method=method, rtol=rtol, atol=atol, events=apogee)
        return sol.y_events[0][0][altitude]

    return run


# Tolerance ladder for the matched-accuracy search: rtol from 1e-3 (scipy's
# default) down in half-decades, atol = rtol / 1000 (scipy's default ratio).
TOLERANCE_LADDER = [10.0 ** (-k / 2.0) for k in range(6, 28)]


def matched_solve_ivp(model, target_error, reference):
    """The loosest tolerance on the ladder whose apogee error is <= target.

    Returns (rtol, run, apogee, matched). When no tolerance is accurate
    enough, the most accurate one is returned with matched False.
    """
    best = None
    for rtol in TOLERANCE_LADDER:
        run = solve_ivp_apogee(model, rtol, rtol * 1e-3)
        apogee = run()
        err = error(apogee, reference)
        if err <= target_error:
            return rtol, run, apogee, True
        if best is None or err < best[0]:
            best = (err, rtol, run, apogee)
    return best[1], best[2], best[3], False


# ------------------------------------------------------------ C++ benchmarks

def run_cpp_bench(binary, repeats):
    """Median real time (s) of each bench_core benchmark that compare.py uses."""
    pattern = "^PredictApogee/(1|3)DOF/method:[0-2]$|^PredictApogee/1DOF/single_step/"
    # Repetitions of all benchmarks are interleaved at random, so a change in
    # the machine's load hits every benchmark alike rather than one of a pair.
    cmd = [binary, f"--benchmark_filter={pattern}", "--benchmark_format=json",
           f"--benchmark_repetitions={max(repeats, 9)}", "--benchmark_report_aggregates_only=true",
           "--benchmark_enable_random_interleaving=true", "--benchmark_min_time=0.05"]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    data = json.loads(out)
    unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    results = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") == "median":
            results[b["run_name"]] = b["real_time"] * unit[b["time_unit"]]
    return results, data.get("context", {})


# ------------------------------------------------------------ memory

def memory_child(model):
    """Runs in a child process: peak RSS growth of a 10^6-row simulation."""
    import aeso

    def status(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        raise RuntimeError(field)

    rocket = aeso.Rocket(*ROCKET)
    if model == "1dof":
        init = aeso.InitialState1DOF(*Y0_1DOF)
        run = rocket.simulate_flight_1dof
    else:
        init = aeso.InitialState3DOF(*Y0_3DOF)
        run = rocket.simulate_flight_3dof
    step = aeso.FixedTimeStep(1e-6)  # apogee is ~17 s away: every step is logged
    run(init, aeso.OdeMethod.Euler, step, 10)  # warm up: NumPy API, allocator
    rows = 10**6
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # reset the peak RSS to the current RSS
    before = status("VmRSS")
    times, states = run(init, aeso.OdeMethod.Euler, step, rows)
    peak = status("VmHWM")
    assert times.shape == (rows,) and states.shape == (rows, 9)
    print(json.dumps({"rows": rows, "arrays": times.nbytes + states.nbytes, "peak_growth": peak - before}))


def measure_memory(model):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", model],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


# ------------------------------------------------------------ report

def machine_details():
    lines = [f"date: {datetime.datetime.now().astimezone().isoformat(timespec='seconds')}"]
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in lscpu.splitlines():
            key = line.split(":")[0].strip()
            if key in ("Model name", "CPU(s)", "Thread(s) per core", "CPU max MHz", "L2 cache", "L3 cache"):
                lines.append(f"{key}: {line.split(':', 1)[1].strip()}")
    except OSError:
        pass
    try:
        with open("/proc/cpuinfo") as f:
            mhz = next(line.split(":")[1].strip() for line in f if line.startswith("cpu MHz"))
        lines.append(f"cpu MHz: {mhz}")
    except (OSError, StopIteration):
        pass
    lines.append(f"kernel: {platform.release()}")
    cxx = shutil.which("c++") or shutil.which("g++")
    if cxx:
        lines.append("compiler: " + subprocess.run([cxx, "--version"], capture_output=True,
                                                   text=True).stdout.splitlines()[0])
    lines.append(f"python: {platform.python_version()} ({platform.python_implementation()})")
    for name in ("numpy", "scipy", "numba"):
        try:
            lines.append(f"{name}: {__import__(name).__version__}")
        except ImportError:
            lines.append(f"{name}: not installed")
    lines.append(f"load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    return lines


def fmt_time(seconds):
    if seconds is None:
        return "-"
    us = seconds * 1e6
    return f"{us:,.2f}" if us < 100 else f"{us:,.0f}"


def fmt_err(err):
    return "-" if err is None else f"{err:.2e}"


def render(title, header, rows, markdown):
    if markdown:
        out = [f"### {title}", "", "| " + " | ".join(header) + " |",
               "|" + "|".join("---" for _ in header) + "|"]
        out += ["| " + " | ".join(r) + " |" for r in rows]
        return "\n".join(out) + "\n"
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(header)]
    line = "  ".join(h.ljust(w) if i == 0 else h.rjust(w) for i, (h, w) in enumerate(zip(header, widths)))
    out = [title, "-" * len(title), line]
    for r in rows:
        out.append("  ".join(c.ljust(w) if i == 0 else c.rjust(w)
                             for i, (c, w) in enumerate(zip(r, widths))))
    return "\n".join(out) + "\n"


def targets_table(summary):
    """One row per performance target: the measured figure and the verdict."""
    rows = []

    def add(target, figure, ok, failed="NOT MET"):
        rows.append([target, figure, "-" if ok is None else ("met" if ok else failed)])

    for model, label in (("1dof", "1-DOF"), ("3dof", "3-DOF")):
        module, numba = summary.get((model, "module", "RK45")), summary.get((model, "numba"))
        if numba:
            add(f"{label} RK45 prediction <= 1.1x numba loop", f"{module / numba:.2f}x", module / numba <= 1.1)
        matched_time, matched = summary[(model, "solve_ivp matched")]
        figure = f"{matched_time / module:.0f}x" + ("" if matched else " (lower bound)")
        add(f"{label} RK45 >= 50x faster than matched solve_ivp", figure, matched_time / module >= 50)
    for name in ("Euler", "RK3", "RK45"):
        overhead = summary.get(("overhead", name))
        if overhead is not None:
            add(f"single-step Python call - C++ <= 1 us ({name})", f"{overhead * 1e6:.2f} us", overhead <= 1e-6)
    for model in ("1dof", "3dof"):
        ratio = summary.get(("memory", model))
        if ratio is not None:
            add(f"simulate_flight_{model} peak memory <= 3x result arrays", f"{ratio:.2f}x", ratio <= 3.0)
    for target, figure, ok in thread_scaling.targets(summary.get("threads", [])):
        add(target, figure, ok)
    return ("Targets", ["target", "measured", "verdict"], rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=9, help="timed repeats per entry (median taken)")
    parser.add_argument("--min-repeat-time", type=float, default=0.05,
                        help="seconds each repeat runs at least (calls are looped to fill it)")
    parser.add_argument("--cpp-bench", default=DEFAULT_CPP_BENCH,
                        help="bench_core binary (skipped when missing)")
    parser.add_argument("--no-cpp", action="store_true", help="do not run the C++ benchmarks")
    parser.add_argument("--no-memory", action="store_true", help="skip the 10^6-row memory runs")
    parser.add_argument("--no-threads", action="store_true", help="skip the thread-scaling table")
    parser.add_argument("--no-numba", action="store_true", help="skip the numba loop even if installed")
    parser.add_argument("--markdown", metavar="PATH", help="also write the tables as Markdown to PATH")
    parser.add_argument("--memory-child", choices=("1dof", "3dof"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.memory_child:
        memory_child(args.memory_child)
        return 0

    import numpy as np
    import aeso

    details = machine_details()
    print("\n".join(details) + "\n")

    rocket = aeso.Rocket(*ROCKET)
    init1 = aeso.InitialState1DOF(*Y0_1DOF)
    init3 = aeso.InitialState3DOF(*Y0_3DOF)
    methods = [("Euler", aeso.OdeMethod.Euler), ("RK3", aeso.OdeMethod.RK3), ("RK45", aeso.OdeMethod.RK45)]
    timeit = lambda fn: time_per_call(fn, args.repeats, args.min_repeat_time)  # noqa: E731

    exact_1dof = closed_form_apogee_1dof()
    reference_3dof = float(solve_ivp_apogee("3dof", 1e-13, 1e-13, method="DOP853")())
    reference_3dof_check = float(solve_ivp_apogee("3dof", 1e-12, 1e-12, method="DOP853")())
    dop853_1dof = solve_ivp_apogee("1dof", 1e-13, 1e-13, method="DOP853")()
    references = {"1dof": exact_1dof, "3dof": reference_3dof}

    numba_fns = None if args.no_numba else ref.build_numba()
    rocket_arr = np.array(ROCKET)
    opts_arr = np.array(ref.DEFAULT_ADAPTIVE)

    cpp = {}
    cpp_binary = os.path.abspath(args.cpp_bench)
    if not args.no_cpp and os.access(cpp_binary, os.X_OK):
        cpp, _ = run_cpp_bench(cpp_binary, args.repeats)

    tables = []
    summary = {}
    unmatched = []
    for model, predict, init, y0, ref_predict, cpp_name in (
        ("1dof", rocket.predict_apogee_1dof, init1, Y0_1DOF, ref.predict_apogee_1dof, "1DOF"),
        ("3dof", rocket.predict_apogee_3dof, init3, Y0_3DOF, ref.predict_apogee_3dof, "3DOF"),
    ):
        reference = references[model]
        rows = []  # (label, apogee, time, bit-identical to aeso RK45, note)
        for name, method in methods:
            apogee = predict(init, method)
            t = timeit(lambda: predict(init, method))
            rows.append((f"aeso {name}", apogee, t, None, ""))
            cpp_t = cpp.get(f"PredictApogee/{cpp_name}/method:{int(method)}")
            if cpp_t is not None:
                rows.append((f"  same run in C++ ({name})", apogee, cpp_t, None, "bench_core"))
                summary[(model, "cpp", name)] = cpp_t
            summary[(model, "module", name)] = t
        module_rk45 = next(r for r in rows if r[0] == "aeso RK45")
        module_apogee, module_time = module_rk45[1], module_rk45[2]
        module_error = error(module_apogee, reference)

        run = solve_ivp_apogee(model, 1e-3, 1e-6)
        rows.append(("solve_ivp RK45, default tol", run(), timeit(run), None, "rtol 1e-3 atol 1e-6"))
        rtol, run, apogee, matched = matched_solve_ivp(model, module_error, reference)
        matched_time = timeit(run)
        if matched:
            rows.append(("solve_ivp RK45, matched", apogee, matched_time, None,
                         f"rtol {rtol:.1e} atol {rtol * 1e-3:.1e}"))
        else:
            rows.append(("solve_ivp RK45, most accurate", apogee, matched_time, None,
                         f"rtol {rtol:.1e} atol {rtol * 1e-3:.1e}; cannot match (*)"))
            unmatched.append(model)
        summary[(model, "solve_ivp matched")] = (matched_time, matched)

        py_apogee = ref_predict(y0, ROCKET)
        rows.append(("plain-Python RK45 loop", py_apogee, timeit(lambda: ref_predict(y0, ROCKET)),
                     py_apogee == module_apogee, ""))
        numba_time = None
        if numba_fns is not None:
            fn = numba_fns[0 if model == "1dof" else 1]
            y0_arr = np.array(y0)
            nb_apogee = fn(y0_arr, rocket_arr, opts_arr, ref.DEFAULT_MAX_ITERATIONS)
            numba_time = timeit(lambda: fn(y0_arr, rocket_arr, opts_arr, ref.DEFAULT_MAX_ITERATIONS))
            rows.append(("numba @njit RK45 loop", nb_apogee, numba_time, nb_apogee == module_apogee, ""))
            summary[(model, "numba")] = numba_time

        label = "1-DOF" if model == "1dof" else "3-DOF"
        ref_note = "closed form" if model == "1dof" else "DOP853 rtol=atol=1e-13"
        table_rows = []
        for name, apogee, t, identical, note in rows:
            err = None if apogee is None else error(apogee, reference)
            ratio = "-" if t is None else f"{t / module_time:.2f}"
            same = "" if identical is None else ("bits = aeso RK45" if identical else "BITS DIFFER")
            table_rows.append([name, "-" if apogee is None else f"{apogee:.10f}", fmt_err(err),
                               fmt_time(t), ratio, "; ".join(x for x in (note, same) if x)])
        header = ["implementation", "apogee (m)", "abs error (m)", "time/call (us)",
                  "/ aeso RK45", "notes"]
        tables.append((f"{label} apogee prediction (error against the {ref_note}, "
                       f"{float(reference):.10f} m)", header, table_rows))

    # Python call overhead: a prediction that stops after its first step.
    slow = aeso.InitialState1DOF(0.0, 0.4)
    overhead_rows = []
    for name, method in methods:
        t_py = timeit(lambda: rocket.predict_apogee_1dof(slow, method))
        t_cpp = cpp.get(f"PredictApogee/1DOF/single_step/method:{int(method)}")
        overhead = None if t_cpp is None else t_py - t_cpp
        summary[("overhead", name)] = overhead
        overhead_rows.append([name, fmt_time(t_py), fmt_time(t_cpp), fmt_time(overhead)])
    tables.append(("Single-step predict_apogee_1dof (launched at 0.4 m/s): Python call vs C++",
                   ["method", "Python (us)", "C++ (us)", "difference (us)"], overhead_rows))

    if not args.no_memory:
        rows = []
        for model in ("1dof", "3dof"):
            m = measure_memory(model)
            rows.append([f"simulate_flight_{model}", f"{m['rows']:,}", f"{m['arrays'] / 1e6:.1f}",
                         f"{m['peak_growth'] / 1e6:.1f}", f"{m['peak_growth'] / m['arrays']:.2f}"])
            summary[("memory", model)] = m["peak_growth"] / m["arrays"]
        tables.append(("Peak memory of a 10^6-row simulation (Euler, dt 1e-6)",
                       ["run", "rows", "result arrays (MB)", "peak RSS growth (MB)", "ratio"], rows))

    if not args.no_threads:
        summary["threads"] = thread_scaling.measure()
        tables.append(thread_scaling.table(summary["threads"]))

    tables.append(targets_table(summary))
    notes = []
    if unmatched:
        notes.append("(*) no solve_ivp tolerance down to scipy's floor (rtol 100 eps) reaches aeso RK45's "
                     f"error for {', '.join(unmatched)}: the most accurate one is timed, so its ratio is a "
                     "lower bound of the speed-up at matched accuracy.")
    notes += [f"1-DOF closed-form apogee {exact_1dof:.16f} m (50-digit evaluation); DOP853 at 1e-13 gives "
             f"an error of {error(dop853_1dof, exact_1dof):.1e} m there. The 3-DOF reference is DOP853 at "
             f"rtol = atol = 1e-13, {reference_3dof!r} m; at 1e-12 it gives {reference_3dof_check!r} m.",
             f"load average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}"]
    if numba_fns is None:
        notes.append("numba is not installed (pip install numba): no compiled-loop row.")
    if not cpp:
        notes.append("C++ benchmarks not run: build bench_core (see README) or pass --cpp-bench.")

    text = "\n".join(render(t, h, r, False) for t, h, r in tables) + "\n" + "\n".join(notes)
    print(text)
    if args.markdown:
        md = ["## Machine", ""] + [f"- {d}" for d in details] + [""]
        md += [render(t, h, r, True) for t, h, r in tables]
        md += ["Notes:", ""] + [f"- {n}" for n in notes] + [""]
        with open(args.markdown, "w") as f:
            f.write("\n".join(md))
        print(f"\nwrote {args.markdown}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
