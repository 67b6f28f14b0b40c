"""A flight's data to a prediction's inputs: the state estimate, the drag fit
and the altimeter's height, on synthetic flights with a known truth (flown
with aeso_flight, sensed by noisy, biased, lagged and quantised sensors at
their own rates, from fixed seeds) and on the shared real flights."""

import math

import aeso
import numpy as np
import pytest
from conftest import GRAVITY, ROCKET

import aeso_flight
from aeso_flight import Atmosphere, Drag, Estimator, FlightData, Vehicle, sample_log

scipy_signal = pytest.importorskip("scipy.signal")

FLIGHTS = sample_log("README.md").parent
AIR = Atmosphere.standard(1401.0, temperature_offset=12.0)
DRAG = Drag(mach=[0.3, 0.6, 0.9], cd=[0.40, 0.34, 0.33])
START = aeso.InitialState1DOF(900.0, 300.0)
STEP = 0.001
# The synthetic sensors: a barometer at 50 Hz (noise 2 Pa, resolution 1 Pa,
# a first-order lag of 10 ms) and an accelerometer at 100 Hz (noise
# 0.05 m/s^2, bias 0.1 m/s^2, resolution 0.02 m/s^2), and the estimator told
# their noise (a resolution r adds r/sqrt(12)).
ESTIMATOR = Estimator(barometer_sd=math.hypot(2.0, 1.0 / math.sqrt(12.0)),
                      accelerometer_sd=math.hypot(0.05, 0.02 / math.sqrt(12.0)),
                      process_noise=0.05, bias_sd=0.3, dynamic_error=0.01)


def scaled_vehicle(scale):
    return Vehicle(aeso.Rocket(**ROCKET), drag=Drag(DRAG.mach, DRAG.cd * scale))


_TRUTHS = {}


def truth(scale):
    """Times, heights, velocities and accelerations of a coast flown with
    the drag times `scale`, every STEP s from burnout."""
    if scale not in _TRUTHS:
        t, s = scaled_vehicle(scale).simulate_flight_1dof(START, aeso.OdeMethod.RK3, aeso.FixedTimeStep(STEP),
                                                           atmosphere=AIR)
        a = s[:, 2].copy()
        a[0] = a[1]
        _TRUTHS[scale] = (t, s[:, 0], s[:, 1], a)
    return _TRUTHS[scale]


def sensed(seed, scale=1.0, barometer=True, accelerometer=True):
    """The truth's samples as a board logs them, and the rows kept."""
    t, h, _, a = truth(scale)
    rng = np.random.default_rng(seed)
    lag = 0.01
    alpha = STEP / (lag + STEP)
    p = AIR.pressure(h)
    lagged, _ = scipy_signal.lfilter([alpha], [1.0, alpha - 1.0], p, zi=[p[0] * (1.0 - alpha)])
    channels = {}
    if barometer:
        i = np.arange(0, t.size, 20)
        pressure = np.full(t.size, np.nan)
        pressure[i] = np.round(lagged[i] + rng.normal(0.0, 2.0, i.size))
        channels["pressure"] = pressure
    if accelerometer:
        i = np.arange(0, t.size, 10)
        force = np.full(t.size, np.nan)
        force[i] = np.round((a[i] + GRAVITY + 0.1 + rng.normal(0.0, 0.05, i.size)) / 0.02) * 0.02
        channels["acceleration"] = force
    keep = np.zeros(t.size, dtype=bool)
    for v in channels.values():
        keep |= ~np.isnan(v)
    return keep, FlightData(t[keep], launch=-1.0, burnout=0.0, **{k: v[keep] for k, v in channels.items()})


def estimate(data, **kwargs):
    return data.estimate(AIR, estimator=ESTIMATOR, initial=START, **kwargs)


# -- the state estimate ---------------------------------------------------------

@pytest.mark.parametrize("column", [1, 2])
def test_smoothed_95_percent_intervals_cover_90_to_99_percent_of_the_truth(column):
    covered = []
    for seed in range(20):
        keep, data = sensed(seed)
        e = estimate(data)
        truth_values = truth(1.0)[column][keep]
        value, sd = (e.height, e.height_sd) if column == 1 else (e.velocity, e.velocity_sd)
        covered.append(np.abs(value - truth_values) <= 1.96 * sd)
    assert 0.90 <= np.mean(np.concatenate(covered)) <= 0.99


@pytest.mark.parametrize("sensors, wider", [
    (dict(accelerometer=False), "height and velocity"),
    (dict(barometer=False), "height"),
])
def test_one_sensor_alone_estimates_with_wider_sds_that_still_cover_the_truth(sensors, wider):
    keep, both = sensed(3)
    keep_one, one = sensed(3, **sensors)
    fused, alone = estimate(both), estimate(one)
    t, h, v, _ = truth(1.0)
    at = t[keep_one] > 5.0
    for name, truth_values in (("height", h), ("velocity", v)):
        sd_alone = getattr(alone, f"{name}_sd")[at]
        sd_fused = np.interp(t[keep_one][at], fused.time, getattr(fused, f"{name}_sd"))
        if name in wider:
            assert np.median(sd_alone) > np.median(sd_fused)
        z = (getattr(alone, name)[at] - truth_values[keep_one][at]) / sd_alone
        assert np.mean(np.abs(z) < 3.0) > 0.9


@pytest.mark.parametrize("until", [2.0, 7.5, 15.0])
def test_until_gives_the_filters_estimate_of_the_samples_up_to_then_to_the_bit(until):
    _, data = sensed(5)
    causal = estimate(data, smoothed=False)
    cut = estimate(data, until=until)
    rows = cut.time.size
    assert cut.time[-1] <= until < data.time[rows]
    # The smoother's last row is the filter's; the filter's rows do not
    # depend on later samples.
    np.testing.assert_array_equal(cut.height[-1], causal.height[rows - 1])
    prefix = estimate(data, smoothed=False, until=until)
    for name in ("height", "velocity", "bias", "covariance"):
        np.testing.assert_array_equal(getattr(prefix, name), getattr(causal, name)[:rows])


def test_the_gate_drops_a_barometer_glitch_that_would_move_the_height():
    keep, data = sensed(7)
    p = data.pressure.copy()
    rows = np.flatnonzero(~np.isnan(p) & (data.time > 20.0))[:2]
    p[rows] -= 6000.0  # a 600 m drop for two samples, as one real log has
    glitched = FlightData(data.time, pressure=p, acceleration=data.acceleration, launch=-1.0, burnout=0.0)
    e = estimate(glitched)
    assert e.gated == 2 and np.all(e.barometer[rows] == 0)
    h = truth(1.0)[1][keep]
    assert np.max(np.abs(e.height - h) / e.height_sd) < 5.0


# -- the drag ----------------------------------------------------------------------

@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("until", [None, 8.0])
@pytest.mark.parametrize("own_scale", [1.0, 0.5])
def test_fit_drag_recovers_a_known_scale_within_three_standard_errors(seed, until, own_scale):
    _, data = sensed(seed, scale=1.1)
    vehicle = Vehicle(aeso.Rocket(**ROCKET), drag=DRAG, drag_scale=own_scale)
    fit = vehicle.fit_drag(data, atmosphere=AIR, estimate=estimate(data, until=until), until=until)
    assert fit.source == "accelerometer"
    # The factor multiplies the vehicle's drag as it flies (its own scale
    # included), and the fitted vehicle flies their product, as a study's
    # drag scale does.
    assert abs(own_scale * fit.scale - 1.1) < 3.0 * own_scale * fit.scale_sd
    assert fit.scale_sd < 0.05 / own_scale
    assert (fit.vehicle.drag, fit.vehicle.drag_scale) == (DRAG, own_scale * fit.scale)


@pytest.mark.parametrize("until", [6.0, 12.0])
def test_fit_drag_until_is_the_fit_of_the_log_cut_there(until):
    # What a flight computer learning its drag would have at `until`: the
    # filter's estimate and the fit of the samples up to then, to the bit.
    _, data = sensed(4, scale=1.1)
    rows = int(np.searchsorted(data.time, until, side="right"))
    cut = FlightData(data.time[:rows], pressure=data.pressure[:rows], acceleration=data.acceleration[:rows],
                     launch=-1.0, burnout=0.0)
    vehicle = scaled_vehicle(1.0)
    whole = vehicle.fit_drag(data, atmosphere=AIR, estimate=estimate(data, smoothed=False, until=until), until=until)
    alone = vehicle.fit_drag(cut, atmosphere=AIR, estimate=estimate(cut, smoothed=False))
    assert (whole.scale, whole.scale_sd, whole.samples) == (alone.scale, alone.scale_sd, alone.samples)


@pytest.mark.parametrize("seed", range(3))
def test_fit_drag_recovers_known_knot_values_within_three_standard_errors(seed):
    _, data = sensed(seed, scale=1.1)
    fit = scaled_vehicle(1.0).fit_drag(data, atmosphere=AIR, estimate=estimate(data), mach=DRAG.mach)
    assert np.all(np.abs(fit.cd - 1.1 * DRAG.cd) < 3.0 * fit.cd_sd)
    assert fit.mach_range[0] < 0.3 and fit.mach_range[1] > 0.85


def test_fit_drag_from_the_height_track_without_an_accelerometer():
    _, data = sensed(2, scale=1.1, accelerometer=False)
    fit = scaled_vehicle(1.0).fit_drag(data, atmosphere=AIR, estimate=estimate(data))
    assert fit.source == "height"
    assert abs(fit.scale - 1.1) < max(3.0 * fit.scale_sd, 0.02)


@pytest.mark.parametrize("kwargs, message", [
    (dict(until=0.0), "no coast"),
    (dict(until=0.05), "a fit needs at least 20"),
    (dict(mach=[0.3, 0.6, 1.4]), "narrower than the knots"),
    (dict(mach=[0.5, 0.4]), "strictly increasing"),
])
def test_fit_drag_refuses_what_the_data_cannot_support(kwargs, message):
    _, data = sensed(1)
    with pytest.raises(ValueError, match=message):
        scaled_vehicle(1.0).fit_drag(data, atmosphere=AIR, estimate=estimate(data, until=kwargs.get("until")),
                                     **kwargs)


# -- the altimeter's height --------------------------------------------------------

def closed_form_pressure_altitude(p):
    """The standard's troposphere solved for the altitude of a pressure."""
    return 288.15 / 0.0065 * (1.0 - (p / 101325.0) ** (287.05287 * 0.0065 / 9.80665))


@pytest.mark.parametrize("site, offset", [(0.0, 0.0), (1401.0, 17.5), (206.0, -12.0), (3000.0, 25.0)])
def test_pressure_altitude_is_the_standards_altitude_of_the_pressure_less_the_pads(site, offset):
    air = Atmosphere.standard(site, offset)
    heights = np.array([0.0, 250.0, 1000.0, 3000.0, 5000.0])
    expected_geopotential = closed_form_pressure_altitude(air.pressure(heights))
    r0 = 6356766.0
    geometric = r0 * expected_geopotential / (r0 - expected_geopotential)
    np.testing.assert_allclose(air.pressure_altitude(heights), geometric - geometric[0], atol=1e-6)
    np.testing.assert_allclose(air.height_from_pressure_altitude(air.pressure_altitude(heights)), heights, atol=1e-6)
    if offset == 0.0:
        np.testing.assert_allclose(air.pressure_altitude(heights), heights, atol=1e-6)


@pytest.mark.parametrize("site, offset", [(1401.0, 17.5), (0.0, -10.0)])
def test_pressure_altitude_agrees_with_ambiance(site, offset):
    ambiance = pytest.importorskip("ambiance")
    air = Atmosphere.standard(site, offset)
    heights = np.array([100.0, 2000.0, 4000.0])
    # ambiance's geometric altitude of each pressure, by bisection on its table.
    grid = np.linspace(-2000.0, 20000.0, 220001)
    pressures = ambiance.Atmosphere(grid).pressure
    readings = np.interp(-air.pressure(heights), -pressures, grid)
    pad = np.interp(-air.pad_pressure, -pressures, grid)
    np.testing.assert_allclose(air.pressure_altitude(heights), readings - pad, atol=0.05)


def test_a_warm_day_makes_the_altimeter_read_low_and_the_constant_air_has_no_altimeter():
    warm = Atmosphere.standard(1401.0, temperature_offset=10.0)
    assert 2890.0 < warm.pressure_altitude(3000.0) < 2910.0
    with pytest.raises(ValueError, match="pressure does not change with height"):
        Atmosphere.constant().pressure_altitude(100.0)
    with pytest.raises(ValueError, match="pressure does not change with height"):
        FlightData([0.0, 1.0], pressure=[1e5, 1e5]).estimate(Atmosphere.constant())


# -- reading data ------------------------------------------------------------------

@pytest.mark.parametrize("text, message", [
    ("t,p\n0,1\n1,x\n", "line 3: column 'p': 'x' is not a number"),
    ("t,p\n0,1\n1\n", "line 3: 1 fields where the header has 2"),
    ("t,q\n0,1\n", "no column 'p'"),
    ("t,p\n", "holds no rows"),
    ("t,p\n0,1\n1,inf\n", "line 3: column 'p': 'inf' is not a finite number"),
])
def test_a_bad_csv_is_refused_with_the_row_and_the_reason(tmp_path, text, message):
    path = tmp_path / "log.csv"
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        FlightData.from_csv(path, time="t", pressure="p")


@pytest.mark.parametrize("kwargs, message", [
    (dict(pressure=[1e5, 1e5], altitude=[0.0, 1.0]), "not both"),
    (dict(gnss_altitude=[0.0, 1.0]), "needs a barometer"),
    (dict(pressure=[1e5]), "1 values for 2 times"),
    (dict(pressure=[1e5, -1.0]), "must be positive"),
    (dict(acceleration=[0.0, 0.0], acceleration_kind="g"), "acceleration_kind"),
    (dict(acceleration=[0.0, np.inf]), "finite or NaN"),
])
def test_bad_arrays_are_refused(kwargs, message):
    with pytest.raises(ValueError, match=message):
        FlightData([0.0, 1.0], **kwargs)


def test_identical_rows_are_dropped_and_a_repeated_gnss_value_is_one_sample():
    data = FlightData([0.0, 0.1, 0.1, 0.2, 0.3], pressure=[1e5, 1e5 - 1, 1e5 - 1, 1e5 - 2, 1e5 - 3],
                      gnss_altitude=[5.0, 5.0, 5.0, 5.0, 6.0])
    np.testing.assert_array_equal(data.time, [0.0, 0.1, 0.2, 0.3])
    np.testing.assert_array_equal(np.isnan(data.gnss_altitude), [False, True, True, False])


# -- the shared flights ------------------------------------------------------------

def prometheus(board):
    return FlightData.from_csv(FLIGHTS / f"prometheus_{board}.csv", time="time", pressure="pressure",
                               acceleration="acceleration", acceleration_kind="gravity_removed",
                               gnss_altitude="gps_altitude" if board == "telemega" else None, site_elevation=1401.0)


def ndrt():
    return FlightData.from_csv(
        FLIGHTS / "ndrt2020_altimeter.csv",
        time={"acceleration": "Time-Axial Accel (Gs)", "altitude": "Time (s)"},
        acceleration="Axial Accel (Gs)", altitude="Altitude (Ft-AGL)",
        scale={"Axial Accel (Gs)": GRAVITY, "Altitude (Ft-AGL)": 0.3048}, site_elevation=206.0)


@pytest.mark.parametrize("board", ["telemega", "telemetrum"])
def test_prometheus_estimated_height_follows_its_gnss_altitude(board):
    gnss = prometheus("telemega")
    data = prometheus(board)
    assert abs(data.burnout - 4.9) < 0.2
    e = data.estimate(Atmosphere.standard(1401.0, 17.5), estimator=Estimator.from_pad(data))
    g = ~np.isnan(gnss.gnss_altitude)
    t = gnss.time[g] - 0.55  # the GNSS altitude's lag (the logs' README.md)
    h = gnss.gnss_altitude[g] - np.median(gnss.gnss_altitude[g][gnss.time[g] < 0.0])
    coast = (t > data.burnout) & (t < data.apogee)
    # Not fused: a sensor the estimate never saw. Its timing, known to about
    # 0.2 s, bounds the agreement at speed.
    error = np.abs(np.interp(t[coast], e.time, e.height) - h[coast])
    assert np.all(error < 15.0 + 0.2 * np.abs(np.interp(t[coast], e.time, e.velocity)))
    assert abs(e.height.max() - h.max()) < 10.0


def test_ndrt_apogee_from_burnout_with_its_own_fitted_drag():
    data = ndrt()
    assert abs(data.burnout - 3.43) < 0.1
    air = Atmosphere.standard(206.0)
    e = data.estimate(air, estimator=Estimator.from_pad(data))
    vehicle = Vehicle(aeso.Rocket(mass=20.846, cd=0.44, area_drag=math.pi * 0.1015**2, area_lift=0.03,
                                  moment_of_inertia=6.4, stab_margin_dimensional=0.28, cl_a=10.0))
    fit = vehicle.fit_drag(data, atmosphere=air, estimate=e)
    state, _ = e.at(data.burnout)
    apogee = fit.vehicle.predict_apogee_1dof(state, aeso.OdeMethod.RK45, atmosphere=air)
    # Measured: 1317-1320 m above the pad (barometric), within 1 %.
    assert abs(apogee - 1319.0) < 13.0


@pytest.mark.parametrize("read, burn_time, apogee_time", [
    (lambda: prometheus("telemetrum"), 4.9, 29.3),
    (ndrt, 3.43, 17.4),
])
def test_the_shared_flights_events_are_where_their_logs_have_them(read, burn_time, apogee_time):
    # Burnout against the motors' published burn times; the apogee time
    # against where GNSS (Prometheus) and the altimeter (NDRT) peak.
    data = read()
    assert abs(data.burnout - burn_time) < 0.1
    assert abs(data.apogee - apogee_time) < 0.6
    assert data.launch is not None and -0.2 < data.launch < 0.2


def test_the_apogee_time_is_found_through_noise_and_a_two_sample_glitch():
    t = np.arange(0.0, 25.0, 0.05)
    h = 1000.0 - 4.9 * (t - 12.3) ** 2 + np.random.default_rng(1).normal(0.0, 2.0, t.size)
    h[286:288] += 600.0
    data = FlightData(t, altitude=h, launch=0.0, burnout=1.0)
    assert abs(data.apogee - 12.3) < 0.05


@pytest.mark.parametrize("name", aeso_flight.SAMPLE_LOGS + ("README.md", "LICENSE.txt", "no_such_log.csv"))
def test_the_sample_logs_are_installed_with_the_package(name):
    if name == "no_such_log.csv":
        with pytest.raises(ValueError, match="no sample log named"):
            sample_log(name)
    else:
        assert sample_log(name).is_file()
