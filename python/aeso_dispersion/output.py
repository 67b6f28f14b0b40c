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
sample follows, with the dispersed inputs, the apogee and the failure
reason ("" when the run succeeded). Floats are written in their shortest
exact form: every value reads back to the same bits.
"""

import csv
import json
import os

import numpy as np

from .errors import DispersionError, StudyError, require

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
    """The rows of an earlier run of the same study, read back for `resume`."""

    def __init__(self, values, failures):
        self.values = values          # (rows, numeric columns)
        self.failures = failures      # list of str

    @property
    def rows(self):
        return self.values.shape[0]


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

    def append(self, values, failures):
        rows = values.tolist()
        for row, failure in zip(rows, failures):
            row.append(failure)
        self.writer.writerows(rows)
        self.file.flush()

    def close(self):
        self.file.close()

    @staticmethod
    def read(path, meta, names, block_size):
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
        keep = len(rows) // block_size * block_size
        parsed = list(csv.reader(line.decode("utf-8") for line in rows[:keep]))
        values = np.array([[float(v) for v in row[:-1]] for row in parsed]).reshape(keep, len(names) - 1)
        offset += sum(len(line) + 1 for line in rows[:keep])
        return _Previous(values, [row[-1] for row in parsed]), offset


class ParquetOutput:
    def __init__(self, path, meta, names, previous=None):
        self.pa = require("pyarrow", "parquet", "Parquet export")
        self.pq = require("pyarrow.parquet", "parquet", "Parquet export")
        self.path = path
        # A resumed file is rewritten beside the old one and replaces it when
        # closed: a Parquet file cannot be appended to.
        self.target = path if previous is None else f"{path}.resume-{os.getpid()}"
        fields = [self.pa.field(name, self.pa.float64()) for name in names[:-1]]
        fields.append(self.pa.field(names[-1], self.pa.string()))
        schema = self.pa.schema(fields, metadata={"aeso_dispersion": json.dumps(meta)})
        self.names = names
        self.writer = self.pq.ParquetWriter(self.target, schema)
        self.pending, self.pending_rows = [], 0
        if previous is not None and previous.rows:
            self.append(previous.values, previous.failures)

    def append(self, values, failures):
        columns = [values[:, j] for j in range(values.shape[1])]
        columns.append(self.pa.array(np.asarray(failures, dtype=object), type=self.pa.string()))
        self.pending.append(self.pa.Table.from_arrays(columns, schema=self.writer.schema))
        self.pending_rows += values.shape[0]
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
    def read(path, meta, names, block_size):
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
        keep = table.num_rows // block_size * block_size
        table = table.slice(0, keep)
        values = np.column_stack([table.column(name).to_numpy() for name in names[:-1]]
                                 ).reshape(keep, len(names) - 1)
        return _Previous(values, table.column(names[-1]).to_pylist()), None


def open_output(path, meta, names, block_size, resume=False):
    """The writer of a results file and the rows it already holds (None
    unless `resume` and the file exists)."""
    kind = ParquetOutput if is_parquet(path) else CsvOutput
    if kind is ParquetOutput:
        require("pyarrow.parquet", "parquet", "Parquet export")
    check_writable(path, "output")
    if resume and os.path.exists(path) and os.path.getsize(path) > 0:
        previous, offset = kind.read(path, meta, names, block_size)
        if kind is CsvOutput:
            return CsvOutput(path, meta, names, resume_rows=offset), previous
        return ParquetOutput(path, meta, names, previous), previous
    return kind(path, meta, names), None


def save(result, path):
    """Writes a finished result, a block of rows at a time."""
    meta = study_metadata(result.study, result.seed)
    names = result.column_names()
    writer = open_output(path, meta, names, result.study.block_size)[0]
    try:
        step = result.study.block_size
        for lo in range(0, result.n, step):
            values, failures = result.rows(lo, min(lo + step, result.n))
            writer.append(values, failures)
    finally:
        writer.close()


def missing_block_error(path, written, n):
    return DispersionError(f"{path} holds the first {written} of {n} samples")
