// OdeMethod, FixedTimeStep, AdaptiveTimeStep and the conversion of a
// timestep_config argument into TimeStepConfig.

#include <string>

#include "classes.hpp"
#include "errors.hpp"
#include "core/step_control.hpp"

namespace aeso::py {

// ---------------------------------------------------------------------------
// OdeMethod: three members created with the type, no constructor.

namespace {

struct Member {
    const char* name;
    const char* repr;
    OdeMethod value;
};

constexpr Member MEMBERS[] = {
    {"Euler", "OdeMethod.Euler", OdeMethod::Euler},
    {"RK3", "OdeMethod.RK3", OdeMethod::RK3},
    {"RK45", "OdeMethod.RK45", OdeMethod::RK45},
};

const Member* member_of(OdeMethod value) {
    for (const Member& member : MEMBERS) {
        if (member.value == value) return &member;
    }
    return nullptr;
}

// Reads the value of an OdeMethod object under a shared borrow.
bool read_method(PyObject* object, OdeMethod& out) {
    auto* self = instance<OdeMethod>(object);
    SharedBorrow borrow(self->borrow);
    if (!borrow) return false;
    out = self->value;
    return true;
}

PyObject* ode_method_repr(PyObject* self) {
    OdeMethod value;
    if (!read_method(self, value)) return nullptr;
    const Member* member = member_of(value);
    if (member == nullptr) return raise_internal("OdeMethod holds an unknown value");
    return PyUnicode_FromString(member->repr);
}

PyObject* ode_method_int(PyObject* self) {
    OdeMethod value;
    if (!read_method(self, value)) return nullptr;
    return PyLong_FromLong(static_cast<long>(value));
}

PyObject* ode_method_richcompare(PyObject* self, PyObject* other, int op) {
    PyTypeObject* type = OdeMethodClass::type();
    OdeMethod mine;
    if (type == nullptr || !PyObject_TypeCheck(self, type) || !read_method(self, mine)) {
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
    if (op < Py_LT || op > Py_GE) Py_RETURN_NOTIMPLEMENTED;

    long long theirs;
    if (PyObject_TypeCheck(other, type)) {
        OdeMethod value;
        if (!read_method(other, value)) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        theirs = static_cast<long long>(value);
    } else {
        theirs = PyLong_AsLongLong(other);
        if (theirs == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
    }
    const bool equal = static_cast<long long>(mine) == theirs;
    if (op == Py_EQ) return PyBool_FromLong(equal);
    if (op == Py_NE) return PyBool_FromLong(!equal);
    Py_RETURN_NOTIMPLEMENTED;
}

// Adds the members as class attributes before the type is published.
bool add_members(PyObject* type) {
    for (const Member& member : MEMBERS) {
        Ref object(make_instance(reinterpret_cast<PyTypeObject*>(type), member.value));
        if (!object || PyObject_SetAttrString(type, member.name, object.get()) < 0) return false;
    }
    return true;
}

// A type that lost the creation race drops its members first: they refer
// back to the type, and that cycle would otherwise keep it alive.
void release_ode_method_type(PyObject* type) noexcept {
    for (const Member& member : MEMBERS) {
        if (PyObject_DelAttrString(type, member.name) < 0) PyErr_Clear();
    }
    Py_DECREF(type);
}

const PyType_Slot ode_method_slots[] = {
    {Py_tp_repr, slot_entry<&ode_method_repr>()},
    {Py_nb_int, slot_entry<&ode_method_int>()},
    {Py_tp_richcompare, slot_entry<&ode_method_richcompare>()},
};

OnceValue<PyObject, release_ode_method_type> ode_method_type;

}  // namespace

template <>
PyTypeObject* OdeMethodClass::type() {
    return class_type(ode_method_type, {
        .name = "builtins.OdeMethod",
        .doc = "Numerical integration methods for the ODE solver.",
        .basic_size = sizeof(Instance<OdeMethod>),
        .extra_slots = ode_method_slots,
        .finish = add_members,
    });
}

// ---------------------------------------------------------------------------
// FixedTimeStep

namespace {

constexpr DoubleField FIXED_FIELDS[] = {
    {"dt", "", offsetof(FixedTimeStep, dt)},
};
constexpr auto FIXED_NAMES = field_names(FIXED_FIELDS);
constexpr Signature FIXED_CONSTRUCTOR{"FixedTimeStep.__new__()", FIXED_NAMES, 1};
constinit auto fixed_getsets = double_getsets<FixedTimeStepClass>(FIXED_FIELDS);

TypeSlot fixed_type;

}  // namespace

template <>
PyTypeObject* FixedTimeStepClass::type() {
    return class_type(fixed_type, {
        .name = "builtins.FixedTimeStep",
        .doc = "FixedTimeStep(dt)\n--\n\n",
        .basic_size = sizeof(Instance<FixedTimeStep>),
        .new_function = guarded<&new_record<FixedTimeStep, FIXED_CONSTRUCTOR, FIXED_FIELDS>>,
        .getsets = fixed_getsets.data(),
    });
}

// ---------------------------------------------------------------------------
// AdaptiveTimeStep

namespace {

constexpr DoubleField ADAPTIVE_FIELDS[] = {
    {"dt", "Initial timestep guess", offsetof(AdaptiveTimeStep, dt)},
    {"dt_min", "Minimum timestep", offsetof(AdaptiveTimeStep, dt_min)},
    {"dt_max", "Maximum timestep", offsetof(AdaptiveTimeStep, dt_max)},
    {"absolute_error_tolerance", "Absolute error tolerance",
     offsetof(AdaptiveTimeStep, absolute_error_tolerance)},
    {"relative_error_tolerance", "Relative error tolerance",
     offsetof(AdaptiveTimeStep, relative_error_tolerance)},
};
constexpr auto ADAPTIVE_NAMES = field_names(ADAPTIVE_FIELDS);
constexpr Signature ADAPTIVE_CONSTRUCTOR{"AdaptiveTimeStep.__new__()", ADAPTIVE_NAMES, 5};
constinit auto adaptive_getsets = double_getsets<AdaptiveTimeStepClass>(ADAPTIVE_FIELDS);

PyObject* adaptive_default(PyObject*, PyObject*) {
    return new_object<AdaptiveTimeStepClass>(DEFAULT_ADAPTIVE_TIME_STEP);
}

constexpr const char* NEXT_DT_NAMES[] = {"error_norm"};
constexpr Signature NEXT_DT{"AdaptiveTimeStep.next_dt()", NEXT_DT_NAMES, 1};

PyObject* adaptive_next_dt(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
    BoundArguments bound;
    if (!bound.bind(NEXT_DT, args, nargsf, kwnames)) return nullptr;
    PyTypeObject* type = AdaptiveTimeStepClass::type();
    if (type == nullptr || !check_class(self, type)) return nullptr;
    AdaptiveTimeStep options;
    double error_norm;
    {
        auto* object = instance<AdaptiveTimeStep>(self);
        SharedBorrow borrow(object->borrow);
        if (!borrow) return nullptr;
        if (!bound.convert(0, to_double, error_norm)) return nullptr;
        options = object->value;
    }
    Result<double> next = next_dt(options, options.dt, error_norm);
    if (!next) return raise_core_error(next.error());
    return PyFloat_FromDouble(next.value());
}

PyMethodDef adaptive_methods[] = {
    {"default", method_entry<&adaptive_default>(),
     METH_STATIC | METH_NOARGS, "default()\n--\n\n"},
    {"next_dt", method_entry<&adaptive_next_dt>(),
     METH_FASTCALL | METH_KEYWORDS,
     "next_dt($self, error_norm)\n--\n\nComputes the next timestep size based on the current "
     "error norm using a common\nadaptive timestep control formula."},
    {nullptr, nullptr, 0, nullptr},
};

TypeSlot adaptive_type;

}  // namespace

template <>
PyTypeObject* AdaptiveTimeStepClass::type() {
    return class_type(adaptive_type, {
        .name = "builtins.AdaptiveTimeStep",
        .doc = "AdaptiveTimeStep(dt, dt_min, dt_max, absolute_error_tolerance, "
               "relative_error_tolerance)\n--\n\n",
        .basic_size = sizeof(Instance<AdaptiveTimeStep>),
        .new_function = guarded<&new_record<AdaptiveTimeStep, ADAPTIVE_CONSTRUCTOR, ADAPTIVE_FIELDS>>,
        .getsets = adaptive_getsets.data(),
        .methods = adaptive_methods,
    });
}

// ---------------------------------------------------------------------------
// TimeStepConfig

namespace {

// The rendering of "failed to extract field <variant>.0" caused by the
// pending conversion or borrow error.
std::string variant_failure(const char* variant) {
    Ref cause = fetch_exception();
    const std::string message = std::string("failed to extract field ") + variant + ".0";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    Ref failure = fetch_exception();
    if (!failure) return "TypeError: " + message;
    if (cause) PyException_SetCause(failure.get(), cause.release());
    return render_exception(failure.get());
}

}  // namespace

bool to_timestep_config(PyObject* object, std::optional<TimeStepConfig>& out) {
    if (object == Py_None) return true;
    FixedTimeStep fixed;
    if (copy_record<FixedTimeStepClass>(object, fixed)) {
        out = fixed;
        return true;
    }
    const std::string fixed_failure = variant_failure("TimeStepOptions::Fixed");

    AdaptiveTimeStep adaptive;
    if (copy_record<AdaptiveTimeStepClass>(object, adaptive)) {
        out = adaptive;
        return true;
    }
    const std::string adaptive_failure = variant_failure("TimeStepOptions::Adaptive");

    const std::string message =
        "failed to extract enum TimeStepOptions ('Fixed | Adaptive')\n- variant Fixed (Fixed): " +
        fixed_failure + "\n- variant Adaptive (Adaptive): " + adaptive_failure;
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

}  // namespace aeso::py
