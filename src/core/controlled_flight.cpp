#include "controlled_flight.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <variant>

#include "apogee_inverse.hpp"
#include "step_control.hpp"

namespace aeso {

namespace {

constexpr double NEVER = std::numeric_limits<double>::infinity();

// The six values of a state a controller may see (1-DOF: height and
// vertical velocity first).
struct Sensed {
    double values[6];
    int size;
    double height() const noexcept { return size == 2 ? values[0] : values[1]; }
    double velocity() const noexcept { return size == 2 ? values[1] : values[4]; }
};

// The controller's memory between ticks.
struct ControllerMemory {
    double command;           // the last command
    bool warm = false;        // Predictive: a previous answer to start from
    InverseStart start{};
    bool pid_started = false;  // Pid: a previous error
    double integral = 0.0;
    double last_error = 0.0;
};

// A command on its way to the actuator.
struct Pending {
    double arrival;
    double level;
};

template <class S>
class ControlObserver {
public:
    ControlObserver(const RealRun& run, const FlightTrim& trim, const ControlSettings& c, ActuatorMotion& motion,
                    double start_time, std::vector<TickRecord>* records, const std::atomic<bool>* stop,
                    ControlledOutcome& out)
        : air_(*run.model, trim, start_time, stop),
          c_(c),
          motion_(motion),
          t0_(start_time),
          interval_(1.0 / c.rate),
          height_noise_(c.sensors.height_sd, c.sensors.correlation_time, 1.0 / c.rate,
                        noise_key(c.seed, c.flight, 0)),
          velocity_noise_(c.sensors.velocity_sd, c.sensors.correlation_time, 1.0 / c.rate,
                          noise_key(c.seed, c.flight, 1)),
          records_(records),
          out_(out) {
        memory_.command = c.actuator.initial;
        last_actual_ = c.actuator.initial;
    }

    bool stop_requested(std::uint64_t iteration, const S& s) noexcept {
        now_ = s.time;
        return out_.controller_failed || air_.stop_requested(iteration, s);
    }

    // Events within TIE of a boundary are taken at it: a delay of whole
    // ticks puts a command's arrival a rounding error away from a later
    // tick, and a step of a few ulps between them would cost a whole step.
    // A tick is always landed on exactly.
    double next_boundary() const noexcept {
        double next = motion_.kink_after(now_ + TIE);
        if (head_ < pending_.size()) next = std::min(next, pending_[head_].arrival);
        return next < next_tick_ - TIE ? next : next_tick_;
    }

    void at_boundary(S& s) {
        const double t = s.time;
        now_ = t;
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
                     memory_.command, motion_.at(t), 0};
        if (!decide(sensed, r)) {
            out_.controller_failed = true;
        }
        memory_.command = r.commanded;
        if (c_.actuator.delay == 0.0) {
            motion_.command(t, r.commanded);
        } else {
            pending_.push_back({t + c_.actuator.delay, r.commanded});
        }
        out_.travel += std::fabs(r.actual - last_actual_);
        last_actual_ = r.actual;
        out_.predictions += r.predictions;
        if (records_ != nullptr) records_->push_back(r);
        ++k_;
        ++out_.ticks;
        next_tick_ = t0_ + static_cast<double>(k_) / c_.rate;
    }

    void finish(double final_time) {
        out_.final_deployment = motion_.at(final_time);
        out_.travel += std::fabs(out_.final_deployment - last_actual_);
    }

    RealAirObserver& air() noexcept { return air_; }
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

    // The predictor's flight from the sensed state.
    template <class F>
    auto with_predictor_state(const Sensed& sensed, F&& f) {
        if (c_.controller.predictor.dof == 3 && sensed.size == 6) {
            const double* v = sensed.values;
            return f(Initial3DOF{v[0], v[1], v[2], v[3], v[4], v[5]});
        }
        return f(Initial1DOF{sensed.height(), sensed.velocity()});
    }

    // Sets r.commanded, r.predicted_apogee and r.predictions; false when an
    // external controller failed.
    bool decide(const Sensed& sensed, TickRecord& r) {
        const ControllerSettings& ctl = c_.controller;
        switch (ctl.kind) {
            case ControllerKind::Schedule:
                r.commanded = ctl.schedule->at(r.time - t0_);
                return true;
            case ControllerKind::External: {
                double level = memory_.command;
                const bool ok = ctl.external.decide(ctl.external.context, r.time, sensed.values, sensed.size,
                                                    r.actual, level);
                r.commanded = ok ? level : memory_.command;
                return ok;
            }
            case ControllerKind::Predictive:
            case ControllerKind::Pid:
                break;
        }
        // No apogee lies ahead of a state the sensors say is falling: hold.
        if (!(sensed.velocity() > APOGEE_VELOCITY_THRESHOLD)) return true;
        const Predictor& p = ctl.predictor;
        FlightTrim trim;
        trim.drag_scale = p.drag_scale;
        if (ctl.kind == ControllerKind::Predictive) {
            const InverseResult answer = with_predictor_state(sensed, [&](const auto& initial) {
                return deployment_for_apogee(p.rocket, initial, p.run, trim, ctl.target,
                                             memory_.warm ? &memory_.start : nullptr);
            });
            r.predictions = static_cast<std::uint32_t>(answer.predictions);
            if (answer.status == InverseStatus::Failed) return true;
            r.commanded = answer.value;
            r.predicted_apogee = answer.apogee;
            memory_.warm = true;
            memory_.start = {answer.value, answer.slope, answer.low, answer.high};
            return true;
        }
        // PID on the error of the apogee predicted with the brakes held as
        // they are; the integral stops growing while the output is clamped
        // in the direction the error pushes it.
        trim.level = r.actual;
        const RealOutcome predicted = with_predictor_state(
            sensed, [&](const auto& initial) { return fly_real(p.rocket, initial, p.run, trim); });
        r.predictions = 1;
        if (predicted.status != FlightStatus::Ok) return true;
        r.predicted_apogee = predicted.apogee;
        const double e = predicted.apogee - ctl.target;
        const double derivative = memory_.pid_started ? (e - memory_.last_error) * c_.rate : 0.0;
        const double integral = memory_.integral + e * interval_;
        double u = ctl.kp * e + ctl.ki * integral + ctl.kd * derivative;
        if ((u > 1.0 && e > 0.0) || (u < 0.0 && e < 0.0)) {
            u = ctl.kp * e + ctl.ki * memory_.integral + ctl.kd * derivative;
        } else {
            memory_.integral = integral;
        }
        memory_.pid_started = true;
        memory_.last_error = e;
        r.commanded = std::clamp(u, 0.0, 1.0);
        return true;
    }

    RealAirObserver air_;
    const ControlSettings& c_;
    ActuatorMotion& motion_;
    double t0_;
    double interval_;
    NoiseChannel height_noise_;
    NoiseChannel velocity_noise_;
    std::vector<TickRecord>* records_;
    ControlledOutcome& out_;
    ControllerMemory memory_;
    std::vector<Pending> pending_;
    std::size_t head_ = 0;
    std::uint64_t k_ = 0;
    double next_tick_ = 0.0;
    double now_ = 0.0;
    double last_actual_;
};

template <class Initial>
ControlledOutcome fly(const RocketProperties& rocket, const Initial& initial, const RealRun& run, double drag_scale,
                      const ControlSettings& control, std::vector<TickRecord>* ticks,
                      const std::atomic<bool>* stop) {
    ControlledOutcome out;
    const auto* adaptive = std::get_if<AdaptiveTimeStep>(&run.solver.step);
    if (adaptive != nullptr && !step_bounds_valid(*adaptive) && run.max_iterations != 0) {
        out.flight.status = FlightStatus::InvalidStepOptions;
        return out;
    }
    using S = decltype(make_state(rocket, initial, RealAero{}));
    ActuatorMotion motion(control.actuator, 0.0);
    FlightTrim trim;
    trim.drag_scale = drag_scale;
    trim.actuator = &motion;
    Simulation<S> sim{run.solver, make_state(rocket, initial, RealAero{run.model, &trim}), 0, run.max_iterations};
    ControlObserver<S> observer(run, trim, control, motion, sim.state.time, ticks, stop, out);
    // Ticks until the drag-free apogee, and some.
    const double coast = std::max(0.0, sim.state.vertical_velocity()) / GRAVITY + 2.0;
    observer.reserve(static_cast<std::size_t>(std::min(coast * control.rate + 2.0, 1e7)));
    // The first tick is at the start, before any step.
    observer.tick(sim.state);
    const Result<RunEnd> end = sim.run_observed(observer);
    RealOutcome& f = out.flight;
    if (!end) {
        f.status = FlightStatus::InvalidStepOptions;
        return out;
    }
    f.steps = sim.steps_taken(end.value());
    switch (end.value()) {
        case RunEnd::IterationLimit:
            f.status = FlightStatus::IterationLimit;
            return out;
        case RunEnd::Stopped:
            f.status = out.controller_failed ? FlightStatus::Stopped : observer.air().failure();
            f.failed_at = observer.air().failed_at();
            return out;
        case RunEnd::Apogee:
            break;
    }
    if (!observer.air().admits(sim.state)) {
        f.status = observer.air().failure();
        f.failed_at = observer.air().failed_at();
        return out;
    }
    f.status = FlightStatus::Ok;
    f.apogee = sim.state.altitude();
    f.time = sim.state.time;
    if constexpr (S::N == 6) {
        f.x = sim.state.x;
        f.horizontal_speed = std::fabs(sim.state.vx);
    }
    observer.finish(sim.state.time);
    return out;
}

}  // namespace

ControlledOutcome fly_controlled(const RocketProperties& rocket, const Initial1DOF& initial, const RealRun& run,
                                 double drag_scale, const ControlSettings& control, std::vector<TickRecord>* ticks,
                                 const std::atomic<bool>* stop) {
    return fly(rocket, initial, run, drag_scale, control, ticks, stop);
}

ControlledOutcome fly_controlled(const RocketProperties& rocket, const Initial3DOF& initial, const RealRun& run,
                                 double drag_scale, const ControlSettings& control, std::vector<TickRecord>* ticks,
                                 const std::atomic<bool>* stop) {
    return fly(rocket, initial, run, drag_scale, control, ticks, stop);
}

}  // namespace aeso
