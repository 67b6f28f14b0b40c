#include "flight_block.hpp"

#include <cmath>
#include <variant>

namespace aeso {

namespace {

// The observer of a flight in aeso's air: it stops when the block is asked
// to, and its apogee is one when finite.
struct BlockObserver {
    StopCheck stop;

    template <class S>
    bool stop_requested(std::uint64_t iteration, const S&) const noexcept {
        return stop.requested(iteration);
    }
    static FlightStatus stop_status() noexcept { return FlightStatus::Stopped; }
    template <class S>
    static FlightStatus final_status(const S& s) noexcept {
        return std::isfinite(s.altitude()) ? FlightStatus::Ok : FlightStatus::NonFiniteApogee;
    }
    static void failure(FlightOutcome&) noexcept {}
};

template <class Initial>
FlightOutcome fly(const RocketProperties& rocket, const Initial& initial, const SolverConfig& solver,
                  std::uint64_t max_iterations, BlockObserver& observer) noexcept {
    if (refuses_steps(solver, max_iterations)) return refused_steps();
    using S = decltype(make_state(rocket, initial));
    Simulation<S> sim{solver, make_state(rocket, initial), 0, max_iterations};
    const Result<RunEnd> end = sim.run_observed(observer);
    return end_of_run(sim, end, observer);
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

void write_outcome(const FlightOutcome& flown, const FlightBlockOutcomes& out, std::size_t k) noexcept {
    out.apogee[k] = flown.apogee;
    out.time[k] = flown.time;
    out.x[k] = flown.x;
    out.horizontal_speed[k] = flown.horizontal_speed;
    out.steps[k] = flown.steps;
    out.status[k] = static_cast<std::uint8_t>(flown.status);
}

void mark_stopped(const FlightBlockOutcomes& out, std::size_t k, std::size_t rows) noexcept {
    FlightOutcome stopped;
    stopped.status = FlightStatus::Stopped;
    for (; k < rows; ++k) write_outcome(stopped, out, k);
}

std::size_t run_flight_block(const FlightBlockLayout& layout, const double* inputs, std::size_t rows,
                             const FlightBlockOutcomes& out, const std::atomic<bool>& stop) noexcept {
    // Any pairing of a method with no options is valid.
    const SolverConfig defaults = validate_solver_config(layout.method, std::nullopt).value();
    BlockObserver observer{StopCheck{&stop}};
    const std::size_t columns = layout.columns();
    const std::size_t step_at = ROCKET_COLUMNS + layout.state_columns();
    for (std::size_t k = 0; k < rows; ++k) {
        const double* row = inputs + k * columns;
        const RocketProperties rocket = rocket_from(row);
        const SolverConfig solver = solver_from(layout, row + step_at, defaults);
        const FlightOutcome flown = with_row_initial(layout, row + ROCKET_COLUMNS, [&](const auto& initial) {
            return fly(rocket, initial, solver, layout.max_iterations, observer);
        });
        if (flown.status == FlightStatus::Stopped) {
            mark_stopped(out, k, rows);
            return k;
        }
        write_outcome(flown, out, k);
    }
    return rows;
}

}  // namespace aeso
