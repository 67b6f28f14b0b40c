// The state of one flight and the vectors that move it.
//
// The kind of flight (1-DOF or 3-DOF) is a type: a StateVector1DOF cannot be
// added to a StateVector3DOF, nor applied to a State3DOF, so a kind mismatch
// is a compile error instead of a run-time check. So is the air a state flies
// in (its aerodynamics): every integrator and the run loop are templates over
// the state, and exist once for every kind of air.
#pragma once

#include <array>
#include <cstddef>
#include <limits>

#include "aerodynamics.hpp"
#include "rocket_properties.hpp"

namespace aeso {

// A derivative (rates) or an increment (rates times a time span), one value
// per dynamic variable of the matching state kind, in the same order.
template <std::size_t N>
struct StateVector {
    std::array<double, N> values;

    double operator[](std::size_t i) const noexcept { return values[i]; }

    friend StateVector operator+(const StateVector& a, const StateVector& b) noexcept {
        StateVector r;
        for (std::size_t i = 0; i < N; ++i) r.values[i] = a.values[i] + b.values[i];
        return r;
    }
    friend StateVector operator*(const StateVector& a, double s) noexcept {
        StateVector r;
        for (std::size_t i = 0; i < N; ++i) r.values[i] = a.values[i] * s;
        return r;
    }
};

using StateVector1DOF = StateVector<2>;
using StateVector3DOF = StateVector<6>;

inline constexpr double QUIET_NAN = std::numeric_limits<double>::quiet_NaN();

// Purely vertical flight in the air of `Aero` (see aerodynamics.hpp).
template <class Aero>
struct Vertical {
    static constexpr std::size_t N = 2;
    using Vector = StateVector1DOF;
    using Aerodynamics = Aero;

    double height;    // m
    double velocity;  // m/s, positive upwards
    // (rate of height, acceleration); stale after update until recomputed
    std::array<double, N> cached_derivatives{QUIET_NAN, QUIET_NAN};
    RocketProperties rocket;
    // The air, drag and brakes: empty for aeso's constant air, a pointer to an
    // immutable model otherwise (states are copied at every stage).
    [[no_unique_address]] Aero aero;
    double time = 0.0;
    bool derivatives_valid = false;

    double vertical_velocity() const noexcept { return velocity; }
    double altitude() const noexcept { return height; }
};

// Planar flight with attitude in the air of `Aero`.
template <class Aero>
struct Planar {
    static constexpr std::size_t N = 6;
    using Vector = StateVector3DOF;
    using Aerodynamics = Aero;

    double x;             // m
    double y;             // m, the altitude
    double angle;         // rad, 0 = nose straight up, positive counter-clockwise
    double vx;            // m/s
    double vy;            // m/s, positive upwards
    double angular_rate;  // rad/s
    // (vx, vy, angular_rate, d vx/dt, d vy/dt, d angular_rate/dt)
    std::array<double, N> cached_derivatives{QUIET_NAN, QUIET_NAN, QUIET_NAN,
                                             QUIET_NAN, QUIET_NAN, QUIET_NAN};
    RocketProperties rocket;
    [[no_unique_address]] Aero aero;
    double time = 0.0;
    bool derivatives_valid = false;

    double vertical_velocity() const noexcept { return vy; }
    double altitude() const noexcept { return y; }
};

// aeso's states: the sea-level air and one drag coefficient.
using State1DOF = Vertical<ConstantAero>;
using State3DOF = Planar<ConstantAero>;

struct Initial1DOF {
    double height;
    double velocity;
};

struct Initial3DOF {
    double x, y, angle, vx, vy, angular_rate;
};

// A new state: the initial values, the rocket's properties, the air, time 0
// and a stale cache holding NaN (the member defaults above).
template <class Aero = ConstantAero>
inline Vertical<Aero> make_state(const RocketProperties& rocket, const Initial1DOF& init,
                                 const Aero& aero = Aero{}) noexcept {
    Vertical<Aero> s{};
    s.height = init.height;
    s.velocity = init.velocity;
    s.rocket = rocket;
    s.aero = aero;
    return s;
}

template <class Aero = ConstantAero>
inline Planar<Aero> make_state(const RocketProperties& rocket, const Initial3DOF& init,
                               const Aero& aero = Aero{}) noexcept {
    Planar<Aero> s{};
    s.x = init.x;
    s.y = init.y;
    s.angle = init.angle;
    s.vx = init.vx;
    s.vy = init.vy;
    s.angular_rate = init.angular_rate;
    s.rocket = rocket;
    s.aero = aero;
    return s;
}

// Adds the increment to the dynamic variables and dt to the time, and marks
// the cached derivative stale (its values are kept).
template <class Aero>
inline void update(Vertical<Aero>& s, const StateVector1DOF& inc, double dt) noexcept {
    s.height += inc[0];
    s.velocity += inc[1];
    s.time += dt;
    s.derivatives_valid = false;
}

template <class Aero>
inline void update(Planar<Aero>& s, const StateVector3DOF& inc, double dt) noexcept {
    s.x += inc[0];
    s.y += inc[1];
    s.angle += inc[2];
    s.vx += inc[3];
    s.vy += inc[4];
    s.angular_rate += inc[5];
    s.time += dt;
    s.derivatives_valid = false;
}

}  // namespace aeso
