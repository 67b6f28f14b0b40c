// A block of a study's flights in the real air, controlled or not: the same
// rows as a block of aeso's flights (the rocket's properties, the initial
// state, the step options), followed by the columns of the real air, the
// brakes and the controller the study disperses. Tables (drag, brakes, a
// schedule) are the study's, shared by every row.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "controlled_flight.hpp"
#include "flight_block.hpp"

namespace aeso {

// How the environment columns give the day's air.
enum class EnvironmentColumns : std::uint8_t {
    None = 0,     // no columns: the study's one atmosphere for every row
    Offset = 1,   // site elevation, temperature offset (K), pad pressure (Pa; NaN: standard at the site)
    PadTemperature = 2,  // site elevation, pad temperature (K), pad pressure (Pa; NaN: standard)
};

inline constexpr std::size_t ENVIRONMENT_COLUMNS = 3;
// The control columns, in their order (the names a study gives them).
inline constexpr std::array<const char*, 13> CONTROL_COLUMN_NAMES{
    "target", "rate", "rate_limit", "lag", "delay", "initial", "height_sd",
    "velocity_sd", "velocity_scale", "correlation_time", "kp", "ki", "kd"};
inline constexpr std::size_t CONTROL_COLUMNS = CONTROL_COLUMN_NAMES.size();
// A flight computer's columns, after the control columns, in their order:
// its barometer's and accelerometer's values (as BarometerSettings and
// AccelerometerSettings hold them), its estimator's EstimatorSettings and
// prior (height, velocity and third state, and their sds: the height is
// replaced by that of the start's pressure, as for any raw-sensor flight),
// and the sd of the prior of the drag scale its controller learns.
inline constexpr std::array<const char*, 29> COMPUTER_COLUMN_NAMES{
    "barometer_rate", "barometer_noise_sd", "barometer_lag", "barometer_resolution", "accelerometer_rate",
    "accelerometer_noise_sd", "accelerometer_bias", "accelerometer_scale_error", "barometer_sd", "dynamic_error",
    "free_dynamic_error", "acceleration_psd", "bias_drift_psd", "free_drift_psd", "accelerometer_sd",
    "hold_limit", "gate", "rest_velocity_sd", "rest_until", "bias", "bias_sd", "barometer_lag", "prior_height",
    "prior_velocity", "prior_acceleration", "prior_height_sd", "prior_velocity_sd", "prior_acceleration_sd",
    "drag_prior_sd"};
inline constexpr std::size_t COMPUTER_COLUMNS = COMPUTER_COLUMN_NAMES.size();

// The controllers a block's flights may fly (all but a caller's function),
// by their names.
inline constexpr std::array<const char*, 3> BLOCK_CONTROLLER_NAMES{CONTROLLER_NAMES[0], CONTROLLER_NAMES[1],
                                                                   CONTROLLER_NAMES[2]};
static_assert(std::variant_size_v<ControllerSettings> == BLOCK_CONTROLLER_NAMES.size() + 1,
              "a block flies every controller but the external one");

struct RealBlockLayout {
    FlightBlockLayout flight;  // the columns and settings every block has
    EnvironmentColumns environment = EnvironmentColumns::None;
    bool drag_scale = false;   // one column: the factor on the whole drag
    bool deployment = false;   // one column: the brakes' level (uncontrolled)
    bool control = false;      // CONTROL_COLUMNS columns and a controller
    std::size_t controller = 0;  // its kind: predictive, pid or schedule (see CONTROLLER_NAMES)
    // What Predictive and PID controllers predict with: the nominal rocket,
    // air and drag (the study's values, not the row's draws: a flight
    // computer knows the design, not the day's dispersions).
    Predictor predictor;
    // The study's air when the rows carry no environment, and its vehicle's
    // drag and brakes; the Schedule controller's levels.
    const AtmosphereTable* atmosphere = nullptr;
    const VehicleDrag* drag = nullptr;
    const LinearCurve* schedule = nullptr;
    // Predictive and PID aim at the altimeter's reading (through the
    // predictor's air) when `barometric`, and learn their drag when
    // `learn_drag` (a flight computer's, whose columns the rows carry).
    bool barometric = false;
    bool learn_drag = false;
    bool computer = false;     // COMPUTER_COLUMNS columns: raw sensors and an estimator
    // The flight computer's frame: the air it reads its barometer in and
    // the pad pressure it believes; its port's error against Mach (null:
    // none).
    const AirColumn* believed = nullptr;
    double believed_pad_pressure = 0.0;
    const LinearCurve* mach_error = nullptr;
    // The study's air column when the rows carry no environment (null: the
    // constant air, which has no altimeter).
    const AirColumn* column = nullptr;
    // Sensor noise: keyed by the seed and each flight's number, the block's
    // first row's number plus its row.
    std::uint64_t seed = 0;
    std::uint64_t first_flight = 0;

    std::size_t environment_at() const noexcept { return flight.columns(); }
    std::size_t drag_scale_at() const noexcept {
        return environment_at() + (environment == EnvironmentColumns::None ? 0 : ENVIRONMENT_COLUMNS);
    }
    std::size_t deployment_at() const noexcept { return drag_scale_at() + (drag_scale ? 1 : 0); }
    std::size_t control_at() const noexcept { return deployment_at() + (deployment ? 1 : 0); }
    std::size_t computer_at() const noexcept { return control_at() + (control ? CONTROL_COLUMNS : 0); }
    std::size_t columns() const noexcept { return computer_at() + (computer ? COMPUTER_COLUMNS : 0); }
};

// Outcomes of a real-air block: those of any block, and for controlled
// flights the miss (apogee - target, in the target's frame), the final
// deployment and the deployment's travel, the apogee a pad-zeroed altimeter
// reads in the flight's own air (NaN in the constant air) and the drag
// scale learned by the end (NaN when the controller does not learn); NaN
// otherwise, and for flights that failed.
struct RealBlockOutcomes {
    FlightBlockOutcomes flight;
    double* miss;
    double* final_deployment;
    double* travel;
    double* barometric_apogee;
    double* learned_scale;
};

static_assert(OUTCOME_NAMES.size() == 4, "REAL_OUTCOME_NAMES lists every outcome of a block");
// The names of a real-air block's outcome rows, in their order: those of
// any block, then the five above.
inline constexpr std::array<const char*, OUTCOME_NAMES.size() + 5> REAL_OUTCOME_NAMES{
    OUTCOME_NAMES[0], OUTCOME_NAMES[1], OUTCOME_NAMES[2],  OUTCOME_NAMES[3],  "miss",
    "final_deployment", "deployment_travel", "barometric_apogee", "learned_scale"};

// Runs the rows like run_flight_block, each in its own air (built for the
// heights the flight can reach when the rows carry the environment). The
// outcome status of a row may also be LeftAtmosphere or NotFinite.
std::size_t run_real_flight_block(const RealBlockLayout& layout, const double* inputs, std::size_t rows,
                                  const RealBlockOutcomes& out, const std::atomic<bool>& stop);

}  // namespace aeso
