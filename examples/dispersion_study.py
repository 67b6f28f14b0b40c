"""Dispersion study
================

Describe a dispersion study in Python with ``aeso_dispersion``, run it, print
its summary and sensitivity ranking, and plot the apogee distribution and its
strongest driver.

The study is the one in ``examples/dispersion_study.toml``, which the command
line runs::

    aeso-dispersion examples/dispersion_study.toml -n 100000 --seed 1 --plot dispersion.png
"""

import numpy as np

from aeso_dispersion import Study, normal, uniform

# The reference rocket at burnout; every uncertain input is a distribution.
study = Study(
    rocket=dict(
        mass=normal(20.0, 0.4),                      # kg
        cd=normal(0.45, 0.03),                       # drag coefficient
        area_drag=0.0081, area_lift=0.0081,          # m^2
        moment_of_inertia=uniform(8.0, 9.0),         # kg m^2
        stab_margin_dimensional=normal(0.25, 0.02),  # m
        cl_a=2.0,                                    # per radian
    ),
    # Pitch angle from the vertical (rad) and speed along the body axis (m/s).
    initial_state=dict(x=0.0, y=0.0, angle=normal(0.05, 0.02), speed=normal(250.0, 5.0),
                       angular_rate=normal(0.0, 0.01)),
    solver=dict(method="RK45", max_iterations=100000),
)
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
    # The two panels one above the other: a phone's width shows them too.
    fig, (hist, scatter) = plt.subplots(2, 1, figsize=(5.5, 7))
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
