"""The four Rocket methods: arguments, results, result arrays, printing, threads."""

import io
import math
import sys
import threading

import numpy as np
import pytest

import aeso
from conftest import ROCKET_ARGS, run_python

M = aeso.OdeMethod


def reference_euler_1dof(h, v, dt, limit, mass=1.0, cd=0.5, area=0.01):
    """The 1-DOF Euler run written out in Python: logged rows and the apogee."""

    def accel(vel):
        return ((((vel * vel) * -0.6125) * cd) * area) / mass + -9.80665

    times, rows, acc, t = [], [], math.nan, 0.0
    for _ in range(limit):
        times.append(t)
        rows.append([h, v, acc] + [0.0] * 6)
        h0, v0, t0 = h, v, t
        acc = accel(v)
        h, v, t = h + v * dt, v + acc * dt, t + dt
        if v < 0.5:
            final_dt = (v0 / (v0 - v)) * dt
            return times, rows, h0 + v0 * final_dt
    return times, rows, None


def test_euler_1dof_matches_the_written_out_run(rocket):
    times, rows, apogee = reference_euler_1dof(0.0, 50.0, 0.01, 100000)
    state = aeso.InitialState1DOF(0, 50)
    assert rocket.predict_apogee_1dof(state, M.Euler) == apogee
    t, s = rocket.simulate_flight_1dof(state, M.Euler, aeso.FixedTimeStep(0.01))
    np.testing.assert_array_equal(t, times)
    np.testing.assert_array_equal(s, rows)
    assert 0 < apogee < 50**2 / (2 * 9.80665)  # below the drag-free height


@pytest.mark.parametrize("method, options", [
    (M.Euler, None), (M.RK3, aeso.FixedTimeStep(0.005)), (M.RK45, aeso.AdaptiveTimeStep.default()),
])
def test_vertical_3dof_flight_equals_1dof(rocket, method, options):
    one = rocket.predict_apogee_1dof(aeso.InitialState1DOF(10, 100), method, options)
    three = rocket.predict_apogee_3dof(aeso.InitialState3DOF(0, 10, 0, 0, 100, 0), method, options)
    assert type(one) is float and one == pytest.approx(three, rel=1e-12) and 200 < one < 10 + 100**2 / 19.6133


@pytest.mark.parametrize("flight", ["1dof", "3dof"])
def test_result_arrays(rocket, flight):
    state = aeso.InitialState1DOF(0, 100) if flight == "1dof" else aeso.InitialState3DOF(0, 0, 0.1, 0, 100, 0)
    simulate = getattr(rocket, f"simulate_flight_{flight}")
    result = simulate(state, M.RK45)
    assert type(result) is tuple and len(result) == 2
    times, states = result
    n = len(times)
    assert n > 10 and times.shape == (n,) and states.shape == (n, 9)
    for array in result:
        assert type(array) is np.ndarray and array.dtype == np.float64
        assert array.flags.c_contiguous and array.flags.owndata and array.flags.writeable
    assert states.strides == (72, 8) and times.strides == (8,)
    assert np.all(np.diff(times) > 0) and times[0] == 0.0
    derivative_columns = slice(2, 3) if flight == "1dof" else slice(6, 9)
    assert np.isnan(states[0, derivative_columns]).all() and np.isfinite(states[1:]).all()
    if flight == "1dof":
        assert (states[:, 3:] == 0).all() and states[0, 1] == 100
    else:
        assert states[0, 4] == 100 and states[-1, 1] <= rocket.predict_apogee_3dof(state, M.RK45)
    again = simulate(state, M.RK45)
    again[0][:] = -1
    again[1][:] = -1
    np.testing.assert_array_equal(simulate(state, M.RK45)[1], states)


def test_iteration_limit(rocket):
    state = aeso.InitialState1DOF(0, 100)
    times, states = rocket.simulate_flight_1dof(state, M.Euler, max_iterations=7)
    assert states.shape == (7, 9)
    np.testing.assert_array_equal(times, np.cumsum([0.0] + [0.01] * 6))
    times, states = rocket.simulate_flight_1dof(state, M.Euler, max_iterations=0)
    assert times.shape == (0,) and states.shape == (0, 9)
    for limit in (0, 7, True):
        with pytest.raises(BaseException, match="^Index out of bounds$") as info:
            rocket.predict_apogee_1dof(state, M.Euler, None, limit)
        assert type(info.value).__name__ == "InternalError"


def test_defaults_and_keywords(rocket):
    state = aeso.InitialState1DOF(0, 50)
    expected = rocket.predict_apogee_1dof(state, M.Euler)
    assert rocket.predict_apogee_1dof(state, M.Euler, None, 100000, False) == expected
    assert rocket.predict_apogee_1dof(
        print_output=np.False_, max_iterations=np.int64(100000), integration_method=M.Euler, initial_state=state
    ) == expected
    assert rocket.predict_apogee_1dof(state, M.RK45) == rocket.predict_apogee_1dof(
        state, M.RK45, aeso.AdaptiveTimeStep.default()
    )


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((aeso.InitialState3DOF(0, 0, 0, 0, 1, 0), M.Euler), {}, TypeError,
         "argument 'initial_state': 'InitialState3DOF' object cannot be cast as 'InitialState1DOF'"),
        ((1, 2), {}, TypeError, "argument 'initial_state': 'int' object cannot be cast as 'InitialState1DOF'"),
        ((aeso.InitialState1DOF(0, 1), 0), {}, TypeError,
         "argument 'integration_method': 'int' object cannot be cast as 'OdeMethod'"),
        ((aeso.InitialState1DOF(0, 1), M.Euler), {"print_output": 1}, TypeError,
         "argument 'print_output': 'int' object cannot be cast as 'bool'"),
        ((aeso.InitialState1DOF(0, 1), M.Euler), {"print_output": None}, TypeError,
         "argument 'print_output': 'NoneType' object cannot be cast as 'bool'"),
        ((aeso.InitialState1DOF(0, 1), M.Euler), {"max_iterations": None}, TypeError, "argument 'max_iterations': "),
        ((aeso.InitialState1DOF(0, 1), M.Euler), {"max_iterations": 2.0}, TypeError, "argument 'max_iterations': "),
        ((aeso.InitialState1DOF(0, 1), M.Euler), {"max_iterations": -1}, OverflowError, ""),
        ((aeso.InitialState1DOF(0, 1), M.Euler), {"max_iterations": 2**64}, OverflowError, ""),
        ((aeso.InitialState1DOF(0, 1), M.RK45, aeso.FixedTimeStep(0.1)), {"print_output": True}, TypeError,
         "RK45 requires AdaptiveTimeStep"),
        ((aeso.InitialState1DOF(0, 1), M.Euler, aeso.AdaptiveTimeStep.default()), {}, TypeError,
         "Euler requires FixedTimeStep"),
        ((aeso.InitialState1DOF(0, 1), M.RK3, aeso.AdaptiveTimeStep.default()), {}, TypeError,
         "RK3 requires FixedTimeStep"),
    ],
)
def test_argument_errors(rocket, args, kwargs, error, message):
    with pytest.raises(error) as info:
        rocket.predict_apogee_1dof(*args, **kwargs)
    assert type(info.value) is error and str(info.value).startswith(message)
    if error is OverflowError:
        assert not str(info.value).startswith("argument")


def test_timestep_options_composite_message(rocket):
    with pytest.raises(TypeError) as info:
        rocket.simulate_flight_1dof(aeso.InitialState1DOF(0, 1), M.Euler, M.Euler)
    assert str(info.value).split("\n") == [
        "argument 'timestep_config': failed to extract enum TimeStepOptions ('Fixed | Adaptive')",
        "- variant Fixed (Fixed): TypeError: failed to extract field TimeStepOptions::Fixed.0, caused by "
        "TypeError: 'OdeMethod' object cannot be cast as 'FixedTimeStep'",
        "- variant Adaptive (Adaptive): TypeError: failed to extract field TimeStepOptions::Adaptive.0, caused by "
        "TypeError: 'OdeMethod' object cannot be cast as 'AdaptiveTimeStep'",
    ]


def test_rocket_is_share_borrowed_for_the_call(rocket):
    props = rocket.rocket_properties

    class Limit:
        def __index__(self):
            rocket.rocket_properties = props  # a write while the call holds the rocket
            return 10

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        rocket.predict_apogee_1dof(aeso.InitialState1DOF(0, 50), M.Euler, max_iterations=Limit())
    rocket.rocket_properties = props  # released afterwards


def test_printing_goes_to_file_descriptor_1():
    proc = run_python(
        """
        import io, sys, aeso
        r = aeso.Rocket(1.0, 0.5, 0.01, 0.02, 0.1, 0.05, 2.0)
        sys.stdout = io.StringIO()
        r.predict_apogee_1dof(aeso.InitialState1DOF(0, 100), aeso.OdeMethod.Euler, print_output=True)
        try:  # nothing is printed with a limit of 0
            r.predict_apogee_1dof(aeso.InitialState1DOF(0, 100), aeso.OdeMethod.RK45, None, 0, True)
        except BaseException as e:
            print(e, file=sys.stderr)
        sys.stderr.write(repr(sys.stdout.getvalue()))
        """
    )
    assert proc.returncode == 0 and proc.stderr.endswith("Index out of bounds\n''")
    lines = proc.stdout.split("\n")
    assert lines[0] == (
        "Iter:     0,    Time: 0.00(s),    Altitude:    0.00(m),    Velocity:  100.00(m/s)    Acceleration:     NaN(m/ss)"
    )
    banner = lines.index("==================== Calculation complete! " + "=" * 80)
    assert lines[banner - 1] == "" and lines[banner + 1].startswith(f"Iter:{banner - 1:6d},")
    assert lines[banner + 2:] == ["=" * 123, "", ""]


def test_threads_share_one_rocket(rocket):
    states = [aeso.InitialState1DOF(0, v) for v in range(40, 200, 10)]
    methods = [M.Euler, M.RK3, M.RK45]
    serial = [[rocket.predict_apogee_1dof(s, m) for s in states] for m in methods]
    results, errors = {}, []

    def work(k):
        try:
            for _ in range(3):
                results[k] = [rocket.predict_apogee_1dof(s, methods[k % 3]) for s in states]
        except BaseException as error:  # noqa: B036
            errors.append(error)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert all(results[k] == serial[k % 3] for k in range(6))


def test_changing_inputs_after_the_call_changes_nothing(rocket):
    state = aeso.InitialState1DOF(0, 50)
    times, rows = rocket.simulate_flight_1dof(state, M.Euler)
    kept = rows.copy()
    state.initial_velocity = 10
    rocket.rocket_properties = aeso.Rocket(**dict(ROCKET_ARGS, mass=5.0)).rocket_properties
    np.testing.assert_array_equal(rows, kept)
