// The module's classes as the rest of the Python layer sees them: one small
// traits struct per class (its record type and its type object, created on
// first use), plus the conventions that work on any of them.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "binding.hpp"
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

// Converts a timestep_config argument (not None): a FixedTimeStep or an
// AdaptiveTimeStep, else the composite TypeError naming both variants.
bool extract_timestep_config(PyObject* object, TimeStepConfig& out);

// Class conversion, then a copy of the record under a shared borrow.
template <class Class>
bool copy_record(PyObject* object, typename Class::Payload& out) {
    PyTypeObject* type = Class::type();
    if (type == nullptr || !check_class(object, type)) return false;
    auto* source = instance<typename Class::Payload>(object);
    SharedBorrow borrow(source->borrow);
    if (!borrow) return false;
    out = source->value;
    return true;
}

// A new object of `Class` holding `value`.
template <class Class>
PyObject* new_object(const typename Class::Payload& value) {
    PyTypeObject* type = Class::type();
    if (type == nullptr) return nullptr;
    return make_instance(type, value);
}

template <std::size_t N>
constexpr std::array<const char*, N> field_names(const DoubleField (&fields)[N]) {
    std::array<const char*, N> names{};
    for (std::size_t i = 0; i < N; ++i) names[i] = fields[i].name;
    return names;
}

// tp_new of a class whose constructor takes exactly its float fields, all
// required, in record order: bind, convert each (wrapped with its name),
// then allocate.
template <class Payload, const Signature& Constructor, const DoubleField* Fields>
PyObject* new_record(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    BoundArguments bound;
    if (!bound.bind(Constructor, args, kwargs)) return nullptr;
    Payload value{};
    for (std::size_t i = 0; i < Constructor.names.size(); ++i) {
        if (!double_argument(bound[i], Fields[i].name, field_at(&value, Fields[i]))) {
            return nullptr;
        }
    }
    return make_instance(subtype, value);
}

}  // namespace aeso::py
