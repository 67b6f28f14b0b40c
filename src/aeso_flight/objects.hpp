// The native objects of aeso_flight._native: immutable holders of the tables
// a real-air flight reads (an atmosphere, a vehicle's properties and drag, a
// brake schedule), built once from plain values by the Python package and
// shared by any number of flights on any threads.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "core/real_air.hpp"
#include "python/plain_values.hpp"

namespace aeso::flight {

struct AirObject {
    PyObject_HEAD
    AtmosphereTable* table;
    AirColumn* column;  // null for the constant air
    double density;     // the constant air's
};

struct CraftObject {
    PyObject_HEAD
    RocketProperties rocket;
    VehicleDrag* drag;
};

struct ScheduleObject {
    PyObject_HEAD
    LinearCurve* curve;
};

// The module's types, per interpreter: its objects', the StopFlag's and
// its named results' (see results.hpp).
struct ModuleState {
    PyTypeObject* air_type;
    PyTypeObject* craft_type;
    PyTypeObject* schedule_type;
    PyTypeObject* stop_flag_type;
    PyTypeObject* flight_result_type;
    PyTypeObject* inverse_result_type;
    PyTypeObject* controlled_result_type;
    PyTypeObject* simulated_result_type;

    template <class F>
    void each(F&& f) {
        for (PyTypeObject** type : {&air_type, &craft_type, &schedule_type, &stop_flag_type, &flight_result_type,
                                    &inverse_result_type, &controlled_result_type, &simulated_result_type}) {
            f(*type);
        }
    }
};

ModuleState* state_of(PyObject* module) noexcept;

// Type specs, defined beside each type.
extern PyType_Spec AIR_SPEC;
extern PyType_Spec CRAFT_SPEC;
extern PyType_Spec SCHEDULE_SPEC;

// The module's functions (runs.cpp), and fly_controlled (control.cpp).
extern PyMethodDef RUN_METHODS[];
PyObject* fly_controlled(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// run_block (blocks.cpp): a study's block of real-air flights.
PyObject* run_block(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// A METH_FASTCALL function as a method table's PyCFunction.
template <auto F>
constexpr PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// `n` floats from a tuple (see python/plain_values.hpp).
using py::read_floats;
// A C++ table from a float64 buffer (1-D), or false with an exception set.
bool read_array(PyObject* object, const char* what, std::vector<double>& out) noexcept;

}  // namespace aeso::flight
