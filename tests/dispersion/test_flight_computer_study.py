"""Controlled studies with a flight computer on board: each sample is
aeso_flight's flight with raw sensors, the on-board estimator and drag
learning to the bit; the apogee in both frames, the miss in the target's;
the sections refused with their key and reason; results the same on one
and two threads; a changed section named when a results file is resumed."""

import re

import numpy as np
import pytest

import aeso
from aeso_dispersion import StudyError, load_study
from aeso_flight import Actuator, Atmosphere, Estimator, Predictive, Sensors
from aeso_flight.raw_sensors import Accelerometer, Barometer, RawSensors

from test_real_air import BRAKE_TABLE, CONTROLLED, ROCKET, atmosphere_of, sample_values, state_of, vehicle_of, \
    write_study

# CONTROLLED's day, brakes, actuator and target; a flight computer in place
# of the simple sensors, its accelerometer's bias and gain error and the
# estimator's barometer noise drawn.
SIMPLE_SENSORS = "height_sd = 1.0\nvelocity_sd = { distribution = \"uniform\", low = 0.5, high = 2.0 }\n" \
                 "velocity_scale = 1.01\ncorrelation_time = 0.3\n"
COMPUTER = CONTROLLED.replace("std = 60.0", "std = 5.0").replace(SIMPLE_SENSORS, "") + """\
frame = "barometric"
learn_drag = true
drag_prior_sd = 0.2
[control.barometer]
noise_sd = 2.0
rate = 50.0
lag = 0.02
resolution = 1.0
mach_error = { mach = [0.6, 0.95, 1.2], coefficient = [0.0, 0.05, -0.02] }
[control.accelerometer]
noise_sd = 0.05
bias = { distribution = "normal", mean = 0.0, std = 0.05 }
scale_error = { distribution = "normal", mean = 0.0, std = 0.005 }
rate = 100.0
[control.estimator]
barometer_sd = { distribution = "uniform", low = 2.0, high = 3.0 }
accelerometer_sd = 0.05
dynamic_error = 0.001
barometer_lag = 0.02
"""
# CONTROLLED aiming at the altimeter's reading with its simple sensors.
BAROMETRIC = CONTROLLED.replace("std = 60.0", "std = 5.0") + 'frame = "barometric"\n'


def public_flight(v, model, sections, sample, seed):
    """Sample `sample`'s flight through aeso_flight's public calls alone."""
    nominal = {**ROCKET, "site_elevation": 1401.0, "temperature_offset": 0.0}
    believed = atmosphere_of(nominal)
    computer = "[control.barometer]" in sections
    sensors = Sensors(1.0, v["velocity_sd"], 1.01, 0.3) if not computer else RawSensors(
        Barometer(noise_sd=2.0, rate=50.0, lag=0.02, resolution=1.0,
                  mach_error=([0.6, 0.95, 1.2], [0.0, 0.05, -0.02])),
        Accelerometer(noise_sd=0.05, bias=v["accelerometer.bias"], scale_error=v["accelerometer.scale_error"],
                      rate=100.0),
        estimator=Estimator(barometer_sd=v["estimator.barometer_sd"], accelerometer_sd=0.05, dynamic_error=0.001,
                            barometer_lag=0.02))
    controller = Predictive(vehicle=vehicle_of(nominal, BRAKE_TABLE), atmosphere=believed, learn_drag=computer,
                            drag_prior_sd=0.2)
    return vehicle_of(v, BRAKE_TABLE).fly_controlled(
        state_of(v, model), aeso.OdeMethod.RK45, atmosphere=atmosphere_of(v), target=v["target"],
        controller=controller, rate=10.0, actuator=Actuator(1.5, 0.05, 0.02), sensors=sensors, seed=seed,
        sample=sample, frame="barometric")


@pytest.mark.filterwarnings("ignore:the target")  # some drawn targets lie out of reach: flown all the same
@pytest.mark.parametrize("model, sections", [("1dof", COMPUTER), ("3dof", COMPUTER), ("3dof", BAROMETRIC)],
                         ids=["computer-1dof", "computer-3dof", "simple-sensors-barometric"])
def test_a_sample_is_the_public_flight_to_the_bit_in_both_frames(tmp_path, model, sections):
    study = load_study(write_study(tmp_path, sections, model))
    result = study.run(n=4, seed=7, workers=2)
    assert not result.failed.any()
    for i in range(result.n):
        v = sample_values(study, result, i)
        flight = public_flight(v, model, sections, i, 7)
        again = result.refly(i)
        assert flight == again
        # The altimeter's apogee is the flight's apogee read through the
        # sample's own (true) air; the miss is in the target's frame.
        barometric = atmosphere_of(v).pressure_altitude(result.apogees[i])
        assert (result.apogees[i], result.barometric_apogees[i], result.misses[i]) == (
            flight.apogee, barometric, barometric - v["target"])
        assert (result.learned_scales[i] == flight.learned_scale if "[control.barometer]" in sections
                else np.isnan(result.learned_scales[i]) and flight.learned_scale is None)
        assert result.final_deployments[i] == flight.final_deployment


@pytest.mark.parametrize("sections", [COMPUTER, BAROMETRIC], ids=["computer", "simple-sensors-barometric"])
def test_results_are_the_same_on_one_and_two_threads(tmp_path, sections):
    study = load_study(write_study(tmp_path, sections, "1dof"))
    texts = []
    for workers in (1, 2):
        study.run(n=8, seed=3, workers=workers, output=tmp_path / f"runs{workers}.csv")
        texts.append((tmp_path / f"runs{workers}.csv").read_text())
    assert texts[0] == texts[1]


@pytest.mark.parametrize("old, new, key, problem", [
    ('frame = "barometric"', 'frame = "sideways"', "control.frame", 'must be "true" or "barometric"'),
    ("learn_drag = true", "learn_drag = 1", "control.learn_drag", "must be true or false"),
    ("learn_drag = true", "learn_drag = true\nheight_sd = 1.0", "control.height_sd",
     "a flight computer shows the controller its own estimate"),
    ("rate = 50.0", "rate = 20000.0", "control.barometer.rate", "at most 10000 Hz"),
    ("noise_sd = 2.0", "noise_sd = -1.0", "control.barometer.noise_sd", "outside its domain (>= 0)"),
    ("lag = 0.02\n", "lag = 0.02\nspeed = 1.0\n", "control.barometer.speed", "unknown key"),
    ("mach = [0.6, 0.95, 1.2]", "mach = [0.6, 0.5, 1.2]", "control.barometer.mach_error", "increasing"),
    ("mean = 0.0, std = 0.005", "mean = 1.5, std = 0.005", "control.accelerometer.scale_error",
     "its nominal value"),
    ("rate = 100.0", "rate = 0.0", "control.accelerometer.rate", "outside its domain"),
    ("accelerometer_sd = 0.05", "accelerometer_sd = 0.05\ngate = 0.5", "control.estimator.gate",
     ">= 1 standard deviation"),
    ("accelerometer_sd = 0.05", 'accelerometer_sd = 0.05\nprocess_noise = { distribution = "uniform", low = -1.0, '
                                'high = 3.0 }', "control.estimator.process_noise", "reach outside the input's domain"),
    ("barometer_lag = 0.02\n", "barometer_lag = 0.02\n[control.believed_air]\npad_pressure = 10.0\n",
     "control.believed_air", "pad_pressure"),
])
def test_bad_flight_computer_values_are_refused_at_load_naming_the_key(tmp_path, old, new, key, problem):
    with pytest.raises(StudyError) as refused:
        load_study(write_study(tmp_path, COMPUTER.replace(old, new, 1)))
    assert refused.value.key == key and problem in refused.value.problem, refused.value


@pytest.mark.parametrize("sections, key, problem", [
    # Learning needs the accelerometer; a flight computer needs the day's air.
    (CONTROLLED + "learn_drag = true\n", "control.learn_drag", "learns from an accelerometer"),
    (CONTROLLED + "[control.estimator]\ngate = 3.0\n", "control.estimator", "belongs to a flight computer"),
    (COMPUTER.split("[control.accelerometer]")[0], "control.accelerometer", "missing"),
    (COMPUTER.replace("[environment]\nsite_elevation = 1401.0\n"
                      "temperature_offset = { distribution = \"normal\", mean = 0.0, std = 5.0 }\n", ""),
     "control.barometer", "needs the day's air"),
])
def test_a_flight_computer_without_what_it_needs_is_refused(tmp_path, sections, key, problem):
    with pytest.raises(StudyError) as refused:
        load_study(write_study(tmp_path, sections))
    assert refused.value.key == key and problem in refused.value.problem, refused.value


@pytest.mark.parametrize("old, new, named", [
    ("noise_sd = 2.0\nrate = 50.0", "noise_sd = 3.0\nrate = 50.0", "control.barometer.noise_sd"),
    ("learn_drag = true", "learn_drag = false", "flight computer"),
    ('frame = "barometric"', 'frame = "true"', "frame"),
])
def test_resume_names_a_changed_flight_computer_setting(tmp_path, old, new, named):
    path = write_study(tmp_path, COMPUTER)
    load_study(path).run(n=4, seed=5, progress=False, output=tmp_path / "runs.csv")
    path.write_text(path.read_text().replace(old, new))
    with pytest.raises(StudyError, match=f"holds another study's results .*changed: .*{re.escape(named)}"):
        load_study(path).run(n=8, seed=5, progress=False, output=tmp_path / "runs.csv", resume=True)


@pytest.mark.parametrize("sections, more", [
    # A study without the new keys gives the outcomes it gave before.
    (CONTROLLED, ()),
    (BAROMETRIC, ("barometric_apogee",)),
    (COMPUTER.replace("learn_drag = true", "learn_drag = false"), ("barometric_apogee",)),
    (COMPUTER, ("barometric_apogee", "learned_scale")),
], ids=["simple", "barometric", "computer", "learning"])
def test_the_new_outcomes_come_with_the_features_that_give_them(tmp_path, sections, more):
    study = load_study(write_study(tmp_path, sections))
    assert study.outcome_names == ("apogee", "time_of_apogee", "miss", "final_deployment",
                                   "deployment_travel") + more


def test_a_drawn_sensor_value_outside_its_domain_fails_its_sample_with_the_reason(tmp_path):
    study = load_study(write_study(tmp_path, COMPUTER.replace("mean = 0.0, std = 0.005", "mean = 0.0, std = 1.0")))
    result = study.run(n=12, seed=9, workers=2)
    failed = np.flatnonzero(result.failed)
    drawn = result.samples[:, list(result.names).index("control.accelerometer.scale_error")]
    assert failed.tolist() == np.flatnonzero(np.abs(drawn) >= 1.0).tolist() and failed.size > 0
    assert result.reason(failed[0]) == (f"control.accelerometer.scale_error = {float(drawn[failed[0]])!r} outside its "
                                        f"domain (strictly between -1 and 1)")
