// fly_controlled: a flight with its air-brake controller in the loop. The
// built-in controllers run natively with the whole flight detached from the
// interpreter; a Python callable is called attached at each tick.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/controlled_flight.hpp"
#include "objects.hpp"
#include "python/interrupt.hpp"
#include "python/plain_values.hpp"
#include "python/python_ref.hpp"
#include "results.hpp"
#include "run_arguments.hpp"

namespace aeso::flight {

namespace {

// The control tuple: (rate, rate_limit, lag, delay, initial, height_sd,
// velocity_sd, velocity_scale, correlation_time).
constexpr Py_ssize_t CONTROL_VALUES = 9;

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

// The controller tuple, by its kind (an index of CONTROLLER_NAMES):
// (predictive, target, predictor), (pid, target, predictor, kp, ki, kd),
// (schedule, Schedule), (external, callable). `predictor_flight` keeps what
// a predictor points to, `callback` the callable.
bool parse_controller(PyObject* module, PyObject* tuple, ControllerSettings& controller,
                      FlightArguments& predictor_flight, Callback& callback) {
    const Py_ssize_t n = PyTuple_Check(tuple) ? PyTuple_GET_SIZE(tuple) : 0;
    long kind;
    if (n < 2 || !py::small_int(PyTuple_GET_ITEM(tuple, 0), "controller kind", 0,
                                static_cast<long>(CONTROLLER_NAMES.size()) - 1, kind)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "controller must be a tuple (kind, ...)");
        return false;
    }
    PyObject* const* v = &PyTuple_GET_ITEM(tuple, 0);
    static constexpr Py_ssize_t SIZES[] = {3, 6, 2, 2};
    if (n != SIZES[kind]) {
        PyErr_Format(PyExc_TypeError, "a %s controller tuple has %zd values, not %zd", CONTROLLER_NAMES[kind],
                     SIZES[kind], n);
        return false;
    }
    switch (kind) {
        case 0: {
            PredictiveSettings p;
            if (!py::read_double(v[1], p.target) || !parse_predictor(module, v[2], p.predictor, predictor_flight)) {
                return false;
            }
            controller = p;
            return true;
        }
        case 1: {
            PidSettings p;
            if (!py::read_double(v[1], p.target) || !parse_predictor(module, v[2], p.predictor, predictor_flight) ||
                !py::read_double(v[3], p.kp) || !py::read_double(v[4], p.ki) || !py::read_double(v[5], p.kd)) {
                return false;
            }
            controller = p;
            return true;
        }
        case 2:
            if (!PyObject_TypeCheck(v[1], state_of(module)->schedule_type)) {
                PyErr_SetString(PyExc_TypeError, "a schedule controller needs a native Schedule");
                return false;
            }
            controller = ScheduleSettings{reinterpret_cast<const ScheduleObject*>(v[1])->curve};
            return true;
        default:
            if (!PyCallable_Check(v[1])) {
                PyErr_SetString(PyExc_TypeError, "an external controller needs a callable");
                return false;
            }
            callback.callable = v[1];
            controller = ExternalSettings{&callback, &Callback::decide};
            return true;
    }
}

// The tick records as a bytearray of float64, TICK_COLUMNS a tick.
PyObject* records_bytes(const std::vector<TickRecord>& ticks) {
    const std::size_t size = ticks.size() * sizeof(TickRecord);
    PyObject* bytes = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes != nullptr && size != 0) std::memcpy(PyByteArray_AS_STRING(bytes), ticks.data(), size);
    return bytes;
}

}  // namespace

// fly_controlled(flight, state, drag_scale, control, seed, sample,
// controller, record) -> ControlledResult
PyObject* fly_controlled(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    FlightArguments f;
    double state[6];
    double drag_scale;
    double v[CONTROL_VALUES];
    ControlSettings control;
    FlightArguments predictor_flight;
    Callback callback{nullptr};
    if (!check_count("fly_controlled", nargs, 8) || !parse_flight(module, args[0], f) ||
        !parse_state(args[1], f.dof, state) || !py::read_double(args[2], drag_scale) ||
        !py::read_floats(args[3], v, CONTROL_VALUES, "control") || !py::unsigned_64(args[4], control.seed) ||
        !py::unsigned_64(args[5], control.flight) ||
        !parse_controller(module, args[6], control.controller, predictor_flight, callback)) {
        return nullptr;
    }
    if (!(v[0] > 0.0 && v[0] <= MAX_CONTROL_RATE)) {
        PyErr_Format(PyExc_ValueError, "rate must be above 0 and at most %g Hz", MAX_CONTROL_RATE);
        return nullptr;
    }
    if (!PyBool_Check(args[7])) {
        PyErr_SetString(PyExc_TypeError, "record must be a bool");
        return nullptr;
    }
    const bool record = args[7] == Py_True;
    control.rate = v[0];
    control.actuator = {v[1], v[2], v[3], v[4]};
    control.sensors = {v[5], v[6], v[7], v[8]};

    std::vector<TickRecord> ticks;
    ControlledOutcome out;
    // The flight runs detached; a callable controller attaches for its
    // decisions. A C++ exception (out of memory recording ticks) is carried
    // across.
    bool no_memory = false;
    const auto run = [&](const std::atomic<bool>* stop) {
        const RealRun r = f.run(stop);
        ticks.clear();
        ControlledOutcome o;
        callback.thread = PyEval_SaveThread();
        try {
            o = with_initial(f.dof, state, [&](const auto& initial) {
                return aeso::fly_controlled(f.craft->rocket, initial, r, drag_scale, control,
                                            record ? &ticks : nullptr);
            });
        } catch (const std::bad_alloc&) {
            no_memory = true;
        }
        PyEval_RestoreThread(callback.thread);
        return o;
    };
    // A callable that failed ended the flight: the signal (if any) was the
    // interpreter's to handle inside it, so the flight is not run again.
    const auto stopped = [&](const ControlledOutcome& o) {
        return o.flight.status == FlightStatus::Stopped && callback.error == nullptr;
    };
    const bool handled = py::run_interruptible(run, stopped, out);
    py::Ref error(callback.error);
    if (!handled) return nullptr;
    if (no_memory) return PyErr_NoMemory();
    py::Ref records(record ? records_bytes(ticks) : Py_NewRef(Py_None));
    if (!records) return nullptr;
    return controlled_result(*state_of(module), out, records.get(), error ? error.get() : Py_None,
                             callback.failure == 1, callback.failed_time);
}

}  // namespace aeso::flight
