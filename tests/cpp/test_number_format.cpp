#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "core/number_format.hpp"

namespace aeso {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

struct ShortCase {
    double value;
    const char* text;
};
class Shortest : public ::testing::TestWithParam<ShortCase> {};

TEST_P(Shortest, Formats) { EXPECT_EQ(format_shortest(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Cases, Shortest,
    ::testing::Values(ShortCase{0.1, "0.1"}, ShortCase{2.0, "2.0"}, ShortCase{1e-6, "1e-6"},
                      ShortCase{1.5e-7, "1.5e-7"}, ShortCase{NaN, "NaN"}, ShortCase{Inf, "inf"},
                      ShortCase{-Inf, "-inf"}, ShortCase{0.0, "0.0"}, ShortCase{-0.0, "-0.0"},
                      ShortCase{1e-4, "0.0001"}, ShortCase{9.9e-5, "9.9e-5"}, ShortCase{1e16, "1e16"},
                      ShortCase{9999999999999998.0, "9999999999999998.0"}, ShortCase{-2.5e20, "-2.5e20"},
                      ShortCase{123456.789, "123456.789"}, ShortCase{1e-300, "1e-300"},
                      ShortCase{5e-324, "5e-324"}, ShortCase{1.7976931348623157e308, "1.7976931348623157e308"},
                      ShortCase{-0.3, "-0.3"}));

std::string fixed2(double x, unsigned width) {
    char buf[FIXED2_MAX_CHARS];
    return std::string(buf, append_fixed2(buf, x, width));
}

struct FixedCase {
    double value;
    unsigned width;
    const char* text;
};
class Fixed2 : public ::testing::TestWithParam<FixedCase> {};

TEST_P(Fixed2, Formats) { EXPECT_EQ(fixed2(GetParam().value, GetParam().width), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Cases, Fixed2,
    ::testing::Values(FixedCase{0.0, 5, " 0.00"}, FixedCase{100.0, 8, "  100.00"},
                      FixedCase{-12.345, 8, "  -12.35"}, FixedCase{-0.0, 8, "   -0.00"},
                      FixedCase{-0.001, 8, "   -0.00"}, FixedCase{NaN, 8, "     NaN"},
                      FixedCase{Inf, 8, "     inf"}, FixedCase{-Inf, 8, "    -inf"},
                      FixedCase{123.456, 5, "123.46"}, FixedCase{0.125, 5, " 0.12"},  // exact tie: even
                      FixedCase{0.375, 5, " 0.38"}, FixedCase{1.005, 5, " 1.00"},     // 1.005 is below the tie
                      FixedCase{1e20, 8, "100000000000000000000.00"}, FixedCase{-9.80665, 8, "   -9.81"}));

TEST(Fixed2, LargestDoubleIsPrintedInFull) {
    const std::string s = fixed2(-1.7976931348623157e308, 8);
    EXPECT_EQ(s.size(), 1u + 309u + 3u);
    EXPECT_EQ(s.substr(0, 5), "-1797");
    EXPECT_EQ(s.substr(s.size() - 3), ".00");
}

TEST(AppendUint, PadsAndNeverTruncates) {
    char buf[UINT_MAX_CHARS + 8];
    EXPECT_EQ(std::string(buf, append_uint(buf, 0, 6)), "     0");
    EXPECT_EQ(std::string(buf, append_uint(buf, 1000000, 6)), "1000000");
    EXPECT_EQ(std::string(buf, append_uint(buf, 18446744073709551615ull, 6)), "18446744073709551615");
}

}  // namespace
}  // namespace aeso
