#include "no_output_loop.hpp"

#include <utility>

namespace aeso::bench {

namespace {

// Simulation<S>::run and run_with with every line about printing removed;
// the rest, the record flag as a template parameter included, is the same.
template <class S>
struct SilentSimulation {
    SolverConfig solver;
    S state;
    std::uint64_t iteration = 0;
    std::uint64_t max_iterations = 0;

    Status run(FlightLog& log, bool record_every_step) {
        return with_method(solver.method, [&](auto m) {
            using M = decltype(m);
            return record_every_step ? run_with<M, true>(log) : run_with<M, false>(log);
        });
    }

    template <class Method, bool Record>
    Status run_with(FlightLog& log) {
        if (max_iterations == 0) return Ok{};
        for (std::uint64_t i = 0;; ++i) {
            const S saved = state;
            const double v_before = saved.vertical_velocity();
            const double dt_taken = solver.dt();
            iteration = i;
            if constexpr (Record) {
                if (Status pushed = log.push(state.time, log_row(state)); !pushed) return pushed;
            }
            if (Status stepped = Method::step(solver, state); !stepped) return stepped;
            const double v_after = state.vertical_velocity();
            if (v_after < APOGEE_VELOCITY_THRESHOLD) {
                solver.adaptive.dt = (v_before / (v_before - v_after)) * dt_taken;
                S final_state = saved;
                final_state.cached_derivatives = state.cached_derivatives;
                final_state.derivatives_valid = true;
                if (Status stepped = Method::step(solver, final_state); !stepped) return stepped;
                state = final_state;
                if constexpr (!Record) {
                    if (Status pushed = log.push(state.time, log_row(state)); !pushed) return pushed;
                }
                return Ok{};
            }
            if (i + 1 == max_iterations) return Ok{};
        }
    }
};

template <class Initial>
Result<double> predict(const RocketProperties& rocket, const Initial& initial, const RunSettings& settings,
                       std::size_t altitude_column) {
    Result<SolverConfig> solver = validate_solver_config(settings.method, settings.time_step);
    if (!solver) return std::move(solver).error();
    using S = decltype(make_state(rocket, initial));
    SilentSimulation<S> sim{solver.value(), make_state(rocket, initial), 0, settings.max_iterations};
    Result<FlightLog> log = FlightLog::create();
    if (!log) return std::move(log).error();
    if (Status ran = sim.run(log.value(), false); !ran) return std::move(ran).error();
    Result<LogRow> last = log.value().last_row();
    if (!last) return std::move(last).error();
    return last.value()[altitude_column];
}

}  // namespace

Result<double> predict_apogee_1dof_no_output(const RocketProperties& rocket, const Initial1DOF& initial,
                                             const RunSettings& settings) {
    return predict(rocket, initial, settings, 0);
}

Result<double> predict_apogee_3dof_no_output(const RocketProperties& rocket, const Initial3DOF& initial,
                                             const RunSettings& settings) {
    return predict(rocket, initial, settings, 1);
}

}  // namespace aeso::bench
