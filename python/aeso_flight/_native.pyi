"""The compiled part of aeso_flight: native flights in the real air.

Called by the package's Python modules only, with values they have checked:
tables as read-only float64 buffers, states and step options as tuples of
floats, the method and the model (1 or 3) as integers.
"""

from typing import Final, final

from _typeshed import structseq

import numpy as np
import numpy.typing as npt

# A contiguous float64 array: the native code reads (and fills) its buffer.
_Doubles = npt.NDArray[np.float64]

# (status, apogee, time, x, |vx|, steps, failed_at)
_Outcome = tuple[int, float, float, float, float, int, float]
# (status, value, apogee, predictions, slope, low, high, failure_status, failed_at)
_Inverse = tuple[int, float, float, int, float, float, float, int, float]
# The step options: (dt,) or (dt, dt_min, dt_max, atol, rtol); None for the method's default.
_Step = tuple[float] | tuple[float, float, float, float, float] | None
# A warm start: (value, slope, low, high).
_Start = tuple[float, float, float, float] | None

@final
class Air:
    """Native tables of one atmosphere: Air(0, density) or
    Air(1, site_elevation, temperature_offset, pad_pressure)."""

    def __new__(cls, kind: int, a: float, b: float = 0.0, c: float = 0.0) -> Air: ...
    def sample(self, heights: _Doubles, density: _Doubles, speed_of_sound: _Doubles, /) -> None: ...
    def conditions(self, heights: _Doubles, temperature: _Doubles, pressure: _Doubles, /) -> None: ...
    def bounds(self) -> tuple[float, float]: ...

@final
class Craft:
    """Native copy of a vehicle's seven properties and drag tables."""

    def __new__(
        cls,
        rocket: tuple[float, ...],
        drag_mach: _Doubles,
        drag_cd: _Doubles,
        brake_deployment: _Doubles,
        brake_mach: _Doubles,
        brake_cd: _Doubles,
        area_ratio: float,
        replace: bool,
    ) -> Craft: ...

@final
class Schedule:
    """Native copy of a brake deployment schedule."""

    def __new__(cls, times: _Doubles, levels: _Doubles) -> Schedule: ...

def predict(
    craft: Craft, air: Air, dof: int, state: tuple[float, ...], method: int, step: _Step, max_iterations: int,
    level: float, schedule: Schedule | None, drag_scale: float, /,
) -> _Outcome: ...
def simulate(
    craft: Craft, air: Air, dof: int, state: tuple[float, ...], method: int, step: _Step, max_iterations: int,
    level: float, schedule: Schedule | None, drag_scale: float, /,
) -> tuple[int, float, bytearray, bytearray]: ...
def deployment_for_apogee(
    craft: Craft, air: Air, dof: int, state: tuple[float, ...], method: int, step: _Step, max_iterations: int,
    drag_scale: float, target: float, start: _Start, /,
) -> _Inverse: ...
def drag_scale_for_apogee(
    craft: Craft, air: Air, dof: int, state: tuple[float, ...], method: int, step: _Step, max_iterations: int,
    level: float, schedule: Schedule | None, target: float, start: _Start, /,
) -> _Inverse: ...
def standard_air(altitude: float, /) -> tuple[float, float]: ...

# (status, apogee, time, x, |vx|, steps, failed_at, final_deployment, travel,
#  ticks, predictions, records, failure, error, failed_time): records holds
# nine float64 values per tick when recorded; failure is 1 when a callable
# raised, 2 when it returned a bad level, and error is that exception.
_ControlledOutcome = tuple[
    int, float, float, float, float, int, float, float, float, int, int, bytearray | None, int, BaseException | None,
    float,
]
# A predictor: (craft, air, dof, step, max_iterations, drag_scale, method).
_Predictor = tuple[Craft, Air, int, _Step, int, float, int]

def fly_controlled(
    craft: Craft, air: Air, dof: int, state: tuple[float, ...], method: int, step: _Step, max_iterations: int,
    drag_scale: float, control: tuple[float, ...], seed: int, flight: int, predictor: _Predictor | None,
    schedule: Schedule | None, callback: object, record: bool, /,
) -> _ControlledOutcome: ...

@final
class StopFlag:
    """A flag that stops the blocks it is passed to."""

    def set(self) -> None: ...
    def is_set(self) -> bool: ...

# The names run_block's callers read: its outcome rows, its control columns,
# the kinds of environment columns and the controllers.
BLOCK_OUTCOMES: tuple[str, ...]
CONTROL_COLUMNS: tuple[str, ...]
ENVIRONMENT_COLUMNS: dict[str, int]
CONTROLLER: dict[str, int]

def run_block(
    inputs: _Doubles, outcomes: _Doubles, steps: npt.NDArray[np.uint64], status: npt.NDArray[np.uint8],
    layout: tuple[object, ...], stop: StopFlag, /,
) -> int: ...

# -- a flight's data -----------------------------------------------------------

def pressure_altitudes(air: Air, values: _Doubles, out: _Doubles, inverse: bool, /) -> None: ...

@final
class EstimateRun(structseq[int], tuple[int, int, bool]):
    """What an estimate run did (a struct sequence)."""

    __match_args__: Final = ("out_of_order", "gated", "smoothed")
    @property
    def out_of_order(self) -> int: ...
    @property
    def gated(self) -> int: ...
    @property
    def smoothed(self) -> bool: ...

@final
class DragFitRun(structseq[object], tuple[bool, int, tuple[float, ...], tuple[float, ...], float, float, float]):
    """A drag fit's accumulated solution (a struct sequence)."""

    __match_args__: Final = ("solved", "samples", "values", "covariance", "residual_rms", "mach_low", "mach_high")
    @property
    def solved(self) -> bool: ...
    @property
    def samples(self) -> int: ...
    @property
    def values(self) -> tuple[float, ...]: ...
    @property
    def covariance(self) -> tuple[float, ...]: ...
    @property
    def residual_rms(self) -> float: ...
    @property
    def mach_low(self) -> float: ...
    @property
    def mach_high(self) -> float: ...

def estimate(
    air: Air, pad_pressure: float, settings: tuple[float, ...], prior: tuple[float, ...], time: _Doubles,
    pressure: _Doubles | None, specific_force: _Doubles | None, smoothed: bool, means: _Doubles,
    covariances: _Doubles, barometer: npt.NDArray[np.int8], driven: npt.NDArray[np.int8], /,
) -> EstimateRun: ...
def fit_drag(
    craft: Craft, air: Air, time: _Doubles, specific_force: _Doubles, deployment: _Doubles | None, height: _Doubles,
    velocity: _Doubles, bias: _Doubles, window: tuple[float, float], knots: _Doubles | None, bias_variance: float, /,
) -> DragFitRun: ...
