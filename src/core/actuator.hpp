// An air-brake actuator between a controller's commands and the brakes: a
// command is delayed, then rate-limited, then passed through a first-order
// lag. Between two events (a command reaching the actuator, the rate-limited
// signal reaching its command) the motion has a closed form, evaluated at
// any time, so the brakes move smoothly inside an integration step.
//
// With r(t) the rate-limited signal and y(t) the deployment:
//   r moves toward the command c at `rate_limit` (per second) and then holds;
//   y' = (r - y) / lag; with r = r0 + s t on a piece,
//   y(t) = r(t) - s lag + (y0 - r0 + s lag) exp(-t / lag),
// and y = r when lag is 0. Commands and the initial level lie in [0, 1], and
// so does every deployment.
#pragma once

#include <cmath>
#include <limits>

#include "portable_math.hpp"

namespace aeso {

struct ActuatorSettings {
    double rate_limit = std::numeric_limits<double>::infinity();  // per second, > 0
    double lag = 0.0;                                             // s, >= 0
    double delay = 0.0;                                           // s, >= 0
    double initial = 0.0;                                         // deployment at the start
};

class ActuatorMotion {
public:
    ActuatorMotion(const ActuatorSettings& settings, double start_time) noexcept
        : rate_(settings.rate_limit),
          lag_(settings.lag),
          t0_(start_time),
          r0_(settings.initial),
          y0_(settings.initial),
          command_(settings.initial),
          slope_(0.0),
          reach_(start_time),
          y_reach_(settings.initial) {}

    // The deployment at time t, at or after the last command's arrival.
    double at(double t) const noexcept {
        if (t <= reach_) return ramp(t - t0_);
        if (lag_ == 0.0) return command_;
        return command_ + (y_reach_ - command_) * portable::exp(-(t - reach_) / lag_);
    }

    // The command `c` reaches the actuator at time t.
    void command(double t, double c) noexcept {
        const double y = at(t);
        const double r = t <= reach_ ? r0_ + slope_ * (t - t0_) : command_;
        t0_ = t;
        y0_ = y;
        command_ = c;
        if (std::isinf(rate_) || r == c) {
            // The rate-limited signal is at the command at once.
            r0_ = c;
            slope_ = 0.0;
            reach_ = t;
            y_reach_ = y;
            return;
        }
        r0_ = r;
        slope_ = c > r ? rate_ : -rate_;
        reach_ = t + std::fabs(c - r) / rate_;
        y_reach_ = ramp(reach_ - t0_);
    }

    // The time the rate-limited signal reaches the command (the motion's
    // kink), if later than `t`, else +inf.
    double kink_after(double t) const noexcept {
        return reach_ > t ? reach_ : std::numeric_limits<double>::infinity();
    }

    double commanded() const noexcept { return command_; }

private:
    // The deployment `dt` after the last event while the signal ramps.
    double ramp(double dt) const noexcept {
        const double r = r0_ + slope_ * dt;
        if (lag_ == 0.0) return r;
        const double s_lag = slope_ * lag_;
        return (r - s_lag) + ((y0_ - r0_) + s_lag) * portable::exp(-dt / lag_);
    }

    double rate_;
    double lag_;
    double t0_;       // time of the last command's arrival
    double r0_;       // the rate-limited signal then
    double y0_;       // the deployment then
    double command_;  // the command being followed
    double slope_;    // of the rate-limited signal until `reach_`
    double reach_;    // when the signal reaches the command
    double y_reach_;  // the deployment then
};

}  // namespace aeso
