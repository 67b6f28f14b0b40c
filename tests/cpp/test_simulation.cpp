#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "core/simulation.hpp"
#include "test_helpers.hpp"

namespace aeso {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

const RocketProperties kRocket{20.0, 0.45, 0.0081, 0.0081, 1.5, 0.3, 2.0};

RunSettings settings(OdeMethod m, std::optional<TimeStepConfig> o = std::nullopt,
                     std::uint64_t max_iterations = 100000) {
    return RunSettings{m, o, max_iterations, false};
}

class EveryMethod : public ::testing::TestWithParam<OdeMethod> {};

TEST_P(EveryMethod, ZeroIterationsDoesNothing) {
    auto sim = simulate_flight_1dof(kRocket, {0, 100}, settings(GetParam(), std::nullopt, 0));
    ASSERT_TRUE(sim);
    EXPECT_EQ(sim.value().size(), 0u);
    auto pred = predict_apogee_3dof(kRocket, {0, 0, 0, 0, 100, 0}, settings(GetParam(), std::nullopt, 0));
    ASSERT_FALSE(pred);
    EXPECT_EQ(pred.error().kind, ErrorKind::Internal);
    EXPECT_EQ(pred.error().message, "Index out of bounds");
}

TEST_P(EveryMethod, LimitBeforeApogeeLogsExactlyTheLimit) {
    auto sim = simulate_flight_3dof(kRocket, {0, 0, 0.05, 0, 250, 0}, settings(GetParam(), std::nullopt, 37));
    ASSERT_TRUE(sim);
    const FlightLog& flight_log = sim.value();
    ASSERT_EQ(flight_log.size(), 37u);
    EXPECT_EQ(flight_log.times()[0], 0.0);
    EXPECT_EQ(flight_log.rows()[0][4], 250.0);
    for (int k = 6; k < 9; ++k) EXPECT_TRUE(std::isnan(flight_log.rows()[0][k]));
    for (int k = 6; k < 9; ++k) EXPECT_FALSE(std::isnan(flight_log.rows()[1][k]));
    auto pred = predict_apogee_1dof(kRocket, {0, 250}, settings(GetParam(), std::nullopt, 37));
    ASSERT_FALSE(pred);
    EXPECT_EQ(pred.error().message, "Index out of bounds");
}

TEST_P(EveryMethod, ApogeeMatchesClosedFormFor1DOF) {
    // Exact apogee under v*v drag: (m / 2k) ln(1 + k v0^2 / (m g)), k = 0.6125 cd A.
    const double k = 0.6125 * kRocket.cd * kRocket.area_drag, v0 = 250.0;
    const double exact = kRocket.mass / (2 * k) * std::log1p(k * v0 * v0 / (kRocket.mass * 9.80665));
    auto pred = predict_apogee_1dof(kRocket, {0, v0}, settings(GetParam()));
    ASSERT_TRUE(pred);
    const double tolerance = GetParam() == OdeMethod::Euler ? 2.0 : 0.05;
    EXPECT_NEAR(pred.value(), exact, tolerance);
}

TEST_P(EveryMethod, FinalStateHasZeroVerticalVelocity) {
    for (double v0 : {30.0, 120.0, 250.0}) {
        auto solver = validate_solver_config(GetParam(), std::nullopt).value();
        Simulation<State3DOF> sim{solver, make_state(kRocket, Initial3DOF{0, 0, 0.05, 0, v0, 0}), 0, 100000};
        FlightLog flight_log = FlightLog::create().value();
        ASSERT_TRUE(sim.run(flight_log, false, false));
        ASSERT_EQ(flight_log.size(), 1u);
        EXPECT_EQ(flight_log.last_row().value()[1], sim.state.y);
        // Linear interpolation of a nearly linear velocity lands close to zero.
        EXPECT_LT(std::fabs(sim.state.vy), 2e-3) << v0;
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, EveryMethod,
                         ::testing::Values(OdeMethod::Euler, OdeMethod::RK3, OdeMethod::RK45));

TEST(MainLoop, EulerCrossingInFirstStep) {
    // Pure gravity, v 0.55 -> 0.4519335 in step 0: the step is redone with
    // dt * v_before / (v_before - v_after).
    const RocketProperties r = test::pure_gravity_rocket();
    auto solver = validate_solver_config(OdeMethod::Euler, FixedTimeStep{0.01}).value();
    Simulation<State1DOF> sim{solver, make_state(r, Initial1DOF{2.0, 0.55}), 0, 100};
    FlightLog flight_log = FlightLog::create().value();
    ASSERT_TRUE(sim.run(flight_log, false, true));
    const double v_after = 0.55 + -9.80665 * 0.01;
    const double dt_final = (0.55 / (0.55 - v_after)) * 0.01;
    EXPECT_EQ(sim.state.time, dt_final);  // the step taken, rescaled
    EXPECT_EQ(sim.state.height, 2.0 + 0.55 * dt_final);
    EXPECT_NEAR(sim.state.velocity, 0.0, 1e-15);
    EXPECT_EQ(sim.iteration, 0u);
    // Only the state before step 0 is logged; the final state is not.
    ASSERT_EQ(flight_log.size(), 1u);
    EXPECT_EQ(flight_log.rows()[0][0], 2.0);
}

TEST(MainLoop, FactorAboveOneWhenCrossingAboveZero) {
    // v from 0.7 to 0.3 in the crossing step: the final step is 0.01 * 0.7 / 0.4.
    auto solver = validate_solver_config(OdeMethod::Euler, FixedTimeStep{0.01}).value();
    Simulation<State1DOF> sim{solver, make_state(test::pure_gravity_rocket(), Initial1DOF{0.0, 0.7}), 0, 10};
    // A valid cache is the derivative Euler uses: the step loses 0.4 m/s.
    sim.state.cached_derivatives = {0.7, -40.0};
    sim.state.derivatives_valid = true;
    FlightLog flight_log = FlightLog::create().value();
    ASSERT_TRUE(sim.run(flight_log, false, false));
    EXPECT_EQ(sim.state.time, (0.7 / (0.7 - (0.7 + -40.0 * 0.01))) * 0.01);  // the final step's size
    EXPECT_NEAR(sim.state.time, 0.0175, 1e-15);
}

TEST(MainLoop, StartingBelowThresholdStillSteps) {
    const RocketProperties r = test::pure_gravity_rocket();
    // v_before = 0: the final step has zero length.
    auto at_rest = predict_apogee_1dof(r, {5.0, 0.0}, settings(OdeMethod::RK3));
    ASSERT_TRUE(at_rest);
    EXPECT_EQ(at_rest.value(), 5.0);
    // v_before < 0: the final step runs backwards in time to where the
    // velocity was zero, which lies above the start.
    auto falling = predict_apogee_1dof(r, {5.0, -1.0}, settings(OdeMethod::Euler));
    ASSERT_TRUE(falling);
    EXPECT_NEAR(falling.value(), 5.0 + 1.0 / 9.80665, 1e-12);
}

TEST(MainLoop, NaNVelocityRunsToTheLimit) {
    auto sim = simulate_flight_1dof(kRocket, {0.0, NaN}, settings(OdeMethod::Euler, std::nullopt, 250));
    ASSERT_TRUE(sim);
    EXPECT_EQ(sim.value().size(), 250u);
}

TEST(MainLoop, RK45FinalStepRescalesTheStepTaken) {
    // Without the rescale of the step actually taken, the final step would
    // use the controller's (doubled) proposal and overshoot far below zero.
    for (double v0 : {3.0, 11.0, 57.0, 250.0}) {
        auto solver = validate_solver_config(OdeMethod::RK45, std::nullopt).value();
        Simulation<State1DOF> sim{solver, make_state(kRocket, Initial1DOF{0, v0}), 0, 100000};
        FlightLog flight_log = FlightLog::create().value();
        ASSERT_TRUE(sim.run(flight_log, false, false));
        EXPECT_LT(std::fabs(sim.state.velocity), 1e-3) << v0;
    }
}

TEST(MainLoop, FixedStepTimesAccumulateByAddition) {
    auto sim = simulate_flight_1dof(kRocket, {0, 100}, settings(OdeMethod::RK3, FixedTimeStep{0.1}, 50));
    ASSERT_TRUE(sim);
    double t = 0.0;
    for (std::size_t k = 0; k < sim.value().size(); ++k) {
        ASSERT_EQ(sim.value().times()[k], t);
        t += 0.1;
    }
}

TEST(MainLoop, DerivativeColumnsLagOneRow) {
    auto sim = simulate_flight_3dof(kRocket, {0, 0, 0.1, 3, 200, 0.2}, settings(OdeMethod::RK45, std::nullopt, 20));
    ASSERT_TRUE(sim);
    const FlightLog& flight_log = sim.value();
    for (std::size_t k = 1; k < flight_log.size(); ++k) {
        const LogRow& prev = flight_log.rows()[k - 1];
        auto s = make_state(kRocket, Initial3DOF{prev[0], prev[1], prev[2], prev[3], prev[4], prev[5]});
        const auto d = compute_derivatives(s).values;
        for (int c = 0; c < 3; ++c) ASSERT_TRUE(test::SameBits(flight_log.rows()[k][6 + c], d[3 + c]));
    }
}

TEST(MainLoop, OneDofRowsHaveZeroTail) {
    auto sim = simulate_flight_1dof(kRocket, {0, 80}, settings(OdeMethod::Euler));
    ASSERT_TRUE(sim);
    const FlightLog& flight_log = sim.value();
    ASSERT_GT(flight_log.size(), 100u);
    EXPECT_TRUE(std::isnan(flight_log.rows()[0][2]));
    for (std::size_t k = 0; k < flight_log.size(); ++k)
        for (int c = 3; c < 9; ++c) ASSERT_TRUE(test::SameBits(flight_log.rows()[k][c], 0.0));
}

TEST(MainLoop, LogGrowsPastReservation) {
    // dt 0 never moves the rocket, so the run ends at the limit.
    for (std::uint64_t n : {1001u, 2001u}) {
        auto sim = simulate_flight_1dof(kRocket, {0, 100}, settings(OdeMethod::Euler, FixedTimeStep{0.0}, n));
        ASSERT_TRUE(sim);
        EXPECT_EQ(sim.value().size(), n);
        EXPECT_EQ(sim.value().times_capacity(), n == 1001 ? 2000u : 4000u);
    }
}

TEST(MainLoop, MismatchFailsBeforeRunning) {
    test::StdoutCapture out;
    auto r = predict_apogee_1dof(kRocket, {0, 100},
                                 RunSettings{OdeMethod::RK45, FixedTimeStep{0.01}, 100, true});
    const std::string text = out.text();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::TypeError);
    EXPECT_EQ(r.error().message, "RK45 requires AdaptiveTimeStep");
    EXPECT_EQ(text, "");
}

TEST(MainLoop, StepErrorEndsTheRun) {
    auto r = simulate_flight_3dof(kRocket, {0, 0, 0, 0, 100, 0},
                                  settings(OdeMethod::RK45, AdaptiveTimeStep{0.01, 1.0, 0.5, 0.01, 0.01}));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Internal);
    EXPECT_EQ(r.error().message, "min > max, or either was NaN. min = 1.0, max = 0.5");
}

// The bound error comes with the first step: after the first row is logged
// and the first progress line printed, before anything else.
TEST(MainLoop, StepErrorComesAfterTheFirstRowAndLine) {
    const auto solver =
        validate_solver_config(OdeMethod::RK45, AdaptiveTimeStep{0.01, 1.0, 0.5, 0.01, 0.01}).value();
    Simulation<State3DOF> sim{solver, make_state(kRocket, Initial3DOF{0, 0, 0, 0, 100, 0}), 0, 100};
    FlightLog flight_log = FlightLog::create().value();
    test::StdoutCapture out;
    const Result<RunEnd> ran = sim.run(flight_log, true, true);
    const std::string text = out.text();
    ASSERT_FALSE(ran);
    EXPECT_EQ(ran.error().message, "min > max, or either was NaN. min = 1.0, max = 0.5");
    EXPECT_EQ(sim.iteration, 0u);
    EXPECT_EQ(flight_log.size(), 1u);
    EXPECT_EQ(text.rfind("Iter:     0,", 0), 0u);
    EXPECT_EQ(text.find('\n'), text.size() - 1);
}

}  // namespace
}  // namespace aeso
