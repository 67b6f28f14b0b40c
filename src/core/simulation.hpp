// One simulation run: the main loop and the four run operations.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <utility>

#include "constants.hpp"
#include "flight_log.hpp"
#include "integrate.hpp"
#include "progress.hpp"
#include "result.hpp"
#include "rocket_properties.hpp"
#include "solver_config.hpp"
#include "state.hpp"

namespace aeso {

// How a run ended when no error stopped it.
enum class RunEnd : unsigned char {
    Apogee,          // the final step was taken: the state is the apogee
    IterationLimit,  // max_iterations steps without reaching it (or none allowed)
    Stopped,         // the observer asked the loop to stop
};

// The observer of a run that never stops it: the loop of every aeso
// operation. The check is a constant, so the loop contains none.
struct NeverStop {
    template <class S>
    static constexpr bool stop_requested(std::uint64_t, const S&) noexcept {
        return false;
    }
};

// An observer may also mark instants of the flight that no step may straddle
// (the knots of a brake schedule, a controller's ticks): it then provides
//   double next_boundary(double now) const;  // the next such time after `now`
//                                            // (the state's time), or +inf
//   void at_boundary(S& state);     // the state has landed on it
// The loop shortens the step that would pass the boundary so that it ends
// there, sets the state's time to the boundary exactly, and calls
// at_boundary, which may change the state's aerodynamics (the derivative
// cache is cleared after it). The step after a shortened one has the size
// the loop had planned before shortening it.
template <class Observer>
concept ObservesBoundaries = requires(const Observer& o) {
    { o.next_boundary(0.0) } -> std::convertible_to<double>;
};

// A step that would end within this fraction of its size past a boundary
// ends on it instead, so that rounding never leaves a sliver of a step.
inline constexpr double BOUNDARY_SLACK = 1e-9;

// A log that keeps nothing, for a run whose caller reads the final state.
struct NoLog {
    static Status push(double, const LogRow&) noexcept { return Ok{}; }
};

template <class S>
struct Simulation {
    SolverConfig solver;
    S state;
    std::uint64_t iteration = 0;       // index of the iteration in progress
    std::uint64_t max_iterations = 0;  // steps allowed before the final step

    // Steps until the vertical velocity drops below APOGEE_VELOCITY_THRESHOLD,
    // then redoes the crossing step from where it began, rescaled by linear
    // interpolation so it ends where the vertical velocity is zero. Logs the
    // state before every step when `record_every_step`, otherwise only the
    // final state. Ends as Apogee after the final step, or as IterationLimit,
    // without one, after max_iterations steps.
    Result<RunEnd> run(FlightLog& flight_log, bool print_output, bool record_every_step);

    // The same loop without log or output, asking `observer` before each
    // iteration i whether to stop (`observer.stop_requested(i, state)`): the
    // run then ends as Stopped with `iteration` at i. The final state stays in
    // `state`. An observer with boundaries (ObservesBoundaries) has the steps
    // land on them.
    template <class Observer>
    Result<RunEnd> run_observed(Observer& observer);

    // The loop of run_observed logging the state before every step.
    template <class Observer>
    Result<RunEnd> run_recorded(FlightLog& flight_log, Observer& observer);

    // Steps taken by a run that ended as `end`: the final step stands in for
    // the crossing step it redoes.
    std::uint64_t steps_taken(RunEnd end) const noexcept {
        switch (end) {
            case RunEnd::Apogee: return iteration + 1;
            case RunEnd::IterationLimit: return max_iterations;
            case RunEnd::Stopped: break;
        }
        return iteration;
    }

private:
    template <class Stepper, bool Print, bool Record, class Log, class Observer>
    Result<RunEnd> run_with(const typename Stepper::TimeStep& time_step, Log& flight_log,
                            Observer& observer);
};

// The method and both flags are fixed for a run, so each combination is a
// loop of its own: a run with printing off contains no output code at all (a
// print call left in the loop, even one never taken, made short steps 10-20%
// slower).
template <class S>
Result<RunEnd> Simulation<S>::run(FlightLog& flight_log, bool print_output, bool record_every_step) {
    NeverStop never;
    return with_stepper(solver, [&](auto stepper, const auto& time_step) {
        using M = decltype(stepper);
        if (print_output) {
            return record_every_step ? run_with<M, true, true>(time_step, flight_log, never)
                                     : run_with<M, true, false>(time_step, flight_log, never);
        }
        return record_every_step ? run_with<M, false, true>(time_step, flight_log, never)
                                 : run_with<M, false, false>(time_step, flight_log, never);
    });
}

template <class S>
template <class Observer>
Result<RunEnd> Simulation<S>::run_observed(Observer& observer) {
    NoLog no_log;
    return with_stepper(solver, [&](auto stepper, const auto& time_step) {
        return run_with<decltype(stepper), false, false>(time_step, no_log, observer);
    });
}

template <class S>
template <class Observer>
Result<RunEnd> Simulation<S>::run_recorded(FlightLog& flight_log, Observer& observer) {
    return with_stepper(solver, [&](auto stepper, const auto& time_step) {
        return run_with<decltype(stepper), false, true>(time_step, flight_log, observer);
    });
}

// The loop owns the step size: `dt` is the size of the step about to be
// taken, replaced after each step by the size the controlled step proposes.
template <class S>
template <class Stepper, bool Print, bool Record, class Log, class Observer>
Result<RunEnd> Simulation<S>::run_with(const typename Stepper::TimeStep& time_step, Log& flight_log,
                                       Observer& observer) {
    if (max_iterations == 0) return RunEnd::IterationLimit;
    constexpr bool Boundaries = ObservesBoundaries<Observer>;
    double dt = time_step.dt;
    for (std::uint64_t i = 0;; ++i) {
        if (observer.stop_requested(i, state)) {
            iteration = i;
            return RunEnd::Stopped;
        }
        const S saved = state;
        const double v_before = saved.vertical_velocity();
        iteration = i;
        if constexpr (Record) {
            Status pushed = flight_log.push(state.time, log_row(state));
            if (!pushed) return std::move(pushed).error();
        }
        if constexpr (Print) {
            Status printed = print_progress(state, i);
            if (!printed) return std::move(printed).error();
        }
        double step_dt = dt;
        [[maybe_unused]] double boundary = 0.0;
        [[maybe_unused]] bool landed = false;
        if constexpr (Boundaries) {
            boundary = observer.next_boundary(state.time);
            const double to_boundary = boundary - state.time;
            if (to_boundary > 0.0 && to_boundary <= dt + dt * BOUNDARY_SLACK) {
                step_dt = to_boundary;
                landed = true;
            }
        }
        double next_dt;
        if (Result<double> next = controlled_step<Stepper>(time_step, state, step_dt); next) {
            next_dt = next.value();
        } else {
            return std::move(next).error();
        }

        const double v_after = state.vertical_velocity();
        if (v_after < APOGEE_VELOCITY_THRESHOLD) {
            // The step just taken, rescaled to end where the vertical
            // velocity is zero. No step follows it, so no next size is needed.
            const double final_dt = (v_before / (v_before - v_after)) * step_dt;
            S final_state = saved;
            // The crossing step began at `saved` and left the derivative there
            // (its k1) in the state's cache: hand it over rather than evaluate
            // it a second time.
            final_state.cached_derivatives = state.cached_derivatives;
            final_state.derivatives_valid = true;
            Stepper::step(final_state, final_dt);
            state = final_state;
            if constexpr (!Record) {
                Status pushed = flight_log.push(state.time, log_row(state));
                if (!pushed) return std::move(pushed).error();
            }
            if constexpr (Print) {
                if (Status printed = print_piece(BANNER_OPEN); !printed) return std::move(printed).error();
                if (Status printed = print_progress(state, i + 1); !printed) return std::move(printed).error();
                if (Status printed = print_piece(BANNER_CLOSE); !printed) return std::move(printed).error();
            }
            return RunEnd::Apogee;
        }
        if (i + 1 == max_iterations) return RunEnd::IterationLimit;
        if constexpr (Boundaries) {
            if (landed) {
                state.time = boundary;
                observer.at_boundary(state);
                state.derivatives_valid = false;
                next_dt = dt;
            }
        }
        dt = next_dt;
    }
}

// Everything a run operation needs besides the rocket and the initial state.
struct RunSettings {
    OdeMethod method;
    std::optional<TimeStepConfig> time_step;
    std::uint64_t max_iterations = DEFAULT_MAX_ITERATIONS;
    bool print_output = false;
};

// Apogee altitude of a run that reached it; "Index out of bounds" when the
// iteration limit came first.
Result<double> predict_apogee_1dof(const RocketProperties& rocket, const Initial1DOF& initial,
                                   const RunSettings& settings);
Result<double> predict_apogee_3dof(const RocketProperties& rocket, const Initial3DOF& initial,
                                   const RunSettings& settings);

// The flight log of every state before a step.
Result<FlightLog> simulate_flight_1dof(const RocketProperties& rocket, const Initial1DOF& initial,
                                     const RunSettings& settings);
Result<FlightLog> simulate_flight_3dof(const RocketProperties& rocket, const Initial3DOF& initial,
                                     const RunSettings& settings);

}  // namespace aeso
