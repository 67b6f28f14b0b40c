#include "real_flight_block.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "pressure_altitude.hpp"

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
    out.miss[k] = out.final_deployment[k] = out.travel[k] = out.barometric_apogee[k] = out.learned_scale[k] =
        QUIET_NAN;
}

// The flight computer of a row from its COMPUTER_COLUMNS values `r`: its
// barometer's port in the flight's air `air`.
RawSensorSettings computer_of(const RealBlockLayout& layout, const double* r, const AirColumn* air) noexcept {
    FilterPoint prior{0.0, {r[22], r[23], r[24]}, {}};
    prior.p[0] = r[25] * r[25];
    prior.p[4] = r[26] * r[26];
    prior.p[8] = r[27] * r[27];
    return RawSensorSettings{
        BarometerSettings{r[0], r[1], r[2], r[3], layout.mach_error},
        AccelerometerSettings{r[4], r[5], r[6], r[7]},
        air,
        OnBoardEstimator{EstimatorSettings{r[8], r[9], r[10], r[11], r[12], r[13], r[14], r[15], r[16], r[17], r[18],
                                           r[19], r[20], r[21]},
                         BarometerFrame(*layout.believed, layout.believed_pad_pressure), prior}};
}

// The controller of a row: the block's kind, with the row's target and
// gains; Predictive and PID predict with the block's predictor, in the
// block's frame, learning their drag from the row's prior when the block's
// flight computer does.
ControllerSettings controller_of(const RealBlockLayout& layout, const double* row) noexcept {
    const double* c = row + layout.control_at();
    Aim aim;
    aim.target = c[0];
    aim.barometric = layout.barometric;
    aim.learn_drag = layout.learn_drag;
    if (layout.computer) aim.drag_prior_sd = row[layout.computer_at() + COMPUTER_COLUMNS - 1];
    switch (layout.controller) {
        case 0: return PredictiveSettings{aim, layout.predictor};
        case 1: return PidSettings{aim, layout.predictor, c[10], c[11], c[12]};
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
            std::optional<AirColumn> own_column;
            if (layout.environment != EnvironmentColumns::None) {
                const auto [from, to] = reach(initial);
                own_column.emplace(column_from(layout.environment, row + layout.environment_at()));
                own.emplace(AtmosphereTable::standard(*own_column, from, to));
            }
            const AirColumn* column = own_column ? &*own_column : layout.column;
            const AirModel model{own ? &*own : layout.atmosphere, layout.drag};
            const RealRun run{&model, solver, base.max_iterations, StopCheck{&stop}};
            FlightOutcome flown;
            if (layout.control) {
                const double* c = row + layout.control_at();
                ControlSettings control;
                control.rate = c[1];
                control.actuator = {c[2], c[3], c[4], c[5]};
                if (layout.computer) {
                    control.sensors = computer_of(layout, row + layout.computer_at(), column);
                } else {
                    control.sensors = SensorSettings{c[6], c[7], c[8], c[9]};
                }
                control.seed = layout.seed;
                control.flight = layout.first_flight + k;
                control.controller = controller_of(layout, row);
                const ControlledOutcome o = fly_controlled(rocket, initial, run, scale, control);
                flown = o.flight;
                if (flown.status == FlightStatus::Ok) {
                    const double barometric =
                        column == nullptr ? QUIET_NAN : pressure_altitude(*column, flown.apogee);
                    out.miss[k] = (layout.barometric ? barometric : flown.apogee) - c[0];
                    out.final_deployment[k] = o.final_deployment;
                    out.travel[k] = o.travel;
                    out.barometric_apogee[k] = barometric;
                    out.learned_scale[k] = o.learned_scale;
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
