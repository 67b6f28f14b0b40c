"""The results file of a study: CSV, or Parquet when the path ends in .parquet.

While the study runs, its rows go to a journal beside the file, PATH.partial,
block after block in sample order, each block flushed as it is written. The
journal is CSV text in either format: every line ends with a newline, so a
process that ends at any instant (SIGTERM, SIGKILL, a second Ctrl-C, a
failed backend) leaves every block finished before the first one still
missing, and at most an incomplete last line, which is the journal's normal
end and is dropped when it is read. A Parquet file cannot be that journal
(it is readable only once its footer is written); an Arrow IPC stream would
survive a truncation as well, but only a text journal can be checked line
by line, with any damage named by its line, and one journal serves both
formats. When the study ends the journal becomes PATH: renamed (CSV), or
converted to a Parquet file written beside PATH and renamed onto it, so a
reader never sees part of PATH and an earlier PATH stays whole until then.

An existing PATH or journal is refused unless the study resumes it or is
told to overwrite it. `resume` reads the journal back (else a finished
PATH), keeps every row and continues after its whole blocks (the rows of a
cut last block are run again, to the same values). It never drops a
finished row: a study of fewer samples than the file holds is refused, and
a stopping rule met within the rows read back ends the study with all of
them. A damaged file is refused with its line and problem and left as it
was; so is a file whose rows are not, in order, the samples of its seed
(a row deleted, repeated or moved: each row's inputs are drawn again and
compared) or whose successful run has an outcome that is not finite.
Blocks are deterministic, so a resumed study writes the same file, bit for
bit, as one that was never interrupted.

The file explains itself: its metadata (tool and version, seed, block size,
model, method, the study file and its SHA-256, the fingerprint of what the
results depend on, a study's tables and controller in the real air, the
distribution of every dispersed input, their correlation, every failure
code with its reason) and the fixed inputs come
first, as "# key: value" lines of a CSV file or as the schema metadata of a
Parquet file; one row per sample follows, with the dispersed inputs, the
outcomes of its run (apogee, time of apogee, and for 3-DOF downrange and
horizontal speed at apogee), its step count, its failure code (0 when the
run succeeded) and the failure reason with the sample's values ("" when it
succeeded). A resumed study reads the codes back, never the texts. Floats
are written in their shortest exact form: every value reads back to the
same bits.
"""

import csv
import json
import os
import re
from typing import NamedTuple

import numpy as np

from . import domains, files
from .engine import OK, draw_block, failure_codes, reason_text
from .outcomes import OUTCOMES, of_study
from .errors import StudyError, require

CSV_COMMENT = "# "
JOURNAL_SUFFIX = ".partial"
# Metadata keys that must match for a file to be resumed.
RESUME_KEYS = ("tool", "version", "seed", "block_size", "fingerprint")
# Rows per Parquet row group: blocks are gathered up to this many.
PARQUET_GROUP_ROWS = 65536


def package_version():
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("aeso")
    except PackageNotFoundError:
        return "unknown"


def study_metadata(study, seed):
    """The metadata of a results file: {key: str}, fixed inputs last."""
    meta = {
        "tool": "aeso-dispersion", "version": package_version(), "seed": str(seed),
        "block_size": str(study.block_size), "model": study.model, "method": study.method,
        "max_iterations": str(study.max_iterations),
        "study_file": study.source or "", "study_sha256": study.source_sha256 or "",
        "fingerprint": study.fingerprint,
    }
    if study.plan.setting is not None:  # the real air's tables and settings
        meta.update(study.plan.setting.description())
    meta.update({f"dispersed {name}": distribution.spec()
                 for name, distribution in study.distributions.items()})
    correlation = study.correlation
    meta["correlation"] = "none" if correlation is None else json.dumps(
        {"inputs": list(correlation.names), "rank_correlation": correlation.matrix.tolist()})
    meta.update({f"failure {code}": domains.fill(reason_text(study.plan, code))
                 for code in failure_codes(study.plan)})
    meta.update({f"fixed {name}": repr(value) for name, value in study.fixed.items()})
    return meta


def outcome_rows(plan):
    """The rows of the engine's outcomes the runs of `plan` give (see outcomes)."""
    return [OUTCOMES.index(outcome) for outcome in of_study(plan.model, plan.controlled)]


# The last columns of a results file, after the dispersed inputs and outcomes.
RUN_COLUMNS = ("steps", "failure_code", "failure")


def column_names(study):
    """The columns of a results file: the dispersed inputs, the outcomes,
    the steps, the failure code and the failure reason."""
    return list(study.dispersed) + list(study.outcome_names) + list(RUN_COLUMNS)


class Runs(NamedTuple):
    """The runs of a study as its results file holds them
    (``DispersionResult.runs``). An immutable value.

    Attributes
    ----------
    plan : object
        The plain form of the study the runs were flown from (what its
        workers run blocks from).
    names : tuple of str
        The dispersed inputs, "section.key".
    inputs : numpy.ndarray
        Their values, shape (len(names), n).
    outcomes : numpy.ndarray
        Every outcome a runner fills, shape (number of outcomes, n); NaN
        where a run failed or does not give that outcome.
    steps : numpy.ndarray
        The integration steps of each run, shape (n,).
    codes : numpy.ndarray
        The failure code of each run as the engine gives it (0: the run
        succeeded), shape (n,).
    """

    plan: object
    names: tuple
    inputs: np.ndarray
    outcomes: np.ndarray
    steps: np.ndarray
    codes: np.ndarray

    def head(self, n):
        """The first runs.

        Parameters
        ----------
        n : int
            How many.

        Returns
        -------
        Runs
        """
        return Runs(self.plan, self.names, self.inputs[:, :n], self.outcomes[:, :n], self.steps[:n],
                    self.codes[:n])


def export_rows(runs, lo, hi):
    """Runs lo..hi-1 as export columns: a list of arrays (inputs, outcomes,
    steps, failure codes), and the failure reasons with the sample's values
    filled in ("" for a run that succeeded)."""
    inputs = runs.inputs[:, lo:hi]
    columns = [inputs[j] for j in range(inputs.shape[0])]
    columns += [runs.outcomes[i, lo:hi] for i in outcome_rows(runs.plan)]
    codes = runs.codes[lo:hi]
    columns += [runs.steps[lo:hi], codes]
    failures = [""] * (hi - lo)
    templates = {}
    for i in np.flatnonzero(codes).tolist():
        code = int(codes[i])
        template = templates.get(code)
        if template is None:
            template = templates[code] = reason_text(runs.plan, code)
        values = dict(zip(runs.names, inputs[:, i].tolist())) if domains.has_fields(template) else None
        failures[i] = domains.fill(template, values)
    return columns, failures


def is_parquet(path):
    return str(path).endswith(".parquet")


def journal_path(path):
    """The journal of the results file at `path`, beside its real target."""
    return os.path.realpath(path) + JOURNAL_SUFFIX


class CsvFile:
    """A results file in CSV: the metadata as "# key: value" lines, the
    column names, then the rows, each block flushed as it is appended."""

    def __init__(self, path, meta=None, names=None):
        """Starts the file at `path`; without `meta` and `names`, appends
        rows to the file there, which has them already."""
        self.file = open(path, "w" if names else "a", newline="", encoding="utf-8")
        self.writer = csv.writer(self.file, lineterminator="\n")
        if names:
            for key, value in meta.items():
                self.file.write(f"{CSV_COMMENT}{key}: {value}\n")
            self.writer.writerow(names)

    def append(self, columns, failures):
        self.writer.writerows(zip(*(c.tolist() for c in columns), failures))
        self.file.flush()

    def copy_rows(self, source, start, end):
        """Appends bytes start..end-1 of the CSV file `source`: rows as written."""
        self.file.flush()
        with open(source, "rb") as f:
            f.seek(start)
            _copy_bytes(f, self.file.buffer, end - start)
        self.file.buffer.flush()

    def close(self):
        self.file.close()


def _copy_bytes(source, target, count):
    while count > 0:
        chunk = source.read(min(count, 1 << 20))
        if not chunk:
            break
        target.write(chunk)
        count -= len(chunk)


class ParquetFile:
    """A results file in Parquet: the metadata as the schema's
    `aeso_dispersion` entry (JSON), the rows in row groups of at least
    PARQUET_GROUP_ROWS rows (of whole blocks), the last one smaller."""

    def __init__(self, path, meta, names):
        self.pa = require("pyarrow", "parquet", "Parquet export")
        self.pq = require("pyarrow.parquet", "parquet", "Parquet export")
        fields = [self.pa.field(name, self.pa.float64()) for name in names[:-len(RUN_COLUMNS)]]
        fields += [self.pa.field(name, kind) for name, kind in
                   zip(RUN_COLUMNS, (self.pa.uint64(), self.pa.int32(), self.pa.string()))]
        schema = self.pa.schema(fields, metadata={"aeso_dispersion": json.dumps(meta)})
        self.writer = self.pq.ParquetWriter(path, schema)
        self.pending, self.pending_rows = [], 0

    def append(self, columns, failures):
        arrays = [self.pa.array(c, type=f.type) for c, f in zip(columns, self.writer.schema)]
        arrays.append(self.pa.array(failures, type=self.pa.string()))
        self.pending.append(self.pa.Table.from_arrays(arrays, schema=self.writer.schema))
        self.pending_rows += len(failures)
        if self.pending_rows >= PARQUET_GROUP_ROWS:
            self._flush()

    def _flush(self):
        if self.pending:
            self.writer.write_table(self.pa.concat_tables(self.pending),
                                    row_group_size=max(self.pending_rows, 1))
            self.pending, self.pending_rows = [], 0

    def close(self):
        self._flush()
        self.writer.close()


def write_rows(writer, runs, block_size):
    """Appends the runs (see export_rows), a block at a time."""
    n = runs.codes.shape[0]
    for lo in range(0, n, block_size):
        writer.append(*export_rows(runs, lo, min(lo + block_size, n)))


def write_whole(path, meta, names, runs, block_size):
    """Writes the runs to `path` (CSV, or Parquet for a path ending in
    .parquet), replacing any file there whole."""
    kind = ParquetFile if is_parquet(path) else CsvFile
    with files.replacing(path) as temporary:
        writer = kind(temporary, meta, names)
        try:
            write_rows(writer, runs, block_size)
        finally:
            writer.close()


class Results:
    """The results file of a running study: its rows stream into the
    journal; `finish` makes the journal the file, `close` leaves it for a
    later resume."""

    def __init__(self, path, meta, names, block_size, previous=None):
        self.path, self.real, self.journal = str(path), os.path.realpath(path), journal_path(path)
        self.meta, self.names, self.block_size = meta, names, block_size
        # The rows in the journal.
        self.rows = 0 if previous is None else previous.whole
        if not self.rows:
            self.file = CsvFile(self.journal, meta, names)
            return
        # The journal is rewritten beside the old one, with this study's
        # metadata and the rows of the whole blocks kept, and replaces it
        # once complete.
        with files.replacing(self.journal) as temporary:
            start = CsvFile(temporary, meta, names)
            try:
                if previous.byte_range is not None:
                    start.copy_rows(previous.source, *previous.byte_range)
                else:
                    start.append([c[:self.rows] for c in previous.columns], previous.failures[:self.rows])
            finally:
                start.close()
        self.file = CsvFile(self.journal)

    def append(self, columns, failures):
        self.file.append(columns, failures)
        self.rows += len(failures)

    def close(self):
        """Ends the writing early: the journal stays, for --resume."""
        self.file.close()

    def finish(self, runs):
        """The study has ended with `runs` (see Runs): the journal becomes the
        results file. Rows of `runs` past the journal's (those of a cut last
        block read back and kept, no block run after them) are appended first."""
        n = runs.codes.shape[0]
        if n > self.rows:
            self.file.append(*export_rows(runs, self.rows, n))
            self.rows = n
        self.file.close()
        if is_parquet(self.path):
            write_whole(self.path, self.meta, self.names, runs, self.block_size)
            os.unlink(self.journal)
        else:
            files.commit(self.journal, self.real)


class _Previous:
    """The rows of an earlier run of the same study, read back for `resume`:
    the file's columns, arrays shaped as a collector's (failure codes as the
    engine gives them), the failure texts, how many of the rows fill whole
    blocks (`whole`), and where those lie in a CSV `source` (byte_range),
    if it is one."""

    def __init__(self, plan, n_inputs, columns, failures, whole, source=None, byte_range=None):
        self.rows, self.whole = len(failures), whole
        self.columns = columns
        self.inputs = np.array(columns[:n_inputs], dtype=np.float64).reshape(n_inputs, self.rows)
        self.outcomes = np.full((len(OUTCOMES), self.rows), np.nan)
        for k, i in enumerate(outcome_rows(plan)):
            self.outcomes[i] = columns[n_inputs + k]
        self.steps, self.codes = columns[-2], columns[-1]
        self.failures = failures
        self.source, self.byte_range = source, byte_range


class Damaged(StudyError):
    """A results file that cannot be resumed: names its line and problem."""

    def __init__(self, path, problem, line=None, sample=None):
        where = ("" if line is None else f" line {line}") + ("" if sample is None else f" (sample {sample})")
        super().__init__("resume", f"{path}{where}: {problem}; the file is left as it was: mend it, "
                                   f"or give --overwrite to start the study again")


def _check_resumable(path, found, meta, partial=False):
    """Refuses another tool's file or another study's. `partial`: the file
    ended within its metadata, whose missing keys then say nothing."""
    if "tool" not in found and not partial:
        raise Damaged(path, f"it is not a results file of {meta['tool']} (no '# tool:' line)")
    for key in RESUME_KEYS:
        if key in found or not partial:
            if found.get(key) != meta[key]:
                changed = _changed(found, meta, partial) if key == "fingerprint" else []
                raise StudyError("resume", f"{path} holds another study's results ({key} "
                                           f"{found.get(key)!r}, this study {meta[key]!r}"
                                           f"{'; changed: ' + ', '.join(changed) if changed else ''}); "
                                           f"give --overwrite to replace it, or another path")


def _changed(found, meta, partial=False):
    """What the metadata `found` in a file says differently from this
    study's: the inputs ("rocket.mass", as "dispersed" or "fixed" lines
    say) and settings ("model", "drag table", "controller", ...), in the
    order of the file. The failure lines follow from those and are left
    out; so is what a `partial` file's metadata does not reach."""
    ignored = RESUME_KEYS + ("study_file", "study_sha256")
    keys = [key for key in dict.fromkeys([*found, *([] if partial else meta)])
            if key not in ignored and not key.startswith("failure ") and found.get(key) != meta.get(key)]
    return list(dict.fromkeys(key.partition(" ")[2] if key.startswith(("dispersed ", "fixed ")) else key
                              for key in keys))


_NUMBER = rb"-?(?:\d+(?:\.\d+)?(?:e[-+]\d+)?|inf|nan)"
_FAILURE = rb'(?:"(?:[^"]|"")*"|[^",]*)'
# Rows of parsed values gathered before they become arrays.
_CHUNK_ROWS = 65536


def _row_problem(fields, names):
    """What is wrong with the fields of a row that does not match its pattern."""
    if fields == [] or fields == [""]:
        return "a blank line"
    if len(fields) != len(names):
        return f"{len(fields)} fields where the header has {len(names)}"
    for name, value in zip(names[:-len(RUN_COLUMNS)], fields):
        if not re.fullmatch(_NUMBER, value.encode()):
            return f"{name}: {value!r} is not a number"
    for name, value in zip(RUN_COLUMNS[:-1], fields[-len(RUN_COLUMNS):-1]):
        if not value.isdigit():
            return f"{name}: {value!r} is not a whole number"
    return f"{names[-1]}: {fields[-1]!r} is not a CSV field"


def _code_problem(code, valid):
    if code in valid:
        return None
    return f"failure_code {code} is not one of this study's (see the file's '# failure' lines)"


def _read_csv(path, meta, names, valid):
    """The rows of a CSV results file or journal, every one checked; an
    incomplete last line is dropped, any other flaw refused. Returns the
    float columns (rows, columns), steps, failure codes and texts, the line
    number of the first row, its byte offset and the offset after each
    row."""
    floats = len(names) - len(RUN_COLUMNS)
    pattern = re.compile(b",".join([_NUMBER] * floats + [rb"\d+", rb"\d+", _FAILURE]))
    found, header, line, offset, start, first = {}, False, 0, 0, 0, None
    chunks, values, steps, codes, failures, ends = [], [], [], [], [], []
    with open(path, "rb") as f:
        for raw in f:
            if not raw.endswith(b"\n"):
                break  # an incomplete last line: the journal's normal end
            line += 1
            offset += len(raw)
            text = raw[:-1]
            if text.endswith(b"\r"):
                raise Damaged(path, "a CR LF line end; the file was rewritten with other line ends", line)
            if not header:
                if text.startswith(CSV_COMMENT.encode()):
                    key, _, value = text[len(CSV_COMMENT):].decode("utf-8", "replace").partition(": ")
                    found[key] = value
                    continue
                _check_resumable(path, found, meta)
                if next(csv.reader([text.decode("utf-8", "replace")]), None) != names:
                    raise StudyError("resume", f"{path}: its columns are not those of this study")
                header, start, first = True, offset, line + 1
                continue
            decoded = text.decode("utf-8", "replace")
            if pattern.fullmatch(text) is None:
                raise Damaged(path, _row_problem(next(csv.reader([decoded]), []), names), line, len(codes))
            fields = next(csv.reader([decoded])) if b'"' in text else decoded.split(",")
            code = int(fields[-2])
            problem = _code_problem(code, valid)
            if problem:
                raise Damaged(path, problem, line, len(codes))
            values.append(fields[:floats])
            steps.append(int(fields[-3]))
            codes.append(code)
            failures.append(fields[-1])
            ends.append(offset)
            if len(values) == _CHUNK_ROWS:
                chunks.append(np.array(values, dtype=np.float64))
                values = []
    if not header:
        _check_resumable(path, found, meta, partial=True)
    chunks.append(np.array(values, dtype=np.float64).reshape(len(values), floats))
    return np.concatenate(chunks), steps, codes, failures, first, start, ends


def _read_parquet(path, meta, names, valid):
    """The rows of a Parquet results file, as _read_csv gives them (without
    byte offsets)."""
    pq = require("pyarrow.parquet", "parquet", "Parquet export")
    try:
        table = pq.read_table(path)
    except Exception as exc:  # pyarrow raises its own error classes
        raise Damaged(path, f"not a readable Parquet file ({exc})") from None
    found = json.loads((table.schema.metadata or {}).get(b"aeso_dispersion", b"{}"))
    _check_resumable(path, found, meta)
    if table.column_names != names:
        raise StudyError("resume", f"{path}: its columns are not those of this study")
    floats = names[:-len(RUN_COLUMNS)]
    values = np.column_stack([table.column(name).to_numpy() for name in floats] or [np.empty(0)])
    codes = table.column("failure_code").to_pylist()
    for i, code in enumerate(codes):
        problem = _code_problem(code, valid)
        if problem:
            raise Damaged(path, problem, sample=i)
    return (values.reshape(len(codes), len(floats)), table.column("steps").to_pylist(), codes,
            table.column("failure").to_pylist())


def _check_samples(path, study, seed, table, codes, first_line):
    """Refuses rows (`table`: the float columns, `codes`: the failure
    codes) that are not the samples of `seed` in order, each row's inputs
    drawn again and compared (a row deleted, repeated, moved or edited),
    and outcomes that do not match the run's code: not finite where it
    succeeded, a number where it failed. `first_line`: the line number of
    the first row (None: rows are named by sample only)."""
    plan, names = study.plan, study.dispersed
    block_size, rows = plan.block_size, table.shape[0]

    def refuse(sample, problem):
        raise Damaged(path, problem, None if first_line is None else first_line + sample, sample)

    inputs, outcomes = table[:, :len(names)], table[:, len(names):]
    for block in range(-(-rows // block_size) if names else 0):
        lo = block * block_size
        given = inputs[lo:lo + block_size]
        drawn = draw_block(plan, seed, block)[:, :given.shape[0]].T
        differ = (given != drawn) & ~(np.isnan(given) & np.isnan(drawn))
        if differ.any():
            i, j = (int(k) for k in np.argwhere(differ)[0])
            refuse(lo + i, f"{names[j]} is {float(given[i, j])!r} where sample {lo + i} of seed {seed} draws "
                           f"{float(drawn[i, j])!r}: its rows are not this study's samples in order (a row "
                           f"deleted, repeated, moved or edited)")
    succeeded = np.asarray(codes) == OK
    finite = np.isfinite(outcomes)
    wrong = np.flatnonzero(succeeded & ~finite.all(axis=1) | ~succeeded & ~np.isnan(outcomes).all(axis=1))
    if wrong.size:
        i = int(wrong[0])
        outcome_names = study.outcome_names
        if succeeded[i]:
            j = int(np.flatnonzero(~finite[i])[0])
            refuse(i, f"{outcome_names[j]} is {float(outcomes[i, j])!r} in a run that succeeded (failure_code "
                      f"0): a successful run's outcomes are finite")
        j = int(np.flatnonzero(~np.isnan(outcomes[i]))[0])
        refuse(i, f"{outcome_names[j]} is {float(outcomes[i, j])!r} in a run that failed (failure_code "
                  f"{codes[i]}): a failed run has no outcomes (nan)")


def read_previous(path, csv_text, meta, names, study, seed, n):
    """The rows of the results file or journal at `path` (CSV text when
    `csv_text`, else Parquet) of `study` drawn with `seed`, every one of
    which a study of n samples keeps. Refuses a file that holds more than n
    rows, or whose rows are not the samples of `seed` in order, or damaged
    (see _check_samples)."""
    valid = set(failure_codes(study.plan)) | {OK}
    byte_range = None
    if csv_text:
        table, steps, codes, failures, first_line, start, ends = _read_csv(path, meta, names, valid)
    else:
        table, steps, codes, failures = _read_parquet(path, meta, names, valid)
        first_line = None
    rows = len(codes)
    if rows > n:
        raise StudyError("resume", f"{path} holds {rows} finished runs, more than the {n} of this "
                                   f"study: run at least {rows} (-n {rows}) to keep them all")
    _check_samples(path, study, seed, table, codes, first_line)
    whole = rows // study.block_size * study.block_size
    if csv_text:
        byte_range = (start, ends[whole - 1] if whole else start)
    columns = [table[:, j] for j in range(table.shape[1])]
    columns += [np.array(steps, dtype=np.uint64), np.array(codes, dtype=np.int32)]
    return _Previous(study.plan, len(study.dispersed), columns, failures, whole, path, byte_range)


def open_output(path, study, seed, n, resume=False, overwrite=False):
    """The writer of the results file of `study` drawn with `seed`, and the
    rows it already holds (None unless `resume` finds a journal or a file).
    Everything is checked before the first run and before any file changes:
    the path, that it is no file the study reads, an existing file or
    journal (refused unless `resume` or `overwrite`), and what `resume`
    reads."""
    meta, names = study_metadata(study, seed), column_names(study)
    if is_parquet(path):
        require("pyarrow.parquet", "parquet", "Parquet export")
    real = files.check_target(path, "output")
    journal = journal_path(path)
    files.check_target(journal, "output")
    files.check_distinct([("the results file", str(path)), ("its journal", journal)], study.files)
    existing = [p for p in (journal, real) if os.path.exists(p)]
    previous = None
    if existing and resume:
        source = existing[0]
        previous = read_previous(source, source == journal or not is_parquet(path), meta, names, study, seed, n)
    elif existing and not overwrite:
        if existing[0] == journal:
            problem = (f"{journal} holds the finished blocks of an unfinished study: --resume "
                       f"continues it, --overwrite starts the study again")
        else:
            problem = (f"{path} exists: --resume continues the study it holds, --overwrite "
                       f"replaces it once the new study is complete")
        raise StudyError("output", problem)
    return Results(path, meta, names, study.block_size, previous), previous


def save(result, path):
    """Writes a finished result, a block of rows at a time, replacing any
    file at `path` whole; never over a file the study reads."""
    files.check_target(path, "output")
    files.check_distinct([("the results file", path)], result.study.files)
    write_whole(path, study_metadata(result.study, result.seed), column_names(result.study), result.runs,
                result.study.block_size)


def check_memory(n, columns):
    """Refuses a study whose arrays (`columns` of 8 bytes per sample) cannot
    fit in this machine's memory, before anything runs."""
    needed = 8 * n * columns
    try:
        available = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):
        return
    if needed > available:
        raise StudyError("n", f"{n} samples need {needed / 2**30:.3g} GiB of memory for their "
                              f"results, more than this machine's {available / 2**30:.3g} GiB")
