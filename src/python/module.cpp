// The module aeso: its definition, its init function and the registration
// of its classes.

#include <atomic>
#include <cstdint>

#include "classes.hpp"

namespace aeso::py {

namespace {

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "aeso",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,  // single-phase initialisation
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

constexpr int MODULE_API_VERSION = 1013;

// The interpreter that imported the module first; -1 before that.
std::atomic<std::int64_t> interpreter_id{-1};
// The module object, published once initialisation has succeeded.
OnceValue<PyObject, release_ref> module_object;

struct RegisteredClass {
    const char* name;
    PyTypeObject* (*type)();
};

// Registration order, which is also the order of __all__.
constexpr RegisteredClass REGISTERED_CLASSES[] = {
    {"OdeMethod", OdeMethodClass::type},
    {"Rocket", RocketClass::type},
    {"FixedTimeStep", FixedTimeStepClass::type},
    {"AdaptiveTimeStep", AdaptiveTimeStepClass::type},
    {"InitialState1DOF", InitialState1DOFClass::type},
    {"InitialState3DOF", InitialState3DOFClass::type},
};

// The module's __all__ list, created empty when missing.
Ref all_list(PyObject* module) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (all || !PyErr_ExceptionMatches(PyExc_AttributeError)) return all;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (all && PyObject_SetAttrString(module, "__all__", all.get()) < 0) return Ref();
    return all;
}

bool register_class(PyObject* module, const RegisteredClass& registered) {
    PyTypeObject* type = registered.type();
    if (type == nullptr) return false;
    Ref all = all_list(module);
    if (!all) return false;
    Ref name(PyUnicode_FromString(registered.name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
    return PyModule_AddObjectRef(module, registered.name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* create_module() {
    Ref module(PyModule_Create2(&module_definition, MODULE_API_VERSION));
    if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
    for (const RegisteredClass& registered : REGISTERED_CLASSES) {
        if (!register_class(module.get(), registered)) return nullptr;
    }
    return module.release();
}

PyObject* init_module() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    std::int64_t first = -1;
    if (!interpreter_id.compare_exchange_strong(first, current, std::memory_order_acq_rel) &&
        first != current) {
        PyErr_SetString(PyExc_ImportError, "modules do not yet support subinterpreters");
        return nullptr;
    }
    PyObject* module = module_object.get_or_create(create_module);
    return module == nullptr ? nullptr : Py_NewRef(module);
}

}  // namespace

}  // namespace aeso::py

PyMODINIT_FUNC PyInit_aeso(void) { return aeso::py::guarded<&aeso::py::init_module>(); }
