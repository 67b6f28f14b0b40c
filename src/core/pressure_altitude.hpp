// What a pad-zeroed barometric altimeter reads: the 1976 standard's
// geometric altitude of the pressure it measures, less that of the pad's
// pressure. In the standard day's air it reads the true height above the
// pad; in warmer air (thicker layers) it reads low.
#pragma once

#include "standard_atmosphere.hpp"

namespace aeso {

// The reading at `height` m above the pad of the air `air`.
double pressure_altitude(const AirColumn& air, double height) noexcept;
// The height above the pad at which the altimeter reads `reading`.
double height_from_pressure_altitude(const AirColumn& air, double reading) noexcept;

}  // namespace aeso
