"""Correlated inputs: refused matrices, rank correlation achieved, and each
input keeping its own distribution."""

import numpy as np
import pytest

stats = pytest.importorskip("scipy.stats")

from aeso_dispersion.copula import (CorrelationError, check_correlation, cholesky, mix,
                                    normal_correlation, quantile_of_normal)
from aeso_dispersion.distributions import LogNormal, lognormal, normal, triangular, uniform
from aeso_dispersion.results import spearman

NAMES = ("rocket.mass", "rocket.moment_of_inertia", "rocket.cd")


@pytest.mark.parametrize("names, matrix, reason", [
    (NAMES[:2], [[1.0, 0.5], [0.4, 1.0]], "symmetric"),
    (NAMES[:2], [[1.0, 0.5], [0.5, 0.9]], "diagonal must be 1"),
    (NAMES[:2], [[1.0, 1.5], [1.5, 1.0]], r"\[-1, 1\]"),
    (NAMES[:2], [[1.0, float("nan")], [float("nan"), 1.0]], "finite"),
    (NAMES, [[1.0, 0.5], [0.5, 1.0]], "3 x 3"),
    (NAMES[:2], [[1.0, "a"], ["a", 1.0]], "entries must be numbers, not str"),
    (NAMES[:2], [[1.0, 0.5], [0.5]], "table of numbers"),
    (("mass", "mass"), [[1.0, 0.5], [0.5, 1.0]], "named twice"),
    # Pairwise plausible, jointly impossible.
    (NAMES, [[1.0, 0.9, -0.9], [0.9, 1.0, 0.9], [-0.9, 0.9, 1.0]], "not positive semi-definite"),
])
def test_invalid_matrices_are_refused_with_the_reason(names, matrix, reason):
    with pytest.raises(CorrelationError, match=reason):
        check_correlation(names, matrix)


def test_a_singular_matrix_is_valid_and_factors_exactly():
    matrix = check_correlation(NAMES, [[1.0, 1.0, 0.3], [1.0, 1.0, 0.3], [0.3, 0.3, 1.0]])
    factor = cholesky(normal_correlation(matrix))
    assert factor[1, 1] == 0.0
    np.testing.assert_allclose(factor @ factor.T, normal_correlation(matrix), atol=1e-12)


@pytest.mark.parametrize("rho", [-0.9, -0.3, 0.5, 0.8, 0.99])
def test_the_requested_rank_correlation_is_achieved_whatever_the_marginals(rho):
    n = 20000
    matrix = check_correlation(NAMES[:2], [[1.0, rho], [rho, 1.0]])
    z = np.random.default_rng(int(abs(rho) * 100)).standard_normal((2, n))
    mixed = mix(z, cholesky(normal_correlation(matrix)))
    a = quantile_of_normal(uniform(0.4, 0.5).code, uniform(0.4, 0.5).params, mixed[0])
    b = quantile_of_normal(triangular(1.0, 1.2, 2.0).code, triangular(1.0, 1.2, 2.0).params, mixed[1])
    # Standard error of a rank correlation: about (1 - rho^2) / sqrt(n).
    assert spearman(a, b) == pytest.approx(rho, abs=4 * (1 - rho**2) / np.sqrt(n) + 1e-3)


def test_the_first_input_of_a_group_and_unmixed_inputs_keep_their_draws():
    z = np.random.default_rng(1).standard_normal((3, 1000))
    matrix = check_correlation(NAMES, [[1.0, 0.0, 0.0], [0.0, 1.0, 0.7], [0.0, 0.7, 1.0]])
    mixed = mix(z, cholesky(normal_correlation(matrix)))
    np.testing.assert_array_equal(mixed[:2], z[:2])
    assert not np.array_equal(mixed[2], z[2])


@pytest.mark.parametrize("distribution, law", [
    (normal(20.0, 0.4), stats.norm(20.0, 0.4)),
    (uniform(240.0, 260.0), stats.uniform(240.0, 20.0)),
    (triangular(0.4, 0.45, 0.55), stats.triang(1 / 3, loc=0.4, scale=0.15)),
    (triangular(1.0, 1.0, 2.0), stats.triang(0.0, loc=1.0, scale=1.0)),
    (triangular(1.0, 2.0, 2.0), stats.triang(1.0, loc=1.0, scale=1.0)),
    (normal(0.45, 0.05, low=0.4), stats.truncnorm(-1.0, np.inf, loc=0.45, scale=0.05)),
    (normal(0.0, 1.0, low=2.0, high=4.0), stats.truncnorm(2.0, 4.0)),       # upper tail
    (normal(0.0, 1.0, low=-5.0, high=-3.0), stats.truncnorm(-5.0, -3.0)),   # lower tail
    (lognormal(np.log(8.5), 0.1), stats.lognorm(0.1, scale=8.5)),
    (lognormal(0.0, 0.5, high=1.5), stats.truncnorm(-np.inf, np.log(1.5) / 0.5, scale=0.5)),
])
def test_each_input_keeps_its_own_distribution(distribution, law):
    u = np.linspace(0.0005, 0.9995, 1999)
    z = stats.norm.ppf(u)
    values = quantile_of_normal(distribution.code, distribution.params, z)
    expected = law.ppf(u)
    if isinstance(distribution, LogNormal) and distribution.high < np.inf:
        expected = np.exp(expected)  # the truncated normal of the logarithm
    np.testing.assert_allclose(values, expected, rtol=1e-9, atol=1e-12)
