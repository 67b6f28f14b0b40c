"""The plain form of a study that every worker runs its blocks from.

A Plan holds only plain values and NumPy arrays, so it travels as it is to
threads and to Dask workers in other processes.
"""

from dataclasses import dataclass

import numpy as np

from .distributions import CONSTANT


@dataclass(frozen=True, eq=False)
class Plan:
    """A study in plain values: what a worker needs to run any block.

    `names`, `values`, `codes` and `params` describe every input of a run,
    one column each, in the order rocket properties (`rocket` columns),
    initial state (`state`), step options (`step`); `values` holds the fixed
    values (the nominal value for a dispersed input), `codes` and `params`
    the distributions (code CONSTANT: fixed). With `speed_and_angle` the
    3-DOF state columns are x, y, angle, speed, angular_rate, the velocity
    then pointing along the body axis. `checks` are the domain checks of
    the drawn values (see domains.sample_checks). `correlation` names the
    correlated inputs, as positions among the dispersed ones, and the
    Cholesky factor of their copula (nested tuples); () when all inputs are
    drawn independently (see copula).
    """

    model: str                 # "1dof" or "3dof"
    method: str                # "Euler", "RK3" or "RK45"
    step_kind: str             # "default", "fixed" or "adaptive"
    speed_and_angle: bool
    names: tuple
    rocket: slice
    state: slice
    step: slice
    values: np.ndarray
    codes: np.ndarray
    params: np.ndarray
    max_iterations: int
    block_size: int
    checks: tuple = ()
    correlation: tuple = ()

    @property
    def dispersed(self):
        """Boolean mask of the columns drawn from a distribution."""
        return self.codes != CONSTANT

    def block_count(self, n):
        """The number of blocks of a study of n samples (the last one may be cut)."""
        return -(-n // self.block_size)

    def samples_in_block(self, n, block):
        """How many of block `block`'s samples a study of n samples uses."""
        return min(self.block_size, n - block * self.block_size)
