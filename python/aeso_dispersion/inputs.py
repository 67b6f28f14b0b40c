"""The keys of a study's sections and what one input's value may be."""

from collections.abc import Mapping

import aeso

from .distributions import DISTRIBUTIONS
from .errors import StudyError

ROCKET_KEYS = ("mass", "cd", "area_drag", "area_lift", "moment_of_inertia",
               "stab_margin_dimensional", "cl_a")
STATE_1DOF_KEYS = ("initial_height", "initial_velocity")
STATE_3DOF_KEYS = ("x", "y", "angle", "vx", "vy", "angular_rate")
STATE_3DOF_SPEED_KEYS = ("x", "y", "angle", "speed", "angular_rate")
STATE_3DOF_OPTIONAL = ("x", "y", "angular_rate")
FIXED_STEP_KEYS = ("dt",)
ADAPTIVE_STEP_KEYS = ("dt", "dt_min", "dt_max", "absolute_error_tolerance", "relative_error_tolerance")
METHODS = ("Euler", "RK3", "RK45")
MODELS = ("1dof", "3dof")
DEFAULT_FIXED_DT = 0.01


def number_or_distribution(key, value):
    """A study input's value: a float, or a distribution as it is."""
    if isinstance(value, DISTRIBUTIONS):
        return value
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise StudyError(key, f"must be a number or a distribution, not {type(value).__name__}")
    return float(value)


def table(name, given):
    """A section's (or a sub-section's) table, as a dict."""
    if not isinstance(given, Mapping):
        raise StudyError(name, f"must be a table of values, not {type(given).__name__}")
    return dict(given)


def fixed(key, value):
    """A number that the study cannot disperse."""
    if isinstance(value, DISTRIBUTIONS):
        raise StudyError(key, "must be a number: it cannot be dispersed")
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise StudyError(key, f"must be a number, not {type(value).__name__}")
    return float(value)


def check_keys(name, given, allowed):
    """Refuses a key of section `name` that is not `allowed`."""
    for key in given:
        if key not in allowed:
            raise StudyError(f"{name}.{key}", f"unknown key (expected one of: {', '.join(allowed)})")


def step_options(method):
    """(keys, {key: default}) of the step options of `method`."""
    if method == "RK45":
        defaults = aeso.AdaptiveTimeStep.default()
        return ADAPTIVE_STEP_KEYS, {key: getattr(defaults, key) for key in ADAPTIVE_STEP_KEYS}
    return FIXED_STEP_KEYS, {"dt": DEFAULT_FIXED_DT}
