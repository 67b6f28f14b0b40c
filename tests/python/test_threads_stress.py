"""Many threads using shared module objects at once: the four simulation
methods, the option classes, next_dt and every getter and setter.

Results must equal the ones computed serially; the only exceptions allowed are
the documented borrow conflicts ("Already borrowed" for a writer, "Already
mutably borrowed" for a reader). A reader conflict met while a simulation
method converts its step options shows up inside the composite TypeError of
that conversion, as the cause given for the variant of the object's own class.
On an interpreter with a GIL these can only happen while Python code runs
inside a call, which the deterministic tests below arrange with an __index__
hook; without the GIL the stress tests must also see them happen on their own.
"""

import random
import struct
import sys
import threading
import time

import pytest

import aeso

FREE_THREADED = hasattr(sys, "_is_gil_enabled") and not sys._is_gil_enabled()
THREADS = 8

ROCKET_VALUES = (1.0, 0.5, 0.01, 0.02, 0.1, 0.05, 2.0)
ROCKET_FIELDS = ("mass", "cd", "area_drag", "area_lift", "moment_of_inertia", "stab_margin_dimensional", "cl_a")
ADAPTIVE_FIELDS = ("dt", "dt_min", "dt_max", "absolute_error_tolerance", "relative_error_tolerance")

WRITER_CONFLICT = "Already borrowed"
READER_CONFLICT = "Already mutably borrowed"


@pytest.fixture(autouse=True)
def frequent_thread_switches():
    """Switch threads as often as the interpreter allows, so that calls from
    different threads interleave as finely as possible on a GIL build."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def fingerprint(result):
    if isinstance(result, tuple):
        return tuple((a.shape, a.dtype.str, a.tobytes()) for a in result)
    return struct.pack("<d", result)


def run_threads(target, count=THREADS):
    """Runs target(index) in `count` threads started together; re-raises the
    first exception any of them raised."""
    barrier = threading.Barrier(count)
    errors = []

    def body(i):
        try:
            barrier.wait()
            target(i)
        except BaseException as exc:  # noqa: BLE001 - handed to the main thread
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


STEP_VARIANTS = (("Fixed", "FixedTimeStep"), ("Adaptive", "AdaptiveTimeStep"))


def step_options_error(causes):
    """The message of the TypeError a simulation method raises when its
    `timestep_config` converts to neither variant; causes[i] renders why
    variant i failed."""
    lines = ["argument 'timestep_config': failed to extract enum TimeStepOptions ('Fixed | Adaptive')"]
    for (variant, _), cause in zip(STEP_VARIANTS, causes):
        lines.append(f"- variant {variant} ({variant}): TypeError: failed to extract field "
                     f"TimeStepOptions::{variant}.0, caused by {cause}")
    return "\n".join(lines)


def step_options_reader_conflict(class_name):
    """The message of that TypeError when the options object, of class
    `class_name`, is being written by another thread: its own variant fails
    with the reader's borrow conflict, the other one on the class."""
    return step_options_error([f"RuntimeError: {READER_CONFLICT}" if cls == class_name
                               else f"TypeError: '{class_name}' object cannot be cast as '{cls}'"
                               for _, cls in STEP_VARIANTS])


READER_CONFLICT_TYPE_ERRORS = frozenset(step_options_reader_conflict(cls) for _, cls in STEP_VARIANTS)


def conflict_side(exc):
    """The borrow-conflict side `exc` reports (WRITER_CONFLICT or
    READER_CONFLICT), or None when it is not a borrow conflict."""
    if type(exc) is RuntimeError and str(exc) in (WRITER_CONFLICT, READER_CONFLICT):
        return str(exc)
    if type(exc) is TypeError and str(exc) in READER_CONFLICT_TYPE_ERRORS:
        return READER_CONFLICT
    return None


class ConflictLog:
    """Counts the borrow conflicts seen; anything else is an error."""

    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {WRITER_CONFLICT: 0, READER_CONFLICT: 0}

    def attempt(self, fn, side):
        """Calls fn(); an exception must be a borrow conflict of `side`.
        Returns (True, result) or (False, None) after a conflict."""
        try:
            return True, fn()
        except (RuntimeError, TypeError) as exc:
            if conflict_side(exc) != side:
                raise AssertionError(f"unexpected {exc!r} for a {side!r} side") from exc
            with self.lock:
                self.counts[side] += 1
            return False, None


def test_step_options_message_matches_the_module():
    """The reader-conflict texts are built by the template that reproduces the
    module's own message for options of a wrong class."""
    rocket = aeso.Rocket(*ROCKET_VALUES)
    with pytest.raises(TypeError) as info:
        rocket.predict_apogee_1dof(aeso.InitialState1DOF(0.0, 30.0), aeso.OdeMethod.RK45, 1.5)
    assert str(info.value) == step_options_error(
        [f"TypeError: 'float' object cannot be cast as '{cls}'" for _, cls in STEP_VARIANTS])


def _reader_conflict_for(class_name):
    return TypeError(step_options_reader_conflict(class_name))


@pytest.mark.parametrize("exc, side", [
    (RuntimeError(READER_CONFLICT), READER_CONFLICT),
    (RuntimeError(WRITER_CONFLICT), WRITER_CONFLICT),
    (_reader_conflict_for("AdaptiveTimeStep"), READER_CONFLICT),
    (_reader_conflict_for("FixedTimeStep"), READER_CONFLICT),
])
def test_conflict_log_counts_borrow_conflicts(exc, side):
    log = ConflictLog()

    def fail():
        raise exc

    assert log.attempt(fail, side) == (False, None)
    assert log.counts[side] == 1


@pytest.mark.parametrize("exc, side", [
    # Right text, wrong side.
    (RuntimeError(READER_CONFLICT), WRITER_CONFLICT),
    (RuntimeError(WRITER_CONFLICT), READER_CONFLICT),
    (_reader_conflict_for("AdaptiveTimeStep"), WRITER_CONFLICT),
    # Any other text, or the conflict under the variant of the other class.
    (RuntimeError("Already borrowed!"), WRITER_CONFLICT),
    (TypeError(READER_CONFLICT), READER_CONFLICT),
    (TypeError(step_options_error([f"RuntimeError: {READER_CONFLICT}"] * 2)), READER_CONFLICT),
    (TypeError(step_options_error([f"RuntimeError: {READER_CONFLICT}",
                                   "TypeError: 'AdaptiveTimeStep' object cannot be cast as 'AdaptiveTimeStep'"])),
     READER_CONFLICT),
    (TypeError(step_options_reader_conflict("AdaptiveTimeStep") + "\n"), READER_CONFLICT),
    # A subclass or another type is not the module's conflict.
    (type("SubRuntimeError", (RuntimeError,), {})(READER_CONFLICT), READER_CONFLICT),
])
def test_conflict_log_fails_on_anything_else(exc, side):
    log = ConflictLog()

    def fail():
        raise exc

    with pytest.raises(AssertionError, match="unexpected"):
        log.attempt(fail, side)
    assert log.counts == {WRITER_CONFLICT: 0, READER_CONFLICT: 0}


class Shared:
    """The objects every thread uses, and the serial results they must give."""

    def __init__(self):
        self.rocket = aeso.Rocket(*ROCKET_VALUES)
        self.props = self.rocket.rocket_properties
        self.init1 = aeso.InitialState1DOF(0.0, 30.0)
        self.init3 = aeso.InitialState3DOF(0.0, 0.0, 0.1, 1.0, 30.0, 0.0)
        self.fixed = aeso.FixedTimeStep(0.02)
        self.adaptive = aeso.AdaptiveTimeStep.default()
        self.calls = []
        for method in ("predict_apogee_1dof", "simulate_flight_1dof", "predict_apogee_3dof", "simulate_flight_3dof"):
            init = self.init1 if method.endswith("1dof") else self.init3
            for ode, options in ((aeso.OdeMethod.Euler, self.fixed), (aeso.OdeMethod.RK3, None),
                                 (aeso.OdeMethod.RK45, self.adaptive)):
                self.calls.append((method, init, ode, options))
        self.expected_calls = [self.run_call(c) for c in self.calls]
        self.expected_next_dt = {e: self.adaptive.next_dt(e) for e in (0.0, 1e-3, 0.5, 1e300)}

    def run_call(self, call):
        method, init, ode, options = call
        return fingerprint(getattr(self.rocket, method)(init, ode, options))


def test_shared_objects_from_many_threads_match_serial_results():
    shared = Shared()
    log = ConflictLog()
    done = [0] * THREADS

    def worker(index):
        rng = random.Random(index)
        for _ in range(60):
            op = rng.randrange(9)
            if op <= 2:
                i = rng.randrange(len(shared.calls))
                ok, got = log.attempt(lambda: shared.run_call(shared.calls[i]), READER_CONFLICT)
                if ok:
                    assert got == shared.expected_calls[i], f"call {shared.calls[i][0]} differs from serial"
            elif op == 3:
                e = rng.choice(list(shared.expected_next_dt))
                ok, got = log.attempt(lambda: shared.adaptive.next_dt(e), READER_CONFLICT)
                if ok:
                    assert got == shared.expected_next_dt[e]
            elif op == 4:
                # Setters that store the value already there: they race the
                # readers but may not change any result.
                ok, _ = log.attempt(lambda: setattr(shared.rocket, "rocket_properties", shared.props), WRITER_CONFLICT)
                name = rng.choice(ADAPTIVE_FIELDS)
                log.attempt(lambda: setattr(shared.adaptive, name, getattr(aeso.AdaptiveTimeStep.default(), name)),
                            WRITER_CONFLICT)
                log.attempt(lambda: setattr(shared.fixed, "dt", 0.02), WRITER_CONFLICT)
                log.attempt(lambda: setattr(shared.init1, "initial_velocity", 30.0), WRITER_CONFLICT)
                log.attempt(lambda: setattr(shared.init3, "vy", 30.0), WRITER_CONFLICT)
            elif op == 5:
                ok, props = log.attempt(lambda: shared.rocket.rocket_properties, READER_CONFLICT)
                if ok:
                    assert tuple(getattr(props, n) for n in ROCKET_FIELDS) == ROCKET_VALUES
                ok, mass = log.attempt(lambda: shared.props.mass, READER_CONFLICT)
                if ok:
                    assert mass == 1.0
                log.attempt(lambda: setattr(shared.props, "mass", 1.0), WRITER_CONFLICT)
            elif op == 6:
                ok, values = log.attempt(lambda: (shared.init1.initial_height, shared.init1.initial_velocity,
                                                  shared.init3.vy, shared.fixed.dt), READER_CONFLICT)
                if ok:
                    assert values == (0.0, 30.0, 30.0, 0.02)
            elif op == 7:
                fresh = aeso.AdaptiveTimeStep.default()
                assert tuple(getattr(fresh, n) for n in ADAPTIVE_FIELDS) == (0.01, 1e-6, 0.1, 0.01, 0.01)
                assert aeso.FixedTimeStep(0.5).dt == 0.5
            else:
                for value, member in enumerate((aeso.OdeMethod.Euler, aeso.OdeMethod.RK3, aeso.OdeMethod.RK45)):
                    ok, same = log.attempt(lambda: (int(member), member == value, member != value, repr(member)),
                                           READER_CONFLICT)
                    if ok:
                        assert same == (value, True, False, "OdeMethod." + ("Euler", "RK3", "RK45")[value])
            done[index] += 1

    run_threads(worker)
    assert done == [60] * THREADS
    # Every object is free again, and nothing changed.
    for i, call in enumerate(shared.calls):
        assert shared.run_call(call) == shared.expected_calls[i]
    shared.rocket.rocket_properties = shared.props
    if not FREE_THREADED:
        # With the GIL, the only borrow held while other Python code runs is
        # a run's shared borrow of its rocket (the run is detached): a setter
        # may meet it, but no reader can ever conflict.
        assert log.counts[READER_CONFLICT] == 0


def test_concurrent_writers_never_tear_a_value():
    """Threads write different values into the same objects while others read
    them: a reader sees one of the written values, whole."""
    options = aeso.AdaptiveTimeStep(0.1, 0.1, 0.1, 0.1, 0.1)
    props = aeso.Rocket(*ROCKET_VALUES).rocket_properties
    rocket = aeso.Rocket(*ROCKET_VALUES)
    written = {0.1, 0.2, 0.3, 0.4, -0.0, 1e300}
    records = [aeso.Rocket(v, v, v, v, v, v, v).rocket_properties for v in written]
    log = ConflictLog()

    def worker(index):
        rng = random.Random(1000 + index)
        for _ in range(300):
            if index % 2:
                value = rng.choice(sorted(written))
                log.attempt(lambda: setattr(options, rng.choice(ADAPTIVE_FIELDS), value), WRITER_CONFLICT)
                log.attempt(lambda: setattr(props, "cd", value), WRITER_CONFLICT)
                log.attempt(lambda: setattr(rocket, "rocket_properties", rng.choice(records)), WRITER_CONFLICT)
            else:
                ok, v = log.attempt(lambda: getattr(options, rng.choice(ADAPTIVE_FIELDS)), READER_CONFLICT)
                assert not ok or v in written
                ok, v = log.attempt(lambda: props.cd, READER_CONFLICT)
                assert not ok or v in written | {0.5}
                ok, p = log.attempt(lambda: rocket.rocket_properties, READER_CONFLICT)
                if ok:
                    # Assigned in one go: all seven fields come from one record.
                    values = {getattr(p, n) for n in ROCKET_FIELDS}
                    assert len(values) == 1 or tuple(getattr(p, n) for n in ROCKET_FIELDS) == ROCKET_VALUES

    run_threads(worker)
    for obj, name in ((options, "dt"), (props, "cd")):
        setattr(obj, name, getattr(obj, name))
    rocket.rocket_properties = rocket.rocket_properties


class Rendezvous:
    """A max_iterations value whose __index__ runs while the simulation method
    holds its shared borrow of the rocket: it lets another thread act, waits
    for it to finish, then returns the count."""

    def __init__(self, count=100000):
        self.count = count
        self.inside = threading.Event()
        self.release = threading.Event()

    def __index__(self):
        self.inside.set()
        assert self.release.wait(60), "the other thread never finished"
        return self.count


@pytest.mark.parametrize("method", ["predict_apogee_1dof", "simulate_flight_1dof",
                                    "predict_apogee_3dof", "simulate_flight_3dof"])
def test_assignment_during_a_run_is_refused_and_readers_go_on(method):
    shared = Shared()
    init = shared.init1 if method.endswith("1dof") else shared.init3
    call = (method, init, aeso.OdeMethod.RK45, shared.adaptive)
    expected = shared.expected_calls[shared.calls.index(call)]
    hook = Rendezvous()
    outcome = {}

    def runner():
        outcome["result"] = fingerprint(getattr(shared.rocket, method)(init, aeso.OdeMethod.RK45, shared.adaptive, hook))

    thread = threading.Thread(target=runner)
    thread.start()
    try:
        assert hook.inside.wait(60)
        changed = shared.rocket.rocket_properties
        changed.mass = 50.0
        with pytest.raises(RuntimeError, match=f"^{WRITER_CONFLICT}$"):
            shared.rocket.rocket_properties = changed
        # Readers share the borrow: reading and running on the same rocket work.
        assert shared.rocket.rocket_properties.mass == 1.0
        assert shared.run_call(call) == expected
        # The argument objects were copied and released already.
        setattr(init, "x" if hasattr(init, "x") else "initial_height", 0.0)
        shared.adaptive.dt = 0.01
    finally:
        hook.release.set()
        thread.join()
    assert outcome["result"] == expected
    shared.rocket.rocket_properties = changed  # free again once the run is over
    assert shared.rocket.rocket_properties.mass == 50.0


def test_assignment_during_long_runs():
    """Assignments racing long runs on the same rocket are refused with
    "Already borrowed" while a run is in progress (runs execute detached from
    the interpreter, so the assigning thread gets to run meanwhile on any
    build), and succeed in between; runs are never affected."""
    rocket = aeso.Rocket(*ROCKET_VALUES)
    props = rocket.rocket_properties
    init = aeso.InitialState1DOF(0.0, 200.0)
    options = aeso.FixedTimeStep(1e-5)
    # About 150 000 steps to apogee: above the default limit, so give room.
    limit = 10_000_000
    expected = rocket.predict_apogee_1dof(init, aeso.OdeMethod.Euler, options, limit)
    log = ConflictLog()
    stop = threading.Event()
    results = []

    def runner():
        # The assigner meets a run only when the scheduler lets both go at
        # once, which a loaded machine makes rare: run until it has, with a
        # cap far beyond what any machine needs.
        deadline = time.monotonic() + 300
        while time.monotonic() < deadline:
            ok, value = log.attempt(lambda: rocket.predict_apogee_1dof(init, aeso.OdeMethod.Euler, options, limit),
                                    READER_CONFLICT)
            if ok:
                results.append(value)
            if log.counts[WRITER_CONFLICT] >= 3:
                break
        stop.set()

    def assigner():
        while not stop.is_set():
            log.attempt(lambda: setattr(rocket, "rocket_properties", props), WRITER_CONFLICT)

    threads = [threading.Thread(target=runner), threading.Thread(target=assigner)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results and all(r == expected for r in results)
    assert log.counts[WRITER_CONFLICT] >= 3


@pytest.mark.skipif(not FREE_THREADED, reason="needs an interpreter running without the GIL")
def test_readers_racing_a_writer_without_the_gil():
    props = aeso.Rocket(*ROCKET_VALUES).rocket_properties
    log = ConflictLog()
    stop = threading.Event()

    def reader(_):
        while not stop.is_set():
            ok, v = log.attempt(lambda: props.cd, READER_CONFLICT)
            assert not ok or v in (0.5, 0.25)
            if log.counts[READER_CONFLICT] >= 1:
                stop.set()

    def writer(_):
        # A reader meets the writer only when both run at the same instant,
        # which a loaded machine makes rare: write until one has, with a cap
        # far beyond what any machine needs so a broken build cannot hang.
        deadline = time.monotonic() + 300
        i = 0
        while not stop.is_set() and time.monotonic() < deadline:
            for _ in range(10_000):
                log.attempt(lambda: setattr(props, "cd", 0.25 if i % 2 else 0.5), WRITER_CONFLICT)
                i += 1
        stop.set()

    run_threads(lambda i: (writer if i == 0 else reader)(i), count=4)
    assert log.counts[READER_CONFLICT] >= 1
