"""Drag and brake tables read from CSV files: the one reader of both
formats (``Drag.from_csv``, ``Brakes.from_csv`` and the study tool's
``[drag] file`` and ``[brakes] file`` use it).

Both are plain CSV text (UTF-8, comma-separated). Blank lines and lines that
begin with "#" are skipped.

A drag table has two columns, the Mach number and the drag coefficient
there, one point per line, optionally under a header line (any line whose
fields are not numbers, such as ``mach,cd``)::

    mach,cd
    0.15,0.422
    0.45,0.380

A brake table is a grid: its first line is a label (any text, or nothing)
followed by the Mach numbers; each next line is a deployment level from 0
to 1 followed by its drag coefficient at each of those Mach numbers::

    deployment \\ mach,0.3,0.9
    0.0,0.00,0.00
    0.5,0.40,0.45
    1.0,0.90,1.00

Here each problem of the text is named with its file and line; whether the
values make a valid table (increasing, finite, a deployment axis from 0 to
1, ...) is :class:`Drag`'s and :class:`Brakes`' to check.
"""

from __future__ import annotations

import csv
import math
import os

__all__ = ["TableError", "read_brake_table", "read_drag_table", "text_rows"]

_Path = str | os.PathLike[str]


class TableError(ValueError):
    """A table file that cannot be read: its message names the file and,
    where there is one, the line."""


def text_rows(path: _Path, comments: bool = True) -> list[tuple[int, list[str]]]:
    """(line number, stripped fields) of each line of a CSV file that is
    not blank (nor, with ``comments``, a line that begins with "#").

    Parameters
    ----------
    path : str or os.PathLike
        The file (UTF-8).
    comments : bool, default True
        Whether lines that begin with "#" are skipped.

    Returns
    -------
    list of (int, list of str)

    Raises
    ------
    TableError
        The file cannot be read, is not UTF-8 or holds no line.

    Examples
    --------
    >>> import os, tempfile
    >>> from aeso_flight.tables import text_rows
    >>> with tempfile.TemporaryDirectory() as folder:
    ...     path = os.path.join(folder, "log.csv")
    ...     with open(path, "w") as f:
    ...         _ = f.write("t, p\\n\\n0, 1\\n")
    ...     text_rows(path)
    [(1, ['t', 'p']), (3, ['0', '1'])]
    """
    try:
        with open(path, encoding="utf-8", newline="") as f:
            text = f.read()
    except OSError as exc:
        raise TableError(f"cannot read {os.fspath(path)}: {exc.strerror}") from None
    except UnicodeDecodeError as exc:
        raise TableError(f"{os.fspath(path)} is not UTF-8 text (byte {exc.start})") from None
    rows = []
    for number, fields in enumerate(csv.reader(text.splitlines()), 1):
        if not fields or not "".join(fields).strip() or (comments and fields[0].lstrip().startswith("#")):
            continue
        rows.append((number, [field.strip() for field in fields]))
    if not rows:
        raise TableError(f"{os.fspath(path)} holds no table")
    return rows


def number(where: str, text: str) -> float:
    """The finite number a field holds; a TableError beginning with `where`
    (the file and the line, say) otherwise."""
    try:
        value = float(text)
    except ValueError:
        raise TableError(f"{where}: {text!r} is not a number") from None
    if not math.isfinite(value):
        raise TableError(f"{where}: {text!r} is not a finite number")
    return value


def _number(path: _Path, line: int, text: str) -> float:
    return number(f"{os.fspath(path)} line {line}", text)


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def read_drag_table(path: _Path) -> tuple[list[float], list[float]]:
    """(mach, cd) of the drag table in the CSV file at ``path``: lists of floats.

    Parameters
    ----------
    path : str or os.PathLike
        The file.

    Returns
    -------
    mach, cd : list of float

    Raises
    ------
    TableError
        The file cannot be read, is not UTF-8, holds no table or no point,
        or a line does not hold two numbers (the message names the line).

    Examples
    --------
    >>> import os, tempfile
    >>> from aeso_flight.tables import read_drag_table
    >>> with tempfile.TemporaryDirectory() as folder:
    ...     path = os.path.join(folder, "drag.csv")
    ...     with open(path, "w") as f:
    ...         _ = f.write("mach,cd\\n0.3,0.40\\n0.9,0.33\\n")
    ...     read_drag_table(path)
    ([0.3, 0.9], [0.4, 0.33])
    """
    rows = text_rows(path)
    if not all(_is_number(field) for field in rows[0][1]):
        rows = rows[1:]  # the header
    mach, cd = [], []
    for number, fields in rows:
        if len(fields) != 2:
            raise TableError(f"{os.fspath(path)} line {number}: {len(fields)} fields where a drag table has 2 "
                             f"(Mach number, drag coefficient)")
        mach.append(_number(path, number, fields[0]))
        cd.append(_number(path, number, fields[1]))
    if not mach:
        raise TableError(f"{os.fspath(path)} holds a header but no points")
    return mach, cd


def read_brake_table(path: _Path) -> tuple[list[float], list[float], list[list[float]]]:
    """(levels, mach, cd) of the brake table in the CSV file at ``path``:
    lists of floats, ``cd`` one list per level.

    Parameters
    ----------
    path : str or os.PathLike
        The file.

    Returns
    -------
    levels, mach : list of float
    cd : list of list of float

    Raises
    ------
    TableError
        The file cannot be read, is not UTF-8 or holds no table; no Mach
        number or no level; a line of another length than the first, or a
        field that is not a number (the message names the line).

    Examples
    --------
    >>> import os, tempfile
    >>> from aeso_flight.tables import read_brake_table
    >>> with tempfile.TemporaryDirectory() as folder:
    ...     path = os.path.join(folder, "brakes.csv")
    ...     with open(path, "w") as f:
    ...         _ = f.write("level,0.3,0.9\\n0,0,0\\n1,0.9,1.0\\n")
    ...     read_brake_table(path)
    ([0.0, 1.0], [0.3, 0.9], [[0.0, 0.0], [0.9, 1.0]])
    """
    rows = text_rows(path)
    (first, header), body = rows[0], rows[1:]
    mach = [_number(path, first, field) for field in header[1:]]
    if not mach:
        raise TableError(f"{os.fspath(path)} line {first}: no Mach numbers after the label")
    if not body:
        raise TableError(f"{os.fspath(path)} has Mach numbers but no deployment levels")
    levels, cd = [], []
    for number, fields in body:
        if len(fields) != len(header):
            raise TableError(f"{os.fspath(path)} line {number}: {len(fields)} fields where the first line has "
                             f"{len(header)} (a level, then a drag coefficient per Mach number)")
        levels.append(_number(path, number, fields[0]))
        cd.append([_number(path, number, field) for field in fields[1:]])
    return levels, mach, cd
