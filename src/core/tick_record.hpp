// What a controller's tick records, and what a flight computer's sensors
// record: the columns are defined here once, and the compiled module
// exports their names (the Python package reads the arrays by name).
#pragma once

#include <array>
#include <cstddef>

namespace aeso {

// One tick: what was true, what was sensed, what was decided. A column per
// TickColumn, named by TICK_COLUMN_NAMES.
enum TickColumn : std::size_t {
    TIME,
    TRUE_HEIGHT,
    TRUE_VELOCITY,     // vertical
    SENSED_HEIGHT,     // what the controller was shown (with an estimator, its estimate)
    SENSED_VELOCITY,
    PREDICTED_APOGEE,  // the controller's, in its frame (NaN when it made none)
    COMMANDED,
    ACTUAL,            // the deployment at the tick
    PREDICTIONS,       // the predictions the decision used
    ESTIMATED_HEIGHT,  // the on-board estimate at the tick (NaN without an estimator)
    ESTIMATED_VELOCITY,
    ESTIMATED_HEIGHT_SD,
    ESTIMATED_VELOCITY_SD,
    LEARNED_SCALE,     // the drag scale learned so far, and its sd (NaN when not learning)
    LEARNED_SCALE_SD,
    TICK_COLUMNS,
};
inline constexpr std::array<const char*, TICK_COLUMNS> TICK_COLUMN_NAMES{
    "time", "true_height", "true_velocity", "sensed_height", "sensed_velocity", "predicted_apogee",
    "commanded", "actual", "predictions", "estimated_height", "estimated_velocity", "estimated_height_sd",
    "estimated_velocity_sd", "learned_scale", "learned_scale_sd"};
using TickRecord = std::array<double, TICK_COLUMNS>;

// One row of a flight computer's samples: its instant, the barometer's and
// the accelerometer's readings (NaN: no sample of that sensor then) and the
// brakes' deployment as the computer knows it. Named by SAMPLE_COLUMN_NAMES.
enum SampleColumn : std::size_t {
    SAMPLE_TIME,
    SAMPLE_PRESSURE,        // Pa
    SAMPLE_SPECIFIC_FORCE,  // m/s^2, axial
    SAMPLE_DEPLOYMENT,
    SAMPLE_COLUMNS,
};
inline constexpr std::array<const char*, SAMPLE_COLUMNS> SAMPLE_COLUMN_NAMES{"time", "pressure", "specific_force",
                                                                              "deployment"};
using SampleRecord = std::array<double, SAMPLE_COLUMNS>;

}  // namespace aeso
