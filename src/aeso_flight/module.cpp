// The module aeso_flight._native: the compiled part of aeso_flight, flights
// in the real air over the same core as aeso (set up as every compiled
// module of the package is, see python/module_setup.hpp).

#include "core/apogee_inverse.hpp"
#include "core/real_flight_block.hpp"
#include "estimation.hpp"
#include "objects.hpp"
#include "python/interrupt.hpp"
#include "python/module_names.hpp"
#include "python/module_setup.hpp"
#include "python/python_ref.hpp"
#include "python/stop_flag.hpp"
#include "results.hpp"
#include "run_arguments.hpp"

namespace aeso::flight {

namespace {

using py::add_type;

PyType_Spec STOP_FLAG_SPEC = py::stop_flag_spec("aeso_flight._native.StopFlag");

// What the Python package reads by name instead of copying values: the
// statuses of flights and inverses, the controllers' kinds, the tick
// records' and sensor logs' columns, the limits of a controller's and a
// sensor's rates, and run_block's outcome rows, control columns and kinds
// of environment columns.
using py::named;
using py::Named;

constexpr Named ENVIRONMENTS[] = {named("none", EnvironmentColumns::None), named("offset", EnvironmentColumns::Offset),
                                   named("pad_temperature", EnvironmentColumns::PadTemperature)};

int add_constants(PyObject* module) {
    if (py::add_float(module, "MAX_CONTROL_RATE", MAX_CONTROL_RATE) < 0 ||
        py::add_float(module, "MAX_SENSOR_RATE", MAX_SENSOR_RATE) < 0 ||
        py::add_float(module, "APOGEE_VELOCITY_THRESHOLD", APOGEE_VELOCITY_THRESHOLD) < 0 ||
        py::add_float(module, "APOGEE_TOLERANCE", APOGEE_TOLERANCE) < 0) {
        return -1;
    }
    return PyModule_AddIntConstant(module, "LOG_COLUMNS", static_cast<long>(FLIGHT_LOG_COLUMNS));
}

int module_exec(PyObject* module) {
    ModuleState* st = state_of(module);
    if (add_type(module, &AIR_SPEC, "Air", st->air_type) < 0 ||
        add_type(module, &CRAFT_SPEC, "Craft", st->craft_type) < 0 ||
        add_type(module, &SCHEDULE_SPEC, "Schedule", st->schedule_type) < 0 ||
        add_type(module, &STOP_FLAG_SPEC, "StopFlag", st->stop_flag_type) < 0 ||
        py::add_name_tuple(module, "BLOCK_OUTCOMES", REAL_OUTCOME_NAMES) < 0 ||
        py::add_name_tuple(module, "CONTROL_COLUMNS", CONTROL_COLUMN_NAMES) < 0 ||
        py::add_name_tuple(module, "COMPUTER_COLUMNS", COMPUTER_COLUMN_NAMES) < 0 ||
        py::add_name_tuple(module, "BLOCK_CONTROLLERS", BLOCK_CONTROLLER_NAMES) < 0 ||
        py::add_names(module, "ENVIRONMENT_COLUMNS", ENVIRONMENTS) < 0 ||
        py::add_name_indices(module, "CONTROLLER", CONTROLLER_NAMES) < 0 ||
        py::add_name_pairs(module, "FLIGHT_STATUS", FLIGHT_STATUS_NAMES) < 0 ||
        py::add_name_pairs(module, "INVERSE_STATUS", INVERSE_STATUS_NAMES) < 0 ||
        py::add_name_tuple(module, "TICK_COLUMNS", TICK_COLUMN_NAMES) < 0 ||
        py::add_name_tuple(module, "SAMPLE_COLUMNS", SAMPLE_COLUMN_NAMES) < 0 || add_constants(module) < 0 ||
        add_result_types(module, *st) < 0 || py::record_main_thread() < 0 ||
        add_estimation(module) < 0) {
        return -1;
    }
    return 0;
}

PyModuleDef MODULE_DEFINITION = py::module_definition<ModuleState, module_exec>(
    "aeso_flight._native", "Native flights in the real air: the compiled part of aeso_flight.", RUN_METHODS);

}  // namespace

}  // namespace aeso::flight

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&aeso::flight::MODULE_DEFINITION); }
