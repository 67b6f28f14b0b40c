// Rocket (the object simulations run on) and RocketProperties (a detached
// copy of its seven properties).

#include "classes.hpp"

namespace aeso::py {

namespace {

constexpr DoubleField PROPERTY_FIELDS[] = {
    {"mass", "Mass of the rocket (kg)", offsetof(RocketProperties, mass)},
    {"cd", "Drag coefficient", offsetof(RocketProperties, cd)},
    {"area_drag", "Reference area for drag (m^2)", offsetof(RocketProperties, area_drag)},
    {"area_lift", "Reference area for lift (m^2)", offsetof(RocketProperties, area_lift)},
    {"moment_of_inertia", "Moment of inertia about the z-axis (kg*m^2)",
     offsetof(RocketProperties, moment_of_inertia)},
    {"stab_margin_dimensional", "Static stability margin (m)",
     offsetof(RocketProperties, stab_margin_dimensional)},
    {"cl_a", "Lift coefficient slope (per radian)", offsetof(RocketProperties, cl_a)},
};

// ---------------------------------------------------------------------------
// RocketProperties: seven float attributes, no constructor, not registered.

constinit auto property_getsets = double_getsets<RocketPropertiesClass>(PROPERTY_FIELDS);

TypeSlot properties_type;

// ---------------------------------------------------------------------------
// Rocket

constexpr auto ROCKET_NAMES = field_names(PROPERTY_FIELDS);
constexpr Signature ROCKET_CONSTRUCTOR{"Rocket.__new__()", ROCKET_NAMES, 7};

constexpr const char* PROPERTIES_ATTRIBUTE = "rocket_properties";

// A fresh RocketProperties holding a copy of the rocket's record.
PyObject* get_rocket_properties(PyObject* self, void*) {
    RocketProperties copy;
    {
        auto* rocket = instance<RocketProperties>(self);
        SharedBorrow borrow(rocket->borrow);
        if (!borrow) return nullptr;
        copy = rocket->value;
    }
    return new_object<RocketPropertiesClass>(copy);
}

// Copies the values of a RocketProperties into the rocket. The source's
// borrow ends before the rocket's exclusive borrow starts, so assigning a
// rocket's own properties back cannot conflict with itself.
int set_rocket_properties(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return refuse_delete();
    RocketProperties copy;
    if (!copy_record<RocketPropertiesClass>(value, copy)) {
        wrap_argument_error(PROPERTIES_ATTRIBUTE);
        return -1;
    }
    PyTypeObject* type = RocketClass::type();
    if (type == nullptr || !check_class(self, type)) return -1;
    auto* rocket = instance<RocketProperties>(self);
    ExclusiveBorrow borrow(rocket->borrow);
    if (!borrow) return -1;
    rocket->value = copy;
    return 0;
}

PyGetSetDef rocket_getsets[] = {
    {PROPERTIES_ATTRIBUTE, guarded<&get_rocket_properties>, guarded<&set_rocket_properties>, "",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

TypeSlot rocket_type;

}  // namespace

template <>
PyTypeObject* RocketPropertiesClass::type() {
    return class_type(properties_type, {
        .name = "builtins.RocketProperties",
        .doc = "Represents the physical properties of the rocket used in the simulation.",
        .basic_size = sizeof(Instance<RocketProperties>),
        .getsets = property_getsets.data(),
    });
}

template <>
PyTypeObject* RocketClass::type() {
    return class_type(rocket_type, {
        .name = "builtins.Rocket",
        .doc = "Rocket(mass, cd, area_drag, area_lift, moment_of_inertia, "
               "stab_margin_dimensional, cl_a)\n--\n\n",
        .basic_size = sizeof(Instance<RocketProperties>),
        .new_function = guarded<&new_record<RocketProperties, ROCKET_CONSTRUCTOR, PROPERTY_FIELDS>>,
        .getsets = rocket_getsets,
        .methods = ROCKET_SIMULATION_METHODS,
    });
}

}  // namespace aeso::py
