"""The states of the real flights (docs/scripts/flight_logs.py) are read
where the logs have them: burnout at the motor's published burn time, apogee
where an independent record of the height peaks."""

import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("scipy", reason="reading the flight logs needs scipy (the docs extra)")
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "docs" / "scripts"))
import flight_logs  # noqa: E402


# The burn times are the motors' published ones (data/flights/README.md). The
# apogee is checked against Prometheus' GNSS, a sensor the reading does not
# use, and against NDRT's highest barometric sample.
@pytest.mark.parametrize("read, burn_time, peak_trace", [
    (flight_logs.prometheus, 4.9, "GNSS"),
    (flight_logs.ndrt, 3.43, "barometric"),
])
def test_burnout_and_apogee_are_where_the_logs_have_them(read, burn_time, peak_trace):
    flight = read()
    assert abs(flight.burnout - burn_time) < 0.1
    t, h = flight.traces[peak_trace]
    assert abs(flight.apogee_time - t[np.argmax(h)]) < 0.6
    # The states follow the coast: later ones higher and slower.
    assert [s.time for s in flight.states] == sorted(s.time for s in flight.states)
    assert np.all(np.diff([s.height for s in flight.states]) > 0)
    assert np.all(np.diff([s.velocity for s in flight.states]) < 0)
    assert flight.states[0].time == flight.burnout


def test_apogee_fit_finds_the_vertex_through_noise_and_a_glitch():
    # A coast's top, barometric noise, and a two-sample spike 2 s after it.
    t = np.arange(0.0, 25.0, 0.05)
    h = 1000.0 - 4.9 * (t - 12.3) ** 2 + np.random.default_rng(1).normal(0.0, 2.0, t.size)
    h[286:288] += 600.0
    time, height = flight_logs.peak(t, h)
    assert abs(time - 12.3) < 0.05
    assert abs(height - 1000.0) < 1.0
