#include "real_air_run.hpp"

#include <variant>

#include "step_control.hpp"

namespace aeso {

RealAirObserver::RealAirObserver(const AirModel& model, const FlightTrim& trim, double start_time,
                                 const std::atomic<bool>* stop) noexcept
    : lowest_(model.atmosphere->lowest_height()),
      highest_(model.atmosphere->highest_height()),
      knots_(trim.schedule != nullptr ? &trim.schedule->x() : nullptr),
      stop_(stop) {
    if (knots_ != nullptr) {
        while (next_ < knots_->size() && !((*knots_)[next_] > start_time)) ++next_;
    }
}

namespace {

void write_position(const RealVertical&, RealOutcome&) noexcept {}
void write_position(const RealPlanar& s, RealOutcome& out) noexcept {
    out.x = s.x;
    out.horizontal_speed = std::fabs(s.vx);
}

template <class Initial>
RealOutcome fly(const RocketProperties& rocket, const Initial& initial, const RealRun& run, const FlightTrim& trim,
                FlightLog* log, const std::atomic<bool>* stop) {
    RealOutcome out;
    const auto* adaptive = std::get_if<AdaptiveTimeStep>(&run.solver.step);
    if (adaptive != nullptr && !step_bounds_valid(*adaptive) && run.max_iterations != 0) {
        out.status = FlightStatus::InvalidStepOptions;
        return out;
    }
    using S = decltype(make_state(rocket, initial, RealAero{}));
    Simulation<S> sim{run.solver, make_state(rocket, initial, RealAero{run.model, &trim}), 0, run.max_iterations};
    RealAirObserver observer(*run.model, trim, sim.state.time, stop);
    const Result<RunEnd> end = log != nullptr ? sim.run_recorded(*log, observer) : sim.run_observed(observer);
    if (!end) {
        // A real-air run fails only in the step controller or, logging, for memory.
        out.out_of_memory = end.error().kind == ErrorKind::OutOfMemory;
        out.status = out.out_of_memory ? FlightStatus::Stopped : FlightStatus::InvalidStepOptions;
        return out;
    }
    out.steps = sim.steps_taken(end.value());
    switch (end.value()) {
        case RunEnd::IterationLimit:
            out.status = FlightStatus::IterationLimit;
            return out;
        case RunEnd::Stopped:
            out.status = observer.failure();
            out.failed_at = observer.failed_at();
            return out;
        case RunEnd::Apogee:
            break;
    }
    // The final step is shorter than the one it redoes, but lands on a state
    // the loop has not checked.
    if (!observer.admits(sim.state)) {
        out.status = observer.failure();
        out.failed_at = observer.failed_at();
        return out;
    }
    out.apogee = sim.state.altitude();
    out.time = sim.state.time;
    write_position(sim.state, out);
    out.status = FlightStatus::Ok;
    return out;
}

}  // namespace

RealOutcome fly_real(const RocketProperties& rocket, const Initial1DOF& initial, const RealRun& run,
                     const FlightTrim& trim, FlightLog* log, const std::atomic<bool>* stop) {
    return fly(rocket, initial, run, trim, log, stop);
}

RealOutcome fly_real(const RocketProperties& rocket, const Initial3DOF& initial, const RealRun& run,
                     const FlightTrim& trim, FlightLog* log, const std::atomic<bool>* stop) {
    return fly(rocket, initial, run, trim, log, stop);
}

}  // namespace aeso
