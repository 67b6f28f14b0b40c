import csv
import math

import pytest

import aeso
from aeso_dispersion import Study, normal, triangular, uniform

NOMINAL_ROCKET = dict(mass=20.0, cd=0.45, area_drag=0.0081, area_lift=0.0081,
                      moment_of_inertia=8.5, stab_margin_dimensional=0.25, cl_a=2.0)


def rocket_section(**dispersed):
    return {**NOMINAL_ROCKET, **dispersed}


def small_study(block_size=7, **solver):
    """A 3-DOF RK45 study dispersing inputs of every kind of object, with a
    small block size so that a few dozen samples span several blocks."""
    return Study(
        rocket=rocket_section(mass=normal(20.0, 0.4), cd=uniform(0.42, 0.48),
                              cl_a=triangular(1.8, 2.0, 2.3)),
        initial_state=dict(angle=normal(0.05, 0.02), speed=normal(250.0, 5.0),
                           angular_rate=uniform(-0.01, 0.01)),
        solver=dict(method="RK45", **solver),
        block_size=block_size,
    )


def expected_apogee(study, values):
    """The apogee of one sample computed directly with aeso, from the study's
    fixed inputs and the sample's drawn values ({"section.key": value})."""
    sections = {"rocket": dict(study.rocket), "initial_state": dict(study.initial_state),
                "solver": dict(study.solver)}
    for name, value in values.items():
        section, key = name.split(".")
        sections[section][key] = value
    for section in sections.values():
        for key, value in section.items():
            assert isinstance(value, float), (key, value)  # every distribution replaced
    rocket = aeso.Rocket(**sections["rocket"])
    state = sections["initial_state"]
    if study.model == "1dof":
        initial = aeso.InitialState1DOF(**state)
    else:
        if "speed" in state:
            speed = state.pop("speed")
            state["vx"] = -speed * math.sin(state["angle"])
            state["vy"] = speed * math.cos(state["angle"])
        initial = aeso.InitialState3DOF(**state)
    solver = sections["solver"]
    if study.method == "RK45":
        step = aeso.AdaptiveTimeStep(**solver)
    else:
        step = aeso.FixedTimeStep(solver["dt"])
    method = getattr(aeso.OdeMethod, study.method)
    predict = rocket.predict_apogee_3dof if study.model == "3dof" else rocket.predict_apogee_1dof
    return predict(initial, method, step, study.max_iterations)


@pytest.fixture
def study():
    return small_study()


def read_rows(path):
    """The sample rows of a results CSV file, as dicts, past its "# " lines."""
    with open(path, newline="") as f:
        return list(csv.DictReader(line for line in f if not line.startswith("# ")))
