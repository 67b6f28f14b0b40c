#include "arguments.hpp"

#include <string>

#include "errors.hpp"

namespace aeso::py {

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
    signature_ = &signature;
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
    signature_ = &signature;
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

}  // namespace aeso::py
