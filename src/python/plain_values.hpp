// Plain values out of the Python objects a package's own Python code hands
// to its compiled module: small integers (enum values), tuples of floats,
// counters up to 2^64 - 1. One definition for every compiled module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace aeso::py {

// An integer from `low` to `high`; a ValueError naming `what` otherwise.
inline bool small_int(PyObject* object, const char* what, long low, long high, long& out) {
    out = PyLong_AsLong(object);
    if (out == -1 && PyErr_Occurred()) return false;
    if (out < low || out > high) {
        PyErr_Format(PyExc_ValueError, "%s must be from %ld to %ld, not %ld", what, low, high, out);
        return false;
    }
    return true;
}

// An integer from 0 to 2^64 - 1: OverflowError beyond, never wrapped.
inline bool unsigned_64(PyObject* object, std::uint64_t& out) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

inline bool read_double(PyObject* object, double& out) {
    out = PyFloat_AsDouble(object);
    return !(out == -1.0 && PyErr_Occurred());
}

// `n` floats from a tuple into `out`; a TypeError naming `what` if it is
// not a tuple of n numbers.
inline bool read_floats(PyObject* tuple, double* out, Py_ssize_t n, const char* what) {
    if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != n) {
        PyErr_Format(PyExc_TypeError, "%s must be a tuple of %zd floats", what, n);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!read_double(PyTuple_GET_ITEM(tuple, i), out[i])) return false;
    }
    return true;
}

}  // namespace aeso::py
