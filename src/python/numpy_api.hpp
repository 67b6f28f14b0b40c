// The NumPy C API, reached at run time through NumPy's _ARRAY_API capsule
// (no NumPy headers at build time), and the conversion of a flight log into
// the two result arrays.
#pragma once

#include "core/flight_log.hpp"
#include "python_ref.hpp"

namespace aeso::py {

// The (times, states) arrays of a flight log: float64, shapes (n,) and (n, 9),
// C order, owning copies of the data. On failure both stay empty and an
// InternalError is pending.
bool flight_log_arrays(const FlightLog& flight_log, Ref& times, Ref& states);

}  // namespace aeso::py
