// The module's named results: struct sequences (tuples whose items are also
// attributes), so the Python package reads every value by its name. Their
// fields are listed once, in results.cpp; _native.pyi declares them for
// type checkers.
#pragma once

#include "core/apogee_inverse.hpp"
#include "core/controlled_flight.hpp"
#include "objects.hpp"

namespace aeso::flight {

// Creates the result types into the module's state; -1 with an exception set.
int add_result_types(PyObject* module, ModuleState& state);

// FlightResult(status, apogee, time, x, horizontal_speed, steps, failed_at,
// failed_velocity).
PyObject* flight_result(const ModuleState& state, const FlightOutcome& o);
// InverseResult(status, value, apogee, predictions, slope, low, high,
// failure): failure the FlightResult of the failed prediction, or None.
PyObject* inverse_result(const ModuleState& state, const InverseResult& r);
// SimulatedResult(flight, times, rows).
PyObject* simulated_result(const ModuleState& state, const FlightOutcome& o, PyObject* times, PyObject* rows);
// ControlledResult(flight, final_deployment, travel, ticks, predictions,
// failed_decisions, decision_failure, records, error, error_raised,
// failed_time).
PyObject* controlled_result(const ModuleState& state, const ControlledOutcome& o, PyObject* records,
                            PyObject* error, bool error_raised, double failed_time);

}  // namespace aeso::flight
