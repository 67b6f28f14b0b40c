"""Two designs compared on the same draws: exactly the differences of two
separate runs on the same seed, with their intervals, the pairs in which
one design failed, and the inputs the two studies disperse differently."""

import json

import numpy as np
import pytest

from aeso_dispersion import StudyError, Study, normal, uniform
from aeso_dispersion.comparison import compare
from aeso_dispersion.intervals import mean_interval, percentile_interval, proportion_interval

from conftest import rocket_section
from test_cli import run
from test_config import EXAMPLE


def design(cd=0.45, max_iterations=100000, block_size=50, **rocket):
    return Study(rocket=rocket_section(mass=normal(20.0, 0.4), cd=cd, **rocket),
                 initial_state=dict(angle=normal(0.05, 0.02), speed=uniform(100.0, 300.0)),
                 solver=dict(method="Euler", dt=0.01, max_iterations=max_iterations), block_size=block_size)


@pytest.mark.parametrize("b, differences", [
    (design(area_drag=0.0078), []),                                   # a fixed property changed
    (design(max_iterations=1500), []),                                 # only B's fast runs fail
    (design(cd=normal(0.42, 0.03)), [("rocket.cd", "fixed 0.45", "normal(mean=0.42, std=0.03)")]),
])
def test_compare_is_two_separate_runs_on_the_same_seed(b, differences):
    a = design()
    comparison = compare(a, b, n=300, seed=8, progress=False)
    separate_a, separate_b = a.run(n=300, seed=8, progress=False), b.run(n=300, seed=8, progress=False)
    assert comparison.dispersion_differences == differences
    np.testing.assert_array_equal(comparison.a.sample("mass"), comparison.b.sample("mass"))
    only_b = separate_b.failed & ~separate_a.failed
    assert comparison.pairs()["only_b_failed"] == only_b.sum() and (only_b.any() == (b.max_iterations < 10**5))
    stats = comparison.statistics()
    for outcome in ("apogee", "speed_at_apogee"):
        d = separate_b.outcomes()[outcome] - separate_a.outcomes()[outcome]
        np.testing.assert_array_equal(comparison.differences(outcome), d)
        d = d[~np.isnan(d)]
        assert stats[outcome]["mean_difference"] == mean_interval(d).as_floats()
        assert stats[outcome]["percentiles"]["p5"] == percentile_interval(np.sort(d), 5.0).as_floats()
        assert stats[outcome]["p_b_greater"] == proportion_interval(np.count_nonzero(d > 0), d.size).as_floats()


def test_studies_of_other_block_sizes_have_no_draws_in_common():
    with pytest.raises(StudyError, match=r"the block sizes differ \(A 50, B 40\)"):
        compare(design(), design(block_size=40), n=10, seed=1, progress=False)


def test_compare_command(tmp_path):
    variant = tmp_path / "b.toml"
    variant.write_text(EXAMPLE.read_text().replace("area_drag = 0.0081   ", "area_drag = 0.0078   "))
    out = tmp_path / "compare.json"
    proc = run("compare", EXAMPLE, variant, "-n", 500, "--seed", 2, "--json", out, "--no-progress")
    assert proc.returncode == 0, proc.stderr
    document = json.loads(out.read_text())
    mean = document["outcomes"]["apogee"]["mean_difference"]
    assert set(mean) == {"estimate", "low", "high"} and 0 < mean["low"] < mean["estimate"] < mean["high"]
    assert document["pairs"]["both_succeeded"] == document["n"] == 500
    assert f"    mean     {mean['estimate']:>12.3f}  ({mean['low']:.3f} to {mean['high']:.3f})" in proc.stdout
    refused = run("compare", EXAMPLE, variant, "--json", variant)
    assert refused.returncode == 2 and refused.stderr.count("\n") == 1
    assert f"the --json file {variant} is also the study file" in refused.stderr
