"""The compiled part of aeso_flight: native flights in the real air.

Called by the package's Python modules only, with values they have checked
and built in one place (aeso_flight._arguments): tables as read-only float64
buffers, a flight as (craft, air, dof, method, step, max_iterations), a
state as a tuple of floats. Results are named (struct sequences).
"""

from typing import Final, final

from _typeshed import structseq

import numpy as np
import numpy.typing as npt

# A contiguous float64 array: the native code reads (and fills) its buffer.
_Doubles = npt.NDArray[np.float64]

# The step options: (dt,) or (dt, dt_min, dt_max, atol, rtol); None for the method's default.
_Step = tuple[float] | tuple[float, float, float, float, float] | None
# A warm start: (value, slope, low, high).
_Start = tuple[float, float, float, float] | None
# How a flight is flown: (craft, air, dof, method, step, max_iterations).
_Flight = tuple[Craft, Air, int, int, _Step, int]
# What a controller predicts with: (flight, drag_scale).
_Predictor = tuple[_Flight, float]
# A controller: (kind, ...) by its kind of CONTROLLER.
_Controller = tuple[object, ...]
# A deployment: a level, or a native schedule.
_Deployment = float | Schedule

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

@final
class FlightResult(structseq[object], tuple[int, float, float, float, float, int, float, float]):
    """How a native flight ended (a struct sequence)."""

    __match_args__: Final = (
        "status", "apogee", "time", "x", "horizontal_speed", "steps", "failed_at", "failed_velocity"
    )
    @property
    def status(self) -> int: ...
    @property
    def apogee(self) -> float: ...
    @property
    def time(self) -> float: ...
    @property
    def x(self) -> float: ...
    @property
    def horizontal_speed(self) -> float: ...
    @property
    def steps(self) -> int: ...
    @property
    def failed_at(self) -> float: ...
    @property
    def failed_velocity(self) -> float: ...

@final
class InverseResult(structseq[object], tuple[int, float, float, int, float, float, float, FlightResult | None]):
    """What a native inverse found (a struct sequence)."""

    __match_args__: Final = ("status", "value", "apogee", "predictions", "slope", "low", "high", "failure")
    @property
    def status(self) -> int: ...
    @property
    def value(self) -> float: ...
    @property
    def apogee(self) -> float: ...
    @property
    def predictions(self) -> int: ...
    @property
    def slope(self) -> float: ...
    @property
    def low(self) -> float: ...
    @property
    def high(self) -> float: ...
    @property
    def failure(self) -> FlightResult | None: ...

@final
class SimulatedResult(structseq[object], tuple[FlightResult, bytearray, bytearray]):
    """A native flight log (a struct sequence)."""

    __match_args__: Final = ("flight", "times", "rows")
    @property
    def flight(self) -> FlightResult: ...
    @property
    def times(self) -> bytearray: ...
    @property
    def rows(self) -> bytearray: ...

@final
class ControlledResult(
    structseq[object],
    tuple[FlightResult, float, float, int, int, int, int, bytearray | None, BaseException | None, bool, float,
          bytearray | None, float, float, float]
):
    """A native controlled flight (a struct sequence)."""

    __match_args__: Final = (
        "flight", "final_deployment", "travel", "ticks", "predictions", "failed_decisions", "decision_failure",
        "records", "error", "error_raised", "failed_time", "samples", "learned_scale", "learned_scale_sd",
        "start_height",
    )
    @property
    def flight(self) -> FlightResult: ...
    @property
    def final_deployment(self) -> float: ...
    @property
    def travel(self) -> float: ...
    @property
    def ticks(self) -> int: ...
    @property
    def predictions(self) -> int: ...
    @property
    def failed_decisions(self) -> int: ...
    @property
    def decision_failure(self) -> int: ...
    @property
    def records(self) -> bytearray | None: ...
    @property
    def error(self) -> BaseException | None: ...
    @property
    def error_raised(self) -> bool: ...
    @property
    def failed_time(self) -> float: ...
    @property
    def samples(self) -> bytearray | None: ...
    @property
    def learned_scale(self) -> float: ...
    @property
    def learned_scale_sd(self) -> float: ...
    @property
    def start_height(self) -> float: ...

@final
class ReplayResult(structseq[object], tuple[int, int, int, int, int, bytearray]):
    """A log replayed through a flight computer (a struct sequence)."""

    __match_args__: Final = ("status", "ticks", "predictions", "failed_decisions", "decision_failure", "records")
    @property
    def status(self) -> int: ...
    @property
    def ticks(self) -> int: ...
    @property
    def predictions(self) -> int: ...
    @property
    def failed_decisions(self) -> int: ...
    @property
    def decision_failure(self) -> int: ...
    @property
    def records(self) -> bytearray: ...

def predict(
    flight: _Flight, state: tuple[float, ...], deployment: _Deployment, drag_scale: float, /
) -> FlightResult: ...
def simulate(
    flight: _Flight, state: tuple[float, ...], deployment: _Deployment, drag_scale: float, /
) -> SimulatedResult: ...
def deployment_for_apogee(
    flight: _Flight, state: tuple[float, ...], drag_scale: float, target: float, start: _Start, barometric: bool, /
) -> InverseResult: ...
def drag_scale_for_apogee(
    flight: _Flight, state: tuple[float, ...], deployment: _Deployment, target: float, start: _Start,
    barometric: bool, /
) -> InverseResult: ...
def fly_controlled(
    flight: _Flight, state: tuple[float, ...], drag_scale: float, control: tuple[float, ...], seed: int, sample: int,
    controller: _Controller, record: bool, raw: tuple[object, ...] | None, /,
) -> ControlledResult: ...
def replay_samples(
    air: Air, pad_pressure: float, settings: tuple[float, ...], prior: tuple[float, ...], time: _Doubles,
    pressure: _Doubles | None, specific_force: _Doubles | None, deployment: _Doubles | None,
    controller: _Controller, rate: float, window: tuple[float, float], /,
) -> ReplayResult: ...
def standard_air(altitude: float, /) -> tuple[float, float]: ...

@final
class StopFlag:
    """A flag that stops the blocks it is passed to."""

    def set(self) -> None: ...
    def is_set(self) -> bool: ...

# The names the package reads instead of copying values: the statuses of
# flights and inverses, the controllers' kinds, the tick records' and sensor
# logs' columns, run_block's outcome rows, control columns and kinds of
# environment columns, and the rate limits.
FLIGHT_STATUS: dict[str, int]
INVERSE_STATUS: dict[str, int]
CONTROLLER: dict[str, int]
TICK_COLUMNS: tuple[str, ...]
SAMPLE_COLUMNS: tuple[str, ...]
BLOCK_OUTCOMES: tuple[str, ...]
CONTROL_COLUMNS: tuple[str, ...]
COMPUTER_COLUMNS: tuple[str, ...]
BLOCK_CONTROLLERS: tuple[str, ...]
ENVIRONMENT_COLUMNS: dict[str, int]
MAX_CONTROL_RATE: float
MAX_SENSOR_RATE: float
APOGEE_VELOCITY_THRESHOLD: float
APOGEE_TOLERANCE: float
LOG_COLUMNS: int

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
    craft: Craft, air: Air, drag_scale: float, time: _Doubles, specific_force: _Doubles, deployment: _Doubles | None,
    height: _Doubles, velocity: _Doubles, bias: _Doubles, bias_variance: _Doubles, window: tuple[float, float],
    knots: _Doubles | None, prior: tuple[float, float] | None, /,
) -> DragFitRun: ...
