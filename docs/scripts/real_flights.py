"""Real-flights page: two real coasting flights predicted in 1-DOF, made at build time.

Prometheus (Spaceport America Cup 2022) and NDRT 2020, from burnout and from
25, 50 and 75 % of the coast, in the constant air of aeso, the standard
atmosphere at the launch site and the day's air, with the teams' drag and
the states read from the logs in data/flights (flight_logs.py says how),
against the measured apogees. Nothing here is fitted to the measured apogee.
Also the air-brake question: the drag that makes Prometheus' apogee 3048 m
from its burnout state in each air, and what a brake sized in the constant
air does in the real one. Writes Markdown fragments and the figure (and its
phone-sized variant) into the output directory (docs/_generated when the
site is built):

    python docs/scripts/real_flights.py --out docs/_generated
"""

from __future__ import annotations

import argparse
import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import aeso
from aeso_flight import Atmosphere, Drag, Reach, Vehicle

import flight_logs
from phone_figures import NARROW_WIDTH, narrow_path

METHOD = aeso.OdeMethod.RK45
#: Prometheus' day: the standard temperature profile shifted by this (K).
PROMETHEUS_DAY_OFFSET = 17.5
#: The air-brake teams' target apogee (m above the pad; 10,000 ft).
TARGET = 3048.0
AIRS = ("constant", "standard", "day")
AIR_NAMES = {"constant": "constant air", "standard": "standard atmosphere", "day": "day's air"}
COLORS = {"constant": "#c44e52", "standard": "#4c72b0", "day": "#55a868"}
#: The span of the coast over which the deceleration is compared (s).
DECELERATION_WINDOW = 4.0
PANEL_SIZE = (5.2, 4.0)
DPI = 110


@dataclass(frozen=True)
class Case:
    """A flight with its vehicle and its airs (None where the logs give no day's air)."""

    flight: flight_logs.Flight
    vehicle: Vehicle
    airs: dict[str, Atmosphere | None]
    measured_by: str


def rocket(mass: float, radius: float) -> aeso.Rocket:
    """A rocket for 1-DOF flights: only its mass and area enter them (the
    drag is the vehicle's Drag)."""
    area = math.pi * radius ** 2
    return aeso.Rocket(mass=mass, cd=0.0, area_drag=area, area_lift=area, moment_of_inertia=1.0,
                       stab_margin_dimensional=0.0, cl_a=0.0)


# The launch sites (m above sea level) and the rocket data the teams
# published (data/flights/README.md).
PROMETHEUS_SITE = 1401.0
NDRT_SITE = 206.0
PROMETHEUS_ROCKET = rocket(13.93 + 2.981, 0.06985)
PROMETHEUS_DRAG = Drag(mach=[0.15, 0.45, 0.77, 0.82, 0.88, 0.94, 0.99, 1.04, 1.24, 1.33, 1.49],
                       cd=[0.422, 0.38, 0.32, 0.30, 0.30, 0.32, 0.37, 0.44, 0.43, 0.42, 0.39])
NDRT_ROCKET = rocket(18.998 + 1.848, 0.1015)
NDRT_DRAG = Drag.constant(0.44)


def prometheus_day() -> tuple[Atmosphere, float]:
    """The day's air at Spaceport America: the standard profile 17.5 K
    warmer, from the pad pressure both boards read (their mean)."""
    pad_pressure = float(np.mean(flight_logs.prometheus_pad_pressure()))
    standard_t = Atmosphere.standard(PROMETHEUS_SITE).temperature(0.0)
    return Atmosphere.standard(PROMETHEUS_SITE, pad_temperature=standard_t + PROMETHEUS_DAY_OFFSET,
                               pad_pressure=pad_pressure), pad_pressure


def cases() -> list[Case]:
    day, _ = prometheus_day()
    return [
        Case(flight_logs.prometheus(), Vehicle(PROMETHEUS_ROCKET, drag=PROMETHEUS_DRAG),
             {"constant": Atmosphere.constant(), "standard": Atmosphere.standard(PROMETHEUS_SITE), "day": day},
             "GNSS"),
        Case(flight_logs.ndrt(), Vehicle(NDRT_ROCKET, drag=NDRT_DRAG),
             {"constant": Atmosphere.constant(), "standard": Atmosphere.standard(NDRT_SITE), "day": None},
             "barometric"),
    ]


def state(s: flight_logs.State) -> aeso.InitialState1DOF:
    return aeso.InitialState1DOF(s.height, s.velocity)


def predictions(case: Case) -> dict[str, list[float]]:
    """Predicted apogee (m above the pad) from each state in each air (NaN: no such air)."""
    return {air: [math.nan if atmosphere is None else
                  case.vehicle.predict_apogee_1dof(state(s), METHOD, atmosphere=atmosphere)
                  for s in case.flight.states]
            for air, atmosphere in case.airs.items()}


def start_label(fraction: float) -> str:
    return "burnout" if fraction == 0.0 else f"{fraction:.0%} of coast"


# -- tables ---------------------------------------------------------------------------

def signed(value: float, digits: int = 0) -> str:
    """A number with its sign, the minus as the typographic one."""
    return f"{value:+.{digits}f}".replace("-", "\u2212")


def apogee_table(case: Case, predicted: dict[str, list[float]]) -> str:
    """One flight's predictions: a row per state, a column per air it has."""
    f = case.flight
    airs = [a for a in AIRS if case.airs[a] is not None]
    lines = [f"**{f.name}**, measured apogee {f.apogee:.0f} m ({case.measured_by}):", "",
             "| Start | Time (s) | $h_0$ (m) | $v_0$ (m/s) | Mach | "
             + " | ".join(AIR_NAMES[a].capitalize() for a in airs) + " |",
             "|---|--:|--:|--:|--:|" + "--:|" * len(airs)]
    for i, s in enumerate(f.states):
        mach = s.velocity / case.airs["standard"].speed_of_sound(s.height)
        cells = [f"{p:.0f} m ({signed(p - f.apogee)} m, {signed(100 * (p / f.apogee - 1), 1)} %)"
                 for p in (predicted[air][i] for air in airs)]
        lines.append(f"| {start_label(s.fraction)} | {s.time:.2f} | {s.height:.0f} | {s.velocity:.1f} | "
                     f"{mach:.2f} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def states_table(prometheus: flight_logs.Flight, ndrt: flight_logs.Flight) -> str:
    c = prometheus.checks
    lines = ["| Start | Time (s) | $h_0$: integral of `speed` (m) | GNSS height (m) | barometric `height` (m) "
             "| $v_0$: `speed` (m/s) | GNSS climb rate (m/s) | rate of barometric `height` (m/s) |",
             "|---|--:|--:|--:|--:|--:|--:|--:|"]
    for i, s in enumerate(prometheus.states):
        lines.append(
            f"| {start_label(s.fraction)} | {s.time:.2f} | {s.height:.0f} | {c['gnss_height'][i]:.0f} | "
            f"{c['baro_height'][i]:.0f} | {s.velocity:.1f} | {c['gnss_velocity'][i]:.1f} | "
            f"{c['baro_velocity'][i]:.1f} ({signed(100 * (c['baro_velocity'][i] / s.velocity - 1), 1)} %) |")
    prometheus_part = "\n".join(lines) + "\n"

    n = ndrt.checks
    lines = ["| Start | Time (s) | Fit window (s) | $h_0$ (m) | $v_0$ (m/s) |", "|---|--:|---|--:|--:|"]
    for s in ndrt.states:
        lo = s.time if s.fraction == 0.0 else s.time - flight_logs.SLOPE_WINDOW / 2
        lines.append(f"| {start_label(s.fraction)} | {s.time:.2f} | {lo:.2f} to "
                     f"{lo + flight_logs.SLOPE_WINDOW:.2f} | {s.height:.0f} | {s.velocity:.1f} |")
    ndrt_part = "\n".join(lines) + "\n"
    accel = n["accelerometer_velocity"]
    ndrt_checks = (
        f"Checks of NDRT's burnout speed, {ndrt.states[0].velocity:.1f} m/s: the same fit centred on "
        f"burnout reads {n['centred_burnout_velocity'][0]:.1f} m/s (the boost's acceleration pulls its "
        f"slope down), and the accelerometer integrated from the pad to burnout gives "
        f"{accel[0]:.1f} m/s with its zero at 1 g and {accel[1]:.1f} m/s with its zero at its reading "
        f"on the pad, {n['accelerometer_pad_reading'][0]:.3f} g.\n")
    return prometheus_part, ndrt_part, ndrt_checks


def baro_bias_sentence(prometheus: flight_logs.Flight) -> str:
    """How far the rate of change of Prometheus' barometric height is from
    the board's speed along the early coast."""
    log = flight_logs.unique_times(flight_logs._read(flight_logs.FLIGHTS / "prometheus_telemetrum.csv"))
    t, baro, speed = log["time"], log["height"], log["speed"]
    a = Atmosphere.standard(PROMETHEUS_SITE)
    parts = []
    for when in (5.5, 6.0, 7.0, 9.0, 13.0):
        rate = flight_logs.local_fit(t, baro, when - 0.5, when + 0.5, when)[1]
        v = float(np.interp(when, t, speed))
        h = float(np.interp(when, t, prometheus.traces["integrated speed"][1]))
        parts.append(f"{signed(100 * (rate / v - 1), 1)} % at {when:g} s (Mach {v / a.speed_of_sound(h):.2f})")
    return ("The rate of change of the TeleMetrum's barometric height (slope of a quadratic fit over "
            "1 s), against the board's speed: " + ", ".join(parts) + ".\n")


def deceleration_sentence(results) -> str:
    """The mean deceleration over the first seconds of the coast: in the log
    (the heights the states come from) and in the prediction from burnout in
    the standard atmosphere, each as twice the quadratic coefficient of a
    least-squares fit over the same window."""
    parts = []
    for case, _ in results:
        f = case.flight
        start, stop = f.burnout, f.burnout + DECELERATION_WINDOW
        t, h = f.traces["integrated speed" if "integrated speed" in f.traces else "barometric"]
        logged = -2.0 * np.polynomial.polynomial.polyfit(*_within(t, h, start, stop), 2)[2]
        times, rows = case.vehicle.simulate_flight_1dof(state(f.states[0]), METHOD,
                                                        atmosphere=case.airs["standard"])
        predicted = -2.0 * np.polynomial.polynomial.polyfit(
            *_within(times + f.burnout, rows[:, 0], start, stop), 2)[2]
        parts.append(f"{f.name} {logged:.1f} m/s² in the log and {predicted:.1f} m/s² predicted")
    return (f"Mean deceleration over the first {DECELERATION_WINDOW:g} s of the coast (from a quadratic fit "
            f"to the heights; prediction from burnout in the standard atmosphere): " + "; ".join(parts) + ".\n")


def _within(t, values, start, stop):
    inside = (t >= start) & (t <= stop)
    return t[inside] - start, values[inside]


def air_text(prometheus: flight_logs.Flight, day: Atmosphere, pad_pressure: float) -> str:
    metrum, mega = flight_logs.prometheus_pad_pressure()
    standard = Atmosphere.standard(PROMETHEUS_SITE)
    lowest = flight_logs.prometheus_lowest_pressure()
    # The mean temperature of the air column between the pad and the GNSS
    # apogee that the TeleMetrum's pressures imply (hypsometric equation).
    gnss_apogee = prometheus.apogee
    mean_t = (flight_logs.G0 * gnss_apogee
              / (287.05287 * math.log(metrum / lowest)))
    heights = np.linspace(0.0, gnss_apogee, 401)
    standard_mean_t = float(np.mean(standard.temperature(heights)))
    return (
        f"- Constant air: {Atmosphere.constant().density(0.0):.3f} kg/m³ at every height, Mach numbers "
        f"against {Atmosphere.constant().speed_of_sound(0.0):.1f} m/s.\n"
        f"- Standard atmosphere at the site: Prometheus {standard.density(0.0):.4f} kg/m³ on the pad "
        f"({PROMETHEUS_SITE:.0f} m, {standard.pressure(0.0):.0f} Pa, {standard.temperature(0.0):.2f} K), NDRT "
        f"{Atmosphere.standard(NDRT_SITE).density(0.0):.4f} kg/m³ ({NDRT_SITE:.0f} m).\n"
        f"- Prometheus' day: the standard profile {PROMETHEUS_DAY_OFFSET} K warmer "
        f"({day.temperature(0.0):.2f} K on the pad), with the pad pressure the boards read before launch, "
        f"{pad_pressure:.0f} Pa (the mean of the TeleMetrum's {metrum:.0f} Pa and the TeleMega's "
        f"{mega:.0f} Pa): {day.density(0.0):.4f} kg/m³ on the pad, "
        f"{signed(100 * (day.density(0.0) / standard.density(0.0) - 1), 1)} % against the standard "
        f"atmosphere, {signed(100 * (day.density(2000.0) / standard.density(2000.0) - 1), 1)} % at 2000 m.\n"
        f"- Check, not used by the predictions: the TeleMetrum's pressures on the pad and at apogee "
        f"({lowest:.0f} Pa) and the GNSS apogee, {gnss_apogee:.0f} m above the pad, give through the "
        f"hypsometric equation a mean temperature of the air column of {mean_t:.1f} K, "
        f"{signed(mean_t - standard_mean_t, 1)} K from the standard's mean over the same heights.\n")


def brakes_table(case: Case) -> tuple[str, str]:
    """The drag that makes Prometheus' apogee TARGET from its burnout state,
    found in each air, and where each brake takes the rocket in each air:
    as a constant drag coefficient (the factor on Drag.constant(1.0)) and as
    a factor on the team's Mach curve."""
    burnout = state(case.flight.states[0])
    unit = Vehicle(PROMETHEUS_ROCKET, drag=Drag.constant(1.0))
    sized = {}
    for name, air in case.airs.items():
        found = (unit.drag_scale_for_apogee(TARGET, burnout, METHOD, atmosphere=air),
                 case.vehicle.drag_scale_for_apogee(TARGET, burnout, METHOD, atmosphere=air))
        if any(f.status is not Reach.REACHED for f in found):
            raise RuntimeError(f"no drag reaches {TARGET} m in the {AIR_NAMES[name]}: {found}")
        sized[name] = tuple(f.scale for f in found)
    flown = {
        name: {air: (Vehicle(PROMETHEUS_ROCKET, drag=Drag.constant(cd)).predict_apogee_1dof(
                         burnout, METHOD, atmosphere=atmosphere),
                     Vehicle(PROMETHEUS_ROCKET, drag=Drag(mach=PROMETHEUS_DRAG.mach, cd=PROMETHEUS_DRAG.cd * factor))
                     .predict_apogee_1dof(burnout, METHOD, atmosphere=atmosphere))
               for air, atmosphere in case.airs.items()}
        for name, (cd, factor) in sized.items()}
    lines = ["| Sized in | Constant $c_d$ | Factor on the Mach curve | "
             + " | ".join(f"Apogee in the {AIR_NAMES[a]}" for a in AIRS) + " |",
             "|---|--:|--:|" + "--:|" * len(AIRS)]
    for name, (cd, factor) in sized.items():
        lines.append(f"| {AIR_NAMES[name]} | {cd:.3f} | {factor:.3f} | "
                     + " | ".join(f"{flown[name][a][0]:.0f} m / {flown[name][a][1]:.0f} m" for a in AIRS) + " |")
    cd_c, factor_c = sized["constant"]
    over = {a: flown["constant"][a][0] - TARGET for a in ("standard", "day")}
    sentence = (f"A brake sized in the constant air ($c_d$ {cd_c:.3f}, or the Mach curve times "
                f"{factor_c:.3f}) overshoots the {TARGET:.0f} m target by {over['standard']:.0f} m in the "
                f"standard atmosphere and by {over['day']:.0f} m in the day's air (constant $c_d$); the "
                f"standard atmosphere asks for $c_d$ {sized['standard'][0]:.3f}, the day's air for "
                f"{sized['day'][0]:.3f}.\n")
    return "\n".join(lines) + "\n", sentence


# -- figure ---------------------------------------------------------------------------

def figure(path, results, single_column=False):
    """The flights in two columns of two panels; or (`single_column`, for
    phones) the four panels one above the other, the rows in that order."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    width, height = (NARROW_WIDTH, PANEL_SIZE[1] * 4) if single_column else (PANEL_SIZE[0] * 2, PANEL_SIZE[1] * 2)
    fig = Figure(figsize=(width, height), layout="constrained")
    axes = fig.subplots(4, 1).reshape(2, 2) if single_column else fig.subplots(2, 2)
    for column, (case, predicted) in enumerate(results):
        f = case.flight
        top, bottom = axes[0, column], axes[1, column]
        for label, (t, h) in f.traces.items():
            shown = t <= f.apogee_time + 6.0
            style = dict(marker=".", linestyle="none", markersize=4) if label == "GNSS" else dict(linewidth=1.2)
            top.plot(t[shown], h[shown], color="black" if label != "barometric" else "grey",
                     label=f"log: {label}", **style)
        burnout = f.states[0]
        for air in AIRS:
            atmosphere = case.airs[air]
            if atmosphere is None:
                continue
            times, rows = case.vehicle.simulate_flight_1dof(state(burnout), METHOD, atmosphere=atmosphere)
            top.plot(times + burnout.time, rows[:, 0], color=COLORS[air], linewidth=1.0, linestyle="--",
                     label=f"predicted from burnout, {AIR_NAMES[air]}")
        top.plot([s.time for s in f.states], [s.height for s in f.states], "o", color="black",
                 markerfacecolor="white", label="states read from the log")
        top.axhline(f.apogee, color="black", linewidth=0.6, linestyle=":")
        top.set_title(f"{f.name}: measured apogee {f.apogee:.0f} m", fontsize=11)
        top.set_xlabel("time since launch (s)")
        top.set_ylabel("height above the pad (m)")
        top.grid(alpha=0.2)
        top.legend(fontsize=7.5, loc="lower right")

        fractions = [100 * s.fraction for s in f.states]
        for air in AIRS:
            error = 100 * (np.array(predicted[air]) / f.apogee - 1)
            if np.all(np.isnan(error)):
                continue
            bottom.plot(fractions, error, "o-", color=COLORS[air], label=AIR_NAMES[air])
        bottom.axhline(0.0, color="black", linewidth=0.6)
        bottom.set_xticks(fractions, ["burnout" if s.fraction == 0.0 else f"{s.fraction:.0%}" for s in f.states])
        bottom.set_xlabel("start of the prediction (share of the coast)")
        bottom.set_ylabel("predicted − measured apogee (%)")
        bottom.grid(alpha=0.2)
        bottom.legend(fontsize=8, loc="lower right")
    fig.savefig(path, dpi=DPI)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, required=True, help="directory for the PNG and the tables")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    results = [(case, predictions(case)) for case in cases()]
    (args.out / "real_flights_apogee.md").write_text(
        "\n".join(apogee_table(case, predicted) for case, predicted in results) + "\n"
        + deceleration_sentence(results))
    prometheus, ndrt = results[0][0].flight, results[1][0].flight
    prometheus_states, ndrt_states, ndrt_checks = states_table(prometheus, ndrt)
    (args.out / "real_flights_states_prometheus.md").write_text(prometheus_states + "\n" + baro_bias_sentence(prometheus))
    (args.out / "real_flights_states_ndrt.md").write_text(ndrt_states + "\n" + ndrt_checks)
    day, pad_pressure = prometheus_day()
    (args.out / "real_flights_air.md").write_text(air_text(prometheus, day, pad_pressure))
    table, sentence = brakes_table(results[0][0])
    (args.out / "real_flights_brakes.md").write_text(table + "\n" + sentence)
    figure(args.out / "real_flights.png", results)
    figure(narrow_path(args.out / "real_flights.png"), results, single_column=True)


if __name__ == "__main__":
    main()
