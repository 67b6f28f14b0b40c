"""The JSON summary writer: every value representable, files written whole."""

import json
import math
import os
import stat

import numpy as np
import pytest

from aeso_dispersion import files
from aeso_dispersion.intervals import Interval
from aeso_dispersion.report import plain, write_json


def test_values_become_json_and_non_finite_numbers_null():
    document = {
        "interval": Interval(np.float64(2.5), -math.inf, 3.0),
        "thresholds": {3048.0: Interval(0.1, 0.05, 0.2)},
        "counts": (np.int64(3), True, np.bool_(False)),
        "missing": math.nan,
        "text": "x",
    }
    assert plain(document) == {
        "interval": {"estimate": 2.5, "low": None, "high": 3.0},
        "thresholds": {"3048": {"estimate": 0.1, "low": 0.05, "high": 0.2}},
        "counts": [3, True, False],
        "missing": None,
        "text": "x",
    }


def test_written_whole_and_readable_by_others(tmp_path):
    path = tmp_path / "summary.json"
    write_json(path, {"n": 5, "mean": Interval(1.0, 0.5, math.inf)})
    assert json.loads(path.read_text()) == {"n": 5, "mean": {"estimate": 1.0, "low": 0.5, "high": None}}
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o644


def test_a_failed_write_leaves_the_earlier_file_and_no_litter(tmp_path, monkeypatch):
    path = tmp_path / "summary.json"
    write_json(path, {"n": 1})
    with pytest.raises(TypeError):
        write_json(path, {"n": object()})

    def full_disk(*args):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(files.os, "replace", full_disk)
    with pytest.raises(OSError, match="No space"):
        write_json(path, {"n": 2})
    assert json.loads(path.read_text()) == {"n": 1}
    assert os.listdir(tmp_path) == ["summary.json"]
