"""A run executes detached from the interpreter: while one thread runs a long
prediction, other threads keep running Python (GIL builds) and stop-the-world
pauses such as gc.collect() do not wait for it (free-threaded builds). The
shared borrow of the rocket still pins its properties for the whole run.

Timings are compared with the run's own length, with a wide margin, so the
tests do not depend on the machine's speed.
"""

import gc
import threading
import time

import pytest

import aeso

ROCKET_VALUES = (1.0, 0.5, 0.01, 0.02, 0.1, 0.05, 2.0)
INIT = aeso.InitialState1DOF(0.0, 200.0)
TARGET_SECONDS = 1.5


@pytest.fixture(scope="module")
def long_step():
    """A fixed step that makes an Euler prediction from INIT last about
    TARGET_SECONDS on this machine and build (sanitizers included)."""
    rocket = aeso.Rocket(*ROCKET_VALUES)
    dt = 2e-6
    start = time.perf_counter()
    rocket.predict_apogee_1dof(INIT, aeso.OdeMethod.Euler, aeso.FixedTimeStep(dt), 10**9)
    elapsed = max(time.perf_counter() - start, 1e-4)
    return aeso.FixedTimeStep(dt * elapsed / TARGET_SECONDS)


class LongRun:
    """One long prediction in a background thread. Entering returns once the
    call holds its borrow of the rocket and is about to run (its
    max_iterations is being read); `seconds` holds the call's length once it
    has returned."""

    def __init__(self, rocket, step):
        self.rocket, self.step = rocket, step
        self.entered = threading.Event()
        self.result = self.error = self.seconds = None
        self.thread = threading.Thread(target=self._body)

    def __index__(self):  # the run's max_iterations
        self.entered.set()
        return 10**9

    def _body(self):
        start = time.perf_counter()
        try:
            self.result = self.rocket.predict_apogee_1dof(INIT, aeso.OdeMethod.Euler, self.step, self)
        except BaseException as exc:  # noqa: BLE001 - checked by the test
            self.error = exc
        self.seconds = time.perf_counter() - start

    def __enter__(self):
        self.thread.start()
        assert self.entered.wait(300), "the run never started"
        return self

    def __exit__(self, *exc):
        self.thread.join()
        assert self.error is None, self.error


def during_a_run(rocket, step, action, passed, attempts=4):
    """Calls action(run) while a long prediction runs on `rocket` in another
    thread, until passed(outcome, run) holds for an action that ended while
    its run was still going; returns (outcome, run). A try whose run ended
    first, or whose measure a busy machine stretched past the run's margin,
    is made again with a run four times as long: a run that really stalls
    the action fails every try, however long."""
    for _ in range(attempts):
        with LongRun(rocket, step) as run:
            outcome = action(run)
            ended_first = not run.thread.is_alive()
        if not ended_first and passed(outcome, run):
            return outcome, run
        step = aeso.FixedTimeStep(step.dt / 4)
    pytest.fail(f"in {attempts} tries with ever longer runs the action never went on beside the run: "
                f"last outcome {outcome!r}, run of {run.seconds:.3f} s, ended first: {ended_first}")


def test_gc_collect_does_not_wait_for_a_run(long_step):
    def collect(run):
        start = time.perf_counter()
        gc.collect()
        return time.perf_counter() - start

    during_a_run(aeso.Rocket(*ROCKET_VALUES), long_step, collect,
                 lambda waited, run: waited < run.seconds / 4)


def test_other_threads_keep_running_during_a_run(long_step):
    def heartbeat_gaps(run):
        ticks = []
        stop = threading.Event()

        def heartbeat():
            while not stop.is_set():
                ticks.append(time.perf_counter())
                time.sleep(0.005)

        beat = threading.Thread(target=heartbeat)
        beat.start()
        try:
            # Half of the run's expected length, measured while it runs.
            deadline = time.perf_counter() + TARGET_SECONDS / 2
            while time.perf_counter() < deadline and run.thread.is_alive():
                time.sleep(0.01)
        finally:
            stop.set()
            beat.join()
        return [b - a for a, b in zip(ticks, ticks[1:])]

    during_a_run(aeso.Rocket(*ROCKET_VALUES), long_step, heartbeat_gaps,
                 lambda gaps, run: len(gaps) > 10 and max(gaps) < run.seconds / 4)


def test_rocket_stays_borrowed_for_the_whole_run(long_step):
    rocket = aeso.Rocket(*ROCKET_VALUES)
    props = rocket.rocket_properties
    changed = aeso.Rocket(*(2 * v for v in ROCKET_VALUES)).rocket_properties

    def assign_and_read(run):
        try:
            rocket.rocket_properties = changed
        except RuntimeError as exc:
            refusal = exc
        else:
            refusal = None
            rocket.rocket_properties = props  # the try tells nothing if the run had ended
        return refusal, rocket.rocket_properties.mass

    # Readers still share the borrow: the read during the run sees the old mass.
    _, run = during_a_run(rocket, long_step, assign_and_read,
                          lambda outcome, run: str(outcome[0]) == "Already borrowed" and outcome[1] == props.mass)
    assert run.result == rocket.predict_apogee_1dof(INIT, aeso.OdeMethod.Euler, run.step, 10**9)
    rocket.rocket_properties = changed  # free again once the run is over
    assert rocket.rocket_properties.mass == 2.0
