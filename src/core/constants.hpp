// Physical and numerical constants shared by the flight models and the run.
#pragma once

#include <cstddef>

namespace aeso {

// Half the sea-level air density (1.225 kg/m^3): dynamic pressure is HALF_RHO * v^2.
inline constexpr double HALF_RHO = 0.6125;
// Standard gravity (m/s^2), constant at every altitude.
inline constexpr double GRAVITY = 9.80665;
// pi/2, the turn from the velocity to the lift direction.
inline constexpr double HALF_PI = 1.5707963267948966;

// A run stops after the first step whose vertical velocity is below this (m/s).
inline constexpr double APOGEE_VELOCITY_THRESHOLD = 0.5;
// Entries reserved by a new flight log, per list.
inline constexpr std::size_t LOG_INITIAL_CAPACITY = 1000;
// Step size of Euler and RK3 runs given no step options (s).
inline constexpr double DEFAULT_FIXED_DT = 0.01;
// Iteration limit of a run given none.
inline constexpr unsigned long long DEFAULT_MAX_ITERATIONS = 100000;

}  // namespace aeso
