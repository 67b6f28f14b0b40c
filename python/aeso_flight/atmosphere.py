"""The air a flight flies through: a constant density, or the 1976 standard
atmosphere shifted to the day's air at the launch site."""

from __future__ import annotations

from typing import overload

import numpy as np
import numpy.typing as npt

from . import _checks
from ._native import Air, pressure_altitudes, standard_air

__all__ = ["Atmosphere"]

# The standard's constants (as the flights use them).
EARTH_RADIUS = 6356766.0  # m, for geopotential height
GAS_CONSTANT = 287.05287  # J/(kg K)
SEA_LEVEL_TEMPERATURE = 288.15  # K
SEA_LEVEL_PRESSURE = 101325.0  # Pa
SEA_LEVEL_DENSITY = 1.225  # kg/m^3
# The geometric altitudes (m above sea level) the layers span: geopotential
# -5 km to 84.852 km.
LOWEST_ALTITUDE = EARTH_RADIUS * -5000.0 / (EARTH_RADIUS + 5000.0)
HIGHEST_ALTITUDE = EARTH_RADIUS * 84852.0 / (EARTH_RADIUS - 84852.0)
# How far the day's temperatures may lie from the standard's (K): beyond
# the extremes measured at the Earth's surface, and within what keeps the
# air at every layer above absolute zero with room to spare.
MAX_TEMPERATURE_OFFSET = 100.0
# A measured pad pressure may differ from the standard pressure at the site
# by at most this factor (weather moves it by a few per cent; a value in hPa
# or kPa is off by 100 or 1000).
MAX_PRESSURE_RATIO = 1.5

_Heights = float | npt.ArrayLike


class Atmosphere:
    """The air of a flight: its density and speed of sound at every height.

    Build one with :meth:`constant` (aeso's air: one density everywhere) or
    :meth:`standard` (the 1976 standard atmosphere at a launch site, shifted
    to the day's temperature); the class itself is not called. Heights are
    metres above the launch pad. Atmospheres are immutable values: equal
    when built from equal values, hashable and picklable.

    Raises
    ------
    TypeError
        On ``Atmosphere()``: build one with :meth:`constant` or
        :meth:`standard`.
    AttributeError
        On setting or deleting an attribute.

    Examples
    --------
    >>> from aeso_flight import Atmosphere
    >>> Atmosphere.constant()
    Atmosphere.constant(density=1.225)
    >>> Atmosphere.standard(site_elevation=1401.0) == Atmosphere.standard(1401.0, 0.0)
    True
    """

    __slots__ = ("_kind", "_values", "_air", "_bounds")

    _kind: str
    _values: tuple[float, ...]
    _air: Air
    _bounds: tuple[float, float]

    def __init__(self) -> None:
        raise TypeError("use Atmosphere.constant(...) or Atmosphere.standard(...)")

    @classmethod
    def _make(cls, kind: str, values: tuple[float, ...], air: Air) -> Atmosphere:
        self = object.__new__(cls)
        object.__setattr__(self, "_kind", kind)
        object.__setattr__(self, "_values", values)
        object.__setattr__(self, "_air", air)
        object.__setattr__(self, "_bounds", air.bounds())
        return self

    @classmethod
    def constant(cls, density: float = SEA_LEVEL_DENSITY) -> Atmosphere:
        """The same air at every height: ``density`` (kg/m^3, default the
        sea-level 1.225 of aeso) and the sea-level standard speed of sound
        (340.294 m/s), so Mach numbers are airspeed over 340.294 m/s.
        Temperature and pressure read as the sea-level standard temperature
        and ``density * R * T``.

        Parameters
        ----------
        density : float, default 1.225
            The density (kg/m^3): finite and positive.

        Returns
        -------
        Atmosphere
            One whose :attr:`kind` is ``"constant"`` and whose
            :attr:`heights` are infinite.

        Raises
        ------
        TypeError
            ``density`` is not a number.
        ValueError
            ``density`` is not finite or not positive.

        Examples
        --------
        >>> from aeso_flight import Atmosphere
        >>> air = Atmosphere.constant()
        >>> air.density(3000.0), round(air.speed_of_sound(3000.0), 3), air.temperature(0.0)
        (1.225, 340.294, 288.15)
        """
        rho = _checks.positive("density", density)
        return cls._make("constant", (rho,), Air(0, rho))

    @classmethod
    def standard(
        cls,
        site_elevation: float = 0.0,
        temperature_offset: float = 0.0,
        *,
        pad_temperature: float | None = None,
        pad_pressure: float | None = None,
    ) -> Atmosphere:
        """The 1976 standard atmosphere at a launch site ``site_elevation`` m
        above sea level, on a day ``temperature_offset`` K warmer than the
        standard everywhere (negative: colder).

        Or give the air measured at the pad: ``pad_temperature`` (K; the
        offset is then its difference from the standard temperature at the
        site) and, optionally, ``pad_pressure`` (Pa; default the standard
        pressure at the site). A nonzero ``temperature_offset`` excludes the
        pad values.

        Temperature is the standard profile shifted by the offset, a linear
        function of geopotential height H = r0 z / (r0 + z) in each of the
        seven layers up to 86 km (z the geometric altitude, r0 = 6356766 m).
        Pressure is integrated hydrostatically, dp/dH = -g0 p / (R T), from the
        pad up and down through the layers, and density is p / (R T), with
        g0 = 9.80665 m/s^2 and R = 287.05287 J/(kg K); the speed of sound is
        sqrt(1.4 R T). A state of a flight outside the layers ends it.

        Flights read the density and the speed of sound from tables built
        here: degree-5 polynomials of the height on pieces of at most 250 m
        that never straddle a layer boundary, the same bits on every
        platform. Measured against the formulas over the whole column, the
        density lies within 1.6e-14 (relative) on a standard or warmer day,
        3.7e-14 at an offset of -50 K and 2.4e-13 at -100 K (the coldest day
        allowed); the speed of sound within 2e-15. :meth:`density`
        and :meth:`speed_of_sound` return those values; :meth:`temperature`
        and :meth:`pressure` the formulas'.

        Parameters
        ----------
        site_elevation : float, default 0.0
            The pad's geometric altitude above sea level (m), within the
            layers: from -4996.1 m up to (not including) 86000 m.
        temperature_offset : float, default 0.0
            The day's temperature minus the standard's, everywhere (K), from
            -100 to 100.
        pad_temperature : float, optional
            Keyword only. The air temperature measured at the pad (K), within
            100 K of the standard temperature at the site; the offset is then
            its difference from that. Excludes a nonzero
            ``temperature_offset``.
        pad_pressure : float, optional
            Keyword only. The pressure measured at the pad (Pa), within a
            factor 1.5 of the standard pressure at the site (default: that
            standard pressure). Excludes a nonzero ``temperature_offset``:
            give the day's temperature as ``pad_temperature`` with it.

        Returns
        -------
        Atmosphere
            One whose :attr:`kind` is ``"standard"``.

        Raises
        ------
        TypeError
            An argument is not a number.
        ValueError
            An argument is not finite; ``site_elevation`` lies outside the
            layers; ``temperature_offset`` lies beyond ±100 K; a nonzero
            ``temperature_offset`` comes with ``pad_temperature`` or
            ``pad_pressure``; ``pad_temperature`` or ``pad_pressure`` is not
            positive; ``pad_temperature`` lies more than 100 K from the
            standard temperature at the site (a value in degrees Celsius) or
            ``pad_pressure`` more than a factor 1.5 from the standard
            pressure there (a value in hPa or kPa).

        Examples
        --------
        >>> from aeso_flight import Atmosphere
        >>> air = Atmosphere.standard(site_elevation=1401.0)
        >>> round(air.density(0.0), 4), round(air.temperature(0.0), 2), round(air.pad_pressure)
        (1.0685, 279.05, 85592)
        >>> day = Atmosphere.standard(1401.0, pad_temperature=290.0)   # 290 K measured at the pad
        >>> round(day.temperature_offset, 2)
        10.95
        """
        site = _checks.real("site_elevation", site_elevation)
        if not LOWEST_ALTITUDE <= site < HIGHEST_ALTITUDE:
            raise ValueError(
                f"site_elevation must lie within the atmosphere's layers, from {LOWEST_ALTITUDE:.1f} m "
                f"to {HIGHEST_ALTITUDE:.1f} m above sea level, not {site!r}"
            )
        offset = _checks.real("temperature_offset", temperature_offset)
        standard_t = _standard_temperature(site)
        if pad_temperature is not None:
            if offset != 0.0:
                raise ValueError("give temperature_offset or pad_temperature, not both")
            t = _checks.positive("pad_temperature", pad_temperature)
            offset = t - standard_t
            if abs(offset) > MAX_TEMPERATURE_OFFSET:
                raise ValueError(
                    f"pad_temperature is in kelvin: {t!r} K lies {offset:+.1f} K from the standard "
                    f"{standard_t:.2f} K at the site, beyond ±{MAX_TEMPERATURE_OFFSET:g} K"
                )
        elif abs(offset) > MAX_TEMPERATURE_OFFSET:
            raise ValueError(
                f"temperature_offset must lie within ±{MAX_TEMPERATURE_OFFSET:g} K, not {offset!r}"
            )
        standard_p = standard_air(site)[1]
        if pad_pressure is not None:
            if pad_temperature is None and offset != 0.0:
                raise ValueError("give temperature_offset or the pad's values (pad_temperature, pad_pressure), not both")
            p = _checks.positive("pad_pressure", pad_pressure)
            if not 1.0 / MAX_PRESSURE_RATIO <= p / standard_p <= MAX_PRESSURE_RATIO:
                raise ValueError(
                    f"pad_pressure is in pascals: {p!r} Pa is far from the standard {standard_p:.0f} Pa "
                    f"at the site (more than a factor {MAX_PRESSURE_RATIO:g} off)"
                )
        else:
            p = standard_p
        return cls._make("standard", (site, offset, p), Air(1, site, offset, p))

    # -- the values -------------------------------------------------------

    @property
    def kind(self) -> str:
        """``"constant"`` or ``"standard"`` (str): the builder that made it.

        Examples
        --------
        >>> Atmosphere.standard(1401.0).kind
        'standard'
        """
        return self._kind

    @property
    def site_elevation(self) -> float:
        """The launch site's altitude above sea level (m; 0 for the constant air).

        Examples
        --------
        >>> Atmosphere.standard(1401.0).site_elevation
        1401.0
        """
        return self._values[0] if self._kind == "standard" else 0.0

    @property
    def temperature_offset(self) -> float:
        """The day's temperature minus the standard's (K; 0 for the constant air).

        Examples
        --------
        >>> Atmosphere.standard(1401.0, temperature_offset=-5.0).temperature_offset
        -5.0
        """
        return self._values[1] if self._kind == "standard" else 0.0

    @property
    def pad_pressure(self) -> float:
        """The pressure at the pad (Pa): given, or the standard pressure at the
        site; ``density * R * T`` for the constant air.

        Examples
        --------
        >>> Atmosphere.standard(1401.0, pad_pressure=86000.0).pad_pressure
        86000.0
        """
        return self._values[2] if self._kind == "standard" else float(self.pressure(0.0))

    @property
    def heights(self) -> tuple[float, float]:
        """The heights above the pad between which the layers lie (m;
        infinite for the constant air), as a pair (lowest, highest).

        Examples
        --------
        >>> [round(h, 1) for h in Atmosphere.standard(1401.0).heights]
        [-6397.1, 84599.0]
        >>> Atmosphere.constant().heights
        (-inf, inf)
        """
        return self._bounds

    @overload
    def density(self, height: float) -> float: ...
    @overload
    def density(self, height: npt.ArrayLike) -> float | npt.NDArray[np.float64]: ...
    def density(self, height: _Heights) -> float | npt.NDArray[np.float64]:
        """Density (kg/m^3) at ``height`` m above the pad: the value flights
        use (see :meth:`standard` for its accuracy against the formulas).

        Parameters
        ----------
        height : float or array_like
            Height above the pad (m), within :attr:`heights`.

        Returns
        -------
        float or numpy.ndarray
            A float for a scalar height, else an array of the shape of
            ``height``.

        Raises
        ------
        ValueError
            A height is NaN or lies outside :attr:`heights`, or NumPy cannot
            make a float array of ``height`` (a string that is not a number,
            rows of unequal length).
        TypeError
            ``height`` is of a type NumPy does not convert to float.

        Examples
        --------
        >>> air = Atmosphere.standard(site_elevation=1401.0)
        >>> air.density([0.0, 1000.0]).round(4)
        array([1.0685, 0.9666])
        """
        return self._sample(height, 0)

    @overload
    def speed_of_sound(self, height: float) -> float: ...
    @overload
    def speed_of_sound(self, height: npt.ArrayLike) -> float | npt.NDArray[np.float64]: ...
    def speed_of_sound(self, height: _Heights) -> float | npt.NDArray[np.float64]:
        """Speed of sound (m/s) at ``height`` m above the pad: the value
        flights use.

        Parameters
        ----------
        height : float or array_like
            Height above the pad (m), within :attr:`heights`.

        Returns
        -------
        float or numpy.ndarray
            As for :meth:`density`.

        Raises
        ------
        ValueError, TypeError
            As for :meth:`density`.

        Examples
        --------
        >>> round(Atmosphere.standard(site_elevation=1401.0).speed_of_sound(0.0), 2)
        334.87
        """
        return self._sample(height, 1)

    @overload
    def temperature(self, height: float) -> float: ...
    @overload
    def temperature(self, height: npt.ArrayLike) -> float | npt.NDArray[np.float64]: ...
    def temperature(self, height: _Heights) -> float | npt.NDArray[np.float64]:
        """Temperature (K) at ``height`` m above the pad.

        Parameters
        ----------
        height : float or array_like
            Height above the pad (m), within :attr:`heights`.

        Returns
        -------
        float or numpy.ndarray
            As for :meth:`density`.

        Raises
        ------
        ValueError, TypeError
            As for :meth:`density`.

        Examples
        --------
        >>> round(Atmosphere.standard(0.0, temperature_offset=10.0).temperature(0.0), 2)
        298.15
        """
        return self._conditions(height, 0)

    @overload
    def pressure(self, height: float) -> float: ...
    @overload
    def pressure(self, height: npt.ArrayLike) -> float | npt.NDArray[np.float64]: ...
    def pressure(self, height: _Heights) -> float | npt.NDArray[np.float64]:
        """Pressure (Pa) at ``height`` m above the pad.

        Parameters
        ----------
        height : float or array_like
            Height above the pad (m), within :attr:`heights`.

        Returns
        -------
        float or numpy.ndarray
            As for :meth:`density`.

        Raises
        ------
        ValueError, TypeError
            As for :meth:`density`.

        Examples
        --------
        >>> Atmosphere.standard(0.0).pressure(0.0)
        101325.0
        """
        return self._conditions(height, 1)

    @overload
    def pressure_altitude(self, height: float) -> float: ...
    @overload
    def pressure_altitude(self, height: npt.ArrayLike) -> float | npt.NDArray[np.float64]: ...
    def pressure_altitude(self, height: _Heights) -> float | npt.NDArray[np.float64]:
        """What a pad-zeroed barometric altimeter reads at ``height`` m above
        the pad in this air (m): the 1976 standard's geometric altitude of the
        pressure there, less that of the pad's pressure.

        On a standard day it reads the true height; in air warmer than the
        standard the layers are thicker and it reads low (a true 3000 m reads
        about 2900 m on a day 10 K warm). Competitions score this reading.

        Parameters
        ----------
        height : float or array_like
            Height above the pad (m), within :attr:`heights`.

        Returns
        -------
        float or numpy.ndarray
            As for :meth:`density`.

        Raises
        ------
        ValueError
            For the constant air (its pressure does not change with height,
            so an altimeter reads nothing); otherwise as for :meth:`density`.
        TypeError
            As for :meth:`density`.

        Examples
        --------
        >>> warm = Atmosphere.standard(1401.0, temperature_offset=10.0)
        >>> round(warm.pressure_altitude(3000.0), 1)
        2896.2
        >>> round(Atmosphere.standard(1401.0).pressure_altitude(3000.0), 6)
        3000.0
        """
        return self._altimeter(height, False)

    @overload
    def height_from_pressure_altitude(self, reading: float) -> float: ...
    @overload
    def height_from_pressure_altitude(self, reading: npt.ArrayLike) -> float | npt.NDArray[np.float64]: ...
    def height_from_pressure_altitude(self, reading: _Heights) -> float | npt.NDArray[np.float64]:
        """The true height above the pad (m) at which a pad-zeroed barometric
        altimeter reads ``reading`` m in this air: the inverse of
        :meth:`pressure_altitude`.

        Parameters
        ----------
        reading : float or array_like
            The altimeter's reading (m); the height it gives must lie within
            :attr:`heights`.

        Returns
        -------
        float or numpy.ndarray
            As for :meth:`density`.

        Raises
        ------
        ValueError
            For the constant air; a reading that is NaN or whose height lies
            outside :attr:`heights`.
        TypeError
            As for :meth:`density`.

        Examples
        --------
        >>> warm = Atmosphere.standard(1401.0, temperature_offset=10.0)
        >>> round(warm.height_from_pressure_altitude(2896.2), 1)
        3000.0
        """
        return self._altimeter(reading, True)

    def _altimeter(self, values: _Heights, inverse: bool) -> float | npt.NDArray[np.float64]:
        if self._kind == "constant":
            raise ValueError("the constant air's pressure does not change with height: an altimeter reads nothing in it")
        scalar = np.ndim(values) == 0
        v = np.ascontiguousarray(np.array(values, dtype=np.float64).reshape(-1))
        if not inverse:
            v, scalar = self._heights(values)
        elif np.isnan(v).any():
            raise ValueError("a pressure altitude is NaN")
        out = np.empty_like(v)
        pressure_altitudes(self._air, v, out, inverse)
        if inverse:
            self._heights(out)
        return float(out[0]) if scalar else out.reshape(np.shape(values))

    def _heights(self, height: _Heights) -> tuple[npt.NDArray[np.float64], bool]:
        scalar = np.ndim(height) == 0
        h = np.ascontiguousarray(np.array(height, dtype=np.float64).reshape(-1))
        bad = np.flatnonzero(np.isnan(h) | (h < self._bounds[0]) | (h > self._bounds[1]))
        if bad.size:
            value = float(h[int(bad[0])])
            raise ValueError(
                f"height {value!r} m lies outside the atmosphere's layers, from {self._bounds[0]:.1f} m "
                f"to {self._bounds[1]:.1f} m above the pad"
            )
        return h, scalar

    def _sample(self, height: _Heights, which: int) -> float | npt.NDArray[np.float64]:
        h, scalar = self._heights(height)
        out = (np.empty_like(h), np.empty_like(h))
        self._air.sample(h, out[0], out[1])
        return float(out[which][0]) if scalar else out[which].reshape(np.shape(height))

    def _conditions(self, height: _Heights, which: int) -> float | npt.NDArray[np.float64]:
        h, scalar = self._heights(height)
        out = (np.empty_like(h), np.empty_like(h))
        self._air.conditions(h, out[0], out[1])
        return float(out[which][0]) if scalar else out[which].reshape(np.shape(height))

    # -- a value ----------------------------------------------------------

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Atmosphere is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("Atmosphere is immutable")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Atmosphere):
            return NotImplemented
        return (self._kind, self._values) == (other._kind, other._values)

    def __hash__(self) -> int:
        return hash((self._kind, self._values))

    def __repr__(self) -> str:
        """An expression that builds an equal atmosphere: the day's air by
        the arguments :meth:`standard` takes together (an offset, or the
        pad's temperature and pressure)."""
        if self._kind == "constant":
            return f"Atmosphere.constant(density={self._values[0]!r})"
        site, offset, p = self._values
        if p == standard_air(site)[1]:
            return f"Atmosphere.standard(site_elevation={site!r}, temperature_offset={offset!r})"
        if offset == 0.0:
            return f"Atmosphere.standard(site_elevation={site!r}, pad_pressure={p!r})"
        # The pad's temperature whose difference from the standard's is the
        # offset, exactly (the offset was made so).
        pad_t = _standard_temperature(site) + offset
        return f"Atmosphere.standard(site_elevation={site!r}, pad_temperature={pad_t!r}, pad_pressure={p!r})"

    def __reduce__(self) -> tuple[object, ...]:
        if self._kind == "constant":
            return (Atmosphere.constant, self._values)
        site, offset, p = self._values
        return (_standard_from_values, (site, offset, p))


def _standard_from_values(site: float, offset: float, pad_pressure: float) -> Atmosphere:
    """An atmosphere from its three defining values (for pickling)."""
    return Atmosphere._make("standard", (site, offset, pad_pressure), Air(1, site, offset, pad_pressure))


def _standard_temperature(altitude: float) -> float:
    """The 1976 standard temperature (K) at a geometric altitude."""
    return standard_air(altitude)[0]
