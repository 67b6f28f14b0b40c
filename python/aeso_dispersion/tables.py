"""The drag and brake tables a study file names, read from CSV files.

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

Whether the values make a valid table (increasing, finite, a deployment
axis from 0 to 1, ...) is the study's to check (see real_air); here each
problem of the text is named with its file and line.
"""

import csv
import math

from .errors import StudyError


def _rows(path, key):
    """(line number, fields) of each line that is neither blank nor a comment."""
    try:
        with open(path, encoding="utf-8", newline="") as f:
            text = f.read()
    except OSError as exc:
        raise StudyError(key, f"cannot read {path}: {exc.strerror}") from None
    except UnicodeDecodeError as exc:
        raise StudyError(key, f"{path} is not UTF-8 text (byte {exc.start})") from None
    rows = []
    for number, fields in enumerate(csv.reader(text.splitlines()), 1):
        if not fields or not "".join(fields).strip() or fields[0].lstrip().startswith("#"):
            continue
        rows.append((number, [field.strip() for field in fields]))
    if not rows:
        raise StudyError(key, f"{path} holds no table")
    return rows


def _number(path, key, number, text):
    try:
        value = float(text)
    except ValueError:
        raise StudyError(key, f"{path} line {number}: {text!r} is not a number") from None
    if not math.isfinite(value):
        raise StudyError(key, f"{path} line {number}: {text!r} is not a finite number")
    return value


def _is_number(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


def read_drag(path, key="drag.file"):
    """(mach, cd) of the drag table in the CSV file at `path`: lists of floats."""
    rows = _rows(path, key)
    if not all(_is_number(field) for field in rows[0][1]):
        rows = rows[1:]  # the header
    mach, cd = [], []
    for number, fields in rows:
        if len(fields) != 2:
            raise StudyError(key, f"{path} line {number}: {len(fields)} fields where a drag table has 2 "
                                  f"(Mach number, drag coefficient)")
        mach.append(_number(path, key, number, fields[0]))
        cd.append(_number(path, key, number, fields[1]))
    if not mach:
        raise StudyError(key, f"{path} holds a header but no points")
    return mach, cd


def read_brakes(path, key="brakes.file"):
    """(levels, mach, cd) of the brake table in the CSV file at `path`:
    lists of floats, cd one list per level."""
    rows = _rows(path, key)
    (first, header), body = rows[0], rows[1:]
    mach = [_number(path, key, first, field) for field in header[1:]]
    if not mach:
        raise StudyError(key, f"{path} line {first}: no Mach numbers after the label")
    if not body:
        raise StudyError(key, f"{path} has Mach numbers but no deployment levels")
    levels, cd = [], []
    for number, fields in body:
        if len(fields) != len(header):
            raise StudyError(key, f"{path} line {number}: {len(fields)} fields where the first line has "
                                  f"{len(header)} (a level, then a drag coefficient per Mach number)")
        levels.append(_number(path, key, number, fields[0]))
        cd.append([_number(path, key, number, field) for field in fields[1:]])
    return levels, mach, cd
