// A flight with its air-brake controller in the loop: at every tick (t0 +
// k / rate) the controller sees the sensed state and commands a deployment;
// the command reaches the actuator `delay` later and moves the brakes as the
// actuator allows. Ticks, command arrivals, the actuator's kinks and raw
// sensors' samples are step boundaries of the one run loop, whose observer
// acts on them; the loop knows nothing of controllers.
//
// With raw sensors a flight computer (flight_computer.hpp) runs on board:
// at a boundary the samples whose instant it is are read first (the
// barometer's, then the accelerometer's, from the state and the loop's own
// derivative there, with the brakes as they were before anything happens
// at that instant), and their row is fed to it with the deployment then
// (its model of the actuator is the flight's); then the commands arriving
// then, or within a nanosecond of it on either side, act; then the tick, if
// one is due, asks it for a decision. The first samples and the first tick
// are at the start, before any step.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "actuator.hpp"
#include "flight_computer.hpp"
#include "raw_sensors.hpp"
#include "real_air_run.hpp"
#include "sensor_noise.hpp"
#include "tick_record.hpp"

namespace aeso {

// The fastest a controller may tick (Hz): every tick is a step boundary, so
// a faster loop buys nothing a flight computer has and costs a step a tick.
inline constexpr double MAX_CONTROL_RATE = 10000.0;

// A flight computer's raw sensors and the estimator it reads them with:
// its barometer and accelerometer sample the flight at their own rates,
// the barometer's port in the flight's own air `air`; the estimator reads
// the barometer through the air the computer believes in (`estimator`'s
// frame) from its prior at the flight's start, whose time it takes and
// whose height is that of the start's static pressure in its frame (what a
// computer that had tracked its barometer would hold; the prior's velocity
// is the caller's).
struct RawSensorSettings {
    BarometerSettings barometer;
    AccelerometerSettings accelerometer;
    const AirColumn* air = nullptr;
    OnBoardEstimator estimator;
};

// What the controller is shown: the true state through the simple sensors'
// noise, or the estimate of a flight computer's raw sensors.
using SensorModel = std::variant<SensorSettings, RawSensorSettings>;

struct ControlSettings {
    double rate = 10.0;  // ticks per second, at most MAX_CONTROL_RATE
    ActuatorSettings actuator;
    SensorModel sensors;
    std::uint64_t seed = 0;
    std::uint64_t flight = 0;  // which flight of the seed (a study's sample)
    ControllerSettings controller;
};

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
    // The drag scale the flight computer learned by the end, and its sd
    // (NaN when it does not learn).
    double learned_scale = QUIET_NAN;
    double learned_scale_sd = QUIET_NAN;
    // The height the on-board estimator started from (NaN without raw
    // sensors).
    double start_height = QUIET_NAN;
};

// What a flight records besides its outcome: every tick, and with raw
// sensors every row of samples (its sensor log).
struct ControlledRecords {
    std::vector<TickRecord> ticks;
    std::vector<SampleRecord> samples;
};

// Flies the controlled flight; with `records`, records there.
ControlledOutcome fly_controlled(const RocketProperties& rocket, const Initial1DOF& initial, const RealRun& run,
                                 double drag_scale, const ControlSettings& control,
                                 ControlledRecords* records = nullptr);
ControlledOutcome fly_controlled(const RocketProperties& rocket, const Initial3DOF& initial, const RealRun& run,
                                 double drag_scale, const ControlSettings& control,
                                 ControlledRecords* records = nullptr);

}  // namespace aeso
