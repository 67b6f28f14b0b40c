"""Runs blocks of samples: draws their inputs and flies them natively.

This is the code every backend's workers execute. It takes a Plan and plain
numbers and returns NumPy arrays, so a Dask worker in another process or on
another machine runs it as well as a thread here.

The inputs of a block are drawn as streams describes: a sample's inputs
depend only on the seed, the block size and its number. A sample whose
drawn values break a domain check (see domains) fails with that reason
without being flown.

A block's flights run in one native call (aeso_dispersion._flights) with the
thread detached from the interpreter: each gives the apogee and the time,
downrange position and horizontal speed at apogee, exactly as aeso's
single-flight API would, plus its step count and a status. A study in the
real air runs on aeso_flight's block runner instead (see real_air), whose
controlled flights also give the miss, the final deployment and the
deployment's travel, exactly as aeso_flight's single-flight API would.
Samples whose drawn values break a domain check are not flown: the others
fly in runs of consecutive samples, each knowing its first sample's number
(a controlled flight's sensor noise is keyed by it).
"""

import contextlib
import math
import threading
from enum import IntEnum
from typing import NamedTuple

import numpy as np

from aeso_flight.atmosphere import HIGHEST_ALTITUDE, LOWEST_ALTITUDE
from aeso_flight.errors import FAILURES, failure_message

from . import _flights, domains, real_air
from .outcomes import OUTCOMES, PLAIN_ROWS
from .copula import draw_correlated
from .streams import draw_inputs

# The native runner's statuses, by their names there.
Status = IntEnum("Status", _flights.FLIGHT_STATUS)
# Failure codes, the same in every block of a study: OK (0) for a run that
# succeeded, the native status of a run that failed, or, for a failed run
# with a non-finite input, NON_FINITE_INPUT plus the column of the first one;
# for a sample whose drawn values break a domain check, NON_FINITE_INPUT plus
# the number of columns plus the index of the first such check (its reason
# names the inputs as domains' templates do).
OK, ITERATION_LIMIT, INVALID_STEP_OPTIONS, NON_FINITE_APOGEE, STOPPED, LEFT_ATMOSPHERE, NOT_FINITE, \
    CONTROLLER_FAILED = (Status[name] for name in ("OK", "ITERATION_LIMIT", "INVALID_STEP_OPTIONS",
                                                   "NON_FINITE_APOGEE", "STOPPED", "LEFT_ATMOSPHERE", "NOT_FINITE",
                                                   "CONTROLLER_FAILED"))
# Codes from here up are the study's own (a results file records them); the
# native statuses a block's flight can end with lie below. (A flight that
# runs out of memory fails its whole block with MemoryError instead.)
NON_FINITE_INPUT = 8
if max(code for code in Status if code.name != "OUT_OF_MEMORY") >= NON_FINITE_INPUT:
    raise ImportError("the native runner's statuses reach the study's own failure codes")
# The details a study's reason adds to the shared failure messages (a
# study's reason is one per code, so it names no flight's height).
_WHERE = {
    LEFT_ATMOSPHERE: f" (from {LOWEST_ALTITUDE:.0f} m to {HIGHEST_ALTITUDE:.0f} m above sea level)",
}
# The failures a study records, each with its reason (a template of
# max_iterations).
STATUS_REASONS = {
    code: failure_message(code, "{max_iterations}", _WHERE.get(code, ""))
    for code in (ITERATION_LIMIT, INVALID_STEP_OPTIONS, NON_FINITE_APOGEE, LEFT_ATMOSPHERE, NOT_FINITE,
                 CONTROLLER_FAILED)
}
# Flights in the real air only.
REAL_AIR_ONLY = (LEFT_ATMOSPHERE, NOT_FINITE, CONTROLLER_FAILED)
if set(FAILURES) - {"STOPPED", "OUT_OF_MEMORY"} != {Status(code).name for code in STATUS_REASONS}:
    raise ImportError("a failure of the native runner has no reason in a study")


class BlockResult(NamedTuple):
    """The samples of one or more consecutive blocks.

    `inputs`: the dispersed inputs, shape (dispersed, count); `outcomes`:
    shape (len(OUTCOMES), count) (see outcomes), NaN where a run failed;
    `steps`: steps
    taken; `codes`: failure codes (see reason_text).
    """

    inputs: np.ndarray
    outcomes: np.ndarray
    steps: np.ndarray
    codes: np.ndarray


def _outside_domain(plan):
    return NON_FINITE_INPUT + len(plan.names)


def code_count(plan):
    """One more than the largest failure code of the plan's runs."""
    return _outside_domain(plan) + len(plan.checks)


def failure_codes(plan):
    """Every failure code a run of the plan can end with. An input is
    non-finite only as a fixed value, or as a draw that no domain check
    catches."""
    checked = {check[1] for check in plan.checks if check[0] == "domain"}
    dispersed = plan.dispersed.tolist()
    non_finite = [j for j, value in enumerate(plan.values.tolist())
                  if j not in checked and j not in plan.open_columns and (dispersed[j] or not math.isfinite(value))]
    control = None if plan.setting is None else plan.setting.control
    statuses = [code for code in STATUS_REASONS if (plan.setting is not None or code not in REAL_AIR_ONLY)
                # Of the study's controllers only a PID can command no finite level.
                and (code != CONTROLLER_FAILED or (control is not None and control.controller == "pid"))]
    return (statuses + [NON_FINITE_INPUT + j for j in non_finite]
            + list(range(_outside_domain(plan), code_count(plan))))


def reason_text(plan, code):
    """The failure reason of a failure code (a template, see domains.fill)."""
    if code >= _outside_domain(plan):
        return plan.checks[code - _outside_domain(plan)][-1]
    if code >= NON_FINITE_INPUT:
        return f"non-finite input: {domains.qualified(plan.names[code - NON_FINITE_INPUT])}"
    return STATUS_REASONS[code].format(max_iterations=plan.max_iterations)


def draw_block(plan, seed, block):
    """The dispersed inputs of one whole block, shape (dispersed, block_size)."""
    dispersed = plan.dispersed
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


def run_block(plan, seed, block, count, stop=None):
    """Runs the first `count` samples of block `block` (a BlockResult).

    With `stop` (see stop_flag) set, the flights not yet run, and the
    one running, end as STOPPED; the caller discards such a block.
    """
    drawn = draw_block(plan, seed, block)[:, :count]
    inputs = np.repeat(plan.values[None, :], count, axis=0)
    inputs[:, plan.dispersed] = drawn.T

    outcomes = np.full((len(OUTCOMES), count), np.nan)
    steps = np.zeros(count, dtype=np.uint64)
    status = np.zeros(count, dtype=np.uint8)
    broken, _ = domains.violations(plan.checks, inputs)
    flown = broken < 0
    first = block * plan.block_size
    for lo, hi in _runs(flown):
        _fly(plan, inputs, lo, hi, outcomes, steps, status, stop, seed, first)

    codes = status.astype(np.int32)
    failed = codes != OK
    outcomes[:, failed] = np.nan
    # A sample with a non-finite input still runs: the model may not read
    # that input (a 1-DOF flight ignores the lift and moment properties), and
    # its apogee is then as valid as any. When such a run fails, the input is
    # named as the reason.
    non_finite = ~np.isfinite(inputs)
    non_finite[:, list(plan.open_columns)] = False
    suspect = failed & non_finite.any(axis=1) & (codes != STOPPED)
    codes[suspect] = NON_FINITE_INPUT + non_finite[suspect].argmax(axis=1)
    codes[~flown] = _outside_domain(plan) + broken[~flown]
    return BlockResult(drawn, outcomes, steps, codes)


def stop_flag(plan):
    """A new stop flag for the blocks of `plan`: the StopFlag of the native
    runner that flies them."""
    return _flights.StopFlag() if plan.setting is None else real_air.StopFlag()


def _runs(flown):
    """(lo, hi) of each run of consecutive True values of `flown`."""
    edges = np.flatnonzero(np.diff(np.concatenate(([False], flown, [False])).astype(np.int8)))
    return zip(edges[0::2].tolist(), edges[1::2].tolist())


def _fly(plan, inputs, lo, hi, outcomes, steps, status, stop, seed, first):
    """Flies samples lo..hi-1 of a block whose first sample is `first`."""
    rows = len(OUTCOMES) if plan.setting is not None else PLAIN_ROWS
    part = (np.empty((rows, hi - lo)), np.empty(hi - lo, dtype=np.uint64), np.empty(hi - lo, dtype=np.uint8))
    stop = stop if stop is not None else stop_flag(plan)
    rows_in = np.ascontiguousarray(inputs[lo:hi])
    if plan.setting is None:
        _flights.run_block(plan.layout, rows_in, *part, stop)
    else:
        real_air.fly(plan, rows_in, *part, stop, seed, first + lo)
    outcomes[:rows, lo:hi], steps[lo:hi], status[lo:hi] = part


# The stop flags of the tasks running in this process, by the token of the
# study run they belong to: {token: [stop flag, tasks running]}. A backend
# whose tasks run in other processes stops them by token (stop_tasks).
_TASKS_LOCK = threading.Lock()
_TASKS = {}


@contextlib.contextmanager
def _task_stop(plan, token):
    """The stop flag of a task of the study run `token` (a fresh one
    without a token), known to stop_tasks while the task runs."""
    if token is None:
        yield stop_flag(plan)
        return
    with _TASKS_LOCK:
        entry = _TASKS.setdefault(token, [stop_flag(plan), 0])
        entry[1] += 1
    try:
        yield entry[0]
    finally:
        with _TASKS_LOCK:
            entry[1] -= 1
            if entry[1] == 0:
                del _TASKS[token]


def stop_tasks(token):
    """Stops the running tasks of the study run `token` in this process:
    their flights end at their next check, as STOPPED. Run on every Dask
    worker when a study ends with tasks still running (an interrupt, a
    failure, a stopping rule met), so that none flies on for nothing and the
    workers are free at once."""
    with _TASKS_LOCK:
        entry = _TASKS.get(token)
        if entry is not None:
            entry[0].set()


def run_blocks(plan, seed, first, last, n, token=None):
    """Runs blocks first..last-1 of a study of n samples, as one BlockResult.
    Used as a Dask task; `token` names the study run, for stop_tasks."""
    with _task_stop(plan, token) as stop:
        parts = [run_block(plan, seed, b, plan.samples_in_block(n, b), stop) for b in range(first, last)]
    return BlockResult(*(np.concatenate(arrays, axis=-1) for arrays in zip(*parts)))


def failure_table(plan, codes):
    """A study's failure codes renumbered 1, 2, ... in the order of the
    codes that occur (0 stays 0), the reason of each new number, and the
    code each new number stands for."""
    present = np.zeros(code_count(plan), dtype=bool)
    present[codes] = True
    present[OK] = False
    renumber = np.cumsum(present, dtype=np.int32)
    renumber[~present] = 0
    kept = np.flatnonzero(present).tolist()
    return renumber[codes], tuple(reason_text(plan, code) for code in kept), tuple(kept)
