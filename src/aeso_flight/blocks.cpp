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

constexpr Py_ssize_t LAYOUT_VALUES = 22;
constexpr Py_ssize_t OUTCOME_ROWS = static_cast<Py_ssize_t>(REAL_OUTCOME_NAMES.size());

// The flight computer's part of the layout: (barometric, learn_drag,
// computer, believed_air, believed_pad_pressure, mach_error).
bool parse_computer(PyObject* module, PyObject* const* v, RealBlockLayout& layout) {
    long barometric, learn_drag, computer;
    if (!py::small_int(v[0], "barometric", 0, 1, barometric) || !py::small_int(v[1], "learn_drag", 0, 1, learn_drag) ||
        !py::small_int(v[2], "computer", 0, 1, computer)) {
        return false;
    }
    layout.barometric = barometric != 0;
    layout.learn_drag = learn_drag != 0;
    layout.computer = computer != 0;
    if ((layout.barometric || layout.computer || layout.learn_drag) && (!layout.control || layout.controller == 2)) {
        PyErr_SetString(PyExc_ValueError, "a frame, raw sensors and drag learning belong to a predicting controller");
        return false;
    }
    if (layout.learn_drag && !layout.computer) {
        PyErr_SetString(PyExc_ValueError, "a controller learns its drag from a flight computer's accelerometer");
        return false;
    }
    if (layout.barometric && layout.predictor.column == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the barometric frame needs the predictor's air to be standard");
        return false;
    }
    if (!layout.computer) return true;
    const AirObject* believed = standard_air_of(module, v[3]);
    if (believed == nullptr || !py::read_double(v[4], layout.believed_pad_pressure)) return false;
    layout.believed = believed->column;
    if (layout.environment == EnvironmentColumns::None && layout.column == nullptr) {
        PyErr_SetString(PyExc_ValueError, "raw sensors need the flight's air to be standard");
        return false;
    }
    if (v[5] != Py_None) {
        if (!PyObject_TypeCheck(v[5], state_of(module)->schedule_type)) {
            PyErr_SetString(PyExc_TypeError, "mach_error must be a native Schedule or None");
            return false;
        }
        layout.mach_error = reinterpret_cast<const ScheduleObject*>(v[5])->curve;
    }
    return true;
}

// The layout tuple: (model, speed_and_angle, method, step, max_iterations,
// environment, drag_scale, deployment, control, controller, craft, air,
// schedule, predictor, seed, first_flight, barometric, learn_drag, computer,
// believed_air, believed_pad_pressure, mach_error): the last six those of
// a flight computer (believed_air None and mach_error None without one).
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
        layout.column = reinterpret_cast<const AirObject*>(v[11])->column;
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
    if (!py::unsigned_64(v[14], layout.seed) || !py::unsigned_64(v[15], layout.first_flight)) return false;
    return parse_computer(module, v + 16, layout);
}

}  // namespace

// run_block(inputs, outcomes, steps, status, layout, stop) -> flights run to
// their end. outcomes: 9 x rows (apogee, time, x, |vx|, miss,
// final_deployment, travel, barometric_apogee, learned_scale).
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
                                block.outcome(6),
                                block.outcome(7),
                                block.outcome(8)};
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
