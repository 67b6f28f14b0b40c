"""Studies with intervals: a stopping rule that ends at the same n on every
backend, correlated inputs drawn through the copula, and a JSON summary
holding every number the summary prints."""

import json
import re
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("scipy.stats")

from aeso_dispersion import StudyError, load_study, normal, uniform
from aeso_dispersion.engine import draw_block
from aeso_dispersion.stopping import StoppingRule, apply_rule, round_ends

from conftest import small_study
from test_config import VALID
from test_reproducibility import assert_same

N_MAX = 4000
BLOCK = 50
# Half-width of the mean's interval: about 3.5 m after 2000 of these runs,
# 2.5 m after 4000, so the rule stops between the first and the last round.
RULE = "mean=3.2"


@pytest.fixture(scope="module")
def unstopped():
    return small_study(block_size=BLOCK).run(n=N_MAX, seed=3, workers=2, progress=False)


@pytest.fixture(scope="module")
def expected(unstopped):
    return apply_rule(StoppingRule.parse(RULE), unstopped.apogees, N_MAX, BLOCK)


@pytest.mark.parametrize("backend", [
    dict(workers=1), dict(workers=2),
    dict(backend="dask", workers=2, processes=False), dict(backend="dask", workers=2, blocks_per_task=3),
])
def test_the_rule_stops_at_the_same_n_on_every_backend(unstopped, expected, backend):
    if backend.get("backend") == "dask":
        pytest.importorskip("distributed")
    result = small_study(block_size=BLOCK).run(n=N_MAX, seed=3, until=RULE, progress=False, **backend)
    assert round_ends(N_MAX, BLOCK)[0] < result.n < N_MAX and result.n in round_ends(N_MAX, BLOCK)
    assert result.n == expected.n and result.stopping == expected
    assert result.stopping.met and result.stopping.interval.half_width <= 3.2
    # The kept runs are exactly the first n of a study without a rule.
    np.testing.assert_array_equal(result.samples, unstopped.samples[:result.n], strict=True)
    np.testing.assert_array_equal(result.apogees, unstopped.apogees[:result.n], strict=True)
    assert result.statistics()["apogee"]["mean"] == result.stopping.interval


def test_a_rule_on_another_outcome_reads_that_outcome(unstopped):
    rule = StoppingRule.parse("p50(time_of_apogee)=0.02")
    expected = apply_rule(rule, unstopped.apogee_times, N_MAX, BLOCK)
    result = small_study(block_size=BLOCK).run(n=N_MAX, seed=3, until=rule, workers=2, progress=False)
    assert result.stopping == expected and result.n == expected.n < N_MAX
    stats = result.statistics()
    assert stats["time_of_apogee"]["percentiles"]["p50"] == expected.interval
    assert set(stats) == {"apogee", "time_of_apogee", "downrange", "speed_at_apogee"}


def test_a_rule_not_met_runs_to_the_maximum(unstopped):
    result = small_study(block_size=BLOCK).run(n=N_MAX, seed=3, until="mean=0.1", progress=False)
    assert not result.stopping.met and result.n == N_MAX
    assert_same(result, unstopped)
    assert "until mean=0.1: not met by n = 4000" in result.format_summary()


def test_a_stopped_study_writes_no_block_past_the_stop(tmp_path, expected):
    path = tmp_path / "runs.csv"
    result = small_study(block_size=BLOCK).run(n=N_MAX, seed=3, until=RULE, workers=2,
                                               output=path, progress=False)
    lines = [line for line in path.read_text().splitlines() if not line.startswith("#")]
    assert len(lines) - 1 == result.n == expected.n


def correlated_study(correlation=None, **dispersed):
    rocket = dict(mass=normal(20.0, 0.4), cd=uniform(0.42, 0.48), area_drag=0.0081,
                  area_lift=0.0081, moment_of_inertia=uniform(8.0, 9.0),
                  stab_margin_dimensional=0.25, cl_a=2.0)
    rocket.update(dispersed)
    return small_study().__class__(rocket=rocket, initial_state=dict(angle=normal(0.05, 0.01),
                                                                      speed=normal(250.0, 5.0)),
                                   solver=dict(method="RK45"), block_size=1000,
                                   correlation=correlation)


def draws(study, blocks=5):
    return np.concatenate([draw_block(study.plan, 99, b) for b in range(blocks)], axis=1)


def test_correlated_inputs_get_the_rank_correlation_and_keep_their_distributions():
    stats = pytest.importorskip("scipy.stats")
    study = correlated_study({"inputs": ["mass", "moment_of_inertia"], "matrix": [[1, 0.7], [0.7, 1]]})
    values = dict(zip(study.dispersed, draws(study)))
    mass, inertia = values["rocket.mass"], values["rocket.moment_of_inertia"]
    n = mass.size
    assert stats.spearmanr(mass, inertia).statistic == pytest.approx(0.7, abs=4 * (1 - 0.49) / n**0.5)
    # Each keeps its own law (Kolmogorov-Smirnov distance well below the 1 % critical value 1.63/sqrt(n)).
    assert stats.kstest(mass, stats.norm(20.0, 0.4).cdf).statistic < 1.63 / n**0.5
    assert stats.kstest(inertia, stats.uniform(8.0, 1.0).cdf).statistic < 1.63 / n**0.5
    assert 8.0 <= inertia.min() and inertia.max() <= 9.0


@pytest.mark.parametrize("correlation", [None, {"inputs": ["cd", "stab_margin_dimensional"],
                                                 "matrix": [[1.0, -0.5], [-0.5, 1.0]]}])
def test_sensitivity_calls_no_index_a_share_of_correlated_inputs(correlation):
    # The stability margin has no effect on the apogee; correlated, it takes a part of cd's.
    study = correlated_study(correlation, stab_margin_dimensional=normal(0.25, 0.02))
    result = study.run(n=2000, seed=4, progress=False)
    text = result.format_sensitivity()
    assert ("share of the variance" in text) == (correlation is None)
    assert ("they are not causal shares" in text) == (correlation is not None)


def test_inputs_outside_the_correlation_keep_exactly_their_draws():
    alone = correlated_study()
    together = correlated_study({"inputs": ["rocket.mass", "rocket.moment_of_inertia"],
                                 "matrix": [[1.0, 0.7], [0.7, 1.0]]})
    a, b = dict(zip(alone.dispersed, draws(alone))), dict(zip(together.dispersed, draws(together)))
    for name in ("rocket.cd", "initial_state.angle", "initial_state.speed"):
        np.testing.assert_array_equal(a[name], b[name], strict=True)
    assert not np.array_equal(a["rocket.moment_of_inertia"], b["rocket.moment_of_inertia"])
    assert together.fingerprint != alone.fingerprint  # a results file of one does not resume the other


@pytest.mark.parametrize("correlation, key, problem", [
    ({"inputs": ["mass", "area_drag"], "matrix": [[1, 0.5], [0.5, 1]]}, "correlation.inputs",
     "'area_drag' is not a dispersed input"),
    ({"inputs": ["mass", "cd"], "matrix": [[1, 0.5], [0.4, 1]]}, "correlation.matrix", "symmetric"),
    ({"inputs": ["mass", "cd", "speed"], "matrix": [[1, 0.9, -0.9], [0.9, 1, 0.9], [-0.9, 0.9, 1]]},
     "correlation.matrix", "not positive semi-definite"),
    ({"inputs": ["mass"], "matrix": [[1]], "extra": 1}, "correlation", "exactly the keys"),
])
def test_invalid_correlations_are_refused(correlation, key, problem):
    with pytest.raises(StudyError, match=re.escape(key) + ": .*" + re.escape(problem)):
        correlated_study(correlation)


STATISTICS = """
[statistics]
confidence = 0.9
percentiles = [2.5, 50, 97.5]
thresholds = [2400.0]
until = "p50=20"

[correlation]
inputs = ["mass", "cd"]
matrix = [[1.0, -0.5], [-0.5, 1.0]]
"""


def test_the_study_file_sets_statistics_and_correlation(tmp_path):
    path = tmp_path / "study.toml"
    path.write_text(VALID + STATISTICS)
    study = load_study(path)
    assert study.reporting.level == 0.9 and study.reporting.percentiles == (2.5, 50.0, 97.5)
    assert [(t.outcome, t.value) for t in study.reporting.thresholds] == [("apogee", 2400.0)]
    assert str(study.until) == "p50=20" and study.correlation.names == ("rocket.mass", "rocket.cd")
    path.write_text(VALID + STATISTICS.replace("confidence = 0.9", "confidence = 95"))
    with pytest.raises(StudyError, match=r"statistics: the confidence level must lie strictly between"):
        load_study(path)
    path.write_text(VALID + STATISTICS.replace("until = ", "stop = "))
    with pytest.raises(StudyError, match=r"statistics.stop: unknown key"):
        load_study(path)


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "aeso_dispersion.cli", *map(str, args)],
                          capture_output=True, text=True, timeout=300)


NUMBER = re.compile(r"(?<![\w.])[-+]?\d+(?:\.\d+)?(?![\w.])( %)?")


def json_numbers(value):
    if isinstance(value, dict):
        return [x for v in value.values() for x in json_numbers(v)]
    if isinstance(value, list):
        return [x for v in value for x in json_numbers(v)]
    return [float(value)] if isinstance(value, (int, float)) and not isinstance(value, bool) else []


def test_every_printed_number_is_in_the_json(tmp_path):
    path, out = tmp_path / "study.toml", tmp_path / "summary.json"
    path.write_text(VALID.replace("max_iterations", "#") + STATISTICS.replace("until = ", "# "))
    proc = run_cli(path, "-n", 600, "--seed", 5, "--threshold", 2450, "--until", "p50=4",
                   "--json", out, "--no-progress")
    assert proc.returncode == 0, proc.stderr
    document = json.loads(out.read_text())
    numbers = np.array(json_numbers(document))
    text = proc.stdout[:proc.stdout.index("wrote")]
    found = 0
    for match in NUMBER.finditer(text):
        token = match.group(0).removesuffix(" %")
        printed = float(token)
        decimals = len(token.split(".")[1]) if "." in token else 0
        candidates = numbers * 100 if match.group(1) else numbers
        assert np.any(np.abs(candidates - printed) <= 0.5 * 10.0**-decimals * (1 + 1e-9)), token
        found += 1
    assert found > 40
    assert document["stopping"]["met"] and document["stopping"]["n"] == document["n"]
    assert set(document["outcomes"]["apogee"]["percentiles"]) == {"p2.5", "p50", "p97.5"}


@pytest.mark.parametrize("args, status, message", [
    (["--until", "p99"], 2, "--until: a stopping rule reads STAT=TOL"),
    (["--until", "p50(time_to_moon)=1"], 2, "no outcome 'time_to_moon' in a 3dof study"),
    (["--confidence", "1.5"], 2, "strictly between 0 and 1"),
    (["--percentiles", "5,abc"], 2, "not a list of numbers"),
    (["--threshold", "high"], 2, "is not a number"),
    (["--threshold", "downrange_at_landing:5"], 2, "--threshold: no outcome 'downrange_at_landing'"),
    (["--until", "mean=0.01", "-n", 30], 4, "the rule mean=0.01 was not met within 30 runs"),
])
def test_statistics_options_are_checked(tmp_path, args, status, message):
    path = tmp_path / "study.toml"
    path.write_text(VALID)
    proc = run_cli(path, "--no-progress", *args)
    assert proc.returncode == status and message in proc.stderr, proc.stderr


def test_a_one_dof_study_offers_no_downrange_to_stop_on_or_threshold():
    from aeso_dispersion import Study

    rocket = dict(mass=normal(20.0, 0.4), cd=0.45, area_drag=0.0081, area_lift=0.0081,
                  moment_of_inertia=8.5, stab_margin_dimensional=0.25, cl_a=2.0)
    study = Study(rocket=rocket, initial_state=dict(initial_height=0.0, initial_velocity=200.0),
                  solver=dict(method="RK45"), model="1dof")
    with pytest.raises(StudyError, match="until: no outcome 'downrange' in a 1dof study"):
        study.run(n=10, seed=1, until="mean(downrange)=1", progress=False)
    with pytest.raises(StudyError, match="statistics.thresholds: no outcome 'speed_at_apogee'"):
        Study(rocket=rocket, initial_state=dict(initial_height=0.0, initial_velocity=200.0),
              solver=dict(method="RK45"), model="1dof", thresholds=["speed_at_apogee:3"])
    result = study.run(n=1200, seed=1, until="p50(time_of_apogee)=0.5", progress=False)
    assert set(result.statistics()) == {"apogee", "time_of_apogee"}
    assert result.stopping.met and result.n == 1000
