// The adaptive step-size controller: next step size from one step's error.
#pragma once

#include <cmath>

#include "result.hpp"
#include "solver_config.hpp"

namespace aeso {

inline constexpr double STEP_ERROR_FLOOR = 1e-30;
inline constexpr double STEP_SAFETY = 0.5;
inline constexpr double STEP_EXPONENT = 0.25;
inline constexpr double STEP_MIN_FACTOR = 0.5;
inline constexpr double STEP_MAX_FACTOR = 2.0;
// The ratios whose fourth root is exactly a bound: 2^4 and 0.5^4. Outside
// [1/16, 16] the factor is the bound whatever pow returns, so pow is not
// called there (a run that sits at dt_max skips it on nearly every step).
// pow is exact at these two points and monotonic to within its sub-ulp
// error, so it never lands on the other side of a bound: the factor is the
// same to the last bit. Negative and NaN ratios still go through pow (NaN).
inline constexpr double STEP_RATIO_AT_MAX_FACTOR = 16.0;
inline constexpr double STEP_RATIO_AT_MIN_FACTOR = 0.0625;

// The internal error for dt_min > dt_max or a NaN bound (cold path).
Error step_bounds_error(double dt_min, double dt_max);

// Whether the controller accepts the bounds: dt_min <= dt_max, neither NaN.
inline bool step_bounds_valid(const AdaptiveTimeStep& o) noexcept { return o.dt_min <= o.dt_max; }

// Proposes the size of the next step from the size `dt` and the error norm of
// the step just taken. Fails when dt_min > dt_max or either is NaN, whatever
// the error norm. (`o.dt`, the first step of a run, is not read.)
inline Result<double> next_dt(const AdaptiveTimeStep& o, double dt, double error_norm) {
    if (!step_bounds_valid(o)) return step_bounds_error(o.dt_min, o.dt_max);
    double factor;
    if (error_norm <= STEP_ERROR_FLOOR) {
        factor = STEP_MAX_FACTOR;
    } else {
        const double tolerance = o.relative_error_tolerance * dt + o.absolute_error_tolerance;
        const double ratio = (tolerance * STEP_SAFETY) / error_norm;
        if (ratio >= STEP_RATIO_AT_MAX_FACTOR) {
            factor = STEP_MAX_FACTOR;
        } else if (ratio >= 0.0 && ratio <= STEP_RATIO_AT_MIN_FACTOR) {
            factor = STEP_MIN_FACTOR;
        } else {
            const double p = std::pow(ratio, STEP_EXPONENT);
            // NaN fails both comparisons and stays NaN.
            factor = p < STEP_MIN_FACTOR ? STEP_MIN_FACTOR : (p > STEP_MAX_FACTOR ? STEP_MAX_FACTOR : p);
        }
    }
    const double proposal = dt * factor;
    return proposal < o.dt_min ? o.dt_min : (proposal > o.dt_max ? o.dt_max : proposal);
}

}  // namespace aeso
