"""Runs blocks of samples: draws their inputs and predicts their apogees.

This is the code every backend's workers execute. It takes and returns only
plain values and NumPy arrays, and imports aeso itself, so a Dask worker in
another process or on another machine runs it from the plain form of a plan.

The inputs of a block are drawn as streams describes: a sample's inputs
depend only on the seed, the block size and its number. A sample whose
drawn values break a domain check (see domains) fails with that reason
without being run.
"""

import math

import numpy as np

import aeso

from . import domains
from .copula import draw_correlated
from .distributions import CONSTANT
from .streams import draw_inputs
from .study import Plan

# Reason codes within a block; 0 means the run succeeded.
OK = 0
ITERATION_LIMIT = "no apogee within max_iterations (InternalError: Index out of bounds)"
NON_FINITE_APOGEE = "non-finite apogee"


def draw_block(plan, seed, block):
    """The dispersed inputs of one whole block, shape (dispersed, block_size)."""
    dispersed = plan.codes != CONSTANT
    names = [domains.qualified(key) for key, d in zip(plan.names, dispersed.tolist()) if d]
    codes, params = plan.codes[dispersed], plan.params[dispersed]
    if not plan.correlation:
        return draw_inputs(names, codes, params, seed, block, plan.block_size)
    # Correlated inputs are drawn through the copula; the others as usual.
    group, factor = plan.correlation
    alone = [j for j in range(len(names)) if j not in group]
    columns = np.empty((len(names), plan.block_size))
    columns[alone] = draw_inputs([names[j] for j in alone], codes[alone], params[alone], seed, block,
                                 plan.block_size)
    columns[list(group)] = draw_correlated([names[j] for j in group], codes[list(group)].tolist(),
                                           params[list(group)].tolist(), factor, seed, block,
                                           plan.block_size)
    return columns


def _reason(exc):
    if type(exc).__name__ == "InternalError" and str(exc) == "Index out of bounds":
        return ITERATION_LIMIT
    return f"{type(exc).__name__}: {exc}"


class _Reasons:
    """Distinct failure reasons of a block, numbered from 1."""

    def __init__(self):
        self.table = {}

    def code(self, reason):
        return self.table.setdefault(reason, len(self.table) + 1)

    def array(self):
        return np.array(list(self.table), dtype=str)


def _rows(full, lo, hi, dispersed):
    """Per-sample argument lists for columns lo:hi when any of them is
    dispersed, else None (the objects are then built once)."""
    return full[:, lo:hi].tolist() if dispersed[lo:hi].any() else None


def _velocity_along_axis(row):
    x, y, angle, speed, angular_rate = row
    return [x, y, angle, -speed * math.sin(angle), speed * math.cos(angle), angular_rate]


def run_block(plan, seed, block, count, stop=None):
    """Runs the first `count` samples of block `block`.

    Returns (inputs, apogees, codes, reasons): the dispersed inputs, shape
    (dispersed, count); the apogees, NaN where a run failed; per sample 0 or
    a 1-based index into `reasons`, an array of failure texts. With `stop`
    (an Event-like object) set, the samples not yet run are left NaN with
    code 0 and the caller discards the block.
    """
    plan = Plan(*plan)
    drawn = draw_block(plan, seed, block)[:, :count]
    dispersed = plan.codes != CONSTANT
    full = np.repeat(plan.values[None, :], count, axis=0)
    full[:, dispersed] = drawn.T

    names = plan.names
    three_dof = plan.model == "3dof"
    n_state = (5 if "speed" in names else 6) if three_dof else 2
    state_end = 7 + n_state
    # Arguments per sample where an input of the object is dispersed; else
    # one object built here and shared by every run of the block.
    rocket_rows = _rows(full, 0, 7, dispersed)
    state_rows = _rows(full, 7, state_end, dispersed)
    step_rows = _rows(full, state_end, len(names), dispersed) if plan.step != "default" else None
    state_class = aeso.InitialState3DOF if three_dof else aeso.InitialState1DOF
    step_class = aeso.AdaptiveTimeStep if plan.step == "adaptive" else aeso.FixedTimeStep
    state0_args = full[0, 7:state_end].tolist()
    if "speed" in names:
        # x, y, angle, speed, angular_rate -> x, y, angle, vx, vy, angular_rate
        state0_args = _velocity_along_axis(state0_args)
        if state_rows is not None:
            state_rows = [_velocity_along_axis(row) for row in state_rows]
    rocket = aeso.Rocket(*full[0, 0:7].tolist()) if rocket_rows is None else None
    state = state_class(*state0_args) if state_rows is None else None
    step = None
    if plan.step != "default" and step_rows is None:
        step = step_class(*full[0, state_end:].tolist())
    predict = aeso.Rocket.predict_apogee_3dof if three_dof else aeso.Rocket.predict_apogee_1dof
    method = getattr(aeso.OdeMethod, plan.method)
    max_iterations = plan.max_iterations

    apogees = [math.nan] * count
    codes = np.zeros(count, dtype=np.int32)
    reasons = _Reasons()
    # A sample with a non-finite input still runs: the model may not read
    # that input (a 1-DOF flight ignores the lift and moment properties), and
    # its apogee is then as valid as any. When such a run fails, the input is
    # named as the reason.
    non_finite = ~np.isfinite(full)
    suspect = non_finite.any(axis=1).tolist()

    def reason_code(i, reason):
        if suspect[i]:
            reason = f"non-finite input: {names[int(np.flatnonzero(non_finite[i])[0])]}"
        return reasons.code(reason)

    is_set = stop.is_set if stop is not None else (lambda: False)

    broken, templates = domains.violations(plan.checks, full)
    skip = (broken >= 0).tolist()
    for i in np.flatnonzero(broken >= 0).tolist():
        codes[i] = reasons.code(templates[broken[i]])

    rocket_class = aeso.Rocket
    for i in range(count):
        if not i & 15 and is_set():  # a few microseconds between checks
            break
        if skip[i]:
            continue
        if rocket_rows is not None:
            rocket = rocket_class(*rocket_rows[i])
        if state_rows is not None:
            state = state_class(*state_rows[i])
        if step_rows is not None:
            step = step_class(*step_rows[i])
        try:
            apogees[i] = predict(rocket, state, method, step, max_iterations)
        except Exception as exc:
            codes[i] = reason_code(i, _reason(exc))
        except BaseException as exc:
            # The module's internal-error class derives from BaseException.
            if type(exc).__name__ != "InternalError":
                raise
            codes[i] = reason_code(i, _reason(exc))
    apogees = np.array(apogees, dtype=np.float64)
    bad = ~np.isfinite(apogees) & (codes == OK)
    if bad.any() and not is_set():
        for i in np.flatnonzero(bad).tolist():
            codes[i] = reason_code(i, NON_FINITE_APOGEE)
        apogees[bad] = math.nan
    return drawn, apogees, codes, reasons.array()


def run_blocks(plan, seed, first, last, n):
    """Runs blocks first..last-1 of a study of n samples; the results of
    its blocks concatenated, with one reason table. Used as a Dask task."""
    block_size = Plan(*plan).block_size
    parts = [run_block(plan, seed, b, min(block_size, n - b * block_size)) for b in range(first, last)]
    return merge_blocks(parts)


def merge_blocks(parts):
    """Concatenates block results, renumbering their reason codes into one table."""
    table = {}
    codes = []
    for _, _, block_codes, block_reasons in parts:
        remap = np.array([0] + [table.setdefault(r, len(table) + 1) for r in block_reasons.tolist()],
                         dtype=np.int32)
        codes.append(remap[block_codes])
    inputs = np.concatenate([p[0] for p in parts], axis=1)
    apogees = np.concatenate([p[1] for p in parts])
    return inputs, apogees, np.concatenate(codes), np.array(list(table), dtype=str)
