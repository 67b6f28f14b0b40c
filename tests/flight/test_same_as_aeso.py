"""In aeso's air (Atmosphere.constant(), the rocket's own cd, no brakes)
every flight is aeso's to the bit: predictions, and the nine columns a flight
log shares with aeso's, times included. The cases are the golden cases of
bench/run_hashes.py whose states are ahead of their apogee and finite."""

import importlib.util
import math
import pathlib

import aeso
import numpy as np
import pytest
from conftest import METHODS, same_bits

from aeso_flight import Atmosphere, Drag, FlightError, Vehicle

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "bench" / "run_hashes.py"
_spec = importlib.util.spec_from_file_location("run_hashes", SCRIPT)
golden = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(golden)

AIR = Atmosphere.constant()


def finite(values):
    return all(math.isfinite(v) for v in values)


def flyable(dof, values):
    vertical = values[1] if dof == 1 else values[4]
    return finite(values) and vertical > 0.5 and (dof == 1 or abs(values[2]) < math.pi / 2)


def rocket_ok(props):
    mass, cd, area_drag, area_lift, inertia = props[:5]
    return finite(props) and mass > 0 and area_drag > 0 and inertia > 0 and cd >= 0 and area_lift >= 0


def options_ok(values, method):
    if values is None:
        return True
    adaptive = method == aeso.OdeMethod.RK45
    if values == "default":
        return adaptive
    return (len(values) == 5) == adaptive and finite(values) and min(values[:3]) > 0 \
        and all(v >= 0 for v in values[3:]) and (not adaptive or values[1] <= values[2])


def cases():
    states = {1: golden.INITIAL_1DOF, 3: golden.INITIAL_3DOF}
    for r, props in enumerate(golden.ROCKETS):
        for dof in (1, 3):
            for i, values in enumerate(states[dof]):
                if rocket_ok(props) and flyable(dof, values):
                    for method in METHODS:
                        yield pytest.param(props, dof, values, method, None, id=f"r{r}-{dof}dof-i{i}-{int(method)}")
    for r, dof, i in [(0, 1, 0), (0, 3, 0), (1, 3, 2), (3, 3, 3), (2, 1, 1)]:
        values = states[dof][i]
        for method in METHODS:
            for s, options in enumerate(golden.FIXED_OPTIONS + golden.ADAPTIVE_OPTIONS):
                if options is not None and options_ok(options, method):
                    yield pytest.param(golden.ROCKETS[r], dof, values, method, options,
                                       id=f"r{r}-{dof}dof-i{i}-{int(method)}-s{s}")


def run(fly, *args, **kwargs):
    try:
        return fly(*args, **kwargs)
    except BaseException as exc:  # aeso's InternalError derives from BaseException
        if isinstance(exc, KeyboardInterrupt):
            raise
        return exc


@pytest.mark.parametrize("props, dof, values, method, options", list(cases()))
def test_flights_in_aesos_air_are_aesos_to_the_bit(props, dof, values, method, options):
    rocket = aeso.Rocket(*props)
    vehicle = Vehicle(rocket)
    initial = aeso.InitialState1DOF(*values) if dof == 1 else aeso.InitialState3DOF(*values)
    step = golden.make_options(options, method == aeso.OdeMethod.RK45)
    ours = {1: (vehicle.predict_apogee_1dof, vehicle.simulate_flight_1dof),
            3: (vehicle.predict_apogee_3dof, vehicle.simulate_flight_3dof)}[dof]
    theirs = {1: (rocket.predict_apogee_1dof, rocket.simulate_flight_1dof),
              3: (rocket.predict_apogee_3dof, rocket.simulate_flight_3dof)}[dof]
    apogee = run(theirs[0], initial, method, step, 20000)
    log = run(theirs[1], initial, method, step, 20000)
    if isinstance(apogee, BaseException):
        # aeso's iteration limit is a failed flight here, with its reason.
        with pytest.raises(FlightError) as failed:
            ours[0](initial, method, step, 20000, atmosphere=AIR)
        assert failed.value.reason == "iteration_limit"
        return
    assert same_bits(ours[0](initial, method, step, 20000, atmosphere=AIR), apogee)
    times, states = ours[1](initial, method, step, 20000, atmosphere=AIR)
    assert same_bits(times, log[0])
    assert same_bits(states[:, :9], log[1])
    assert states.shape == (times.size, 12)


@pytest.mark.parametrize("dof", [1, 3])
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("drag", [Drag.constant(0.45), Drag([0.0, 0.7, 2.5], [0.45, 0.45, 0.45])],
                         ids=["constant", "flat-table"])
def test_a_constant_drag_is_the_rockets_cd_to_the_bit(dof, method, drag):
    props = golden.ROCKETS[0]  # cd 0.45
    rocket = aeso.Rocket(*props)
    vehicle = Vehicle(aeso.Rocket(*props[:1], 0.1, *props[2:]), drag=drag)
    if dof == 1:
        initial = aeso.InitialState1DOF(*golden.INITIAL_1DOF[0])
        expected = rocket.simulate_flight_1dof(initial, method)
        got = vehicle.simulate_flight_1dof(initial, method, atmosphere=AIR)
    else:
        initial = aeso.InitialState3DOF(*golden.INITIAL_3DOF[2])
        expected = rocket.simulate_flight_3dof(initial, method)
        got = vehicle.simulate_flight_3dof(initial, method, atmosphere=AIR)
    assert same_bits(got[0], expected[0])
    assert same_bits(got[1][:, :9], expected[1])
    assert np.all(got[1][:, 9] == 1.225)
