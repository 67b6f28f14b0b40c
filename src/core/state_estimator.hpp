// A flight's vertical state from its barometer and accelerometer: a Kalman
// filter over the height above the pad, the vertical velocity and the
// accelerometer's bias, and its Rauch-Tung-Striebel smoother.
//
// The model. The accelerometer reads the axial specific force f (thrust and
// drag over mass: +1 g at rest); taken as vertical, the acceleration is
// f - b - g, b the accelerometer's bias. Between samples the last reading is
// held (a zero-order hold), and the acceleration it leaves unexplained is
// white noise of spectral density `acceleration_psd`; the bias is a random
// walk of spectral density `drift_psd`. Without an accelerometer the held
// reading is 1 g, so the third state is minus the vertical acceleration, a
// random walk of its own (a wider `drift_psd`). The barometer's pressure
// becomes a height through a BarometerFrame; a reading whose innovation lies
// beyond `gate` standard deviations is not used (a barometer reads hundreds
// of metres low near Mach 1, and logs hold glitches).
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
    double acceleration_psd;  // (m/s^2)^2 s: acceleration the held reading leaves unexplained
    double drift_psd;         // (m/s^2)^2 / s: the random walk of the third state
    double gate;              // innovations beyond this many sds are not used
    double rest_velocity_sd;  // m/s: the pad's zero velocity, before `rest_until`
    double rest_until;        // s: samples before this time are taken on the pad, at rest
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
    // it unchanged.
    void predict(double dt, double specific_force) noexcept;
    // A measured height with its sd; false (and no change) if gated out.
    bool update_height(double height, double sd) noexcept;
    // A barometer reading (Pa) through the frame.
    bool update_pressure(double pressure) noexcept;
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
};

// The filter and the rule by which samples reach it, in this order:
//  1. a sample earlier than the filter's time is refused whole;
//  2. the filter is carried to the sample's time with the held specific
//     force (nothing happens for dt = 0: samples at one time are applied
//     to one state, in the order fed);
//  3. an accelerometer sample becomes the held reading from its time on;
//  4. a barometer sample updates the height (gated);
//  5. before `rest_until`, the rocket is on the pad: velocity 0.
// Before the first accelerometer sample the held reading is 1 g.
class EstimatorFeed {
public:
    EstimatorFeed(const EstimatorSettings& settings, const BarometerFrame& frame, const FilterPoint& prior) noexcept;

    FeedOutcome feed(const SensorSample& sample) noexcept;

    const StateEstimator& estimator() const noexcept { return filter_; }
    // The filter's mean and covariance carried to the time of the last
    // sample fed, before that sample's updates (what the smoother needs).
    const FilterPoint& predicted() const noexcept { return predicted_; }
    double held_specific_force() const noexcept { return held_; }

private:
    StateEstimator filter_;
    FilterPoint predicted_;
    double held_;
};

// The state transition over dt (the same F as the filter's).
Matrix3 transition(double dt) noexcept;

// One stored step of a filter run: the filtered point at a sample's time and
// the prediction that led to it.
struct FilterRecord {
    FilterPoint filtered;
    FilterPoint predicted;
};

// The Rauch-Tung-Striebel smoother: overwrites `records[k].filtered` with
// the smoothed point, from the last record back. Allocates nothing. False if
// a predicted covariance is not positive definite (then the records from
// the failure on are left partly smoothed).
bool smooth(FilterRecord* records, std::size_t n) noexcept;

}  // namespace aeso
