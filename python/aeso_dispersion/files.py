"""Where a study's files go, checked before the first run, and how a file is
replaced whole.

An output path may name a regular file, a symbolic link to one (the file
is written through the link: the link stays and its target is replaced),
or nothing yet in an existing directory. A device, a FIFO or a directory
is refused, and so is a path that is a file the study reads (the study
file, its table files) or another output of the same run: paths are
compared by their real location (links resolved) and, where both files
exist, as the same file (hard links).

A file is replaced whole: it is written to a temporary file beside its
real target, flushed to disk and renamed onto the target, so a reader
sees the old file or the new one, never part of either, and a failed or
interrupted write leaves the old file as it was.
"""

import contextlib
import os
import stat
import tempfile

from .errors import StudyError

# The kinds of file an output may not be, by what os.stat says.
_NOT_REGULAR = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a device"),
                (stat.S_ISBLK, "a device"), (stat.S_ISSOCK, "a socket"))


def check_target(path, what):
    """The real path an output at `path` is written to; StudyError (keyed
    `what`) for a path that is not a regular file, a link to one or a new
    file in a directory that exists and can be written."""
    real = os.path.realpath(path)
    try:
        mode = os.stat(real).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as exc:
        raise StudyError(what, f"{path}: {exc.strerror}") from None
    if mode is not None and not stat.S_ISREG(mode):
        kind = next((name for test, name in _NOT_REGULAR if test(mode)), "not a regular file")
        raise StudyError(what, f"{path} is {kind}, not a regular file: outputs are written to "
                               f"regular files only")
    directory = os.path.dirname(real)
    if not os.path.isdir(directory):
        raise StudyError(what, f"{path}: directory {directory} does not exist")
    try:
        fd, probe = tempfile.mkstemp(prefix=".aeso-dispersion-", dir=directory)
        os.close(fd)
        os.unlink(probe)
    except OSError as exc:
        raise StudyError(what, f"{path}: cannot write in {directory}: {exc.strerror}") from None
    return real


def same_file(a, b):
    """Whether paths a and b name the same file: the same real path, or
    (both existing) the same inode."""
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def check_distinct(paths, inputs=()):
    """Refuses, before anything runs, an output that names the same file as
    an input or an earlier output. `paths`: the outputs, [(description,
    path or None)] ("the --csv file", "the journal of --csv", ...);
    `inputs`: the files the run reads, likewise ("the study file", its
    tables: see Study.files), which may be one another."""
    seen = [(what, str(path)) for what, path in inputs if path is not None]
    for what, path in paths:
        if path is None:
            continue
        path = str(path)
        for other_what, other in seen:
            if same_file(path, other):
                also = other_what if other == path else f"{other_what} {other}"
                raise StudyError(None, f"{what} {path} is also {also}: one would overwrite the "
                                       f"other; give another path")
        seen.append((what, path))


@contextlib.contextmanager
def replacing(path):
    """Yields a temporary path beside the real target of `path` (with the
    same extension); when the block ends without an exception the file
    written there is flushed to disk and renamed onto the target, else it
    is removed. A file that existed keeps its permissions; a new one is
    readable by all, as an ordinary file."""
    real = os.path.realpath(path)
    directory, name = os.path.split(real)
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=os.path.splitext(name)[1], dir=directory)
    os.close(fd)
    try:
        yield temporary
        try:
            mode = stat.S_IMODE(os.stat(real).st_mode)
        except FileNotFoundError:
            mode = 0o644
        os.chmod(temporary, mode)
        commit(temporary, real)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def commit(source, target):
    """Flushes `source` to disk and renames it onto `target` (same directory)."""
    fd = os.open(source, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
    os.replace(source, target)
