#include "raw_sensors.hpp"

#include "portable_math.hpp"

namespace aeso {

namespace {

// Below this h / lag the lag's weights come from their series: 1 - exp(-x)
// and 1 - (1 - exp(-x)) / x would lose the digits that cancel.
constexpr double SERIES_BELOW = 0.5;
// Terms of the series: x^20 / 20! < 1e-24 for x < 0.5.
constexpr int SERIES_TERMS = 20;

// 1 - exp(-x) = x - x^2/2! + x^3/3! - ...
double closed_share(double x) noexcept {
    if (x >= SERIES_BELOW) return 1.0 - portable::exp(-x);
    double inner = 1.0;
    for (int n = SERIES_TERMS; n >= 2; --n) inner = 1.0 - x / n * inner;
    return x * inner;
}

// 1 - (1 - exp(-x)) / x = x/2! - x^2/3! + x^3/4! - ...
double ramp_share(double x) noexcept {
    if (x >= SERIES_BELOW) return 1.0 - closed_share(x) / x;
    double inner = 1.0;
    for (int n = SERIES_TERMS + 1; n >= 3; --n) inner = 1.0 - x / n * inner;
    return x * 0.5 * inner;
}

}  // namespace

PortAir port_air(const AirColumn& air, double height, double airspeed, double vertical_velocity) noexcept {
    const AirConditions c = air.at(height);
    const double r = atmosphere::EARTH_RADIUS / (atmosphere::EARTH_RADIUS + (air.site_elevation() + height));
    const double gravity = atmosphere::STANDARD_GRAVITY * (r * r);
    return {c.pressure, 0.5 * c.density * (airspeed * airspeed), airspeed / c.speed_of_sound,
            -(c.density * gravity) * vertical_velocity};
}

SampledSensor::SampledSensor(double rate, double start_time, std::uint64_t seed, std::uint64_t flight,
                             NoiseChannelId channel) noexcept
    : clock_{start_time, rate, 0}, key_(noise_key(seed, flight, channel)) {}

double SampledSensor::finish_sample(double value, double sd) noexcept {
    if (sd != 0.0) value = value + sd * counter_normal(key_, clock_.next);
    ++clock_.next;
    return value;
}

Barometer::Barometer(const BarometerSettings& settings, double start_time, std::uint64_t seed,
                     std::uint64_t flight) noexcept
    : SampledSensor(settings.rate, start_time, seed, flight, BAROMETER_NOISE), s_(settings), e1_(1.0), w_(1.0) {
    if (s_.lag > 0.0) {
        const double x = 1.0 / (s_.rate * s_.lag);
        e1_ = closed_share(x);
        w_ = ramp_share(x);
    }
}

double Barometer::port_pressure(const PortAir& air) const noexcept {
    if (s_.mach_error == nullptr) return air.pressure;
    return air.pressure + s_.mach_error->at(air.mach) * air.dynamic_pressure;
}

double Barometer::sample(const PortAir& air) noexcept {
    const double u = port_pressure(air);
    if (s_.lag == 0.0) {
        lagged_ = u;
    } else if (samples() == 0) {
        lagged_ = u - s_.lag * air.pressure_rate;
    } else {
        lagged_ = lagged_ + e1_ * (last_port_ - lagged_) + w_ * (u - last_port_);
    }
    last_port_ = u;
    const double reading = finish_sample(lagged_, s_.noise_sd);
    if (s_.resolution > 0.0) return std::round(reading / s_.resolution) * s_.resolution;
    return reading;
}

Accelerometer::Accelerometer(const AccelerometerSettings& settings, double start_time, std::uint64_t seed,
                             std::uint64_t flight) noexcept
    : SampledSensor(settings.rate, start_time, seed, flight, ACCELEROMETER_NOISE),
      s_(settings),
      gain_(1.0 + settings.scale_error) {}

double Accelerometer::sample(double specific_force) noexcept {
    return finish_sample(gain_ * specific_force + s_.bias, s_.noise_sd);
}

}  // namespace aeso
