// The drag a coasting rocket's accelerometer measures, fitted to a drag
// model by least squares, accumulated sample by sample.
//
// In the coast the axial specific force is the drag over the mass, so an
// accelerometer reading f, less its bias b, measures the drag deceleration
// y = -(f - b). The model's deceleration is linear in its parameters:
//  - one factor k on the vehicle's whole drag (body and brakes):
//    y = k q (cd(M) + cd_brakes(d, M)) A / m;
//  - drag coefficients c_j at Mach knots (linear between them, held beyond
//    the ends, as a drag curve): y = q A / m (sum_j c_j phi_j(M) + cd_brakes),
// q the dynamic pressure, A the drag area, m the mass, M the Mach number,
// d the brakes' deployment. The accumulator holds the normal equations, so
// adding a sample costs a few operations and allocates nothing; a flight
// computer learning its drag in flight and a fit to a log cut at the same
// time add the same samples in the same order.
#pragma once

#include <array>
#include <cstddef>

#include "real_air.hpp"
#include "rocket_properties.hpp"

namespace aeso {

// What one state says about the drag: its Mach number, q A / m (m/s^2 per
// unit drag coefficient), the body's coefficient and the brakes' (referred
// to the drag area; with replace = true the brakes are the body).
struct DragSample {
    double mach;
    double pressure_per_mass;
    double body_cd;
    double brake_cd;

    // The whole drag's deceleration at scale 1 (m/s^2).
    double deceleration() const noexcept { return pressure_per_mass * (body_cd + brake_cd); }
};

DragSample drag_sample(const RocketProperties& rocket, const AirModel& model, double height, double velocity,
                       double deployment) noexcept;

class DragFitAccumulator {
public:
    static constexpr std::size_t MAX_PARAMETERS = 16;

    // `parameters` from 1 to MAX_PARAMETERS.
    explicit DragFitAccumulator(std::size_t parameters) noexcept;

    // One sample: the model's deceleration per unit of each parameter
    // (`regressors`, `parameters` values) and the measured deceleration
    // less what no parameter explains.
    void add(const double* regressors, double deceleration) noexcept;

    // A prior: the parameter `index` is `mean` within `sd`, weighed against
    // samples whose noise has the sd `noise_sd`.
    void add_prior(std::size_t index, double mean, double sd, double noise_sd) noexcept;

    struct Solution {
        bool solved;  // false: the normal equations are singular (too few samples)
        std::array<double, MAX_PARAMETERS> value;
        // Row-major, parameters x parameters: the residuals' variance times
        // the inverse normal matrix, plus what the bias's variance adds
        // (the bias shifts every sample alike).
        std::array<double, MAX_PARAMETERS * MAX_PARAMETERS> covariance;
        double residual_rms;  // m/s^2
    };
    // `bias_variance`: the variance of the bias subtracted from the samples.
    Solution solve(double bias_variance) const noexcept;

    std::size_t parameters() const noexcept { return k_; }
    std::size_t samples() const noexcept { return n_; }

private:
    std::size_t k_;
    std::size_t n_ = 0;
    std::size_t priors_ = 0;
    std::array<double, MAX_PARAMETERS * MAX_PARAMETERS> xtx_{};
    std::array<double, MAX_PARAMETERS> xty_{};
    std::array<double, MAX_PARAMETERS> sx_{};
    double yty_ = 0.0;
};

// The weights of a curve's knots at `mach` (linear between adjacent knots,
// the end knot's alone beyond the ends), into `out` (`count` values).
void knot_weights(const double* knots, std::size_t count, double mach, double* out) noexcept;

}  // namespace aeso
