"""Ctrl-C: every run started on the main thread raises KeyboardInterrupt
within 0.5 s of CPU time after the signal, and the interpreter goes on.

Each run is made in a child process whose SIGINT has Python's default
handler (whatever the test runner's disposition). The parent sends the
signal once the child has announced the run and spent 0.1 s of CPU time in
it (read from /proc, so the machine's load does not matter); the child
reports its CPU time when the KeyboardInterrupt arrived, and the parent
compares it with the child's CPU time when the signal was sent. Each run is
bounded by its max_iterations, far beyond 0.5 s, and the child is killed in
a finally."""

import os
import signal
import subprocess
import sys
import time

import pytest

pytestmark = pytest.mark.skipif(not os.path.exists("/proc/self/stat"), reason="reads CPU times from /proc")

PRELUDE = """
import math, signal, sys, time
signal.signal(signal.SIGINT, signal.default_int_handler)
import aeso
from aeso_flight import PID, Atmosphere, Brakes, Predictive, Vehicle
rocket = aeso.Rocket(20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0)
brakes = Brakes([0.0, 0.5, 1.0], [0.3, 0.9], [[0.0, 0.0], [0.4, 0.45], [0.9, 1.0]])
vehicle = Vehicle(rocket, brakes=brakes)
air = Atmosphere.standard(1401.0)
one = aeso.InitialState1DOF(0.0, 250.0)
three = aeso.InitialState3DOF(0.0, 0.0, 0.05, -12.49, 249.69, 0.0)
euler, rk45 = aeso.OdeMethod.Euler, aeso.OdeMethod.RK45
tiny = aeso.FixedTimeStep(1e-8)
slow = aeso.AdaptiveTimeStep(1e-5, 1e-5, 1e-5, 1e-9, 1e-9)
from aeso_flight import Accelerometer, Barometer, FlightData, RawSensors
board = RawSensors(Barometer(noise_sd=2.0, rate=10000.0), Accelerometer(noise_sd=0.05, rate=10000.0))
def climb():
    # A log at 1 kHz: 1 s on the pad, 3 s of boost at 80 m/s^2, a coast
    # decelerating at 15 m/s^2.
    import numpy as np
    t = np.round(np.arange(-1.0, 15.0, 0.001), 3)
    a = np.where(t < 0.0, 0.0, np.where(t < 3.0, 80.0, -15.0))
    v = np.cumsum(a) * 0.001
    h = np.cumsum(v) * 0.001
    return FlightData(t, pressure=air.pressure(h), acceleration=a + 9.80665, launch=0.0, burnout=3.0)
"""

RUNS = {
    "prediction": "vehicle.predict_apogee_1dof(one, euler, tiny, 10**9, atmosphere=air, deployment=0.3)",
    "flight log": "vehicle.simulate_flight_3dof(three, rk45, aeso.AdaptiveTimeStep(1e-6, 1e-6, 1e-6, 1e-9, 1e-9), "
                  "2 * 10**6, atmosphere=air, deployment=0.3)",
    "inverse": "vehicle.deployment_for_apogee(2000.0, one, euler, tiny, 10**9, atmosphere=air)",
    "scale inverse": "vehicle.drag_scale_for_apogee(2000.0, one, euler, tiny, 10**9, atmosphere=air, deployment=0.2)",
    "predictive flight": "vehicle.fly_controlled(one, rk45, None, 10**9, atmosphere=air, target=2000.0, rate=10000.0, "
                         "controller=Predictive(timestep_config=slow, max_iterations=10**9))",
    "pid flight": "vehicle.fly_controlled(three, rk45, None, 10**9, atmosphere=air, target=2000.0, rate=10000.0, "
                  "controller=PID(0.001, timestep_config=slow, max_iterations=10**9))",
    "callable flight": "vehicle.fly_controlled(one, euler, tiny, 10**9, atmosphere=air, target=2000.0, rate=10.0, "
                       "controller=lambda t, s, d: 0.3)",
    "raw-sensor flight": "vehicle.fly_controlled(one, rk45, None, 10**9, atmosphere=air, target=2000.0, "
                         "rate=10000.0, sensors=board, controller=Predictive(timestep_config=slow, "
                         "max_iterations=10**9, learn_drag=True))",
    "replay": "climb().replay(vehicle, Predictive(target=2000.0, timestep_config=slow, max_iterations=10**9), "
              "atmosphere=air, rate=10000.0)",
}

# The run is defined as a function and called (a KeyboardInterrupt out of
# the builtin eval() would make the interpreter end by SIGINT at exit).
CHILD = PRELUDE + """
exec("def run():\\n    return " + sys.argv[1])
print("go", flush=True)
try:
    run()
    print("done", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.process_time(), flush=True)
# The interpreter goes on: a short prediction.
print("after", vehicle.predict_apogee_1dof(one, rk45, atmosphere=air, deployment=0.3), flush=True)
"""


def cpu_seconds(pid):
    """User and system CPU time of a process, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@pytest.mark.parametrize("kind", sorted(RUNS))
def test_ctrl_c_stops_the_run_and_the_interpreter_goes_on(kind):
    child = subprocess.Popen([sys.executable, "-c", CHILD, RUNS[kind]], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "go"
        started = cpu_seconds(child.pid)
        deadline = time.monotonic() + 120.0  # only a hung child reaches it
        while cpu_seconds(child.pid) < started + 0.1:
            assert child.poll() is None and time.monotonic() < deadline
            time.sleep(0.005)
        sent = cpu_seconds(child.pid)
        child.send_signal(signal.SIGINT)
        outcome = child.stdout.readline().split()
        assert outcome[0] == "interrupted", outcome
        assert float(outcome[1]) - sent <= 0.5
        after = child.stdout.readline().split()
        assert after[0] == "after" and float(after[1]) > 0.0
        assert child.wait(timeout=60) == 0
    finally:
        child.kill()
        child.wait()
