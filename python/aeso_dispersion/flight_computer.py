"""A controlled study's flight computer: raw sensors, the on-board
estimator, drag learned in flight and the frame of the target.

The [control] section of a study with a predicting controller may give

    frame = "barometric"    the target is what a pad-zeroed altimeter reads
                            (through the air the controller believes in);
                            "true" (the default): the height above the pad
    learn_drag = true       the controller learns a scale on its drag from
                            the accelerometer (needs the sensors below)
    drag_prior_sd = 0.1     the sd of that scale's prior
    [control.barometer]     noise_sd (Pa), rate (Hz), lag (s), resolution
                            (Pa), and a fixed mach_error table
                            ({mach = [...], coefficient = [...]})
    [control.accelerometer] noise_sd (m/s^2), bias (m/s^2), scale_error, rate
    [control.estimator]     the fields of aeso_flight.Estimator
    [control.believed_air]  the air the computer reads its barometer in, as
                            fixed values: temperature_offset (K) or
                            pad_temperature (K), pad_pressure (Pa), at the
                            study's site; default: the study's nominal air

[control.barometer] and [control.accelerometer] put a flight computer on
board (aeso_flight.RawSensors): the controller is shown its estimate, not
the simple sensors' (height_sd and the like are then refused). Every number
of the three sensor sections and drag_prior_sd is an input of the study
(dispersible, in its row as COLUMNS name it). A row's values become the
native runner's (aeso_flight._arguments.COMPUTER_COLUMNS) through
aeso_flight's RawSensors, as a flight of Vehicle.fly_controlled gets them,
so a sample flown again is the study's flight to the bit.
"""

import math
from dataclasses import dataclass, fields

import numpy as np

from aeso_flight import Atmosphere, Estimator, _arguments
from aeso_flight.raw_sensors import Accelerometer, Barometer, RawSensors

from .errors import StudyError
from .inputs import check_keys, fixed, number_or_distribution, table as _table

FRAMES = ("true", "barometric")
BAROMETER_KEYS = ("noise_sd", "rate", "lag", "resolution")
ACCELEROMETER_KEYS = ("noise_sd", "bias", "scale_error", "rate")
ESTIMATOR_KEYS = tuple(f.name for f in fields(Estimator))
BELIEVED_AIR_KEYS = ("temperature_offset", "pad_temperature", "pad_pressure")
# The inputs of a study with a flight computer, after the control columns,
# in their order: (key, default; None: required).
COLUMNS = (tuple((f"barometer.{key}", default) for key, default in
                 zip(BAROMETER_KEYS, (None, None, 0.0, 0.0)))
           + tuple((f"accelerometer.{key}", default) for key, default in
                   zip(ACCELEROMETER_KEYS, (None, 0.0, 0.0, None)))
           + tuple((f"estimator.{f.name}", f.default) for f in fields(Estimator))
           + (("drag_prior_sd", 0.1),))
KEYS = tuple(key for key, _ in COLUMNS)
# The keys of [control] this module reads.
CONTROL_KEYS = ("frame", "learn_drag", "drag_prior_sd", "barometer", "accelerometer", "estimator", "believed_air")
# The simple sensors' keys, which a flight computer replaces.
SIMPLE_SENSOR_KEYS = ("height_sd", "velocity_sd", "velocity_scale", "correlation_time")


@dataclass(frozen=True)
class Computer:
    """What every flight of a study's flight computer shares: the frame
    (barometric or not), whether its controller learns its drag, whether
    its rows carry raw sensors, the barometer's port error (mach,
    coefficient) or None, and the believed air's (temperature_offset,
    pad_pressure) or None for the study's nominal air."""

    barometric: bool = False
    learn_drag: bool = False
    raw: bool = False
    mach_error: tuple = None
    believed_air: tuple = None

    def description(self):
        """The settings as the results file's metadata records them."""
        meta = {"frame": "barometric" if self.barometric else "true"}
        if self.raw:
            meta["flight computer"] = (f"learn_drag={self.learn_drag!r} mach_error={self.mach_error!r} "
                                       f"believed_air={self.believed_air!r}")
        return meta


def _mach_error(given):
    """(mach, coefficient) tuples of a fixed port error table, checked as
    aeso_flight's Barometer checks it."""
    table = _table("control.barometer.mach_error", given)
    check_keys("control.barometer.mach_error", table, ("mach", "coefficient"))
    for key in ("mach", "coefficient"):
        if key not in table:
            raise StudyError(f"control.barometer.mach_error.{key}", "missing: the table needs mach and coefficient")
    try:
        return Barometer(noise_sd=0.0, rate=1.0, mach_error=(table["mach"], table["coefficient"])).mach_error
    except (TypeError, ValueError) as exc:
        raise StudyError("control.barometer.mach_error", str(exc)) from None


def _believed_air(given, site):
    """(temperature_offset, pad_pressure) of [control.believed_air] at the
    study's site (fixed values)."""
    from .real_air import nominal_air

    table = _table("control.believed_air", given)
    check_keys("control.believed_air", table, BELIEVED_AIR_KEYS)
    if "temperature_offset" in table and "pad_temperature" in table:
        raise StudyError("control.believed_air.temperature_offset", "give temperature_offset or pad_temperature, "
                                                                    "not both")
    values = {key: fixed(f"control.believed_air.{key}", value) for key, value in table.items()}
    kind = "pad_temperature" if "pad_temperature" in values else "offset"
    temperature = values.get("pad_temperature", values.get("temperature_offset", 0.0))
    _, offset, pressure = nominal_air(kind, site, temperature, values.get("pad_pressure"))
    try:
        Atmosphere.standard(site, offset, pad_pressure=pressure)
    except (TypeError, ValueError) as exc:
        raise StudyError("control.believed_air", str(exc)) from None
    return offset, pressure


def section(control, controller, site):
    """(inputs as (section, key, value) in column order, Computer or None)
    of the flight computer's keys popped from the [control] table
    `control`; `site` the study's site elevation (None: aeso's constant
    air, which has no altimeter)."""
    given = {key: control.pop(key) for key in CONTROL_KEYS if key in control}
    if not given:
        return [], None
    if controller == "schedule":
        raise StudyError(f"control.{next(iter(given))}", "not a setting of the schedule controller")
    frame = given.get("frame", "true")
    if frame not in FRAMES:
        raise StudyError("control.frame", f'must be "true" or "barometric", not {frame!r}')
    learn = given.get("learn_drag", False)
    if not isinstance(learn, bool):
        raise StudyError("control.learn_drag", f"must be true or false, not {learn!r}")
    raw = "barometer" in given or "accelerometer" in given
    if raw:
        for key in ("barometer", "accelerometer"):
            if key not in given:
                raise StudyError(f"control.{key}", "missing: a flight computer reads a barometer and an accelerometer")
    else:
        for key in ("estimator", "believed_air", "drag_prior_sd"):
            if key in given:
                raise StudyError(f"control.{key}", "belongs to a flight computer: give [control.barometer] and "
                                                   "[control.accelerometer]")
        if learn:
            raise StudyError("control.learn_drag", "learns from an accelerometer: give [control.barometer] and "
                                                   "[control.accelerometer]")
    if (frame == "barometric" or raw) and site is None:
        raise StudyError("control.frame" if not raw else "control.barometer",
                         "needs the day's air: give an [environment] (the constant air has no altimeter)")
    if not raw:
        return [], Computer(barometric=frame == "barometric")
    for key in SIMPLE_SENSOR_KEYS:
        if key in control:
            raise StudyError(f"control.{key}", "a simple sensor's value: a flight computer shows the controller "
                                               "its own estimate")
    values = {}
    mach_error = None
    for part, keys in (("barometer", BAROMETER_KEYS), ("accelerometer", ACCELEROMETER_KEYS),
                       ("estimator", ESTIMATOR_KEYS)):
        table = _table(f"control.{part}", given.get(part, {}))
        if part == "barometer" and "mach_error" in table:
            mach_error = _mach_error(table.pop("mach_error"))
        check_keys(f"control.{part}", table, keys + (("mach_error",) if part == "barometer" else ()))
        values.update({f"{part}.{key}": number_or_distribution(f"control.{part}.{key}", value)
                       for key, value in table.items()})
    if "drag_prior_sd" in given:
        values["drag_prior_sd"] = number_or_distribution("control.drag_prior_sd", given["drag_prior_sd"])
    inputs = []
    for key, default in COLUMNS:
        if key not in values and default is None:
            raise StudyError(f"control.{key}", "missing: a sensor needs its noise_sd and rate")
        inputs.append(("control", key, values.get(key, default)))
    believed = None if "believed_air" not in given else _believed_air(given["believed_air"], site)
    return inputs, Computer(frame == "barometric", learn, True, mach_error, believed)


def raw_sensors(values, mach_error=None, believed=None):
    """aeso_flight's RawSensors of a row's flight-computer values (KEYS'
    order), and the drag prior's sd."""
    v = dict(zip(KEYS, values))
    barometer = Barometer(**{key: v[f"barometer.{key}"] for key in BAROMETER_KEYS}, mach_error=mach_error)
    accelerometer = Accelerometer(**{key: v[f"accelerometer.{key}"] for key in ACCELEROMETER_KEYS})
    estimator = Estimator(**{key: v[f"estimator.{key}"] for key in ESTIMATOR_KEYS})
    return RawSensors(barometer, accelerometer, estimator=estimator, believed_atmosphere=believed), v["drag_prior_sd"]


def vertical(model, speed_and_angle, state):
    """The height and vertical velocity of a row's initial state values."""
    if model == "1dof":
        return state[0], state[1]
    if speed_and_angle:
        _, y, angle, speed, _ = state
        return y, speed * math.cos(angle)
    return state[1], state[4]


def native_rows(plan, rows, at):
    """The rows for the native runner: each row's flight-computer values
    (from column `at` on) as COMPUTER_COLUMNS holds them."""
    width = len(KEYS)
    native = np.empty((rows.shape[0], at + len(_arguments.COMPUTER_COLUMNS)))
    native[:, :at] = rows[:, :at]
    for k, row in enumerate(rows.tolist()):
        sensors, prior_sd = raw_sensors(row[at:at + width])
        height, velocity = vertical(plan.model, plan.speed_and_angle, row[plan.state])
        native[k, at:] = sensors._values(height, velocity) + (prior_sd,)
    return native
