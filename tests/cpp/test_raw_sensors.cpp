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

using test::SameBits;

// Still air at a pad pressure: the port sees `pressure` and nothing else.
PortAir still(double pressure, double rate = 0.0) { return {pressure, 0.0, 0.0, rate}; }

struct Moments {
    double mean, sd, lag1;  // lag1: the correlation of consecutive values
};
Moments moments(const std::vector<double>& x) {
    const double n = static_cast<double>(x.size());
    double mean = 0.0;
    for (double v : x) mean += v;
    mean /= n;
    double var = 0.0, cov = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        var += (x[i] - mean) * (x[i] - mean);
        if (i > 0) cov += (x[i] - mean) * (x[i - 1] - mean);
    }
    return {mean, std::sqrt(var / (n - 1.0)), cov / var};
}

// ---- sample instants

struct ClockPair {
    double start, slow, fast;  // `fast` a whole multiple of `slow`
};
class SampleInstants : public ::testing::TestWithParam<ClockPair> {};

// Sample k lies at start + k / rate to within rounding of that instant (no
// drift over a million samples), and a slower sensor's instants are the
// faster one's every rate-ratio-th instant to the bit, so they share step
// boundaries.
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
            ASSERT_TRUE(SameBits(slow.next_time(), fast.next_time())) << "sample " << k / ratio;
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

// ---- noise

struct NoiseCase {
    std::uint64_t seed, flight;
    double sd;
    double bias, scale_error, force;  // the accelerometer's
};
class SensorNoise : public ::testing::TestWithParam<NoiseCase> {};

// Over 40,000 samples each sensor's error is white noise of the given sd
// about its bias and scale error: mean, sd and the correlation of
// consecutive samples within 4 standard errors (these seeds are fixed, so
// the figures are too), and the barometer's and accelerometer's noises are
// not correlated with each other.
TEST_P(SensorNoise, IsWhiteWithTheGivenSdAboutBiasAndScale) {
    const NoiseCase c = GetParam();
    constexpr int N = 40000;
    const double pressure = 87000.0;
    Barometer baro(BarometerSettings{50.0, c.sd, 0.0, 0.0, nullptr}, 0.0, c.seed, c.flight);
    Accelerometer accel(AccelerometerSettings{100.0, c.sd / 100.0, c.bias, c.scale_error}, 0.0, c.seed, c.flight);
    std::vector<double> b(N), a(N);
    for (int k = 0; k < N; ++k) {
        b[k] = baro.sample(still(pressure)) - pressure;
        a[k] = accel.sample(c.force) - ((1.0 + c.scale_error) * c.force + c.bias);
    }
    const double se = 4.0 / std::sqrt(static_cast<double>(N));
    for (const auto& [x, sd] : {std::pair{b, c.sd}, std::pair{a, c.sd / 100.0}}) {
        const Moments m = moments(x);
        EXPECT_LE(std::fabs(m.mean), se * sd);
        EXPECT_LE(std::fabs(m.sd / sd - 1.0), se / std::sqrt(2.0));
        EXPECT_LE(std::fabs(m.lag1), se);
    }
    double cross = 0.0;
    for (int k = 0; k < N; ++k) cross += b[k] * a[k];
    EXPECT_LE(std::fabs(cross / N / (c.sd * c.sd / 100.0)), se);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SensorNoise,
                         ::testing::Values(NoiseCase{1, 0, 2.0, 0.0, 0.0, -3.0},
                                           NoiseCase{7, 123, 5.0, 0.05, 0.005, -25.0},
                                           NoiseCase{2024, 9, 0.5, -0.08, -0.01, 9.80665},
                                           NoiseCase{99, 1999, 30.0, 0.3, 0.02, 60.0}));

// Sample k's noise depends on the seed, the flight, the sensor and k alone:
// not on the rate, the pressure or the samples' times; another flight or
// seed draws other noise.
TEST(SensorNoiseKeys, AreSeedFlightChannelAndIndex) {
    auto readings = [](double rate, double start, std::uint64_t seed, std::uint64_t flight) {
        Barometer b(BarometerSettings{rate, 3.0, 0.0, 0.0, nullptr}, start, seed, flight);
        Accelerometer a(AccelerometerSettings{rate, 3.0, 0.0, 0.0}, start, seed, flight);
        std::vector<double> r;
        for (int k = 0; k < 64; ++k) r.push_back(b.sample(still(1000.0 * k)) - 1000.0 * k);
        for (int k = 0; k < 64; ++k) r.push_back(a.sample(0.0));
        return r;
    };
    const std::vector<double> base = readings(50.0, 0.0, 5, 17);
    const std::vector<double> same = readings(1000.0, 3.5, 5, 17);
    for (std::size_t i = 0; i < base.size(); ++i) EXPECT_EQ(base[i], same[i]) << i;
    for (const auto& other : {readings(50.0, 0.0, 5, 18), readings(50.0, 0.0, 6, 17)}) {
        int equal = 0;
        for (std::size_t i = 0; i < base.size(); ++i) equal += base[i] == other[i];
        EXPECT_EQ(equal, 0);
    }
    // The two sensors of one flight draw from different streams.
    int equal = 0;
    for (int k = 0; k < 64; ++k) equal += base[k] == base[64 + k];
    EXPECT_EQ(equal, 0);
}

// ---- the barometer's lag

struct LagCase {
    double lag, rate;
};
class BarometerLag : public ::testing::TestWithParam<LagCase> {};

// The lagged reading at each sample against lag x' = u - x integrated
// finely (RK4, 4000 steps per sample interval) for the port pressure linear
// between samples: a steady climb from the start (the sensor starting in
// the ramp's response), then a 500 Pa step over one interval, then a wave.
TEST_P(BarometerLag, IsTheFirstOrderResponseOfThePressureLinearBetweenSamples) {
    const LagCase c = GetParam();
    const double h = 1.0 / c.rate;
    const double climb = -3000.0;  // Pa/s
    auto port = [&](int k) {
        const double ramp = 90000.0 + climb * h * std::min(k, 40);
        return k < 60 ? ramp : ramp + 500.0 + 200.0 * std::sin(0.37 * (k - 60));
    };
    Barometer baro(BarometerSettings{c.rate, 0.0, c.lag, 0.0, nullptr}, 0.0, 1, 0);
    using Real = long double;  // so the reference's own rounding stays far below the tolerance
    Real x = port(0) - c.lag * climb;  // the ramp's steady response
    constexpr int M = 4000;
    const Real dt = Real(h) / M;
    double worst = 0.0;
    for (int k = 0; k < 160; ++k) {
        if (k > 0) {
            const Real u0 = port(k - 1), du = port(k) - u0;
            auto f = [&](Real s, Real y) { return (u0 + du * (s / h) - y) / c.lag; };
            for (int j = 0; j < M; ++j) {
                const Real s = j * dt;
                const Real k1 = f(s, x), k2 = f(s + dt / 2, x + dt / 2 * k1);
                const Real k3 = f(s + dt / 2, x + dt / 2 * k2), k4 = f(s + dt, x + dt * k3);
                x += dt / 6 * (k1 + 2 * k2 + 2 * k3 + k4);
            }
        }
        const double reading = baro.sample(still(port(k), climb));
        worst = std::max(worst, static_cast<double>(std::fabs(reading - x)));
        // In the steady climb the sensor trails the port by lag * rate.
        if (k < 40) {
            EXPECT_NEAR(reading, port(k) - c.lag * climb, 1e-7) << k;
        }
    }
    EXPECT_LE(worst, 1e-7);  // Pa: a wrong weight errs by a share of a 500 Pa step
}

INSTANTIATE_TEST_SUITE_P(Lags, BarometerLag,
                         ::testing::Values(LagCase{0.02, 50.0}, LagCase{0.02, 1000.0}, LagCase{0.5, 100.0},
                                           LagCase{0.001, 50.0}, LagCase{1.0, 10000.0}, LagCase{0.0041, 500.0}));

// ---- resolution

struct ResolutionCase {
    double resolution, noise_sd;
};
class BarometerResolution : public ::testing::TestWithParam<ResolutionCase> {};

// Every reading is a whole number of steps, the one nearest the unquantised
// reading (the same barometer without resolution).
TEST_P(BarometerResolution, RoundsToTheNearestStep) {
    const ResolutionCase c = GetParam();
    Barometer coarse(BarometerSettings{50.0, c.noise_sd, 0.05, c.resolution, nullptr}, 0.0, 3, 4);
    Barometer fine(BarometerSettings{50.0, c.noise_sd, 0.05, 0.0, nullptr}, 0.0, 3, 4);
    for (int k = 0; k < 5000; ++k) {
        const PortAir air = still(95000.0 - 0.173 * k, -8.65);
        const double q = coarse.sample(air);
        const double exact = fine.sample(air);
        const double steps = q / c.resolution;
        ASSERT_EQ(steps, std::round(steps)) << k;
        ASSERT_LE(std::fabs(q - exact), 0.5 * c.resolution * (1.0 + 1e-12)) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, BarometerResolution,
                         ::testing::Values(ResolutionCase{1.0, 2.0}, ResolutionCase{0.25, 0.1},
                                           ResolutionCase{3.0, 0.0}, ResolutionCase{12.0, 40.0}));

// ---- the port's air and its Mach error

struct AirCase {
    double site, offset, height, vx, vy;
};
class PortAirAtState : public ::testing::TestWithParam<AirCase> {};

// The port's air of a 3-DOF state: the column's pressure, q and Mach from
// the speed, and the pressure's rate a central difference of the column's
// pressure times the climb rate.
TEST_P(PortAirAtState, IsTheColumnsAirAndItsRate) {
    const AirCase c = GetParam();
    const AirColumn column(c.site, c.offset, atmosphere::standard_pressure(c.site));
    const State3DOF s = make_state(test::reference_rocket_3dof(), Initial3DOF{0.0, c.height, 0.1, c.vx, c.vy, 0.0});
    const PortAir air = port_air(column, s);
    const AirConditions at = column.at(c.height);
    const double v2 = c.vx * c.vx + c.vy * c.vy;
    EXPECT_EQ(air.pressure, at.pressure);
    EXPECT_NEAR(air.dynamic_pressure, 0.5 * at.density * v2, 1e-12 * at.pressure);
    EXPECT_NEAR(air.mach, std::sqrt(v2) / at.speed_of_sound, 1e-14);
    const double d = 0.5;
    const double dp_dz = (column.at(c.height + d).pressure - column.at(c.height - d).pressure) / (2 * d);
    EXPECT_NEAR(air.pressure_rate, dp_dz * c.vy, 1e-7 * std::fabs(dp_dz * c.vy) + 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Days, PortAirAtState,
                         ::testing::Values(AirCase{1401.0, 0.0, 988.0, 24.5, 305.3},
                                           AirCase{0.0, 10.0, 3000.0, -5.0, 120.0},
                                           AirCase{4000.0, -20.0, 9500.0, 30.0, -60.0},  // an 11 km layer base
                                           AirCase{200.0, 5.0, 10.0, 0.0, 0.0}));

struct MachErrorCase {
    double mach, coefficient;  // the table's coefficient at that Mach number
};
class BarometerMachError : public ::testing::TestWithParam<MachErrorCase> {};

// The reading is p + c(M) q: high for a positive coefficient, low for a
// negative one, the table held at its ends and linear between its points.
TEST_P(BarometerMachError, ReadsHighForAPositiveCoefficient) {
    const MachErrorCase c = GetParam();
    const LinearCurve table({0.5, 0.9, 1.1}, {0.0, 0.08, -0.05});
    const AirColumn column(1401.0, 0.0, atmosphere::standard_pressure(1401.0));
    const double height = 1500.0;
    const double speed = c.mach * column.at(height).speed_of_sound;
    const State1DOF s = make_state(test::reference_rocket_3dof(), Initial1DOF{height, speed});
    const PortAir air = port_air(column, s);
    Barometer baro(BarometerSettings{50.0, 0.0, 0.0, 0.0, &table}, 0.0, 1, 0);
    const double error = baro.sample(air) - air.pressure;
    EXPECT_NEAR(error, c.coefficient * air.dynamic_pressure, 1e-9 * air.dynamic_pressure);
    EXPECT_EQ(error > 0.0, c.coefficient > 0.0);
    EXPECT_EQ(error < 0.0, c.coefficient < 0.0);
}

INSTANTIATE_TEST_SUITE_P(Table, BarometerMachError,
                         ::testing::Values(MachErrorCase{0.3, 0.0}, MachErrorCase{0.7, 0.04},
                                           MachErrorCase{0.9, 0.08}, MachErrorCase{1.0, 0.015},
                                           MachErrorCase{1.1, -0.05}, MachErrorCase{2.0, -0.05}));

// ---- the axial specific force

struct ForceCase {
    double angle, speed;
};
class AxialSpecificForce : public ::testing::TestWithParam<ForceCase> {};

// Flying nose first, whatever the tilt, the accelerometer reads the drag
// deceleration alone, -D/m (gravity does not reach it), the same as a
// vertical 1-DOF flight at that speed; at rest in the air (free fall) it
// reads 0.
TEST_P(AxialSpecificForce, IsTheDragOverTheMassAlongTheAxis) {
    const ForceCase c = GetParam();
    const RocketProperties r = test::reference_rocket_3dof();
    const double drag = HALF_RHO * c.speed * std::fabs(c.speed) * r.cd * r.area_drag / r.mass;
    State3DOF planar = make_state(
        r, Initial3DOF{0.0, 100.0, c.angle, -std::sin(c.angle) * c.speed, std::cos(c.angle) * c.speed, 0.0});
    State1DOF vertical = make_state(r, Initial1DOF{100.0, c.speed});
    const double f3 = axial_specific_force(planar, compute_derivatives(planar));
    const double f1 = axial_specific_force(vertical, compute_derivatives(vertical));
    EXPECT_NEAR(f1, -drag, 1e-12 * (std::fabs(drag) + GRAVITY));
    EXPECT_NEAR(f3, -drag, 1e-6 * (std::fabs(drag) + GRAVITY));
}

INSTANTIATE_TEST_SUITE_P(Attitudes, AxialSpecificForce,
                         ::testing::Values(ForceCase{0.0, 250.0}, ForceCase{0.1, 250.0}, ForceCase{-0.3, 80.0},
                                           ForceCase{1.2, 40.0}, ForceCase{0.4, 0.0}));

}  // namespace
}  // namespace aeso
