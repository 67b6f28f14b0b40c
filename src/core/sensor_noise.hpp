// What a controller sees: the true height and vertical velocity with a scale
// error on the velocity and noise that is white or first-order Gauss-Markov.
//
// The noise of tick k of a flight is drawn from a counter-based generator
// keyed by (seed, flight, channel, k), so it depends on nothing but those:
// two designs flown on the same seed see the same noise, and every platform
// draws the same bits (integer hashing, and a normal quantile from
// arithmetic, square roots and a portable logarithm).
#pragma once

#include <cstdint>

namespace aeso {

// The noise channels of a flight: each draws from its own stream, keyed by
// noise_key(seed, flight, channel), so adding a sensor changes no other
// sensor's noise.
enum NoiseChannelId : std::uint64_t {
    HEIGHT_NOISE = 0,         // the simple sensors' height
    VELOCITY_NOISE = 1,       // the simple sensors' vertical velocity
    BAROMETER_NOISE = 2,      // a raw barometer's pressure
    ACCELEROMETER_NOISE = 3,  // a raw accelerometer's specific force
};

struct SensorSettings {
    double height_sd = 0.0;         // m
    double velocity_sd = 0.0;       // m/s
    double velocity_scale = 1.0;    // sensed vertical velocity = scale * true + noise
    double correlation_time = 0.0;  // s; 0: white noise
};

// A standard normal deviate for the counter (key, index): a hash of both to
// a uniform in (0, 1), then the normal quantile (Wichura's AS 241).
double counter_normal(std::uint64_t key, std::uint64_t index) noexcept;

// The quantile of the standard normal distribution at p in (0, 1).
double normal_quantile(double p) noexcept;

// A 64-bit key from a seed, a flight and a channel.
std::uint64_t noise_key(std::uint64_t seed, std::uint64_t flight, std::uint64_t channel) noexcept;

// The noise of one channel (height or velocity) tick after tick.
class NoiseChannel {
public:
    NoiseChannel(double sd, double correlation_time, double tick_interval, std::uint64_t key) noexcept;
    // The noise at tick k; ticks must come in order 0, 1, 2, ...
    double next() noexcept;

private:
    double sd_;
    double phi_;      // exp(-interval / correlation_time); 0 for white noise
    double innovation_;  // sd * sqrt(1 - phi^2)
    std::uint64_t key_;
    std::uint64_t tick_ = 0;
    double value_ = 0.0;
};

}  // namespace aeso
