// A flight computer: what an air-brake computer does between its sensors
// and its brakes, one value for a simulated flight and for a real flight's
// data replayed (controlled_flight.hpp, flight_replay.hpp).
//
// It is fed rows of samples (a barometer's pressure and an accelerometer's
// specific force at one instant, NaN for a sensor without a sample then)
// with the brakes' deployment as it knows it, and asked for a decision at
// each tick. A row goes to its state estimator through EstimatorFeed, the
// rule by which FlightData.estimate's filter takes a log's rows, so the
// estimate on board is the log's causal estimate to the bit; and, when its
// controller learns its drag, to a CoastFit, the accumulation of a log's
// drag fit (the same update, so the scale learned by a row is the fit of
// the log cut there). At a tick its controller is shown the estimate
// carried to the tick's instant (the filter's prediction from its last row
// with the reading it holds) and predicts with its vehicle's drag times the
// scale learned so far. Without an estimator (the simple sensors) the
// caller hands it the sensed state at each tick.
#pragma once

#include <optional>

#include "controller.hpp"
#include "drag_fit.hpp"
#include "state_estimator.hpp"

namespace aeso {

// A flight computer's own estimator: its settings, the frame its barometer
// is read in (the air it believes in and its pad pressure), and its prior
// at its first instant.
struct OnBoardEstimator {
    EstimatorSettings settings;
    BarometerFrame frame;
    FilterPoint prior;
};

// How a decision went, and for a prediction that failed, why.
struct Decided {
    Verdict verdict;
    FlightStatus failure;
};

class FlightComputer {
public:
    // Ticking `rate` times a second, its predictions stopped by `stop`;
    // `estimator` null: the caller senses the state. A controller that
    // learns its drag learns from rows at `coast` s and later (it needs an
    // estimator, and refuses to learn without one). The settings must
    // outlive the computer.
    FlightComputer(const ControllerSettings& controller, const StopCheck& stop, double rate,
                   const OnBoardEstimator* estimator, double coast);

    // One row of samples, with the deployment at its instant; false (and
    // nothing done) for a row earlier than the last.
    bool feed(const SensorSample& row, double deployment) noexcept;

    // A decision at the tick of `record`, whose TIME and ACTUAL are set: it
    // fills the sensed, estimated and learned columns, PREDICTED_APOGEE,
    // COMMANDED (the last command when it keeps it) and PREDICTIONS.
    // `sensed`: the sensed state, used when there is no estimator.
    Decided decide(TickRecord& record, const Sensed& sensed, double since_start, double last_command);

    bool has_estimator() const noexcept { return feed_.has_value(); }
    // The drag scale learned so far and its sd: 1 and the prior's sd before
    // a row is used; NaN for a controller that does not learn.
    struct Scale {
        double value;
        double sd;
    };
    Scale learned_scale() const noexcept;

private:
    // The estimate carried to `time` (at or after its last row).
    FilterPoint estimate_at(double time) const noexcept;

    RunningController controller_;
    std::optional<EstimatorFeed> feed_;
    std::optional<CoastFit> learning_;
    double prior_sd_ = QUIET_NAN;
};

}  // namespace aeso
