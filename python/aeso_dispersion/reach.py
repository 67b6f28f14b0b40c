"""Whether a controlled study's target lies within its nominal flight's reach.

A target that no deployment can reach (feet typed as metres, a target below
the burnout height) still gives a study, whose every miss has one sign;
its summary says so. The nominal flight is the study's nominal rocket,
start, air, drag and brakes (each dispersed input at its nominal value),
flown with aeso_flight's public API with the brakes closed and fully open
from the start, as Vehicle.fly_controlled checks a single flight's target.
"""

import math

import aeso
from aeso_flight import Atmosphere, Brakes, Drag, FlightError, Vehicle

from .inputs import ROCKET_KEYS


def _nominal(study):
    """{"section.key": value} of every input, a dispersed one at its
    nominal value."""
    values = dict(study.fixed)
    values.update({name: distribution.nominal for name, distribution in study.distributions.items()})
    return values


def _atmosphere(setting, values):
    if setting.air is None:
        return Atmosphere.constant()
    given = {key: values[f"environment.{key}"] for key in ("pad_temperature", "pad_pressure")
             if f"environment.{key}" in values}
    return Atmosphere.standard(values["environment.site_elevation"],
                               values.get("environment.temperature_offset", 0.0), **given)


def _vehicle(setting, values):
    """The nominal vehicle, with the nominal drag scale."""
    rocket = aeso.Rocket(**{key: values[f"rocket.{key}"] for key in ROCKET_KEYS})
    drag = Drag(setting.drag_mach, setting.drag_cd) if setting.drag_mach else None
    width = len(setting.brake_mach)
    rows = [setting.brake_cd[i * width:(i + 1) * width] for i in range(len(setting.brake_levels))]
    brakes = Brakes(setting.brake_levels, setting.brake_mach, rows, setting.replace, setting.area)
    return Vehicle(rocket, drag=drag, brakes=brakes, drag_scale=values.get("drag.scale", 1.0))


def _start(study, values):
    state = {key.split(".", 1)[1]: value for key, value in values.items() if key.startswith("initial_state.")}
    if study.model == "1dof":
        return aeso.InitialState1DOF(state["initial_height"], state["initial_velocity"])
    if "speed" in state:
        speed = state.pop("speed")
        state["vx"], state["vy"] = -speed * math.sin(state["angle"]), speed * math.cos(state["angle"])
    return aeso.InitialState3DOF(**state)


def _step(study, values):
    if study.plan.step_kind == "default":
        return None
    options = {key.split(".", 1)[1]: value for key, value in values.items() if key.startswith("solver.")}
    return aeso.AdaptiveTimeStep(**options) if study.method == "RK45" else aeso.FixedTimeStep(options["dt"])


def out_of_reach(study):
    """A warning line when the target of the controlled `study` lies out of
    its nominal flight's reach, else None (also when that flight fails:
    the runs say why)."""
    values = _nominal(study)
    target = values["control.target"]
    try:
        vehicle = _vehicle(study.plan.setting, values)
        predict = vehicle.predict_apogee_1dof if study.model == "1dof" else vehicle.predict_apogee_3dof
        closed, open_ = (predict(_start(study, values), getattr(aeso.OdeMethod, study.method),
                                 _step(study, values), study.max_iterations,
                                 atmosphere=_atmosphere(study.plan.setting, values), deployment=level)
                         for level in (0.0, 1.0))
    except (FlightError, ValueError):
        return None
    if closed < target:
        return (f"warning: the target {target:g} m lies out of the nominal flight's reach: even with the brakes "
                f"closed its apogee is {closed:.1f} m")
    if open_ > target:
        return (f"warning: the target {target:g} m lies out of the nominal flight's reach: even with the brakes "
                f"fully open from the start its apogee is {open_:.1f} m")
    return None
