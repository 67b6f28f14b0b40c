"""The order of the examples gallery: first steps first.

Named in conf.py by its import path, so that Sphinx can cache the
configuration (a function written in conf.py itself cannot be pickled).
"""

ORDER = ("quickstart.py", "flight_profile.py", "apogee_targeting.py", "controlled_flight.py", "flight_data.py",
         "dispersion_study.py")


def key(filename):
    """Sort key of a gallery script: its place in ORDER, then any other
    script by name."""
    return (ORDER.index(filename) if filename in ORDER else len(ORDER), filename)
