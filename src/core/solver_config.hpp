// Integration method, step options, and the validated pairing of the two.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "result.hpp"

namespace aeso {

enum class OdeMethod : std::uint8_t { Euler = 0, RK3 = 1, RK45 = 2 };

struct FixedOptions {
    double dt;
};

// Parameters of the adaptive step-size controller, in this order everywhere.
struct AdaptiveOptions {
    double dt;
    double dt_min;
    double dt_max;
    double absolute_error_tolerance;
    double relative_error_tolerance;
};

inline constexpr AdaptiveOptions DEFAULT_ADAPTIVE_OPTIONS{0.01, 1e-6, 0.1, 0.01, 0.01};

// Step options as given by a caller; std::nullopt where none were given.
using TimeStepOptions = std::variant<FixedOptions, AdaptiveOptions>;

// How each step of a run is taken. For RK45 `adaptive.dt` is the size of the
// next step and changes as the run goes; Euler and RK3 use `adaptive.dt` as
// their constant step and never read the other four values (left zero).
struct SolverConfig {
    OdeMethod method;
    AdaptiveOptions adaptive;

    double dt() const noexcept { return adaptive.dt; }
};

// Pairs the method with its options, filling in defaults: Euler and RK3 need
// fixed options (default dt 0.01), RK45 adaptive ones. A mismatch is a
// TypeError naming the option class the method requires.
Result<SolverConfig> validate_solver_config(OdeMethod method,
                                            const std::optional<TimeStepOptions>& options);

}  // namespace aeso
