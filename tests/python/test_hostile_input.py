"""Every constructor, setter and method fed arguments of random types and
values: huge ints, NaN, infinities, -0.0, strings, None, objects whose
__float__ or __index__ raise or return the wrong type, float and int
subclasses, NumPy scalars and arrays, and objects that call back into the
module while being converted.

The expected outcome of each conversion comes from the interpreter's own
C-API function (PyFloat_AsDouble, PyNumber_Index) called through ctypes, so a
stored value must be bit-identical to it, an argument error must be the
TypeError "argument 'NAME': <the interpreter's message>", and any other
exception must pass through unchanged. After every failure the objects
involved must still accept a shared and an exclusive borrow.
"""

import ctypes
import math
import operator
import struct
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import aeso

HYPOTHESIS = settings(
    max_examples=120,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)

_PyFloat_AsDouble = ctypes.pythonapi.PyFloat_AsDouble
_PyFloat_AsDouble.argtypes = [ctypes.py_object]
_PyFloat_AsDouble.restype = ctypes.c_double

_PyLong_AsLongLong = ctypes.pythonapi.PyLong_AsLongLong
_PyLong_AsLongLong.argtypes = [ctypes.py_object]
_PyLong_AsLongLong.restype = ctypes.c_longlong


# ------------------------------------------------------------------ hostile objects


class Refused(Exception):
    """Raised by the hostile conversions below; never wrapped by the module."""


class FloatRaises:
    def __float__(self):
        raise Refused("__float__ refused")


class FloatRaisesTypeError:
    def __float__(self):
        raise TypeError("__float__ says no")


class FloatReturns:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatReturns({self.value!r})"


class IndexReturns:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexReturns({self.value!r})"


class IndexRaises:
    def __index__(self):
        raise Refused("__index__ refused")


class FloatSubclass(float):
    # A float subclass is read directly; its __float__ must never be consulted.
    def __float__(self):
        raise AssertionError("__float__ of a float subclass was called")


class IntSubclass(int):
    def __float__(self):
        return 42.5


class IntSubclassPlain(int):
    pass


class NoConversion:
    pass


def numpy_scalars():
    return st.one_of(
        st.floats(width=64).map(np.float64),
        st.floats(width=32).map(np.float32),
        st.floats(width=16).map(np.float16),
        st.integers(-(2**63), 2**63 - 1).map(np.int64),
        st.integers(0, 2**64 - 1).map(np.uint64),
        st.integers(-128, 127).map(np.int8),
        st.booleans().map(np.bool_),
        st.floats(allow_nan=False, allow_infinity=False).map(lambda x: np.array(x)),
        st.just(np.array([1.0, 2.0])),
        st.just(np.array([], dtype=np.float64)),
    )


def float_returns_values():
    return st.one_of(
        st.floats(),
        st.integers(-5, 5),
        st.text(max_size=3),
        st.none(),
        st.floats().map(FloatSubclassPlain),
    )


class FloatSubclassPlain(float):
    pass


def hostile_values():
    """Values of every kind a float parameter or attribute may be handed."""
    return st.one_of(
        st.floats(),
        st.sampled_from([0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, 1.7976931348623157e308]),
        st.integers(min_value=-(2**1100), max_value=2**1100),
        st.booleans(),
        st.none(),
        st.text(max_size=4),
        st.binary(max_size=3),
        st.complex_numbers(max_magnitude=10),
        st.builds(FloatReturns, float_returns_values()),
        st.builds(IndexReturns, st.one_of(st.integers(-(2**1100), 2**1100), st.floats(), st.text(max_size=2))),
        st.sampled_from([FloatRaises(), FloatRaisesTypeError(), IndexRaises(), NoConversion(), [], {}, ()]),
        st.floats().map(FloatSubclass),
        st.integers(-(2**70), 2**70).map(IntSubclass),
        st.integers(-(2**1100), 2**1100).map(IntSubclassPlain),
        numpy_scalars(),
    )


# ------------------------------------------------------------------ oracles


def convert_float(value):
    """What the interpreter's float conversion makes of `value`: (value, None)
    or (None, exception)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return _PyFloat_AsDouble(value), None
        except BaseException as exc:  # noqa: BLE001 - the oracle reports everything
            return None, exc


def convert_index(value):
    """The unsigned 64-bit count that `value` gives for max_iterations."""
    try:
        number = value if isinstance(value, int) else operator.index(value)
    except BaseException as exc:  # noqa: BLE001
        return None, exc
    if number < 0:
        return None, OverflowError("can't convert negative int to unsigned")
    if number >= 2**64:
        return None, OverflowError("int too big to convert")
    return int(number), None


def bits(x):
    return struct.pack("<d", x)


def expect_argument_error(excinfo, name, reference):
    """The module's exception for a failed conversion of argument `name`,
    given the exception the interpreter's conversion raised."""
    exc = excinfo.value
    if type(reference) is TypeError:
        assert type(exc) is TypeError
        assert str(exc) == f"argument '{name}': {reference}"
    else:
        assert type(exc) is type(reference)
        if not isinstance(reference, OverflowError):
            assert str(exc) == str(reference)


def call_with_reference(fn, reference_exc):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if reference_exc is None:
            return fn(), None
        with pytest.raises(BaseException) as excinfo:
            fn()
        return None, excinfo


# ------------------------------------------------------------------ the classes under test

ROCKET_FIELDS = (
    "mass",
    "cd",
    "area_drag",
    "area_lift",
    "moment_of_inertia",
    "stab_margin_dimensional",
    "cl_a",
)
ROCKET_VALUES = (1.0, 0.5, 0.01, 0.02, 0.1, 0.05, 2.0)
ADAPTIVE_FIELDS = ("dt", "dt_min", "dt_max", "absolute_error_tolerance", "relative_error_tolerance")
ADAPTIVE_VALUES = (0.01, 1e-6, 0.1, 0.01, 0.01)


def rocket_fields(rocket):
    props = rocket.rocket_properties
    return tuple(getattr(props, name) for name in ROCKET_FIELDS)


# (class, parameter names, valid values, reader of the stored values)
CONSTRUCTORS = {
    "Rocket": (aeso.Rocket, ROCKET_FIELDS, ROCKET_VALUES, rocket_fields),
    "FixedTimeStep": (aeso.FixedTimeStep, ("dt",), (0.01,), lambda o: (o.dt,)),
    "AdaptiveTimeStep": (
        aeso.AdaptiveTimeStep,
        ADAPTIVE_FIELDS,
        ADAPTIVE_VALUES,
        lambda o: tuple(getattr(o, n) for n in ADAPTIVE_FIELDS),
    ),
    "InitialState1DOF": (
        aeso.InitialState1DOF,
        ("initial_height", "initial_velocity"),
        (0.0, 30.0),
        lambda o: (o.initial_height, o.initial_velocity),
    ),
    "InitialState3DOF": (
        aeso.InitialState3DOF,
        ("x", "y", "angle", "vx", "vy", "angular_rate"),
        (0.0, 0.0, 0.1, 1.0, 30.0, 0.0),
        lambda o: tuple(getattr(o, n) for n in ("x", "y", "angle", "vx", "vy", "angular_rate")),
    ),
}


def make_rocket_properties():
    return aeso.Rocket(*ROCKET_VALUES).rocket_properties


# (factory, attribute names) of every object with float attributes
SETTER_TARGETS = {
    "FixedTimeStep": (lambda: aeso.FixedTimeStep(0.01), ("dt",)),
    "AdaptiveTimeStep": (aeso.AdaptiveTimeStep.default, ADAPTIVE_FIELDS),
    "InitialState1DOF": (lambda: aeso.InitialState1DOF(0.0, 30.0), ("initial_height", "initial_velocity")),
    "InitialState3DOF": (
        lambda: aeso.InitialState3DOF(0.0, 0.0, 0.1, 1.0, 30.0, 0.0),
        ("x", "y", "angle", "vx", "vy", "angular_rate"),
    ),
    "RocketProperties": (make_rocket_properties, ROCKET_FIELDS),
}


def assert_usable(obj):
    """The object takes a shared and then an exclusive borrow: a borrow left
    behind by a failed call would make one of the two raise RuntimeError."""
    if isinstance(obj, aeso.Rocket):
        props = obj.rocket_properties
        obj.rocket_properties = props
        assert [bits(v) for v in rocket_fields(obj)] == [bits(getattr(props, n)) for n in ROCKET_FIELDS]
        return
    for name in dir(type(obj)):
        descriptor = getattr(type(obj), name)
        if type(descriptor).__name__ == "getset_descriptor":
            value = getattr(obj, name)
            setattr(obj, name, value)
            assert bits(getattr(obj, name)) == bits(value)
            return
    raise AssertionError(f"{type(obj).__name__} has no attribute to borrow through")


# ------------------------------------------------------------------ constructors


@pytest.mark.parametrize("class_name", sorted(CONSTRUCTORS))
@given(data=st.data())
@HYPOTHESIS
def test_constructor_with_hostile_arguments(class_name, data):
    cls, names, valid, read = CONSTRUCTORS[class_name]
    args = list(valid)
    # Replace one or more arguments with hostile values.
    positions = data.draw(st.sets(st.sampled_from(range(len(names))), min_size=1), label="positions")
    for i in positions:
        args[i] = data.draw(hostile_values(), label=names[i])
    by_keyword = data.draw(st.booleans(), label="by_keyword")

    # The first failing parameter, in parameter order, decides the outcome.
    expected, failure = [], None
    for name, value in zip(names, args):
        converted, exc = convert_float(value)
        if exc is not None:
            failure = (name, exc)
            break
        expected.append(converted)

    def construct():
        if by_keyword:
            return cls(**dict(zip(names, args)))
        return cls(*args)

    obj, excinfo = call_with_reference(construct, failure and failure[1])
    if failure is None:
        assert [bits(v) for v in read(obj)] == [bits(v) for v in expected]
        assert_usable(obj)
    else:
        expect_argument_error(excinfo, *failure)


# ------------------------------------------------------------------ setters


@pytest.mark.parametrize("target_name", sorted(SETTER_TARGETS))
@given(data=st.data())
@HYPOTHESIS
def test_setter_with_hostile_values(target_name, data):
    factory, names = SETTER_TARGETS[target_name]
    obj = factory()
    name = data.draw(st.sampled_from(names), label="attribute")
    value = data.draw(hostile_values(), label="value")
    before = [bits(getattr(obj, n)) for n in names]

    converted, exc = convert_float(value)
    _, excinfo = call_with_reference(lambda: setattr(obj, name, value), exc)
    after = [bits(getattr(obj, n)) for n in names]
    if exc is None:
        i = names.index(name)
        assert after[i] == bits(converted)
        assert after[:i] + after[i + 1 :] == before[:i] + before[i + 1 :]
    else:
        expect_argument_error(excinfo, name, exc)
        assert after == before, "a failed assignment changed the object"
    assert_usable(obj)


@pytest.mark.parametrize("target_name", sorted(SETTER_TARGETS))
def test_deleting_any_attribute_is_refused_and_harmless(target_name):
    factory, names = SETTER_TARGETS[target_name]
    obj = factory()
    before = [bits(getattr(obj, n)) for n in names]
    for name in names:
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(obj, name)
    assert [bits(getattr(obj, n)) for n in names] == before
    assert_usable(obj)


OTHER_OBJECTS = st.one_of(
    hostile_values(),
    st.sampled_from(
        [
            aeso.OdeMethod.RK45,
            aeso.FixedTimeStep(0.1),
            aeso.AdaptiveTimeStep.default(),
            aeso.InitialState1DOF(0, 1),
            aeso.Rocket(*ROCKET_VALUES),
            aeso.Rocket,
        ]
    ),
)


@given(value=OTHER_OBJECTS)
@HYPOTHESIS
def test_rocket_properties_assignment_of_anything_else(value):
    rocket = aeso.Rocket(*ROCKET_VALUES)
    before = rocket_fields(rocket)
    with pytest.raises(TypeError) as excinfo:
        rocket.rocket_properties = value
    assert str(excinfo.value) == (
        f"argument 'rocket_properties': '{type(value).__name__}' object cannot be cast as 'RocketProperties'"
    )
    assert [bits(v) for v in rocket_fields(rocket)] == [bits(v) for v in before]
    assert_usable(rocket)


@given(values=st.lists(st.floats(), min_size=7, max_size=7))
@HYPOTHESIS
def test_rocket_properties_round_trip_keeps_every_bit(values):
    props = make_rocket_properties()
    for name, v in zip(ROCKET_FIELDS, values):
        setattr(props, name, v)
    rocket = aeso.Rocket(*ROCKET_VALUES)
    rocket.rocket_properties = props
    assert [bits(v) for v in rocket_fields(rocket)] == [bits(v) for v in values]
    assert_usable(rocket)
    assert_usable(props)


# ------------------------------------------------------------------ next_dt and OdeMethod


@given(error_norm=hostile_values())
@HYPOTHESIS
def test_next_dt_with_hostile_error_norm(error_norm):
    options = aeso.AdaptiveTimeStep.default()
    converted, exc = convert_float(error_norm)
    result, excinfo = call_with_reference(lambda: options.next_dt(error_norm), exc)
    if exc is None:
        assert bits(result) == bits(options.next_dt(converted))
        assert bits(result) == bits(options.next_dt(error_norm=converted))
    else:
        expect_argument_error(excinfo, "error_norm", exc)
    assert [getattr(options, n) for n in ADAPTIVE_FIELDS] == list(ADAPTIVE_VALUES)
    assert_usable(options)


def long_long_or_none(value):
    try:
        return _PyLong_AsLongLong(value)
    except BaseException:  # noqa: BLE001 - any failure means "not comparable"
        return None


@pytest.mark.parametrize("member", [aeso.OdeMethod.Euler, aeso.OdeMethod.RK3, aeso.OdeMethod.RK45])
@given(
    other=st.one_of(
        st.integers(min_value=-(2**70), max_value=2**70),
        st.booleans(),
        st.floats(),
        st.none(),
        st.text(max_size=2),
        st.builds(IndexReturns, st.one_of(st.integers(-(2**70), 2**70), st.floats(), st.text(max_size=2))),
        st.sampled_from([IndexRaises(), FloatRaises(), NoConversion()]),
        st.integers(-(2**70), 2**70).map(IntSubclassPlain),
    )
)
@HYPOTHESIS
def test_ode_method_equality_with_anything(member, other):
    as_int = long_long_or_none(other)
    equal = as_int is not None and as_int == int(member)
    assert (member == other) is equal
    assert (member != other) is (not equal)
    with pytest.raises(TypeError):
        member < other  # noqa: B015 - ordering is not defined
    assert repr(member) == f"OdeMethod.{['Euler', 'RK3', 'RK45'][int(member)]}"


# ------------------------------------------------------------------ simulation methods

METHODS_1DOF = ("predict_apogee_1dof", "simulate_flight_1dof")
METHODS_3DOF = ("predict_apogee_3dof", "simulate_flight_3dof")
ALL_METHODS = METHODS_1DOF + METHODS_3DOF


def initial_state_for(method):
    if method in METHODS_1DOF:
        return aeso.InitialState1DOF(0.0, 30.0)
    return aeso.InitialState3DOF(0.0, 0.0, 0.1, 1.0, 30.0, 0.0)


def outcome(fn):
    """The result of a call, or its exception's type and message, in a form
    that compares equal for equal outcomes (arrays compared bit for bit)."""
    try:
        result = fn()
    except BaseException as exc:  # noqa: BLE001 - outcomes are compared, not handled
        return ("raised", type(exc), str(exc))
    if isinstance(result, tuple):
        return ("arrays", tuple((a.shape, a.tobytes()) for a in result))
    return ("value", bits(result))


def cast_message(value, expected):
    return f"'{type(value).__name__}' object cannot be cast as '{expected}'"


PARAMETERS = ("initial_state", "integration_method", "timestep_config", "max_iterations", "print_output")


@pytest.mark.parametrize("method", ALL_METHODS)
@given(data=st.data())
@HYPOTHESIS
def test_simulation_method_with_one_hostile_argument(method, data):
    rocket = aeso.Rocket(*ROCKET_VALUES)
    initial = initial_state_for(method)
    options = aeso.FixedTimeStep(0.05)
    valid = dict(initial_state=initial, integration_method=aeso.OdeMethod.RK3, timestep_config=options)
    parameter = data.draw(st.sampled_from(PARAMETERS), label="parameter")
    value = data.draw(OTHER_OBJECTS, label="value")
    kwargs = dict(valid, **{parameter: value})
    call = getattr(rocket, method)

    if parameter == "max_iterations":
        count, exc = convert_index(value)
        if exc is None:
            # Same outcome as the plain count.
            assert outcome(lambda: call(**kwargs)) == outcome(lambda: call(**dict(valid, max_iterations=count)))
        else:
            with pytest.raises(BaseException) as excinfo:
                call(**kwargs)
            if type(exc) is TypeError:
                assert type(excinfo.value) is TypeError
                assert str(excinfo.value) == f"argument 'max_iterations': {exc}"
            else:
                assert type(excinfo.value) is type(exc)
    elif parameter == "print_output":
        is_bool = isinstance(value, bool) or type(value).__name__ in ("bool_", "bool") and type(value).__module__ == "numpy"
        if is_bool and not bool(value):
            assert outcome(lambda: call(**kwargs)) == outcome(lambda: call(**valid))
        elif not is_bool:
            with pytest.raises(TypeError) as excinfo:
                call(**kwargs)
            assert str(excinfo.value) == f"argument 'print_output': {cast_message(value, 'bool')}"
        # (a true flag prints; printing runs are covered by the output tests)
    elif parameter == "timestep_config":
        if value is None:
            assert outcome(lambda: call(**kwargs)) == outcome(
                lambda: call(initial, aeso.OdeMethod.RK3, max_iterations=100000)
            )
        elif isinstance(value, aeso.FixedTimeStep):
            assert outcome(lambda: call(**kwargs)) == outcome(
                lambda: call(**dict(valid, timestep_config=aeso.FixedTimeStep(value.dt)))
            )
        elif isinstance(value, aeso.AdaptiveTimeStep):
            with pytest.raises(TypeError, match="^RK3 requires FixedTimeStep$"):
                call(**kwargs)
        else:
            with pytest.raises(TypeError) as excinfo:
                call(**kwargs)
            name = type(value).__name__
            assert str(excinfo.value) == (
                "argument 'timestep_config': failed to extract enum TimeStepOptions ('Fixed | Adaptive')\n"
                "- variant Fixed (Fixed): TypeError: failed to extract field TimeStepOptions::Fixed.0, "
                f"caused by TypeError: '{name}' object cannot be cast as 'FixedTimeStep'\n"
                "- variant Adaptive (Adaptive): TypeError: failed to extract field TimeStepOptions::Adaptive.0, "
                f"caused by TypeError: '{name}' object cannot be cast as 'AdaptiveTimeStep'"
            )
    elif parameter == "integration_method":
        if isinstance(value, aeso.OdeMethod):
            with pytest.raises(TypeError, match="^RK45 requires AdaptiveTimeStep$"):
                call(**kwargs)
        else:
            with pytest.raises(TypeError) as excinfo:
                call(**kwargs)
            assert str(excinfo.value) == f"argument 'integration_method': {cast_message(value, 'OdeMethod')}"
    else:  # initial_state
        wanted = type(initial).__name__
        if type(value) is type(initial):
            fresh = getattr(aeso.Rocket(*ROCKET_VALUES), method)
            copy = aeso.InitialState1DOF(value.initial_height, value.initial_velocity)
            assert outcome(lambda: call(**kwargs)) == outcome(lambda: fresh(**dict(valid, initial_state=copy)))
        else:
            with pytest.raises(TypeError) as excinfo:
                call(**kwargs)
            assert str(excinfo.value) == f"argument 'initial_state': {cast_message(value, wanted)}"

    for obj in (rocket, initial, options):
        assert_usable(obj)
    if isinstance(value, (aeso.Rocket, aeso.FixedTimeStep, aeso.AdaptiveTimeStep, aeso.InitialState1DOF)):
        assert_usable(value)
    # The rocket still runs after whatever happened.
    assert outcome(lambda: call(**valid)) == outcome(lambda: getattr(aeso.Rocket(*ROCKET_VALUES), method)(**valid))


@pytest.mark.parametrize("method", ALL_METHODS)
@given(
    args=st.lists(st.sampled_from([None, 0, 1.5, "x", aeso.OdeMethod.Euler]), max_size=7),
    kwargs=st.dictionaries(
        st.sampled_from(list(PARAMETERS) + ["foo", "initial", "self", "max_iteration"]),
        st.sampled_from([None, 0, False, aeso.OdeMethod.Euler]),
        max_size=4,
    ),
)
@HYPOTHESIS
def test_simulation_method_binding_only_raises_type_error(method, args, kwargs):
    rocket = aeso.Rocket(*ROCKET_VALUES)
    call = getattr(rocket, method)
    try:
        call(*args, **kwargs)
    except TypeError as exc:
        assert str(exc).startswith(("Rocket.", "argument '", "Euler requires", "RK3 requires", "RK45 requires"))
    except BaseException as exc:  # noqa: BLE001
        # A well-typed call can only fail inside the run.
        assert type(exc).__name__ == "InternalError", repr(exc)
    assert_usable(rocket)


@pytest.mark.parametrize("class_name", sorted(CONSTRUCTORS))
@given(
    args=st.lists(st.floats(allow_nan=False), max_size=8),
    kwargs=st.dictionaries(st.text(max_size=8), st.floats(allow_nan=False), max_size=3),
)
@HYPOTHESIS
def test_constructor_binding_only_raises_type_error(class_name, args, kwargs):
    cls, names, _, read = CONSTRUCTORS[class_name]
    try:
        obj = cls(*args, **kwargs)
    except TypeError as exc:
        assert str(exc).startswith(f"{class_name}.__new__() ")
        return
    values = list(args) + [kwargs[n] for n in names[len(args) :]]
    assert list(read(obj)) == values


# ------------------------------------------------------------------ re-entrant conversions


class ReentrantIndex:
    """A max_iterations value whose __index__ calls back into the module while
    the simulation method holds its borrow of the rocket."""

    def __init__(self, action):
        self.action = action
        self.seen = None

    def __index__(self):
        self.seen = self.action()
        return 100000


def test_reentrant_assignment_during_a_call_is_refused_and_leaves_the_rocket_usable():
    rocket = aeso.Rocket(*ROCKET_VALUES)
    props = rocket.rocket_properties
    props.mass = 2.0

    def assign():
        rocket.rocket_properties = props

    limit = ReentrantIndex(assign)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        rocket.predict_apogee_1dof(aeso.InitialState1DOF(0, 30), aeso.OdeMethod.Euler, None, limit)
    assert rocket.rocket_properties.mass == 1.0
    assert_usable(rocket)
    rocket.rocket_properties = props
    assert rocket.rocket_properties.mass == 2.0


@pytest.mark.parametrize("method", ALL_METHODS)
def test_reentrant_reads_and_changes_of_arguments_during_a_call(method):
    rocket = aeso.Rocket(*ROCKET_VALUES)
    initial = initial_state_for(method)
    options = aeso.FixedTimeStep(0.05)
    call = getattr(rocket, method)
    expected = outcome(lambda: call(initial, aeso.OdeMethod.RK3, options))

    def meddle():
        # Reading the rocket shares its borrow; the argument objects were
        # already copied, so changing them must not reach this run.
        seen = rocket.rocket_properties.mass
        for name in ("initial_velocity", "vy"):
            if hasattr(initial, name):
                setattr(initial, name, 1.0e6)
        options.dt = 123.0
        return seen

    limit = ReentrantIndex(meddle)
    assert outcome(lambda: call(initial, aeso.OdeMethod.RK3, options, limit)) == expected
    assert limit.seen == 1.0
    assert options.dt == 123.0
    for obj in (rocket, initial, options):
        assert_usable(obj)


class ReentrantFloat:
    """A value whose __float__ assigns the same attribute it is being stored in."""

    def __init__(self, obj, name):
        self.obj = obj
        self.name = name

    def __float__(self):
        setattr(self.obj, self.name, 7.0)
        return 3.0


@pytest.mark.parametrize("target_name", sorted(SETTER_TARGETS))
def test_reentrant_setter_conversion_stores_the_outer_value(target_name):
    factory, names = SETTER_TARGETS[target_name]
    obj = factory()
    setattr(obj, names[0], ReentrantFloat(obj, names[0]))
    assert getattr(obj, names[0]) == 3.0
    assert_usable(obj)


# ------------------------------------------------------------------ keyword names

KEYWORD_TARGETS = [
    ("FixedTimeStep.__new__()", lambda kw: aeso.FixedTimeStep(**kw), "dt", {}),
    ("Rocket.__new__()", lambda kw: aeso.Rocket(*ROCKET_VALUES[:6], **kw), "cl_a", {}),
    ("AdaptiveTimeStep.next_dt()", lambda kw: aeso.AdaptiveTimeStep.default().next_dt(**kw), "error_norm", {}),
    (
        "Rocket.predict_apogee_1dof()",
        lambda kw: aeso.Rocket(*ROCKET_VALUES).predict_apogee_1dof(aeso.InitialState1DOF(0, 5), **kw),
        "integration_method",
        {"print_output": False},
    ),
]


@pytest.mark.parametrize("full_name,call,parameter,extra", KEYWORD_TARGETS)
@pytest.mark.parametrize("suffix", ["\x00", "\x00x", " ", "\u00e9"])
def test_keyword_that_only_starts_like_a_parameter_is_unexpected(full_name, call, parameter, extra, suffix):
    # A name compared only up to an embedded NUL would bind "dt\0" to dt.
    key = parameter + suffix
    value = aeso.OdeMethod.Euler if parameter == "integration_method" else 1.0
    with pytest.raises(TypeError) as excinfo:
        call({key: value, **extra})
    assert str(excinfo.value) == f"{full_name} got an unexpected keyword argument '{key}'"


@pytest.mark.parametrize("full_name,call,parameter,extra", KEYWORD_TARGETS)
def test_keyword_without_utf8_form_is_unexpected(full_name, call, parameter, extra):
    key = "\udc80" + parameter  # a lone surrogate: a valid str with no UTF-8 encoding
    with pytest.raises(TypeError) as excinfo:
        call({key: 1.0, **extra})
    assert str(excinfo.value) == f"{full_name} got an unexpected keyword argument '{key}'"
