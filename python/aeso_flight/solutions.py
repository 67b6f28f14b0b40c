"""What the inverses return: the deployment level (or drag factor) that
makes the predicted apogee a target."""

from __future__ import annotations

import enum
from dataclasses import dataclass

__all__ = ["DeploymentSolution", "DragScaleSolution", "Reach"]


class Reach(enum.Enum):
    """Whether the target was reached: the ``status`` of a
    :class:`DeploymentSolution` or a :class:`DragScaleSolution`.

    Examples
    --------
    >>> from aeso_flight import Reach
    >>> Reach("too high") is Reach.TOO_HIGH, Reach.REACHED.value
    (True, 'reached')
    """

    #: the apogee predicted again at the answer is within 0.01 m of the
    #: target
    REACHED = "reached"
    #: even the most drag (brakes fully open, or the largest factor tried)
    #: leaves the apogee above the target; the answer is that most drag
    TOO_HIGH = "too high"
    #: even the least drag (brakes closed, or no drag at all) leaves the
    #: apogee below the target; the answer is that least drag
    TOO_LOW = "too low"
    #: the apogee jumps across the target between two values as close as
    #: doubles go (a coarse fixed step makes it a staircase): no value
    #: reaches it within 0.01 m; the answer is the nearer of the two, its
    #: ``apogee`` predicted there
    JUMP = "jump"


@dataclass(frozen=True, slots=True)
class DeploymentSolution:
    """The deployment level, held from the state on, whose predicted apogee
    is the target (or the nearest level, 1.0 or 0.0, when out of reach).

    ``apogee`` is the apogee predicted at ``level`` (whatever the status);
    ``predictions`` counts the
    predictions the search made, the end points included. ``slope`` (m of
    apogee per unit of deployment, negative) and ``bracket`` (a level whose
    apogee is above the target and one whose apogee is below, NaN where none
    was seen) make a warm start for the next decision: pass the solution as
    ``start``.

    Made by :meth:`Vehicle.deployment_for_apogee`; an immutable value.

    Attributes
    ----------
    level : float
        The deployment level, from 0 (closed) to 1 (fully open).
    apogee : float
        The apogee predicted at ``level`` (m above the pad).
    status : Reach
        :attr:`Reach.REACHED` within 0.01 m of the target, else which way it
        is out of reach.
    predictions : int
        The predictions the search made, the end points included.
    slope : float
        d apogee / d level near the answer (m per unit of deployment,
        negative).
    bracket : tuple of float
        (a level whose apogee is above the target, one whose apogee is
        below), NaN where none was seen.

    Examples
    --------
    >>> import aeso
    >>> from aeso_flight import Atmosphere, Brakes, Vehicle
    >>> simple = Vehicle(aeso.Rocket(20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0),
    ...                  brakes=Brakes([0.0, 1.0], [0.3, 0.9], [[0.0, 0.0], [0.9, 1.0]]))
    >>> solution = simple.deployment_for_apogee(2200.0, aeso.InitialState1DOF(0.0, 250.0),
    ...                                         aeso.OdeMethod.RK45, atmosphere=Atmosphere.constant())
    >>> solution.status, round(solution.level, 3), round(solution.apogee, 2)
    (<Reach.REACHED: 'reached'>, 0.203, 2200.0)
    """

    level: float
    apogee: float
    status: Reach
    predictions: int
    slope: float
    bracket: tuple[float, float]


@dataclass(frozen=True, slots=True)
class DragScaleSolution:
    """The factor on the vehicle's drag coefficient (body and brakes; in
    3-DOF not the angle of attack's ``cl_a`` * alpha term) whose predicted
    apogee is the target (or the nearest factor tried, when out of reach);
    the other fields as in :class:`DeploymentSolution`.

    Made by :meth:`Vehicle.drag_scale_for_apogee`; an immutable value.

    Attributes
    ----------
    scale : float
        The factor on the drag coefficient, from 0 up to 2^20.
    apogee : float
        The apogee predicted with it (m above the pad).
    status : Reach
        As in :class:`DeploymentSolution`.
    predictions : int
        As in :class:`DeploymentSolution`.
    slope : float
        d apogee / d scale near the answer (m per unit of the factor,
        negative).
    bracket : tuple of float
        (a factor whose apogee is above the target, one whose apogee is
        below), NaN where none was seen.

    Examples
    --------
    >>> import aeso
    >>> from aeso_flight import Atmosphere, Vehicle
    >>> bare = Vehicle(aeso.Rocket(20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0))
    >>> solution = bare.drag_scale_for_apogee(2200.0, aeso.InitialState1DOF(0.0, 250.0),
    ...                                       aeso.OdeMethod.RK45, atmosphere=Atmosphere.constant())
    >>> solution.status, round(solution.scale, 3)
    (<Reach.REACHED: 'reached'>, 1.426)
    """

    scale: float
    apogee: float
    status: Reach
    predictions: int
    slope: float
    bracket: tuple[float, float]
