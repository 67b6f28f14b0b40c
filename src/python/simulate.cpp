// The four simulation methods of Rocket: argument conversion, the run, and
// the conversion of its result (a float, or a (times, states) tuple).

#include <cstdint>
#include <optional>

#include "classes.hpp"
#include "errors.hpp"
#include "detached.hpp"
#include "core/simulation.hpp"
#include "numpy_api.hpp"

namespace aeso::py {

namespace {

constexpr const char* RUN_PARAMETERS[] = {"initial_state", "integration_method",
                                          "timestep_config", "max_iterations", "print_output"};
enum Parameter : std::size_t {
    INITIAL_STATE,
    INTEGRATION_METHOD,
    TIMESTEP_CONFIG,
    MAX_ITERATIONS,
    PRINT_OUTPUT
};

// An unsigned 64-bit count: ints (and bools) directly, anything else through
// the index protocol. Negative or too large values raise OverflowError.
bool to_max_iterations(PyObject* object, std::uint64_t& out) {
    Ref index;
    if (!PyLong_Check(object)) {
        index = Ref(PyNumber_Index(object));
        if (!index) return false;
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

// NumPy's boolean scalar type (numpy.bool_, named numpy.bool from NumPy 2),
// recognised without importing NumPy.
bool is_numpy_bool(PyTypeObject* type) {
    Ref name(PyType_GetName(type));
    Ref module(name ? PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__")
                    : nullptr);
    if (!module || !PyUnicode_Check(module.get())) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

bool to_print_output(PyObject* object, bool& out) {
    if (PyBool_Check(object)) {
        out = object == Py_True;
        return true;
    }
    if (!is_numpy_bool(Py_TYPE(object))) return raise_cast_error(object, &PyBool_Type);
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

PyObject* to_python(double apogee) { return PyFloat_FromDouble(apogee); }

PyObject* to_python(const FlightLog& flight_log) {
    Ref times, states;
    if (!flight_log_arrays(flight_log, times, states)) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) return nullptr;
    PyTuple_SET_ITEM(pair, 0, times.release());
    PyTuple_SET_ITEM(pair, 1, states.release());
    return pair;
}

// One simulation method. `InitialClass` is the initial-state class the method
// takes; `Run` the core run operation it calls.
template <class InitialClass, const Signature& Method, auto Run>
PyObject* simulation_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    BoundArguments bound;
    if (!bound.bind(Method, args, nargsf, kwnames)) return nullptr;

    // Held for the whole run: the rocket's record cannot change meanwhile.
    auto* rocket = instance<RocketProperties>(self);
    SharedBorrow rocket_borrow(rocket->borrow);
    if (!rocket_borrow) return nullptr;

    // Parameters left out keep RunSettings' defaults (no time-step options,
    // the default iteration limit, printing off).
    typename InitialClass::Payload initial;
    RunSettings settings{};
    if (!bound.convert(INITIAL_STATE, copy_record<InitialClass>, initial) ||
        !bound.convert(INTEGRATION_METHOD, copy_record<OdeMethodClass>, settings.method) ||
        !bound.convert_if_given(TIMESTEP_CONFIG, to_timestep_config, settings.time_step) ||
        !bound.convert_if_given(MAX_ITERATIONS, to_max_iterations, settings.max_iterations) ||
        !bound.convert_if_given(PRINT_OUTPUT, to_print_output, settings.print_output)) {
        return nullptr;
    }

    // The run is pure C++ on values copied above (the rocket's record is
    // pinned by the shared borrow), so the thread detaches from the
    // interpreter for its length: other threads keep running on a GIL build,
    // and a free-threaded interpreter's stop-the-world pauses (garbage
    // collection) need not wait for it. Nothing Python is touched until the
    // thread re-attaches below.
    auto result = run_detached([&] { return Run(rocket->value, initial, settings); });
    if (!result) return raise_core_error(result.error());
    return to_python(result.value());
}

constexpr Signature SIMULATE_1DOF{"Rocket.simulate_flight_1dof()", RUN_PARAMETERS, 2};
constexpr Signature SIMULATE_3DOF{"Rocket.simulate_flight_3dof()", RUN_PARAMETERS, 2};
constexpr Signature PREDICT_1DOF{"Rocket.predict_apogee_1dof()", RUN_PARAMETERS, 2};
constexpr Signature PREDICT_3DOF{"Rocket.predict_apogee_3dof()", RUN_PARAMETERS, 2};

template <class InitialClass, const Signature& Method, auto Run>
PyMethodDef method_def(const char* name, const char* doc) {
    return {name, method_entry<&simulation_method<InitialClass, Method, Run>>(),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace

// The text signature shared by the four methods; they have no further docs.
#define RUN_DOC(name)                                                                \
    name "($self, initial_state, integration_method, timestep_config=None, "        \
         "max_iterations=..., print_output=False)\n--\n\n"

PyMethodDef ROCKET_SIMULATION_METHODS[] = {
    method_def<InitialState1DOFClass, SIMULATE_1DOF, &simulate_flight_1dof>(
        "simulate_flight_1dof", RUN_DOC("simulate_flight_1dof")),
    method_def<InitialState3DOFClass, SIMULATE_3DOF, &simulate_flight_3dof>(
        "simulate_flight_3dof", RUN_DOC("simulate_flight_3dof")),
    method_def<InitialState1DOFClass, PREDICT_1DOF, &predict_apogee_1dof>(
        "predict_apogee_1dof", RUN_DOC("predict_apogee_1dof")),
    method_def<InitialState3DOFClass, PREDICT_3DOF, &predict_apogee_3dof>(
        "predict_apogee_3dof", RUN_DOC("predict_apogee_3dof")),
    {nullptr, nullptr, 0, nullptr},
};

#undef RUN_DOC

}  // namespace aeso::py
