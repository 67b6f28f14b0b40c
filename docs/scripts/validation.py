"""Validation figures and tables of the documentation, made at build time.

Three studies of the installed module's accuracy, each written as a PNG and a
Markdown table fragment into the output directory (docs/_generated when the
site is built):

1. 1-DOF apogee error against the closed-form solution as a function of the
   step size, for Euler, RK3 and RK45 held at a fixed step (dt_min = dt_max),
   with the measured convergence orders.
2. 3-DOF apogee error against a tight-tolerance reference integrator
   (scipy's DOP853 at rtol = atol = 1e-13, terminal event at zero vertical
   velocity) over the same step sizes.
3. RK45 with adaptive steps: error and number of steps as the tolerance goes
   from 1e-1 to 1e-10, and as the largest step dt_max goes from 0.5 s to
   0.002 s. The cost is given in steps, which do not depend on the machine
   or its load; the time of one step is measured on the performance page.

Errors are exact differences from the reference: the 1-DOF closed form is
evaluated to 40 digits and compared with the exact value of each double.

    python docs/scripts/validation.py --out docs/_generated

"""

import argparse
import math
import sys
from decimal import Decimal, getcontext
from pathlib import Path

import numpy as np

import aeso

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "bench"))
from reference_rk45 import deriv_3dof  # noqa: E402  (the module's 3-DOF equations in Python)

from phone_figures import save_with_narrow_variant  # noqa: E402

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
# Largest steps of the dt_max sweep, at the default tolerances.
DT_MAX_SWEEP = (0.5, 0.2, 0.1, 0.05, 0.02, 0.01, 0.005, 0.002)
DEFAULT_TOLERANCE, DEFAULT_DT_MAX = 0.01, 0.1
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
    return Decimal(h0) + m / (2 * k) * (1 + k * Decimal(v0) ** 2 / (m * g)).ln()


def error(apogee, reference):
    """|apogee - reference| exactly (a double's value against a Decimal or a
    double), rounded once to a float."""
    return float(abs(Decimal(apogee) - Decimal(reference)))


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


def convergence(rocket, model, exact, fit=True):
    """Errors of each method at each fixed step; the fitted orders, or None
    where the right-hand side is not smooth and no single order holds."""
    errors = {m: [error(predict(rocket, model, m, options(m, h)), exact) for h in STEPS] for m in METHODS}
    orders = {m: fitted_order(STEPS, errors[m]) for m in METHODS} if fit else None
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
    if orders is not None:
        lines.append("| **fitted order** | " + " | ".join(f"**{orders[m]:.2f}**" for m in METHODS) + " |")
    return "\n".join(lines) + "\n"


# Figures are drawn at about the width of the page's column (8 inches at
# 110 dpi), one panel per row, so that their text reads at the size of the
# page's own; each also in a phone's width (phone_figures).
PANEL_SIZE = (8.0, 4.4)
DPI = 110


def figure(rows):
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    fig = Figure(figsize=(PANEL_SIZE[0], PANEL_SIZE[1] * rows), layout="constrained")
    return fig, fig.subplots(rows, 1, squeeze=False)[:, 0]


def convergence_figure(path, panels):
    """One log-log panel per (title, errors, orders), one above the other."""
    fig, axes = figure(len(panels))
    for ax, (title, errors, orders) in zip(axes, panels):
        convergence_panel(ax, title, errors, orders)
    save_with_narrow_variant(fig, path, DPI)


def convergence_panel(ax, title, errors, orders):
    for m in METHODS:
        e = np.array(errors[m])
        shown = e > 0
        label = m if orders is None else f"{m} (fitted order {orders[m]:.2f})"
        ax.loglog(np.array(STEPS)[shown], e[shown], "o-", color=COLORS[m], label=label)
    for p, anchor in ((1, 3e2), (3, 3e0), (5, 1e-5)):
        h = np.array([STEPS[0], STEPS[-1]])
        ax.loglog(h, anchor * (h / STEPS[0]) ** p, ":", color="grey", linewidth=0.8)
        ax.annotate(f"slope {p}", (STEPS[0], anchor), fontsize=9, color="grey",
                    ha="left", va="bottom")
    ax.axhspan(1e-16, FIT_FLOOR, color="grey", alpha=0.08, label="rounding level (not fitted)")
    ax.set_ylim(bottom=1e-14)
    ax.set_xlabel("step size dt (s)")
    ax.set_ylabel("|apogee error| (m)")
    ax.set_title(title, fontsize=11)
    ax.grid(which="both", alpha=0.2)
    ax.legend(fontsize=9, loc="lower right")


def rk45_run(exact_1dof, reference_3dof, dt_max, tol):
    """Error and steps of each model with RK45 at tolerance `tol`
    (absolute = relative) and largest step `dt_max`."""
    step = aeso.AdaptiveTimeStep(min(0.01, dt_max), 1e-6, dt_max, tol, tol)
    row = {"tol": tol, "dt_max": dt_max}
    for model, exact, state in (("1dof", exact_1dof, STATE_1DOF), ("3dof", reference_3dof, STATE_3DOF)):
        predictor = getattr(ROCKET, f"predict_apogee_{model}")
        simulator = getattr(ROCKET, f"simulate_flight_{model}")
        row[model] = dict(
            error=error(predictor(state, aeso.OdeMethod.RK45, step), exact),
            steps=len(simulator(state, aeso.OdeMethod.RK45, step)[0]))
    return row


def rk45_table(rows, first):
    """Markdown table of rk45_run rows; `first` is the column that varies."""
    titles = {"tol": "tolerance (abs = rel)", "dt_max": "dt_max (s)"}
    other = "dt_max" if first == "tol" else "tol"
    lines = [f"| {titles[first]} | {titles[other]} | 1-DOF error (m) | 1-DOF steps "
             "| 3-DOF error (m) | 3-DOF steps |",
             "|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        default = " (default)" if (r["tol"], r["dt_max"]) == (DEFAULT_TOLERANCE, DEFAULT_DT_MAX) else ""
        cells = [f"{r[first]:g}{default}", f"{r[other]:g}"]
        for model in ("1dof", "3dof"):
            d = r[model]
            cells += [f"{d['error']:.1e}", f"{d['steps']}"]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def tradeoff_figure(path, by_tolerance, by_dt_max):
    """Error against tolerance; error against steps, for the tolerance
    sweeps and the dt_max sweep."""
    fig, (by_tol, by_steps) = figure(2)
    styles = {0.1: "o-", 1.0: "s--"}
    for model, label, color in (("1dof", "1-DOF", "#4c72b0"), ("3dof", "3-DOF", "#c44e52")):
        for dt_max in DT_MAX:
            part = [r for r in by_tolerance if r["dt_max"] == dt_max]
            err = np.maximum([r[model]["error"] for r in part], 1e-14)
            name = f"{label}, tolerance 1e-1 to 1e-10, dt_max {dt_max:g} s"
            by_tol.loglog([r["tol"] for r in part], err, styles[dt_max], color=color, label=name)
            by_steps.loglog([r[model]["steps"] for r in part], err, styles[dt_max], color=color,
                           alpha=0.5, label=name)
        err = np.maximum([r[model]["error"] for r in by_dt_max], 1e-14)
        by_steps.loglog([r[model]["steps"] for r in by_dt_max], err, "^-", color=color, linewidth=2,
                       label=f"{label}, default tolerance, dt_max 0.5 to 0.002 s")
    by_tol.axvline(DEFAULT_TOLERANCE, color="grey", linestyle=":", linewidth=0.8, label="default tolerance")
    by_tol.set_xlabel("tolerance (absolute = relative)")
    by_tol.set_ylabel("|apogee error| (m)")
    by_tol.set_title("RK45 apogee error against the tolerance", fontsize=11)
    by_tol.invert_xaxis()
    by_tol.grid(which="both", alpha=0.2)
    by_tol.legend(fontsize=9)
    by_steps.set_xlabel("steps per prediction (the cost)")
    by_steps.set_ylabel("|apogee error| (m)")
    by_steps.set_title("accuracy against cost: the tolerance or the largest step", fontsize=11)
    by_steps.grid(which="both", alpha=0.2)
    by_steps.legend(fontsize=8)
    save_with_narrow_variant(fig, path, DPI)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, required=True, help="directory for the PNGs and tables")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    exact_1dof = closed_form_apogee_1dof(0.0, SPEED)
    reference_3dof = reference_apogee_3dof(1e-13)
    reference_check = abs(reference_apogee_3dof(1e-12) - reference_3dof)
    smooth_3dof = reference_apogee_3dof(1e-13, SMOOTH_PROPERTIES)

    e1, o1 = convergence(ROCKET, "1dof", exact_1dof)
    e3, o3 = convergence(ROCKET, "3dof", reference_3dof, fit=False)
    es, os_ = convergence(SMOOTH_ROCKET, "3dof", smooth_3dof)
    convergence_figure(args.out / "validation_1dof.png",
                       [(f"1-DOF against the closed form ({float(exact_1dof):.4f} m)", e1, o1)])
    convergence_figure(args.out / "validation_3dof.png",
                       [(f"3-DOF reference rocket against DOP853 ({reference_3dof:.4f} m)", e3, o3),
                        (f"3-DOF without lift (cl_a = 0) against DOP853 ({smooth_3dof:.4f} m)", es, os_)])
    by_tolerance = [rk45_run(exact_1dof, reference_3dof, dt_max, tol) for dt_max in DT_MAX for tol in TOLERANCES]
    by_dt_max = [rk45_run(exact_1dof, reference_3dof, dt_max, DEFAULT_TOLERANCE) for dt_max in DT_MAX_SWEEP]
    tradeoff_figure(args.out / "validation_rk45_tradeoff.png", by_tolerance, by_dt_max)

    (args.out / "validation_1dof.md").write_text(convergence_table(e1, o1))
    (args.out / "validation_3dof.md").write_text(convergence_table(e3, o3))
    (args.out / "validation_3dof_smooth.md").write_text(convergence_table(es, os_))
    (args.out / "validation_rk45_tradeoff.md").write_text(rk45_table(by_tolerance, "tol"))
    (args.out / "validation_rk45_dt_max.md").write_text(rk45_table(by_dt_max, "dt_max"))
    (args.out / "validation_references.md").write_text(
        f"- 1-DOF closed-form apogee: {exact_1dof:.16f} m (40-digit decimal evaluation).\n"
        f"- 3-DOF reference apogee: {reference_3dof:.10f} m (DOP853, rtol = atol = 1e-13); "
        f"at 1e-12 it differs by {reference_check:.1e} m, so 3-DOF errors below about "
        f"{10 * reference_check:.0e} m are not resolved.\n"
        f"- 3-DOF reference apogee without lift: {smooth_3dof:.10f} m (DOP853, rtol = atol = 1e-13).\n")
    for model, orders in (("1-DOF", o1), ("3-DOF without lift", os_)):
        print(f"validation: {model} fitted orders " +
              ", ".join(f"{m} {orders[m]:.2f}" for m in METHODS))


if __name__ == "__main__":
    main()
