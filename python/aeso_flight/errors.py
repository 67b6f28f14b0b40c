"""The failure of a flight in the real air, with its reason."""

from __future__ import annotations

__all__ = ["FlightError", "REASONS"]

# The reason of each status code of a native flight (the codes of the core's
# FlightStatus), as short names.
REASONS = {
    1: "iteration_limit",
    2: "invalid_step_options",
    3: "non_finite_apogee",
    4: "stopped",
    5: "left_atmosphere",
    6: "not_finite",
}


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
        apogee is not finite; ``"controller_raised"``: the controller of
        :meth:`Vehicle.fly_controlled` raised (the exception is the
        ``__cause__``).
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


def flight_error(status: int, failed_at: float, max_iterations: int, bounds: tuple[float, float]) -> FlightError:
    """The exception for a native flight's failure status."""
    reason = REASONS.get(status, "unknown")
    if reason == "iteration_limit":
        return FlightError(f"no apogee within max_iterations ({max_iterations})", reason)
    if reason == "left_atmosphere":
        return FlightError(
            f"the flight left the atmosphere's layers at {failed_at:.1f} m above the pad "
            f"(they span {bounds[0]:.1f} m to {bounds[1]:.1f} m)",
            reason,
            failed_at,
        )
    if reason == "not_finite":
        return FlightError(f"the flight's state stopped being finite (altitude {failed_at!r} m)", reason, failed_at)
    if reason == "invalid_step_options":
        return FlightError("the step controller refused the step options (dt_min > dt_max)", reason)
    if reason == "non_finite_apogee":
        return FlightError("the apogee is not finite", reason)
    return FlightError(f"the flight ended without an apogee (status {status})", reason)
