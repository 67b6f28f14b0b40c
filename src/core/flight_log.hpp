// The flight log of one run: logged times and nine-value rows.
#pragma once

#include <array>
#include <cstddef>

#include "result.hpp"
#include "state.hpp"

namespace aeso {

inline constexpr std::size_t LOG_COLUMNS = 9;
using LogRow = std::array<double, LOG_COLUMNS>;

// Row of a 1-DOF state: height, velocity, acceleration (from the cache,
// whether or not it is current), then six zeros.
template <class Aero>
inline LogRow log_row(const Vertical<Aero>& s) noexcept {
    return {s.height, s.velocity, s.cached_derivatives[1], 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
}

// Row of a 3-DOF state: the six dynamic variables, then the three cached
// accelerations (the cached rates repeat vx, vy and angular_rate).
template <class Aero>
inline LogRow log_row(const Planar<Aero>& s) noexcept {
    return {s.x,
            s.y,
            s.angle,
            s.vx,
            s.vy,
            s.angular_rate,
            s.cached_derivatives[3],
            s.cached_derivatives[4],
            s.cached_derivatives[5]};
}

// Two lists of equal length that own their storage. Each starts with room for
// LOG_INITIAL_CAPACITY entries and doubles (at least to 4) when full. Rows are
// stored as contiguous fixed blocks, so the whole log is two flat arrays.
// Running out of memory is reported, never thrown.
class FlightLog {
public:
    // An empty log with both lists reserved; fails only when memory is short.
    static Result<FlightLog> create();

    FlightLog(FlightLog&& other) noexcept;
    FlightLog& operator=(FlightLog&& other) noexcept;
    FlightLog(const FlightLog&) = delete;
    FlightLog& operator=(const FlightLog&) = delete;
    ~FlightLog();

    // Appends the time, then the row. On failure the log is unchanged.
    Status push(double time, const LogRow& row) {
        if (size_ == times_capacity_ || size_ == rows_capacity_) {
            if (Status grown = grow(); !grown) return grown;
        }
        times_[size_] = time;
        rows_[size_] = row;
        ++size_;
        return Ok{};
    }

    // The last row; "Index out of bounds" when the log is empty.
    Result<LogRow> last_row() const;

    std::size_t size() const noexcept { return size_; }
    std::size_t times_capacity() const noexcept { return times_capacity_; }
    std::size_t rows_capacity() const noexcept { return rows_capacity_; }
    const double* times() const noexcept { return times_; }
    // size() rows of LOG_COLUMNS values each, row after row.
    const LogRow* rows() const noexcept { return rows_; }

private:
    FlightLog() = default;
    Status grow();

    double* times_ = nullptr;
    LogRow* rows_ = nullptr;
    std::size_t size_ = 0;
    std::size_t times_capacity_ = 0;
    std::size_t rows_capacity_ = 0;
};

}  // namespace aeso
