"""Runs that fail are recorded, not raised; a failing backend ends the study
with a clear error; an interrupt stops a study and leaves the process usable."""

import math
import threading

import numpy as np
import pytest

from aeso_dispersion import DispersionError, Study, normal, uniform
from aeso_dispersion import _flights, backends, engine

from conftest import expected_apogee, rocket_section, small_study

def iteration_limit(max_iterations):
    return f"no apogee within max_iterations ({max_iterations})"


def test_iteration_limit_is_a_recorded_failure():
    # With Euler at 0.05 s the flight to apogee takes about 40 iterations at
    # 20 m/s and 490 at 400 m/s: the fast samples hit a 200-iteration limit.
    study = Study(rocket=rocket_section(), initial_state=dict(angle=0.05, speed=uniform(20.0, 400.0)),
                  solver=dict(method="Euler", dt=0.05, max_iterations=200), block_size=16)
    result = study.run(n=64, seed=5, workers=2, progress=False)
    failed = result.failed
    assert 0 < failed.sum() < result.n
    assert np.all(np.isnan(result.apogees[failed])) and np.all(np.isfinite(result.apogees[~failed]))
    assert result.failure_counts() == {iteration_limit(200): int(failed.sum())}
    assert result.summary()["failed"] == failed.sum() and result.summary()["succeeded"] == (~failed).sum()
    speeds = result.sample("speed")
    assert speeds[failed].min() > speeds[~failed].max()  # the fast ones run out of iterations
    for i in np.flatnonzero(failed).tolist():
        assert result.reason(i) == iteration_limit(200)
        with pytest.raises(BaseException) as info:
            expected_apogee(study, {"initial_state.speed": float(speeds[i])})
        assert type(info.value).__name__ == "InternalError"
    assert f"{failed.sum():>8d}  {iteration_limit(200)}" in result.format_summary()


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
            assert result.reason(i) is None or result.reason(i) == iteration_limit(300)


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
        stop = threading.Event()

        def kill_once_busy():
            # Killed while it holds a task (each runs for minutes), so the
            # task is the one lost, whatever the machine's speed.
            while not stop.is_set():
                if any(client.processing().values()):
                    os.kill(pid, signal.SIGKILL)
                    return
                stop.wait(0.05)

        killer = threading.Thread(target=kill_once_busy)
        killer.start()
        try:
            with pytest.raises(DispersionError, match="a Dask worker failed on blocks .*KilledWorker"):
                study.run(n=100_000, seed=1, backend="dask", client=client, progress=False)
        finally:
            stop.set()
            killer.join()


BIASED = """
[study]
n = 400
seed = 5
block_size = 50
[rocket]
mass = 20.0
cd = 0.45
area_drag = 0.0081
area_lift = 0.0081
moment_of_inertia = 8.5
stab_margin_dimensional = 0.25
cl_a = 2.0
[initial_state]
angle = { distribution = "normal", mean = 0.05, std = 0.02 }
speed = { distribution = "normal", mean = 250.0, std = 5.0 }
[solver]
method = "Euler"
dt = 0.01
max_iterations = 2100
"""


@pytest.mark.parametrize("text, options, status", [
    (BIASED, [], 3),                                   # default: no failure allowed
    (BIASED, ["--max-failed", "0.5"], 3),
    (BIASED, ["--max-failed", "0.9"], 0),
    (BIASED.replace("2100", "5"), ["--max-failed", "1"], 3),   # every run failed
])
def test_failures_are_stated_and_gate_the_exit_status(tmp_path, text, options, status):
    from test_cli import run

    study = tmp_path / "biased.toml"
    study.write_text(text)
    proc = run(study, "--no-progress", *options)
    assert proc.returncode == status, proc.stderr
    failed = int(proc.stdout.split("failed", 1)[1].split()[0])
    fraction = failed / 400
    assert 0.3 < fraction <= 1.0
    assert f"failed{failed:>12d}  ({100 * fraction:.3g} % of the runs)" in proc.stdout
    if fraction < 1:
        assert f"warning: the statistics cover the {400 - failed} successful runs only" in proc.stdout
    else:
        # No table of NaN statistics and no NaN sensitivity rows.
        assert "warning: every run failed" in proc.stdout
        assert "nan" not in proc.stdout
        assert "sensitivity: no successful run" in proc.stdout
    if status:
        assert proc.stderr.count("\n") == 1 and "aeso-dispersion: error: " in proc.stderr
        assert ("every one of the 400 runs failed" in proc.stderr) == (fraction == 1)
    else:
        assert proc.stderr == ""


def test_figure_says_what_its_fractions_are_of(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    study = Study(rocket=rocket_section(), initial_state=dict(angle=0.05, speed=uniform(20.0, 400.0)),
                  solver=dict(method="Euler", dt=0.05, max_iterations=200), block_size=16)
    result = study.run(n=64, seed=5, progress=False)
    figures = []
    monkeypatch.setattr(Figure, "savefig", lambda self, *a, **k: figures.append(self))
    result.plot(tmp_path / "fig.png")
    (fig,) = figures
    failed = int(result.failed.sum())
    assert 0 < failed < 64
    assert f"{failed} failed" in fig._suptitle.get_text()
    assert f"the {64 - failed} successful runs only" in fig._suptitle.get_text()
    assert fig.axes[1].get_ylabel() == "fraction of the successful runs at or below"
