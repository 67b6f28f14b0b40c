"""Monte Carlo dispersion studies of a coasting rocket's apogee, on aeso.

Describe a study (nominal rocket, initial state and solver, with any numeric
input replaced by a distribution), in Python or in a TOML file, run n samples
on threads or on a Dask cluster, and read the outcomes of every run (apogee,
time of apogee, downrange drift and horizontal speed at apogee), the summary,
the sensitivity ranking, the arrays, a CSV/Parquet export and a figure::

    from aeso_dispersion import Threads, load_study
    result = load_study("examples/dispersion_study.toml").run(n=10000, seed=1, backend=Threads(workers=2))
    print(result)
    result.plot("dispersion.png")

The summary gives every percentile and the mean with its confidence interval,
and a study can run until a statistic is known precisely enough, with n as
the maximum; correlated inputs are drawn through a Gaussian copula::

    result = study.run(n=10**6, seed=1, until="p99=1.0")   # stop at +-1 m
    result.stopping, result.statistics(), result.to_json("summary.json")

The same seed gives bit-for-bit the same samples and apogees on any backend,
worker count and task grouping, and two designs flown on one seed share
their draws, so their paired difference needs far fewer runs than two
separate studies::

    comparison = compare(load_study("a.toml"), load_study("b.toml"), n=10000, seed=1)
    print(comparison)            # B - A per outcome, with intervals
    result.to_pandas()           # the runs as a DataFrame

The command-line tool is aeso-dispersion (and aeso-dispersion compare).
"""

from .backends import Dask, Threads
from .comparison import compare
from .config import load_study
from .distributions import (LogNormal, Normal, Triangular, Uniform, lognormal, normal, triangular,
                            uniform)
from .errors import DispersionError, MissingExtra, StudyError
from .results import DispersionResult
from .study import Study

__all__ = [
    "Study", "load_study", "DispersionResult", "Threads", "Dask", "compare",
    "normal", "lognormal", "uniform", "triangular", "Normal", "LogNormal", "Uniform", "Triangular",
    "StudyError", "DispersionError", "MissingExtra",
]
