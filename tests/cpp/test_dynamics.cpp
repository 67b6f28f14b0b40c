#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "core/dynamics.hpp"
#include "test_helpers.hpp"

namespace aeso {
namespace {

using test::SameBits;

// The planar equations transcribed literally, calling sin and cos of the lift
// turn angle directly, with the alignment clamp and the zero-speed rule.
std::array<double, 6> reference_3dof(const State3DOF& s) {
    const RocketProperties& r = s.rocket;
    const double st = std::sin(s.angle), ct = std::cos(s.angle);
    const double v = std::sqrt(s.vy * s.vy + s.vx * s.vx);
    double fx = 0.0, fy = 0.0;
    if (v != 0.0) {
        const double p = st * s.vy + s.vx * ct;
        const double sigma = std::isnan(p) ? p : std::copysign(1.0, p);
        double c = (ct * s.vy - st * s.vx) / v;
        c = c > 1.0 ? 1.0 : (c < -1.0 ? -1.0 : c);
        const double alpha = std::fabs(std::acos(c) * sigma);
        const double q = v * v;
        const double gd = ((((-0.6125 * q) * (r.cl_a * alpha + r.cd)) * r.area_drag)) / v;
        const double gl = ((((q * 0.6125) * r.cl_a) * alpha) * r.area_drag) / v;
        volatile double psi = sigma * 1.5707963267948966;
        const double sp = std::sin(psi), cp = std::cos(psi);
        const double rx = s.vx * cp - sp * s.vy, ry = s.vy * cp + s.vx * sp;
        fx = rx * gl + s.vx * gd;
        fy = gl * ry + gd * s.vy;
    }
    const double tau = (st * r.stab_margin_dimensional) * fy + (ct * r.stab_margin_dimensional) * fx;
    const double w = 1.0 / r.mass;
    return {s.vx, s.vy, s.angular_rate, fx * w, w * fy + (-9.80665), tau / r.moment_of_inertia};
}

State3DOF state3(double angle, double vx, double vy, double omega = 0.7,
                 RocketProperties r = test::reference_rocket_3dof()) {
    return make_state(r, Initial3DOF{0.0, 0.0, angle, vx, vy, omega});
}

TEST(Dynamics1DOF, DragAlwaysPointsDown) {
    const RocketProperties r{1.0, 1.0, 1.0, 0.0, 0.0, 0.0, 0.0};
    auto up = make_state(r, Initial1DOF{0.0, 10.0});
    auto down = make_state(r, Initial1DOF{0.0, -10.0});
    EXPECT_TRUE(SameBits(compute_derivatives(up)[1], -71.05665));
    EXPECT_TRUE(SameBits(compute_derivatives(down)[1], compute_derivatives(up)[1]));
    EXPECT_EQ(compute_derivatives(down)[0], -10.0);
}

TEST(Dynamics1DOF, ZeroVelocityIsPureGravity) {
    auto s = make_state(RocketProperties{3.0, 0.7, 0.2, 0, 0, 0, 0}, Initial1DOF{5.0, 0.0});
    EXPECT_TRUE(SameBits(compute_derivatives(s)[1], -9.80665));
}

TEST(Dynamics1DOF, OperationOrder) {
    const RocketProperties r{1.7, 0.45, 0.0081, 0, 0, 0, 0};
    for (double v : {250.0, 13.3, -7.1, 1e-3}) {
        auto s = make_state(r, Initial1DOF{0.0, v});
        const double expected = ((((v * v) * -0.6125) * 0.45) * 0.0081) / 1.7 + -9.80665;
        EXPECT_TRUE(SameBits(compute_derivatives(s)[1], expected)) << v;
    }
}

struct Case3 {
    double angle, vx, vy, ax, ay, eps;
};

class Dynamics3DOFListed : public ::testing::TestWithParam<Case3> {};

TEST_P(Dynamics3DOFListed, MatchesKnownValues) {
    const Case3 c = GetParam();
    auto s = state3(c.angle, c.vx, c.vy);
    const auto d = compute_derivatives(s);
    EXPECT_EQ(d[0], c.vx);
    EXPECT_EQ(d[1], c.vy);
    EXPECT_EQ(d[2], 0.7);
    EXPECT_NEAR(d[3], c.ax, 1e-6);
    EXPECT_NEAR(d[4], c.ay, 1e-6);
    EXPECT_NEAR(d[5], c.eps, 1e-6);
    const auto ref = reference_3dof(s);
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(SameBits(d[i], ref[i])) << "entry " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Dynamics3DOFListed,
    ::testing::Values(Case3{0.0, 0.0, 100.0, -0.0, -40.43165, -0.0},
                      Case3{0.1, 0.0, 100.0, -12.25, -52.68165, -3.2938318},
                      Case3{-0.1, 0.0, 100.0, 12.25, -52.68165, 3.2938318},
                      Case3{0.0, 10.0, 0.0, -2.2304755, -7.8824245, -0.4460951},
                      Case3{0.0, 0.0, -50.0, 96.211275, 94.060875, 19.242255}));

TEST(Dynamics3DOF, NoseFirstGivesNegativeZeros) {
    auto s = state3(0.0, 0.0, 100.0);
    const auto d = compute_derivatives(s);
    EXPECT_TRUE(SameBits(d[3], -0.0));
    EXPECT_NEAR(d[4], -40.43165, 1e-12);
    EXPECT_TRUE(SameBits(d[5], -0.0));
}

TEST(Dynamics3DOF, LiftTurnConstantsAreTheLibraryValues) {
    volatile double half_pi = 1.5707963267948966;
    EXPECT_TRUE(SameBits(detail::SIN_HALF_PI, std::sin(half_pi)));
    EXPECT_TRUE(SameBits(detail::COS_HALF_PI, std::cos(half_pi)));
    EXPECT_TRUE(SameBits(-detail::SIN_HALF_PI, std::sin(-half_pi)));
    EXPECT_TRUE(SameBits(detail::COS_HALF_PI, std::cos(-half_pi)));
}

TEST(Dynamics3DOF, RandomStatesMatchLiteralFormulas) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> ang(-7.0, 7.0), vel(-400.0, 400.0), prop(0.01, 3.0);
    for (int i = 0; i < 20000; ++i) {
        const RocketProperties r{prop(rng), prop(rng), prop(rng), prop(rng),
                                 prop(rng), prop(rng) - 1.0, prop(rng)};
        auto s = state3(ang(rng), vel(rng), vel(rng), vel(rng), r);
        const auto d = compute_derivatives(s);
        const auto ref = reference_3dof(s);
        for (int k = 0; k < 6; ++k) ASSERT_TRUE(SameBits(d[k], ref[k])) << "case " << i << " entry " << k;
    }
}

// A rocket flying exactly along its body axis: rounding can push the
// alignment cosine past 1, which would make acos NaN; it is clamped instead.
TEST(Dynamics3DOF, AlignedFlightStaysFinite) {
    int beyond_one = 0;
    for (int i = 1; i < 2000; ++i) {
        const double angle = 0.0007 * i - 0.7;
        const double speed = 250.0;
        const double vx = -std::sin(angle) * speed, vy = std::cos(angle) * speed;
        const double st = std::sin(angle), ct = std::cos(angle);
        const double c = (ct * vy - st * vx) / std::sqrt(vy * vy + vx * vx);
        if (c > 1.0) ++beyond_one;
        auto s = state3(angle, vx, vy);
        const auto d = compute_derivatives(s);
        for (int k = 3; k < 6; ++k) ASSERT_TRUE(std::isfinite(d[k])) << angle;
    }
    EXPECT_GT(beyond_one, 0) << "no case exercised the clamp";
}

TEST(Dynamics3DOF, TailFirstClampsBelowMinusOne) {
    for (int i = 1; i < 2000; ++i) {
        const double angle = 0.0007 * i;
        const double vx = std::sin(angle) * 80.0, vy = -std::cos(angle) * 80.0;
        auto s = state3(angle, vx, vy);
        const auto d = compute_derivatives(s);
        for (int k = 3; k < 6; ++k) ASSERT_TRUE(std::isfinite(d[k])) << angle;
    }
}

TEST(Dynamics3DOF, ZeroAirspeedHasNoAerodynamicForce) {
    auto s = state3(0.3, 0.0, 0.0, 1.5);
    const auto d = compute_derivatives(s);
    EXPECT_EQ(d[0], 0.0);
    EXPECT_EQ(d[1], 0.0);
    EXPECT_EQ(d[2], 1.5);
    EXPECT_TRUE(SameBits(d[3], 0.0));
    EXPECT_TRUE(SameBits(d[4], -9.80665));
    EXPECT_TRUE(SameBits(d[5], 0.0));
}

TEST(Dynamics3DOF, NaNSpeedStaysNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto s = state3(0.0, nan, 1.0);
    const auto d = compute_derivatives(s);
    for (int k = 3; k < 6; ++k) EXPECT_TRUE(std::isnan(d[k]));
}

TEST(Dynamics3DOF, UnusedFieldsDoNotChangeResult) {
    auto a = state3(0.2, 5.0, 90.0, 0.3);
    auto b = a;
    b.x = 1234.5;
    b.y = -77.0;
    b.time = 99.0;
    b.rocket.area_lift = 42.0;
    const auto da = compute_derivatives(a), db = compute_derivatives(b);
    for (int k = 0; k < 6; ++k) EXPECT_TRUE(SameBits(da[k], db[k]));
    b.angular_rate = -3.0;
    const auto dc = compute_derivatives(b);
    EXPECT_EQ(dc[2], -3.0);
    for (int k : {0, 1, 3, 4, 5}) EXPECT_TRUE(SameBits(da[k], dc[k]));
}

TEST(DerivativeCache, NewStateHoldsNaN) {
    auto s1 = make_state(test::pure_gravity_rocket(), Initial1DOF{0.0, 1.0});
    EXPECT_FALSE(s1.derivatives_valid);
    for (double v : s1.cached_derivatives) EXPECT_TRUE(std::isnan(v));
    auto s3 = state3(0, 0, 1);
    for (double v : s3.cached_derivatives) EXPECT_TRUE(std::isnan(v));
}

TEST(DerivativeCache, ComputesOnceUntilUpdate) {
    auto s = make_state(test::pure_gravity_rocket(), Initial1DOF{0.0, 10.0});
    auto first = derivatives(s);
    EXPECT_TRUE(s.derivatives_valid);
    EXPECT_EQ(first[1], -9.80665);
    // A valid cache is returned as it is, without recomputing.
    s.cached_derivatives = {111.0, 222.0};
    EXPECT_EQ(derivatives(s)[1], 222.0);
    // update invalidates but keeps the stale values for readers of the cache.
    update(s, StateVector1DOF{{1.0, 2.0}}, 0.0);
    EXPECT_FALSE(s.derivatives_valid);
    EXPECT_EQ(s.cached_derivatives[1], 222.0);
    EXPECT_EQ(s.time, 0.0);
    EXPECT_EQ(s.height, 1.0);
    EXPECT_EQ(s.velocity, 12.0);
    EXPECT_EQ(derivatives(s)[0], 12.0);
}

TEST(StateVectorOps, AddAndScaleComponentwise) {
    const StateVector3DOF a{{1, 2, 3, 4, 5, 6}}, b{{0.5, -2, 0, 1, 1, 1}};
    const auto sum = a + b;
    const auto scaled = a * 0.5;
    EXPECT_EQ(sum.values, (std::array<double, 6>{1.5, 0, 3, 5, 6, 7}));
    EXPECT_EQ(scaled.values, (std::array<double, 6>{0.5, 1, 1.5, 2, 2.5, 3}));
}

}  // namespace
}  // namespace aeso
