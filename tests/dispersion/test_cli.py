"""aeso-dispersion end to end, in a subprocess as a user runs it."""

import contextlib
import csv
import os
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from conftest import read_rows
from test_config import EXAMPLE, VALID
from test_results import png_size

CLI = [sys.executable, "-m", "aeso_dispersion.cli"]


def run(*args, **kwargs):
    return subprocess.run(CLI + [str(a) for a in args], capture_output=True, text=True,
                          timeout=300, **kwargs)


def test_csv_and_figure(tmp_path):
    pytest.importorskip("matplotlib")
    csv_path, png_path = tmp_path / "runs.csv", tmp_path / "fig.png"
    study = tmp_path / "study.toml"
    # max_iterations low enough that the fastest runs fail.
    study.write_text(EXAMPLE.read_text().replace("max_iterations = 100000", "max_iterations = 218"))
    proc = run(study, "-n", 300, "--seed", 7, "--workers", 2, "--csv", csv_path, "--plot", png_path,
               "--max-failed", 0.1)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "over" in out and "(seed 7, threads, 2 workers" in out
    assert "sensitivity of the apogee: Spearman rank correlation (rho) and first-order" in out
    assert "1     initial_state.speed" in out
    rows = read_rows(csv_path)
    assert len(rows) == 300
    apogees = np.array([float(r["apogee"]) for r in rows])
    failed = [r["failure"] != "" for r in rows]
    assert any(failed) and not all(failed)
    assert np.isnan(apogees[failed]).all() and np.isfinite(apogees[np.logical_not(failed)]).all()
    assert f"failed{sum(failed):>12d}" in out
    assert proc.stderr == ""  # no diagnostic line per failed run
    assert png_size(png_path) == (1300, 420)


def test_same_seed_same_output_with_other_workers(tmp_path):
    outputs = []
    for workers in (1, 2):
        path = tmp_path / f"runs{workers}.csv"
        proc = run(EXAMPLE, "-n", 50, "--seed", 3, "--workers", workers, "--csv", path)
        assert proc.returncode == 0, proc.stderr
        outputs.append(path.read_text())
    assert outputs[0] == outputs[1]


def test_dask_local(tmp_path):
    pytest.importorskip("distributed")
    proc = run(EXAMPLE, "-n", 40, "--seed", 3, "--dask-local", 2, "--csv", tmp_path / "d.csv")
    assert proc.returncode == 0, proc.stderr
    assert "dask, 2 workers" in proc.stdout
    threads = run(EXAMPLE, "-n", 40, "--seed", 3, "--csv", tmp_path / "t.csv")
    assert (tmp_path / "d.csv").read_text() == (tmp_path / "t.csv").read_text()


def test_help_explains_every_option():
    proc = run("--help")
    assert proc.returncode == 0
    for option in ("-n", "--seed", "--workers", "--dask ADDRESS", "--dask-local N", "--csv",
                   "--plot", "--no-progress", "--resume", "--max-failed FRACTION", "--version",
                   "STUDY.toml"):
        assert option in proc.stdout


@pytest.mark.parametrize("args, message", [
    (["{bad}"], "{bad}: rocket.mass: std must be >= 0"),
    (["{missing}"], "{missing}: cannot read"),
    (["{good}", "-n", "0"], "argument -n/--samples: must be > 0"),
    (["{good}", "--dask", "x", "--dask-local", "2"], "not allowed with argument"),
    (["{nocount}"], "{nocount}: no sample count: give -n N"),
])
def test_errors_are_one_line_without_traceback(tmp_path, args, message):
    paths = {"bad": tmp_path / "bad.toml", "missing": tmp_path / "missing.toml",
             "good": EXAMPLE, "nocount": tmp_path / "nocount.toml"}
    paths["bad"].write_text(VALID.replace("std = 0.4", "std = -0.4"))
    paths["nocount"].write_text(VALID.replace("\nn = 20\n", "\n"))
    proc = run(*[a.format(**paths) for a in args])
    assert proc.returncode == 2
    assert message.format(**paths) in proc.stderr
    assert "Traceback" not in proc.stderr
    if "argument" not in message:  # argparse prints its usage first
        assert proc.stderr.count("\n") == 1


def cli_child(prelude=""):
    """The command of a child that runs the CLI as the console script does
    (`cli.entry`), after restoring Python's own SIGINT handler (a shell that
    starts a job in the background makes it ignore SIGINT, and the CLI
    respects an ignored SIGINT), so that a test's SIGINT is always seen;
    `prelude` runs first."""
    return [sys.executable, "-c",
            "import signal\n"
            "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
            + textwrap.dedent(prelude) +
            "from aeso_dispersion import cli\n"
            "cli.entry()\n"]


# A child still running after this long has hung: it is killed, so that no
# read of its output can block the suite.
CHILD_TIMEOUT = 120


@contextlib.contextmanager
def started(command, env=None):
    """Starts `command` (in environment `env`) with its standard output and
    error as text pipes; kills it if it still runs after CHILD_TIMEOUT
    seconds, and on the way out in any case."""
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True, env=env)
    watchdog = threading.Timer(CHILD_TIMEOUT, proc.kill)
    watchdog.start()
    try:
        yield proc
    finally:
        watchdog.cancel()
        if proc.poll() is None:
            proc.kill()
            proc.wait()


# Announces on standard output each block handed to the native runner, in
# one write, so that lines of concurrent blocks never interleave.
ANNOUNCED = """
import os
from aeso_dispersion import _flights
run_block = _flights.run_block
def announced(*args):
    os.write(1, b"running\\n")
    return run_block(*args)
_flights.run_block = announced
"""


def test_ctrl_c_stops_a_sample_in_the_middle_of_its_run(tmp_path):
    # With Euler steps of 1e-300 s the speed never changes: each sample would
    # step to its limit of 10^18 iterations, for years.
    study = tmp_path / "endless.toml"
    text = EXAMPLE.read_text().replace("max_iterations = 100000", "max_iterations = 1000000000000000000")
    study.write_text(text.replace('method = "RK45"', 'method = "Euler"\ndt = 1e-300'))
    with started(cli_child(ANNOUNCED) + [str(study), "-n", "4", "--workers", "2", "--no-progress"]) as proc:
        assert proc.stdout.readline() == "running\n"
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=CHILD_TIMEOUT)
    assert proc.returncode == 130, err
    assert err == "aeso-dispersion: interrupted; without --csv no finished run is kept\n"


@pytest.mark.parametrize("flags, shown", [([], True), (["--no-progress"], False)])
def test_progress_bar_on_a_terminal(tmp_path, flags, shown):
    pytest.importorskip("tqdm")
    import fcntl
    import pty
    import struct
    import termios

    study = tmp_path / "slow.toml"
    study.write_text(EXAMPLE.read_text().replace("seed = 1 ", "seed = 1\nblock_size = 40 "))  # the bar moves per block
    # The bar appears only once a study has run for a second; the child
    # shows it at once, so that what is checked is the terminal detection
    # and the flag, not the machine's speed.
    child = [sys.executable, "-c",
             "import sys, tqdm\n"
             "class Prompt(tqdm.tqdm):\n"
             "    def __init__(self, *a, **k):\n"
             "        k['delay'] = 0\n"
             "        super().__init__(*a, **k)\n"
             "tqdm.tqdm = Prompt\n"
             "from aeso_dispersion.cli import main\n"
             "sys.exit(main(sys.argv[1:]))\n"]
    leader, follower = pty.openpty()
    # A new terminal is 0 columns wide, too narrow for the bar: make it 100.
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    chunks = []

    def read_terminal():
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:  # closed once the process is gone
                return
            if not chunk:
                return
            chunks.append(chunk)

    reader = threading.Thread(target=read_terminal)
    reader.start()
    proc = subprocess.Popen(child + [str(study), "-n", "800", "--workers", "2", *flags],
                            stdout=subprocess.PIPE, stderr=follower, text=True)
    os.close(follower)
    try:
        out, _ = proc.communicate(timeout=300)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    reader.join(timeout=30)
    os.close(leader)
    err = b"".join(chunks)
    assert proc.returncode == 0 and "sensitivity" in out
    assert (b"800/800" in err) == shown, err[-300:]
