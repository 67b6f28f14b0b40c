"""Runs blocks of samples: draws their inputs and flies them natively.

This is the code every backend's workers execute. It takes a Plan and plain
numbers and returns NumPy arrays, so a Dask worker in another process or on
another machine runs it as well as a thread here.

Samples are numbered 0, 1, ... and grouped into blocks of `block_size`; the
inputs of block b are drawn from ``SeedSequence(seed, spawn_key=(b,))``, the
b-th child that ``SeedSequence(seed).spawn`` would give, and always for the
whole block (the last block of a study is drawn in full and cut). A sample's
inputs thus depend only on the seed, the block size and its number: not on
the backend, the worker count, the grouping of blocks into tasks, or n.

A block's flights run in one native call (aeso_dispersion._flights) with the
thread detached from the interpreter: each gives the apogee and the time,
downrange position and horizontal speed at apogee, exactly as aeso's
single-flight API would, plus its step count and a status.
"""

from typing import NamedTuple

import numpy as np

from . import _flights
from .distributions import draw_columns

# Failure codes, the same in every block of a study: 0 for a run that
# succeeded, the native status of a run that failed, or, for a failed run
# with a non-finite input, NON_FINITE_INPUT plus the column of the first one.
OK, ITERATION_LIMIT, INVALID_STEP_OPTIONS, NON_FINITE_APOGEE, STOPPED = range(5)
NON_FINITE_INPUT = 8
STATUS_REASONS = {
    ITERATION_LIMIT: "no apogee within max_iterations (InternalError: Index out of bounds)",
    INVALID_STEP_OPTIONS: "invalid step options (InternalError: min > max, or either was NaN)",
    NON_FINITE_APOGEE: "non-finite apogee",
}
# Rows of a block's outcome array.
OUTCOMES = ("apogee", "time_of_apogee", "downrange", "speed_at_apogee")

_MODELS = {"1dof": 1, "3dof": 3}
_METHODS = {"Euler": 0, "RK3": 1, "RK45": 2}
_STEP_KINDS = {"default": 0, "fixed": 1, "adaptive": 2}


class BlockResult(NamedTuple):
    """The samples of one or more consecutive blocks.

    `inputs`: the dispersed inputs, shape (dispersed, count); `outcomes`:
    shape (len(OUTCOMES), count), NaN where a run failed; `steps`: steps
    taken; `codes`: failure codes (see reason_text).
    """

    inputs: np.ndarray
    outcomes: np.ndarray
    steps: np.ndarray
    codes: np.ndarray


def reason_text(plan, code):
    """The failure reason of a failure code."""
    if code >= NON_FINITE_INPUT:
        return f"non-finite input: {plan.names[code - NON_FINITE_INPUT]}"
    return STATUS_REASONS[code]


def block_rng(seed, block):
    """The generator of block `block` of a study drawn with `seed`."""
    return np.random.Generator(np.random.PCG64(np.random.SeedSequence(seed, spawn_key=(block,))))


def draw_block(plan, seed, block):
    """The dispersed inputs of one whole block, shape (dispersed, block_size)."""
    dispersed = plan.dispersed
    return draw_columns(block_rng(seed, block), plan.codes[dispersed], plan.params[dispersed],
                        plan.block_size)


def run_block(plan, seed, block, count, stop=None):
    """Runs the first `count` samples of block `block` (a BlockResult).

    With `stop` (a _flights.StopFlag) set, the flights not yet run, and the
    one running, end as STOPPED; the caller discards such a block.
    """
    drawn = draw_block(plan, seed, block)[:, :count]
    inputs = np.repeat(plan.values[None, :], count, axis=0)
    inputs[:, plan.dispersed] = drawn.T

    outcomes = np.empty((len(OUTCOMES), count))
    steps = np.empty(count, dtype=np.uint64)
    status = np.empty(count, dtype=np.uint8)
    _flights.run_block(inputs, outcomes, steps, status, _MODELS[plan.model], _METHODS[plan.method],
                       _STEP_KINDS[plan.step_kind], int(plan.speed_and_angle), plan.max_iterations,
                       stop if stop is not None else _flights.StopFlag())

    codes = status.astype(np.int32)
    failed = codes != OK
    outcomes[:, failed] = np.nan
    # A sample with a non-finite input still runs: the model may not read
    # that input (a 1-DOF flight ignores the lift and moment properties), and
    # its apogee is then as valid as any. When such a run fails, the input is
    # named as the reason.
    non_finite = ~np.isfinite(inputs)
    suspect = failed & non_finite.any(axis=1) & (codes != STOPPED)
    codes[suspect] = NON_FINITE_INPUT + non_finite[suspect].argmax(axis=1)
    return BlockResult(drawn, outcomes, steps, codes)


def run_blocks(plan, seed, first, last, n):
    """Runs blocks first..last-1 of a study of n samples, as one BlockResult.
    Used as a Dask task."""
    parts = [run_block(plan, seed, b, plan.samples_in_block(n, b)) for b in range(first, last)]
    return BlockResult(*(np.concatenate(arrays, axis=-1) for arrays in zip(*parts)))


def failure_table(plan, codes):
    """Renumbers a study's failure codes, in place, 1, 2, ... in the order of
    the codes that occur; returns the reason of each new number."""
    present = np.zeros(NON_FINITE_INPUT + len(plan.names), dtype=bool)
    present[codes] = True
    present[OK] = False
    renumber = np.cumsum(present, dtype=np.int32)
    renumber[~present] = 0
    np.take(renumber, codes, out=codes)
    return tuple(reason_text(plan, int(code)) for code in np.flatnonzero(present))
