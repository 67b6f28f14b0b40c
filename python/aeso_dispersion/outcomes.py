"""The outcomes of a run, in one table that new outcomes extend.

The native runner fills one row of a block's outcome array per name in
_flights.OUTCOMES, in that order; this table gives each its place in the
results (the DispersionResult attribute), its heading and unit in the
summary, and the models that give it. Statistics, stopping rules,
thresholds, sensitivities, comparisons and export columns name an outcome
by `name`.
"""

from typing import NamedTuple

from . import _flights


class Outcome(NamedTuple):
    name: str          # export column, and the outcome's name in rules and statistics
    attribute: str     # the DispersionResult attribute holding its values
    label: str         # the summary's column heading
    unit: str
    models: tuple      # the models whose runs give it


OUTCOMES = (
    Outcome("apogee", "apogees", "apogee (m)", "m", ("1dof", "3dof")),
    Outcome("time_of_apogee", "apogee_times", "time (s)", "s", ("1dof", "3dof")),
    Outcome("downrange", "downrange", "downrange (m)", "m", ("3dof",)),
    Outcome("speed_at_apogee", "apogee_speeds", "speed (m/s)", "m/s", ("3dof",)),
)
if tuple(outcome.name for outcome in OUTCOMES) != _flights.OUTCOMES:
    raise ImportError(f"the outcome table {[o.name for o in OUTCOMES]} does not match the native "
                      f"runner's rows {list(_flights.OUTCOMES)}: the build is out of date")

NAMES = tuple(outcome.name for outcome in OUTCOMES)
# Each outcome's row in a block's outcome array.
ROW = {outcome.name: row for row, outcome in enumerate(OUTCOMES)}
UNITS = {outcome.name: outcome.unit for outcome in OUTCOMES}


def of_model(model):
    """The outcomes a model's runs give, in table order."""
    return tuple(outcome for outcome in OUTCOMES if model in outcome.models)


def names_of_model(model):
    """The names of the outcomes a model's runs give."""
    return tuple(outcome.name for outcome in of_model(model))
