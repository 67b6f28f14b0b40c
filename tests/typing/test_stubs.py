"""Static typing of the installed aeso module and aeso_flight package, as a
user's type checker sees them.

aeso's stubs ship as the stub-only package ``aeso-stubs`` beside the
extension; aeso_flight is annotated inline (py.typed) with a stub for its
compiled part. These tests run mypy (strict) and stubtest against the installed distribution,
so they need ``pip install .[typing]`` (or a wheel) first; they do not look at
the stub file in the source tree.
"""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import aeso

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
MYPY_CONFIG = HERE / "mypy.ini"
ALLOWLIST = HERE / "stubtest-allowlist.txt"
USER_SCRIPTS = [HERE / "user_script.py", HERE / "flight_user_script.py"]

PRELUDE = textwrap.dedent("""\
    import aeso
    rocket = aeso.Rocket(20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0)
    vertical = aeso.InitialState1DOF(0.0, 250.0)
    planar = aeso.InitialState3DOF(0.0, 0.0, 0.05, -12.49, 249.69, 0.0)
    import aeso_flight
    air = aeso_flight.Atmosphere.standard(site_elevation=1401.0)
    vehicle = aeso_flight.Vehicle(rocket)
    braked = aeso_flight.Vehicle(rocket, brakes=aeso_flight.Brakes([0.0, 1.0], [0.3], [[0.0], [0.5]]))
""")
# Line number, in a generated case file, of the snippet that follows PRELUDE.
SNIPPET_LINE = PRELUDE.count("\n") + 1

# Wrong uses of the module: the snippet, the mypy error code and a fragment of
# the message mypy must report on the snippet's line, and what the same snippet
# does at run time: the exception it raises, or, where only the type checker
# can see the mistake, the (variable, type) it leaves behind.
WRONG_USES = [
    pytest.param(
        "apogee: str = rocket.predict_apogee_1dof(vertical, aeso.OdeMethod.RK45)",
        "assignment", 'expression has type "float", variable has type "str"', ("apogee", float),
        id="apogee-assigned-to-str"),
    pytest.param(
        "rocket.predict_apogee_1dof(aeso.FixedTimeStep(0.01), aeso.OdeMethod.Euler)",
        "arg-type", 'Argument 1 to "predict_apogee_1dof" of "Rocket" has incompatible type '
        '"FixedTimeStep"; expected "InitialState1DOF"', TypeError,
        id="time-step-as-initial-state"),
    pytest.param(
        "rocket.simulate_flight_3dof(vertical, aeso.OdeMethod.RK3)",
        "arg-type", 'has incompatible type "InitialState1DOF"; expected "InitialState3DOF"',
        TypeError, id="1dof-state-to-3dof-method"),
    pytest.param(
        "rocket.predict_apogee_1dof(vertical, aeso.OdeMethod.RK45, aeso.OdeMethod.RK45)",
        "arg-type", 'Argument 3 to "predict_apogee_1dof" of "Rocket" has incompatible type '
        '"OdeMethod"', TypeError, id="method-as-time-step"),
    pytest.param(
        "rocket.predict_apogee_1dof(vertical, aeso.OdeMethod.RK45, print_output=1)",
        "arg-type", 'Argument "print_output" to "predict_apogee_1dof" of "Rocket" has '
        'incompatible type "int"', TypeError, id="int-print-output"),
    pytest.param(
        "rocket.predict_apogee_3dof(planar, aeso.OdeMethod.RK45, max_iterations=2.0)",
        "arg-type", 'Argument "max_iterations" to "predict_apogee_3dof" of "Rocket" has '
        'incompatible type "float"', TypeError, id="float-max-iterations"),
    pytest.param(
        "times, states = rocket.predict_apogee_1dof(vertical, aeso.OdeMethod.RK45)",
        "misc", '"float" object is not iterable', TypeError, id="unpacking-an-apogee"),
    pytest.param(
        'aeso.FixedTimeStep(0.1).dt = "0.2"',
        "assignment", 'expression has type "str", variable has type "SupportsFloat | '
        'SupportsIndex"', TypeError,
        id="str-time-step"),
    pytest.param(
        "rocket.rocket_properties.mass = None",
        "assignment", 'expression has type "None"', TypeError, id="none-mass"),
    pytest.param(
        "aeso.AdaptiveTimeStep(0.01)",
        "call-arg", 'Missing positional arguments "dt_min"', TypeError,
        id="missing-constructor-arguments"),
    pytest.param(
        "aeso.OdeMethod.Euler < aeso.OdeMethod.RK3",
        "operator", 'Unsupported left operand type for < ("OdeMethod")', TypeError,
        id="ordering-methods"),
    pytest.param(
        "aeso.InternalError",
        "attr-defined", 'Module has no attribute "InternalError"', AttributeError,
        id="internal-error-not-an-attribute"),
    pytest.param(
        "class Heavier(aeso.Rocket): pass",
        "misc", 'Cannot inherit from final class "Rocket"', TypeError,
        id="subclassing"),
    # aeso_flight
    pytest.param(
        "vehicle.predict_apogee_1dof(vertical, aeso.OdeMethod.RK45)",
        "call-arg", 'Missing named argument "atmosphere"', TypeError, id="flight-without-atmosphere"),
    pytest.param(
        "vehicle.predict_apogee_1dof(vertical, aeso.OdeMethod.RK45, atmosphere=1.225)",
        "arg-type", 'Argument "atmosphere" to "predict_apogee_1dof" of "Vehicle" has incompatible type '
        '"float"; expected "Atmosphere"', TypeError, id="density-as-atmosphere"),
    pytest.param(
        "vehicle.predict_apogee_3dof(vertical, aeso.OdeMethod.RK45, atmosphere=air)",
        "arg-type", 'has incompatible type "InitialState1DOF"; expected "InitialState3DOF"', TypeError,
        id="flight-1dof-state-to-3dof-method"),
    pytest.param(
        "apogee: str = vehicle.predict_apogee_1dof(vertical, aeso.OdeMethod.RK45, atmosphere=air)",
        "assignment", 'expression has type "float", variable has type "str"', ("apogee", float),
        id="flight-apogee-assigned-to-str"),
    pytest.param(
        "aeso_flight.Vehicle(rocket, drag=0.35)",
        "arg-type", 'Argument "drag" to "Vehicle" has incompatible type "float"; expected "Drag | None"',
        TypeError, id="number-as-drag"),
    pytest.param(
        "braked.deployment_for_apogee(3048.0, vertical, aeso.OdeMethod.RK45, atmosphere=air, start=0.5)",
        "arg-type", 'Argument "start" to "deployment_for_apogee" of "Vehicle" has incompatible type "float"',
        TypeError, id="level-as-warm-start"),
    pytest.param(
        "vehicle.drag_scale_for_apogee(3048.0, vertical, aeso.OdeMethod.RK45, atmosphere=air).level",
        "attr-defined", '"DragScaleSolution" has no attribute "level"', AttributeError,
        id="drag-scale-has-no-level"),
    pytest.param(
        "air.kind = 'constant'",
        "misc", 'Property "kind" defined in "Atmosphere" is read-only', AttributeError,
        id="atmosphere-is-immutable"),
]

MYPY_LINE = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): (?P<kind>error|note): "
                       r"(?P<message>.*?)(?:  \[(?P<code>[a-z-]+)\])?$")


def run_mypy(paths, cwd):
    """Runs mypy (strict, tests/typing/mypy.ini) on `paths` from `cwd`;
    returns the completed process."""
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(MYPY_CONFIG),
         "--cache-dir", str(Path(cwd) / ".mypy_cache"), "--no-error-summary",
         "--show-error-codes", "--no-pretty", *map(str, paths)],
        cwd=cwd, capture_output=True, text=True, timeout=600)


def errors_by_file(output):
    """mypy's error lines as {file name: [(line, code, message)]}."""
    errors = {}
    for line in output.splitlines():
        match = MYPY_LINE.match(line)
        if match and match["kind"] == "error":
            errors.setdefault(Path(match["file"]).name, []).append(
                (int(match["line"]), match["code"], match["message"]))
    return errors


@pytest.fixture(scope="module")
def wrong_use_errors(tmp_path_factory):
    """One mypy run over a file per wrong use; its errors grouped by file."""
    directory = tmp_path_factory.mktemp("wrong_uses")
    paths = []
    for case in WRONG_USES:
        path = directory / f"case_{case.id.replace('-', '_')}.py"
        path.write_text(PRELUDE + case.values[0] + "\n")
        paths.append(path)
    result = run_mypy(paths, directory)
    assert result.returncode == 1, result.stdout + result.stderr
    return errors_by_file(result.stdout), result.stdout


def test_stub_package_is_installed_beside_the_module():
    site = Path(aeso.__file__).resolve().parent
    assert (site / "aeso-stubs" / "__init__.pyi").is_file()
    # A lone aeso.pyi in site-packages is invisible to type checkers.
    assert not (site / "aeso.pyi").exists()


def test_examples_and_typed_user_scripts_pass_strict_mypy(tmp_path):
    scripts = [*USER_SCRIPTS, *sorted((REPO / "examples").glob("*.py"))]
    assert len(scripts) >= 4
    result = run_mypy(scripts, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout == "", result.stdout


def test_aeso_flight_passes_strict_mypy(tmp_path):
    """The installed package, its annotations and its compiled part's stub."""
    import aeso_flight

    package = Path(aeso_flight.__file__).resolve().parent
    assert (package / "py.typed").is_file() and (package / "_native.pyi").is_file()
    result = run_mypy(["-p", "aeso_flight"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("script", USER_SCRIPTS, ids=lambda p: p.stem)
def test_typed_user_script_runs(script):
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("snippet, code, fragment, at_run_time", WRONG_USES)
def test_wrong_use_is_reported_on_its_line(wrong_use_errors, request, snippet, code,
                                           fragment, at_run_time):
    errors, output = wrong_use_errors
    name = f"case_{request.node.callspec.id.replace('-', '_')}.py"
    reported = errors.get(name, [])
    assert [(line, c) for line, c, _ in reported] == [(SNIPPET_LINE, code)], output
    assert fragment in reported[0][2]


@pytest.mark.parametrize("snippet, code, fragment, at_run_time", WRONG_USES)
def test_wrong_use_at_run_time(snippet, code, fragment, at_run_time):
    source = compile(PRELUDE + snippet + "\n", "<wrong use>", "exec")
    namespace = {}
    if isinstance(at_run_time, tuple):
        # Nothing fails at run time: the annotation is silently wrong.
        exec(source, namespace)
        name, actual_type = at_run_time
        assert type(namespace[name]) is actual_type
    else:
        with pytest.raises(at_run_time):
            exec(source, namespace)


@pytest.mark.parametrize("module, allowlist", [("aeso", ["--allowlist", str(ALLOWLIST)]), ("aeso_flight", [])])
def test_stubtest_passes_with_only_the_allowlisted_differences(tmp_path, module, allowlist):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module, *allowlist, "--mypy-config-file", str(MYPY_CONFIG)],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
        env={**os.environ, "MYPY_CACHE_DIR": str(tmp_path / ".mypy_cache")})
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout
