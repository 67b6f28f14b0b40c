// fly_controlled: a flight with its air-brake controller in the loop. The
// built-in controllers run natively with the whole flight detached from the
// interpreter; a Python callable is called attached at each tick.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/controlled_flight.hpp"
#include "objects.hpp"
#include "python/python_ref.hpp"
#include "run_arguments.hpp"

namespace aeso::flight {

namespace {

// The control tuple: (kind, target, rate, rate_limit, lag, delay, initial,
// height_sd, velocity_sd, velocity_scale, correlation_time, kp, ki, kd).
constexpr Py_ssize_t CONTROL_VALUES = 14;

// A Python callable as the core's external controller. The flight runs
// detached; each decision attaches, calls, checks the level and detaches.
struct Callback {
    PyObject* callable;
    PyThreadState* thread = nullptr;
    // How the controller failed: 0 not, 1 it raised, 2 it returned no
    // valid level; with the exception and the tick's time.
    int failure = 0;
    PyObject* error = nullptr;
    double failed_time = 0.0;

    static bool decide(void* context, double time, const double* sensed, int size, double deployment,
                       double& level) {
        auto* self = static_cast<Callback*>(context);
        PyEval_RestoreThread(self->thread);
        const bool ok = self->call(time, sensed, size, deployment, level);
        self->thread = PyEval_SaveThread();
        return ok;
    }

    bool call(double time, const double* sensed, int size, double deployment, double& level) {
        py::Ref state(PyTuple_New(size));
        if (!state) return fail(1, time);
        for (int i = 0; i < size; ++i) {
            PyObject* v = PyFloat_FromDouble(sensed[i]);
            if (v == nullptr) return fail(1, time);
            PyTuple_SET_ITEM(state.get(), i, v);
        }
        py::Ref result(PyObject_CallFunction(callable, "dOd", time, state.get(), deployment));
        if (!result) return fail(1, time);
        char when[32];
        std::snprintf(when, sizeof when, "%g", time);
        double value = -1.0;
        if (!PyBool_Check(result.get())) value = PyFloat_AsDouble(result.get());
        if (PyBool_Check(result.get()) || (value == -1.0 && PyErr_Occurred())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError,
                         "the controller returned %.100s at t = %s s: a level must be a number from 0 to 1",
                         Py_TYPE(result.get())->tp_name, when);
            return fail(2, time);
        }
        if (!(value >= 0.0 && value <= 1.0)) {
            PyErr_Format(PyExc_ValueError, "the controller returned %R at t = %s s: a level must be from 0 to 1",
                         result.get(), when);
            return fail(2, time);
        }
        level = value;
        return true;
    }

    // Keeps the exception being raised.
    bool fail(int kind, double time) {
        failure = kind;
        failed_time = time;
#if PY_VERSION_HEX >= 0x030C0000
        error = PyErr_GetRaisedException();
#else
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        error = value;
#endif
        return false;
    }
};

}  // namespace

// fly_controlled(craft, air, dof, state, method, step, max_iterations,
// drag_scale, control, seed, flight, predictor, schedule, callback, record)
// -> (status, apogee, time, x, |vx|, steps, failed_at, final_deployment,
//     travel, ticks, predictions, records, failure, error, failed_time)
PyObject* fly_controlled(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    Common c;
    double drag_scale;
    double v[CONTROL_VALUES];
    if (!check_count("fly_controlled", nargs, COMMON_ARGS + 8) || !parse_common(module, args, c) ||
        !parse_double(args[7], drag_scale) || !read_floats(args[8], v, CONTROL_VALUES, "control")) {
        return nullptr;
    }
    ControlSettings control;
    control.controller.kind = static_cast<ControllerKind>(static_cast<int>(v[0]));
    control.controller.target = v[1];
    control.rate = v[2];
    control.actuator = {v[3], v[4], v[5], v[6]};
    control.sensors = {v[7], v[8], v[9], v[10]};
    control.controller.kp = v[11];
    control.controller.ki = v[12];
    control.controller.kd = v[13];
    control.seed = PyLong_AsUnsignedLongLongMask(args[9]);
    control.flight = PyLong_AsUnsignedLongLongMask(args[10]);
    if (PyErr_Occurred()) return nullptr;

    Common predictor_args;
    AirModel predictor_model{};
    if (args[11] != Py_None &&
        !parse_predictor(module, args[11], control.controller.predictor, predictor_args, predictor_model)) {
        return nullptr;
    }
    if (args[12] != Py_None) {
        if (!PyObject_TypeCheck(args[12], state_of(module)->schedule_type)) {
            PyErr_SetString(PyExc_TypeError, "schedule must be a native Schedule or None");
            return nullptr;
        }
        control.controller.schedule = reinterpret_cast<const ScheduleObject*>(args[12])->curve;
    }
    Callback callback{args[13]};
    if (args[13] != Py_None) control.controller.external = {&callback, &Callback::decide};
    const int record = PyObject_IsTrue(args[14]);
    if (record < 0) return nullptr;
    if ((control.controller.kind == ControllerKind::Predictive || control.controller.kind == ControllerKind::Pid) &&
        args[11] == Py_None) {
        PyErr_SetString(PyExc_ValueError, "this controller needs a predictor");
        return nullptr;
    }
    if ((control.controller.kind == ControllerKind::Schedule && control.controller.schedule == nullptr) ||
        (control.controller.kind == ControllerKind::External && args[13] == Py_None)) {
        PyErr_SetString(PyExc_ValueError, "this controller needs its schedule or callable");
        return nullptr;
    }

    const AirModel model{c.air->table, c.craft->drag};
    const RealRun run{&model, c.solver, c.max_iterations};
    std::vector<TickRecord> ticks;
    ControlledOutcome out;
    // The flight runs detached; a callback attaches for its decisions. A
    // C++ exception (out of memory recording ticks) is carried across.
    bool no_memory = false;
    callback.thread = PyEval_SaveThread();
    try {
        out = with_initial(c, [&](const auto& initial) {
            return aeso::fly_controlled(c.craft->rocket, initial, run, drag_scale, control,
                                        record ? &ticks : nullptr);
        });
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    PyEval_RestoreThread(callback.thread);
    py::Ref error(callback.error);
    if (no_memory) return PyErr_NoMemory();

    py::Ref records(Py_None);
    Py_INCREF(Py_None);
    if (record) {
        constexpr std::size_t FIELDS = 9;
        records = py::Ref(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(ticks.size() * FIELDS * sizeof(double))));
        if (!records) return nullptr;
        auto* r = reinterpret_cast<double*>(PyByteArray_AS_STRING(records.get()));
        for (std::size_t i = 0; i < ticks.size(); ++i) {
            const TickRecord& t = ticks[i];
            const double row[FIELDS] = {t.time, t.true_height, t.true_velocity, t.sensed_height, t.sensed_velocity,
                                        t.predicted_apogee, t.commanded, t.actual, static_cast<double>(t.predictions)};
            std::memcpy(r + i * FIELDS, row, sizeof(row));
        }
    }
    const RealOutcome& f = out.flight;
    return Py_BuildValue("(iddddKdddKKOiOd)", static_cast<int>(f.status), f.apogee, f.time, f.x, f.horizontal_speed,
                         static_cast<unsigned long long>(f.steps), f.failed_at, out.final_deployment, out.travel,
                         static_cast<unsigned long long>(out.ticks), static_cast<unsigned long long>(out.predictions),
                         records.get(), callback.failure, error ? error.get() : Py_None, callback.failed_time);
}

}  // namespace aeso::flight
