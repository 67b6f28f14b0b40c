#include "real_air_run.hpp"

namespace aeso {

RealAirObserver::RealAirObserver(const RealRun& run, const FlightTrim& trim, double start_time) noexcept
    : lowest_(run.model->atmosphere->lowest_height()),
      highest_(run.model->atmosphere->highest_height()),
      knots_(trim.knots()),
      stop_(run.stop) {
    if (knots_ != nullptr) {
        while (next_ < knots_->size() && !((*knots_)[next_] > start_time)) ++next_;
    }
}

namespace {

template <class Initial>
FlightOutcome fly(const RocketProperties& rocket, const Initial& initial, const RealRun& run, const FlightTrim& trim,
                  FlightLog* log) {
    if (refuses_steps(run.solver, run.max_iterations)) return refused_steps();
    using S = decltype(make_state(rocket, initial, RealAero{}));
    Simulation<S> sim{run.solver, make_state(rocket, initial, RealAero{run.model, &trim}), 0, run.max_iterations};
    RealAirObserver observer(run, trim, sim.state.time);
    const Result<RunEnd> end = log != nullptr ? sim.run_recorded(*log, observer) : sim.run_observed(observer);
    return end_of_run(sim, end, observer);
}

}  // namespace

FlightOutcome fly_real(const RocketProperties& rocket, const Initial1DOF& initial, const RealRun& run,
                       const FlightTrim& trim, FlightLog* log) {
    return fly(rocket, initial, run, trim, log);
}

FlightOutcome fly_real(const RocketProperties& rocket, const Initial3DOF& initial, const RealRun& run,
                       const FlightTrim& trim, FlightLog* log) {
    return fly(rocket, initial, run, trim, log);
}

}  // namespace aeso
