"""The description of a dispersion study, checked and reduced to its plain form.

A study has three sections, named as in the configuration file:

- ``rocket``: the seven properties of ``aeso.Rocket``;
- ``initial_state``: for the 1-DOF model ``initial_height`` and
  ``initial_velocity``; for the 3-DOF model ``angle`` and the velocity, given
  either as ``vx`` and ``vy`` or as ``speed``, plus ``x``, ``y`` and
  ``angular_rate`` (each 0.0 when left out);
- ``solver``: ``method`` ("Euler", "RK3" or "RK45"), ``max_iterations`` and
  the step options: ``dt`` for Euler and RK3 (0.01 when left out); ``dt``,
  ``dt_min``, ``dt_max``, ``absolute_error_tolerance`` and
  ``relative_error_tolerance`` for RK45 (each one left out takes its value
  from ``aeso.AdaptiveTimeStep.default()``).

Every numeric value except ``max_iterations`` may be a distribution instead of
a number.

Launch speed and angle (3-DOF): ``angle`` is the module's pitch angle, in
radians from the vertical, positive turning the nose towards -x. With
``speed`` the velocity points along the body axis, the direction the nose
points in: ``vx = -speed * sin(angle)``, ``vy = speed * cos(angle)``,
computed per sample from that sample's speed and angle.
"""

import copy
import hashlib
import math
import os
import time
from types import MappingProxyType
from collections.abc import Mapping

import numpy as np

import aeso

from . import domains, real_air
from .backends import Collector, backend_named, progress_bar
from .distributions import CONSTANT, DISTRIBUTIONS, N_PARAMS
from .inputs import (METHODS, MODELS, ROCKET_KEYS, STATE_1DOF_KEYS, STATE_3DOF_KEYS, STATE_3DOF_OPTIONAL,
                     STATE_3DOF_SPEED_KEYS, check_keys, number_or_distribution, step_options)
from .errors import StudyError
from .output import check_memory, open_output
from .copula import Correlation, CorrelationError
from .plan import Plan
from .outcomes import OUTCOMES, names_of_study
from .outcomes import kind as outcome_kind
from .results import DispersionResult
from .stopping import StoppingRule, Tracker
from .summary import Reporting

DEFAULT_BLOCK_SIZE = 1000


def _section(name, given, allowed, required):
    """Checks a section's keys; returns {key: float or distribution}."""
    if not isinstance(given, Mapping):
        raise StudyError(name, f"must be a table of values, not {type(given).__name__}")
    check_keys(name, given, allowed)
    values = {key: number_or_distribution(f"{name}.{key}", value) for key, value in given.items()}
    for key in required:
        if key not in given:
            raise StudyError(f"{name}.{key}", "missing")
    return values


def _rocket_section(rocket):
    if isinstance(rocket, aeso.Rocket):
        props = rocket.rocket_properties
        rocket = {key: getattr(props, key) for key in ROCKET_KEYS}
    return _section("rocket", rocket, ROCKET_KEYS, ROCKET_KEYS)


def _state_section(model, state):
    if isinstance(state, (aeso.InitialState1DOF, aeso.InitialState3DOF)):
        fields = STATE_1DOF_KEYS if isinstance(state, aeso.InitialState1DOF) else STATE_3DOF_KEYS
        state = {key: getattr(state, key) for key in fields}
    if model == "1dof":
        return STATE_1DOF_KEYS, _section("initial_state", state, STATE_1DOF_KEYS, STATE_1DOF_KEYS)
    allowed = ("x", "y", "angle", "vx", "vy", "speed", "angular_rate")
    if isinstance(state, Mapping) and "speed" in state:
        for key in ("vx", "vy"):
            if key in state:
                raise StudyError(f"initial_state.{key}", "give either speed or vx and vy, not both")
        keys, required = STATE_3DOF_SPEED_KEYS, ("angle", "speed")
    else:
        keys, required = STATE_3DOF_KEYS, ("angle", "vx", "vy")
    section = _section("initial_state", state, allowed, required)
    for key in STATE_3DOF_OPTIONAL:
        section.setdefault(key, 0.0)
    return keys, section


def _solver_section(solver):
    if not isinstance(solver, Mapping):
        raise StudyError("solver", f"must be a table of values, not {type(solver).__name__}")
    solver = dict(solver)
    if "method" not in solver:
        raise StudyError("solver.method", "missing")
    method = solver.pop("method")
    if isinstance(method, aeso.OdeMethod):
        method = str(method).rsplit(".", 1)[-1]
    if method not in METHODS:
        raise StudyError("solver.method", f"must be one of {', '.join(METHODS)}, not {method!r}")
    max_iterations = solver.pop("max_iterations", 100000)
    if isinstance(max_iterations, bool) or not isinstance(max_iterations, int):
        raise StudyError("solver.max_iterations", f"must be an integer, not {type(max_iterations).__name__}")
    if not 0 <= max_iterations < 2**64:
        raise StudyError("solver.max_iterations", f"must be from 0 to 2**64 - 1, not {max_iterations}")
    step_keys, defaults = step_options(method)
    allowed = ("method", "max_iterations") + step_keys
    steps = _section("solver", solver, allowed, ())
    kind = "default" if not steps else ("adaptive" if method == "RK45" else "fixed")
    return method, max_iterations, kind, step_keys, {**defaults, **steps}


class Study:
    """A dispersion study: nominal rocket, initial state and solver, some of
    whose numeric inputs are distributions.

    The arguments are the sections of a study file (see
    :func:`load_study`); every value is checked against its input's
    physical domain when the study is built.

    Parameters
    ----------
    rocket : dict or aeso.Rocket
        The seven properties of ``aeso.Rocket``, each a number or a
        distribution; a ``Rocket`` gives fixed values.
    initial_state : dict or aeso.InitialState1DOF or aeso.InitialState3DOF
        1-DOF: ``initial_height`` and ``initial_velocity``. 3-DOF: ``angle``
        and either ``vx`` and ``vy`` or ``speed`` along the body axis (then
        ``vx = -speed sin(angle)``, ``vy = speed cos(angle)`` per sample),
        and ``x``, ``y``, ``angular_rate`` (0.0 when left out). An initial
        state object gives fixed values.
    solver : dict
        ``method`` ("Euler", "RK3", "RK45" or an ``aeso.OdeMethod``),
        ``max_iterations`` (an integer, default 100000) and the step
        options: ``dt`` for Euler and RK3 (default 0.01); ``dt``,
        ``dt_min``, ``dt_max``, ``absolute_error_tolerance``,
        ``relative_error_tolerance`` for RK45 (defaults from
        ``aeso.AdaptiveTimeStep.default()``).
    model : {"3dof", "1dof"}, default "3dof"
        Planar flight with attitude, or vertical flight.
    n : int, optional
        The default sample count of :meth:`run`.
    seed : int, optional
        The default seed of :meth:`run`; without one, each run draws a fresh
        seed, kept in its result.
    block_size : int, default 1000
        Samples per block; part of what the samples depend on.
    allow_negative : sequence of str, default ()
        Inputs among "cd" and "cl_a" whose domain is widened to every finite
        value.
    correlation : dict, optional
        ``{"inputs": [names], "matrix": [[...]]}``: rank correlations of
        dispersed inputs, drawn through a Gaussian copula.
    confidence : float, optional
        Level of every confidence interval (default 0.95).
    percentiles : sequence of float, optional
        The percentiles reported (default 1, 5, 50, 95, 99).
    thresholds : sequence of float or str, optional
        Values H of the apogee, or "OUTCOME:H": P(outcome > H) and
        P(outcome < H) are reported.
    until : str, optional
        The default stopping rule of :meth:`run`, such as "p99=1.0".
    environment : dict, optional
        Keyword only, as the rest. The day's standard atmosphere:
        ``site_elevation`` (m above sea level, default 0), and
        ``temperature_offset`` (K, default 0) or the pad's
        ``pad_temperature`` (K) and ``pad_pressure`` (Pa, default the
        standard at the site); each a number or a distribution. Without
        it, flights in the real air fly aeso's constant air.
    drag : dict, optional
        A drag table against Mach, ``mach`` and ``cd`` (or ``file``, a CSV
        file), and ``scale``, a factor on the drag coefficient of the body
        and the brakes (in 3-DOF not on the angle of attack's ``cl_a`` *
        alpha term; a number or a distribution).
    brakes : dict, optional
        Air brakes: a table (``file``, or ``levels``, ``mach`` and ``cd``),
        ``replace``, ``area`` and, for uncontrolled flights, the fixed
        ``deployment``.
    control : dict, optional
        The brakes' controller: ``controller`` ("predictive", "pid" or
        "schedule"), ``target`` and ``rate``, the gains ``kp``, ``ki``,
        ``kd`` (PID), ``times`` and ``levels`` (schedule), ``predictor``
        (a dict: ``model`` and step options), the actuator's
        ``rate_limit``, ``lag``, ``delay``, ``initial`` and the sensors'
        ``height_sd``, ``velocity_sd``, ``velocity_scale``,
        ``correlation_time``; each number may be a distribution.
    within : sequence of str or float, optional
        Values TOL, or "OUTCOME:TOL", of ``P(|outcome| <= TOL)`` to report
        (a number: of the miss).
    source, source_sha256 : str, optional
        The study file it was read from, and its SHA-256 (:func:`load_study`
        gives them); file names in the sections are relative to the study
        file's directory.

    A study is immutable once built: :meth:`replace` gives a study with
    another n, seed, reporting or stopping rule. Its ``files`` are those it
    reads, ``(what, path)``: the study file and its table files, which no
    output may replace.

    Raises
    ------
    StudyError
        An unknown or missing key, a wrong type, a value outside its domain,
        an invalid correlation matrix or statistic; the message names the
        key and the problem.

    Examples
    --------
    >>> from aeso_dispersion import Study, normal, uniform
    >>> study = Study(
    ...     rocket=dict(mass=normal(20.0, 0.4), cd=normal(0.45, 0.03), area_drag=0.0081,
    ...                 area_lift=0.0081, moment_of_inertia=8.5,
    ...                 stab_margin_dimensional=0.25, cl_a=2.0),
    ...     initial_state=dict(angle=normal(0.05, 0.01), speed=uniform(240.0, 260.0)),
    ...     solver=dict(method="RK45"),
    ... )
    >>> study.dispersed
    ('rocket.mass', 'rocket.cd', 'initial_state.angle', 'initial_state.speed')
    >>> result = study.run(n=1000, seed=1, workers=2)
    >>> result.n, int(result.failed.sum())
    (1000, 0)
    """

    def __init__(self, rocket, initial_state, solver, model="3dof", n=None, seed=None,
                 block_size=DEFAULT_BLOCK_SIZE, allow_negative=(), correlation=None,
                 confidence=None, percentiles=None, thresholds=None, until=None, *, environment=None,
                 drag=None, brakes=None, control=None, within=None, source=None, source_sha256=None):
        if model not in MODELS:
            raise StudyError("study.model", f"must be one of {', '.join(MODELS)}, not {model!r}")
        self.allow_negative = _check_widened(allow_negative)
        self.n = _check_count("study.n", n, allow_none=True)
        self.seed = _check_seed("study.seed", seed)
        self.block_size = _check_count("study.block_size", block_size)
        self.model = model
        self.rocket = _rocket_section(rocket)
        state_keys, self.initial_state = _state_section(model, initial_state)
        method, max_iterations, kind, step_keys, self.solver = _solver_section(solver)
        self.method, self.max_iterations = method, max_iterations

        inputs = ([("rocket", k, self.rocket[k]) for k in ROCKET_KEYS]
                  + [("initial_state", k, self.initial_state[k]) for k in state_keys]
                  + [("solver", k, self.solver[k]) for k in step_keys])
        if kind == "default" and any(isinstance(v, DISTRIBUTIONS) for _, _, v in inputs[-len(step_keys):]):
            kind = "adaptive" if method == "RK45" else "fixed"
        base = os.path.dirname(source) if source else "."
        air = real_air.sections(model, method, max_iterations, self.rocket, environment, drag, brakes, control,
                                base)
        state_end = len(ROCKET_KEYS) + len(state_keys)
        # Without step options in the study the runs take the method's
        # defaults, and the plan has no step columns.
        columns = inputs if kind != "default" else inputs[:state_end]
        step_end = len(columns)
        if air is not None:
            inputs, columns = inputs + air.inputs, columns + air.columns
        _check_domains(model, method, inputs, self.allow_negative)
        keys = tuple(k for _, k, _ in columns)
        drawn = [isinstance(v, DISTRIBUTIONS) for _, _, v in columns]
        unbounded = [d and not v.bounded for d, (_, _, v) in zip(drawn, columns)]
        values = [v.nominal if d else v for d, (_, _, v) in zip(drawn, columns)]
        codes = [v.code if d else CONSTANT for d, (_, _, v) in zip(drawn, columns)]
        params = [v.params if d else (0.0,) * N_PARAMS for d, (_, _, v) in zip(drawn, columns)]
        self._distributions = MappingProxyType({f"{s}.{k}": v for s, k, v in inputs
                                                if isinstance(v, DISTRIBUTIONS)})
        self.dispersed = tuple(self._distributions)
        self.controlled = False if air is None or air.setting.control is None else air.setting.control.kind
        self.correlation = _correlation(correlation, self.dispersed)
        self.reporting = check_reporting(_reporting(confidence, percentiles, thresholds, within), model,
                                         "statistics.thresholds", self.controlled, "statistics.within")
        self.until = check_until("statistics.until", until, model, self.controlled)
        correlated = ()
        if self.correlation is not None:
            correlated = (tuple(self.dispersed.index(name) for name in self.correlation.names),
                          tuple(map(tuple, self.correlation.factor.tolist())))
        self.plan = Plan(
            model=model, method=method, step_kind=kind, speed_and_angle="speed" in state_keys,
            names=keys,
            rocket=slice(0, len(ROCKET_KEYS)), state=slice(len(ROCKET_KEYS), state_end),
            step=slice(state_end, step_end),
            values=np.array(values, dtype=np.float64),
            codes=np.array(codes, dtype=np.int64),
            params=np.array(params, dtype=np.float64).reshape(len(columns), N_PARAMS),
            max_iterations=max_iterations, block_size=self.block_size,
            checks=domains.sample_checks(model, keys, drawn, unbounded, self.allow_negative),
            correlation=correlated,
            setting=None if air is None else air.setting,
            open_columns=tuple(j for j in range(step_end, len(columns))
                               if not drawn[j] and not math.isfinite(values[j])))
        self.fixed = MappingProxyType({f"{s}.{k}": v for s, k, v in inputs if not isinstance(v, DISTRIBUTIONS)})
        self.rocket, self.initial_state, self.solver = (MappingProxyType(section) for section in
                                                        (self.rocket, self.initial_state, self.solver))
        # The study file and its SHA-256 when the study was read from one.
        self.source, self.source_sha256 = source, source_sha256
        # The files the study reads, which no output may replace.
        self.files = tuple((what, path) for what, path in [("the study file", source)]
                           + list(air.files if air is not None else ()) if path is not None)
        self._built = True

    def __setattr__(self, name, value):
        if self.__dict__.get("_built"):
            raise AttributeError(f"a Study is immutable once built: study.replace({name}=...) gives "
                                 f"a study with another {name}")
        super().__setattr__(name, value)

    def replace(self, **changes):
        """A study like this one with another n, seed, reporting or stopping rule.

        A study is immutable once built; this gives a new one that shares
        everything else (its plan, its study file).

        Parameters
        ----------
        **changes
            Any of ``n`` (int or None), ``seed`` (int or None),
            ``reporting`` (a ``summary.Reporting``) and ``until`` (a
            stopping rule such as "p99=1.0", or None), each checked as when
            a study is built.

        Returns
        -------
        Study

        Raises
        ------
        StudyError
            An invalid value, or a threshold of an outcome the model does
            not give.
        TypeError
            Another keyword.

        Examples
        --------
        >>> from aeso_dispersion import load_study
        >>> study = load_study("examples/dispersion_study.toml")
        >>> study.replace(n=500).n, study.n
        (500, 10000)
        """
        checks = {"n": lambda v: _check_count("study.n", v, allow_none=True),
                  "seed": lambda v: _check_seed("study.seed", v),
                  "reporting": lambda v: check_reporting(v, self.model, "reporting", self.controlled),
                  "until": lambda v: check_until("until", v, self.model, self.controlled)}
        unknown = set(changes) - set(checks)
        if unknown:
            raise TypeError(f"replace() takes n, seed, reporting and until, not {', '.join(sorted(unknown))}")
        study = copy.copy(self)
        study.__dict__.update({name: checks[name](value) for name, value in changes.items()})
        return study

    @property
    def fingerprint(self):
        """SHA-256 (hexadecimal) of everything the samples and their runs
        depend on but the seed: two studies with the same fingerprint, seed
        and block size give the same results."""
        plan = self.plan
        described = (plan.model, plan.method, plan.step_kind, plan.speed_and_angle, plan.names,
                     plan.max_iterations, plan.block_size, plan.checks, plan.correlation)
        if plan.setting is not None:  # the real air's tables and settings
            described += (plan.setting, plan.open_columns)
        digest = hashlib.sha256(repr(described).encode())
        for array in (plan.values, plan.codes, plan.params):
            digest.update(np.ascontiguousarray(array).tobytes())
        return digest.hexdigest()

    def run(self, n=None, seed=None, backend="threads", workers=None, progress=None, output=None,
            resume=False, overwrite=False, until=None, **options):
        """Draws and flies the samples of the study.

        Parameters
        ----------
        n : int, optional
            Number of samples (default: the study's `n`); with `until`, the
            maximum.
        seed : int, optional
            Seed of the draws (default: the study's `seed`, else a fresh one,
            kept in the result).
        backend : {"threads", "dask"} or Threads or Dask, default "threads"
            Where the blocks run: a backend object, or a shorthand: "threads"
            (a pool of `workers` threads) or "dask" (a local cluster of
            `workers` processes, or `options` for :class:`Dask`).
        workers : int, optional
            With a shorthand backend: threads, or local Dask workers (default:
            the number of cores).
        progress : bool, optional
            A progress bar on standard error (needs tqdm); None (the default)
            shows one only when standard error is a terminal.
        output : str or os.PathLike, optional
            A results file written while the study runs, block by block in
            sample order, to a journal beside it (``PATH.partial``) that
            becomes the file when the study ends: CSV, or Parquet for a path
            ending in ``.parquet``. An existing file or journal there is
            refused unless `resume` or `overwrite` is given.
        resume : bool, default False
            Keep every row that an earlier, interrupted run of the same
            study, seed and block size left in `output` (each checked
            against the seed's samples), and run the rest; a stopping rule
            met within those rows ends the study with all of them.
        overwrite : bool, default False
            Replace an existing `output`; the old file stays until the new
            study is complete.
        until : str, optional
            A stopping rule such as "p99=1.0" (default: the study's): the
            study stops after the first round of blocks whose samples meet
            it, and `n` is the maximum.
        **options
            With ``backend="dask"``: the keyword arguments of :class:`Dask`.

        Returns
        -------
        DispersionResult
            The samples and outcomes of every run; with a stopping rule,
            exactly the samples up to the stop, and its ``stopping``
            attribute says how the rule ended.

        Raises
        ------
        StudyError
            An invalid `n`, `seed`, `until`, backend name, output path, or a
            results file that does not belong to this study.
        DispersionError
            The backend could not run the study (a Dask scheduler that does
            not answer, a worker that fails or is lost).
        MissingExtra
            A feature needs an extra that is not installed.
        TypeError
            `workers` or `options` given with a backend object.
        KeyboardInterrupt
            Ctrl-C: running flights stop within about a second; with
            `output`, the finished blocks are kept.

        Examples
        --------
        >>> from aeso_dispersion import Threads, load_study
        >>> study = load_study("examples/dispersion_study.toml")
        >>> result = study.run(n=2000, seed=1, backend=Threads(workers=2))
        >>> result.n, result.seed
        (2000, 1)
        """
        n = _check_count("n", self.n if n is None else n)
        seed = _check_seed("seed", self.seed if seed is None else seed)
        until = check_until("until", until, self.model, self.controlled) or self.until
        if seed is None:
            seed = int(np.random.SeedSequence().entropy)
        if isinstance(backend, str):
            backend = backend_named(backend, workers, **options)
        elif workers is not None or options:
            raise TypeError("workers and backend options belong to the backend object")
        check_memory(n, len(self.dispersed) + len(OUTCOMES) + 2)
        writer = previous = bar = None
        if output is not None:
            writer, previous = open_output(output, self, seed, n, resume, overwrite)
        finished = False
        try:
            bar = progress_bar(progress, n)
            tracker = None
            if until is not None:
                tracker = Tracker(until, n, self.block_size, self.reporting.level)
            collector = Collector(self.plan, n, bar, writer, self.dispersed, tracker)
            if previous is not None:
                collector.add_previous(previous)
            started = time.perf_counter()
            workers = backend.run(self.plan, seed, n, collector)
            finished = True
        finally:
            if bar is not None:
                bar.close()
            if writer is not None and not finished:
                writer.close()
        elapsed = time.perf_counter() - started
        runs = collector.runs.head(collector.kept)
        if writer is not None:
            writer.finish(runs)
        return DispersionResult(study=self, runs=runs, seed=seed, backend=backend.name, workers=workers,
                                elapsed=elapsed, stopping=None if tracker is None else tracker.outcome())

    @property
    def distributions(self):
        """{"section.key": distribution} of the dispersed inputs, in study
        order, as the results file records them."""
        return self._distributions

    @property
    def outcome_names(self):
        """The names of the per-run outcomes this study gives: apogee,
        time_of_apogee, for 3-DOF downrange and speed_at_apogee, and for a
        controlled study miss, final_deployment and deployment_travel."""
        return names_of_study(self.model, self.controlled)

    @property
    def kind(self):
        """The study's kind in messages: "3dof", "controlled 1dof", ..."""
        return outcome_kind(self.model, self.controlled)

    def __repr__(self):
        return (f"Study(model={self.model!r}, method={self.method!r}, "
                f"dispersed={list(self.dispersed)!r})")


def _correlation(given, dispersed):
    """A copula.Correlation from {"inputs": [...], "matrix": [[...]]} or a
    pair (inputs, matrix); inputs by "section.key" or key, all dispersed."""
    if given is None:
        return None
    if isinstance(given, Correlation):
        given = (given.names, given.matrix)
    if isinstance(given, Mapping):
        if set(given) != {"inputs", "matrix"}:
            raise StudyError("correlation", "needs exactly the keys inputs (names of dispersed "
                                            "inputs) and matrix (their rank correlations)")
        names, matrix = given["inputs"], given["matrix"]
    else:
        try:
            names, matrix = given
        except (TypeError, ValueError):
            raise StudyError("correlation", "must be a table with inputs and matrix") from None
    if isinstance(names, str) or not all(isinstance(name, str) for name in names):
        raise StudyError("correlation.inputs", "must be an array of input names")
    resolved = []
    for name in names:
        found = [full for full in dispersed if name in (full, full.split(".", 1)[1])]
        if not found:
            raise StudyError("correlation.inputs", f"{name!r} is not a dispersed input (these are: "
                                                   f"{', '.join(dispersed) or 'none'})")
        resolved.append(found[0])
    try:
        return Correlation.make(resolved, matrix)
    except CorrelationError as exc:
        raise StudyError("correlation.matrix", str(exc)) from None


def stopping_rule(key, rule):
    """A stopping.StoppingRule from its text (or itself); None stays None."""
    if rule is None or isinstance(rule, StoppingRule):
        return rule
    if not isinstance(rule, str):
        raise StudyError(key, f"must be a rule such as 'p99=1.0', not {rule!r}")
    try:
        return StoppingRule.parse(rule)
    except ValueError as exc:
        raise StudyError(key, str(exc)) from None


def check_until(key, rule, model, controlled=False):
    """The stopping rule `rule` (its text, or itself; None stays None) once
    its statistic names an outcome of the study; StudyError keyed `key`."""
    rule = stopping_rule(key, rule)
    outcomes = names_of_study(model, controlled)
    if rule is not None and rule.statistic.outcome not in outcomes:
        raise StudyError(key, f"no outcome {rule.statistic.outcome!r} in a {outcome_kind(model, controlled)} "
                              f"study (these are: {', '.join(outcomes)})")
    return rule


def check_reporting(reporting, model, key, controlled=False, within_key=None):
    """`reporting`, once every threshold (the error keyed `key`) and
    tolerance (`within_key`, default `key`) names an outcome of the study."""
    outcomes = names_of_study(model, controlled)
    for threshold, at in [(t, key) for t in reporting.thresholds] + [(t, within_key or key) for t in reporting.within]:
        if threshold.outcome not in outcomes:
            raise StudyError(at, f"no outcome {threshold.outcome!r} in a {outcome_kind(model, controlled)} "
                                  f"study (these are: {', '.join(outcomes)})")
    return reporting


def _reporting(confidence, percentiles, thresholds, within=None):
    for key, value in (("percentiles", percentiles), ("thresholds", thresholds), ("within", within)):
        if value is not None and (isinstance(value, (str, bytes)) or not hasattr(value, "__iter__")):
            raise StudyError(f"statistics.{key}", f"must be an array, not {value!r}")
    try:
        return Reporting.make(confidence, percentiles, thresholds, within)
    except ValueError as exc:
        raise StudyError("statistics", str(exc)) from None


def _check_widened(keys):
    if isinstance(keys, str):
        keys = (keys,)
    keys = tuple(keys)
    for key in keys:
        if key not in domains.WIDENABLE:
            raise StudyError("study.allow_negative",
                             f"only {', '.join(domains.WIDENABLE)} may take negative values, not {key!r}")
    return keys


def _check_domains(model, method, inputs, widened):
    """Refuses fixed values and bounded distributions outside their domains."""
    for section, key, value in inputs:
        if isinstance(value, DISTRIBUTIONS):
            problem = domains.check_distribution(model, key, value, widened)
        else:
            problem = domains.check_fixed(model, key, value, widened)
        if problem:
            raise StudyError(f"{section}.{key}", problem)
    given = {key: value for _, key, value in inputs}
    for a, b in domains.ORDERED:
        low, high = given.get(a), given.get(b)
        if isinstance(low, float) and isinstance(high, float) and low > high:
            raise StudyError(f"solver.{a}", f"{low!r} exceeds {b} ({high!r}): every run would fail")
        if isinstance(low, DISTRIBUTIONS) and isinstance(high, float) and low.bounded \
                and low.support[0] > high:
            raise StudyError(f"solver.{a}", f"every draw exceeds {b} ({high!r}): every run would fail")
    for site_key, key in (domains.PAD_TEMPERATURE, domains.PAD_PRESSURE):
        site, value = given.get(site_key), given.get(key)
        if not isinstance(site, float) or value is None:
            continue  # a drawn site: every sample is checked
        if isinstance(value, float):
            problem = domains.check_pad(key, site, value)
        elif value.bounded:
            problem = next((f"its bound {problem}" for problem in (domains.check_pad(key, site, end)
                                                                   for end in value.support) if problem), None)
        else:
            problem = None
        if problem:
            raise StudyError(f"environment.{key}", problem)
    speed, angle = (given.get(key) for key in domains.SPEED_AND_ANGLE)
    if isinstance(speed, float) and isinstance(angle, float):
        problem = domains.check_vertical(speed, angle)
        if problem:
            raise StudyError("initial_state.speed", problem)


def _check_count(key, value, allow_none=False):
    if value is None and allow_none:
        return None
    if value is None:
        raise StudyError(key, "missing: give the number of samples")
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise StudyError(key, f"must be an integer, not {type(value).__name__}")
    if value <= 0:
        raise StudyError(key, f"must be > 0, got {value}")
    return int(value)


def _check_seed(key, value):
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 0:
        raise StudyError(key, f"must be a non-negative integer, not {value!r}")
    return int(value)
