#include "flight_replay.hpp"

#include <cmath>

namespace aeso {

ReplayOutcome replay_flight(const SampleArrays& samples, const double* deployment,
                            const OnBoardEstimator& estimator, const ControllerSettings& controller, double rate,
                            double start, double end, const StopCheck& stop, std::vector<TickRecord>& ticks) {
    ReplayOutcome out;
    FlightComputer computer(controller, stop, rate, &estimator, start);
    const double none = QUIET_NAN;
    double level = 0.0;  // the brakes' deployment, held from sample to sample
    double last_command = QUIET_NAN;
    std::size_t i = 0;
    for (std::uint64_t k = 0;; ++k) {
        const double t = start + static_cast<double>(k) / rate;
        if (!(t <= end)) break;
        for (; i < samples.rows && samples.time[i] <= t; ++i) {
            if (deployment != nullptr && !std::isnan(deployment[i])) level = deployment[i];
            computer.feed({samples.time[i], samples.pressure != nullptr ? samples.pressure[i] : none,
                           samples.specific_force != nullptr ? samples.specific_force[i] : none},
                          level);
        }
        // Until the first decision the brakes are where the data has them.
        if (std::isnan(last_command)) last_command = level;
        TickRecord r;
        r.fill(none);
        r[TIME] = t;
        r[COMMANDED] = last_command;
        r[ACTUAL] = level;
        r[PREDICTIONS] = 0.0;
        const Decided d = computer.decide(r, Sensed{}, t - start, last_command);
        if (d.verdict == Verdict::PredictionFailed) {
            if (d.failure == FlightStatus::Stopped) {
                out.status = FlightStatus::Stopped;
                return out;
            }
            if (out.failed_decisions++ == 0) out.decision_failure = d.failure;
        }
        if (d.verdict == Verdict::ControllerFailed) {
            r[COMMANDED] = last_command;
            out.status = FlightStatus::ControllerFailed;
        }
        last_command = r[COMMANDED];
        out.predictions += static_cast<std::uint64_t>(r[PREDICTIONS]);
        ++out.ticks;
        ticks.push_back(r);
        if (out.status != FlightStatus::Ok) return out;
    }
    return out;
}

}  // namespace aeso
