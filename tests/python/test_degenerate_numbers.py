"""Degenerate numbers given to runs: NaN and infinite properties, zero mass
or inertia, zero, negative, NaN and infinite step sizes, crossed step bounds,
and the extreme iteration limits. Nothing is validated on the way in, so each
case must end as the stepping rules make it end: the apogee, the limit (a
prediction then fails with "Index out of bounds" and a simulation returns
exactly that many rows), or the step-bound error; never a hang or a crash.
"""

import math
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import aeso

NAN = math.nan
INF = math.inf
LIMIT = 400

BASE = dict(mass=1.0, cd=0.5, area_drag=0.01, area_lift=0.02, moment_of_inertia=0.1,
            stab_margin_dimensional=0.05, cl_a=2.0)
EULER, RK3, RK45 = aeso.OdeMethod.Euler, aeso.OdeMethod.RK3, aeso.OdeMethod.RK45


def internal_error_type():
    try:
        aeso.AdaptiveTimeStep(0.01, 1.0, 0.5, 0.01, 0.01).next_dt(0.0)
    except BaseException as exc:  # noqa: BLE001 - looking for the class itself
        return type(exc)
    raise AssertionError("crossed step bounds did not fail")


InternalError = internal_error_type()


def rocket(**overrides):
    return aeso.Rocket(**dict(BASE, **overrides))


def initial(kind, vy=30.0):
    if kind == "1dof":
        return aeso.InitialState1DOF(0.0, vy)
    return aeso.InitialState3DOF(0.0, 0.0, 0.1, 1.0, vy, 0.0)


def options_for(ode, dt):
    if ode == RK45:
        return aeso.AdaptiveTimeStep(dt, min(abs(dt), 1e-6) if dt == dt else 1e-6, 0.1, 0.01, 0.01)
    return aeso.FixedTimeStep(dt)


def bits(x):
    return struct.pack("<d", x)


def assert_runs_to_the_limit(r, kind, ode, options, vy=30.0):
    """The stop test never fires: exactly LIMIT rows, and no apogee."""
    times, states = getattr(r, f"simulate_flight_{kind}")(initial(kind, vy), ode, options, LIMIT)
    assert times.shape == (LIMIT,) and states.shape == (LIMIT, 9)
    with pytest.raises(InternalError, match="^Index out of bounds$"):
        getattr(r, f"predict_apogee_{kind}")(initial(kind, vy), ode, options, LIMIT)
    return times, states


KINDS = ["1dof", "3dof"]
METHODS = [EULER, RK3, RK45]


# ------------------------------------------------------------------ properties

# Properties that, made NaN, make the vertical velocity NaN after the first
# step: a NaN never passes the stop test, so the run goes to the limit.
NAN_PROPERTIES = {
    "1dof": ["mass", "cd", "area_drag"],
    "3dof": ["mass", "cd", "area_drag", "moment_of_inertia", "stab_margin_dimensional", "cl_a"],
}


@pytest.mark.parametrize("ode", METHODS)
@pytest.mark.parametrize("kind,prop", [(k, p) for k in KINDS for p in NAN_PROPERTIES[k]])
def test_nan_property_runs_to_the_limit(kind, prop, ode):
    r = rocket(**{prop: NAN})
    _, states = assert_runs_to_the_limit(r, kind, ode, None)
    velocity = states[1:, 1] if kind == "1dof" else states[1:, 4]
    assert np.isnan(velocity[-1])


@pytest.mark.parametrize("ode", METHODS)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("value", [NAN, INF, -INF, 0.0, -0.0])
def test_unused_lift_area_changes_nothing(kind, ode, value):
    ref = getattr(rocket(), f"predict_apogee_{kind}")(initial(kind), ode)
    got = getattr(rocket(area_lift=value), f"predict_apogee_{kind}")(initial(kind), ode)
    assert bits(got) == bits(ref)


@pytest.mark.parametrize("ode", METHODS)
def test_infinite_mass_is_a_drag_free_flight(ode):
    # drag / inf is 0, so the acceleration is exactly -g, as with cd = 0.
    heavy = rocket(mass=INF).simulate_flight_1dof(initial("1dof"), ode)
    dragless = rocket(cd=0.0).simulate_flight_1dof(initial("1dof"), ode)
    for a, b in zip(heavy, dragless):
        assert a.tobytes() == b.tobytes()


@pytest.mark.parametrize("ode", METHODS)
@pytest.mark.parametrize("kind", KINDS)
def test_zero_mass_without_forces_runs_to_the_limit(kind, ode):
    # No drag and no lift: 0 / 0 makes every acceleration NaN.
    assert_runs_to_the_limit(rocket(mass=0.0, cd=0.0, cl_a=0.0), kind, ode, None)


@pytest.mark.parametrize("kind", KINDS)
def test_zero_mass_with_drag_stops_where_it_started(kind):
    # Euler: the drag term is -inf, so one step takes the vertical velocity to
    # -inf; the final step's factor is v / (v + inf) = 0 and the step has zero
    # length, so the apogee is the starting altitude.
    for r in (rocket(mass=0.0), rocket(cd=INF)):
        times, states = getattr(r, f"simulate_flight_{kind}")(initial(kind), EULER)
        assert times.shape == (1,)
        assert getattr(r, f"predict_apogee_{kind}")(initial(kind), EULER) == 0.0


@pytest.mark.parametrize("ode", METHODS)
@pytest.mark.parametrize("inertia", [0.0, NAN, -0.0])
def test_zero_or_nan_inertia(inertia, ode):
    r = rocket(moment_of_inertia=inertia)
    # 1-DOF never reads the inertia.
    assert bits(r.predict_apogee_1dof(initial("1dof"), ode)) == bits(rocket().predict_apogee_1dof(initial("1dof"), ode))
    # 3-DOF: an infinite or NaN angular acceleration turns the attitude, and
    # with it every force, into NaN before apogee.
    assert_runs_to_the_limit(r, "3dof", ode, None)


# ------------------------------------------------------------------ step sizes


@pytest.mark.parametrize("ode", METHODS)
@pytest.mark.parametrize("kind", KINDS)
def test_zero_step_never_moves(kind, ode):
    times, states = assert_runs_to_the_limit(rocket(), kind, ode, options_for(ode, 0.0))
    assert not times.any()
    first = states[0].copy()
    assert np.array_equal(states[1:, :2], np.broadcast_to(first[:2], (LIMIT - 1, 2)))


@pytest.mark.parametrize("ode", [EULER, RK3])
@pytest.mark.parametrize("kind", KINDS)
def test_zero_step_from_rest_gives_nan_apogee(kind, ode):
    # Already below the threshold: one zero-length step, then the factor
    # 0 / (0 - 0) is NaN and so is the final step.
    r = rocket()
    value = getattr(r, f"predict_apogee_{kind}")(initial(kind, vy=0.0), ode, aeso.FixedTimeStep(0.0))
    assert math.isnan(value)
    times, _ = getattr(r, f"simulate_flight_{kind}")(initial(kind, vy=0.0), ode, aeso.FixedTimeStep(0.0))
    assert times.shape == (1,)


@pytest.mark.parametrize("ode", [EULER, RK3])
def test_negative_step_integrates_backwards(ode):
    # 1-DOF: drag and gravity both point down, so run backwards they only
    # ever speed the rocket up: the limit is reached.
    times, states = assert_runs_to_the_limit(rocket(), "1dof", ode, aeso.FixedTimeStep(-0.01))
    assert times[-1] < 0 and np.all(np.diff(times) < 0)
    assert np.all(np.diff(states[:, 1]) > 0)
    # 3-DOF: attitude dynamics run backwards may or may not cross the
    # threshold; either way time only goes backwards and the limit holds.
    times, _ = rocket().simulate_flight_3dof(initial("3dof"), ode, aeso.FixedTimeStep(-0.01), LIMIT)
    assert 1 <= times.shape[0] <= LIMIT and np.all(np.diff(times) < 0)


@pytest.mark.parametrize("ode", METHODS)
@pytest.mark.parametrize("kind", KINDS)
def test_nan_step_runs_to_the_limit(kind, ode):
    opts = aeso.FixedTimeStep(NAN) if ode != RK45 else aeso.AdaptiveTimeStep(NAN, 1e-6, 0.1, 0.01, 0.01)
    _, states = assert_runs_to_the_limit(rocket(), kind, ode, opts)
    assert np.isnan(states[-1, 0])


@pytest.mark.parametrize("kind", KINDS)
def test_infinite_step_gives_nan_apogee(kind):
    # Euler: the first step overshoots to -inf, the factor is 0, and 0 * inf
    # makes the final step NaN.
    value = getattr(rocket(), f"predict_apogee_{kind}")(initial(kind), EULER, aeso.FixedTimeStep(INF))
    assert math.isnan(value)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "tolerances",
    [(-1.0, -1.0), (NAN, 0.01), (0.01, NAN)],
)
def test_rk45_with_nan_proposals_runs_to_the_limit(kind, tolerances):
    # A negative tolerance sum or a NaN tolerance makes the proposal NaN.
    opts = aeso.AdaptiveTimeStep(0.01, 1e-6, 0.1, *tolerances)
    assert_runs_to_the_limit(rocket(), kind, RK45, opts)


BOUND_CASES = [
    ((0.2, 0.1), "min > max, or either was NaN. min = 0.2, max = 0.1"),
    ((NAN, 0.1), "min > max, or either was NaN. min = NaN, max = 0.1"),
    ((1e-6, NAN), "min > max, or either was NaN. min = 1e-6, max = NaN"),
    ((INF, -INF), "min > max, or either was NaN. min = inf, max = -inf"),
]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("bounds,message", BOUND_CASES)
def test_crossed_step_bounds_end_the_run(kind, bounds, message):
    opts = aeso.AdaptiveTimeStep(0.01, *bounds, 0.01, 0.01)
    for name in (f"predict_apogee_{kind}", f"simulate_flight_{kind}"):
        with pytest.raises(InternalError) as excinfo:
            getattr(rocket(), name)(initial(kind), RK45, opts, 2**64 - 1)
        assert excinfo.value.args == (message,)
    with pytest.raises(InternalError) as excinfo:
        opts.next_dt(0.0)
    assert excinfo.value.args == (message,)
    assert not isinstance(excinfo.value, Exception)


# ------------------------------------------------------------------ iteration limits


@pytest.mark.parametrize("ode", METHODS)
@pytest.mark.parametrize("kind", KINDS)
def test_zero_iterations(kind, ode):
    r = rocket()
    times, states = getattr(r, f"simulate_flight_{kind}")(initial(kind), ode, None, 0)
    assert times.shape == (0,) and states.shape == (0, 9)
    with pytest.raises(InternalError, match="^Index out of bounds$"):
        getattr(r, f"predict_apogee_{kind}")(initial(kind), ode, None, 0)


@pytest.mark.parametrize("ode", METHODS)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("limit", [2**64 - 1, 2**63, 2**32 + 1, True])
def test_largest_limits_with_an_early_apogee(kind, ode, limit):
    r = rocket()
    vy = 30.0 if limit is not True else 0.2  # True is 1: apogee must come in step 0
    for name in (f"predict_apogee_{kind}", f"simulate_flight_{kind}"):
        default = getattr(r, name)(initial(kind, vy), ode)
        got = getattr(r, name)(initial(kind, vy), ode, None, limit)
        if isinstance(got, tuple):
            assert [a.tobytes() for a in got] == [a.tobytes() for a in default]
        else:
            assert bits(got) == bits(default)


@pytest.mark.parametrize("limit", [-1, 2**64, -(2**64), 10**30])
def test_out_of_range_limits_raise_overflow(limit):
    with pytest.raises(OverflowError):
        rocket().predict_apogee_1dof(initial("1dof"), EULER, None, limit)


# ------------------------------------------------------------------ printing degenerate values


def fixed2(x, width):
    if math.isnan(x):
        text = "NaN"
    elif math.isinf(x):
        text = "inf" if x > 0 else "-inf"
    else:
        text = f"{x:.2f}"  # correctly rounded from the exact binary value
    return text.rjust(width)


def test_progress_lines_of_degenerate_values():
    """Extreme and non-finite values print in full, never truncated or in
    exponent form, one whole line per iteration."""
    heights = [-1.7976931348623157e308, 1e308, -0.0, -0.001, 5e-324, NAN, INF, -INF]
    code = textwrap.dedent(
        f"""
        import aeso
        r = aeso.Rocket(1.0, 0.5, 0.01, 0.02, 0.1, 0.05, 2.0)
        for h in {[h.hex() for h in heights]!r}:
            h = float.fromhex(h)
            try:
                r.predict_apogee_1dof(aeso.InitialState1DOF(h, 1e6), aeso.OdeMethod.Euler,
                                      aeso.FixedTimeStep(0.0), 2, True)
            except BaseException as exc:
                assert str(exc) == "Index out of bounds", exc
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=120)
    assert proc.returncode == 0, proc.stderr.decode()[-2000:]
    lines = proc.stdout.decode().splitlines(keepends=True)
    assert len(lines) == 2 * len(heights)
    for k, h in enumerate(heights):
        for i in range(2):
            height = h if i == 0 else h + 1e6 * 0.0  # a zero step still turns -0.0 into 0.0
            accel = NAN if i == 0 else ((((1e6 * 1e6) * -0.6125) * 0.5) * 0.01) / 1.0 + -9.80665
            expected = (
                f"Iter:{i:6d},    Time:{fixed2(0.0, 5)}(s),    Altitude:{fixed2(height, 8)}(m),    "
                f"Velocity:{fixed2(1e6, 8)}(m/s)    Acceleration:{fixed2(accel, 8)}(m/ss)\n"
            )
            assert lines[2 * k + i] == expected
