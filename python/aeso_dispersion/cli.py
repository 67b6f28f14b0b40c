"""aeso-dispersion: run a dispersion study described in a TOML file."""

import argparse
import os
import signal
import sys

from .backends import Dask, Threads
from .comparison import compare
from .config import load_study
from .errors import DispersionError, MissingExtra, StudyError, require
from .files import check_distinct, check_target
from .intervals import check_level, check_percentile
from .output import journal_path
from .plots import convergence_path
from .study import check_reporting, check_until
from .summary import Reporting

# Default of --max-failed: any failed run makes the exit status non-zero.
DEFAULT_MAX_FAILED = 0.0
# Exit status when the --until rule was not met within the maximum n.
RULE_NOT_MET = 4

EPILOG = """\
The study file has the sections [study] (model, n, seed, block_size),
[rocket], [initial_state] and [solver]; any numeric value may be a
distribution table such as { distribution = "normal", mean = 20.0, std = 0.4 }.
See examples/dispersion_study.toml. Flights in the real air take the
optional sections [environment] (the day's standard atmosphere), [drag] (a
Mach table and a scale), [brakes] and [control] (the brakes' controller,
actuator and sensors): see examples/real_air_study.toml and
examples/controlled_study.toml. A controlled study's runs also give the
miss (apogee - target), the final deployment and its travel; --within
miss:10 reports P(|miss| <= 10).

Every input has a physical domain (mass, areas, moment of inertia and step
sizes > 0; cd, cl_a and speed >= 0; finite values), and every start is a
flight with an apogee ahead (the 3-DOF angle within pi/2 of the vertical,
as given; the initial vertical velocity above the 0.5 m/s at which a run
ends): a fixed value outside is refused when the file is read, a drawn one
makes its sample fail.

Every run gives its apogee and the time, downrange position (x) and
horizontal speed at apogee (the last two for the 3-DOF model). A sample whose
run fails (a drawn value outside its domain, no apogee within max_iterations,
a non-finite input, ...) gets NaN outcomes and its reason; the summary gives
the fraction that failed. The statistics cover the successful runs only, which
biases them when failures depend on the inputs: any failure makes the exit
status 3 unless --max-failed allows that fraction; a study where every run
failed always exits with 3.

With --csv PATH the results are written while the study runs, block by
block, to the journal PATH.partial (CSV text), which becomes PATH when the
study ends: a study interrupted or killed in any way keeps every finished
block there, and the same command with --resume continues it; the file is
then the same, bit for bit, as that of an uninterrupted run. An existing
PATH or journal is refused unless --resume or --overwrite is given (PATH
then stays until the new study is complete). No output may be the study
file, one of its table files or another output; the --json file and the
figures replace their files whole when the study ends.

Every percentile and the mean of every outcome come with a confidence
interval (95 % unless --confidence says otherwise): a percentile's from order
statistics, valid whatever the distribution; the mean's from Student's t; a
threshold probability's exact (Clopper-Pearson). A side that the runs are too
few to bound shows -inf or inf.

With --until STAT=TOL the study runs in rounds of blocks and stops after the
first round at which the interval of STAT lies within ±TOL of its estimate;
the rounds do not depend on the backend or worker count, so neither does the
stop. -n is the maximum.

Exit status: 0 on success, 2 for an invalid study file or option, 1 when the
study could not be run, 3 when too many runs failed, 4 when the --until rule
was not met within -n runs, 130 when interrupted.

aeso-dispersion compare A.toml B.toml -n N --seed S flies two designs on the
same draws and reports the paired difference B - A of every outcome (see
aeso-dispersion compare --help).
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


def _fraction(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be from 0 to 1, got {text}")
    return value


def _level(text):
    try:
        return check_level(float(text))
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc) if "level" in str(exc) else f"not a number: {text!r}") from None


def _percentiles(text):
    try:
        return tuple(check_percentile(float(p)) for p in text.split(","))
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc) if "percentile" in str(exc) else
                                         f"not a list of numbers: {text!r}") from None


def _version():
    from .output import package_version

    return package_version()


class _Once(argparse.Action):
    """Stores an option's value, and refuses the option given twice: a
    second --until or --seed would otherwise silently replace the first."""

    def __call__(self, parser, namespace, values, option_string=None):
        given = namespace.__dict__.setdefault("_given", set())
        if self.dest in given:
            parser.error(f"argument {'/'.join(self.option_strings)}: given twice; give it once")
        given.add(self.dest)
        setattr(namespace, self.dest, values)


def _parser(**kwargs):
    """An argument parser whose options that take one value take it once."""
    p = argparse.ArgumentParser(formatter_class=argparse.RawDescriptionHelpFormatter, **kwargs)
    p.register("action", None, _Once)
    return p


def _backend_options(p):
    p.add_argument("--workers", type=_positive, metavar="N",
                   help="threads of the threads backend (default: the number of cores)")
    dask = p.add_mutually_exclusive_group()
    dask.add_argument("--dask", metavar="ADDRESS",
                      help="run on the Dask scheduler at ADDRESS (e.g. tcp://host:8786) instead "
                           "of threads; needs aeso[dask] here and aeso on the workers")
    dask.add_argument("--dask-local", type=_positive, metavar="N",
                      help="run on a local Dask cluster of N worker processes started for this run")


def parser():
    p = _parser(
        prog="aeso-dispersion",
        description="Monte Carlo dispersion study of a coasting rocket's apogee: draws the "
                    "uncertain inputs of STUDY.toml n times, predicts every apogee with aeso, "
                    "and prints the apogee summary and the inputs ranked by influence.",
        epilog=EPILOG)
    p.add_argument("study", metavar="STUDY.toml", help="the study file")
    p.add_argument("-n", "--samples", type=_positive, metavar="N",
                   help="number of samples (default: n in the [study] section)")
    p.add_argument("--seed", type=_seed,
                   help="seed of the sample draws; the same seed gives the same samples and "
                        "apogees on any backend and worker count (default: seed in the "
                        "[study] section, else a fresh one, printed in the summary)")
    _backend_options(p)
    p.add_argument("--csv", metavar="PATH",
                   help="write the study's metadata, fixed inputs, samples, outcomes and failure "
                        "reasons to PATH while it runs (Parquet when PATH ends in .parquet; needs "
                        "aeso[parquet])")
    p.add_argument("--plot", metavar="PATH",
                   help="save a PNG figure to PATH: apogee histogram with percentiles, "
                        "empirical CDF, apogee against the most influential input; and beside "
                        "it PATH-convergence: the --until statistic (else p99) and its interval "
                        "against n (needs aeso[dispersion])")
    stats = p.add_argument_group("statistics (defaults: the [statistics] section of the study file)")
    stats.add_argument("--confidence", type=_level, metavar="LEVEL",
                       help="confidence level of every interval, between 0 and 1 (default 0.95)")
    stats.add_argument("--percentiles", type=_percentiles, metavar="P,P,...",
                       help="percentiles to report, e.g. 1,5,50,95,99 (the default) or 0.1,50,99.9")
    stats.add_argument("--threshold", action="append", metavar="[OUTCOME:]H",
                       help="report P(apogee > H) and P(apogee < H) with their intervals; "
                            "repeat for several thresholds")
    stats.add_argument("--within", action="append", metavar="[OUTCOME:]TOL",
                       help="report P(|miss| <= TOL), the probability that a controlled flight's "
                            "apogee lies within TOL of its target, with its interval (or of another "
                            "outcome, e.g. downrange:300); repeat for several tolerances")
    stats.add_argument("--until", metavar="STAT=TOL",
                       help="stop once the confidence interval of STAT is no wider than ±TOL, "
                            "checked after rounds of blocks; -n is then the maximum. STAT: mean, "
                            "pNN (e.g. p99), P(apogee>H), P(apogee<H) or P(|miss|<=H)")
    stats.add_argument("--sensitivity", metavar="OUTCOME", default="apogee",
                       help="the outcome whose sensitivity to each input is shown and written to "
                            "--json: apogee (the default), time_of_apogee, (3-DOF) downrange or "
                            "speed_at_apogee, or (controlled) miss, final_deployment or "
                            "deployment_travel")
    stats.add_argument("--json", metavar="PATH",
                       help="write every statistic, interval, threshold probability, the failure "
                            "counts, n, seed, the stopping rule's outcome and the version to PATH")
    p.add_argument("--resume", action="store_true",
                   help="keep every row that an earlier, interrupted run of the same study, "
                        "seed and block size left in the --csv file's journal (or in the file), "
                        "each checked against the seed's samples, and run the rest")
    p.add_argument("--overwrite", action="store_true",
                   help="replace an existing --csv file, or start its unfinished study again; "
                        "the old file stays until the new study is complete")
    p.add_argument("--max-failed", type=_fraction, default=DEFAULT_MAX_FAILED, metavar="FRACTION",
                   help="largest fraction of failed runs (0 to 1) with which the exit status is "
                        f"still 0 (default: {DEFAULT_MAX_FAILED:g}); all runs failed is always an error")
    p.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    p.add_argument("--no-progress", action="store_true",
                   help="no progress bar (otherwise one is shown on standard error when that "
                        "is a terminal, tqdm is installed (aeso[dispersion]) and the study "
                        "runs longer than a second)")
    return p


COMPARE_EPILOG = """\
Both studies are flown with one seed: each input is drawn from its own
stream, keyed by the seed, the block and its name, so the two designs fly
the very same draws where they disperse the same inputs with the same
distributions and correlation (an input dispersed differently is named: its
draws are not common). The studies must have the same block size.

Per outcome, over the pairs in which both runs succeeded: the mean of B - A
with its t interval, percentiles of the per-draw differences with their
order-statistic intervals, P(B > A) with its exact interval, and with
--within the difference of P(|miss| <= TOL) with Newcombe's interval for
paired proportions (two controllers on one seed see the same draws and
sensor noise); and the pairs in which only one design failed, with the
reasons. The paired
difference has far less spread than either study, so it needs far fewer
runs than two separate studies for the same precision.

Exit status: 0, 2 for an invalid study file or option, 1 when a study could
not be run, 3 when no pair succeeded in both designs, 130 when interrupted.
"""


def compare_parser():
    p = _parser(
        prog="aeso-dispersion compare",
        description="Fly two designs (study files A and B) on the same draws and report, per "
                    "outcome, the paired difference B - A.",
        epilog=COMPARE_EPILOG)
    p.add_argument("a", metavar="A.toml", help="the first study file (the reference)")
    p.add_argument("b", metavar="B.toml", help="the second study file (the variant)")
    p.add_argument("-n", "--samples", type=_positive, metavar="N",
                   help="number of paired draws (default: n in A's [study] section)")
    p.add_argument("--seed", type=_seed,
                   help="seed of the draws of both studies (default: A's seed, else a fresh one)")
    _backend_options(p)
    p.add_argument("--confidence", type=_level, metavar="LEVEL",
                   help="confidence level of every interval (default: A's, else 0.95)")
    p.add_argument("--percentiles", type=_percentiles, metavar="P,P,...",
                   help="percentiles of the differences to report (default: A's, else 1,5,50,95,99)")
    p.add_argument("--within", action="append", metavar="[OUTCOME:]TOL",
                   help="report P(|miss| <= TOL) of both designs and their paired difference B - A "
                        "(default: A's [statistics] within); repeat for several tolerances")
    p.add_argument("--json", metavar="PATH", help="write the comparison to PATH as JSON")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    return p


def _plot_check(path):
    """Refuses a figure path before the study runs: no matplotlib, a format
    matplotlib cannot write, or a path that cannot be written."""
    from .plots import supported_formats

    formats = supported_formats()
    extension = os.path.splitext(path)[1].lstrip(".").lower()
    if extension not in formats:
        raise StudyError("--plot", f"{path}: the file name must end in one of "
                                   f"{', '.join('.' + f for f in sorted(formats))}")
    check_target(path, "--plot")


def _output_check(path):
    if path.endswith(".parquet"):
        require("pyarrow.parquet", "parquet", "Parquet export")


def _second_interrupt_exits():
    """Makes a second Ctrl-C end the process at once, without the traceback
    of an interpreter interrupted while it waits for its threads; the
    first one still raises KeyboardInterrupt and the study stops cleanly."""
    if signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        return  # SIGINT ignored or handled by whoever started us
    interrupts = 0

    def handler(signum, frame):
        nonlocal interrupts
        interrupts += 1
        if interrupts == 1:
            raise KeyboardInterrupt
        os.write(2, b"aeso-dispersion: interrupted again, exiting now\n")
        os._exit(130)

    try:
        signal.signal(signal.SIGINT, handler)
    except ValueError:  # not the main thread
        pass


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["compare"]:
        return compare_main(argv[1:])
    args = parser().parse_args(argv)
    if args.workers is not None and (args.dask or args.dask_local):
        parser().error("--workers applies to the threads backend; give the Dask worker count "
                       "with --dask-local N")
    if args.resume and not args.csv:
        parser().error("--resume continues the results file given with --csv")
    if args.resume and args.overwrite:
        parser().error("--resume continues the results file, --overwrite replaces it: give one")
    progress = False if args.no_progress else None
    _second_interrupt_exits()

    def run():
        study = load_study(args.study)
        study, until = _statistics_options(study, args)
        _check_outputs(args, study)
        if args.csv:
            _output_check(args.csv)
        if args.plot:
            _plot_check(args.plot)
            _plot_check(convergence_path(args.plot))
        if args.json:
            check_target(args.json, "--json")
        result = study.run(n=args.samples, seed=args.seed, backend=_backend(args), progress=progress,
                           output=args.csv, resume=args.resume, overwrite=args.overwrite, until=until)
        if args.plot:
            result.plot(args.plot)
            result.plot_convergence(convergence_path(args.plot))
        if args.json:
            result.to_json(args.json, args.sensitivity)
        return result

    result = _guarded(run, args.study, lambda: _kept(args),
                      lambda: _kept(args) if args.csv else "; without --csv no finished run is kept")
    if isinstance(result, int):
        return result
    # The files are complete before anything goes to standard output, which
    # may be a pipe whose reader leaves early (| head -1).
    _print(result.format_summary() + "\n\n" + result.format_sensitivity(args.sensitivity),
           args.csv, args.plot, args.plot and convergence_path(args.plot), args.json)
    status = _gate(result, args.max_failed)
    if status == 0 and result.stopping is not None and not result.stopping.met:
        _complain(f"aeso-dispersion: the rule {result.stopping.rule} was not met within "
                  f"{result.n} runs: raise -n")
        status = RULE_NOT_MET
    return status


def compare_main(argv):
    """aeso-dispersion compare A.toml B.toml: two designs on the same draws."""
    args = compare_parser().parse_args(argv)
    if args.workers is not None and (args.dask or args.dask_local):
        compare_parser().error("--workers applies to the threads backend")
    _second_interrupt_exits()

    def run():
        require("scipy.stats", "dispersion", "the confidence intervals of the comparison")
        a, b = load_study(args.a), load_study(args.b)
        try:
            reporting = Reporting.make(args.confidence, args.percentiles, within=args.within, defaults=a.reporting)
        except ValueError as exc:
            raise StudyError("--within" if "tolerance" in str(exc) else "--percentiles", str(exc)) from None
        for study in (a, b):
            check_reporting(reporting, study.model, "--within", study.controlled)
        check_distinct([("the --json file", args.json)], a.files + b.files)
        if args.json:
            check_target(args.json, "--json")
        comparison = compare(a, b, n=args.samples, seed=args.seed, reporting=reporting,
                             backend=_backend(args), progress=False if args.no_progress else None)
        if args.json:
            comparison.to_json(args.json)
        return comparison

    comparison = _guarded(run, args.a, str, str)
    if isinstance(comparison, int):
        return comparison
    _print(comparison.format(), args.json)
    if not comparison.pairs()["both_succeeded"]:
        _complain("aeso-dispersion: error: no pair in which both designs' runs succeeded")
        return 3
    return 0


def _backend(args):
    if args.dask:
        return Dask(address=args.dask)
    if args.dask_local:
        return Dask(local_workers=args.dask_local)
    return Threads(workers=args.workers)


def _guarded(action, study_file, kept, interrupted):
    """action(), or the exit status after one line on standard error: 2 for
    an invalid study or option, 1 when the study could not be run (`kept()`
    says what it left), 130 when interrupted (`interrupted()` says the same)."""
    try:
        return action()
    except StudyError as exc:
        if exc.key == "n" and exc.problem.startswith("missing"):
            exc = StudyError(None, "no sample count: give -n N or n in the [study] section", study_file)
        elif exc.key == "n":
            exc = StudyError("-n", exc.problem)
        elif exc.key in ("--plot", "output", "resume", "--json", "compare"):
            exc = StudyError(None, exc.problem)
        _complain(f"aeso-dispersion: error: {exc}")
        return 2
    except (DispersionError, MissingExtra, OSError) as exc:
        _complain(f"aeso-dispersion: error: {exc}{kept()}")
        return 1
    except KeyboardInterrupt:
        _complain(f"aeso-dispersion: interrupted{interrupted()}")
        return 130


def _print(text, *paths):
    """Prints `text` and a line per file written; a reader of standard
    output that has left is no error."""
    try:
        print(text, flush=True)
        for path in paths:
            if path:
                print(f"wrote {path}", flush=True)
    except BrokenPipeError:  # the reader is gone
        _discard(sys.stdout)


def _check_outputs(args, study):
    """Refuses an output that is a file the study reads (the study file, its
    table files) or another output."""
    plot = args.plot
    check_distinct([
        ("the --csv file", args.csv), ("the journal of --csv", args.csv and journal_path(args.csv)),
        ("the --json file", args.json), ("the --plot figure", plot),
        ("the convergence figure of --plot", plot and convergence_path(plot)),
    ], study.files)


def _statistics_options(study, args):
    """The study with --confidence, --percentiles and --threshold applied to
    its reporting, and the stopping rule (--until, else the file's);
    --sensitivity is checked. The intervals need SciPy: checked here, before
    anything runs."""
    require("scipy.stats", "dispersion", "the confidence intervals of the summary")
    if args.sensitivity not in study.outcome_names:
        raise StudyError("--sensitivity", f"no outcome {args.sensitivity!r} in a {study.kind} study "
                                          f"(these are: {', '.join(study.outcome_names)})")
    try:
        reporting = Reporting.make(args.confidence, args.percentiles, args.threshold, args.within,
                                   defaults=study.reporting)
    except ValueError as exc:
        raise StudyError("--within" if "tolerance" in str(exc) else "--threshold", str(exc)) from None
    study = study.replace(reporting=check_reporting(reporting, study.model, "--threshold", study.controlled,
                                                    "--within"))
    return study, check_until("--until", args.until, study.model, study.controlled) if args.until else study.until


def _complain(line):
    """Writes one line to standard error. A reader that has left (as with
    2>&1 | head) must not turn the exit status into a traceback's 1."""
    try:
        print(line, file=sys.stderr, flush=True)
    except BrokenPipeError:
        _discard(sys.stderr)


def _discard(stream):
    """Points `stream`'s file descriptor at the null device, so that what
    is still buffered, flushed at exit, goes nowhere instead of failing."""
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, stream.fileno())
    os.close(null)


def _kept(args):
    """What a failed study leaves behind, for its last line."""
    if not args.csv or not os.path.exists(journal_path(args.csv)):
        return ""
    return f"; {journal_path(args.csv)} keeps the finished blocks, --resume continues the study"


def _gate(result, max_failed):
    """Exit status 3 when more runs failed than --max-failed allows, or all."""
    fraction = result.failed_fraction
    if fraction == 1.0:
        _complain(f"aeso-dispersion: error: every one of the {result.n} runs failed")
        return 3
    if fraction > max_failed:
        _complain(f"aeso-dispersion: error: {result.failed_share} of the runs failed, more than "
                  f"--max-failed {max_failed:g} allows; the statistics cover the successful runs only")
        return 3
    return 0


def entry():
    """The console script: main(), and after an interrupt an immediate exit,
    without waiting for threads still finishing a run and without the
    interpreter's own handling of a second Ctrl-C while it shuts down. The
    results file is closed by then."""
    status = main()
    if status == 130:
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError):
                pass
        os._exit(130)
    sys.exit(status)


if __name__ == "__main__":
    entry()
