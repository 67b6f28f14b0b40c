"""Exceptions of the dispersion tool."""


class StudyError(ValueError):
    """A study description is invalid: names the key and the problem, and the
    file when the study came from a configuration file."""

    def __init__(self, key, problem, file=None):
        self.key, self.problem, self.file = key, problem, file
        where = f"{file}: " if file is not None else ""
        super().__init__(f"{where}{key}: {problem}" if key else f"{where}{problem}")


class DispersionError(RuntimeError):
    """A study could not be run to the end (a backend failed)."""


class MissingExtra(ImportError):
    """An optional dependency needed by a feature is not installed."""


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
