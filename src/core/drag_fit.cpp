#include "drag_fit.hpp"

#include <cmath>
#include <limits>

namespace aeso {

DragSample drag_sample(const RocketProperties& rocket, const AirModel& model, double height, double velocity,
                       double deployment) noexcept {
    const AirSample air = model.atmosphere->at(height);
    const VehicleDrag& drag = *model.drag;
    const double speed = std::fabs(velocity);
    const double mach = speed * air.inv_speed_of_sound;
    double body = drag.cd.empty() ? rocket.cd : drag.cd.at(mach);
    double brake = 0.0;
    if (!drag.brakes.cd.empty()) {
        brake = drag.brakes.cd.at(deployment, mach) * drag.brakes.area_ratio;
        if (drag.brakes.replace) {
            body = brake;
            brake = 0.0;
        }
    }
    return {mach, ((speed * speed) * air.half_rho) * rocket.area_drag / rocket.mass, body, brake};
}

DragFitAccumulator::DragFitAccumulator(std::size_t parameters) noexcept
    : k_(parameters < 1 ? 1 : (parameters > MAX_PARAMETERS ? MAX_PARAMETERS : parameters)) {}

void DragFitAccumulator::add(const double* x, double y) noexcept {
    for (std::size_t i = 0; i < k_; ++i) {
        for (std::size_t j = 0; j < k_; ++j) xtx_[i * MAX_PARAMETERS + j] += x[i] * x[j];
        xty_[i] += x[i] * y;
        sx_[i] += x[i];
    }
    yty_ += y * y;
    n_ += 1;
}

void DragFitAccumulator::add_prior(std::size_t index, double mean, double sd, double noise_sd) noexcept {
    // A pseudo-sample with the regressor noise_sd / sd on this parameter alone.
    const double w = noise_sd / sd;
    xtx_[index * MAX_PARAMETERS + index] += w * w;
    xty_[index] += w * w * mean;
    yty_ += (w * mean) * (w * mean);
    priors_ += 1;
}

namespace {

// Cholesky factor (lower) of the leading k x k block, in place; false if not
// positive definite.
bool cholesky(std::array<double, DragFitAccumulator::MAX_PARAMETERS * DragFitAccumulator::MAX_PARAMETERS>& a,
              std::size_t k) noexcept {
    constexpr std::size_t M = DragFitAccumulator::MAX_PARAMETERS;
    for (std::size_t j = 0; j < k; ++j) {
        double d = a[j * M + j];
        for (std::size_t s = 0; s < j; ++s) d -= a[j * M + s] * a[j * M + s];
        if (!(d > 0.0) || !std::isfinite(d)) return false;
        const double l = std::sqrt(d);
        a[j * M + j] = l;
        for (std::size_t i = j + 1; i < k; ++i) {
            double v = a[i * M + j];
            for (std::size_t s = 0; s < j; ++s) v -= a[i * M + s] * a[j * M + s];
            a[i * M + j] = v / l;
        }
    }
    return true;
}

// Solves L L^T z = b in place.
void solve_factored(const std::array<double, DragFitAccumulator::MAX_PARAMETERS * DragFitAccumulator::MAX_PARAMETERS>& l,
                    std::size_t k, double* b) noexcept {
    constexpr std::size_t M = DragFitAccumulator::MAX_PARAMETERS;
    for (std::size_t i = 0; i < k; ++i) {
        double v = b[i];
        for (std::size_t s = 0; s < i; ++s) v -= l[i * M + s] * b[s];
        b[i] = v / l[i * M + i];
    }
    for (std::size_t i = k; i-- > 0;) {
        double v = b[i];
        for (std::size_t s = i + 1; s < k; ++s) v -= l[s * M + i] * b[s];
        b[i] = v / l[i * M + i];
    }
}

}  // namespace

DragFitAccumulator::Solution DragFitAccumulator::solve(double bias_variance) const noexcept {
    constexpr std::size_t M = MAX_PARAMETERS;
    Solution out{};
    out.residual_rms = std::numeric_limits<double>::quiet_NaN();
    if (n_ + priors_ < k_ + 1 || n_ == 0) return out;
    std::array<double, M * M> l = xtx_;
    if (!cholesky(l, k_)) return out;
    double c[M] = {};
    for (std::size_t i = 0; i < k_; ++i) c[i] = xty_[i];
    solve_factored(l, k_, c);
    // RSS = y'y - 2 c'X'y + c'X'X c.
    double fitted = 0.0;
    double quadratic = 0.0;
    for (std::size_t i = 0; i < k_; ++i) {
        fitted += c[i] * xty_[i];
        for (std::size_t j = 0; j < k_; ++j) quadratic += c[i] * xtx_[i * M + j] * c[j];
    }
    const double rss = std::fmax(0.0, yty_ - 2.0 * fitted + quadratic);
    const double dof = static_cast<double>(n_ + priors_ > k_ ? n_ + priors_ - k_ : 1);
    const double s2 = rss / dof;
    // The bias moves every parameter by -(X'X)^-1 X'1 per unit.
    double g[M] = {};
    for (std::size_t i = 0; i < k_; ++i) g[i] = sx_[i];
    solve_factored(l, k_, g);
    for (std::size_t j = 0; j < k_; ++j) {
        double e[M] = {};
        e[j] = 1.0;
        solve_factored(l, k_, e);  // column j of (X'X)^-1
        for (std::size_t i = 0; i < k_; ++i) out.covariance[i * M + j] = s2 * e[i] + bias_variance * g[i] * g[j];
    }
    for (std::size_t i = 0; i < k_; ++i) out.value[i] = c[i];
    out.residual_rms = std::sqrt(rss / static_cast<double>(n_));
    out.solved = true;
    return out;
}

void knot_weights(const double* knots, std::size_t count, double mach, double* out) noexcept {
    for (std::size_t j = 0; j < count; ++j) out[j] = 0.0;
    if (count == 1 || !(mach > knots[0])) {
        out[0] = 1.0;
        return;
    }
    if (mach >= knots[count - 1]) {
        out[count - 1] = 1.0;
        return;
    }
    std::size_t i = 0;
    while (mach >= knots[i + 1]) ++i;
    const double w = (mach - knots[i]) / (knots[i + 1] - knots[i]);
    out[i] = 1.0 - w;
    out[i + 1] = w;
}

}  // namespace aeso
