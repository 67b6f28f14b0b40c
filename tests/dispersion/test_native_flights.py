"""The native block runner against aeso's single-flight operations: the same
apogee to the bit for every model, method and kind of step options, over
random and edge inputs, failing runs included; statuses and the state at
apogee as the flight log shows them."""

import itertools
import math
import struct
import sys

import numpy as np
import pytest

import aeso
from aeso_dispersion import _flights
from aeso_dispersion.plan import Layout

OK, ITERATION_LIMIT, INVALID_STEP_OPTIONS, NON_FINITE_APOGEE, STOPPED = (
    _flights.FLIGHT_STATUS[name] for name in ("OK", "ITERATION_LIMIT", "INVALID_STEP_OPTIONS",
                                              "NON_FINITE_APOGEE", "STOPPED"))
METHOD_CODES, STEP_CODES = _flights.ODE_METHOD, _flights.STEP_COLUMNS
NOMINAL = (20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0)
EDGE_VALUES = (math.nan, math.inf, -math.inf, 0.0, -1.0)


def bits(x):
    return struct.pack("<d", x)


def run_block(inputs, model, method, step, speed_and_angle, max_iterations, stop=None):
    rows = inputs.shape[0]
    outcomes = np.full((4, rows), -1.0)
    steps = np.zeros(rows, dtype=np.uint64)
    status = np.full(rows, 99, dtype=np.uint8)
    layout = Layout(_flights.FLIGHT_MODEL[model], METHOD_CODES[method], STEP_CODES[step], speed_and_angle,
                    max_iterations)
    finished = _flights.run_block(layout, np.ascontiguousarray(inputs, dtype=np.float64), outcomes, steps,
                                  status, stop or _flights.StopFlag())
    return finished, outcomes, steps, status


def random_rows(rng, model, method, step, speed_and_angle, count):
    """Rows around the nominal flight, some inputs replaced by edge values."""
    rocket = np.array(NOMINAL) * rng.uniform(0.5, 1.5, (count, 7))
    if model == "1dof":
        state = np.column_stack([rng.uniform(-10, 10, count), rng.uniform(-5, 300, count)])
    elif speed_and_angle:
        state = np.column_stack([rng.uniform(-5, 5, count), rng.uniform(0, 5, count),
                                 rng.uniform(-0.5, 0.5, count), rng.uniform(-5, 300, count),
                                 rng.uniform(-0.1, 0.1, count)])
    else:
        state = np.column_stack([rng.uniform(-5, 5, count), rng.uniform(0, 5, count),
                                 rng.uniform(-0.5, 0.5, count), rng.uniform(-30, 30, count),
                                 rng.uniform(-5, 300, count), rng.uniform(-0.1, 0.1, count)])
    if step == "fixed":
        options = rng.uniform(0.005, 0.05, (count, 1))
    elif step == "adaptive":
        # dt, dt_min, dt_max, tolerances: dt_min above dt_max now and then.
        options = np.column_stack([rng.uniform(0.001, 0.05, count), rng.uniform(1e-7, 0.02, count),
                                   rng.uniform(0.01, 0.2, count), rng.uniform(1e-4, 0.1, count),
                                   rng.uniform(1e-4, 0.1, count)])
    else:
        options = np.empty((count, 0))
    rows = np.hstack([rocket, state, options])
    # Every other row gets one edge value in a random column.
    for k in range(0, count, 2):
        rows[k, rng.integers(rows.shape[1])] = EDGE_VALUES[rng.integers(len(EDGE_VALUES))]
    return rows


def predict(row, model, method, step, speed_and_angle, max_iterations):
    """aeso's prediction for one row: (apogee, None) or (None, exception)."""
    rocket = aeso.Rocket(*row[:7])
    if model == "1dof":
        n_state, cls = 2, aeso.InitialState1DOF
    else:
        n_state, cls = (5 if speed_and_angle else 6), aeso.InitialState3DOF
    state = list(row[7:7 + n_state])
    if speed_and_angle:
        x, y, angle, speed, rate = state
        # C's sin and cos of an infinite angle are NaN; Python's raise.
        sin, cos = (math.sin(angle), math.cos(angle)) if math.isfinite(angle) else (math.nan, math.nan)
        state = [x, y, angle, -speed * sin, speed * cos, rate]
    options = row[7 + n_state:]
    timestep = None
    if step == "fixed":
        timestep = aeso.FixedTimeStep(*options)
    elif step == "adaptive":
        timestep = aeso.AdaptiveTimeStep(*options)
    run = rocket.predict_apogee_1dof if model == "1dof" else rocket.predict_apogee_3dof
    try:
        return run(cls(*state), getattr(aeso.OdeMethod, method), timestep, max_iterations), None
    except BaseException as exc:  # the internal-error class derives from BaseException
        if type(exc).__name__ != "InternalError":
            raise
        return None, exc


CONFIGURATIONS = [
    (model, method, step, speed)
    for model, speed in (("1dof", False), ("3dof", False), ("3dof", True))
    for method, step in (("Euler", "default"), ("Euler", "fixed"), ("RK3", "default"), ("RK3", "fixed"),
                         ("RK45", "default"), ("RK45", "adaptive"))
]


@pytest.mark.parametrize("model, method, step, speed_and_angle", CONFIGURATIONS)
@pytest.mark.parametrize("max_iterations", [0, 7, 100000])
def test_apogee_and_status_match_the_single_flight_api(model, method, step, speed_and_angle, max_iterations):
    rng = np.random.default_rng([len(model), METHOD_CODES[method], STEP_CODES[step], speed_and_angle,
                                 max_iterations])
    rows = random_rows(rng, model, method, step, speed_and_angle, 24)
    finished, outcomes, steps, status = run_block(rows, model, method, step, speed_and_angle, max_iterations)
    assert finished == len(rows)
    seen = set()
    for k, row in enumerate(rows.tolist()):
        apogee, error = predict(row, model, method, step, speed_and_angle, max_iterations)
        if error is None:
            assert bits(outcomes[0, k]) == bits(apogee) or (math.isnan(apogee) and math.isnan(outcomes[0, k])), k
            assert status[k] == (OK if math.isfinite(apogee) else NON_FINITE_APOGEE), k
            assert 0 < steps[k] <= max_iterations
        elif str(error) == "Index out of bounds":
            assert status[k] == ITERATION_LIMIT and steps[k] == max_iterations, k
            assert np.isnan(outcomes[:, k]).all()
        else:
            assert str(error).startswith("min > max, or either was NaN"), error
            assert status[k] == INVALID_STEP_OPTIONS and steps[k] == 0, k
            assert np.isnan(outcomes[:, k]).all()
        seen.add(int(status[k]))
        if model == "1dof" or status[k] not in (OK, NON_FINITE_APOGEE):
            assert np.isnan(outcomes[2:, k]).all()
    assert seen <= {OK, ITERATION_LIMIT, INVALID_STEP_OPTIONS, NON_FINITE_APOGEE}
    if max_iterations == 0:
        assert seen == {ITERATION_LIMIT}
    elif max_iterations == 100000:
        assert OK in seen


@pytest.mark.parametrize("method", ["Euler", "RK3", "RK45"])
@pytest.mark.parametrize("angle, speed", [(0.05, 250.0), (-0.3, 120.0), (0.0, 0.2)])
def test_outcomes_at_apogee_agree_with_the_flight_log(method, angle, speed):
    # The log holds the states before each step; the apogee is one step past
    # its last row, so its time, x and horizontal speed lie within that step.
    row = np.array([NOMINAL + (0.0, 0.0, angle, speed, 0.0)])
    _, outcomes, steps, status = run_block(row, "3dof", method, "default", True, 100000)
    assert status[0] == OK
    times, states = aeso.Rocket(*NOMINAL).simulate_flight_3dof(
        aeso.InitialState3DOF(0.0, 0.0, angle, -speed * math.sin(angle), speed * math.cos(angle), 0.0),
        getattr(aeso.OdeMethod, method))
    assert steps[0] == len(times)
    apogee, t_apogee, x_apogee, horizontal_speed = outcomes[:, 0]
    last = states[-1]
    assert times[-1] < t_apogee <= times[-1] + 0.2
    dt = t_apogee - times[-1]
    # Drag and lift change vx by far less than 10 m/s^2 here.
    assert x_apogee == pytest.approx(last[0] + last[3] * dt, abs=1e-3 + 10 * dt * dt)
    assert horizontal_speed == pytest.approx(abs(last[3]), abs=1e-3 + 10 * dt)
    assert apogee >= last[1] - 1e-9


def test_stop_flag_set_before_the_block_runs_nothing():
    stop = _flights.StopFlag()
    assert not stop.is_set()
    stop.set()
    assert stop.is_set()
    rows = np.array([NOMINAL + (0.0, 250.0)] * 3)
    finished, outcomes, steps, status = run_block(rows, "1dof", "RK45", "default", False, 100000, stop)
    assert finished == 0
    assert (status == STOPPED).all() and np.isnan(outcomes).all() and not steps.any()


@pytest.mark.parametrize("change, error", [
    (dict(model=2), ValueError),
    (dict(method=3), ValueError),
    (dict(step=2, method=0), ValueError),           # Euler with adaptive options
    (dict(columns=8), ValueError),                  # one column short for 3-DOF with speed
    (dict(dtype=np.float32), TypeError),
    (dict(status_dtype=np.int32), TypeError),
    (dict(stop="stop"), TypeError),
    (dict(max_iterations=-1), OverflowError),
    (dict(max_iterations=2**64), OverflowError),
    (dict(outcome_rows=3), ValueError),
    (dict(layout=(3, 2, 0, 1, 10)), AttributeError),  # a layout names its fields
])
def test_inconsistent_arguments_are_refused(change, error):
    args = dict(model=3, method=2, step=0, columns=12, dtype=np.float64, status_dtype=np.uint8,
                stop=_flights.StopFlag(), max_iterations=10, outcome_rows=4)
    args.update(change)
    inputs = np.zeros((2, args["columns"]), dtype=args["dtype"])
    layout = args.get("layout", Layout(args["model"], args["method"], args["step"], True, args["max_iterations"]))
    with pytest.raises(error):
        _flights.run_block(layout, inputs, np.empty((args["outcome_rows"], 2)), np.empty(2, np.uint64),
                           np.empty(2, args["status_dtype"]), args["stop"])


def test_read_only_outcomes_are_refused():
    outcomes = np.empty((4, 1))
    outcomes.flags.writeable = False
    with pytest.raises((TypeError, BufferError, ValueError)):
        _flights.run_block(Layout(3, 2, 0, True, 10), np.zeros((1, 12)), outcomes, np.empty(1, np.uint64),
                           np.empty(1, np.uint8), _flights.StopFlag())


def test_every_combination_is_covered():
    # The configurations above span every model, method and kind of options.
    kinds = {(m, method, s) for m, method, s, _ in CONFIGURATIONS}
    assert kinds == set(itertools.product(("1dof", "3dof"), ("Euler", "RK3", "RK45"), ("default",))) | {
        (m, method, "fixed") for m in ("1dof", "3dof") for method in ("Euler", "RK3")} | {
        (m, "RK45", "adaptive") for m in ("1dof", "3dof")}


SUBINTERPRETER_RUN = """
import importlib.machinery, importlib.util, struct
path = {path!r}
loader = importlib.machinery.ExtensionFileLoader("aeso_dispersion._flights", path)
flights = importlib.util.module_from_spec(importlib.util.spec_from_file_location(
    "aeso_dispersion._flights", path, loader=loader))
loader.exec_module(flights)
row = struct.pack("9d", 20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0, 0.0, 250.0)
inputs = memoryview(row).cast("B").cast("d", [1, 9])
outcomes, steps, status = bytearray(32), bytearray(8), bytearray(1)
class Layout:
    model, method, step, speed_and_angle, max_iterations = 1, 2, 0, False, 100000
finished = flights.run_block(Layout, inputs, memoryview(outcomes).cast("d", [4, 1]), memoryview(steps).cast("Q"),
                             memoryview(status).cast("B"), flights.StopFlag())
assert finished == 1 and status[0] == 0, (finished, status)
assert struct.unpack("d", outcomes[:8])[0] == {apogee!r}
"""


def test_runs_in_a_subinterpreter_with_plain_buffers():
    # Each interpreter gets a module of its own (its StopFlag type
    # included); NumPy is not needed, any buffer of the right format does.
    interpreters = pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    apogee = aeso.Rocket(*NOMINAL).predict_apogee_1dof(aeso.InitialState1DOF(0.0, 250.0), aeso.OdeMethod.RK45)
    interpreter = interpreters.create()
    try:
        failure = interpreters.run_string(interpreter, SUBINTERPRETER_RUN.format(path=_flights.__file__,
                                                                                 apogee=apogee))
    finally:
        interpreters.destroy(interpreter)
    assert failure is None, failure
