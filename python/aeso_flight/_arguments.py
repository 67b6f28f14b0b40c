"""The native arguments of aeso_flight's runs, built in one place.

:class:`~aeso_flight.Vehicle` and the study tool (``aeso_dispersion``) hand
their flights to the compiled module ``_native`` through the functions
here, so the shape of every native argument (a flight, a predictor, a
controller, a study block's layout) is written once on the Python side; the
compiled module defines the names it exports (statuses, controller kinds,
tick columns, the rate limit) and its results are read by name.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Final, TypeAlias

import numpy as np

from . import _checks, _native
from ._native import Air, Craft, Schedule

if TYPE_CHECKING:
    import aeso

    from ._native import _Controller, _Flight, _Predictor, _Step

__all__ = ["BLOCK_CONTROLLERS", "BLOCK_OUTCOMES", "COMPUTER_COLUMNS", "CONTROLLER", "CONTROL_COLUMNS", "ENVIRONMENT_COLUMNS",
           "FLIGHT_STATUS", "INVERSE_STATUS", "MAX_CONTROL_RATE", "MAX_SENSOR_RATE", "SAMPLE_COLUMNS",
           "TICK_COLUMNS", "StopFlag", "aim", "air", "control", "craft", "external", "flight", "layout", "pid",
           "predictive", "predictor", "raw_sensors", "replay", "run_block", "schedule", "standard_air", "step"]

# What the study tool reads of the compiled module, through this module
# only: its block runner, the runner's stop flag and the names of the
# runner's outcome rows, control columns, kinds of environment columns and
# controllers, and the standard air.
run_block = _native.run_block
StopFlag = _native.StopFlag
standard_air = _native.standard_air
BLOCK_OUTCOMES: Final = _native.BLOCK_OUTCOMES
CONTROL_COLUMNS: Final = _native.CONTROL_COLUMNS
COMPUTER_COLUMNS: Final = _native.COMPUTER_COLUMNS
ENVIRONMENT_COLUMNS: Final = _native.ENVIRONMENT_COLUMNS
BLOCK_CONTROLLERS: Final = _native.BLOCK_CONTROLLERS
FLIGHT_STATUS: Final = _native.FLIGHT_STATUS
INVERSE_STATUS: Final = _native.INVERSE_STATUS
CONTROLLER: Final = _native.CONTROLLER
TICK_COLUMNS: Final = _native.TICK_COLUMNS
#: The fastest a controller may tick (Hz).
MAX_CONTROL_RATE: Final = _native.MAX_CONTROL_RATE
#: The fastest a raw sensor may sample (Hz).
MAX_SENSOR_RATE: Final = _native.MAX_SENSOR_RATE
SAMPLE_COLUMNS: Final = _native.SAMPLE_COLUMNS
OK: Final = FLIGHT_STATUS["OK"]
_EMPTY: Final = np.empty(0)


def craft(properties: Sequence[float], drag_mach: object = None, drag_cd: object = None, brake_levels: object = None,
          brake_mach: object = None, brake_cd: object = None, area: float | None = None,
          replace: bool = False) -> Craft:
    """A native vehicle: the rocket's seven properties (in aeso's order),
    a drag table (None: the rocket's cd) and a brake table (None: no brakes;
    ``brake_cd`` row by row, referred to ``area``, or to the rocket's
    area_drag when None)."""
    def floats(values: object) -> np.ndarray:
        return _EMPTY if values is None else np.ascontiguousarray(values, dtype=np.float64).reshape(-1)

    area_ratio = 1.0 if area is None else area / properties[2]
    return Craft(tuple(properties), floats(drag_mach), floats(drag_cd), floats(brake_levels), floats(brake_mach),
                 floats(brake_cd), area_ratio, bool(replace))


def air(values: tuple[float, float, float] | None) -> Air:
    """A native air: the day's standard atmosphere of (site_elevation,
    temperature_offset, pad_pressure), or aeso's constant air for None."""
    from .atmosphere import SEA_LEVEL_DENSITY

    return _native.Air(0, SEA_LEVEL_DENSITY) if values is None else _native.Air(1, *values)


def schedule(times: object, levels: object) -> Schedule:
    """A native schedule of levels against time."""
    return Schedule(np.ascontiguousarray(times, dtype=np.float64), np.ascontiguousarray(levels, dtype=np.float64))


def step(timestep_config: aeso.FixedTimeStep | aeso.AdaptiveTimeStep | None) -> _Step:
    """Step options as plain values, checked: (dt,), (dt, dt_min, dt_max,
    absolute tolerance, relative tolerance) or None."""
    import aeso

    if timestep_config is None:
        return None
    if isinstance(timestep_config, aeso.FixedTimeStep):
        return (_checks.positive("timestep_config.dt", timestep_config.dt),)
    if isinstance(timestep_config, aeso.AdaptiveTimeStep):
        t = timestep_config
        dt = _checks.positive("timestep_config.dt", t.dt)
        dt_min = _checks.positive("timestep_config.dt_min", t.dt_min)
        dt_max = _checks.positive("timestep_config.dt_max", t.dt_max)
        if dt_min > dt_max:
            raise ValueError(f"timestep_config.dt_min {dt_min!r} exceeds dt_max {dt_max!r}")
        return (dt, dt_min, dt_max,
                _checks.non_negative("timestep_config.absolute_error_tolerance", t.absolute_error_tolerance),
                _checks.non_negative("timestep_config.relative_error_tolerance", t.relative_error_tolerance))
    raise TypeError(
        f"timestep_config must be an aeso.FixedTimeStep, aeso.AdaptiveTimeStep or None, "
        f"not {type(timestep_config).__name__}"
    )


def flight(vehicle: Craft, air: Air, dof: int, method: int, step_options: _Step, max_iterations: int) -> _Flight:
    """How a flight is flown: (craft, air, dof, method, step, max_iterations)."""
    return (vehicle, air, dof, method, step_options, max_iterations)


def predictor(how: _Flight, drag_scale: float = 1.0) -> _Predictor:
    """What a controller predicts with: a flight and the factor on its drag."""
    return (how, drag_scale)


def aim(target: float, barometric: bool = False, learn_drag: bool = False,
        drag_prior_sd: float = 0.1) -> tuple[float, bool, bool, float]:
    """A predicting controller's aim: its target, whether it is an
    altimeter's reading in the predictor's air, and whether (and from what
    prior sd) it learns a factor on its drag in flight."""
    return (target, barometric, learn_drag, drag_prior_sd)


def predictive(aims: tuple[float, bool, bool, float], predicts: _Predictor) -> _Controller:
    return (CONTROLLER["predictive"], aims, predicts)


def pid(aims: tuple[float, bool, bool, float], predicts: _Predictor, kp: float, ki: float, kd: float) -> _Controller:
    return (CONTROLLER["pid"], aims, predicts, kp, ki, kd)


def replay(levels: Schedule) -> _Controller:
    return (CONTROLLER["schedule"], levels)


def external(callable_: Callable[[float, tuple[float, ...], float], float]) -> _Controller:
    return (CONTROLLER["external"], callable_)


def raw_sensors(barometer: tuple[float, ...], mach_error: Schedule | None,
                accelerometer: tuple[float, ...], flight_air: Air, believed_air: Air,
                pad_pressure: float, settings: tuple[float, ...], prior: tuple[float, ...]) -> tuple[object, ...]:
    """A flight computer's raw sensors: the barometer's (rate, noise_sd, lag,
    resolution) and its port's error against Mach (a native schedule over
    Mach numbers, or None), the accelerometer's (rate, noise_sd, bias,
    scale_error), the flight's air, and the estimator's air, pad pressure,
    settings and prior (as _native.estimate takes them)."""
    return (barometer, mach_error, accelerometer, flight_air, believed_air, pad_pressure, settings, prior)


def control(rate: float, rate_limit: float, lag: float, delay: float, initial: float, height_sd: float,
            velocity_sd: float, velocity_scale: float, correlation_time: float) -> tuple[float, ...]:
    """The actuator and sensor values of a controlled flight, with its rate."""
    return (rate, rate_limit, lag, delay, initial, height_sd, velocity_sd, velocity_scale, correlation_time)


def layout(model: int, speed_and_angle: bool, method: int, step_columns: int, max_iterations: int, environment: int,
           drag_scale: bool, deployment: bool, controller: str | None, vehicle: Craft, air: Air | None,
           levels: Schedule | None, predicts: _Predictor | None, seed: int, first: int, barometric: bool = False,
           learn_drag: bool = False, computer: tuple[Air, float, Schedule | None] | None = None
           ) -> tuple[object, ...]:
    """The layout of a study block for run_block: how its rows' columns are
    laid out and what its flights share. A predicting controller aims at the
    altimeter's reading when `barometric`; `computer`, when the rows carry
    a flight computer's columns (COMPUTER_COLUMNS, see raw_sensors'
    RawSensors._values): the air it believes in, the pad pressure it
    believes and its barometer's port error (a native Schedule over Mach, or
    None); its controller learns its drag when `learn_drag`."""
    kind = 0 if controller is None else CONTROLLER[controller]
    believed, pad, mach_error = computer if computer is not None else (None, 0.0, None)
    return (model, int(speed_and_angle), method, step_columns, max_iterations, environment, int(drag_scale),
            int(deployment), int(controller is not None), kind, vehicle, air, levels, predicts, seed, first,
            int(barometric), int(learn_drag), int(computer is not None), believed, pad, mach_error)
