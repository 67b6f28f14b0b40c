// Tables read by linear interpolation: a curve y(x) (drag coefficient against
// Mach number, a brake deployment against time) and a surface z(x, y) (a
// brake's drag coefficient against deployment and Mach number). Both hold
// their end values outside their points. At a point the value is the
// table's own, exactly.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace aeso {

// Finds the interval [x[i], x[i+1]) of increasing points that holds a value
// strictly inside (x[0], x[n-1]) in a few instructions: a uniform grid of
// cells over the points' range holds, for each cell, the first interval
// that reaches into it. A value inside that interval (nearly always: every
// value unless the cell also holds a later point) is answered by the cell
// alone, one memory access; others by a binary search of the points, so a
// lookup costs O(log n) at most whatever the spacing of the points (a
// dense table with one far end point has most of its points in one cell).
class IntervalIndex {
public:
    // At most this many cells, or one per interval when there are more.
    static constexpr std::size_t MIN_CELL_LIMIT = 1024;

    struct Cell {
        double lo;  // x[i]
        double hi;  // x[i + 1]
        std::size_t i;
    };

    IntervalIndex() = default;
    explicit IntervalIndex(const std::vector<double>& x) {
        if (x.size() < 2) return;
        double narrowest = x[1] - x[0];
        for (std::size_t i = 1; i + 1 < x.size(); ++i) narrowest = std::min(narrowest, x[i + 1] - x[i]);
        const double span = x.back() - x.front();
        const double limit = static_cast<double>(std::max(MIN_CELL_LIMIT, x.size() - 1));
        double cells = std::ceil(span / narrowest);
        if (!(cells >= 1.0)) cells = 1.0;
        if (cells > limit) cells = limit;
        origin_ = x.front();
        inv_width_ = cells / span;
        last_cell_ = cells - 1.0;
        cells_.resize(static_cast<std::size_t>(cells));
        std::size_t i = 0;
        for (std::size_t c = 0; c < cells_.size(); ++c) {
            const double start = origin_ + static_cast<double>(c) / inv_width_;
            while (i + 2 < x.size() && x[i + 1] <= start) ++i;
            cells_[c] = {x[i], x[i + 1], i};
        }
    }

    // `value` strictly between the first and last points (and not NaN).
    [[gnu::always_inline]] std::size_t find(const std::vector<double>& x, double value) const noexcept {
        const double c = (value - origin_) * inv_width_;
        const Cell& cell = cells_[c < last_cell_ ? static_cast<std::size_t>(c) : static_cast<std::size_t>(last_cell_)];
        if (value >= cell.lo && value < cell.hi) return cell.i;
        return search(x, value);
    }

private:
    // The i with x[i] <= value < x[i + 1]: the last point not above it.
    static std::size_t search(const std::vector<double>& x, double value) noexcept {
        return static_cast<std::size_t>(std::upper_bound(x.begin(), x.end() - 1, value) - x.begin()) - 1;
    }

    double origin_ = 0.0;
    double inv_width_ = 0.0;
    double last_cell_ = 0.0;
    std::vector<Cell> cells_;
};

// y(x) through the points (x[i], y[i]), x strictly increasing, two points or
// more (or one, a constant).
class LinearCurve {
public:
    LinearCurve() = default;
    LinearCurve(std::vector<double> x, std::vector<double> y)
        : x_(std::move(x)), y_(std::move(y)), index_(x_) {
        segments_.resize(x_.size() > 1 ? x_.size() - 1 : 0);
        for (std::size_t i = 0; i + 1 < x_.size(); ++i) {
            segments_[i] = {x_[i], x_[i + 1], y_[i], (y_[i + 1] - y_[i]) / (x_[i + 1] - x_[i])};
        }
    }

    bool empty() const noexcept { return x_.empty(); }
    const std::vector<double>& x() const noexcept { return x_; }
    const std::vector<double>& y() const noexcept { return y_; }

    // One interval of the curve, [x0, x1).
    struct Segment {
        double x0;
        double x1;
        double y0;
        double slope;
    };

    // y(x). `hint`, if not null, is an interval to try first (the one of the
    // last call, as a flight's Mach number moves slowly); it is set to the
    // interval used. The value depends on x alone.
    [[gnu::always_inline]] double at(double x, const Segment** hint = nullptr) const noexcept {
        if (hint != nullptr && *hint != nullptr && x >= (*hint)->x0 && x < (*hint)->x1) {
            return (*hint)->y0 + (x - (*hint)->x0) * (*hint)->slope;
        }
        if (x_.size() == 1 || !(x > x_.front())) return y_.front();  // NaN reads the first value
        if (x >= x_.back()) return y_.back();
        const Segment& g = segments_[index_.find(x_, x)];
        if (hint != nullptr) *hint = &g;
        return g.y0 + (x - g.x0) * g.slope;
    }

private:
    std::vector<double> x_;
    std::vector<double> y_;
    IntervalIndex index_;
    std::vector<Segment> segments_;
};

// z(x, y) on a grid: rows at increasing x (two or more), columns at
// increasing y (one or more); z[i * columns + j] at (x[i], y[j]). Bilinear:
// linear in y along the two rows around x, then linear in x between them.
class LinearSurface {
public:
    LinearSurface() = default;
    LinearSurface(std::vector<double> x, std::vector<double> y, std::vector<double> z)
        : x_(std::move(x)), y_(std::move(y)), z_(std::move(z)), x_index_(x_), y_index_(y_) {
        inv_dx_.resize(x_.size() - 1);
        for (std::size_t i = 0; i + 1 < x_.size(); ++i) inv_dx_[i] = 1.0 / (x_[i + 1] - x_[i]);
        inv_dy_.resize(y_.size() > 1 ? y_.size() - 1 : 0);
        for (std::size_t j = 0; j + 1 < y_.size(); ++j) inv_dy_[j] = 1.0 / (y_[j + 1] - y_[j]);
    }

    bool empty() const noexcept { return x_.empty(); }
    const std::vector<double>& x() const noexcept { return x_; }
    const std::vector<double>& y() const noexcept { return y_; }
    const std::vector<double>& z() const noexcept { return z_; }

    [[gnu::always_inline]] double at(double x, double y) const noexcept {
        // The column interval and the fraction of the way along it.
        const std::size_t n = y_.size();
        std::size_t j = 0;
        double fy = 0.0;
        if (n > 1 && y > y_.front()) {
            if (y >= y_.back()) {
                j = n - 1;
            } else {
                j = y_index_.find(y_, y);
                fy = (y - y_[j]) * inv_dy_[j];
            }
        }
        auto row = [&](std::size_t i) {
            const double* r = z_.data() + i * n;
            return fy == 0.0 ? r[j] : r[j] + fy * (r[j + 1] - r[j]);
        };
        if (!(x > x_.front())) return row(0);
        if (x >= x_.back()) return row(x_.size() - 1);
        const std::size_t i = x_index_.find(x_, x);
        const double a = row(i);
        const double fx = (x - x_[i]) * inv_dx_[i];
        return fx == 0.0 ? a : a + fx * (row(i + 1) - a);
    }

private:
    std::vector<double> x_;
    std::vector<double> y_;
    std::vector<double> z_;
    IntervalIndex x_index_;
    IntervalIndex y_index_;
    std::vector<double> inv_dx_;
    std::vector<double> inv_dy_;
};

}  // namespace aeso
