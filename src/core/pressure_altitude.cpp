#include "pressure_altitude.hpp"

namespace aeso {

namespace {

// The standard column (sea-level pressure, no offset): its heights above
// its pad are geometric altitudes above sea level.
AirColumn standard_column() noexcept { return AirColumn(0.0, 0.0, atmosphere::SEA_LEVEL_PRESSURE); }

}  // namespace

Altimeter::Altimeter(const AirColumn& air) noexcept
    : air_(air), standard_(standard_column()), pad_(standard_.level_of(air.at(0.0).pressure).height) {}

double Altimeter::reading(double height) const noexcept {
    return standard_.level_of(air_.at(height).pressure).height - pad_;
}

double Altimeter::height(double reading) const noexcept {
    return air_.level_of(standard_.at(pad_ + reading).pressure).height;
}

double pressure_altitude(const AirColumn& air, double height) noexcept { return Altimeter(air).reading(height); }

double height_from_pressure_altitude(const AirColumn& air, double reading) noexcept {
    return Altimeter(air).height(reading);
}

}  // namespace aeso
