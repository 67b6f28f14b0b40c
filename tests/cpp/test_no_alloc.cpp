// Counts every malloc made while runs step, by interposing malloc for this
// test program. Steps must allocate nothing; a flight log allocates only
// when it grows past its reservation.
#include <atomic>
#include <cstdlib>

#include <gtest/gtest.h>

#include "core/dynamics.hpp"
#include "core/flight_block.hpp"
#include "core/flight_estimate.hpp"
#include "core/raw_sensors.hpp"
#include "core/simulation.hpp"

extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);

namespace {
std::atomic<long> allocations{0};
}

extern "C" void* malloc(std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void* realloc(void* p, std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
extern "C" void* calloc(std::size_t a, std::size_t b) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(a, b);
}

namespace aeso {
namespace {

// Without drag a rocket launched at 1e7 m/s cannot reach apogee within the
// limits used here, so every iteration takes a full step.
const RocketProperties kRocket{20.0, 0.0, 0.0081, 0.0081, 1.5, 0.3, 0.0};

template <class S>
long allocations_during_run(OdeMethod m, S state, std::uint64_t steps, bool record) {
    auto solver = validate_solver_config(m, std::nullopt).value();
    Simulation<S> sim{solver, state, 0, steps};
    FlightLog flight_log = FlightLog::create().value();
    const long before = allocations.load();
    EXPECT_TRUE(sim.run(flight_log, false, record));
    EXPECT_EQ(sim.iteration + 1, steps);
    return allocations.load() - before;
}

class NoAllocation : public ::testing::TestWithParam<OdeMethod> {};

TEST_P(NoAllocation, PredictionRunsAllocateNothing) {
    EXPECT_EQ(allocations_during_run(GetParam(), make_state(kRocket, Initial1DOF{0, 1e7}), 20000, false), 0);
    EXPECT_EQ(allocations_during_run(GetParam(), make_state(kRocket, Initial3DOF{0, 0, 0.05, 0, 1e7, 0}), 20000,
                                     false),
              0);
}

TEST_P(NoAllocation, LoggingWithinReservationAllocatesNothing) {
    EXPECT_EQ(allocations_during_run(GetParam(), make_state(kRocket, Initial3DOF{0, 0, 0.05, 0, 1e7, 0}), 1000,
                                     true),
              0);
    // Past the reservation only the doubling of the two lists allocates.
    EXPECT_EQ(allocations_during_run(GetParam(), make_state(kRocket, Initial1DOF{0, 1e7}), 4001, true), 6);
}

TEST_P(NoAllocation, BlocksOfFlightsAllocateNothing) {
    const double rows[] = {20.0, 0.45, 0.0081, 0.0081, 1.5, 0.3, 2.0, 0.0, 0.0, 0.05, 250.0, 0.0,
                           0.0,  0.45, 0.0081, 0.0081, 1.5, 0.3, 2.0, 0.0, 0.0, 0.05, 250.0, 0.0};
    const FlightBlockLayout layout{FlightModel::ThreeDof, true, GetParam(), StepColumns::Default, 20000};
    double values[8];
    std::uint64_t steps[2];
    std::uint8_t status[2];
    const std::atomic<bool> stop{false};
    const long before = allocations.load();
    EXPECT_EQ(run_flight_block(layout, rows, 2, {values, values + 2, values + 4, values + 6, steps, status}, stop),
              2u);
    EXPECT_EQ(allocations.load() - before, 0);
}

// A flight computer's samples: the port's air, the Mach error, the lag,
// noise and quantisation, the axial specific force and the accelerometer.
TEST(NoAllocationSampling, SensorSamplesAllocateNothing) {
    const LinearCurve mach_error({0.5, 0.9, 1.1}, {0.0, 0.08, -0.05});
    const AirColumn air(1401.0, 5.0, atmosphere::standard_pressure(1401.0));
    Barometer baro(BarometerSettings{50.0, 2.0, 0.02, 1.0, &mach_error}, 0.0, 1, 2);
    Accelerometer accel(AccelerometerSettings{100.0, 0.05, 0.01, 0.005}, 0.0, 1, 2);
    State3DOF s = make_state(kRocket, Initial3DOF{0, 1000.0, 0.05, -10.0, 300.0, 0});
    double sum = 0.0;
    const long before = allocations.load();
    for (int k = 0; k < 10000; ++k) {
        s.y += 0.1;
        sum += baro.sample(port_air(air, s)) + accel.sample(axial_specific_force(s, compute_derivatives(s)));
    }
    EXPECT_EQ(allocations.load() - before, 0);
    EXPECT_TRUE(std::isfinite(sum));
}

// A flight computer's estimator, fed sample by sample, and the drag it
// learns, and the smoother over stored rows.
TEST(NoAllocationEstimating, FeedingSmoothingAndFittingAllocateNothing) {
    const AirColumn column(1401.0, 10.0, 86000.0);
    const BarometerFrame frame(column, 86000.0);
    const EstimatorSettings settings{5.0, 0.3, 0.1, 0.01, 1e-4, 400.0, 0.5, 0.05, 5.0, 0.01, 0.5, 0.0, 0.5};
    FilterPoint prior{0.0, {0.0, 0.0, 0.0}, {1, 0, 0, 0, 1, 0, 0, 0, 1}};
    constexpr std::size_t n = 2000;
    static double time[n], pressure[n], force[n], means[3 * n], covariances[9 * n];
    static std::int8_t barometer[n], driven[n];
    static Prediction predicted[n];
    for (std::size_t i = 0; i < n; ++i) {
        time[i] = 0.005 * static_cast<double>(i);
        pressure[i] = i % 3 == 0 ? column.at(50.0 * time[i]).pressure : std::nan("");
        force[i] = 9.80665 + (i % 7 == 0 ? std::nan("") : 0.0);
    }
    DragFitAccumulator fit(1);
    const long before = allocations.load();
    EstimatorFeed feed(settings, frame, prior);
    for (std::size_t i = 0; i < n; ++i) {
        feed.feed({time[i], pressure[i], force[i]});
        const double x = 1.0 + feed.estimator().point().x[1];
        fit.add(&x, 2.0 * x);
    }
    EXPECT_TRUE(fit.solve(0.0).solved);
    const EstimateRun run = estimate_flight(settings, frame, prior, {time, pressure, force, n}, means, covariances,
                                            barometer, driven, predicted);
    EXPECT_TRUE(run.smoothed);
    EXPECT_EQ(allocations.load() - before, 0);
}

INSTANTIATE_TEST_SUITE_P(Methods, NoAllocation,
                         ::testing::Values(OdeMethod::Euler, OdeMethod::RK3, OdeMethod::RK45));

}  // namespace
}  // namespace aeso
