"""Every observable result of bench/run_hashes.py's broad set of runs hashes to
the recorded values: the same bits on every build, compiler and architecture
(NaNs compared as equal, since their sign and payload are not results)."""

import pathlib
import subprocess
import sys

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
