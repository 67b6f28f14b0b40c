#include "simulation.hpp"

#include <utility>

namespace aeso {

namespace {

// Validates the options, builds the run, and runs it into a new log.
template <class Initial>
Result<SimData> run_into_log(const RocketProperties& rocket, const Initial& initial,
                             const RunSettings& settings, bool record_every_step) {
    Result<SolverConfig> solver = validate_solver_config(settings.method, settings.timestep);
    if (!solver) return std::move(solver).error();

    using S = decltype(make_state(rocket, initial));
    Simulation<S> sim{solver.value(), make_state(rocket, initial), 0, settings.max_iterations};

    Result<SimData> log = SimData::create();
    if (!log) return log;
    if (Status ran = sim.run(log.value(), settings.print_output, record_every_step); !ran) {
        return std::move(ran).error();
    }
    return log;
}

// The altitude column of the final state: height for 1-DOF, y for 3-DOF.
template <class Initial>
Result<double> predict(const RocketProperties& rocket, const Initial& initial,
                       const RunSettings& settings, std::size_t altitude_column) {
    Result<SimData> log = run_into_log(rocket, initial, settings, false);
    if (!log) return std::move(log).error();
    Result<LogRow> last = log.value().last_row();
    if (!last) return std::move(last).error();
    return last.value()[altitude_column];
}

}  // namespace

Result<double> predict_apogee_1dof(const RocketProperties& rocket, const Initial1DOF& initial,
                                   const RunSettings& settings) {
    return predict(rocket, initial, settings, 0);
}

Result<double> predict_apogee_3dof(const RocketProperties& rocket, const Initial3DOF& initial,
                                   const RunSettings& settings) {
    return predict(rocket, initial, settings, 1);
}

Result<SimData> simulate_flight_1dof(const RocketProperties& rocket, const Initial1DOF& initial,
                                     const RunSettings& settings) {
    return run_into_log(rocket, initial, settings, true);
}

Result<SimData> simulate_flight_3dof(const RocketProperties& rocket, const Initial3DOF& initial,
                                     const RunSettings& settings) {
    return run_into_log(rocket, initial, settings, true);
}

}  // namespace aeso
