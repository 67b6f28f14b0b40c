"""Exceptions of the dispersion tool."""


class StudyError(ValueError):
    """A study description is invalid.

    The message reads "FILE: KEY: PROBLEM" (the file when the study came
    from one).

    Parameters
    ----------
    key : str or None
        The key at fault, such as "rocket.mass", or None.
    problem : str
        What is wrong.
    file : str, optional
        The study file.

    Attributes
    ----------
    key, problem, file
        The parameters, as given.
    """

    def __init__(self, key, problem, file=None):
        self.key, self.problem, self.file = key, problem, file
        where = f"{file}: " if file is not None else ""
        super().__init__(f"{where}{key}: {problem}" if key else f"{where}{problem}")


class DispersionError(RuntimeError):
    """A study could not be run to the end: a backend failed (a Dask
    scheduler that does not answer, a worker that fails or is lost for good,
    a cluster left without workers). The message says why."""


class MissingExtra(ImportError):
    """An optional dependency needed by a feature is not installed; the
    message names the extra to install, e.g. ``pip install 'aeso[dispersion]'``."""


def require(module, extra, feature):
    """Imports `module`, or raises MissingExtra naming the extra to install."""
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise MissingExtra(
            f"{feature} needs {module.split('.')[0]}, which is not installed: "
            f"pip install 'aeso[{extra}]'"
        ) from exc
