// The controllers' entry points: fly_controlled, a flight with its
// air-brake controller in the loop (the built-in controllers run natively
// with the whole flight detached from the interpreter; a Python callable is
// called attached at each tick), and replay_samples, a log's samples through a
// flight computer.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/controlled_flight.hpp"
#include "core/flight_replay.hpp"
#include "objects.hpp"
#include "python/buffer.hpp"
#include "python/detached.hpp"
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
// (predictive, aim, predictor), (pid, aim, predictor, kp, ki, kd),
// (schedule, Schedule), (external, callable); aim as parse_aim reads it.
// `predictor_flight` keeps what a predictor points to, `callback` the
// callable.
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
            if (!parse_predictor(module, v[2], p.predictor, predictor_flight) || !parse_aim(v[1], p.predictor, p.aim)) {
                return false;
            }
            controller = p;
            return true;
        }
        case 1: {
            PidSettings p;
            if (!parse_predictor(module, v[2], p.predictor, predictor_flight) ||
                !parse_aim(v[1], p.predictor, p.aim) || !py::read_double(v[3], p.kp) ||
                !py::read_double(v[4], p.ki) || !py::read_double(v[5], p.kd)) {
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

// The raw sensors' tuple: (barometer, mach_error, accelerometer, air,
// believed_air, pad_pressure, settings, prior); barometer (rate, noise_sd,
// lag, resolution), mach_error a native Schedule over Mach or None,
// accelerometer (rate, noise_sd, bias, scale_error), air the flight's own,
// the rest the estimator's (parse_estimator), its prior at time 0.
bool parse_raw_sensors(PyObject* module, PyObject* tuple, std::optional<RawSensorSettings>& raw) {
    if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != 8) {
        PyErr_SetString(PyExc_TypeError,
                        "raw sensors must be a tuple (barometer, mach_error, accelerometer, air, believed_air, "
                        "pad_pressure, settings, prior)");
        return false;
    }
    PyObject* const* v = &PyTuple_GET_ITEM(tuple, 0);
    double b[4], a[4];
    std::optional<OnBoardEstimator> estimator;
    const AirObject* air = standard_air_of(module, v[3]);
    if (!py::read_floats(v[0], b, 4, "barometer") || !py::read_floats(v[2], a, 4, "accelerometer") ||
        air == nullptr || !parse_estimator(module, v[4], v[5], v[6], v[7], 0.0, estimator)) {
        return false;
    }
    for (const double rate : {b[0], a[0]}) {
        if (!(rate > 0.0 && rate <= MAX_SENSOR_RATE)) {
            PyErr_Format(PyExc_ValueError, "a sensor's rate must be above 0 and at most %g Hz", MAX_SENSOR_RATE);
            return false;
        }
    }
    const LinearCurve* mach_error = nullptr;
    if (v[1] != Py_None) {
        if (!PyObject_TypeCheck(v[1], state_of(module)->schedule_type)) {
            PyErr_SetString(PyExc_TypeError, "mach_error must be a native Schedule or None");
            return false;
        }
        mach_error = reinterpret_cast<const ScheduleObject*>(v[1])->curve;
    }
    raw.emplace(RawSensorSettings{BarometerSettings{b[0], b[1], b[2], b[3], mach_error},
                                  AccelerometerSettings{a[0], a[1], a[2], a[3]}, air->column, *estimator});
    return true;
}

// Records as a bytearray of float64, one record after the other.
template <class Record>
PyObject* records_bytes(const std::vector<Record>& records) {
    const std::size_t size = records.size() * sizeof(Record);
    PyObject* bytes = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes != nullptr && size != 0) std::memcpy(PyByteArray_AS_STRING(bytes), records.data(), size);
    return bytes;
}

}  // namespace

// fly_controlled(flight, state, drag_scale, control, seed, sample,
// controller, record, raw) -> ControlledResult; raw: None (the simple
// sensors of `control`) or the raw sensors' tuple.
PyObject* fly_controlled(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    FlightArguments f;
    double state[6];
    double drag_scale;
    double v[CONTROL_VALUES];
    ControlSettings control;
    FlightArguments predictor_flight;
    Callback callback{nullptr};
    std::optional<RawSensorSettings> raw;
    if (!check_count("fly_controlled", nargs, 9) || !parse_flight(module, args[0], f) ||
        !parse_state(args[1], f.dof, state) || !py::read_double(args[2], drag_scale) ||
        !py::read_floats(args[3], v, CONTROL_VALUES, "control") || !py::unsigned_64(args[4], control.seed) ||
        !py::unsigned_64(args[5], control.flight) ||
        !parse_controller(module, args[6], control.controller, predictor_flight, callback) ||
        (args[8] != Py_None && !parse_raw_sensors(module, args[8], raw))) {
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
    if (raw) {
        control.sensors = *raw;
    } else {
        control.sensors = SensorSettings{v[5], v[6], v[7], v[8]};
    }

    ControlledRecords records;
    ControlledOutcome out;
    // The flight runs detached; a callable controller attaches for its
    // decisions. A C++ exception (out of memory recording ticks) is carried
    // across.
    bool no_memory = false;
    const auto run = [&](const std::atomic<bool>* stop) {
        const RealRun r = f.run(stop);
        records.ticks.clear();
        records.samples.clear();
        ControlledOutcome o;
        callback.thread = PyEval_SaveThread();
        try {
            o = with_initial(f.dof, state, [&](const auto& initial) {
                return aeso::fly_controlled(f.craft->rocket, initial, r, drag_scale, control,
                                            record ? &records : nullptr);
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
    py::Ref ticks(record ? records_bytes(records.ticks) : Py_NewRef(Py_None));
    py::Ref samples(record && raw ? records_bytes(records.samples) : Py_NewRef(Py_None));
    if (!ticks || !samples) return nullptr;
    return controlled_result(*state_of(module), out, ticks.get(), samples.get(), error ? error.get() : Py_None,
                             callback.failure == 1, callback.failed_time);
}

// replay_samples(air, pad_pressure, settings, prior, time, pressure, specific_force,
// deployment, controller, rate, window) -> ReplayResult: a log's rows (the
// estimator's air, pad pressure, settings and prior at the first row, as
// estimate takes them) through a flight computer whose controller (a
// predictive or pid tuple) ticks at `rate` over window = (start, end).
PyObject* replay_samples(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_count("replay_samples", nargs, 11)) return nullptr;
    py::Buffer tv, pv, fv, dv;
    if (!tv.get(args[4], "time", false, 1, sizeof(double), "d")) return nullptr;
    const Py_ssize_t rows = tv.shape(0);
    SampleArrays samples{tv.data<const double>(), nullptr, nullptr, static_cast<std::size_t>(rows)};
    const double* deployment = nullptr;
    if (rows == 0 || !optional_column(args[5], "pressure", pv, rows, samples.pressure) ||
        !optional_column(args[6], "specific_force", fv, rows, samples.specific_force) ||
        !optional_column(args[7], "deployment", dv, rows, deployment)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "replay needs one row or more");
        return nullptr;
    }
    std::optional<OnBoardEstimator> estimator;
    ControllerSettings controller;
    FlightArguments predictor_flight;
    Callback callback{nullptr};
    double rate, window[2];
    if (!parse_estimator(module, args[0], args[1], args[2], args[3], samples.time[0], estimator) ||
        !parse_controller(module, args[8], controller, predictor_flight, callback) ||
        !py::read_double(args[9], rate) || !py::read_floats(args[10], window, 2, "window")) {
        return nullptr;
    }
    if (aim_of(controller) == nullptr) {
        PyErr_SetString(PyExc_TypeError, "replay needs a predictive or pid controller");
        return nullptr;
    }
    if (!(rate > 0.0 && rate <= MAX_CONTROL_RATE)) {
        PyErr_Format(PyExc_ValueError, "rate must be above 0 and at most %g Hz", MAX_CONTROL_RATE);
        return nullptr;
    }
    std::vector<TickRecord> ticks;
    ReplayOutcome out;
    bool no_memory = false;
    const auto run = [&](const std::atomic<bool>* stop) {
        ticks.clear();
        return py::run_detached([&] {
            try {
                return replay_flight(samples, deployment, *estimator, controller, rate, window[0], window[1],
                                     StopCheck{stop}, ticks);
            } catch (const std::bad_alloc&) {
                no_memory = true;
                return ReplayOutcome{};
            }
        });
    };
    const auto stopped = [](const ReplayOutcome& o) { return o.status == FlightStatus::Stopped; };
    if (!py::run_interruptible(run, stopped, out)) return nullptr;
    if (no_memory) return PyErr_NoMemory();
    py::Ref records(records_bytes(ticks));
    if (!records) return nullptr;
    return replay_result(*state_of(module), out, records.get());
}

}  // namespace aeso::flight
