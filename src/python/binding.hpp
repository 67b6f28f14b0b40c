// Conventions shared by every class of the module: object layout, borrow
// guards, argument binding, conversions, error wrapping, attribute
// descriptors, and the guard that keeps C++ exceptions out of CPython.
#pragma once

#include <array>
#include <cstddef>
#include <exception>
#include <new>
#include <span>
#include <type_traits>

#include "borrow_count.hpp"
#include "errors.hpp"
#include "once_value.hpp"
#include "python_ref.hpp"

namespace aeso::py {

// ---------------------------------------------------------------------------
// Instances: the object header, the class's fields (one plain record), then the
// borrow counter.

template <class Payload>
struct Instance {
    PyObject_HEAD
    Payload value;
    BorrowCount borrow;
};

template <class Payload>
Instance<Payload>* instance(PyObject* object) noexcept {
    return reinterpret_cast<Instance<Payload>*>(object);
}

// A new instance of `type` (or a subtype) holding `value`, allocated with the
// type's own allocation function. nullptr with an exception on failure.
template <class Payload>
PyObject* make_instance(PyTypeObject* type, const Payload& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = alloc(type, 0);
    if (object == nullptr) return nullptr;
    Instance<Payload>* self = instance<Payload>(object);
    new (&self->value) Payload(value);
    new (&self->borrow) BorrowCount();
    return object;
}

// tp_dealloc of every class: the fields own nothing, so only the memory goes.
void dealloc_instance(PyObject* self) noexcept;

// ---------------------------------------------------------------------------
// Borrow guards: hold a shared or exclusive borrow until destroyed. A failed
// attempt leaves RuntimeError set and the guard empty.

template <bool Exclusive>
class Borrow {
public:
    explicit Borrow(BorrowCount& count) noexcept {
        if (Exclusive ? count.try_exclusive() : count.try_shared()) {
            count_ = &count;
        } else {
            PyErr_SetString(PyExc_RuntimeError,
                            Exclusive ? "Already borrowed" : "Already mutably borrowed");
        }
    }
    template <class Payload>
    explicit Borrow(PyObject* object) noexcept : Borrow(instance<Payload>(object)->borrow) {}

    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() {
        if (count_ == nullptr) return;
        if (Exclusive) {
            count_->release_exclusive();
        } else {
            count_->release_shared();
        }
    }
    explicit operator bool() const noexcept { return count_ != nullptr; }

private:
    BorrowCount* count_ = nullptr;
};

using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

// ---------------------------------------------------------------------------
// Argument binding. Every parameter may be given by position or keyword;
// the first `required` have no default.

inline constexpr std::size_t MAX_PARAMETERS = 8;

struct Signature {
    const char* full_name;  // "Rocket.__new__()", "AdaptiveTimeStep.next_dt()"
    std::span<const char* const> names;
    std::size_t required;
};

class BoundArguments {
public:
    // Constructor convention: an argument tuple and an optional keyword dict.
    bool bind(const Signature& signature, PyObject* args, PyObject* kwargs);
    // Vectorcall convention with keyword names (METH_FASTCALL | METH_KEYWORDS).
    bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
              PyObject* kwnames);

    // The argument bound to parameter `index`, or nullptr when it was not given.
    PyObject* operator[](std::size_t index) const noexcept { return values_[index].get(); }

private:
    bool bind_positional(const Signature& signature, PyObject* const* items, Py_ssize_t count);
    bool bind_keyword(const Signature& signature, PyObject* key, PyObject* value,
                      Py_ssize_t positional_count);
    bool check_required(const Signature& signature) const;

    std::array<Ref, MAX_PARAMETERS> values_;
};

// ---------------------------------------------------------------------------
// Conversions. Each returns false with an exception set on failure.

// Exact floats are read directly; everything else goes through PyFloat_AsDouble.
bool to_double(PyObject* object, double& out);

// Class conversion: `object` must be an instance of `expected` or a subtype,
// otherwise TypeError "'<type>' object cannot be cast as '<expected>'".
bool check_class(PyObject* object, PyTypeObject* expected);
// Raises that class-conversion TypeError unconditionally; returns false.
bool raise_cast_error(PyObject* object, PyTypeObject* expected);

// Turns a pending exception of exactly TypeError into the TypeError
// "argument 'NAME': <message>", keeping its __cause__. Other exceptions are
// left as they are. Returns false so callers can `return wrap_argument_error(..)`.
bool wrap_argument_error(const char* name);

// to_double, wrapped with the argument name.
bool double_argument(PyObject* object, const char* name, double& out);

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
    if (!double_argument(value, field.name, converted)) return -1;
    PyTypeObject* type = Class::type();
    if (type == nullptr || !check_class(self, type)) return -1;
    auto* object = instance<typename Class::Payload>(self);
    ExclusiveBorrow borrow(object->borrow);
    if (!borrow) return -1;
    field_at(&object->value, field) = converted;
    return 0;
}

// ---------------------------------------------------------------------------
// C++ exceptions never cross into CPython: every slot and method is
// registered as guarded<&function>, which maps std::bad_alloc to MemoryError
// and anything else to InternalError.

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

// ---------------------------------------------------------------------------
// Type objects, created once per process from a spec. `finish` may add class
// attributes before the type is published; it returns false on failure.
//
// Spec names are "builtins.<Class>": the classes belong to no module of their
// own, and the dotted name is what gives them __module__ "builtins" (a bare
// name leaves __module__ unset and makes CPython warn at type creation).

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

// A new type object built from the class description (finish included); nullptr on failure.
PyObject* create_type(const ClassSpec& spec);

// The class's type object, created on first use and kept for the process.
template <class Slot>
PyTypeObject* class_type(Slot& slot, const ClassSpec& spec) {
    return reinterpret_cast<PyTypeObject*>(slot.get_or_create([&] { return create_type(spec); }));
}

}  // namespace aeso::py
