// InitialState1DOF and InitialState3DOF: mutable records of the values a run
// starts from.

#include "classes.hpp"

namespace aeso::py {

namespace {

constexpr DoubleField FIELDS_1DOF[] = {
    {"initial_height", "", offsetof(Initial1DOF, height)},
    {"initial_velocity", "", offsetof(Initial1DOF, velocity)},
};
constexpr auto NAMES_1DOF = field_names(FIELDS_1DOF);
constexpr Signature CONSTRUCTOR_1DOF{"InitialState1DOF.__new__()", NAMES_1DOF, 2};
constinit auto getsets_1dof = double_getsets<InitialState1DOFClass>(FIELDS_1DOF);

constexpr DoubleField FIELDS_3DOF[] = {
    {"x", "", offsetof(Initial3DOF, x)},
    {"y", "", offsetof(Initial3DOF, y)},
    {"angle", "", offsetof(Initial3DOF, angle)},
    {"vx", "", offsetof(Initial3DOF, vx)},
    {"vy", "", offsetof(Initial3DOF, vy)},
    {"angular_rate", "", offsetof(Initial3DOF, angular_rate)},
};
constexpr auto NAMES_3DOF = field_names(FIELDS_3DOF);
constexpr Signature CONSTRUCTOR_3DOF{"InitialState3DOF.__new__()", NAMES_3DOF, 6};
constinit auto getsets_3dof = double_getsets<InitialState3DOFClass>(FIELDS_3DOF);

TypeSlot type_1dof;
TypeSlot type_3dof;

}  // namespace

template <>
PyTypeObject* InitialState1DOFClass::type() {
    return class_type(type_1dof, {
        .name = "builtins.InitialState1DOF",
        .doc = "InitialState1DOF(initial_height, initial_velocity)\n--\n\n"
               "Struct for defining the initial conditions of a 1-DOF simulation.",
        .basic_size = sizeof(Instance<Initial1DOF>),
        .new_function = guarded<&new_record<Initial1DOF, CONSTRUCTOR_1DOF, FIELDS_1DOF>>,
        .getsets = getsets_1dof.data(),
    });
}

template <>
PyTypeObject* InitialState3DOFClass::type() {
    return class_type(type_3dof, {
        .name = "builtins.InitialState3DOF",
        .doc = "InitialState3DOF(x, y, angle, vx, vy, angular_rate)\n--\n\n"
               "Struct for defining the initial conditions of a 3-DOF simulation.",
        .basic_size = sizeof(Instance<Initial3DOF>),
        .new_function = guarded<&new_record<Initial3DOF, CONSTRUCTOR_3DOF, FIELDS_3DOF>>,
        .getsets = getsets_3dof.data(),
    });
}

}  // namespace aeso::py
