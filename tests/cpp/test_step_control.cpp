#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "core/solver_config.hpp"
#include "core/step_control.hpp"

namespace aeso {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

struct DtCase {
    const char* name;
    AdaptiveTimeStep options;
    double error_norm;
    double expected;
};

class NextDt : public ::testing::TestWithParam<DtCase> {};

TEST_P(NextDt, Proposes) {
    const auto c = GetParam();
    const Result<double> r = next_dt(c.options, c.options.dt, c.error_norm);
    ASSERT_TRUE(r) << r.error().message;
    if (std::isnan(c.expected)) {
        EXPECT_TRUE(std::isnan(r.value()));
    } else {
        EXPECT_NEAR(r.value(), c.expected, 1e-15) << c.name;
    }
}

constexpr AdaptiveTimeStep D = DEFAULT_ADAPTIVE_TIME_STEP;

INSTANTIATE_TEST_SUITE_P(
    Cases, NextDt,
    ::testing::Values(DtCase{"zero error doubles", D, 0.0, 0.02},
                      DtCase{"floor counts as zero", D, 1e-30, 0.02},
                      DtCase{"just above floor is capped", D, 1.0000001e-30, 0.02},
                      DtCase{"half ratio", D, 0.0101, 0.01 * std::pow(0.5, 0.25)},
                      DtCase{"huge error halves", D, 1e300, 0.005},
                      DtCase{"infinite error halves", D, Inf, 0.005},
                      DtCase{"negative error is below floor", D, -3.0, 0.02},
                      DtCase{"clamped at dt_max", AdaptiveTimeStep{0.1, 1e-6, 0.1, 0.01, 0.01}, 1e-9, 0.1},
                      DtCase{"clamped at dt_min", AdaptiveTimeStep{1e-6, 1e-6, 0.1, 0.01, 0.01}, 1e300, 1e-6},
                      DtCase{"NaN error", D, NaN, NaN},
                      DtCase{"negative tolerance", AdaptiveTimeStep{0.01, 1e-6, 0.1, -1.0, 0.01}, 0.5, NaN}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& ch : n) if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

TEST(NextDt, ExactFactorForHalfRatio) {
    const double expected = 0.01 * std::pow((((0.01 * 0.01) + 0.01) * 0.5) / 0.0101, 0.25);
    EXPECT_EQ(next_dt(D, D.dt, 0.0101).value(), expected);
}

// The step size comes from the caller (the loop keeps it); the options' dt
// is only the first step of a run.
TEST(NextDt, ScalesTheGivenStepNotTheFirstOne) {
    const AdaptiveTimeStep o{0.5, 1e-6, 1.0, 0.01, 0.01};
    EXPECT_EQ(next_dt(o, 0.01, 0.0).value(), 0.02);
    EXPECT_EQ(next_dt(o, 0.04, 1e300).value(), 0.02);
    const double expected = 0.03 * std::pow((((0.01 * 0.03) + 0.01) * 0.5) / 0.0101, 0.25);
    EXPECT_EQ(next_dt(o, 0.03, 0.0101).value(), expected);
}

struct BoundCase {
    double dt_min, dt_max;
    const char* message;
};
class NextDtBounds : public ::testing::TestWithParam<BoundCase> {};

TEST_P(NextDtBounds, FailsForEveryErrorNorm) {
    const auto c = GetParam();
    for (double e : {0.0, 1.0, NaN}) {
        const Result<double> r = next_dt(AdaptiveTimeStep{0.01, c.dt_min, c.dt_max, 0.01, 0.01}, 0.01, e);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind, ErrorKind::Internal);
        EXPECT_EQ(r.error().message, c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NextDtBounds,
    ::testing::Values(BoundCase{0.2, 0.1, "min > max, or either was NaN. min = 0.2, max = 0.1"},
                      BoundCase{2.0, 1e-6, "min > max, or either was NaN. min = 2.0, max = 1e-6"},
                      BoundCase{NaN, 0.1, "min > max, or either was NaN. min = NaN, max = 0.1"},
                      BoundCase{1e-6, NaN, "min > max, or either was NaN. min = 1e-6, max = NaN"},
                      BoundCase{Inf, -Inf, "min > max, or either was NaN. min = inf, max = -inf"},
                      BoundCase{1.5e-7, 1e-7, "min > max, or either was NaN. min = 1.5e-7, max = 1e-7"}));

TEST(SolverConfigValidation, DefaultsAndMismatches) {
    auto euler = validate_solver_config(OdeMethod::Euler, std::nullopt);
    ASSERT_TRUE(euler);
    EXPECT_EQ(euler.value().method, OdeMethod::Euler);
    EXPECT_EQ(std::get<FixedTimeStep>(euler.value().step).dt, 0.01);
    auto rk3 = validate_solver_config(OdeMethod::RK3, FixedTimeStep{-0.5});
    ASSERT_TRUE(rk3);
    EXPECT_EQ(std::get<FixedTimeStep>(rk3.value().step).dt, -0.5);
    EXPECT_EQ(rk3.value().first_dt(), -0.5);
    auto rk45 = validate_solver_config(OdeMethod::RK45, std::nullopt);
    ASSERT_TRUE(rk45);
    EXPECT_EQ(std::get<AdaptiveTimeStep>(rk45.value().step).dt_min, 1e-6);
    EXPECT_EQ(std::get<AdaptiveTimeStep>(rk45.value().step).dt_max, 0.1);
    EXPECT_EQ(rk45.value().first_dt(), 0.01);
    auto given = validate_solver_config(OdeMethod::RK45, AdaptiveTimeStep{1, 2, 3, 4, 5});
    ASSERT_TRUE(given);
    EXPECT_EQ(std::get<AdaptiveTimeStep>(given.value().step).relative_error_tolerance, 5.0);
    EXPECT_EQ(std::get<AdaptiveTimeStep>(given.value().step).dt_min, 2.0);

    const std::pair<OdeMethod, TimeStepConfig> bad[] = {
        {OdeMethod::Euler, AdaptiveTimeStep{}}, {OdeMethod::RK3, AdaptiveTimeStep{}}, {OdeMethod::RK45, FixedTimeStep{}}};
    const char* messages[] = {"Euler requires FixedTimeStep", "RK3 requires FixedTimeStep",
                              "RK45 requires AdaptiveTimeStep"};
    for (int i = 0; i < 3; ++i) {
        auto r = validate_solver_config(bad[i].first, bad[i].second);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind, ErrorKind::TypeError);
        EXPECT_EQ(r.error().message, messages[i]);
    }
}

}  // namespace
}  // namespace aeso
