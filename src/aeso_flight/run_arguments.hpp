// The arguments the module's run functions share, converted to plain
// values. A flight is flown by a `flight` tuple (craft, air, dof, method,
// step, max_iterations) from a `state` tuple of floats; aeso_flight's
// private module _arguments builds both (for Vehicle and for the study
// tool), so that their shape is written in one place on each side.
#pragma once

#include <optional>

#include "core/apogee_inverse.hpp"
#include "core/controlled_flight.hpp"
#include "objects.hpp"

namespace aeso::flight {

// The columns of a flight log's rows: aeso's, then the density, the Mach
// number and the deployment.
inline constexpr std::size_t FLIGHT_LOG_COLUMNS = LOG_COLUMNS + 3;

// How a flight is flown: the vehicle, the air, the model, the method and
// its step options, the iteration limit.
struct FlightArguments {
    const CraftObject* craft = nullptr;
    const AirObject* air = nullptr;
    int dof = 1;
    SolverConfig solver{};
    std::uint64_t max_iterations = 0;
    AirModel model{};

    // The run over the model, with the stop check `stop` (null: none).
    RealRun run(const std::atomic<bool>* stop) const noexcept {
        return {&model, solver, max_iterations, StopCheck{stop}};
    }
};

// A TypeError unless nargs == expected.
bool check_count(const char* name, Py_ssize_t nargs, Py_ssize_t expected);
// The flight tuple (craft, air, dof, method, step, max_iterations).
bool parse_flight(PyObject* module, PyObject* tuple, FlightArguments& f);
// The state tuple: 2 floats for dof 1, 6 for dof 3.
bool parse_state(PyObject* tuple, int dof, double (&state)[6]);
// A deployment: a level (float) or a native Schedule.
bool parse_deployment(PyObject* module, PyObject* object, Deployment& deployment);
// A predictor: (flight, drag_scale); `f` keeps what the predictor points to.
bool parse_predictor(PyObject* module, PyObject* object, Predictor& p, FlightArguments& f);
// A warm start (value, slope, low, high) or None.
bool parse_start(PyObject* object, std::optional<InverseStart>& start);

// Calls f with the initial state of a model from its values.
template <class F>
decltype(auto) with_initial(int dof, const double (&s)[6], F&& f) {
    if (dof == 1) return f(Initial1DOF{s[0], s[1]});
    return f(Initial3DOF{s[0], s[1], s[2], s[3], s[4], s[5]});
}

}  // namespace aeso::flight
