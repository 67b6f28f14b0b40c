// How one flight ended, as a code: the flights of a study's block and of the
// real-air runs report their outcome this way, and the Python layers turn a
// code into its reason.
#pragma once

#include <cstdint>

namespace aeso {

enum class FlightStatus : std::uint8_t {
    Ok = 0,                  // apogee reached, finite
    IterationLimit = 1,      // max_iterations steps without reaching it
    InvalidStepOptions = 2,  // the step controller refused the bounds (dt_min > dt_max or NaN)
    NonFiniteApogee = 3,     // apogee reached, but its altitude is not finite
    Stopped = 4,             // not run to its end: the block was asked to stop
    LeftAtmosphere = 5,      // an accepted state lay outside the atmosphere's layers
    NotFinite = 6,           // an accepted state's altitude or vertical velocity stopped being finite
};

}  // namespace aeso
