#include "instance.hpp"

namespace aeso::py {

void dealloc_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace aeso::py
