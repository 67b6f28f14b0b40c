#include <gtest/gtest.h>

#include "core/flight_log.hpp"
#include "test_helpers.hpp"

namespace aeso {
namespace {

LogRow row_of(double x) { return {x, x + 1, x + 2, x + 3, x + 4, x + 5, x + 6, x + 7, x + 8}; }

TEST(FlightLog, EmptyLogHasNoLastRow) {
    auto flight_log = FlightLog::create();
    ASSERT_TRUE(flight_log);
    EXPECT_EQ(flight_log.value().size(), 0u);
    auto last = flight_log.value().last_row();
    ASSERT_FALSE(last);
    EXPECT_EQ(last.error().kind, ErrorKind::Internal);
    EXPECT_EQ(last.error().message, "Index out of bounds");
}

TEST(FlightLog, GrowsByDoublingAndKeepsContents) {
    auto created = FlightLog::create();
    ASSERT_TRUE(created);
    FlightLog flight_log = std::move(created).value();
    EXPECT_EQ(flight_log.times_capacity(), 1000u);
    EXPECT_EQ(flight_log.rows_capacity(), 1000u);
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(flight_log.push(i * 0.5, row_of(i)));
    EXPECT_EQ(flight_log.times_capacity(), 1000u);
    ASSERT_TRUE(flight_log.push(1000 * 0.5, row_of(1000)));
    EXPECT_EQ(flight_log.times_capacity(), 2000u);
    EXPECT_EQ(flight_log.rows_capacity(), 2000u);
    for (int i = 1001; i < 2001; ++i) ASSERT_TRUE(flight_log.push(i * 0.5, row_of(i)));
    EXPECT_EQ(flight_log.times_capacity(), 4000u);
    EXPECT_EQ(flight_log.rows_capacity(), 4000u);
    ASSERT_EQ(flight_log.size(), 2001u);
    for (int i = 0; i < 2001; ++i) {
        ASSERT_EQ(flight_log.times()[i], i * 0.5);
        ASSERT_EQ(flight_log.rows()[i], row_of(i));
    }
    // Rows are one flat block of nine values each.
    EXPECT_EQ(reinterpret_cast<const double*>(flight_log.rows())[9 * 1500 + 4], 1504.0);
    EXPECT_EQ(flight_log.last_row().value(), row_of(2000));
}

TEST(FlightLog, MoveTransfersOwnership) {
    FlightLog a = FlightLog::create().value();
    ASSERT_TRUE(a.push(1.0, row_of(1)));
    FlightLog b = std::move(a);
    EXPECT_EQ(b.size(), 1u);
    EXPECT_EQ(a.size(), 0u);
    EXPECT_FALSE(a.last_row());
    a = std::move(b);
    EXPECT_EQ(a.last_row().value(), row_of(1));
}

TEST(LogRow, OneDofRowUsesAccelerationAndZeros) {
    auto s = make_state(test::pure_gravity_rocket(), Initial1DOF{3.0, 4.0});
    auto r = log_row(s);
    EXPECT_EQ(r[0], 3.0);
    EXPECT_EQ(r[1], 4.0);
    EXPECT_TRUE(std::isnan(r[2]));
    for (int k = 3; k < 9; ++k) EXPECT_TRUE(test::SameBits(r[k], 0.0));
    s.cached_derivatives = {7.0, 8.0};
    EXPECT_EQ(log_row(s)[2], 8.0);
}

TEST(LogRow, ThreeDofRowUsesAccelerations) {
    auto s = make_state(test::reference_rocket_3dof(), Initial3DOF{1, 2, 3, 4, 5, 6});
    s.cached_derivatives = {10, 11, 12, 13, 14, 15};
    EXPECT_EQ(log_row(s), (LogRow{1, 2, 3, 4, 5, 6, 13, 14, 15}));
}

}  // namespace
}  // namespace aeso
