#!/usr/bin/env python3
"""Time aeso_dispersion against bare loops, across threads and Dask workers,
and against solve_ivp in a multiprocessing pool; measure its memory.

The study is examples/dispersion_study.toml (3-DOF, RK45 at default options,
six dispersed inputs, the velocity from the drawn speed and angle). For n
samples (default 10^5):

  * bare loop: the same samples' apogees with rocket.predict_apogee_3dof in
    one thread, the Rocket and InitialState3DOF objects built beforehand and
    outside the timing: the single-thread rate of the runs alone;
  * the tool on the threads backend with 1 worker: its own cost (drawing,
    collecting) is the excess over the bare loop;
  * the tool on the threads backend with one worker per core: scaling;
  * the tool on a local Dask cluster of 1 and of 2 worker processes (cluster
    started beforehand, outside the timing);
  * --big-n samples (default 10^6) on the threads backend, one worker per
    core, against the floor --big-n / (cores x bare rate);
  * the peak resident memory of a --big-n study in a fresh process, per
    sample, beyond the drawn inputs;
  * the same study with scipy.integrate.solve_ivp (RK45, terminal event at
    zero vertical velocity, at the tolerance bench/compare.py matches to the
    module's accuracy) in a multiprocessing pool of one process per core, on
    a subset of the samples (it is ~100 times slower), as a rate.

Each timing is the median of --repeats runs; the variants are interleaved so
that load from other work on the machine spreads over all of them. The
apogees of every variant are checked bit for bit against the bare loop. The
targets are printed with the ratios measured in this one run.

    python3 bench/dispersion_bench.py                  # about 5-8 minutes
    python3 bench/dispersion_bench.py -n 20000 --repeats 1 --big-n 200000
    python3 bench/dispersion_bench.py --markdown /tmp/dispersion.md
"""

import argparse
import datetime
import json
import math
import multiprocessing
import os
import platform
import statistics
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(HERE, "..", "examples", "dispersion_study.toml")
sys.path.insert(0, HERE)

import aeso  # noqa: E402
from aeso_dispersion import Dask, Threads, load_study  # noqa: E402


def interpreter():
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    build = "free-threaded, GIL off" if not gil else (
        "free-threaded, GIL on" if hasattr(sys, "_is_gil_enabled") and
        "t" in getattr(sys, "abiflags", "") else "GIL build")
    return f"CPython {platform.python_version()} ({build})"


def sample_objects(study, result):
    """Rocket and InitialState3DOF of every sample, as the study drew them."""
    values = {**study.rocket, **study.initial_state}
    columns = {name.split(".", 1)[1]: result.samples[:, i].tolist() for i, name in enumerate(result.names)}
    n = result.n
    get = {k: columns.get(k, [values[k]] * n) for k in values}
    rocket_keys = ("mass", "cd", "area_drag", "area_lift", "moment_of_inertia",
                   "stab_margin_dimensional", "cl_a")
    rockets = [aeso.Rocket(*args) for args in zip(*(get[k] for k in rocket_keys))]
    states = [aeso.InitialState3DOF(x, y, a, -s * math.sin(a), s * math.cos(a), w)
              for x, y, a, s, w in zip(get["x"], get["y"], get["angle"], get["speed"], get["angular_rate"])]
    return rockets, states


def bare_loop(rockets, states):
    method = aeso.OdeMethod.RK45
    cpu, start = time.process_time(), time.perf_counter()
    out = [r.predict_apogee_3dof(s, method) for r, s in zip(rockets, states)]
    return time.perf_counter() - start, time.process_time() - cpu, np.array(out)


def timed_study(study, n, seed, backend):
    """Wall time, CPU time of this process (all its threads) and apogees."""
    cpu = time.process_time()
    r = study.run(n=n, seed=seed, backend=backend, progress=False)
    return r.elapsed, time.process_time() - cpu, r.apogees


def serial_share(study, seed):
    """The share of a block's CPU time (this thread's) spent in its Python
    work, i.e. attached to the interpreter (drawing, assembling the inputs,
    reading the statuses), the native runs replaced by a call that returns
    at once: the part of a block that threads cannot run in parallel on a
    GIL build. Thread CPU time, so other work on the machine barely moves it."""
    from aeso_dispersion import _flights, engine

    plan, real = study.plan, _flights.run_block

    def per_block(blocks):
        start = time.thread_time()
        for b in range(blocks):
            engine.run_block(plan, seed, b, plan.block_size)
        return (time.thread_time() - start) / blocks

    full = statistics.median(per_block(5) for _ in range(3))
    _flights.run_block = lambda *args: 0
    try:
        python_only = statistics.median(per_block(50) for _ in range(3))
    finally:
        _flights.run_block = real
    return python_only / full, full


def status_bytes(field):
    """A size from /proc/self/status (VmRSS, VmHWM), in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def memory_child(n):
    """In a fresh process: the growth of the peak RSS over the RSS before an
    n-sample study (bytes) and the size of its drawn inputs, as JSON on
    standard output."""
    study = load_study(EXAMPLE)
    study.run(n=1000, seed=2, backend=Threads(), progress=False)  # libraries and threads up
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak (VmHWM) starts again from the current RSS
    before = status_bytes("VmRSS")
    result = study.run(n=n, seed=1, backend=Threads(), progress=False)
    peak = status_bytes("VmHWM")
    print(json.dumps({"growth": peak - before, "inputs": result.samples.nbytes, "n": n}))


def memory_per_sample(n):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", str(n)],
                         check=True, capture_output=True, text=True).stdout
    m = json.loads(out)
    return (m["growth"] - m["inputs"]) / m["n"], m["growth"], m["inputs"]


# ------------------------------------------------------------ solve_ivp pool

_IVP = {}


def _ivp_init(rtol, atol):
    _IVP.update(rtol=rtol, atol=atol)


def _ivp_chunk(rows):
    """Apogees of rows (7 rocket values, x, y, angle, vx, vy, angular_rate)."""
    import reference_rk45 as ref
    from scipy.integrate import solve_ivp

    def apogee(_t, y, _rocket):
        return y[ref.VERTICAL_3DOF]

    apogee.terminal = True
    apogee.direction = -1
    out = []
    for row in rows:
        rocket, y0 = tuple(row[:7]), row[7:]
        sol = solve_ivp(lambda t, y, rk: ref.deriv_3dof(y, rk), (0.0, 1000.0), y0, method="RK45",
                        rtol=_IVP["rtol"], atol=_IVP["atol"], events=apogee, args=(rocket,))
        out.append(sol.y_events[0][0][ref.ALTITUDE_3DOF])
    return out


def matched_tolerance():
    """The tolerance bench/compare.py finds for the 3-DOF reference rocket:
    the loosest rtol on its ladder whose apogee error is no larger than
    aeso RK45's (atol = rtol / 1000)."""
    import compare

    reference = float(compare.solve_ivp_apogee("3dof", 1e-13, 1e-13, method="DOP853")())
    rocket = aeso.Rocket(*compare.ROCKET)
    module = rocket.predict_apogee_3dof(aeso.InitialState3DOF(*compare.Y0_3DOF), aeso.OdeMethod.RK45)
    rtol, _, _, matched = compare.matched_solve_ivp("3dof", compare.error(module, reference), reference)
    return rtol, rtol * 1e-3, matched


def solve_ivp_rate(rockets, states, count, processes):
    rows = [[*(getattr(r.rocket_properties, k) for k in
               ("mass", "cd", "area_drag", "area_lift", "moment_of_inertia",
                "stab_margin_dimensional", "cl_a")),
             s.x, s.y, s.angle, s.vx, s.vy, s.angular_rate] for r, s in zip(rockets[:count], states[:count])]
    rtol, atol, matched = matched_tolerance()
    chunks = [rows[i::processes * 8] for i in range(processes * 8)]
    ctx = multiprocessing.get_context("spawn")
    with ctx.Pool(processes, initializer=_ivp_init, initargs=(rtol, atol)) as pool:
        pool.map(_ivp_chunk, [rows[:processes]])  # start-up outside the timing
        start = time.perf_counter()
        results = pool.map(_ivp_chunk, chunks)
        elapsed = time.perf_counter() - start
    apogees = np.empty(count)
    for i, chunk in enumerate(results):
        apogees[i::processes * 8] = chunk
    return count / elapsed, rtol, atol, matched, apogees


# ------------------------------------------------------------ main

def dask_variants(study, args, seed, record):
    try:
        import distributed
    except ImportError:
        print("dask.distributed not installed: no Dask figures")
        return
    import logging
    logging.getLogger("distributed").setLevel(logging.ERROR)
    clients = {}
    try:
        for w in (1, 2):
            cluster = distributed.LocalCluster(n_workers=w, threads_per_worker=1, processes=True,
                                               dashboard_address=None, silence_logs=logging.ERROR)
            clients[w] = distributed.Client(cluster)
        for client in clients.values():  # import aeso on every worker
            study.run(n=study.block_size * 4, seed=seed, backend=Dask(client=client), progress=False)
        for repeat in range(args.repeats):
            for w, client in clients.items():
                elapsed, _, apogees = timed_study(study, args.n, seed, Dask(client=client))
                record(f"dask local, {w} worker process{'es' * (w > 1)}", elapsed, None, apogees)
            print(f"  dask repeat {repeat + 1}", flush=True)
    finally:
        for client in clients.values():
            cluster = client.cluster
            client.close()
            cluster.close()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("-n", type=int, default=100_000, help="samples (default 10^5)")
    p.add_argument("--repeats", type=int, default=3, help="runs of each variant (median reported)")
    p.add_argument("--big-n", type=int, default=1_000_000,
                   help="samples of the large run and of the memory measurement (default 10^6; 0: skip)")
    p.add_argument("--ivp-samples", type=int, default=2000, help="samples for the solve_ivp pool")
    p.add_argument("--no-dask", action="store_true")
    p.add_argument("--no-ivp", action="store_true")
    p.add_argument("--markdown", metavar="PATH", help="also write the tables as Markdown")
    p.add_argument("--memory-child", type=int, metavar="N", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.memory_child:
        memory_child(args.memory_child)
        return

    cores = os.cpu_count()
    study = load_study(EXAMPLE)
    seed = 1
    load_start = os.getloadavg()[0]
    print(f"{interpreter()}, numpy {np.__version__}, {cores} cores, n = {args.n}, "
          f"load average {load_start:.2f}", flush=True)

    first = study.run(n=args.n, seed=seed, backend=Threads(cores), progress=False)
    rockets, states = sample_objects(study, first)
    times = {}
    cpu_times = {}

    def record(name, elapsed, cpu, apogees):
        np.testing.assert_array_equal(apogees, reference, err_msg=name)
        times.setdefault(name, []).append(elapsed)
        if cpu is not None:
            cpu_times.setdefault(name, []).append(cpu)

    _, _, reference = bare_loop(rockets, states)
    bare_name = "bare loop, 1 thread"
    all_name = f"threads, {cores} worker{'s' * (cores > 1)}"
    for repeat in range(args.repeats):
        record(bare_name, *bare_loop(rockets, states))
        for workers in sorted({1, cores}):
            record(f"threads, {workers} worker{'s' * (workers > 1)}",
                   *timed_study(study, args.n, seed, Threads(workers)))
        print(f"  repeat {repeat + 1}: " + ", ".join(f"{k} {v[-1]:.2f} s" for k, v in times.items()),
              flush=True)
    # The Dask clusters exist only for their own variants: their scheduler and
    # worker processes (heartbeats, the client's event loop in this process)
    # would otherwise take a share of the cores from the thread variants.
    if not args.no_dask:
        dask_variants(study, args, seed, record)
    median = {k: statistics.median(v) for k, v in times.items()}
    cpu_median = {k: statistics.median(v) for k, v in cpu_times.items()}
    bare = median[bare_name]
    rows = [(k, v, args.n / v, cpu_median.get(k)) for k, v in median.items()]
    single_rate = args.n / bare
    checks = []
    scaling = (args.n / median[all_name]) / single_rate
    target = 1.9 if cores == 2 else 0.95 * cores
    checks.append((f"threads, {cores} workers >= {target:.2f} x bare single-thread rate",
                   f"{scaling:.2f} x", scaling >= target))
    overhead = median["threads, 1 worker"] / bare - 1
    checks.append(("tool's own work <= 1% of the runs (threads, 1 worker vs bare loop, wall time)",
                   f"{overhead * 100:+.1f} %", overhead <= 0.01))
    cpu_overhead = cpu_median["threads, 1 worker"] / cpu_median[bare_name] - 1
    checks.append(("tool's own work <= 1% of the runs (threads, 1 worker vs bare loop, CPU time)",
                   f"{cpu_overhead * 100:+.1f} %", cpu_overhead <= 0.01))
    share, block_cpu = serial_share(study, seed)
    checks.append(("Python work per block, attached to the interpreter (thread CPU time)",
                   f"{share * 100:.2f} % of {block_cpu * 1e3:.0f} ms: at most {cores / (1 + (cores - 1) * share):.3f} x "
                   f"with {cores} workers on a GIL build (Amdahl)", None))
    cpu_all = cpu_median[all_name] / cpu_median[bare_name]
    checks.append((f"CPU time of threads, {cores} workers / bare loop (1.00: no work lost to "
                   "running in parallel)", f"{cpu_all:.2f}", None))
    if "dask local, 1 worker process" in median and "dask local, 2 worker processes" in median:
        d1, d2 = median["dask local, 1 worker process"], median["dask local, 2 worker processes"]
        checks.append(("Dask local cluster: 2 worker processes >= 1.6 x 1", f"{d1 / d2:.2f} x", d1 / d2 >= 1.6))

    if args.big_n:
        # The bare rate again right before and after, so that the floor
        # reflects the machine's load during the large run.
        rates = [single_rate]
        rates.append(args.n / bare_loop(rockets, states)[0])
        big_cpu = time.process_time()
        big = study.run(n=args.big_n, seed=seed, backend=Threads(cores), progress=False)
        big_cpu = time.process_time() - big_cpu
        rates.append(args.n / bare_loop(rockets, states)[0])
        np.testing.assert_array_equal(big.apogees[:args.n], reference, err_msg="large run")
        rate = statistics.median(rates)
        floor = args.big_n / (cores * rate)
        rows.append((f"threads, {cores} workers, {args.big_n:,} samples", big.elapsed, args.big_n / big.elapsed,
                     big_cpu))
        checks.append((f"{args.big_n:,} samples on threads within 1.05 x the floor {args.big_n:,} / "
                       f"({cores} x bare rate)", f"{big.elapsed / floor:.3f} x ({big.elapsed:.1f} s against "
                       f"{floor:.1f} s; bare rate {rate:,.0f} runs/s)", big.elapsed <= 1.05 * floor))
        bare_cpu = cpu_median[bare_name] * args.big_n / args.n
        checks.append((f"CPU time of the {args.big_n:,}-sample run / bare loop's CPU time for as many runs",
                       f"{big_cpu / bare_cpu:.3f}", None))
        del big
        per_sample, growth, inputs = memory_per_sample(args.big_n)
        checks.append((f"peak RSS per sample beyond the drawn inputs at {args.big_n:,} samples <= 100 bytes",
                       f"{per_sample:.1f} bytes (peak growth {growth / 1e6:.1f} MB, drawn inputs "
                       f"{inputs / 1e6:.1f} MB)", per_sample <= 100))

    if not args.no_ivp:
        try:
            import scipy  # noqa: F401
        except ImportError:
            print("scipy not installed: no solve_ivp figure")
        else:
            count = min(args.ivp_samples, args.n)
            rate, rtol, atol, matched, ivp = solve_ivp_rate(rockets, states, count, cores)
            error = np.abs(ivp - reference[:count])
            rows.append((f"solve_ivp RK45 (rtol {rtol:.1e}, atol {atol:.1e}), multiprocessing "
                         f"pool of {cores}, {count} samples", count / rate, rate, None))
            checks.append(("tool on threads vs solve_ivp pool (same cores)",
                           f"{(args.n / median[all_name]) / rate:.0f} x faster; solve_ivp apogees differ by "
                           f"median {np.median(error):.1e} m, max {error.max():.1e} m", None))

    width = max(len(r[0]) for r in rows)

    def cpu_text(cpu):
        return "" if cpu is None else f"{cpu:.2f}"

    print(f"\n{'variant':<{width}}  {'time (s)':>9}  {'runs/s':>10}  {'CPU (s)':>8}")
    for name, elapsed, rate, cpu in rows:
        print(f"{name:<{width}}  {elapsed:>9.2f}  {rate:>10,.0f}  {cpu_text(cpu):>8}")
    print()
    for name, figure, ok in checks:
        verdict = "" if ok is None else ("met" if ok else "NOT met")
        print(f"{name}: {figure} {verdict}")
    print(f"load average {load_start:.2f} at the start, {os.getloadavg()[0]:.2f} at the end")

    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(f"{interpreter()}, numpy {np.__version__}, {cores} cores, n = {args.n}, "
                    f"median of {args.repeats}, {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC, "
                    f"load average {load_start:.2f} at the start, {os.getloadavg()[0]:.2f} at the end\n\n")
            f.write("| variant | wall time (s) | runs/s | CPU time, this process (s) |\n|---|---|---|---|\n")
            for name, elapsed, rate, cpu in rows:
                f.write(f"| {name} | {elapsed:.2f} | {rate:,.0f} | {cpu_text(cpu)} |\n")
            f.write("\n| target | measured | verdict |\n|---|---|---|\n")
            for name, figure, ok in checks:
                f.write(f"| {name} | {figure} | {'' if ok is None else ('met' if ok else 'not met')} |\n")


if __name__ == "__main__":
    main()
