#!/usr/bin/env python3
"""Hash of every observable result of a broad set of runs.

Runs all three methods on both models, as predictions and as full
simulations, over several rockets, initial states, step options and
iteration limits (NaN, infinite, zero and negative values included), with
printing on for a subset (standard output captured at file descriptor 1),
plus the step controller's proposals and the messages of rejected arguments.
Every result contributes its exact bytes: float bits, array shapes, dtypes
and contents, printed text, and exception types and messages (with their
__cause__ chains). Every NaN contributes the same bytes: the sign and payload
of a NaN are not part of a result (x86-64 and ARM make different ones). Standard error is not hashed: it carries the internal-
error diagnostic, whose wording is not a result.

Prints one SHA-256 per section and one over everything. Two builds whose
totals agree behave the same on every case below, to the last bit.

    python3 bench/run_hashes.py             # hashes only
    python3 bench/run_hashes.py --verbose   # also the number of cases per section
"""

import argparse
import hashlib
import math
import os
import struct
import sys
import tempfile

import numpy as np

import aeso
from aeso import (AdaptiveTimeStep, FixedTimeStep, InitialState1DOF, InitialState3DOF, OdeMethod,
                  Rocket)

NAN = float("nan")
INF = float("inf")
METHODS = (OdeMethod.Euler, OdeMethod.RK3, OdeMethod.RK45)
CANONICAL_NAN_BITS = 0x7FF8000000000000  # the positive quiet NaN without payload

ROCKETS = [
    (20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0),  # the benchmark rocket
    (1.0, 0.5, 0.01, 0.123, 0.5, 0.1, 2.0),        # the C++ tests' 3-DOF rocket
    (1.0, 0.0, 0.01, 0.01, 1.0, 0.1, 2.0),         # no drag: pure gravity
    (3.5, 0.75, 0.002, 0.002, 0.3, -0.05, 6.0),    # unstable, strong lift
    (50.0, 0.3, 0.02, 0.02, 40.0, 0.5, 0.0),       # no lift
    (NAN, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0),
    (20.0, INF, 0.0081, 0.0081, 8.5, 0.25, 2.0),
    (0.0, 0.45, 0.0081, 0.0081, 0.0, 0.25, 2.0),
]

INITIAL_1DOF = [
    (0.0, 250.0),
    (100.0, 50.0),
    (0.0, 0.4),   # below the apogee threshold at once
    (0.0, 0.0),
    (-3.0, -5.0),
    (0.0, NAN),
    (0.0, INF),
    (1e3, 1e4),
]

INITIAL_3DOF = [
    (0.0, 0.0, 0.05, -250.0 * math.sin(0.05), 250.0 * math.cos(0.05), 0.0),
    (0.0, 0.0, 0.0, 0.0, 100.0, 0.0),  # exactly nose first
    (1.0, 2.0, 0.3, 20.0, 100.0, 0.1),
    (0.0, 0.0, -0.2, -10.0, 80.0, -0.5),
    (0.0, 0.0, math.pi, 0.0, 50.0, 0.0),  # tail first
    (0.0, 0.0, 0.0, 0.0, 0.0, 0.0),       # zero airspeed
    (0.0, 0.0, NAN, 0.0, 100.0, 0.0),
    (0.0, 0.0, 0.0, 0.0, INF, 0.0),
    (0.0, 0.0, 0.1, 0.0, 0.3, 0.0),
]

FIXED_OPTIONS = [None, (0.01,), (0.1,), (0.0037,), (0.0,), (-0.01,), (NAN,), (INF,)]
ADAPTIVE_OPTIONS = [
    None,
    "default",
    (0.01, 1e-6, 0.1, 1e-3, 1e-3),
    (0.1, 1e-4, 1.0, 1e-8, 1e-8),
    (1e-3, 1e-9, 10.0, 1e-12, 0.0),
    (0.05, 0.05, 0.05, 0.01, 0.01),
    (0.01, 0.2, 0.1, 0.01, 0.01),  # crossed bounds
    (0.01, NAN, 0.1, 0.01, 0.01),
    (0.01, 1e-6, INF, 0.01, 0.01),
    (NAN, 1e-6, 0.1, 0.01, 0.01),
    (0.01, 1e-6, 0.1, NAN, 0.01),
    (-0.01, -1.0, 0.1, 0.01, 0.01),
]
MAX_ITERATIONS = [None, 0, 1, 2, 7, 300]


def make_options(values, adaptive):
    if values is None:
        return None
    if values == "default":
        return AdaptiveTimeStep.default()
    return AdaptiveTimeStep(*values) if adaptive else FixedTimeStep(*values)


class Section:
    def __init__(self, name):
        self.name = name
        self.digest = hashlib.sha256()
        self.cases = 0

    def add(self, *parts):
        self.cases += 1
        for part in parts:
            if isinstance(part, float):
                data = float_bytes(part)
            elif isinstance(part, int):
                data = struct.pack("<q", part)
            elif isinstance(part, str):
                data = part.encode("utf-8", "surrogatepass")
            else:
                data = bytes(part)
            self.digest.update(struct.pack("<Q", len(data)))
            self.digest.update(data)


def float_bytes(value):
    """The bits of a float, every NaN made the canonical one."""
    if math.isnan(value):
        return struct.pack("<Q", CANONICAL_NAN_BITS)
    return struct.pack("<d", value)


def array_bytes(array):
    """The contents of an array, every NaN made the canonical one."""
    if array.dtype.kind == "f":
        array = np.array(array, dtype=np.float64)  # a copy: the result stays untouched
        array.view(np.uint64)[np.isnan(array)] = CANONICAL_NAN_BITS
    return array.tobytes()


def describe_exception(exc):
    text = []
    while exc is not None:
        text.append(f"{type(exc).__module__}.{type(exc).__qualname__}: {exc}")
        exc = exc.__cause__
    return " <- ".join(text)


def result_parts(result):
    """The exact bytes of a run's result."""
    if isinstance(result, float):
        return ["float", result]
    if not isinstance(result, tuple):
        return ["text", repr(result)]
    times, states = result
    return ["log", str(times.dtype), str(times.shape), array_bytes(times),
            str(states.dtype), str(states.shape), array_bytes(states),
            str(times.flags["C_CONTIGUOUS"]), str(states.flags["C_CONTIGUOUS"])]


class FdCapture:
    """Captures file descriptor `fd` into a temporary file while alive."""

    def __init__(self, fd):
        self.fd = fd
        self.text = b""

    def __enter__(self):
        sys.stdout.flush()
        sys.stderr.flush()
        self.file = tempfile.TemporaryFile()
        self.saved = os.dup(self.fd)
        os.dup2(self.file.fileno(), self.fd)
        return self

    def __exit__(self, *exc):
        os.dup2(self.saved, self.fd)
        os.close(self.saved)
        self.file.seek(0)
        self.text = self.file.read()
        self.file.close()
        return False


def run_case(section, label, call, capture_stdout=False):
    """Runs `call` and adds its result, exception and printed text to `section`."""
    with FdCapture(2):  # the internal-error diagnostic: not hashed
        if capture_stdout:
            with FdCapture(1) as out:
                outcome = attempt(call)
            printed = out.text
        else:
            outcome = attempt(call)
            printed = b""
    section.add(label, *outcome, printed)


def attempt(call):
    try:
        return result_parts(call())
    except BaseException as exc:  # InternalError derives from BaseException
        if isinstance(exc, KeyboardInterrupt):
            raise
        return ["raised", describe_exception(exc)]


def operations(rocket, dof):
    if dof == 1:
        return (("predict", rocket.predict_apogee_1dof), ("simulate", rocket.simulate_flight_1dof))
    return (("predict", rocket.predict_apogee_3dof), ("simulate", rocket.simulate_flight_3dof))


def initial_state(dof, values):
    return InitialState1DOF(*values) if dof == 1 else InitialState3DOF(*values)


def section_rockets_and_states():
    """Every rocket x initial state x method x operation, default options."""
    section = Section("rockets x initial states")
    for r, props in enumerate(ROCKETS):
        rocket = Rocket(*props)
        for dof, initials in ((1, INITIAL_1DOF), (3, INITIAL_3DOF)):
            for i, values in enumerate(initials):
                init = initial_state(dof, values)
                for method in METHODS:
                    for op, fn in operations(rocket, dof):
                        run_case(section, f"r{r} {dof}dof i{i} {method!r} {op}",
                                 lambda: fn(init, method, None, 20000))
    return section


def section_step_options():
    """Every step option x method x operation on two rockets and states."""
    section = Section("step options")
    cases = [(0, 1, 0), (0, 3, 0), (1, 3, 2), (3, 3, 3), (2, 1, 1)]
    for r, dof, i in cases:
        rocket = Rocket(*ROCKETS[r])
        init = initial_state(dof, (INITIAL_1DOF if dof == 1 else INITIAL_3DOF)[i])
        for method in METHODS:
            for adaptive, option_sets in ((False, FIXED_OPTIONS), (True, ADAPTIVE_OPTIONS)):
                for s, values in enumerate(option_sets):
                    options = make_options(values, adaptive)
                    for op, fn in operations(rocket, dof):
                        run_case(section, f"r{r} {dof}dof i{i} {method!r} a{adaptive} s{s} {op}",
                                 lambda: fn(init, method, options, 20000))
    return section


def section_iteration_limits():
    """Iteration limits, including 0 and limits that stop before apogee."""
    section = Section("iteration limits")
    rocket = Rocket(*ROCKETS[0])
    for dof in (1, 3):
        init = initial_state(dof, (INITIAL_1DOF if dof == 1 else INITIAL_3DOF)[0])
        for method in METHODS:
            for limit in MAX_ITERATIONS:
                for op, fn in operations(rocket, dof):
                    args = (init, method) if limit is None else (init, method, None, limit)
                    run_case(section, f"{dof}dof {method!r} m{limit} {op}", lambda: fn(*args))
    return section


def section_printing():
    """print_output runs, with standard output captured."""
    section = Section("printed output")
    cases = [(0, 1, 0), (0, 3, 0), (1, 3, 2), (0, 1, 2), (2, 3, 8), (5, 1, 0), (6, 3, 0)]
    for r, dof, i in cases:
        rocket = Rocket(*ROCKETS[r])
        init = initial_state(dof, (INITIAL_1DOF if dof == 1 else INITIAL_3DOF)[i])
        for method in METHODS:
            options = AdaptiveTimeStep(0.01, 1e-4, 0.5, 1e-4, 1e-4) if method == OdeMethod.RK45 \
                else FixedTimeStep(0.05)
            for limit in (5000, 3):
                for op, fn in operations(rocket, dof):
                    run_case(section, f"r{r} {dof}dof i{i} {method!r} m{limit} {op} print",
                             lambda: fn(init, method, options, limit, True), capture_stdout=True)
    return section


def section_controller():
    """AdaptiveTimeStep.next_dt over error norms and option sets."""
    section = Section("step controller")
    norms = [0.0, -0.0, 1e-31, 1e-30, 1e-20, 1e-8, 1e-5, 3.3e-4, 0.01, 0.5, 1.0, 7.0, 1e10,
             -1e-3, NAN, INF, -INF]
    for s, values in enumerate(ADAPTIVE_OPTIONS):
        options = make_options(values, True) or AdaptiveTimeStep.default()
        for norm in norms:
            run_case(section, f"s{s} n{norm!r}", lambda: options.next_dt(norm))
    return section


def section_rejected_arguments():
    """Messages of rejected arguments, for each parameter of a run."""
    section = Section("rejected arguments")
    rocket = Rocket(*ROCKETS[0])
    init1 = InitialState1DOF(*INITIAL_1DOF[0])
    init3 = InitialState3DOF(*INITIAL_3DOF[0])
    calls = [
        lambda: rocket.predict_apogee_1dof(init3, OdeMethod.Euler),
        lambda: rocket.predict_apogee_3dof(init1, OdeMethod.Euler),
        lambda: rocket.simulate_flight_1dof(init1, 2),
        lambda: rocket.simulate_flight_1dof(init1, OdeMethod.Euler, AdaptiveTimeStep.default()),
        lambda: rocket.simulate_flight_3dof(init3, OdeMethod.RK3, AdaptiveTimeStep.default()),
        lambda: rocket.predict_apogee_3dof(init3, OdeMethod.RK45, FixedTimeStep(0.01)),
        lambda: rocket.predict_apogee_1dof(init1, OdeMethod.RK45, 0.01),
        lambda: rocket.predict_apogee_1dof(init1, OdeMethod.RK45, None, -1),
        lambda: rocket.predict_apogee_1dof(init1, OdeMethod.RK45, None, 2**64),
        lambda: rocket.predict_apogee_1dof(init1, OdeMethod.RK45, None, 1.5),
        lambda: rocket.predict_apogee_1dof(init1, OdeMethod.RK45, None, 10, 1),
        lambda: rocket.predict_apogee_1dof(init1, OdeMethod.RK45, None, 10, None),
        lambda: rocket.predict_apogee_1dof(init1),
        lambda: rocket.predict_apogee_1dof(),
        lambda: rocket.predict_apogee_1dof(init1, OdeMethod.RK45, None, 10, False, 1),
        lambda: rocket.predict_apogee_1dof(init1, OdeMethod.RK45, bogus=1),
        lambda: rocket.predict_apogee_1dof(init1, OdeMethod.RK45, initial_state=init1),
        lambda: Rocket(1.0, 2.0),
        lambda: Rocket("a", 1, 1, 1, 1, 1, 1),
        lambda: FixedTimeStep(dt="x"),
        lambda: AdaptiveTimeStep(1, 2, 3, 4),
        lambda: AdaptiveTimeStep.default().next_dt("x"),
        lambda: InitialState3DOF(1, 2, 3, 4, 5, [6]),
        lambda: setattr(rocket, "rocket_properties", 1),
        lambda: setattr(init1, "initial_height", "x"),
        lambda: delattr(init1, "initial_height"),
        lambda: repr(OdeMethod.RK45) + repr(int(OdeMethod.RK3)) + repr(OdeMethod.RK45 == 2),
        lambda: repr([(f, getattr(rocket.rocket_properties, f)) for f in
                      ("mass", "cd", "area_drag", "area_lift", "moment_of_inertia",
                       "stab_margin_dimensional", "cl_a")]),
    ]
    for c, call in enumerate(calls):
        run_case(section, f"c{c}", call)
    return section


SECTIONS = [section_rockets_and_states, section_step_options, section_iteration_limits,
            section_printing, section_controller, section_rejected_arguments]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--verbose", action="store_true", help="also print the number of cases")
    args = parser.parse_args()
    total = hashlib.sha256()
    for build in SECTIONS:
        section = build()
        digest = section.digest.hexdigest()
        total.update(digest.encode())
        cases = f" ({section.cases} cases)" if args.verbose else ""
        print(f"{section.name:28s} {digest[:16]}{cases}")
    print(f"{'total':28s} {total.hexdigest()}")


if __name__ == "__main__":
    main()
