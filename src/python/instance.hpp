// The layout of every instance of the module's classes and the borrows that
// guard its record: the object header, the class's fields (one plain
// record), then the borrow counter.
#pragma once

#include <new>

#include "borrow_count.hpp"
#include "python_ref.hpp"

namespace aeso::py {

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

// A new object of `Class` holding `value`. `Class` supplies `Payload` and
// `type()`.
template <class Class>
PyObject* new_object(const typename Class::Payload& value) {
    PyTypeObject* type = Class::type();
    if (type == nullptr) return nullptr;
    return make_instance(type, value);
}

// tp_dealloc of every class: the fields own nothing, so only the memory goes.
void dealloc_instance(PyObject* self) noexcept;

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

}  // namespace aeso::py
