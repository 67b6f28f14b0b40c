#include "run_arguments.hpp"

#include <optional>

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

}  // namespace aeso::flight
