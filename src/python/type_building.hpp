// Building the module's classes: attribute descriptors driven by field
// tables, the guard that keeps C++ exceptions out of CPython, the tp_new of
// record classes, and type objects created from a class description.
#pragma once

#include <array>
#include <cstddef>
#include <exception>
#include <span>
#include <type_traits>

#include "arguments.hpp"
#include "instance.hpp"
#include "once_value.hpp"
#include "python_ref.hpp"

namespace aeso::py {

// ---------------------------------------------------------------------------
// The exception guard. C++ exceptions never cross into CPython: every slot
// and method is registered as guarded<&function>, which maps std::bad_alloc
// to MemoryError and anything else to InternalError.

void raise_cpp_exception(std::exception_ptr exception) noexcept;

template <class R>
constexpr R failure_value() noexcept {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        return R(-1);
    }
}

template <auto Function>
struct Guarded;

template <class R, class... Args, R (*Function)(Args...)>
struct Guarded<Function> {
    static R call(Args... args) noexcept {
        try {
            return Function(args...);
        } catch (...) {
            raise_cpp_exception(std::current_exception());
            return failure_value<R>();
        }
    }
};

template <auto Function>
inline constexpr auto guarded = &Guarded<Function>::call;

// Method-table entry for a guarded function of any of CPython's calling
// conventions (the flags tell CPython how to call it).
template <auto Function>
inline PyCFunction method_entry() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<Function>));
}

// Type-slot entry for a guarded function.
template <auto Function>
inline void* slot_entry() noexcept {
    return reinterpret_cast<void*>(guarded<Function>);
}

// ---------------------------------------------------------------------------
// Attribute descriptors for plain float64 fields, driven by a field table.

struct DoubleField {
    const char* name;
    const char* doc;
    std::size_t offset;  // byte offset inside the class's record
};

int refuse_delete();  // AttributeError "can't delete attribute"; returns -1

inline double& field_at(void* record, const DoubleField& field) noexcept {
    return *reinterpret_cast<double*>(static_cast<char*>(record) + field.offset);
}

template <std::size_t N>
constexpr std::array<const char*, N> field_names(const DoubleField (&fields)[N]) {
    std::array<const char*, N> names{};
    for (std::size_t i = 0; i < N; ++i) names[i] = fields[i].name;
    return names;
}

// `Class` supplies `Payload` and `type()`.
template <class Class>
PyObject* get_double_field(PyObject* self, void* closure) {
    const auto& field = *static_cast<const DoubleField*>(closure);
    auto* object = instance<typename Class::Payload>(self);
    SharedBorrow borrow(object->borrow);
    if (!borrow) return nullptr;
    return PyFloat_FromDouble(field_at(&object->value, field));
}

template <class Class>
int set_double_field(PyObject* self, PyObject* value, void* closure) {
    const auto& field = *static_cast<const DoubleField*>(closure);
    if (value == nullptr) return refuse_delete();
    double converted;
    if (!to_double(value, converted)) {
        wrap_argument_error(field.name);
        return -1;
    }
    PyTypeObject* type = Class::type();
    if (type == nullptr || !check_class(self, type)) return -1;
    auto* object = instance<typename Class::Payload>(self);
    ExclusiveBorrow borrow(object->borrow);
    if (!borrow) return -1;
    field_at(&object->value, field) = converted;
    return 0;
}

// Builds a getset table for `Class` from its field table; constant-evaluable,
// so the tables are static data with no run-time initialisation.
template <class Class, std::size_t N>
constexpr std::array<PyGetSetDef, N + 1> double_getsets(const DoubleField (&fields)[N]) {
    std::array<PyGetSetDef, N + 1> defs{};
    for (std::size_t i = 0; i < N; ++i) {
        defs[i] = PyGetSetDef{fields[i].name, guarded<&get_double_field<Class>>,
                              guarded<&set_double_field<Class>>, fields[i].doc,
                              const_cast<DoubleField*>(&fields[i])};
    }
    return defs;
}

// tp_new of a class whose constructor takes exactly its float fields, all
// required, in record order (the signature's names are the field names):
// bind, convert each, then allocate.
template <class Payload, const Signature& Constructor, const DoubleField* Fields>
PyObject* new_record(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    BoundArguments bound;
    if (!bound.bind(Constructor, args, kwargs)) return nullptr;
    Payload value{};
    for (std::size_t i = 0; i < Constructor.names.size(); ++i) {
        if (!bound.convert(i, to_double, field_at(&value, Fields[i]))) return nullptr;
    }
    return make_instance(subtype, value);
}

// ---------------------------------------------------------------------------
// Type objects, created once per process from a class description. Names are
// "builtins.<Class>": the classes belong to no module of their own, and the
// dotted name is what gives them __module__ "builtins" (a bare name leaves
// __module__ unset and makes CPython warn at type creation).

using TypeSlot = OnceValue<PyObject, release_ref>;

// What differs from one class to the next. A class without `new_function`
// cannot be instantiated from Python.
struct ClassSpec {
    const char* name;  // "builtins.<Class>"
    const char* doc;
    std::size_t basic_size;
    newfunc new_function = nullptr;
    PyGetSetDef* getsets = nullptr;
    PyMethodDef* methods = nullptr;
    std::span<const PyType_Slot> extra_slots = {};
    // Adds class attributes before the type is published; false on failure.
    bool (*finish)(PyObject* type) = nullptr;
};

// A new type object built from the class description (finish included);
// nullptr on failure.
PyObject* create_type(const ClassSpec& spec);

// The class's type object, created on first use and kept for the process.
template <class Slot>
PyTypeObject* class_type(Slot& slot, const ClassSpec& spec) {
    return reinterpret_cast<PyTypeObject*>(slot.get_or_create([&] { return create_type(spec); }));
}

}  // namespace aeso::py
