#include "solver_config.hpp"

#include "constants.hpp"

namespace aeso {

Result<SolverConfig> validate_solver_config(OdeMethod method, const std::optional<TimeStepConfig>& step) {
    if (method == OdeMethod::Euler || method == OdeMethod::RK3) {
        FixedTimeStep fixed{DEFAULT_FIXED_DT};
        if (step) {
            const auto* given = std::get_if<FixedTimeStep>(&*step);
            if (given == nullptr) {
                return Error::type_error(method == OdeMethod::Euler ? "Euler requires FixedTimeStep"
                                                                    : "RK3 requires FixedTimeStep");
            }
            fixed = *given;
        }
        return SolverConfig{method, fixed};
    }
    AdaptiveTimeStep adaptive = DEFAULT_ADAPTIVE_TIME_STEP;
    if (step) {
        const auto* given = std::get_if<AdaptiveTimeStep>(&*step);
        if (given == nullptr) return Error::type_error("RK45 requires AdaptiveTimeStep");
        adaptive = *given;
    }
    return SolverConfig{OdeMethod::RK45, adaptive};
}

}  // namespace aeso
