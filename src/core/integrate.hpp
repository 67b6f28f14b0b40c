// The steppers (one integration step of each method, for either state kind)
// and the controlled step that pairs a stepper with its time-step control.
//
// A stepper is a pure step of a given size: step(state, dt) advances the
// state's dynamic variables and time by `dt` and leaves the derivative at the
// start of the step (k1) in the state's cache with the cache marked stale.
// RK45 also returns the error norm of the step. Steppers read no
// configuration and cannot fail; choosing the next step size is the
// controlled step's job, and the loop keeps the size.
// Stage states are value copies and derivatives fixed-size vectors: a step
// allocates nothing.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <utility>
#include <variant>

#include "dynamics.hpp"
#include "result.hpp"
#include "solver_config.hpp"
#include "step_control.hpp"

namespace aeso {

// Places a stage state at its own time, start + c * dt, for aerodynamics that
// change with time (a brake schedule); other states keep the start's time,
// which nothing reads.
template <class S>
inline void set_stage_time(S& stage, double start, double c, double dt) noexcept {
    if constexpr (S::Aerodynamics::time_dependent) stage.time = start + c * dt;
}

// Explicit Euler, first order.
struct EulerMethod {
    static constexpr OdeMethod method = OdeMethod::Euler;
    using TimeStep = FixedTimeStep;

    template <class S>
    static void step(S& state, double dt) noexcept {
        const auto k1 = derivatives(state);
        update(state, k1 * dt, dt);
    }
};

// Third-order strong-stability-preserving Runge-Kutta (Shu and Osher).
struct RK3Method {
    static constexpr OdeMethod method = OdeMethod::RK3;
    using TimeStep = FixedTimeStep;

    template <class S>
    static void step(S& state, double dt) noexcept {
        const auto k1 = derivatives(state);

        S s2 = state;
        update(s2, k1 * dt, 0.0);
        set_stage_time(s2, state.time, 1.0, dt);
        const auto k2 = derivatives(s2);

        const double w = dt * 0.25;
        S s3 = state;
        update(s3, k1 * w + k2 * w, 0.0);
        set_stage_time(s3, state.time, 0.5, dt);
        const auto k3 = derivatives(s3);

        const double h = dt / 6.0;
        update(state, (k1 * h + k2 * h) + k3 * (h * 4.0), dt);
    }
};

// Dormand-Prince 5(4) tableau, each coefficient the nearest double to its
// fraction. Row s holds the coefficients of stage s + 1; the seventh row is
// the fifth-order weights.
namespace dopri {
inline constexpr double A[7][6] = {
    {},
    {1.0 / 5.0},
    {3.0 / 40.0, 9.0 / 40.0},
    {44.0 / 45.0, -56.0 / 15.0, 32.0 / 9.0},
    {19372.0 / 6561.0, -25360.0 / 2187.0, 64448.0 / 6561.0, -212.0 / 729.0},
    {9017.0 / 3168.0, -355.0 / 33.0, 46732.0 / 5247.0, 49.0 / 176.0, -5103.0 / 18656.0},
    {35.0 / 384.0, 0.0, 500.0 / 1113.0, 125.0 / 192.0, -2187.0 / 6784.0, 11.0 / 84.0},
};
// Fifth-order weights (b2 = b7 = 0).
inline constexpr double B1 = A[6][0], B3 = A[6][2], B4 = A[6][3], B5 = A[6][4], B6 = A[6][5];
// Stage times as fractions of the step (c2..c7).
inline constexpr double C[7] = {0.0, 1.0 / 5.0, 3.0 / 10.0, 4.0 / 5.0, 8.0 / 9.0, 1.0, 1.0};
// Embedded fourth-order weights (e2 = 0).
inline constexpr double E1 = 5179.0 / 57600.0, E3 = 7571.0 / 16695.0, E4 = 393.0 / 640.0,
                        E5 = -92097.0 / 339200.0, E6 = 187.0 / 2100.0, E7 = 1.0 / 40.0;

// Derivative at stage `Stage` (stages 2..7 are Stage 1..6): a copy of the
// input with the terms K_j * a_sj added one after another, zero terms skipped,
// at time t + c_s * dt.
template <std::size_t Stage, class S, class V>
[[gnu::always_inline]] inline V stage_derivative(const S& input, const std::array<V, 7>& K, double dt) noexcept {
    S s = input;
    [&]<std::size_t... J>(std::index_sequence<J...>) {
        ((A[Stage][J] != 0.0 ? update(s, K[J] * A[Stage][J], 0.0) : void()), ...);
    }(std::make_index_sequence<Stage>{});
    set_stage_time(s, input.time, C[Stage], dt);
    return derivatives(s);
}
}  // namespace dopri

// The outcome of an RK45 step not yet applied: the fifth-order increment of
// the dynamic variables and the step's error norm.
template <class V>
struct TrialStep {
    V increment;
    double error_norm;
};

// Embedded Dormand-Prince 5(4): advances with the fifth-order solution and
// returns the error norm, the absolute, unweighted Euclidean difference to
// the fourth-order one. `trial` computes both without applying the
// increment, so a controller can judge the step before the state moves.
struct RK45Method {
    static constexpr OdeMethod method = OdeMethod::RK45;
    using TimeStep = AdaptiveTimeStep;

    // The step of `dt` from `state`, not applied (k1 is left in the cache).
    template <class S>
    static TrialStep<typename S::Vector> trial(S& state, double dt) noexcept {
        using namespace dopri;

        // K[j] = k_(j+1) * dt, the scaled derivative of each stage.
        std::array<typename S::Vector, 7> K;
        K[0] = derivatives(state) * dt;
        K[1] = stage_derivative<1>(state, K, dt) * dt;
        K[2] = stage_derivative<2>(state, K, dt) * dt;
        K[3] = stage_derivative<3>(state, K, dt) * dt;
        K[4] = stage_derivative<4>(state, K, dt) * dt;
        K[5] = stage_derivative<5>(state, K, dt) * dt;
        K[6] = stage_derivative<6>(state, K, dt) * dt;

        const auto I5 = K[0] * B1 + K[2] * B3 + K[3] * B4 + K[4] * B5 + K[5] * B6;
        const auto I4 = K[0] * E1 + K[2] * E3 + K[3] * E4 + K[4] * E5 + K[5] * E6 + K[6] * E7;

        double sum = 0.0;
        for (std::size_t i = 0; i < S::N; ++i) {
            const double diff = I4[i] - I5[i];
            sum += diff * diff;
        }
        return {I5, std::sqrt(sum)};
    }

    template <class S>
    static double step(S& state, double dt) noexcept {
        const auto t = trial(state, dt);
        update(state, t.increment, dt);
        return t.error_norm;
    }
};

// One step of `dt` under the stepper's time-step control; returns the size
// of the next step. A fixed step stays the same. An adaptive step is always
// accepted: the controller proposes the next size from its error norm before
// the increment is applied, and invalid bounds fail there, on the first step
// of a run, with the state unchanged.
template <class Stepper, class S>
Result<double> controlled_step(const FixedTimeStep&, S& state, double dt) noexcept {
    Stepper::step(state, dt);
    return dt;
}

template <class Stepper, class S>
Result<double> controlled_step(const AdaptiveTimeStep& control, S& state, double dt) {
    const auto trial = Stepper::trial(state, dt);
    Result<double> next = next_dt(control, dt, trial.error_norm);
    if (next) update(state, trial.increment, dt);
    return next;
}

// Calls f(stepper, time_step) with the stepper selected by the run's method
// and the time-step options of its kind. validate_solver_config pairs Euler
// and RK3 with FixedTimeStep, RK45 with AdaptiveTimeStep.
template <class F>
decltype(auto) with_stepper(const SolverConfig& solver, F&& f) {
    if (const auto* fixed = std::get_if<FixedTimeStep>(&solver.step)) {
        if (solver.method == OdeMethod::Euler) return f(EulerMethod{}, *fixed);
        return f(RK3Method{}, *fixed);
    }
    return f(RK45Method{}, *std::get_if<AdaptiveTimeStep>(&solver.step));
}

// One controlled step of the run's method; the dispatch for callers outside
// the main loop (the loop itself dispatches once per run).
template <class S>
Result<double> controlled_step(const SolverConfig& solver, S& state, double dt) {
    return with_stepper(solver, [&](auto stepper, const auto& time_step) {
        return controlled_step<decltype(stepper)>(time_step, state, dt);
    });
}

}  // namespace aeso
