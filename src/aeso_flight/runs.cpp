// The module's run functions: predict, simulate and the two inverses. Each
// takes its arguments as plain values and native objects (the Python
// package has checked and converted them), copies what it needs, and runs
// detached from the interpreter.

#include <cmath>
#include <cstring>
#include <optional>

#include "core/apogee_inverse.hpp"
#include "core/real_air_run.hpp"
#include "objects.hpp"
#include "run_arguments.hpp"
#include "python/detached.hpp"
#include "python/python_ref.hpp"

namespace aeso::flight {

namespace {

// predict(craft, air, dof, state, method, step, max_iterations, level,
// schedule, drag_scale) -> (status, apogee, time, x, |vx|, steps, failed_at)
PyObject* predict(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    Common c;
    FlightTrim trim;
    double scale;
    if (!check_count("predict", nargs, COMMON_ARGS + 3) || !parse_common(module, args, c) ||
        !parse_double(args[9], scale) || !parse_trim(module, args[7], args[8], scale, trim)) {
        return nullptr;
    }
    const AirModel model{c.air->table, c.craft->drag};
    const RealRun run{&model, c.solver, c.max_iterations};
    const RealOutcome out = py::run_detached(
        [&] { return with_initial(c, [&](const auto& initial) { return fly_real(c.craft->rocket, initial, run, trim); }); });
    return outcome_tuple(out);
}

// The extra columns of a logged row: density, Mach number, deployment.
void extra_columns(const Common& c, const FlightTrim& trim, double time, const LogRow& row, double* out) {
    const double altitude = c.dof == 1 ? row[0] : row[1];
    const double speed = c.dof == 1 ? std::fabs(row[1]) : std::sqrt(row[4] * row[4] + row[3] * row[3]);
    const AirSample air = c.air->table->at(altitude);
    out[0] = 2.0 * air.half_rho;
    out[1] = speed * air.inv_speed_of_sound;
    out[2] = c.craft->drag->brakes.cd.empty() ? 0.0 : trim.deployment(time);
}

constexpr std::size_t SIMULATED_COLUMNS = LOG_COLUMNS + 3;

// simulate(same arguments as predict) -> (status, failed_at, times, rows):
// times and rows as bytearrays of float64, rows n x 12.
PyObject* simulate(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    Common c;
    FlightTrim trim;
    double scale;
    if (!check_count("simulate", nargs, COMMON_ARGS + 3) || !parse_common(module, args, c) ||
        !parse_double(args[9], scale) || !parse_trim(module, args[7], args[8], scale, trim)) {
        return nullptr;
    }
    Result<FlightLog> created = FlightLog::create();
    if (!created) return PyErr_NoMemory();
    FlightLog log = std::move(created.value());
    const AirModel model{c.air->table, c.craft->drag};
    const RealRun run{&model, c.solver, c.max_iterations};
    const RealOutcome out = py::run_detached([&] {
        return with_initial(c, [&](const auto& initial) { return fly_real(c.craft->rocket, initial, run, trim, &log); });
    });
    if (out.out_of_memory) return PyErr_NoMemory();
    const std::size_t n = log.size();
    py::Ref times(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * sizeof(double))));
    py::Ref rows(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * SIMULATED_COLUMNS * sizeof(double))));
    if (!times || !rows) return nullptr;
    if (n != 0) {
        std::memcpy(PyByteArray_AS_STRING(times.get()), log.times(), n * sizeof(double));
        auto* r = reinterpret_cast<double*>(PyByteArray_AS_STRING(rows.get()));
        for (std::size_t i = 0; i < n; ++i) {
            double* row = r + i * SIMULATED_COLUMNS;
            std::memcpy(row, log.rows()[i].data(), LOG_COLUMNS * sizeof(double));
            extra_columns(c, trim, log.times()[i], log.rows()[i], row + LOG_COLUMNS);
        }
    }
    return Py_BuildValue("(idOO)", static_cast<int>(out.status), out.failed_at, times.get(), rows.get());
}

bool parse_start(PyObject* object, std::optional<InverseStart>& start) {
    if (object == Py_None) return true;
    double v[4];
    if (!read_floats(object, v, 4, "start")) return false;
    start = InverseStart{v[0], v[1], v[2], v[3]};
    return true;
}

PyObject* inverse_tuple(const InverseResult& r) {
    return Py_BuildValue("(iddiddd" "id)", static_cast<int>(r.status), r.value, r.apogee, r.predictions, r.slope,
                         r.low, r.high, static_cast<int>(r.failure.status), r.failure.failed_at);
}

// deployment_for_apogee(craft, air, dof, state, method, step, max_iterations,
// drag_scale, target, start) -> (status, level, apogee, predictions, slope,
// low, high, failure_status, failed_at)
PyObject* deployment_for_apogee(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    Common c;
    FlightTrim trim;
    double target;
    std::optional<InverseStart> start;
    if (!check_count("deployment_for_apogee", nargs, COMMON_ARGS + 3) || !parse_common(module, args, c) ||
        !parse_double(args[7], trim.drag_scale) || !parse_double(args[8], target) || !parse_start(args[9], start)) {
        return nullptr;
    }
    const AirModel model{c.air->table, c.craft->drag};
    const RealRun run{&model, c.solver, c.max_iterations};
    const InverseResult r = py::run_detached([&] {
        return with_initial(c, [&](const auto& initial) {
            return aeso::deployment_for_apogee(c.craft->rocket, initial, run, trim, target, start ? &*start : nullptr);
        });
    });
    return inverse_tuple(r);
}

// drag_scale_for_apogee(craft, air, dof, state, method, step, max_iterations,
// level, schedule, target, start) -> as deployment_for_apogee, the value
// being the factor on the drag.
PyObject* drag_scale_for_apogee(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    Common c;
    FlightTrim trim;
    double target;
    std::optional<InverseStart> start;
    if (!check_count("drag_scale_for_apogee", nargs, COMMON_ARGS + 4) || !parse_common(module, args, c) ||
        !parse_trim(module, args[7], args[8], 1.0, trim) || !parse_double(args[9], target) ||
        !parse_start(args[10], start)) {
        return nullptr;
    }
    const AirModel model{c.air->table, c.craft->drag};
    const RealRun run{&model, c.solver, c.max_iterations};
    const InverseResult r = py::run_detached([&] {
        return with_initial(c, [&](const auto& initial) {
            return aeso::drag_scale_for_apogee(c.craft->rocket, initial, run, trim, target, start ? &*start : nullptr);
        });
    });
    return inverse_tuple(r);
}

// standard_air(altitude) -> (temperature, pressure) of the 1976 standard at
// a geometric altitude above sea level.
PyObject* standard_air(PyObject*, PyObject* altitude) {
    const double z = PyFloat_AsDouble(altitude);
    if (z == -1.0 && PyErr_Occurred()) return nullptr;
    return Py_BuildValue("(dd)", atmosphere::standard_temperature(z), atmosphere::standard_pressure(z));
}

}  // namespace

PyMethodDef RUN_METHODS[] = {
    {"predict", fastcall<predict>(), METH_FASTCALL,
     "predict(craft, air, dof, state, method, step, max_iterations, level, schedule, drag_scale, /)"},
    {"simulate", fastcall<simulate>(), METH_FASTCALL,
     "simulate(craft, air, dof, state, method, step, max_iterations, level, schedule, drag_scale, /)"},
    {"deployment_for_apogee", fastcall<deployment_for_apogee>(), METH_FASTCALL,
     "deployment_for_apogee(craft, air, dof, state, method, step, max_iterations, drag_scale, target, start, /)"},
    {"drag_scale_for_apogee", fastcall<drag_scale_for_apogee>(), METH_FASTCALL,
     "drag_scale_for_apogee(craft, air, dof, state, method, step, max_iterations, level, schedule, target, start, /)"},
    {"fly_controlled", fastcall<fly_controlled>(), METH_FASTCALL,
     "fly_controlled(craft, air, dof, state, method, step, max_iterations, drag_scale, control, seed, flight, "
     "predictor, schedule, callback, record, /)"},
    {"run_block", fastcall<run_block>(), METH_FASTCALL,
     "run_block(inputs, outcomes, steps, status, layout, stop, /)\n--\n\n"
     "Runs every row of inputs (a study's block of real-air flights) to its apogee and returns the number "
     "of flights run to their end."},
    {"standard_air", standard_air, METH_O,
     "standard_air(altitude, /)\n--\n\nThe 1976 standard temperature and pressure at a geometric altitude."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace aeso::flight
