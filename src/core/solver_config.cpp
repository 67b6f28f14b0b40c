#include "solver_config.hpp"

#include "constants.hpp"

namespace aeso {

Result<SolverConfig> validate_solver_config(OdeMethod method,
                                            const std::optional<TimeStepOptions>& options) {
    if (method == OdeMethod::Euler || method == OdeMethod::RK3) {
        double dt = DEFAULT_FIXED_DT;
        if (options) {
            const auto* fixed = std::get_if<FixedOptions>(&*options);
            if (fixed == nullptr) {
                return Error::type_error(method == OdeMethod::Euler ? "Euler requires FixedTimeStep"
                                                                    : "RK3 requires FixedTimeStep");
            }
            dt = fixed->dt;
        }
        return SolverConfig{method, AdaptiveOptions{dt, 0.0, 0.0, 0.0, 0.0}};
    }
    AdaptiveOptions adaptive = DEFAULT_ADAPTIVE_OPTIONS;
    if (options) {
        const auto* given = std::get_if<AdaptiveOptions>(&*options);
        if (given == nullptr) return Error::type_error("RK45 requires AdaptiveTimeStep");
        adaptive = *given;
    }
    return SolverConfig{OdeMethod::RK45, adaptive};
}

}  // namespace aeso
