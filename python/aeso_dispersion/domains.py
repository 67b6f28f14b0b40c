"""The physical domain of every study input, in one table.

A fixed value outside its input's domain is refused when the study is
built. A drawn value outside it makes its sample fail, with a reason naming
the input and the value, before any run; a bounded distribution (uniform,
triangular, or normal/lognormal with low/high) must lie within the domain
and is refused otherwise, so its draws never fail for this.

Every domain requires a finite value (a fixed actuator rate limit may also
be inf: no limit). Inputs the model does not read (the lift and moment
properties in a 1-DOF study) have no domain: any value, NaN included,
leaves the apogee unchanged.

The day's air takes the domains aeso_flight.Atmosphere.standard enforces:
a site within the atmosphere's layers, a temperature offset within
±100 K, a pad temperature (kelvin) within 100 K of the standard
temperature at the site and a pad pressure (pascals) within a factor 1.5 of
the standard pressure there; the last two are checked per sample against
the sample's site when either is drawn.

Every start must be a flight with an apogee ahead: the 3-DOF pitch angle
keeps the nose above the horizon (|angle| < pi/2, as given: an angle is
not reduced modulo 2 pi), and the initial vertical velocity lies above the
one at which a run ends (the module's APOGEE_VELOCITY_THRESHOLD, 0.5 m/s): a
run from a slower start stops at once and extrapolates a meaningless
apogee. With a launch speed the vertical velocity is speed * cos(angle),
checked per sample when either is drawn.

Failure reasons are templates in which each input appears as ``{name}``:
`fill` writes the names alone (for the summary, one line per kind of
failure) or with the sample's values (for one sample).
"""

import math
import re
from dataclasses import dataclass

import numpy as np

from aeso_flight import atmosphere as _atmosphere
from aeso_flight._arguments import MAX_CONTROL_RATE, MAX_SENSOR_RATE
from aeso_flight._arguments import standard_air

from ._flights import APOGEE_VELOCITY_THRESHOLD


@dataclass(frozen=True)
class Domain:
    """Finite values from `low` to `high` (bounds excluded when `strict`),
    and +inf too when `infinite`; `text`, when given, says what the domain
    means."""

    low: float = -math.inf
    high: float = math.inf
    strict: bool = False
    text: str = ""
    infinite: bool = False

    def __str__(self):
        if self.text:
            return self.text
        if self.low == -math.inf:
            return "finite"
        return f"{'>' if self.strict else '>='} {self.low:g}"

    def contains(self, value):
        """Whether `value` (a float or an array) lies in the domain."""
        if self.strict:
            inside = (value > self.low) & (value < self.high)
        else:
            inside = (value >= self.low) & (value <= self.high)
        if self.infinite:
            return (np.isfinite(value) & inside) | (value == math.inf)
        return np.isfinite(value) & inside

    def holds(self, low, high):
        """Whether every finite value from `low` to `high` (either may be
        infinite: no bound on that side) lies in the domain."""
        return (bool(self.contains(low)) or low == self.low == -math.inf) and \
            (bool(self.contains(high)) or high == self.high == math.inf)


FINITE = Domain()
POSITIVE = Domain(0.0, strict=True)
NON_NEGATIVE = Domain(0.0)
# The nose above the horizon.
NOSE_UP = Domain(-math.pi / 2, math.pi / 2, strict=True, text="|angle| < pi/2: the nose above the horizon")
# A vertical velocity above the one at which a run ends.
RISING = Domain(APOGEE_VELOCITY_THRESHOLD, strict=True,
                text=f"> {APOGEE_VELOCITY_THRESHOLD:g} m/s, above the vertical velocity at which a run ends")

# The day's air (see aeso_flight.Atmosphere.standard). A site below the
# top of the layers: the highest value below it, as a closed bound.
SITE = Domain(_atmosphere.LOWEST_ALTITUDE, math.nextafter(_atmosphere.HIGHEST_ALTITUDE, -math.inf),
              text=f"from {_atmosphere.LOWEST_ALTITUDE:.1f} m to {_atmosphere.HIGHEST_ALTITUDE:.1f} m above "
                   f"sea level, within the atmosphere's layers")
MAX_OFFSET = _atmosphere.MAX_TEMPERATURE_OFFSET
MAX_PRESSURE_RATIO = _atmosphere.MAX_PRESSURE_RATIO
OFFSET = Domain(-MAX_OFFSET, MAX_OFFSET, text=f"within ±{MAX_OFFSET:g} K")
KELVIN = Domain(0.0, strict=True, text="> 0 K: a temperature in kelvin")
PASCALS = Domain(0.0, strict=True, text="> 0 Pa: a pressure in pascals")
LEVEL = Domain(0.0, 1.0, text="from 0 (closed) to 1 (fully open)")
# Heights of an apogee wanted: a target at or below the pad is no target
# (feet typed as metres give one too high, which the summary warns of).
ABOVE_PAD = Domain(0.0, strict=True, text="> 0 m: a height above the pad")
RATE_LIMIT = Domain(0.0, strict=True, infinite=True, text="> 0, or inf: no limit")
# A controller's ticks per second: every tick is a step boundary.
CONTROL_RATE = Domain(0.0, math.nextafter(MAX_CONTROL_RATE, math.inf), strict=True,
                      text=f"> 0 Hz and at most {MAX_CONTROL_RATE:g} Hz: every tick is a step boundary")
# A raw sensor's samples per second, the accelerometer's gain error, and the
# estimator's gate (in standard deviations).
SENSOR_RATE = Domain(0.0, math.nextafter(MAX_SENSOR_RATE, math.inf), strict=True,
                     text=f"> 0 Hz and at most {MAX_SENSOR_RATE:g} Hz")
SCALE_ERROR = Domain(-1.0, 1.0, strict=True, text="strictly between -1 and 1")
GATE = Domain(1.0, text=">= 1 standard deviation")
# The flight computer's inputs (see flight_computer; the estimator's are
# aeso_flight.Estimator's fields).
COMPUTER = {
    "barometer.noise_sd": NON_NEGATIVE, "barometer.rate": SENSOR_RATE, "barometer.lag": NON_NEGATIVE,
    "barometer.resolution": NON_NEGATIVE, "accelerometer.noise_sd": NON_NEGATIVE, "accelerometer.bias": FINITE,
    "accelerometer.scale_error": SCALE_ERROR, "accelerometer.rate": SENSOR_RATE,
    **{f"estimator.{key}": POSITIVE for key in (
        "barometer_sd", "accelerometer_sd", "process_noise", "bias_sd", "bias_drift", "dynamic_error",
        "acceleration_drift", "height_sd", "velocity_sd")},
    "estimator.bias": FINITE, "estimator.gate": GATE, "estimator.barometer_lag": NON_NEGATIVE,
    "drag_prior_sd": POSITIVE,
}

# Section of each key (keys are unique across sections) and its domain.
DOMAINS = {
    "rocket": {
        "mass": POSITIVE, "cd": NON_NEGATIVE, "area_drag": POSITIVE, "area_lift": POSITIVE,
        "moment_of_inertia": POSITIVE, "stab_margin_dimensional": FINITE, "cl_a": NON_NEGATIVE,
    },
    "initial_state": {
        "initial_height": FINITE, "initial_velocity": RISING, "x": FINITE, "y": FINITE,
        "angle": NOSE_UP, "vx": FINITE, "vy": RISING, "speed": NON_NEGATIVE, "angular_rate": FINITE,
    },
    "solver": {
        "dt": POSITIVE, "dt_min": POSITIVE, "dt_max": POSITIVE,
        "absolute_error_tolerance": NON_NEGATIVE, "relative_error_tolerance": NON_NEGATIVE,
    },
    "environment": {
        "site_elevation": SITE, "temperature_offset": OFFSET, "pad_temperature": KELVIN, "pad_pressure": PASCALS,
    },
    "drag": {"scale": NON_NEGATIVE},
    "brakes": {"deployment": LEVEL},
    "control": {
        "target": ABOVE_PAD, "rate": CONTROL_RATE, "rate_limit": RATE_LIMIT, "lag": NON_NEGATIVE, "delay": NON_NEGATIVE,
        "initial": LEVEL, "height_sd": NON_NEGATIVE, "velocity_sd": NON_NEGATIVE, "velocity_scale": POSITIVE,
        "correlation_time": NON_NEGATIVE, "kp": FINITE, "ki": FINITE, "kd": FINITE, **COMPUTER,
    },
}
SECTION_OF = {key: section for section, keys in DOMAINS.items() for key in keys}
# Inputs whose domain the study may widen to every finite value (a negative
# drag coefficient or lift slope has a meaning in some models of a rocket).
WIDENABLE = ("cd", "cl_a")
# Rocket properties the 1-DOF equation of motion reads.
READ_BY_1DOF = ("mass", "cd", "area_drag")
# Pairs (a, b) of step options with a <= b, for the adaptive step.
ORDERED = (("dt_min", "dt_max"),)
# The launch speed and pitch angle whose vertical velocity speed * cos(angle)
# must be RISING.
SPEED_AND_ANGLE = ("speed", "angle")
# The site and a pad value whose domain depends on the site's standard air.
PAD_TEMPERATURE = ("site_elevation", "pad_temperature")
PAD_PRESSURE = ("site_elevation", "pad_pressure")


def qualified(key):
    """"section.key" of an input key."""
    return f"{SECTION_OF[key]}.{key}"


def domain_of(model, key, widened=()):
    """The domain of an input, or None when the model does not read it."""
    if model == "1dof" and SECTION_OF[key] == "rocket" and key not in READ_BY_1DOF:
        return None
    if key in widened:
        return FINITE
    return DOMAINS[SECTION_OF[key]][key]


def outside_template(key, domain):
    return f"{{{qualified(key)}}} outside its domain ({domain})"


def order_template(a, b):
    return f"{{{qualified(a)}}} > {{{qualified(b)}}}"


def vertical_template(speed, angle):
    return (f"vertical velocity {{{qualified(speed)}}} * cos({{{qualified(angle)}}}) at or below "
            f"{RISING.low:g} m/s, where a run ends: no apogee ahead")


def check_vertical(speed, angle):
    """The problem with a fixed launch speed and angle whose vertical
    velocity has no apogee ahead, or None."""
    vertical = speed * math.cos(angle)
    if RISING.contains(vertical):
        return None
    return (f"the vertical velocity {speed!r} * cos({angle!r}) = {vertical:.6g} m/s is at or below "
            f"{RISING.low:g} m/s, where a run ends: the flight has no apogee ahead")


def pad_temperature_template(site, temperature):
    return (f"{{{qualified(temperature)}}} lies more than {MAX_OFFSET:g} K from the standard temperature at "
            f"the site {{{qualified(site)}}}: a pad temperature is in kelvin")


def pad_pressure_template(site, pressure):
    return (f"{{{qualified(pressure)}}} lies more than a factor {MAX_PRESSURE_RATIO:g} from the standard "
            f"pressure at the site {{{qualified(site)}}}: a pad pressure is in pascals")


def _standard(sites, which):
    """The standard temperature (which 0) or pressure (1) at each site
    (an array; NaN at a site outside the layers, which its own check
    refuses)."""
    unique, inverse = np.unique(sites, return_inverse=True)
    values = np.array([standard_air(float(z))[which] if SITE.contains(z) else math.nan for z in unique.tolist()])
    return values[inverse].reshape(np.shape(sites))


def pad_temperature_holds(site, temperature):
    """Whether pad temperatures (K) lie within MAX_OFFSET of the standard
    temperature at their sites (arrays)."""
    return np.abs(np.asarray(temperature) - _standard(site, 0)) <= MAX_OFFSET


def pad_pressure_holds(site, pressure):
    """Whether pad pressures (Pa) lie within a factor MAX_PRESSURE_RATIO of
    the standard pressure at their sites (arrays)."""
    ratio = np.asarray(pressure) / _standard(site, 1)
    return (ratio >= 1.0 / MAX_PRESSURE_RATIO) & (ratio <= MAX_PRESSURE_RATIO)


def check_pad(key, site, value):
    """The problem with a fixed pad temperature or pressure at a fixed
    site, or None."""
    if key == "pad_temperature":
        standard = float(_standard(np.array([site]), 0)[0])
        if pad_temperature_holds(np.array([site]), np.array([value]))[0]:
            return None
        return (f"{value!r} K lies {value - standard:+.1f} K from the standard {standard:.2f} K at the site, "
                f"beyond ±{MAX_OFFSET:g} K: a pad temperature is in kelvin")
    standard = float(_standard(np.array([site]), 1)[0])
    if pad_pressure_holds(np.array([site]), np.array([value]))[0]:
        return None
    return (f"{value!r} Pa is more than a factor {MAX_PRESSURE_RATIO:g} from the standard {standard:.0f} Pa "
            f"at the site: a pad pressure is in pascals")


# Checks of two inputs together: (kind, pairs of keys, template, test of
# the two columns that holds where the sample is fine).
PAIRED = (
    ("order", ORDERED, order_template, lambda a, b: ~(a > b)),
    ("vertical", (SPEED_AND_ANGLE,), vertical_template, lambda speed, angle: RISING.contains(speed * np.cos(angle))),
    ("pad_temperature", (PAD_TEMPERATURE,), pad_temperature_template, pad_temperature_holds),
    ("pad_pressure", (PAD_PRESSURE,), pad_pressure_template, pad_pressure_holds),
)
_TESTS = {kind: test for kind, _, _, test in PAIRED}


_FIELD = re.compile(r"\{([a-z_]+(?:\.[a-z_]+)+)\}")


def fill(template, values=None):
    """The reason `template` with each input shown by name, or as
    "name = value" when `values` ({"section.key": float}) is given."""
    if values is None:
        return _FIELD.sub(r"\1", template)
    return _FIELD.sub(lambda m: f"{m[1]} = {values[m[1]]!r}" if m[1] in values else m[1], template)


def has_fields(template):
    return _FIELD.search(template) is not None


def check_fixed(model, key, value, widened=()):
    """The problem with a fixed value, or None when it lies in the domain."""
    domain = domain_of(model, key, widened)
    if domain is None or domain.contains(value):
        return None
    problem = f"{value!r} is outside its domain ({domain})"
    if key in WIDENABLE and key not in widened:
        problem += f"; list it in [study] allow_negative to accept negative values"
    return problem


def check_distribution(model, key, distribution, widened=()):
    """The problem with a distribution whose bounds reach outside the
    domain, or None. Unbounded distributions are checked per sample."""
    domain = domain_of(model, key, widened)
    if domain is None or not distribution.bounded:
        return None
    low, high = distribution.support
    if domain.holds(low, high):
        return None
    problem = (f"its bounds [{low:g}, {high:g}] reach outside the input's domain ({domain}): "
               f"draws there could only fail")
    if key in WIDENABLE and key not in widened:
        problem += "; list it in [study] allow_negative to accept negative values"
    return problem


def sample_checks(model, keys, dispersed, unbounded, widened=()):
    """The checks each sample's drawn values need, as plain tuples:
    ("domain", column, low, high, strict, template) for a dispersed input
    whose distribution can leave its domain, and (kind, column_a,
    column_b, template) for each pair of PAIRED of which one is dispersed:
    "order" for ordered step options, "vertical" for a launch speed and
    angle, "pad_temperature" and "pad_pressure" for a pad value and the
    site."""
    checks = []
    for j, key in enumerate(keys):
        domain = domain_of(model, key, widened)
        if dispersed[j] and unbounded[j] and domain is not None:
            checks.append(("domain", j, domain.low, domain.high, domain.strict,
                           outside_template(key, domain)))
    for kind, pairs, template, _ in PAIRED:
        for a, b in pairs:
            if a in keys and b in keys:
                i, j = keys.index(a), keys.index(b)
                if dispersed[i] or dispersed[j]:
                    checks.append((kind, i, j, template(a, b)))
    return tuple(checks)


def violations(checks, full):
    """Which samples break a check: (index of the first broken check per
    sample, -1 where none; the checks' templates). `full` holds one row of
    inputs per sample."""
    first = np.full(full.shape[0], -1, dtype=np.int64)
    for index in range(len(checks) - 1, -1, -1):  # the first check wins
        check = checks[index]
        if check[0] == "domain":
            _, j, low, high, strict, _ = check
            bad = ~Domain(low, high, strict).contains(full[:, j])
        else:
            kind, i, j, _ = check
            bad = ~_TESTS[kind](full[:, i], full[:, j])
        first[bad] = index
    return first, [check[-1] for check in checks]
