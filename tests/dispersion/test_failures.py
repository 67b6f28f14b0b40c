"""Runs that fail are recorded, not raised; a failing backend ends the study
with a clear error; an interrupt stops a study and leaves the process usable."""

import math
import threading

import numpy as np
import pytest

from aeso_dispersion import DispersionError, Study, normal, uniform
from aeso_dispersion import _flights, backends, engine

from conftest import expected_apogee, rocket_section, small_study

ITERATION_LIMIT = "no apogee within max_iterations (InternalError: Index out of bounds)"


def test_iteration_limit_is_a_recorded_failure():
    # With Euler at 0.05 s the flight to apogee takes about 40 iterations at
    # 20 m/s and 490 at 400 m/s: the fast samples hit a 200-iteration limit.
    study = Study(rocket=rocket_section(), initial_state=dict(angle=0.05, speed=uniform(20.0, 400.0)),
                  solver=dict(method="Euler", dt=0.05, max_iterations=200), block_size=16)
    result = study.run(n=64, seed=5, workers=2, progress=False)
    failed = result.failed
    assert 0 < failed.sum() < result.n
    assert np.all(np.isnan(result.apogees[failed])) and np.all(np.isfinite(result.apogees[~failed]))
    assert result.failure_counts() == {ITERATION_LIMIT: int(failed.sum())}
    assert result.summary()["failed"] == failed.sum() and result.summary()["succeeded"] == (~failed).sum()
    speeds = result.sample("speed")
    assert speeds[failed].min() > speeds[~failed].max()  # the fast ones run out of iterations
    for i in np.flatnonzero(failed).tolist():
        assert result.reason(i) == ITERATION_LIMIT
        with pytest.raises(BaseException) as info:
            expected_apogee(study, {"initial_state.speed": float(speeds[i])})
        assert type(info.value).__name__ == "InternalError"
    assert f"{failed.sum():>8d}  {ITERATION_LIMIT}" in result.format_summary()


@pytest.mark.parametrize("section, key, bad, reason", [
    ("rocket", "mass", math.nan, "non-finite input: mass"),
    ("initial_state", "speed", math.inf, "non-finite input: speed"),
    ("rocket", "mass", 0.0, ITERATION_LIMIT),  # NaN accelerations never reach apogee
])
def test_bad_inputs_are_recorded_failures(section, key, bad, reason):
    sections = dict(rocket=rocket_section(cd=normal(0.45, 0.01)),
                    initial_state=dict(angle=0.05, speed=250.0))
    sections[section][key] = bad
    study = Study(**sections, solver=dict(method="RK45", max_iterations=2000))
    result = study.run(n=5, seed=1, progress=False)
    assert result.failed.all() and np.isnan(result.apogees).all()
    assert result.failure_counts() == {reason: 5}
    assert math.isnan(result.summary()["mean"])


@pytest.mark.parametrize("key", ["moment_of_inertia", "cl_a"])
def test_non_finite_input_the_model_ignores_gives_a_real_apogee(key):
    # A 1-DOF flight does not read the lift and moment properties: its runs
    # succeed, with the apogee aeso gives for the same inputs.
    study = Study(model="1dof", rocket=rocket_section(cd=normal(0.45, 0.01), **{key: math.nan}),
                  initial_state=dict(initial_height=0.0, initial_velocity=250.0),
                  solver=dict(method="RK45"))
    result = study.run(n=5, seed=1, progress=False)
    assert not result.failed.any()
    for i, cd in enumerate(result.sample("cd").tolist()):
        assert result.apogees[i] == expected_apogee(study, {"rocket.cd": cd})


def test_reasons_are_merged_across_blocks():
    # Each block numbers its own reasons; the study keeps one table.
    study = Study(rocket=rocket_section(mass=normal(20.0, 40.0)),
                  initial_state=dict(angle=0.05, speed=250.0),
                  solver=dict(method="RK45", max_iterations=300), block_size=4)
    result = study.run(n=60, seed=8, workers=3, progress=False)
    assert len(set(result.failure_reasons)) == len(result.failure_reasons)
    for i in range(result.n):
        mass = result.sample("mass")[i]
        assert (result.reason(i) is not None) == (not np.isfinite(result.apogees[i]))
        if mass > 0:
            assert result.reason(i) is None or result.reason(i) == ITERATION_LIMIT


def test_failing_dask_task_ends_the_study(monkeypatch):
    pytest.importorskip("distributed")

    def broken(plan, seed, block, count, stop=None):
        raise MemoryError("worker ran out of memory")

    monkeypatch.setattr(engine, "run_block", broken)  # in-process workers see it
    with pytest.raises(DispersionError, match="a Dask worker failed on blocks 0 to .*MemoryError: "
                                              "worker ran out of memory"):
        small_study().run(n=30, seed=1, backend="dask", workers=1, processes=False, progress=False)


def test_unknown_dask_scheduler_is_an_error():
    pytest.importorskip("distributed")
    with pytest.raises(DispersionError, match="cannot connect to the Dask scheduler at tcp://127.0.0.1:1"):
        small_study().run(n=10, seed=1, backend="dask", address="tcp://127.0.0.1:1",
                          connect_timeout=1, progress=False)


def study_threads():
    return {t for t in threading.enumerate() if t.name.startswith("aeso-dispersion")}


def test_interrupt_stops_threads_and_leaves_process_usable(monkeypatch):
    # A study long enough that it would run for minutes; the collector
    # raises KeyboardInterrupt, as Ctrl-C does in the calling thread, when
    # the first block comes back.
    study = Study(rocket=rocket_section(cd=normal(0.45, 0.01)),
                  initial_state=dict(angle=0.05, speed=250.0),
                  solver=dict(method="Euler", dt=0.0001), block_size=50)
    original = backends.Collector.add

    def interrupted(self, block, result):
        original(self, block, result)
        raise KeyboardInterrupt

    monkeypatch.setattr(backends.Collector, "add", interrupted)
    before = study_threads()
    with pytest.raises(KeyboardInterrupt):
        study.run(n=10**7, seed=2, workers=2, progress=False)
    for thread in study_threads() - before:
        thread.join(timeout=30)
        assert not thread.is_alive()
    monkeypatch.undo()
    assert small_study().run(n=10, seed=1, workers=2, progress=False).n == 10


def test_stopped_block_leaves_remaining_samples_unrun():
    stop = _flights.StopFlag()
    stop.set()
    plan = small_study().plan
    result = engine.run_block(plan, 1, 0, plan.block_size, stop)
    assert np.isnan(result.outcomes).all() and (result.codes == engine.STOPPED).all()


def test_killed_dask_worker_ends_the_study():
    dask = pytest.importorskip("dask")
    distributed = pytest.importorskip("distributed")
    import os
    import signal

    # Euler at 0.1 ms: every run uses its 100000 iterations, a few ms each.
    study = Study(rocket=rocket_section(cd=normal(0.45, 0.01)),
                  initial_state=dict(angle=0.05, speed=250.0),
                  solver=dict(method="Euler", dt=0.0001), block_size=50)
    # No retry of a task whose worker died, so that the first death ends it.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), \
            distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                     dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        pid = next(iter(client.run(os.getpid).values()))
        killer = threading.Timer(1.0, os.kill, (pid, signal.SIGKILL))
        killer.start()
        try:
            with pytest.raises(DispersionError, match="a Dask worker failed on blocks .*KilledWorker"):
                study.run(n=100_000, seed=1, backend="dask", client=client, progress=False)
        finally:
            killer.cancel()
