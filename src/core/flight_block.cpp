#include "flight_block.hpp"

#include <cmath>
#include <variant>

namespace aeso {

namespace {

// Stops a run when the flag is set, looking at it once every
// STOP_CHECK_INTERVAL iterations (a relaxed load: the flag carries no data).
struct StopFlagObserver {
    const std::atomic<bool>& flag;

    template <class S>
    bool stop_requested(std::uint64_t iteration, const S&) const noexcept {
        return (iteration & (STOP_CHECK_INTERVAL - 1)) == 0 && flag.load(std::memory_order_relaxed);
    }
};

double altitude(const State1DOF& s) noexcept { return s.height; }
double altitude(const State3DOF& s) noexcept { return s.y; }

void write_position(const State1DOF&, const FlightBlockOutcomes&, std::size_t) noexcept {}
void write_position(const State3DOF& s, const FlightBlockOutcomes& out, std::size_t k) noexcept {
    out.x[k] = s.x;
    out.horizontal_speed[k] = std::fabs(s.vx);
}

// Runs one flight into element k of the outcomes and returns its status.
template <class Initial>
FlightStatus fly(const RocketProperties& rocket, const Initial& initial, const SolverConfig& solver,
                 std::uint64_t max_iterations, const StopFlagObserver& observer,
                 const FlightBlockOutcomes& out, std::size_t k) noexcept {
    out.apogee[k] = out.time[k] = out.x[k] = out.horizontal_speed[k] = QUIET_NAN;
    out.steps[k] = 0;
    // The controller refuses such bounds on the first step, before the state
    // moves: no run is needed to know, and its error text is not built.
    const auto* adaptive = std::get_if<AdaptiveTimeStep>(&solver.step);
    if (adaptive != nullptr && !step_bounds_valid(*adaptive) && max_iterations != 0) {
        return FlightStatus::InvalidStepOptions;
    }
    using S = decltype(make_state(rocket, initial));
    Simulation<S> sim{solver, make_state(rocket, initial), 0, max_iterations};
    const Result<RunEnd> end = sim.run_observed(observer);
    // A run without log or output fails only in the step controller.
    if (!end) return FlightStatus::InvalidStepOptions;
    out.steps[k] = sim.steps_taken(end.value());
    switch (end.value()) {
        case RunEnd::IterationLimit: return FlightStatus::IterationLimit;
        case RunEnd::Stopped: return FlightStatus::Stopped;
        case RunEnd::Apogee: break;
    }
    const double apogee = altitude(sim.state);
    out.apogee[k] = apogee;
    out.time[k] = sim.state.time;
    write_position(sim.state, out, k);
    return std::isfinite(apogee) ? FlightStatus::Ok : FlightStatus::NonFiniteApogee;
}

}  // namespace

RocketProperties rocket_from(const double* r) noexcept {
    return {r[0], r[1], r[2], r[3], r[4], r[5], r[6]};
}

SolverConfig solver_from(const FlightBlockLayout& layout, const double* s, const SolverConfig& defaults) noexcept {
    switch (layout.step) {
        case StepColumns::Fixed:
            return {layout.method, FixedTimeStep{s[0]}};
        case StepColumns::Adaptive:
            return {layout.method, AdaptiveTimeStep{s[0], s[1], s[2], s[3], s[4]}};
        case StepColumns::Default:
            break;
    }
    return defaults;
}

Initial3DOF velocity_along_axis(double x, double y, double angle, double speed,
                                double angular_rate) noexcept {
    return {x, y, angle, -speed * std::sin(angle), speed * std::cos(angle), angular_rate};
}

std::size_t run_flight_block(const FlightBlockLayout& layout, const double* inputs, std::size_t rows,
                             const FlightBlockOutcomes& out, const std::atomic<bool>& stop) noexcept {
    // Any pairing of a method with no options is valid.
    const SolverConfig defaults = validate_solver_config(layout.method, std::nullopt).value();
    const StopFlagObserver observer{stop};
    const std::size_t columns = layout.columns();
    const std::size_t step_at = ROCKET_COLUMNS + layout.state_columns();
    std::size_t finished = 0;
    for (std::size_t k = 0; k < rows; ++k) {
        const double* row = inputs + k * columns;
        const double* st = row + ROCKET_COLUMNS;
        const RocketProperties rocket = rocket_from(row);
        const SolverConfig solver = solver_from(layout, row + step_at, defaults);
        const FlightStatus status = with_row_initial(layout, st, [&](const auto& initial) {
            return fly(rocket, initial, solver, layout.max_iterations, observer, out, k);
        });
        out.status[k] = static_cast<std::uint8_t>(status);
        if (status == FlightStatus::Stopped) {
            for (std::size_t rest = k + 1; rest < rows; ++rest) {
                out.apogee[rest] = out.time[rest] = out.x[rest] = out.horizontal_speed[rest] = QUIET_NAN;
                out.steps[rest] = 0;
                out.status[rest] = static_cast<std::uint8_t>(FlightStatus::Stopped);
            }
            break;
        }
        ++finished;
    }
    return finished;
}

}  // namespace aeso
