"""Confidence intervals: coverage on distributions of known quantiles,
agreement with SciPy's own intervals, and honest unbounded sides."""

import math

import numpy as np
import pytest

stats = pytest.importorskip("scipy.stats")

from aeso_dispersion.intervals import (Interval, describe, mean_interval, order_statistic_ranks,
                                       paired_difference_interval, percentile_interval, proportion_interval,
                                       rank_coverage, threshold_interval)

REPETITIONS = 2000
LEVEL = 0.95
# An exact interval covers at least LEVEL; the simulated coverage of 2000
# repetitions has a standard error of about 0.5 %, hence the lower limit. An
# interval covering more than TOO_WIDE would be needlessly wide.
LOWEST_COVERAGE = 0.94
TOO_WIDE = 0.99

KNOWN = {
    "normal": (lambda rng, shape: rng.normal(3.0, 2.0, shape), stats.norm(3.0, 2.0)),
    "exponential": (lambda rng, shape: rng.exponential(5.0, shape), stats.expon(scale=5.0)),
    "uniform": (lambda rng, shape: rng.uniform(-1.0, 4.0, shape), stats.uniform(-1.0, 5.0)),
}


@pytest.fixture(scope="module", params=sorted(KNOWN))
def repetitions(request):
    """2000 sorted samples of 1000 values of a distribution of known quantiles."""
    draw, law = KNOWN[request.param]
    rng = np.random.default_rng(20261208)
    return np.sort(draw(rng, (REPETITIONS, 1000)), axis=1), law


@pytest.mark.parametrize("p", [1, 50, 99])
def test_percentile_intervals_cover_the_true_percentile(repetitions, p):
    ordered, law = repetitions
    interval = percentile_interval(ordered, p, LEVEL)
    truth = law.ppf(p / 100)
    covered = np.mean((interval.low <= truth) & (truth <= interval.high))
    assert LOWEST_COVERAGE <= covered <= TOO_WIDE, covered
    # The estimate is NumPy's percentile, inside its interval.
    np.testing.assert_array_equal(interval.estimate, np.percentile(ordered, p, axis=1))
    assert np.all((interval.low <= interval.estimate) & (interval.estimate <= interval.high))


@pytest.mark.parametrize("h_quantile", [0.5, 0.95, 0.99])
def test_threshold_intervals_cover_the_true_probability(repetitions, h_quantile):
    ordered, law = repetitions
    h = law.ppf(h_quantile)
    for above, truth in ((True, 1 - h_quantile), (False, h_quantile)):
        interval = threshold_interval(ordered, h, above, LEVEL)
        covered = np.mean((interval.low <= truth) & (truth <= interval.high))
        assert LOWEST_COVERAGE <= covered <= TOO_WIDE, (above, covered)


def test_mean_interval_covers_the_true_mean(repetitions):
    ordered, law = repetitions
    interval = mean_interval(ordered, LEVEL)
    covered = np.mean((interval.low <= law.mean()) & (law.mean() <= interval.high))
    # The t interval is exact for normal values only; with 1000 values of a
    # skewed law it stays close.
    assert 0.93 <= covered <= TOO_WIDE, covered


@pytest.mark.parametrize("n", [1, 2, 3, 10, 59, 60, 299, 300, 1000, 12345])
@pytest.mark.parametrize("q", [0.01, 0.05, 0.5, 0.95, 0.99])
@pytest.mark.parametrize("level", [0.8, 0.95, 0.99])
def test_order_statistic_ranks_are_the_tightest_equal_tailed_choice(n, q, level):
    low, high = order_statistic_ranks(n, q, level)
    tail = (1 - level) / 2
    binom = stats.binom(n, q)
    assert 0 <= low < high <= n + 1
    # P(K < low) <= tail, and low + 1 would break it (or is beyond n).
    assert binom.cdf(low - 1) <= tail
    assert low == n or binom.cdf(low) > tail
    # P(K >= high) <= tail, and high - 1 would break it.
    assert binom.sf(high - 1) <= tail
    assert high == 1 or binom.sf(high - 2) > tail
    assert rank_coverage(n, q, low, high) >= level


@pytest.mark.parametrize("n, p, bounded_low, bounded_high", [
    (1, 50, False, False),    # one value bounds nothing at 95 %
    (5, 50, False, False),    # 2 * 0.5^5 > 5 %: min and max are not enough
    (6, 50, True, True),
    (367, 99, True, False),   # 0.99^367 > 2.5 %: the maximum is not enough for p99
    (368, 99, True, True),
    (100, 1, False, True),
    (20, 99.9, True, False),  # the only lower bound, the maximum, lies above the estimate
    (20, 0.1, False, True),
])
def test_sides_too_few_values_cannot_bound_are_unbounded(n, p, bounded_low, bounded_high):
    values = np.sort(np.random.default_rng(n).normal(size=n))
    interval = percentile_interval(values, p, LEVEL)
    assert math.isfinite(interval.estimate) and interval.low <= interval.estimate <= interval.high
    assert math.isfinite(interval.low) == bounded_low and math.isfinite(interval.high) == bounded_high
    assert interval.low == (-math.inf if not bounded_low else interval.low)
    assert interval.high == (math.inf if not bounded_high else interval.high)
    assert (interval.half_width == math.inf) == (not (bounded_low and bounded_high))


@pytest.mark.parametrize("make", [
    lambda v: percentile_interval(v, 50), mean_interval, lambda v: threshold_interval(v, 1.0),
])
def test_no_values_give_no_estimate(make):
    interval = make(np.array([]))
    assert math.isnan(interval.estimate) and not interval.half_width <= 1e300


@pytest.mark.parametrize("k, n", [(0, 10), (1, 10), (5, 10), (10, 10), (0, 1), (1, 1), (3, 1000), (999, 1000)])
@pytest.mark.parametrize("level", [0.9, 0.95])
def test_clopper_pearson_matches_scipy(k, n, level):
    interval = proportion_interval(k, n, level)
    reference = stats.binomtest(k, n).proportion_ci(confidence_level=level, method="exact")
    assert interval.estimate == k / n
    assert interval.low == pytest.approx(reference.low, abs=1e-12)
    assert interval.high == pytest.approx(reference.high, abs=1e-12)


def test_mean_interval_matches_scipy_and_is_unbounded_for_one_value():
    values = np.random.default_rng(3).normal(10.0, 2.0, 50)
    interval = mean_interval(values, 0.9)
    low, high = stats.t.interval(0.9, 49, loc=values.mean(), scale=stats.sem(values))
    assert (interval.low, interval.high) == pytest.approx((low, high), rel=1e-12)
    one = mean_interval(np.array([4.0]))
    assert one.estimate == 4.0 and one.low == -math.inf and one.high == math.inf


def test_half_width_is_the_larger_side():
    assert Interval(10.0, 9.0, 12.5).half_width == 2.5
    assert Interval(10.0, 6.0, 10.5).half_width == 4.0
    assert Interval(10.0, 9.0, math.inf).half_width == math.inf


def test_describe_leaves_failed_runs_out_and_names_its_statistics():
    rng = np.random.default_rng(7)
    values = rng.normal(100.0, 5.0, 2000)
    with_failures = np.concatenate([values[:1000], [math.nan] * 37, values[1000:]])
    summary = describe(with_failures, percentiles=(2.5, 50, 97.5), thresholds=(110.0,))
    assert summary["n"] == 2000
    assert list(summary["percentiles"]) == ["p2.5", "p50", "p97.5"]
    assert summary["percentiles"]["p50"] == percentile_interval(np.sort(values), 50).as_floats()
    assert summary["mean"].estimate == pytest.approx(values.mean())
    above, below = summary["thresholds"][110.0]["above"], summary["thresholds"][110.0]["below"]
    assert above.estimate == np.mean(values > 110.0) and below.estimate == np.mean(values < 110.0)
    assert (summary["min"], summary["max"]) == (values.min(), values.max())


@pytest.mark.parametrize("cells, low, high", [
    # Pairs (both, only B, only A, neither): the published worked example of
    # Newcombe's paired method with the continuity-corrected phi.
    ((14, 5, 0, 22), 0.0115, 0.2265),
    ((14, 0, 5, 22), -0.2265, -0.0115),  # the designs swapped
])
def test_paired_difference_interval_matches_the_published_example(cells, low, high):
    both, only_b, only_a, neither = cells
    a = [True] * both + [False] * only_b + [True] * only_a + [False] * neither
    b = [True] * both + [True] * only_b + [False] * only_a + [False] * neither
    interval = paired_difference_interval(a, b)
    assert interval.estimate == pytest.approx((only_b - only_a) / sum(cells))
    assert (round(interval.low, 4), round(interval.high, 4)) == (low, high)
