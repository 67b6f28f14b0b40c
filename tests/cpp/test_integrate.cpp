#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "core/integrate.hpp"
#include "test_helpers.hpp"

namespace aeso {
namespace {

SolverConfig fixed(OdeMethod m, double dt) { return validate_solver_config(m, FixedTimeStep{dt}).value(); }
SolverConfig adaptive(AdaptiveTimeStep o = DEFAULT_ADAPTIVE_TIME_STEP) {
    return validate_solver_config(OdeMethod::RK45, o).value();
}

// The first controlled step of a run; the size it proposes for the next.
template <class S>
Result<double> first_step(const SolverConfig& solver, S& s) {
    return controlled_step(solver, s, solver.first_dt());
}

TEST(EulerStep, OneStepOfPureGravity) {
    auto solver = fixed(OdeMethod::Euler, 0.1);
    auto s = make_state(test::pure_gravity_rocket(), Initial1DOF{0.0, 100.0});
    ASSERT_TRUE(first_step(solver, s));
    EXPECT_EQ(s.height, 10.0);
    EXPECT_EQ(s.velocity, 100.0 + -9.80665 * 0.1);
    EXPECT_NEAR(s.velocity, 99.019335, 1e-12);
    EXPECT_EQ(s.time, 0.1);
    EXPECT_FALSE(s.derivatives_valid);
    EXPECT_EQ(s.cached_derivatives[1], -9.80665);
}

TEST(EulerStep, UsesValidCacheWithoutRecomputing) {
    auto solver = fixed(OdeMethod::Euler, 0.5);
    auto s = make_state(test::pure_gravity_rocket(), Initial1DOF{0.0, 100.0});
    s.cached_derivatives = {2.0, 4.0};
    s.derivatives_valid = true;
    ASSERT_TRUE(first_step(solver, s));
    EXPECT_EQ(s.height, 1.0);
    EXPECT_EQ(s.velocity, 102.0);
}

// RK3 and RK45 integrate constant acceleration exactly.
class ExactForGravity : public ::testing::TestWithParam<OdeMethod> {};

TEST_P(ExactForGravity, OneDof) {
    SolverConfig solver = GetParam() == OdeMethod::RK45
                              ? adaptive(AdaptiveTimeStep{0.1, 1e-6, 0.15, 0.01, 0.01})
                              : fixed(GetParam(), 0.1);
    auto s = make_state(test::pure_gravity_rocket(), Initial1DOF{0.0, 100.0});
    const Result<double> next = first_step(solver, s);
    ASSERT_TRUE(next);
    EXPECT_NEAR(s.velocity, 100.0 - 0.980665, 1e-12);
    EXPECT_NEAR(s.height, 10.0 - 0.5 * 9.80665 * 0.01, 1e-12);
    EXPECT_EQ(s.time, 0.1);
    EXPECT_EQ(s.cached_derivatives[1], -9.80665);  // k1, never the NaN of a new state
    EXPECT_FALSE(s.derivatives_valid);
    if (GetParam() == OdeMethod::RK45) {
        EXPECT_EQ(next.value(), 0.15);  // doubled, clamped to dt_max
    } else {
        EXPECT_EQ(next.value(), 0.1);
    }
}

TEST_P(ExactForGravity, ThreeDofProjectile) {
    // No drag and no lift: a parabola in both coordinates.
    const RocketProperties r{2.0, 0.0, 0.01, 0.01, 1.0, 0.1, 0.0};
    SolverConfig solver = GetParam() == OdeMethod::RK45 ? adaptive(AdaptiveTimeStep{0.2, 1e-6, 1.0, 0.01, 0.01})
                                                        : fixed(GetParam(), 0.2);
    auto s = make_state(r, Initial3DOF{1.0, 2.0, 0.3, 30.0, 40.0, 0.5});
    ASSERT_TRUE(first_step(solver, s));
    EXPECT_NEAR(s.x, 1.0 + 30.0 * 0.2, 1e-12);
    EXPECT_NEAR(s.y, 2.0 + 40.0 * 0.2 - 0.5 * 9.80665 * 0.04, 1e-12);
    EXPECT_NEAR(s.vy, 40.0 - 9.80665 * 0.2, 1e-12);
    EXPECT_NEAR(s.angle, 0.3 + 0.5 * 0.2, 1e-14);
    EXPECT_EQ(s.vx, 30.0);
}

INSTANTIATE_TEST_SUITE_P(Methods, ExactForGravity, ::testing::Values(OdeMethod::RK3, OdeMethod::RK45));

// Exact vertical velocity of a rising body under v*v drag and gravity.
double exact_velocity(const RocketProperties& r, double v0, double t) {
    const double k = 0.6125 * r.cd * r.area_drag / r.mass;
    const double vt = std::sqrt(9.80665 / k);
    return vt * std::tan(std::atan(v0 / vt) - std::sqrt(9.80665 * k) * t);
}

double one_step_error(OdeMethod m, double dt) {
    const RocketProperties r{1.0, 0.8, 0.05, 0, 0, 0, 0};
    SolverConfig solver = m == OdeMethod::RK45 ? adaptive(AdaptiveTimeStep{dt, 0.0, 1.0, 0.01, 0.01})
                                               : fixed(m, dt);
    auto s = make_state(r, Initial1DOF{0.0, 60.0});
    EXPECT_TRUE(first_step(solver, s));
    return std::fabs(s.velocity - exact_velocity(r, 60.0, dt));
}

// Halving the step divides the local error by about 2^(order+1) (RK45 is
// still pre-asymptotic here, above 64); a wrong tableau coefficient drops
// the order and the ratio with it.
struct OrderCase {
    OdeMethod method;
    double dt;
    double min_ratio, max_ratio;
};
class LocalOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(LocalOrder, ErrorShrinksAtTheMethodsOrder) {
    const auto c = GetParam();
    const double ratio = one_step_error(c.method, c.dt) / one_step_error(c.method, c.dt / 2);
    EXPECT_GT(ratio, c.min_ratio);
    EXPECT_LT(ratio, c.max_ratio);
}

INSTANTIATE_TEST_SUITE_P(Methods, LocalOrder,
                         ::testing::Values(OrderCase{OdeMethod::Euler, 0.01, 3.5, 4.5},
                                           OrderCase{OdeMethod::RK3, 0.02, 14.0, 18.0},
                                           OrderCase{OdeMethod::RK45, 0.05, 48.0, 160.0}));

TEST(RK45Step, TimeGrowsByTheGivenStepAndTheProposalIsReturned) {
    const auto solver = adaptive();
    auto s = make_state(RocketProperties{1.0, 0.5, 0.01, 0, 0, 0, 0}, Initial1DOF{0.0, 200.0});
    const Result<double> next = controlled_step(solver, s, 0.01);
    ASSERT_TRUE(next);
    EXPECT_EQ(s.time, 0.01);
    EXPECT_EQ(next.value(), 0.02);  // tiny error: doubled
    ASSERT_TRUE(controlled_step(solver, s, next.value()));
    EXPECT_EQ(s.time, 0.01 + 0.02);
}

// The stepper alone: a pure step of the given size whose error norm is the
// Euclidean difference of the fifth- and fourth-order solutions.
TEST(RK45Step, StepperReturnsItsErrorNorm) {
    auto s = make_state(test::pure_gravity_rocket(), Initial1DOF{0.0, 10.0});
    EXPECT_LT(RK45Method::step(s, 0.1), 1e-12);  // constant acceleration: both orders exact
    EXPECT_EQ(s.time, 0.1);
    auto d = make_state(RocketProperties{1.0, 0.8, 0.05, 0, 0, 0, 0}, Initial1DOF{0.0, 60.0});
    const double error_norm = RK45Method::step(d, 0.05);
    EXPECT_GT(error_norm, 0.0);
    EXPECT_LT(error_norm, 1e-3);
}

TEST(RK45Step, StaysAtDtMaxForTinyError) {
    auto solver = adaptive(AdaptiveTimeStep{0.1, 1e-6, 0.1, 0.01, 0.01});
    auto s = make_state(test::pure_gravity_rocket(), Initial1DOF{0.0, 10.0});
    const Result<double> next = first_step(solver, s);
    ASSERT_TRUE(next);
    EXPECT_EQ(next.value(), 0.1);
}

// Invalid bounds fail the controlled step, whatever the step's error norm,
// before the state moves.
TEST(RK45Step, BoundErrorLeavesDynamicVariablesUnchanged) {
    const auto solver = adaptive(AdaptiveTimeStep{0.01, 0.2, 0.1, 0.01, 0.01});
    auto s = make_state(test::reference_rocket_3dof(), Initial3DOF{0, 5, 0.1, 1, 50, 0});
    const auto before = s;
    const Result<double> r = first_step(solver, s);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Internal);
    EXPECT_EQ(r.error().message, "min > max, or either was NaN. min = 0.2, max = 0.1");
    EXPECT_EQ(s.y, before.y);
    EXPECT_EQ(s.vy, before.vy);
    EXPECT_EQ(s.time, before.time);
}

// A trial computes the step without applying it; step() applies the same
// increment.
TEST(RK45Step, TrialThenApplyIsTheStep) {
    auto s = make_state(test::reference_rocket_3dof(), Initial3DOF{0, 5, 0.1, 1, 50, 0});
    auto stepped = s;
    const auto trial = RK45Method::trial(s, 0.02);
    EXPECT_EQ(s.y, 5.0);
    EXPECT_EQ(s.time, 0.0);
    const double error_norm = RK45Method::step(stepped, 0.02);
    EXPECT_TRUE(test::SameBits(trial.error_norm, error_norm));
    update(s, trial.increment, 0.02);
    EXPECT_TRUE(test::SameBits(s.y, stepped.y));
    EXPECT_TRUE(test::SameBits(s.angle, stepped.angle));
    EXPECT_EQ(s.time, stepped.time);
}

TEST(FixedSteps, NextStepIsTheSameSize) {
    for (OdeMethod m : {OdeMethod::Euler, OdeMethod::RK3}) {
        const auto solver = fixed(m, 0.03);
        auto s = make_state(test::reference_rocket_3dof(), Initial3DOF{0, 0, 0.05, 0, 100, 0});
        double dt = solver.first_dt();
        double time = 0.0;
        for (int i = 0; i < 50; ++i) {
            const Result<double> next = controlled_step(solver, s, dt);
            ASSERT_TRUE(next);
            time += dt;
            dt = next.value();
        }
        EXPECT_EQ(dt, 0.03);
        EXPECT_EQ(s.time, time);
    }
}

TEST(FixedSteps, ZeroDtChangesNothingNegativeGoesBack) {
    const auto solver = fixed(OdeMethod::RK3, 0.0);
    auto s = make_state(test::pure_gravity_rocket(), Initial1DOF{3.0, 10.0});
    ASSERT_TRUE(first_step(solver, s));
    EXPECT_EQ(s.height, 3.0);
    EXPECT_EQ(s.velocity, 10.0);
    EXPECT_EQ(s.time, 0.0);
    ASSERT_TRUE(controlled_step(solver, s, -0.1));
    EXPECT_NEAR(s.velocity, 10.0 + 0.980665, 1e-12);
    EXPECT_EQ(s.time, -0.1);
}

}  // namespace
}  // namespace aeso
