#!/usr/bin/env python3
"""How long aeso-dispersion takes to exit after Ctrl-C, per backend.

Runs examples/controlled_study.toml with --csv, waits until the first block
is in the journal, sends SIGINT to the command alone or, as a terminal's
Ctrl-C does, to its whole process group, and measures the time until the
command has exited (status 130). Prints the median and the largest of
--repeat runs per backend and recipient.

    python3 bench/interrupt_latency.py               # threads and --dask-local 2, 3 runs each
    python3 bench/interrupt_latency.py --repeat 5
"""

import argparse
import os
import pathlib
import signal
import statistics
import subprocess
import sys
import tempfile
import time

EXAMPLES = pathlib.Path(__file__).parents[1] / "examples"
BACKENDS = {"threads": ["--workers", "2"], "dask-local 2": ["--dask-local", "2"]}
# The console script, with Python's own SIGINT handler whatever this process
# inherited (a shell's background job ignores SIGINT, and so would the CLI).
CONSOLE_SCRIPT = ("import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"
                  "from aeso_dispersion import cli\ncli.entry()\n")


def _rows(journal):
    """The rows in a results journal (0 while it does not exist)."""
    try:
        lines = journal.read_text().splitlines()
    except FileNotFoundError:
        return 0
    return max(0, sum(1 for line in lines if not line.startswith("# ")) - 1)  # less the header


def once(backend, group, directory):
    """Seconds from SIGINT to the command's exit."""
    csv = pathlib.Path(directory) / "runs.csv"
    journal = pathlib.Path(str(csv.resolve()) + ".partial")
    command = [sys.executable, "-c", CONSOLE_SCRIPT, str(EXAMPLES / "controlled_study.toml"), "-n", "20000",
               "--no-progress", "--csv", str(csv), *BACKENDS[backend]]
    errors = pathlib.Path(directory) / "stderr.txt"
    with open(errors, "w") as err:
        proc = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=err, start_new_session=True)
    try:
        while _rows(journal) < 100:  # the first block
            if proc.poll() is not None:
                raise RuntimeError(f"{backend}: the study ended before it could be interrupted")
            time.sleep(0.05)
        started = time.perf_counter()
        (os.killpg if group else os.kill)(proc.pid, signal.SIGINT)
        status = proc.wait(timeout=120)
        elapsed = time.perf_counter() - started
        if status != 130:
            raise RuntimeError(f"{backend}: exit status {status}, not 130: {errors.read_text()}")
        return elapsed
    finally:
        try:
            os.killpg(proc.pid, signal.SIGKILL)  # the command's group: its workers, if any is left
        except ProcessLookupError:
            pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    print("| backend | SIGINT to | median (s) | largest (s) |")
    print("|---|---|---|---|")
    for backend in BACKENDS:
        for group in (False, True):
            times = []
            for _ in range(args.repeat):
                with tempfile.TemporaryDirectory() as directory:  # no journal of an earlier run
                    times.append(once(backend, group, directory))
            print(f"| {backend} | {'the process group' if group else 'the command'} | "
                  f"{statistics.median(times):.2f} | {max(times):.2f} |")


if __name__ == "__main__":
    main()
