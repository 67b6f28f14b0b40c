// Integration method, time-step options, and the validated pairing of the two.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "result.hpp"

namespace aeso {

enum class OdeMethod : std::uint8_t { Euler = 0, RK3 = 1, RK45 = 2 };

// The constant step of Euler and RK3 runs.
struct FixedTimeStep {
    double dt;
};

// The first step of an RK45 run and the controller's parameters, in this
// order everywhere.
struct AdaptiveTimeStep {
    double dt;
    double dt_min;
    double dt_max;
    double absolute_error_tolerance;
    double relative_error_tolerance;
};

inline constexpr AdaptiveTimeStep DEFAULT_ADAPTIVE_TIME_STEP{0.01, 1e-6, 0.1, 0.01, 0.01};

// Time-step options as a caller gives them: one of the two kinds.
using TimeStepConfig = std::variant<FixedTimeStep, AdaptiveTimeStep>;

// How each step of a run is taken: the method and the time-step options of
// its kind (FixedTimeStep for Euler and RK3, AdaptiveTimeStep for RK45), as
// paired by validate_solver_config. Nothing changes it during a run.
struct SolverConfig {
    OdeMethod method;
    TimeStepConfig step;

    // The size of the first step.
    double first_dt() const noexcept {
        return std::visit([](const auto& options) { return options.dt; }, step);
    }
};

// Pairs the method with its options, filling in defaults: Euler and RK3 need
// fixed options (default dt 0.01), RK45 adaptive ones. A mismatch is a
// TypeError naming the option class the method requires.
Result<SolverConfig> validate_solver_config(OdeMethod method, const std::optional<TimeStepConfig>& step);

}  // namespace aeso
