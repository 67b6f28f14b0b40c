"""From a flight's log to a prediction
====================================

Read a real flight's log, estimate its state and fit its drag, and predict
its apogee from the state at burnout. The log is NDRT's 2020 altimeter (one of
the real flights' logs that come with the package, :func:`~aeso_flight.sample_log`): an accelerometer in g at 400 Hz and a
barometric altitude in feet at 20 Hz, on two clocks in one row.
:class:`~aeso_flight.FlightData` reads it, finds the launch, the burnout and
the apogee; :meth:`~aeso_flight.FlightData.estimate` fuses the two sensors
(a Kalman filter and its smoother, the noise measured on the pad); and
:meth:`~aeso_flight.Vehicle.fit_drag` reads the drag from the accelerometer
in the coast. The figure shows the estimated height and velocity with their
95 % bands, and the flights predicted from burnout with the team's drag and
with the fitted one.
"""

import math
import os
import tempfile

import numpy as np

import aeso
from aeso_flight import Atmosphere, Drag, Estimator, FlightData, Vehicle, sample_log

log = sample_log("ndrt2020_altimeter.csv")

data = FlightData.from_csv(
    log,
    time={"acceleration": "Time-Axial Accel (Gs)", "altitude": "Time (s)"},
    acceleration="Axial Accel (Gs)",
    altitude="Altitude (Ft-AGL)",
    scale={"Axial Accel (Gs)": 9.80665, "Altitude (Ft-AGL)": 0.3048},
    site_elevation=206.0,
)
print(data)
# Detected from the log (None where a log does not show them).
launch, burnout, apogee = data.launch, data.burnout, data.apogee
assert launch is not None and burnout is not None and apogee is not None and data.altitude is not None
print(f"launch {launch:.3f} s, burnout {burnout:.3f} s, apogee {apogee:.2f} s")

# %%
# The state at burnout, with its standard deviations. The accelerometer reads
# 0.83 g on the pad: Estimator.from_pad takes that as its bias.
air = Atmosphere.standard(site_elevation=206.0)
estimator = Estimator.from_pad(data)
estimate = data.estimate(air, estimator=estimator)
state, covariance = estimate.at(burnout)
print(f"bias from the pad {estimator.bias:+.2f} m/s^2")
print(f"burnout: {state.initial_height:.1f} ± {math.sqrt(covariance[0, 0]):.1f} m, "
      f"{state.initial_velocity:.1f} ± {math.sqrt(covariance[1, 1]):.2f} m/s")

# %%
# The drag: the team's constant 0.44, and one factor on it fitted to the
# accelerometer's deceleration in the coast.
area = math.pi * 0.1015**2
rocket = aeso.Rocket(mass=20.846, cd=0.44, area_drag=area, area_lift=area, moment_of_inertia=1.0,
                     stab_margin_dimensional=0.0, cl_a=0.0)
team = Vehicle(rocket, drag=Drag.constant(0.44))
fit = team.fit_drag(data, atmosphere=air, estimate=estimate)
print(fit)
for name, vehicle in (("team's drag", team), ("fitted drag", fit.vehicle)):
    predicted = vehicle.predict_apogee_1dof(state, aeso.OdeMethod.RK45, atmosphere=air)
    print(f"apogee from burnout, {name}: {predicted:.0f} m (the altimeter read {np.nanmax(data.altitude):.0f} m)")

# %%
# The figure.
import matplotlib

if "__file__" in globals():
    matplotlib.use("Agg")
import matplotlib.pyplot as plt

fig, (top, bottom) = plt.subplots(2, 1, figsize=(7, 6), sharex=True, layout="constrained")
shown = estimate.time <= apogee + 3.0
t = estimate.time[shown]
for ax, value, sd, label in ((top, estimate.height, estimate.height_sd, "height (m)"),
                             (bottom, estimate.velocity, estimate.velocity_sd, "vertical velocity (m/s)")):
    ax.fill_between(t, value[shown] - 1.96 * sd[shown], value[shown] + 1.96 * sd[shown], alpha=0.3)
    ax.plot(t, value[shown], label="estimate (95 %)")
    ax.set_ylabel(label)
    ax.grid(alpha=0.2)
for name, vehicle, style in (("team's drag", team, "--"), ("fitted drag", fit.vehicle, ":")):
    times, rows = vehicle.simulate_flight_1dof(state, aeso.OdeMethod.RK45, atmosphere=air)
    top.plot(times + burnout, rows[:, 0], style, label=f"from burnout, {name}")
    bottom.plot(times + burnout, rows[:, 1], style)
top.legend(fontsize=8)
bottom.set_xlabel("time since launch (s)")
if "__file__" in globals():
    # Run from inside the source tree, the figure goes to the system's
    # temporary folder rather than among the sources.
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    inside_repo = os.path.commonpath([os.path.abspath(os.getcwd()), repo]) == repo
    out = os.path.join(tempfile.gettempdir() if inside_repo else os.getcwd(), "flight_data.png")
    fig.savefig(out, dpi=110)
    print(f"figure: {out}")
