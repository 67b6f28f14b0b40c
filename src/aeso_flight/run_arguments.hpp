// The arguments the module's run functions share, converted to plain values:
// (craft, air, dof, state, method, step, max_iterations, ...), a brake
// setting, and the tuple a flight's outcome returns as.
#pragma once

#include "core/controlled_flight.hpp"
#include "core/real_air_run.hpp"
#include "objects.hpp"

namespace aeso::flight {

constexpr Py_ssize_t COMMON_ARGS = 7;

struct Common {
    const CraftObject* craft;
    const AirObject* air;
    int dof;
    double state[6];
    SolverConfig solver;
    std::uint64_t max_iterations;
};

// A TypeError unless nargs == expected.
bool check_count(const char* name, Py_ssize_t nargs, Py_ssize_t expected);
// The seven common arguments at args[0..6].
bool parse_common(PyObject* module, PyObject* const* args, Common& c);
// A brake setting: a level (float) and an optional native Schedule.
bool parse_trim(PyObject* module, PyObject* level, PyObject* schedule, double drag_scale, FlightTrim& trim);
bool parse_double(PyObject* object, double& out);
// The predictor tuple (craft, air, dof, step, max_iterations, drag_scale,
// method) of a controller; `storage` and `model` must outlive `p`.
bool parse_predictor(PyObject* module, PyObject* object, Predictor& p, Common& storage, AirModel& model);
// (status, apogee, time, x, |vx|, steps, failed_at)
PyObject* outcome_tuple(const RealOutcome& o);

// Calls f with the initial state of the common arguments' model.
template <class F>
decltype(auto) with_initial(const Common& c, F&& f) {
    if (c.dof == 1) return f(Initial1DOF{c.state[0], c.state[1]});
    return f(Initial3DOF{c.state[0], c.state[1], c.state[2], c.state[3], c.state[4], c.state[5]});
}

}  // namespace aeso::flight
