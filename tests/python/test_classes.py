"""OdeMethod, the time-step option classes, Rocket/RocketProperties and the initial states."""

import math

import pytest

import aeso
from conftest import ROCKET_ARGS

M = aeso.OdeMethod


@pytest.mark.parametrize("member, value", [(M.Euler, 0), (M.RK3, 1), (M.RK45, 2)])
def test_ode_method_members(member, value):
    name = ["Euler", "RK3", "RK45"][value]
    assert repr(member) == str(member) == f"OdeMethod.{name}"
    assert int(member) == value and type(int(member)) is int
    assert member is getattr(M, name) and type(member) is M
    assert member == value and not (member != value)
    assert member != value + 1


def test_ode_method_comparisons():
    assert M.RK3 == True  # noqa: E712 - bools compare as integers
    assert not (M.RK3 == 1.0)  # floats do not convert
    assert M.Euler != M.RK3 and M.RK45 == M.RK45
    assert M.Euler != "Euler"
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        with pytest.raises(TypeError):
            getattr(__import__("operator"), op)(M.Euler, M.RK3)
    with pytest.raises(TypeError):
        hash(M.Euler)
    with pytest.raises(TypeError):
        M()


def test_fixed_time_step():
    assert aeso.FixedTimeStep(dt=0.5).dt == 0.5
    step = aeso.FixedTimeStep(-1.0)
    step.dt = 3
    assert step.dt == 3.0
    assert step == step and step != aeso.FixedTimeStep(3)  # identity equality


def test_adaptive_default():
    a, b = aeso.AdaptiveTimeStep.default(), aeso.AdaptiveTimeStep.default()
    assert a is not b and type(a) is aeso.AdaptiveTimeStep
    values = (a.dt, a.dt_min, a.dt_max, a.absolute_error_tolerance, a.relative_error_tolerance)
    assert values == (0.01, 1e-06, 0.1, 0.01, 0.01)
    assert type(a).default().dt == 0.01 and a.default().dt_max == 0.1


@pytest.mark.parametrize(
    "error_norm, expected",
    [
        (0.0, 0.02),
        (1e-30, 0.02),
        (-5.0, 0.02),
        (1.1e-30, 0.02),
        (1e300, 0.005),
        (float("inf"), 0.005),
        (0.0101, 0.01 * 0.5 ** 0.25),
    ],
)
def test_next_dt(error_norm, expected):
    a = aeso.AdaptiveTimeStep.default()
    assert a.next_dt(error_norm) == pytest.approx(expected, rel=1e-15)
    assert a.next_dt(error_norm=error_norm) == a.next_dt(error_norm)
    assert a.dt == 0.01


def test_next_dt_clamps_and_nan():
    assert aeso.AdaptiveTimeStep(0.1, 1e-6, 0.1, 0.01, 0.01).next_dt(1e-9) == 0.1
    assert aeso.AdaptiveTimeStep(1e-6, 1e-6, 0.1, 0.01, 0.01).next_dt(1e300) == 1e-6
    assert math.isnan(aeso.AdaptiveTimeStep.default().next_dt(float("nan")))
    with pytest.raises(TypeError, match=r"^argument 'error_norm': "):
        aeso.AdaptiveTimeStep.default().next_dt("big")


def test_next_dt_holds_a_shared_borrow_while_converting():
    a = aeso.AdaptiveTimeStep.default()

    class Sneaky:
        def __float__(self):
            a.dt = 1.0
            return 0.0

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        a.next_dt(Sneaky())
    assert a.dt == 0.01
    a.dt = 0.02  # the borrow was released
    assert a.next_dt(0.0) == 0.04


@pytest.mark.parametrize("values", [(1.0, 0.5, 0.01, 0.02, 0.1, 0.05, 2.0), (1, 0, 0, 0, 0, 0, 0)])
def test_rocket_construction(values):
    names = list(ROCKET_ARGS)
    by_keyword = aeso.Rocket(**dict(reversed(list(zip(names, values)))))
    for rocket in (aeso.Rocket(*values), by_keyword):
        props = rocket.rocket_properties
        assert [getattr(props, n) for n in names] == [float(v) for v in values]


def test_rocket_properties_copy_semantics(rocket):
    p = rocket.rocket_properties
    assert p is not rocket.rocket_properties and type(p).__name__ == "RocketProperties"
    p.mass = 2.0
    assert rocket.rocket_properties.mass == 1.0
    rocket.rocket_properties = p
    assert rocket.rocket_properties.mass == 2.0
    p.mass = 3.0  # the rocket keeps its own copy
    assert rocket.rocket_properties.mass == 2.0
    rocket.rocket_properties = rocket.rocket_properties
    assert rocket.rocket_properties.cl_a == 2.0
    with pytest.raises(TypeError, match=r"^argument 'rocket_properties': 'int' object cannot be cast as"):
        rocket.rocket_properties = 5
    with pytest.raises(TypeError):
        type(p)()
    assert type(p).mass.__doc__ == "Mass of the rocket (kg)"


def test_initial_states():
    s = aeso.InitialState1DOF(0, 50)
    assert (s.initial_height, s.initial_velocity) == (0.0, 50.0) and type(s.initial_height) is float
    t = aeso.InitialState3DOF(x=0, y=0, angle=0.1, vx=0, vy=100, angular_rate=0)
    assert (t.x, t.y, t.angle, t.vx, t.vy, t.angular_rate) == (0, 0, 0.1, 0, 100, 0)
    t.vx = True
    assert t.vx == 1.0
