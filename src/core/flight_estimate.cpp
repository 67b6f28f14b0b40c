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

CoastFit fit_drag_log(const RocketProperties& rocket, const AirModel& model, double drag_scale,
                      const SampleArrays& samples, const double* deployment, const double* height,
                      const double* velocity, const double* bias, const double* bias_variance, double from,
                      double to, const double* knots, std::size_t knot_count, double prior_sd,
                      double noise_sd) noexcept {
    CoastFit fit(rocket, model, drag_scale, from, knots, knot_count);
    if (!std::isnan(prior_sd)) fit.add_prior(prior_sd, noise_sd);
    double level = 0.0;
    for (std::size_t i = 0; i < samples.rows; ++i) {
        const double t = samples.time[i];
        if (deployment != nullptr && !std::isnan(deployment[i])) level = deployment[i];
        if (t > to) break;
        const double f = samples.specific_force != nullptr ? samples.specific_force[i] : std::nan("");
        fit.add(t, f, height[i], velocity[i], bias[i], bias_variance[i], level);
    }
    return fit;
}

}  // namespace aeso
