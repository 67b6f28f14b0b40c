// One integration step of each method, for either state kind.
//
// A step advances the state's dynamic variables and time by solver.dt() read
// at entry, leaves the derivative at the start of the step (k1) in the
// state's cache with the cache marked stale, and for RK45 replaces the step
// size with the controller's proposal. Stage states are value copies and
// derivatives fixed-size vectors: a step allocates nothing.
#pragma once

#include <cmath>

#include "dynamics.hpp"
#include "result.hpp"
#include "solver_config.hpp"
#include "step_control.hpp"

namespace aeso {

// Explicit Euler, first order.
struct EulerMethod {
    static constexpr OdeMethod method = OdeMethod::Euler;

    template <class S>
    static Status step(SolverConfig& solver, S& state) {
        const double dt = solver.dt();
        const auto k1 = derivatives(state);
        update(state, k1 * dt, dt);
        return Ok{};
    }
};

// Third-order strong-stability-preserving Runge-Kutta (Shu and Osher).
struct RK3Method {
    static constexpr OdeMethod method = OdeMethod::RK3;

    template <class S>
    static Status step(SolverConfig& solver, S& state) {
        const double dt = solver.dt();
        const auto k1 = derivatives(state);

        S s2 = state;
        update(s2, k1 * dt, 0.0);
        const auto k2 = derivatives(s2);

        const double w = dt * 0.25;
        S s3 = state;
        update(s3, k1 * w + k2 * w, 0.0);
        const auto k3 = derivatives(s3);

        const double h = dt / 6.0;
        update(state, (k1 * h + k2 * h) + k3 * (h * 4.0), dt);
        return Ok{};
    }
};

// Dormand-Prince 5(4) tableau, each coefficient the nearest double to its fraction.
namespace dopri {
inline constexpr double A21 = 1.0 / 5.0;
inline constexpr double A31 = 3.0 / 40.0, A32 = 9.0 / 40.0;
inline constexpr double A41 = 44.0 / 45.0, A42 = -56.0 / 15.0, A43 = 32.0 / 9.0;
inline constexpr double A51 = 19372.0 / 6561.0, A52 = -25360.0 / 2187.0, A53 = 64448.0 / 6561.0,
                        A54 = -212.0 / 729.0;
inline constexpr double A61 = 9017.0 / 3168.0, A62 = -355.0 / 33.0, A63 = 46732.0 / 5247.0,
                        A64 = 49.0 / 176.0, A65 = -5103.0 / 18656.0;
// Fifth-order weights, also the seventh stage's row.
inline constexpr double B1 = 35.0 / 384.0, B3 = 500.0 / 1113.0, B4 = 125.0 / 192.0,
                        B5 = -2187.0 / 6784.0, B6 = 11.0 / 84.0;
// Embedded fourth-order weights.
inline constexpr double E1 = 5179.0 / 57600.0, E3 = 7571.0 / 16695.0, E4 = 393.0 / 640.0,
                        E5 = -92097.0 / 339200.0, E6 = 187.0 / 2100.0, E7 = 1.0 / 40.0;
}  // namespace dopri

// Embedded Dormand-Prince 5(4): advances with the fifth-order solution and
// sets the next step size from the absolute, unweighted difference to the
// fourth-order one. Every step is accepted.
struct RK45Method {
    static constexpr OdeMethod method = OdeMethod::RK45;

    template <class S>
    static Status step(SolverConfig& solver, S& state) {
        using namespace dopri;
        const double dt = solver.dt();

        // Stage states add their terms onto a copy of the input one after another.
        const auto k1 = derivatives(state);
        const auto K1 = k1 * dt;

        S s = state;
        update(s, K1 * A21, 0.0);
        const auto K2 = derivatives(s) * dt;

        s = state;
        update(s, K1 * A31, 0.0);
        update(s, K2 * A32, 0.0);
        const auto K3 = derivatives(s) * dt;

        s = state;
        update(s, K1 * A41, 0.0);
        update(s, K2 * A42, 0.0);
        update(s, K3 * A43, 0.0);
        const auto K4 = derivatives(s) * dt;

        s = state;
        update(s, K1 * A51, 0.0);
        update(s, K2 * A52, 0.0);
        update(s, K3 * A53, 0.0);
        update(s, K4 * A54, 0.0);
        const auto K5 = derivatives(s) * dt;

        s = state;
        update(s, K1 * A61, 0.0);
        update(s, K2 * A62, 0.0);
        update(s, K3 * A63, 0.0);
        update(s, K4 * A64, 0.0);
        update(s, K5 * A65, 0.0);
        const auto K6 = derivatives(s) * dt;

        s = state;
        update(s, K1 * B1, 0.0);
        update(s, K3 * B3, 0.0);
        update(s, K4 * B4, 0.0);
        update(s, K5 * B5, 0.0);
        update(s, K6 * B6, 0.0);
        const auto K7 = derivatives(s) * dt;

        const auto I5 = K1 * B1 + K3 * B3 + K4 * B4 + K5 * B5 + K6 * B6;
        const auto I4 = K1 * E1 + K3 * E3 + K4 * E4 + K5 * E5 + K6 * E6 + K7 * E7;

        double sum = 0.0;
        for (std::size_t i = 0; i < S::N; ++i) {
            const double diff = I4.v[i] - I5.v[i];
            sum += diff * diff;
        }
        auto proposal = next_dt(solver.adaptive, std::sqrt(sum));
        if (!proposal) return std::move(proposal).error();
        solver.adaptive.dt = proposal.value();

        update(state, I5, dt);
        return Ok{};
    }
};

// Calls f with the stepper type selected by the run's method. Euler is 0,
// RK3 is 1, every other value is RK45.
template <class F>
decltype(auto) with_method(OdeMethod method, F&& f) {
    switch (method) {
        case OdeMethod::Euler:
            return f(EulerMethod{});
        case OdeMethod::RK3:
            return f(RK3Method{});
        default:
            return f(RK45Method{});
    }
}

// One step of the run's method; the dispatch for callers outside the main
// loop (the loop itself dispatches once per run).
template <class S>
Status step(SolverConfig& solver, S& state) {
    return with_method(solver.method, [&](auto m) { return decltype(m)::step(solver, state); });
}

}  // namespace aeso
