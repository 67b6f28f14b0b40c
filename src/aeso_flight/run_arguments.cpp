#include "run_arguments.hpp"

#include <optional>

#include "python/python_ref.hpp"

namespace aeso::flight {

bool check_count(const char* name, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected, nargs);
    return false;
}

bool parse_common(PyObject* module, PyObject* const* args, Common& c) {
    const ModuleState* st = state_of(module);
    if (!PyObject_TypeCheck(args[0], st->craft_type) || !PyObject_TypeCheck(args[1], st->air_type)) {
        PyErr_SetString(PyExc_TypeError, "craft and air must be native Craft and Air objects");
        return false;
    }
    c.craft = reinterpret_cast<const CraftObject*>(args[0]);
    c.air = reinterpret_cast<const AirObject*>(args[1]);
    c.dof = PyLong_AsLong(args[2]) == 3 ? 3 : 1;
    if (PyErr_Occurred()) return false;
    if (!read_floats(args[3], c.state, c.dof == 1 ? 2 : 6, "state")) return false;
    const long method = PyLong_AsLong(args[4]);
    if (method == -1 && PyErr_Occurred()) return false;
    if (method < 0 || method > 2) {
        PyErr_SetString(PyExc_ValueError, "method must be 0, 1 or 2");
        return false;
    }
    std::optional<TimeStepConfig> step;
    if (args[5] != Py_None) {
        double v[5];
        const Py_ssize_t n = PyTuple_Check(args[5]) ? PyTuple_GET_SIZE(args[5]) : 0;
        if (!read_floats(args[5], v, n == 1 ? 1 : 5, "step")) return false;
        if (n == 1) {
            step = FixedTimeStep{v[0]};
        } else {
            step = AdaptiveTimeStep{v[0], v[1], v[2], v[3], v[4]};
        }
    }
    Result<SolverConfig> solver = validate_solver_config(static_cast<OdeMethod>(method), step);
    if (!solver) {
        PyErr_SetString(PyExc_TypeError, solver.error().message.c_str());
        return false;
    }
    c.solver = solver.value();
    c.max_iterations = PyLong_AsUnsignedLongLong(args[6]);
    return !PyErr_Occurred();
}

bool parse_trim(PyObject* module, PyObject* level, PyObject* schedule, double drag_scale, FlightTrim& trim) {
    trim.drag_scale = drag_scale;
    trim.level = PyFloat_AsDouble(level);
    if (trim.level == -1.0 && PyErr_Occurred()) return false;
    if (schedule != Py_None) {
        if (!PyObject_TypeCheck(schedule, state_of(module)->schedule_type)) {
            PyErr_SetString(PyExc_TypeError, "schedule must be a native Schedule or None");
            return false;
        }
        trim.schedule = reinterpret_cast<const ScheduleObject*>(schedule)->curve;
    }
    return true;
}

bool parse_double(PyObject* object, double& out) {
    out = PyFloat_AsDouble(object);
    return !(out == -1.0 && PyErr_Occurred());
}

PyObject* outcome_tuple(const RealOutcome& o) {
    return Py_BuildValue("(idddd" "Kd)", static_cast<int>(o.status), o.apogee, o.time, o.x, o.horizontal_speed,
                         static_cast<unsigned long long>(o.steps), o.failed_at);
}

// The predictor tuple (craft, air, dof, step, max_iterations, drag_scale,
// method) as a core Predictor; `storage` keeps the parsed arguments (and
// `model` the air model) the predictor points to.
bool parse_predictor(PyObject* module, PyObject* object, Predictor& p, Common& storage, AirModel& model) {
    // (craft, air, dof, step, max_iterations, drag_scale, method)
    if (!PyTuple_Check(object) || PyTuple_GET_SIZE(object) != 7) {
        PyErr_SetString(PyExc_TypeError, "predictor must be a tuple of 7 values");
        return false;
    }
    PyObject* const* items = &PyTuple_GET_ITEM(object, 0);
    // parse_common reads (craft, air, dof, state, method, step, max_iterations);
    // the predictor has no state of its own: give it a dummy one.
    const long dof = PyLong_AsLong(items[2]);
    if (dof == -1 && PyErr_Occurred()) return false;
    const int size = dof == 3 ? 6 : 2;
    py::Ref dummy(PyTuple_New(size));
    if (!dummy) return false;
    for (int i = 0; i < size; ++i) {
        PyObject* zero = PyFloat_FromDouble(0.0);
        if (zero == nullptr) return false;
        PyTuple_SET_ITEM(dummy.get(), i, zero);
    }
    PyObject* args[COMMON_ARGS] = {items[0], items[1], items[2], dummy.get(), items[6], items[3], items[4]};
    if (!parse_common(module, args, storage)) return false;
    if (!parse_double(items[5], p.drag_scale)) return false;
    p.dof = storage.dof;
    p.rocket = storage.craft->rocket;
    model = {storage.air->table, storage.craft->drag};
    p.run = {&model, storage.solver, storage.max_iterations};
    return true;
}

}  // namespace aeso::flight
