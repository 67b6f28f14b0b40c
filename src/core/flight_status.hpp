// How one flight ended, as a code: every runner (a prediction, a flight log,
// a controlled flight, a study's block) reports its outcome this way, and
// the Python layers turn a code into its reason. The names below are the
// one list of the codes: the compiled modules export it, so Python copies
// no value.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

namespace aeso {

enum class FlightStatus : std::uint8_t {
    Ok = 0,                  // apogee reached, finite
    IterationLimit = 1,      // max_iterations steps without reaching it
    InvalidStepOptions = 2,  // the step controller refused the bounds (dt_min > dt_max or NaN)
    NonFiniteApogee = 3,     // apogee reached, but its altitude is not finite
    Stopped = 4,             // not run to its end: its stop flag was set (a block's, or Ctrl-C)
    LeftAtmosphere = 5,      // an accepted state lay outside the atmosphere's layers
    NotFinite = 6,           // an accepted state's altitude or vertical velocity stopped being finite
    ControllerFailed = 7,    // the controller failed: it raised, or commanded no finite level
    OutOfMemory = 8,         // the flight's log or tick records could not grow
};

// Every status by the name the compiled modules export it under.
inline constexpr std::array<std::pair<const char*, FlightStatus>, 9> FLIGHT_STATUS_NAMES{{
    {"OK", FlightStatus::Ok},
    {"ITERATION_LIMIT", FlightStatus::IterationLimit},
    {"INVALID_STEP_OPTIONS", FlightStatus::InvalidStepOptions},
    {"NON_FINITE_APOGEE", FlightStatus::NonFiniteApogee},
    {"STOPPED", FlightStatus::Stopped},
    {"LEFT_ATMOSPHERE", FlightStatus::LeftAtmosphere},
    {"NOT_FINITE", FlightStatus::NotFinite},
    {"CONTROLLER_FAILED", FlightStatus::ControllerFailed},
    {"OUT_OF_MEMORY", FlightStatus::OutOfMemory},
}};

}  // namespace aeso
