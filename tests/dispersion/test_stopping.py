"""Stopping rules: what they read, when they are checked, and that the
stop depends only on the samples in order."""

import math

import numpy as np
import pytest

pytest.importorskip("scipy.stats")

from aeso_dispersion.intervals import percentile_interval, proportion_interval
from aeso_dispersion.stopping import (FIRST_ROUND_SAMPLES, Statistic, StoppingRule, Tracker,
                                      apply_rule, round_ends)


@pytest.mark.parametrize("text, kind, outcome, value, tolerance, label", [
    ("p99=1.0", "percentile", "apogee", 99.0, 1.0, "p99"),
    (" p2.5 = 0.25 ", "percentile", "apogee", 2.5, 0.25, "p2.5"),
    ("mean=0.5", "mean", "apogee", math.nan, 0.5, "mean"),
    ("p50(time_of_apogee)=0.01", "percentile", "time_of_apogee", 50.0, 0.01, "p50(time_of_apogee)"),
    ("mean(downrange)=2", "mean", "downrange", math.nan, 2.0, "mean(downrange)"),
    ("P(apogee>3048)=0.005", "above", "apogee", 3048.0, 0.005, "P(apogee>3048)"),
    ("P( apogee < 2.5e3 )=1e-3", "below", "apogee", 2500.0, 0.001, "P(apogee<2500)"),
])
def test_rules_read(text, kind, outcome, value, tolerance, label):
    rule = StoppingRule.parse(text)
    assert rule.statistic.kind == kind and rule.statistic.outcome == outcome
    assert rule.statistic.value == pytest.approx(value, nan_ok=True)
    assert rule.tolerance == tolerance and rule.statistic.label == label
    assert StoppingRule.parse(str(rule)) == rule


@pytest.mark.parametrize("text, message", [
    ("p99", "STAT=TOL"),
    ("=1", "STAT=TOL"),
    ("p99=wide", "not a number"),
    ("p99=0", "positive"),
    ("p99=-1", "positive"),
    ("p99=inf", "positive"),
    ("p100=1", "strictly between 0 and 100"),
    ("p0=1", "strictly between 0 and 100"),
    ("median=1", "unknown statistic"),
    ("P(apogee>=3)=0.1", "unknown statistic"),
    ("P(apogee>)=0.1", "unknown statistic"),
    ("p99(apogee=1", "unknown statistic"),
])
def test_bad_rules_are_refused_with_the_reason(text, message):
    with pytest.raises(ValueError, match=message):
        StoppingRule.parse(text)


@pytest.mark.parametrize("n_max, block_size", [
    (1, 1), (999, 1000), (1000, 1000), (1001, 1000), (10**6, 1000), (12345, 7), (10**5, 64), (5000, 5000),
])
def test_rounds_end_on_whole_blocks_and_grow_geometrically(n_max, block_size):
    ends = round_ends(n_max, block_size)
    assert ends == round_ends(n_max, block_size)
    assert ends[-1] == n_max and all(a < b for a, b in zip(ends, ends[1:]))
    assert all(end % block_size == 0 for end in ends[:-1])
    if len(ends) > 1:
        assert ends[0] >= min(FIRST_ROUND_SAMPLES, n_max)
        assert ends[0] - FIRST_ROUND_SAMPLES < block_size
    blocks = [end // block_size for end in ends[:-1]]
    # Each round adds one block or a quarter of the blocks so far (rounded up).
    assert all(b == max(a + 1, -(-5 * a // 4)) for a, b in zip(blocks, blocks[1:]))


def test_a_million_samples_take_few_rounds():
    assert len(round_ends(10**6, 1000)) < 30


def test_the_rule_stops_at_the_first_round_end_where_it_holds():
    values = np.random.default_rng(11).normal(1000.0, 30.0, 60000)
    rule = StoppingRule.parse("p99=3")
    outcome = apply_rule(rule, values, 60000, 500)
    ends = round_ends(60000, 500)
    assert outcome.met and outcome.n in ends
    for checkpoint, end in zip(outcome.checkpoints, ends):
        expected = percentile_interval(np.sort(values[:end]), 99).as_floats()
        assert checkpoint.n == end and checkpoint.interval == expected
        assert checkpoint.met == (expected.half_width <= 3)
    assert [c.met for c in outcome.checkpoints] == [False] * (len(outcome.checkpoints) - 1) + [True]
    assert outcome.interval.half_width <= 3
    # A tighter rule is met later; an impossible one runs to n_max unmet.
    assert apply_rule(StoppingRule.parse("p99=2"), values, 60000, 500).n > outcome.n
    never = apply_rule(StoppingRule.parse("p99=0.001"), values, 60000, 500)
    assert not never.met and never.n == 60000 and never.checkpoints[-1].n == 60000


def test_failed_runs_are_left_out_of_a_rule_but_count_towards_n():
    rng = np.random.default_rng(5)
    values = rng.normal(0.0, 1.0, 20000)
    values[rng.random(20000) < 0.1] = math.nan
    outcome = apply_rule(StoppingRule.parse("P(apogee>1)=0.01"), values, 20000, 1000)
    assert outcome.met
    ok = values[:outcome.n][~np.isnan(values[:outcome.n])]
    assert outcome.interval == proportion_interval(np.count_nonzero(ok > 1), ok.size).as_floats()


@pytest.mark.parametrize("chunks", [[1], [7, 13, 999], [4000], [250] * 3 + [10**5]])
def test_the_stop_does_not_depend_on_how_the_samples_arrive(chunks):
    """Blocks finish in bursts of any size (backends, worker counts); the
    tracker sees the growing prefix and stops where a single look would."""
    values = np.random.default_rng(2).exponential(10.0, 40000)
    rule = StoppingRule.parse("mean=0.2")
    expected = apply_rule(rule, values, 40000, 100)
    tracker = Tracker(rule, 40000, 100)
    done, i = 0, 0
    while tracker.advance(values[:done]) is None:
        done = min(40000, done + chunks[min(i, len(chunks) - 1)])
        i += 1
    assert tracker.outcome() == expected and expected.met


def test_statistic_of_another_outcome_reads_its_values():
    stat = Statistic.parse("p50(time_of_apogee)")
    values = np.array([3.0, 1.0, 2.0, math.nan])
    assert stat.interval(values).estimate == 2.0
