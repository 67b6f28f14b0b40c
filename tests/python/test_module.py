"""Facts about the module object, its classes and its exception class."""

import importlib
import re
import sysconfig

import pytest

import aeso
from conftest import run_python

CLASSES = ["OdeMethod", "Rocket", "FixedTimeStep", "AdaptiveTimeStep", "InitialState1DOF", "InitialState3DOF"]


def test_module_object_and_registration():
    assert importlib.import_module("aeso") is aeso
    assert aeso.__all__ == CLASSES
    assert aeso.__doc__ == ""
    assert not hasattr(aeso, "RocketProperties")
    assert not hasattr(aeso, "TimeStepOptions")


@pytest.mark.parametrize("name", CLASSES + ["RocketProperties"])
def test_type_names_and_layout(name, rocket):
    cls = type(rocket.rocket_properties) if name == "RocketProperties" else getattr(aeso, name)
    assert (cls.__module__, cls.__qualname__) == ("builtins", name)
    assert "__dict__" not in dir(cls) and "__weakref__" not in dir(cls)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize(
    "cls, doc, signature",
    [
        ("OdeMethod", "Numerical integration methods for the ODE solver.", None),
        ("FixedTimeStep", "", "(dt)"),
        ("InitialState1DOF", "Struct for defining the initial conditions of a 1-DOF simulation.",
         "(initial_height, initial_velocity)"),
        ("Rocket", "", "(mass, cd, area_drag, area_lift, moment_of_inertia, stab_margin_dimensional, cl_a)"),
    ],
)
def test_docstrings_and_text_signatures(cls, doc, signature):
    cls = getattr(aeso, cls)
    assert (cls.__doc__ or "") == doc
    assert cls.__text_signature__ == signature


def test_method_signatures():
    for name in ["predict_apogee_1dof", "predict_apogee_3dof", "simulate_flight_1dof", "simulate_flight_3dof"]:
        assert getattr(aeso.Rocket, name).__text_signature__ == (
            "($self, initial_state, integration_method, timestep_config=None, max_iterations=..., print_output=False)"
        )
    assert aeso.AdaptiveTimeStep.next_dt.__doc__.startswith("Computes the next timestep size")
    assert aeso.AdaptiveTimeStep.dt_max.__doc__ == "Maximum timestep"


def test_import_does_not_import_numpy_but_arrays_do():
    proc = run_python(
        """
        import sys, aeso
        print('numpy' in sys.modules)
        r = aeso.Rocket(1, 0.5, 0.01, 0.02, 0.1, 0.05, 2)
        r.simulate_flight_1dof(aeso.InitialState1DOF(0, 10), aeso.OdeMethod.Euler)
        print('numpy' in sys.modules)
        """
    )
    assert proc.stdout.split() == ["False", "True"], proc.stderr


def test_subinterpreter_is_refused():
    pytest.importorskip("_testcapi")
    proc = run_python(
        """
        import _testcapi, aeso
        print(_testcapi.run_in_subinterp('import aeso'))
        """
    )
    assert proc.stdout.strip() == "-1"
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        # Free-threaded builds refuse single-phase modules in sub-interpreters
        # before the module's own check runs.
        assert "ImportError: module aeso does not support loading in subinterpreters" in proc.stderr
    else:
        assert "ImportError: modules do not yet support subinterpreters" in proc.stderr


def internal_error():
    a = aeso.AdaptiveTimeStep.default()
    a.dt_min, a.dt_max = 1.0, 0.5
    try:
        a.next_dt(0.0)
    except BaseException as error:  # noqa: B036 - InternalError is not an Exception
        return error
    raise AssertionError("no InternalError")


def test_internal_error_class():
    error = internal_error()
    cls = type(error)
    assert f"{cls.__module__}.{cls.__qualname__}" == "aeso_runtime.InternalError"
    assert cls.__bases__ == (BaseException,) and not isinstance(error, Exception)
    assert error.args == ("min > max, or either was NaN. min = 1.0, max = 0.5",)
    assert type(internal_error()) is cls  # created once
    assert "consistency check" in cls.__doc__


def test_internal_error_passes_except_exception_and_writes_diagnostic():
    proc = run_python(
        """
        import aeso
        a = aeso.AdaptiveTimeStep(0.01, 0.2, 0.1, 0.01, 0.01)
        try:
            try:
                a.next_dt(error_norm=0.0)
            except Exception:
                print("caught as Exception")
        except BaseException as e:
            print("caught as BaseException:", e)
        """
    )
    assert proc.stdout == "caught as BaseException: min > max, or either was NaN. min = 0.2, max = 0.1\n"
    assert "internal error" in proc.stderr and "thread" in proc.stderr
    assert "min > max, or either was NaN. min = 0.2, max = 0.1" in proc.stderr


@pytest.mark.parametrize(
    "call, file, function, message",
    [
        ("aeso.AdaptiveTimeStep(0.01, 0.2, 0.1, 0.01, 0.01).next_dt(0.0)",
         "ode_options.cpp", "adaptive_next_dt", "min > max, or either was NaN. min = 0.2, max = 0.1"),
        ("r.predict_apogee_3dof(aeso.InitialState3DOF(0, 0, 0, 0, 100, 0), aeso.OdeMethod.RK45, None, 3)",
         "simulate.cpp", "simulation_method", "Index out of bounds"),
        ("r.simulate_flight_1dof(aeso.InitialState1DOF(0, 100), aeso.OdeMethod.RK45, "
         "aeso.AdaptiveTimeStep(0.01, float('nan'), 0.1, 0.01, 0.01))",
         "simulate.cpp", "simulation_method", "min > max, or either was NaN. min = NaN, max = 0.1"),
    ],
    ids=["next_dt", "prediction limit", "simulation bounds"],
)
def test_internal_error_diagnostic_is_one_short_line(call, file, function, message):
    proc = run_python(
        f"""
        import threading, aeso
        r = aeso.Rocket(1.0, 0.5, 0.01, 0.02, 0.1, 0.05, 2.0)
        print(threading.get_ident(), threading.get_native_id())
        try:
            {call}
        except BaseException as e:
            print(type(e).__name__)
        """
    )
    ident, native_id, raised = proc.stdout.split()
    assert raised == "InternalError"
    lines = proc.stderr.splitlines()
    assert len(lines) == 1, proc.stderr
    match = re.fullmatch(
        r"aeso: internal error in thread (\d+) \(native id (\d+)\) at src/python/(\S+):(\d+) in (\w+): (.*)",
        lines[0],
    )
    assert match, lines[0]
    assert match.groups()[:3] == (ident, native_id, file)
    assert int(match.group(4)) > 0
    assert match.group(5) == function
    assert match.group(6) == message
    assert len(lines[0]) - len(message) < 140  # no template signature


def test_missing_numpy_is_an_internal_error():
    proc = run_python(
        """
        import sys, aeso
        sys.modules['numpy'] = None
        r = aeso.Rocket(1, 0.5, 0.01, 0.02, 0.1, 0.05, 2)
        try:
            r.simulate_flight_1dof(aeso.InitialState1DOF(0, 10), aeso.OdeMethod.Euler)
        except BaseException as e:
            print(type(e).__name__, e)
        """
    )
    assert proc.stdout.startswith(
        "InternalError Failed to access NumPy array API capsule: ModuleNotFoundError: "
    ), proc.stdout + proc.stderr
