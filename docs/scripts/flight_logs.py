"""The states of two real coasting flights, read from their logs in data/flights.

Each flight gives its burnout and apogee times, the measured apogee, and the
1-DOF state (height above the pad, vertical velocity) at burnout and at 25, 50
and 75 % of the coast from burnout to apogee. How each quantity is read, and
why, is written beside it below and on docs/real_flights.md.

- Burnout: the first sample after launch at which the axial specific force
  (what an accelerometer measures: thrust minus drag over mass) turns
  negative, i.e. the thrust has fallen below the drag. What remains of the
  motor's tail-off after that adds well under 1 m/s.
- Apogee time: the vertex of a quadratic least-squares fit to the barometric
  height within 3 s of its highest sample (at apogee the airspeed is near
  zero, so the static-pressure error that speed causes is gone).
- Prometheus' states: velocity from the TeleMetrum's ``speed`` column (its
  filter integrates the accelerometer during the ascent), height from the
  trapezoidal integral of that speed since the pad. Its barometric height
  reads hundreds of metres low near Mach 0.9 and its rate of change reads
  high (see Flight.checks).
- NDRT's states: the altimeter logs no speed, so height and velocity are the
  value and slope of a quadratic least-squares fit to the barometric altitude
  over 2 s: centred on the state's time in the coast, and starting at
  burnout for the burnout state (a window across burnout mixes the boost's
  acceleration into the slope).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
from scipy.integrate import cumulative_trapezoid
from scipy.signal import medfilt

FLIGHTS = Path(__file__).resolve().parents[2] / "data" / "flights"
G0 = 9.80665  # m/s^2
FOOT = 0.3048  # m
COAST_FRACTIONS = (0.0, 0.25, 0.5, 0.75)
#: Moving average of the accelerometer before its sign is read (s).
ACCELERATION_WINDOW = 0.025
#: Half-width of the window of the fit that times the apogee (s).
APOGEE_HALF_WINDOW = 3.0
#: Length of the window of NDRT's fits to its barometric altitude (s).
SLOPE_WINDOW = 2.0
#: How long the TeleMega's GNSS altitude lags its other columns (s; README).
GNSS_LAG = 0.55


@dataclass(frozen=True)
class State:
    """A 1-DOF state read from a log: at ``fraction`` of the coast, ``time``
    s after launch, ``height`` m above the pad, ``velocity`` m/s upward."""

    fraction: float
    time: float
    height: float
    velocity: float


@dataclass(frozen=True)
class Flight:
    """What the predictions need from one flight's logs, and the traces the
    page plots. ``checks`` holds, per state, independent readings of the
    same height and velocity (NaN where a log has none)."""

    name: str
    burnout: float
    apogee_time: float
    apogee: float
    states: tuple[State, ...]
    traces: dict[str, tuple[np.ndarray, np.ndarray]] = field(default_factory=dict)
    checks: dict[str, np.ndarray] = field(default_factory=dict)


# -- readings that apply to any log ----------------------------------------------

def unique_times(columns: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    """The rows of a log with strictly increasing times (the Altus Metrum
    logs repeat some rows verbatim: the first of each time is kept)."""
    t = columns["time"]
    keep = np.r_[True, np.diff(t) > 0]
    return {name: values[keep] for name, values in columns.items()}


def burnout_time(time: np.ndarray, specific_force: np.ndarray, window: float = ACCELERATION_WINDOW) -> float:
    """The first time after launch at which the moving average of the axial
    specific force over ``window`` s is negative. On the pad the specific
    force is +1 g, during the burn thrust minus drag, and in the coast minus
    the drag."""
    n = max(1, round(window / float(np.median(np.diff(time)))))
    smooth = np.convolve(specific_force, np.ones(n) / n, mode="same")
    # Launch: the first sample well above the pad's 1 g.
    launch = int(np.argmax(smooth > 2.0 * G0))
    after = np.flatnonzero(smooth[launch:] < 0.0)
    if not after.size:
        raise ValueError("the specific force never turns negative: no burnout in this log")
    return float(time[launch + after[0]])


def local_fit(time: np.ndarray, values: np.ndarray, start: float, stop: float, at: float) -> tuple[float, float]:
    """Value and slope at ``at`` of the quadratic least-squares fit to the
    samples with ``start <= time <= stop``."""
    inside = (time >= start) & (time <= stop)
    if np.count_nonzero(inside) < 5:
        raise ValueError(f"too few samples between {start} s and {stop} s for a fit")
    c = np.polynomial.polynomial.polyfit(time[inside] - at, values[inside], 2)
    return float(c[0]), float(c[1])


def peak(time: np.ndarray, height: np.ndarray, half_window: float = APOGEE_HALF_WINDOW) -> tuple[float, float]:
    """Time and height of the vertex of the quadratic least-squares fit to
    the heights within ``half_window`` s of the highest one, after a running
    median over 5 samples (which drops the one- and two-sample glitches of a
    barometer, such as the TeleMetrum's just after Prometheus' apogee)."""
    height = medfilt(height, 5)
    top = float(time[int(np.argmax(height))])
    inside = np.abs(time - top) <= half_window
    c = np.polynomial.polynomial.polyfit(time[inside] - top, height[inside], 2)
    if not c[2] < 0.0:
        raise ValueError("the heights around the highest sample do not form a peak")
    dt = -c[1] / (2.0 * c[2])
    return top + dt, float(np.polynomial.polynomial.polyval(dt, c))


def coast_times(burnout: float, apogee_time: float) -> np.ndarray:
    """The times at COAST_FRACTIONS of the coast from burnout to apogee."""
    return burnout + np.asarray(COAST_FRACTIONS) * (apogee_time - burnout)


def _read(path: Path) -> dict[str, np.ndarray]:
    table = np.genfromtxt(path, delimiter=",", names=True, dtype=None, encoding="utf-8")
    return {name: table[name] for name in table.dtype.names}


# -- the two flights ---------------------------------------------------------------

def prometheus() -> Flight:
    """Prometheus, Spaceport America Cup 2022: the TeleMetrum's speed and
    acceleration, the TeleMega's GNSS altitude (the measured apogee)."""
    metrum = unique_times(_read(FLIGHTS / "prometheus_telemetrum.csv"))
    mega = unique_times(_read(FLIGHTS / "prometheus_telemega.csv"))
    t, speed, baro = metrum["time"], metrum["speed"], metrum["height"]
    # The column is the acceleration with the pad's 1 g taken off.
    burnout = burnout_time(t, metrum["acceleration"] + G0)
    apogee_time, _ = peak(t, baro)
    climbed = cumulative_trapezoid(speed, t, initial=0.0)

    # GNSS: a new value each time `second` changes, GNSS_LAG s late; heights
    # counted from its reading on the pad.
    new = np.r_[True, np.diff(mega["second"]) != 0]
    gnss_t = mega["time"][new] - GNSS_LAG
    gnss_h = mega["gps_altitude"][new] - float(np.median(mega["gps_altitude"][mega["time"] < 0.0]))

    times = coast_times(burnout, apogee_time)
    states = tuple(State(f, float(s), float(np.interp(s, t, climbed)), float(np.interp(s, t, speed)))
                   for f, s in zip(COAST_FRACTIONS, times))
    # Independent readings at each state: GNSS height, GNSS climb rate (the
    # slope of its samples 1 s either side), and the rate of change of the
    # barometric height (a quadratic fit over 1 s around the state).
    gnss_rate = np.gradient(gnss_h, gnss_t)
    checks = {
        "gnss_height": np.interp(times, gnss_t, gnss_h),
        "gnss_velocity": np.interp(times, gnss_t, gnss_rate),
        "baro_height": np.interp(times, t, baro),
        "baro_velocity": np.array([local_fit(t, baro, s - 0.5, s + 0.5, s)[1] for s in times]),
    }
    traces = {
        "integrated speed": (t, climbed),
        "barometric": (t, baro),
        "GNSS": (gnss_t, gnss_h),
    }
    return Flight("Prometheus", burnout, apogee_time, float(np.max(gnss_h)), states, traces, checks)


def prometheus_pad_pressure() -> tuple[float, float]:
    """The pressure on the pad before launch (Pa) by each board: TeleMetrum, TeleMega."""
    values = []
    for name in ("prometheus_telemetrum.csv", "prometheus_telemega.csv"):
        log = _read(FLIGHTS / name)
        values.append(float(np.mean(log["pressure"][log["time"] < 0.0])))
    return values[0], values[1]


def prometheus_lowest_pressure() -> float:
    """The TeleMetrum's pressure at the apogee time (Pa), from the same
    median and fit as the apogee time."""
    metrum = unique_times(_read(FLIGHTS / "prometheus_telemetrum.csv"))
    apogee_time, _ = peak(metrum["time"], metrum["height"])
    return local_fit(metrum["time"], medfilt(metrum["pressure"], 5), apogee_time - APOGEE_HALF_WINDOW,
                     apogee_time + APOGEE_HALF_WINDOW, apogee_time)[0]


def ndrt() -> Flight:
    """NDRT 2020: the altimeter's barometric altitude (feet above the pad)
    and its axial accelerometer (in g)."""
    log = np.genfromtxt(FLIGHTS / "ndrt2020_altimeter.csv", delimiter=",", skip_header=1)
    accel_t, accel_g, t, altitude = log[:, 0], log[:, 1], log[:, 3], log[:, 4] * FOOT
    burnout = burnout_time(accel_t, accel_g * G0)
    apogee_time, _ = peak(t, altitude)
    times = coast_times(burnout, apogee_time)
    states = []
    for f, s in zip(COAST_FRACTIONS, times):
        start = s if f == 0.0 else s - SLOPE_WINDOW / 2
        height, velocity = local_fit(t, altitude, start, start + SLOPE_WINDOW, s)
        states.append(State(f, float(s), height, velocity))
    # Independent reading of the burnout speed: the accelerometer's integral,
    # its zero taken as 1 g (the nominal) or as its reading on the pad.
    boost = accel_t <= burnout
    pad = float(np.mean(accel_g[accel_t < 0.1]))
    checks = {
        "accelerometer_velocity": np.array([cumulative_trapezoid((accel_g[boost] - zero) * G0, accel_t[boost])[-1]
                                            for zero in (1.0, pad)]),
        "accelerometer_pad_reading": np.array([pad]),
        "centred_burnout_velocity": np.array([local_fit(t, altitude, burnout - SLOPE_WINDOW / 2,
                                                        burnout + SLOPE_WINDOW / 2, burnout)[1]]),
    }
    traces = {"barometric": (t, altitude)}
    return Flight("NDRT 2020", burnout, apogee_time, float(np.max(altitude)), tuple(states), traces, checks)
