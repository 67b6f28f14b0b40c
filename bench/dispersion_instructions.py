#!/usr/bin/env python3
"""Count, with valgrind's callgrind, the instructions the dispersion tool
spends per sample against a bare loop of predict_apogee_3dof over the same
samples: the tool's own work (drawing, assembling rows, collecting) measured
without the noise of wall or CPU time.

Each count is of a whole process: the bare loop's is taken with and without
the loop (its objects built either way), the study's with and without the
run, each for n and for 2n samples of examples/dispersion_study.toml on one
worker thread. The samples n+1..2n are the same in both (blocks are
deterministic), so the difference of the two counts between n and 2n is the
marginal cost of n samples, free of start-up; what remains at n is the
study's fixed cost (a thread pool, the first block's set-up).

    python3 bench/dispersion_instructions.py            # n = 5000, ~8 minutes
"""

import argparse
import os
import tempfile

from callgrind import instructions

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(HERE, "..", "examples", "dispersion_study.toml")

CHILD = """
import math, sys
import numpy as np
import aeso
from aeso_dispersion import Threads, load_study
mode, n, samples = sys.argv[1], int(sys.argv[2]), sys.argv[3]
study = load_study(sys.argv[4])
if mode in ("bare", "bare-setup"):
    data = np.load(samples)
    columns = {name.split(".", 1)[1]: data["samples"][:n, i].tolist()
               for i, name in enumerate(data["names"])}
    fixed = {**study.rocket, **study.initial_state}
    get = {k: columns.get(k, [fixed[k]] * n) for k in fixed}
    keys = ("mass", "cd", "area_drag", "area_lift", "moment_of_inertia",
            "stab_margin_dimensional", "cl_a")
    rockets = [aeso.Rocket(*a) for a in zip(*(get[k] for k in keys))]
    states = [aeso.InitialState3DOF(x, y, a, -v * math.sin(a), v * math.cos(a), w)
              for x, y, a, v, w in zip(get["x"], get["y"], get["angle"], get["speed"],
                                       get["angular_rate"])]
    if mode == "bare":
        rk45 = aeso.OdeMethod.RK45
        apogees = [r.predict_apogee_3dof(s, rk45) for r, s in zip(rockets, states)]
elif mode == "study":
    study.run(n=n, seed=1, backend=Threads(1), progress=False)
"""


def count(mode, n, samples):
    """Instructions callgrind collects for one child process."""
    return instructions(CHILD, mode, n, samples, EXAMPLE)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", type=int, default=5000,
                        help="samples, a multiple of the block size (the second count uses 2n)")
    args = parser.parse_args()
    from aeso_dispersion import Threads, load_study
    import numpy as np

    study = load_study(EXAMPLE)
    if args.n % study.block_size:
        parser.error(f"-n must be a multiple of the block size {study.block_size}, so that the "
                     "first n of 2n samples are the samples of a study of n")
    with tempfile.TemporaryDirectory() as workdir:
        samples = os.path.join(workdir, "samples.npz")
        result = study.run(n=2 * args.n, seed=1, backend=Threads(1), progress=False)
        np.savez(samples, names=np.array(result.names), samples=result.samples)
        loops = {}
        for n in (args.n, 2 * args.n):
            bare = count("bare", n, samples) - count("bare-setup", n, samples)
            study = count("study", n, samples) - count("study-setup", n, samples)
            loops[n] = bare, study
            print(f"n = {n}: bare loop {bare / 1e6:,.1f} M instructions, study {study / 1e6:,.1f} M "
                  f"({100 * (study / bare - 1):+.2f} %)")
    (bare1, study1), (bare2, study2) = loops[args.n], loops[2 * args.n]
    marginal_bare, marginal_study = bare2 - bare1, study2 - study1
    print(f"samples {args.n + 1}..{2 * args.n}: bare loop {marginal_bare / args.n:,.0f}, study "
          f"{marginal_study / args.n:,.0f} instructions per sample "
          f"({100 * (marginal_study / marginal_bare - 1):+.2f} %: the tool's own work per sample)")
    fixed = study1 - bare1 * marginal_study / marginal_bare
    print(f"the study's fixed cost: about {fixed / 1e6:,.0f} M instructions "
          f"({fixed / (marginal_bare / args.n):,.0f} bare runs)")


if __name__ == "__main__":
    main()
