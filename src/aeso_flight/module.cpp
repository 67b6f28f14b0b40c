// The module aeso_flight._native: the compiled part of aeso_flight, flights
// in the real air over the same core as aeso. Multi-phase initialisation
// with all state in the module; it holds no lock and needs no GIL.

#include "core/real_flight_block.hpp"
#include "estimation.hpp"
#include "objects.hpp"
#include "python/module_names.hpp"
#include "python/stop_flag.hpp"

namespace aeso::flight {

namespace {

int add_type(PyObject* module, PyType_Spec* spec, const char* name, PyTypeObject*& slot) {
    PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
    if (type == nullptr) return -1;
    slot = reinterpret_cast<PyTypeObject*>(type);
    return PyModule_AddObjectRef(module, name, type);
}

PyType_Spec STOP_FLAG_SPEC = py::stop_flag_spec("aeso_flight._native.StopFlag");

// What run_block's callers read by name instead of copying values: the
// outcome rows and control columns (tuples of names), the kinds of
// environment columns and the controllers ({name: value}).
using py::named;
using py::Named;

constexpr Named ENVIRONMENTS[] = {named("none", EnvironmentColumns::None), named("offset", EnvironmentColumns::Offset),
                                   named("pad_temperature", EnvironmentColumns::PadTemperature)};
constexpr Named CONTROLLERS[] = {named("predictive", ControllerKind::Predictive), named("pid", ControllerKind::Pid),
                                 named("schedule", ControllerKind::Schedule)};

int module_exec(PyObject* module) {
    ModuleState* st = state_of(module);
    if (add_type(module, &AIR_SPEC, "Air", st->air_type) < 0 ||
        add_type(module, &CRAFT_SPEC, "Craft", st->craft_type) < 0 ||
        add_type(module, &SCHEDULE_SPEC, "Schedule", st->schedule_type) < 0 ||
        add_type(module, &STOP_FLAG_SPEC, "StopFlag", st->stop_flag_type) < 0 ||
        py::add_name_tuple(module, "BLOCK_OUTCOMES", REAL_OUTCOME_NAMES) < 0 ||
        py::add_name_tuple(module, "CONTROL_COLUMNS", CONTROL_COLUMN_NAMES) < 0 ||
        py::add_names(module, "ENVIRONMENT_COLUMNS", ENVIRONMENTS) < 0 ||
        py::add_names(module, "CONTROLLER", CONTROLLERS) < 0 || add_estimation(module) < 0) {
        return -1;
    }
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    Py_VISIT(st->air_type);
    Py_VISIT(st->craft_type);
    Py_VISIT(st->schedule_type);
    Py_VISIT(st->stop_flag_type);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    Py_CLEAR(st->air_type);
    Py_CLEAR(st->craft_type);
    Py_CLEAR(st->schedule_type);
    Py_CLEAR(st->stop_flag_type);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef MODULE_DEFINITION = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "aeso_flight._native",
    .m_doc = "Native flights in the real air: the compiled part of aeso_flight.",
    .m_size = sizeof(ModuleState),
    .m_methods = RUN_METHODS,
    .m_slots = MODULE_SLOTS,
    .m_traverse = module_traverse,
    .m_clear = module_clear,
    .m_free = module_free,
};

}  // namespace

}  // namespace aeso::flight

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&aeso::flight::MODULE_DEFINITION); }
