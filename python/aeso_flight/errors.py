"""The failure of a flight in the real air, with its reason, and the one
table of failure reasons and messages that aeso_flight and the study tool
(aeso_dispersion) both use."""

from __future__ import annotations

from typing import Final, NamedTuple

from ._native import FLIGHT_STATUS

__all__ = ["FAILURES", "REASONS", "FlightError", "failure_message"]


class Failure(NamedTuple):
    """A failed flight's reason (a short name) and message; ``{where}`` in
    the message takes the details a caller has (empty when it has none)."""

    reason: str
    message: str


#: The failure of each native status, by the status's name (see
#: _native.FLIGHT_STATUS). A study's results file and aeso_flight's
#: FlightError word a failure alike.
FAILURES: Final = {
    "ITERATION_LIMIT": Failure("iteration_limit", "no apogee within max_iterations ({max_iterations}){where}"),
    "INVALID_STEP_OPTIONS": Failure("invalid_step_options", "invalid step options: dt_min > dt_max, or either is NaN"),
    "NON_FINITE_APOGEE": Failure("non_finite_apogee", "non-finite apogee"),
    "STOPPED": Failure("stopped", "the flight was stopped before its apogee"),
    "LEFT_ATMOSPHERE": Failure("left_atmosphere", "the flight left the atmosphere's layers{where}"),
    "NOT_FINITE": Failure("not_finite", "the flight's state stopped being finite{where}"),
    "CONTROLLER_FAILED": Failure("controller_failed", "the controller commanded no finite level{where}"),
    "OUT_OF_MEMORY": Failure("out_of_memory", "the flight ran out of memory"),
}
if set(FAILURES) != set(FLIGHT_STATUS) - {"OK"}:
    raise ImportError(f"the failure table {sorted(FAILURES)} does not match the native statuses "
                      f"{sorted(FLIGHT_STATUS)}: the build is out of date")
_BY_CODE: Final = {FLIGHT_STATUS[name]: failure for name, failure in FAILURES.items()}
#: The reason of each native status code, as short names.
REASONS: Final = {code: failure.reason for code, failure in _BY_CODE.items()}


def failure_message(code: int, max_iterations: int = 0, where: str = "") -> str:
    """The message of a native status code."""
    return _BY_CODE[code].message.format(max_iterations=max_iterations, where=where)


class FlightError(RuntimeError):
    """A flight that did not reach its apogee: ``reason`` names why
    (``"iteration_limit"``, ``"left_atmosphere"``, ``"not_finite"``, ...) and
    the message says it in words. ``height`` is the height above the pad
    (m) of the state that left the atmosphere or stopped being finite, or
    None.

    Unlike aeso's :exc:`~aeso_runtime.InternalError` it is an :exc:`Exception`
    (a :exc:`RuntimeError`).

    Parameters
    ----------
    message : str
        What happened, in words.
    reason : str
        Why, as a short name.
    height : float, optional
        The height above the pad (m) where the flight failed.

    Attributes
    ----------
    reason : str
        ``"iteration_limit"``: ``max_iterations`` steps without reaching the
        apogee; ``"left_atmosphere"``: an accepted state lay outside the
        atmosphere's layers; ``"not_finite"``: the state's altitude or
        vertical velocity stopped being finite; ``"non_finite_apogee"``: the
        apogee is not finite; ``"invalid_step_options"``: the step
        controller refused the step options; ``"controller_raised"``: the
        callable controller of :meth:`Vehicle.fly_controlled` raised (the
        exception is the ``__cause__``); ``"controller_failed"``: a built-in
        controller commanded no finite level (a PID whose terms overflow).
    height : float or None
        The height above the pad (m) of the state that left the atmosphere
        or stopped being finite, else None.

    Examples
    --------
    >>> import aeso
    >>> from aeso_flight import Atmosphere, FlightError, Vehicle
    >>> bare = Vehicle(aeso.Rocket(20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0))
    >>> try:
    ...     bare.predict_apogee_1dof(aeso.InitialState1DOF(0.0, 250.0), aeso.OdeMethod.RK45,
    ...                                 atmosphere=Atmosphere.standard(site_elevation=85000.0))
    ... except FlightError as error:
    ...     print(error.reason, round(error.height, 1))
    ...     print(error)
    left_atmosphere 1015.4
    the flight left the atmosphere's layers at 1015.4 m above the pad (they span -89996.1 m to 1000.0 m)
    """

    def __init__(self, message: str, reason: str, height: float | None = None) -> None:
        super().__init__(message)
        self.reason = reason
        self.height = height


def flight_error(result: object, max_iterations: int, bounds: tuple[float, float], rate: float | None = None) -> FlightError:
    """The exception for a native FlightResult that failed; ``rate``: a
    controlled flight's ticks per second."""
    code = result.status  # type: ignore[attr-defined]
    failure = _BY_CODE[code]
    height, velocity = result.failed_at, result.failed_velocity  # type: ignore[attr-defined]
    where, at = "", None
    if failure.reason == "left_atmosphere":
        where = f" at {height:.1f} m above the pad (they span {bounds[0]:.1f} m to {bounds[1]:.1f} m)"
        at = height
    elif failure.reason == "not_finite":
        where = f" (altitude {height!r} m, vertical velocity {velocity!r} m/s)"
        at = height
    elif failure.reason == "iteration_limit" and rate is not None:
        where = (f": every tick at {rate:g} Hz is a step boundary, so the flight takes at least {rate:g} steps "
                 f"a second; raise max_iterations or lower the rate")
    return FlightError(failure_message(code, max_iterations, where), failure.reason, at)
