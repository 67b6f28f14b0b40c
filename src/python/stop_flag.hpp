// StopFlag: a flag set from any thread and read by the native flights of
// every block it is passed to, which stop within a few thousand steps. Each
// compiled module that runs blocks registers its own type from this one
// definition.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <new>

namespace aeso::py {

struct StopFlagObject {
    PyObject_HEAD
    std::atomic<bool> flag;
};

inline PyObject* stop_flag_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "StopFlag() takes no arguments");
        return nullptr;
    }
    PyObject* self = PyType_GenericAlloc(type, 0);
    if (self != nullptr) new (&reinterpret_cast<StopFlagObject*>(self)->flag) std::atomic<bool>(false);
    return self;
}

inline PyObject* stop_flag_set(PyObject* self, PyObject*) {
    reinterpret_cast<StopFlagObject*>(self)->flag.store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

inline PyObject* stop_flag_is_set(PyObject* self, PyObject*) {
    return PyBool_FromLong(reinterpret_cast<StopFlagObject*>(self)->flag.load(std::memory_order_relaxed));
}

inline PyMethodDef STOP_FLAG_METHODS[] = {
    {"set", stop_flag_set, METH_NOARGS, "Asks every block running with this flag to stop."},
    {"is_set", stop_flag_is_set, METH_NOARGS, "Whether set() has been called."},
    {nullptr, nullptr, 0, nullptr},
};

inline PyType_Slot STOP_FLAG_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("StopFlag()\n--\n\nA flag that stops the blocks it is passed to: "
                                  "a running flight ends within a few thousand steps.")},
    {Py_tp_new, reinterpret_cast<void*>(stop_flag_new)},
    {Py_tp_methods, STOP_FLAG_METHODS},
    {0, nullptr},
};

// The type's spec under the qualified name `name` (a string literal).
constexpr PyType_Spec stop_flag_spec(const char* name) {
    return {name, static_cast<int>(sizeof(StopFlagObject)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
            STOP_FLAG_SLOTS};
}

}  // namespace aeso::py
