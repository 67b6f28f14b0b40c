// Ctrl-C for native runs started on the interpreter's main thread. While
// such a run lasts, a handler of SIGINT of our own stands in front of the
// one it replaces: it sets the run's stop flag (which every runner looks at,
// see core/stop_check.hpp) and then calls the replaced handler (Python's,
// which marks the signal for the interpreter). Once the run has ended and
// the thread is attached again, the replaced handler is back and the
// interpreter handles the signal (PyErr_CheckSignals): KeyboardInterrupt,
// or whatever the program's handler does.
//
// Nothing is installed on other threads (the interpreter handles signals on
// its main thread only), nor when SIGINT is ignored or left to the system's
// default, nor under a run already watched (a callable controller's own
// runs share their flight's flag).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <csignal>

namespace aeso::py {

namespace interrupt_detail {
// Process-wide: a signal handler has no argument. Atomics only, so the
// handler may use them; only the main thread installs and removes.
inline std::atomic<bool> interrupted{false};
inline std::atomic<PyOS_sighandler_t> replaced{nullptr};
inline std::atomic<int> depth{0};
inline std::atomic<unsigned long> main_thread{0};

extern "C" inline void on_interrupt(int signal) {
    interrupted.store(true, std::memory_order_relaxed);
    const PyOS_sighandler_t next = replaced.load(std::memory_order_relaxed);
    if (next != nullptr && next != SIG_IGN && next != SIG_DFL) next(signal);
}
}  // namespace interrupt_detail

// Records the interpreter's main thread (from threading.main_thread()), at a
// module's initialisation; 0 from a build that cannot tell, which watches
// nothing.
inline int record_main_thread() {
    PyObject* threading = PyImport_ImportModule("threading");
    if (threading == nullptr) return -1;
    PyObject* main = PyObject_CallMethod(threading, "main_thread", nullptr);
    Py_DECREF(threading);
    if (main == nullptr) return -1;
    PyObject* ident = PyObject_GetAttrString(main, "ident");
    Py_DECREF(main);
    if (ident == nullptr) return -1;
    const unsigned long value = PyLong_AsUnsignedLong(ident);
    Py_DECREF(ident);
    if (PyErr_Occurred()) return -1;
    interrupt_detail::main_thread.store(value, std::memory_order_relaxed);
    return 0;
}

// One watched stretch of a run; made and ended attached to the interpreter.
class InterruptWatch {
public:
    InterruptWatch() noexcept {
        using namespace interrupt_detail;
        if (PyThread_get_thread_ident() != main_thread.load(std::memory_order_relaxed)) return;
        if (depth.load(std::memory_order_relaxed) > 0) {
            depth.fetch_add(1, std::memory_order_relaxed);
            nested_ = true;
            return;
        }
        const PyOS_sighandler_t current = PyOS_getsig(SIGINT);
        if (current == SIG_IGN || current == SIG_DFL || current == SIG_ERR) return;
        interrupted.store(false, std::memory_order_relaxed);
        replaced.store(current, std::memory_order_relaxed);
        PyOS_setsig(SIGINT, on_interrupt);
        depth.store(1, std::memory_order_relaxed);
        installed_ = true;
    }
    ~InterruptWatch() { end(); }
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // The flag the run stops for, or null when nothing watches it.
    const std::atomic<bool>* flag() const noexcept {
        return installed_ || nested_ ? &interrupt_detail::interrupted : nullptr;
    }

    // Puts the replaced handler back (a watch that installed it); whether
    // SIGINT came during the watch.
    bool end() noexcept {
        using namespace interrupt_detail;
        const bool came = flag() != nullptr && interrupted.load(std::memory_order_relaxed);
        if (installed_) {
            // A handler set meanwhile (signal.signal in a callable
            // controller) is left as it is.
            if (PyOS_getsig(SIGINT) == on_interrupt) PyOS_setsig(SIGINT, replaced.load(std::memory_order_relaxed));
            depth.store(0, std::memory_order_relaxed);
        } else if (nested_) {
            depth.fetch_sub(1, std::memory_order_relaxed);
        }
        installed_ = nested_ = false;
        return came;
    }

private:
    bool installed_ = false;
    bool nested_ = false;
};

// Runs `run(flag)` (which detaches) under a watch, then lets the
// interpreter handle a SIGINT that came meanwhile: false with its exception
// set when the handler raised. A handler that did not raise has chosen to go
// on: a run that `stopped(result)` says was cut short runs again.
template <class Run, class Stopped, class Result>
bool run_interruptible(Run&& run, Stopped&& stopped, Result& result) {
    for (;;) {
        InterruptWatch watch;
        result = run(watch.flag());
        if (!watch.end()) return true;
        if (PyErr_CheckSignals() < 0) return false;
        if (!stopped(result)) return true;
    }
}

}  // namespace aeso::py
