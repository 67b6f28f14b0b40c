"""A flight's sensor samples as a board logs them: :class:`FlightData`, from
arrays or a CSV file, and its state estimate."""

from __future__ import annotations

import math
import os
import warnings
from collections.abc import Mapping
from typing import TYPE_CHECKING, Final

import aeso
import numpy as np
import numpy.typing as npt

from . import _arguments, _checks
from ._native import estimate as _estimate
from ._native import replay_samples as _replay
from .errors import FlightError, failure_message
from .atmosphere import Atmosphere, with_pressure
from .estimation import Estimator, StateEstimate, build, prior, sample_interval, settings
from .tables import number, text_rows

if TYPE_CHECKING:
    from ._native import Air
    from .control import PID, Predictive, TickLog
    from .vehicle import Vehicle

__all__ = ["FlightData"]

G0: Final = 9.80665
#: The window of the moving average under which the specific force is read
#: for the launch and the burnout (s).
ACCELERATION_WINDOW: Final = 0.025
#: Launch: the first time this average exceeds LAUNCH_FORCE; the launch is
#: the last time before it at which the average was at most REST_FORCE.
LAUNCH_FORCE: Final = 2.0 * G0
REST_FORCE: Final = 1.2 * G0
#: Without an accelerometer: the launch is the last time at or below
#: REST_HEIGHT before the barometric height first exceeds LIFT_HEIGHT (m).
LIFT_HEIGHT: Final = 10.0
REST_HEIGHT: Final = 1.0
#: Half-width of the window of the quadratic fit that times the apogee (s).
APOGEE_HALF_WINDOW: Final = 3.0
#: Without an accelerometer, the burnout is the time of the highest climb
#: rate of the barometric height, differentiated over this window (s).
CLIMB_WINDOW: Final = 0.5
_KINDS: Final = ("specific_force", "gravity_removed")
_CHANNELS: Final = ("pressure", "altitude", "acceleration", "gnss_altitude", "deployment")

_Array = npt.NDArray[np.float64]


class FlightData:
    """A flight's sensor samples as a board logs them (not a simulated
    flight's log): one time array shared by every channel, NaN meaning "no
    sample of this channel at this time", so sensors at different rates share
    one array.

    Conventions: ``pressure`` in Pa; ``altitude`` a barometric altitude above
    the pad as a pad-zeroed standard altimeter reports it (give ``pressure``
    or ``altitude``, not both); ``acceleration`` along the body axis (m/s^2):
    with ``acceleration_kind="specific_force"`` the accelerometer's reading
    (+1 g at rest), with ``"gravity_removed"`` that reading less 1 g (about 0
    at rest, what many boards log). The estimate treats the axis as vertical:
    on a flight tilted by an angle a the vertical acceleration it uses is
    too large by f (1 - cos a) (f the axial specific force), and the
    velocity it gives is the speed along the axis; 5 degrees make 0.4 % of f.
    ``gnss_altitude`` is kept as an independent check, never fused;
    ``deployment`` is the brakes' recorded deployment (0 to 1).

    The rows are put in time order (stably); a row identical to the one
    before it in every channel is dropped, and a GNSS value equal to the last
    GNSS sample is not a new sample (boards repeat it between updates).

    Parameters
    ----------
    time : array_like
        The sample times (s; launch at 0 by convention, not required),
        finite.
    pressure, altitude, acceleration, gnss_altitude, deployment : array_like, optional
        Keyword only: one value per time, NaN where the channel has no
        sample; otherwise finite.
    acceleration_kind : str, default "specific_force"
        ``"specific_force"`` or ``"gravity_removed"``.
    site_elevation : float, default 0.0
        The pad's altitude above sea level (m), for the atmosphere the data
        is read in.
    launch, burnout : float, optional
        The times of the launch and of the burnout (s), when known; detected
        otherwise (see :attr:`launch`, :attr:`burnout`).

    Raises
    ------
    TypeError
        An array is not made of numbers; ``acceleration_kind`` is not a str.
    ValueError
        Arrays of different lengths or not one-dimensional; a time that is
        not finite, or an infinite sample; no sample at all; both
        ``pressure`` and ``altitude``, or neither a barometer nor an
        accelerometer; an unknown ``acceleration_kind``; a deployment
        outside [0, 1].

    Examples
    --------
    A flight on the pad for 1 s, boosted at 60 m/s^2 for 3 s, then coasting
    at -15 m/s^2: an accelerometer at 100 Hz, an altimeter at 20 Hz.

    >>> import numpy as np
    >>> from aeso_flight import Atmosphere, FlightData
    >>> t = np.round(np.arange(-1.0, 20.0, 0.01), 2)
    >>> a = np.where(t < 0.0, 0.0, np.where(t < 3.0, 60.0, -15.0))
    >>> h = np.cumsum(np.cumsum(a) * 0.01) * 0.01
    >>> altitude = np.where(np.arange(t.size) % 5 == 0, h, np.nan)
    >>> data = FlightData(t, altitude=altitude, acceleration=a + 9.80665, site_elevation=206.0)
    >>> data
    <FlightData: 2100 rows from -1 s to 19.99 s; altitude, acceleration>
    >>> round(data.launch, 2), round(data.burnout, 2), round(data.apogee, 1)
    (-0.02, 3.01, 15.0)
    """

    __slots__ = ("_time", "_channels", "_kind", "_site", "_launch", "_burnout", "_apogee")

    _time: _Array
    _channels: dict[str, _Array]
    _kind: str
    _site: float
    _launch: float | None
    _burnout: float | None
    _apogee: float | None

    def __init__(
        self,
        time: npt.ArrayLike,
        *,
        pressure: npt.ArrayLike | None = None,
        altitude: npt.ArrayLike | None = None,
        acceleration: npt.ArrayLike | None = None,
        acceleration_kind: str = "specific_force",
        gnss_altitude: npt.ArrayLike | None = None,
        deployment: npt.ArrayLike | None = None,
        site_elevation: float = 0.0,
        launch: float | None = None,
        burnout: float | None = None,
    ) -> None:
        t = _checks.array("time", time)
        if t.size == 0:
            raise ValueError("time holds no sample")
        given = {"pressure": pressure, "altitude": altitude, "acceleration": acceleration,
                 "gnss_altitude": gnss_altitude, "deployment": deployment}
        channels: dict[str, _Array] = {}
        for name, values in given.items():
            if values is not None:
                channels[name] = _channel(name, values, t.size)
        if "pressure" in channels and "altitude" in channels:
            raise ValueError("give pressure or altitude, not both: the barometer is one sensor")
        if not ({"pressure", "altitude", "acceleration"} & channels.keys()):
            raise ValueError("the data needs a barometer (pressure or altitude) or an accelerometer (acceleration)")
        if not isinstance(acceleration_kind, str):
            raise TypeError(f"acceleration_kind must be a str, not {type(acceleration_kind).__name__}")
        if acceleration_kind not in _KINDS:
            raise ValueError(f"acceleration_kind must be 'specific_force' or 'gravity_removed', not {acceleration_kind!r}")
        if "deployment" in channels:
            d = channels["deployment"]
            outside = np.flatnonzero((d < 0.0) | (d > 1.0))
            if outside.size:
                raise ValueError(f"deployment must be from 0 to 1: {float(d[int(outside[0])])!r} at index {int(outside[0])}")
        if "pressure" in channels:
            p = channels["pressure"]
            bad = np.flatnonzero(p <= 0.0)
            if bad.size:
                raise ValueError(f"pressure must be positive (Pa): {float(p[int(bad[0])])!r} at index {int(bad[0])}")

        order = np.argsort(t, kind="stable")
        t = t[order]
        channels = {name: v[order] for name, v in channels.items()}
        # Identical rows (every channel equal, NaN equal to NaN) after the first.
        same = np.diff(t) == 0.0
        for v in channels.values():
            same &= (v[1:] == v[:-1]) | (np.isnan(v[1:]) & np.isnan(v[:-1]))
        keep = np.r_[True, ~same]
        t = t[keep]
        channels = {name: np.array(v[keep]) for name, v in channels.items()}
        if "gnss_altitude" in channels:
            g = channels["gnss_altitude"]
            present = np.flatnonzero(~np.isnan(g))
            repeated = present[1:][g[present[1:]] == g[present[:-1]]]
            g[repeated] = np.nan
        for v in (t, *channels.values()):
            v.setflags(write=False)

        object.__setattr__(self, "_time", t)
        object.__setattr__(self, "_channels", channels)
        object.__setattr__(self, "_kind", acceleration_kind)
        object.__setattr__(self, "_site", _checks.real("site_elevation", site_elevation))
        object.__setattr__(self, "_launch", None if launch is None else _checks.real("launch", launch))
        object.__setattr__(self, "_burnout", None if burnout is None else _checks.real("burnout", burnout))
        object.__setattr__(self, "_apogee", None)
        if self._launch is None:
            object.__setattr__(self, "_launch", self._detect_launch())
        if self._burnout is None:
            object.__setattr__(self, "_burnout", self._detect_burnout())
        object.__setattr__(self, "_apogee", self._detect_apogee())

    # -- reading a file ----------------------------------------------------

    @classmethod
    def from_csv(
        cls,
        path: str | os.PathLike[str],
        *,
        time: str | Mapping[str, str],
        pressure: str | None = None,
        altitude: str | None = None,
        acceleration: str | None = None,
        gnss_altitude: str | None = None,
        deployment: str | None = None,
        scale: Mapping[str, float] | None = None,
        acceleration_kind: str = "specific_force",
        site_elevation: float = 0.0,
        launch: float | None = None,
        burnout: float | None = None,
    ) -> FlightData:
        """The samples of a CSV log: a header line of column names, then one
        row per line (UTF-8, comma-separated; blank lines skipped).

        ``time`` names the time column, or maps each channel to its own time
        column for a log that pairs several clocks in a row (an altimeter's
        accelerometer and barometer, say): ``{"acceleration": "Time-Axial
        Accel (Gs)", "altitude": "Time (s)"}``. The channel keywords name
        their columns; ``scale`` multiplies a column's values into the units
        above (``{"Axial Accel (Gs)": 9.80665}``, ``{"Altitude (Ft-AGL)":
        0.3048}``). An empty field, ``nan`` or ``NaN`` is no sample.

        Parameters
        ----------
        path : str or os.PathLike
            The file.
        time : str or mapping of str to str
            Keyword only: the time column, or one per channel.
        pressure, altitude, acceleration, gnss_altitude, deployment : str, optional
            Keyword only: the columns of the channels (see :class:`FlightData`).
        scale : mapping of str to float, optional
            Keyword only: a factor per column.
        acceleration_kind, site_elevation, launch, burnout
            As for :class:`FlightData`.

        Returns
        -------
        FlightData

        Raises
        ------
        ValueError
            The file cannot be read, is not UTF-8 text or holds no row; a named column is
            not in the header; a row has a different number of fields than
            the header, or a field of a named column is not a number (the
            message names the line and the column); a scale names no used
            column; a channel without a time column; otherwise as for
            :class:`FlightData`.

        Examples
        --------
        An altimeter's log pairing two clocks in a row, in g and feet:

        >>> import os, tempfile
        >>> text = ("Time-Accel,Accel (Gs),Time (s),Altitude (Ft)\\n0.0,1.0,0.0,0.0\\n"
        ...         "0.0025,1.0,0.05,1.1\\n0.005,5.0,0.1,2.2\\n")
        >>> with tempfile.TemporaryDirectory() as folder:
        ...     path = os.path.join(folder, "altimeter.csv")
        ...     with open(path, "w") as f:
        ...         _ = f.write(text)
        ...     log = FlightData.from_csv(path, time={"acceleration": "Time-Accel", "altitude": "Time (s)"},
        ...                               acceleration="Accel (Gs)", altitude="Altitude (Ft)",
        ...                               scale={"Accel (Gs)": 9.80665, "Altitude (Ft)": 0.3048})
        >>> log.time.tolist()
        [0.0, 0.0025, 0.005, 0.05, 0.1]
        >>> log.altitude.round(3).tolist()
        [0.0, nan, nan, 0.335, 0.671]
        """
        given = {"pressure": pressure, "altitude": altitude, "acceleration": acceleration,
                 "gnss_altitude": gnss_altitude, "deployment": deployment}
        named: dict[str, str] = {k: v for k, v in given.items() if v is not None}
        if isinstance(time, str):
            clocks = {channel: time for channel in named}
        elif isinstance(time, Mapping):
            clocks = dict(time)
            unknown = sorted(set(clocks) - set(_CHANNELS))
            if unknown:
                raise ValueError(f"time names a channel that is not one: {unknown[0]!r} (channels: {', '.join(_CHANNELS)})")
            missing = sorted(set(named) - set(clocks))
            if missing:
                raise ValueError(f"the channel {missing[0]!r} has no time column in time=")
        else:
            raise TypeError(f"time must be a column name or a mapping of channels to columns, not {type(time).__name__}")
        factors = dict(scale or {})
        header, rows, lines = _read_csv(os.fspath(path))
        used = set(named.values()) | set(clocks.values())
        for column in used:
            if column not in header:
                raise ValueError(f"{os.fspath(path)}: no column {column!r} (the header has {', '.join(map(repr, header))})")
        for column in factors:
            if column not in used:
                raise ValueError(f"scale names {column!r}, which is not a column the data reads")
        values: dict[str, _Array] = {}
        for column in sorted(used):
            j = header.index(column)
            values[column] = _column(os.fspath(path), column, j, rows, lines) * float(factors.get(column, 1.0))
        # One row per distinct (clock, time): a channel's samples on the
        # rows of its own clock's times.
        times: list[_Array] = []
        series: dict[str, tuple[_Array, _Array]] = {}
        for channel, column in named.items():
            t = values[clocks[channel]]
            v = values[column]
            present = ~np.isnan(t)
            series[channel] = (t[present], v[present])
            times.append(t[present])
        if not times:
            raise ValueError("from_csv needs a channel: pressure, altitude or acceleration")
        merged = np.unique(np.concatenate(times))
        arrays: dict[str, _Array] = {}
        for channel, (t, v) in series.items():
            out = np.full(merged.size, np.nan)
            out[np.searchsorted(merged, t)] = v
            arrays[channel] = out
        return cls(merged, pressure=arrays.get("pressure"), altitude=arrays.get("altitude"),
                   acceleration=arrays.get("acceleration"), gnss_altitude=arrays.get("gnss_altitude"),
                   deployment=arrays.get("deployment"), acceleration_kind=acceleration_kind,
                   site_elevation=site_elevation, launch=launch, burnout=burnout)

    # -- the samples -------------------------------------------------------

    @property
    def time(self) -> _Array:
        """The sample times (s), non-decreasing, read-only.

        Examples
        --------
        >>> data.time[:3]
        array([-1.  , -0.99, -0.98])
        """
        return self._time

    def _get(self, name: str) -> _Array | None:
        return self._channels.get(name)

    @property
    def pressure(self) -> _Array | None:
        """The pressure samples (Pa; NaN: none), or None.

        Examples
        --------
        >>> data.pressure is None
        True
        """
        return self._get("pressure")

    @property
    def altitude(self) -> _Array | None:
        """The barometric altitudes above the pad (m; NaN: none), or None.

        Examples
        --------
        >>> float(data.altitude[0])
        0.0
        """
        return self._get("altitude")

    @property
    def acceleration(self) -> _Array | None:
        """The axial acceleration samples as given (m/s^2; NaN: none), or None.

        Examples
        --------
        >>> data.acceleration is not None
        True
        """
        return self._get("acceleration")

    @property
    def acceleration_kind(self) -> str:
        """``"specific_force"`` or ``"gravity_removed"``.

        Examples
        --------
        >>> data.acceleration_kind
        'specific_force'
        """
        return self._kind

    @property
    def specific_force(self) -> _Array | None:
        """The axial specific force (m/s^2; +1 g at rest; NaN: none), or None:
        the acceleration with 1 g added back if it was removed.

        Examples
        --------
        >>> round(float(data.specific_force[0]), 5)
        9.80665
        """
        a = self._get("acceleration")
        if a is None:
            return None
        if self._kind == "gravity_removed":
            f = a + G0
            f.setflags(write=False)
            return f
        return a

    @property
    def gnss_altitude(self) -> _Array | None:
        """The GNSS altitudes (m; NaN: none, or a repeated value), or None.

        Examples
        --------
        >>> data.gnss_altitude is None
        True
        """
        return self._get("gnss_altitude")

    @property
    def deployment(self) -> _Array | None:
        """The brakes' recorded deployment (0 to 1; NaN: none), or None.

        Examples
        --------
        >>> data.deployment is None
        True
        """
        return self._get("deployment")

    @property
    def site_elevation(self) -> float:
        """The pad's altitude above sea level (m).

        Examples
        --------
        >>> data.site_elevation
        206.0
        """
        return self._site

    def pressure_samples(self) -> _Array | None:
        """The barometer's samples as pressures (Pa; NaN: none), or None
        without a barometer: ``pressure``, or the standard pressures that
        ``altitude`` reads above a pad at :attr:`site_elevation`.

        Returns
        -------
        numpy.ndarray or None

        Examples
        --------
        >>> round(float(data.pressure_samples()[0]))
        98875
        """
        if "pressure" in self._channels:
            return self._channels["pressure"]
        if "altitude" in self._channels:
            a = self._channels["altitude"]
            out = np.full(a.size, np.nan)
            present = ~np.isnan(a)
            standard = Atmosphere.standard(self._site)
            out[present] = standard.pressure(np.clip(a[present], *standard.heights))
            return out
        return None

    # -- the events --------------------------------------------------------

    @property
    def launch(self) -> float | None:
        """The launch time (s): given, or detected. With an accelerometer: the
        last time at which the specific force averaged over 25 ms was at most
        1.2 g before it first exceeds 2 g. Without one: the last time at which
        the barometric height was at most 1 m before it first exceeds 10 m.
        None if neither happens (a log that starts in flight: give it).

        Examples
        --------
        >>> round(data.launch, 2)
        -0.02
        """
        return self._launch

    @property
    def burnout(self) -> float | None:
        """The burnout time (s): given, or detected. With an accelerometer:
        the first time after launch at which the specific force averaged over
        25 ms falls below 0 (the thrust below the drag). Without one: the time
        of the highest climb rate of the barometric height (its slope over
        0.5 s), a rougher reading. None if not found.

        Examples
        --------
        >>> round(data.burnout, 2)
        3.01
        """
        return self._burnout

    @property
    def apogee(self) -> float | None:
        """The apogee time (s), detected. With a barometer: the vertex of the
        quadratic least-squares fit to the barometric height within 3 s of
        its highest sample (after a running median over 5 samples, which
        drops a barometer's one- and two-sample glitches; at apogee the speed
        and so the barometer's dynamic error are near zero). Without one: the
        first time after burnout at which the accelerometer's integral since
        launch (less the pad's 1 g) turns negative. None if not found.

        Examples
        --------
        >>> round(data.apogee, 1)
        15.0
        """
        return self._apogee

    def _smoothed_force(self) -> tuple[_Array, _Array] | None:
        f = self.specific_force
        if f is None:
            return None
        present = ~np.isnan(f)
        t, v = self._time[present], f[present]
        if t.size < 2:
            return None
        step = float(np.median(np.diff(t)))
        n = max(1, round(ACCELERATION_WINDOW / step)) if step > 0.0 else 1
        return t, np.convolve(v, np.ones(n) / n, mode="same")

    def _barometric_height(self) -> tuple[_Array, _Array] | None:
        p = self.pressure_samples()
        if p is None:
            return None
        present = ~np.isnan(p)
        t, pp = self._time[present], p[present]
        if t.size < 5:
            return None
        # Hypsometric height over the first sample's pressure: enough to
        # find the events.
        return t, (287.05287 * 288.15 / G0) * np.log(pp[0] / pp)

    def _detect_launch(self) -> float | None:
        smooth = self._smoothed_force()
        if smooth is not None:
            t, f = smooth
            above = np.flatnonzero(f > LAUNCH_FORCE)
            if above.size:
                rest = np.flatnonzero(f[: above[0]] <= REST_FORCE)
                return float(t[rest[-1]]) if rest.size else None
            return None
        baro = self._barometric_height()
        if baro is None:
            return None
        t, h = baro
        above = np.flatnonzero(h > LIFT_HEIGHT)
        if not above.size:
            return None
        rest = np.flatnonzero(h[: above[0]] <= REST_HEIGHT)
        return float(t[rest[-1]]) if rest.size else None

    def _detect_burnout(self) -> float | None:
        if self._launch is None:
            return None
        smooth = self._smoothed_force()
        if smooth is not None:
            t, f = smooth
            after = np.flatnonzero((t > self._launch) & (f < 0.0))
            return float(t[after[0]]) if after.size else None
        baro = self._barometric_height()
        if baro is None:
            return None
        t, h = baro
        apogee = t[int(np.argmax(h))]
        inside = (t > self._launch) & (t < apogee)
        if np.count_nonzero(inside) < 5:
            return None
        ti, hi = t[inside], h[inside]
        half = CLIMB_WINDOW / 2
        lo = np.searchsorted(ti, ti - half)
        hi_i = np.searchsorted(ti, ti + half, side="right") - 1
        span = ti[hi_i] - ti[lo]
        rate = np.where(span > 0.0, (hi[hi_i] - hi[lo]) / np.where(span > 0.0, span, 1.0), -np.inf)
        return float(ti[int(np.argmax(rate))])

    def _detect_apogee(self) -> float | None:
        baro = self._barometric_height()
        if baro is not None:
            t, h = baro
            h = _running_median(h, 5)
            top = float(t[int(np.argmax(h))])
            inside = np.abs(t - top) <= APOGEE_HALF_WINDOW
            if np.count_nonzero(inside) >= 5:
                c = np.polynomial.polynomial.polyfit(t[inside] - top, h[inside], 2)
                if c[2] < 0.0:
                    dt = -c[1] / (2.0 * c[2])
                    if abs(dt) <= APOGEE_HALF_WINDOW:
                        return top + float(dt)
            return None
        f = self.specific_force
        if f is None or self._launch is None or self._burnout is None:
            return None
        present = ~np.isnan(f)
        t, a = self._time[present], f[present] - G0
        after = t >= self._launch
        t, a = t[after], a[after]
        if t.size < 2:
            return None
        v = np.concatenate(([0.0], np.cumsum(0.5 * (a[1:] + a[:-1]) * np.diff(t))))
        down = np.flatnonzero((t > self._burnout) & (v < 0.0))
        return float(t[down[0]]) if down.size else None

    # -- the estimate ------------------------------------------------------

    def pad_pressure(self) -> float | None:
        """The pressure on the pad (Pa): the mean of the barometer's samples
        before :attr:`launch` (see :meth:`pressure_samples`), or None when
        there are none (a log that starts in flight).

        Returns
        -------
        float or None

        Examples
        --------
        >>> round(data.pad_pressure())
        98875
        """
        p = self.pressure_samples()
        if p is None or self._launch is None:
            return None
        before = p[(self._time < self._launch) & ~np.isnan(p)]
        return float(np.mean(before)) if before.size else None

    def estimate(
        self,
        atmosphere: Atmosphere,
        *,
        estimator: Estimator = Estimator(),
        smoothed: bool = True,
        until: float | None = None,
        initial: aeso.InitialState1DOF | None = None,
    ) -> StateEstimate:
        """The flight's vertical state at each sample: height above the pad,
        vertical velocity and accelerometer bias, with their covariance.

        A Kalman filter fuses the barometer and the accelerometer (see
        :class:`Estimator`): causal, as a flight computer runs it, and with
        ``smoothed=True`` its Rauch-Tung-Striebel smoother after the flight.
        The samples reach the filter in time order; at one time the
        accelerometer's sample comes first (it drives the filter from then
        on), then the barometer's; samples at the same time change one state
        (no step of zero length). A flight computer feeding the same samples
        one by one computes the same bits as ``smoothed=False``.

        The barometer's pressure becomes a height through ``atmosphere``:
        its shape of pressure against height, scaled so that the pad's
        pressure is the log's own before launch (:meth:`pad_pressure`; the
        atmosphere's when the log has none). An altimeter's ``altitude`` is
        first turned into the standard pressure it reads. Before
        :attr:`launch` the rocket stands on the pad: velocity 0.

        Parameters
        ----------
        atmosphere : Atmosphere
            The day's air (:meth:`Atmosphere.standard`); the constant air is
            refused (its pressure does not change with height).
        estimator : Estimator, optional
            Keyword only: the noise model and the prior.
        smoothed : bool, default True
            Keyword only: the smoother's estimate (True) or the filter's.
        until : float, optional
            Keyword only: use only samples with time <= ``until``; the
            estimate at ``until`` is then the causal one.
        initial : aeso.InitialState1DOF, optional
            Keyword only: the state at the first sample (default: at rest on
            the pad, height 0), with the estimator's prior standard
            deviations.

        Returns
        -------
        StateEstimate

        Raises
        ------
        TypeError
            An argument of the wrong class.
        ValueError
            The constant air; no sample at or before ``until``.

        Examples
        --------
        >>> log_air = Atmosphere.standard(206.0)
        >>> estimate = data.estimate(log_air)
        >>> round(float(estimate.height.max()))
        1350
        """
        _check_filter(atmosphere, estimator)
        if initial is not None and type(initial) is not aeso.InitialState1DOF:
            raise TypeError(f"initial must be an aeso.InitialState1DOF or None, not {type(initial).__name__}")
        rows = self._time.size
        if until is not None:
            cut = _checks.real("until", until)
            rows = int(np.searchsorted(self._time, cut, side="right"))
            if rows == 0:
                raise ValueError(f"no sample at or before until={cut!r} s (the first is at {float(self._time[0])!r} s)")
        h0, v0 = (0.0, 0.0) if initial is None else (initial.initial_height, initial.initial_velocity)
        filter_air, pad, filter_settings, filter_prior, t, p, f = self._filter(atmosphere, estimator, rows, h0, v0)
        means = np.empty(3 * rows)
        covariances = np.empty(9 * rows)
        barometer = np.empty(rows, dtype=np.int8)
        driven = np.empty(rows, dtype=np.int8)
        run = _estimate(filter_air, pad, filter_settings, filter_prior, t, p, f, bool(smoothed), means, covariances,
                        barometer, driven)
        if run.out_of_order != rows:
            raise ValueError(f"sample {run.out_of_order} is earlier than the one before it")
        if smoothed and not run.smoothed:
            raise ValueError("the smoother met a covariance that is not positive definite: widen the estimator's noise")
        return build(t, means, covariances, barometer, bool(smoothed), run.gated, driven)

    def _filter(self, atmosphere: Atmosphere, estimator: Estimator, rows: int, height: float,
                velocity: float) -> tuple[Air, float, tuple[float, ...], tuple[float, ...], _Array, _Array | None,
                                          _Array | None]:
        """What the native filter takes for the first `rows` rows, from the
        prior about (height, velocity) at the first: the air, the pad
        pressure, the settings, the prior and the time, pressure and
        specific-force columns."""
        t = np.ascontiguousarray(self._time[:rows])
        p = self.pressure_samples()
        p = None if p is None else np.ascontiguousarray(p[:rows])
        f = self.specific_force
        f = None if f is None else np.ascontiguousarray(f[:rows])
        pad = self.pad_pressure()
        if pad is None:
            pad = atmosphere.pad_pressure
        rest_until = self._launch if self._launch is not None else -math.inf
        return (atmosphere._air, pad, settings(estimator, self._interval(f), self._interval(p), rest_until),
                prior(estimator, height, velocity), t, p, f)

    def replay(
        self,
        vehicle: Vehicle,
        controller: Predictive | PID,
        *,
        atmosphere: Atmosphere,
        rate: float,
        estimator: Estimator = Estimator(),
        method: aeso.OdeMethod = aeso.OdeMethod.RK45,
    ) -> TickLog:
        """The decisions a flight computer would have taken on this flight:
        its samples fed, in time order, to the state estimator and to a
        :class:`Predictive` or :class:`PID` controller ticking ``rate`` times
        a second from the :attr:`burnout` to the :attr:`apogee` (or the last
        sample), open loop.

        The estimator is that of :meth:`estimate` (``smoothed=False``): the
        same native filter fed by the same rule, from the first sample. At a
        tick the controller is shown the estimate of the samples at or before
        it, carried to the tick by the filter's prediction; a controller with
        ``learn_drag`` learns from the accelerometer's samples from the
        burnout on (the fit :meth:`Vehicle.fit_drag` makes of the data cut
        there, with ``prior_sd=drag_prior_sd`` and the filter's estimate).
        The brakes are what the data's ``deployment`` channel says they did
        (closed without one), whatever the controller commands: the
        decisions are what it would have commanded, not a flight it flew.

        Parameters
        ----------
        vehicle : Vehicle
            The vehicle, with brakes; the controller predicts with it unless
            it names its own ``vehicle``.
        controller : Predictive or PID
            With its ``target`` (the data has none), a 1-DOF predictor; its
            ``frame`` (default "true") and ``atmosphere`` (default
            ``atmosphere``) as in a flight.
        atmosphere : Atmosphere
            Keyword only: the air the flight computer reads its barometer in
            (a standard atmosphere), as for :meth:`estimate`.
        rate : float
            Keyword only: ticks per second, positive and at most 10000.
        estimator : Estimator, optional
            Keyword only: the estimator's noise model and prior.
        method : aeso.OdeMethod, default aeso.OdeMethod.RK45
            Keyword only: the controller's predictions' method.

        Returns
        -------
        TickLog
            One element per tick: its time, the estimate shown
            (``sensed_*`` and ``estimated_*``), the predicted apogee, the
            command, the data's deployment then (``actual``), the
            predictions and the learned drag scale; ``true_height`` and
            ``true_velocity`` are NaN (a log does not know the truth).

        Raises
        ------
        TypeError
            An argument of the wrong class.
        ValueError
            No burnout in the data; a controller without a target or with a
            "3dof" predictor; a bad rate; the constant air; and as for
            :meth:`Vehicle.fly_controlled`'s controllers.
        FlightError
            A PID controller commanded no finite level ("controller_failed").

        Warns
        -----
        UserWarning
            Some decisions' predictions failed (the controller kept its last
            command there).

        Examples
        --------
        The flight of the examples above read by a controller aiming at
        1300 m with a rocket whose drag is far from what the data says: it
        learns the factor the data needs, by the same fit
        :meth:`Vehicle.fit_drag` makes of the data cut at the tick.

        >>> import aeso
        >>> from aeso_flight import Brakes, Predictive, Vehicle
        >>> with_brakes = Vehicle(aeso.Rocket(20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0),
        ...                       brakes=Brakes([0.0, 1.0], [0.5], [[0.0], [0.6]]))
        >>> decisions = data.replay(with_brakes, Predictive(target=1300.0, learn_drag=True),
        ...                         atmosphere=log_air, rate=10.0)
        >>> decisions.time[:2], round(float(decisions.learned_scale[-1]), 2)
        (array([3.01, 3.11]), 2.54)
        >>> cut = with_brakes.fit_drag(data, atmosphere=log_air, estimate=data.estimate(log_air, smoothed=False),
        ...                            until=float(decisions.time[-1]), prior_sd=0.1)
        >>> bool(cut.scale == decisions.learned_scale[-1])
        True
        """
        from .control import PID, Predictive, TickLog
        from .vehicle import Vehicle

        if not isinstance(vehicle, Vehicle):
            raise TypeError(f"vehicle must be a Vehicle, not {type(vehicle).__name__}")
        if not isinstance(controller, (Predictive, PID)):
            raise TypeError(f"controller must be a Predictive or a PID, not {type(controller).__name__}")
        _check_filter(atmosphere, estimator)
        if controller.target is None:
            raise ValueError(f"{type(controller).__name__}.target: a replay has no flight target, give the "
                             f"controller its own")
        if controller.model != "1dof":
            raise ValueError("a replay's estimate is vertical: the controller predicts in 1-DOF")
        ticks_per_second = _checks.positive("rate", rate)
        if ticks_per_second > _arguments.MAX_CONTROL_RATE:
            raise ValueError(f"rate must be at most {_arguments.MAX_CONTROL_RATE:g} Hz, not {ticks_per_second!r}")
        if self._burnout is None:
            raise ValueError("the data has no burnout (the controller acts in the coast): give FlightData(..., burnout=)")
        end = float(self._time[-1]) if self._apogee is None else min(self._apogee, float(self._time[-1]))
        native = vehicle._controller(controller, controller.target, "true", 1, method, None, 100000, atmosphere, True)
        air, pad, filter_settings, filter_prior, t, p, f = self._filter(atmosphere, estimator, self._time.size, 0.0,
                                                                       0.0)
        d = self.deployment
        result = _replay(air, pad, filter_settings, filter_prior, t, p, f,
                         None if d is None else np.ascontiguousarray(d), native, ticks_per_second,
                         (self._burnout, end))
        iterations = 100000 if controller.max_iterations is None else controller.max_iterations
        if result.status == _arguments.FLIGHT_STATUS["CONTROLLER_FAILED"]:
            raise FlightError(failure_message(result.status), "controller_failed")
        if result.failed_decisions:
            warnings.warn(f"{result.failed_decisions} of the controller's {result.ticks} decisions failed (it kept "
                          f"its last command): its first prediction that failed: "
                          f"{failure_message(result.decision_failure, iterations)}", stacklevel=2)
        return TickLog._from_records(result.records)

    def _interval(self, samples: _Array | None) -> float | None:
        """The median interval between a channel's samples (s, to 4
        significant digits, so that a log and its beginning agree), or None."""
        if samples is None:
            return None
        t = self._time[: samples.size][~np.isnan(samples)]
        return sample_interval(float(np.median(np.diff(t)))) if t.size > 1 else None

    # -- a value -----------------------------------------------------------

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("FlightData is immutable")

    def __reduce__(self) -> tuple[object, ...]:
        return (_restore, (self._time, self._channels, self._kind, self._site, self._launch, self._burnout,
                           self._apogee))

    def __len__(self) -> int:
        return int(self._time.size)

    def __repr__(self) -> str:
        channels = ", ".join(self._channels)
        return (f"<FlightData: {self._time.size} rows from {self._time[0]:g} s to {self._time[-1]:g} s; "
                f"{channels}>")


def _restore(*values: object) -> FlightData:
    """A FlightData from its slots' values (for pickling)."""
    data = object.__new__(FlightData)
    for name, value in zip(FlightData.__slots__, values):
        object.__setattr__(data, name, value)
    for array in (data._time, *data._channels.values()):
        array.setflags(write=False)
    return data


def _check_filter(atmosphere: object, estimator: object) -> None:
    """What the filter reads with: an air with a pressure, an Estimator."""
    with_pressure(atmosphere)
    if not isinstance(estimator, Estimator):
        raise TypeError(f"estimator must be an Estimator, not {type(estimator).__name__}")


def _channel(name: str, values: npt.ArrayLike, size: int) -> _Array:
    a = np.array(_checks.array(name, values, missing=True))
    if a.size != size:
        raise ValueError(f"{name} has {a.size} values for {size} times: give one per time (NaN: no sample)")
    return a


def _running_median(values: _Array, n: int) -> _Array:
    if values.size < n:
        return values
    half = n // 2
    padded = np.pad(values, half, mode="edge")
    windows = np.lib.stride_tricks.sliding_window_view(padded, n)
    return np.median(windows, axis=1)


def _read_csv(path: str) -> tuple[list[str], list[list[str]], list[int]]:
    """The header, the rows and their line numbers of a CSV file."""
    lines = text_rows(path, comments=False)
    (_, header), body = lines[0], lines[1:]
    if not body:
        raise ValueError(f"{path} holds no rows under a header")
    for number, fields in body:
        if len(fields) != len(header):
            raise ValueError(f"{path} line {number}: {len(fields)} fields where the header has {len(header)}")
    return header, [fields for _, fields in body], [number for number, _ in body]


def _column(path: str, name: str, j: int, rows: list[list[str]], lines: list[int]) -> _Array:
    out = np.empty(len(rows))
    for i, fields in enumerate(rows):
        text = fields[j]
        if text == "" or text.lower() == "nan":
            out[i] = np.nan
            continue
        out[i] = number(f"{path} line {lines[i]}: column {name!r}", text)
    return out
