// The four caller-owned arrays a study's block runner reads and fills:
// the inputs (rows x columns), the outcomes (outcome rows x rows), the steps
// taken and the status of each row. Both block runners (aeso's and the real
// air's) take them as four consecutive arguments.
#pragma once

#include <cstdint>

#include "python/buffer.hpp"

namespace aeso::py {

struct BlockBuffers {
    Buffer inputs, outcomes, steps, status;

    // Views of args[0..3], checked against the layout's `columns` and the
    // runner's `outcome_rows`; a TypeError or ValueError otherwise.
    bool get(PyObject* const* args, Py_ssize_t columns, Py_ssize_t outcome_rows) {
        if (!inputs.get(args[0], "inputs", false, 2, sizeof(double), "d") ||
            !outcomes.get(args[1], "outcomes", true, 2, sizeof(double), "d") ||
            !steps.get(args[2], "steps", true, 1, sizeof(std::uint64_t), "QLK") ||
            !status.get(args[3], "status", true, 1, 1, "B")) {
            return false;
        }
        if (inputs.shape(1) != columns) {
            PyErr_Format(PyExc_ValueError, "inputs must have %zd columns for this layout, not %zd", columns,
                         inputs.shape(1));
            return false;
        }
        const Py_ssize_t n = rows();
        if (outcomes.shape(0) != outcome_rows || outcomes.shape(1) != n || steps.shape(0) != n ||
            status.shape(0) != n) {
            PyErr_Format(PyExc_ValueError, "outcomes must be %zd x rows, steps and status rows long", outcome_rows);
            return false;
        }
        return true;
    }

    Py_ssize_t rows() const noexcept { return inputs.shape(0); }
    // The start of outcome row `k`.
    double* outcome(Py_ssize_t k) const noexcept { return outcomes.data<double>() + k * rows(); }
};

}  // namespace aeso::py
