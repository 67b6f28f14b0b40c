// Apogee predictions through a copy of the main loop with no output code at
// all: no print flag, no print branch, no banner. Built in a translation unit
// of its own, as the real run operations are, so that comparing the two
// measures what switched-off printing costs and not where the code was
// inlined.
#pragma once

#include "core/simulation.hpp"

namespace aeso::bench {

Result<double> predict_apogee_1dof_no_output(const RocketProperties& rocket, const Initial1DOF& initial,
                                             const RunSettings& settings);
Result<double> predict_apogee_3dof_no_output(const RocketProperties& rocket, const Initial3DOF& initial,
                                             const RunSettings& settings);

}  // namespace aeso::bench
