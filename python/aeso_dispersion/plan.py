"""The plain form of a study that every worker runs its blocks from.

A Plan holds only plain values and read-only NumPy arrays, so it travels as
it is to threads and to Dask workers in other processes, and no one changes
it once built. Its columns are the inputs of a run that are single floats,
fixed or drawn; `layout` is what the native runner needs to read a row of
them (see _flights.run_block). A parameter block that is not a column of
floats (a table, say) belongs beside the columns as a field of its own,
with its part of the layout: the tables and shared settings of a study in
the real air are its `setting` (see real_air), whose flights run on
aeso_flight's block runner instead.
"""

from dataclasses import dataclass
from typing import NamedTuple

import numpy as np

from . import _flights
from .distributions import CONSTANT


class Layout(NamedTuple):
    """How the columns of a row are laid out and what every flight of a
    block shares, as the native runner reads it: the values of
    _flights.FLIGHT_MODEL, ODE_METHOD and STEP_COLUMNS."""

    model: int
    method: int
    step: int
    speed_and_angle: bool
    max_iterations: int


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

    A study in the real air has a `setting` (see real_air.Setting), and its
    rows carry the columns of the day's air, the drag scale, the brakes'
    deployment or the controller after the step options; `open_columns`
    are those whose non-finite fixed value means something (a pad pressure
    NaN: the standard at the site; a rate limit inf: none), which a failed
    run is never blamed on.
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
    setting: object = None
    open_columns: tuple = ()

    def __post_init__(self):
        for array in (self.values, self.codes, self.params):
            array.flags.writeable = False

    @property
    def layout(self):
        """The Layout of the plan's rows for the native runner."""
        return Layout(_flights.FLIGHT_MODEL[self.model], _flights.ODE_METHOD[self.method],
                      _flights.STEP_COLUMNS[self.step_kind], self.speed_and_angle, self.max_iterations)

    @property
    def controlled(self):
        """Whether the flights fly with their brakes' controller, and how:
        one of outcomes.CONTROL_KINDS."""
        return False if self.setting is None or self.setting.control is None else self.setting.control.kind

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
