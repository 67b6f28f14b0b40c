"""The machine-readable summary of a study, as JSON.

An interval is written as {"estimate": ..., "low": ..., "high": ...}. JSON
has no infinity or NaN: an unbounded side and a missing value are written
as null (and the reader learns which from the side: a null "low" is -inf, a
null "high" +inf, a null "estimate" means there was no value).
"""

import json
import math

import numpy as np

from . import files
from .intervals import Interval

FORMAT = "aeso-dispersion summary"
FORMAT_VERSION = 1


def _interval(interval):
    return {"estimate": _number(interval.estimate), "low": _number(interval.low),
            "high": _number(interval.high)}


def _number(value):
    value = float(value)
    return value if math.isfinite(value) else None


def plain(value):
    """`value` with Intervals, NumPy scalars, tuples and float keys turned
    into what JSON holds; non-finite floats become None."""
    if isinstance(value, Interval):
        return _interval(value)
    if isinstance(value, dict):
        return {(k if isinstance(k, str) else format(k, "g") if isinstance(k, float) else str(k)):
                plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return _number(value)
    return value


def write_json(path, document, inputs=()):
    """Writes the document to `path` in one piece: a reader never sees a
    partly written file, and a failed write leaves any earlier file alone
    (see files.replacing). `inputs`: the files, (what, path), that it must
    not replace (a study's, see Study.files)."""
    text = json.dumps(plain(document), indent=2, allow_nan=False) + "\n"
    files.check_target(path, "--json")
    files.check_distinct([("the --json file", str(path))], inputs)
    with files.replacing(path) as temporary:
        with open(temporary, "w", encoding="utf-8") as f:
            f.write(text)
