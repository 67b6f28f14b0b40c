"""Apogee targeting
================

Which drag coefficient makes a coasting rocket reach a target apogee? Starting
from a state in mid-flight (as an airbrake controller would, from the
measured height and velocity), ``aeso_flight.Vehicle.drag_scale_for_apogee``
finds the factor on the rocket's drag whose predicted apogee is the target,
within 0.01 m, in a handful of predictions: the apogee falls as the drag
rises, so its bracketed search cannot miss. In the constant air of aeso
(``Atmosphere.constant()``) every prediction is aeso's own; in the standard
atmosphere at the launch site the same target needs more drag, since the
thinner air higher up brakes the rocket less.
"""

import math
import time

import aeso
from aeso_flight import Atmosphere, Vehicle

# Mid-flight, 4 s after burnout: 800 m up, 160 m/s, 0.06 rad off vertical.
HEIGHT, SPEED, ANGLE = 800.0, 160.0, 0.06
TARGET = 1850.0  # m
CD = 0.45  # the rocket's drag coefficient without brakes
SITE = 1401.0  # m above sea level, for the standard atmosphere
state = aeso.InitialState3DOF(x=0.0, y=HEIGHT, angle=ANGLE, vx=-SPEED * math.sin(ANGLE),
                              vy=SPEED * math.cos(ANGLE), angular_rate=0.0)
rocket = aeso.Rocket(20.0, CD, 0.0081, 0.0081, 8.5, 0.25, 2.0)
vehicle = Vehicle(rocket)
airs = {"constant air (aeso's)": Atmosphere.constant(),
        f"standard atmosphere, site {SITE:.0f} m": Atmosphere.standard(site_elevation=SITE)}

print(f"target apogee {TARGET:.1f} m from {HEIGHT:.0f} m at {SPEED:.0f} m/s")
answers: dict[str, float] = {}
for name, air in airs.items():
    start = time.perf_counter()
    solution = vehicle.drag_scale_for_apogee(TARGET, state, aeso.OdeMethod.RK45, atmosphere=air)
    micros = (time.perf_counter() - start) * 1e6
    answers[name] = CD * solution.scale
    print(f"{name}: cd = {CD * solution.scale:.6f} gives an apogee of {solution.apogee:.4f} m "
          f"({solution.status.value}) after {solution.predictions} predictions, {micros:.0f} us")

# The same answer from aeso itself, in its constant air.
check = aeso.Rocket(20.0, answers["constant air (aeso's)"], 0.0081, 0.0081, 8.5, 0.25, 2.0)
print(f"aeso with that cd: {check.predict_apogee_3dof(state, aeso.OdeMethod.RK45):.4f} m")

# %%
# The apogee against the drag coefficient in both airs, and each answer.

try:
    import matplotlib.pyplot as plt
except ImportError:
    print("(matplotlib is not installed: no figure)")
else:
    grid = [0.1 + 0.05 * i for i in range(59)]
    fig, ax = plt.subplots(figsize=(7, 4))
    for (name, air), color in zip(airs.items(), ("#4c72b0", "#55a868")):
        scaled = [Vehicle(aeso.Rocket(20.0, c, 0.0081, 0.0081, 8.5, 0.25, 2.0)) for c in grid]
        ax.plot(grid, [v.predict_apogee_3dof(state, aeso.OdeMethod.RK45, atmosphere=air) for v in scaled],
                color=color, label=name)
        ax.scatter([answers[name]], [TARGET], color=color, s=30, zorder=3)
    ax.axhline(TARGET, color="grey", linestyle="--", linewidth=0.8, label="target")
    ax.set_xlabel("drag coefficient cd")
    ax.set_ylabel("apogee (m)")
    ax.legend()
    fig.tight_layout()
