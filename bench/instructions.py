#!/usr/bin/env python3
"""Instructions per call of each of aeso's run operations, counted by callgrind.

For the reference flight (the rocket and initial states of bench/compare.py),
each of predict_apogee_1dof/3dof and simulate_flight_1dof/3dof with Euler,
RK3 and RK45 at their default step options: the instructions of a process
that makes `--calls` calls less those of one that builds the same objects and
makes none, divided by the number of calls. The count includes the Python
call (argument binding, the borrow, building the result) and the loop that
makes it, and it does not depend on the machine's load, unlike the times of
bench/compare.py.

    python3 bench/instructions.py               # about 3 minutes
"""

import argparse

from callgrind import instructions

CHILD = """
import math, sys
import aeso
operation, method, calls = sys.argv[1], sys.argv[2], int(sys.argv[3])
rocket = aeso.Rocket(20.0, 0.45, 0.0081, 0.0081, 8.5, 0.25, 2.0)
states = {"1dof": aeso.InitialState1DOF(0.0, 250.0),
          "3dof": aeso.InitialState3DOF(0.0, 0.0, 0.05, -250.0 * math.sin(0.05),
                                        250.0 * math.cos(0.05), 0.0)}
run = getattr(rocket, operation)
state = states[operation[-4:]]
ode = getattr(aeso.OdeMethod, method)
for _ in range(calls):
    run(state, ode)
"""

OPERATIONS = ("predict_apogee_1dof", "predict_apogee_3dof", "simulate_flight_1dof", "simulate_flight_3dof")
METHODS = ("Euler", "RK3", "RK45")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=50, help="calls of each operation counted")
    args = parser.parse_args()
    # The first call of a simulation also imports NumPy's C API: one call is
    # made before the counted ones in both processes.
    print("| operation | method | instructions per call |")
    print("|---|---|---:|")
    for operation in OPERATIONS:
        for method in METHODS:
            base = instructions(CHILD, operation, method, 1)
            total = instructions(CHILD, operation, method, 1 + args.calls)
            print(f"| `{operation}` | {method} | {(total - base) / args.calls:,.0f} |", flush=True)


if __name__ == "__main__":
    main()
