"""The day's air: the standard atmosphere as ambiance computes it, and the
offset and pad cases hydrostatically consistent with the air the flights read."""

import ambiance
import numpy as np
import pytest

from aeso_flight import Atmosphere

R0 = 6356766.0
G0 = 9.80665
R = 287.05287
HEIGHTS = np.linspace(0.0, 20000.0, 401)  # above the pad
# Geopotential layer bases up to the stratopause region: the profile bends there.
BASES = np.array([11000.0, 20000.0, 32000.0, 47000.0])


@pytest.mark.parametrize("site", [-400.0, 0.0, 1401.0, 4300.0])
def test_standard_air_is_ambiances(site):
    air = Atmosphere.standard(site_elevation=site)
    reference = ambiance.Atmosphere(site + HEIGHTS)
    for ours, theirs in [(air.density(HEIGHTS), reference.density), (air.pressure(HEIGHTS), reference.pressure),
                         (air.temperature(HEIGHTS), reference.temperature),
                         (air.speed_of_sound(HEIGHTS), reference.speed_of_sound)]:
        np.testing.assert_allclose(ours, theirs, rtol=1e-5, atol=0)


DAYS = [
    pytest.param(dict(site_elevation=1401.0, temperature_offset=18.0), id="hot-day"),
    pytest.param(dict(site_elevation=0.0, temperature_offset=-25.0), id="cold-day"),
    pytest.param(dict(site_elevation=1401.0, pad_temperature=305.4, pad_pressure=86020.0), id="pad-values"),
    pytest.param(dict(site_elevation=230.0, pad_temperature=271.0), id="pad-temperature"),
    pytest.param(dict(site_elevation=-300.0, pad_pressure=104100.0), id="pad-pressure"),
    pytest.param(dict(site_elevation=12000.0, temperature_offset=7.0), id="isothermal-pad"),
]


@pytest.mark.parametrize("day", DAYS)
def test_the_days_air_is_hydrostatic_and_starts_at_the_pad(day):
    air = Atmosphere.standard(**day)
    site = day["site_elevation"]
    if "pad_temperature" in day:
        assert air.temperature(0.0) == pytest.approx(day["pad_temperature"], rel=1e-12)
    if "pad_pressure" in day:
        assert air.pressure(0.0) == pytest.approx(day["pad_pressure"], rel=1e-12)
    # dp/dz = -rho g(z) by central differences, away from the layers' kinks.
    dz = 0.5
    h = HEIGHTS[np.min(np.abs((site + HEIGHTS)[:, None] - R0 * BASES / (R0 - BASES)), axis=1) > 10 * dz]
    slope = (air.pressure(h + dz) - air.pressure(h - dz)) / (2 * dz)
    g = G0 * (R0 / (R0 + site + h)) ** 2
    np.testing.assert_allclose(slope, -air.density(h) * g, rtol=1e-7, atol=0)
    # The density the flights read is p / (R T) of the closed forms, over
    # all the layers.
    low, high = air.heights
    every = np.linspace(low, high, 20001)
    np.testing.assert_allclose(air.density(every), air.pressure(every) / (R * air.temperature(every)),
                               rtol=1e-12, atol=0)
