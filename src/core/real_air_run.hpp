// Flights in the real air over the one run loop: a prediction or a flight
// log, with the brakes' schedule knots as step boundaries and every accepted
// state checked against the atmosphere's layers.
#pragma once

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "flight_log.hpp"
#include "flight_status.hpp"
#include "real_air.hpp"
#include "simulation.hpp"

namespace aeso {

// Everything a real-air flight shares with others: the air, the method and
// its step options, the iteration limit.
struct RealRun {
    const AirModel* model;
    SolverConfig solver;
    std::uint64_t max_iterations;
};

// How a real-air flight ended. Apogee, time, x and |vx| (3-DOF) are those of
// the final state when it reached its apogee (status Ok), NaN otherwise;
// `failed_at` is the height of the state that left the layers or stopped
// being finite (NaN otherwise).
struct RealOutcome {
    FlightStatus status = FlightStatus::Ok;
    double apogee = QUIET_NAN;
    double time = QUIET_NAN;
    double x = QUIET_NAN;
    double horizontal_speed = QUIET_NAN;
    std::uint64_t steps = 0;
    double failed_at = QUIET_NAN;
    bool out_of_memory = false;  // the log could not grow (status Stopped)
};

// The observer of a real-air run: stops it at an accepted state outside the
// layers or not finite (or when `stop` is set, looked at every
// STOP_CHECK_INTERVAL iterations), and makes the schedule's knots step
// boundaries.
class RealAirObserver {
public:
    RealAirObserver(const AirModel& model, const FlightTrim& trim, double start_time,
                    const std::atomic<bool>* stop = nullptr) noexcept;

    template <class S>
    bool stop_requested(std::uint64_t iteration, const S& s) noexcept {
        return !admits(s) || (stop_ != nullptr && (iteration & (STOP_CHECK_INTERVAL_REAL - 1)) == 0 &&
                              stop_->load(std::memory_order_relaxed));
    }
    double next_boundary() const noexcept {
        return knots_ != nullptr && next_ < knots_->size() ? (*knots_)[next_] : INFINITY_TIME;
    }
    template <class S>
    void at_boundary(S&) noexcept {
        ++next_;
    }

    // Whether the state lies within the layers with a finite altitude and
    // vertical velocity; records the failure otherwise.
    template <class S>
    bool admits(const S& s) noexcept {
        const double h = s.altitude();
        const double v = s.vertical_velocity();
        if (!std::isfinite(h) || !std::isfinite(v)) {
            failure_ = FlightStatus::NotFinite;
            failed_at_ = h;
            return false;
        }
        if (h < lowest_ || h > highest_) {
            failure_ = FlightStatus::LeftAtmosphere;
            failed_at_ = h;
            return false;
        }
        return true;
    }

    // Why the run stopped: NotFinite, LeftAtmosphere, or Stopped when asked.
    FlightStatus failure() const noexcept { return failure_; }
    double failed_at() const noexcept { return failed_at_; }

    static constexpr std::uint64_t STOP_CHECK_INTERVAL_REAL = 4096;

private:
    static constexpr double INFINITY_TIME = std::numeric_limits<double>::infinity();
    double lowest_;
    double highest_;
    const std::vector<double>* knots_;
    std::size_t next_ = 0;
    const std::atomic<bool>* stop_;
    FlightStatus failure_ = FlightStatus::Stopped;
    double failed_at_ = QUIET_NAN;
};

// Flies one real-air flight to its apogee; with `log`, logs the state before
// every step (no final row) as aeso's flight logs do.
RealOutcome fly_real(const RocketProperties& rocket, const Initial1DOF& initial, const RealRun& run,
                     const FlightTrim& trim, FlightLog* log = nullptr, const std::atomic<bool>* stop = nullptr);
RealOutcome fly_real(const RocketProperties& rocket, const Initial3DOF& initial, const RealRun& run,
                     const FlightTrim& trim, FlightLog* log = nullptr, const std::atomic<bool>* stop = nullptr);

}  // namespace aeso
