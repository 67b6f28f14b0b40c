// A block of flights run one after another from a table of inputs, each to
// its apogee, with per-flight outcomes written into caller-owned arrays.
// No text is built and nothing is written anywhere else: a failed flight is
// a status code.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "flight_outcome.hpp"
#include "stop_check.hpp"

namespace aeso {

enum class FlightModel : std::uint8_t { OneDof = 1, ThreeDof = 3 };

// Which time-step options a row carries: none (the method's defaults), a
// fixed dt, or the five adaptive values.
enum class StepColumns : std::uint8_t { Default = 0, Fixed = 1, Adaptive = 2 };

inline constexpr std::size_t ROCKET_COLUMNS = 7;

// How the columns of a row are laid out and what every flight shares. A row
// holds the seven rocket properties, then the initial state, then the step
// options: the state is (height, velocity) for 1-DOF; for 3-DOF
// (x, y, angle, vx, vy, angular_rate), or with `speed_and_angle`
// (x, y, angle, speed, angular_rate), the velocity of that speed along the
// body axis.
struct FlightBlockLayout {
    FlightModel model;
    bool speed_and_angle;
    OdeMethod method;
    StepColumns step;
    std::uint64_t max_iterations;

    std::size_t state_columns() const noexcept {
        if (model == FlightModel::OneDof) return 2;
        return speed_and_angle ? 5 : 6;
    }
    std::size_t step_columns() const noexcept {
        return step == StepColumns::Default ? 0 : (step == StepColumns::Fixed ? 1 : 5);
    }
    std::size_t columns() const noexcept { return ROCKET_COLUMNS + state_columns() + step_columns(); }
    // The method runs on this kind of step options (the defaults fit any).
    bool step_matches_method() const noexcept {
        if (step == StepColumns::Default) return true;
        return (step == StepColumns::Adaptive) == (method == OdeMethod::RK45);
    }
};

// The velocity of `speed` along the body axis at `angle`: the nose points
// towards -x for a positive angle.
Initial3DOF velocity_along_axis(double x, double y, double angle, double speed,
                                double angular_rate) noexcept;

// The parts of a row: the rocket's properties, and the method paired with
// the row's step options or with the defaults.
RocketProperties rocket_from(const double* row) noexcept;
SolverConfig solver_from(const FlightBlockLayout& layout, const double* step, const SolverConfig& defaults) noexcept;

// Calls f with the initial state of a row's state columns `st`.
template <class F>
decltype(auto) with_row_initial(const FlightBlockLayout& layout, const double* st, F&& f) {
    if (layout.model == FlightModel::OneDof) return f(Initial1DOF{st[0], st[1]});
    if (layout.speed_and_angle) return f(velocity_along_axis(st[0], st[1], st[2], st[3], st[4]));
    return f(Initial3DOF{st[0], st[1], st[2], st[3], st[4], st[5]});
}

// Where the outcomes of row k go: element k of each array. `x` and
// `horizontal_speed` (|vx|) are NaN for 1-DOF flights; every value but
// `steps` and `status` is NaN for a flight that did not reach its apogee.
// `apogee` is the altitude of the final state, the value a prediction
// returns, also when it is not finite.
struct FlightBlockOutcomes {
    double* apogee;
    double* time;
    double* x;
    double* horizontal_speed;
    std::uint64_t* steps;
    std::uint8_t* status;
};

// The names of the floating-point outcomes above, in their order: the rows
// of a block's outcome array in the Python module. A new outcome adds a
// pointer above and its name here.
inline constexpr std::array<const char*, 4> OUTCOME_NAMES{"apogee", "time_of_apogee", "downrange",
                                                          "speed_at_apogee"};

// Runs the `rows` flights of `inputs` (row-major, layout.columns() values per
// row; layout.step_matches_method() must hold). Once `stop` is set, the
// running flight ends within STOP_CHECK_INTERVAL iterations and it and the
// rest are marked Stopped. Returns the number of flights run to their end.
std::size_t run_flight_block(const FlightBlockLayout& layout, const double* inputs, std::size_t rows,
                             const FlightBlockOutcomes& out, const std::atomic<bool>& stop) noexcept;

// Writes a flight's outcome into element k of the outcome arrays.
void write_outcome(const FlightOutcome& flown, const FlightBlockOutcomes& out, std::size_t k) noexcept;
// Marks rows k.. as Stopped, their values NaN (the block stops at row k).
void mark_stopped(const FlightBlockOutcomes& out, std::size_t k, std::size_t rows) noexcept;

}  // namespace aeso
