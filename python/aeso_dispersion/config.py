"""Reading a study from a TOML file.

    [study]                 # optional: model ("1dof"/"3dof", default "3dof"),
    model = "3dof"          #   n, seed, block_size
    n = 10000
    seed = 1

    [rocket]                # the seven properties of aeso.Rocket
    mass = { distribution = "normal", mean = 20.0, std = 0.4 }
    cd = { distribution = "uniform", low = 0.42, high = 0.48 }
    area_drag = 0.0081
    ...

    [initial_state]         # see aeso_dispersion.study for the keys
    angle = { distribution = "normal", mean = 0.05, std = 0.01 }
    speed = 250.0

    [solver]
    method = "RK45"
    max_iterations = 100000

    [statistics]            # optional: confidence (level of the intervals,
    confidence = 0.95       #   default 0.95), percentiles (default 1, 5,
    thresholds = [3048.0]   #   50, 95, 99), thresholds ("OUTCOME:H" or a
    until = "p99=1.0"       #   number for the apogee), until (stopping rule)

    [correlation]           # optional: rank correlations of dispersed inputs
    inputs = ["mass", "moment_of_inertia"]
    matrix = [[1.0, 0.6], [0.6, 1.0]]

    [environment]           # optional: the day's standard atmosphere
    site_elevation = 1401.0
    temperature_offset = { distribution = "normal", mean = 0.0, std = 5.0 }

    [drag]                  # optional: drag against Mach, and a factor on it
    file = "drag.csv"       #   (or mach = [...] and cd = [...])
    scale = { distribution = "normal", mean = 1.0, std = 0.05 }

    [brakes]                # optional: air brakes
    file = "brakes.csv"     #   (or levels, mach and cd)
    deployment = 0.5        #   uncontrolled: a fixed level

    [control]               # optional: the brakes' controller
    controller = "predictive"
    target = 3048.0
    rate = 20.0
    rate_limit = 2.0        #   actuator: rate_limit, lag, delay, initial
    velocity_sd = 1.0       #   sensors: height_sd, velocity_sd, velocity_scale,
    [control.predictor]     #     correlation_time
    model = "1dof"
    [control.barometer]     # optional: a flight computer on board (with
    noise_sd = 2.0          #   [control.accelerometer], [control.estimator];
    rate = 50.0             #   frame, learn_drag, drag_prior_sd in [control])

(see real_air for every key).
A value is a number or a distribution table: normal (mean, std, optional
low and high), lognormal (log_mean, log_std, optional low and high), uniform
(low, high) or triangular (low, mode, high). Every value must lie in its
input's domain (see domains); `allow_negative = ["cd", "cl_a"]` in [study]
widens the domains of those two inputs to every finite value. Every error
names the file, the key and the problem.
"""

import hashlib
import tomllib
from collections.abc import Mapping

from .distributions import KINDS
from .errors import StudyError
from .study import DEFAULT_BLOCK_SIZE, Study

SECTIONS = ("study", "rocket", "initial_state", "solver", "statistics", "correlation", "environment", "drag",
            "brakes", "control")
STATISTICS_KEYS = ("confidence", "percentiles", "thresholds", "within", "until")
# Keys of a section whose values are settings (a name, a table, a switch)
# rather than numbers or distributions.
SETTINGS = {"solver": ("method",), "drag": ("file", "mach", "cd"),
            "brakes": ("file", "levels", "mach", "cd", "replace"),
            "control": ("controller", "predictor", "times", "levels", "frame", "learn_drag", "believed_air"),
            "control.barometer": ("mach_error",)}
# Tables within a section whose values are numbers or distributions, as a
# section's are.
SUBSECTIONS = {"control": ("barometer", "accelerometer", "estimator")}
STUDY_KEYS = ("model", "n", "seed", "block_size", "allow_negative")


def _distribution(key, table):
    if "distribution" not in table:
        raise StudyError(f"{key}.distribution", "missing: a table value must name its distribution "
                                                f"({', '.join(KINDS)})")
    kind = table["distribution"]
    if kind not in KINDS:
        raise StudyError(f"{key}.distribution", f"must be one of {', '.join(KINDS)}, not {kind!r}")
    cls, names, optional = KINDS[kind]
    for name in table:
        if name != "distribution" and name not in names + optional:
            raise StudyError(f"{key}.{name}", f"unknown key for a {kind} distribution "
                                              f"(expected: {', '.join(names + optional)})")
    args = {}
    for name in names + optional:
        if name not in table:
            if name in optional:
                continue
            raise StudyError(f"{key}.{name}", f"missing (a {kind} distribution needs {', '.join(names)})")
        value = table[name]
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise StudyError(f"{key}.{name}", f"must be a number, not {_toml_type(value)}")
        args[name] = value
    try:
        return cls(**args)
    except (TypeError, ValueError) as exc:
        raise StudyError(key, str(exc)) from None


def _toml_type(value):
    return {str: "a string", bool: "a boolean", list: "an array", dict: "a table"}.get(
        type(value), type(value).__name__)


def _values(section, table):
    """A section's values, with distribution tables turned into distributions."""
    if not isinstance(table, Mapping):
        raise StudyError(section, f"must be a table, not {_toml_type(table)}")
    out = {}
    for key, value in table.items():
        if key in SETTINGS.get(section, ()):
            pass
        elif key in SUBSECTIONS.get(section, ()):
            value = _values(f"{section}.{key}", value)
        elif isinstance(value, Mapping):
            value = _distribution(f"{section}.{key}", value)
        elif isinstance(value, bool) or not isinstance(value, (int, float)):
            raise StudyError(f"{section}.{key}", f"must be a number or a distribution table, "
                                                 f"not {_toml_type(value)}")
        out[key] = value
    return out


def study_from_mapping(data, source=None, source_sha256=None):
    """Builds a Study from parsed TOML data (errors name the key, not the
    file), read from the file `source` of SHA-256 `source_sha256`."""
    for section in data:
        if section not in SECTIONS:
            raise StudyError(section, f"unknown section (expected: {', '.join(SECTIONS)})")
    for section in SECTIONS[1:4]:
        if section not in data:
            raise StudyError(section, "missing section")
    study = data.get("study", {})
    if not isinstance(study, Mapping):
        raise StudyError("study", f"must be a table, not {_toml_type(study)}")
    for key in study:
        if key not in STUDY_KEYS:
            raise StudyError(f"study.{key}", f"unknown key (expected one of: {', '.join(STUDY_KEYS)})")
    model = study.get("model", "3dof")
    if not isinstance(model, str):
        raise StudyError("study.model", f"must be a string, not {_toml_type(model)}")
    allow_negative = study.get("allow_negative", [])
    if not isinstance(allow_negative, list) or not all(isinstance(k, str) for k in allow_negative):
        raise StudyError("study.allow_negative", "must be an array of input names, such as [\"cl_a\"]")
    solver = data["solver"]
    if isinstance(solver, Mapping) and "method" in solver and not isinstance(solver["method"], str):
        raise StudyError("solver.method", f"must be a string, not {_toml_type(solver['method'])}")
    return Study(
        rocket=_values("rocket", data["rocket"]),
        initial_state=_values("initial_state", data["initial_state"]),
        solver=_values("solver", solver),
        model=model,
        n=study.get("n"),
        seed=study.get("seed"),
        block_size=study.get("block_size", DEFAULT_BLOCK_SIZE),
        allow_negative=allow_negative,
        correlation=_correlation(data.get("correlation")),
        **_statistics(data.get("statistics", {})),
        **{section: _values(section, data[section]) for section in ("environment", "drag", "brakes", "control")
           if section in data},
        source=source, source_sha256=source_sha256,
    )


def _correlation(table):
    if table is None:
        return None
    if not isinstance(table, Mapping):
        raise StudyError("correlation", f"must be a table, not {_toml_type(table)}")
    return dict(table)


def _statistics(table):
    """The [statistics] section as Study arguments (until is kept aside, as
    the default stopping rule of the command line)."""
    if not isinstance(table, Mapping):
        raise StudyError("statistics", f"must be a table, not {_toml_type(table)}")
    for key in table:
        if key not in STATISTICS_KEYS:
            raise StudyError(f"statistics.{key}", f"unknown key (expected one of: "
                                                  f"{', '.join(STATISTICS_KEYS)})")
    confidence = table.get("confidence")
    if confidence is not None and (isinstance(confidence, bool) or not isinstance(confidence, (int, float))):
        raise StudyError("statistics.confidence", f"must be a number, not {_toml_type(confidence)}")
    until = table.get("until")
    if until is not None and not isinstance(until, str):
        raise StudyError("statistics.until", f"must be a string such as \"p99=1.0\", not "
                                             f"{_toml_type(until)}")
    return dict(confidence=confidence, percentiles=table.get("percentiles"),
                thresholds=table.get("thresholds"), within=table.get("within"), until=until)


def load_study(path):
    """Reads a study from a TOML file.

    Parameters
    ----------
    path : str or os.PathLike
        The study file: the sections ``[rocket]``, ``[initial_state]`` and
        ``[solver]``, and optionally ``[study]``, ``[statistics]``,
        ``[correlation]``, and for flights in the real air
        ``[environment]``, ``[drag]``, ``[brakes]`` and ``[control]``, as on
        the dispersion studies page. Table files the sections name are
        relative to the study file.

    Returns
    -------
    Study
        The study; its ``source`` and ``source_sha256`` record the file.

    Raises
    ------
    StudyError
        The file cannot be read, is not UTF-8 TOML, or describes an invalid
        study; the message names the file, the key and the problem.

    Examples
    --------
    >>> from aeso_dispersion import load_study
    >>> study = load_study("examples/dispersion_study.toml")
    >>> study.model, study.method, len(study.dispersed)
    ('3dof', 'RK45', 7)
    """
    try:
        with open(path, "rb") as f:
            content = f.read()
    except OSError as exc:
        raise StudyError(None, f"cannot read: {exc.strerror}", file=path) from None
    try:
        data = tomllib.loads(content.decode("utf-8"))
    except UnicodeDecodeError as exc:
        raise StudyError(None, f"not UTF-8 text (byte {exc.start}): a study file is TOML, "
                               f"which is UTF-8", file=path) from None
    except tomllib.TOMLDecodeError as exc:
        raise StudyError(None, f"invalid TOML: {exc}", file=path) from None
    try:
        return study_from_mapping(data, str(path), hashlib.sha256(content).hexdigest())
    except StudyError as exc:
        raise StudyError(exc.key, exc.problem, file=path) from None
