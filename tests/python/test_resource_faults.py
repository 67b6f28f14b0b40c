"""Runs that hit the limits of the process: a flight log or result array
that cannot be allocated, a standard output that cannot be written, and
memory use across many calls (success and error paths alike).

Faults that could take the interpreter down run in a child interpreter,
which reports what it saw on standard error and then shows that it still
works: another run, a free rocket, and (after running out of memory) room
for a large allocation, so the failed run's memory was given back.
"""

import contextlib
import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

import aeso

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

CHILD_PRELUDE = """
import os, resource, sys
import aeso

rocket = aeso.Rocket(1.0, 0.5, 0.01, 0.02, 0.1, 0.05, 2.0)
INIT = {"1dof": aeso.InitialState1DOF(0.0, 5.0), "3dof": aeso.InitialState3DOF(0.0, 0.0, 0.1, 1.0, 5.0, 0.0)}

REPORT_FD = os.dup(2)  # still open when a test closes standard error

def report(*words):
    os.write(REPORT_FD, (" ".join(str(w) for w in words) + "\\n").encode())

def outcome(fn):
    try:
        fn()
    except Exception as exc:
        return "Exception", type(exc).__name__, str(exc)
    except BaseException as exc:
        return "BaseException", type(exc).__name__, str(exc)
    return "ok", "", ""

EXPECTED = rocket.predict_apogee_1dof(INIT["1dof"], aeso.OdeMethod.Euler)

def still_works():
    value = rocket.predict_apogee_1dof(INIT["1dof"], aeso.OdeMethod.Euler)
    rocket.rocket_properties = rocket.rocket_properties  # no borrow was left behind
    report("STILL_WORKS", value == EXPECTED)

def address_space():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmSize")

def limit_address_space(extra):
    # NumPy is imported before the limit, so that only the run is starved.
    rocket.simulate_flight_1dof(INIT["1dof"], aeso.OdeMethod.Euler)
    limit = address_space() + extra
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
"""


def run_child(body, **popen):
    code = CHILD_PRELUDE + textwrap.dedent(body)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300, **popen)
    assert "Sanitizer" not in proc.stderr, proc.stderr[-5000:]
    reports = [line.split(" ", 1) for line in proc.stderr.splitlines() if line.startswith(("RESULT", "STILL_WORKS"))]
    return proc, reports


def assert_clean_exit(proc):
    assert proc.returncode == 0, f"child died ({proc.returncode}):\n{proc.stderr[-3000:]}"


SIMULATIONS = [("simulate_flight_1dof", "1dof"), ("simulate_flight_3dof", "3dof")]
ALL_METHODS = [("predict_apogee_1dof", "1dof"), ("predict_apogee_3dof", "3dof")] + SIMULATIONS


# ------------------------------------------------------------------ memory exhaustion

needs_plain_allocator = pytest.mark.skipif(
    UNDER_ASAN, reason="AddressSanitizer reserves its shadow memory inside the address-space limit"
)


@pytest.fixture(scope="module")
def address_space_limit():
    """Skips the test where an address-space limit is not enforced: qemu's user
    emulation (the arm64 tests) places the emulated process's memory itself and
    ignores RLIMIT_AS, so nothing can run out of memory there."""
    proc, reports = run_child(
        """
        limit_address_space(64 * 2**20)
        kind, name, message = outcome(lambda: bytearray(256 * 2**20))
        report("RESULT", kind, name)
        """
    )
    assert_clean_exit(proc)
    outcomes = [words.split() for _, words in reports]
    if outcomes == [["ok"]]:
        pytest.skip("this system does not enforce RLIMIT_AS (e.g. under qemu user emulation)")
    assert outcomes == [["Exception", "MemoryError"]]


@needs_plain_allocator
@pytest.mark.parametrize("method,kind", SIMULATIONS)
def test_flight_log_that_cannot_grow_raises_memory_error(address_space_limit, method, kind):
    # A zero step never reaches apogee, and the limit is never reached either:
    # the log grows until the address space runs out.
    proc, reports = run_child(
        f"""
        limit_address_space(256 * 2**20)
        for ode, options in ((aeso.OdeMethod.Euler, aeso.FixedTimeStep(0.0)),
                             (aeso.OdeMethod.RK3, aeso.FixedTimeStep(0.0)),
                             (aeso.OdeMethod.RK45, aeso.AdaptiveTimeStep(0.0, 0.0, 0.1, 0.01, 0.01))):
            kind, name, message = outcome(lambda: rocket.{method}(INIT["{kind}"], ode, options, 2**64 - 1))
            report("RESULT", kind, name, repr(message))
            # The failed run gave its memory back: half the room is free again
            # (a run that kept its log would hold more than half by now).
            block = bytearray(128 * 2**20)
            del block
        still_works()
        """
    )
    assert_clean_exit(proc)
    assert reports == [["RESULT", "Exception MemoryError ''"]] * 3 + [["STILL_WORKS", "True"]]


@needs_plain_allocator
@pytest.mark.parametrize("method,kind", SIMULATIONS)
def test_result_arrays_that_cannot_be_allocated_raise_internal_error(address_space_limit, method, kind):
    # 2 048 000 entries fill the log exactly (1000 doubled 11 times): 164 MB
    # fit, but the copies into NumPy arrays need as much again.
    proc, reports = run_child(
        f"""
        limit_address_space(250 * 2**20)
        kind, name, message = outcome(
            lambda: rocket.{method}(INIT["{kind}"], aeso.OdeMethod.Euler, aeso.FixedTimeStep(0.0), 2_048_000))
        report("RESULT", kind, name, message)
        block = bytearray(128 * 2**20)
        del block
        still_works()
        """
    )
    assert_clean_exit(proc)
    assert reports == [["RESULT", "BaseException InternalError Python API call failed"], ["STILL_WORKS", "True"]]
    # NumPy's own error is printed before the internal error is raised.
    assert "MemoryError" in proc.stderr


# ------------------------------------------------------------------ standard output faults

STDOUT_FAULTS = {
    # a pipe whose reading end is closed: EPIPE (the interpreter ignores SIGPIPE)
    "broken pipe": "r, w = os.pipe(); os.close(r); os.dup2(w, 1); os.close(w)",
    "closed": "os.close(1)",
    "device full": "fd = os.open('/dev/full', os.O_WRONLY); os.dup2(fd, 1); os.close(fd)",
    # the internal error's diagnostic cannot be written either
    "stdout and stderr closed": "os.close(1); os.close(2)",
}


@pytest.mark.parametrize("fault", sorted(STDOUT_FAULTS))
@pytest.mark.parametrize("method,kind", ALL_METHODS)
def test_unwritable_stdout_raises_internal_error(fault, method, kind):
    proc, reports = run_child(
        f"""
        {STDOUT_FAULTS[fault]}
        kind, name, message = outcome(
            lambda: rocket.{method}(INIT["{kind}"], aeso.OdeMethod.RK45, None, 100000, True))
        report("RESULT", kind, name, message)
        still_works()
        """
    )
    assert_clean_exit(proc)
    assert len(reports) == 2, proc.stderr
    result = reports[0][1].split(" ", 2)
    # Not an Exception: InternalError derives from BaseException only.
    assert result[:2] == ["BaseException", "InternalError"]
    assert result[2].startswith("failed printing to stdout: ")
    assert len(result[2]) > len("failed printing to stdout: ")
    assert reports[1] == ["STILL_WORKS", "True"]


@pytest.mark.parametrize("method,kind", ALL_METHODS)
def test_reader_going_away_mid_run(method, kind):
    """The parent reads part of a long printing run, then closes the pipe."""
    code = CHILD_PRELUDE + textwrap.dedent(
        f"""
        # A zero step never reaches apogee: it prints until the limit.
        kind, name, message = outcome(lambda: rocket.{method}(
            INIT["{kind}"], aeso.OdeMethod.Euler, aeso.FixedTimeStep(0.0), 10**7, True))
        report("RESULT", kind, name, message)
        still_works()
        """
    )
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        lines = [proc.stdout.readline() for _ in range(200)]
        proc.stdout.close()
        _, err = proc.communicate(timeout=300)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, err.decode()[-3000:]
    for i, line in enumerate(lines):
        assert line.startswith(b"Iter:") and line.endswith(b"\n"), line
        assert int(line[5:11]) == i
    reports = [line for line in err.decode().splitlines() if line.startswith(("RESULT", "STILL_WORKS"))]
    assert reports[0].startswith("RESULT BaseException InternalError failed printing to stdout: ")
    assert reports[1] == "STILL_WORKS True"


# ------------------------------------------------------------------ NumPy unavailable or broken

FAKE_NUMPY = {
    # (files of a package named numpy, the rendered cause in the message)
    "not a capsule": (
        {
            "numpy/__init__.py": "__version__ = '2.1.0'\n",
            "numpy/lib/__init__.py": "class NumpyVersion:\n    def __init__(self, v):\n        self.major = 2\n",
            "numpy/_core/__init__.py": "",
            "numpy/_core/multiarray.py": "_ARRAY_API = 5\n",
        },
        "TypeError: 'int' object cannot be cast as 'PyCapsule'",
    ),
    "version out of range": (
        {
            "numpy/__init__.py": "__version__ = '300.0.0'\n",
            "numpy/lib/__init__.py": "class NumpyVersion:\n    def __init__(self, v):\n        self.major = 300\n",
        },
        "OverflowError: ",
    ),
    "import fails": (
        {"numpy/__init__.py": "raise ImportError('numpy is broken here')\n"},
        "ImportError: numpy is broken here",
    ),
}


@pytest.mark.parametrize("case", sorted(FAKE_NUMPY))
@pytest.mark.parametrize("method,kind", SIMULATIONS)
def test_numpy_that_cannot_be_reached(case, method, kind, tmp_path):
    """Arrays need NumPy's C API; when it cannot be had, the call fails with
    an internal error naming the cause, and later calls try again."""
    files, cause = FAKE_NUMPY[case]
    for name, text in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    proc, reports = run_child(
        f"""
        sys.path.insert(0, {str(tmp_path)!r})
        for name in [m for m in sys.modules if m == "numpy" or m.startswith("numpy.")]:
            del sys.modules[name]
        kind, name, message = outcome(lambda: rocket.{method}(INIT["{kind}"], aeso.OdeMethod.Euler))
        report("RESULT", kind, name, message)
        # The predictions never need NumPy.
        report("RESULT", rocket.predict_apogee_1dof(INIT["1dof"], aeso.OdeMethod.Euler) == EXPECTED)
        # With the real NumPy back, the next call succeeds.
        sys.path.remove({str(tmp_path)!r})
        for name in [m for m in sys.modules if m == "numpy" or m.startswith("numpy.")]:
            del sys.modules[name]
        times, states = rocket.{method}(INIT["{kind}"], aeso.OdeMethod.Euler)
        report("RESULT", type(times).__module__, states.shape[1])
        still_works()
        """
    )
    assert_clean_exit(proc)
    assert [r[0] for r in reports] == ["RESULT", "RESULT", "RESULT", "STILL_WORKS"]
    assert reports[0][1].startswith(
        "BaseException InternalError Failed to access NumPy array API capsule: " + cause
    ), reports[0][1]
    assert reports[1:] == [["RESULT", "True"], ["RESULT", "numpy 9"], ["STILL_WORKS", "True"]]


# ------------------------------------------------------------------ memory across many calls


@contextlib.contextmanager
def stderr_silenced():
    """Internal errors write a diagnostic to fd 2 each time; keep the log small."""
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(fn, count, objects):
    """Runs fn `count` times after a warm-up; returns the growth of traced
    Python memory, of the resident set, and of each object's reference count."""
    for _ in range(2000):
        fn()
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    tracemalloc.start()
    try:
        rss = resident_bytes()
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(count):
            fn()
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0] - traced
        rss = resident_bytes() - rss
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(o) for o in objects]
    return traced, rss, [a - b for a, b in zip(after, refs)]


ROCKET = aeso.Rocket(1.0, 0.5, 0.01, 0.02, 0.1, 0.05, 2.0)
INIT1 = aeso.InitialState1DOF(0.0, 5.0)
INIT3 = aeso.InitialState3DOF(0.0, 0.0, 0.1, 1.0, 5.0, 0.0)
ADAPTIVE = aeso.AdaptiveTimeStep.default()
FIXED = aeso.FixedTimeStep(0.01)
BAD_BOUNDS = aeso.AdaptiveTimeStep(0.01, 0.2, 0.1, 0.01, 0.01)
RK45 = aeso.OdeMethod.RK45
EULER = aeso.OdeMethod.Euler
ARGS = [ROCKET, INIT1, INIT3, ADAPTIVE, FIXED, BAD_BOUNDS, RK45, EULER]


def catching(fn):
    def call():
        try:
            fn()
        except BaseException:  # noqa: BLE001 - only the memory of the failure path is of interest
            pass

    return call


def setter_calls():
    props = ROCKET.rocket_properties
    ROCKET.rocket_properties = props
    INIT1.initial_velocity = 5.0
    ADAPTIVE.dt_max = 0.1
    return ADAPTIVE.next_dt(0.5) + props.cl_a + FIXED.dt + int(RK45) + (RK45 == 2)


CALLS = {
    "predict_apogee_1dof": (100_000, lambda: ROCKET.predict_apogee_1dof(INIT1, RK45, ADAPTIVE)),
    "predict_apogee_3dof": (100_000, lambda: ROCKET.predict_apogee_3dof(INIT3, RK45, ADAPTIVE)),
    "simulate_flight_1dof": (100_000, lambda: ROCKET.simulate_flight_1dof(INIT1, RK45, ADAPTIVE)),
    "simulate_flight_3dof": (100_000, lambda: ROCKET.simulate_flight_3dof(INIT3, RK45, ADAPTIVE)),
    "constructors, getters, setters, next_dt": (100_000, setter_calls),
    "method mismatch": (20_000, catching(lambda: ROCKET.predict_apogee_1dof(INIT1, RK45, FIXED))),
    "wrapped conversion error": (20_000, catching(lambda: ROCKET.simulate_flight_3dof(INIT3, RK45, None, 2.5))),
    "composite options error": (20_000, catching(lambda: ROCKET.simulate_flight_1dof(INIT1, EULER, RK45))),
    "overflowing limit": (20_000, catching(lambda: ROCKET.predict_apogee_3dof(INIT3, RK45, None, -1))),
    "no apogee within the limit": (20_000, catching(lambda: ROCKET.predict_apogee_1dof(INIT1, EULER, FIXED, 3))),
    "step bounds in a run": (20_000, catching(lambda: ROCKET.simulate_flight_1dof(INIT1, RK45, BAD_BOUNDS))),
    "step bounds in next_dt": (20_000, catching(lambda: BAD_BOUNDS.next_dt(1.0))),
    "constructor conversion error": (20_000, catching(lambda: aeso.Rocket(1, 2, 3, 4, 5, 6, "x"))),
    "setter conversion error": (20_000, catching(lambda: setattr(INIT3, "vy", None))),
    "binding error": (20_000, catching(lambda: ROCKET.predict_apogee_1dof(INIT1, RK45, foo=1))),
}


@pytest.mark.parametrize("name", list(CALLS))
def test_many_calls_leave_memory_flat(name):
    count, fn = CALLS[name]
    with stderr_silenced():
        traced, rss, refs = measure(fn, count, ARGS)
    assert refs == [0] * len(ARGS), "a reference to an argument was leaked"
    # One leaked float per call would be 2.4 MB of traced memory.
    assert traced < 64 * 1024, f"Python memory grew by {traced} bytes over {count} calls"
    if not UNDER_ASAN:  # ASan's quarantine holds freed blocks, so RSS grows there
        # One leaked 16-byte block per call would be 1.6 MB (or 320 kB at 20 000).
        assert rss < 256 * 1024, f"resident set grew by {rss} bytes over {count} calls"
