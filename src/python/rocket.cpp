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
        wrap_argument_error("rocket_properties");
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
    {"rocket_properties", guarded<&get_rocket_properties>, guarded<&set_rocket_properties>, "",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

TypeSlot rocket_type;

}  // namespace

template <>
PyTypeObject* RocketPropertiesClass::type() {
    return class_type(properties_type,
                      {"builtins.RocketProperties",
                       "Represents the physical properties of the rocket used in the simulation.",
                       sizeof(Instance<RocketProperties>), nullptr, property_getsets.data()});
}

template <>
PyTypeObject* RocketClass::type() {
    return class_type(rocket_type,
                      {"builtins.Rocket",
                       "Rocket(mass, cd, area_drag, area_lift, moment_of_inertia, "
                       "stab_margin_dimensional, cl_a)\n--\n\n",
                       sizeof(Instance<RocketProperties>),
                       guarded<&new_record<RocketProperties, ROCKET_CONSTRUCTOR, PROPERTY_FIELDS>>,
                       rocket_getsets, ROCKET_SIMULATION_METHODS});
}

}  // namespace aeso::py
