import subprocess
import sys
import textwrap

import pytest

import aeso

ROCKET_ARGS = dict(
    mass=1.0,
    cd=0.5,
    area_drag=0.01,
    area_lift=0.02,
    moment_of_inertia=0.1,
    stab_margin_dimensional=0.05,
    cl_a=2.0,
)


@pytest.fixture
def rocket():
    return aeso.Rocket(**ROCKET_ARGS)


def run_python(code):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
