// Owned Python references with RAII, so every failure path releases them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace aeso::py {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over an owned (new) reference; nullptr is allowed.
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    // Adds a reference of its own to a borrowed object.
    static Ref borrowed(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Release function for process-wide OnceValue slots holding an object.
inline void release_ref(PyObject* object) noexcept { Py_XDECREF(object); }

}  // namespace aeso::py
