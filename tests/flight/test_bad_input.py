"""Bad input: one clear ValueError or TypeError naming the argument, before
anything flies; a flight that leaves the atmosphere fails with its reason."""

import aeso
import numpy as np
import pytest
from conftest import BRAKES, RK45, rocket, state

from aeso_flight import Atmosphere, Brakes, Drag, FlightError, Vehicle

NAN = float("nan")
AIR = Atmosphere.standard(site_elevation=1401.0)
PLAIN = Vehicle(rocket())
BRAKED = Vehicle(rocket(), brakes=Brakes(**BRAKES))


class FailingFloat:
    """A number whose conversion to float fails."""

    def __float__(self):
        raise RuntimeError("sensor offline")


def brakes(**changes):
    return Brakes(**{**BRAKES, **changes})


def fly(vehicle=PLAIN, initial=None, *args, **kwargs):
    return vehicle.predict_apogee_1dof(initial or state(1), *(args or (RK45,)), **{"atmosphere": AIR, **kwargs})


BAD = [
    (lambda: Drag([0.3, 0.3], [0.4, 0.4]), ValueError, "mach must be strictly increasing"),
    (lambda: Drag([0.9, 0.3], [0.4, 0.4]), ValueError, "mach must be strictly increasing"),
    (lambda: brakes(mach=[0.9, 0.3]), ValueError, "mach must be strictly increasing"),
    (lambda: brakes(deployment=[0.0, 0.6, 0.5, 1.0], cd=[[0, 0]] * 4), ValueError, "deployment must be strictly"),
    (lambda: brakes(deployment=[0.0, 0.5, 0.8]), ValueError, "deployment must run from 0"),
    (lambda: brakes(deployment=[0.1, 0.5, 1.0]), ValueError, "deployment must run from 0"),
    (lambda: Drag([0.3, 0.9], [0.4, NAN]), ValueError, "cd must be finite"),
    (lambda: Drag([0.3, 0.9], [0.4, -0.1]), ValueError, "cd must not be negative"),
    (lambda: Drag.constant(-0.1), ValueError, "cd must not be negative"),
    (lambda: brakes(cd=[[0, -1], [0.4, 0.45], [0.9, 1.0]]), ValueError, "cd must not be negative"),
    (lambda: brakes(cd=[[0, NAN], [0.4, 0.45], [0.9, 1.0]]), ValueError, "cd must be finite"),
    (lambda: brakes(cd=[[0, 0, 0]] * 3), ValueError, "cd must have one row per deployment"),
    (lambda: fly(BRAKED, deployment=1.5), ValueError, "deployment must be from 0 to 1"),
    (lambda: fly(BRAKED, deployment=-0.1), ValueError, "deployment must be from 0 to 1"),
    (lambda: fly(BRAKED, deployment=([0, 1], [0.2, 1.2])), ValueError, "deployment levels must be from 0 to 1"),
    (lambda: fly(BRAKED, deployment=([1, 0], [0.2, 0.2])), ValueError, "deployment times must be strictly"),
    (lambda: fly(BRAKED), ValueError, "deployment is required"),
    (lambda: fly(PLAIN, deployment=0.5), ValueError, "deployment: this vehicle has no brakes"),
    (lambda: BRAKED.deployment_for_apogee(NAN, state(1), RK45, atmosphere=AIR), ValueError, "target must be finite"),
    (lambda: PLAIN.drag_scale_for_apogee(NAN, state(3), RK45, atmosphere=AIR), ValueError, "target must be finite"),
    (lambda: BRAKED.deployment_for_apogee("3048", state(1), RK45, atmosphere=AIR), TypeError, "target must be a number"),
    (lambda: Atmosphere.standard(site_elevation=90000.0), ValueError, "site_elevation must lie within"),
    (lambda: Atmosphere.standard(site_elevation=-6000.0), ValueError, "site_elevation must lie within"),
    (lambda: Atmosphere.standard(site_elevation=NAN), ValueError, "site_elevation must be finite"),
    (lambda: Atmosphere.standard(1401.0, 5.0, pad_temperature=290.0), ValueError, "temperature_offset or pad"),
    (lambda: Atmosphere.standard(1401.0, pad_pressure=856.0), ValueError, "pad_pressure is in pascals"),
    (lambda: Atmosphere.standard(1401.0, pad_temperature=20.0), ValueError, "pad_temperature is in kelvin"),
    (lambda: Atmosphere.constant(-1.0), ValueError, "density must be positive"),
    (lambda: AIR.density(90000.0), ValueError, "height"),
    (lambda: AIR.pressure([0.0, NAN]), ValueError, "height"),
    (lambda: fly(initial=aeso.InitialState1DOF(90000.0, 10.0)), ValueError, "initial_state's altitude"),
    (lambda: fly(initial=aeso.InitialState1DOF(3000.0, 0.5)), ValueError, "initial_state is at or past its apogee"),
    (lambda: fly(initial=aeso.InitialState1DOF(3000.0, NAN)), ValueError, "initial_state.initial_velocity"),
    (lambda: PLAIN.predict_apogee_3dof(aeso.InitialState3DOF(0, 100, 0.1, 5, -2, 0), RK45, atmosphere=AIR),
     ValueError, "initial_state is at or past its apogee"),
    (lambda: Vehicle(rocket(), drag=Drag.constant(0.3), brakes=brakes(replace=True)), ValueError, "replace=True"),
    (lambda: Vehicle(rocket(mass=0.0)), ValueError, "rocket.mass must be positive"),
    (lambda: Drag([0.3, True], [0.4, 0.4]), TypeError, "mach must be a sequence of numbers, not of bool"),
    (lambda: Drag(["0.3", "0.9"], [0.4, 0.4]), TypeError, "mach must be a sequence of numbers, not of str"),
    (lambda: Drag(np.array(["2020-01-01", "2020-01-02"], dtype="datetime64[D]"), [0.4, 0.4]), TypeError,
     "mach must be a sequence of numbers, not of an array of datetime64"),
    (lambda: brakes(cd=[[0, False], [0.4, 0.45], [0.9, 1.0]]), TypeError, "cd must be a sequence of numbers"),
    (lambda: fly(BRAKED, deployment={0.0: 0.5}), TypeError, "deployment must be a number"),
    (lambda: fly(BRAKED, deployment=np.array([0.2, 0.4])), TypeError, "deployment must be a level from 0 to 1 or a"),
    (lambda: Drag.constant(FailingFloat()), TypeError, "converting FailingFloat to float raised RuntimeError"),
    (lambda: PLAIN.deployment_for_apogee(3048.0, state(1), RK45, atmosphere=AIR), ValueError, "needs a vehicle with"),
    (lambda: Vehicle("rocket"), TypeError, "rocket must be an aeso.Rocket"),
    (lambda: Vehicle(rocket(), drag=0.3), TypeError, "drag must be a Drag"),
    (lambda: Vehicle(rocket(), brakes=[[0.0]]), TypeError, "brakes must be a Brakes"),
    (lambda: brakes(replace="yes"), TypeError, "replace must be a bool"),
    (lambda: Drag("0.3", [0.3]), TypeError, "mach must be a sequence"),
    (lambda: fly(atmosphere="standard"), TypeError, "atmosphere must be an Atmosphere"),
    (lambda: fly(PLAIN, state(1), 2), TypeError, "method must be an aeso.OdeMethod"),
    (lambda: fly(PLAIN, state(3)), TypeError, "initial_state must be an aeso.InitialState1DOF"),
    (lambda: fly(PLAIN, state(1), RK45, 0.01), TypeError, "timestep_config must be"),
    (lambda: fly(PLAIN, state(1), RK45, None, 1.5), TypeError, "max_iterations must be an integer"),
    (lambda: fly(PLAIN, state(1), RK45, aeso.AdaptiveTimeStep(0.01, 0.2, 0.1, 1e-3, 1e-3)), ValueError,
     "timestep_config.dt_min"),
    (lambda: BRAKED.deployment_for_apogee(3048.0, state(1), RK45, atmosphere=AIR, start=0.5), TypeError,
     "start must be a DeploymentSolution"),
]


@pytest.mark.parametrize("call, error, message", BAD, ids=[f"{i}-{m[:30]}" for i, (_, _, m) in enumerate(BAD)])
def test_bad_input_is_refused_naming_the_argument(call, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(")) as refused:
        call()
    assert "np.float64" not in str(refused.value)
    if isinstance(refused.value.__cause__, RuntimeError):  # the conversion's own failure is kept
        assert str(refused.value.__cause__) == "sensor offline"


@pytest.mark.parametrize("dof", [1, 3])
def test_a_flight_that_leaves_the_atmosphere_fails_with_its_reason(dof):
    near_the_top = Atmosphere.standard(site_elevation=85000.0)
    initial = state(dof, (0.0, 600.0) if dof == 1 else (0.0, 0.0, 0.0, 0.0, 600.0, 0.0))
    fly_ = PLAIN.predict_apogee_1dof if dof == 1 else PLAIN.predict_apogee_3dof
    with pytest.raises(FlightError) as failed:
        fly_(initial, RK45, atmosphere=near_the_top)
    assert failed.value.reason == "left_atmosphere"
    assert failed.value.height > near_the_top.heights[1]
