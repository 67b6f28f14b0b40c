"""The compiled part of aeso_flight: native flights in the real air.

Called by the package's Python modules only, with values they have checked:
tables as read-only float64 buffers, states and step options as tuples of
floats, the method and the model (1 or 3) as integers.
"""

from typing import final

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
