#include "step_control.hpp"

#include "number_format.hpp"

namespace aeso {

Error step_bounds_error(double dt_min, double dt_max) {
    return Error::internal("min > max, or either was NaN. min = " + format_shortest(dt_min) +
                           ", max = " + format_shortest(dt_max));
}

}  // namespace aeso
