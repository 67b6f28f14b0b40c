"""What a careless or hostile caller meets: never a crash, never a miss
reported as a hit, never a value silently wrapped or converted."""

import math
import pickle
import warnings

import aeso
import numpy as np
import pytest
from conftest import BRAKES, RK45, rocket, state

from aeso_flight import (PID, Actuator, Atmosphere, Brakes, Drag, FlightError, Predictive, Reach, Schedule,
                         Vehicle)

AIR = Atmosphere.standard(site_elevation=1401.0)
SMALL = aeso.Rocket(20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0)
BRAKED = Vehicle(SMALL, brakes=Brakes(**BRAKES))
START = aeso.InitialState1DOF(0.0, 250.0)
EULER = aeso.OdeMethod.Euler


@pytest.mark.parametrize("air", [AIR, Atmosphere.standard(), Atmosphere.standard(4000.0, -12.0)])
def test_a_state_that_reaches_infinity_fails_as_not_finite_in_the_standard_air(air):
    # A step of 1e307 s flies a stage to +inf height: past the last piece of
    # the atmosphere's table (it read beyond its end).
    rk3, huge = aeso.OdeMethod.RK3, aeso.FixedTimeStep(1e307)
    with pytest.raises(FlightError) as failed:
        Vehicle(SMALL).predict_apogee_1dof(START, rk3, huge, atmosphere=air)
    assert failed.value.reason == "not_finite"
    # The constant air keeps aeso's answer, bit for bit.
    expected = SMALL.predict_apogee_1dof(START, rk3, huge)
    assert Vehicle(SMALL).predict_apogee_1dof(START, rk3, huge, atmosphere=Atmosphere.constant()) == expected


@pytest.mark.parametrize("target", [1500.0, 2000.0, 2500.0])
def test_an_inverse_with_loose_tolerances_answers_or_fails_with_its_reason(target):
    # Steps of up to 20 s with tolerances that accept anything: stages fly
    # far beyond the layers.
    loose = aeso.AdaptiveTimeStep(0.5, 1e-2, 20.0, 100.0, 1.0)
    tilted = aeso.InitialState3DOF(0.0, 0.0, 0.05, -12.49, 249.69, 0.0)
    try:
        answer = BRAKED.deployment_for_apogee(target, tilted, RK45, loose, atmosphere=AIR)
    except FlightError as failed:
        assert failed.reason in ("not_finite", "left_atmosphere")
    else:
        assert answer.apogee == BRAKED.predict_apogee_3dof(tilted, RK45, loose, atmosphere=AIR,
                                                           deployment=answer.level)


@pytest.mark.parametrize("controller", ["pid", "callable"])
@pytest.mark.parametrize("delay", [0.0, 1e-17, 1e-16, 1e-12, 0.02])
def test_every_tick_is_taken_whatever_the_delay(controller, delay):
    # A delay that rounds onto its tick acts at the tick (no later boundary
    # could land on its arrival); a callable is called at every tick.
    calls = []

    def law(time, sensed, deployment):
        calls.append(time)
        return 0.3

    flight = BRAKED.fly_controlled(START, RK45, atmosphere=AIR, target=2000.0, rate=20.0,
                                   controller=PID(0.002) if controller == "pid" else law,
                                   actuator=Actuator(delay=delay), record=True)
    ticks = flight.ticks.time
    assert ticks.tolist() == [k / 20.0 for k in range(ticks.size)]
    # The apogee lies after the last tick and before the next.
    apogee_time = BRAKED.simulate_flight_1dof(START, RK45, atmosphere=AIR, deployment=0.3)[0][-1]
    assert ticks[-1] <= apogee_time + 0.05 and ticks.size > 300
    if controller == "callable":
        assert len(calls) == ticks.size


@pytest.mark.parametrize("gains", [dict(kp=1e308, ki=-1e308), dict(kp=math.ulp(0.0), kd=1e308)])
def test_a_controller_that_commands_no_number_fails_the_flight(gains):
    with pytest.raises(FlightError) as failed:
        BRAKED.fly_controlled(START, RK45, atmosphere=AIR, target=2000.0, controller=PID(**gains), rate=20.0)
    assert failed.value.reason == "controller_failed"


def test_an_unreachable_huge_target_reports_the_apogee_predicted():
    answer = BRAKED.deployment_for_apogee(1e300, START, RK45, atmosphere=AIR)
    assert answer.status is Reach.TOO_LOW
    assert answer.apogee == BRAKED.predict_apogee_1dof(START, RK45, atmosphere=AIR, deployment=answer.level) > 2000.0


# A 3-DOF flight with Euler and 3 s steps: its apogee jumps down by 26 m at
# one deployment (a step fewer), and climbs back at others.
TILTED = aeso.InitialState3DOF(0.0, 0.0, 0.3, -250.0 * math.sin(0.3), 250.0 * math.cos(0.3), 0.0)
COARSE = aeso.FixedTimeStep(3.0)


def coarse_apogee(level):
    return BRAKED.predict_apogee_3dof(TILTED, EULER, COARSE, atmosphere=AIR, deployment=level)


@pytest.mark.parametrize("target", np.linspace(coarse_apogee(1.0) + 1.0, coarse_apogee(0.0) - 1.0, 40).tolist()
                         + [(coarse_apogee(0.06775) + coarse_apogee(0.068)) / 2])
def test_the_inverse_is_reached_only_when_predicted_again_within_tolerance(target):
    answer = BRAKED.deployment_for_apogee(target, TILTED, EULER, COARSE, atmosphere=AIR)
    assert answer.apogee == coarse_apogee(answer.level)
    assert (abs(answer.apogee - target) <= 0.01) == (answer.status is Reach.REACHED)
    assert answer.status in (Reach.REACHED, Reach.JUMP)


def test_a_jump_across_the_target_is_named():
    target = (coarse_apogee(0.06775) + coarse_apogee(0.068)) / 2
    answer = BRAKED.deployment_for_apogee(target, TILTED, EULER, COARSE, atmosphere=AIR)
    assert answer.status is Reach.JUMP
    below, above = answer.bracket
    assert np.nextafter(below, 1.0) == above


def test_failed_decisions_are_counted_and_warned_about():
    # The predictor believes in air that ends 1000 m above the pad.
    thin = Predictive(atmosphere=Atmosphere.standard(site_elevation=84000.0))
    with pytest.warns(UserWarning, match=r"decisions failed .* left the atmosphere's layers"):
        flight = BRAKED.fly_controlled(START, RK45, atmosphere=AIR, target=2000.0, controller=thin, rate=20.0)
    assert flight.failed_decisions == flight.ticks.time.size - np.count_nonzero(flight.ticks.sensed_velocity <= 0.5)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        sound = BRAKED.fly_controlled(START, RK45, atmosphere=AIR, target=2000.0, controller=Predictive(), rate=20.0)
    assert sound.failed_decisions == 0


@pytest.mark.parametrize("make, error, match", [
    (lambda: BRAKED.fly_controlled(START, RK45, atmosphere=AIR, target=2e3, controller=PID(0.1), rate=20.0,
                                   seed=2**64), OverflowError, "seed must be at most 18446744073709551615"),
    (lambda: BRAKED.fly_controlled(START, RK45, atmosphere=AIR, target=2e3, controller=PID(0.1), rate=20.0,
                                   sample=2**64 + 5), OverflowError, "sample must be at most"),
    (lambda: BRAKED.predict_apogee_1dof(START, RK45, None, 2**64, atmosphere=AIR, deployment=0.1), OverflowError,
     "max_iterations must be at most"),
    (lambda: Predictive(max_iterations=2**64), OverflowError, "max_iterations must be at most"),
    (lambda: BRAKED.fly_controlled(START, RK45, atmosphere=AIR, target=2e3, controller=PID(0.1), rate=20.0,
                                   record="no"), TypeError, "record must be a bool"),
    (lambda: BRAKED.fly_controlled(START, RK45, atmosphere=AIR, target=2e3, controller=PID(0.1), rate=10000.5),
     ValueError, "rate must be at most 10000 Hz"),
])
def test_values_beyond_their_range_are_refused(make, error, match):
    with pytest.raises(error, match=match):
        make()


def test_a_schedule_as_a_list_flies_as_the_tuple():
    schedule = ([0.0, 2.0], [0.0, 1.0])
    assert (BRAKED.predict_apogee_1dof(START, RK45, atmosphere=AIR, deployment=list(schedule))
            == BRAKED.predict_apogee_1dof(START, RK45, atmosphere=AIR, deployment=schedule))


def flight_of(seed):
    return BRAKED.fly_controlled(START, RK45, atmosphere=AIR, target=2000.0, controller=Predictive(), rate=20.0,
                                 seed=seed)


@pytest.mark.parametrize("make", [
    lambda: flight_of(3),
    lambda: flight_of(3).ticks,
    lambda: Schedule([0.0, 1.0], [0.0, 0.5]),
    lambda: Drag(mach=[-0.0, 0.5], cd=[0.3, -0.0]),
    lambda: Brakes([0.0, 1.0], [-0.0], [[0.0], [0.5]]),
])
def test_values_equal_and_hash_alike_and_their_arrays_are_read_only(make):
    a, b = make(), make()
    assert a == b and hash(a) == hash(b)
    assert pickle.loads(pickle.dumps(a)) == a
    arrays = [getattr(a, name) for name in dir(a) if isinstance(getattr(a, name, None), np.ndarray)]
    assert all(not array.flags.writeable for array in arrays)


def test_signed_zeros_make_equal_tables_that_hash_alike():
    assert Drag(mach=[-0.0, 0.5], cd=[0.3, 0.4]) == Drag(mach=[0.0, 0.5], cd=[0.3, 0.4])
    assert hash(Drag(mach=[-0.0, 0.5], cd=[0.3, 0.4])) == hash(Drag(mach=[0.0, 0.5], cd=[0.3, 0.4]))


@pytest.mark.parametrize("air", [
    Atmosphere.constant(1.1),
    Atmosphere.standard(1401.0),
    Atmosphere.standard(1401.0, -7.25),
    Atmosphere.standard(1401.0, pad_pressure=86000.0),
    Atmosphere.standard(1401.0, pad_temperature=290.0, pad_pressure=86000.0),
    Atmosphere.standard(206.0, pad_temperature=268.0, pad_pressure=99000.0),
])
def test_the_repr_of_an_atmosphere_builds_it_again(air):
    assert eval(repr(air), {"Atmosphere": Atmosphere}) == air


def test_a_not_finite_state_says_which_value_is_not():
    huge = aeso.FixedTimeStep(1e307)
    with pytest.raises(FlightError, match=r"vertical velocity nan m/s"):
        Vehicle(SMALL).predict_apogee_1dof(START, aeso.OdeMethod.RK3, huge, atmosphere=AIR)


def test_too_many_steps_for_the_rate_says_so():
    with pytest.raises(FlightError, match="every tick at 10000 Hz is a step boundary"):
        BRAKED.fly_controlled(START, RK45, None, 20000, atmosphere=AIR, target=2000.0, controller=Schedule([0.0], [0.2]),
                              rate=10000.0)
