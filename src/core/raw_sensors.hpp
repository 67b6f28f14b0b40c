// A flight computer's raw sensors: a barometer on a static port and an
// accelerometer along the body axis, each sampled at its own instants
// t0 + k / rate (a SampleClock) from the true flight at that instant.
//
// A flight takes its samples at step boundaries of the run loop (as it
// takes its controller's ticks), not from a step's interpolant: the state
// at a sample is then the loop's own, and the specific force comes from the
// loop's own derivative of it, so a sample is exact to the integration and
// its bits depend on the flight alone. The samples at an instant are read
// first, before a command arriving then or a tick there acts: with an
// ideal actuator the accelerometer reads the drag of the deployment that
// led to that instant. Instants of sensors and ticks whose rates divide
// one another coincide (SampleClock) and cost no extra step.
//
// The barometer. Its port sees the static pressure p plus an error that is
// a property of the port, c(M) q: c a coefficient against Mach number (a
// table, held at its end values outside it; positive reads high, so a
// barometric altitude reads low), q the dynamic pressure. The sensing
// element lags the port by a first order of time constant `lag`; then its
// electronics add white noise and quantise to `resolution`. In that order:
//   u_k = p_k + c(M_k) q_k                   (the port's pressure)
//   x_k = the lag's response to u            (see below)
//   y_k = round((x_k + noise_k) / resolution) * resolution
// with round to nearest, halves away from zero (std::round, which does not
// depend on the rounding mode). The lag is discretised exactly for a port
// pressure linear between consecutive samples (spaced h = 1 / rate apart):
// the solution of lag x' = u - x over [t_(k-1), t_k] is
//   x_k = x_(k-1) + e1 (u_(k-1) - x_(k-1)) + w (u_k - u_(k-1)),
//   e1 = 1 - exp(-h / lag),  w = 1 - e1 lag / h,
// (both from series for short intervals, so no digits are lost). It starts
// in the response a steady ramp of the static pressure's rate at the start
// would have: x_0 = u_0 - lag p'(t0), as if the rocket had been climbing
// the same way (the flight starts in the air); the rate of the port's error
// term at the start is left out.
//
// The accelerometer reads the axial specific force f (what the airframe
// does besides gravity, along the nose: +1 g at rest, the drag deceleration
// over the mass, negative, in the coast):
//   y_k = (1 + scale_error) f_k + bias + noise_k.
//
// Noise is white: sample k of a sensor draws counter_normal(noise_key(seed,
// flight, channel), k), the channel the sensor's own (sensor_noise.hpp), so
// a sensor's noise depends on nothing but the seed, the flight, its channel
// and the sample's index. Settings are trusted: the caller checks them
// (rates in (0, MAX_SENSOR_RATE], the rest finite, noise, lag and
// resolution not negative, scale_error in (-1, 1)). Nothing here
// allocates; every operation is IEEE arithmetic, square roots, rounding
// and the portable exponential and logarithm (the lag's weights, the
// column's closed forms), except the 3-DOF body axis, which takes the C
// library's sine and cosine of the attitude as the equations of motion do.
#pragma once

#include <cmath>
#include <cstdint>

#include "constants.hpp"
#include "linear_table.hpp"
#include "sample_clock.hpp"
#include "sensor_noise.hpp"
#include "standard_atmosphere.hpp"
#include "state.hpp"

namespace aeso {

// The fastest a sensor may sample (Hz).
inline constexpr double MAX_SENSOR_RATE = 10000.0;

struct BarometerSettings {
    double rate = 50.0;        // samples per second
    double noise_sd = 0.0;     // Pa
    double lag = 0.0;          // s, the first-order time constant; 0: none
    double resolution = 0.0;   // Pa, the quantisation step; 0: none
    const LinearCurve* mach_error = nullptr;  // the port's coefficient against Mach; null: none
};

struct AccelerometerSettings {
    double rate = 100.0;       // samples per second
    double noise_sd = 0.0;     // m/s^2
    double bias = 0.0;         // m/s^2
    double scale_error = 0.0;  // the reading's gain is 1 + scale_error
};

// The air at the static port at one instant of the flight.
struct PortAir {
    double pressure;          // Pa, the static pressure
    double dynamic_pressure;  // Pa, rho V^2 / 2 with V the airspeed
    double mach;              // V over the speed of sound
    double pressure_rate;     // Pa/s, the static pressure's rate: -rho g(z) dz/dt
};

// The port's air at `height` m above the pad of the day's air `air`, at
// `airspeed` (m/s) and climbing at `vertical_velocity` (m/s). From the
// column's closed forms; g(z) = g0 (r0 / (r0 + z))^2 at the geometric
// altitude z, the gravity under which the column's geopotential heights
// are hydrostatic, so pressure_rate is the exact rate of its pressure.
PortAir port_air(const AirColumn& air, double height, double airspeed, double vertical_velocity) noexcept;

// The port's air at a state of the flight (no wind: the airspeed is the
// speed).
template <class Aero>
PortAir port_air(const AirColumn& air, const Vertical<Aero>& s) noexcept {
    return port_air(air, s.height, std::fabs(s.velocity), s.velocity);
}
template <class Aero>
PortAir port_air(const AirColumn& air, const Planar<Aero>& s) noexcept {
    return port_air(air, s.y, std::sqrt(s.vy * s.vy + s.vx * s.vx), s.vy);
}

// The axial specific force (m/s^2) at a state from its derivative (the run
// loop's own, compute_derivatives of that state): the acceleration less
// gravity, along the body axis. In 1-DOF the axis is taken as vertical:
// d(velocity)/dt + g. In 3-DOF the nose points along (-sin angle,
// cos angle): -sin(angle) d(vx)/dt + cos(angle) (d(vy)/dt + g).
template <class Aero>
double axial_specific_force(const Vertical<Aero>&, const StateVector1DOF& derivative) noexcept {
    return derivative[1] + GRAVITY;
}
template <class Aero>
double axial_specific_force(const Planar<Aero>& s, const StateVector3DOF& derivative) noexcept {
    return std::cos(s.angle) * (derivative[4] + GRAVITY) - std::sin(s.angle) * derivative[3];
}

// What every raw sensor has: its sample instants and its noise stream.
class SampledSensor {
public:
    // The instant of the next sample, and how many were read.
    double next_time() const noexcept { return clock_.next_time(); }
    std::uint64_t samples() const noexcept { return clock_.next; }
    const SampleClock& clock() const noexcept { return clock_; }

protected:
    SampledSensor(double rate, double start_time, std::uint64_t seed, std::uint64_t flight,
                  NoiseChannelId channel) noexcept;
    // `value` with the next sample's noise of `sd` added; then on to the
    // next sample.
    double finish_sample(double value, double sd) noexcept;

private:
    SampleClock clock_;
    std::uint64_t key_;
};

class Barometer : public SampledSensor {
public:
    // Samples from `start_time`, its noise keyed by (seed, flight).
    Barometer(const BarometerSettings& settings, double start_time, std::uint64_t seed,
              std::uint64_t flight) noexcept;

    // The pressure the port passes on: p + c(M) q.
    double port_pressure(const PortAir& air) const noexcept;

    // The next sample's reading (Pa) from the port's air at its instant
    // (pressure_rate is read at the first sample only).
    double sample(const PortAir& air) noexcept;

private:
    BarometerSettings s_;
    double e1_;  // 1 - exp(-h / lag): the share of the gap closed per sample
    double w_;   // the share of the port pressure's change over one sample that the lag passes on
    double lagged_ = 0.0;     // x at the last sample
    double last_port_ = 0.0;  // u at the last sample
};

class Accelerometer : public SampledSensor {
public:
    Accelerometer(const AccelerometerSettings& settings, double start_time, std::uint64_t seed,
                  std::uint64_t flight) noexcept;

    // The next sample's reading (m/s^2) of the axial specific force at its
    // instant.
    double sample(double specific_force) noexcept;

private:
    AccelerometerSettings s_;
    double gain_;  // 1 + scale_error
};

}  // namespace aeso
