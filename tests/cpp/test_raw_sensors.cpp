// The raw sensors against their definitions: sample instants, noise, the
// barometer's lag, resolution and port error, the accelerometer's bias and
// scale, and the axial specific force of both kinds of state.

#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "core/dynamics.hpp"
#include "core/raw_sensors.hpp"
#include "test_helpers.hpp"

namespace aeso {
namespace {

// The port in still air: the static pressure and its rate alone.
PortAir still(double pressure, double rate = 0.0) { return {pressure, 0.0, 0.0, rate}; }

struct ClockPair {
    double start, slow, fast;  // `fast` a whole multiple of `slow`
};
class SampleInstants : public ::testing::TestWithParam<ClockPair> {};

// Sample k lies at start + k / rate within one rounding of that instant
// (no drift over a million samples), and a slower sensor's instants are the
// faster one's to the bit, so they share step boundaries.
TEST_P(SampleInstants, AreTheirOwnAndCoincideWithFasterSensors) {
    const ClockPair c = GetParam();
    Barometer slow(BarometerSettings{c.slow, 0.0, 0.0, 0.0, nullptr}, c.start, 1, 0);
    Accelerometer fast(AccelerometerSettings{c.fast, 0.0, 0.0, 0.0}, c.start, 1, 0);
    const auto ratio = static_cast<std::uint64_t>(c.fast / c.slow);
    double worst = 0.0;
    for (std::uint64_t k = 0; k < 1000000; ++k) {
        const long double exact = static_cast<long double>(c.start) + static_cast<long double>(k) / c.fast;
        worst = std::max(worst, static_cast<double>(std::fabs(fast.next_time() - exact)));
        if (k % ratio == 0) {
            ASSERT_TRUE(test::SameBits(slow.next_time(), fast.next_time())) << "sample " << k / ratio;
            slow.sample(still(9e4));
        }
        fast.sample(0.0);
    }
    const double last = c.start + 1e6 / c.fast;
    EXPECT_LE(worst, std::nextafter(last, INFINITY) - last);
}

INSTANTIATE_TEST_SUITE_P(Rates, SampleInstants,
                         ::testing::Values(ClockPair{0.0, 50.0, 100.0}, ClockPair{12.345, 20.0, 100.0},
                                           ClockPair{3.21, 100.0, 1000.0}, ClockPair{0.7, 3.0, 9.0},
                                           ClockPair{1.0, 10000.0, 10000.0}));

struct NoiseCase {
    std::uint64_t seed, flight;
    double sd, bias, scale_error, force;  // the accelerometer's sd is sd / 100
};
class SensorNoise : public ::testing::TestWithParam<NoiseCase> {};

// Over 40,000 samples each sensor's error about its bias and scale error is
// white noise of the given sd: mean, sd, the correlation of consecutive
// samples and that of the two sensors within 4 standard errors (at these
// fixed seeds the figures are fixed too).
TEST_P(SensorNoise, IsWhiteWithTheGivenSdAboutBiasAndScale) {
    const NoiseCase c = GetParam();
    constexpr int N = 40000;
    Barometer baro(BarometerSettings{50.0, c.sd, 0.0, 0.0, nullptr}, 0.0, c.seed, c.flight);
    Accelerometer accel(AccelerometerSettings{100.0, c.sd / 100.0, c.bias, c.scale_error}, 0.0, c.seed, c.flight);
    std::vector<double> b(N), a(N);
    double cross = 0.0;
    for (int k = 0; k < N; ++k) {
        b[k] = (baro.sample(still(87000.0)) - 87000.0) / c.sd;
        a[k] = (accel.sample(c.force) - ((1.0 + c.scale_error) * c.force + c.bias)) / (c.sd / 100.0);
        cross += a[k] * b[k] / N;
    }
    const double se = 4.0 / std::sqrt(static_cast<double>(N));
    for (const std::vector<double>* x : {&b, &a}) {
        double mean = 0.0, var = 0.0, lag1 = 0.0;
        for (double v : *x) mean += v / N;
        for (int k = 0; k < N; ++k) {
            var += ((*x)[k] - mean) * ((*x)[k] - mean) / (N - 1);
            if (k > 0) lag1 += ((*x)[k] - mean) * ((*x)[k - 1] - mean) / (N - 1);
        }
        EXPECT_LE(std::fabs(mean), se);
        EXPECT_LE(std::fabs(std::sqrt(var) - 1.0), se / std::sqrt(2.0));
        EXPECT_LE(std::fabs(lag1 / var), se);
    }
    EXPECT_LE(std::fabs(cross), se);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SensorNoise,
                         ::testing::Values(NoiseCase{1, 0, 2.0, 0.0, 0.0, -3.0},
                                           NoiseCase{7, 123, 5.0, 0.05, 0.005, -25.0},
                                           NoiseCase{2024, 9, 0.5, -0.08, -0.01, 9.80665},
                                           NoiseCase{99, 1999, 30.0, 0.3, 0.02, 60.0}));

// Sample k's noise depends on the seed, the flight, the sensor and k alone
// (not on the rate, start or pressure); another flight, seed or sensor
// draws other noise.
TEST(SensorNoiseKeys, AreSeedFlightSensorAndIndex) {
    auto noise = [](double rate, double start, std::uint64_t seed, std::uint64_t flight) {
        Barometer b(BarometerSettings{rate, 3.0, 0.0, 0.0, nullptr}, start, seed, flight);
        Accelerometer a(AccelerometerSettings{rate, 3.0, 0.0, 0.0}, start, seed, flight);
        std::vector<double> r;
        for (int k = 0; k < 64; ++k) r.push_back(b.sample(still(1000.0 * k)) - 1000.0 * k);
        for (int k = 0; k < 64; ++k) r.push_back(a.sample(0.0));
        return r;
    };
    const std::vector<double> base = noise(50.0, 0.0, 5, 17);
    EXPECT_EQ(base, noise(1000.0, 3.5, 5, 17));
    const std::vector<double> others[] = {noise(50.0, 0.0, 5, 18), noise(50.0, 0.0, 6, 17),
                                          std::vector<double>(base.begin() + 64, base.end())};
    for (const std::vector<double>& other : others) {
        for (std::size_t i = 0; i < other.size(); ++i) EXPECT_NE(base[i], other[i]) << i;
    }
}

struct LagCase {
    double lag, rate;
};
class BarometerLag : public ::testing::TestWithParam<LagCase> {};

// Each reading against lag x' = u - x integrated finely (RK4 in long
// double, 4000 steps a sample) for the port pressure linear between
// samples: a steady climb from the start, which the sensor trails by
// lag * rate from its first sample, then a 500 Pa step over one interval,
// then a wave.
TEST_P(BarometerLag, IsTheFirstOrderResponseOfThePressureLinearBetweenSamples) {
    const LagCase c = GetParam();
    const double h = 1.0 / c.rate, climb = -3000.0;  // Pa/s
    auto port = [&](int k) {
        const double ramp = 90000.0 + climb * h * std::min(k, 40);
        return k < 60 ? ramp : ramp + 500.0 + 200.0 * std::sin(0.37 * (k - 60));
    };
    Barometer baro(BarometerSettings{c.rate, 0.0, c.lag, 0.0, nullptr}, 0.0, 1, 0);
    using Real = long double;
    Real x = port(0) - c.lag * climb;
    constexpr int M = 4000;
    const Real dt = Real(h) / M;
    for (int k = 0; k < 160; ++k) {
        const Real u0 = port(std::max(k - 1, 0)), du = port(k) - u0;
        auto f = [&](Real s, Real y) { return (u0 + du * (s / h) - y) / c.lag; };
        for (int j = 0; k > 0 && j < M; ++j) {
            const Real s = j * dt, k1 = f(s, x), k2 = f(s + dt / 2, x + dt / 2 * k1);
            const Real k3 = f(s + dt / 2, x + dt / 2 * k2), k4 = f(s + dt, x + dt * k3);
            x += dt / 6 * (k1 + 2 * k2 + 2 * k3 + k4);
        }
        const double reading = baro.sample(still(port(k), climb));
        // Pa: a wrong weight errs by a share of the 500 Pa step.
        ASSERT_NEAR(reading, static_cast<double>(x), 1e-7) << k;
        if (k < 40) {
            ASSERT_NEAR(reading, port(k) - c.lag * climb, 1e-7) << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lags, BarometerLag,
                         ::testing::Values(LagCase{0.02, 50.0}, LagCase{0.02, 1000.0}, LagCase{0.5, 100.0},
                                           LagCase{0.001, 50.0}, LagCase{1.0, 10000.0}, LagCase{0.0041, 500.0}));

class BarometerResolution : public ::testing::TestWithParam<std::pair<double, double>> {};

// Every reading is a whole number of steps, the nearest to the reading of
// the same barometer without resolution.
TEST_P(BarometerResolution, RoundsToTheNearestStep) {
    const auto [resolution, noise_sd] = GetParam();
    Barometer coarse(BarometerSettings{50.0, noise_sd, 0.05, resolution, nullptr}, 0.0, 3, 4);
    Barometer fine(BarometerSettings{50.0, noise_sd, 0.05, 0.0, nullptr}, 0.0, 3, 4);
    for (int k = 0; k < 5000; ++k) {
        const PortAir air = still(95000.0 - 0.173 * k, -8.65);
        const double q = coarse.sample(air), exact = fine.sample(air);
        ASSERT_EQ(q / resolution, std::round(q / resolution)) << k;
        ASSERT_LE(std::fabs(q - exact), 0.5 * resolution * (1.0 + 1e-12)) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, BarometerResolution,
                         ::testing::Values(std::pair{1.0, 2.0}, std::pair{0.25, 0.1}, std::pair{3.0, 0.0},
                                           std::pair{12.0, 40.0}));

struct AirCase {
    double site, offset, height, vx, vy;
};
class PortAirAtState : public ::testing::TestWithParam<AirCase> {};

// The port's air at a 3-DOF state: the column's pressure, q and Mach from
// the speed, and the pressure's rate a central difference of the column's
// pressure times the climb rate.
TEST_P(PortAirAtState, IsTheColumnsAirAndItsRate) {
    const AirCase c = GetParam();
    const AirColumn column(c.site, c.offset, atmosphere::standard_pressure(c.site));
    const PortAir air =
        port_air(column, make_state(test::reference_rocket_3dof(), Initial3DOF{0, c.height, 0.1, c.vx, c.vy, 0}));
    const AirConditions at = column.at(c.height);
    const double v2 = c.vx * c.vx + c.vy * c.vy;
    EXPECT_EQ(air.pressure, at.pressure);
    EXPECT_NEAR(air.dynamic_pressure, 0.5 * at.density * v2, 1e-12 * at.pressure);
    EXPECT_NEAR(air.mach, std::sqrt(v2) / at.speed_of_sound, 1e-14);
    const double rate = (column.at(c.height + 0.5).pressure - column.at(c.height - 0.5).pressure) * c.vy;
    EXPECT_NEAR(air.pressure_rate, rate, 1e-7 * std::fabs(rate) + 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Days, PortAirAtState,
                         ::testing::Values(AirCase{1401.0, 0.0, 988.0, 24.5, 305.3},
                                           AirCase{0.0, 10.0, 3000.0, -5.0, 120.0},
                                           AirCase{4000.0, -20.0, 9500.0, 30.0, -60.0},  // the 11 km layer base
                                           AirCase{200.0, 5.0, 10.0, 0.0, 0.0}));

class BarometerMachError : public ::testing::TestWithParam<std::pair<double, double>> {};

// At Mach M the reading is p + c(M) q: high for a positive coefficient, low
// for a negative one; the table is held at its ends and linear between.
TEST_P(BarometerMachError, ReadsHighForAPositiveCoefficient) {
    const auto [mach, coefficient] = GetParam();
    const LinearCurve table({0.5, 0.9, 1.1}, {0.0, 0.08, -0.05});
    const AirColumn column(1401.0, 0.0, atmosphere::standard_pressure(1401.0));
    const double speed = mach * column.at(1500.0).speed_of_sound;
    const PortAir air = port_air(column, make_state(test::reference_rocket_3dof(), Initial1DOF{1500.0, speed}));
    Barometer baro(BarometerSettings{50.0, 0.0, 0.0, 0.0, &table}, 0.0, 1, 0);
    const double error = baro.sample(air) - air.pressure;
    EXPECT_NEAR(error, coefficient * air.dynamic_pressure, 1e-9 * air.dynamic_pressure);
    EXPECT_EQ(error > 0.0, coefficient > 0.0);
    EXPECT_EQ(error < 0.0, coefficient < 0.0);
}

INSTANTIATE_TEST_SUITE_P(Table, BarometerMachError,
                         ::testing::Values(std::pair{0.3, 0.0}, std::pair{0.7, 0.04}, std::pair{0.9, 0.08},
                                           std::pair{1.0, 0.015}, std::pair{1.1, -0.05}, std::pair{2.0, -0.05}));

class AxialSpecificForce : public ::testing::TestWithParam<std::pair<double, double>> {};

// Flying nose first, whatever the tilt, the accelerometer reads the drag
// deceleration alone, -D/m (gravity does not reach it), as a vertical
// 1-DOF flight at that speed does; at rest in the air (free fall) it reads 0.
TEST_P(AxialSpecificForce, IsTheDragOverTheMassAlongTheAxis) {
    const auto [angle, speed] = GetParam();
    const RocketProperties r = test::reference_rocket_3dof();
    const double drag = HALF_RHO * speed * speed * r.cd * r.area_drag / r.mass;
    State3DOF planar =
        make_state(r, Initial3DOF{0.0, 100.0, angle, -std::sin(angle) * speed, std::cos(angle) * speed, 0.0});
    State1DOF vertical = make_state(r, Initial1DOF{100.0, speed});
    EXPECT_NEAR(axial_specific_force(vertical, compute_derivatives(vertical)), -drag, 1e-12 * (drag + GRAVITY));
    EXPECT_NEAR(axial_specific_force(planar, compute_derivatives(planar)), -drag, 1e-6 * (drag + GRAVITY));
}

INSTANTIATE_TEST_SUITE_P(Attitudes, AxialSpecificForce,
                         ::testing::Values(std::pair{0.0, 250.0}, std::pair{0.1, 250.0}, std::pair{-0.3, 80.0},
                                           std::pair{1.2, 40.0}, std::pair{0.4, 0.0}));

}  // namespace
}  // namespace aeso
