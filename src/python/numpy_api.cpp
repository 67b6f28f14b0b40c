#include "numpy_api.hpp"

#include <cstdint>
#include <cstring>
#include <string>

#include "arguments.hpp"
#include "errors.hpp"
#include "once_value.hpp"

namespace aeso::py {

namespace {

// Positions in NumPy's API table; the same in NumPy 1.x and 2.x.
constexpr std::size_t API_ARRAY_TYPE = 2;
constexpr std::size_t API_DESCR_FROM_TYPE = 45;
constexpr std::size_t API_NEW_FROM_DESCR = 94;
constexpr int NPY_DOUBLE = 12;

using npy_intp = Py_ssize_t;
using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*,
                                   const npy_intp*, void*, int, PyObject*);

// The leading fields of NumPy's array object: the header, then the data pointer.
struct ArrayHead {
    PyObject_HEAD
    char* data;
};

OnceValue<const char> multiarray_name;
OnceValue<void*> api_table;

// "numpy.core.multiarray" for NumPy 1.x, "numpy._core.multiarray" from 2.0.
const char* find_multiarray_name() {
    return multiarray_name.get_or_create([]() -> const char* {
        Ref numpy(PyImport_ImportModule("numpy"));
        if (!numpy) return nullptr;
        Ref version(PyObject_GetAttrString(numpy.get(), "__version__"));
        if (!version) return nullptr;
        Ref lib(PyImport_ImportModule("numpy.lib"));
        if (!lib) return nullptr;
        Ref parsed(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
        if (!parsed) return nullptr;
        Ref major_object(PyObject_GetAttrString(parsed.get(), "major"));
        if (!major_object) return nullptr;
        const unsigned long major = PyLong_AsUnsignedLong(major_object.get());
        if (major == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
        if (major > UINT8_MAX) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return nullptr;
        }
        return major < 2 ? "numpy.core.multiarray" : "numpy._core.multiarray";
    });
}

void** load_api_table() {
    const char* name = find_multiarray_name();
    if (name == nullptr) return nullptr;
    Ref multiarray(PyImport_ImportModule(name));
    if (!multiarray) return nullptr;
    Ref capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return nullptr;
    if (!PyCapsule_CheckExact(capsule.get())) {
        raise_cast_error(capsule.get(), &PyCapsule_Type);
        return nullptr;
    }
    return static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
}

// The API table, loaded on first use and kept for the life of the process.
void** numpy_api() {
    void** table = api_table.get_or_create(load_api_table);
    if (table != nullptr) return table;
    Ref error = fetch_exception();
    const std::string cause =
        error ? render_exception(error.get()) : std::string("no Python error was set");
    raise_internal("Failed to access NumPy array API capsule: " + cause);
    return nullptr;
}

// A new float64 array that owns its (uninitialised) data.
Ref new_double_array(void** api, int ndim, const npy_intp* shape, const npy_intp* strides) {
    auto descr_from_type = reinterpret_cast<DescrFromType>(api[API_DESCR_FROM_TYPE]);
    auto new_from_descr = reinterpret_cast<NewFromDescr>(api[API_NEW_FROM_DESCR]);
    auto* array_type = static_cast<PyTypeObject*>(api[API_ARRAY_TYPE]);
    Ref array;
    if (PyObject* descr = descr_from_type(NPY_DOUBLE)) {
        // PyArray_NewFromDescr takes over the descriptor reference.
        array = Ref(new_from_descr(array_type, descr, ndim, shape, strides, nullptr, 0, nullptr));
    }
    if (!array) {
        PyErr_Print();
        raise_internal("Python API call failed");
    }
    return array;
}

void copy_into(const Ref& array, const void* source, std::size_t bytes) {
    if (bytes != 0) std::memcpy(reinterpret_cast<ArrayHead*>(array.get())->data, source, bytes);
}

}  // namespace

bool flight_log_arrays(const FlightLog& flight_log, Ref& times, Ref& states) {
    void** api = numpy_api();
    if (api == nullptr) return false;
    const std::size_t n = flight_log.size();
    const npy_intp rows = static_cast<npy_intp>(n);

    const npy_intp times_shape[1] = {rows};
    Ref times_array = new_double_array(api, 1, times_shape, nullptr);
    if (!times_array) return false;

    // The log's rows are already one contiguous row-major block.
    constexpr npy_intp ROW_BYTES = static_cast<npy_intp>(sizeof(LogRow));
    static_assert(sizeof(LogRow) == LOG_COLUMNS * sizeof(double), "rows must be packed");
    const npy_intp states_shape[2] = {rows, static_cast<npy_intp>(LOG_COLUMNS)};
    const npy_intp states_strides[2] = {n == 0 ? 0 : ROW_BYTES,
                                        n == 0 ? 0 : static_cast<npy_intp>(sizeof(double))};
    Ref states_array = new_double_array(api, 2, states_shape, states_strides);
    if (!states_array) return false;

    copy_into(times_array, flight_log.times(), n * sizeof(double));
    copy_into(states_array, flight_log.rows(), n * sizeof(LogRow));
    times = std::move(times_array);
    states = std::move(states_array);
    return true;
}

}  // namespace aeso::py
