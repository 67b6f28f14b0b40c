"""Common random numbers: each input has its own stream, keyed by its name,
so changing one input leaves the draws of the others as they were; and the
results of a given study file, seed and block size are kept in a golden
file."""

import csv
import pathlib

import numpy as np
import pytest

from aeso_dispersion import Study, load_study, normal, triangular, uniform

from conftest import rocket_section

GOLDEN = pathlib.Path(__file__).parent / "golden"


def variant(**changes):
    rocket = dict(mass=normal(20.0, 0.4), cd=normal(0.45, 0.03),
                  moment_of_inertia=uniform(8.0, 9.0))
    state = dict(angle=normal(0.05, 0.02), speed=normal(250.0, 5.0))
    for key, value in changes.items():
        (rocket if key in rocket or key in ("cl_a", "area_drag") else state)[key] = value
    return Study(rocket=rocket_section(**rocket), initial_state=state, solver=dict(method="RK45"),
                 block_size=16)


@pytest.mark.parametrize("changes, changed", [
    (dict(cd=0.45), "rocket.cd"),                               # fixing one input
    (dict(cd=triangular(0.4, 0.45, 0.5)), "rocket.cd"),          # another distribution
    (dict(cl_a=uniform(1.8, 2.2)), "rocket.cl_a"),               # adding one
    (dict(area_drag=normal(0.0081, 0.0001)), "rocket.area_drag"),  # adding one before others
])
def test_changing_one_input_keeps_the_draws_of_the_others(changes, changed):
    base = variant().run(n=40, seed=9, workers=2, progress=False)
    other = variant(**changes).run(n=40, seed=9, workers=2, progress=False)
    kept = [name for name in base.names if name != changed]
    assert kept and set(kept) <= set(other.names)
    for name in kept:
        np.testing.assert_array_equal(other.sample(name), base.sample(name), err_msg=name)
    if changed in base.names and changed in other.names:
        assert not np.array_equal(other.sample(changed), base.sample(changed))


def test_inputs_with_the_same_distribution_draw_different_values():
    study = Study(rocket=rocket_section(), solver=dict(method="RK45"),
                  initial_state=dict(angle=normal(0.0, 0.01), speed=250.0,
                                     angular_rate=normal(0.0, 0.01)))
    result = study.run(n=50, seed=1, progress=False)
    assert abs(np.corrcoef(result.sample("angle"), result.sample("angular_rate"))[0, 1]) < 0.5


def read_golden(path):
    with open(path, newline="") as f:
        lines = f.read().splitlines()
    meta = dict(line[2:].split(": ", 1) for line in lines if line.startswith("# "))
    rows = list(csv.reader(line for line in lines if not line.startswith("# ")))
    return meta, rows[0], rows[1:]


@pytest.mark.parametrize("options", [dict(workers=1), dict(workers=3)])
def test_golden_results(tmp_path, options):
    out = tmp_path / "results.csv"
    load_study(GOLDEN / "study.toml").run(output=out, progress=False, **options)
    meta, names, rows = read_golden(out)
    golden_meta, golden_names, golden_rows = read_golden(GOLDEN / "results.csv")
    # Every key but those that name the build, the path and the plan's form:
    # the distributions, the correlation, the failure codes, the fixed inputs.
    ignored = ("version", "study_file", "fingerprint")
    assert {k: v for k, v in meta.items() if k not in ignored} == \
        {k: v for k, v in golden_meta.items() if k not in ignored}
    # Every golden column, compared as text: the exact float bits and reasons.
    assert len(rows) == len(golden_rows) == 30
    for j, name in enumerate(golden_names):
        column = names.index(name)
        assert [row[column] for row in rows] == [row[j] for row in golden_rows], name
    failures = [row[golden_names.index("failure")] for row in golden_rows]
    assert any("outside its domain" in f for f in failures) and any(f == "" for f in failures)
