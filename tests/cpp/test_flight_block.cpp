// A block of flights against the single-flight operations: the same apogee
// to the bit, the statuses they imply, and a stop flag that ends a run.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/flight_block.hpp"
#include "test_helpers.hpp"

namespace aeso {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

// Outcome arrays for `rows` flights.
struct Outcomes {
    explicit Outcomes(std::size_t rows) : values(4 * rows), steps(rows), status(rows) {}
    std::vector<double> values;
    std::vector<std::uint64_t> steps;
    std::vector<std::uint8_t> status;
    FlightBlockOutcomes view() {
        const std::size_t n = steps.size();
        return {values.data(), values.data() + n, values.data() + 2 * n, values.data() + 3 * n,
                steps.data(), status.data()};
    }
};

struct Case {
    OdeMethod method;
    StepColumns step;
};

class BlockAgainstPrediction : public ::testing::TestWithParam<Case> {};

std::vector<double> step_columns(StepColumns step, double dt_min) {
    if (step == StepColumns::Fixed) return {0.02};
    if (step == StepColumns::Adaptive) return {0.01, dt_min, 0.1, 0.01, 0.01};
    return {};
}

std::optional<TimeStepConfig> step_options(StepColumns step, double dt_min) {
    const std::vector<double> c = step_columns(step, dt_min);
    if (step == StepColumns::Fixed) return FixedTimeStep{c[0]};
    if (step == StepColumns::Adaptive) return AdaptiveTimeStep{c[0], c[1], c[2], c[3], c[4]};
    return std::nullopt;
}

// Rockets and launch states that reach apogee, have no mass,
// start falling, or carry infinite inputs; with the adaptive options also
// bounds the controller refuses.
TEST_P(BlockAgainstPrediction, ThreeDofMatchesPredictionToTheBit) {
    const Case c = GetParam();
    const RocketProperties rockets[] = {{20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0},
                                        {0.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0},
                                        {1.0, Inf, 0.01, 0.01, 1.0, 0.1, 2.0}};
    const Initial3DOF states[] = {{0, 0, 0.05, -12.0, 249.0, 0.01}, {0, 0, 0.3, 0, -3.0, 0},
                                  {1, 2, 0.0, 0, 0.2, 0}};
    const double dt_mins[] = {1e-6, 0.5};
    const std::uint64_t limits[] = {0, 3, 100000};
    for (std::uint64_t limit : limits) {
        const FlightBlockLayout layout{FlightModel::ThreeDof, false, c.method, c.step, limit};
        std::vector<double> rows;
        std::vector<Result<double>> expected;
        for (const auto& r : rockets) {
            for (const auto& s : states) {
                for (double dt_min : dt_mins) {
                    if (c.step != StepColumns::Adaptive && dt_min != dt_mins[0]) continue;
                    rows.insert(rows.end(), {r.mass, r.cd, r.area_drag, r.area_lift, r.moment_of_inertia,
                                             r.stab_margin_dimensional, r.cl_a, s.x, s.y, s.angle, s.vx,
                                             s.vy, s.angular_rate});
                    const auto step = step_columns(c.step, dt_min);
                    rows.insert(rows.end(), step.begin(), step.end());
                    expected.push_back(predict_apogee_3dof(
                        r, s, RunSettings{c.method, step_options(c.step, dt_min), limit, false}));
                }
            }
        }
        Outcomes out(expected.size());
        const std::atomic<bool> stop{false};
        ASSERT_EQ(run_flight_block(layout, rows.data(), expected.size(), out.view(), stop), expected.size());
        for (std::size_t k = 0; k < expected.size(); ++k) {
            const auto status = static_cast<FlightStatus>(out.status[k]);
            if (expected[k]) {
                EXPECT_TRUE(test::SameBits(out.values[k], expected[k].value())) << k;
                EXPECT_EQ(status, std::isfinite(expected[k].value()) ? FlightStatus::Ok
                                                                    : FlightStatus::NonFiniteApogee);
            } else if (expected[k].error().message == "Index out of bounds") {
                EXPECT_EQ(status, FlightStatus::IterationLimit) << k;
                EXPECT_EQ(out.steps[k], limit);
            } else {
                EXPECT_EQ(status, FlightStatus::InvalidStepOptions) << k;
                EXPECT_EQ(out.steps[k], 0u);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, BlockAgainstPrediction,
                         ::testing::Values(Case{OdeMethod::Euler, StepColumns::Default},
                                           Case{OdeMethod::RK3, StepColumns::Fixed},
                                           Case{OdeMethod::RK45, StepColumns::Default},
                                           Case{OdeMethod::RK45, StepColumns::Adaptive}));

TEST(FlightBlock, StepsAndApogeeStateMatchTheSimulation) {
    const RocketProperties rocket{20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0};
    const double row[] = {rocket.mass, rocket.cd, rocket.area_drag, rocket.area_lift, rocket.moment_of_inertia,
                          rocket.stab_margin_dimensional, rocket.cl_a, 0.0, 0.0, 0.05, 250.0, 0.0};
    const FlightBlockLayout layout{FlightModel::ThreeDof, true, OdeMethod::RK45, StepColumns::Default, 100000};
    Outcomes out(1);
    const std::atomic<bool> stop{false};
    ASSERT_EQ(run_flight_block(layout, row, 1, out.view(), stop), 1u);
    const Initial3DOF initial = velocity_along_axis(0.0, 0.0, 0.05, 250.0, 0.0);
    EXPECT_TRUE(test::SameBits(initial.vx, -250.0 * std::sin(0.05)));
    auto log = simulate_flight_3dof(rocket, initial, RunSettings{OdeMethod::RK45, std::nullopt, 100000, false});
    ASSERT_TRUE(log);
    // One step per logged row; the last row is where the crossing step began.
    EXPECT_EQ(out.steps[0], log.value().size());
    const double t_last = log.value().times()[log.value().size() - 1];
    const LogRow last = log.value().rows()[log.value().size() - 1];
    EXPECT_GT(out.values[1], t_last);
    EXPECT_LT(out.values[1], t_last + 0.1 * 2);
    EXPECT_NEAR(out.values[2], last[0] + last[3] * (out.values[1] - t_last), 0.01);
    EXPECT_NEAR(out.values[3], std::fabs(last[3]), 0.05);
}

TEST(FlightBlock, OneDofHasNoPosition) {
    const double row[] = {20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0, 0.0, 250.0};
    const FlightBlockLayout layout{FlightModel::OneDof, false, OdeMethod::RK3, StepColumns::Default, 100000};
    Outcomes out(1);
    const std::atomic<bool> stop{false};
    ASSERT_EQ(run_flight_block(layout, row, 1, out.view(), stop), 1u);
    EXPECT_EQ(out.status[0], static_cast<std::uint8_t>(FlightStatus::Ok));
    EXPECT_GT(out.values[1], 0.0);
    EXPECT_TRUE(std::isnan(out.values[2]));
    EXPECT_TRUE(std::isnan(out.values[3]));
}

// A flight that could run for 2^64 iterations (NaN mass: its vertical
// velocity is NaN and never crosses) ends only through the flag, set here
// from another thread whenever it gets to it; the flights after it are
// never started.
TEST(FlightBlock, StopFlagEndsARunningFlight) {
    std::vector<double> rows;
    for (int k = 0; k < 3; ++k) rows.insert(rows.end(), {NaN, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0, 0.0, 250.0});
    const FlightBlockLayout layout{FlightModel::OneDof, false, OdeMethod::Euler, StepColumns::Default,
                                   std::numeric_limits<std::uint64_t>::max()};
    Outcomes out(3);
    std::atomic<bool> stop{false};
    std::thread stopper([&] { stop.store(true); });
    const std::size_t finished = run_flight_block(layout, rows.data(), 3, out.view(), stop);
    stopper.join();
    EXPECT_EQ(finished, 0u);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(out.status[k], static_cast<std::uint8_t>(FlightStatus::Stopped));
        EXPECT_TRUE(std::isnan(out.values[k]));
    }
    EXPECT_EQ(out.steps[0] % STOP_CHECK_INTERVAL, 0u);
}

}  // namespace
}  // namespace aeso
