"""Drag identification: the drag a flight's data says the vehicle had, as
one factor on its whole drag or as coefficients at Mach knots
(:class:`DragFit`, made by :meth:`Vehicle.fit_drag`)."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Final

import aeso
import numpy as np
import numpy.typing as npt

from . import _checks
from ._native import fit_drag as _fit_drag
from .aerodynamics import Brakes, Drag
from .atmosphere import Atmosphere
from .estimation import StateEstimate
from .flight_data import FlightData

if TYPE_CHECKING:
    from .vehicle import Vehicle

__all__ = ["DragFit"]

#: The fewest samples of the coast a fit takes.
MIN_SAMPLES: Final = 20
#: The most Mach knots a fit takes.
MAX_KNOTS: Final = 16
#: Gauss-Newton steps of the fit to the height track, and the relative
#: step of its finite differences.
HEIGHT_FIT_ITERATIONS: Final = 6
HEIGHT_FIT_STEP: Final = 1e-4

_Array = npt.NDArray[np.float64]


@dataclass(frozen=True, eq=False)
class DragFit:
    """The drag a flight's data supports, fitted by least squares.

    Made by :meth:`Vehicle.fit_drag`. A fitted scale also absorbs the
    accelerometer's scale error (a reading 2 % high makes the drag 2 %
    high), and, from the height track, what the state at burnout gets
    wrong.

    Attributes
    ----------
    scale, scale_sd : float or None
        Without Mach knots, the one factor on the vehicle's drag coefficient,
        brakes included, as in :meth:`Vehicle.drag_scale_for_apogee`, and its
        standard error; None with knots.
    mach : numpy.ndarray or None
        The Mach knots, or None.
    cd, cd_sd : numpy.ndarray or None
        With knots, the drag coefficients there (linear between them and
        held beyond the ends, in place of the body's drag; the brakes
        unchanged) and their standard errors; None without.
    covariance : numpy.ndarray
        The fitted parameters' covariance.
    residual_rms : float
        The residuals' root mean square (m/s^2 from an accelerometer, m from
        the height track).
    mach_range : tuple of float
        The lowest and highest Mach numbers of the samples fitted.
    samples : int
        Their number.
    source : str
        ``"accelerometer"`` or ``"height"``.
    vehicle : Vehicle
        The vehicle flying the fitted drag: what a prediction should use.

    Examples
    --------
    >>> fit = vehicle.fit_drag(data, atmosphere=log_air)
    >>> round(fit.scale, 2), fit.source, fit.samples
    (3.28, 'accelerometer', 1198)
    """

    scale: float | None
    scale_sd: float | None
    mach: _Array | None
    cd: _Array | None
    cd_sd: _Array | None
    covariance: _Array
    residual_rms: float
    mach_range: tuple[float, float]
    samples: int
    source: str
    vehicle: Vehicle

    def __repr__(self) -> str:
        if self.scale is not None:
            what = f"scale={self.scale:.4f} ± {self.scale_sd:.4f}"
        else:
            what = "cd=[" + ", ".join(f"{c:.4f}" for c in self.cd) + "]"  # type: ignore[union-attr]
        return f"<DragFit {what} from {self.samples} {self.source} samples, Mach {self.mach_range[0]:.2f}-{self.mach_range[1]:.2f}>"


def knots(mach: npt.ArrayLike) -> _Array:
    """Checked Mach knots: 1 to MAX_KNOTS, non-negative, strictly increasing."""
    m = _checks.array("mach", mach)
    _checks.mach_numbers("mach", m)
    if m.size > MAX_KNOTS:
        raise ValueError(f"mach holds {m.size} knots: a fit takes at most {MAX_KNOTS}")
    return np.ascontiguousarray(m)


def scaled(vehicle: Vehicle, k: float) -> Vehicle:
    """The vehicle with its whole drag (body and brakes) times k."""
    from .vehicle import Vehicle

    props = vehicle.properties
    drag = vehicle.drag
    brakes = vehicle.brakes
    if brakes is not None and brakes.replace:
        new_drag = None
    elif drag is None or drag.is_constant:
        new_drag = Drag.constant(props["cd"] * k)
    else:
        new_drag = Drag(drag.mach, drag.cd * k)
    new_brakes = None if brakes is None else Brakes(brakes.deployment, brakes.mach, brakes.cd * k,
                                                     replace=brakes.replace, area=brakes.area)
    return Vehicle(_rocket(props), drag=new_drag, brakes=new_brakes)


def with_curve(vehicle: Vehicle, mach: _Array, cd: _Array) -> Vehicle:
    """The vehicle with the body's drag the curve (mach, cd), brakes kept."""
    from .vehicle import Vehicle

    bad = np.flatnonzero(cd < 0.0)
    if bad.size:
        raise ValueError(f"the fitted drag coefficient at Mach {float(mach[int(bad[0])]):g} is negative "
                         f"({float(cd[int(bad[0])]):.4f}): the data cannot support these knots")
    drag = Drag.constant(float(cd[0])) if mach.size == 1 else Drag(mach, cd)
    return Vehicle(_rocket(vehicle.properties), drag=drag, brakes=vehicle.brakes)


def _rocket(props: dict[str, float]) -> aeso.Rocket:
    return aeso.Rocket(**props)


def fit(vehicle: Vehicle, data: FlightData, atmosphere: Atmosphere, estimate: StateEstimate | None,
        mach: npt.ArrayLike | None, until: float | None) -> DragFit:
    """Vehicle.fit_drag's work (see there)."""
    if not isinstance(data, FlightData):
        raise TypeError(f"data must be a FlightData, not {type(data).__name__}")
    if not isinstance(atmosphere, Atmosphere):
        raise TypeError(f"atmosphere must be an Atmosphere, not {type(atmosphere).__name__}")
    if estimate is not None and not isinstance(estimate, StateEstimate):
        raise TypeError(f"estimate must be a StateEstimate or None, not {type(estimate).__name__}")
    cut = math.inf if until is None else _checks.real("until", until)
    m = None if mach is None else knots(mach)
    brakes = vehicle.brakes
    if m is not None and brakes is not None and brakes.replace:
        raise ValueError("the brakes are the whole vehicle's drag (replace=True): there is no body drag to fit at Mach knots")
    if data.burnout is None:
        raise ValueError("the data has no burnout (no coast to fit): give FlightData(..., burnout=)")
    end = min(cut, math.inf if data.apogee is None else data.apogee)
    if not data.burnout < end:
        raise ValueError(f"no coast in the data: the burnout at {data.burnout:g} s is not before "
                         f"{'until' if cut <= end else 'the apogee'} at {end:g} s")
    if estimate is None:
        estimate = data.estimate(atmosphere, until=until)
    rows = estimate.time.size
    if rows > data.time.size or not np.array_equal(estimate.time, data.time[:rows]):
        raise ValueError("the estimate is not of this data: its times differ from the data's")
    if data.specific_force is not None:
        return _from_accelerometer(vehicle, data, atmosphere, estimate, m, data.burnout, end)
    return _from_height(vehicle, data, atmosphere, estimate, m, data.burnout, end)


def _from_accelerometer(vehicle: Vehicle, data: FlightData, atmosphere: Atmosphere, estimate: StateEstimate,
                        m: _Array | None, start: float, end: float) -> DragFit:
    rows = estimate.time.size
    f = np.ascontiguousarray(data.specific_force[:rows])  # type: ignore[index]
    deployment = None
    if vehicle.brakes is not None and data.deployment is not None:
        deployment = np.ascontiguousarray(data.deployment[:rows])
    used = (estimate.time >= start) & (estimate.time <= end) & ~np.isnan(estimate.bias)
    last = np.flatnonzero(used)
    bias_variance = float(estimate.covariance[last[-1], 2, 2]) if last.size else 0.0
    run = _fit_drag(vehicle._craft, atmosphere._air, np.ascontiguousarray(estimate.time), f, deployment,
                    np.ascontiguousarray(estimate.height), np.ascontiguousarray(estimate.velocity),
                    np.ascontiguousarray(estimate.bias), (start, end), m, bias_variance)
    if run.samples < MIN_SAMPLES:
        raise ValueError(f"{run.samples} accelerometer samples in the coast from {start:g} s to {end:g} s: "
                         f"a fit needs at least {MIN_SAMPLES}")
    _check_range(m, run.mach_low, run.mach_high)
    if not run.solved:
        raise ValueError("the coast's samples do not determine the drag (the normal equations are singular)")
    k = len(run.values)
    covariance = np.array(run.covariance).reshape(k, k)
    return _result(vehicle, m, np.array(run.values), covariance, run.residual_rms, (run.mach_low, run.mach_high),
                   run.samples, "accelerometer")


def _check_range(m: _Array | None, low: float, high: float) -> None:
    """The rule a knot fit meets: the Mach range the samples covered reaches
    to within half a knot interval of the first and the last knot."""
    if m is None or m.size < 2:
        return
    first = m[0] + 0.5 * (m[1] - m[0])
    last = m[-1] - 0.5 * (m[-1] - m[-2])
    if low > first or high < last:
        raise ValueError(f"the data covers Mach {low:.3f} to {high:.3f}, narrower than the knots "
                         f"{m[0]:g} to {m[-1]:g}: it must reach Mach {first:g} and {last:g}")


def _result(vehicle: Vehicle, m: _Array | None, values: _Array, covariance: _Array, rms: float,
            mach_range: tuple[float, float], samples: int, source: str) -> DragFit:
    covariance.setflags(write=False)
    sd = np.sqrt(np.maximum(np.diag(covariance), 0.0))
    if m is None:
        k = float(values[0])
        if not k > 0.0:
            raise ValueError(f"the fitted drag scale {k:.4f} is not positive: the data cannot support a fit")
        return DragFit(k, float(sd[0]), None, None, None, covariance, rms, mach_range, samples, source,
                       scaled(vehicle, k))
    values.setflags(write=False)
    sd.setflags(write=False)
    return DragFit(None, None, m, values, sd, covariance, rms, mach_range, samples, source,
                   with_curve(vehicle, m, values))


def _from_height(vehicle: Vehicle, data: FlightData, atmosphere: Atmosphere, estimate: StateEstimate,
                 m: _Array | None, start: float, end: float) -> DragFit:
    """Without an accelerometer: the parameters whose predictions from the
    estimated state at burnout best follow the estimated heights of the
    coast (Gauss-Newton, weighted by the heights' standard deviations)."""
    inside = (estimate.time >= start) & (estimate.time <= end)
    times = estimate.time[inside]
    if times.size < MIN_SAMPLES:
        raise ValueError(f"{times.size} samples in the coast from {start:g} s to {end:g} s: a fit needs at least {MIN_SAMPLES}")
    t0 = float(times[0])
    state, _ = estimate.at(t0)
    heights = estimate.height[inside]
    weights = 1.0 / np.maximum(estimate.height_sd[inside], 1e-3)
    # The parameters are fitted as logarithms, which keeps them positive.
    if m is None:
        theta = np.array([0.0])
    else:
        cd0 = np.interp(m, *_body_curve(vehicle))
        theta = np.log(np.maximum(np.array(cd0, dtype=np.float64), 1e-3))

    def make(p: _Array) -> Vehicle:
        if m is None:
            return scaled(vehicle, float(np.exp(p[0])))
        return with_curve(vehicle, m, np.exp(p))

    def predicted(p: _Array) -> tuple[_Array, _Array]:
        v = make(p)
        deployment = 0.0 if v.brakes is not None else None
        t, rows = v.simulate_flight_1dof(state, aeso.OdeMethod.RK45, atmosphere=atmosphere, deployment=deployment)
        reach = times - t0 <= t[-1]
        return np.interp(times[reach] - t0, t, rows[:, 0]), rows[:, 10]

    for _ in range(HEIGHT_FIT_ITERATIONS):
        h, _mach = predicted(theta)
        n = h.size
        r = (heights[:n] - h) * weights[:n]
        jac = np.empty((n, theta.size))
        for j in range(theta.size):
            step = HEIGHT_FIT_STEP
            p = theta.copy()
            p[j] += step
            hj, _ = predicted(p)
            m_ = min(n, hj.size)
            jac[:, j] = 0.0
            jac[:m_, j] = (hj[:m_] - h[:m_]) * weights[:m_] / step
        delta, *_ = np.linalg.lstsq(jac, r, rcond=None)
        theta = theta + np.clip(delta, -1.0, 1.0)
        if np.all(np.abs(delta) <= 1e-9):
            break
    h, mach_track = predicted(theta)
    n = h.size
    r = (heights[:n] - h) * weights[:n]
    dof = max(n - theta.size, 1)
    s2 = float(r @ r) / dof
    values: _Array = np.exp(theta).astype(np.float64)
    # From the logarithms' covariance to the parameters'.
    covariance = s2 * np.linalg.inv(jac.T @ jac) * np.outer(values, values)
    rms = float(np.sqrt(np.mean((heights[:n] - h) ** 2)))
    mach_range = (float(np.min(mach_track)), float(np.max(mach_track)))
    _check_range(m, *mach_range)
    return _result(vehicle, m, values, covariance, rms, mach_range, n, "height")


def _body_curve(vehicle: Vehicle) -> tuple[_Array, _Array]:
    drag = vehicle.drag
    if drag is None:
        return np.array([0.0]), np.array([vehicle.properties["cd"]])
    return drag.mach, drag.cd
