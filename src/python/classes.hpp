// The module's classes as the rest of the Python layer sees them: one small
// traits struct per class (its record type and its type object, created on
// first use), and the pieces one class file lends another.
#pragma once

#include <optional>

#include "type_building.hpp"
#include "core/rocket_properties.hpp"
#include "core/solver_config.hpp"
#include "core/state.hpp"

namespace aeso::py {

// A class of the module: `Payload` is the record its instances hold, and
// type() its type object, created on first use (defined beside the class).
template <class PayloadType, class Tag>
struct PyClass {
    using Payload = PayloadType;
    static PyTypeObject* type();
};

using OdeMethodClass = PyClass<OdeMethod, struct OdeMethodTag>;
using FixedTimeStepClass = PyClass<FixedTimeStep, struct FixedTimeStepTag>;
using AdaptiveTimeStepClass = PyClass<AdaptiveTimeStep, struct AdaptiveTimeStepTag>;
using RocketClass = PyClass<RocketProperties, struct RocketTag>;
using RocketPropertiesClass = PyClass<RocketProperties, struct RocketPropertiesTag>;
using InitialState1DOFClass = PyClass<Initial1DOF, struct InitialState1DOFTag>;
using InitialState3DOFClass = PyClass<Initial3DOF, struct InitialState3DOFTag>;

template <> PyTypeObject* OdeMethodClass::type();
template <> PyTypeObject* FixedTimeStepClass::type();
template <> PyTypeObject* AdaptiveTimeStepClass::type();
template <> PyTypeObject* RocketClass::type();
template <> PyTypeObject* RocketPropertiesClass::type();
template <> PyTypeObject* InitialState1DOFClass::type();
template <> PyTypeObject* InitialState3DOFClass::type();

// The methods of Rocket that run simulations (simulate.cpp).
extern PyMethodDef ROCKET_SIMULATION_METHODS[];

// Converts a timestep_config argument: None leaves `out` empty; otherwise a
// FixedTimeStep or an AdaptiveTimeStep, else the composite TypeError naming
// both variants.
bool to_timestep_config(PyObject* object, std::optional<TimeStepConfig>& out);

}  // namespace aeso::py
