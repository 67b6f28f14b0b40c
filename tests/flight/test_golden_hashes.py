"""Every observable result of bench/flight_hashes.py's real-air runs hashes to
the recorded values: the same bits on every build, compiler and
architecture (NaNs compared as equal)."""

import importlib.util
import pathlib

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "bench" / "flight_hashes.py"

# Recorded from an x86-64 build (GCC 12); the CPython 3.14 pass (GCC 16) and
# the arm64 pass (GCC 12, aarch64) check them. A deliberate change of results
# updates these values and says so.
GOLDEN = {
    "predictions": "6185397f976d5b7d",
    "flight logs": "2cb83d5c74f51f65",
    "inverses": "b72b701fa9c772e0",
    "controlled flights": "5473c4dee793e879",
    "study block": "c314613ff2b41478",
    "atmospheres": "d8c74a62996823e7",
    "failures": "80a4f2d7f0d1a1de",
    "flight data": "793f246b9f770c3e",
    "flight computer": "2ed2b6e02ddf53cc",
}


@pytest.fixture(scope="module")
def hashes():
    spec = importlib.util.spec_from_file_location("flight_hashes", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.hashes()[0]


@pytest.mark.parametrize("section", sorted(GOLDEN))
def test_results_are_the_recorded_bits(hashes, section):
    assert hashes[section][0] == GOLDEN[section]
