// next_dt skips pow where its result cannot matter (ratios outside [1/16, 16]
// give a factor at a bound). These tests compare it, bit for bit, with the
// plain formula that always calls pow, around both thresholds and across the
// whole range of ratios, so a threshold or a library pow that disagrees shows
// up as a changed step size.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "core/step_control.hpp"

namespace aeso {
namespace {

// The factor as the formula states it: pow, then the clamp to [0.5, 2].
double factor_with_pow(double ratio) {
    const double p = std::pow(ratio, STEP_EXPONENT);
    return p < STEP_MIN_FACTOR ? STEP_MIN_FACTOR : (p > STEP_MAX_FACTOR ? STEP_MAX_FACTOR : p);
}

// The factor next_dt uses for `ratio`: with dt 1, no bounds in the way, an
// absolute tolerance of 2 and no relative one, the ratio is 1 / error_norm.
double factor_of_next_dt(double ratio) {
    const AdaptiveTimeStep o{1.0, 0.0, std::numeric_limits<double>::infinity(), 2.0, 0.0};
    return next_dt(o, o.dt, 1.0 / ratio).value();
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Ratios reachable exactly as 1 / (1 / ratio) are the ones the comparison
// can use; the rest are skipped. Returns whether the ratio was compared.
bool expect_same_factor(double ratio) {
    const double error_norm = 1.0 / ratio;
    if (!(error_norm > 1e-30) || 1.0 / error_norm != ratio) return false;
    EXPECT_EQ(bits(factor_of_next_dt(ratio)), bits(factor_with_pow(ratio))) << "ratio " << ratio;
    return true;
}

TEST(StepFactorBounds, ThresholdsAreTheExactFourthPowersOfTheBounds) {
    EXPECT_EQ(std::pow(STEP_RATIO_AT_MAX_FACTOR, STEP_EXPONENT), STEP_MAX_FACTOR);
    EXPECT_EQ(std::pow(STEP_RATIO_AT_MIN_FACTOR, STEP_EXPONENT), STEP_MIN_FACTOR);
}

TEST(StepFactorBounds, SameFactorAsPowNearBothThresholds) {
    for (double threshold : {STEP_RATIO_AT_MAX_FACTOR, STEP_RATIO_AT_MIN_FACTOR}) {
        double up = threshold;
        double down = threshold;
        int compared = 0;
        for (int i = 0; i < 200000; ++i) {
            compared += expect_same_factor(up);
            compared += expect_same_factor(down);
            up = std::nextafter(up, 1e300);
            down = std::nextafter(down, 0.0);
        }
        EXPECT_GT(compared, 200000);  // most neighbours are reachable
    }
}

TEST(StepFactorBounds, SameFactorAsPowAcrossAllMagnitudes) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> exponent(-300.0, 29.0);  // above 1e30 the error floor decides
    int compared = 0;
    for (int i = 0; i < 1000000; ++i) compared += expect_same_factor(std::pow(10.0, exponent(rng)));
    EXPECT_GT(compared, 500000);
}

TEST(StepFactorBounds, NegativeAndNaNRatiosStillGiveNaN) {
    // A negative tolerance sum makes the ratio negative: no real fourth root.
    const AdaptiveTimeStep negative{1.0, 0.0, 10.0, -2.0, 0.0};
    EXPECT_TRUE(std::isnan(next_dt(negative, negative.dt, 1.0).value()));
    const AdaptiveTimeStep nan_tolerance{1.0, 0.0, 10.0, std::numeric_limits<double>::quiet_NaN(), 0.0};
    EXPECT_TRUE(std::isnan(next_dt(nan_tolerance, nan_tolerance.dt, 1.0).value()));
}

}  // namespace
}  // namespace aeso
