"""The flight computer in the loop: its estimate is the log's causal
estimate, its learned drag the log's fit cut at the tick, to the bit; it
learns a known drag; it hits a target in the frame it is asked to; the
frame on predictions and inverses; a shared flight replayed; bad
parameters refused."""

import math
import pickle

import aeso
import numpy as np
import pytest
from conftest import BRAKES, RK45, SITE, rocket, same_bits, state

from aeso_flight import (PID, Accelerometer, Actuator, Atmosphere, Barometer, Brakes, Drag, Estimator, FlightData,
                         Predictive, RawSensors, Sensors, Vehicle, sample_log)

AIR = Atmosphere.standard(site_elevation=SITE)
VEHICLE = Vehicle(rocket(), brakes=Brakes(**BRAKES))
TARGET = 3000.0
GRAVITY = 9.80665
# A student flight computer's sensors, and an estimator set from them (a
# barometer without a Mach error: the barometer counts at every speed).
ESTIMATOR = Estimator(barometer_sd=2.0, accelerometer_sd=0.05, bias_sd=0.05, dynamic_error=1e-3, process_noise=2.0)
BOARD = RawSensors(Barometer(noise_sd=2.0, rate=50.0, resolution=1.0), Accelerometer(noise_sd=0.05, bias=0.04,
                                                                                        rate=100.0),
                   estimator=ESTIMATOR)


def board(barometer_rate=50.0, accelerometer_rate=100.0, lag=0.0, **changes):
    return RawSensors(Barometer(noise_sd=2.0, rate=barometer_rate, resolution=1.0, lag=lag),
                      Accelerometer(noise_sd=0.05, bias=0.04, scale_error=0.003, rate=accelerometer_rate),
                      estimator=Estimator(barometer_sd=2.0, accelerometer_sd=0.05, bias_sd=0.05, dynamic_error=1e-3,
                                          process_noise=2.0, barometer_lag=lag), **changes)


def fly(controller, dof=1, sensors=BOARD, vehicle=VEHICLE, air=AIR, **options):
    return vehicle.fly_controlled(state(dof), RK45, atmosphere=air, target=TARGET, controller=controller, rate=20.0,
                                  sensors=sensors, seed=options.pop("seed", 3), **options)


def last_rows(estimate, times):
    """The index of each time's last row at or before it."""
    return np.searchsorted(estimate.time, times, side="right") - 1


@pytest.mark.parametrize("dof", [1, 3])
@pytest.mark.parametrize("rates", [(50.0, 100.0), (30.0, 70.0), (7.0, 13.0)], ids=["dividing", "not", "slow"])
def test_the_on_board_estimate_is_the_logs_causal_estimate_to_the_bit(dof, rates):
    sensors = board(*rates, lag=0.02)
    flight = fly(Predictive(learn_drag=True), dof, sensors)
    log, t = flight.sensor_log, flight.ticks
    assert (log.launch, log.burnout) == (0.0, 0.0)
    causal = log.estimate(AIR, estimator=sensors.estimator, smoothed=False, initial=flight.initial_estimate)
    i = last_rows(causal, t.time)
    at_row = causal.time[i] == t.time
    for column in ("height", "velocity", "height_sd", "velocity_sd"):
        assert same_bits(getattr(t, f"estimated_{column}")[at_row], getattr(causal, column)[i][at_row])
    # Between rows the tick carries the last row with the reading it holds.
    force = np.where(np.isnan(log.specific_force), np.nan, log.specific_force)
    held = np.maximum.accumulate(np.where(np.isnan(force), -1, np.arange(force.size)))
    dt = t.time - causal.time[i]
    a = (log.specific_force[held[i]] - GRAVITY) - causal.bias[i]
    carried = causal.height[i] + causal.velocity[i] * dt + 0.5 * a * (dt * dt)
    assert same_bits(t.estimated_height[~at_row], carried[~at_row])
    assert same_bits(t.sensed_height, t.estimated_height)
    assert (at_row.all(), (~at_row).any()) == ((True, False) if rates[0] == 50.0 else (False, True))
    # The scale learned by a tick is the log's fit cut there, with the prior.
    for k in (t.time.size // 3, t.time.size - 1):
        fit = VEHICLE.fit_drag(log, atmosphere=AIR, estimate=causal, until=t.time[k], prior_sd=0.1,
                               estimator=sensors.estimator)
        assert (fit.scale, fit.scale_sd) == (t.learned_scale[k], t.learned_scale_sd[k])


@pytest.mark.parametrize("rates", [(50.0, 100.0), (30.0, 70.0)])
@pytest.mark.parametrize("port", [None, 0.05])
def test_the_samples_are_the_flights_at_their_own_instants(rates, port):
    # Noiseless sensors, so a sample is its definition.
    barometer = Barometer(noise_sd=0.0, rate=rates[0], mach_error=None if port is None else ([0.0], [port]))
    accelerometer = Accelerometer(noise_sd=0.0, bias=0.2, scale_error=0.01, rate=rates[1])
    delay = 2.0 / rates[1]
    flight = fly(Predictive(), sensors=RawSensors(barometer, accelerometer, estimator=ESTIMATOR),
                 actuator=Actuator(delay=delay))
    log, t = flight.sensor_log, flight.ticks
    # A sample at the instant a command arrives (to a rounding error, on
    # either side) reads the brakes before it.
    arrives = t.time[1:-1] + delay
    arrival = np.minimum(np.searchsorted(log.time, arrives - 1e-9), log.time.size - 2)
    at_sample = np.abs(log.time[arrival] - arrives) <= 1e-9
    assert at_sample.sum() >= (10 if rates[0] == 50.0 else 0)
    assert (log.deployment[arrival][at_sample] == t.commanded[:-2][at_sample]).all()
    assert (log.deployment[arrival + 1][at_sample] == t.commanded[1:-1][at_sample]).all()
    # One row per instant k / rate of either sensor, to the bit, up to the
    # apogee (after the last tick, before the next).
    instants = sorted({k / r for r in rates for k in range(int(20.0 * r)) if k / r <= log.time[-1]})
    assert log.time.tolist() == instants and t.time[-1] <= log.time[-1] < t.time[-1] + 0.05
    for column, rate in ((log.pressure, rates[0]), (log.specific_force, rates[1])):
        assert np.array_equal(~np.isnan(column), np.isclose(log.time * rate, np.round(log.time * rate), rtol=0.0,
                                                             atol=1e-6))
    # At the ticks' instants: the port's pressure of the true state (high by
    # the port's coefficient times the dynamic pressure) ...
    rows = np.minimum(np.searchsorted(log.time, t.time), log.time.size - 1)
    at_tick = log.time[rows] == t.time
    rows, height, velocity = rows[at_tick], t.true_height[at_tick], t.true_velocity[at_tick]
    pressure = log.pressure[rows]
    read = ~np.isnan(pressure)
    assert read.sum() > 100
    static = AIR.pressure(height[read])
    dynamic = 0.5 * AIR.density(height[read]) * velocity[read] ** 2
    np.testing.assert_allclose(pressure[read] - static, (port or 0.0) * dynamic, rtol=1e-9, atol=1e-6)
    # ... and the accelerometer's gain and bias on the specific force, the
    # drag over the mass, which falls with the speed and the air.
    force = (log.specific_force[~np.isnan(log.specific_force)] - 0.2) / 1.01
    assert (force < 0.0).all() and force[0] < 2.0 * force[-1] < 0.0
    assert (log.deployment[rows] == t.actual[at_tick]).all() and t.commanded.std() > 0.01


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("true_scale", [0.9, 1.07])
def test_the_learned_scale_converges_to_the_flights_within_three_sds(seed, true_scale):
    flown = Vehicle(rocket(), brakes=Brakes(**BRAKES), drag_scale=true_scale)
    flight = fly(Predictive(vehicle=VEHICLE, learn_drag=True), vehicle=flown, seed=seed)
    k, sd = flight.learned_scale, flight.learned_scale_sd
    assert abs(k - true_scale) < 3.0 * sd and sd < 0.005
    assert abs(flight.ticks.learned_scale[-1] - k) < sd
    assert abs(flight.miss) < 2.0


@pytest.mark.parametrize("offset", [-8.0, 8.0])
@pytest.mark.parametrize("sensors", [BOARD, Sensors()], ids=["raw", "simple"])
def test_a_barometric_target_is_hit_in_the_barometric_frame(offset, sensors):
    # A flight computer reading its barometer in the standard day's air
    # holds heights the altimeter's way; one shown the true state must know
    # the day's air to convert its target.
    day = Atmosphere.standard(site_elevation=SITE, temperature_offset=offset)
    raw = sensors is BOARD
    controller = Predictive(atmosphere=AIR, learn_drag=True) if raw else Predictive()
    flight = fly(controller, sensors=sensors, air=day, frame="barometric")
    assert flight.frame == "barometric"
    assert flight.barometric_apogee == day.pressure_altitude(flight.apogee)
    assert flight.miss == flight.barometric_apogee - TARGET
    assert abs(flight.miss) < 5.0
    # The true apogee lies off the target by what the day's air makes the
    # altimeter misread (about 3 % of the climb per 8 K).
    assert abs(flight.apogee - TARGET) > 40.0
    aiming_true = fly(Predictive(atmosphere=AIR), sensors=Sensors(), air=day)
    assert abs(day.pressure_altitude(aiming_true.apogee) - TARGET) > 40.0 > abs(aiming_true.miss)


@pytest.mark.parametrize("controller", [Predictive, lambda **kw: PID(kp=0.002, ki=0.0005, **kw)],
                         ids=["predictive", "pid"])
@pytest.mark.parametrize("frame", ["true", "barometric"])
@pytest.mark.parametrize("believed", [0.0, 10.0])
def test_a_controller_predicts_in_its_frame_through_the_air_it_believes_in(controller, frame, believed):
    day = Atmosphere.standard(site_elevation=SITE, temperature_offset=-6.0)
    belief = Atmosphere.standard(site_elevation=SITE, temperature_offset=believed)
    aiming = controller(atmosphere=belief, frame=frame)
    flight = fly(aiming, sensors=Sensors(), air=day)
    t = flight.ticks
    # Its first prediction, from the exact state, with the brakes it chose
    # (the PID's: as they are): the public prediction in its frame and air.
    held = t.actual[0] if isinstance(aiming, PID) else t.commanded[0]
    assert t.predicted_apogee[0] == VEHICLE.predict_apogee_1dof(state(1), RK45, atmosphere=belief, deployment=held,
                                                                frame=frame)
    assert flight.frame == "true" and flight.miss == flight.apogee - TARGET


@pytest.mark.parametrize("dof", [1, 3])
@pytest.mark.parametrize("offset", [0.0, 12.0])
def test_frame_on_predictions_and_inverses(dof, offset):
    day = Atmosphere.standard(site_elevation=SITE, temperature_offset=offset)
    predict = VEHICLE.predict_apogee_1dof if dof == 1 else VEHICLE.predict_apogee_3dof
    true = predict(state(dof), RK45, atmosphere=day, deployment=0.3)
    reading = predict(state(dof), RK45, atmosphere=day, deployment=0.3, frame="barometric")
    assert reading == day.pressure_altitude(true)
    answer = VEHICLE.deployment_for_apogee(2900.0, state(dof), RK45, atmosphere=day, frame="barometric")
    scored = predict(state(dof), RK45, atmosphere=day, deployment=answer.level, frame="barometric")
    assert (answer.status.name, answer.apogee) == ("REACHED", scored)
    assert abs(scored - 2900.0) <= 0.01
    again = VEHICLE.deployment_for_apogee(2900.0, state(dof), RK45, atmosphere=day, frame="barometric",
                                          start=answer)
    assert abs(again.apogee - 2900.0) <= 0.01 and again.predictions <= 2
    factor = VEHICLE.drag_scale_for_apogee(2900.0, state(dof), RK45, atmosphere=day, deployment=0.0,
                                           frame="barometric")
    scaled = Vehicle(rocket(), brakes=Brakes(**BRAKES), drag_scale=factor.scale)
    again_scaled = (scaled.predict_apogee_1dof if dof == 1 else scaled.predict_apogee_3dof)(
        state(dof), RK45, atmosphere=day, deployment=0.0, frame="barometric")
    assert factor.apogee == again_scaled and abs(again_scaled - 2900.0) <= 0.01
    in_true = VEHICLE.deployment_for_apogee(2900.0, state(dof), RK45, atmosphere=day)
    # On a standard day the altimeter reads the true height (to a few
    # micrometres, through the two columns' closed forms).
    assert (abs(in_true.level - answer.level) < 1e-6) == (offset == 0.0)


def prometheus():
    return FlightData.from_csv(sample_log("prometheus_telemetrum.csv"), time="time", pressure="pressure",
                               acceleration="acceleration", acceleration_kind="gravity_removed",
                               site_elevation=1401.0)


@pytest.fixture(scope="module")
def shared():
    data = prometheus()
    standard = Atmosphere.standard(1401.0).temperature(0.0)
    day = Atmosphere.standard(1401.0, pad_temperature=standard + 17.5, pad_pressure=data.pad_pressure())
    vehicle = Vehicle(rocket(mass=16.911), drag=Drag(mach=[0.15, 0.45, 0.77, 0.88, 0.99, 1.24],
                                                     cd=[0.422, 0.38, 0.32, 0.30, 0.37, 0.43]),
                      brakes=Brakes(**BRAKES))
    return data, day, vehicle, Estimator.from_pad(data)


@pytest.mark.parametrize("controller", [Predictive(target=3048.0, learn_drag=True),
                                        Predictive(target=3048.0, frame="barometric"),
                                        PID(kp=0.02, target=3048.0, learn_drag=True)],
                         ids=["predictive-learning", "predictive-barometric", "pid-learning"])
def test_a_shared_flight_replayed_is_its_causal_estimate_and_fit_tick_by_tick(shared, controller):
    data, day, vehicle, estimator = shared
    ticks = data.replay(vehicle, controller, atmosphere=day, rate=20.0, estimator=estimator)
    assert ticks.time[0] == data.burnout and ticks.time[-1] <= data.apogee
    assert np.allclose(np.diff(ticks.time), 0.05)
    assert np.isnan(ticks.true_height).all() and (ticks.actual == 0.0).all()
    assert ((ticks.commanded >= 0.0) & (ticks.commanded <= 1.0)).all() and ticks.predictions.sum() > 0
    causal = data.estimate(day, estimator=estimator, smoothed=False)
    i = last_rows(causal, ticks.time)
    at_row = causal.time[i] == ticks.time
    assert at_row.sum() > ticks.time.size // 2
    assert same_bits(ticks.estimated_height[at_row], causal.height[i][at_row])
    assert same_bits(ticks.estimated_velocity_sd[at_row], causal.velocity_sd[i][at_row])
    if controller.learn_drag:
        k = ticks.time.size // 2
        fit = vehicle.fit_drag(data, atmosphere=day, estimate=causal, until=ticks.time[k], prior_sd=0.1,
                               estimator=estimator)
        assert (fit.scale, fit.scale_sd) == (ticks.learned_scale[k], ticks.learned_scale_sd[k])
    else:
        assert np.isnan(ticks.learned_scale).all()


@pytest.mark.parametrize("call, error, match", [
    (lambda: RawSensors(Barometer(noise_sd=1.0, rate=50.0), Accelerometer(noise_sd=0.1, rate=100.0),
                        believed_atmosphere=Atmosphere.constant()), ValueError, "constant air"),
    (lambda: RawSensors(Accelerometer(noise_sd=0.1, rate=100.0), Barometer(noise_sd=1.0, rate=50.0)), TypeError,
     "barometer must be a Barometer"),
    (lambda: RawSensors(Barometer(noise_sd=1.0, rate=50.0), Accelerometer(noise_sd=0.1, rate=100.0),
                        estimator="default"), TypeError, "estimator must be an Estimator"),
    (lambda: Estimator(barometer_lag=-0.01), ValueError, "barometer_lag must not be negative"),
    (lambda: Estimator(barometer_lag=math.inf), ValueError, "barometer_lag must be finite"),
    (lambda: Predictive(frame="altimeter"), ValueError, 'frame must be "true" or "barometric"'),
    (lambda: Predictive(drag_prior_sd=0.0), ValueError, "drag_prior_sd must be positive"),
    (lambda: PID(kp=0.1, learn_drag="yes"), TypeError, "learn_drag must be a bool"),
    (lambda: fly(Predictive(learn_drag=True), sensors=Sensors()), ValueError, "fly it with RawSensors"),
    (lambda: fly(Predictive(model="3dof"), dof=3), ValueError, "raw sensors estimate the vertical state"),
    (lambda: fly(Predictive(), air=Atmosphere.constant()), ValueError, "the flight's air: the constant air"),
    (lambda: fly(Predictive(atmosphere=Atmosphere.constant())), ValueError, "believes in: the constant air"),
    (lambda: fly(Predictive(), sensors=Sensors(), frame="baro"), ValueError, 'frame must be "true"'),
    (lambda: fly(Predictive(), sensors=Sensors(), air=Atmosphere.constant(), frame="barometric"), ValueError,
     "constant air"),
    (lambda: fly(Predictive(atmosphere=Atmosphere.constant(), frame="barometric"), sensors=Sensors()),
     ValueError, "Predictive.frame barometric: the constant air"),
    (lambda: fly(Predictive(), sensors=Sensors(height_sd=1.0), frame="barometric", record="yes"), TypeError,
     "record must be a bool"),
    (lambda: VEHICLE.predict_apogee_1dof(state(1), RK45, atmosphere=Atmosphere.constant(), deployment=0.0,
                                         frame="barometric"), ValueError, "constant air"),
    (lambda: VEHICLE.deployment_for_apogee(TARGET, state(1), RK45, atmosphere=AIR, frame=None), ValueError,
     "frame must be"),
    (lambda: VEHICLE.fit_drag(prometheus(), atmosphere=AIR, mach=[0.3, 0.6], prior_sd=0.1), ValueError,
     "not with Mach knots"),
    (lambda: VEHICLE.fit_drag(prometheus(), atmosphere=AIR, prior_sd=-1.0), ValueError, "prior_sd must be"),
    (lambda: prometheus().replay(VEHICLE, Predictive(), atmosphere=AIR, rate=20.0), ValueError,
     "give the controller its own"),
    (lambda: prometheus().replay(VEHICLE, Predictive(target=3000.0, model="3dof"), atmosphere=AIR, rate=20.0),
     ValueError, "1-DOF"),
    (lambda: prometheus().replay(VEHICLE, Predictive(target=3000.0), atmosphere=AIR, rate=0.0), ValueError,
     "rate must be positive"),
    (lambda: prometheus().replay(VEHICLE, lambda t, s, d: 0.0, atmosphere=AIR, rate=20.0), TypeError,
     "a Predictive or a PID"),
    (lambda: prometheus().replay(VEHICLE, Predictive(target=3000.0), atmosphere=Atmosphere.constant(),
                                 rate=20.0), ValueError, "constant air"),
])
def test_bad_sensor_estimator_and_frame_parameters_are_refused(call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_a_flight_with_raw_sensors_is_a_value_its_sensor_log_too():
    a, b = fly(Predictive(learn_drag=True)), fly(Predictive(learn_drag=True))
    again = pickle.loads(pickle.dumps(a))
    assert a == b == again and hash(a) == hash(b) == hash(again)
    for log in (again.sensor_log, pickle.loads(pickle.dumps(a.sensor_log))):
        assert repr(log) == repr(a.sensor_log) and (log.launch, log.burnout) == (0.0, 0.0)
        assert same_bits(log.pressure, a.sensor_log.pressure) and not log.time.flags.writeable
    assert fly(Predictive(learn_drag=True), seed=4) != a


def test_without_raw_sensors_nothing_is_estimated_or_learned():
    flight = fly(Predictive(), sensors=Sensors(height_sd=1.0))
    t = flight.ticks
    assert (flight.sensor_log, flight.initial_estimate, flight.learned_scale) == (None, None, None)
    assert all(np.isnan(getattr(t, c)).all() for c in ("estimated_height", "estimated_velocity_sd",
                                                        "learned_scale", "learned_scale_sd"))
    assert aeso.InitialState1DOF is type(fly(Predictive(), sensors=BOARD).initial_estimate)
