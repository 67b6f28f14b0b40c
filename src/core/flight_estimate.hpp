// A log's samples through the state estimator and the drag fit: the runs
// over whole arrays behind a flight's estimate and its drag identification.
#pragma once

#include <cstddef>
#include <cstdint>

#include "drag_fit.hpp"
#include "state_estimator.hpp"

namespace aeso {

// A log's channels, one row per time; NaN where a channel has no sample.
struct SampleArrays {
    const double* time;
    const double* pressure;        // Pa; null: no barometer
    const double* specific_force;  // m/s^2; null: no accelerometer
    std::size_t rows;
};

// What an estimate run did: `out_of_order` the first row earlier than the
// one before it (rows when none; the run stops there), `gated` the number of
// barometer samples the gate refused, `smoothed` whether the smoother ran
// to the first row.
struct EstimateRun {
    std::size_t out_of_order;
    std::size_t gated;
    bool smoothed;
};

// Feeds every row, from the prior at the first row's time, through
// EstimatorFeed (the rule a flight computer uses), writing each row's mean
// (3 values) and covariance (9) to `means` and `covariances`, the
// barometer's use to `barometer` (-1 no sample, 0 gated, 1 used) and whether
// a reading drove the filter to `driven`; then, if `predicted` is not null
// (room for every row), runs the smoother over them.
EstimateRun estimate_flight(const EstimatorSettings& settings, const BarometerFrame& frame, const FilterPoint& prior,
                            const SampleArrays& samples, double* means, double* covariances,
                            std::int8_t* barometer, std::int8_t* driven, Prediction* predicted) noexcept;

// The accumulated fit of a log's coast: rows with an accelerometer sample
// and a time from `from` to `to` whose estimated velocity is positive.
// `height`, `velocity`, `bias` are the estimate's at every row; `deployment`
// (null: none) the brakes' recorded deployment, held from sample to sample
// (0 before the first). `knots` (null: one factor on the whole drag) the
// Mach numbers of the fitted coefficients.
struct DragFitRun {
    DragFitAccumulator accumulator;
    double mach_low;
    double mach_high;
};
DragFitRun fit_drag_log(const RocketProperties& rocket, const AirModel& model, const SampleArrays& samples,
                        const double* deployment, const double* height, const double* velocity, const double* bias,
                        double from, double to, const double* knots, std::size_t knot_count) noexcept;

}  // namespace aeso
