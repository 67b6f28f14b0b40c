// Views of objects that export the buffer protocol (NumPy arrays, bytes),
// checked for shape and item type, released on every path. The compiled
// study and real-air modules read and fill caller-owned arrays through them
// and need no NumPy headers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

namespace aeso::py {

// A buffer view released on every path.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // A C-contiguous view of `object` with `ndim` dimensions, items of
    // `itemsize` bytes whose format is one of `formats`; a TypeError naming
    // `what` otherwise.
    bool get(PyObject* object, const char* what, bool writable, int ndim, Py_ssize_t itemsize,
             const char* formats) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(object, &view_, flags) < 0) return false;
        held_ = true;
        const char* format = view_.format == nullptr ? "B" : view_.format;
        if (format[0] == '=' || format[0] == '@' || format[0] == '<') ++format;
        if (view_.ndim != ndim || view_.itemsize != itemsize || std::strlen(format) != 1 ||
            std::strchr(formats, format[0]) == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous %d-dimensional array of %s",
                         what, ndim,
                         itemsize == 1 ? "uint8" : (formats[0] == 'd' ? "float64" : "uint64"));
            return false;
        }
        return true;
    }

    Py_ssize_t shape(int axis) const noexcept { return view_.shape[axis]; }
    template <class T>
    T* data() const noexcept {
        return static_cast<T*>(view_.buf);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace aeso::py
