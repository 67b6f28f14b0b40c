"""What the inverses return: the deployment level (or drag factor) that
makes the predicted apogee a target."""

from __future__ import annotations

import enum
from dataclasses import dataclass

__all__ = ["DeploymentSolution", "DragScaleSolution", "Reach"]


class Reach(enum.Enum):
    """Whether the target was reached."""

    #: the predicted apogee at the answer is within 0.01 m of the target
    REACHED = "reached"
    #: even the most drag (brakes fully open, or the largest factor tried)
    #: leaves the apogee above the target; the answer is that most drag
    TOO_HIGH = "too high"
    #: even the least drag (brakes closed, or no drag at all) leaves the
    #: apogee below the target; the answer is that least drag
    TOO_LOW = "too low"


@dataclass(frozen=True, slots=True)
class DeploymentSolution:
    """The deployment level, held from the state on, whose predicted apogee
    is the target (or the nearest level, 1.0 or 0.0, when out of reach).

    ``apogee`` is predicted at ``level``; ``predictions`` counts the
    predictions the search made, the end points included. ``slope`` (m of
    apogee per unit of deployment, negative) and ``bracket`` (a level whose
    apogee is above the target and one whose apogee is below, NaN where none
    was seen) make a warm start for the next decision: pass the solution as
    ``start``.
    """

    level: float
    apogee: float
    status: Reach
    predictions: int
    slope: float
    bracket: tuple[float, float]


@dataclass(frozen=True, slots=True)
class DragScaleSolution:
    """The factor on the vehicle's whole drag whose predicted apogee is the
    target (or the nearest factor tried, when out of reach); the other
    fields as in :class:`DeploymentSolution`."""

    scale: float
    apogee: float
    status: Reach
    predictions: int
    slope: float
    bracket: tuple[float, float]
