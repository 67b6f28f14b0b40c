#include "pressure_altitude.hpp"

namespace aeso {

namespace {

// The standard column (sea-level pressure, no offset): its heights above
// its pad are geometric altitudes above sea level.
AirColumn standard_column() noexcept { return AirColumn(0.0, 0.0, atmosphere::SEA_LEVEL_PRESSURE); }

}  // namespace

double pressure_altitude(const AirColumn& air, double height) noexcept {
    const AirColumn standard = standard_column();
    const double pad = standard.level_of(air.at(0.0).pressure).height;
    return standard.level_of(air.at(height).pressure).height - pad;
}

double height_from_pressure_altitude(const AirColumn& air, double reading) noexcept {
    const AirColumn standard = standard_column();
    const double pad = standard.level_of(air.at(0.0).pressure).height;
    return air.level_of(standard.at(pad + reading).pressure).height;
}

}  // namespace aeso
