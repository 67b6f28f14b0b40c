"""The results file of a study: CSV, or Parquet when the path ends in .parquet.

The file is written while the study runs, block after block in sample order,
so an interrupted or failed study leaves every block finished before the
first one still missing; `resume` reads such a file back and the study
continues after it. Blocks are deterministic, so a resumed study writes the
same file, bit for bit, as one that was never interrupted.

The file explains itself: its metadata (tool and version, seed, block size,
model, method, the study file and its SHA-256, the fingerprint of what the
results depend on) and the fixed inputs come first, as "# key: value" lines
of a CSV file or as the schema metadata of a Parquet file; one row per
sample follows, with the dispersed inputs, the outcomes of its run (apogee,
time of apogee, and for 3-DOF downrange and horizontal speed at apogee),
its step count and the failure reason ("" when the run succeeded). Floats
are written in their shortest exact form: every value reads back to the
same bits.
"""

import csv
import json
import os

import numpy as np

from . import domains
from .engine import OUTCOMES
from .errors import StudyError, require

CSV_COMMENT = "# "
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
    meta.update({f"fixed {name}": repr(value) for name, value in study.fixed.items()})
    return meta


def outcome_rows(model):
    """The rows of the engine's outcomes a model gives (1-DOF: no downrange
    or speed at apogee)."""
    return range(len(OUTCOMES)) if model == "3dof" else range(2)


def column_names(study):
    """The columns of a results file: the dispersed inputs, the outcomes,
    the steps and the failure reason."""
    return (list(study.dispersed) + [OUTCOMES[i] for i in outcome_rows(study.model)]
            + ["steps", "failure"])


def export_rows(source, lo, hi):
    """Samples lo..hi-1 of `source` (a collector or a result: `names`,
    `inputs` (dispersed, n), `outcome_block(lo, hi)` (outcomes, hi - lo),
    `steps`, `codes`, `model` and `reason_of(code)`, the reason template of
    a failure code)
    as export columns: a list of arrays, and the failure reasons with the
    sample's values filled in ("" for a run that succeeded)."""
    inputs = source.inputs[:, lo:hi]
    columns = [inputs[j] for j in range(inputs.shape[0])]
    outcomes = source.outcome_block(lo, hi)
    columns += [outcomes[i] for i in outcome_rows(source.model)]
    columns.append(source.steps[lo:hi])
    codes = source.codes[lo:hi]
    failures = [""] * (hi - lo)
    templates = {}
    for i in np.flatnonzero(codes).tolist():
        code = int(codes[i])
        template = templates.get(code)
        if template is None:
            template = templates[code] = source.reason_of(code)
        values = dict(zip(source.names, inputs[:, i].tolist())) if domains.has_fields(template) else None
        failures[i] = domains.fill(template, values)
    return columns, failures


def is_parquet(path):
    return str(path).endswith(".parquet")


def check_writable(path, what):
    """Refuses a path whose directory is missing or that cannot be written,
    before anything runs."""
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise StudyError(what, f"{path}: directory {directory} does not exist")
    if os.path.isdir(path):
        raise StudyError(what, f"{path} is a directory")
    existed = os.path.exists(path)
    try:
        with open(path, "ab"):
            pass
    except OSError as exc:
        raise StudyError(what, f"{path}: cannot write: {exc.strerror}") from None
    if not existed:
        os.remove(path)


class _Previous:
    """The rows of an earlier run of the same study, read back for `resume`:
    arrays shaped as a collector's, and the failure texts."""

    def __init__(self, model, n_inputs, columns, failures):
        self.rows = len(failures)
        self.columns = columns  # as in the file, for a file that is rewritten
        self.inputs = np.array(columns[:n_inputs]).reshape(n_inputs, self.rows)
        self.outcomes = np.full((len(OUTCOMES), self.rows), np.nan)
        for k, i in enumerate(outcome_rows(model)):
            self.outcomes[i] = columns[n_inputs + k]
        self.steps = np.asarray(columns[-1], dtype=np.uint64)
        self.failures = failures


def _check_resumable(path, found, meta):
    for key in RESUME_KEYS:
        if found.get(key) != meta[key]:
            raise StudyError("resume", f"{path} holds another study's results ({key} "
                                       f"{found.get(key)!r}, this study {meta[key]!r}); "
                                       f"remove it or run without --resume")


class CsvOutput:
    def __init__(self, path, meta, names, resume_rows=None):
        """Starts the file, or with `resume_rows` keeps its first rows."""
        self.path = path
        if resume_rows is not None:
            self.file = open(path, "r+", newline="", encoding="utf-8")
            self.file.seek(resume_rows)
            self.file.truncate()
        else:
            self.file = open(path, "w", newline="", encoding="utf-8")
            for key, value in meta.items():
                self.file.write(f"{CSV_COMMENT}{key}: {value}\n")
        self.writer = csv.writer(self.file, lineterminator="\n")
        if resume_rows is None:
            self.writer.writerow(names)

    def append(self, columns, failures):
        self.writer.writerows(zip(*(c.tolist() for c in columns), failures))
        self.file.flush()

    def close(self):
        self.file.close()

    @staticmethod
    def read(path, meta, names, block_size, study, n):
        """(previous rows, byte offset after the last whole block kept)."""
        with open(path, "rb") as f:
            data = f.read()
        lines = data.split(b"\n")[:-1]  # a last line without its newline is cut
        found, offset, i = {}, 0, 0
        while i < len(lines) and lines[i].startswith(CSV_COMMENT.encode()):
            key, _, value = lines[i][len(CSV_COMMENT):].decode("utf-8").partition(": ")
            found[key] = value
            offset += len(lines[i]) + 1
            i += 1
        _check_resumable(path, found, meta)
        if i == len(lines) or next(csv.reader([lines[i].decode("utf-8")])) != names:
            raise StudyError("resume", f"{path}: its columns are not those of this study")
        offset += len(lines[i]) + 1
        rows = lines[i + 1:]
        keep = min(len(rows), n) // block_size * block_size
        parsed = list(csv.reader(line.decode("utf-8") for line in rows[:keep]))
        columns = [[float(row[j]) for row in parsed] for j in range(len(names) - 2)]
        columns.append([int(row[-2]) for row in parsed])
        offset += sum(len(line) + 1 for line in rows[:keep])
        previous = _Previous(study.model, len(study.dispersed), columns, [row[-1] for row in parsed])
        return previous, offset


class ParquetOutput:
    def __init__(self, path, meta, names, previous=None):
        self.pa = require("pyarrow", "parquet", "Parquet export")
        self.pq = require("pyarrow.parquet", "parquet", "Parquet export")
        self.path = path
        # A resumed file is rewritten beside the old one and replaces it when
        # closed: a Parquet file cannot be appended to.
        self.target = path if previous is None else f"{path}.resume-{os.getpid()}"
        fields = [self.pa.field(name, self.pa.float64()) for name in names[:-2]]
        fields += [self.pa.field(names[-2], self.pa.uint64()), self.pa.field(names[-1], self.pa.string())]
        schema = self.pa.schema(fields, metadata={"aeso_dispersion": json.dumps(meta)})
        self.names = names
        self.writer = self.pq.ParquetWriter(self.target, schema)
        self.pending, self.pending_rows = [], 0
        if previous is not None and previous.rows:
            self.append(list(previous.columns), previous.failures)

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
        if self.target != self.path:
            os.replace(self.target, self.path)

    @staticmethod
    def read(path, meta, names, block_size, study, n):
        pq = require("pyarrow.parquet", "parquet", "Parquet export")
        try:
            table = pq.read_table(path)
        except Exception as exc:  # pyarrow raises its own error classes
            raise StudyError("resume", f"{path} is not a readable Parquet file ({exc}); a study "
                                       f"killed while writing Parquet leaves none, CSV survives "
                                       f"a kill") from None
        found = json.loads((table.schema.metadata or {}).get(b"aeso_dispersion", b"{}"))
        _check_resumable(path, found, meta)
        if table.column_names != names:
            raise StudyError("resume", f"{path}: its columns are not those of this study")
        keep = min(table.num_rows, n) // block_size * block_size
        table = table.slice(0, keep)
        columns = [table.column(name).to_numpy() for name in names[:-1]]
        previous = _Previous(study.model, len(study.dispersed), columns, table.column(names[-1]).to_pylist())
        return previous, None


def open_output(path, study, seed, n, resume=False):
    """The writer of the results file of `study` drawn with `seed`, and the
    rows it already holds (None unless `resume` and the file exists): its
    whole blocks, as far as a study of n samples uses them whole, the rest
    of the file being dropped."""
    meta, names, block_size = study_metadata(study, seed), column_names(study), study.block_size
    kind = ParquetOutput if is_parquet(path) else CsvOutput
    if kind is ParquetOutput:
        require("pyarrow.parquet", "parquet", "Parquet export")
    check_writable(path, "output")
    if resume and os.path.exists(path) and os.path.getsize(path) > 0:
        previous, offset = kind.read(path, meta, names, block_size, study, n)
        if kind is CsvOutput:
            return CsvOutput(path, meta, names, resume_rows=offset), previous
        return ParquetOutput(path, meta, names, previous), previous
    return kind(path, meta, names), None


def save(result, path):
    """Writes a finished result, a block of rows at a time."""
    writer = open_output(path, result.study, result.seed, result.n)[0]
    try:
        step = result.study.block_size
        for lo in range(0, result.n, step):
            writer.append(*export_rows(result, lo, min(lo + step, result.n)))
    finally:
        writer.close()


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
