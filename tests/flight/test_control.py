"""Controlled flights: the controller, actuator and sensors in the loop."""

import math
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import aeso
from aeso_flight import (PID, Actuator, Atmosphere, Brakes, Drag, FlightError, Predictive, Schedule, Sensors,
                         Vehicle, _arguments)

RK45 = aeso.OdeMethod.RK45
AREA = math.pi * 0.06985**2
ROCKET = aeso.Rocket(16.911, 0.35, AREA, AREA, 6.4, 0.28, 10.0)
MACH_DRAG = Drag(mach=[0.15, 0.45, 0.77, 0.82, 0.88, 0.94, 0.99, 1.04, 1.24, 1.33, 1.49],
                 cd=[0.422, 0.38, 0.32, 0.30, 0.30, 0.32, 0.37, 0.44, 0.43, 0.42, 0.39])
BRAKES = Brakes(deployment=[0.0, 0.5, 1.0], mach=[0.0, 0.5, 1.0],
                cd=[[0.0, 0.0, 0.0], [0.30, 0.33, 0.40], [0.70, 0.75, 0.90]])
VEHICLE = Vehicle(ROCKET, drag=MACH_DRAG, brakes=BRAKES)
AIR = Atmosphere.standard(site_elevation=1401.0)
STATES = {1: aeso.InitialState1DOF(988.26, 305.3),
          3: aeso.InitialState3DOF(0.0, 988.26, -0.08, 24.5, 305.3, 0.0)}
TARGET = 3200.0  # between the apogee with the brakes closed (~4000 m) and open (~2900 m)
TIGHT = aeso.AdaptiveTimeStep(dt=1e-3, dt_min=1e-9, dt_max=0.01, absolute_error_tolerance=1e-12,
                              relative_error_tolerance=1e-12)
NOISY = Sensors(height_sd=3.0, velocity_sd=1.0, velocity_scale=1.05, correlation_time=0.3)
SERVO = Actuator(rate_limit=0.5, lag=0.05, delay=0.02)


def fly(dof=1, controller=None, rate=20.0, vehicle=VEHICLE, **options):
    options.setdefault("atmosphere", AIR)
    options.setdefault("target", TARGET)
    step = options.pop("timestep_config", None)
    return vehicle.fly_controlled(STATES[dof], RK45, step, controller=controller or Predictive(), rate=rate,
                                  **options)


def tick_arrays(flight):
    t = flight.ticks
    return [t.time, t.true_height, t.true_velocity, t.sensed_height, t.sensed_velocity, t.predicted_apogee,
            t.commanded, t.actual, t.predictions]


@pytest.mark.parametrize("rate", [10.0, 20.0, 100.0])
@pytest.mark.parametrize("dof, model", [(1, "1dof"), (3, "3dof")])
def test_predictive_with_the_flights_own_model_lands_on_the_target(dof, model, rate):
    for target in (3000.0, 3500.0):
        flight = fly(dof, Predictive(model=model), rate, target=target)
        assert abs(flight.miss) <= 0.5
        # Warm-started decisions after the first tick take a few predictions.
        assert np.median(flight.ticks.predictions[1:]) <= 3


@pytest.mark.parametrize("dof", [1, 3])
@pytest.mark.parametrize("method, step, rel", [(RK45, TIGHT, 1e-10),
                                               (aeso.OdeMethod.RK3, aeso.FixedTimeStep(1e-3), 1e-9)])
@pytest.mark.parametrize("controller", [Schedule([0.0], [1.0]), lambda t, s, d: 1.0,
                                        Predictive(target=1000.0)], ids=["schedule", "callable", "predictive"])
def test_fully_open_at_the_first_tick_gives_the_closed_form_apogee(dof, method, step, rel, controller):
    m, cd, cd_brake, h0, v0 = 16.911, 0.35, 0.5, 988.26, 305.3
    vehicle = Vehicle(ROCKET, brakes=Brakes(deployment=[0.0, 1.0], mach=[0.0], cd=[[0.0], [cd_brake]]))
    k = 1.225 / 2 * (cd + cd_brake) * AREA
    exact = h0 + m / (2 * k) * math.log(1 + k * v0**2 / (m * 9.80665))
    state = STATES[1] if dof == 1 else aeso.InitialState3DOF(0.0, h0, 0.0, 0.0, v0, 0.0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the target of the Predictive case is out of reach
        flight = vehicle.fly_controlled(state, method, step, atmosphere=Atmosphere.constant(), target=1000.0,
                                        controller=controller, rate=10.0)
    assert flight.apogee == pytest.approx(exact, rel=rel)
    assert flight.final_deployment == 1.0


@pytest.mark.parametrize("rate", [10.0, 100.0])
@pytest.mark.parametrize("rate_limit, delay", [(0.2, 0.0), (1.0, 0.25), (5.0, 0.013)])
def test_a_rate_limited_ramp_is_the_scheduled_prediction_of_that_ramp(rate, rate_limit, delay):
    flight = fly(1, Schedule([0.0], [1.0]), rate, actuator=Actuator(rate_limit=rate_limit, delay=delay))
    ramp = ([delay, delay + 1.0 / rate_limit], [0.0, 1.0])
    predicted = VEHICLE.predict_apogee_1dof(STATES[1], RK45, atmosphere=AIR, deployment=ramp)
    assert flight.apogee == pytest.approx(predicted, rel=1e-3)


@pytest.mark.parametrize("dof", [1, 3])
def test_a_schedule_at_100_hz_with_an_ideal_actuator_is_the_scheduled_prediction(dof):
    times, levels = [0.0, 3.0, 6.0, 9.0, 15.0], [0.0, 0.8, 0.2, 1.0, 0.5]
    flight = fly(dof, Schedule(times, levels), 100.0)
    predict = VEHICLE.predict_apogee_1dof if dof == 1 else VEHICLE.predict_apogee_3dof
    predicted = predict(STATES[dof], RK45, atmosphere=AIR, deployment=(times, levels))
    assert flight.apogee == pytest.approx(predicted, rel=1e-3)
    # The commands are the schedule sampled at the ticks.
    np.testing.assert_array_equal(flight.ticks.commanded, np.interp(flight.ticks.time, times, levels))


@pytest.mark.parametrize("delay, rate_limit, lag", [(0.0, 0.5, 0.0), (0.013, 0.5, 0.0), (0.05, 2.0, 0.0),
                                                    (0.3, 0.25, 0.1), (0.0, math.inf, 0.2), (0.07, 1.0, 0.05)])
def test_the_actuator_delays_then_rate_limits_then_lags(delay, rate_limit, lag):
    # One command to open fully at t = 0: it arrives at `delay`, the limited
    # signal ramps to 1 over 1 / rate_limit, and the brakes lag behind it.
    flight = fly(1, Schedule([0.0], [1.0]), 20.0, actuator=Actuator(rate_limit=rate_limit, lag=lag, delay=delay))
    tau = np.maximum(flight.ticks.time - delay, 0.0)
    reach = 1.0 / rate_limit  # 0 for an unlimited rate

    def ramp(x):  # the lagged response to the signal rate_limit * x, from rest
        return rate_limit * (x + lag * np.expm1(-x / lag))

    if lag == 0.0:
        expected = np.minimum(rate_limit * tau, 1.0)
    else:
        at_reach = ramp(reach) if reach else 0.0
        expected = np.where(tau <= reach, ramp(np.minimum(tau, reach)) if reach else 0.0,
                            1.0 + (at_reach - 1.0) * np.exp(-(tau - reach) / lag))
    np.testing.assert_allclose(flight.ticks.actual, expected, rtol=0, atol=1e-12)


@pytest.mark.parametrize("rate", [20.0, 100.0])
@pytest.mark.parametrize("controller", [Schedule([0.0], [0.4]), Predictive()], ids=["schedule", "predictive"])
def test_a_delay_of_whole_ticks_adds_no_steps(rate, controller):
    # Each arrival falls within rounding of a later tick: it is taken there,
    # not in a step of a few ulps of its own.
    base = fly(3, controller, rate).steps
    for ticks in (1, 3):
        assert fly(3, controller, rate, actuator=Actuator(delay=ticks / rate)).steps <= 1.01 * base


@pytest.mark.parametrize("dof", [1, 3])
@pytest.mark.parametrize("rate", [7.0, 10.0, 33.3, 100.0])
def test_ticks_fall_at_k_over_rate(dof, rate):
    times = fly(dof, Predictive(), rate, actuator=SERVO, sensors=NOISY).ticks.time
    np.testing.assert_array_equal(times, np.arange(times.size) / rate)


@pytest.mark.parametrize("dof", [1, 3])
@pytest.mark.parametrize("controller", [Predictive(), PID(kp=0.004, ki=0.001, kd=0.0005)], ids=["predictive", "pid"])
def test_the_same_inputs_and_seed_give_the_same_bits_also_on_two_threads(dof, controller):
    def run(_=None):
        flight = fly(dof, controller, 20.0, actuator=SERVO, sensors=NOISY, seed=11)
        return (flight.apogee, flight.final_deployment, flight.deployment_travel, flight.steps, flight.predictions,
                [a.tobytes() for a in tick_arrays(flight)])

    first = run()
    assert run() == first
    with ThreadPoolExecutor(2) as pool:
        assert list(pool.map(run, range(2))) == [first, first]
    assert fly(dof, controller, 20.0, actuator=SERVO, sensors=NOISY, seed=12).apogee != first[0]


@pytest.mark.parametrize("correlation_time", [0.0, 0.3])
def test_two_designs_on_the_same_seed_see_the_same_noise(correlation_time):
    sensors = Sensors(height_sd=3.0, velocity_sd=1.0, velocity_scale=1.07, correlation_time=correlation_time)

    def noise(flight):
        t = flight.ticks
        return t.sensed_height - t.true_height, t.sensed_velocity - 1.07 * t.true_velocity

    a = fly(3, Predictive(), 20.0, sensors=sensors, seed=5)
    b = fly(3, PID(kp=0.004), 20.0, sensors=sensors, actuator=SERVO, seed=5)
    c = fly(3, Predictive(), 20.0, sensors=sensors, seed=6)
    assert a.apogee != b.apogee
    n = min(a.ticks.time.size, b.ticks.time.size)
    for x, y, z in zip(noise(a), noise(b), noise(c)):
        np.testing.assert_allclose(x[:n], y[:n], rtol=0, atol=1e-9)
        assert np.all(x[:n] != z[:n])


@pytest.mark.parametrize("correlation_time", [0.0, 0.05])
def test_the_noise_has_its_standard_deviation_and_correlation(correlation_time):
    flight = fly(1, Schedule([0.0], [0.3]), 1000.0, seed=3,
                 sensors=Sensors(height_sd=2.0, velocity_sd=0.5, correlation_time=correlation_time))
    t = flight.ticks
    phi = math.exp(-0.001 / correlation_time) if correlation_time else 0.0
    height, velocity = t.sensed_height - t.true_height, t.sensed_velocity - t.true_velocity
    for noise, sd in ((height, 2.0), (velocity, 0.5)):
        assert noise.std() == pytest.approx(sd, rel=0.15)
        assert np.corrcoef(noise[:-1], noise[1:])[0, 1] == pytest.approx(phi, abs=0.03)
    assert abs(np.corrcoef(height, velocity)[0, 1]) < 0.15


@pytest.mark.parametrize("dof", [1, 3])
def test_a_callable_is_called_once_per_tick_with_the_sensed_state(dof):
    calls = []

    def controller(time, sensed, deployment):
        calls.append((time, sensed, deployment))
        return 0.5 if time > 2.0 else 0.0

    flight = fly(dof, controller, 20.0, sensors=NOISY, actuator=SERVO, seed=2)
    t = flight.ticks
    assert [c[0] for c in calls] == t.time.tolist()
    assert [c[2] for c in calls] == t.actual.tolist()
    height, velocity = (0, 1) if dof == 1 else (1, 4)
    assert all(len(c[1]) == 2 * dof for c in calls)
    assert [c[1][height] for c in calls] == t.sensed_height.tolist()
    assert [c[1][velocity] for c in calls] == t.sensed_velocity.tolist()
    np.testing.assert_array_equal(t.commanded, np.where(t.time > 2.0, 0.5, 0.0))


def test_a_callables_exception_ends_the_flight_chained():
    calls = []

    def controller(time, sensed, deployment):
        calls.append(time)
        if len(calls) == 3:
            raise ZeroDivisionError("bad estimate")
        return 0.0

    with pytest.raises(FlightError, match="ZeroDivisionError at t = 0.1 s: bad estimate") as info:
        fly(3, controller, 20.0)
    assert isinstance(info.value.__cause__, ZeroDivisionError)
    assert info.value.reason == "controller_raised"
    assert len(calls) == 3


@pytest.mark.parametrize("level, error", [(math.nan, ValueError), (1.5, ValueError), (-0.01, ValueError),
                                          (math.inf, ValueError), ("0.5", TypeError), (None, TypeError),
                                          (True, TypeError), ([0.5], TypeError)])
def test_a_callables_bad_level_is_an_error_naming_it(level, error):
    with pytest.raises(error, match="the controller returned .* at t = 0 s"):
        fly(1, lambda t, s, d: level, 20.0)


@pytest.mark.parametrize("make, error, match", [
    (lambda: fly(rate=0.0), ValueError, "rate must be positive"),
    (lambda: fly(rate=-20.0), ValueError, "rate must be positive"),
    (lambda: fly(rate=math.nan), ValueError, "rate must be finite"),
    (lambda: fly(rate=math.inf), ValueError, "rate must be finite"),
    (lambda: Actuator(lag=-0.05), ValueError, "lag must not be negative"),
    (lambda: Actuator(delay=-0.01), ValueError, "delay must not be negative"),
    (lambda: Actuator(rate_limit=0.0), ValueError, "rate_limit must be positive"),
    (lambda: Actuator(rate_limit=-1.0), ValueError, "rate_limit must be positive"),
    (lambda: Actuator(rate_limit=math.nan), ValueError, "rate_limit"),
    (lambda: Sensors(height_sd=-1.0), ValueError, "height_sd must not be negative"),
    (lambda: Sensors(velocity_sd=-0.1), ValueError, "velocity_sd must not be negative"),
    (lambda: Sensors(correlation_time=-1.0), ValueError, "correlation_time must not be negative"),
    (lambda: Sensors(velocity_scale=0.0), ValueError, "velocity_scale must be positive"),
    (lambda: Sensors(velocity_scale=-1.1), ValueError, "velocity_scale must be positive"),
    (lambda: fly(1, Predictive(model="3dof")), ValueError, '"3dof" predictor needs a 3-DOF flight'),
    (lambda: fly(1, PID(kp=0.01, model="3dof")), ValueError, '"3dof" predictor needs a 3-DOF flight'),
    (lambda: fly(vehicle=Vehicle(ROCKET)), ValueError, "needs a vehicle with brakes"),
    (lambda: fly(3, Predictive(vehicle=Vehicle(ROCKET))), ValueError, "Predictive.vehicle needs brakes"),
    (lambda: fly(controller=0.5), TypeError, "controller must be"),
    (lambda: fly(target=math.nan), ValueError, "target must be finite"),
    (lambda: fly(actuator=0.5), TypeError, "actuator must be an Actuator"),
    (lambda: Schedule([0.0, 1.0], [0.0, 1.2]), ValueError, "levels must be from 0 to 1"),
    (lambda: Predictive(model="2dof"), ValueError, "model must be"),
])
def test_bad_inputs_are_refused_naming_the_argument(make, error, match):
    with pytest.raises(error, match=match):
        make()


@pytest.mark.parametrize("target, level, words", [(2000.0, 1.0, "fully open"), (5000.0, 0.0, "closed")])
def test_a_target_out_of_reach_is_said_and_flown(target, level, words):
    with pytest.warns(UserWarning, match=f"out of reach: even with the brakes {words}"):
        flight = fly(3, Predictive(), 20.0, target=target)
    assert np.all(flight.ticks.commanded[1:] == level)
    assert flight.miss == pytest.approx(flight.apogee - target)
    held = VEHICLE.predict_apogee_3dof(STATES[3], RK45, atmosphere=AIR, deployment=level)
    assert flight.apogee == pytest.approx(held, rel=1e-4)


@pytest.mark.parametrize("controller", [Predictive(), PID(kp=0.004, ki=0.001), Schedule([0.0, 8.0], [0.0, 0.6])],
                         ids=["predictive", "pid", "schedule"])
@pytest.mark.parametrize("sensors", [Sensors(), NOISY], ids=["exact", "noisy"])
def test_a_study_block_of_one_repeated_flight_gives_its_apogee_to_the_bit(controller, sensors):
    flight = fly(3, controller, 20.0, actuator=SERVO, sensors=sensors, seed=9)
    native = VEHICLE._controller(controller, TARGET, "true", 3, RK45, None, 100000, AIR, False)
    name = _arguments.BLOCK_CONTROLLERS[native[0]]
    target, predictor, gains = (TARGET, None, (0.0,) * 3) if name == "schedule" else (
        native[1][0], native[2], (native[3:6] if name == "pid" else (0.0,) * 3))
    schedule = native[1] if name == "schedule" else None
    layout = _arguments.layout(3, False, int(RK45), 0, 100000, 0, False, False, name, VEHICLE._craft, AIR._air,
                               schedule, predictor, 9, 0)
    s = STATES[3]
    row = [*VEHICLE._properties, s.x, s.y, s.angle, s.vx, s.vy, s.angular_rate, target, 20.0, SERVO.rate_limit,
           SERVO.lag, SERVO.delay, SERVO.initial, sensors.height_sd, sensors.velocity_sd, sensors.velocity_scale,
           sensors.correlation_time, *gains]
    rows = 3
    outcomes = np.empty((len(_arguments.BLOCK_OUTCOMES), rows))
    steps, status = np.empty(rows, np.uint64), np.empty(rows, np.uint8)
    assert _arguments.run_block(np.array([row] * rows), outcomes, steps, status, layout, _arguments.StopFlag()) == rows
    assert status.tolist() == [0] * rows
    apogee, _, _, _, miss, final, travel = outcomes[:7]
    # Row k is flight k of the seed: the first is the flight flown alone;
    # the others draw their own noise.
    assert (apogee[0], miss[0], final[0], travel[0], steps[0]) == (
        flight.apogee, flight.miss, flight.final_deployment, flight.deployment_travel, flight.steps)
    noise_matters = sensors != Sensors() and not isinstance(controller, Schedule)
    assert len(set(apogee.tolist())) == (rows if noise_matters else 1)
