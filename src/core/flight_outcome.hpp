// How one flight ended, and the one path from the end of a run to it that
// every runner takes (a prediction, a flight log, a controlled flight, the
// flights of a study's block).
#pragma once

#include <cmath>
#include <cstdint>
#include <variant>

#include "flight_status.hpp"
#include "simulation.hpp"
#include "step_control.hpp"

namespace aeso {

// Apogee, time, x and |vx| (3-DOF; NaN in 1-DOF) are those of the final
// state when the run reached it (whatever its status: a non-finite apogee
// is the value a prediction returns), NaN otherwise. `failed_at` and
// `failed_velocity` are the height and vertical velocity of the state that
// left the layers or stopped being finite (NaN otherwise).
struct FlightOutcome {
    FlightStatus status = FlightStatus::Ok;
    double apogee = QUIET_NAN;
    double time = QUIET_NAN;
    double x = QUIET_NAN;
    double horizontal_speed = QUIET_NAN;
    std::uint64_t steps = 0;
    double failed_at = QUIET_NAN;
    double failed_velocity = QUIET_NAN;
};

// The step controller refuses such bounds on the first step, before the
// state moves: no run is needed to know, and its error text is not built.
inline bool refuses_steps(const SolverConfig& solver, std::uint64_t max_iterations) noexcept {
    const auto* adaptive = std::get_if<AdaptiveTimeStep>(&solver.step);
    return adaptive != nullptr && !step_bounds_valid(*adaptive) && max_iterations != 0;
}

inline FlightOutcome refused_steps() noexcept {
    FlightOutcome out;
    out.status = FlightStatus::InvalidStepOptions;
    return out;
}

// The outcome of `sim`'s run, which ended as `end`. The observer of the run
// says why it asked the loop to stop and whether the final state is an
// apogee:
//   FlightStatus stop_status() const;           // after RunEnd::Stopped
//   FlightStatus final_status(const S& state);  // Ok, or why not
//   void failure(FlightOutcome& out) const;     // sets failed_at and failed_velocity
template <class S, class Observer>
FlightOutcome end_of_run(const Simulation<S>& sim, const Result<RunEnd>& end, Observer& observer) {
    FlightOutcome out;
    if (!end) {
        // A run fails only in the step controller or, logging, for memory.
        out.status = end.error().kind == ErrorKind::OutOfMemory ? FlightStatus::OutOfMemory
                                                                : FlightStatus::InvalidStepOptions;
        return out;
    }
    out.steps = sim.steps_taken(end.value());
    switch (end.value()) {
        case RunEnd::IterationLimit:
            out.status = FlightStatus::IterationLimit;
            return out;
        case RunEnd::Stopped:
            out.status = observer.stop_status();
            observer.failure(out);
            return out;
        case RunEnd::Apogee:
            break;
    }
    out.apogee = sim.state.altitude();
    out.time = sim.state.time;
    if constexpr (S::N == 6) {
        out.x = sim.state.x;
        out.horizontal_speed = std::fabs(sim.state.vx);
    }
    // The final step is shorter than the one it redoes, but lands on a state
    // the loop has not checked.
    out.status = observer.final_status(sim.state);
    if (out.status != FlightStatus::Ok) observer.failure(out);
    return out;
}

}  // namespace aeso
