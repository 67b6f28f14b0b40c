#include "type_building.hpp"

#include <new>

#include "errors.hpp"

namespace aeso::py {

int refuse_delete() {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
}

void raise_cpp_exception(std::exception_ptr exception) noexcept {
    try {
        std::rethrow_exception(exception);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        try {
            raise_internal(e.what());
        } catch (...) {
            PyErr_NoMemory();
        }
    } catch (...) {
        try {
            raise_internal("unexpected C++ exception");
        } catch (...) {
            PyErr_NoMemory();
        }
    }
}

PyObject* create_type(const ClassSpec& spec) {
    constexpr std::size_t MAX_SLOTS = 12;
    std::array<PyType_Slot, MAX_SLOTS> slots{};
    std::size_t count = 0;
    bool too_many = false;
    auto add = [&](int id, void* pointer) {
        if (pointer == nullptr) return;
        // The last entry stays {0, nullptr}: it ends the list for CPython.
        if (count + 1 >= MAX_SLOTS) {
            too_many = true;
            return;
        }
        slots[count++] = PyType_Slot{id, pointer};
    };
    add(Py_tp_doc, const_cast<char*>(spec.doc));
    add(Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance));
    add(Py_tp_new, reinterpret_cast<void*>(spec.new_function));
    add(Py_tp_getset, spec.getsets);
    add(Py_tp_methods, spec.methods);
    for (const PyType_Slot& extra : spec.extra_slots) add(extra.slot, extra.pfunc);
    if (too_many) return raise_internal("too many type slots");

    unsigned int flags = Py_TPFLAGS_DEFAULT;
    if (spec.new_function == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyType_Spec type_spec{
        .name = spec.name,
        .basicsize = static_cast<int>(spec.basic_size),
        .itemsize = 0,
        .flags = flags,
        .slots = slots.data(),
    };
    Ref type(PyType_FromSpec(&type_spec));
    if (!type) return nullptr;
    if (spec.finish != nullptr && !spec.finish(type.get())) return nullptr;
    return type.release();
}

}  // namespace aeso::py
