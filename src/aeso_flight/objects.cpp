#include "objects.hpp"

#include <new>
#include <vector>

#include "python/buffer.hpp"
#include "python/module_setup.hpp"
#include "python/plain_values.hpp"

namespace aeso::flight {

ModuleState* state_of(PyObject* module) noexcept { return py::module_state<ModuleState>(module); }

bool read_array(PyObject* object, const char* what, std::vector<double>& out) noexcept {
    py::Buffer view;
    if (!view.get(object, what, false, 1, sizeof(double), "d")) return false;
    const double* data = view.data<const double>();
    try {
        out.assign(data, data + view.shape(0));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

namespace {

// ---------------------------------------------------------------------------
// Air: Air(0, density) for the constant air, Air(1, site_elevation,
// temperature_offset, pad_pressure) for the day's standard atmosphere. The
// Python package checks the values.

PyObject* air_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    int kind = 0;
    double a = 0.0, b = 0.0, c = 0.0;
    static const char* names[] = {"kind", "a", "b", "c", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "id|dd", const_cast<char**>(names), &kind, &a, &b, &c)) {
        return nullptr;
    }
    auto* self = reinterpret_cast<AirObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    try {
        if (kind == 0) {
            self->table = new AtmosphereTable(AtmosphereTable::constant(a));
            self->density = a;
        } else {
            self->column = new AirColumn(a, b, c);
            self->table = new AtmosphereTable(AtmosphereTable::standard(*self->column));
        }
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

void air_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<AirObject*>(object);
    delete self->table;
    delete self->column;
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

// sample(heights, density, speed_of_sound): the values flights read, into
// the two output arrays.
PyObject* air_sample(PyObject* object, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "sample() takes 3 arguments");
        return nullptr;
    }
    const auto* self = reinterpret_cast<AirObject*>(object);
    py::Buffer h, rho, a;
    if (!h.get(args[0], "heights", false, 1, sizeof(double), "d") ||
        !rho.get(args[1], "density", true, 1, sizeof(double), "d") ||
        !a.get(args[2], "speed_of_sound", true, 1, sizeof(double), "d")) {
        return nullptr;
    }
    const Py_ssize_t n = h.shape(0);
    if (rho.shape(0) != n || a.shape(0) != n) {
        PyErr_SetString(PyExc_ValueError, "the arrays must have one length");
        return nullptr;
    }
    const double* in = h.data<const double>();
    double* out_rho = rho.data<double>();
    double* out_a = a.data<double>();
    for (Py_ssize_t i = 0; i < n; ++i) {
        const AirSample s = self->table->at(in[i]);
        out_rho[i] = 2.0 * s.half_rho;
        out_a[i] = 1.0 / s.inv_speed_of_sound;
    }
    Py_RETURN_NONE;
}

// conditions(heights, temperature, pressure): the closed forms (for the
// constant air, the sea-level standard temperature and p = rho R T).
PyObject* air_conditions(PyObject* object, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "conditions() takes 3 arguments");
        return nullptr;
    }
    const auto* self = reinterpret_cast<AirObject*>(object);
    py::Buffer h, t, p;
    if (!h.get(args[0], "heights", false, 1, sizeof(double), "d") ||
        !t.get(args[1], "temperature", true, 1, sizeof(double), "d") ||
        !p.get(args[2], "pressure", true, 1, sizeof(double), "d")) {
        return nullptr;
    }
    const Py_ssize_t n = h.shape(0);
    if (t.shape(0) != n || p.shape(0) != n) {
        PyErr_SetString(PyExc_ValueError, "the arrays must have one length");
        return nullptr;
    }
    const double* in = h.data<const double>();
    double* out_t = t.data<double>();
    double* out_p = p.data<double>();
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (self->column == nullptr) {
            out_t[i] = atmosphere::SEA_LEVEL_TEMPERATURE;
            out_p[i] = self->density * atmosphere::GAS_CONSTANT * atmosphere::SEA_LEVEL_TEMPERATURE;
        } else {
            const AirConditions c = self->column->at(in[i]);
            out_t[i] = c.temperature;
            out_p[i] = c.pressure;
        }
    }
    Py_RETURN_NONE;
}

PyObject* air_bounds(PyObject* object, PyObject*) {
    const auto* self = reinterpret_cast<AirObject*>(object);
    return Py_BuildValue("(dd)", self->table->lowest_height(), self->table->highest_height());
}

PyMethodDef AIR_METHODS[] = {
    {"sample", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(air_sample)), METH_FASTCALL,
     "sample($self, heights, density, speed_of_sound, /)\n--\n\nThe density and speed of sound flights read."},
    {"conditions", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(air_conditions)), METH_FASTCALL,
     "conditions($self, heights, temperature, pressure, /)\n--\n\nTemperature and pressure by the closed forms."},
    {"bounds", air_bounds, METH_NOARGS, "The heights above the pad between which the layers lie."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot AIR_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(air_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(air_dealloc)},
    {Py_tp_methods, AIR_METHODS},
    {Py_tp_doc, const_cast<char*>("Native tables of one atmosphere.")},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Craft(rocket, drag_mach, drag_cd, brake_deployment, brake_mach, brake_cd,
// area_ratio, replace): a vehicle's seven properties and drag. Empty arrays
// mean no drag curve or no brakes.

PyObject* craft_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject *rocket, *drag_mach, *drag_cd, *brake_dep, *brake_mach, *brake_cd;
    double area_ratio = 1.0;
    int replace = 0;
    static const char* names[] = {"rocket", "drag_mach", "drag_cd", "brake_deployment", "brake_mach",
                                  "brake_cd", "area_ratio", "replace", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOdp", const_cast<char**>(names), &rocket, &drag_mach,
                                     &drag_cd, &brake_dep, &brake_mach, &brake_cd, &area_ratio, &replace)) {
        return nullptr;
    }
    double r[7];
    if (!py::read_floats(rocket, r, 7, "rocket")) return nullptr;
    std::vector<double> dm, dc, bd, bm, bc;
    if (!read_array(drag_mach, "drag_mach", dm) || !read_array(drag_cd, "drag_cd", dc) ||
        !read_array(brake_dep, "brake_deployment", bd) || !read_array(brake_mach, "brake_mach", bm) ||
        !read_array(brake_cd, "brake_cd", bc)) {
        return nullptr;
    }
    if (dm.size() != dc.size() || bc.size() != bd.size() * bm.size() || (!bd.empty() && bd.size() < 2) ||
        (!bd.empty() && bm.empty())) {
        PyErr_SetString(PyExc_ValueError, "inconsistent table shapes");
        return nullptr;
    }
    auto* self = reinterpret_cast<CraftObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->rocket = {r[0], r[1], r[2], r[3], r[4], r[5], r[6]};
    try {
        self->drag = new VehicleDrag{};
        if (!dm.empty()) self->drag->cd = LinearCurve(std::move(dm), std::move(dc));
        if (!bd.empty()) {
            self->drag->brakes = BrakeTable::of(LinearSurface(std::move(bd), std::move(bm), std::move(bc)),
                                                area_ratio, replace != 0);
        }
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

void craft_dealloc(PyObject* object) {
    delete reinterpret_cast<CraftObject*>(object)->drag;
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

PyType_Slot CRAFT_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(craft_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(craft_dealloc)},
    {Py_tp_doc, const_cast<char*>("Native copy of a vehicle's properties and drag tables.")},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Schedule(times, levels): a brake deployment against time.

PyObject* schedule_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject *times, *levels;
    static const char* names[] = {"times", "levels", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", const_cast<char**>(names), &times, &levels)) {
        return nullptr;
    }
    std::vector<double> t, l;
    if (!read_array(times, "times", t) || !read_array(levels, "levels", l)) return nullptr;
    if (t.empty() || t.size() != l.size()) {
        PyErr_SetString(PyExc_ValueError, "times and levels must have one length, at least 1");
        return nullptr;
    }
    auto* self = reinterpret_cast<ScheduleObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    try {
        self->curve = new LinearCurve(std::move(t), std::move(l));
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

void schedule_dealloc(PyObject* object) {
    delete reinterpret_cast<ScheduleObject*>(object)->curve;
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

PyType_Slot SCHEDULE_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(schedule_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(schedule_dealloc)},
    {Py_tp_doc, const_cast<char*>("Native copy of a brake deployment schedule.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec AIR_SPEC = {
    .name = "aeso_flight._native.Air",
    .basicsize = static_cast<int>(sizeof(AirObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = AIR_SLOTS,
};

PyType_Spec CRAFT_SPEC = {
    .name = "aeso_flight._native.Craft",
    .basicsize = static_cast<int>(sizeof(CraftObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = CRAFT_SLOTS,
};

PyType_Spec SCHEDULE_SPEC = {
    .name = "aeso_flight._native.Schedule",
    .basicsize = static_cast<int>(sizeof(ScheduleObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = SCHEDULE_SLOTS,
};

}  // namespace aeso::flight
