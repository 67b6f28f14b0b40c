// Equations of motion and the one-entry derivative cache.
//
// Every expression is evaluated in exactly the order written (the build
// forbids FMA contraction), so results are reproducible to the last bit.
#pragma once

#include <cmath>

#include "constants.hpp"
#include "state.hpp"

namespace aeso {

namespace detail {
// The lift direction is the velocity turned by sigma * pi/2 with sigma = +-1,
// so sin and cos of that angle only ever take these two library values (cos
// of pi/2 is about 6.1e-17, not zero). They are evaluated once instead of on
// every derivative; sin is odd and cos even, so -pi/2 needs no extra call.
inline const double SIN_HALF_PI = std::sin(HALF_PI);
inline const double COS_HALF_PI = std::cos(HALF_PI);
}  // namespace detail

// 1-DOF: rate of height and acceleration under drag (always downwards, v*v)
// and gravity.
template <class Aero>
[[gnu::always_inline]] inline StateVector1DOF compute_derivatives(const Vertical<Aero>& s) noexcept {
    const double v = s.velocity;
    const RocketProperties& r = s.rocket;
    const AirCoefficients air = s.aero.coefficients(r, std::fabs(v), s.height, s.time);
    double cd = air.cd;
    if constexpr (Aero::has_added_drag) {
        // In vertical flight all drag is along the airspeed.
        if (air.cd_added != 0.0) cd = cd + air.cd_added;
    }
    const double accel = ((((v * v) * (-air.half_rho)) * cd) * r.area_drag) / r.mass + (-GRAVITY);
    return {{v, accel}};
}

// 3-DOF: planar translation and pitch under drag, lift and gravity. Drag
// without moment (air brakes) is added after the moment is taken.
template <class Aero>
[[gnu::always_inline]] inline StateVector3DOF compute_derivatives(const Planar<Aero>& s) noexcept {
    const RocketProperties& r = s.rocket;
    const double vx = s.vx;
    const double vy = s.vy;
    const double k = r.cl_a;
    const double A = r.area_drag;  // lift also uses the drag reference area
    const double d = r.stab_margin_dimensional;

    const double st = std::sin(s.angle);
    const double ct = std::cos(s.angle);
    const double v = std::sqrt(vy * vy + vx * vx);

    double fx = 0.0;
    double fy = 0.0;
    [[maybe_unused]] double g_added = 0.0;
    // At exactly zero airspeed there is no aerodynamic force; the formulas
    // below would divide 0 by 0. A NaN speed takes the general path.
    if (v != 0.0) {
        // Which side of the velocity the nose lies on: +1, -1, or NaN.
        const double p = st * vy + vx * ct;
        const double sigma = std::isnan(p) ? p : std::copysign(1.0, p);

        // Cosine of the angle of attack. Rounding can push it just past +-1
        // when the rocket flies exactly nose (or tail) first; acos would then
        // return NaN, so it is clamped. NaN stays NaN.
        double c = (ct * vy - st * vx) / v;
        if (c > 1.0) {
            c = 1.0;
        } else if (c < -1.0) {
            c = -1.0;
        }
        const double alpha = std::fabs(std::acos(c) * sigma);
        const double q = v * v;
        const AirCoefficients air = s.aero.coefficients(r, v, s.y, s.time);

        const double g_drag = (((-air.half_rho * q) * (k * alpha + air.cd)) * A) / v;
        const double drag_x = vx * g_drag;
        const double drag_y = g_drag * vy;

        const double g_lift = ((((q * air.half_rho) * k) * alpha) * A) / v;

        double s_psi;
        double c_psi;
        if (sigma > 0.0) {
            s_psi = detail::SIN_HALF_PI;
            c_psi = detail::COS_HALF_PI;
        } else if (sigma < 0.0) {
            s_psi = -detail::SIN_HALF_PI;
            c_psi = detail::COS_HALF_PI;
        } else {  // NaN sigma
            s_psi = sigma;
            c_psi = sigma;
        }
        const double turned_x = vx * c_psi - s_psi * vy;
        const double turned_y = vy * c_psi + vx * s_psi;

        fx = turned_x * g_lift + drag_x;
        fy = g_lift * turned_y + drag_y;
        if constexpr (Aero::has_added_drag) {
            if (air.cd_added != 0.0) g_added = (((-air.half_rho * q) * air.cd_added) * A) / v;
        }
    }

    const double torque = (st * d) * fy + (ct * d) * fx;
    if constexpr (Aero::has_added_drag) {
        if (g_added != 0.0) {
            fx = fx + vx * g_added;
            fy = fy + g_added * vy;
        }
    }
    const double w = 1.0 / r.mass;
    const double ax = fx * w;
    const double ay = w * fy + (-GRAVITY);
    const double eps = torque / r.moment_of_inertia;
    return {{vx, vy, s.angular_rate, ax, ay, eps}};
}

// The derivative of the state's current values, computed at most once
// between two updates.
template <class S>
[[gnu::always_inline]] inline typename S::Vector derivatives(S& s) noexcept {
    if (!s.derivatives_valid) {
        s.cached_derivatives = compute_derivatives(s).values;
        s.derivatives_valid = true;
    }
    return {s.cached_derivatives};
}

}  // namespace aeso
