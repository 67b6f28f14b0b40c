// A real flight's data through a flight computer, open loop: what it would
// have decided, tick by tick, had it flown on that rocket.
//
// The rows are fed in time order (flight_computer.hpp), each with the
// brakes' recorded deployment (held from sample to sample, 0 before the
// first: what the real brakes did, whatever the decisions), and a tick at
// every start + k / rate up to `end` asks for a decision after the rows at
// or before its instant. The computer's controller learns from rows at
// `start` and later.
#pragma once

#include <cstdint>
#include <vector>

#include "flight_computer.hpp"
#include "flight_estimate.hpp"

namespace aeso {

struct ReplayOutcome {
    // Stopped when the stop flag ended it (the ticks so far are recorded),
    // ControllerFailed when the controller did; Ok otherwise.
    FlightStatus status = FlightStatus::Ok;
    std::uint64_t ticks = 0;
    std::uint64_t predictions = 0;
    std::uint64_t failed_decisions = 0;       // decisions whose prediction failed
    FlightStatus decision_failure = FlightStatus::Ok;  // the first one's status
};

// The ticks are recorded into `ticks` (TRUE_HEIGHT and TRUE_VELOCITY NaN:
// a log does not know the truth).
ReplayOutcome replay_flight(const SampleArrays& samples, const double* deployment,
                            const OnBoardEstimator& estimator, const ControllerSettings& controller, double rate,
                            double start, double end, const StopCheck& stop, std::vector<TickRecord>& ticks);

}  // namespace aeso
