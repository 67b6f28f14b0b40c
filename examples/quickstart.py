"""Predict the apogee of a small sounding rocket with each integration method."""

import aeso

# mass (kg), drag coefficient, drag and lift reference areas (m^2),
# moment of inertia (kg m^2), static stability margin (m), lift slope (1/rad)
rocket = aeso.Rocket(20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0)

vertical = aeso.InitialState1DOF(initial_height=0.0, initial_velocity=250.0)
# 0.05 rad off vertical, velocity aligned with the body axis
planar = aeso.InitialState3DOF(x=0.0, y=0.0, angle=0.05, vx=-250.0 * 0.049979169270678,
                               vy=250.0 * 0.998750260394966, angular_rate=0.0)

print(f"{'method':<8}{'1-DOF apogee (m)':>20}{'3-DOF apogee (m)':>20}")
for method in (aeso.OdeMethod.Euler, aeso.OdeMethod.RK3, aeso.OdeMethod.RK45):
    h1 = rocket.predict_apogee_1dof(vertical, method)
    h3 = rocket.predict_apogee_3dof(planar, method)
    print(f"{str(method).split('.')[-1]:<8}{h1:>20.3f}{h3:>20.3f}")

times, states = rocket.simulate_flight_1dof(vertical, aeso.OdeMethod.RK45)
print(f"\nRK45 1-DOF flight log: {len(times)} steps, coasting for {times[-1]:.2f} s before apogee")
