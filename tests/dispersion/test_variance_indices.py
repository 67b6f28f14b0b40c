"""First-order variance-based indices: the values known in closed form, no
bias worth its standard error, an effect a rank correlation misses, and an
honest standard error."""

import math

import numpy as np
import pytest

from aeso_dispersion.results import spearman
from aeso_dispersion.variance_indices import MIN_SAMPLES, first_order_index


def linear_model(seed, n):
    """y = 3 a + b + 0.5 e with independent standard normals: indices 9/10.25,
    1/10.25 and 0 for a third input c that takes no part."""
    a, b, c, e = np.random.default_rng(seed).standard_normal((4, n))
    return (a, b, c), 3 * a + b + 0.5 * e


def test_indices_of_a_linear_model():
    inputs, y = linear_model(4, 20000)
    for x, truth in zip(inputs, (9 / 10.25, 1 / 10.25, 0.0)):
        index = first_order_index(x, y)
        assert 0 < index.standard_error < 0.02
        assert index.estimate == pytest.approx(truth, abs=4 * index.standard_error)


def normal_inputs(rng, n):
    """Y = X + N(0, 0.5^2), X standard normal: S1 = 0.8."""
    x = rng.standard_normal(n)
    return x, x + 0.5 * rng.standard_normal(n), 0.8


def lognormal_inputs(rng, n):
    """Y = X^2 + noise of the same variance, X lognormal(0, 0.5): S1 = 0.5,
    with the curvature in the wide upper tail."""
    x = rng.lognormal(0.0, 0.5, n)
    return x, x**2 + math.sqrt(math.e**2 - math.e) * rng.standard_normal(n), 0.5


def uniform_inputs(rng, n):
    """Ishigami's function of three inputs uniform on [-pi, pi]: S1 of the
    second, 7^2/8 over the total variance."""
    x = rng.uniform(-math.pi, math.pi, (3, n))
    y = np.sin(x[0]) + 7 * np.sin(x[1])**2 + 0.1 * x[2]**4 * np.sin(x[0])
    return x[1], y, (49 / 8) / (49 / 8 + 0.1 * math.pi**4 / 5 + 0.01 * math.pi**8 / 18 + 0.5)


@pytest.mark.parametrize("case", [normal_inputs, lognormal_inputs, uniform_inputs])
def test_the_mean_of_many_studies_lies_within_its_standard_error_of_the_truth(case):
    """The bias is negligible against the stated standard error: the mean
    of 50 replicates lies within 3 standard errors of that mean (the stated
    one over sqrt(50)) of the true index."""
    indices = [first_order_index(*case(np.random.default_rng([seed, 7]), 10000)[:2]) for seed in range(50)]
    truth = case(np.random.default_rng(0), 2)[2]
    estimates, errors = np.array(indices).T
    assert abs(estimates.mean() - truth) <= 3 * errors.mean() / math.sqrt(len(indices))


def test_the_example_study_gives_the_pick_freeze_index_of_the_launch_speed():
    from aeso_dispersion import load_study

    from test_config import EXAMPLE

    result = load_study(EXAMPLE).run(n=200_000, seed=1, progress=False)
    index = result.variance_indices()["initial_state.speed"]
    # 0.7904 from a pick-freeze (Jansen) estimate, known to +-0.0003.
    assert abs(index.estimate - 0.7904) <= 3 * math.hypot(index.standard_error, 0.0003)


def test_an_effect_that_is_not_monotone_is_seen():
    x = np.random.default_rng(8).uniform(-1.0, 1.0, 5000)
    y = x**2 + np.random.default_rng(9).normal(0.0, 0.05, 5000)
    assert abs(spearman(x, y)) < 0.05
    # Var(x^2) = 4/45 against a noise variance of 0.0025.
    assert first_order_index(x, y).estimate == pytest.approx((4 / 45) / (4 / 45 + 0.0025), abs=0.02)


def test_the_standard_error_matches_the_spread_of_repeated_studies():
    estimates, errors = [], []
    for seed in range(40):
        (a, _, _), y = linear_model(100 + seed, 2000)
        index = first_order_index(a, y)
        estimates.append(index.estimate)
        errors.append(index.standard_error)
    spread = np.std(estimates, ddof=1)
    assert 0.6 < np.mean(errors) / spread < 1.6


def test_an_input_without_effect_is_not_credited_by_the_bin_count():
    """The uncorrected between-bin share would be about (bins - 1) / n."""
    rng = np.random.default_rng(12)
    estimates = [first_order_index(rng.normal(size=500), rng.normal(size=500)).estimate
                 for _ in range(200)]
    assert abs(np.mean(estimates)) < 0.005


@pytest.mark.parametrize("x, y", [
    (np.zeros(1000), np.arange(1000.0)),           # the input does not vary
    (np.arange(1000.0), np.ones(1000)),            # the output does not vary
    (np.arange(MIN_SAMPLES - 1.0), np.arange(MIN_SAMPLES - 1.0)),  # too few samples
])
def test_no_index_without_variation_or_samples(x, y):
    index = first_order_index(x, y)
    assert np.isnan(index.estimate) and np.isnan(index.standard_error)


def test_tied_input_values_share_a_bin():
    """A two-valued input explains exactly its between-group variance."""
    rng = np.random.default_rng(3)
    x = rng.integers(0, 2, 4000).astype(float)
    y = 2 * x + rng.normal(size=4000)
    assert first_order_index(x, y).estimate == pytest.approx(1 / 2, abs=0.03)
