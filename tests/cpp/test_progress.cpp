#include <csignal>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "core/progress.hpp"
#include "core/simulation.hpp"
#include "test_helpers.hpp"

namespace aeso {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

template <class S>
std::string line_of(const S& s, std::uint64_t i) {
    char buf[PROGRESS_LINE_MAX];
    return std::string(buf, format_progress(buf, s, i));
}

TEST(ProgressLine, FirstOneDofLine) {
    auto s = make_state(test::pure_gravity_rocket(), Initial1DOF{0.0, 100.0});
    EXPECT_EQ(line_of(s, 0),
              "Iter:     0,    Time: 0.00(s),    Altitude:    0.00(m),    Velocity:  100.00(m/s)    "
              "Acceleration:     NaN(m/ss)\n");
}

TEST(ProgressLine, ThreeDofLineAndWideValues) {
    auto s = make_state(test::reference_rocket_3dof(), Initial3DOF{1, -12.345, 0.2, -0.001, Inf, -Inf});
    s.time = 123.456;
    EXPECT_EQ(line_of(s, 1234567),
              "Iter:1234567,    Time:123.46(s),    Altitude:  -12.35(m),    X Velocity:   -0.00(m/s)    "
              "Y Velocity::     inf(m/s)    AngularVelo:    -inf(rad/s)\n");
}

TEST(ProgressLine, NegativeZeroAndHugeValues) {
    auto s = make_state(test::pure_gravity_rocket(), Initial1DOF{-0.0, 1e22});
    s.cached_derivatives = {0.0, NaN};
    EXPECT_EQ(line_of(s, 42),
              "Iter:    42,    Time: 0.00(s),    Altitude:   -0.00(m),    Velocity:10000000000000000000000.00(m/s)"
              "    Acceleration:     NaN(m/ss)\n");
}

TEST(ProgressLine, LongestLineFitsTheBuffer) {
    auto s = make_state(test::reference_rocket_3dof(), Initial3DOF{0, -1.7e308, 0, -1.7e308, -1.7e308, -1.7e308});
    s.time = -1.7e308;
    const std::string line = line_of(s, std::numeric_limits<std::uint64_t>::max());
    EXPECT_LT(line.size(), PROGRESS_LINE_MAX);
    EXPECT_EQ(line.back(), '\n');
}

TEST(ProgressOutput, PrintingRunWritesLinesAndBanner) {
    // Pure gravity from 1.0 m/s with Euler dt 0.1: crosses in step 0.
    test::StdoutCapture out;
    auto r = predict_apogee_1dof(test::pure_gravity_rocket(), {0.0, 1.0},
                                 RunSettings{OdeMethod::Euler, FixedTimeStep{0.1}, 100, true});
    const std::string text = out.text();
    ASSERT_TRUE(r);
    const std::string first =
        "Iter:     0,    Time: 0.00(s),    Altitude:    0.00(m),    Velocity:    1.00(m/s)    "
        "Acceleration:     NaN(m/ss)\n";
    const std::string last =
        "Iter:     1,    Time: 0.10(s),    Altitude:    0.10(m),    Velocity:    0.00(m/s)    "
        "Acceleration:   -9.81(m/ss)\n";
    EXPECT_EQ(text, first + std::string(BANNER_OPEN) + last + std::string(BANNER_CLOSE));
}

TEST(ProgressOutput, LimitPrintsOnlyLines) {
    test::StdoutCapture out;
    auto r = simulate_flight_3dof(test::reference_rocket_3dof(), {0, 0, 0, 0, 100, 0},
                                  RunSettings{OdeMethod::RK3, std::nullopt, 7, true});
    const std::string text = out.text();
    ASSERT_TRUE(r);
    std::size_t lines = 0;
    for (char c : text) lines += c == '\n';
    EXPECT_EQ(lines, 7u);
    EXPECT_EQ(text.find("====="), std::string::npos);
    EXPECT_EQ(text.rfind("Iter:     6,", 0) == std::string::npos, true);
    EXPECT_NE(text.find("Iter:     6,"), std::string::npos);
}

TEST(ProgressOutput, NothingPrintedWhenOff) {
    test::StdoutCapture out;
    auto r = predict_apogee_3dof(test::reference_rocket_3dof(), {0, 0, 0, 0, 100, 0},
                                 RunSettings{OdeMethod::RK45, std::nullopt, 100000, false});
    EXPECT_TRUE(r);
    EXPECT_EQ(out.text(), "");
}

TEST(ProgressOutput, WriteFailureEndsTheRun) {
    test::StdoutCapture out("/dev/full");
    auto r = predict_apogee_1dof(test::pure_gravity_rocket(), {0.0, 100.0},
                                 RunSettings{OdeMethod::Euler, std::nullopt, 100, true});
    out.restore();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Internal);
    EXPECT_EQ(r.error().message, "failed printing to stdout: No space left on device (os error 28)");
}

TEST(ProgressOutput, ClosedPipeIsAnError) {
    std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    const int saved = ::dup(1);
    ::dup2(fds[1], 1);
    const Status st = print_piece(BANNER_OPEN);
    ::dup2(saved, 1);
    ::close(saved);
    ::close(fds[1]);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().message, "failed printing to stdout: Broken pipe (os error 32)");
}

}  // namespace
}  // namespace aeso
