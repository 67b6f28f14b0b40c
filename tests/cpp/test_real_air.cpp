// The real air's building blocks: the atmosphere's polynomial tables against
// the closed forms, the interval index against a plain search, and the run
// loop's landing on step boundaries.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/linear_table.hpp"
#include "core/simulation.hpp"
#include "core/standard_atmosphere.hpp"
#include "test_helpers.hpp"

namespace aeso {
namespace {

struct Day {
    double site, offset, pad_pressure_ratio;
};

class AtmosphereTables : public ::testing::TestWithParam<Day> {};

// Every height of the layers: the tables within 1e-13 (relative) of the
// closed forms they interpolate, whatever piece or hint a lookup uses.
TEST_P(AtmosphereTables, MatchTheClosedForms) {
    const Day day = GetParam();
    const double pad = atmosphere::standard_pressure(day.site) * day.pad_pressure_ratio;
    const AirColumn column(day.site, day.offset, pad);
    const AtmosphereTable table = AtmosphereTable::standard(column);
    const AtmosphereTable narrow = AtmosphereTable::standard(column, 0.0, 5000.0);
    const double lo = column.lowest_height(), hi = column.highest_height();
    constexpr int N = 400000;
    double worst_rho = 0.0, worst_sound = 0.0;
    const AtmosphereTable::Piece* hint = nullptr;
    for (int i = 0; i <= N; ++i) {
        const double h = lo + (hi - lo) * i / N;
        const AirConditions exact = column.at(h);
        const AirSample s = table.at(h, &hint);
        const AirSample fresh = table.at(h);
        ASSERT_TRUE(test::SameBits(s.half_rho, fresh.half_rho)) << h;
        ASSERT_TRUE(test::SameBits(s.inv_speed_of_sound, fresh.inv_speed_of_sound)) << h;
        if (h >= 0.0 && h <= 5000.0) {
            ASSERT_TRUE(test::SameBits(narrow.at(h).half_rho, s.half_rho)) << h;
        }
        worst_rho = std::max(worst_rho, std::fabs(2.0 * s.half_rho / exact.density - 1.0));
        worst_sound = std::max(worst_sound, std::fabs(s.inv_speed_of_sound * exact.speed_of_sound - 1.0));
    }
    std::printf("site %g m, offset %g K: worst relative error density %.2e, 1/speed of sound %.2e\n", day.site,
                day.offset, worst_rho, worst_sound);
    EXPECT_LE(worst_rho, 1e-13);
    EXPECT_LE(worst_sound, 1e-13);
}

INSTANTIATE_TEST_SUITE_P(Days, AtmosphereTables,
                         ::testing::Values(Day{0.0, 0.0, 1.0}, Day{1401.0, 18.0, 1.0}, Day{-400.0, -25.0, 1.03},
                                           Day{12000.0, 7.0, 0.97}, Day{85000.0, 0.0, 1.0}));

// Heights beyond every piece (infinite, or so far that a cell index would
// overflow) read the end pieces' polynomials, never past the table: not
// finite so far out (the polynomials overflow), whatever the hint.
TEST(AtmosphereTables, HeightsBeyondThePiecesReadTheEndPieces) {
    const AirColumn column(1401.0, -12.0, atmosphere::standard_pressure(1401.0));
    for (const AtmosphereTable& table : {AtmosphereTable::standard(column),
                                         AtmosphereTable::standard(column, 0.0, 3000.0)}) {
        const AtmosphereTable::Piece* hint = nullptr;
        for (double h : {std::numeric_limits<double>::infinity(), 1e308, 0.0, -1e308,
                         -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()}) {
            const AirSample fresh = table.at(h);
            const AirSample hinted = table.at(h, &hint);
            EXPECT_TRUE(test::SameBits(fresh.half_rho, hinted.half_rho)) << h;
            EXPECT_EQ(std::isfinite(fresh.half_rho), h == 0.0) << h;
        }
    }
}

// The interval [x[i], x[i+1]) holding v, by a plain search.
std::size_t brute_force(const std::vector<double>& x, double v) {
    std::size_t i = 0;
    while (i + 2 < x.size() && x[i + 1] <= v) ++i;
    return i;
}

TEST(IntervalIndex, FindsWhatAPlainSearchFinds) {
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int table = 0; table < 400; ++table) {
        const std::size_t n = 2 + rng() % 60;
        // Gaps from even to spread over nine decades (which caps the cells).
        const double spread = (table % 4) * 3.0;
        std::vector<double> x{unit(rng) * 10.0 - 5.0};
        for (std::size_t i = 1; i < n; ++i) x.push_back(x.back() + std::pow(10.0, -spread * unit(rng)));
        const IntervalIndex index(x);
        std::vector<double> values;
        for (int k = 0; k < 300; ++k) values.push_back(x.front() + (x.back() - x.front()) * unit(rng));
        for (std::size_t i = 1; i + 1 < n; ++i) {
            values.push_back(x[i]);
            values.push_back(std::nextafter(x[i], -INFINITY));
        }
        values.push_back(std::nextafter(x.front(), INFINITY));
        values.push_back(std::nextafter(x.back(), -INFINITY));
        for (double v : values) {
            if (!(v > x.front() && v < x.back())) continue;
            ASSERT_EQ(index.find(x, v), brute_force(x, v)) << "table " << table << " value " << v;
        }
    }
}

// A dense table with one far end point (most points in one cell of the
// index) and a table of more points than the cells of a small one: the
// lookup finds what a plain search finds.
TEST(IntervalIndex, DenseTablesWithAFarEndPoint) {
    std::mt19937_64 rng(20261209);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (std::size_t n : {2000u, 100000u}) {
        for (bool far : {false, true}) {
            std::vector<double> x;
            for (std::size_t i = 0; i < n; ++i) x.push_back(1.5 * static_cast<double>(i) / static_cast<double>(n));
            if (far) x.push_back(1e6);
            const IntervalIndex index(x);
            for (int k = 0; k < 20000; ++k) {
                const double v = k % 2 == 0 ? 1.5 * unit(rng) : x[rng() % (x.size() - 1)];
                if (!(v > x.front() && v < x.back())) continue;
                const std::size_t i = index.find(x, v);
                ASSERT_TRUE(x[i] <= v && v < x[i + 1]) << n << " " << far << " " << v;
            }
        }
    }
}

// An observer whose boundaries are given times.
struct Boundaries {
    std::vector<double> at;
    std::size_t next = 0;
    template <class S>
    static bool stop_requested(std::uint64_t, const S&) noexcept {
        return false;
    }
    double next_boundary(double) const noexcept {
        return next < at.size() ? at[next] : std::numeric_limits<double>::infinity();
    }
    template <class S>
    void at_boundary(S&) noexcept {
        ++next;
    }
};

std::vector<double> logged_times(OdeMethod method, std::optional<TimeStepConfig> step, std::vector<double> at) {
    Simulation<State1DOF> sim{validate_solver_config(method, step).value(),
                              make_state(RocketProperties{20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0}, Initial1DOF{0.0, 250.0}),
                              0, 100000};
    Boundaries observer{std::move(at)};
    Result<FlightLog> log = FlightLog::create();
    EXPECT_TRUE(sim.run_recorded(log.value(), observer));
    return {log.value().times(), log.value().times() + log.value().size()};
}

struct Stepping {
    OdeMethod method;
    std::optional<TimeStepConfig> step;
};

class BoundaryLanding : public ::testing::TestWithParam<Stepping> {};

// With each boundary added in turn: the step that would pass it ends on it,
// no step straddles one, and the step after it has the size planned before
// it was shortened (the step the run without that boundary took there).
TEST_P(BoundaryLanding, StepsEndOnBoundariesAndResumeTheirPlannedSize) {
    const std::vector<double> all = {0.0137, 0.5, 1.00000000001, 2.5, 2.51, 7.25};
    for (std::size_t k = 0; k < all.size(); ++k) {
        const std::vector<double> before(all.begin(), all.begin() + k);
        std::vector<double> with = before;
        with.push_back(all[k]);
        const std::vector<double> ref = logged_times(GetParam().method, GetParam().step, before);
        const std::vector<double> t = logged_times(GetParam().method, GetParam().step, with);
        const double b = all[k];
        for (std::size_t i = 0; i + 1 < t.size(); ++i) {
            for (double boundary : with) ASSERT_FALSE(t[i] < boundary && boundary < t[i + 1]) << boundary;
        }
        const auto landed = std::find(t.begin(), t.end(), b);
        ASSERT_NE(landed, t.end()) << b;
        const std::size_t j = static_cast<std::size_t>(landed - t.begin());
        // Up to the boundary both runs are the same; ref's step j-1 passed it
        // (or ended a sliver short of it, which the loop does not leave).
        ASSERT_TRUE(test::SameBits(t[j - 1], ref[j - 1])) << b;
        const double planned = ref[j] - ref[j - 1];
        ASSERT_LT(ref[j - 1], b);
        ASSERT_LE(b - ref[j - 1], planned * (1.0 + 2.0 * BOUNDARY_SLACK)) << b;
        EXPECT_NEAR(t[j + 1] - t[j], planned, 1e-12) << b;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Methods, BoundaryLanding,
    ::testing::Values(Stepping{OdeMethod::Euler, FixedTimeStep{0.01}}, Stepping{OdeMethod::RK3, FixedTimeStep{0.3}},
                      Stepping{OdeMethod::RK45, std::nullopt},
                      Stepping{OdeMethod::RK45, AdaptiveTimeStep{0.01, 1e-6, 1.0, 1e-3, 1e-3}}));

}  // namespace
}  // namespace aeso
