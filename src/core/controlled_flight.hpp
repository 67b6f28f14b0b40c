// A flight with its air-brake controller in the loop: at every tick (t0 +
// k / rate) the controller sees the sensed state and commands a deployment;
// the command reaches the actuator `delay` later and moves the brakes as the
// actuator allows. Ticks, command arrivals and the actuator's kinks are step
// boundaries of the one run loop, whose observer acts on them; the loop
// knows nothing of controllers.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "actuator.hpp"
#include "linear_table.hpp"
#include "real_air_run.hpp"
#include "sensor_noise.hpp"

namespace aeso {

enum class ControllerKind : std::uint8_t {
    Predictive = 0,  // the deployment whose predicted apogee is the target
    Pid = 1,         // PID on the predicted apogee's error
    Schedule = 2,    // a recorded actuation replayed
    External = 3,    // a function of the caller's
};

// What a controller predicts with: its own rocket, air, drag and step
// options, which may differ from the flight's (a 1-DOF predictor on a 3-DOF
// flight, the constant air, a brake table that is off).
struct Predictor {
    int dof = 1;  // 1 or 3 (3 needs a 3-DOF flight)
    RocketProperties rocket{};
    RealRun run{};
    double drag_scale = 1.0;
};

// A controller of the caller's: `decide` sets `level` from the tick's time,
// the sensed state (height and vertical velocity, or the six 3-DOF values)
// and the deployment now; returning false ends the flight (the context
// keeps why).
struct ExternalController {
    void* context = nullptr;
    bool (*decide)(void* context, double time, const double* sensed, int size, double deployment,
                   double& level) = nullptr;
};

struct ControllerSettings {
    ControllerKind kind = ControllerKind::Predictive;
    double target = 0.0;  // the controller's target apogee (m above the pad)
    Predictor predictor;  // Predictive and Pid
    double kp = 0.0, ki = 0.0, kd = 0.0;
    const LinearCurve* schedule = nullptr;
    ExternalController external;
};

struct ControlSettings {
    double rate = 10.0;  // ticks per second
    ActuatorSettings actuator;
    SensorSettings sensors;
    std::uint64_t seed = 0;
    std::uint64_t flight = 0;  // which flight of the seed (a study's sample)
    ControllerSettings controller;
};

// One tick: what was true, what was sensed, what was decided.
struct TickRecord {
    double time;
    double true_height;
    double true_velocity;  // vertical
    double sensed_height;
    double sensed_velocity;
    double predicted_apogee;  // the controller's (NaN when it made none)
    double commanded;
    double actual;  // the deployment at the tick
    std::uint32_t predictions;
};

struct ControlledOutcome {
    RealOutcome flight;
    bool controller_failed = false;  // an external controller ended the flight
    double final_deployment = QUIET_NAN;
    double travel = 0.0;  // the deployment's total movement, sampled at ticks and the end
    std::uint64_t ticks = 0;
    std::uint64_t predictions = 0;
};

// Flies the controlled flight; with `ticks`, records every tick there.
ControlledOutcome fly_controlled(const RocketProperties& rocket, const Initial1DOF& initial, const RealRun& run,
                                 double drag_scale, const ControlSettings& control,
                                 std::vector<TickRecord>* ticks = nullptr,
                                 const std::atomic<bool>* stop = nullptr);
ControlledOutcome fly_controlled(const RocketProperties& rocket, const Initial3DOF& initial, const RealRun& run,
                                 double drag_scale, const ControlSettings& control,
                                 std::vector<TickRecord>* ticks = nullptr,
                                 const std::atomic<bool>* stop = nullptr);

}  // namespace aeso
