// Flights in the real air over the one run loop: a prediction or a flight
// log, with the brakes' schedule knots as step boundaries and every accepted
// state checked against the atmosphere's layers.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "flight_log.hpp"
#include "flight_outcome.hpp"
#include "real_air.hpp"
#include "stop_check.hpp"

namespace aeso {

// Everything a real-air flight shares with others: the air, the method and
// its step options, the iteration limit, and what stops it.
struct RealRun {
    const AirModel* model;
    SolverConfig solver;
    std::uint64_t max_iterations;
    StopCheck stop{};
};

// The observer of a real-air run: stops it at an accepted state outside the
// layers or not finite, or when its stop flag is set, and makes the
// schedule's knots step boundaries.
class RealAirObserver {
public:
    RealAirObserver(const RealRun& run, const FlightTrim& trim, double start_time) noexcept;

    template <class S>
    bool stop_requested(std::uint64_t iteration, const S& s) noexcept {
        return !admits(s) || stop_.requested(iteration);
    }
    double next_boundary(double) const noexcept {
        return knots_ != nullptr && next_ < knots_->size() ? (*knots_)[next_] : INFINITY_TIME;
    }
    template <class S>
    void at_boundary(S&) noexcept {
        ++next_;
    }

    // Why the run stopped: NotFinite, LeftAtmosphere, or Stopped when asked.
    FlightStatus stop_status() const noexcept { return failure_; }
    template <class S>
    FlightStatus final_status(const S& s) noexcept {
        return admits(s) ? FlightStatus::Ok : failure_;
    }
    void failure(FlightOutcome& out) const noexcept {
        out.failed_at = failed_at_;
        out.failed_velocity = failed_velocity_;
    }

private:
    // Whether the state lies within the layers with a finite altitude and
    // vertical velocity; records the failure otherwise.
    template <class S>
    bool admits(const S& s) noexcept {
        const double h = s.altitude();
        const double v = s.vertical_velocity();
        if (!std::isfinite(h) || !std::isfinite(v)) return fail(FlightStatus::NotFinite, h, v);
        if (h < lowest_ || h > highest_) return fail(FlightStatus::LeftAtmosphere, h, v);
        return true;
    }
    bool fail(FlightStatus status, double h, double v) noexcept {
        failure_ = status;
        failed_at_ = h;
        failed_velocity_ = v;
        return false;
    }

    static constexpr double INFINITY_TIME = std::numeric_limits<double>::infinity();
    double lowest_;
    double highest_;
    const std::vector<double>* knots_;
    std::size_t next_ = 0;
    StopCheck stop_;
    FlightStatus failure_ = FlightStatus::Stopped;
    double failed_at_ = QUIET_NAN;
    double failed_velocity_ = QUIET_NAN;
};

// Flies one real-air flight to its apogee; with `log`, logs the state before
// every step (no final row) as aeso's flight logs do.
FlightOutcome fly_real(const RocketProperties& rocket, const Initial1DOF& initial, const RealRun& run,
                       const FlightTrim& trim, FlightLog* log = nullptr);
FlightOutcome fly_real(const RocketProperties& rocket, const Initial3DOF& initial, const RealRun& run,
                       const FlightTrim& trim, FlightLog* log = nullptr);

}  // namespace aeso
