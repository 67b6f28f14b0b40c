"""The logs of real flights that come with the package.

Two university rockets' flight computers, logged on real flights and
published by their teams (the licence, ``LICENSE.txt``, and what each column
holds, ``README.md``, lie beside them in the package): examples, the
documentation and the tests read them from here, so they run anywhere the
package is installed.
"""

from __future__ import annotations

from pathlib import Path
from typing import Final

__all__ = ["SAMPLE_LOGS", "sample_log"]

_FOLDER: Final = Path(__file__).resolve().parent / "flights"

#: The names of the logs :func:`sample_log` knows.
SAMPLE_LOGS: Final = ("ndrt2020_altimeter.csv", "prometheus_telemega.csv", "prometheus_telemetrum.csv")


def sample_log(name: str) -> Path:
    """The path of a real flight's log that comes with the package.

    Parameters
    ----------
    name : str
        One of :data:`SAMPLE_LOGS`: ``"prometheus_telemetrum.csv"`` and
        ``"prometheus_telemega.csv"`` (a Spaceport America Cup flight of 24
        June 2022, launched 1401 m above sea level: two flight computers'
        barometers and accelerometers, the second with GNSS) or
        ``"ndrt2020_altimeter.csv"`` (a flight of 23 February 2020, launched
        206 m above sea level: an accelerometer in g and a barometric
        altitude in feet, on two clocks). Also ``"README.md"`` (the columns,
        the rockets' data) and ``"LICENSE.txt"``.

    Returns
    -------
    pathlib.Path
        The file's path in the installed package.

    Raises
    ------
    ValueError
        ``name`` is not a log of the package.

    Examples
    --------
    >>> from aeso_flight import FlightData, sample_log
    >>> telemetrum = FlightData.from_csv(sample_log("prometheus_telemetrum.csv"), time="time",
    ...                                  pressure="pressure", acceleration="acceleration",
    ...                                  acceleration_kind="gravity_removed", site_elevation=1401.0)
    >>> round(telemetrum.burnout, 2)
    4.81
    """
    if name not in SAMPLE_LOGS + ("README.md", "LICENSE.txt"):
        raise ValueError(f"no sample log named {name!r}: the package has {', '.join(SAMPLE_LOGS)}")
    return _FOLDER / name
