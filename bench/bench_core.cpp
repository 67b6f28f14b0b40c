// Cost of the core's building blocks and of whole runs, for the reference
// rocket: mass 20 kg, cd 0.45, drag and lift areas 0.0081 m^2, moment of
// inertia 8.5 kg m^2, stability margin 0.25 m, lift slope 2 per radian,
// launched at 250 m/s (3-DOF: 0.05 rad off vertical, velocity along the
// body axis).
//
//   cmake -S . -B build/bench -G Ninja -DAESO_BUILD_BENCHMARKS=ON -DAESO_BUILD_PYTHON=OFF
//   cmake --build build/bench && build/bench/bench/bench_core
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <type_traits>

#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "core/dynamics.hpp"
#include "core/flight_log.hpp"
#include "core/integrate.hpp"
#include "core/raw_sensors.hpp"
#include "core/simulation.hpp"

namespace aeso {
namespace {

const RocketProperties kRocket{20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0};
const Initial1DOF kInitial1{0.0, 250.0};
const Initial3DOF kInitial3{0.0, 0.0, 0.05, -250.0 * std::sin(0.05), 250.0 * std::cos(0.05), 0.0};

Initial1DOF initial(State1DOF*) { return kInitial1; }
Initial3DOF initial(State3DOF*) { return kInitial3; }

template <class S>
S reference_state() {
    return make_state(kRocket, initial(static_cast<S*>(nullptr)));
}

OdeMethod method_of(const benchmark::State& st) { return static_cast<OdeMethod>(st.range(0)); }

void fail(benchmark::State& st, const Error& e) { st.SkipWithError(e.message.c_str()); }

// Marks a double as used. Google Benchmark 1.7's non-const DoNotOptimize lets
// GCC pick a general register for a double and hands back garbage; the const
// overload only reads it.
void keep(const double& x) { benchmark::DoNotOptimize(x); }

// ---------------------------------------------------------------- derivatives

template <class S>
void BM_Derivative(benchmark::State& st) {
    S s = reference_state<S>();
    for (auto _ : st) {
        // The opaque state keeps the compiler from hoisting the computation.
        benchmark::DoNotOptimize(s);
        auto d = compute_derivatives(s);
        benchmark::DoNotOptimize(d);
    }
}
BENCHMARK(BM_Derivative<State1DOF>)->Name("Derivative/1DOF");
BENCHMARK(BM_Derivative<State3DOF>)->Name("Derivative/3DOF");

// ---------------------------------------------------------------- one step

// One controlled step (the step and, for RK45, the controller's proposal)
// of the default first size from the initial state; the state starts over
// every time, so every iteration does the same work.
template <class Method, class S>
void BM_Step(benchmark::State& st) {
    const SolverConfig solver = validate_solver_config(Method::method, std::nullopt).value();
    const auto& time_step = std::get<typename Method::TimeStep>(solver.step);
    const S s0 = reference_state<S>();
    for (auto _ : st) {
        S s = s0;
        double dt = time_step.dt;
        benchmark::DoNotOptimize(s);
        benchmark::DoNotOptimize(dt);
        Result<double> next = controlled_step<Method>(time_step, s, dt);
        benchmark::DoNotOptimize(next);
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_Step<EulerMethod, State1DOF>)->Name("Step/Euler/1DOF");
BENCHMARK(BM_Step<RK3Method, State1DOF>)->Name("Step/RK3/1DOF");
BENCHMARK(BM_Step<RK45Method, State1DOF>)->Name("Step/RK45/1DOF");
BENCHMARK(BM_Step<EulerMethod, State3DOF>)->Name("Step/Euler/3DOF");
BENCHMARK(BM_Step<RK3Method, State3DOF>)->Name("Step/RK3/3DOF");
BENCHMARK(BM_Step<RK45Method, State3DOF>)->Name("Step/RK45/3DOF");

// ---------------------------------------------------------------- sensor samples

// One sample of a flight computer's sensor from the state at its instant:
// the barometer's port air from the day's air (closed forms, 1401 m site),
// its Mach error, lag, noise and quantisation; the accelerometer's axial
// specific force from the state's derivative, its bias, scale and noise.
void BM_BarometerSample(benchmark::State& st) {
    const LinearCurve mach_error({0.5, 0.9, 1.1}, {0.0, 0.08, -0.05});
    const AirColumn air(1401.0, 0.0, atmosphere::standard_pressure(1401.0));
    Barometer baro(BarometerSettings{50.0, 2.0, 0.02, 1.0, &mach_error}, 0.0, 1, 0);
    State3DOF s = reference_state<State3DOF>();
    for (auto _ : st) {
        benchmark::DoNotOptimize(s);
        keep(baro.sample(port_air(air, s)));
    }
}
BENCHMARK(BM_BarometerSample)->Name("Sample/Barometer");

template <class S>
void BM_AccelerometerSample(benchmark::State& st) {
    Accelerometer accel(AccelerometerSettings{100.0, 0.05, 0.01, 0.005}, 0.0, 1, 0);
    S s = reference_state<S>();
    for (auto _ : st) {
        benchmark::DoNotOptimize(s);
        keep(accel.sample(axial_specific_force(s, compute_derivatives(s))));
    }
}
BENCHMARK(BM_AccelerometerSample<State1DOF>)->Name("Sample/Accelerometer/1DOF");
BENCHMARK(BM_AccelerometerSample<State3DOF>)->Name("Sample/Accelerometer/3DOF");

// ---------------------------------------------------------------- whole runs

RunSettings settings_for(OdeMethod m, bool print = false) {
    RunSettings s{m, std::nullopt, DEFAULT_MAX_ITERATIONS, print};
    return s;
}

// A whole run of `run` (one of the four run operations) from `initial`.
template <auto run, const auto& initial>
void BM_Run(benchmark::State& st) {
    const RunSettings settings = settings_for(method_of(st));
    double result = 0.0;
    for (auto _ : st) {
        auto r = run(kRocket, initial, settings);
        if (!r) return fail(st, r.error());
        if constexpr (std::is_same_v<decltype(r), Result<double>>) {
            result = r.value();  // the apogee
        } else {
            result = static_cast<double>(r.value().size());  // the rows logged
            benchmark::DoNotOptimize(r.value().rows());
        }
        keep(result);
    }
    st.counters[std::is_same_v<decltype(run(kRocket, initial, settings)), Result<double>> ? "apogee_m"
                                                                                         : "rows"] = result;
}

void methods(benchmark::internal::Benchmark* b) {
    b->ArgName("method");
    for (OdeMethod m : {OdeMethod::Euler, OdeMethod::RK3, OdeMethod::RK45}) {
        b->Arg(static_cast<int64_t>(m));
    }
}
BENCHMARK(BM_Run<predict_apogee_1dof, kInitial1>)->Name("PredictApogee/1DOF")->Apply(methods);
BENCHMARK(BM_Run<predict_apogee_3dof, kInitial3>)->Name("PredictApogee/3DOF")->Apply(methods);
BENCHMARK(BM_Run<simulate_flight_1dof, kInitial1>)->Name("SimulateFlight/1DOF")->Apply(methods);
BENCHMARK(BM_Run<simulate_flight_3dof, kInitial3>)->Name("SimulateFlight/3DOF")->Apply(methods);

// A prediction that stops after its first step (launched at 0.4 m/s, below
// the 0.5 m/s threshold): one Euler step and the interpolated final step.
// The Python layer's overhead is a call of the same run minus this.
const Initial1DOF kSlowLaunch{0.0, 0.4};

BENCHMARK(BM_Run<predict_apogee_1dof, kSlowLaunch>)->Name("PredictApogee/1DOF/single_step")->Apply(methods);

// ---------------------------------------------------------------- output on

// Redirects file descriptor 1 to /dev/null while alive, so printing runs can
// be timed without flooding the terminal.
class StdoutToDevNull {
public:
    StdoutToDevNull() {
        std::cout.flush();
        std::fflush(stdout);
        saved_ = ::dup(1);
        const int null_fd = ::open("/dev/null", O_WRONLY);
        ::dup2(null_fd, 1);
        ::close(null_fd);
    }
    ~StdoutToDevNull() {
        ::dup2(saved_, 1);
        ::close(saved_);
    }
    StdoutToDevNull(const StdoutToDevNull&) = delete;
    StdoutToDevNull& operator=(const StdoutToDevNull&) = delete;

private:
    int saved_ = -1;
};

void BM_Predict3DOFPrinting(benchmark::State& st) {
    const RunSettings settings = settings_for(method_of(st), true);
    StdoutToDevNull quiet;
    for (auto _ : st) {
        Result<double> r = predict_apogee_3dof(kRocket, kInitial3, settings);
        if (!r) return fail(st, r.error());
        keep(r.value());
    }
}
BENCHMARK(BM_Predict3DOFPrinting)->Name("PredictApogeePrintingToDevNull/3DOF")->Apply(methods);

}  // namespace
}  // namespace aeso

BENCHMARK_MAIN();
