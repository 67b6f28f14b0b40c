"""Physical domains: impossible fixed values are refused when the study is
read, impossible drawn values fail their sample with a reason, bounded
distributions stay inside the domain and are drawn with their true shape."""

import math

import numpy as np
import pytest

from aeso_dispersion import Study, StudyError, load_study, lognormal, normal, uniform
from aeso_dispersion.distributions import LOGNORMAL, NORMAL
from aeso_dispersion.streams import draw_inputs

from conftest import expected_apogee, rocket_section
from test_config import VALID, replace, write


ANGLE = "angle = { distribution = \"triangular\", low = 0.0, mode = 0.05, high = 0.1 }"


@pytest.mark.parametrize("old, new, key, problem", [
    ("mass = { distribution = \"normal\", mean = 20.0, std = 0.4 }", "mass = -20.0",
     "rocket.mass", "-20.0 is outside its domain (> 0)"),
    ("mass = { distribution = \"normal\", mean = 20.0, std = 0.4 }", "mass = 0.0",
     "rocket.mass", "0.0 is outside its domain (> 0)"),
    ("area_drag = 0.0081", "area_drag = nan", "rocket.area_drag", "nan is outside its domain (> 0)"),
    ("moment_of_inertia = 8.5", "moment_of_inertia = -8.5", "rocket.moment_of_inertia", "(> 0)"),
    ("cd = { distribution = \"uniform\", low = 0.42, high = 0.48 }", "cd = -0.1", "rocket.cd",
     "-0.1 is outside its domain (>= 0); list it in [study] allow_negative"),
    ("cl_a = 2", "cl_a = -inf", "rocket.cl_a", "-inf is outside its domain (>= 0)"),
    ("speed = 250.0", "speed = -250.0", "initial_state.speed", "outside its domain (>= 0)"),
    # Every start is a flight with an apogee ahead: the nose above the
    # horizon (the angle as given, not reduced modulo 2 pi), rising.
    (ANGLE, "angle = 3.0", "initial_state.angle",
     "3.0 is outside its domain (|angle| < pi/2: the nose above the horizon)"),
    (ANGLE, "angle = 6.283185307179586", "initial_state.angle", "6.283185307179586 is outside"),
    (ANGLE, "angle = { distribution = \"uniform\", low = -2.0, high = 2.0 }", "initial_state.angle",
     "its bounds [-2, 2] reach outside the input's domain (|angle| < pi/2"),
    (ANGLE + "\nspeed = 250.0", "angle = 1.5\nspeed = 5.0", "initial_state.speed",
     "the vertical velocity 5.0 * cos(1.5) = 0.353686 m/s is not > 0.5 m/s, above the vertical "
     "velocity at which a run ends: the flight has no apogee ahead"),
    ("speed = 250.0", "vx = 1.0\nvy = 0.5", "initial_state.vy", "0.5 is outside its domain (> 0.5 m/s"),
    ("stab_margin_dimensional = 0.25", "stab_margin_dimensional = nan",
     "rocket.stab_margin_dimensional", "nan is outside its domain (finite)"),
    ("method = \"RK45\"\ndt_max = 0.5", "method = \"Euler\"\ndt = -0.01", "solver.dt",
     "-0.01 is outside its domain (> 0)"),
    ("method = \"RK45\"\ndt_max = 0.5", "method = \"Euler\"\ndt = 0.0", "solver.dt", "(> 0)"),
    ("dt_max = 0.5", "dt_min = 1.0\ndt_max = 0.1", "solver.dt_min",
     "1.0 exceeds dt_max (0.1): every run would fail"),
    ("dt_max = 0.5", "relative_error_tolerance = -1e-6", "solver.relative_error_tolerance", "(>= 0)"),
    # Bounded distributions must keep their draws inside the domain.
    ("mass = { distribution = \"normal\", mean = 20.0, std = 0.4 }",
     "mass = { distribution = \"uniform\", low = 0.0, high = 1.0 }", "rocket.mass",
     "its bounds [0, 1] reach outside the input's domain (> 0)"),
    ("mass = { distribution = \"normal\", mean = 20.0, std = 0.4 }",
     "mass = { distribution = \"normal\", mean = 2.0, std = 2.0, low = -1.0 }", "rocket.mass",
     "its bounds [-1, inf] reach outside"),
    ("cd = { distribution = \"uniform\", low = 0.42, high = 0.48 }",
     "cd = { distribution = \"triangular\", low = -0.1, mode = 0.4, high = 0.5 }", "rocket.cd",
     "allow_negative"),
    ("mass = { distribution = \"normal\", mean = 20.0, std = 0.4 }",
     "mass = { distribution = \"normal\", mean = 20.0, std = 0.4, low = 30.0 }", "rocket.mass",
     "keep only"),
    ("model = \"3dof\"", "model = \"3dof\"\nallow_negative = [\"mass\"]", "study.allow_negative",
     "only cd, cl_a may take negative values"),
])
def test_impossible_values_are_refused_when_read(tmp_path, old, new, key, problem):
    path = write(tmp_path, replace(old, new))
    with pytest.raises(StudyError) as info:
        load_study(path)
    assert info.value.key == key and str(info.value).startswith(f"{path}: {key}: ")
    assert problem in info.value.problem, info.value.problem


def test_allow_negative_widens_cd_and_cl_a(tmp_path):
    text = replace("cl_a = 2", "cl_a = -0.5").replace(
        "model = \"3dof\"", "model = \"3dof\"\nallow_negative = [\"cd\", \"cl_a\"]")
    text = text.replace("low = 0.42, high = 0.48", "low = -0.1, high = 0.1")
    result = load_study(write(tmp_path, text)).run(n=12, progress=False)
    assert (result.sample("cd") < 0).any() and not result.failed.any()


def negative_mass_study(**rocket):
    return Study(rocket=rocket_section(mass=normal(2.0, 2.0), **rocket),
                 initial_state=dict(angle=0.05, speed=250.0), solver=dict(method="RK45"),
                 block_size=50)


RISING = "> 0.5 m/s, above the vertical velocity at which a run ends"


@pytest.mark.parametrize("model, section, input, outside, reason", [
    ("3dof", "rocket", dict(mass=normal(2.0, 2.0)), lambda v: v <= 0, "{} outside its domain (> 0)"),
    # Degrees typed as radians: the nose below the horizon for most draws.
    ("3dof", "initial_state", dict(angle=normal(3.0, 1.0)), lambda v: abs(v) >= math.pi / 2,
     "{} outside its domain (|angle| < pi/2: the nose above the horizon)"),
    ("3dof", "initial_state", dict(speed=uniform(0.0, 2.0)), lambda v: v * math.cos(0.05) <= 0.5,
     "vertical velocity {} * cos(initial_state.angle) not " + RISING),
    ("3dof", "initial_state", dict(vx=0.0, vy=normal(1.0, 1.0)), lambda v: v <= 0.5,
     "{} outside its domain (" + RISING + ")"),
    ("1dof", "initial_state", dict(initial_velocity=normal(1.0, 1.0)), lambda v: v <= 0.5,
     "{} outside its domain (" + RISING + ")"),
])
def test_drawn_values_outside_the_domain_fail_with_the_input_and_value(model, section, input, outside,
                                                                       reason):
    (key, distribution), = ((k, v) for k, v in input.items() if not isinstance(v, float))
    if model == "1dof":
        state = dict(initial_height=0.0)
    else:
        state = dict(angle=0.05) if "vy" in input else dict(angle=0.05, speed=250.0)
    study = Study(model=model, rocket=rocket_section(**input) if section == "rocket" else rocket_section(),
                  initial_state={**state, **input} if section == "initial_state" else state,
                  solver=dict(method="RK45"), block_size=50)
    result = study.run(n=200, seed=3, workers=2, progress=False)
    name = f"{section}.{key}"
    values = result.sample(name)
    failed = np.array([bool(outside(v)) for v in values.tolist()])
    assert 0 < failed.sum() < 200  # some of each
    np.testing.assert_array_equal(result.failed, failed)
    assert np.isnan(result.apogees[failed]).all()
    assert result.failure_counts() == {reason.format(name): int(failed.sum())}
    for i in np.flatnonzero(failed).tolist():
        assert result.reason(i) == reason.format(f"{name} = {float(values[i])!r}")
    for i in np.flatnonzero(~failed)[:10].tolist():
        assert result.apogees[i] == expected_apogee(study, {name: float(values[i])})


def test_drawn_step_bounds_out_of_order_fail_their_samples():
    study = Study(rocket=rocket_section(), initial_state=dict(angle=0.05, speed=250.0),
                  solver=dict(method="RK45", dt_min=uniform(0.05, 0.15), dt_max=0.1), block_size=10)
    result = study.run(n=40, seed=2, progress=False)
    dt_min = result.sample("dt_min")
    np.testing.assert_array_equal(result.failed, dt_min > 0.1)
    i = int(np.flatnonzero(dt_min > 0.1)[0])
    assert result.reason(i) == f"solver.dt_min = {float(dt_min[i])!r} > solver.dt_max"


def test_truncated_normal_never_fails_and_keeps_its_shape():
    stats = pytest.importorskip("scipy.stats")
    result = negative_mass_study(cd=normal(0.45, 0.2, low=0.0)).run(n=100, seed=3, progress=False)
    assert not result.failed.any() or set(result.failure_counts()) == {"rocket.mass outside its domain (> 0)"}
    assert (result.sample("cd") >= 0).all()
    # The draws follow the truncated distribution (fixed seed: deterministic).
    values = draw_inputs(["rocket.cd"], np.array([NORMAL]), np.array([[0.45, 0.2, 0.0, 0.6]]), 1, 0, 20000)[0]
    assert values.min() >= 0.0 and values.max() <= 0.6
    truth = stats.truncnorm((0.0 - 0.45) / 0.2, (0.6 - 0.45) / 0.2, loc=0.45, scale=0.2)
    assert stats.kstest(values, truth.cdf).pvalue > 1e-3


@pytest.mark.parametrize("low, high", [(-math.inf, math.inf), (7.0, 10.0)])
def test_lognormal_draws_follow_scipy(low, high):
    stats = pytest.importorskip("scipy.stats")
    dist = lognormal(math.log(8.5), 0.1, low=low, high=high)
    values = draw_inputs(["rocket.moment_of_inertia"], np.array([LOGNORMAL]), np.array([dist.params]),
                         4, 0, 20000)[0]
    truth = stats.lognorm(0.1, scale=8.5)
    cdf = truth.cdf
    if math.isfinite(high):
        lo, hi = truth.cdf(low), truth.cdf(high)
        cdf = lambda x: (truth.cdf(x) - lo) / (hi - lo)  # noqa: E731
        assert values.min() >= low and values.max() <= high
    assert (values > 0).all() and stats.kstest(values, cdf).pvalue > 1e-3
    assert dist.bounded == math.isfinite(high)
