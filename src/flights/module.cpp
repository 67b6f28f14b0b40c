// The module aeso_dispersion._flights: runs a block of a dispersion study's
// flights in one call, with the thread detached from the interpreter for
// the whole block, and a stop flag that reaches a flight while it runs.
//
// The caller owns every array: it passes the inputs and the outcome arrays
// as buffers (float64 inputs, rows x columns; float64 outcomes, a row per
// name in OUTCOMES: apogee, time of apogee, x and horizontal speed at
// apogee; uint64 steps; uint8 status), and how a row's columns are laid out
// as one layout value. Nothing is allocated per flight and no text is
// built. The statuses, models, methods, kinds of step columns and outcomes
// are exported by name, so that Python copies none of their values.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "python/block_buffers.hpp"
#include "python/module_names.hpp"
#include "python/module_setup.hpp"
#include "python/plain_values.hpp"
#include "python/python_ref.hpp"
#include "python/stop_flag.hpp"
#include "python/detached.hpp"
#include "core/flight_block.hpp"

namespace aeso::flights {

namespace {

using py::Ref;

// The StopFlag type: set from any thread, read by the flights of every
// block it was passed to.
PyType_Spec STOP_FLAG_SPEC = py::stop_flag_spec("aeso_dispersion._flights.StopFlag");

// Per-interpreter state of the module: its StopFlag type.
struct ModuleState {
    PyTypeObject* stop_flag_type;

    template <class F>
    void each(F&& f) {
        f(stop_flag_type);
    }
};

ModuleState* state_of(PyObject* module) { return py::module_state<ModuleState>(module); }

// ---------------------------------------------------------------------------
// The enums and the outcomes, by name: the Python side reads their values
// from here instead of copying them.

using py::add_names;
using py::named;
using py::Named;

constexpr Named FLIGHT_MODELS[] = {named("1dof", FlightModel::OneDof), named("3dof", FlightModel::ThreeDof)};
constexpr Named ODE_METHODS[] = {named("Euler", OdeMethod::Euler), named("RK3", OdeMethod::RK3),
                                 named("RK45", OdeMethod::RK45)};
constexpr Named STEP_KINDS[] = {named("default", StepColumns::Default), named("fixed", StepColumns::Fixed),
                                named("adaptive", StepColumns::Adaptive)};

// ---------------------------------------------------------------------------
// run_block

constexpr Py_ssize_t RUN_BLOCK_ARGS = 6;
constexpr Py_ssize_t OUTCOME_ROWS = static_cast<Py_ssize_t>(OUTCOME_NAMES.size());

// An integer attribute of the layout, from `low` to `high`.
bool layout_int(PyObject* layout, const char* name, long low, long high, long& out) {
    Ref value{PyObject_GetAttrString(layout, name)};
    return value && py::small_int(value.get(), name, low, high, out);
}

// The FlightBlockLayout of a layout value: any object with the attributes
// model, method, step (the values of FLIGHT_MODEL, ODE_METHOD and
// STEP_COLUMNS), speed_and_angle (true or false) and max_iterations.
bool layout_from(PyObject* object, FlightBlockLayout& layout) {
    long model, method, step, speed_and_angle;
    if (!layout_int(object, "model", 1, 3, model) || !layout_int(object, "method", 0, 2, method) ||
        !layout_int(object, "step", 0, 2, step) ||
        !layout_int(object, "speed_and_angle", 0, 1, speed_and_angle)) {
        return false;
    }
    if (model == 2) {
        PyErr_SetString(PyExc_ValueError, "model must be 1 or 3");
        return false;
    }
    Ref limit{PyObject_GetAttrString(object, "max_iterations")};
    if (!limit) return false;
    const unsigned long long max_iterations = PyLong_AsUnsignedLongLong(limit.get());
    if (max_iterations == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    layout = {static_cast<FlightModel>(model), speed_and_angle != 0, static_cast<OdeMethod>(method),
              static_cast<StepColumns>(step), max_iterations};
    if (!layout.step_matches_method()) {
        PyErr_SetString(PyExc_ValueError, "RK45 takes adaptive step options, Euler and RK3 fixed ones");
        return false;
    }
    return true;
}

PyObject* run_block(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != RUN_BLOCK_ARGS) {
        PyErr_Format(PyExc_TypeError, "run_block() takes %zd positional arguments (%zd given)",
                     RUN_BLOCK_ARGS, nargs);
        return nullptr;
    }
    FlightBlockLayout layout{};
    if (!layout_from(args[0], layout)) return nullptr;
    if (!PyObject_TypeCheck(args[5], state_of(module)->stop_flag_type)) {
        PyErr_SetString(PyExc_TypeError, "stop must be a StopFlag");
        return nullptr;
    }

    py::BlockBuffers block;
    if (!block.get(args + 1, static_cast<Py_ssize_t>(layout.columns()), OUTCOME_ROWS)) return nullptr;
    const std::size_t n = static_cast<std::size_t>(block.rows());
    const FlightBlockOutcomes out{block.outcome(0), block.outcome(1), block.outcome(2), block.outcome(3),
                                  block.steps.data<std::uint64_t>(), block.status.data<std::uint8_t>()};
    const auto& flag = reinterpret_cast<py::StopFlagObject*>(args[5])->flag;
    // The flights read and write only the buffers held above and the flag,
    // whose object the caller's reference keeps alive for the call.
    const std::size_t finished = py::run_detached(
        [&] { return run_flight_block(layout, block.inputs.data<const double>(), n, out, flag); });
    return PyLong_FromSize_t(finished);
}

PyMethodDef MODULE_METHODS[] = {
    {"run_block", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_block)), METH_FASTCALL,
     "run_block(layout, inputs, outcomes, steps, status, stop, /)\n--\n\n"
     "Runs every row of inputs to its apogee and returns the number of flights run to their end.\n"
     "layout has the attributes model, method, step (values of FLIGHT_MODEL, ODE_METHOD and\n"
     "STEP_COLUMNS), speed_and_angle and max_iterations; outcomes has a row per name in OUTCOMES."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
    // A run ends once its vertical velocity drops below its threshold: a
    // start at or below it has no apogee ahead (the study's domains refuse
    // one).
    if (py::add_type(module, &STOP_FLAG_SPEC, "StopFlag", state_of(module)->stop_flag_type) < 0 ||
        py::add_float(module, "APOGEE_VELOCITY_THRESHOLD", APOGEE_VELOCITY_THRESHOLD) < 0) {
        return -1;
    }
    if (py::add_name_pairs(module, "FLIGHT_STATUS", FLIGHT_STATUS_NAMES) < 0 ||
        add_names(module, "FLIGHT_MODEL", FLIGHT_MODELS) < 0 || add_names(module, "ODE_METHOD", ODE_METHODS) < 0 ||
        add_names(module, "STEP_COLUMNS", STEP_KINDS) < 0 || py::add_name_tuple(module, "OUTCOMES", OUTCOME_NAMES) < 0) {
        return -1;
    }
    return PyModule_AddIntConstant(module, "STOP_CHECK_INTERVAL", static_cast<long>(STOP_CHECK_INTERVAL));
}

PyModuleDef MODULE_DEFINITION = py::module_definition<ModuleState, module_exec>(
    "aeso_dispersion._flights", "Native runs of a dispersion study's blocks of flights.", MODULE_METHODS);

}  // namespace

}  // namespace aeso::flights

PyMODINIT_FUNC PyInit__flights(void) { return PyModuleDef_Init(&aeso::flights::MODULE_DEFINITION); }
