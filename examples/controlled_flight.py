"""Air brakes in closed loop
=========================

Fly the controller the rocket will fly. From the state just after burnout, a
:class:`~aeso_flight.Predictive` controller ticks at 20 Hz: each tick it
reads the sensed height and vertical velocity and commands the brake
deployment whose predicted apogee is the target. Its commands reach the
brakes through a servo (20 ms late, at most 2 full strokes per second, a
50 ms lag) and its view of the state is noisy (a barometer's height error of
1.5 m and a velocity error of 1 m/s, both correlated over 0.5 s, as a state
estimator's are). The figure shows what one flight did; then a PID
controller flies the same 20 seeds, which is the same noise for both
controllers, so the differences are the controllers' own.
"""

import math
import os
import tempfile

import numpy as np

import aeso
from aeso_flight import PID, Actuator, Atmosphere, Brakes, ControlledFlight, Drag, Predictive, Sensors, Vehicle

# Prometheus: mass (kg), cd, drag and lift areas (m^2), moment of inertia
# (kg m^2), static margin (m), lift slope (1/rad); its drag against Mach.
AREA = math.pi * 0.06985**2
rocket = aeso.Rocket(16.911, 0.35, AREA, AREA, 6.4, 0.28, 10.0)
drag = Drag(mach=[0.15, 0.45, 0.77, 0.82, 0.88, 0.94, 0.99, 1.04, 1.24, 1.33, 1.49],
            cd=[0.422, 0.38, 0.32, 0.30, 0.30, 0.32, 0.37, 0.44, 0.43, 0.42, 0.39])
# Brakes adding up to 0.75 to the drag coefficient fully open, a little more
# near Mach 1 (rows: deployment 0, 0.5, 1; columns: Mach 0, 0.6, 1.2).
brakes = Brakes(deployment=[0.0, 0.5, 1.0], mach=[0.0, 0.6, 1.2],
                cd=[[0.0, 0.0, 0.0], [0.375, 0.409, 0.51], [0.75, 0.818, 1.02]])
vehicle = Vehicle(rocket, drag=drag, brakes=brakes)
air = Atmosphere.standard(site_elevation=1401.0)
burnout = aeso.InitialState3DOF(x=0.0, y=988.26, angle=-0.08, vx=24.5, vy=305.3, angular_rate=0.0)
TARGET = 3048.0  # m above the pad (10,000 ft)

servo = Actuator(rate_limit=2.0, lag=0.05, delay=0.02)
sensors = Sensors(height_sd=1.5, velocity_sd=1.0, correlation_time=0.5)


def fly(controller: Predictive | PID, seed: int) -> ControlledFlight:
    return vehicle.fly_controlled(burnout, aeso.OdeMethod.RK45, atmosphere=air, target=TARGET,
                                  controller=controller, rate=20.0, actuator=servo, sensors=sensors, seed=seed)


flight = fly(Predictive(), seed=1)
ticks = flight.ticks
print(f"apogee {flight.apogee:.2f} m, miss {flight.miss:+.2f} m")
print(f"{ticks.time.size} ticks, {flight.predictions} predictions "
      f"(median {np.median(ticks.predictions[1:]):g} per decision after the first), {flight.steps} steps")
print(f"brakes: final deployment {flight.final_deployment:.3f}, total travel {flight.deployment_travel:.3f}")

# %%
# The flight against time: the altitude and each tick's predicted apogee
# above, the commanded and the actual deployment below (the servo's delay,
# rate limit and lag between them). Late in the coast the apogee hardly
# depends on the brakes any more, so the sensor noise swings the commands
# between closed and open; the servo smooths what reaches the brakes.

# In a notebook (and in the documentation's gallery, which run the code
# without __file__) the figure is shown below the code; run as a script, it
# is saved to a file.

try:
    import matplotlib.pyplot as plt
except ImportError:
    print("(matplotlib is not installed: no figure)")
else:
    if "__file__" in globals():
        path = os.path.join(tempfile.gettempdir(), "controlled_flight.png")
        flight.plot(path)
        print(f"figure saved to {path}")
    else:
        flight.plot()
        plt.show()

# %%
# Two controllers on the same seeds: each pair of flights sees the same
# sensor noise, so their difference is the controllers' alone.

seeds = range(20)
controllers: dict[str, Predictive | PID] = {"Predictive": Predictive(), "PID": PID(kp=0.02, ki=0.01)}
misses = {name: np.array([fly(c, s).miss for s in seeds]) for name, c in controllers.items()}
print(f"{'controller':>10} {'mean |miss| (m)':>16} {'worst (m)':>10} {'|miss| <= 5 m':>14}")
for name, m in misses.items():
    print(f"{name:>10} {np.abs(m).mean():>16.2f} {np.abs(m).max():>10.2f} {np.mean(np.abs(m) <= 5.0):>14.0%}")
closer = np.abs(misses["Predictive"]) < np.abs(misses["PID"])
print(f"Predictive lands closer than PID on {closer.sum()} of {len(closer)} seeds")
