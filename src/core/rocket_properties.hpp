// The seven physical properties of a rocket, copied into every state.
#pragma once

namespace aeso {

struct RocketProperties {
    double mass;                     // kg
    double cd;                       // drag coefficient
    double area_drag;                // reference area for drag, m^2
    double area_lift;                // reference area for lift, m^2 (carried, not used)
    double moment_of_inertia;        // about the z-axis, kg m^2
    double stab_margin_dimensional;  // static stability margin, m
    double cl_a;                     // lift coefficient slope, per radian
};

}  // namespace aeso
