// A flight's data: the native functions and result types behind
// FlightData's estimate, Vehicle.fit_drag and the altimeter's height.
#pragma once

#include "objects.hpp"

namespace aeso::flight {

// Adds the functions and their named result types to the module.
int add_estimation(PyObject* module);

}  // namespace aeso::flight
