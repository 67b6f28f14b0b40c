#include "run_arguments.hpp"

#include "python/plain_values.hpp"

namespace aeso::flight {

bool check_count(const char* name, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected, nargs);
    return false;
}

bool parse_flight(PyObject* module, PyObject* tuple, FlightArguments& f) {
    if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != 6) {
        PyErr_SetString(PyExc_TypeError, "flight must be a tuple (craft, air, dof, method, step, max_iterations)");
        return false;
    }
    PyObject* const* v = &PyTuple_GET_ITEM(tuple, 0);
    const ModuleState* st = state_of(module);
    if (!PyObject_TypeCheck(v[0], st->craft_type) || !PyObject_TypeCheck(v[1], st->air_type)) {
        PyErr_SetString(PyExc_TypeError, "craft and air must be native Craft and Air objects");
        return false;
    }
    f.craft = reinterpret_cast<const CraftObject*>(v[0]);
    f.air = reinterpret_cast<const AirObject*>(v[1]);
    long dof, method;
    if (!py::small_int(v[2], "dof", 1, 3, dof) || !py::small_int(v[3], "method", 0, 2, method)) return false;
    if (dof == 2) {
        PyErr_SetString(PyExc_ValueError, "dof must be 1 or 3");
        return false;
    }
    f.dof = static_cast<int>(dof);
    std::optional<TimeStepConfig> step;
    if (v[4] != Py_None) {
        double s[5];
        const Py_ssize_t n = PyTuple_Check(v[4]) ? PyTuple_GET_SIZE(v[4]) : 0;
        if (!py::read_floats(v[4], s, n == 1 ? 1 : 5, "step")) return false;
        if (n == 1) {
            step = FixedTimeStep{s[0]};
        } else {
            step = AdaptiveTimeStep{s[0], s[1], s[2], s[3], s[4]};
        }
    }
    Result<SolverConfig> solver = validate_solver_config(static_cast<OdeMethod>(method), step);
    if (!solver) {
        PyErr_SetString(PyExc_TypeError, solver.error().message.c_str());
        return false;
    }
    f.solver = solver.value();
    if (!py::unsigned_64(v[5], f.max_iterations)) return false;
    f.model = {f.air->table, f.craft->drag};
    return true;
}

bool parse_state(PyObject* tuple, int dof, double (&state)[6]) {
    return py::read_floats(tuple, state, dof == 1 ? 2 : 6, "state");
}

bool parse_deployment(PyObject* module, PyObject* object, Deployment& deployment) {
    if (PyObject_TypeCheck(object, state_of(module)->schedule_type)) {
        deployment = static_cast<const LinearCurve*>(reinterpret_cast<const ScheduleObject*>(object)->curve);
        return true;
    }
    double level;
    if (!py::read_double(object, level)) return false;
    deployment = level;
    return true;
}

bool parse_predictor(PyObject* module, PyObject* object, Predictor& p, FlightArguments& f) {
    if (!PyTuple_Check(object) || PyTuple_GET_SIZE(object) != 2) {
        PyErr_SetString(PyExc_TypeError, "predictor must be a tuple (flight, drag_scale)");
        return false;
    }
    if (!parse_flight(module, PyTuple_GET_ITEM(object, 0), f) ||
        !py::read_double(PyTuple_GET_ITEM(object, 1), p.drag_scale)) {
        return false;
    }
    p.dof = f.dof;
    p.rocket = f.craft->rocket;
    p.run = f.run(nullptr);
    return true;
}

bool parse_start(PyObject* object, std::optional<InverseStart>& start) {
    if (object == Py_None) return true;
    double v[4];
    if (!py::read_floats(object, v, 4, "start")) return false;
    start = InverseStart{v[0], v[1], v[2], v[3]};
    return true;
}

}  // namespace aeso::flight
