// run_block: a block of a dispersion study's flights in the real air,
// controlled or not, in one call with the thread detached from the
// interpreter for the whole block (the real-air twin of
// aeso_dispersion._flights.run_block, over the same core).

#include <cstdint>

#include "core/real_flight_block.hpp"
#include "objects.hpp"
#include "python/block_buffers.hpp"
#include "python/detached.hpp"
#include "python/plain_values.hpp"
#include "python/stop_flag.hpp"
#include "run_arguments.hpp"

namespace aeso::flight {

namespace {

constexpr Py_ssize_t LAYOUT_VALUES = 16;
constexpr Py_ssize_t OUTCOME_ROWS = static_cast<Py_ssize_t>(REAL_OUTCOME_NAMES.size());

// The layout tuple: (model, speed_and_angle, method, step, max_iterations,
// environment, drag_scale, deployment, control, controller, craft, air,
// schedule, predictor, seed, first_flight).
bool parse_layout(PyObject* module, PyObject* tuple, RealBlockLayout& layout, FlightArguments& predictor_flight) {
    if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != LAYOUT_VALUES) {
        PyErr_Format(PyExc_TypeError, "layout must be a tuple of %zd values", LAYOUT_VALUES);
        return false;
    }
    PyObject* const* v = &PyTuple_GET_ITEM(tuple, 0);
    long model, speed_and_angle, method, step, environment, drag_scale, deployment, control, controller;
    using py::small_int;
    if (!small_int(v[0], "model", 1, 3, model) || model == 2 ||
        !small_int(v[1], "speed_and_angle", 0, 1, speed_and_angle) || !small_int(v[2], "method", 0, 2, method) ||
        !small_int(v[3], "step", 0, 2, step) || !small_int(v[5], "environment", 0, 2, environment) ||
        !small_int(v[6], "drag_scale", 0, 1, drag_scale) || !small_int(v[7], "deployment", 0, 1, deployment) ||
        !small_int(v[8], "control", 0, 1, control) || !small_int(v[9], "controller", 0, 2, controller)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "model must be 1 or 3");
        return false;
    }
    std::uint64_t max_iterations;
    if (!py::unsigned_64(v[4], max_iterations)) return false;
    layout.flight = {static_cast<FlightModel>(model), speed_and_angle != 0, static_cast<OdeMethod>(method),
                     static_cast<StepColumns>(step), max_iterations};
    if (!layout.flight.step_matches_method()) {
        PyErr_SetString(PyExc_ValueError, "RK45 takes adaptive step options, Euler and RK3 fixed ones");
        return false;
    }
    layout.environment = static_cast<EnvironmentColumns>(environment);
    layout.drag_scale = drag_scale != 0;
    layout.deployment = deployment != 0;
    layout.control = control != 0;
    layout.controller = static_cast<std::size_t>(controller);

    const ModuleState* st = state_of(module);
    if (!PyObject_TypeCheck(v[10], st->craft_type)) {
        PyErr_SetString(PyExc_TypeError, "craft must be a native Craft");
        return false;
    }
    layout.drag = reinterpret_cast<const CraftObject*>(v[10])->drag;
    if (v[11] != Py_None) {
        if (!PyObject_TypeCheck(v[11], st->air_type)) {
            PyErr_SetString(PyExc_TypeError, "air must be a native Air or None");
            return false;
        }
        layout.atmosphere = reinterpret_cast<const AirObject*>(v[11])->table;
    } else if (layout.environment == EnvironmentColumns::None) {
        PyErr_SetString(PyExc_ValueError, "a block without environment columns needs its air");
        return false;
    }
    if (v[12] != Py_None) {
        if (!PyObject_TypeCheck(v[12], st->schedule_type)) {
            PyErr_SetString(PyExc_TypeError, "schedule must be a native Schedule or None");
            return false;
        }
        layout.schedule = reinterpret_cast<const ScheduleObject*>(v[12])->curve;
    }
    if (layout.control) {
        const bool predicts = layout.controller != 2;  // Predictive and PID
        if (predicts && (v[13] == Py_None || !parse_predictor(module, v[13], layout.predictor, predictor_flight))) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "this controller needs a predictor");
            return false;
        }
        if (!predicts && layout.schedule == nullptr) {
            PyErr_SetString(PyExc_ValueError, "the Schedule controller needs its schedule");
            return false;
        }
    }
    return py::unsigned_64(v[14], layout.seed) && py::unsigned_64(v[15], layout.first_flight);
}

}  // namespace

// run_block(inputs, outcomes, steps, status, layout, stop) -> flights run to
// their end. outcomes: 7 x rows (apogee, time, x, |vx|, miss,
// final_deployment, travel).
PyObject* run_block(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_count("run_block", nargs, 6)) return nullptr;
    RealBlockLayout layout;
    FlightArguments predictor_flight;
    if (!parse_layout(module, args[4], layout, predictor_flight)) return nullptr;
    if (!PyObject_TypeCheck(args[5], state_of(module)->stop_flag_type)) {
        PyErr_SetString(PyExc_TypeError, "stop must be a StopFlag");
        return nullptr;
    }
    py::BlockBuffers block;
    if (!block.get(args, static_cast<Py_ssize_t>(layout.columns()), OUTCOME_ROWS)) return nullptr;
    const std::size_t n = static_cast<std::size_t>(block.rows());
    const RealBlockOutcomes out{{block.outcome(0), block.outcome(1), block.outcome(2), block.outcome(3),
                                 block.steps.data<std::uint64_t>(), block.status.data<std::uint8_t>()},
                                block.outcome(4),
                                block.outcome(5),
                                block.outcome(6)};
    const auto& flag = reinterpret_cast<py::StopFlagObject*>(args[5])->flag;
    // The flights read the buffers, the native objects the layout holds
    // (kept alive by the caller's references) and the flag.
    std::size_t finished = 0;
    try {
        finished = py::run_detached(
            [&] { return run_real_flight_block(layout, block.inputs.data<const double>(), n, out, flag); });
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return PyLong_FromSize_t(finished);
}

}  // namespace aeso::flight
