#include "controlled_flight.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "apogee_inverse.hpp"

namespace aeso {

namespace {

// The six values of a state a controller may see (1-DOF: height and
// vertical velocity first).
struct Sensed {
    double values[6];
    int size;
    double height() const noexcept { return size == 2 ? values[0] : values[1]; }
    double velocity() const noexcept { return size == 2 ? values[1] : values[4]; }
};

// How a decision went: a command (or the last one kept, as a controller
// does at a tick with no apogee ahead), a prediction that failed (the last
// command kept), or a controller that failed (the flight ends).
enum class Verdict : std::uint8_t { Decided, PredictionFailed, ControllerFailed };

// What a decision reads and writes: the tick's record (its commanded,
// predicted_apogee and predictions columns), the state sensed, the tick's
// time from the start and the last command, and for a prediction that
// failed, its status.
struct Decision {
    TickRecord& record;
    const Sensed& sensed;
    double since_start;
    double last_command;
    FlightStatus failure = FlightStatus::Ok;
};

// The predictor's flight from the sensed state.
template <class F>
auto with_predictor_state(const Predictor& p, const Sensed& sensed, F&& f) {
    if (p.dof == 3 && sensed.size == 6) {
        const double* v = sensed.values;
        return f(Initial3DOF{v[0], v[1], v[2], v[3], v[4], v[5]});
    }
    return f(Initial1DOF{sensed.height(), sensed.velocity()});
}

// The running controllers: each alternative's settings and its memory
// between ticks.
class PredictiveRun {
public:
    PredictiveRun(const PredictiveSettings& s, const StopCheck& stop) : target_(s.target), p_(s.predictor) {
        p_.run.stop = stop;
    }

    Verdict decide(Decision& d) {
        // No apogee lies ahead of a state the sensors say is falling: hold.
        if (!(d.sensed.velocity() > APOGEE_VELOCITY_THRESHOLD)) return Verdict::Decided;
        FlightTrim trim;
        trim.drag_scale = p_.drag_scale;
        const InverseResult answer = with_predictor_state(p_, d.sensed, [&](const auto& initial) {
            return deployment_for_apogee(p_.rocket, initial, p_.run, trim, target_, warm_ ? &start_ : nullptr);
        });
        d.record[PREDICTIONS] = static_cast<double>(answer.predictions);
        if (answer.status == InverseStatus::Failed) {
            d.failure = answer.failure.status;
            return Verdict::PredictionFailed;
        }
        d.record[COMMANDED] = answer.value;
        d.record[PREDICTED_APOGEE] = answer.apogee;
        warm_ = true;
        start_ = {answer.value, answer.slope, answer.low, answer.high};
        return Verdict::Decided;
    }

private:
    double target_;
    Predictor p_;
    bool warm_ = false;  // a previous answer to start from
    InverseStart start_{};
};

class PidRun {
public:
    PidRun(const PidSettings& s, const StopCheck& stop, double rate) : s_(s), p_(s.predictor), rate_(rate) {
        p_.run.stop = stop;
    }

    // PID on the error of the apogee predicted with the brakes held as they
    // are; the integral stops growing while the output is clamped in the
    // direction the error pushes it. A command that is not finite (gains
    // whose terms overflow, or overflow and cancel) fails the controller.
    Verdict decide(Decision& d) {
        if (!(d.sensed.velocity() > APOGEE_VELOCITY_THRESHOLD)) return Verdict::Decided;
        FlightTrim trim;
        trim.drag_scale = p_.drag_scale;
        trim.deployment = d.record[ACTUAL];
        const FlightOutcome predicted = with_predictor_state(
            p_, d.sensed, [&](const auto& initial) { return fly_real(p_.rocket, initial, p_.run, trim); });
        d.record[PREDICTIONS] = 1.0;
        if (predicted.status != FlightStatus::Ok) {
            d.failure = predicted.status;
            return Verdict::PredictionFailed;
        }
        d.record[PREDICTED_APOGEE] = predicted.apogee;
        const double e = predicted.apogee - s_.target;
        const double derivative = started_ ? (e - last_error_) * rate_ : 0.0;
        const double integral = integral_ + e * (1.0 / rate_);
        double u = s_.kp * e + s_.ki * integral + s_.kd * derivative;
        if ((u > 1.0 && e > 0.0) || (u < 0.0 && e < 0.0)) {
            u = s_.kp * e + s_.ki * integral_ + s_.kd * derivative;
        } else {
            integral_ = integral;
        }
        started_ = true;
        last_error_ = e;
        if (!std::isfinite(u)) return Verdict::ControllerFailed;
        d.record[COMMANDED] = std::clamp(u, 0.0, 1.0);
        return Verdict::Decided;
    }

private:
    const PidSettings& s_;
    Predictor p_;
    double rate_;
    bool started_ = false;  // a previous error
    double integral_ = 0.0;
    double last_error_ = 0.0;
};

struct ScheduleRun {
    const ScheduleSettings& s;

    Verdict decide(Decision& d) const noexcept {
        d.record[COMMANDED] = s.schedule->at(d.since_start);
        return Verdict::Decided;
    }
};

struct ExternalRun {
    const ExternalSettings& s;

    Verdict decide(Decision& d) const {
        double level = d.last_command;
        const bool ok = s.decide(s.context, d.record[TIME], d.sensed.values, d.sensed.size, d.record[ACTUAL], level);
        if (!ok) return Verdict::ControllerFailed;
        d.record[COMMANDED] = level;
        return Verdict::Decided;
    }
};

using RunningController = std::variant<PredictiveRun, PidRun, ScheduleRun, ExternalRun>;
static_assert(std::variant_size_v<RunningController> == std::variant_size_v<ControllerSettings>,
              "a running controller for every controller");

RunningController start(const PredictiveSettings& s, const StopCheck& stop, double) {
    return PredictiveRun(s, stop);
}
RunningController start(const PidSettings& s, const StopCheck& stop, double rate) { return PidRun(s, stop, rate); }
RunningController start(const ScheduleSettings& s, const StopCheck&, double) { return ScheduleRun{s}; }
RunningController start(const ExternalSettings& s, const StopCheck&, double) { return ExternalRun{s}; }

// A command on its way to the actuator.
struct Pending {
    double arrival;
    double level;
};

template <class S>
class ControlObserver {
public:
    ControlObserver(const RealRun& run, const FlightTrim& trim, const ControlSettings& c, ActuatorMotion& motion,
                    double start_time, std::vector<TickRecord>* records, ControlledOutcome& out)
        : air_(run, trim, start_time),
          c_(c),
          controller_(std::visit([&](const auto& s) { return start(s, run.stop, c.rate); }, c.controller)),
          motion_(motion),
          t0_(start_time),
          height_noise_(c.sensors.height_sd, c.sensors.correlation_time, 1.0 / c.rate,
                        noise_key(c.seed, c.flight, 0)),
          velocity_noise_(c.sensors.velocity_sd, c.sensors.correlation_time, 1.0 / c.rate,
                          noise_key(c.seed, c.flight, 1)),
          records_(records),
          out_(out) {
        last_command_ = c.actuator.initial;
        last_actual_ = c.actuator.initial;
    }

    bool stop_requested(std::uint64_t iteration, const S& s) noexcept {
        return ended_ != FlightStatus::Ok || air_.stop_requested(iteration, s);
    }
    FlightStatus stop_status() const noexcept { return ended_ != FlightStatus::Ok ? ended_ : air_.stop_status(); }
    template <class State>
    FlightStatus final_status(const State& s) noexcept {
        return air_.final_status(s);
    }
    void failure(FlightOutcome& out) const noexcept { air_.failure(out); }

    // Events within TIE of a boundary are taken at it: a delay of whole
    // ticks puts a command's arrival a rounding error away from a later
    // tick, and a step of a few ulps between them would cost a whole step.
    // A tick is always landed on exactly.
    double next_boundary(double now) const noexcept {
        double next = motion_.kink_after(now + TIE);
        if (head_ < pending_.size()) next = std::min(next, pending_[head_].arrival);
        return next < next_tick_ - TIE ? next : next_tick_;
    }

    void at_boundary(S& s) {
        const double t = s.time;
        while (head_ < pending_.size() && pending_[head_].arrival <= t + TIE) {
            motion_.command(t, pending_[head_].level);
            ++head_;
        }
        if (t >= next_tick_) tick(s);
    }

    // Tick k at the state s (its time is the tick's).
    void tick(const S& s) {
        const double t = s.time;
        const Sensed sensed = sense(s);
        TickRecord r{t, s.altitude(), s.vertical_velocity(), sensed.height(), sensed.velocity(), QUIET_NAN,
                     last_command_, motion_.at(t), 0.0};
        Decision d{r, sensed, t - t0_, last_command_};
        switch (std::visit([&](auto& controller) { return controller.decide(d); }, controller_)) {
            case Verdict::Decided:
                break;
            case Verdict::PredictionFailed:
                if (d.failure == FlightStatus::Stopped) {
                    ended_ = FlightStatus::Stopped;  // the flight's own stop flag
                } else if (out_.failed_decisions++ == 0) {
                    out_.decision_failure = d.failure;
                }
                break;
            case Verdict::ControllerFailed:
                ended_ = FlightStatus::ControllerFailed;
                r[COMMANDED] = last_command_;
                break;
        }
        last_command_ = r[COMMANDED];
        // A command whose arrival rounds onto the tick acts at the tick, as
        // one without delay: a later boundary could never land on it.
        const double arrival = t + c_.actuator.delay;
        if (!(arrival > t)) {
            motion_.command(t, r[COMMANDED]);
        } else {
            pending_.push_back({arrival, r[COMMANDED]});
        }
        out_.travel += std::fabs(r[ACTUAL] - last_actual_);
        last_actual_ = r[ACTUAL];
        out_.predictions += static_cast<std::uint64_t>(r[PREDICTIONS]);
        if (records_ != nullptr) records_->push_back(r);
        ++k_;
        ++out_.ticks;
        next_tick_ = t0_ + static_cast<double>(k_) / c_.rate;
    }

    void finish(double final_time) {
        out_.final_deployment = motion_.at(final_time);
        out_.travel += std::fabs(out_.final_deployment - last_actual_);
    }

    // Room for `ticks` ticks: no allocation at a tick after it.
    void reserve(std::size_t ticks) {
        if (records_ != nullptr) records_->reserve(ticks);
        if (c_.actuator.delay > 0.0) pending_.reserve(ticks);
    }

private:
    static constexpr double TIE = 1e-9;  // s

    Sensed sense(const S& s) noexcept {
        const double nh = height_noise_.next();
        const double nv = velocity_noise_.next();
        const double scale = c_.sensors.velocity_scale;
        Sensed out{};
        if constexpr (S::N == 2) {
            out.size = 2;
            out.values[0] = s.height + nh;
            out.values[1] = s.velocity * scale + nv;
        } else {
            out.size = 6;
            out.values[0] = s.x;
            out.values[1] = s.y + nh;
            out.values[2] = s.angle;
            out.values[3] = s.vx * scale;
            out.values[4] = s.vy * scale + nv;
            out.values[5] = s.angular_rate;
        }
        return out;
    }

    RealAirObserver air_;
    const ControlSettings& c_;
    RunningController controller_;
    ActuatorMotion& motion_;
    double t0_;
    NoiseChannel height_noise_;
    NoiseChannel velocity_noise_;
    std::vector<TickRecord>* records_;
    ControlledOutcome& out_;
    FlightStatus ended_ = FlightStatus::Ok;  // a controller that failed, or a stopped prediction
    double last_command_;
    std::vector<Pending> pending_;
    std::size_t head_ = 0;
    std::uint64_t k_ = 0;
    double next_tick_ = 0.0;
    double last_actual_;
};

// The most ticks a flight can take: one at the start and one a step at
// most (every tick is a step boundary), and no more than the coast to the
// drag-free apogee (and some) holds.
std::size_t tick_capacity(double vertical_velocity, double rate, std::uint64_t max_iterations) noexcept {
    const double coast = std::max(0.0, vertical_velocity) / GRAVITY + 2.0;
    const double by_time = coast * rate + 2.0;
    const double by_steps = static_cast<double>(max_iterations) + 2.0;
    return static_cast<std::size_t>(std::min({by_time, by_steps, 1e7}));
}

template <class Initial>
ControlledOutcome fly(const RocketProperties& rocket, const Initial& initial, const RealRun& run, double drag_scale,
                      const ControlSettings& control, std::vector<TickRecord>* ticks) {
    ControlledOutcome out;
    if (refuses_steps(run.solver, run.max_iterations)) {
        out.flight = refused_steps();
        return out;
    }
    using S = decltype(make_state(rocket, initial, RealAero{}));
    ActuatorMotion motion(control.actuator, 0.0);
    FlightTrim trim;
    trim.drag_scale = drag_scale;
    trim.deployment = &motion;
    Simulation<S> sim{run.solver, make_state(rocket, initial, RealAero{run.model, &trim}), 0, run.max_iterations};
    ControlObserver<S> observer(run, trim, control, motion, sim.state.time, ticks, out);
    observer.reserve(tick_capacity(sim.state.vertical_velocity(), control.rate, run.max_iterations));
    // The first tick is at the start, before any step.
    observer.tick(sim.state);
    const Result<RunEnd> end = sim.run_observed(observer);
    out.flight = end_of_run(sim, end, observer);
    if (out.flight.status == FlightStatus::Ok) observer.finish(sim.state.time);
    return out;
}

}  // namespace

ControlledOutcome fly_controlled(const RocketProperties& rocket, const Initial1DOF& initial, const RealRun& run,
                                 double drag_scale, const ControlSettings& control, std::vector<TickRecord>* ticks) {
    return fly(rocket, initial, run, drag_scale, control, ticks);
}

ControlledOutcome fly_controlled(const RocketProperties& rocket, const Initial3DOF& initial, const RealRun& run,
                                 double drag_scale, const ControlSettings& control, std::vector<TickRecord>* ticks) {
    return fly(rocket, initial, run, drag_scale, control, ticks);
}

}  // namespace aeso
