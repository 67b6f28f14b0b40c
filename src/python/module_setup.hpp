// What every compiled module of the package sets up alike: multi-phase
// initialisation with all state in the module (so every interpreter gets a
// module of its own, which holds no lock and needs no GIL), its types
// created from specs into that state, and the state's references visited
// and cleared. A module's state lists its type objects once, in
// `each(f)`; its exec function adds the rest.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python_ref.hpp"

namespace aeso::py {

template <class State>
State* module_state(PyObject* module) noexcept {
    return static_cast<State*>(PyModule_GetState(module));
}

// Creates a type from `spec` into `slot` and adds it to the module as `name`.
inline int add_type(PyObject* module, PyType_Spec* spec, const char* name, PyTypeObject*& slot) {
    PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
    if (type == nullptr) return -1;
    slot = reinterpret_cast<PyTypeObject*>(type);
    return PyModule_AddObjectRef(module, name, type);
}

// Adds a float constant to the module.
inline int add_float(PyObject* module, const char* name, double value) {
    Ref number{PyFloat_FromDouble(value)};
    return number ? PyModule_AddObjectRef(module, name, number.get()) : -1;
}

template <class State>
int traverse_state(PyObject* module, visitproc visit, void* arg) {
    int result = 0;
    module_state<State>(module)->each([&](PyTypeObject*& type) {
        if (result == 0 && type != nullptr) result = visit(reinterpret_cast<PyObject*>(type), arg);
    });
    return result;
}

template <class State>
int clear_state(PyObject* module) {
    module_state<State>(module)->each([](PyTypeObject*& type) { Py_CLEAR(type); });
    return 0;
}

template <class State>
void free_state(void* module) {
    clear_state<State>(static_cast<PyObject*>(module));
}

template <int (*Exec)(PyObject*)>
inline PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

// The definition of a module whose state is `State`.
template <class State, int (*Exec)(PyObject*)>
constexpr PyModuleDef module_definition(const char* name, const char* doc, PyMethodDef* methods) {
    return {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = name,
        .m_doc = doc,
        .m_size = sizeof(State),
        .m_methods = methods,
        .m_slots = MODULE_SLOTS<Exec>,
        .m_traverse = traverse_state<State>,
        .m_clear = clear_state<State>,
        .m_free = free_state<State>,
    };
}

}  // namespace aeso::py
