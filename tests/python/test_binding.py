"""Argument binding, conversions and the "argument 'NAME': " wrapping."""

import fractions

import pytest

import aeso
from conftest import ROCKET_ARGS

M = aeso.OdeMethod
S1 = aeso.InitialState1DOF(0, 50)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: aeso.Rocket(1, 2),
         "Rocket.__new__() missing 5 required positional arguments: 'area_drag', 'area_lift', "
         "'moment_of_inertia', 'stab_margin_dimensional', and 'cl_a'"),
        (lambda: aeso.Rocket(*range(7), foo=1), "Rocket.__new__() got an unexpected keyword argument 'foo'"),
        (lambda: aeso.Rocket(*range(8)), "Rocket.__new__() takes 7 positional arguments but 8 were given"),
        (lambda: aeso.Rocket(*range(7), mass=1), "Rocket.__new__() got multiple values for argument 'mass'"),
        (lambda: aeso.InitialState1DOF(1.0),
         "InitialState1DOF.__new__() missing 1 required positional argument: 'initial_velocity'"),
        (lambda: aeso.InitialState3DOF(1, 2, 3, 4),
         "InitialState3DOF.__new__() missing 2 required positional arguments: 'vy' and 'angular_rate'"),
        (lambda: aeso.FixedTimeStep(1, 2), "FixedTimeStep.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: aeso.AdaptiveTimeStep.default().next_dt(),
         "AdaptiveTimeStep.next_dt() missing 1 required positional argument: 'error_norm'"),
        (lambda: aeso.AdaptiveTimeStep.default().next_dt(1, error_norm=2),
         "AdaptiveTimeStep.next_dt() got multiple values for argument 'error_norm'"),
        (lambda: aeso.Rocket(**ROCKET_ARGS).predict_apogee_1dof(),
         "Rocket.predict_apogee_1dof() missing 2 required positional arguments: "
         "'initial_state' and 'integration_method'"),
        (lambda: aeso.Rocket(**ROCKET_ARGS).simulate_flight_3dof(1, 2, 3, 4, 5, 6),
         "Rocket.simulate_flight_3dof() takes from 2 to 5 positional arguments but 6 were given"),
        (lambda: aeso.Rocket(**ROCKET_ARGS).predict_apogee_3dof(S1, M.Euler, dt=1),
         "Rocket.predict_apogee_3dof() got an unexpected keyword argument 'dt'"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class WithFloat:
    def __float__(self):
        return 2.5


class WithIndex:
    def __index__(self):
        return 3


@pytest.mark.parametrize(
    "value, expected",
    [(2, 2.0), (True, 1.0), (WithFloat(), 2.5), (WithIndex(), 3.0), (fractions.Fraction(1, 4), 0.25), (-0.0, -0.0)],
)
def test_float_conversion(value, expected):
    assert aeso.FixedTimeStep(value).dt == expected
    state = aeso.InitialState1DOF(0, 0)
    state.initial_velocity = value
    assert state.initial_velocity == expected and type(state.initial_velocity) is float


@pytest.mark.parametrize("value", [float("nan"), float("inf"), -float("inf"), -1.0])
def test_special_floats_are_stored_unchanged(value):
    got = aeso.InitialState3DOF(0, 0, value, 0, 0, 0).angle
    assert got == value or (got != got and value != value)


def test_string_argument_is_wrapped_with_first_failing_name():
    with pytest.raises(TypeError) as info:
        aeso.InitialState3DOF(1, 2, "a", "b", 0, 0)
    assert str(info.value).startswith("argument 'angle': ")
    with pytest.raises(TypeError, match=r"^argument 'relative_error_tolerance': "):
        aeso.AdaptiveTimeStep(1, 2, 3, 4, "x")


def test_wrapping_keeps_the_cause_and_only_wraps_exact_type_errors():
    root = KeyError("root")

    class Failing:
        def __float__(self):
            raise TypeError("inner") from root

    class FailingSubclass:
        def __float__(self):
            raise NotImplementedError("not a TypeError")

    class TypeErrorSubclass(TypeError):
        pass

    class FailingTypeSubclass:
        def __float__(self):
            raise TypeErrorSubclass("subclass")

    with pytest.raises(TypeError) as info:
        aeso.FixedTimeStep(Failing())
    assert str(info.value) == "argument 'dt': inner" and info.value.__cause__ is root
    with pytest.raises(NotImplementedError, match="^not a TypeError$"):
        aeso.FixedTimeStep(FailingSubclass())
    with pytest.raises(TypeErrorSubclass, match="^subclass$"):
        aeso.FixedTimeStep(FailingTypeSubclass())


def test_setter_failure_is_wrapped_and_leaves_value():
    state = aeso.InitialState3DOF(0, 0, 0, 7, 0, 0)
    with pytest.raises(TypeError, match=r"^argument 'vx': "):
        state.vx = "fast"
    assert state.vx == 7.0


def test_class_conversion_message(rocket):
    with pytest.raises(TypeError) as info:
        rocket.rocket_properties = {}
    assert str(info.value) == "argument 'rocket_properties': 'dict' object cannot be cast as 'RocketProperties'"


@pytest.mark.parametrize(
    "make, attribute",
    [
        (lambda r: aeso.FixedTimeStep(1), "dt"),
        (lambda r: aeso.AdaptiveTimeStep.default(), "dt_min"),
        (lambda r: aeso.InitialState3DOF(0, 0, 0, 0, 0, 0), "x"),
        (lambda r: r, "rocket_properties"),
        (lambda r: r.rocket_properties, "cd"),
    ],
)
def test_delete_and_unknown_attributes(rocket, make, attribute):
    obj = make(rocket)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(obj, attribute)
    with pytest.raises(AttributeError):
        obj.foo = 1
