// Module attributes that name a native module's enums and outcome rows, so
// that its Python callers read their values instead of copying them: a
// {name: value} dict of an enum, or a tuple of names in their order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <utility>

#include "python_ref.hpp"

namespace aeso::py {

struct Named {
    const char* name;
    long value;
};

template <class E>
constexpr Named named(const char* name, E value) {
    return {name, static_cast<long>(value)};
}

// Adds {name: value} of `items` to the module as `attribute`.
template <std::size_t N>
int add_names(PyObject* module, const char* attribute, const Named (&items)[N]) {
    Ref dict{PyDict_New()};
    if (!dict) return -1;
    for (const Named& item : items) {
        Ref value{PyLong_FromLong(item.value)};
        if (!value || PyDict_SetItemString(dict.get(), item.name, value.get()) < 0) return -1;
    }
    return PyModule_AddObjectRef(module, attribute, dict.get());
}

// Adds {name: value} of a core table of (name, enum value) pairs to the
// module as `attribute`.
template <class E, std::size_t N>
int add_name_pairs(PyObject* module, const char* attribute, const std::array<std::pair<const char*, E>, N>& items) {
    Ref dict{PyDict_New()};
    if (!dict) return -1;
    for (const auto& [name, value] : items) {
        Ref number{PyLong_FromLong(static_cast<long>(value))};
        if (!number || PyDict_SetItemString(dict.get(), name, number.get()) < 0) return -1;
    }
    return PyModule_AddObjectRef(module, attribute, dict.get());
}

// Adds {name: index} of a core table of names to the module as `attribute`.
template <std::size_t N>
int add_name_indices(PyObject* module, const char* attribute, const std::array<const char*, N>& names) {
    Ref dict{PyDict_New()};
    if (!dict) return -1;
    for (std::size_t i = 0; i < N; ++i) {
        Ref number{PyLong_FromSize_t(i)};
        if (!number || PyDict_SetItemString(dict.get(), names[i], number.get()) < 0) return -1;
    }
    return PyModule_AddObjectRef(module, attribute, dict.get());
}

// Adds the tuple of `names` to the module as `attribute`.
template <std::size_t N>
int add_name_tuple(PyObject* module, const char* attribute, const std::array<const char*, N>& names) {
    Ref tuple{PyTuple_New(static_cast<Py_ssize_t>(N))};
    if (!tuple) return -1;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* name = PyUnicode_FromString(names[i]);
        if (name == nullptr) return -1;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return PyModule_AddObjectRef(module, attribute, tuple.get());
}

}  // namespace aeso::py
