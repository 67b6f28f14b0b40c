"""Studies in the real air: each sample is aeso_flight's flight of the same
inputs to the bit (controlled ones with the same seed and sample number),
on every backend and worker count; P(|miss| <= TOL), --until and compare on
the miss; bad sections refused with their file, key and reason, drawn
values outside the air's domains failing their sample."""

import json
import math
import re

import numpy as np
import pytest

import aeso
from aeso_dispersion import StudyError, cli, compare, load_study
from aeso_dispersion.summary import Reporting
from aeso_flight import PID, Actuator, Atmosphere, Brakes, Drag, Predictive, Sensors, Vehicle

from test_cli import run

MACH = [0.15, 0.45, 0.77, 0.82, 0.88, 0.94, 0.99, 1.04]
CD = [0.422, 0.38, 0.32, 0.30, 0.30, 0.32, 0.37, 0.44]
BRAKES = "deployment \\\\ mach,0.1,0.9\n0,0,0\n0.5,0.30,0.38\n1,0.72,0.95\n"
ROCKET = dict(mass=16.911, cd=0.35, area_drag=0.015328, area_lift=0.015328, moment_of_inertia=6.4,
              stab_margin_dimensional=0.28, cl_a=10.0)

BASE = """\
[study]
model = "{model}"
block_size = 4
[rocket]
mass = {{ distribution = "normal", mean = 16.911, std = 0.2 }}
cd = 0.35
area_drag = 0.015328
area_lift = 0.015328
moment_of_inertia = 6.4
stab_margin_dimensional = 0.28
cl_a = 10.0
[initial_state]
{state}
[solver]
method = "{method}"
"""
STATE_1DOF = 'initial_height = 988.26\ninitial_velocity = { distribution = "normal", mean = 305.3, std = 3.0 }'
STATE_3DOF = 'y = 988.26\nangle = -0.08\nspeed = { distribution = "normal", mean = 306.3, std = 3.0 }'
DRAG = f'[drag]\nmach = {MACH}\ncd = {CD}\n'
CONTROLLED = DRAG + """\
[environment]
site_elevation = 1401.0
temperature_offset = { distribution = "normal", mean = 0.0, std = 60.0 }
[brakes]
file = "brakes.csv"
[control]
target = { distribution = "uniform", low = 3000.0, high = 3100.0 }
rate = 10.0
rate_limit = 1.5
lag = 0.05
delay = 0.02
height_sd = 1.0
velocity_sd = { distribution = "uniform", low = 0.5, high = 2.0 }
velocity_scale = 1.01
correlation_time = 0.3
"""


TARGET = 'target = { distribution = "uniform", low = 3000.0, high = 3100.0 }'
SCHEDULED = '[brakes]\nfile = "brakes.csv"\n[control]\ncontroller = "schedule"\ntarget = 3000.0\nrate = 10.0\n' \
            'times = {times}\nlevels = {levels}\n'


def write_study(tmp_path, sections, model="1dof", method="RK45"):
    (tmp_path / "brakes.csv").write_text(BRAKES)
    path = tmp_path / "study.toml"
    state = STATE_1DOF if model == "1dof" else STATE_3DOF
    path.write_text(BASE.format(model=model, state=state, method=method) + sections)
    return path


def sample_values(study, result, i):
    """{key: value} of every input of sample i (fixed and drawn)."""
    values = {name.split(".", 1)[1]: value for name, value in study.fixed.items()}
    values.update({name.split(".", 1)[1]: float(v) for name, v in zip(result.names, result.samples[i])})
    return values


def atmosphere_of(v):
    if "pad_temperature" in v:
        return Atmosphere.standard(v["site_elevation"], pad_temperature=v["pad_temperature"],
                                   pad_pressure=v.get("pad_pressure"))
    if "site_elevation" in v:
        return Atmosphere.standard(v["site_elevation"], v["temperature_offset"])
    return Atmosphere.constant()


def vehicle_of(v, brakes, drag=True):
    rocket = aeso.Rocket(**{key: v[key] for key in ROCKET})
    return Vehicle(rocket, drag=Drag(MACH, CD) if drag else None, brakes=brakes, drag_scale=v.get("scale", 1.0))


def state_of(v, model):
    if model == "1dof":
        return aeso.InitialState1DOF(v["initial_height"], v["initial_velocity"])
    speed, angle = v["speed"], v["angle"]
    return aeso.InitialState3DOF(0.0, v["y"], angle, -speed * math.sin(angle), speed * math.cos(angle), 0.0)


BRAKE_TABLE = Brakes([0.0, 0.5, 1.0], [0.1, 0.9], [[0, 0], [0.30, 0.38], [0.72, 0.95]])


@pytest.mark.parametrize("sections, model, method", [
    # The day's air drawn: every row builds its own atmosphere.
    (DRAG + '[environment]\nsite_elevation = 1401.0\n'
     'temperature_offset = { distribution = "normal", mean = 5.0, std = 8.0 }\n', "3dof", "RK45"),
    (DRAG + '[environment]\nsite_elevation = { distribution = "uniform", low = 0.0, high = 2000.0 }\n'
     'pad_temperature = { distribution = "normal", mean = 290.0, std = 5.0 }\n'
     'pad_pressure = { distribution = "normal", mean = 90000.0, std = 1000.0 }\n', "1dof", "RK3"),
    # A fixed day's air is the study's one atmosphere; brakes held open.
    (DRAG + '[environment]\nsite_elevation = 1401.0\npad_temperature = 300.0\n'
     '[brakes]\nfile = "brakes.csv"\ndeployment = 0.4\n', "3dof", "RK45"),
    ('[brakes]\nfile = "brakes.csv"\ndeployment = 0.7\n', "1dof", "Euler"),
])
def test_sample_is_vehicle_prediction_to_the_bit(tmp_path, sections, model, method):
    study = load_study(write_study(tmp_path, sections, model, method))
    result = study.run(n=10, seed=4, workers=2)
    assert not result.failed.any()
    brakes = BRAKE_TABLE if "brakes" in sections else None
    for i in range(result.n):
        v = sample_values(study, result, i)
        vehicle = vehicle_of(v, brakes, "[drag]" in sections)
        predict = vehicle.predict_apogee_1dof if model == "1dof" else vehicle.predict_apogee_3dof
        expected = predict(state_of(v, model), getattr(aeso.OdeMethod, method),
                           atmosphere=atmosphere_of(v), deployment=v.get("deployment"))
        assert result.apogees[i] == expected


def test_drag_scale_scales_the_whole_drag_to_the_bit(tmp_path):
    study = load_study(write_study(tmp_path, DRAG + 'scale = { distribution = "normal", mean = 1.0, std = 0.1 }\n'
                                   '[brakes]\nfile = "brakes.csv"\ndeployment = 0.5\n'))
    result = study.run(n=8, seed=2, workers=1)
    for i in range(result.n):
        v = sample_values(study, result, i)
        vehicle = vehicle_of(v, BRAKE_TABLE)
        apogee = vehicle.predict_apogee_1dof(state_of(v, "1dof"), aeso.OdeMethod.RK45,
                                             atmosphere=Atmosphere.constant(), deployment=0.5)
        assert result.apogees[i] == apogee


@pytest.mark.filterwarnings("ignore:the target")  # some drawn targets lie out of reach: flown all the same
@pytest.mark.parametrize("model", ["1dof", "3dof"])
def test_controlled_sample_is_fly_controlled_to_the_bit(tmp_path, model):
    study = load_study(write_study(tmp_path, CONTROLLED, model))
    result = study.run(n=12, seed=9, workers=2)
    # Offsets drawn beyond ±100 K fail with the reason; the flights after
    # them keep their own sample's noise.
    failed = np.flatnonzero(result.failed)
    assert 0 < failed.size < result.n
    assert "environment.temperature_offset = " in result.reason(failed[0])
    assert "outside its domain (within ±100 K)" in result.reason(failed[0])
    nominal = {**ROCKET, "site_elevation": 1401.0, "temperature_offset": 0.0}
    predictor = Predictive(vehicle=vehicle_of(nominal, BRAKE_TABLE), atmosphere=atmosphere_of(nominal))
    for i in np.flatnonzero(~result.failed):
        v = sample_values(study, result, i)
        flight = vehicle_of(v, BRAKE_TABLE).fly_controlled(
            state_of(v, model), aeso.OdeMethod.RK45, atmosphere=atmosphere_of(v), target=v["target"],
            controller=predictor, rate=10.0, actuator=Actuator(1.5, 0.05, 0.02),
            sensors=Sensors(1.0, v["velocity_sd"], 1.01, 0.3), seed=9, sample=int(i), record=False)
        again = result.refly(i)
        assert result.apogees[i] == flight.apogee == again.apogee
        assert result.misses[i] == flight.miss == again.miss
        assert result.final_deployments[i] == flight.final_deployment
        assert result.deployment_travels[i] == flight.deployment_travel
        assert again.ticks.time.size > 10


def test_controlled_file_is_the_same_on_every_backend(tmp_path):
    pytest.importorskip("distributed")
    study = write_study(tmp_path, CONTROLLED, "3dof")
    texts = []
    for backend in (["--workers", 1], ["--workers", 2], ["--dask-local", 2]):
        path = tmp_path / f"runs{len(texts)}.csv"
        proc = run(study, "-n", 14, "--seed", 5, "--csv", path, "--max-failed", 1, *backend)
        assert proc.returncode == 0, proc.stderr
        texts.append(path.read_text())
    assert texts[0] == texts[1] == texts[2]
    assert "# controller: predictive" in texts[0] and "miss,final_deployment,deployment_travel" in texts[0]


# A cheap controlled study: a recorded actuation, no predictions.
SCHEDULE = """\
[brakes]
file = "brakes.csv"
[control]
controller = "schedule"
times = [0.0, 2.0, 4.0]
levels = [0.0, {level}, 1.0]
target = 2810.0
rate = 5.0
velocity_sd = 2.0
"""


def test_within_and_until_on_the_miss(tmp_path, capsys):
    path = write_study(tmp_path, SCHEDULE.format(level=0.6))
    summary = tmp_path / "summary.json"
    status = cli.main([str(path), "-n", "3000", "--seed", "1", "--workers", "2", "--no-progress",
                       "--within", "miss:15", "--until", "P(|miss|<=15)=0.05", "--json", str(summary)])
    out = capsys.readouterr().out
    assert status == 0
    document = json.loads(summary.read_text())
    assert document["stopping"]["met"] and document["n"] == 1000  # the first round meets it
    estimate = document["outcomes"]["miss"]["within"][0]["probability"]["estimate"]
    result = load_study(path).run(n=1000, seed=1)
    assert estimate == np.mean(np.abs(result.misses) <= 15) and 0.05 < estimate < 0.95
    assert f"P(|miss| <= 15) = {estimate:.4f}" in out
    assert "the intervals cover the Monte Carlo error only, not the model's" in out


def test_compare_gives_the_paired_difference_within_tolerance(tmp_path):
    a, b = tmp_path / "a", tmp_path / "b"
    a.mkdir(), b.mkdir()
    study_a = load_study(write_study(a, SCHEDULE.format(level=0.6)))
    study_b = load_study(write_study(b, SCHEDULE.format(level=0.5)))
    reporting = Reporting.make(within=["miss:15"])
    comparison = compare(study_a, study_b, n=400, seed=3, reporting=reporting, workers=2)
    within = comparison.statistics()["miss"]["within"][15.0]
    in_a, in_b = (np.abs(r.misses) <= 15 for r in (comparison.a, comparison.b))
    assert within["difference"].estimate == pytest.approx(in_b.mean() - in_a.mean(), abs=1e-15)
    assert within["difference"].low < within["difference"].estimate < within["difference"].high
    same = compare(study_a, study_a, n=400, seed=3, reporting=reporting, workers=2)
    difference = same.statistics()["miss"]["within"][15.0]["difference"]
    assert difference.estimate == 0 and -0.02 < difference.low < 0 < difference.high < 0.02
    assert "P(|miss| <= 15): A " in comparison.format()


@pytest.mark.parametrize("sections, brakes", [
    (CONTROLLED.replace("site_elevation = 1401.0", "site_elevation = 1402.0"), BRAKES),
    (CONTROLLED.replace("0.422", "0.423"), BRAKES),
    (CONTROLLED.replace("rate = 10.0", "rate = 10.5"), BRAKES),
    (CONTROLLED + '[control.predictor]\nmodel = "1dof"\ndt = 0.02\n', BRAKES),
    (CONTROLLED, BRAKES.replace("0.72", "0.73")),
])
def test_fingerprint_covers_every_section_and_table(tmp_path, sections, brakes):
    base = load_study(write_study(tmp_path, CONTROLLED)).fingerprint
    path = write_study(tmp_path, sections)
    (tmp_path / "brakes.csv").write_text(brakes)
    assert load_study(path).fingerprint != base


@pytest.mark.parametrize("sections, key, reason", [
    ('[drag]\nfile = "nowhere.csv"\n', "drag.file", "cannot read"),
    ('[drag]\nfile = "drag.csv"\n', "drag.file", "drag.csv line 3: 'x' is not a number"),
    ('[brakes]\nlevels = [0.0, 0.8]\nmach = [0.5]\ncd = [[0.0], [0.5]]\ndeployment = 0.5\n', "brakes.levels",
     "the deployment levels must run from 0 (closed) to 1 (fully open)"),
    ('[brakes]\nfile = "brakes.csv"\n[control]\ncontroller = "bang-bang"\ntarget = 3000.0\nrate = 10.0\n',
     "control.controller", "must be one of predictive, pid, schedule"),
    ('[environment]\nsite_elevation = 1401.0\ntemperature_offset = 150.0\n', "environment.temperature_offset",
     "150.0 is outside its domain (within ±100 K)"),
    ('[environment]\nsite_elevation = 1401.0\npad_temperature = 25.0\n', "environment.pad_temperature",
     "a pad temperature is in kelvin"),
    ('[environment]\ntemperature_offset = 5.0\npad_pressure = 90000.0\n', "environment.temperature_offset",
     "not both"),
    ('[brakes]\nfile = "brakes.csv"\n', "brakes.deployment", "missing"),
    # A TOML boolean is no number of a table.
    ('[drag]\nmach = [0.1, 0.5, true]\ncd = [0.3, 0.3, 0.3]\n', "drag.mach", "not the boolean true at index 2"),
    ('[brakes]\nlevels = [0.0, true]\nmach = [0.5]\ncd = [[0.0], [0.5]]\ndeployment = 0.5\n', "brakes.levels",
     "not the boolean true at index 1"),
    ('[brakes]\nlevels = [0.0, 1.0]\nmach = [0.5]\ncd = [[0.0], [false]]\ndeployment = 0.5\n', "brakes.cd",
     "not the boolean false at index (1, 0)"),
    (SCHEDULED.format(times="[0.0, true]", levels="[0.0, 0.5]"), "control.times", "not the boolean true at index 1"),
    # A target at or below the pad; a controller's input whose every other draw fails.
    (CONTROLLED.replace(TARGET, "target = -500.0"), "control.target", "-500.0 is outside its domain (> 0 m"),
    (CONTROLLED.replace(TARGET, "target = 0.0"), "control.target", "0.0 is outside its domain (> 0 m"),
    (CONTROLLED.replace("lag = 0.05", 'lag = { distribution = "normal", mean = -0.05, std = 0.01 }'),
     "control.lag", "its nominal value -0.05 is outside its domain (>= 0): most of its draws would fail"),
    # Messages: with the file, the key once, plain numbers, the points a table needs.
    ('[statistics]\nuntil = "P(|mis|<=10)=0.01"\n', "statistics.until", "no outcome 'mis' in a 1dof study"),
    ('[drag]\nmach = "x"\ncd = [0.3, 0.4]\n', "drag.mach", "must be an array of numbers, not str"),
    (SCHEDULED.format(times='"a"', levels="[0.0, 0.5]"), "control.times", "must be an array of numbers, not str"),
    (SCHEDULED.format(times="[0.0, 1.0]", levels="[0.0, 1.5]"), "control.levels", "levels must be from 0 to 1: 1.5"),
    ('[drag]\nmach = []\ncd = []\n', "drag.mach", "an empty table: a drag table needs at least two points"),
])
def test_bad_sections_are_refused_with_file_key_and_reason(tmp_path, capsys, sections, key, reason):
    (tmp_path / "drag.csv").write_text("mach,cd\n0.1,0.4\n0.5,x\n")
    path = write_study(tmp_path, sections)
    assert cli.main([str(path), "-n", "4", "--no-progress"]) == 2
    rest = capsys.readouterr().err.partition(f"{path}: {key}: ")[2]
    assert rest and not re.match(r"[a-z_]+\.[a-z_.]+: ", rest), rest  # the key once
    with pytest.raises(ValueError, match=re.escape(reason)):
        load_study(path)


@pytest.mark.parametrize("target, warning, sign", [
    ("10000.0", "warning: the target 10000 m lies out of the nominal flight's reach: even with the brakes closed "
                "its apogee is ", -1),
    ("1500.0", "warning: the target 1500 m lies out of the nominal flight's reach: even with the brakes fully "
               "open from the start its apogee is ", 1),
    (TARGET.split(" = ", 1)[1], None, 0),
])
def test_summary_warns_of_a_target_out_of_the_nominal_flights_reach(tmp_path, target, warning, sign):
    study = load_study(write_study(tmp_path, CONTROLLED.replace(TARGET, f"target = {target}")))
    result = study.run(n=8, seed=1, progress=False)
    warnings = [line for line in result.format_summary().splitlines() if "out of the nominal" in line]
    assert len(warnings) == (warning is not None) and all(line.startswith(warning) for line in warnings)
    if sign:  # the warning is right: every miss has its sign
        assert (np.sign(result.outcomes()["miss"]) == sign).all()


# A controlled study whose drag scale is dispersed, its predictor with step
# options and an iteration limit of its own.
SCALED = DRAG + """\
scale = {{ distribution = "normal", mean = 1.0, std = 0.05 }}
[environment]
site_elevation = 1401.0
temperature_offset = {{ distribution = "normal", mean = 0.0, std = 5.0 }}
[brakes]
file = "brakes.csv"
[control]
controller = "{controller}"
target = { distribution = "uniform", low = 3000.0, high = 3100.0 }
rate = 10.0
rate_limit = 1.5
delay = 0.02
height_sd = 1.0
velocity_sd = 0.5
{gains}
[control.predictor]
dt = 0.05
dt_min = 0.001
dt_max = 0.5
max_iterations = 5000
"""


@pytest.mark.filterwarnings("ignore:the target")
@pytest.mark.parametrize("controller", ["predictive", "pid"])
def test_a_dispersed_controlled_sample_is_the_public_flight_to_the_bit(tmp_path, controller):
    gains = "kp = 0.004\nki = 0.001\nkd = 0.0001" if controller == "pid" else ""
    study = load_study(write_study(tmp_path, SCALED.replace("{controller}", controller).replace("{gains}", gains)
                                   .replace("{{", "{").replace("}}", "}"), "3dof"))
    result = study.run(n=6, seed=21, workers=1)
    assert not result.failed.any()
    # The flight computer's belief: the nominal vehicle (no drag scale) and
    # air, and the predictor's own step options (the tolerances RK45's).
    nominal = {**ROCKET, "site_elevation": 1401.0, "temperature_offset": 0.0}
    default = aeso.AdaptiveTimeStep.default()
    step = aeso.AdaptiveTimeStep(0.05, 0.001, 0.5, default.absolute_error_tolerance,
                                 default.relative_error_tolerance)
    believed = dict(vehicle=vehicle_of(nominal, BRAKE_TABLE), atmosphere=atmosphere_of(nominal),
                    timestep_config=step, max_iterations=5000)
    scales = set()
    for i in range(result.n):
        v = sample_values(study, result, i)
        scales.add(v["scale"])
        brain = Predictive(**believed) if controller == "predictive" else PID(0.004, 0.001, 0.0001, **believed)
        flight = vehicle_of(v, BRAKE_TABLE).fly_controlled(
            state_of(v, "3dof"), aeso.OdeMethod.RK45, atmosphere=atmosphere_of(v), target=v["target"],
            controller=brain, rate=10.0, actuator=Actuator(1.5, 0.0, 0.02), sensors=Sensors(1.0, 0.5), seed=21,
            sample=i)
        again = result.refly(i)
        assert (result.apogees[i], result.misses[i], result.final_deployments[i], result.deployment_travels[i]) == (
            flight.apogee, flight.miss, flight.final_deployment, flight.deployment_travel)
        assert flight == again
    assert len(scales) == result.n


def test_a_rate_above_the_limit_is_refused_at_load(tmp_path):
    path = write_study(tmp_path, SCHEDULE.format(level=0.5).replace("rate = 5.0", "rate = 20000.0"))
    with pytest.raises(StudyError) as refused:
        load_study(path)
    assert refused.value.key == "control.rate" and "at most 10000 Hz" in refused.value.problem
