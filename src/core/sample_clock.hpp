// The instants of something that samples periodically (a sensor, a
// controller's ticks): sample k at start + k / rate.
//
// Each instant is computed from its index, never by adding intervals, so no
// rounding accumulates; and since k / rate is correctly rounded, two clocks
// with the same start whose instants coincide as real numbers (a 50 Hz
// sample and every other 100 Hz sample) give the same double, so they fall
// on one step boundary.
#pragma once

#include <cstdint>

namespace aeso {

struct SampleClock {
    double start = 0.0;  // s, the instant of sample 0
    double rate = 1.0;   // samples per second, > 0
    std::uint64_t next = 0;  // index of the next sample

    double time_of(std::uint64_t k) const noexcept { return start + static_cast<double>(k) / rate; }
    double next_time() const noexcept { return time_of(next); }
};

}  // namespace aeso
