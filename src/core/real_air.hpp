// The real air: a flight's aerodynamics from the day's atmosphere, a drag
// coefficient against Mach number and air brakes against (deployment, Mach).
//
// An AirModel points to the tables (an atmosphere, a vehicle's drag and
// brakes), shared, unchanged, by every flight that uses them; a FlightTrim
// holds what one flight sets for itself (the brakes' deployment, a factor
// on the whole drag). A state flying in the real air carries a RealAero, two
// pointers to them, so copying a state at every stage copies no table.
// Everything pointed to must outlive the run.
#pragma once

#include <cmath>
#include <utility>
#include <variant>

#include "actuator.hpp"
#include "aerodynamics.hpp"
#include "linear_table.hpp"
#include "standard_atmosphere.hpp"
#include "state.hpp"

namespace aeso {

// Air brakes: their drag coefficient against (deployment, Mach), referred to
// their own area. `area_ratio` is that area over the rocket's area_drag.
// Beside the body's drag (replace = false) it acts along the airspeed
// without a moment; with replace = true it is the whole vehicle's drag.
struct BrakeTable {
    LinearSurface cd;  // rows: deployment 0..1, columns: Mach
    double area_ratio = 1.0;
    bool replace = false;
    // The least deployment from which the drag does not decrease with
    // deployment at any Mach number of the table: 0 for a monotone table,
    // else the upper level of the last pair of rows where some cell falls.
    // Above it more deployment means more drag at every Mach number.
    double monotone_from = 0.0;

    static BrakeTable of(LinearSurface cd, double area_ratio, bool replace) {
        BrakeTable t{std::move(cd), area_ratio, replace};
        const std::vector<double>& levels = t.cd.x();
        const std::size_t columns = t.cd.y().size();
        for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
            for (std::size_t j = 0; j < columns; ++j) {
                if (t.cd.z()[(i + 1) * columns + j] < t.cd.z()[i * columns + j]) t.monotone_from = levels[i + 1];
            }
        }
        return t;
    }
};

// A vehicle's drag: the rocket's own coefficient or a curve against Mach
// number, and its brakes, if any.
struct VehicleDrag {
    LinearCurve cd;      // against Mach; empty: the rocket's own cd
    BrakeTable brakes;   // empty surface: no brakes
};

struct AirModel {
    const AtmosphereTable* atmosphere;
    const VehicleDrag* drag;
};

// The brakes' deployment over one flight: a level held throughout, a
// schedule of levels against time (piecewise linear; its knots are step
// boundaries), or an actuator's motion (a controlled flight's; its events
// are step boundaries). One of them, never several.
using Deployment = std::variant<double, const LinearCurve*, const ActuatorMotion*>;

// What one flight sets for itself: a factor on the whole drag, and the
// brakes' deployment.
struct FlightTrim {
    double drag_scale = 1.0;
    Deployment deployment = 0.0;

    double deployment_at(double time) const noexcept {
        switch (deployment.index()) {
            case 1: return (*std::get_if<1>(&deployment))->at(time);
            case 2: return (*std::get_if<2>(&deployment))->at(time);
            default: break;
        }
        return *std::get_if<0>(&deployment);
    }
    // The schedule's knots, or null.
    const std::vector<double>* knots() const noexcept {
        const auto* schedule = std::get_if<const LinearCurve*>(&deployment);
        return schedule != nullptr ? &(*schedule)->x() : nullptr;
    }
};

struct RealAero {
    const AirModel* model;
    const FlightTrim* trim;
    // Where the last lookups of this state (or the state it was copied from)
    // found the air and the drag: tried first by the next. They speed the
    // lookups up and never change a value.
    mutable const AtmosphereTable::Piece* air_piece = nullptr;
    mutable const LinearCurve::Segment* drag_segment = nullptr;

    static constexpr bool time_dependent = true;
    static constexpr bool has_added_drag = true;

    [[gnu::always_inline]] AirCoefficients coefficients(const RocketProperties& r, double speed, double altitude,
                                 double time) const noexcept {
        const AirSample air = model->atmosphere->at(altitude, &air_piece);
        const VehicleDrag& drag = *model->drag;
        const double mach = speed * air.inv_speed_of_sound;
        double cd = drag.cd.empty() ? r.cd : drag.cd.at(mach, &drag_segment);
        double added = 0.0;
        if (!drag.brakes.cd.empty()) {
            const BrakeTable& brakes = drag.brakes;
            const double brake = brakes.cd.at(trim->deployment_at(time), mach) * brakes.area_ratio;
            if (brakes.replace) {
                cd = brake;
            } else {
                added = brake * trim->drag_scale;
            }
        }
        return {air.half_rho, cd * trim->drag_scale, added};
    }
};

using RealVertical = Vertical<RealAero>;
using RealPlanar = Planar<RealAero>;

}  // namespace aeso
