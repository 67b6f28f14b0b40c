// Runs pure C++ work with the calling thread detached from the interpreter.
#pragma once

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include <Python.h>

namespace aeso::py {

// Calls `work()` between PyEval_SaveThread and PyEval_RestoreThread and returns
// its result. While detached, other threads run (GIL builds) and stop-the-world
// pauses proceed (free-threaded builds), so `work` must not touch any Python
// object or API. A C++ exception thrown by `work` is carried across and
// rethrown once the thread is attached again, where the caller's guard can
// turn it into a Python exception.
template <class Work>
std::invoke_result_t<Work&> run_detached(Work&& work) {
    std::optional<std::invoke_result_t<Work&>> result;
    std::exception_ptr failure;
    PyThreadState* saved = PyEval_SaveThread();
    try {
        result.emplace(work());
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

}  // namespace aeso::py
