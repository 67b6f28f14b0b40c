#include "apogee_inverse.hpp"

#include <algorithm>
#include <cmath>

namespace aeso {

namespace {

// A value, its f = apogee - target (the regula falsi scales it), and the
// apogee predicted there (never scaled).
struct Point {
    double x;
    double f;
    double apogee;
};

// The search for a root of f over [lo, hi], counting predictions;
// `predict(x)` flies the flight at x.
template <class Predict>
class Search {
public:
    Search(Predict& predict, double target, double lo, double hi, InverseResult& result)
        : predict_(predict), target_(target), lo_(lo), hi_(hi), r_(result) {}

    // f at x; false when the prediction failed (the result says why).
    bool eval(double x, Point& p) {
        const FlightOutcome out = predict_(x);
        ++r_.predictions;
        if (out.status != FlightStatus::Ok) {
            r_.status = InverseStatus::Failed;
            r_.failure = out;
            return false;
        }
        p = {x, out.apogee - target_, out.apogee};
        note(p);
        // The slope between the last two points evaluated, the best estimate
        // near the answer for the next warm start.
        if (has_last_ && p.x != last_.x) r_.slope = (p.f - last_.f) / (p.x - last_.x);
        last_ = p;
        has_last_ = true;
        return true;
    }

    bool done(const Point& p) const noexcept { return std::fabs(p.f) <= APOGEE_TOLERANCE; }

    void finish(InverseStatus status, const Point& p) {
        r_.status = status;
        r_.value = p.x;
        r_.apogee = p.apogee;
    }

    // Narrows [a, b] (a.x < b.x, f of opposite signs at the two) until a
    // point is within tolerance. Anderson-Bjorck: the secant through the
    // bracket's ends, with the value at an end kept twice in a row scaled
    // down, so that it cannot stall; bisection when the secant leaves the
    // bracket. A bracket as narrow as doubles go holds a jump of the
    // apogee across the target: the nearer end is the answer.
    void narrow(Point a, Point b) {
        const bool a_above = a.f > 0.0;
        int kept = 0;  // +1: a kept last time, -1: b kept last time
        for (;;) {
            double x = (a.x * b.f - b.x * a.f) / (b.f - a.f);
            if (!(x > a.x && x < b.x)) x = 0.5 * (a.x + b.x);
            if (!(x > a.x && x < b.x)) {
                const Point& nearer = std::fabs(a.apogee - target_) <= std::fabs(b.apogee - target_) ? a : b;
                finish(std::fabs(nearer.apogee - target_) <= APOGEE_TOLERANCE ? InverseStatus::Reached
                                                                                : InverseStatus::Jump,
                       nearer);
                return;
            }
            Point p;
            if (!eval(x, p)) return;
            if (done(p)) {
                finish(InverseStatus::Reached, p);
                return;
            }
            if ((p.f > 0.0) == a_above) {
                if (kept == -1) {
                    const double m = 1.0 - p.f / a.f;
                    b.f *= m > 0.0 ? m : 0.5;
                }
                a = p;
                kept = -1;
            } else {
                if (kept == 1) {
                    const double m = 1.0 - p.f / b.f;
                    a.f *= m > 0.0 ? m : 0.5;
                }
                b = p;
                kept = 1;
            }
        }
    }

    // From a point p, finds the other side: the next value in the direction
    // f says, by `step` (doubling each time), up to the domain's end, then
    // narrows. `step` > 0.
    void bracket_from(Point p, double step) {
        for (;;) {
            const bool up = p.f > 0.0;  // the apogee is too high: more drag
            const double end = up ? hi_ : lo_;
            if (p.x == end) {
                finish(up ? InverseStatus::AboveAtMost : InverseStatus::BelowAtLeast, p);
                return;
            }
            double x = up ? p.x + step : p.x - step;
            if (up ? !(x < end) : !(x > end)) x = end;
            Point q;
            if (!eval(x, q)) return;
            if (done(q)) {
                finish(InverseStatus::Reached, q);
                return;
            }
            if ((q.f > 0.0) != up) {
                if (up) {
                    narrow(p, q);
                } else {
                    narrow(q, p);
                }
                return;
            }
            p = q;
            step *= 2.0;
        }
    }

    double lo() const noexcept { return lo_; }
    double hi() const noexcept { return hi_; }

private:
    // The narrowest bracket seen, for the next warm start.
    void note(const Point& p) noexcept {
        if (p.f > 0.0 && (!std::isfinite(r_.low) || p.x > r_.low)) {
            r_.low = p.x;
        } else if (p.f <= 0.0 && (!std::isfinite(r_.high) || p.x < r_.high)) {
            r_.high = p.x;
        }
    }

    Predict& predict_;
    double target_;
    double lo_;
    double hi_;
    InverseResult& r_;
    Point last_{};
    bool has_last_ = false;
};

// Secant steps from a warm start, at most this many, before bracketing.
inline constexpr int WARM_SECANT_STEPS = 3;

// A warm start: the old value, then secant steps (the first with the old
// slope) while they stay on one side of the answer, then a bracket. False
// (nothing done) for a start without a value.
template <class Predict>
bool warm(Search<Predict>& s, const InverseStart& start, InverseResult& r) {
    if (std::isnan(start.value)) return false;
    r.slope = start.slope;
    Point p;
    if (!s.eval(std::clamp(start.value, s.lo(), s.hi()), p)) return true;
    for (int k = 0; k < WARM_SECANT_STEPS; ++k) {
        if (s.done(p)) {
            s.finish(InverseStatus::Reached, p);
            return true;
        }
        if (!(r.slope < 0.0) || !std::isfinite(r.slope)) break;
        const double x = std::clamp(p.x - p.f / r.slope, s.lo(), s.hi());
        if (x == p.x) break;  // at an end, and the answer lies beyond it
        Point q;
        if (!s.eval(x, q)) return true;
        if (!s.done(q) && (p.f > 0.0) != (q.f > 0.0)) {
            if (p.f > 0.0) {
                s.narrow(p, q);
            } else {
                s.narrow(q, p);
            }
            return true;
        }
        p = q;
    }
    if (s.done(p)) {
        s.finish(InverseStatus::Reached, p);
    } else {
        s.bracket_from(p, 0.125);
    }
    return true;
}

// The rows of a brake table up to `until` (where its drag last falls with
// deployment), in order: true when done (an answer in the first pair of
// rows whose apogees lie on either side of the target, or a failure), else
// false with `last` the point at `until` and `best` the highest apogee seen.
template <class Predict>
bool scan_rows(Search<Predict>& s, const std::vector<double>& levels, double until, Point& last, Point& best) {
    Point previous{};
    for (std::size_t i = 0; i < levels.size() && levels[i] <= until; ++i) {
        Point p;
        if (!s.eval(levels[i], p)) return true;
        if (s.done(p)) {
            s.finish(InverseStatus::Reached, p);
            return true;
        }
        if (i > 0 && (p.f > 0.0) != (previous.f > 0.0)) {
            s.narrow(previous, p);
            return true;
        }
        if (i == 0 || p.apogee > best.apogee) best = p;
        previous = p;
    }
    last = previous;
    return false;
}

template <class Initial>
InverseResult deployment(const RocketProperties& rocket, const Initial& initial, const RealRun& run,
                         const FlightTrim& trim, double target, const InverseStart* start) {
    InverseResult r;
    FlightTrim held = trim;
    auto predict = [&](double level) {
        held.deployment = level;
        return fly_real(rocket, initial, run, held);
    };
    const BrakeTable& brakes = run.model->drag->brakes;
    const double from = brakes.monotone_from;
    Search s(predict, target, from, 1.0, r);
    Point closed{};
    if (from > 0.0) {
        // A table whose drag falls with deployment below `from`: its rows
        // there first; above, the apogee falls with deployment.
        Point best{};
        if (scan_rows(s, brakes.cd.x(), from, closed, best)) return r;
        if (closed.f < 0.0) {
            s.finish(InverseStatus::BelowAtLeast, best);
            return r;
        }
        if (start != nullptr && warm(s, *start, r)) return r;
    } else {
        if (start != nullptr && warm(s, *start, r)) return r;
        // Cold: the closed brakes, then the open ones, then between.
        if (!s.eval(0.0, closed)) return r;
        if (s.done(closed) || closed.f < 0.0) {
            s.finish(s.done(closed) ? InverseStatus::Reached : InverseStatus::BelowAtLeast, closed);
            return r;
        }
    }
    Point open;
    if (!s.eval(1.0, open)) return r;
    if (s.done(open) || open.f > 0.0) {
        s.finish(s.done(open) ? InverseStatus::Reached : InverseStatus::AboveAtMost, open);
        return r;
    }
    s.narrow(closed, open);
    return r;
}

template <class Initial>
InverseResult drag_scale(const RocketProperties& rocket, const Initial& initial, const RealRun& run,
                         const FlightTrim& trim, double target, const InverseStart* start) {
    InverseResult r;
    FlightTrim scaled = trim;
    auto predict = [&](double scale) {
        scaled.drag_scale = scale;
        return fly_real(rocket, initial, run, scaled);
    };
    Search s(predict, target, 0.0, MAX_DRAG_SCALE, r);
    if (start != nullptr && warm(s, *start, r)) return r;
    // Cold: the drag as it is, then outwards (down to none, up by doubling).
    Point as_is;
    if (!s.eval(1.0, as_is)) return r;
    if (s.done(as_is)) {
        s.finish(InverseStatus::Reached, as_is);
        return r;
    }
    s.bracket_from(as_is, 1.0);
    return r;
}

}  // namespace

InverseResult deployment_for_apogee(const RocketProperties& rocket, const Initial1DOF& initial, const RealRun& run,
                                    const FlightTrim& trim, double target, const InverseStart* start) {
    return deployment(rocket, initial, run, trim, target, start);
}
InverseResult deployment_for_apogee(const RocketProperties& rocket, const Initial3DOF& initial, const RealRun& run,
                                    const FlightTrim& trim, double target, const InverseStart* start) {
    return deployment(rocket, initial, run, trim, target, start);
}
InverseResult drag_scale_for_apogee(const RocketProperties& rocket, const Initial1DOF& initial, const RealRun& run,
                                    const FlightTrim& trim, double target, const InverseStart* start) {
    return drag_scale(rocket, initial, run, trim, target, start);
}
InverseResult drag_scale_for_apogee(const RocketProperties& rocket, const Initial3DOF& initial, const RealRun& run,
                                    const FlightTrim& trim, double target, const InverseStart* start) {
    return drag_scale(rocket, initial, run, trim, target, start);
}

}  // namespace aeso
