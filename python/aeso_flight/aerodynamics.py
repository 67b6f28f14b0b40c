"""A vehicle's drag: its drag coefficient against Mach number, and air
brakes as a table of drag coefficient over (deployment, Mach)."""

from __future__ import annotations

import os
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

from . import _checks
from .tables import read_brake_table, read_drag_table

__all__ = ["Brakes", "Drag"]


class Drag:
    """A drag coefficient against Mach number, linear between the points and
    held at the end values outside them: ``Drag(mach=[...], cd=[...])``, or
    one coefficient at every speed: ``Drag.constant(cd)``. Mach is the
    airspeed over the speed of sound at the flight's height. Drags are
    immutable values, equal when their points are, hashable and picklable.

    Parameters
    ----------
    mach : sequence of float
        The Mach numbers of the points: at least one, finite, non-negative
        and strictly increasing.
    cd : sequence of float
        The drag coefficient at each, referred to the rocket's ``area_drag``:
        as many values, finite and non-negative.

    Raises
    ------
    TypeError
        ``mach`` or ``cd`` is not a sequence of numbers.
    ValueError
        ``mach`` or ``cd`` is not one-dimensional, holds a value that is not
        finite, or is empty; their lengths differ; the Mach numbers do not
        strictly increase; a Mach number or a coefficient is negative.

    Examples
    --------
    >>> from aeso_flight import Drag
    >>> drag = Drag(mach=[0.3, 0.8, 0.95], cd=[0.38, 0.30, 0.33])
    >>> drag.coefficient([0.1, 0.55, 2.0]).round(4)   # held at the ends outside the points
    array([0.38, 0.34, 0.33])
    """

    __slots__ = ("_mach", "_cd")

    _mach: npt.NDArray[np.float64]
    _cd: npt.NDArray[np.float64]

    def __init__(self, mach: Sequence[float] | npt.ArrayLike, cd: Sequence[float] | npt.ArrayLike) -> None:
        m = _checks.array("mach", mach)
        c = _checks.array("cd", cd)
        _checks.same_length("mach", m, "cd", c)
        _checks.mach_numbers("mach", m)
        if np.any(c < 0.0):
            raise ValueError(f"cd must not be negative: {float(c[np.argmax(c < 0.0)])!r}")
        object.__setattr__(self, "_mach", m)
        object.__setattr__(self, "_cd", c)

    @classmethod
    def constant(cls, cd: float) -> Drag:
        """One drag coefficient at every Mach number.

        In a :class:`Vehicle` it is the rocket's own ``cd``: the flights are
        then aeso's, to the bit.

        Parameters
        ----------
        cd : float
            The drag coefficient, finite and non-negative.

        Returns
        -------
        Drag
            One point, at Mach 0.

        Raises
        ------
        TypeError
            ``cd`` is not a number.
        ValueError
            ``cd`` is not finite or is negative.

        Examples
        --------
        >>> from aeso_flight import Drag
        >>> drag = Drag.constant(0.45)
        >>> drag, drag.coefficient(2.0), drag.is_constant
        (Drag.constant(0.45), 0.45, True)
        """
        return cls([0.0], [_checks.non_negative("cd", cd)])

    @classmethod
    def from_csv(cls, path: str | os.PathLike[str]) -> Drag:
        """The drag curve of a CSV file: one point per line, the Mach number
        and the drag coefficient, optionally under a header line (the format
        of ``aeso_flight.tables``).

        Parameters
        ----------
        path : str or os.PathLike
            The file.

        Returns
        -------
        Drag

        Raises
        ------
        ValueError
            The file cannot be read or a line is not two numbers (a
            ``TableError`` naming the file and the line), or the points do
            not make a drag curve (as for :class:`Drag`).

        Examples
        --------
        >>> import os, tempfile
        >>> with tempfile.TemporaryDirectory() as folder:
        ...     path = os.path.join(folder, "drag.csv")
        ...     with open(path, "w") as f:
        ...         _ = f.write("mach,cd\\n0.3,0.38\\n0.8,0.30\\n0.95,0.33\\n")
        ...     Drag.from_csv(path)
        Drag(mach=[0.3, 0.8, 0.95], cd=[0.38, 0.3, 0.33])
        """
        mach, cd = read_drag_table(path)
        return cls(mach, cd)

    @property
    def mach(self) -> npt.NDArray[np.float64]:
        """The Mach numbers of the points (a read-only float64 array).

        Examples
        --------
        >>> Drag(mach=[0.3, 0.8], cd=[0.38, 0.30]).mach
        array([0.3, 0.8])
        """
        return self._mach

    @property
    def cd(self) -> npt.NDArray[np.float64]:
        """The drag coefficients at them (a read-only float64 array).

        Examples
        --------
        >>> Drag(mach=[0.3, 0.8], cd=[0.38, 0.30]).cd
        array([0.38, 0.3 ])
        """
        return self._cd

    @property
    def is_constant(self) -> bool:
        """Whether the drag has a single point, so one coefficient at every
        Mach number (as :meth:`constant` makes).

        Examples
        --------
        >>> Drag(mach=[0.5], cd=[0.4]).is_constant
        True
        """
        return self._mach.size == 1

    def coefficient(self, mach: float | npt.ArrayLike) -> float | npt.NDArray[np.float64]:
        """The drag coefficient at ``mach`` (a float or an array).

        Parameters
        ----------
        mach : float or array_like
            Mach numbers; outside the points the end values hold, and NaN
            gives NaN.

        Returns
        -------
        float or numpy.ndarray
            A float for a scalar ``mach``, else an array of its shape.

        Raises
        ------
        ValueError
            NumPy cannot make a float array of ``mach`` (a string that is
            not a number, rows of unequal length).
        TypeError
            ``mach`` is of a type NumPy does not convert to float.

        Examples
        --------
        >>> round(Drag(mach=[0.3, 0.8], cd=[0.38, 0.30]).coefficient(0.55), 4)
        0.34
        """
        return _interpolate(self._mach, self._cd, mach)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Drag is immutable")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Drag):
            return NotImplemented
        return np.array_equal(self._mach, other._mach) and np.array_equal(self._cd, other._cd)

    def __hash__(self) -> int:
        return hash((_checks.array_key(self._mach), _checks.array_key(self._cd)))

    def __repr__(self) -> str:
        if self.is_constant:
            return f"Drag.constant({float(self._cd[0])!r})"
        return f"Drag(mach={self._mach.tolist()!r}, cd={self._cd.tolist()!r})"

    def __reduce__(self) -> tuple[object, ...]:
        return (Drag, (self._mach.tolist(), self._cd.tolist()))


class Brakes:
    """Air brakes: a table of drag coefficient over deployment levels and
    Mach numbers, ``cd[i][j]`` at ``deployment[i]`` and ``mach[j]``, bilinear
    between the points and held at the end values in Mach outside them.

    ``deployment`` runs from 0 (closed) to 1 (fully open), strictly
    increasing. With ``replace=False`` the brakes' drag adds to the body's
    drag, along the airspeed and without a moment; with ``replace=True`` the
    table is the whole vehicle's drag (as measured with the brakes fitted).
    ``area`` is the brakes' own reference area (m^2) if the table is not
    referred to the rocket's ``area_drag``. Brakes are immutable values,
    equal when built from equal values, hashable and picklable.

    A measured table may dip: its drag may fall from one deployment level
    to the next at some Mach numbers. Such a table is accepted as given;
    :attr:`decreasing` lists where it falls, and the inverse
    (:meth:`Vehicle.deployment_for_apogee`, :class:`Predictive`) searches it
    as given.

    Parameters
    ----------
    deployment : sequence of float
        The deployment levels of the rows: at least two, finite, strictly
        increasing from 0 to 1.
    mach : sequence of float
        The Mach numbers of the columns: at least one, finite, non-negative,
        strictly increasing.
    cd : sequence of sequence of float
        The table, one row per deployment level and one column per Mach
        number; finite, non-negative.
    replace : bool, default False
        Whether the table is the whole vehicle's drag (True) or adds to the
        body's (False).
    area : float, optional
        The brakes' reference area (m^2), finite and positive; None: the
        rocket's ``area_drag``.

    Raises
    ------
    TypeError
        ``deployment``, ``mach`` or ``cd`` is not made of numbers, or the
        rows of ``cd`` differ in length; ``replace`` is not a bool;
        ``area`` is not a number.
    ValueError
        ``deployment`` or ``mach`` is not one-dimensional, or ``cd`` not
        two-dimensional; a value is not finite; fewer than two
        deployment levels, or they do not run from 0 to 1; the levels or the
        Mach numbers do not strictly increase; no Mach number, or a negative
        one; the table's shape is not ``len(deployment) x len(mach)``; a
        negative coefficient; ``area`` is not positive.

    Examples
    --------
    >>> from aeso_flight import Brakes
    >>> brakes = Brakes(deployment=[0.0, 0.5, 1.0], mach=[0.3, 0.9],
    ...                 cd=[[0.0, 0.0], [0.40, 0.45], [0.90, 1.00]])
    >>> round(brakes.coefficient(0.25, 0.6), 4)   # half-way to the second row, at Mach 0.6
    0.2125
    """

    __slots__ = ("_deployment", "_mach", "_cd", "_replace", "_area", "_decreasing")

    _deployment: npt.NDArray[np.float64]
    _mach: npt.NDArray[np.float64]
    _cd: npt.NDArray[np.float64]
    _replace: bool
    _area: float | None
    _decreasing: tuple[tuple[float, float, float], ...]

    def __init__(
        self,
        deployment: Sequence[float] | npt.ArrayLike,
        mach: Sequence[float] | npt.ArrayLike,
        cd: Sequence[Sequence[float]] | npt.ArrayLike,
        replace: bool = False,
        area: float | None = None,
    ) -> None:
        d = _checks.array("deployment", deployment)
        m = _checks.array("mach", mach)
        c = _checks.array("cd", cd, ndim=2)
        _checks.increasing("deployment", d, at_least=2)
        if d[0] != 0.0 or d[-1] != 1.0:
            raise ValueError(
                f"deployment must run from 0 (closed) to 1 (fully open), not from {float(d[0])!r} to {float(d[-1])!r}"
            )
        _checks.mach_numbers("mach", m)
        if c.shape != (d.size, m.size):
            raise ValueError(
                f"cd must have one row per deployment and one column per Mach number, "
                f"{d.size} x {m.size}, not {c.shape[0]} x {c.shape[1]}"
            )
        if np.any(c < 0.0):
            i, j = np.argwhere(c < 0.0)[0]
            raise ValueError(f"cd must not be negative: {float(c[i, j])!r} at deployment {float(d[i])!r}, Mach {float(m[j])!r}")
        if not isinstance(replace, (bool, np.bool_)):
            raise TypeError(f"replace must be a bool, not {type(replace).__name__}")
        a = None if area is None else _checks.positive("area", area) + 0.0
        object.__setattr__(self, "_deployment", d)
        object.__setattr__(self, "_mach", m)
        object.__setattr__(self, "_cd", c)
        object.__setattr__(self, "_replace", bool(replace))
        object.__setattr__(self, "_area", a)
        falls = np.argwhere(np.diff(c, axis=0) < 0.0)
        object.__setattr__(self, "_decreasing", tuple((float(d[i]), float(d[i + 1]), float(m[j])) for i, j in falls))

    @classmethod
    def from_csv(cls, path: str | os.PathLike[str], replace: bool = False, area: float | None = None) -> Brakes:
        """The brake table of a CSV file: a first line of a label and the Mach
        numbers, then per line a deployment level and its drag coefficient
        at each (the format of ``aeso_flight.tables``).

        Parameters
        ----------
        path : str or os.PathLike
            The file.
        replace, area
            As for :class:`Brakes`.

        Returns
        -------
        Brakes

        Raises
        ------
        ValueError
            The file cannot be read or a line is malformed (a ``TableError``
            naming the file and the line), or the values do not make a brake
            table (as for :class:`Brakes`).
        TypeError
            As for :class:`Brakes`.

        Examples
        --------
        >>> import os, tempfile
        >>> with tempfile.TemporaryDirectory() as folder:
        ...     path = os.path.join(folder, "brakes.csv")
        ...     with open(path, "w") as f:
        ...         _ = f.write("deployment \\\\ mach,0.3,0.9\\n0,0,0\\n0.5,0.4,0.45\\n1,0.9,1.0\\n")
        ...     Brakes.from_csv(path).cd.tolist()
        [[0.0, 0.0], [0.4, 0.45], [0.9, 1.0]]
        """
        levels, mach, cd = read_brake_table(path)
        return cls(levels, mach, cd, replace=replace, area=area)

    @property
    def deployment(self) -> npt.NDArray[np.float64]:
        """The deployment levels of the rows, from 0 to 1 (a read-only
        float64 array).

        Examples
        --------
        >>> brakes.deployment
        array([0. , 0.5, 1. ])
        """
        return self._deployment

    @property
    def mach(self) -> npt.NDArray[np.float64]:
        """The Mach numbers of the columns (a read-only float64 array).

        Examples
        --------
        >>> brakes.mach
        array([0.3, 0.9])
        """
        return self._mach

    @property
    def cd(self) -> npt.NDArray[np.float64]:
        """The table, one row per deployment level (a read-only float64
        array of shape ``(len(deployment), len(mach))``).

        Examples
        --------
        >>> brakes.cd.shape
        (3, 2)
        """
        return self._cd

    @property
    def replace(self) -> bool:
        """Whether the table is the whole vehicle's drag (True) or adds to
        the body's (False).

        Examples
        --------
        >>> brakes.replace
        False
        """
        return self._replace

    @property
    def area(self) -> float | None:
        """The brakes' own reference area (m^2), or None when the table is
        referred to the rocket's ``area_drag``.

        Examples
        --------
        >>> brakes.area is None
        True
        """
        return self._area

    @property
    def decreasing(self) -> tuple[tuple[float, float, float], ...]:
        """Where the drag falls with deployment: a ``(level, next level,
        Mach)`` for every cell of the table whose coefficient at the next
        deployment level is below its own, in table order; empty for a
        monotone table. Found at construction.

        Examples
        --------
        >>> brakes.decreasing
        ()
        >>> Brakes([0.0, 0.1, 1.0], [0.5, 0.9], [[0.2, 0.2], [0.19, 0.25], [0.9, 1.0]]).decreasing
        ((0.0, 0.1, 0.5),)
        """
        return self._decreasing

    @property
    def monotone(self) -> bool:
        """Whether the drag does not decrease with deployment at any Mach
        number of the table (no :attr:`decreasing` cell).

        Examples
        --------
        >>> brakes.monotone
        True
        >>> Brakes([0.0, 1.0], [0.5], [[0.2], [0.1]]).monotone
        False
        """
        return not self._decreasing

    def coefficient(self, deployment: float | npt.ArrayLike, mach: float | npt.ArrayLike) -> float | npt.NDArray[np.float64]:
        """The table's drag coefficient at ``deployment`` and ``mach``
        (floats or arrays that broadcast), referred to the brakes' area.

        Parameters
        ----------
        deployment : float or array_like
            Deployment levels; below 0 or above 1 they read as 0 or 1.
        mach : float or array_like
            Mach numbers; outside the table's the end values hold.

        Returns
        -------
        float or numpy.ndarray
            A float when both are scalars, else an array of their broadcast
            shape.

        Raises
        ------
        ValueError
            The shapes do not broadcast, or NumPy cannot make a float array
            of an argument (a string that is not a number, rows of unequal
            length).
        TypeError
            An argument is of a type NumPy does not convert to float.

        Examples
        --------
        >>> brakes.coefficient([0.0, 0.5, 1.0], 0.6).round(4)
        array([0.   , 0.425, 0.95 ])
        """
        dep, m = np.broadcast_arrays(np.asarray(deployment, dtype=np.float64), np.asarray(mach, dtype=np.float64))
        # Linear in Mach along every row, then linear in deployment between
        # the two rows around each point (held at 0 and 1).
        rows = np.stack([np.interp(m, self._mach, row) for row in self._cd])
        d = np.clip(dep, 0.0, 1.0)
        i = np.clip(np.searchsorted(self._deployment, d, side="right") - 1, 0, self._deployment.size - 2)
        lo, hi = self._deployment[i], self._deployment[i + 1]
        t = (d - lo) / (hi - lo)
        below = np.take_along_axis(rows, i[np.newaxis], axis=0)[0]
        above = np.take_along_axis(rows, (i + 1)[np.newaxis], axis=0)[0]
        out = below + t * (above - below)
        return float(out) if out.ndim == 0 else out

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Brakes is immutable")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Brakes):
            return NotImplemented
        return (
            np.array_equal(self._deployment, other._deployment)
            and np.array_equal(self._mach, other._mach)
            and np.array_equal(self._cd, other._cd)
            and self._replace == other._replace
            and self._area == other._area
        )

    def __hash__(self) -> int:
        return hash((_checks.array_key(self._deployment), _checks.array_key(self._mach), _checks.array_key(self._cd),
                     self._replace, self._area))

    def __repr__(self) -> str:
        return (
            f"Brakes(deployment={self._deployment.tolist()!r}, mach={self._mach.tolist()!r}, "
            f"cd={self._cd.tolist()!r}, replace={self._replace!r}, area={self._area!r})"
        )

    def __reduce__(self) -> tuple[object, ...]:
        return (Brakes, (self._deployment.tolist(), self._mach.tolist(), self._cd.tolist(), self._replace, self._area))


def _interpolate(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64], at: float | npt.ArrayLike) -> float | npt.NDArray[np.float64]:
    """y(at) by linear interpolation, held at the end values (np.interp)."""
    result = np.interp(np.asarray(at, dtype=np.float64), x, y)
    return float(result) if np.ndim(result) == 0 else result
