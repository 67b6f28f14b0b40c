"""The same seed gives the same samples and apogees on every backend,
worker count and grouping of blocks into tasks; each apogee is exactly the
one a direct aeso call gives for its drawn inputs."""

import numpy as np
import pytest

from aeso_dispersion import Study, normal, uniform

from conftest import NOMINAL_ROCKET, expected_apogee, rocket_section, small_study

N = 40  # six blocks of 7, the last one cut


def assert_same(a, b):
    np.testing.assert_array_equal(a.samples, b.samples, strict=True)
    for outcome in ("apogees", "apogee_times", "downrange", "apogee_speeds", "steps"):
        np.testing.assert_array_equal(getattr(a, outcome), getattr(b, outcome), strict=True)
    np.testing.assert_array_equal(a.failure_codes, b.failure_codes, strict=True)
    assert a.failure_reasons == b.failure_reasons


@pytest.fixture(scope="module")
def reference():
    return small_study().run(n=N, seed=12345, backend="threads", workers=1, progress=False)


@pytest.mark.parametrize("workers", [2, 4])
def test_threads_match_one_thread(reference, workers):
    assert_same(small_study().run(n=N, seed=12345, workers=workers, progress=False), reference)


@pytest.mark.parametrize("blocks_per_task", [None, 1, 4])
def test_dask_in_process_matches_threads(reference, blocks_per_task):
    pytest.importorskip("distributed")
    result = small_study().run(n=N, seed=12345, backend="dask", workers=2, processes=False,
                               blocks_per_task=blocks_per_task, progress=False)
    assert_same(result, reference)


def test_dask_worker_processes_match_threads(reference):
    pytest.importorskip("distributed")
    result = small_study().run(n=N, seed=12345, backend="dask", workers=2, progress=False)
    assert result.workers == 2
    assert_same(result, reference)


def test_dask_existing_client(reference):
    distributed = pytest.importorskip("distributed")
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=2,
                            dashboard_address=None) as client:
        result = small_study().run(n=N, seed=12345, backend="dask", client=client, progress=False)
        assert client.status == "running"  # a client given by the caller stays open
    assert_same(result, reference)


def test_samples_do_not_depend_on_n(reference):
    longer = small_study().run(n=N + 15, seed=12345, workers=3, progress=False)
    np.testing.assert_array_equal(longer.samples[:N], reference.samples)
    np.testing.assert_array_equal(longer.apogees[:N], reference.apogees)


def test_seed_and_block_size_change_the_samples(reference):
    other_seed = small_study().run(n=N, seed=12346, workers=1, progress=False)
    other_blocks = small_study(block_size=8).run(n=N, seed=12345, workers=1, progress=False)
    assert not np.any(other_seed.samples == reference.samples)
    # Block 0 of either size starts with the same draws of the first input.
    assert not np.array_equal(other_blocks.samples, reference.samples)


def test_samples_follow_their_distributions():
    study = Study(rocket=rocket_section(mass=normal(20.0, 0.5), cd=uniform(0.4, 0.5)),
                  initial_state=dict(angle=0.05, speed=250.0), solver=dict(method="RK45"),
                  block_size=500)
    result = study.run(n=4000, seed=3, progress=False)
    mass, cd = result.sample("mass"), result.sample("rocket.cd")
    assert abs(mass.mean() - 20.0) < 0.05 and abs(mass.std() - 0.5) < 0.03
    assert cd.min() >= 0.4 and cd.max() < 0.5 and abs(cd.mean() - 0.45) < 0.005
    assert abs(np.corrcoef(mass, cd)[0, 1]) < 0.06  # drawn independently


def test_every_apogee_equals_the_direct_call(reference):
    study = small_study()
    assert reference.names == ("rocket.mass", "rocket.cd", "rocket.cl_a", "initial_state.angle",
                               "initial_state.speed", "initial_state.angular_rate")
    for i in range(N):
        values = dict(zip(reference.names, reference.samples[i].tolist()))
        assert reference.apogees[i] == expected_apogee(study, values), i


@pytest.mark.parametrize("model, state, solver", [
    ("1dof", dict(initial_height=normal(10.0, 2.0), initial_velocity=uniform(200.0, 260.0)),
     dict(method="Euler", dt=normal(0.01, 0.001))),
    ("1dof", dict(initial_height=0.0, initial_velocity=250.0), dict(method="RK3")),
    ("3dof", dict(x=1.0, y=2.0, angle=normal(0.05, 0.01), vx=normal(-12.0, 1.0), vy=250.0,
                  angular_rate=0.0), dict(method="RK3", dt=0.02)),
    ("3dof", dict(angle=0.05, speed=250.0),
     dict(method="RK45", relative_error_tolerance=uniform(1e-9, 1e-7), max_iterations=5000)),
])
def test_apogees_equal_direct_calls_for_each_model_and_method(model, state, solver):
    study = Study(rocket=rocket_section(cd=normal(0.45, 0.02)), initial_state=state,
                  solver=solver, model=model, block_size=5)
    result = study.run(n=12, seed=99, workers=2, progress=False)
    assert not result.failed.any()
    for i in range(result.n):
        values = dict(zip(result.names, result.samples[i].tolist()))
        assert result.apogees[i] == expected_apogee(study, values), (i, values)


def test_fixed_study_runs_nominal_rocket():
    study = Study(rocket=NOMINAL_ROCKET, initial_state=dict(angle=0.05, speed=250.0),
                  solver=dict(method="RK45"))
    result = study.run(n=3, seed=0, progress=False)
    assert result.samples.shape == (3, 0)
    assert np.all(result.apogees == expected_apogee(study, {}))
