#include "binding.hpp"

#include <cstring>
#include <string>

namespace aeso::py {

void dealloc_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// ---------------------------------------------------------------------------
// Binding

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_list(std::span<const char* const> names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) text += ',';
            text += (i + 1 == names.size()) ? " and " : " ";
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

bool fail_type(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

}  // namespace

bool BoundArguments::bind_positional(const Signature& signature, PyObject* const* items,
                                     Py_ssize_t count) {
    const std::size_t given = static_cast<std::size_t>(count);
    const std::size_t max = signature.names.size();
    if (given > max) {
        std::string message = signature.full_name;
        if (signature.required != max) {
            message += " takes from " + std::to_string(signature.required) + " to ";
        } else {
            message += " takes ";
        }
        message += std::to_string(max) + " positional arguments but " + std::to_string(given) +
                   (given == 1 ? " was" : " were") + " given";
        return fail_type(message);
    }
    for (std::size_t i = 0; i < given; ++i) values_[i] = Ref::borrowed(items[i]);
    return true;
}

bool BoundArguments::bind_keyword(const Signature& signature, PyObject* key, PyObject* value,
                                  Py_ssize_t positional_count) {
    if (!PyUnicode_Check(key)) {
        return fail_type(std::string(signature.full_name) + " keywords must be strings");
    }
    // Whole-string comparison: a keyword with an embedded NUL ("dt\0") or one
    // that has no UTF-8 form (a lone surrogate) names no parameter.
    for (std::size_t i = 0; i < signature.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, signature.names[i]) != 0) continue;
        if (i < static_cast<std::size_t>(positional_count) || values_[i]) {
            return fail_type(std::string(signature.full_name) +
                             " got multiple values for argument '" + signature.names[i] + "'");
        }
        values_[i] = Ref::borrowed(value);
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature.full_name,
                 key);
    return false;
}

bool BoundArguments::check_required(const Signature& signature) const {
    std::array<const char*, MAX_PARAMETERS> missing{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (!values_[i]) missing[count++] = signature.names[i];
    }
    if (count == 0) return true;
    return fail_type(std::string(signature.full_name) + " missing " + std::to_string(count) +
                     " required positional argument" + (count == 1 ? "" : "s") + ": " +
                     quoted_list(std::span(missing.data(), count)));
}

bool BoundArguments::bind(const Signature& signature, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!bind_positional(signature, &PyTuple_GET_ITEM(args, 0), nargs)) return false;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        // A snapshot of owned pairs: the dict itself may be shared and mutable.
        Ref items(PyDict_Items(kwargs));
        if (!items) return false;
        const Py_ssize_t count = PyList_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            if (!bind_keyword(signature, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1),
                              nargs)) {
                return false;
            }
        }
    }
    return check_required(signature);
}

bool BoundArguments::bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!bind_positional(signature, args, nargs)) return false;
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], nargs)) {
                return false;
            }
        }
    }
    return check_required(signature);
}

// ---------------------------------------------------------------------------
// Conversions

bool to_double(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool check_class(PyObject* object, PyTypeObject* expected) {
    return PyObject_TypeCheck(object, expected) || raise_cast_error(object, expected);
}

bool raise_cast_error(PyObject* object, PyTypeObject* expected) {
    std::string message = "'";
    message += type_qualname(Py_TYPE(object));
    message += "' object cannot be cast as '";
    message += type_qualname(expected);
    message += '\'';
    return fail_type(message);
}

bool wrap_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    Ref inner = fetch_exception();
    if (Py_TYPE(inner.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_exception(std::move(inner));  // a subclass of TypeError passes unchanged
        return false;
    }
    const std::string message =
        std::string("argument '") + name + "': " + str_or(inner.get(), STR_FAILED);
    Ref cause(PyException_GetCause(inner.get()));
    PyErr_SetString(PyExc_TypeError, message.c_str());
    if (cause) {
        Ref outer = fetch_exception();
        PyException_SetCause(outer.get(), cause.release());  // steals the reference
        restore_exception(std::move(outer));
    }
    return false;
}

bool double_argument(PyObject* object, const char* name, double& out) {
    return to_double(object, out) || wrap_argument_error(name);
}

int refuse_delete() {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
}

// ---------------------------------------------------------------------------

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
    auto add = [&](int id, void* pointer) {
        if (pointer != nullptr) slots[count++] = PyType_Slot{id, pointer};
    };
    add(Py_tp_doc, const_cast<char*>(spec.doc));
    add(Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance));
    add(Py_tp_new, reinterpret_cast<void*>(spec.new_function));
    add(Py_tp_getset, spec.getsets);
    add(Py_tp_methods, spec.methods);
    for (const PyType_Slot& extra : spec.extra_slots) add(extra.slot, extra.pfunc);
    if (count >= MAX_SLOTS) return raise_internal("too many type slots");

    unsigned int flags = Py_TPFLAGS_DEFAULT;
    if (spec.new_function == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyType_Spec type_spec{spec.name, static_cast<int>(spec.basic_size), 0, flags, slots.data()};
    Ref type(PyType_FromSpec(&type_spec));
    if (!type) return nullptr;
    if (spec.finish != nullptr && !spec.finish(type.get())) return nullptr;
    return type.release();
}

}  // namespace aeso::py
