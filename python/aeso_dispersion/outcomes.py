"""The outcomes of a run, in one table that new outcomes extend.

The native runners fill one row of a block's outcome array per name, in
this order: aeso's block runner (_flights.OUTCOMES) the first four, the
real air's (aeso_flight._arguments.BLOCK_OUTCOMES) all of them. This table
gives each its place in the results (the DispersionResult attribute), its
heading and unit in the summary, the models that give it and whether only
controlled flights do, or only those of a study with a flight computer or
a frame ([control] frame, raw sensors: FLIGHT_COMPUTER). Statistics, stopping rules, thresholds,
sensitivities, comparisons and export columns name an outcome by `name`.
"""

from typing import NamedTuple

from aeso_flight import _arguments as _real_air

from . import _flights


# What a study's runs are (a plan's and a study's `controlled`), each kind
# giving the outcomes of those before it: False; True (a controller flies
# the brakes); FLIGHT_COMPUTER (a controller with a frame or a flight
# computer on board: the apogee in the barometric frame too); DRAG_LEARNING
# (its controller learns its drag: the learned scale too). All but False
# are truthy.
FLIGHT_COMPUTER = "flight computer"
DRAG_LEARNING = "drag learning"
CONTROL_KINDS = (False, True, FLIGHT_COMPUTER, DRAG_LEARNING)


class Outcome(NamedTuple):
    name: str          # export column, and the outcome's name in rules and statistics
    attribute: str     # the DispersionResult attribute holding its values
    label: str         # the summary's column heading
    unit: str
    models: tuple      # the models whose runs give it
    controlled: object = False  # the first of CONTROL_KINDS whose runs give it


OUTCOMES = (
    Outcome("apogee", "apogees", "apogee (m)", "m", ("1dof", "3dof")),
    Outcome("time_of_apogee", "apogee_times", "time (s)", "s", ("1dof", "3dof")),
    Outcome("downrange", "downrange", "downrange (m)", "m", ("3dof",)),
    Outcome("speed_at_apogee", "apogee_speeds", "speed (m/s)", "m/s", ("3dof",)),
    Outcome("miss", "misses", "miss (m)", "m", ("1dof", "3dof"), True),
    Outcome("final_deployment", "final_deployments", "deployment", "", ("1dof", "3dof"), True),
    Outcome("deployment_travel", "deployment_travels", "travel", "", ("1dof", "3dof"), True),
    Outcome("barometric_apogee", "barometric_apogees", "altimeter (m)", "m", ("1dof", "3dof"), FLIGHT_COMPUTER),
    Outcome("learned_scale", "learned_scales", "learned scale", "", ("1dof", "3dof"), DRAG_LEARNING),
)
_NAMES = tuple(outcome.name for outcome in OUTCOMES)
if _NAMES != _real_air.BLOCK_OUTCOMES or _NAMES[:len(_flights.OUTCOMES)] != _flights.OUTCOMES:
    raise ImportError(f"the outcome table {list(_NAMES)} does not match the native runners' rows "
                      f"{list(_real_air.BLOCK_OUTCOMES)}: the build is out of date")

NAMES = _NAMES
# Each outcome's row in a block's outcome array.
ROW = {outcome.name: row for row, outcome in enumerate(OUTCOMES)}
UNITS = {outcome.name: outcome.unit for outcome in OUTCOMES}
# The rows aeso's block runner fills (flights in aeso's air).
PLAIN_ROWS = len(_flights.OUTCOMES)


def of_study(model, controlled=False):
    """The outcomes the runs of a study give, in table order: those of its
    model, for controlled flights the miss, final deployment and travel,
    with a flight computer or a frame (`controlled` FLIGHT_COMPUTER) the
    apogee an altimeter reads, and with drag learning the learned scale."""
    level = CONTROL_KINDS.index(controlled)
    return tuple(outcome for outcome in OUTCOMES
                 if model in outcome.models and CONTROL_KINDS.index(outcome.controlled) <= level)


def names_of_study(model, controlled=False):
    """The names of the outcomes a study's runs give."""
    return tuple(outcome.name for outcome in of_study(model, controlled))


def kind(model, controlled=False):
    """How a message names a study's kind: "3dof" or "controlled 3dof"."""
    return f"controlled {model}" if controlled else model
