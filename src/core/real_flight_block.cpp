#include "real_flight_block.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

namespace aeso {

namespace {

// The heights a flight from `initial` can reach: from below the pad and the
// start to above the drag-free apogee (drag only takes energy away and lift
// does no work), with a margin for the stages of a step.
inline constexpr double REACH_MARGIN = 500.0;  // m

template <class Initial>
std::pair<double, double> reach(const Initial& initial) noexcept {
    double h, speed2;
    if constexpr (std::is_same_v<Initial, Initial1DOF>) {
        h = initial.height;
        speed2 = initial.velocity * initial.velocity;
    } else {
        h = initial.y;
        speed2 = initial.vx * initial.vx + initial.vy * initial.vy;
    }
    return {std::min(h, 0.0) - REACH_MARGIN, h + speed2 / (2.0 * GRAVITY) + REACH_MARGIN};
}

// The day's air of a row's environment columns.
AirColumn column_from(EnvironmentColumns kind, const double* e) noexcept {
    const double site = e[0];
    const double offset = kind == EnvironmentColumns::PadTemperature ? e[1] - atmosphere::standard_temperature(site)
                                                                      : e[1];
    const double pad = std::isnan(e[2]) ? atmosphere::standard_pressure(site) : e[2];
    return AirColumn(site, offset, pad);
}

void clear(const RealBlockOutcomes& out, std::size_t k) noexcept {
    out.miss[k] = out.final_deployment[k] = out.travel[k] = QUIET_NAN;
}

// The controller of a row: the block's kind, with the row's target and
// gains; Predictive and PID predict with the block's predictor.
ControllerSettings controller_of(const RealBlockLayout& layout, const double* c) noexcept {
    switch (layout.controller) {
        case 0: return PredictiveSettings{c[0], layout.predictor};
        case 1: return PidSettings{c[0], layout.predictor, c[10], c[11], c[12]};
        default: break;
    }
    return ScheduleSettings{layout.schedule};
}

}  // namespace

std::size_t run_real_flight_block(const RealBlockLayout& layout, const double* inputs, std::size_t rows,
                                  const RealBlockOutcomes& out, const std::atomic<bool>& stop) {
    const FlightBlockLayout& base = layout.flight;
    const SolverConfig defaults = validate_solver_config(base.method, std::nullopt).value();
    const std::size_t columns = layout.columns();
    const std::size_t step_at = ROCKET_COLUMNS + base.state_columns();
    for (std::size_t k = 0; k < rows; ++k) {
        const double* row = inputs + k * columns;
        clear(out, k);
        const RocketProperties rocket = rocket_from(row);
        const SolverConfig solver = solver_from(base, row + step_at, defaults);
        const double scale = layout.drag_scale ? row[layout.drag_scale_at()] : 1.0;
        const FlightOutcome flown = with_row_initial(base, row + ROCKET_COLUMNS, [&](const auto& initial) {
            // The row's own air, for the heights this flight can reach, or the study's.
            std::optional<AtmosphereTable> own;
            if (layout.environment != EnvironmentColumns::None) {
                const auto [from, to] = reach(initial);
                own.emplace(AtmosphereTable::standard(
                    column_from(layout.environment, row + layout.environment_at()), from, to));
            }
            const AirModel model{own ? &*own : layout.atmosphere, layout.drag};
            const RealRun run{&model, solver, base.max_iterations, StopCheck{&stop}};
            FlightOutcome flown;
            if (layout.control) {
                const double* c = row + layout.control_at();
                ControlSettings control;
                control.rate = c[1];
                control.actuator = {c[2], c[3], c[4], c[5]};
                control.sensors = {c[6], c[7], c[8], c[9]};
                control.seed = layout.seed;
                control.flight = layout.first_flight + k;
                control.controller = controller_of(layout, c);
                const ControlledOutcome o = fly_controlled(rocket, initial, run, scale, control);
                flown = o.flight;
                if (flown.status == FlightStatus::Ok) {
                    out.miss[k] = flown.apogee - c[0];
                    out.final_deployment[k] = o.final_deployment;
                    out.travel[k] = o.travel;
                }
            } else {
                FlightTrim trim;
                trim.drag_scale = scale;
                if (layout.deployment) trim.deployment = row[layout.deployment_at()];
                flown = fly_real(rocket, initial, run, trim);
            }
            return flown;
        });
        if (flown.status == FlightStatus::Stopped) {
            mark_stopped(out.flight, k, rows);
            for (std::size_t rest = k; rest < rows; ++rest) clear(out, rest);
            return k;
        }
        if (flown.status != FlightStatus::Ok) {
            // A failed flight's values are NaN (its steps are kept).
            FlightOutcome failed;
            failed.status = flown.status;
            failed.steps = flown.steps;
            write_outcome(failed, out.flight, k);
        } else {
            write_outcome(flown, out.flight, k);
        }
    }
    return rows;
}

}  // namespace aeso
