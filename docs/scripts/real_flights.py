"""Real-flights page: two real flights read with FlightData, made at build time.

Prometheus (Spaceport America Cup 2022) and NDRT 2020: the state at burnout
estimated from each log's barometer and accelerometer, the drag fitted to
its coast, and the apogee predicted from burnout with the team's drag and
with the fitted drag (an interval from the estimate's and the fit's
covariance), in the true frame and in the barometric frame (a pad-zeroed
altimeter's reading, Atmosphere.pressure_altitude), against the measured
apogees; then the in-flight check: state and drag from the data up to
mid-coast only (until=), apogee predicted from there. Also the air-brake
question on Prometheus. Writes Markdown fragments and the figure (and its
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
from aeso_flight import (Atmosphere, Drag, DragFit, Estimator, FlightData, Reach, StateEstimate, Vehicle,
                         sample_log)
from phone_figures import NARROW_WIDTH, narrow_path

FLIGHTS = sample_log("README.md").parent
METHOD = aeso.OdeMethod.RK45
G0 = 9.80665
#: Prometheus' day: the standard temperature profile shifted by this (K).
PROMETHEUS_DAY_OFFSET = 17.5
#: The TeleMega's GNSS altitude lags its other columns by this (s; data/flights/README.md).
GNSS_LAG = 0.55
#: The air-brake teams' target apogee (m above the pad; 10,000 ft).
TARGET = 3048.0
#: Prometheus' Mach knots for the fitted drag curve.
KNOTS = [0.3, 0.5, 0.7, 0.9]
PANEL_SIZE = (5.2, 4.0)
DPI = 110


def rocket(mass: float, radius: float) -> aeso.Rocket:
    """A rocket for 1-DOF flights: only its mass and area enter them (the
    drag is the vehicle's Drag)."""
    area = math.pi * radius ** 2
    return aeso.Rocket(mass=mass, cd=0.0, area_drag=area, area_lift=area, moment_of_inertia=1.0,
                       stab_margin_dimensional=0.0, cl_a=0.0)


# The launch sites (m above sea level) and the rocket data the teams
# published (the logs' README.md).
PROMETHEUS_SITE = 1401.0
NDRT_SITE = 206.0
PROMETHEUS_ROCKET = rocket(13.93 + 2.981, 0.06985)
PROMETHEUS_DRAG = Drag(mach=[0.15, 0.45, 0.77, 0.82, 0.88, 0.94, 0.99, 1.04, 1.24, 1.33, 1.49],
                       cd=[0.422, 0.38, 0.32, 0.30, 0.30, 0.32, 0.37, 0.44, 0.43, 0.42, 0.39])
NDRT_ROCKET = rocket(18.998 + 1.848, 0.1015)
NDRT_DRAG = Drag.constant(0.44)


def prometheus_data(board: str = "telemetrum") -> FlightData:
    """A Prometheus board's log: its acceleration column has the pad's 1 g
    taken off; the TeleMega's also holds the GNSS altitude."""
    return FlightData.from_csv(FLIGHTS / f"prometheus_{board}.csv", time="time", pressure="pressure",
                               acceleration="acceleration", acceleration_kind="gravity_removed",
                               gnss_altitude="gps_altitude" if board == "telemega" else None,
                               site_elevation=PROMETHEUS_SITE)


def ndrt_data() -> FlightData:
    """NDRT's altimeter: its accelerometer (g, 400 Hz) and its barometric
    altitude (feet above the pad, 20 Hz) on two clocks in one row."""
    return FlightData.from_csv(
        FLIGHTS / "ndrt2020_altimeter.csv",
        time={"acceleration": "Time-Axial Accel (Gs)", "altitude": "Time (s)"},
        acceleration="Axial Accel (Gs)", altitude="Altitude (Ft-AGL)",
        scale={"Axial Accel (Gs)": G0, "Altitude (Ft-AGL)": 0.3048}, site_elevation=NDRT_SITE)


@dataclass(frozen=True)
class Case:
    """A flight: its data, vehicle, air, estimator and measured apogee in
    the true frame and the barometric one."""

    name: str
    data: FlightData
    vehicle: Vehicle
    air: Atmosphere
    estimator: Estimator
    measured_true: float
    measured_barometric: float
    measured_by: str


def prometheus_gnss() -> tuple[np.ndarray, np.ndarray]:
    """The TeleMega's GNSS heights above the pad, moved GNSS_LAG earlier."""
    mega = prometheus_data("telemega")
    g = ~np.isnan(mega.gnss_altitude)
    t, h = mega.time[g] - GNSS_LAG, mega.gnss_altitude[g]
    return t, h - float(np.median(h[t < 0.0]))


def cases() -> list[Case]:
    metrum = prometheus_data()
    standard_t = Atmosphere.standard(PROMETHEUS_SITE).temperature(0.0)
    day = Atmosphere.standard(PROMETHEUS_SITE, pad_temperature=standard_t + PROMETHEUS_DAY_OFFSET,
                              pad_pressure=metrum.pad_pressure())
    _, gnss = prometheus_gnss()
    ndrt = ndrt_data()
    ndrt_air = Atmosphere.standard(NDRT_SITE)
    ndrt_reading = float(np.nanmax(ndrt.altitude))
    # Prometheus' barometric apogee: the TeleMetrum's highest pressure
    # altitude (its apogee time's pressure read through the standard).
    baro = Atmosphere.standard(PROMETHEUS_SITE, pad_pressure=metrum.pad_pressure())
    return [
        Case("Prometheus", metrum, Vehicle(PROMETHEUS_ROCKET, drag=PROMETHEUS_DRAG), day,
             Estimator.from_pad(metrum), float(gnss.max()),
             baro.pressure_altitude(float(np.max(_smoothed_heights(metrum, baro)))), "GNSS; TeleMetrum"),
        Case("NDRT 2020", ndrt, Vehicle(NDRT_ROCKET, drag=NDRT_DRAG), ndrt_air, Estimator.from_pad(ndrt),
             ndrt_air.height_from_pressure_altitude(ndrt_reading), ndrt_reading, "altimeter"),
    ]


def _smoothed_heights(data: FlightData, air: Atmosphere) -> np.ndarray:
    """The barometer's heights in `air`, after a running median over 5
    samples (which drops a barometer's one- and two-sample glitches)."""
    p = data.pressure[~np.isnan(data.pressure)]
    windows = np.lib.stride_tricks.sliding_window_view(np.pad(p, 2, mode="edge"), 5)
    scale = air.pad_pressure / data.pad_pressure()
    heights = np.linspace(-100.0, 6000.0, 61001)
    return np.interp(-np.median(windows, axis=1) * scale, -air.pressure(heights), heights)


# -- predictions with an interval -----------------------------------------------------

@dataclass(frozen=True)
class Prediction:
    apogee: float
    sd: float


def predict(vehicle: Vehicle, estimate: StateEstimate, at: float, air: Atmosphere, fit: DragFit | None) -> Prediction:
    """The apogee from the estimate at `at`, and its standard deviation from
    the state's covariance and, with a fit, the drag scale's variance
    (first-order, by finite differences)."""
    state, covariance = estimate.at(at)
    flown = vehicle if fit is None else fit.vehicle

    def apogee(h: float, v: float, flyer: Vehicle) -> float:
        return flyer.predict_apogee_1dof(aeso.InitialState1DOF(h, v), METHOD, atmosphere=air)

    h0, v0 = state.initial_height, state.initial_velocity
    base = apogee(h0, v0, flown)
    grad = np.array([(apogee(h0 + 0.1, v0, flown) - base) / 0.1, (apogee(h0, v0 + 0.01, flown) - base) / 0.01])
    variance = float(grad @ covariance @ grad)
    if fit is not None and fit.scale is not None:
        step = 1e-3
        nudged = Vehicle(vehicle_rocket(vehicle), drag=Drag(fit.vehicle.drag.mach, fit.vehicle.drag.cd * (1 + step / fit.scale)))
        slope = (apogee(h0, v0, nudged) - base) / step
        variance += (slope * fit.scale_sd) ** 2
    return Prediction(base, math.sqrt(variance))


def vehicle_rocket(vehicle: Vehicle) -> aeso.Rocket:
    return aeso.Rocket(**vehicle.properties)


def signed(value: float, digits: int = 0) -> str:
    """A number with its sign, the minus as the typographic one."""
    return f"{value:+.{digits}f}".replace("-", "\u2212")


def in_frames(case: Case, p: Prediction) -> str:
    """A prediction in the true frame and the barometric one, with its
    error against the measured apogee in each."""
    baro = case.air.pressure_altitude(p.apogee)
    return (f"{p.apogee:.0f} ± {1.96 * p.sd:.0f} m ({signed(p.apogee - case.measured_true)} m, "
            f"{signed(100 * (p.apogee / case.measured_true - 1), 1)} %) | "
            f"{baro:.0f} m ({signed(baro - case.measured_barometric)} m, "
            f"{signed(100 * (baro / case.measured_barometric - 1), 1)} %)")


# -- tables ---------------------------------------------------------------------------

def burnout_table(results) -> str:
    lines = ["| Flight | Burnout (s) | Height (m) | Velocity (m/s) | Accelerometer bias (m/s²) | Barometer samples gated |",
             "|---|--:|--:|--:|--:|--:|"]
    for case, estimate, _, _ in results:
        b = case.data.burnout
        i = int(np.searchsorted(estimate.time, b))
        state, covariance = estimate.at(b)
        sd = np.sqrt(np.diag(covariance))
        lines.append(f"| {case.name} | {b:.2f} | {state.initial_height:.1f} ± {sd[0]:.1f} | "
                     f"{state.initial_velocity:.1f} ± {sd[1]:.2f} | {signed(estimate.bias[i], 3)} ± "
                     f"{estimate.bias_sd[i]:.3f} | {estimate.gated} |")
    return "\n".join(lines) + "\n"


def gnss_sentence(estimate: StateEstimate, data: FlightData) -> str:
    t, h = prometheus_gnss()
    coast = (t > data.burnout) & (t < data.apogee)
    error = np.interp(t[coast], estimate.time, estimate.height) - h[coast]
    top = float(estimate.height.max())
    return (f"Against the TeleMega's GNSS altitude (not used by the estimate; its samples moved {GNSS_LAG} s "
            f"earlier), Prometheus' estimated height over the coast differs by {signed(error.min())} m to "
            f"{signed(error.max())} m (median {signed(float(np.median(error)))} m), and its highest estimated "
            f"height is {top:.0f} m against the GNSS's {h.max():.0f} m.\n")


def drag_table(results) -> str:
    lines = ["| Flight | Fitted scale on the team's drag | Samples | Mach range | Residual rms (m/s²) | "
             "Scale from the data up to mid-coast |",
             "|---|--:|--:|---|--:|--:|"]
    for case, _, fit, mid in results:
        lines.append(f"| {case.name} | {fit.scale:.3f} ± {fit.scale_sd:.3f} | {fit.samples} | "
                     f"{fit.mach_range[0]:.2f}–{fit.mach_range[1]:.2f} | {fit.residual_rms:.2f} | "
                     f"{mid[2].scale:.3f} ± {mid[2].scale_sd:.3f} |")
    return "\n".join(lines) + "\n"


def knots_table(case: Case, estimate: StateEstimate) -> str:
    fit = case.vehicle.fit_drag(case.data, atmosphere=case.air, estimate=estimate, mach=KNOTS)
    lines = ["| Mach | " + " | ".join(f"{m:g}" for m in KNOTS) + " |", "|---|" + "--:|" * len(KNOTS),
             "| Fitted $c_d$ | " + " | ".join(f"{c:.3f} ± {s:.3f}" for c, s in zip(fit.cd, fit.cd_sd)) + " |",
             "| Team's $c_d$ | " + " | ".join(f"{PROMETHEUS_DRAG.coefficient(m):.3f}" for m in KNOTS) + " |"]
    return "\n".join(lines) + "\n"


def apogee_table(results) -> str:
    lines = ["| Flight | From | Drag | Apogee, true frame (error) | Barometric frame (error) |",
             "|---|---|---|--:|--:|"]
    for case, estimate, fit, mid in results:
        b = case.data.burnout
        lines.append(f"| {case.name} | burnout | team's | {in_frames(case, predict(case.vehicle, estimate, b, case.air, None))} |")
        lines.append(f"| {case.name} | burnout | fitted | {in_frames(case, predict(case.vehicle, estimate, b, case.air, fit))} |")
        until, cut, mid_fit = mid
        lines.append(f"| {case.name} | {until:.2f} s, mid-coast, data up to then | fitted up to then | "
                     f"{in_frames(case, predict(case.vehicle, cut, cut.time[-1], case.air, mid_fit))} |")
    measured = "; ".join(f"{c.name} {c.measured_true:.0f} m true, {c.measured_barometric:.0f} m barometric "
                         f"({c.measured_by})" for c, *_ in results)
    return "\n".join(lines) + f"\n\nMeasured apogees: {measured}.\n"


def brakes_table(case: Case, estimate: StateEstimate) -> str:
    """The drag that makes Prometheus' apogee TARGET from its estimated
    burnout state, as a factor on the team's curve, in the standard
    atmosphere and in the day's air, and where each takes the rocket."""
    burnout, _ = estimate.at(case.data.burnout)
    airs = {"standard atmosphere": Atmosphere.standard(PROMETHEUS_SITE), "day's air": case.air}
    lines = ["| Sized in | Factor on the team's curve | " + " | ".join(f"Apogee in the {a}" for a in airs) + " |",
             "|---|--:|" + "--:|" * len(airs)]
    for name, air in airs.items():
        found = case.vehicle.drag_scale_for_apogee(TARGET, burnout, METHOD, atmosphere=air)
        if found.status is not Reach.REACHED:
            raise RuntimeError(f"no drag reaches {TARGET} m in the {name}: {found}")
        sized = Vehicle(PROMETHEUS_ROCKET, drag=Drag(PROMETHEUS_DRAG.mach, PROMETHEUS_DRAG.cd * found.scale))
        flown = [sized.predict_apogee_1dof(burnout, METHOD, atmosphere=a) for a in airs.values()]
        lines.append(f"| {name} | {found.scale:.3f} | " + " | ".join(f"{a:.0f} m" for a in flown) + " |")
    return "\n".join(lines) + "\n"


# -- figure ---------------------------------------------------------------------------

def figure(path, results, single_column=False):
    """The two flights side by side; or (`single_column`, for phones) one
    above the other."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    size = (NARROW_WIDTH, PANEL_SIZE[1] * 2) if single_column else (PANEL_SIZE[0] * 2, PANEL_SIZE[1])
    fig = Figure(figsize=size, layout="constrained")
    axes = fig.subplots(2, 1) if single_column else fig.subplots(1, 2)
    for ax, (case, estimate, fit, mid) in zip(axes, results):
        shown = estimate.time <= case.data.apogee + 5.0
        t = estimate.time[shown]
        ax.fill_between(t, estimate.height[shown] - 1.96 * estimate.height_sd[shown],
                        estimate.height[shown] + 1.96 * estimate.height_sd[shown], color="#4c72b0", alpha=0.3)
        ax.plot(t, estimate.height[shown], color="#4c72b0", linewidth=1.2, label="estimated height (95 %)")
        p = case.data.pressure_samples()
        present = ~np.isnan(p) & (case.data.time <= case.data.apogee + 5.0)
        baro = case.air.height_from_pressure_altitude(_pressure_altitudes(case, p[present]))
        ax.plot(case.data.time[present], baro, color="grey", linewidth=0.8, label="barometer, read in the day's air")
        if case.name == "Prometheus":
            gt, gh = prometheus_gnss()
            ax.plot(gt, gh, ".", color="black", markersize=4, label="GNSS (not fused)")
        state, _ = estimate.at(case.data.burnout)
        for flyer, color, label in ((case.vehicle, "#c44e52", "from burnout, team's drag"),
                                    (fit.vehicle, "#55a868", "from burnout, fitted drag")):
            times, rows = flyer.simulate_flight_1dof(state, METHOD, atmosphere=case.air)
            ax.plot(times + case.data.burnout, rows[:, 0], color=color, linestyle="--", linewidth=1.0, label=label)
        ax.axhline(case.measured_true, color="black", linewidth=0.6, linestyle=":")
        ax.set_title(f"{case.name}: measured apogee {case.measured_true:.0f} m", fontsize=11)
        ax.set_xlabel("time since launch (s)")
        ax.set_ylabel("height above the pad (m)")
        ax.grid(alpha=0.2)
        ax.legend(fontsize=7.5, loc="lower right")
    fig.savefig(path, dpi=DPI)


def _pressure_altitudes(case: Case, pressures: np.ndarray) -> np.ndarray:
    """A pad-zeroed standard altimeter's readings of `pressures`."""
    standard = Atmosphere.standard(case.data.site_elevation)
    heights = np.linspace(-500.0, 8000.0, 85001)
    pad = case.data.pad_pressure()
    return np.interp(-pressures * standard.pad_pressure / pad, -standard.pressure(heights), heights)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, required=True, help="directory for the PNG and the tables")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    results = []
    for case in cases():
        estimate = case.data.estimate(case.air, estimator=case.estimator)
        fit = case.vehicle.fit_drag(case.data, atmosphere=case.air, estimate=estimate)
        until = case.data.burnout + 0.5 * (case.data.apogee - case.data.burnout)
        cut = case.data.estimate(case.air, estimator=case.estimator, until=until)
        mid_fit = case.vehicle.fit_drag(case.data, atmosphere=case.air, estimate=cut, until=until)
        results.append((case, estimate, fit, (until, cut, mid_fit)))
    prometheus = results[0]
    (args.out / "real_flights_burnout.md").write_text(
        burnout_table(results) + "\n" + gnss_sentence(prometheus[1], prometheus[0].data))
    (args.out / "real_flights_drag.md").write_text(
        drag_table(results) + "\nPrometheus' drag coefficients fitted at Mach knots instead:\n\n"
        + knots_table(prometheus[0], prometheus[1]))
    (args.out / "real_flights_apogee.md").write_text(apogee_table(results))
    (args.out / "real_flights_brakes.md").write_text(brakes_table(prometheus[0], prometheus[1]))
    figure(args.out / "real_flights.png", results)
    figure(narrow_path(args.out / "real_flights.png"), results, single_column=True)


if __name__ == "__main__":
    main()
