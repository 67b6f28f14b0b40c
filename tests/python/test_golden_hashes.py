"""Every observable result of bench/run_hashes.py's broad set of runs hashes to
the recorded values: the same bits on every build, compiler and architecture
(NaNs compared as equal, since their sign and payload are not results)."""

import importlib.util
import pathlib
import struct
import subprocess
import sys

import numpy as np
import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "bench" / "run_hashes.py"

# Recorded from x86-64 (GCC 12 and GCC 16) and aarch64 (GCC 12) builds, which
# agree. A deliberate change of results updates these values and says so.
GOLDEN = {
    "rockets x initial states": "06131bab84ce0bd7",
    "step options": "f68ef2421a081aa1",
    "iteration limits": "9829ccb7c166d983",
    "printed output": "2f6f96bcf2856a51",
    "step controller": "d8dc605cad61d7a7",
    "rejected arguments": "ae0de568b811bddf",
    "total": "e359df9e62de97d434064b920a817eb11cc9fcc813ee1ec206e89ed82a4a15ca",
}


def from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


# NaNs as different machines make them: x86-64's default (negative), ARM's
# (positive), signalling-pattern and payload-carrying ones.
NANS = [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0xFFF80000DEADBEEF]


@pytest.fixture(scope="module")
def run_hashes():
    spec = importlib.util.spec_from_file_location("run_hashes", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("bits", NANS)
def test_every_nan_hashes_alike_and_nothing_else_changes(run_hashes, bits):
    nan = from_bits(bits)
    assert run_hashes.float_bytes(nan) == run_hashes.float_bytes(float("nan"))
    values = np.array([[1.5, nan], [-0.0, np.inf]])
    original = values.tobytes()
    canonical = np.array([[1.5, np.nan], [-0.0, np.inf]])
    assert run_hashes.array_bytes(values) == run_hashes.array_bytes(canonical)
    assert values.tobytes() == original, "the result array itself was changed"


@pytest.mark.parametrize("a, b", [(0.0, -0.0), (1.0, np.nextafter(1.0, 2.0)), (np.inf, -np.inf)])
def test_distinct_numbers_hash_differently(run_hashes, a, b):
    assert run_hashes.float_bytes(a) != run_hashes.float_bytes(b)
    assert run_hashes.array_bytes(np.array([a])) != run_hashes.array_bytes(np.array([b]))


def section_hashes(output):
    """{section name: hash} from the script's output lines "name   hash"."""
    hashes = {}
    for line in output.splitlines():
        name, _, digest = line.rstrip().rpartition(" ")
        hashes[name.strip()] = digest
    return hashes


def test_results_hash_to_the_recorded_values():
    # The script runs as its own process: it redirects file descriptors 1 and 2
    # to capture what the module prints.
    completed = subprocess.run([sys.executable, str(SCRIPT)], capture_output=True, text=True)
    assert completed.returncode == 0, completed.stderr
    hashes = section_hashes(completed.stdout)
    differing = {name: (hashes.get(name), digest) for name, digest in GOLDEN.items()
                 if hashes.get(name) != digest}
    assert not differing, f"sections whose results changed (got, recorded): {differing}"
