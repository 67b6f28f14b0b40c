"""Study files: the example loads and matches the same study built in
Python; every invalid file is reported with its file, key and problem."""

import pathlib
import re

import numpy as np
import pytest

from aeso_dispersion import Study, StudyError, load_study, normal, uniform

EXAMPLE = pathlib.Path(__file__).parents[2] / "examples" / "dispersion_study.toml"

VALID = """
[study]
model = "3dof"
n = 20
seed = 4
block_size = 6

[rocket]
mass = { distribution = "normal", mean = 20.0, std = 0.4 }
cd = { distribution = "uniform", low = 0.42, high = 0.48 }
area_drag = 0.0081
area_lift = 0.0081
moment_of_inertia = 8.5
stab_margin_dimensional = 0.25
cl_a = 2

[initial_state]
angle = { distribution = "triangular", low = 0.0, mode = 0.05, high = 0.1 }
speed = 250.0

[solver]
method = "RK45"
dt_max = 0.5
"""


def write(tmp_path, text):
    path = tmp_path / "study.toml"
    path.write_text(text)
    return path


def test_example_file_loads():
    study = load_study(EXAMPLE)
    assert study.model == "3dof" and study.method == "RK45" and study.n > 0
    assert "initial_state.speed" in study.dispersed


def test_file_and_python_give_the_same_study(tmp_path):
    from aeso_dispersion import triangular

    from_file = load_study(write(tmp_path, VALID))
    in_python = Study(
        rocket=dict(mass=normal(20.0, 0.4), cd=uniform(0.42, 0.48), area_drag=0.0081,
                    area_lift=0.0081, moment_of_inertia=8.5, stab_margin_dimensional=0.25, cl_a=2.0),
        initial_state=dict(angle=triangular(0.0, 0.05, 0.1), speed=250.0),
        solver=dict(method="RK45", dt_max=0.5), n=20, seed=4, block_size=6)
    a, b = from_file.run(progress=False), in_python.run(progress=False)
    assert a.n == 20 and a.seed == 4
    np.testing.assert_array_equal(a.samples, b.samples)
    np.testing.assert_array_equal(a.apogees, b.apogees)


def replace(old, new):
    assert old in VALID, old
    return VALID.replace(old, new)


@pytest.mark.parametrize("text, key, problem", [
    (VALID + "\n[wind]\nspeed = 3.0\n", "wind", "unknown section"),
    (replace("[solver]\nmethod = \"RK45\"", "[solver]\nmethod = \"RK45\"\ndtmax = 1.0"),
     "solver.dtmax", "unknown key"),
    (replace("cl_a = 2\n", ""), "rocket.cl_a", "missing"),
    (replace("speed = 250.0", "vx = 1.0"), "initial_state.vy", "missing"),
    (replace("speed = 250.0", "speed = 250.0\nvx = 1.0"), "initial_state.vx", "either speed or vx"),
    (replace("[solver]\nmethod = \"RK45\"\ndt_max = 0.5\n", ""), "solver", "missing section"),
    (replace("area_drag = 0.0081", "area_drag = \"small\""), "rocket.area_drag", "not a string"),
    (replace("area_drag = 0.0081", "area_drag = true"), "rocket.area_drag", "not a boolean"),
    (replace("std = 0.4", "std = -0.4"), "rocket.mass", "std must be >= 0"),
    (replace("low = 0.42, high = 0.48", "low = 0.48, high = 0.42"), "rocket.cd", "must not exceed high"),
    (replace("low = 0.0, mode = 0.05", "low = 0.0, mode = 0.5"), "initial_state.angle", "low <= mode <= high"),
    (replace("std = 0.4", "sigma = 0.4"), "rocket.mass.sigma", "unknown key for a normal"),
    (replace("mean = 20.0, std", "std"), "rocket.mass.mean", "missing"),
    (replace("distribution = \"normal\"", "distribution = \"gauss\""), "rocket.mass.distribution",
     "must be one of normal, lognormal, uniform, triangular"),
    (replace("{ distribution = \"normal\", ", "{ "), "rocket.mass.distribution", "missing"),
    (replace("mean = 20.0", "mean = \"20\""), "rocket.mass.mean", "must be a number"),
    (replace("mean = 20.0", "mean = inf"), "rocket.mass", "must be finite"),
    (replace("\nn = 20\n", "\nn = 0\n"), "study.n", "must be > 0"),
    (replace("\nn = 20\n", "\nn = -5\n"), "study.n", "must be > 0"),
    (replace("\nn = 20\n", "\nn = 2.5\n"), "study.n", "must be an integer"),
    (replace("seed = 4", "seed = -1"), "study.seed", "non-negative integer"),
    (replace("model = \"3dof\"", "model = \"6dof\""), "study.model", "must be one of 1dof, 3dof"),
    (replace("model = \"3dof\"", "model = \"3dof\"\nruns = 5"), "study.runs", "unknown key"),
    (replace("model = \"3dof\"", "model = \"1dof\""), "initial_state.angle", "unknown key"),
    (replace("method = \"RK45\"", "method = \"RK4\""), "solver.method", "must be one of Euler, RK3, RK45"),
    (replace("method = \"RK45\"", "method = 45"), "solver.method", "must be a string"),
    (replace("method = \"RK45\"", "method = \"RK3\""), "solver.dt_max", "unknown key"),
    (replace("method = \"RK45\"", "method = \"RK45\"\nmax_iterations = 1.5"), "solver.max_iterations",
     "must be an integer"),
    (replace("method = \"RK45\"", "method = \"RK45\"\nmax_iterations = -1"), "solver.max_iterations",
     "must be from 0"),
    ("solver = 3\n" + replace("[solver]\nmethod = \"RK45\"\ndt_max = 0.5\n", ""), "solver",
     "must be a table"),
])
def test_errors_name_file_key_and_problem(tmp_path, text, key, problem):
    path = write(tmp_path, text)
    with pytest.raises(StudyError) as info:
        load_study(path)
    message = str(info.value)
    assert info.value.key == key, message
    assert message.startswith(f"{path}: {key}: "), message
    assert problem in info.value.problem, message


@pytest.mark.parametrize("text, problem", [
    ("[rocket\nmass = 1", "invalid TOML"),
    (None, "cannot read"),
])
def test_unreadable_files_are_named(tmp_path, text, problem):
    path = write(tmp_path, text) if text is not None else tmp_path / "absent.toml"
    with pytest.raises(StudyError, match=problem) as info:
        load_study(path)
    assert str(info.value).startswith(f"{path}: ")


@pytest.mark.parametrize("kwargs, key, problem", [
    (dict(n=0), "n", "must be > 0"),
    (dict(n=10, workers=0), "workers", "positive integer"),
    (dict(n=10, backend="mpi"), "backend", "must be 'threads', 'dask' or a backend object"),
])
def test_run_arguments_are_checked(kwargs, key, problem):
    study = load_study(EXAMPLE)
    with pytest.raises(StudyError, match=problem) as info:
        study.run(progress=False, **kwargs)
    assert info.value.key == key


def test_python_study_names_the_key():
    with pytest.raises(StudyError, match="rocket.mass: must be a number or a distribution, not str"):
        Study(rocket=dict(mass="20"), initial_state={}, solver=dict(method="RK45"))


@pytest.mark.parametrize("change, error", [
    (dict(n=0), "study.n: must be > 0"),
    (dict(seed=-1), "study.seed: must be a non-negative integer"),
    (dict(until="p99"), "until: a stopping rule reads STAT=TOL"),
    (dict(block_size=10), "replace() takes n, seed, reporting and until, not block_size"),
])
def test_a_study_is_immutable_and_replace_checks_what_it_changes(change, error):
    from aeso_dispersion.summary import Reporting

    study = load_study(EXAMPLE)
    with pytest.raises(AttributeError, match="a Study is immutable once built"):
        study.n = 5
    with pytest.raises(TypeError):
        study.rocket["mass"] = 1.0
    other = study.replace(n=7, reporting=Reporting.make(0.9))
    assert (other.n, other.reporting.level, other.plan, other.source) == (7, 0.9, study.plan, study.source)
    assert (study.n, study.reporting.level) == (10000, 0.95)
    with pytest.raises((StudyError, TypeError), match=re.escape(error)):
        study.replace(**change)
