"""Flight profile
==============

Simulate a planar (3-DOF) coast to apogee and show its flight profile.

With matplotlib installed, draws the altitude against time and the x-y
trajectory; without it, prints a short text summary. Either way it prints
the numbers that matter. In a notebook (and in the documentation's gallery)
the figure is shown below the code; run as a script it is saved as a PNG::

    python examples/flight_profile.py                 # PNG in the current directory
    python examples/flight_profile.py -o /tmp/fp.png  # PNG at a given path
    python examples/flight_profile.py --text          # summary only

When run from inside the source tree without -o, the PNG goes to the system's
temporary directory instead, so the example never writes into the repository.
"""

import argparse
import math
import os
import sys
import tempfile

import aeso

# mass (kg), drag coefficient, drag and lift reference areas (m^2),
# moment of inertia (kg m^2), static stability margin (m), lift slope (1/rad)
ROCKET = aeso.Rocket(20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0)
SPEED = 250.0  # m/s at burnout


def default_output() -> str:
    # The documentation's gallery runs the script without __file__, from its own directory.
    here = os.path.dirname(os.path.abspath(__file__)) if "__file__" in globals() else os.getcwd()
    repo = os.path.dirname(here)
    cwd = os.path.abspath(os.getcwd())
    inside_repo = os.path.commonpath([cwd, repo]) == repo
    directory = tempfile.gettempdir() if inside_repo else cwd
    return os.path.join(directory, "flight_profile.png")


def run_as_script() -> bool:
    """True when run as a script file; False in a notebook or the
    documentation's gallery, which run the code without __file__ and show
    a figure where the code runs."""
    return "__file__" in globals()


def command_line() -> list[str]:
    """This script's arguments; none in a Jupyter kernel (the gallery's
    notebook), whose sys.argv holds the kernel's own (-f CONNECTION_FILE)."""
    return [] if "ipykernel" in sys.modules else sys.argv[1:]


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description="Simulate a planar (3-DOF) coast to apogee and show its flight profile.")
    parser.add_argument("-o", "--output", help="PNG file to write (default: ./flight_profile.png)")
    parser.add_argument("--angle", type=float, default=0.05,
                        help="initial angle off vertical, rad (default 0.05)")
    parser.add_argument("--text", action="store_true", help="print the summary only, no PNG")
    args = parser.parse_args(argv)

    # Velocity along the body axis: the nose points at (-sin angle, cos angle).
    initial = aeso.InitialState3DOF(x=0.0, y=0.0, angle=args.angle,
                                    vx=-SPEED * math.sin(args.angle),
                                    vy=SPEED * math.cos(args.angle), angular_rate=0.0)
    # A fixed small step gives an evenly sampled log for plotting.
    times, states = ROCKET.simulate_flight_3dof(initial, aeso.OdeMethod.RK3, aeso.FixedTimeStep(0.01))
    apogee = ROCKET.predict_apogee_3dof(initial, aeso.OdeMethod.RK3, aeso.FixedTimeStep(0.01))

    x, y, angle = states[:, 0], states[:, 1], states[:, 2]
    # The log holds the state before every step; the apogee itself is the
    # interpolated final state that predict_apogee_3dof returns.
    print(f"3-DOF coast from {SPEED:.0f} m/s at {args.angle:.3f} rad off vertical, RK3, dt 0.01 s")
    print(f"  logged states      {len(times)} (t = {times[0]:.2f} .. {times[-1]:.2f} s)")
    print(f"  apogee             {apogee:.2f} m")
    print(f"  horizontal drift   {x[-1]:.2f} m")
    print(f"  attitude           {angle[0]:.4f} -> {angle[-1]:.4f} rad")

    if args.text:
        return 0
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        print("(matplotlib is not installed: no plot; pip install matplotlib for one)")
        return 0

    # The two panels one above the other: a phone's width shows them too.
    fig, (ax_alt, ax_xy) = plt.subplots(2, 1, figsize=(5.5, 7))
    ax_alt.plot(times, y)
    ax_alt.axhline(apogee, color="grey", linestyle="--", linewidth=0.8, label=f"apogee {apogee:.1f} m")
    ax_alt.set_xlabel("time (s)")
    ax_alt.set_ylabel("altitude (m)")
    ax_alt.set_title("Altitude")
    ax_alt.legend(loc="lower right")
    ax_xy.plot(x, y)
    ax_xy.set_xlabel("x (m)")
    ax_xy.set_ylabel("y (m)")
    ax_xy.set_title("Trajectory")
    fig.tight_layout()
    if args.output or run_as_script():
        path = args.output or default_output()
        fig.savefig(path, dpi=100)
        print(f"  plot               {path}")
    else:
        plt.show()
    return 0


if __name__ == "__main__":
    # Exits only on failure: the documentation's gallery runs this script
    # in its own process, which a SystemExit would end.
    if (status := main(command_line())) != 0:
        sys.exit(status)
