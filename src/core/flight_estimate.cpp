#include "flight_estimate.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace aeso {

EstimateRun estimate_flight(const EstimatorSettings& settings, const BarometerFrame& frame, const FilterPoint& prior,
                            const SampleArrays& samples, double* means, double* covariances,
                            std::int8_t* barometer, std::int8_t* driven, Prediction* predicted) noexcept {
    constexpr double none = std::numeric_limits<double>::quiet_NaN();
    EstimateRun run{samples.rows, 0, false};
    EstimatorFeed feed(settings, frame, prior);
    for (std::size_t i = 0; i < samples.rows; ++i) {
        const SensorSample s{samples.time[i], samples.pressure != nullptr ? samples.pressure[i] : none,
                             samples.specific_force != nullptr ? samples.specific_force[i] : none};
        const FeedOutcome out = feed.feed(s);
        if (!out.in_order) {
            run.out_of_order = i;
            return run;
        }
        const FilterPoint& point = feed.estimator().point();
        std::memcpy(means + 3 * i, point.x.data(), sizeof(Vector3));
        std::memcpy(covariances + 9 * i, point.p.data(), sizeof(Matrix3));
        if (predicted != nullptr) predicted[i] = {feed.predicted().x, feed.predicted().p, out.reset};
        barometer[i] = out.pressure_used ? 1 : (out.pressure_gated ? 0 : -1);
        driven[i] = feed.driven() ? 1 : 0;
        run.gated += out.pressure_gated ? 1 : 0;
    }
    run.smoothed = predicted != nullptr && smooth(samples.time, means, covariances, predicted, samples.rows);
    return run;
}

DragFitRun fit_drag_log(const RocketProperties& rocket, const AirModel& model, const SampleArrays& samples,
                        const double* deployment, const double* height, const double* velocity, const double* bias,
                        double from, double to, const double* knots, std::size_t knot_count) noexcept {
    DragFitRun run{DragFitAccumulator(knots != nullptr ? knot_count : 1), std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity()};
    double level = 0.0;
    double x[DragFitAccumulator::MAX_PARAMETERS];
    for (std::size_t i = 0; i < samples.rows; ++i) {
        const double t = samples.time[i];
        if (deployment != nullptr && !std::isnan(deployment[i])) level = deployment[i];
        if (t > to) break;
        const double f = samples.specific_force != nullptr ? samples.specific_force[i] : std::nan("");
        if (t < from || std::isnan(f) || std::isnan(bias[i]) || !(velocity[i] > 0.0)) continue;
        const DragSample s = drag_sample(rocket, model, height[i], velocity[i], level);
        double y = -(f - bias[i]);
        if (knots != nullptr) {
            knot_weights(knots, knot_count, s.mach, x);
            for (std::size_t j = 0; j < knot_count; ++j) x[j] = x[j] * s.pressure_per_mass;
            y = y - s.pressure_per_mass * s.brake_cd;
        } else {
            x[0] = s.deceleration();
        }
        run.accumulator.add(x, y);
        run.mach_low = std::fmin(run.mach_low, s.mach);
        run.mach_high = std::fmax(run.mach_high, s.mach);
    }
    return run;
}

}  // namespace aeso
