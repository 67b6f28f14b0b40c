"""Studies in the real air: the day's atmosphere, drag against Mach, air
brakes and their controller, flown by aeso_flight's block runner.

A study file's optional sections

    [environment]   site_elevation (m above sea level), and temperature_offset
                    (K) or the pad's pad_temperature (K) and pad_pressure (Pa)
    [drag]          a Mach table (mach = [...], cd = [...], or file = "drag.csv")
                    and a factor `scale` on the drag coefficient (body and
                    brakes; in 3-DOF not the angle of attack's cl_a * alpha)
    [brakes]        a brake table (file = "brakes.csv", or levels = [...],
                    mach = [...], cd = [[...], ...]), replace, area, and for
                    uncontrolled flights a fixed deployment
    [control]       the controller (controller = "predictive" | "pid" |
                    "schedule", target, rate, kp/ki/kd, times/levels), its
                    actuator (rate_limit, lag, delay, initial), its sensors
                    (height_sd, velocity_sd, velocity_scale, correlation_time)
                    and [control.predictor] (model and step options);
                    the target's frame and a flight computer on board
                    (see flight_computer)

are checked here and reduced to two plain parts of the plan: columns of
floats appended to each row (those the native runner reads, see
aeso_flight._arguments.layout) and a `Setting`, a hashable value of
tuples that holds the tables and the settings every flight shares. A worker
builds the native objects of a Setting (its vehicle, the air, a schedule,
the predictor) once per process (see `natives`), through aeso_flight's one
module that builds native arguments, so a Plan travels to Dask workers as
plain values. A sample flown again (`refly`) goes through aeso_flight's
public Vehicle.fly_controlled.

Predictive and PID controllers predict with the nominal study: the rocket's
nominal properties, the nominal air and the drag without its scale. A
flight computer knows the design, not the day's dispersions; so dispersing
the drag scale or the day's temperature widens the miss as it would on the
day.
"""

import functools
import math
import os
import warnings
from dataclasses import dataclass
from collections.abc import Mapping
from typing import NamedTuple

import numpy as np

import aeso
from aeso_flight import (PID, Actuator, Atmosphere, Brakes, Drag, FlightError, Predictive, Schedule, Sensors,
                         Vehicle, _arguments)

from . import _flights, domains, flight_computer, tables
from .distributions import DISTRIBUTIONS
from .errors import StudyError
from .inputs import ROCKET_KEYS, check_keys, number_or_distribution, step_options
from .inputs import fixed as _fixed, table as _table
from .outcomes import DRAG_LEARNING, FLIGHT_COMPUTER

ENVIRONMENT_KEYS = ("site_elevation", "temperature_offset", "pad_temperature", "pad_pressure")
DRAG_KEYS = ("file", "mach", "cd", "scale")
BRAKE_KEYS = ("file", "levels", "mach", "cd", "replace", "area", "deployment")
CONTROLLERS = _arguments.BLOCK_CONTROLLERS
# The control columns in the native runner's order; each a dispersible input.
CONTROL_COLUMNS = _arguments.CONTROL_COLUMNS
GAINS = ("kp", "ki", "kd")
CONTROL_KEYS = ("controller", "predictor", "times", "levels") + CONTROL_COLUMNS + flight_computer.CONTROL_KEYS
PREDICTOR_KEYS = ("model", "max_iterations", "dt", "dt_min", "dt_max", "absolute_error_tolerance",
                  "relative_error_tolerance")
# The values of the control columns a study file may leave out.
CONTROL_DEFAULTS = {"rate_limit": math.inf, "lag": 0.0, "delay": 0.0, "initial": 0.0, "height_sd": 0.0,
                    "velocity_sd": 0.0, "velocity_scale": 1.0, "correlation_time": 0.0, "ki": 0.0, "kd": 0.0}
# What stops the flights of a block that runs (see engine.stop_flag).
StopFlag = _arguments.StopFlag


@dataclass(frozen=True)
class Control:
    """A controlled study's shared settings: the controller's name, the
    predictor's model, step options (None: the method's defaults) and
    max_iterations (Predictive and PID), and a schedule's (times, levels)."""

    controller: str
    predictor_model: str = "1dof"
    predictor_step: tuple = None
    predictor_max_iterations: int = 0
    schedule: tuple = ()
    computer: flight_computer.Computer = None  # the frame and the flight computer, None: neither given

    @property
    def predicts(self):
        return self.controller != "schedule"

    @property
    def kind(self):
        """What the study's runs are (see outcomes.CONTROL_KINDS)."""
        if self.computer is None:
            return True
        return DRAG_LEARNING if self.computer.learn_drag else FLIGHT_COMPUTER

    def __repr__(self):
        # A study without a flight computer keeps the fingerprint it had
        # before there was one.
        fields = (f"controller={self.controller!r}, predictor_model={self.predictor_model!r}, "
                  f"predictor_step={self.predictor_step!r}, "
                  f"predictor_max_iterations={self.predictor_max_iterations!r}, schedule={self.schedule!r}")
        return f"Control({fields}{'' if self.computer is None else f', computer={self.computer!r}'})"


@dataclass(frozen=True)
class Setting:
    """What every flight of a real-air study shares, as plain values.

    `environment` names the kind of the rows' environment columns ("none":
    the rows carry none and fly in `air`); `air` is the nominal air,
    (site_elevation, temperature_offset, pad_pressure) of the day's
    standard atmosphere, or None for aeso's constant air. The drag table
    (empty: the rocket's cd), the brake table (empty: no brakes, cd row by
    row), `replace` and `area` are the vehicle's; `rocket` its nominal
    properties (the predictor's). `drag_scale` and `deployment` say whether
    the rows carry those columns; `control` is None for uncontrolled
    flights.
    """

    environment: str
    air: tuple
    drag_mach: tuple
    drag_cd: tuple
    brake_levels: tuple
    brake_mach: tuple
    brake_cd: tuple
    replace: bool
    area: float
    rocket: tuple
    drag_scale: bool
    deployment: bool
    control: Control = None

    def description(self):
        """The setting as the results file's metadata records it: {key: value}."""
        meta = {}
        if self.drag_mach:
            meta["drag table"] = f"mach={list(self.drag_mach)!r} cd={list(self.drag_cd)!r}"
        if self.brake_levels:
            width = len(self.brake_mach)
            rows = [list(self.brake_cd[i * width:(i + 1) * width]) for i in range(len(self.brake_levels))]
            meta["brake table"] = (f"levels={list(self.brake_levels)!r} mach={list(self.brake_mach)!r} "
                                   f"cd={rows!r} replace={self.replace!r} area={self.area!r}")
        if self.control is not None:
            c = self.control
            meta["controller"] = c.controller
            if c.predicts:
                meta["predictor"] = (f"model={c.predictor_model} step={c.predictor_step!r} "
                                     f"max_iterations={c.predictor_max_iterations}")
            else:
                meta["schedule"] = f"times={list(c.schedule[0])!r} levels={list(c.schedule[1])!r}"
            if c.computer is not None:
                meta.update(c.computer.description())
        return meta


class Sections(NamedTuple):
    """The real-air sections of a study: `inputs`, every (section, key,
    value) they give or default (value a float or a distribution), in
    column order; `columns`, the (section, key, value) of the row columns
    (a value the runner needs that no one gives is a float here, such as a
    pad pressure NaN: the standard at the site); `setting`; `files`, the
    table files read, as (what, path)."""

    inputs: list
    columns: list
    setting: Setting
    files: tuple = ()


def _array(key, value):
    """The array (of numbers, or of rows of numbers) given for `key`, as a
    list. A boolean in it (TOML's true or false) is refused: it is no
    number, though it would be flown as 1 or 0."""
    if isinstance(value, (str, bytes, Mapping)) or not hasattr(value, "__iter__"):
        raise StudyError(key, f"must be an array of numbers, not {type(value).__name__}")
    value = list(value)
    at = _boolean_at(value)
    if at is not None:
        raise StudyError(key, f"must hold numbers, not the boolean {str(at[1]).lower()} at index "
                              f"{at[0][0] if len(at[0]) == 1 else at[0]}")
    return value


def _boolean_at(value, at=()):
    """(index, value) of the first boolean in nested lists, or None."""
    if isinstance(value, bool):
        return at, value
    if isinstance(value, (list, tuple)):
        for i, item in enumerate(value):
            found = _boolean_at(item, at + (i,))
            if found is not None:
                return found
    return None


def _checked(build, keys):
    """build(), its ValueError or TypeError as a StudyError of the key its
    message names first (of `keys`, the last by default)."""
    try:
        return build()
    except (TypeError, ValueError) as exc:
        text = str(exc)
        named = [k for k in keys if text.startswith(k.rsplit(".", 1)[-1])]
        raise StudyError(named[0] if named else keys[-1], text) from None


def _nominal(value):
    return value.nominal if isinstance(value, DISTRIBUTIONS) else value


def _environment(given):
    """(inputs, column values, kind, nominal air)."""
    env = _table("environment", given)
    check_keys("environment", env, ENVIRONMENT_KEYS)
    if "temperature_offset" in env and ("pad_temperature" in env or "pad_pressure" in env):
        raise StudyError("environment.temperature_offset",
                         "give temperature_offset or the pad's values (pad_temperature, pad_pressure), not both")
    kind = "pad_temperature" if "pad_temperature" in env else "offset"
    values = {key: number_or_distribution(f"environment.{key}", value) for key, value in env.items()}
    values.setdefault("site_elevation", 0.0)
    if kind == "offset":
        values.setdefault("temperature_offset", 0.0)
    inputs = [("environment", key, values[key]) for key in ENVIRONMENT_KEYS if key in values]
    columns = inputs + ([] if "pad_pressure" in values else [("environment", "pad_pressure", math.nan)])
    return inputs, columns, kind


def nominal_air(kind, site, temperature, pressure):
    """(site_elevation, temperature_offset, pad_pressure) of the day's air
    from an environment's values (pressure None: the standard at the site),
    as aeso_flight.Atmosphere.standard computes them."""
    standard_t, standard_p = _arguments.standard_air(site)
    offset = temperature - standard_t if kind == "pad_temperature" else temperature
    return (site, offset, standard_p if pressure is None else pressure)


# What each section's table file is, in messages.
TABLE_FILES = {"drag": "the drag table (drag.file)", "brakes": "the brake table (brakes.file)"}


def _table_file(section, given, base):
    """The path of the table file a section names, relative to `base`."""
    if not isinstance(given["file"], (str, os.PathLike)):
        raise StudyError(f"{section}.file", f"must be a file name, not {type(given['file']).__name__}")
    return os.path.join(base, given["file"])


def _drag(given, base):
    """(the table's mach and cd as tuples, or empty; the scale input or None;
    the table file's path or None)."""
    drag = _table("drag", given)
    check_keys("drag", drag, DRAG_KEYS)
    path = None
    if "file" in drag:
        if "mach" in drag or "cd" in drag:
            raise StudyError("drag.file", "give the table in a file or as mach and cd, not both")
        path = _table_file("drag", drag, base)
        drag["mach"], drag["cd"] = tables.read_drag(path)
    if ("mach" in drag) != ("cd" in drag):
        raise StudyError("drag.mach" if "cd" in drag else "drag.cd", "missing: a drag table needs mach and cd")
    mach = cd = ()
    if "mach" in drag:
        keys = ("drag.file",) if "file" in drag else ("drag.mach", "drag.cd")
        given_mach, given_cd = _array(keys[0], drag["mach"]), _array(keys[-1], drag["cd"])
        if len(given_mach) < 2:
            raise StudyError(keys[0], "a table of one point is a constant drag coefficient: give it as rocket.cd"
                             if given_mach else "an empty table: a drag table needs at least two points")
        try:
            table = Drag(given_mach, given_cd)
        except (TypeError, ValueError) as exc:
            raise StudyError(keys[-1] if str(exc).startswith("cd") else keys[0],
                             f"{drag['file']}: {exc}" if "file" in drag else str(exc)) from None
        mach, cd = tuple(table.mach.tolist()), tuple(table.cd.tolist())
    scale = number_or_distribution("drag.scale", drag["scale"]) if "scale" in drag else None
    return mach, cd, scale, path


def _brakes(given, base):
    """(Brakes, the fixed deployment or None, the table file's path or None)."""
    brakes = _table("brakes", given)
    check_keys("brakes", brakes, BRAKE_KEYS)
    path = None
    if "file" in brakes:
        if any(key in brakes for key in ("levels", "mach", "cd")):
            raise StudyError("brakes.file", "give the table in a file or as levels, mach and cd, not both")
        path = _table_file("brakes", brakes, base)
        brakes["levels"], brakes["mach"], brakes["cd"] = tables.read_brakes(path)
        keys = ("brakes.file",)
    else:
        for key in ("levels", "mach", "cd"):
            if key not in brakes:
                raise StudyError(f"brakes.{key}", "missing: a brake table needs levels, mach and cd (or a file)")
        keys = ("brakes.levels", "brakes.mach", "brakes.cd")
    replace = brakes.get("replace", False)
    if not isinstance(replace, bool):
        raise StudyError("brakes.replace", f"must be true or false, not {replace!r}")
    area = None if brakes.get("area") is None else _fixed("brakes.area", brakes["area"])
    # Brakes names its table's deployment levels "deployment".
    named = {"deployment": keys[0], "mach": keys[-2] if len(keys) > 1 else keys[0],
             "cd": keys[-1], "area": "brakes.area"}
    arrays = (_array(keys[0], brakes["levels"]), _array(named["mach"], brakes["mach"]),
              _array(named["cd"], brakes["cd"]))
    try:
        table = Brakes(*arrays, replace, area)
    except (TypeError, ValueError) as exc:
        text = str(exc)
        key = next((k for word, k in named.items() if text.startswith(word)), keys[-1])
        if text.startswith("deployment"):  # Brakes' name of the levels
            text = "the deployment levels" + text[len("deployment"):]
        raise StudyError(key, f"{brakes['file']}: {text}" if key == "brakes.file" else text) from None
    deployment = None if "deployment" not in brakes else _fixed("brakes.deployment", brakes["deployment"])
    return table, deployment, path


def _predictor(given, model, method, max_iterations):
    """(model, step options or None, max_iterations) of [control.predictor]."""
    predictor = _table("control.predictor", given)
    check_keys("control.predictor", predictor, PREDICTOR_KEYS)
    dof = predictor.pop("model", "1dof")
    if dof not in ("1dof", "3dof"):
        raise StudyError("control.predictor.model", f'must be "1dof" or "3dof", not {dof!r}')
    if dof == "3dof" and model == "1dof":
        raise StudyError("control.predictor.model", 'a "3dof" predictor needs a 3dof study: a 1-DOF flight '
                                                    'has no attitude to sense')
    iterations = predictor.pop("max_iterations", max_iterations)
    if isinstance(iterations, bool) or not isinstance(iterations, int) or not 0 <= iterations < 2**64:
        raise StudyError("control.predictor.max_iterations", f"must be an integer from 0 to 2**64 - 1, "
                                                             f"not {iterations!r}")
    step_keys, defaults = step_options(method)
    for key in predictor:
        if key not in step_keys:
            raise StudyError(f"control.predictor.{key}", f"not a step option of {method} (these are: "
                                                         f"{', '.join(step_keys)})")
    if not predictor:
        return dof, None, iterations
    values = {**defaults, **{key: _fixed(f"control.predictor.{key}", v) for key, v in predictor.items()}}
    for key, value in values.items():
        problem = domains.check_fixed(model, key, value)
        if problem:
            raise StudyError(f"control.predictor.{key}", problem)
    if method == "RK45" and values["dt_min"] > values["dt_max"]:
        raise StudyError("control.predictor.dt_min", f"{values['dt_min']!r} exceeds dt_max ({values['dt_max']!r})")
    return dof, tuple(values[key] for key in step_keys), iterations


def _control(given, model, method, max_iterations, brakes, site):
    """(inputs in column order, columns, Control); `site` the nominal site
    elevation (None: the constant air)."""
    control = _table("control", given)
    check_keys("control", control, CONTROL_KEYS)
    controller = control.pop("controller", "predictive")
    if controller not in CONTROLLERS:
        raise StudyError("control.controller", f"must be one of {', '.join(CONTROLLERS)}, not {controller!r}")
    for key in ("target", "rate") + (("kp",) if controller == "pid" else ()):
        if key not in control:
            raise StudyError(f"control.{key}", f"missing (a {controller} controller needs it)")
    misplaced = [key for key in GAINS if key in control and controller != "pid"]
    misplaced += [key for key in ("times", "levels") if key in control and controller != "schedule"]
    misplaced += ["predictor"] if "predictor" in control and controller == "schedule" else []
    if misplaced:
        raise StudyError(f"control.{misplaced[0]}", f"not a setting of the {controller} controller")
    settings = Control(controller)
    if controller == "schedule":
        for key in ("times", "levels"):
            if key not in control:
                raise StudyError(f"control.{key}", "missing (a schedule controller replays times and levels)")
        times, levels = _array("control.times", control.pop("times")), _array("control.levels", control.pop("levels"))
        schedule = _checked(lambda: Schedule(times, levels), ("control.times", "control.levels"))
        settings = Control(controller, schedule=(tuple(schedule.times.tolist()), tuple(schedule.levels.tolist())))
    else:
        dof, step, iterations = _predictor(control.pop("predictor", {}), model, method, max_iterations)
        settings = Control(controller, dof, step, iterations)
    computer_inputs, computer = flight_computer.section(control, controller, site)
    if computer is not None:
        settings = Control(settings.controller, settings.predictor_model, settings.predictor_step,
                           settings.predictor_max_iterations, settings.schedule, computer)
    values = {key: number_or_distribution(f"control.{key}", value) for key, value in control.items()}
    inputs = [("control", key, values.get(key, CONTROL_DEFAULTS.get(key, 0.0))) for key in CONTROL_COLUMNS
              if key in values or key in CONTROL_DEFAULTS and (key not in GAINS or controller == "pid")]
    columns = [("control", key, values.get(key, CONTROL_DEFAULTS.get(key, 0.0))) for key in CONTROL_COLUMNS]
    return inputs + computer_inputs, columns + computer_inputs, settings


def sections(model, method, max_iterations, rocket, environment=None, drag=None, brakes=None, control=None,
             base="."):
    """The real-air sections of a study (see Sections), or None when it has
    none of them. `rocket`: the study's checked rocket section; `base`: the
    directory the sections' file names are relative to."""
    if environment is None and drag is None and brakes is None and control is None:
        return None
    inputs, columns = [], []
    kind, env_dispersed = "none", False
    if environment is not None:
        env_inputs, env_columns, kind = _environment(environment)
        inputs += env_inputs
        env_dispersed = any(isinstance(v, DISTRIBUTIONS) for _, _, v in env_inputs)
        if env_dispersed:
            columns += env_columns
    mach = cd = ()
    scale = None
    files = []
    if drag is not None:
        mach, cd, scale, path = _drag(drag, base)
        files.append((TABLE_FILES["drag"], path))
        if scale is not None:
            inputs.append(("drag", "scale", scale))
            columns.append(("drag", "scale", scale))
    table = deployment = None
    if brakes is not None:
        table, deployment, path = _brakes(brakes, base)
        files.append((TABLE_FILES["brakes"], path))
        if table.replace and mach:
            raise StudyError("brakes.replace", "brakes with replace = true are the whole vehicle's drag: give "
                                               "no [drag] table with them")
    if mach and isinstance(rocket["cd"], DISTRIBUTIONS) or table is not None and table.replace \
            and isinstance(rocket["cd"], DISTRIBUTIONS):
        raise StudyError("rocket.cd", "is not read: the drag comes from the [drag] table or the brakes' "
                                      "(replace = true); give it fixed")
    if table is not None and table.area is not None and isinstance(rocket["area_drag"], DISTRIBUTIONS):
        raise StudyError("rocket.area_drag", "cannot be dispersed with the brakes' own area (brakes.area): "
                                             "the brake table is referred to that fixed area")
    settings = None
    if control is not None:
        if table is None:
            raise StudyError("control", "a controlled study needs its [brakes]")
        if deployment is not None:
            raise StudyError("brakes.deployment", "the controller moves the brakes in a controlled study; "
                                                  "control.initial is where they start")
        site = None
        if environment is not None:
            site = _nominal(next(v for _, key, v in inputs if key == "site_elevation"))
        control_inputs, control_columns, settings = _control(control, model, method, max_iterations, table, site)
        inputs += control_inputs
        columns += control_columns
    elif table is not None:
        if deployment is None:
            raise StudyError("brakes.deployment", "missing: the brakes' level from 0 to 1 (or a [control] "
                                                  "section that moves them)")
        inputs.append(("brakes", "deployment", deployment))
        columns.append(("brakes", "deployment", deployment))
    _check_nominal(model, [("rocket", key, rocket[key]) for key in ROCKET_KEYS] + inputs,
                   settings is not None and settings.predicts)
    air = None
    if environment is not None:
        given = {key: _nominal(value) for _, key, value in inputs if key in ENVIRONMENT_KEYS}
        temperature = given.get("pad_temperature", given.get("temperature_offset"))
        air = nominal_air(kind, given["site_elevation"], temperature, given.get("pad_pressure"))
    setting = Setting(
        environment=kind if env_dispersed else "none", air=air, drag_mach=mach, drag_cd=cd,
        brake_levels=() if table is None else tuple(table.deployment.tolist()),
        brake_mach=() if table is None else tuple(table.mach.tolist()),
        brake_cd=() if table is None else tuple(table.cd.ravel().tolist()),
        replace=table is not None and table.replace, area=None if table is None else table.area,
        rocket=tuple(float(_nominal(rocket[key])) for key in ROCKET_KEYS),
        drag_scale=scale is not None, deployment=table is not None and settings is None, control=settings)
    return Sections(inputs, columns, setting, tuple((what, path) for what, path in files if path is not None))


def _check_nominal(model, inputs, predicts):
    """Refuses a dispersed input of the real air's sections (the day's air,
    the drag scale, the controller, its actuator and sensors) whose nominal
    value lies outside its domain, as most of its draws would then fail
    their sample; and with a controller that `predicts` (with the nominal
    study), a dispersed rocket property too."""
    nominal = {key: _nominal(value) for _, key, value in inputs}
    for section, key, value in inputs:
        if isinstance(value, DISTRIBUTIONS) and (section != "rocket" or predicts):
            problem = domains.check_fixed(model, key, value.nominal)
            if problem is None and key in ("pad_temperature", "pad_pressure"):
                problem = domains.check_pad(key, nominal["site_elevation"], value.nominal)
            if problem:
                why = ("the controller predicts with the nominal study" if predicts and section in ("rocket", "environment")
                       else "most of its draws would fail their sample")
                raise StudyError(f"{section}.{key}", f"its nominal value {problem}: {why}")


# -- the native objects, per process ------------------------------------------


class Natives(NamedTuple):
    """The native objects of a Setting: the vehicle (its drag and brakes),
    the nominal air, a schedule, the predictor, and a flight computer's
    (believed air, believed pad pressure, port error) or None."""

    craft: object
    air: object
    schedule: object
    predictor: tuple
    computer: tuple = None


def craft(setting, rocket):
    """The native vehicle of the setting's tables with the rocket's seven
    properties."""
    return _arguments.craft(rocket, setting.drag_mach or None, setting.drag_cd or None,
                            setting.brake_levels or None, setting.brake_mach or None, setting.brake_cd or None,
                            setting.area, setting.replace)


@functools.lru_cache(maxsize=16)
def natives(setting, method):
    """The native objects of `setting` for flights of `method` (its
    _flights.ODE_METHOD value), built once per process and setting: the
    plans of a study all carry equal settings."""
    vehicle = craft(setting, setting.rocket)
    nominal = _arguments.air(setting.air)
    control = setting.control
    schedule = predictor = None
    if control is not None and not control.predicts:
        schedule = _arguments.schedule(*control.schedule)
    if control is not None and control.predicts:
        dof = 1 if control.predictor_model == "1dof" else 3
        predictor = _arguments.predictor(_arguments.flight(vehicle, nominal, dof, method, control.predictor_step,
                                                           control.predictor_max_iterations))
    computer = None
    if control is not None and control.computer is not None and control.computer.raw:
        c = control.computer
        believed = _believed_atmosphere(setting)
        computer = (believed._air, believed.pad_pressure,
                    None if c.mach_error is None else _arguments.schedule(*c.mach_error))
    return Natives(vehicle, nominal, schedule, predictor, computer)


def _believed_atmosphere(setting):
    """The air a study's flight computer reads its barometer in: its own
    [control.believed_air] at the site, else the nominal air its controller
    believes in."""
    believed = setting.control.computer.believed_air
    if believed is None:
        return _atmosphere(setting.air)
    return _atmosphere((setting.air[0],) + believed)


def layout(plan, seed, first):
    """The layout of aeso_flight's block runner for rows of `plan` whose
    first is sample `first` of a study drawn with `seed`."""
    setting = plan.setting
    method = _flights.ODE_METHOD[plan.method]
    n = natives(setting, method)
    control = setting.control
    computer = None if control is None else control.computer
    return _arguments.layout(_flights.FLIGHT_MODEL[plan.model], plan.speed_and_angle, method,
                             _flights.STEP_COLUMNS[plan.step_kind], plan.max_iterations,
                             _arguments.ENVIRONMENT_COLUMNS[setting.environment], setting.drag_scale,
                             setting.deployment, None if control is None else control.controller, n.craft, n.air,
                             n.schedule, n.predictor, seed, first,
                             computer is not None and computer.barometric, computer is not None and computer.learn_drag,
                             n.computer)


def fly(plan, inputs, outcomes, steps, status, stop, seed, first):
    """Flies the rows of `inputs` (samples first, first + 1, ...) natively;
    a flight computer's values become the native runner's first."""
    control = plan.setting.control
    if control is not None and control.computer is not None and control.computer.raw:
        inputs = flight_computer.native_rows(plan, inputs, inputs.shape[1] - len(flight_computer.KEYS))
    _arguments.run_block(inputs, outcomes, steps, status, layout(plan, seed, first), stop)


def _step_options(kind, values):
    """aeso's step options of a row's values (kind "fixed" or "adaptive"),
    or None for the method's defaults."""
    if kind == "fixed":
        return aeso.FixedTimeStep(*values)
    if kind == "adaptive":
        return aeso.AdaptiveTimeStep(*values)
    return None


def _predictor_step(values):
    """aeso's step options of a predictor's values, or None."""
    if values is None:
        return None
    return aeso.FixedTimeStep(*values) if len(values) == 1 else aeso.AdaptiveTimeStep(*values)


def _vehicle(setting, rocket, drag_scale=1.0):
    """The study's vehicle with the rocket's seven properties."""
    return Vehicle(aeso.Rocket(*rocket), drag=Drag(setting.drag_mach, setting.drag_cd) if setting.drag_mach else None,
                   brakes=Brakes(setting.brake_levels, setting.brake_mach,
                                 np.reshape(setting.brake_cd, (len(setting.brake_levels), -1)), setting.replace,
                                 setting.area),
                   drag_scale=drag_scale)


def _atmosphere(values):
    """The public Atmosphere of (site_elevation, temperature_offset,
    pad_pressure), or aeso's constant air for None."""
    if values is None:
        return Atmosphere.constant()
    site, offset, pressure = values
    if pressure == _arguments.standard_air(site)[1]:
        return Atmosphere.standard(site, offset)
    if offset == 0.0:
        return Atmosphere.standard(site, pad_pressure=pressure)
    return Atmosphere.standard(site, pad_temperature=_arguments.standard_air(site)[0] + offset,
                               pad_pressure=pressure)


def refly(plan, row, seed, sample):
    """Flies sample `sample` of a controlled study drawn with `seed` again,
    from its row of inputs, with every tick recorded, through aeso_flight's
    public Vehicle.fly_controlled: an aeso_flight.ControlledFlight, the
    study's flight to the bit (the same vehicle, air, controller, predictor
    and noise). None when the flight fails."""
    setting = plan.setting
    control = setting.control
    row = [float(v) for v in row]
    state = row[plan.state]
    if plan.speed_and_angle:
        x, y, angle, speed, rate = state
        state = [x, y, angle, -speed * math.sin(angle), speed * math.cos(angle), rate]
    initial = aeso.InitialState1DOF(*state) if plan.model == "1dof" else aeso.InitialState3DOF(*state)
    method = getattr(aeso.OdeMethod, plan.method)
    at = plan.step.stop
    day = _atmosphere(setting.air)
    if setting.environment != "none":
        site, temperature, pressure = row[at:at + 3]
        day = _atmosphere(nominal_air(setting.environment, site, temperature,
                                      None if math.isnan(pressure) else pressure))
        at += 3
    scale = 1.0
    if setting.drag_scale:
        scale, at = row[at], at + 1
    c = dict(zip(CONTROL_COLUMNS, row[at:at + len(CONTROL_COLUMNS)]))
    computer = control.computer
    sensors = Sensors(c["height_sd"], c["velocity_sd"], c["velocity_scale"], c["correlation_time"])
    aims = {}
    if computer is not None:
        aims = dict(frame="barometric" if computer.barometric else "true", learn_drag=computer.learn_drag)
        if computer.raw:
            sensors, aims["drag_prior_sd"] = flight_computer.raw_sensors(
                row[at + len(CONTROL_COLUMNS):], computer.mach_error, _believed_atmosphere(setting))
    if control.predicts:
        # What the flight computer knows: the nominal vehicle and air.
        believed = dict(model=control.predictor_model, vehicle=_vehicle(setting, setting.rocket),
                        atmosphere=_atmosphere(setting.air),
                        timestep_config=_predictor_step(control.predictor_step),
                        max_iterations=control.predictor_max_iterations, **aims)
        controller = (Predictive(**believed) if control.controller == "predictive" else
                      PID(c["kp"], c["ki"], c["kd"], **believed))
    else:
        controller = Schedule(*control.schedule)
    vehicle = _vehicle(setting, row[plan.rocket], scale)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return vehicle.fly_controlled(
                initial, method, _step_options(plan.step_kind, row[plan.step]), plan.max_iterations,
                atmosphere=day, target=c["target"], controller=controller, rate=c["rate"],
                actuator=Actuator(c["rate_limit"], c["lag"], c["delay"], c["initial"]), sensors=sensors,
                seed=seed, sample=sample, frame=aims.get("frame", "true"))
    except FlightError:
        return None
