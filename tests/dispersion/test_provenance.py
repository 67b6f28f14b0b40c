"""A results file explains itself: the tool and its version, the seed, the
block size, the study file and its hash, and every fixed input."""

import hashlib
import json
from importlib.metadata import version

import pytest

from aeso_dispersion import load_study

from test_cli import run
from test_config import EXAMPLE


def csv_metadata(path):
    with open(path) as f:
        return dict(line[2:].rstrip("\n").split(": ", 1) for line in f if line.startswith("# "))


def expected(seed, block_size):
    study = load_study(EXAMPLE)
    fixed = {f"fixed {name}": repr(value) for name, value in study.fixed.items()}
    assert "fixed rocket.area_drag" in fixed and "fixed solver.dt_max" in fixed
    return {"tool": "aeso-dispersion", "version": version("aeso"), "seed": str(seed),
            "block_size": str(block_size), "study_file": str(EXAMPLE), "model": "3dof",
            "method": "RK45", "max_iterations": "100000",
            "study_sha256": hashlib.sha256(EXAMPLE.read_bytes()).hexdigest(),
            "dispersed rocket.mass": "normal(mean=20.0, std=0.4)",
            "dispersed rocket.moment_of_inertia": "uniform(low=8.0, high=9.0)", "correlation": "none",
            "failure 1": "no apogee within max_iterations (100000)", **fixed}


def test_csv_carries_metadata_and_fixed_inputs(tmp_path):
    path = tmp_path / "runs.csv"
    proc = run(EXAMPLE, "-n", 20, "--seed", 11, "--csv", path)
    assert proc.returncode == 0, proc.stderr
    meta = csv_metadata(path)
    for key, value in expected(11, 1000).items():
        assert meta[key] == value, key
    assert meta["fingerprint"] == load_study(EXAMPLE).fingerprint


def test_parquet_carries_the_same_metadata(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    path = tmp_path / "runs.parquet"
    load_study(EXAMPLE).run(n=20, seed=11, progress=False, output=path)
    meta = json.loads(pq.read_schema(path).metadata[b"aeso_dispersion"])
    assert meta == csv_metadata_of_same_run(tmp_path)


def csv_metadata_of_same_run(tmp_path):
    path = tmp_path / "same.csv"
    load_study(EXAMPLE).run(n=20, seed=11, progress=False, output=path)
    return csv_metadata(path)


@pytest.mark.parametrize("old, new, same", [
    ("# kg", "# kilograms", True),
    ("std = 0.4", "std = 0.5", False),
    ("max_iterations = 100000", "max_iterations = 99999", False),
    ("cl_a = 2.0", "cl_a = 2.0000000000000004", False),
])
def test_fingerprint_follows_what_results_depend_on(tmp_path, old, new, same):
    path = tmp_path / "study.toml"
    path.write_text(EXAMPLE.read_text().replace(old, new))
    assert (load_study(path).fingerprint == load_study(EXAMPLE).fingerprint) == same


def test_version_option():
    proc = run("--version")
    assert proc.returncode == 0 and proc.stdout.strip() == f"aeso-dispersion {version('aeso')}"


def test_a_resumed_file_names_the_study_file_it_was_finished_with(tmp_path):
    """A comment-only edit keeps the results; the file records the new hash."""
    study, path, whole = tmp_path / "study.toml", tmp_path / "runs.csv", tmp_path / "whole.csv"
    study.write_text(EXAMPLE.read_text().replace("seed = 1 ", "seed = 1\nblock_size = 10 "))
    assert run(study, "-n", 20, "--csv", path).returncode == 0
    study.write_text(study.read_text().replace("# kg", "# kilograms"))
    assert run(study, "-n", 40, "--csv", path, "--resume").returncode == 0
    assert run(study, "-n", 40, "--csv", whole).returncode == 0
    assert csv_metadata(path)["study_sha256"] == hashlib.sha256(study.read_bytes()).hexdigest()
    assert path.read_bytes() == whole.read_bytes()


def test_the_file_records_the_correlation(tmp_path):
    study = tmp_path / "study.toml"
    study.write_text(EXAMPLE.read_text() + "[correlation]\ninputs = [\"mass\", \"cd\"]\n"
                     "matrix = [[1.0, 0.25], [0.25, 1.0]]\n")
    assert run(study, "-n", 20, "--csv", tmp_path / "runs.csv").returncode == 0
    assert json.loads(csv_metadata(tmp_path / "runs.csv")["correlation"]) == {
        "inputs": ["rocket.mass", "rocket.cd"], "rank_correlation": [[1.0, 0.25], [0.25, 1.0]]}
