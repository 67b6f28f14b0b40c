#include "flight_computer.hpp"

#include <cmath>

namespace aeso {

FlightComputer::FlightComputer(const ControllerSettings& controller, const StopCheck& stop, double rate,
                               const OnBoardEstimator* estimator, double coast)
    : controller_(start_controller(controller, stop, rate)) {
    if (estimator != nullptr) feed_.emplace(estimator->settings, estimator->frame, estimator->prior);
    const Aim* aim = aim_of(controller);
    if (aim != nullptr && aim->learn_drag && estimator != nullptr) {
        const Predictor& p = *predictor_of(controller);
        learning_.emplace(p.rocket, *p.run.model, p.drag_scale, coast, nullptr, 0);
        learning_->add_prior(aim->drag_prior_sd, estimator->settings.accelerometer_sd);
        prior_sd_ = aim->drag_prior_sd;
    }
}

bool FlightComputer::feed(const SensorSample& row, double deployment) noexcept {
    if (!feed_) return true;
    if (!feed_->feed(row).in_order) return false;
    if (learning_) {
        // The estimate's bias is NaN where no reading drives the filter (a
        // log's StateEstimate.bias).
        const FilterPoint& point = feed_->estimator().point();
        const double bias = feed_->driven() ? point.x[2] : QUIET_NAN;
        learning_->add(row.time, row.specific_force, point.x[0], point.x[1], bias, point.p[8], deployment);
    }
    return true;
}

FilterPoint FlightComputer::estimate_at(double time) const noexcept {
    const StateEstimator& filter = feed_->estimator();
    const double dt = time - filter.point().time;
    if (!(dt > 0.0)) return filter.point();
    StateEstimator carried = filter;
    carried.predict(dt, feed_->held_specific_force(), feed_->driven());
    return carried.point();
}

FlightComputer::Scale FlightComputer::learned_scale() const noexcept {
    if (!learning_) return {QUIET_NAN, QUIET_NAN};
    const DragFitAccumulator::Solution s = learning_->solve();
    if (!s.solved) return {1.0, prior_sd_};
    return {s.value[0], std::sqrt(std::fmax(s.covariance[0], 0.0))};
}

Decided FlightComputer::decide(TickRecord& r, const Sensed& sensed, double since_start, double last_command) {
    Sensed shown = sensed;
    if (feed_) {
        const FilterPoint e = estimate_at(r[TIME]);
        shown = Sensed{{e.x[0], e.x[1]}, 2};
        r[ESTIMATED_HEIGHT] = e.x[0];
        r[ESTIMATED_VELOCITY] = e.x[1];
        r[ESTIMATED_HEIGHT_SD] = std::sqrt(std::fmax(e.p[0], 0.0));
        r[ESTIMATED_VELOCITY_SD] = std::sqrt(std::fmax(e.p[4], 0.0));
        r[SENSED_HEIGHT] = e.x[0];
        r[SENSED_VELOCITY] = e.x[1];
    }
    Decision d{r, shown, since_start, last_command};
    if (learning_) {
        const Scale k = learned_scale();
        r[LEARNED_SCALE] = k.value;
        r[LEARNED_SCALE_SD] = k.sd;
        d.learned_scale = k.value;
    }
    const Verdict v = std::visit([&](auto& controller) { return controller.decide(d); }, controller_);
    return {v, d.failure};
}

}  // namespace aeso
