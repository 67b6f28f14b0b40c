"""Summary, sensitivity ranking, exports and the figure of a result."""

import csv
import math
import struct
import sys

import numpy as np
import pytest

from aeso_dispersion import MissingExtra, Study, normal, uniform
from aeso_dispersion.results import ranks, spearman
from aeso_dispersion.variance_indices import first_order_index

from conftest import rocket_section


@pytest.fixture(scope="module")
def result():
    # Speed drives the apogee, cd pulls it down, mass pushes it up a little,
    # area_lift takes no part in the equations.
    study = Study(rocket=rocket_section(cd=normal(0.45, 0.1), mass=normal(20.0, 0.2),
                                        area_lift=uniform(0.005, 0.01)),
                  initial_state=dict(angle=0.05, speed=uniform(200.0, 300.0)),
                  solver=dict(method="RK45"), block_size=64)
    return study.run(n=600, seed=21, progress=False)


@pytest.mark.parametrize("values, expected", [
    ([3.0, 1.0, 2.0], [3.0, 1.0, 2.0]),
    ([5.0, 5.0, 1.0, 5.0], [3.0, 3.0, 1.0, 3.0]),
    ([2.0, 1.0, 2.0, 1.0], [3.5, 1.5, 3.5, 1.5]),
    ([7.0], [1.0]),
])
def test_ranks_share_ties(values, expected):
    np.testing.assert_array_equal(ranks(np.array(values)), expected)


def test_spearman_matches_scipy_with_ties():
    stats = pytest.importorskip("scipy.stats")
    rng = np.random.default_rng(0)
    x = rng.integers(0, 20, 300).astype(float)  # many ties
    y = x**3 + rng.normal(0, 2000, 300)
    assert spearman(x, y) == pytest.approx(stats.spearmanr(x, y).statistic, abs=1e-12)


@pytest.mark.parametrize("transform, expected", [
    (np.exp, 1.0), (lambda v: -v**3, -1.0), (lambda v: np.zeros_like(v), math.nan),
])
def test_spearman_of_monotone_transforms(transform, expected):
    x = np.linspace(-2, 2, 50)
    assert spearman(x, transform(x)) == pytest.approx(expected, nan_ok=True)


def test_summary_and_ranking(result):
    summary = result.summary()
    ok = result.apogees[~result.failed]
    assert summary["failed"] == 0 and summary["succeeded"] == ok.size == result.n
    assert summary["min"] <= summary["p1"] <= summary["p5"] <= summary["p50"]
    assert summary["p50"] <= summary["p95"] <= summary["p99"] <= summary["max"]
    assert summary["mean"] == pytest.approx(ok.mean())
    names = [name for name, _ in result.sensitivity()]
    assert names[:2] == ["initial_state.speed", "rocket.cd"]
    rho = dict(result.sensitivity())
    assert rho["initial_state.speed"] > 0.9 and rho["rocket.cd"] < -0.1
    assert abs(rho["rocket.area_lift"]) < 0.15
    text = str(result)
    assert "1     initial_state.speed" in text and "2     rocket.cd" in text


@pytest.mark.parametrize("outcome, values", [
    ("apogee", "apogees"), ("time_of_apogee", "apogee_times"), ("downrange", "downrange"),
    ("speed_at_apogee", "apogee_speeds"),
])
def test_sensitivity_of_every_outcome(result, outcome, values):
    y = getattr(result, values)
    table = dict(result.sensitivity(outcome))
    for i, name in enumerate(result.names):
        assert table[name] == spearman(result.samples[:, i], y)
        assert result.variance_indices(outcome)[name] == first_order_index(result.samples[:, i], y)
    assert result.format_sensitivity(outcome).startswith(f"sensitivity of the {outcome.replace('_', ' ')}:")


@pytest.mark.parametrize("n, area_lift, row", [
    (300, uniform(0.0081, 0.0081), "rocket.area_lift  (drawn from a distribution of zero width"),
    (50, uniform(0.005, 0.01), "  -      -  (S1 needs 100 successful runs)"),
])
def test_sensitivity_rows_say_why_they_have_no_number(n, area_lift, row):
    study = Study(rocket=rocket_section(cd=normal(0.45, 0.1), area_lift=area_lift),
                  initial_state=dict(angle=0.05, speed=250.0), solver=dict(method="RK45"))
    text = study.run(n=n, seed=2, progress=False).format_sensitivity()
    assert row in text and "nan" not in text


def test_to_pandas_holds_the_columns_of_the_results_file(result, tmp_path):
    pytest.importorskip("pandas")
    frame = result.to_pandas()
    result.save(tmp_path / "out.csv")
    with open(tmp_path / "out.csv", newline="") as f:
        rows = list(csv.reader(line for line in f if not line.startswith("# ")))
    assert list(frame.columns) == rows[0]
    for j, name in enumerate(rows[0][:-1]):
        np.testing.assert_array_equal(frame[name].to_numpy(), [float(row[j]) for row in rows[1:]], err_msg=name)
    assert frame["failure"].tolist() == [row[-1] for row in rows[1:]]
    assert frame.attrs["seed"] == "21" and frame["rocket.cd"].to_numpy().tolist() == result.sample("cd").tolist()


def test_csv_round_trips_exactly(result, tmp_path):
    path = tmp_path / "out.csv"
    result.save(path)
    with open(path, newline="") as f:
        rows = list(csv.reader(line for line in f if not line.startswith("# ")))
    outcomes = ["apogee", "time_of_apogee", "downrange", "speed_at_apogee"]
    assert rows[0] == list(result.names) + outcomes + ["steps", "failure_code", "failure"]
    assert len(rows) == result.n + 1
    table = np.array([[float(v) for v in row[:-1]] for row in rows[1:]])
    dispersed = len(result.names)
    np.testing.assert_array_equal(table[:, :dispersed], result.samples)
    for column, values in enumerate((result.apogees, result.apogee_times, result.downrange,
                                     result.apogee_speeds, result.steps), dispersed):
        np.testing.assert_array_equal(table[:, column], values)
    assert [row[-1] or None for row in rows[1:]] == [result.reason(i) for i in range(result.n)]


def test_parquet_round_trips_exactly(result, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    path = tmp_path / "out.parquet"
    result.save(path)
    table = pq.read_table(path)
    np.testing.assert_array_equal(table.column("apogee").to_numpy(), result.apogees)
    np.testing.assert_array_equal(table.column("rocket.cd").to_numpy(), result.sample("cd"))
    assert table.column("failure").to_pylist() == [result.reason(i) or "" for i in range(result.n)]


def png_size(path):
    data = open(path, "rb").read(24)
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


def test_figure_is_a_png(result, tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "fig.png"
    result.plot(path)
    assert png_size(path) == (1300, 420)


@pytest.mark.parametrize("module, call, extra", [
    ("matplotlib", lambda r, p: r.plot(p / "f.png"), "aeso[dispersion]"),
    ("pyarrow", lambda r, p: r.save(p / "f.parquet"), "aeso[parquet]"),
    ("tqdm", lambda r, p: r.study.run(n=5, seed=1, progress=True), "aeso[dispersion]"),
    ("distributed", lambda r, p: r.study.run(n=5, seed=1, backend="dask"), "aeso[dask]"),
])
def test_missing_extra_names_what_to_install(result, tmp_path, monkeypatch, module, call, extra):
    for name in list(sys.modules):
        if name == module or name.startswith(module + "."):
            monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, module, None)  # import fails
    with pytest.raises(MissingExtra, match=rf"pip install '{re_escape(extra)}'"):
        call(result, tmp_path)


def re_escape(text):
    import re

    return re.escape(text)
