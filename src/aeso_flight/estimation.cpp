// The entry points of a flight's data: the altimeter's pressure altitude,
// the state estimate over a log's arrays and the drag fit of its coast.
// Each copies what it needs, runs detached from the interpreter, and
// returns a named result (a struct sequence) or fills caller-owned arrays.

#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/flight_estimate.hpp"
#include "core/pressure_altitude.hpp"
#include "estimation.hpp"
#include "python/buffer.hpp"
#include "python/detached.hpp"
#include "python/plain_values.hpp"
#include "python/python_ref.hpp"
#include "run_arguments.hpp"

namespace aeso::flight {

namespace {

const CraftObject* craft_of(PyObject* module, PyObject* object) {
    if (!PyObject_TypeCheck(object, state_of(module)->craft_type)) {
        PyErr_SetString(PyExc_TypeError, "craft must be an aeso_flight._native.Craft");
        return nullptr;
    }
    return reinterpret_cast<const CraftObject*>(object);
}

// pressure_altitudes(air, values, out, inverse): the altimeter's readings
// at heights above the pad (inverse: the heights of readings), into out.
PyObject* pressure_altitudes(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_count("pressure_altitudes", nargs, 4)) return nullptr;
    const AirObject* air = standard_air_of(module, args[0]);
    py::Buffer in, out;
    if (air == nullptr || !in.get(args[1], "values", false, 1, sizeof(double), "d") ||
        !out.get(args[2], "out", true, 1, sizeof(double), "d")) {
        return nullptr;
    }
    const int inverse = PyObject_IsTrue(args[3]);
    if (inverse < 0) return nullptr;
    if (in.shape(0) != out.shape(0)) {
        PyErr_SetString(PyExc_ValueError, "values and out must have one length");
        return nullptr;
    }
    const double* v = in.data<const double>();
    double* o = out.data<double>();
    const std::size_t n = static_cast<std::size_t>(in.shape(0));
    const Altimeter altimeter(*air->column);
    py::run_detached([&] {
        for (std::size_t i = 0; i < n; ++i) o[i] = inverse != 0 ? altimeter.height(v[i]) : altimeter.reading(v[i]);
        return 0;
    });
    Py_RETURN_NONE;
}

PyStructSequence_Field ESTIMATE_FIELDS[] = {
    {"out_of_order", "the first row earlier than the row before it (the number of rows when none)"},
    {"gated", "barometer samples the gate refused"},
    {"smoothed", "whether the smoother ran over every row"},
    {nullptr, nullptr},
};
PyStructSequence_Desc ESTIMATE_DESC = {"aeso_flight._native.EstimateRun", "What an estimate run did.",
                                       ESTIMATE_FIELDS, 3};

PyStructSequence_Field DRAG_FIT_FIELDS[] = {
    {"solved", "whether the normal equations could be solved"},
    {"samples", "the accelerometer samples fitted"},
    {"values", "the fitted parameters (a tuple)"},
    {"covariance", "their covariance, row by row (a tuple)"},
    {"residual_rms", "the residuals' root mean square (m/s^2)"},
    {"mach_low", "the lowest Mach number of a fitted sample"},
    {"mach_high", "the highest Mach number of a fitted sample"},
    {nullptr, nullptr},
};
PyStructSequence_Desc DRAG_FIT_DESC = {"aeso_flight._native.DragFitRun", "A drag fit's accumulated solution.",
                                       DRAG_FIT_FIELDS, 7};

PyObject* new_record(PyObject* module, const char* type_name) {
    py::Ref type(PyObject_GetAttrString(module, type_name));
    if (!type) return nullptr;
    return PyStructSequence_New(reinterpret_cast<PyTypeObject*>(type.get()));
}

// estimate(air, pad_pressure, settings, prior, time, pressure, specific_force,
// smoothed, means, covariances, barometer, driven) -> EstimateRun.
// settings: the values of EstimatorSettings in order; prior: (height,
// velocity, third state, and their sds) at the first row. means (rows x 3),
// covariances (rows x 9), barometer and driven (rows, int8) are filled.
PyObject* estimate(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_count("estimate", nargs, 12)) return nullptr;
    py::Buffer tv, pv, fv, mv, cv, bv, dv;
    if (!tv.get(args[4], "time", false, 1, sizeof(double), "d")) return nullptr;
    const Py_ssize_t rows = tv.shape(0);
    SampleArrays samples{tv.data<const double>(), nullptr, nullptr, static_cast<std::size_t>(rows)};
    if (!optional_column(args[5], "pressure", pv, rows, samples.pressure) ||
        !optional_column(args[6], "specific_force", fv, rows, samples.specific_force)) {
        return nullptr;
    }
    const int smoothed = PyObject_IsTrue(args[7]);
    if (smoothed < 0 || !mv.get(args[8], "means", true, 1, sizeof(double), "d") ||
        !cv.get(args[9], "covariances", true, 1, sizeof(double), "d") ||
        !bv.get(args[10], "barometer", true, 1, 1, "b") || !dv.get(args[11], "driven", true, 1, 1, "b")) {
        return nullptr;
    }
    if (mv.shape(0) != 3 * rows || cv.shape(0) != 9 * rows || bv.shape(0) != rows || dv.shape(0) != rows || rows == 0) {
        PyErr_SetString(PyExc_ValueError, "estimate: one row or more, and outputs of 3, 9 and 1 values per row");
        return nullptr;
    }
    std::optional<OnBoardEstimator> e;
    if (!parse_estimator(module, args[0], args[1], args[2], args[3], samples.time[0], e)) return nullptr;
    double* means = mv.data<double>();
    double* covariances = cv.data<double>();
    auto* barometer = bv.data<std::int8_t>();
    auto* driven = dv.data<std::int8_t>();
    // The smoother's store of predictions (about 100 bytes a row) is made,
    // written and freed detached: filling megabytes while attached would
    // hold up every other thread of a GIL build.
    bool no_memory = false;
    const EstimateRun run = py::run_detached([&] {
        std::unique_ptr<Prediction[]> predictions;
        if (smoothed != 0) {
            predictions.reset(new (std::nothrow) Prediction[static_cast<std::size_t>(rows)]);
            if (!predictions) {
                no_memory = true;
                return EstimateRun{};
            }
        }
        return estimate_flight(e->settings, e->frame, e->prior, samples, means, covariances, barometer, driven,
                               predictions.get());
    });
    if (no_memory) return PyErr_NoMemory();
    PyObject* result = new_record(module, "EstimateRun");
    if (result == nullptr) return nullptr;
    PyStructSequence_SetItem(result, 0, PyLong_FromSize_t(run.out_of_order));
    PyStructSequence_SetItem(result, 1, PyLong_FromSize_t(run.gated));
    PyStructSequence_SetItem(result, 2, PyBool_FromLong(run.smoothed ? 1 : 0));
    return result;
}

PyObject* float_tuple(const double* values, std::size_t n) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (t == nullptr) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* v = PyFloat_FromDouble(values[i]);
        if (v == nullptr) {
            Py_DECREF(t);
            return nullptr;
        }
        PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), v);
    }
    return t;
}

// fit_drag(craft, air, drag_scale, time, specific_force, deployment, height,
// velocity, bias, bias_variance, window, knots, prior) -> DragFitRun.
// window: (from, to); knots: a float64 array, or None for one factor on the
// vehicle's drag times drag_scale; prior: (sd, noise_sd) on that factor, or
// None.
PyObject* fit_drag(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_count("fit_drag", nargs, 13)) return nullptr;
    const CraftObject* craft = craft_of(module, args[0]);
    if (craft == nullptr) return nullptr;
    if (!PyObject_TypeCheck(args[1], state_of(module)->air_type)) {
        PyErr_SetString(PyExc_TypeError, "air must be an aeso_flight._native.Air");
        return nullptr;
    }
    const auto* air = reinterpret_cast<const AirObject*>(args[1]);
    double drag_scale;
    if (!py::read_double(args[2], drag_scale)) return nullptr;
    py::Buffer tv, fv, dv, hv, vv, bv, wv, kv;
    if (!tv.get(args[3], "time", false, 1, sizeof(double), "d")) return nullptr;
    const Py_ssize_t rows = tv.shape(0);
    SampleArrays samples{tv.data<const double>(), nullptr, nullptr, static_cast<std::size_t>(rows)};
    const double *deployment, *height, *velocity, *bias, *bias_variance;
    if (!optional_column(args[4], "specific_force", fv, rows, samples.specific_force) ||
        !optional_column(args[5], "deployment", dv, rows, deployment) ||
        !optional_column(args[6], "height", hv, rows, height) ||
        !optional_column(args[7], "velocity", vv, rows, velocity) ||
        !optional_column(args[8], "bias", bv, rows, bias) ||
        !optional_column(args[9], "bias_variance", wv, rows, bias_variance)) {
        return nullptr;
    }
    if (samples.specific_force == nullptr || height == nullptr || velocity == nullptr || bias == nullptr ||
        bias_variance == nullptr) {
        PyErr_SetString(PyExc_ValueError, "fit_drag needs the specific force and the estimate's columns");
        return nullptr;
    }
    double window[2];
    if (!read_floats(args[10], window, 2, "window")) return nullptr;
    const double* knots = nullptr;
    std::size_t knot_count = 0;
    if (args[11] != Py_None) {
        if (!kv.get(args[11], "knots", false, 1, sizeof(double), "d")) return nullptr;
        knots = kv.data<const double>();
        knot_count = static_cast<std::size_t>(kv.shape(0));
        if (knot_count < 1 || knot_count > DragFitAccumulator::MAX_PARAMETERS) {
            PyErr_Format(PyExc_ValueError, "from 1 to %zu knots", DragFitAccumulator::MAX_PARAMETERS);
            return nullptr;
        }
    }
    double prior[2] = {std::nan(""), 0.0};
    if (args[12] != Py_None && !read_floats(args[12], prior, 2, "prior")) return nullptr;
    const AirModel model{air->table, craft->drag};
    struct Out {
        std::size_t samples;
        DragFitAccumulator::Solution solution;
        double mach_low, mach_high;
        std::size_t parameters;
    };
    const Out out = py::run_detached([&] {
        const CoastFit fit = fit_drag_log(craft->rocket, model, drag_scale, samples, deployment, height, velocity,
                                          bias, bias_variance, window[0], window[1], knots, knot_count, prior[0],
                                          prior[1]);
        return Out{fit.accumulator().samples(), fit.solve(), fit.mach_low(), fit.mach_high(),
                   fit.accumulator().parameters()};
    });
    const std::size_t k = out.parameters;
    std::vector<double> covariance(k * k);
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            covariance[i * k + j] = out.solution.covariance[i * DragFitAccumulator::MAX_PARAMETERS + j];
        }
    }
    PyObject* result = new_record(module, "DragFitRun");
    if (result == nullptr) return nullptr;
    PyStructSequence_SetItem(result, 0, PyBool_FromLong(out.solution.solved ? 1 : 0));
    PyStructSequence_SetItem(result, 1, PyLong_FromSize_t(out.samples));
    PyStructSequence_SetItem(result, 2, float_tuple(out.solution.value.data(), k));
    PyStructSequence_SetItem(result, 3, float_tuple(covariance.data(), k * k));
    PyStructSequence_SetItem(result, 4, PyFloat_FromDouble(out.solution.residual_rms));
    PyStructSequence_SetItem(result, 5, PyFloat_FromDouble(out.mach_low));
    PyStructSequence_SetItem(result, 6, PyFloat_FromDouble(out.mach_high));
    for (Py_ssize_t i = 0; i < 7; ++i) {
        if (PyStructSequence_GetItem(result, i) == nullptr) {
            Py_DECREF(result);
            return nullptr;
        }
    }
    return result;
}

PyMethodDef ESTIMATION_METHODS[] = {
    {"pressure_altitudes", fastcall<pressure_altitudes>(), METH_FASTCALL,
     "pressure_altitudes(air, values, out, inverse, /)\n--\n\n"
     "A pad-zeroed altimeter's readings at heights above the pad (inverse: the heights of readings)."},
    {"estimate", fastcall<estimate>(), METH_FASTCALL,
     "estimate(air, pad_pressure, settings, prior, time, pressure, specific_force, smoothed, means, covariances, "
     "barometer, driven, /)\n--\n\nA log's state estimate: the filter (and the smoother) over its rows."},
    {"fit_drag", fastcall<fit_drag>(), METH_FASTCALL,
     "fit_drag(craft, air, drag_scale, time, specific_force, deployment, height, velocity, bias, bias_variance, "
     "window, knots, prior, /)\n--\n\nThe least-squares drag of a log's coast from its accelerometer."},
    {nullptr, nullptr, 0, nullptr},
};

int add_type(PyObject* module, PyStructSequence_Desc* desc, const char* name) {
    PyTypeObject* type = PyStructSequence_NewType(desc);
    if (type == nullptr) return -1;
    const int r = PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
    Py_DECREF(type);
    return r;
}

}  // namespace

int add_estimation(PyObject* module) {
    if (PyModule_AddFunctions(module, ESTIMATION_METHODS) < 0) return -1;
    if (add_type(module, &ESTIMATE_DESC, "EstimateRun") < 0) return -1;
    return add_type(module, &DRAG_FIT_DESC, "DragFitRun");
}

}  // namespace aeso::flight
