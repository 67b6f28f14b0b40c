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
    """One long prediction in a background thread; `started` is set just
    before the call, `seconds` holds its length once it has returned."""

    def __init__(self, rocket, step):
        self.rocket, self.step = rocket, step
        self.started = threading.Event()
        self.result = self.error = self.seconds = None
        self.thread = threading.Thread(target=self._body)

    def _body(self):
        self.started.set()
        start = time.perf_counter()
        try:
            self.result = self.rocket.predict_apogee_1dof(INIT, aeso.OdeMethod.Euler, self.step, 10**9)
        except BaseException as exc:  # noqa: BLE001 - checked by the test
            self.error = exc
        self.seconds = time.perf_counter() - start

    def __enter__(self):
        self.thread.start()
        self.started.wait()
        time.sleep(0.1)  # well inside the run: argument conversion takes microseconds
        return self

    def __exit__(self, *exc):
        self.thread.join()
        assert self.error is None, self.error
        # A stalled call would wait for the rest of the run (run - 0.1 s), which
        # is above a quarter of the run from 0.3 s on.
        assert self.seconds > 0.3, f"the run took only {self.seconds:.3f} s: too short to tell"


def test_gc_collect_does_not_wait_for_a_run(long_step):
    with LongRun(aeso.Rocket(*ROCKET_VALUES), long_step) as run:
        start = time.perf_counter()
        gc.collect()
        waited = time.perf_counter() - start
        still_running = run.thread.is_alive()
    assert still_running
    assert waited < run.seconds / 4, (waited, run.seconds)


def test_other_threads_keep_running_during_a_run(long_step):
    ticks = []
    stop = threading.Event()

    def heartbeat():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.005)

    beat = threading.Thread(target=heartbeat)
    beat.start()
    try:
        with LongRun(aeso.Rocket(*ROCKET_VALUES), long_step) as run:
            first = len(ticks)
    finally:
        stop.set()
        beat.join()
    during = ticks[first - 1:]
    largest_gap = max(b - a for a, b in zip(during, during[1:]))
    assert len(during) > 10
    assert largest_gap < run.seconds / 4, (largest_gap, run.seconds)


def test_rocket_stays_borrowed_for_the_whole_run(long_step):
    rocket = aeso.Rocket(*ROCKET_VALUES)
    props = rocket.rocket_properties
    changed = aeso.Rocket(*(2 * v for v in ROCKET_VALUES)).rocket_properties
    expected = rocket.predict_apogee_1dof(INIT, aeso.OdeMethod.Euler, long_step, 10**9)
    with LongRun(rocket, long_step) as run:
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            rocket.rocket_properties = changed
        assert rocket.rocket_properties.mass == props.mass  # readers still share
        still_running = run.thread.is_alive()
    assert still_running
    assert run.result == expected
    rocket.rocket_properties = changed  # free again once the run is over
    assert rocket.rocket_properties.mass == 2.0
