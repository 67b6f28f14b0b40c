"""What a study gives per run besides the apogee, how backends are chosen,
and that failing runs stay silent."""

import math
import subprocess
import sys

import numpy as np
import pytest

import aeso
from aeso_dispersion import Dask, Study, StudyError, Threads, normal, uniform

from conftest import rocket_section, small_study


def test_outcomes_of_3dof_runs_are_those_of_their_flight_logs():
    study = small_study(block_size=5)
    result = study.run(n=12, seed=4, backend=Threads(workers=2), progress=False)
    assert not result.failed.any()
    for i in range(result.n):
        values = dict(zip(result.names, result.samples[i].tolist()))
        rocket = aeso.Rocket(**{**study.rocket, **{k.split(".")[1]: v for k, v in values.items()
                                                   if k.startswith("rocket.")}})
        angle, speed = values["initial_state.angle"], values["initial_state.speed"]
        state = aeso.InitialState3DOF(0.0, 0.0, angle, -speed * math.sin(angle), speed * math.cos(angle),
                                      values["initial_state.angular_rate"])
        times, states = rocket.simulate_flight_3dof(state, aeso.OdeMethod.RK45)
        assert result.steps[i] == len(times)
        # The apogee lies within the step after the last logged state.
        assert times[-1] < result.apogee_times[i] <= times[-1] + 0.2
        dt = result.apogee_times[i] - times[-1]
        assert result.downrange[i] == pytest.approx(states[-1, 0] + states[-1, 3] * dt, abs=1e-3 + 10 * dt * dt)
        assert result.apogee_speeds[i] == pytest.approx(abs(states[-1, 3]), abs=1e-3 + 10 * dt)


def test_1dof_runs_have_no_downrange_and_failed_runs_no_outcomes():
    study = Study(model="1dof", rocket=rocket_section(cd=normal(0.45, 0.02)),
                  initial_state=dict(initial_height=0.0, initial_velocity=uniform(20.0, 400.0)),
                  solver=dict(method="Euler", dt=0.05, max_iterations=200), block_size=8)
    result = study.run(n=40, seed=2, progress=False)
    failed = result.failed
    assert 0 < failed.sum() < result.n
    assert np.isnan(result.downrange).all() and np.isnan(result.apogee_speeds).all()
    for outcome in (result.apogees, result.apogee_times):
        assert np.isnan(outcome[failed]).all() and np.isfinite(outcome[~failed]).all()
    assert (result.steps[failed] == 200).all() and (result.steps[~failed] < 200).all()
    assert "downrange" not in result.format_summary() and "time (s)" in result.format_summary()


def test_summary_has_a_column_per_outcome():
    result = small_study().run(n=20, seed=1, progress=False)
    lines = result.format_summary().splitlines()
    assert lines[1].split() == ["apogee", "(m)", "time", "(s)", "downrange", "(m)", "speed", "(m/s)"]
    mean = [float(v) for v in lines[2].split()[1:]]
    assert mean == pytest.approx([np.mean(result.apogees), np.mean(result.apogee_times),
                                  np.mean(result.downrange), np.mean(result.apogee_speeds)], abs=1e-3)


@pytest.mark.parametrize("run, error, match", [
    (dict(backend=Threads(workers=2), workers=2), TypeError, "belong to the backend object"),
    (dict(backend="threads", processes=False), TypeError, "unexpected options"),
    (dict(backend=object()), AttributeError, "run"),
])
def test_backend_arguments_are_checked(run, error, match):
    with pytest.raises(error, match=match):
        small_study().run(n=5, seed=1, progress=False, **run)


@pytest.mark.parametrize("make, key", [
    (lambda: Threads(workers=0), "workers"),
    (lambda: Threads(workers=True), "workers"),
    (lambda: Dask(local_workers=-1), "local_workers"),
    (lambda: Dask(blocks_per_task=0), "blocks_per_task"),
])
def test_backend_options_are_checked(make, key):
    with pytest.raises(StudyError, match=key):
        make()


def test_dask_takes_a_client_or_an_address():
    with pytest.raises(TypeError, match="not both"):
        Dask(client=object(), address="tcp://127.0.0.1:1")


def test_a_seed_left_out_is_drawn_and_kept():
    first = small_study().run(n=5, progress=False)
    again = small_study().run(n=5, seed=first.seed, progress=False)
    np.testing.assert_array_equal(first.apogees, again.apogees)


SILENT_FAILURES = """
from aeso_dispersion import Study, normal
rocket = dict(mass=normal(20.0, 0.4), cd=0.45, area_drag=0.0081, area_lift=0.0081,
              moment_of_inertia=8.5, stab_margin_dimensional=0.25, cl_a=2.0)
studies = [
    Study(rocket=rocket, initial_state=dict(angle=0.05, speed=250.0),
          solver=dict(method="RK45", max_iterations=20)),
    Study(rocket=rocket, initial_state=dict(angle=0.05, speed=250.0),
          solver=dict(method="RK45", dt_min=normal(0.3, 0.01), dt_max=0.1)),
    Study(rocket={**rocket, "mass": normal(-20.0, 0.4)}, initial_state=dict(angle=0.05, speed=250.0),
          solver=dict(method="RK3")),
]
for study in studies:
    print(study.run(n=30, seed=1, workers=2, progress=False).failure_counts())
"""


def test_failing_runs_write_nothing_to_standard_error():
    proc = subprocess.run([sys.executable, "-c", SILENT_FAILURES], capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    assert proc.stdout.splitlines() == [
        "{'no apogee within max_iterations (20)': 30}",
        "{'solver.dt_min > solver.dt_max': 30}",
        "{'rocket.mass outside its domain (> 0)': 30}",
    ]
