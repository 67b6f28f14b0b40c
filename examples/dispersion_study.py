"""Dispersion study
================

Run the example study file with ``aeso_dispersion``, print its summary and
sensitivity ranking, and plot the apogee distribution and its strongest driver.

The same study from the command line::

    aeso-dispersion examples/dispersion_study.toml -n 100000 --seed 1 --plot dispersion.png
"""

import os

import numpy as np

from aeso_dispersion import load_study

# The study file beside this script (the gallery runs scripts without
# __file__, from their own directory).
HERE = os.path.dirname(os.path.abspath(__file__)) if "__file__" in globals() else os.getcwd()
study = load_study(os.path.join(HERE, "dispersion_study.toml"))
print(study)

# A few thousand samples keep the example quick; the same seed gives the same
# samples and apogees on any backend and worker count.
result = study.run(n=4000, seed=1)
print(result)

# %%
# The apogees, and the inputs ranked by their rank correlation with the apogee.

try:
    import matplotlib.pyplot as plt
except ImportError:
    print("(matplotlib is not installed: no figure)")
else:
    ok = ~result.failed
    apogees = result.apogees[ok]
    name, rho = result.sensitivity()[0]
    fig, (hist, scatter) = plt.subplots(1, 2, figsize=(11, 4))
    hist.hist(apogees, bins=50, color="#4c72b0")
    for p in (5, 50, 95):
        hist.axvline(float(np.percentile(apogees, p)), color="#c44e52", linewidth=1)
    hist.set_xlabel("apogee (m)")
    hist.set_ylabel("runs")
    hist.set_title("apogee histogram, percentiles 5/50/95")
    scatter.scatter(result.sample(name)[ok], apogees, s=2, alpha=0.4)
    scatter.set_xlabel(name)
    scatter.set_ylabel("apogee (m)")
    scatter.set_title(f"most influential input (Spearman rho {rho:+.3f})")
    fig.tight_layout()
