// What a pad-zeroed barometric altimeter reads: the 1976 standard's
// geometric altitude of the pressure it measures, less that of the pad's
// pressure. In the standard day's air it reads the true height above the
// pad; in warmer air (thicker layers) it reads low.
//
// A frame of heights is one of two: the true height above the pad, or this
// reading (the barometric frame, what competitions score). An apogee or a
// target in the barometric frame is converted through one air, the flight's
// to score it, the air a flight computer believes in to aim at it.
#pragma once

#include "standard_atmosphere.hpp"

namespace aeso {

// A pad-zeroed altimeter in the air `air`.
class Altimeter {
public:
    explicit Altimeter(const AirColumn& air) noexcept;

    // The reading at `height` m above the pad.
    double reading(double height) const noexcept;
    // The height above the pad at which it reads `reading`.
    double height(double reading) const noexcept;

private:
    AirColumn air_;
    AirColumn standard_;  // the standard column, whose heights are altitudes above sea level
    double pad_;          // its altitude of the pad's pressure
};

// A height in a frame: the true one (no altimeter) or an altimeter's reading.
inline double in_frame(const Altimeter* frame, double height) noexcept {
    return frame == nullptr ? height : frame->reading(height);
}

// The reading at `height` m above the pad of the air `air`.
double pressure_altitude(const AirColumn& air, double height) noexcept;
// The height above the pad at which the altimeter reads `reading`.
double height_from_pressure_altitude(const AirColumn& air, double reading) noexcept;

}  // namespace aeso
