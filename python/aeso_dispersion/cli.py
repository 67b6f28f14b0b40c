"""aeso-dispersion: run a dispersion study described in a TOML file."""

import argparse
import os
import sys

from .backends import Dask, Threads
from .config import load_study
from .errors import DispersionError, MissingExtra, StudyError

EPILOG = """\
The study file has the sections [study] (model, n, seed, block_size),
[rocket], [initial_state] and [solver]; any numeric value may be a
distribution table such as { distribution = "normal", mean = 20.0, std = 0.4 }.
See examples/dispersion_study.toml.

Every run gives its apogee and the time, downrange position (x) and
horizontal speed at apogee (the last two for the 3-DOF model). A sample whose
run fails (no apogee within max_iterations, a non-finite input, ...) gets NaN
outcomes and its reason; the summary counts them.
Exit status: 0 on success, 2 for an invalid study file or option, 1 when the
study could not be run, 130 when interrupted (Ctrl-C).
"""


def _positive(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be > 0, got {value}")
    return value


def _seed(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be >= 0, got {value}")
    return value


def parser():
    p = argparse.ArgumentParser(
        prog="aeso-dispersion",
        description="Monte Carlo dispersion study of a coasting rocket's apogee: draws the "
                    "uncertain inputs of STUDY.toml n times, predicts every apogee with aeso, "
                    "and prints the apogee summary and the inputs ranked by influence.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("study", metavar="STUDY.toml", help="the study file")
    p.add_argument("-n", "--samples", type=_positive, metavar="N",
                   help="number of samples (default: n in the [study] section)")
    p.add_argument("--seed", type=_seed,
                   help="seed of the sample draws; the same seed gives the same samples and "
                        "apogees on any backend and worker count (default: seed in the "
                        "[study] section, else a fresh one, printed in the summary)")
    p.add_argument("--workers", type=_positive, metavar="N",
                   help="threads of the threads backend (default: the number of cores)")
    dask = p.add_mutually_exclusive_group()
    dask.add_argument("--dask", metavar="ADDRESS",
                      help="run on the Dask scheduler at ADDRESS (e.g. tcp://host:8786) instead "
                           "of threads; needs aeso[dask] here and aeso on the workers")
    dask.add_argument("--dask-local", type=_positive, metavar="N",
                      help="run on a local Dask cluster of N worker processes started for this run")
    p.add_argument("--csv", metavar="PATH",
                   help="write the samples, apogees and failure reasons to PATH (Parquet when "
                        "PATH ends in .parquet; needs aeso[parquet])")
    p.add_argument("--plot", metavar="PATH",
                   help="save a PNG figure to PATH: apogee histogram with percentiles, "
                        "empirical CDF, apogee against the most influential input "
                        "(needs aeso[dispersion])")
    p.add_argument("--no-progress", action="store_true",
                   help="no progress bar (otherwise one is shown on standard error when that "
                        "is a terminal, tqdm is installed (aeso[dispersion]) and the study "
                        "runs longer than a second)")
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    if args.workers is not None and (args.dask or args.dask_local):
        parser().error("--workers applies to the threads backend; give the Dask worker count "
                       "with --dask-local N")
    progress = False if args.no_progress else None
    try:
        study = load_study(args.study)
        if args.dask:
            backend = Dask(address=args.dask)
        elif args.dask_local:
            backend = Dask(local_workers=args.dask_local)
        else:
            backend = Threads(workers=args.workers)
        result = study.run(n=args.samples, seed=args.seed, backend=backend, progress=progress)
    except StudyError as exc:
        if exc.key == "n":
            exc = StudyError(None, "no sample count: give -n N or n in the [study] section", args.study)
        print(f"aeso-dispersion: error: {exc}", file=sys.stderr)
        return 2
    except (DispersionError, MissingExtra) as exc:
        print(f"aeso-dispersion: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("aeso-dispersion: interrupted", file=sys.stderr)
        return 130

    try:
        print(result, flush=True)
    except BrokenPipeError:  # e.g. piped into head: the reader is gone
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    try:
        if args.csv:
            result.save(args.csv)
            print(f"\nwrote {args.csv}")
        if args.plot:
            result.plot(args.plot)
            print(f"wrote {args.plot}")
    except (MissingExtra, OSError) as exc:
        print(f"aeso-dispersion: error: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
