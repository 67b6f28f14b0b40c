#include "controlled_flight.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "dynamics.hpp"

namespace aeso {

namespace {

// A command on its way to the actuator.
struct Pending {
    double arrival;
    double level;
};

// The simple sensors: the true state with a velocity scale error and noise
// (a channel each for the height and the vertical velocity).
class SimpleSensors {
public:
    SimpleSensors(const SensorSettings& s, double tick_interval, std::uint64_t seed, std::uint64_t flight) noexcept
        : scale_(s.velocity_scale),
          height_(s.height_sd, s.correlation_time, tick_interval, noise_key(seed, flight, HEIGHT_NOISE)),
          velocity_(s.velocity_sd, s.correlation_time, tick_interval, noise_key(seed, flight, VELOCITY_NOISE)) {}

    template <class S>
    Sensed sense(const S& s) noexcept {
        const double nh = height_.next();
        const double nv = velocity_.next();
        Sensed out{};
        if constexpr (S::N == 2) {
            out.size = 2;
            out.values[0] = s.height + nh;
            out.values[1] = s.velocity * scale_ + nv;
        } else {
            out.size = 6;
            out.values[0] = s.x;
            out.values[1] = s.y + nh;
            out.values[2] = s.angle;
            out.values[3] = s.vx * scale_;
            out.values[4] = s.vy * scale_ + nv;
            out.values[5] = s.angular_rate;
        }
        return out;
    }

private:
    double scale_;
    NoiseChannel height_;
    NoiseChannel velocity_;
};

// A flight computer's raw sensors on the flight: their next instants, and
// the row they read at an instant.
class OnBoardSensors {
public:
    OnBoardSensors(const RawSensorSettings& s, double start_time, std::uint64_t seed, std::uint64_t flight) noexcept
        : air_(*s.air),
          barometer_(s.barometer, start_time, seed, flight),
          accelerometer_(s.accelerometer, start_time, seed, flight) {}

    double next_time() const noexcept { return std::min(barometer_.next_time(), accelerometer_.next_time()); }

    // The samples due at the state's time (none: false); `s` is the loop's
    // state there, its brakes as they were before that instant.
    template <class S>
    bool read(const S& s, SensorSample& row) noexcept {
        const double t = s.time;
        row = {t, QUIET_NAN, QUIET_NAN};
        const bool pressure = barometer_.next_time() <= t;
        const bool force = accelerometer_.next_time() <= t;
        if (pressure) row.pressure = barometer_.sample(port_air(air_, s));
        if (force) row.specific_force = accelerometer_.sample(axial_specific_force(s, compute_derivatives(s)));
        return pressure || force;
    }

    // The rows a flight can hold, as tick_capacity counts ticks.
    double rate() const noexcept { return barometer_.clock().rate + accelerometer_.clock().rate; }

private:
    const AirColumn& air_;
    Barometer barometer_;
    Accelerometer accelerometer_;
};

template <class S>
class ControlObserver {
public:
    ControlObserver(const RealRun& run, const FlightTrim& trim, const ControlSettings& c, ActuatorMotion& motion,
                    double start_time, const OnBoardEstimator* estimator, ControlledRecords* records,
                    ControlledOutcome& out)
        : air_(run, trim, start_time),
          c_(c),
          computer_(c.controller, run.stop, c.rate, estimator, start_time),
          motion_(motion),
          t0_(start_time),
          records_(records),
          out_(out) {
        if (const auto* simple = std::get_if<SensorSettings>(&c.sensors)) {
            simple_.emplace(*simple, 1.0 / c.rate, c.seed, c.flight);
        } else {
            raw_.emplace(*std::get_if<RawSensorSettings>(&c.sensors), start_time, c.seed, c.flight);
        }
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
    // ticks (or sample intervals) puts a command's arrival a rounding error
    // away from a later tick (or sample), and a step of a few ulps between
    // them would cost a whole step. A tick is always landed on exactly, and
    // so is a sample; a command arriving within TIE of a sample's instant
    // acts after the sample, whichever side of it the rounding put it.
    double next_boundary(double now) const noexcept {
        double next = motion_.kink_after(now + TIE);
        if (head_ < pending_.size()) next = std::min(next, pending_[head_].arrival);
        const double exact = raw_ ? std::min(next_tick_, raw_->next_time()) : next_tick_;
        return next < exact - TIE ? next : exact;
    }

    // The boundary's samples, then the commands arriving, then the tick.
    void at_boundary(S& s) {
        const double t = s.time;
        if (raw_) sample(s);
        while (head_ < pending_.size() && pending_[head_].arrival <= t + TIE) {
            motion_.command(t, pending_[head_].level);
            ++head_;
        }
        if (t >= next_tick_) tick(s);
    }

    // The start: its samples and its tick, before any step.
    void start(const S& s) {
        if (raw_) sample(s);
        tick(s);
    }

    void finish(double final_time) {
        out_.final_deployment = motion_.at(final_time);
        out_.travel += std::fabs(out_.final_deployment - last_actual_);
        const FlightComputer::Scale k = computer_.learned_scale();
        out_.learned_scale = k.value;
        out_.learned_scale_sd = k.sd;
    }

    // Room for `ticks` ticks and `rows` rows of samples: no allocation at a
    // tick or a sample after it.
    void reserve(std::size_t ticks, std::size_t rows) {
        if (records_ != nullptr) {
            records_->ticks.reserve(ticks);
            if (raw_) records_->samples.reserve(rows);
        }
        if (c_.actuator.delay > 0.0) pending_.reserve(ticks);
    }
    double sample_rate() const noexcept { return raw_ ? raw_->rate() : 0.0; }

private:
    static constexpr double TIE = 1e-9;  // s

    // The samples due at the state's time, fed to the computer with the
    // deployment then, and recorded.
    void sample(const S& s) {
        SensorSample row;
        if (!raw_->read(s, row)) return;
        const double deployment = motion_.at(row.time);
        computer_.feed(row, deployment);
        if (records_ != nullptr) {
            records_->samples.push_back({row.time, row.pressure, row.specific_force, deployment});
        }
    }

    // Tick k at the state s (its time is the tick's).
    void tick(const S& s) {
        const double t = s.time;
        const Sensed sensed = simple_ ? simple_->sense(s) : Sensed{};
        TickRecord r{t, s.altitude(), s.vertical_velocity(), sensed.height(), sensed.velocity(), QUIET_NAN,
                     last_command_, motion_.at(t), 0.0};
        for (std::size_t i = ESTIMATED_HEIGHT; i < TICK_COLUMNS; ++i) r[i] = QUIET_NAN;
        const Decided d = computer_.decide(r, sensed, t - t0_, last_command_);
        switch (d.verdict) {
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
        if (records_ != nullptr) records_->ticks.push_back(r);
        ++k_;
        ++out_.ticks;
        next_tick_ = t0_ + static_cast<double>(k_) / c_.rate;
    }

    RealAirObserver air_;
    const ControlSettings& c_;
    FlightComputer computer_;
    ActuatorMotion& motion_;
    double t0_;
    std::optional<SimpleSensors> simple_;
    std::optional<OnBoardSensors> raw_;
    ControlledRecords* records_;
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
                      const ControlSettings& control, ControlledRecords* records) {
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
    // The computer's estimator starts at the flight's start, at the height
    // its barometer's frame gives the static pressure there (the true
    // height when it believes in the flight's air).
    std::optional<OnBoardEstimator> estimator;
    if (const auto* raw = std::get_if<RawSensorSettings>(&control.sensors)) {
        estimator.emplace(raw->estimator);
        estimator->prior.time = sim.state.time;
        estimator->prior.x[0] = estimator->frame.height_of(raw->air->at(sim.state.altitude()).pressure).height;
        out.start_height = estimator->prior.x[0];
    }
    ControlObserver<S> observer(run, trim, control, motion, sim.state.time, estimator ? &*estimator : nullptr,
                                records, out);
    const double climb = sim.state.vertical_velocity();
    observer.reserve(tick_capacity(climb, control.rate, run.max_iterations),
                     tick_capacity(climb, observer.sample_rate(), run.max_iterations));
    observer.start(sim.state);
    const Result<RunEnd> end = sim.run_observed(observer);
    out.flight = end_of_run(sim, end, observer);
    if (out.flight.status == FlightStatus::Ok) observer.finish(sim.state.time);
    return out;
}

}  // namespace

ControlledOutcome fly_controlled(const RocketProperties& rocket, const Initial1DOF& initial, const RealRun& run,
                                 double drag_scale, const ControlSettings& control, ControlledRecords* records) {
    return fly(rocket, initial, run, drag_scale, control, records);
}

ControlledOutcome fly_controlled(const RocketProperties& rocket, const Initial3DOF& initial, const RealRun& run,
                                 double drag_scale, const ControlSettings& control, ControlledRecords* records) {
    return fly(rocket, initial, run, drag_scale, control, records);
}

}  // namespace aeso
