"""Apogee targeting
================

Which drag coefficient makes a coasting rocket reach a target apogee? Starting
from a state in mid-flight (as an airbrake controller would, from the
measured height and velocity), bisect on ``cd`` with one apogee prediction per
guess, and print how long each prediction takes. The apogee falls as the drag
rises, so the bisection cannot miss.
"""

import math
import time

import aeso

# Mid-flight, 4 s after burnout: 800 m up, 160 m/s, 0.06 rad off vertical.
HEIGHT, SPEED, ANGLE = 800.0, 160.0, 0.06
TARGET = 1850.0  # m
state = aeso.InitialState3DOF(x=0.0, y=HEIGHT, angle=ANGLE, vx=-SPEED * math.sin(ANGLE),
                              vy=SPEED * math.cos(ANGLE), angular_rate=0.0)


def apogee(cd: float) -> tuple[float, float]:
    """The 3-DOF RK45 apogee with drag coefficient `cd`, and its time in microseconds."""
    rocket = aeso.Rocket(20.0, cd, 0.0081, 0.0081, 8.5, 0.25, 2.0)
    start = time.perf_counter()
    height = rocket.predict_apogee_3dof(state, aeso.OdeMethod.RK45)
    return height, (time.perf_counter() - start) * 1e6


low, high = 0.1, 3.0
assert apogee(low)[0] > TARGET > apogee(high)[0], "the target is out of reach"
print(f"target apogee {TARGET:.1f} m from {HEIGHT:.0f} m at {SPEED:.0f} m/s")
print(f"{'step':>4} {'cd':>12} {'apogee (m)':>12} {'time (us)':>10}")
history: list[tuple[float, float]] = []
for step in range(1, 41):
    cd = 0.5 * (low + high)
    height, micros = apogee(cd)
    history.append((cd, height))
    print(f"{step:>4} {cd:>12.8f} {height:>12.4f} {micros:>10.1f}")
    if height > TARGET:
        low = cd
    else:
        high = cd
    if abs(height - TARGET) < 1e-3:
        break
print(f"cd = {cd:.6f} gives an apogee of {height:.4f} m after {len(history)} predictions")

# %%
# Each guess, on the curve of apogee against drag coefficient.

try:
    import matplotlib.pyplot as plt
except ImportError:
    print("(matplotlib is not installed: no figure)")
else:
    grid = [0.1 + 0.05 * i for i in range(59)]
    fig, ax = plt.subplots(figsize=(7, 4))
    ax.plot(grid, [apogee(c)[0] for c in grid], color="#4c72b0", label="apogee(cd)")
    ax.scatter([c for c, _ in history], [h for _, h in history], color="#c44e52", s=12,
               zorder=3, label="bisection guesses")
    ax.axhline(TARGET, color="grey", linestyle="--", linewidth=0.8, label="target")
    ax.set_xlabel("drag coefficient cd")
    ax.set_ylabel("apogee (m)")
    ax.legend()
    fig.tight_layout()
