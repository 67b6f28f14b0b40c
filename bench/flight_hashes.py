#!/usr/bin/env python3
"""Hash of every observable result of a broad set of real-air runs.

The counterpart of bench/run_hashes.py for aeso_flight: predictions and
flight logs of both models and all three methods in several airs (the
constant air; the standard atmosphere at three sites, on a hot day and with
the pad's measured air), with drag tables, brakes at levels and on schedules,
the inverses cold and warm, controlled flights with every built-in
controller, an actuator and sensor noise, a study block, the atmosphere's
values and the failures (their reasons and messages). Every float
contributes its exact bits, every NaN the same bytes (the sign and payload
of a NaN are not part of a result). Two builds whose totals agree behave the
same on every case below, to the last bit.

    python3 bench/flight_hashes.py             # hashes only
    python3 bench/flight_hashes.py --verbose   # also the number of cases per section
"""

import argparse
import hashlib
import math
import struct

import aeso
import numpy as np

from aeso_flight import (PID, Accelerometer, Actuator, Atmosphere, Barometer, Brakes, Drag, Estimator, FlightData,
                         FlightError, Predictive, RawSensors, Schedule, Sensors, Vehicle, sample_log)
from aeso_flight import _arguments

CANONICAL_NAN = struct.pack("<Q", 0x7FF8000000000000)
METHODS = (aeso.OdeMethod.Euler, aeso.OdeMethod.RK3, aeso.OdeMethod.RK45)
AREA = math.pi * 0.06985**2
ROCKETS = [
    dict(mass=16.911, cd=0.35, area_drag=AREA, area_lift=AREA, moment_of_inertia=6.4,
         stab_margin_dimensional=0.28, cl_a=10.0),
    dict(mass=20.0, cd=0.45, area_drag=0.0081, area_lift=0.0081, moment_of_inertia=8.5,
         stab_margin_dimensional=0.25, cl_a=2.0),
]
DRAG = Drag(mach=[0.15, 0.45, 0.77, 0.82, 0.88, 0.94, 0.99, 1.04, 1.24, 1.33, 1.49],
            cd=[0.422, 0.38, 0.32, 0.30, 0.30, 0.32, 0.37, 0.44, 0.43, 0.42, 0.39])
BRAKES = [
    Brakes(deployment=[0.0, 0.5, 1.0], mach=[0.3, 0.9], cd=[[0.0, 0.0], [0.4, 0.45], [0.9, 1.0]]),
    Brakes(deployment=[0.0, 1.0], mach=[0.5], cd=[[0.0], [0.6]], area=0.01),
]
AIRS = [
    Atmosphere.constant(),
    Atmosphere.standard(),
    Atmosphere.standard(site_elevation=1401.0),
    Atmosphere.standard(site_elevation=1401.0, temperature_offset=17.5),
    Atmosphere.standard(site_elevation=4000.0, temperature_offset=-12.0),
    Atmosphere.standard(site_elevation=206.0, pad_temperature=268.0, pad_pressure=99000.0),
]
STATES_1DOF = [(988.26, 305.3), (0.0, 250.0), (3500.0, 40.0)]
STATES_3DOF = [(0.0, 988.26, -0.08, 24.5, 305.3, 0.0), (0.0, 0.0, 0.05, -12.49, 249.69, 0.3),
               (10.0, 3000.0, 0.6, -90.0, 120.0, -0.2)]
# Step options of each method, by its position in METHODS.
STEPS = ([None, aeso.FixedTimeStep(0.0037)], [None, aeso.FixedTimeStep(0.05)],
         [None, aeso.AdaptiveTimeStep(0.1, 1e-4, 1.0, 1e-6, 1e-6)])


class Hash:
    def __init__(self):
        self.sha = hashlib.sha256()
        self.cases = 0

    def floats(self, values):
        a = np.ascontiguousarray(np.asarray(values, dtype=np.float64))
        self.sha.update(repr(a.shape).encode())
        for x in a.reshape(-1):
            self.sha.update(CANONICAL_NAN if math.isnan(x) else struct.pack("<d", x))

    def text(self, value):
        self.sha.update(str(value).encode() + b"\0")

    def outcome(self, run):
        """The result of run(), or its exception's class, reason and message."""
        self.cases += 1
        try:
            result = run()
        except (FlightError, ValueError, TypeError) as exc:
            self.text(type(exc).__name__)
            self.text(getattr(exc, "reason", ""))
            self.text(exc)
            return None
        return result


def vehicles():
    for r in ROCKETS:
        rocket = aeso.Rocket(**r)
        yield Vehicle(rocket), None
        yield Vehicle(rocket, drag=DRAG), None
        for brakes in BRAKES:
            yield Vehicle(rocket, drag=DRAG, brakes=brakes), 0.4
            yield Vehicle(rocket, drag=DRAG, brakes=brakes), ([0.0, 1.5, 3.0], [0.0, 1.0, 0.25])


def predictions(h):
    for vehicle, deployment in vehicles():
        for air in AIRS:
            for method, steps in zip(METHODS, STEPS):
                for step in steps:
                    for s in STATES_1DOF:
                        h.floats([h.outcome(lambda: vehicle.predict_apogee_1dof(
                            aeso.InitialState1DOF(*s), method, step, atmosphere=air, deployment=deployment))
                            or math.nan])
                    for s in STATES_3DOF:
                        h.floats([h.outcome(lambda: vehicle.predict_apogee_3dof(
                            aeso.InitialState3DOF(*s), method, step, atmosphere=air, deployment=deployment))
                            or math.nan])


def logs(h):
    vehicle = Vehicle(aeso.Rocket(**ROCKETS[0]), drag=DRAG, brakes=BRAKES[0])
    for air in AIRS[::2]:
        for method in METHODS:
            for deployment in (0.3, ([1.0, 2.5], [0.0, 1.0])):
                for dof, s in ((1, STATES_1DOF[0]), (3, STATES_3DOF[0])):
                    def run():
                        if dof == 1:
                            return vehicle.simulate_flight_1dof(aeso.InitialState1DOF(*s), method, atmosphere=air,
                                                                deployment=deployment)
                        return vehicle.simulate_flight_3dof(aeso.InitialState3DOF(*s), method, atmosphere=air,
                                                            deployment=deployment)
                    times, states = h.outcome(run)
                    h.floats(times)
                    h.floats(states)


def inverses(h):
    for brakes in BRAKES:
        vehicle = Vehicle(aeso.Rocket(**ROCKETS[0]), drag=DRAG, brakes=brakes)
        for air in AIRS[1:4]:
            for target in (2500.0, 3048.0, 3500.0, 5000.0):
                for initial in (aeso.InitialState1DOF(*STATES_1DOF[0]), aeso.InitialState3DOF(*STATES_3DOF[0])):
                    cold = h.outcome(lambda: vehicle.deployment_for_apogee(target, initial, aeso.OdeMethod.RK45,
                                                                          atmosphere=air))
                    warm = h.outcome(lambda: vehicle.deployment_for_apogee(
                        target, initial, aeso.OdeMethod.RK45, atmosphere=air, start=cold))
                    scale = h.outcome(lambda: vehicle.drag_scale_for_apogee(
                        target, initial, aeso.OdeMethod.RK45, atmosphere=air, deployment=0.2))
                    for answer in (cold, warm, scale):
                        h.text(answer.status)
                        h.floats([answer.apogee, answer.slope, *answer.bracket, answer.predictions,
                                  getattr(answer, "level", getattr(answer, "scale", math.nan))])


def controlled(h):
    vehicle = Vehicle(aeso.Rocket(**ROCKETS[0]), drag=DRAG, brakes=BRAKES[0])
    controllers = [Predictive(), Predictive(model="3dof"), Predictive(atmosphere=AIRS[0]),
                   PID(0.002, 0.0005, 0.0001), Schedule([0.0, 4.0, 8.0], [0.0, 1.0, 0.5])]
    actuators = [Actuator(), Actuator(rate_limit=0.5, lag=0.05, delay=0.03, initial=0.1)]
    sensors = [Sensors(), Sensors(height_sd=2.0, velocity_sd=1.0, velocity_scale=1.07, correlation_time=0.5)]
    for controller in controllers:
        for actuator in actuators:
            for sensor in sensors:
                for initial in (aeso.InitialState1DOF(*STATES_1DOF[0]), aeso.InitialState3DOF(*STATES_3DOF[0])):
                    flight = h.outcome(lambda: vehicle.fly_controlled(
                        initial, aeso.OdeMethod.RK45, atmosphere=AIRS[2], target=3048.0, controller=controller,
                        rate=20.0, actuator=actuator, sensors=sensor, seed=11))
                    if flight is None:
                        continue
                    h.floats([flight.apogee, flight.final_deployment, flight.deployment_travel, flight.steps,
                              flight.predictions])
                    t = flight.ticks
                    for column in (t.time, t.true_height, t.true_velocity, t.sensed_height, t.sensed_velocity,
                                   t.predicted_apogee, t.commanded, t.actual, t.predictions):
                        h.floats(column)


def block(h):
    """A study block of controlled flights in each row's own day's air."""
    vehicle = Vehicle(aeso.Rocket(**ROCKETS[0]), drag=DRAG, brakes=BRAKES[0])
    rocket = [ROCKETS[0][k] for k in ("mass", "cd", "area_drag", "area_lift", "moment_of_inertia",
                                      "stab_margin_dimensional", "cl_a")]
    control = [3048.0, 20.0, 0.8, 0.05, 0.02, 0.0, 1.5, 0.7, 1.03, 0.3, 0.0, 0.0, 0.0]
    rows = np.array([rocket + [988.26, 305.3] + [1401.0, offset, math.nan] + [scale] + control
                     for offset in (-10.0, 0.0, 17.5) for scale in (0.9, 1.0, 1.1)])
    out = np.empty((len(_arguments.BLOCK_OUTCOMES), len(rows)))
    steps = np.empty(len(rows), np.uint64)
    status = np.empty(len(rows), np.uint8)
    rk45 = int(aeso.OdeMethod.RK45)
    predictor = _arguments.predictor(_arguments.flight(vehicle._craft, AIRS[2]._air, 1, rk45, None, 100000))
    layout = _arguments.layout(1, False, rk45, 0, 100000, 1, True, False, "predictive", vehicle._craft, None, None,
                               predictor, 5, 1000)
    h.cases += len(rows)
    _arguments.run_block(rows, out, steps, status, layout, _arguments.StopFlag())
    # The outcomes a block without a flight computer gives (the hash
    # predates the altimeter's apogee and the learned scale).
    h.floats(out[:7])
    h.floats(steps.astype(np.float64))
    h.floats(status.astype(np.float64))


def atmospheres(h):
    heights = np.array([-3000.0 + 83.0 * k for k in range(1001)])
    for air in AIRS:
        low, high = air.heights
        inside = heights[(heights >= low) & (heights <= high)]
        h.cases += 4 * inside.size
        for f in (air.density, air.pressure, air.temperature, air.speed_of_sound):
            h.floats(f(inside))


def flight_data(h):
    """A synthetic log's estimates (filtered and smoothed, several airs and
    estimators) and its drag fits (one factor, with a prior, and knots); the
    launch and burnout are given and the fits end before the apogee, so no
    detected event (whose fit is NumPy's) enters."""
    t = np.round(np.arange(-1.0, 16.0, 0.01), 2)
    a = np.where(t < 0.0, 0.0, np.where(t < 3.0, 60.0, -12.0 - 0.02 * t * t))
    v = np.concatenate(([0.0], np.cumsum(0.5 * (a[1:] + a[:-1]) * 0.01)))
    height = np.concatenate(([0.0], np.cumsum(0.5 * (v[1:] + v[:-1]) * 0.01)))
    every = np.arange(t.size)
    # Noise from integer arithmetic (NumPy's sine may differ by platform).
    noise = ((every * 7919) % 101 - 50) / 50.0
    for air in AIRS[1:4]:
        pressure = np.where(every % 5 == 0, air.pressure(np.clip(height, 0.0, None)) + 3.0 * noise, np.nan)
        force = np.where(every % 2 == 0, a + 9.80665 + 0.05 + 0.02 * noise[::-1], np.nan)
        data = FlightData(t, pressure=pressure, acceleration=force, launch=0.0, burnout=3.0,
                          deployment=np.where(t > 6.0, 0.3, 0.0))
        vehicle = Vehicle(aeso.Rocket(**ROCKETS[0]), drag=DRAG, brakes=BRAKES[0])
        for estimator in (Estimator(), Estimator(barometer_sd=3.0, accelerometer_sd=0.05, barometer_lag=0.02)):
            for smoothed in (False, True):
                e = h.outcome(lambda: data.estimate(air, estimator=estimator, smoothed=smoothed))
                for column in (e.height, e.velocity, e.bias, e.covariance, e.barometer, [e.gated]):
                    h.floats(column)
            causal = data.estimate(air, estimator=estimator, smoothed=False)
            for options in (dict(), dict(prior_sd=0.1, until=8.0), dict(mach=[0.2, 0.35, 0.5], until=12.0)):
                fit = h.outcome(lambda: vehicle.fit_drag(data, atmosphere=air, estimate=causal, estimator=estimator,
                                                         **options))
                if fit is not None:
                    h.floats([math.nan if fit.scale is None else fit.scale, math.nan if fit.scale_sd is None
                              else fit.scale_sd, fit.residual_rms, *fit.mach_range, fit.samples])
                    h.floats(fit.covariance)


def flight_computer(h):
    """Controlled flights with raw sensors (the on-board estimator, drag
    learned, both frames; a lagged barometer with a port error), and a
    shared flight's log cut before its apogee, replayed."""
    vehicle = Vehicle(aeso.Rocket(**ROCKETS[0]), drag=DRAG, brakes=BRAKES[0])
    boards = [
        RawSensors(Barometer(noise_sd=2.0, rate=50.0, lag=0.02, resolution=1.0),
                   Accelerometer(noise_sd=0.05, bias=0.03, scale_error=0.004, rate=100.0),
                   estimator=Estimator(barometer_sd=2.0, accelerometer_sd=0.05, bias_sd=0.05, dynamic_error=1e-3,
                                       process_noise=2.0, barometer_lag=0.02)),
        RawSensors(Barometer(noise_sd=8.0, rate=30.0, mach_error=([0.5, 0.9, 1.1], [0.0, 0.06, 0.02])),
                   Accelerometer(noise_sd=0.3, bias=-0.1, rate=70.0), believed_atmosphere=AIRS[2]),
    ]
    controllers = [Predictive(), Predictive(learn_drag=True, frame="barometric"),
                   PID(0.002, 0.0005, 0.0001, learn_drag=True, drag_prior_sd=0.2)]
    for board in boards:
        for controller in controllers:
            for initial in (aeso.InitialState1DOF(*STATES_1DOF[0]), aeso.InitialState3DOF(*STATES_3DOF[0])):
                flight = h.outcome(lambda: vehicle.fly_controlled(
                    initial, aeso.OdeMethod.RK45, atmosphere=AIRS[3], target=3048.0, controller=controller,
                    rate=20.0, actuator=Actuator(rate_limit=1.0, lag=0.05, delay=0.02), sensors=board, seed=11))
                if flight is None:
                    continue
                h.floats([flight.apogee, flight.barometric_apogee, flight.final_deployment, flight.steps,
                          flight.predictions, flight.learned_scale or math.nan, flight.initial_estimate.initial_height])
                for name in _arguments.TICK_COLUMNS:
                    h.floats(getattr(flight.ticks, name))
                log = flight.sensor_log
                for column in (log.time, log.pressure, log.specific_force, log.deployment):
                    h.floats(column)
    # From its launch (no pad samples to average) to mid-coast (before its
    # apogee, whose detection is a NumPy fit).
    data = FlightData.from_csv(sample_log("prometheus_telemetrum.csv"), time="time", pressure="pressure",
                               acceleration="acceleration", acceleration_kind="gravity_removed",
                               site_elevation=1401.0)
    rows = (data.time >= data.launch) & (data.time < 15.0)
    cut = FlightData(data.time[rows], pressure=data.pressure[rows], acceleration=data.specific_force[rows],
                     launch=data.launch, burnout=data.burnout, site_elevation=1401.0)
    air = Atmosphere.standard(1401.0, pad_pressure=86444.0)
    estimator = Estimator(barometer_sd=6.0, accelerometer_sd=0.3)
    for controller in (Predictive(target=3048.0, learn_drag=True), PID(0.01, target=3048.0, frame="barometric")):
        ticks = h.outcome(lambda: cut.replay(vehicle, controller, atmosphere=air, rate=20.0, estimator=estimator))
        for name in _arguments.TICK_COLUMNS:
            h.floats(getattr(ticks, name))


def failures(h):
    vehicle = Vehicle(aeso.Rocket(**ROCKETS[0]), drag=DRAG)
    high = Atmosphere.standard(site_elevation=84000.0)
    h.outcome(lambda: vehicle.predict_apogee_1dof(aeso.InitialState1DOF(0.0, 900.0), aeso.OdeMethod.RK45,
                                                  atmosphere=high))
    h.outcome(lambda: vehicle.predict_apogee_3dof(aeso.InitialState3DOF(*STATES_3DOF[0]), aeso.OdeMethod.RK45,
                                                  max_iterations=10, atmosphere=AIRS[2]))
    h.outcome(lambda: vehicle.predict_apogee_1dof(aeso.InitialState1DOF(0.0, 0.2), aeso.OdeMethod.RK45,
                                                  atmosphere=AIRS[2]))


SECTIONS = {
    "predictions": predictions,
    "flight logs": logs,
    "inverses": inverses,
    "controlled flights": controlled,
    "study block": block,
    "atmospheres": atmospheres,
    "failures": failures,
    "flight data": flight_data,
    "flight computer": flight_computer,
}


def hashes():
    """{section: (short hash, cases)} and the total over every section."""
    total = hashlib.sha256()
    out = {}
    for name, section in SECTIONS.items():
        h = Hash()
        section(h)
        digest = h.sha.hexdigest()
        total.update(digest.encode())
        out[name] = (digest[:16], h.cases)
    return out, total.hexdigest()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--verbose", action="store_true", help="also print the number of cases per section")
    args = parser.parse_args()
    sections, total = hashes()
    for name, (digest, cases) in sections.items():
        print(f"{name:20s} {digest}" + (f"  ({cases} cases)" if args.verbose else ""))
    print(f"{'total':20s} {total}")


if __name__ == "__main__":
    main()
