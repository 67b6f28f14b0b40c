"""Air-brake control page: the figure of one controlled flight, made at build time.

The flight of the page's first example: a Prometheus-like rocket from
burnout in the standard atmosphere at Spaceport America, its brakes (the
table of examples/prometheus_brakes.csv) moved by the Predictive controller
at 20 Hz through a rate-limited, lagging, late actuator, with noisy sensors.
Writes control_flight.png and its phone-sized variant into the output
directory (docs/_generated when the site is built):

    python docs/scripts/control_flight.py --out docs/_generated
"""

import argparse
import math
from pathlib import Path

import aeso
from aeso_dispersion.tables import read_brakes, read_drag
from aeso_flight import Actuator, Atmosphere, Brakes, Drag, Predictive, Sensors, Vehicle
from phone_figures import save_with_narrow_variant

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def vehicle():
    """The rocket with the team's drag and the example's brakes, read from
    the example's CSV files as a study reads them."""
    area = math.pi * 0.06985 ** 2
    rocket = aeso.Rocket(mass=16.911, cd=0.35, area_drag=area, area_lift=area, moment_of_inertia=6.4,
                         stab_margin_dimensional=0.28, cl_a=10.0)
    mach, cd = read_drag(EXAMPLES / "prometheus_drag.csv")
    levels, brake_mach, brake_cd = read_brakes(EXAMPLES / "prometheus_brakes.csv")
    return Vehicle(rocket, drag=Drag(mach, cd), brakes=Brakes(levels, brake_mach, brake_cd))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, required=True)
    out = parser.parse_args().out
    burnout = aeso.InitialState3DOF(x=0.0, y=988.26, angle=-0.08, vx=24.5, vy=305.3, angular_rate=0.0)
    flight = vehicle().fly_controlled(
        burnout, aeso.OdeMethod.RK45, atmosphere=Atmosphere.standard(site_elevation=1401.0), target=3048.0,
        controller=Predictive(model="1dof"), rate=20.0, actuator=Actuator(rate_limit=1.0, lag=0.05, delay=0.02),
        sensors=Sensors(height_sd=1.0, velocity_sd=1.0, correlation_time=0.5), seed=1)
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure = flight.plot()
    save_with_narrow_variant(figure, out / "control_flight.png", dpi=120)
    plt.close(figure)


if __name__ == "__main__":
    main()
