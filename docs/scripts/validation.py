"""Validation figures and tables of the documentation, made at build time.

Three studies of the installed module's accuracy, each written as a PNG and a
Markdown table fragment into the output directory (docs/_generated when the
site is built):

1. 1-DOF apogee error against the closed-form solution as a function of the
   step size, for Euler, RK3 and RK45 held at a fixed step (dt_min = dt_max),
   with the measured convergence orders.
2. 3-DOF apogee error against a tight-tolerance reference integrator
   (scipy's DOP853 at rtol = atol = 1e-12, terminal event at zero vertical
   velocity) over the same step sizes.
3. RK45 with adaptive steps: error, number of steps and time per call as the
   tolerance goes from 1e-1 to 1e-9.

    python docs/scripts/validation.py --out docs/_generated

Times are measured on the machine that builds the site, which may be busy:
they are minima of repeated runs and only their ratios mean much.
"""

import argparse
import math
import sys
import time
from decimal import Decimal, getcontext
from pathlib import Path

import numpy as np

import aeso

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "bench"))
from reference_rk45 import deriv_3dof  # noqa: E402  (the module's 3-DOF equations in Python)

# The reference rocket of the examples and benchmarks.
PROPERTIES = dict(mass=20.0, cd=0.45, area_drag=0.0081, area_lift=0.0081,
                  moment_of_inertia=8.5, stab_margin_dimensional=0.25, cl_a=2.0)
ROCKET = aeso.Rocket(**PROPERTIES)
# The same rocket without lift: its 3-DOF right-hand side is smooth (see fitted_order).
SMOOTH_PROPERTIES = dict(PROPERTIES, cl_a=0.0)
SMOOTH_ROCKET = aeso.Rocket(**SMOOTH_PROPERTIES)
SPEED, ANGLE = 250.0, 0.05
STATE_1DOF = aeso.InitialState1DOF(0.0, SPEED)
STATE_3DOF = aeso.InitialState3DOF(0.0, 0.0, ANGLE, -SPEED * math.sin(ANGLE),
                                   SPEED * math.cos(ANGLE), 0.0)
HALF_RHO, GRAVITY = 0.6125, 9.80665

STEPS = (2.0, 1.0, 0.5, 0.2, 0.1, 0.05, 0.02, 0.01, 0.005, 0.002, 0.001)
METHODS = ("Euler", "RK3", "RK45")
TOLERANCES = tuple(10.0 ** -k for k in range(1, 11))
# The default largest step, and a loose one under which the tolerance decides.
DT_MAX = (0.1, 1.0)
# Errors below this are at the level of rounding and left out of the fits.
FIT_FLOOR = 1e-9
# Errors above this (0.4% of the apogee) come from steps too long for the
# flight (the 3-DOF pitch oscillation turns unstable) and are left out too.
FIT_CEILING = 10.0
COLORS = {"Euler": "#4c72b0", "RK3": "#dd8452", "RK45": "#55a868"}


def closed_form_apogee_1dof(h0, v0):
    """Apogee of vertical coasting flight with quadratic drag, to 40 digits.

    With k = rho/2 * cd * A, the upward flight obeys dv/dt = -g - (k/m) v^2;
    dividing by v dh/dt = v gives v dv/dh = -g - (k/m) v^2, whose solution
    from v0 to 0 is h_max = h0 + m/(2k) * ln(1 + k v0^2 / (m g)).
    """
    getcontext().prec = 40
    m, g = Decimal(PROPERTIES["mass"]), Decimal(GRAVITY)
    k = Decimal(HALF_RHO) * Decimal(PROPERTIES["cd"]) * Decimal(PROPERTIES["area_drag"])
    return float(Decimal(h0) + m / (2 * k) * (1 + k * Decimal(v0) ** 2 / (m * g)).ln())


def reference_apogee_3dof(rtol, properties=PROPERTIES):
    """3-DOF apogee from scipy's DOP853 at rtol = atol = `rtol`."""
    from scipy.integrate import solve_ivp

    rocket = tuple(properties.values())
    s = STATE_3DOF

    def rhs(_t, y):
        return deriv_3dof(y, rocket)

    def top(_t, y):
        return y[4]
    top.terminal, top.direction = True, -1

    sol = solve_ivp(rhs, (0.0, 200.0), [s.x, s.y, s.angle, s.vx, s.vy, s.angular_rate],
                    method="DOP853", rtol=rtol, atol=rtol, events=top)
    return float(sol.y_events[0][0][1])


def options(method, dt):
    """Step options holding `method` at the fixed step `dt` (RK45: dt_min = dt_max = dt)."""
    if method == "RK45":
        return aeso.AdaptiveTimeStep(dt, dt, dt, 0.01, 0.01)
    return aeso.FixedTimeStep(dt)


def predict(rocket, model, method, step):
    ode = getattr(aeso.OdeMethod, method)
    if model == "1dof":
        return rocket.predict_apogee_1dof(STATE_1DOF, ode, step)
    return rocket.predict_apogee_3dof(STATE_3DOF, ode, step)


def fitted_order(steps, errors):
    """Least-squares slope of log(error) against log(dt) where the step size decides the error.

    Two floors end that range. Rounding: errors below FIT_FLOOR. The stopping
    rule: the final step is redone with the crossing step rescaled to end at
    zero vertical velocity, which makes it about v_before / |a| long (up to
    0.5 m/s / 9.8 m/s^2, some 0.05 s) however small dt is; its own error does
    not shrink with dt. The smallest steps are left out while their error
    falls by less than a factor 1.5 from the next larger step. Errors above
    FIT_CEILING are not in the asymptotic range either.
    """
    keep = [(h, e) for h, e in zip(steps, errors) if FIT_FLOOR < e < FIT_CEILING]
    # On the stopping rule's floor the error no longer falls with dt.
    while len(keep) > 2 and keep[-1][1] > keep[-2][1] / 1.5:
        keep.pop()
    if len(keep) < 2:
        return math.nan
    x, y = np.log([h for h, _ in keep]), np.log([e for _, e in keep])
    return float(np.polyfit(x, y, 1)[0])


def convergence(rocket, model, exact):
    errors = {m: [abs(predict(rocket, model, m, options(m, h)) - exact) for h in STEPS] for m in METHODS}
    orders = {m: fitted_order(STEPS, errors[m]) for m in METHODS}
    return errors, orders


def convergence_table(errors, orders):
    lines = ["| dt (s) | " + " | ".join(f"{m} error (m)" for m in METHODS) + " |",
             "|---:|" + "---:|" * len(METHODS)]
    for i, h in enumerate(STEPS):
        cells = []
        for m in METHODS:
            e = errors[m]
            local = (math.log(e[i - 1] / e[i]) / math.log(STEPS[i - 1] / h)
                     if i and e[i] > 0 and e[i - 1] > 0 else math.nan)
            cells.append(f"{e[i]:.2e}" + (f" ({local:.1f})" if local == local else ""))
        lines.append(f"| {h:g} | " + " | ".join(cells) + " |")
    lines.append("| **fitted order** | " + " | ".join(f"**{orders[m]:.2f}**" for m in METHODS) + " |")
    return "\n".join(lines) + "\n"


def convergence_figure(path, panels):
    """One log-log panel per (title, errors, orders)."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    fig = Figure(figsize=(6.5 * len(panels), 4.6), layout="constrained")
    axes = fig.subplots(1, len(panels), squeeze=False)[0]
    for ax, (title, errors, orders) in zip(axes, panels):
        convergence_panel(ax, title, errors, orders)
    fig.savefig(path, dpi=100)


def convergence_panel(ax, title, errors, orders):
    for m in METHODS:
        e = np.array(errors[m])
        shown = e > 0
        ax.loglog(np.array(STEPS)[shown], e[shown], "o-", color=COLORS[m],
                  label=f"{m} (fitted order {orders[m]:.2f})")
    for p, anchor in ((1, 3e2), (3, 3e0), (5, 1e-5)):
        h = np.array([STEPS[0], STEPS[-1]])
        ax.loglog(h, anchor * (h / STEPS[0]) ** p, ":", color="grey", linewidth=0.8)
        ax.annotate(f"slope {p}", (STEPS[0], anchor), fontsize=7, color="grey",
                    ha="left", va="bottom")
    ax.axhspan(1e-16, FIT_FLOOR, color="grey", alpha=0.08, label="rounding level (not fitted)")
    ax.set_ylim(bottom=1e-14)
    ax.set_xlabel("step size dt (s)")
    ax.set_ylabel("|apogee error| (m)")
    ax.set_title(title)
    ax.grid(which="both", alpha=0.2)
    ax.legend(fontsize=8, loc="lower right")


def time_per_call(call, budget=0.02, repeats=5):
    """Minimum over `repeats` of the mean time of one call, in microseconds."""
    start = time.perf_counter()
    call()
    once = max(time.perf_counter() - start, 1e-7)
    number = max(1, int(budget / once))
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(number):
            call()
        best = min(best, (time.perf_counter() - start) / number)
    return best * 1e6


def tradeoff(exact_1dof, reference_3dof):
    rows = []
    for dt_max in DT_MAX:
        for tol in TOLERANCES:
            rows.append(tradeoff_row(exact_1dof, reference_3dof, dt_max, tol))
    return rows


def tradeoff_row(exact_1dof, reference_3dof, dt_max, tol):
    step = aeso.AdaptiveTimeStep(0.01, 1e-6, dt_max, tol, tol)
    row = {"tol": tol, "dt_max": dt_max}
    for model, exact, state in (("1dof", exact_1dof, STATE_1DOF), ("3dof", reference_3dof, STATE_3DOF)):
        predictor = getattr(ROCKET, f"predict_apogee_{model}")
        simulator = getattr(ROCKET, f"simulate_flight_{model}")
        row[model] = dict(
            error=abs(predictor(state, aeso.OdeMethod.RK45, step) - exact),
            steps=len(simulator(state, aeso.OdeMethod.RK45, step)[0]),
            us=time_per_call(lambda: predictor(state, aeso.OdeMethod.RK45, step)))
    return row


def tradeoff_table(rows):
    lines = ["| dt_max (s) | tolerance (abs = rel) | 1-DOF error (m) | 1-DOF steps | 1-DOF time (µs) "
             "| 3-DOF error (m) | 3-DOF steps | 3-DOF time (µs) |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        default = " (default)" if (r["tol"], r["dt_max"]) == (0.01, 0.1) else ""
        cells = [f"{r['dt_max']:g}", f"{r['tol']:.0e}{default}"]
        for model in ("1dof", "3dof"):
            d = r[model]
            cells += [f"{d['error']:.2e}", f"{d['steps']}", f"{d['us']:.1f}"]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def tradeoff_figure(path, rows):
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    fig = Figure(figsize=(12, 4.6), layout="constrained")
    by_tol, by_time = fig.subplots(1, 2)
    styles = {0.1: "o-", 1.0: "s--"}
    for dt_max in DT_MAX:
        part = [r for r in rows if r["dt_max"] == dt_max]
        tols = [r["tol"] for r in part]
        for model, label, color in (("1dof", "1-DOF", "#4c72b0"), ("3dof", "3-DOF", "#c44e52")):
            err = np.maximum([r[model]["error"] for r in part], 1e-14)
            us = [r[model]["us"] for r in part]
            name = f"{label}, dt_max {dt_max:g} s"
            by_tol.loglog(tols, err, styles[dt_max], color=color, label=name)
            by_time.loglog(us, err, styles[dt_max], color=color, label=name)
    by_tol.axvline(0.01, color="grey", linestyle=":", linewidth=0.8, label="default tolerance")
    by_tol.set_xlabel("tolerance (absolute = relative)")
    by_tol.set_ylabel("|apogee error| (m)")
    by_tol.set_title("RK45 apogee error against tolerance")
    by_tol.invert_xaxis()
    by_tol.grid(which="both", alpha=0.2)
    by_tol.legend(fontsize=7)
    by_time.set_xlabel("time per prediction (µs, minimum of 5 repeats)")
    by_time.set_ylabel("|apogee error| (m)")
    by_time.set_title("accuracy against cost, tolerances 1e-1 to 1e-10")
    by_time.grid(which="both", alpha=0.2)
    by_time.legend(fontsize=7)
    fig.savefig(path, dpi=100)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, required=True, help="directory for the PNGs and tables")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    exact_1dof = closed_form_apogee_1dof(0.0, SPEED)
    reference_3dof = reference_apogee_3dof(1e-12)
    reference_check = abs(reference_apogee_3dof(1e-13) - reference_3dof)
    smooth_3dof = reference_apogee_3dof(1e-12, SMOOTH_PROPERTIES)

    e1, o1 = convergence(ROCKET, "1dof", exact_1dof)
    e3, o3 = convergence(ROCKET, "3dof", reference_3dof)
    es, os_ = convergence(SMOOTH_ROCKET, "3dof", smooth_3dof)
    convergence_figure(args.out / "validation_1dof.png",
                       [(f"1-DOF against the closed form ({exact_1dof:.4f} m)", e1, o1)])
    convergence_figure(args.out / "validation_3dof.png",
                       [(f"3-DOF reference rocket against DOP853 ({reference_3dof:.4f} m)", e3, o3),
                        (f"3-DOF without lift (cl_a = 0) against DOP853 ({smooth_3dof:.4f} m)", es, os_)])
    rows = tradeoff(exact_1dof, reference_3dof)
    tradeoff_figure(args.out / "validation_rk45_tradeoff.png", rows)

    (args.out / "validation_1dof.md").write_text(convergence_table(e1, o1))
    (args.out / "validation_3dof.md").write_text(convergence_table(e3, o3))
    (args.out / "validation_3dof_smooth.md").write_text(convergence_table(es, os_))
    (args.out / "validation_rk45_tradeoff.md").write_text(tradeoff_table(rows))
    (args.out / "validation_references.md").write_text(
        f"- 1-DOF closed-form apogee: {exact_1dof:.10f} m (40-digit decimal evaluation).\n"
        f"- 3-DOF reference apogee: {reference_3dof:.10f} m (DOP853, rtol = atol = 1e-12); "
        f"at 1e-13 it moves by {reference_check:.1e} m.\n"
        f"- 3-DOF reference apogee without lift: {smooth_3dof:.10f} m (DOP853, rtol = atol = 1e-12).\n")
    for model, orders in (("1-DOF", o1), ("3-DOF", o3), ("3-DOF without lift", os_)):
        print(f"validation: {model} fitted orders " +
              ", ".join(f"{m} {orders[m]:.2f}" for m in METHODS))


if __name__ == "__main__":
    main()
