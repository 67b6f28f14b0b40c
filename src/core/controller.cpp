#include "controller.hpp"

#include <algorithm>
#include <cmath>

namespace aeso {

namespace {

// The predictor's flight from the state shown.
template <class F>
auto with_predictor_state(const Predictor& p, const Sensed& sensed, F&& f) {
    if (p.dof == 3 && sensed.size == 6) {
        const double* v = sensed.values;
        return f(Initial3DOF{v[0], v[1], v[2], v[3], v[4], v[5]});
    }
    return f(Initial1DOF{sensed.height(), sensed.velocity()});
}

// The altimeter of a controller that aims at its reading.
std::optional<Altimeter> frame_of(const Aim& aim, const Predictor& p) noexcept {
    if (!aim.barometric || p.column == nullptr) return std::nullopt;
    return Altimeter(*p.column);
}

const Altimeter* pointer(const std::optional<Altimeter>& frame) noexcept { return frame ? &*frame : nullptr; }

// The predictor's trim: its drag scale times the scale learned.
FlightTrim trim_of(const Predictor& p, const Decision& d) noexcept {
    FlightTrim trim;
    trim.drag_scale = p.drag_scale * d.learned_scale;
    return trim;
}

}  // namespace

PredictiveRun::PredictiveRun(const PredictiveSettings& s, const StopCheck& stop)
    : aim_(s.aim), p_(s.predictor), frame_(frame_of(s.aim, s.predictor)) {
    p_.run.stop = stop;
}

Verdict PredictiveRun::decide(Decision& d) {
    // No apogee lies ahead of a state the sensors say is falling: hold.
    if (!(d.sensed.velocity() > APOGEE_VELOCITY_THRESHOLD)) return Verdict::Decided;
    const FlightTrim trim = trim_of(p_, d);
    const InverseResult answer = with_predictor_state(p_, d.sensed, [&](const auto& initial) {
        return deployment_for_apogee(p_.rocket, initial, p_.run, trim, aim_.target, warm_ ? &start_ : nullptr,
                                     pointer(frame_));
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

PidRun::PidRun(const PidSettings& s, const StopCheck& stop, double rate)
    : s_(s), p_(s.predictor), frame_(frame_of(s.aim, s.predictor)), rate_(rate) {
    p_.run.stop = stop;
}

// PID on the error of the apogee predicted with the brakes held as they
// are; the integral stops growing while the output is clamped in the
// direction the error pushes it. A command that is not finite (gains whose
// terms overflow, or overflow and cancel) fails the controller.
Verdict PidRun::decide(Decision& d) {
    if (!(d.sensed.velocity() > APOGEE_VELOCITY_THRESHOLD)) return Verdict::Decided;
    FlightTrim trim = trim_of(p_, d);
    trim.deployment = d.record[ACTUAL];
    const FlightOutcome predicted = with_predictor_state(
        p_, d.sensed, [&](const auto& initial) { return fly_real(p_.rocket, initial, p_.run, trim); });
    d.record[PREDICTIONS] = 1.0;
    if (predicted.status != FlightStatus::Ok) {
        d.failure = predicted.status;
        return Verdict::PredictionFailed;
    }
    const double apogee = in_frame(pointer(frame_), predicted.apogee);
    d.record[PREDICTED_APOGEE] = apogee;
    const double e = apogee - s_.aim.target;
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

Verdict ScheduleRun::decide(Decision& d) const noexcept {
    d.record[COMMANDED] = s.schedule->at(d.since_start);
    return Verdict::Decided;
}

Verdict ExternalRun::decide(Decision& d) const {
    double level = d.last_command;
    const bool ok = s.decide(s.context, d.record[TIME], d.sensed.values, d.sensed.size, d.record[ACTUAL], level);
    if (!ok) return Verdict::ControllerFailed;
    d.record[COMMANDED] = level;
    return Verdict::Decided;
}

RunningController start_controller(const ControllerSettings& settings, const StopCheck& stop, double rate) {
    switch (settings.index()) {
        case 0: return PredictiveRun(*std::get_if<0>(&settings), stop);
        case 1: return PidRun(*std::get_if<1>(&settings), stop, rate);
        case 2: return ScheduleRun{*std::get_if<2>(&settings)};
        default: break;
    }
    return ExternalRun{*std::get_if<3>(&settings)};
}

}  // namespace aeso
