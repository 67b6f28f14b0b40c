"""The drag and brake tables a study file names, read from CSV files by
aeso_flight's reader (aeso_flight.tables says the formats); a problem of
the text becomes a StudyError of the file's key."""

from aeso_flight.tables import TableError, read_brake_table, read_drag_table

from .errors import StudyError


def read_drag(path, key="drag.file"):
    """(mach, cd) of the drag table in the CSV file at `path`: lists of floats."""
    try:
        return read_drag_table(path)
    except TableError as exc:
        raise StudyError(key, str(exc)) from None


def read_brakes(path, key="brakes.file"):
    """(levels, mach, cd) of the brake table in the CSV file at `path`:
    lists of floats, cd one list per level."""
    try:
        return read_brake_table(path)
    except TableError as exc:
        raise StudyError(key, str(exc)) from None
