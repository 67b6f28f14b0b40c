#include "results.hpp"

#include <initializer_list>

#include "python/python_ref.hpp"

namespace aeso::flight {

namespace {

PyStructSequence_Field FLIGHT_FIELDS[] = {
    {"status", "the FLIGHT_STATUS code"},
    {"apogee", "the final state's height (m above the pad), NaN without one"},
    {"time", "its time (s)"},
    {"x", "its downrange position (m; NaN in 1-DOF)"},
    {"horizontal_speed", "its |vx| (m/s; NaN in 1-DOF)"},
    {"steps", "the integration steps taken"},
    {"failed_at", "the height of the state that left the layers or stopped being finite"},
    {"failed_velocity", "that state's vertical velocity"},
    {nullptr, nullptr},
};
PyStructSequence_Field INVERSE_FIELDS[] = {
    {"status", "the INVERSE_STATUS code"},
    {"value", "the deployment level or the drag factor"},
    {"apogee", "the apogee predicted at value"},
    {"predictions", "the predictions the search made"},
    {"slope", "d apogee / d value near the answer"},
    {"low", "a value whose apogee is above the target, NaN if none was seen"},
    {"high", "one whose apogee is below"},
    {"failure", "the FlightResult of the prediction that failed, or None"},
    {nullptr, nullptr},
};
PyStructSequence_Field SIMULATED_FIELDS[] = {
    {"flight", "the FlightResult"},
    {"times", "the rows' times, float64 bytes"},
    {"rows", "the rows, float64 bytes, LOG_COLUMNS a row"},
    {nullptr, nullptr},
};
PyStructSequence_Field CONTROLLED_FIELDS[] = {
    {"flight", "the FlightResult"},
    {"final_deployment", "the deployment at apogee"},
    {"travel", "the deployment's movement, sampled at the ticks and apogee"},
    {"ticks", "the ticks taken"},
    {"predictions", "the predictions of every decision"},
    {"failed_decisions", "the decisions whose prediction failed"},
    {"decision_failure", "the FLIGHT_STATUS of the first such prediction"},
    {"records", "the tick records, float64 bytes, TICK_COLUMNS a tick, or None"},
    {"error", "the exception a callable controller raised or made, or None"},
    {"error_raised", "whether the callable raised it (else it returned no level from 0 to 1)"},
    {"failed_time", "the time of the tick it failed at"},
    {nullptr, nullptr},
};

PyStructSequence_Desc FLIGHT_DESC = {"aeso_flight._native.FlightResult", "How a native flight ended.",
                                     FLIGHT_FIELDS, 8};
PyStructSequence_Desc INVERSE_DESC = {"aeso_flight._native.InverseResult", "What a native inverse found.",
                                      INVERSE_FIELDS, 8};
PyStructSequence_Desc SIMULATED_DESC = {"aeso_flight._native.SimulatedResult", "A native flight log.",
                                        SIMULATED_FIELDS, 3};
PyStructSequence_Desc CONTROLLED_DESC = {"aeso_flight._native.ControlledResult", "A native controlled flight.",
                                         CONTROLLED_FIELDS, 11};

int add_type(PyObject* module, PyStructSequence_Desc& desc, const char* name, PyTypeObject*& slot) {
    slot = PyStructSequence_NewType(&desc);
    if (slot == nullptr) return -1;
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(slot));
}

// A result of `type` from new references to its items (a null item fails
// it; every reference is released).
PyObject* make(PyTypeObject* type, std::initializer_list<PyObject*> items) {
    py::Ref result(PyStructSequence_New(type));
    Py_ssize_t i = 0;
    bool failed = !result;
    for (PyObject* item : items) {
        if (item == nullptr || failed) {
            failed = true;
            Py_XDECREF(item);
            continue;
        }
        PyStructSequence_SetItem(result.get(), i++, item);
    }
    return failed ? nullptr : result.release();
}

PyObject* status_code(FlightStatus s) { return PyLong_FromLong(static_cast<long>(s)); }

}  // namespace

int add_result_types(PyObject* module, ModuleState& state) {
    if (add_type(module, FLIGHT_DESC, "FlightResult", state.flight_result_type) < 0 ||
        add_type(module, INVERSE_DESC, "InverseResult", state.inverse_result_type) < 0 ||
        add_type(module, SIMULATED_DESC, "SimulatedResult", state.simulated_result_type) < 0 ||
        add_type(module, CONTROLLED_DESC, "ControlledResult", state.controlled_result_type) < 0) {
        return -1;
    }
    return 0;
}

PyObject* flight_result(const ModuleState& state, const FlightOutcome& o) {
    return make(state.flight_result_type,
                {status_code(o.status), PyFloat_FromDouble(o.apogee), PyFloat_FromDouble(o.time),
                 PyFloat_FromDouble(o.x), PyFloat_FromDouble(o.horizontal_speed),
                 PyLong_FromUnsignedLongLong(o.steps), PyFloat_FromDouble(o.failed_at),
                 PyFloat_FromDouble(o.failed_velocity)});
}

PyObject* inverse_result(const ModuleState& state, const InverseResult& r) {
    PyObject* failure = r.status == InverseStatus::Failed ? flight_result(state, r.failure) : Py_NewRef(Py_None);
    return make(state.inverse_result_type,
                {PyLong_FromLong(static_cast<long>(r.status)), PyFloat_FromDouble(r.value),
                 PyFloat_FromDouble(r.apogee), PyLong_FromLong(r.predictions), PyFloat_FromDouble(r.slope),
                 PyFloat_FromDouble(r.low), PyFloat_FromDouble(r.high), failure});
}

PyObject* simulated_result(const ModuleState& state, const FlightOutcome& o, PyObject* times, PyObject* rows) {
    return make(state.simulated_result_type, {flight_result(state, o), Py_NewRef(times), Py_NewRef(rows)});
}

PyObject* controlled_result(const ModuleState& state, const ControlledOutcome& o, PyObject* records,
                            PyObject* error, bool error_raised, double failed_time) {
    return make(state.controlled_result_type,
                {flight_result(state, o.flight), PyFloat_FromDouble(o.final_deployment),
                 PyFloat_FromDouble(o.travel), PyLong_FromUnsignedLongLong(o.ticks),
                 PyLong_FromUnsignedLongLong(o.predictions), PyLong_FromUnsignedLongLong(o.failed_decisions),
                 status_code(o.decision_failure), Py_NewRef(records), Py_NewRef(error),
                 PyBool_FromLong(error_raised), PyFloat_FromDouble(failed_time)});
}

}  // namespace aeso::flight
