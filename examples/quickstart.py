"""Quick start
===========

Predict the apogee of a small sounding rocket with each integration method,
and compare the 1-DOF apogees with the closed-form solution.
"""

# The gallery's thumbnail of this script, which draws no figure:
# sphinx_gallery_thumbnail_path = '_static/quickstart_thumbnail.png'

import math

import aeso

# mass (kg), drag coefficient, drag and lift reference areas (m^2),
# moment of inertia (kg m^2), static stability margin (m), lift slope (1/rad)
rocket = aeso.Rocket(20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0)

speed, tilt = 250.0, 0.05  # m/s at burnout, rad off vertical
vertical = aeso.InitialState1DOF(initial_height=0.0, initial_velocity=speed)
# Velocity along the body axis: the nose points at (-sin(angle), cos(angle)).
planar = aeso.InitialState3DOF(x=0.0, y=0.0, angle=tilt, vx=-speed * math.sin(tilt),
                               vy=speed * math.cos(tilt), angular_rate=0.0)

print(f"{'method':<8}{'1-DOF apogee (m)':>20}{'3-DOF apogee (m)':>20}")
for method in (aeso.OdeMethod.Euler, aeso.OdeMethod.RK3, aeso.OdeMethod.RK45):
    h1 = rocket.predict_apogee_1dof(vertical, method)
    h3 = rocket.predict_apogee_3dof(planar, method)
    print(f"{str(method).split('.')[-1]:<8}{h1:>20.3f}{h3:>20.3f}")

# Closed form for vertical flight with quadratic drag, to compare against.
k = 0.6125 * 0.45 * 0.0081
exact = 20.0 / (2 * k) * math.log1p(k * speed**2 / (20.0 * 9.80665))
print(f"{'exact':<8}{exact:>20.3f}")

times, states = rocket.simulate_flight_3dof(planar, aeso.OdeMethod.RK45)
print(f"\nRK45 3-DOF flight log: {len(times)} steps over {times[-1]:.2f} s, "
      f"drifting {abs(states[-1, 0]):.1f} m sideways")
