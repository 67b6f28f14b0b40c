"""No file is destroyed and nothing finished is lost: results reach the
journal block by block while the study runs, a study ended in any way
resumes to the very file an uninterrupted one writes, outputs are checked
before the first run, files are complete before anything is printed, and
bad invocations give one line."""

import contextlib
import os
import re
import signal
import stat
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from aeso_dispersion import StudyError, backends, load_study
from aeso_dispersion.output import journal_path

from conftest import read_rows, small_study
from test_cli import CHILD_TIMEOUT, CLI, cli_child, run, started
from test_config import EXAMPLE

N = 61  # nine blocks of 7, the last one cut


def interrupt_after(monkeypatch, blocks):
    """Makes the collector raise KeyboardInterrupt, as Ctrl-C does in the
    calling thread, once `blocks` results have come back."""
    original = backends.Collector.add
    seen = []

    def add(self, block, result):
        original(self, block, result)
        seen.append(block)
        if len(seen) == blocks:
            raise KeyboardInterrupt

    monkeypatch.setattr(backends.Collector, "add", add)
    return seen


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
@pytest.mark.parametrize("workers", [1, 3])
def test_interrupted_study_resumes_to_the_uninterrupted_file(tmp_path, monkeypatch, suffix, workers):
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    whole, part = tmp_path / f"whole{suffix}", tmp_path / f"part{suffix}"
    reference = small_study().run(n=N, seed=5, workers=workers, progress=False, output=whole)
    seen = interrupt_after(monkeypatch, 4)
    with pytest.raises(KeyboardInterrupt):
        small_study().run(n=N, seed=5, workers=workers, progress=False, output=part)
    monkeypatch.undo()
    # Every block before the first missing one is in the journal, in either format.
    # With several threads the first blocks back need not include block 0.
    contiguous = next(b for b in range(len(seen) + 1) if b not in seen)
    assert len(read_rows(journal_path(part))) == 7 * contiguous < N and not part.exists()
    resumed = small_study().run(n=N, seed=5, workers=workers, progress=False, output=part, resume=True)
    assert part.read_bytes() == whole.read_bytes()
    np.testing.assert_array_equal(resumed.samples, reference.samples)
    np.testing.assert_array_equal(resumed.apogees, reference.apogees)
    assert [resumed.reason(i) for i in range(N)] == [reference.reason(i) for i in range(N)]


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_resume_keeps_failure_reasons_and_changes_n(tmp_path, suffix, first_n=35, n=60):
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    from conftest import rocket_section
    from aeso_dispersion import Study, normal

    study = Study(rocket=rocket_section(mass=normal(2.0, 2.0)), solver=dict(method="RK45"),
                  initial_state=dict(angle=0.05, speed=250.0), block_size=10)
    path, whole = tmp_path / f"runs{suffix}", tmp_path / f"whole{suffix}"
    study.run(n=first_n, seed=4, progress=False, output=path)
    resumed = study.run(n=n, seed=4, progress=False, output=path, resume=True)
    reference = study.run(n=n, seed=4, progress=False, output=whole)
    assert path.read_bytes() == whole.read_bytes()
    assert resumed.failure_counts() == reference.failure_counts()
    assert set(resumed.failure_counts()) == {"rocket.mass outside its domain (> 0)"}
    assert [resumed.reason(i) for i in range(n)] == [reference.reason(i) for i in range(n)]


@pytest.mark.parametrize("change, message", [
    (dict(seed=6), "(seed '5', this study '6')"),
    (dict(block_size=8), "(block_size '7', this study '8')"),
    # What changed is named, not only the fingerprint.
    (dict(solver=dict(dt=0.02)), "; changed: solver.dt)"),
    (dict(solver=dict(max_iterations=5000)), "; changed: max_iterations)"),
])
def test_resume_refuses_another_studys_file(tmp_path, change, message):
    path = tmp_path / "runs.csv"
    small_study().run(n=20, seed=5, progress=False, output=path)
    with pytest.raises(StudyError, match=f"holds another study's results .*{re.escape(message)}"):
        small_study(block_size=change.get("block_size", 7), **change.get("solver", {})).run(
            n=20, seed=change.get("seed", 5), progress=False, output=path, resume=True)


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
@pytest.mark.parametrize("rows", [1500, 1525])  # whole blocks; a cut last block
def test_resume_keeps_every_finished_row_when_the_rule_is_met_before_their_end(tmp_path, suffix, rows):
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    study, path = small_study(block_size=50), tmp_path / f"runs{suffix}"
    study.run(n=rows, seed=2, progress=False, output=path)
    finished = path.read_bytes()
    # The rule is met at the first round, 1000 runs: fewer than the file holds.
    result = study.run(n=20000, seed=2, progress=False, output=path, resume=True, until="mean=100")
    assert path.read_bytes() == finished and not os.path.exists(journal_path(path))
    assert result.n == rows and (result.stopping.met, result.stopping.n) == (True, 1000)
    summary = result.format_summary()
    assert f"over {rows} of {rows} runs" in summary and "met at n = 1000" in summary
    assert f"the results file held {rows} finished runs: all are kept" in summary


def slow_study(tmp_path, block_size=20):
    study = tmp_path / "slow.toml"
    text = EXAMPLE.read_text().replace('method = "RK45"', 'method = "Euler"\ndt = 0.0005')
    study.write_text(text.replace("seed = 1 ", f"seed = 1\nblock_size = {block_size} "))
    return study


# Reaches the journal's close on an interrupted study, says so on standard
# output and never returns, as on a disk that has stopped answering.
STUCK_CLOSING = """
import os
import time
from aeso_dispersion import output
def stuck(self):
    os.write(1, b"closing\\n")
    while True:
        time.sleep(0.01)
output.Results.close = stuck
"""


def quick_study(tmp_path, block_size=10):
    study = tmp_path / "quick.toml"
    study.write_text(EXAMPLE.read_text().replace("seed = 1 ", f"seed = 1\nblock_size = {block_size} "))
    return study


def stopped_after_block(command, how, block=2):
    """Runs the CLI child `command` until it stops after `block`: the
    testing hook sends it SIGTERM or SIGKILL, or a Ctrl-C ("SIGINT"), or a
    Ctrl-C and, once the study is closing its journal, a second one.
    Returns the exit status and standard error."""
    env = {**os.environ, backends.STOP_AFTER_BLOCK: f"{block}:{how.split()[-1]}"}
    prelude = STUCK_CLOSING if how.startswith("second") else ""
    with started(cli_child(prelude) + command, env=env) as proc:
        if how.startswith("second"):
            assert "closing\n" in iter(proc.stdout.readline, "")  # reads up to it
            proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=CHILD_TIMEOUT)
    return proc.returncode, err


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
@pytest.mark.parametrize("how, status, message", [
    ("SIGTERM", -signal.SIGTERM, ""),
    ("SIGKILL", -signal.SIGKILL, ""),
    ("SIGINT", 130, "interrupted; {journal} keeps the finished blocks, --resume continues the study\n"),
    ("second SIGINT", 130, "aeso-dispersion: interrupted again, exiting now\n"),
])
def test_a_study_ended_any_way_keeps_every_finished_block(tmp_path, suffix, how, status, message):
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    study, path, whole = quick_study(tmp_path), tmp_path / f"runs{suffix}", tmp_path / f"whole{suffix}"
    args = [str(study), "-n", "95", "--workers", "2", "--no-progress", "--csv"]
    returncode, err = stopped_after_block(args + [str(path)], how)
    assert returncode == status, err
    assert err.endswith(message.format(journal=journal_path(path))) and "Traceback" not in err
    assert not path.exists() and len(read_rows(journal_path(path))) == 30  # blocks 0, 1 and 2
    resumed = run(*args, path, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    assert run(*args, whole).returncode == 0
    assert path.read_bytes() == whole.read_bytes() and not os.path.exists(journal_path(path))


def test_an_existing_results_file_stays_until_its_replacement_is_complete(tmp_path):
    study, path, whole = quick_study(tmp_path), tmp_path / "runs.csv", tmp_path / "whole.csv"
    args = [str(study), "-n", "45", "--no-progress", "--csv"]
    assert run(*args, path).returncode == 0
    old = path.read_bytes()
    refused = run(*args, path, "--seed", 2)
    assert refused.returncode == 2 and refused.stderr.count("\n") == 1
    assert f"{path} exists: --resume continues the study it holds, --overwrite replaces it" in refused.stderr
    returncode, _ = stopped_after_block(args + [str(path), "--seed", "2", "--overwrite"], "SIGKILL", 1)
    assert returncode == -signal.SIGKILL
    assert path.read_bytes() == old and len(read_rows(journal_path(path))) == 20
    refused = run(*args, path, "--seed", 2)
    assert refused.returncode == 2 and "holds the finished blocks of an unfinished study" in refused.stderr
    assert run(*args, path, "--seed", 2, "--resume").returncode == 0
    assert run(*args, whole, "--seed", 2).returncode == 0
    assert path.read_bytes() == whole.read_bytes() != old


def damage(case, lines, row):
    """The lines of a results file with one kind of damage at data row `row`."""
    fields = lines[row].split(",")
    return {
        "a letter in a number": lines[:row] + [",".join([fields[0][:3] + "x" + fields[0][4:]] + fields[1:])]
        + lines[row + 1:],
        "a short row": lines[:row] + [",".join(fields[:-1])] + lines[row + 1:],
        "a blank line": lines[:row] + [""] + lines[row:],
        "an extra column": lines[:row] + [lines[row] + ",1.0"] + lines[row + 1:],
    }[case]


@pytest.mark.parametrize("case, problem", [
    ("a letter in a number", "line {line} (sample 3): rocket.mass: '{value}' is not a number"),
    ("a short row", "line {line} (sample 3): {short} fields where the header has {columns}"),
    ("a blank line", "line {line} (sample 3): a blank line"),
    ("an extra column", "line {line} (sample 3): {long} fields where the header has {columns}"),
    ("CR LF line ends", "line 1: a CR LF line end"),
    ("fewer runs", "holds 40 finished runs, more than the 20 of this study: run at least 40 (-n 40)"),
    ("a truncated last line", None),
])
def test_resume_refuses_a_damaged_file_and_leaves_it_as_it_was(tmp_path, case, problem):
    study, path, whole = quick_study(tmp_path), tmp_path / "runs.csv", tmp_path / "whole.csv"
    load_study(study).run(n=40, seed=1, progress=False, output=path)
    text = path.read_text()
    lines = text.split("\n")
    header = next(i for i, line in enumerate(lines) if not line.startswith("# "))
    if case == "CR LF line ends":
        text = text.replace("\n", "\r\n")
    elif case == "a truncated last line":
        text = text[:-5]
    elif case != "fewer runs":
        text = "\n".join(damage(case, lines, header + 1 + 3))
    path.write_text(text, newline="")
    before = path.read_bytes()
    proc = run(study, "-n", 20 if case == "fewer runs" else 40, "--csv", path, "--resume")
    if problem is None:  # the journal's normal state, not damage: resumed
        assert proc.returncode == 0, proc.stderr
        load_study(study).run(n=40, seed=1, progress=False, output=whole)
        assert path.read_bytes() == whole.read_bytes()
        return
    value = lines[header + 4].split(",")[0]
    columns = len(lines[header].split(","))
    expected = problem.format(line=header + 5, value=value[:3] + "x" + value[4:], columns=columns,
                              short=columns - 1, long=columns + 1)
    assert proc.returncode == 2 and proc.stderr.count("\n") == 1, proc.stderr
    assert f"{path}{' ' if 'line' in problem else ''}" in proc.stderr and expected in proc.stderr
    assert path.read_bytes() == before and not os.path.exists(journal_path(path))


def moved(case, lines, row, names):
    """The lines of a results file whose data row `row` is deleted,
    repeated or swapped with the next, or whose apogee there is replaced."""
    if case in ("nan", "inf", "-inf"):
        fields = lines[row].split(",")
        fields[names.index("apogee")] = case
        return lines[:row] + [",".join(fields)] + lines[row + 1:]
    return {"deleted": lines[:row] + lines[row + 1:],
            "repeated": lines[:row + 1] + lines[row:],
            "swapped": lines[:row] + [lines[row + 1], lines[row]] + lines[row + 2:]}[case]


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
@pytest.mark.parametrize("case, sample, problem", [
    ("deleted", 3, "where sample 3 of seed 1 draws"),
    ("repeated", 4, "where sample 4 of seed 1 draws"),
    ("swapped", 3, "where sample 3 of seed 1 draws"),
    ("nan", 3, "apogee is nan in a run that succeeded (failure_code 0)"),
    ("inf", 3, "apogee is inf in a run that succeeded (failure_code 0)"),
])
def test_resume_refuses_rows_that_are_not_the_seeds_samples(tmp_path, suffix, case, sample, problem):
    if suffix == ".parquet":
        pa, pq = pytest.importorskip("pyarrow"), pytest.importorskip("pyarrow.parquet")
    study, path, text = quick_study(tmp_path), tmp_path / f"runs{suffix}", tmp_path / "runs.csv"
    load_study(study).run(n=40, seed=1, progress=False, output=text)
    lines = text.read_text().split("\n")
    header = next(i for i, line in enumerate(lines) if not line.startswith("# "))
    text.write_text("\n".join(moved(case, lines, header + 1 + 3, lines[header].split(","))))
    if suffix == ".parquet":  # the same damage in a Parquet file
        load_study(study).run(n=40, seed=1, progress=False, output=path)
        schema, rows = pq.read_schema(path), read_rows(text)
        read = {pa.float64(): float, pa.string(): str}
        columns = [pa.array([read.get(kind, int)(row[name]) for row in rows], type=kind)
                   for name, kind in zip(schema.names, schema.types)]
        pq.write_table(pa.Table.from_arrays(columns, schema=schema), path)
    before = path.read_bytes()
    proc = run(study, "-n", 50, "--csv", path, "--resume")
    assert proc.returncode == 2 and proc.stderr.count("\n") == 1, proc.stderr
    where = f"line {header + 2 + sample} (sample {sample})" if suffix == ".csv" else f"(sample {sample})"
    assert f"{where}: " in proc.stderr and problem in proc.stderr
    assert path.read_bytes() == before and not os.path.exists(journal_path(path))


@pytest.mark.parametrize("args, message", [
    (["{study}", "--json", "{tmp}/prometheus_drag.csv"],
     "the --json file {tmp}/prometheus_drag.csv is also the drag table (drag.file)"),
    (["{study}", "--csv", "{tmp}/prometheus_brakes.csv", "--overwrite"],
     "the --csv file {tmp}/prometheus_brakes.csv is also the brake table (brakes.file)"),
    (["compare", "{study}", "{other}", "--json", "{tmp}/other_drag.csv"],
     "the --json file {tmp}/other_drag.csv is also the drag table (drag.file)"),
])
def test_no_output_replaces_a_table_file_of_the_study(tmp_path, args, message):
    example = EXAMPLE.parent
    for name in ("prometheus_drag.csv", "prometheus_brakes.csv"):
        (tmp_path / name).write_bytes((example / name).read_bytes())
    (tmp_path / "other_drag.csv").write_bytes((example / "prometheus_drag.csv").read_bytes())
    study, other = tmp_path / "study.toml", tmp_path / "other.toml"
    text = (example / "controlled_study.toml").read_text()
    study.write_text(text)
    other.write_text(text.replace("prometheus_drag.csv", "other_drag.csv"))
    before = {name: (tmp_path / name).read_bytes() for name in os.listdir(tmp_path)}
    proc = run(*(a.format(tmp=tmp_path, study=study, other=other) for a in args), "-n", 4, "--no-progress")
    assert proc.returncode == 2 and message.format(tmp=tmp_path) in proc.stderr, proc.stderr
    assert {name: (tmp_path / name).read_bytes() for name in os.listdir(tmp_path)} == before


def waiting_for_blocks(thread):
    """Whether `thread` is inside concurrent.futures.wait."""
    frame = sys._current_frames().get(thread.ident)
    while frame is not None:
        if frame.f_code.co_name == "wait" and frame.f_code.co_filename.endswith(
                os.path.join("concurrent", "futures", "_base.py")):
            return True
        frame = frame.f_back
    return False


def test_ctrl_c_caught_by_a_worker_thread_stops_the_study(monkeypatch):
    """A SIGINT that the kernel hands to a worker thread wakes no wait of the
    calling thread; its handler runs only once that thread is back in the
    interpreter, which the threads backend makes sure of while its blocks
    run on (here they would run for 30 s unless stopped)."""
    real = backends.run_block

    def interrupting(plan, seed, block, count, stop):
        if block == 0:
            while not waiting_for_blocks(threading.main_thread()):
                time.sleep(0.001)
            signal.pthread_kill(threading.get_ident(), signal.SIGINT)
        deadline = time.monotonic() + 30
        while not stop.is_set() and time.monotonic() < deadline:
            time.sleep(0.01)
        return real(plan, seed, block, count, stop)

    monkeypatch.setattr(backends, "run_block", interrupting)
    # Whatever disposition the test run inherited, SIGINT raises here.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            small_study().run(n=20, seed=1, progress=False, workers=2)
        assert time.monotonic() - started < 10
    finally:
        signal.signal(signal.SIGINT, previous)


def test_files_are_complete_before_the_summary_is_printed(tmp_path):
    # The reader of standard output is gone before anything is printed, as
    # with `| head -1`: the results file must be whole all the same.
    path = tmp_path / "runs.csv"
    proc = subprocess.Popen(CLI + [str(EXAMPLE), "-n", "300", "--csv", str(path)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()
    try:
        proc.wait(timeout=300)
        err = proc.stderr.read().decode()
    finally:
        proc.kill()
        proc.stderr.close()
    assert "Traceback" not in err
    assert len(read_rows(path)) == 300


def no_pyarrow(tmp_path):
    """A directory that, first on the path, makes `import pyarrow` fail."""
    (tmp_path / "pyarrow").mkdir(parents=True)
    (tmp_path / "pyarrow" / "__init__.py").write_text("raise ImportError('no pyarrow here')\n")
    path = os.pathsep.join(p for p in (str(tmp_path), os.environ.get("PYTHONPATH")) if p)
    return {**os.environ, "PYTHONPATH": path}


@pytest.mark.parametrize("args, status, message", [
    (["--csv", "{tmp}/absent/runs.csv"], 2, "{tmp}/absent/runs.csv: directory {tmp}/absent does not exist"),
    (["--csv", "{tmp}"], 2, "{tmp} is a directory, not a regular file"),
    (["--json", "{tmp}/fifo"], 2, "{tmp}/fifo is a FIFO, not a regular file"),
    (["--json", "/dev/null"], 2, "/dev/null is a device, not a regular file"),
    (["--plot", "{tmp}/absent/fig.png"], 2, "directory {tmp}/absent does not exist"),
    (["--plot", "{tmp}/fig.txt"], 2, "{tmp}/fig.txt: the file name must end in one of"),
    # No output may be the study file or another output, however it is named.
    (["--csv", "{study}"], 2, "the --csv file {study} is also the study file: one would overwrite"),
    (["--json", "{study}"], 2, "the --json file {study} is also the study file"),
    (["--csv", "{tmp}/link"], 2, "the --csv file {tmp}/link is also the study file {study}"),
    (["--json", "{tmp}/hard"], 2, "the --json file {tmp}/hard is also the study file {study}"),
    (["--csv", "{tmp}/o", "--json", "{tmp}/o"], 2, "the --json file {tmp}/o is also the --csv file"),
    (["--csv", "{tmp}/o.png", "--plot", "{tmp}/o.png"], 2, "the --plot figure {tmp}/o.png is also the --csv"),
    (["--csv", "{tmp}/r.csv", "--json", "{tmp}/r.csv.partial"], 2, "is also the journal of --csv"),
    (["--json", "{tmp}/f-convergence.png", "--plot", "{tmp}/f.png"], 2,
     "the convergence figure of --plot {tmp}/f-convergence.png is also the --json file"),
    (["--csv", "{tmp}/runs.parquet"], 1, "Parquet export needs pyarrow, which is not installed"),
    (["-n", "10000000000"], 2, "-n: 10000000000 samples need"),
    (["--dask", "notanaddress"], 1, "cannot connect to the Dask scheduler at notanaddress"),
    (["--max-failed", "1.5"], 2, "argument --max-failed: must be from 0 to 1"),
    (["--resume"], 2, "--resume continues the results file given with --csv"),
    (["--csv", "{tmp}/r.csv", "--resume", "--overwrite"], 2, "--resume continues the results file, "
                                                            "--overwrite replaces it: give one"),
])
def test_bad_invocations_fail_before_the_first_run_with_one_line(tmp_path, args, status, message):
    if "--plot" in args:
        pytest.importorskip("matplotlib")
    if "--dask" in args:
        pytest.importorskip("distributed")
    env = no_pyarrow(tmp_path / "env") if "runs.parquet" in args[-1] else None
    # A study that would run for hours: each check must come first.
    study = slow_study(tmp_path)
    (tmp_path / "link").symlink_to(study)
    os.link(study, tmp_path / "hard")
    os.mkfifo(tmp_path / "fifo")
    before, content = sorted(os.listdir(tmp_path)), study.read_bytes()
    args = [a.format(tmp=tmp_path, study=study) for a in args]
    n = [] if "-n" in args else ["-n", "100000000"]
    proc = subprocess.run(CLI + [str(study), *n, *args], capture_output=True, text=True, timeout=120,
                          env=env)
    assert proc.returncode == status, proc.stderr
    assert message.format(tmp=tmp_path, study=study) in proc.stderr and "Traceback" not in proc.stderr
    if "argument" not in message and "give one" not in message and "--resume" not in message:
        assert proc.stderr.count("\n") == 1, proc.stderr  # argparse prints its usage first
    assert sorted(os.listdir(tmp_path)) == before and study.read_bytes() == content
    assert (tmp_path / "link").is_symlink() and stat.S_ISFIFO(os.stat(tmp_path / "fifo").st_mode)


def test_outputs_are_written_through_symlinks(tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    for name in ("runs.csv", "summary.json"):
        (tmp_path / name).symlink_to(elsewhere / name)
    proc = run(EXAMPLE, "-n", 20, "--csv", tmp_path / "runs.csv", "--json", tmp_path / "summary.json")
    assert proc.returncode == 0, proc.stderr
    assert (tmp_path / "runs.csv").is_symlink() and (tmp_path / "summary.json").is_symlink()
    assert len(read_rows(elsewhere / "runs.csv")) == 20
    assert '"n": 20' in (elsewhere / "summary.json").read_text()
    assert sorted(os.listdir(elsewhere)) == ["runs.csv", "summary.json"]


def test_study_file_that_is_not_utf8(tmp_path):
    path = tmp_path / "latin1.toml"
    path.write_bytes(EXAMPLE.read_text().replace("# kg", "# kilogramme \xe0 vide").encode("latin-1"))
    proc = run(path, "-n", 10)
    assert proc.returncode == 2 and proc.stderr.count("\n") == 1
    assert f"{path}: not UTF-8 text" in proc.stderr


def test_export_writes_block_by_block(tmp_path, monkeypatch):
    # Export never turns a whole column into Python objects: the writer gets
    # at most a block of rows at a time.
    from aeso_dispersion import output

    result = small_study().run(n=N, seed=2, progress=False)
    sizes = []
    original = output.CsvFile.append

    def append(self, columns, failures):
        sizes.append(len(failures))
        assert all(c.shape == (len(failures),) for c in columns)
        original(self, columns, failures)

    monkeypatch.setattr(output.CsvFile, "append", append)
    result.save(tmp_path / "runs.csv")
    assert sum(sizes) == N and max(sizes) == 7
    assert len(read_rows(tmp_path / "runs.csv")) == N


def test_failed_dask_study_keeps_its_blocks_and_resumes(tmp_path, monkeypatch):
    pytest.importorskip("distributed")
    from aeso_dispersion import DispersionError, engine

    path, whole = tmp_path / "runs.csv", tmp_path / "whole.csv"
    small_study().run(n=N, seed=3, progress=False, output=whole)
    original = engine.run_block

    def failing(plan, seed, block, count, stop=None):
        if block == 8:
            raise MemoryError("worker ran out of memory")
        return original(plan, seed, block, count, stop)

    monkeypatch.setattr(engine, "run_block", failing)  # in-process workers see it
    with pytest.raises(DispersionError, match="a Dask worker failed on blocks 8 to 8"):
        small_study().run(n=N, seed=3, backend="dask", workers=1, processes=False,
                          blocks_per_task=1, progress=False, output=path)
    monkeypatch.undo()
    assert len(read_rows(journal_path(path))) % 7 == 0 and not path.exists()
    small_study().run(n=N, seed=3, progress=False, output=path, resume=True)
    assert path.read_bytes() == whole.read_bytes()


def test_an_interrupted_dask_study_stops_the_flights_its_workers_run(monkeypatch):
    """Cancelling a Dask task leaves it running: the study stops its flights."""
    pytest.importorskip("distributed")
    from aeso_dispersion import engine

    flags, real = [], engine.run_block

    def until_stopped(plan, seed, block, count, stop=None):
        flags.append(stop)
        deadline = time.monotonic() + 60  # the test fails, rather than hangs, without a stop
        while not stop.is_set() and time.monotonic() < deadline:
            time.sleep(0.01)
        return real(plan, seed, block, count, stop)

    def interrupt(watch, pending):  # Ctrl-C while the calling thread waits, once the task runs
        if engine._TASKS:
            raise KeyboardInterrupt

    monkeypatch.setattr(engine, "run_block", until_stopped)
    monkeypatch.setattr(backends._NoWorkerWatch, "__call__", interrupt)
    with pytest.raises(KeyboardInterrupt):
        small_study().run(n=14, seed=1, backend="dask", workers=1, processes=False, blocks_per_task=2,
                          progress=False)
    assert flags and all(flag.is_set() for flag in flags)


def test_ctrl_c_at_the_terminal_ends_a_local_dask_study_quietly(tmp_path):
    """Ctrl-C reaches every process of the terminal's group: the workers of
    the study's own cluster leave it to the study, which stops and closes
    them (they would otherwise each print a traceback and linger)."""
    pytest.importorskip("distributed")
    path = tmp_path / "runs.csv"
    env = {**os.environ, backends.STOP_AFTER_BLOCK: "0:SIGINT:group"}
    args = [str(quick_study(tmp_path)), "-n", "400", "--dask-local", "1", "--no-progress", "--csv", str(path)]
    with started(cli_child() + args, env=env) as proc:
        try:
            _, err = proc.communicate(timeout=CHILD_TIMEOUT)
        finally:  # the child's own group: its workers, if any is left
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, signal.SIGKILL)
    assert proc.returncode == 130
    assert err == f"aeso-dispersion: interrupted; {journal_path(path)} keeps the finished blocks, --resume " \
                  f"continues the study\n"


def test_dask_worker_without_the_package_is_named_before_any_task(tmp_path):
    distributed = pytest.importorskip("distributed")
    import logging

    from aeso_dispersion import DispersionError

    # The worker process starts with the package made unimportable.
    poison = tmp_path / "no_package.py"
    poison.write_text("import sys\nsys.modules['aeso_dispersion'] = None\n")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  dashboard_address=None, preload=[str(poison)],
                                  silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as client:
        (address,) = client.scheduler_info()["workers"]
        with pytest.raises(DispersionError, match=f"1 of 1 Dask workers cannot import the study "
                                                  f"engine, e.g. {address}: ModuleNotFoundError"):
            small_study().run(n=20, seed=1, backend="dask", client=client, progress=False)


@pytest.mark.parametrize("replace, status", [
    # Every run fails the mass domain: the summary, then the gate's line.
    (("mass = { distribution = \"normal\", mean = 20.0, std = 0.4 }",
      "mass = { distribution = \"normal\", mean = -20.0, std = 0.4 }"), 3),
    # A fixed value outside its domain, refused before any run.
    (("mass = { distribution = \"normal\", mean = 20.0, std = 0.4 }", "mass = -20.0"), 2),
])
def test_exit_status_survives_readers_gone_from_both_streams(tmp_path, replace, status):
    # As with `2>&1 | head -1` once head has left: every write to standard
    # output and standard error fails, and the status must still be the
    # documented one, not the 1 of an uncaught BrokenPipeError.
    study = tmp_path / "study.toml"
    text = EXAMPLE.read_text()
    assert replace[0] in text
    study.write_text(text.replace(*replace))
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        proc = subprocess.run(CLI + [str(study), "-n", "50", "--no-progress"], stdout=write_end,
                              stderr=write_end, timeout=300)
    finally:
        os.close(write_end)
    assert proc.returncode == status
