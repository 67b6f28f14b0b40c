// A flight with its air-brake controller in the loop: at every tick (t0 +
// k / rate) the controller sees the sensed state and commands a deployment;
// the command reaches the actuator `delay` later and moves the brakes as the
// actuator allows. Ticks, command arrivals and the actuator's kinks are step
// boundaries of the one run loop, whose observer acts on them; the loop
// knows nothing of controllers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "actuator.hpp"
#include "linear_table.hpp"
#include "real_air_run.hpp"
#include "sensor_noise.hpp"

namespace aeso {

// The fastest a controller may tick (Hz): every tick is a step boundary, so
// a faster loop buys nothing a flight computer has and costs a step a tick.
inline constexpr double MAX_CONTROL_RATE = 10000.0;

// What a controller predicts with: its own rocket, air, drag and step
// options, which may differ from the flight's (a 1-DOF predictor on a 3-DOF
// flight, the constant air, a brake table that is off). The run's stop flag
// is the flight's.
struct Predictor {
    int dof = 1;  // 1 or 3 (3 needs a 3-DOF flight)
    RocketProperties rocket{};
    RealRun run{};
    double drag_scale = 1.0;
};

// The controllers: one of these, each with its own settings.
//
// Predictive: the deployment whose predicted apogee (brakes held from the
// tick on) is the target, warm-started from the last answer.
struct PredictiveSettings {
    double target = 0.0;  // m above the pad
    Predictor predictor;
};
// PID on the error of the apogee predicted with the brakes held as they are.
struct PidSettings {
    double target = 0.0;
    Predictor predictor;
    double kp = 0.0, ki = 0.0, kd = 0.0;
};
// A recorded actuation replayed: the command is the schedule's level at the
// tick's time from the start.
struct ScheduleSettings {
    const LinearCurve* schedule = nullptr;
};
// A controller of the caller's: `decide` sets `level` from the tick's time,
// the sensed state (height and vertical velocity, or the six 3-DOF values)
// and the deployment now; returning false ends the flight (the context
// keeps why).
struct ExternalSettings {
    void* context = nullptr;
    bool (*decide)(void* context, double time, const double* sensed, int size, double deployment,
                   double& level) = nullptr;
};
using ControllerSettings = std::variant<PredictiveSettings, PidSettings, ScheduleSettings, ExternalSettings>;

// The controllers by the names the compiled module exports, in the order
// of the variant's alternatives (their index is the controller's kind).
inline constexpr std::array<const char*, std::variant_size_v<ControllerSettings>> CONTROLLER_NAMES{
    "predictive", "pid", "schedule", "external"};

struct ControlSettings {
    double rate = 10.0;  // ticks per second, at most MAX_CONTROL_RATE
    ActuatorSettings actuator;
    SensorSettings sensors;
    std::uint64_t seed = 0;
    std::uint64_t flight = 0;  // which flight of the seed (a study's sample)
    ControllerSettings controller;
};

// One tick: what was true, what was sensed, what was decided. A column per
// TickColumn, named by TICK_COLUMN_NAMES (the compiled module exports them,
// and the tick log's arrays are read by those names).
enum TickColumn : std::size_t {
    TIME,
    TRUE_HEIGHT,
    TRUE_VELOCITY,     // vertical
    SENSED_HEIGHT,
    SENSED_VELOCITY,
    PREDICTED_APOGEE,  // the controller's (NaN when it made none)
    COMMANDED,
    ACTUAL,            // the deployment at the tick
    PREDICTIONS,       // the predictions the decision used
    TICK_COLUMNS,
};
inline constexpr std::array<const char*, TICK_COLUMNS> TICK_COLUMN_NAMES{
    "time", "true_height", "true_velocity", "sensed_height", "sensed_velocity", "predicted_apogee",
    "commanded", "actual", "predictions"};
using TickRecord = std::array<double, TICK_COLUMNS>;

struct ControlledOutcome {
    FlightOutcome flight;
    double final_deployment = QUIET_NAN;
    double travel = 0.0;  // the deployment's total movement, sampled at ticks and the end
    std::uint64_t ticks = 0;
    std::uint64_t predictions = 0;
    // Decisions whose prediction failed (the controller then kept its last
    // command), and the status of the first such prediction.
    std::uint64_t failed_decisions = 0;
    FlightStatus decision_failure = FlightStatus::Ok;
};

// Flies the controlled flight; with `ticks`, records every tick there.
ControlledOutcome fly_controlled(const RocketProperties& rocket, const Initial1DOF& initial, const RealRun& run,
                                 double drag_scale, const ControlSettings& control,
                                 std::vector<TickRecord>* ticks = nullptr);
ControlledOutcome fly_controlled(const RocketProperties& rocket, const Initial3DOF& initial, const RealRun& run,
                                 double drag_scale, const ControlSettings& control,
                                 std::vector<TickRecord>* ticks = nullptr);

}  // namespace aeso
