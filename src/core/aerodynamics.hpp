// The aerodynamics of a flight: the air it flies through and the drag it
// meets. The equations of motion ask their aerodynamics, at each stage, for
// the coefficients below and read nothing else of the air, so one set of
// equations, integrators and run loop serves every kind of air.
//
// An aerodynamics type provides
//   static constexpr bool time_dependent;  // coefficients depend on the time
//   static constexpr bool has_added_drag;  // may add drag without moment
//   AirCoefficients coefficients(const RocketProperties&, double speed,
//                                double altitude, double time) const;
// `speed` is the airspeed (m/s), `altitude` the height the state measures
// (m), `time` the stage's own time (s).
#pragma once

#include "constants.hpp"
#include "rocket_properties.hpp"

namespace aeso {

// What the equations of motion need from the air at one state. Dynamic
// pressure is half_rho * v^2. `cd` is the drag coefficient that acts with the
// lift at the centre of pressure (its force makes the restoring moment);
// `cd_added` is drag that acts along the airspeed without a moment (air
// brakes beside the body's drag), zero when there is none. Both are referred
// to the rocket's area_drag.
struct AirCoefficients {
    double half_rho;
    double cd;
    double cd_added;
};

// aeso's air: the sea-level density (1.225 kg/m^3) at every altitude and the
// rocket's own drag coefficient at every speed. It holds nothing, so a state
// flying in it is as large as one with no aerodynamics at all.
struct ConstantAero {
    static constexpr bool time_dependent = false;
    static constexpr bool has_added_drag = false;

    static AirCoefficients coefficients(const RocketProperties& r, double, double, double) noexcept {
        return {HALF_RHO, r.cd, 0.0};
    }
};

}  // namespace aeso
