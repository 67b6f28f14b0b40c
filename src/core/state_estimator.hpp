// A flight's vertical state from its barometer and accelerometer: a Kalman
// filter over the height above the pad, the vertical velocity and a third
// state, and its Rauch-Tung-Striebel smoother.
//
// The model. The accelerometer reads the axial specific force f (thrust and
// drag over mass: +1 g at rest); taken as vertical, the acceleration is
// f - b - g, b the accelerometer's bias (the third state while an
// accelerometer drives the filter). Between samples the last reading is held
// (a zero-order hold), and the acceleration it leaves unexplained is white
// noise of spectral density `acceleration_psd`; the bias is a random walk of
// spectral density `bias_drift_psd`. Without a reading (none yet, or none for
// longer than `hold_limit`) the filter holds 1 g, and the third state is minus
// the vertical acceleration, a random walk of `free_drift_psd`; the bias is
// kept aside and comes back with the next reading. The barometer's pressure
// becomes a height through a BarometerFrame; its error is its noise plus a
// share of the dynamic pressure (a static port reads high or low in
// proportion to it, hundreds of metres near Mach 1): `dynamic_error` while
// an accelerometer drives the filter, `free_dynamic_error` otherwise (the
// caller makes the first larger: the error changes slowly, and with an
// accelerometer the barometer is better left to the low speeds), and a reading
// whose innovation lies beyond `gate` standard deviations is not used (logs
// hold glitches).
//
// The one rule by which samples reach the filter is EstimatorFeed::feed:
// a flight computer feeding samples one by one and a log's estimate over
// arrays call it alike, so they give the same bits.
#pragma once

#include <array>
#include <cstddef>

#include "standard_atmosphere.hpp"

namespace aeso {

// Pressure to height above the pad: the shape of pressure against height is
// the column's, scaled so that the pad's pressure is the one the barometer
// read there (in a hydrostatic column pressure over the pad's pressure
// depends on the height alone, so the scaling is exact).
class BarometerFrame {
public:
    BarometerFrame(const AirColumn& column, double pad_pressure) noexcept;

    struct Reading {
        double height;             // m above the pad
        double metres_per_pascal;  // |dh/dp| there
        double density;            // kg/m^3 there
    };
    Reading height_of(double pressure) const noexcept;
    double pad_pressure() const noexcept { return pad_pressure_; }

private:
    AirColumn column_;
    double pad_pressure_;
    double scale_;  // the column's pad pressure over pad_pressure_
};

struct EstimatorSettings {
    double barometer_sd;      // Pa, one reading
    double dynamic_error;     // the barometer's error sd per unit of dynamic pressure, per reading
    double free_dynamic_error;  // the same without a reading driving the filter
    double acceleration_psd;  // (m/s^2)^2 s: acceleration the held reading leaves unexplained
    double bias_drift_psd;    // (m/s^2)^2 / s: the bias's random walk
    double free_drift_psd;    // (m/s^3)^2 s: the acceleration's random walk without a reading
    double accelerometer_sd;  // m/s^2: one reading's noise (what the third state gains when a hold lapses)
    double hold_limit;        // s: the longest a reading is held
    double gate;              // innovations beyond this many sds are not used
    double rest_velocity_sd;  // m/s: the pad's zero velocity, before `rest_until`
    double rest_until;        // s: samples before this time are taken on the pad, at rest
    double bias;              // m/s^2: the bias's prior mean, taken when the first reading comes
    double bias_sd;           // m/s^2: its prior sd
};

using Vector3 = std::array<double, 3>;
using Matrix3 = std::array<double, 9>;  // row-major

// The filter's mean and covariance at `time`.
struct FilterPoint {
    double time;
    Vector3 x;  // height (m above the pad), velocity (m/s), bias (m/s^2)
    Matrix3 p;
};

class StateEstimator {
public:
    StateEstimator(const EstimatorSettings& settings, const BarometerFrame& frame, const FilterPoint& prior) noexcept;

    // Carries the state `dt` s on with `specific_force` held; dt = 0 leaves
    // it unchanged. `driven`: the third state is the bias (else minus the
    // acceleration, and `specific_force` must be 1 g).
    void predict(double dt, double specific_force, bool driven) noexcept;
    // Adds `shift` to the third state and `variance` to its variance.
    void shift_third(double shift, double variance) noexcept;
    // Sets the third state to `value` with `variance`, independent of the rest.
    void reset_third(double value, double variance) noexcept;
    // A measured height with its sd; false (and no change) if gated out.
    bool update_height(double height, double sd) noexcept;
    // A barometer reading (Pa) through the frame; `driven`: whether an
    // accelerometer reading drives the filter (which error share applies).
    bool update_pressure(double pressure, bool driven) noexcept;
    // A measured velocity (the pad's zero), never gated.
    void update_velocity(double velocity, double sd) noexcept;

    const FilterPoint& point() const noexcept { return point_; }
    const EstimatorSettings& settings() const noexcept { return settings_; }

private:
    bool update(std::size_t index, double value, double variance, bool gated) noexcept;

    EstimatorSettings settings_;
    BarometerFrame frame_;
    FilterPoint point_;
};

// One row of a log as the filter takes it: NaN for a channel without a
// sample at that time.
struct SensorSample {
    double time;
    double pressure;        // Pa
    double specific_force;  // m/s^2, axial
};

// What a fed sample did to the filter.
struct FeedOutcome {
    bool in_order;          // false: earlier than the filter's time, refused whole
    bool pressure_used;     // a pressure was given and passed the gate
    bool pressure_gated;    // a pressure was given and did not
    bool reset;             // the third state was set anew (the smoother's transition drops it)
};

// The filter and the rule by which samples reach it, in this order:
//  1. a sample earlier than the filter's time is refused whole;
//  2. the filter is carried to the sample's time with the held specific
//     force (nothing happens for dt = 0: samples at one time are applied
//     to one state, in the order fed);
//     then, if the held reading is older than `hold_limit` and the sample
//     brings none, the hold lapses (1 g held, the bias kept aside);
//  3. an accelerometer sample becomes the held reading from its time on
//     (after a lapse or before the first, the bias comes back: the prior's
//     at first);
//  4. a barometer sample updates the height (gated);
//  5. before `rest_until`, the rocket is on the pad: velocity 0.
class EstimatorFeed {
public:
    EstimatorFeed(const EstimatorSettings& settings, const BarometerFrame& frame, const FilterPoint& prior) noexcept;

    FeedOutcome feed(const SensorSample& sample) noexcept;

    const StateEstimator& estimator() const noexcept { return filter_; }
    // The filter's mean and covariance carried to the time of the last
    // sample fed, before that sample's updates (what the smoother needs).
    const FilterPoint& predicted() const noexcept { return predicted_; }
    double held_specific_force() const noexcept { return held_; }
    // Whether a reading drives the filter (the third state is the bias).
    bool driven() const noexcept { return driven_; }

private:
    StateEstimator filter_;
    FilterPoint predicted_;
    double held_;
    double last_reading_;
    bool driven_ = false;
    double kept_bias_;
    double kept_bias_variance_;
};

// The state transition over dt (the same F as the filter's); `reset`: the
// third state was set anew at the end (its row is zero).
Matrix3 transition(double dt, bool reset = false) noexcept;

// The prediction that led to a row of a filter run (what the smoother needs
// beside the filtered rows).
struct Prediction {
    Vector3 x;
    Matrix3 p;
    bool reset;
};

// The Rauch-Tung-Striebel smoother over n filtered rows at `time`: means
// (3 per row) and covariances (9 per row, row-major) are overwritten with the
// smoothed ones, from the last row back; predicted[k] led from row k - 1 to
// row k. Allocates nothing. False if a predicted covariance is not positive
// definite (the rows before it are then left as the filter's).
bool smooth(const double* time, double* means, double* covariances, const Prediction* predicted,
            std::size_t n) noexcept;

}  // namespace aeso
