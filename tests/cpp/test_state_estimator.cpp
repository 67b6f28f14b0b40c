// The state estimator, its feeding rule, the barometer's frame and the drag
// fit's accumulator, on data whose answer is known exactly.
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "core/constants.hpp"
#include "core/drag_fit.hpp"
#include "core/flight_estimate.hpp"
#include "core/pressure_altitude.hpp"

namespace aeso {
namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

EstimatorSettings settings() {
    return {2.0, 0.0, 0.0, 1e-4, 1e-8, 400.0, 0.05, 0.05, 5.0, 0.01, -1e9, 0.0, 0.5, 0.0};
}

FilterPoint prior(double height, double velocity) {
    FilterPoint p{0.0, {height, velocity, 0.0}, {}};
    p.p[0] = 1.0;
    p.p[4] = 1.0;
    p.p[8] = 100.0;
    return p;
}

class Barometer : public ::testing::TestWithParam<double> {};

// A day `GetParam()` K off the standard: the frame reads the column's own
// pressures back as their heights, at any pad pressure.
TEST_P(Barometer, FrameReadsTheColumnsPressuresAsTheirHeights) {
    const AirColumn column(1401.0, GetParam(), 86000.0);
    for (double pad : {86000.0, 85000.0}) {
        const BarometerFrame frame(column, pad);
        for (double h : {-50.0, 0.0, 1000.0, 4000.0, 12000.0, 25000.0}) {
            const double p = column.at(h).pressure * pad / 86000.0;
            EXPECT_NEAR(frame.height_of(p).height, h, 1e-6 * (1.0 + std::fabs(h)));
        }
    }
    // On a standard day the altimeter reads the true height.
    const AirColumn standard(1401.0, 0.0, atmosphere::standard_pressure(1401.0));
    EXPECT_NEAR(pressure_altitude(standard, 3000.0), 3000.0, 1e-6);
    EXPECT_NEAR(height_from_pressure_altitude(column, pressure_altitude(column, 2500.0)), 2500.0, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Days, Barometer, ::testing::Values(-20.0, 0.0, 17.5));

class Fused : public ::testing::TestWithParam<double> {};

// Exact samples of a flight accelerating at a constant rate, the
// accelerometer off by a bias: the filter finds the bias and the state, and
// the smoother keeps them.
TEST_P(Fused, ExactSamplesGiveTheTruthAndTheBias) {
    const double bias = GetParam();
    const AirColumn column(0.0, 0.0, atmosphere::SEA_LEVEL_PRESSURE);
    const BarometerFrame frame(column, atmosphere::SEA_LEVEL_PRESSURE);
    const double a = -3.0;
    const std::size_t n = 4000;
    std::vector<double> t(n), p(n), f(n);
    for (std::size_t i = 0; i < n; ++i) {
        t[i] = 0.01 * static_cast<double>(i);
        p[i] = i % 2 == 0 ? column.at(100.0 + 50.0 * t[i] + 0.5 * a * t[i] * t[i]).pressure : kNone;
        f[i] = a + GRAVITY + bias;
    }
    std::vector<double> means(3 * n), covariances(9 * n);
    std::vector<std::int8_t> barometer(n), driven(n);
    std::vector<Prediction> predicted(n);
    const EstimateRun run = estimate_flight(settings(), frame, prior(100.0, 50.0), {t.data(), p.data(), f.data(), n},
                                            means.data(), covariances.data(), barometer.data(), driven.data(),
                                            predicted.data());
    ASSERT_EQ(run.out_of_order, n);
    ASSERT_TRUE(run.smoothed);
    EXPECT_EQ(run.gated, 0u);
    for (std::size_t i : {std::size_t{0}, n / 2, n - 1}) {
        const double time = t[i];
        EXPECT_NEAR(means[3 * i], 100.0 + 50.0 * time + 0.5 * a * time * time, 0.05) << i;
        EXPECT_NEAR(means[3 * i + 1], 50.0 + a * time, 0.01) << i;
        EXPECT_NEAR(means[3 * i + 2], bias, 0.005) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Biases, Fused, ::testing::Values(-0.4, 0.0, 0.25));

class LaggedBarometer : public ::testing::TestWithParam<double> {};

// A barometer lagging by `lag` reads, on a steady climb at 150 m/s, the
// pressure of `lag` s before: an estimator told of the lag follows the true
// height, one that is not trails it by lag v.
TEST_P(LaggedBarometer, IsReadAsTheHeightOfLagBefore) {
    const double lag = GetParam();
    const AirColumn column(0.0, 0.0, atmosphere::SEA_LEVEL_PRESSURE);
    const BarometerFrame frame(column, atmosphere::SEA_LEVEL_PRESSURE);
    const double v = 150.0;
    const std::size_t n = 3000;
    std::vector<double> t(n), p(n), f(n, GRAVITY);
    for (std::size_t i = 0; i < n; ++i) {
        t[i] = 0.01 * static_cast<double>(i);
        p[i] = i % 2 == 0 ? column.at(v * (t[i] - lag)).pressure : kNone;
    }
    for (const double modelled : {0.0, lag}) {
        EstimatorSettings s = settings();
        s.barometer_lag = modelled;
        s.gate = 1e6;  // the unmodelled lag's trail is not a glitch
        std::vector<double> means(3 * n), covariances(9 * n);
        std::vector<std::int8_t> barometer(n), driven(n);
        estimate_flight(s, frame, prior(0.0, v), {t.data(), p.data(), f.data(), n}, means.data(),
                        covariances.data(), barometer.data(), driven.data(), nullptr);
        const double error = means[3 * (n - 1)] - v * t[n - 1];
        if (modelled > 0.0) {
            EXPECT_NEAR(error, 0.0, 0.01 * lag * v) << modelled;
        } else {
            EXPECT_NEAR(error, -lag * v, 0.02 * lag * v) << modelled;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lags, LaggedBarometer, ::testing::Values(0.02, 0.1, 0.5));

TEST(Feed, SamplesAtOneTimeChangeOneStateAndAnEarlierOneIsRefused) {
    const AirColumn column(0.0, 0.0, atmosphere::SEA_LEVEL_PRESSURE);
    const BarometerFrame frame(column, atmosphere::SEA_LEVEL_PRESSURE);
    EstimatorFeed one(settings(), frame, prior(0.0, 10.0));
    EstimatorFeed two(settings(), frame, prior(0.0, 10.0));
    const double p = column.at(1.0).pressure;
    // The same samples as one row or as two rows at one time.
    one.feed({0.1, p, GRAVITY});
    two.feed({0.1, kNone, GRAVITY});
    two.feed({0.1, p, kNone});
    EXPECT_EQ(one.estimator().point().x, two.estimator().point().x);
    EXPECT_EQ(one.estimator().point().p, two.estimator().point().p);
    EXPECT_FALSE(two.feed({0.05, p, kNone}).in_order);
    // A reading held past the hold limit lapses: 1 g is held, the third
    // state is minus the acceleration (0 here), and a new reading brings the
    // bias back.
    EXPECT_TRUE(one.driven());
    one.feed({0.2, p, kNone});
    EXPECT_FALSE(one.driven());
    EXPECT_EQ(one.held_specific_force(), GRAVITY);
    EXPECT_TRUE(one.feed({0.25, kNone, GRAVITY}).reset);
    EXPECT_TRUE(one.driven());
}

class Accumulator : public ::testing::TestWithParam<std::size_t> {};

// Decelerations made exactly by known parameters are fitted back exactly,
// whatever the number of parameters.
TEST_P(Accumulator, ExactSamplesGiveTheirParameters) {
    const std::size_t k = GetParam();
    std::vector<double> knots(k), truth(k);
    for (std::size_t j = 0; j < k; ++j) {
        knots[j] = 0.1 + 0.2 * static_cast<double>(j);
        truth[j] = 0.3 + 0.01 * static_cast<double>(j);
    }
    DragFitAccumulator fit(k);
    double x[DragFitAccumulator::MAX_PARAMETERS];
    for (int i = 0; i <= 400; ++i) {
        const double mach = 0.05 + (knots[k - 1] + 0.1) * i / 400.0;
        knot_weights(knots.data(), k, mach, x);
        double y = 0.0;
        for (std::size_t j = 0; j < k; ++j) {
            x[j] *= 20.0 + i;
            y += x[j] * truth[j];
        }
        fit.add(x, y);
    }
    const auto solution = fit.solve(0.0);
    ASSERT_TRUE(solution.solved);
    for (std::size_t j = 0; j < k; ++j) EXPECT_NEAR(solution.value[j], truth[j], 1e-9);
    // The residuals come from the accumulated sums, which cancel: 1e-5 of
    // decelerations of about 100.
    EXPECT_LT(solution.residual_rms, 1e-5);
}

INSTANTIATE_TEST_SUITE_P(Parameters, Accumulator, ::testing::Values(1, 3, 16));

}  // namespace
}  // namespace aeso
