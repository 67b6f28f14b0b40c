// The inverse of a prediction: the brake deployment (or the factor on the
// whole drag) whose predicted apogee is a target.
//
// The apogee falls as the deployment or the drag grows (for a brake table
// whose drag does not decrease with deployment), so the answer is the root
// of a decreasing function f(x) = apogee(x) - target, bracketed and then
// narrowed by the Anderson-Bjorck variant of regula falsi, which cannot
// leave its bracket and converges superlinearly on smooth functions. A warm
// start (the previous answer of a control loop, whose state has moved a
// little) tries the old level, then a secant step with the old slope.
//
// A brake table whose drag falls with deployment somewhere (a measured one)
// is searched as given: the apogee is predicted at its rows' levels up to
// the last such fall, and the first pair of rows whose apogees lie on
// either side of the target is narrowed (the smallest level that reaches
// it); beyond that level the apogee falls with deployment again.
//
// An answer is Reached only when the apogee predicted at its value lies
// within APOGEE_TOLERANCE of the target, and `apogee` is always the apogee
// predicted at `value`. Where the apogee jumps across the target between
// two values as close as doubles go (a coarse fixed step), the answer is
// the nearer of the two, as a Jump.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

#include "real_air_run.hpp"

namespace aeso {

// |apogee - target| at which an answer is accepted (m).
inline constexpr double APOGEE_TOLERANCE = 0.01;

enum class InverseStatus : std::uint8_t {
    Reached = 0,       // apogee within APOGEE_TOLERANCE of the target
    AboveAtMost = 1,   // even the most drag leaves the apogee above the target
    BelowAtLeast = 2,  // even the least drag leaves it below
    Failed = 3,        // a prediction failed: `failure` says why
    Jump = 4,          // the apogee jumps across the target: no value is within tolerance
};

// The statuses by the names the compiled module exports.
inline constexpr std::array<std::pair<const char*, InverseStatus>, 5> INVERSE_STATUS_NAMES{{
    {"REACHED", InverseStatus::Reached},
    {"TOO_HIGH", InverseStatus::AboveAtMost},
    {"TOO_LOW", InverseStatus::BelowAtLeast},
    {"FAILED", InverseStatus::Failed},
    {"JUMP", InverseStatus::Jump},
}};

// The previous answer, for a warm start.
struct InverseStart {
    double value;
    double slope;  // d apogee / d value there (negative), NaN if unknown
    double low;    // a value with the apogee above the target, NaN if unknown
    double high;   // one with the apogee below, NaN if unknown
};

struct InverseResult {
    InverseStatus status = InverseStatus::Failed;
    double value = QUIET_NAN;   // the deployment level or the drag factor
    double apogee = QUIET_NAN;  // predicted at `value`
    int predictions = 0;        // including the end points
    double slope = QUIET_NAN;   // d apogee / d value near the answer
    double low = QUIET_NAN;     // the narrowest bracket found (see InverseStart)
    double high = QUIET_NAN;
    FlightOutcome failure;      // the failed prediction, when Failed
};

// The deployment level in [0, 1] at which the brakes, held from the state on,
// make the predicted apogee `target`. The trim's deployment is not read; its
// drag scale is kept.
InverseResult deployment_for_apogee(const RocketProperties& rocket, const Initial1DOF& initial, const RealRun& run,
                                    const FlightTrim& trim, double target, const InverseStart* start);
InverseResult deployment_for_apogee(const RocketProperties& rocket, const Initial3DOF& initial, const RealRun& run,
                                    const FlightTrim& trim, double target, const InverseStart* start);

// The factor (>= 0) on the whole drag that makes the predicted apogee
// `target`, with the brakes as `trim` sets them. Factors are tried up to
// MAX_DRAG_SCALE.
inline constexpr double MAX_DRAG_SCALE = 1048576.0;
InverseResult drag_scale_for_apogee(const RocketProperties& rocket, const Initial1DOF& initial, const RealRun& run,
                                    const FlightTrim& trim, double target, const InverseStart* start);
InverseResult drag_scale_for_apogee(const RocketProperties& rocket, const Initial3DOF& initial, const RealRun& run,
                                    const FlightTrim& trim, double target, const InverseStart* start);

}  // namespace aeso
