#include "state_estimator.hpp"

#include <cmath>

#include "constants.hpp"

namespace aeso {

namespace {

using atmosphere::GAS_CONSTANT;
using atmosphere::STANDARD_GRAVITY;

Matrix3 multiply(const Matrix3& a, const Matrix3& b) noexcept {
    Matrix3 c{};
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            c[3 * i + j] = a[3 * i] * b[j] + a[3 * i + 1] * b[3 + j] + a[3 * i + 2] * b[6 + j];
        }
    }
    return c;
}

// a b^T
Matrix3 multiply_transposed(const Matrix3& a, const Matrix3& b) noexcept {
    Matrix3 c{};
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            c[3 * i + j] = a[3 * i] * b[3 * j] + a[3 * i + 1] * b[3 * j + 1] + a[3 * i + 2] * b[3 * j + 2];
        }
    }
    return c;
}

// The mean of a matrix and its transpose: covariances stay symmetric.
void symmetrise(Matrix3& p) noexcept {
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = i + 1; j < 3; ++j) {
            const double m = 0.5 * (p[3 * i + j] + p[3 * j + i]);
            p[3 * i + j] = m;
            p[3 * j + i] = m;
        }
    }
}

// The inverse of a symmetric positive definite matrix by its adjugate; false
// if its determinant is not positive.
bool invert(const Matrix3& a, Matrix3& out) noexcept {
    const double c00 = a[4] * a[8] - a[5] * a[7];
    const double c01 = a[5] * a[6] - a[3] * a[8];
    const double c02 = a[3] * a[7] - a[4] * a[6];
    const double det = a[0] * c00 + a[1] * c01 + a[2] * c02;
    if (!(det > 0.0) || !std::isfinite(det)) return false;
    const double inv = 1.0 / det;
    out = {c00 * inv,
           (a[2] * a[7] - a[1] * a[8]) * inv,
           (a[1] * a[5] - a[2] * a[4]) * inv,
           c01 * inv,
           (a[0] * a[8] - a[2] * a[6]) * inv,
           (a[2] * a[3] - a[0] * a[5]) * inv,
           c02 * inv,
           (a[1] * a[6] - a[0] * a[7]) * inv,
           (a[0] * a[4] - a[1] * a[3]) * inv};
    return true;
}

}  // namespace

BarometerFrame::BarometerFrame(const AirColumn& column, double pad_pressure) noexcept
    : column_(column), pad_pressure_(pad_pressure), scale_(column.at(0.0).pressure / pad_pressure) {}

BarometerFrame::Reading BarometerFrame::height_of(double pressure) const noexcept {
    const double p = pressure * scale_;
    const AirColumn::Level level = column_.level_of(p);
    // dH/dp = -R T / (g0 p) in the column; dz/dH = (r0 / (r0 - H))^2 with
    // r0 - H = r0^2 / (r0 + z).
    const double z = column_.site_elevation() + level.height;
    const double stretch = (atmosphere::EARTH_RADIUS + z) / atmosphere::EARTH_RADIUS;
    const double per_pascal = (GAS_CONSTANT * level.temperature) / (STANDARD_GRAVITY * p) * scale_;
    return {level.height, per_pascal * (stretch * stretch), pressure / (GAS_CONSTANT * level.temperature) * scale_};
}

Matrix3 transition(double dt, bool reset) noexcept {
    return {1.0, dt, -0.5 * dt * dt, 0.0, 1.0, -dt, 0.0, 0.0, reset ? 0.0 : 1.0};
}

StateEstimator::StateEstimator(const EstimatorSettings& settings, const BarometerFrame& frame,
                               const FilterPoint& prior) noexcept
    : settings_(settings), frame_(frame), point_(prior) {}

void StateEstimator::predict(double dt, double specific_force, bool driven) noexcept {
    if (!(dt > 0.0)) return;
    Vector3& x = point_.x;
    const double a = (specific_force - GRAVITY) - x[2];
    const double dt2 = dt * dt;
    x[0] = x[0] + x[1] * dt + 0.5 * a * dt2;
    x[1] = x[1] + a * dt;
    point_.time = point_.time + dt;

    // F P F^T with F = [[1, a, b], [0, 1, c], [0, 0, 1]], written out on the
    // upper triangle (F's zeros and ones cost nothing).
    const double fa = dt;
    const double fb = -0.5 * dt2;
    const double fc = -dt;
    const Matrix3& q = point_.p;
    const double r00 = q[0] + fa * q[1] + fb * q[2];
    const double r01 = q[1] + fa * q[4] + fb * q[5];
    const double r02 = q[2] + fa * q[5] + fb * q[8];
    const double r11 = q[4] + fc * q[5];
    const double r12 = q[5] + fc * q[8];
    Matrix3 p;
    p[0] = r00 + fa * r01 + fb * r02;
    p[1] = r01 + fc * r02;
    p[2] = r02;
    p[4] = r11 + fc * r12;
    p[5] = r12;
    p[8] = q[8];
    // White acceleration (q_a) on the velocity's rate, and the third state's
    // random walk (q_b) integrated into the velocity and the height.
    const double qa = settings_.acceleration_psd;
    const double qb = driven ? settings_.bias_drift_psd : settings_.free_drift_psd;
    const double dt3 = dt2 * dt;
    const double dt4 = dt3 * dt;
    const double dt5 = dt4 * dt;
    p[0] += qa * dt3 * (1.0 / 3.0) + qb * dt5 * (1.0 / 20.0);
    p[1] += qa * dt2 * 0.5 + qb * dt4 * 0.125;
    p[2] += -qb * dt3 * (1.0 / 6.0);
    p[4] += qa * dt + qb * dt3 * (1.0 / 3.0);
    p[5] += -qb * dt2 * 0.5;
    p[8] += qb * dt;
    p[3] = p[1];
    p[6] = p[2];
    p[7] = p[5];
    point_.p = p;
}

void StateEstimator::shift_third(double shift, double variance) noexcept {
    point_.x[2] = point_.x[2] + shift;
    point_.p[8] = point_.p[8] + variance;
}

void StateEstimator::reset_third(double value, double variance) noexcept {
    point_.x[2] = value;
    point_.p[2] = point_.p[5] = point_.p[6] = point_.p[7] = 0.0;
    point_.p[8] = variance;
}

bool StateEstimator::update(std::size_t i, double value, double variance, bool gated) noexcept {
    Vector3& x = point_.x;
    Matrix3& p = point_.p;
    const double y = value - x[i];
    const double s = p[4 * i] + variance;
    if (!(s > 0.0)) return false;
    if (gated && y * y > (settings_.gate * settings_.gate) * s) return false;
    const Vector3 k = {p[i] / s, p[3 + i] / s, p[6 + i] / s};
    const Vector3 row = {p[3 * i], p[3 * i + 1], p[3 * i + 2]};
    for (std::size_t r = 0; r < 3; ++r) {
        x[r] = x[r] + k[r] * y;
        for (std::size_t c = 0; c < 3; ++c) p[3 * r + c] = p[3 * r + c] - k[r] * row[c];
    }
    symmetrise(p);
    return true;
}

bool StateEstimator::update_height(double height, double sd) noexcept { return update(0, height, sd * sd, true); }

bool StateEstimator::update_pressure(double pressure, bool driven) noexcept {
    const BarometerFrame::Reading r = frame_.height_of(pressure);
    const double v = point_.x[1];
    const double share = driven ? settings_.dynamic_error : settings_.free_dynamic_error;
    const double dynamic = share * (0.5 * r.density * (v * v));
    const double sd = settings_.barometer_sd * settings_.barometer_sd + dynamic * dynamic;
    return update(0, r.height, sd * (r.metres_per_pascal * r.metres_per_pascal), true);
}

void StateEstimator::update_velocity(double velocity, double sd) noexcept { update(1, velocity, sd * sd, false); }

EstimatorFeed::EstimatorFeed(const EstimatorSettings& settings, const BarometerFrame& frame,
                             const FilterPoint& prior) noexcept
    : filter_(settings, frame, prior),
      predicted_(prior),
      held_(GRAVITY),
      last_reading_(prior.time),
      kept_bias_(settings.bias),
      kept_bias_variance_(settings.bias_sd * settings.bias_sd) {}

FeedOutcome EstimatorFeed::feed(const SensorSample& s) noexcept {
    FeedOutcome out{true, false, false, false};
    const double dt = s.time - filter_.point().time;
    if (!(dt >= 0.0)) {
        out.in_order = false;
        return out;
    }
    const EstimatorSettings& set = filter_.settings();
    filter_.predict(dt, held_, driven_);
    const bool reading = !std::isnan(s.specific_force);
    if (driven_ && !reading && s.time - last_reading_ > set.hold_limit) {
        // The hold lapses: the third state becomes minus the acceleration
        // the held reading gave, -(f - g - b), known to a reading's noise.
        kept_bias_ = filter_.point().x[2];
        kept_bias_variance_ = filter_.point().p[8];
        filter_.shift_third(GRAVITY - held_, set.accelerometer_sd * set.accelerometer_sd);
        held_ = GRAVITY;
        driven_ = false;
    }
    if (reading && !driven_) {
        filter_.reset_third(kept_bias_, kept_bias_variance_);
        driven_ = true;
        out.reset = true;
    }
    predicted_ = filter_.point();
    if (reading) {
        held_ = s.specific_force;
        last_reading_ = s.time;
    }
    if (!std::isnan(s.pressure)) {
        out.pressure_used = filter_.update_pressure(s.pressure, driven_);
        out.pressure_gated = !out.pressure_used;
    }
    if (s.time < set.rest_until) filter_.update_velocity(0.0, set.rest_velocity_sd);
    return out;
}

bool smooth(const double* time, double* means, double* covariances, const Prediction* predicted,
            std::size_t n) noexcept {
    for (std::size_t k = n; k-- > 1;) {
        // Row k is smoothed; row k - 1 is the filter's, and predicted[k] the
        // prediction from it to row k.
        const double* next_x = means + 3 * k;
        const double* next_p = covariances + 9 * k;
        double* here_x = means + 3 * (k - 1);
        double* here_p = covariances + 9 * (k - 1);
        Matrix3 inverse;
        if (!invert(predicted[k].p, inverse)) return false;
        Matrix3 p_here;
        for (std::size_t i = 0; i < 9; ++i) p_here[i] = here_p[i];
        const Matrix3 f = transition(time[k] - time[k - 1], predicted[k].reset);
        // C = P F^T Pp^-1
        const Matrix3 gain = multiply(multiply_transposed(p_here, f), inverse);
        Vector3 dx;
        for (std::size_t i = 0; i < 3; ++i) dx[i] = next_x[i] - predicted[k].x[i];
        Matrix3 dp;
        for (std::size_t i = 0; i < 9; ++i) dp[i] = next_p[i] - predicted[k].p[i];
        const Matrix3 correction = multiply_transposed(multiply(gain, dp), gain);
        for (std::size_t i = 0; i < 3; ++i) {
            here_x[i] = here_x[i] + (gain[3 * i] * dx[0] + gain[3 * i + 1] * dx[1] + gain[3 * i + 2] * dx[2]);
        }
        for (std::size_t i = 0; i < 9; ++i) p_here[i] = p_here[i] + correction[i];
        symmetrise(p_here);
        for (std::size_t i = 0; i < 9; ++i) here_p[i] = p_here[i];
    }
    return true;
}

}  // namespace aeso
