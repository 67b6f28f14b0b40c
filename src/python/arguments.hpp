// Arguments: the signature of a callable, binding the given arguments to its
// parameters, conversions, and the wrapping of a conversion's TypeError with
// the parameter's name.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "instance.hpp"
#include "python_ref.hpp"

namespace aeso::py {

// Every parameter may be given by position or keyword; the first `required`
// have no default.
inline constexpr std::size_t MAX_PARAMETERS = 8;

struct Signature {
    const char* full_name;  // "Rocket.__new__()", "AdaptiveTimeStep.next_dt()"
    std::span<const char* const> names;
    std::size_t required;
};

// Turns a pending exception of exactly TypeError into the TypeError
// "argument 'NAME': <message>", keeping its __cause__. Other exceptions are
// left as they are. Returns false so callers can `return wrap_argument_error(..)`.
bool wrap_argument_error(const char* name);

class BoundArguments {
public:
    // Constructor convention: an argument tuple and an optional keyword dict.
    bool bind(const Signature& signature, PyObject* args, PyObject* kwargs);
    // Vectorcall convention with keyword names (METH_FASTCALL | METH_KEYWORDS).
    bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
              PyObject* kwnames);

    // The argument bound to parameter `index`, or nullptr when it was not given.
    PyObject* operator[](std::size_t index) const noexcept { return values_[index].get(); }

    // Converts the argument bound to parameter `index` into `out` with
    // `convert(object, out)`, which returns false with an exception set on
    // failure; a TypeError from it names the parameter (wrap_argument_error).
    template <class Convert, class T>
    bool convert(std::size_t index, Convert&& convert, T& out) const {
        return convert(values_[index].get(), out) || wrap_argument_error(signature_->names[index]);
    }

    // The same for a parameter with a default: `out` keeps its value when the
    // argument was not given.
    template <class Convert, class T>
    bool convert_if_given(std::size_t index, Convert&& convert, T& out) const {
        return !values_[index] || this->convert(index, convert, out);
    }

private:
    bool bind_positional(const Signature& signature, PyObject* const* items, Py_ssize_t count);
    bool bind_keyword(const Signature& signature, PyObject* key, PyObject* value,
                      Py_ssize_t positional_count);
    bool check_required(const Signature& signature) const;

    const Signature* signature_ = nullptr;
    std::array<Ref, MAX_PARAMETERS> values_;
};

// Conversions. Each returns false with an exception set on failure.

// Exact floats are read directly; everything else goes through PyFloat_AsDouble.
bool to_double(PyObject* object, double& out);

// Class conversion: `object` must be an instance of `expected` or a subtype,
// otherwise TypeError "'<type>' object cannot be cast as '<expected>'".
bool check_class(PyObject* object, PyTypeObject* expected);
// Raises that class-conversion TypeError unconditionally; returns false.
bool raise_cast_error(PyObject* object, PyTypeObject* expected);

// Class conversion, then a copy of the record under a shared borrow.
template <class Class>
bool copy_record(PyObject* object, typename Class::Payload& out) {
    PyTypeObject* type = Class::type();
    if (type == nullptr || !check_class(object, type)) return false;
    auto* source = instance<typename Class::Payload>(object);
    SharedBorrow borrow(source->borrow);
    if (!borrow) return false;
    out = source->value;
    return true;
}

}  // namespace aeso::py
