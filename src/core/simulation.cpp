#include "simulation.hpp"

#include <utility>

namespace aeso {

namespace {

// Validates the options, builds the run, and runs it into a new flight log.
template <class Initial>
Result<FlightLog> run_into_log(const RocketProperties& rocket, const Initial& initial,
                             const RunSettings& settings, bool record_every_step) {
    Result<SolverConfig> solver = validate_solver_config(settings.method, settings.time_step);
    if (!solver) return std::move(solver).error();

    using S = decltype(make_state(rocket, initial));
    Simulation<S> sim{solver.value(), make_state(rocket, initial), 0, settings.max_iterations};

    Result<FlightLog> flight_log = FlightLog::create();
    if (!flight_log) return flight_log;
    if (Result<RunEnd> ran = sim.run(flight_log.value(), settings.print_output, record_every_step); !ran) {
        return std::move(ran).error();
    }
    return flight_log;
}

// The altitude column of the final state: height for 1-DOF, y for 3-DOF.
template <class Initial>
Result<double> predict(const RocketProperties& rocket, const Initial& initial,
                       const RunSettings& settings, std::size_t altitude_column) {
    Result<FlightLog> flight_log = run_into_log(rocket, initial, settings, false);
    if (!flight_log) return std::move(flight_log).error();
    Result<LogRow> last = flight_log.value().last_row();
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

Result<FlightLog> simulate_flight_1dof(const RocketProperties& rocket, const Initial1DOF& initial,
                                     const RunSettings& settings) {
    return run_into_log(rocket, initial, settings, true);
}

Result<FlightLog> simulate_flight_3dof(const RocketProperties& rocket, const Initial3DOF& initial,
                                     const RunSettings& settings) {
    return run_into_log(rocket, initial, settings, true);
}

}  // namespace aeso
