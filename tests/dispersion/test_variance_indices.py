"""First-order variance-based indices: the values known in closed form, an
effect a rank correlation misses, and an honest standard error."""

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
        # Binning smooths the effect a little (bias of order 1/bins^2).
        assert index.estimate == pytest.approx(truth, abs=4 * index.standard_error + 0.005)


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
