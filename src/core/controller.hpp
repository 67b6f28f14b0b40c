// The air-brake controllers: their settings, and each one's memory between
// ticks as it runs (a flight computer holds one, see flight_computer.hpp).
#pragma once

#include <array>
#include <optional>
#include <variant>

#include "apogee_inverse.hpp"
#include "flight_status.hpp"
#include "pressure_altitude.hpp"
#include "real_air_run.hpp"
#include "tick_record.hpp"

namespace aeso {

// What a controller predicts with: its own rocket, air, drag and step
// options, which may differ from the flight's (a 1-DOF predictor on a 3-DOF
// flight, the constant air, a brake table that is off). The run's stop flag
// is the flight's. `column` is its air's closed form (null for the constant
// air): the air its altimeter reads in, and its barometer.
struct Predictor {
    int dof = 1;  // 1 or 3 (3 needs a 3-DOF flight)
    RocketProperties rocket{};
    RealRun run{};
    double drag_scale = 1.0;
    const AirColumn* column = nullptr;
};

// A predicting controller's aim and what it learns: its target is a true
// height above the pad or (`barometric`) what a pad-zeroed altimeter reads
// in its predictor's air; with `learn_drag` its flight computer learns a
// factor on the predictor's whole drag in flight, from the prior 1 within
// `drag_prior_sd`.
struct Aim {
    double target = 0.0;  // m
    bool barometric = false;
    bool learn_drag = false;
    double drag_prior_sd = 0.1;
};

// The controllers: one of these, each with its own settings.
//
// Predictive: the deployment whose predicted apogee (brakes held from the
// tick on) is the target, warm-started from the last answer.
struct PredictiveSettings {
    Aim aim;
    Predictor predictor;
};
// PID on the error of the apogee predicted with the brakes held as they are.
struct PidSettings {
    Aim aim;
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

// The aim of a controller that predicts, or null.
inline const Aim* aim_of(const ControllerSettings& c) noexcept {
    if (const auto* p = std::get_if<PredictiveSettings>(&c)) return &p->aim;
    if (const auto* p = std::get_if<PidSettings>(&c)) return &p->aim;
    return nullptr;
}
inline const Predictor* predictor_of(const ControllerSettings& c) noexcept {
    if (const auto* p = std::get_if<PredictiveSettings>(&c)) return &p->predictor;
    if (const auto* p = std::get_if<PidSettings>(&c)) return &p->predictor;
    return nullptr;
}

// The state a controller is shown: 1-DOF height and vertical velocity, or
// the six 3-DOF values.
struct Sensed {
    double values[6];
    int size;
    double height() const noexcept { return size == 2 ? values[0] : values[1]; }
    double velocity() const noexcept { return size == 2 ? values[1] : values[4]; }
};

// How a decision went: a command (or the last one kept, as a controller
// does at a tick with no apogee ahead), a prediction that failed (the last
// command kept), or a controller that failed (the flight ends).
enum class Verdict : std::uint8_t { Decided, PredictionFailed, ControllerFailed };

// What a decision reads and writes: the tick's record (its commanded,
// predicted_apogee and predictions columns), the state shown, the tick's
// time from the start, the last command, the factor on the predictor's
// drag learned so far, and for a prediction that failed, its status.
struct Decision {
    TickRecord& record;
    const Sensed& sensed;
    double since_start;
    double last_command;
    double learned_scale = 1.0;
    FlightStatus failure = FlightStatus::Ok;
};

// The running controllers: each alternative's settings and its memory
// between ticks.
class PredictiveRun {
public:
    PredictiveRun(const PredictiveSettings& s, const StopCheck& stop);
    Verdict decide(Decision& d);

private:
    Aim aim_;
    Predictor p_;
    std::optional<Altimeter> frame_;
    bool warm_ = false;  // a previous answer to start from
    InverseStart start_{};
};

class PidRun {
public:
    PidRun(const PidSettings& s, const StopCheck& stop, double rate);
    Verdict decide(Decision& d);

private:
    const PidSettings& s_;
    Predictor p_;
    std::optional<Altimeter> frame_;
    double rate_;
    bool started_ = false;  // a previous error
    double integral_ = 0.0;
    double last_error_ = 0.0;
};

struct ScheduleRun {
    const ScheduleSettings& s;
    Verdict decide(Decision& d) const noexcept;
};

struct ExternalRun {
    const ExternalSettings& s;
    Verdict decide(Decision& d) const;
};

using RunningController = std::variant<PredictiveRun, PidRun, ScheduleRun, ExternalRun>;
static_assert(std::variant_size_v<RunningController> == std::variant_size_v<ControllerSettings>,
              "a running controller for every controller");

// The controller `settings` ticking `rate` times a second, its predictions
// stopped by `stop`. The settings must outlive it.
RunningController start_controller(const ControllerSettings& settings, const StopCheck& stop, double rate);

}  // namespace aeso
