#!/usr/bin/env python3
"""How many runs a paired comparison saves against two separate studies.

For design variants of examples/dispersion_study.toml, flies the example
(A) and the variant (B) on the same draws with `aeso-dispersion compare`'s
engine and prints, per variant, the mean difference of the apogee and the
ratio (Var A + Var B) / Var(B - A): two separate studies (independent
draws) need that many times the runs of the paired comparison for the
same confidence interval of the mean difference.

    python3 bench/paired_comparison.py              # n = 20000, seed 1
    python3 bench/paired_comparison.py -n 5000 --seed 3
"""

import argparse
import pathlib
import tempfile

from aeso_dispersion import load_study
from aeso_dispersion.comparison import compare, runs_ratio

EXAMPLE = pathlib.Path(__file__).parents[1] / "examples" / "dispersion_study.toml"
# (description, text in the example, its replacement)
VARIANTS = [
    ("area_drag 0.0081 -> 0.0078 (a fixed property)", "area_drag = 0.0081   ", "area_drag = 0.0078   "),
    ("cd mean 0.45 -> 0.42 (a dispersed input)", "mean = 0.45, std = 0.03", "mean = 0.42, std = 0.03"),
    ("cl_a 2.0 -> 4.0 (a property of the attitude)", "cl_a = 2.0   ", "cl_a = 4.0   "),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    text = EXAMPLE.read_text()
    a = load_study(EXAMPLE)
    print(f"| variant B of the example study (n = {args.n}, seed {args.seed}) | mean B - A of the apogee (m) "
          f"| runs of two separate studies / paired runs |")
    print("|---|---|---|")
    with tempfile.TemporaryDirectory() as directory:
        for description, old, new in VARIANTS:
            assert old in text, old
            path = pathlib.Path(directory) / "b.toml"
            path.write_text(text.replace(old, new))
            comparison = compare(a, load_study(path), n=args.n, seed=args.seed, progress=False)
            mean = comparison.statistics()["apogee"]["mean_difference"]
            print(f"| {description} | {mean.estimate:.2f} ({mean.low:.2f} to {mean.high:.2f}) "
                  f"| {runs_ratio(comparison):.0f} |")


if __name__ == "__main__":
    main()
