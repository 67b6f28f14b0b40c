// The module's run functions: predict, simulate and the two inverses. Each
// takes its arguments as plain values and native objects (the package's
// private module _arguments builds them, checked), copies what it needs, and
// runs detached from the interpreter; a run started on the main thread
// stops on Ctrl-C (see python/interrupt.hpp). Results are named (see
// results.hpp).

#include <cmath>
#include <cstring>
#include <new>
#include <optional>

#include "core/apogee_inverse.hpp"
#include "core/real_air_run.hpp"
#include "objects.hpp"
#include "python/detached.hpp"
#include "python/interrupt.hpp"
#include "python/plain_values.hpp"
#include "python/python_ref.hpp"
#include "results.hpp"
#include "run_arguments.hpp"

namespace aeso::flight {

namespace {

bool stopped(const FlightOutcome& o) noexcept { return o.status == FlightStatus::Stopped; }
bool inverse_stopped(const InverseResult& r) noexcept {
    return r.status == InverseStatus::Failed && r.failure.status == FlightStatus::Stopped;
}

// `result` = fly(rocket, initial, run) for the flight from its state,
// detached and stopped by Ctrl-C on the main thread; false with an
// exception set when the signal's handler raised.
template <class Result, class Fly, class Stopped>
bool run_flight(const FlightArguments& f, const double (&state)[6], Fly&& fly, Stopped&& is_stopped,
                Result& result) {
    const auto run = [&](const std::atomic<bool>* stop) {
        const RealRun r = f.run(stop);
        return py::run_detached(
            [&] { return with_initial(f.dof, state, [&](const auto& initial) { return fly(initial, r); }); });
    };
    return py::run_interruptible(run, is_stopped, result);
}

// predict(flight, state, deployment, drag_scale) -> FlightResult
PyObject* predict(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    FlightArguments f;
    double state[6];
    FlightTrim trim;
    if (!check_count("predict", nargs, 4) || !parse_flight(module, args[0], f) ||
        !parse_state(args[1], f.dof, state) || !parse_deployment(module, args[2], trim.deployment) ||
        !py::read_double(args[3], trim.drag_scale)) {
        return nullptr;
    }
    FlightOutcome out;
    const auto fly = [&](const auto& initial, const RealRun& r) { return fly_real(f.craft->rocket, initial, r, trim); };
    if (!run_flight(f, state, fly, stopped, out)) return nullptr;
    return flight_result(*state_of(module), out);
}

// The extra columns of a logged row: density, Mach number, deployment.
void extra_columns(const FlightArguments& f, const FlightTrim& trim, double time, const LogRow& row, double* out) {
    const double altitude = f.dof == 1 ? row[0] : row[1];
    const double speed = f.dof == 1 ? std::fabs(row[1]) : std::sqrt(row[4] * row[4] + row[3] * row[3]);
    const AirSample air = f.air->table->at(altitude);
    out[0] = 2.0 * air.half_rho;
    out[1] = speed * air.inv_speed_of_sound;
    out[2] = f.craft->drag->brakes.cd.empty() ? 0.0 : trim.deployment_at(time);
}

// simulate(flight, state, deployment, drag_scale) -> SimulatedResult: the
// times and rows as bytearrays of float64, rows n x 12.
PyObject* simulate(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    FlightArguments f;
    double state[6];
    FlightTrim trim;
    if (!check_count("simulate", nargs, 4) || !parse_flight(module, args[0], f) ||
        !parse_state(args[1], f.dof, state) || !parse_deployment(module, args[2], trim.deployment) ||
        !py::read_double(args[3], trim.drag_scale)) {
        return nullptr;
    }
    std::optional<FlightLog> log;
    FlightOutcome out;
    const auto fly = [&](const auto& initial, const RealRun& r) {
        Result<FlightLog> created = FlightLog::create();
        if (!created) {
            FlightOutcome failed;
            failed.status = FlightStatus::OutOfMemory;
            return failed;
        }
        log.emplace(std::move(created.value()));
        return fly_real(f.craft->rocket, initial, r, trim, &*log);
    };
    if (!run_flight(f, state, fly, stopped, out)) return nullptr;
    if (out.status == FlightStatus::OutOfMemory) return PyErr_NoMemory();
    const std::size_t n = log->size();
    py::Ref times(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * sizeof(double))));
    py::Ref rows(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * FLIGHT_LOG_COLUMNS * sizeof(double))));
    if (!times || !rows) return nullptr;
    if (n != 0) {
        std::memcpy(PyByteArray_AS_STRING(times.get()), log->times(), n * sizeof(double));
        auto* r = reinterpret_cast<double*>(PyByteArray_AS_STRING(rows.get()));
        for (std::size_t i = 0; i < n; ++i) {
            double* row = r + i * FLIGHT_LOG_COLUMNS;
            std::memcpy(row, log->rows()[i].data(), LOG_COLUMNS * sizeof(double));
            extra_columns(f, trim, log->times()[i], log->rows()[i], row + LOG_COLUMNS);
        }
    }
    return simulated_result(*state_of(module), out, times.get(), rows.get());
}

// deployment_for_apogee(flight, state, drag_scale, target, start) -> InverseResult
PyObject* deployment_for_apogee(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    FlightArguments f;
    double state[6];
    FlightTrim trim;
    double target;
    std::optional<InverseStart> start;
    if (!check_count("deployment_for_apogee", nargs, 5) || !parse_flight(module, args[0], f) ||
        !parse_state(args[1], f.dof, state) || !py::read_double(args[2], trim.drag_scale) ||
        !py::read_double(args[3], target) || !parse_start(args[4], start)) {
        return nullptr;
    }
    InverseResult r;
    const auto inverse = [&](const auto& initial, const RealRun& run) {
        return aeso::deployment_for_apogee(f.craft->rocket, initial, run, trim, target, start ? &*start : nullptr);
    };
    if (!run_flight(f, state, inverse, inverse_stopped, r)) return nullptr;
    return inverse_result(*state_of(module), r);
}

// drag_scale_for_apogee(flight, state, deployment, target, start) -> InverseResult
PyObject* drag_scale_for_apogee(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    FlightArguments f;
    double state[6];
    FlightTrim trim;
    double target;
    std::optional<InverseStart> start;
    if (!check_count("drag_scale_for_apogee", nargs, 5) || !parse_flight(module, args[0], f) ||
        !parse_state(args[1], f.dof, state) || !parse_deployment(module, args[2], trim.deployment) ||
        !py::read_double(args[3], target) || !parse_start(args[4], start)) {
        return nullptr;
    }
    InverseResult r;
    const auto inverse = [&](const auto& initial, const RealRun& run) {
        return aeso::drag_scale_for_apogee(f.craft->rocket, initial, run, trim, target, start ? &*start : nullptr);
    };
    if (!run_flight(f, state, inverse, inverse_stopped, r)) return nullptr;
    return inverse_result(*state_of(module), r);
}

// standard_air(altitude) -> (temperature, pressure) of the 1976 standard at
// a geometric altitude above sea level.
PyObject* standard_air(PyObject*, PyObject* altitude) {
    const double z = PyFloat_AsDouble(altitude);
    if (z == -1.0 && PyErr_Occurred()) return nullptr;
    return Py_BuildValue("(dd)", atmosphere::standard_temperature(z), atmosphere::standard_pressure(z));
}

}  // namespace

// The signatures are those of _native.pyi; the docstrings say what each does.
PyMethodDef RUN_METHODS[] = {
    {"predict", fastcall<predict>(), METH_FASTCALL, "The apogee of a flight in the real air."},
    {"simulate", fastcall<simulate>(), METH_FASTCALL, "The flight log of a flight in the real air."},
    {"deployment_for_apogee", fastcall<deployment_for_apogee>(), METH_FASTCALL,
     "The deployment level whose predicted apogee is a target."},
    {"drag_scale_for_apogee", fastcall<drag_scale_for_apogee>(), METH_FASTCALL,
     "The factor on the whole drag whose predicted apogee is a target."},
    {"fly_controlled", fastcall<fly_controlled>(), METH_FASTCALL, "A flight with its brake controller in the loop."},
    {"run_block", fastcall<run_block>(), METH_FASTCALL,
     "Runs every row of inputs (a study's block of real-air flights) to its apogee and returns the number "
     "of flights run to their end."},
    {"standard_air", standard_air, METH_O, "The 1976 standard temperature and pressure at a geometric altitude."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace aeso::flight
