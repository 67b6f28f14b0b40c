"""Backends that run a study's blocks: a thread pool, or a Dask cluster.

Both hand out blocks (or groups of blocks) in order and collect the results
into the study's arrays as they come back; where a block ran changes nothing
in its results (see engine).
"""

import logging
import math
import os
import sys
import threading
import time
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait

import numpy as np

from . import domains
from .engine import run_block, run_blocks
from .errors import DispersionError, StudyError, require
from .results import DispersionResult, export_rows
from .study import Plan

# How many blocks each thread has queued ahead: enough to keep it busy while
# the main thread collects, few enough that an interrupt has little to cancel.
QUEUED_BLOCKS_PER_THREAD = 2
# Dask tasks per worker: a few per worker balance the load; fewer, larger
# tasks keep the scheduler's per-task cost small against the runs.
TASKS_PER_DASK_WORKER = 4
# A Dask study whose cluster has had no worker for this long is abandoned.
NO_WORKER_TIMEOUT = 60.0


class _Collector:
    """Gathers block results into the study's arrays, on the calling thread,
    and hands each block to the writer as soon as every block before it
    has come back."""

    def __init__(self, n, names, block_size, bar, writer=None, tracker=None):
        self.n, self.names = n, names
        # With a stopping rule: its tracker, and whether it has stopped the
        # study (blocks past the stop are neither kept nor written).
        self.tracker = tracker
        self.complete = False
        self.inputs = np.empty((len(names), n))
        self.apogees = np.empty(n)
        self.codes = np.zeros(n, dtype=np.int32)
        self.table = {}
        self.block_size = block_size
        self.bar = bar
        self.writer = writer
        self.done = set()
        self.written = 0  # blocks handed to the writer

    def add(self, first_block, result):
        inputs, apogees, codes, reasons = result
        lo = first_block * self.block_size
        hi = lo + apogees.shape[0]
        self.inputs[:, lo:hi] = inputs
        self.apogees[lo:hi] = apogees
        if reasons.size:
            remap = np.array([0] + [self.table.setdefault(r, len(self.table) + 1)
                                    for r in reasons.tolist()], dtype=np.int32)
            codes = remap[codes]
        self.codes[lo:hi] = codes
        self._finished(first_block, hi)
        if self.bar is not None:
            self.bar.update(hi - lo)

    def add_previous(self, previous):
        """Takes the rows of an earlier run read back from the results file
        (whole blocks, already on disk)."""
        rows = previous.rows
        self.inputs[:, :rows] = previous.values[:, :-1].T
        self.apogees[:rows] = previous.values[:, -1]
        for i, text in enumerate(previous.failures):
            if text:
                template = domains.unfill(text, self.names)
                self.codes[i] = self.table.setdefault(template, len(self.table) + 1)
        self.done.update(range(rows // self.block_size))
        self.written = rows // self.block_size
        if self.bar is not None:
            self.bar.update(rows)
        self._rule_stops_at(min(rows, self.n))

    def _finished(self, first_block, hi):
        self.done.update(range(first_block, math.ceil(hi / self.block_size)))
        while self.written in self.done and not self.complete:
            lo = self.written * self.block_size
            if self._rule_stops_at(lo):
                break
            if self.writer is not None:
                self.writer.append(*export_rows(self.names, self.inputs.T, self.apogees, self.codes,
                                                tuple(self.table), lo, min(lo + self.block_size, self.n)))
            self.done.discard(self.written)
            self.written += 1
        self._rule_stops_at(min(self.written * self.block_size, self.n))

    def _rule_stops_at(self, prefix):
        """Checks the stopping rule on the first `prefix` samples (all of
        them finished); True once it has stopped the study there or before."""
        if self.tracker is not None and not self.complete:
            values = self.outcomes()[self.tracker.rule.statistic.outcome]
            stop = self.tracker.advance(values[:prefix])
            self.complete = stop is not None
        return self.complete

    def outcomes(self):
        return {"apogee": self.apogees}

    @property
    def kept(self):
        """The number of samples of the result: the stop n, or n."""
        return self.tracker.stop if self.tracker is not None and self.complete else self.n


def _progress_bar(enabled, n):
    """A tqdm bar on standard error, shown once the study has run 1 s.

    enabled None: only when standard error is a terminal and tqdm is
    installed; True: always (MissingExtra without tqdm); False: never."""
    if enabled is None:
        if sys.stderr is None or not sys.stderr.isatty():
            return None
        try:
            import tqdm
        except ImportError:
            return None
    elif enabled:
        tqdm = require("tqdm", "dispersion", "the progress bar")
    else:
        return None
    return tqdm.tqdm(total=n, unit="run", file=sys.stderr, delay=1.0, smoothing=0.1)


def _check_memory(n, n_columns):
    """Refuses a study whose arrays cannot fit in this machine's memory."""
    needed = n * (8 * n_columns + 12)
    try:
        available = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):
        return
    if needed > available:
        raise StudyError("n", f"{n} samples need {needed / 2**30:.3g} GiB of memory for their "
                              f"results, more than this machine's {available / 2**30:.3g} GiB")


def run_study(study, n, seed, backend="threads", workers=None, progress=None, output=None,
              resume=False, until=None, **options):
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers <= 0):
        raise StudyError("workers", f"must be a positive integer, not {workers!r}")
    if backend not in ("threads", "dask"):
        raise StudyError("backend", f"must be 'threads' or 'dask', not {backend!r}")
    if backend == "threads" and options:
        raise TypeError(f"unexpected options for the threads backend: {', '.join(options)}")
    if seed is None:
        seed = int(np.random.SeedSequence().entropy)
    plan = study.plan
    block_size = plan.block_size
    n_blocks = math.ceil(n / block_size)
    _check_memory(n, len(study.dispersed) + 1)
    writer = previous = None
    if output is not None:
        from .output import open_output, study_metadata
        from .results import column_names

        writer, previous = open_output(output, study_metadata(study, seed), column_names(study),
                                       block_size, resume)
    bar = None
    try:
        bar = _progress_bar(progress, n)
        tracker = None
        if until is not None:
            from .stopping import Tracker

            tracker = Tracker(until, n, block_size, study.reporting.level)
        collector = _Collector(n, study.dispersed, block_size, bar, writer, tracker)
        first_block = 0
        if previous is not None:
            first_block = min(previous.rows // block_size, n // block_size)
            previous.values = previous.values[:first_block * block_size]
            previous.failures = previous.failures[:first_block * block_size]
            collector.add_previous(previous)
        started = time.perf_counter()
        if backend == "threads":
            workers = workers or os.cpu_count() or 1
            _run_threads(tuple(plan), seed, n, first_block, n_blocks, workers, collector)
        else:
            workers = _run_dask(tuple(plan), seed, n, first_block, n_blocks, workers, collector,
                                **options)
    finally:
        if bar is not None:
            bar.close()
        if writer is not None:
            writer.close()
    elapsed = time.perf_counter() - started
    kept = collector.kept
    return DispersionResult(
        study=study, n=kept, seed=seed, inputs=collector.inputs[:, :kept],
        apogees=collector.apogees[:kept], codes=collector.codes[:kept],
        reasons=tuple(collector.table), backend=backend, workers=workers, elapsed=elapsed,
        stopping=None if tracker is None else tracker.outcome())


def _block_count(n, block_size, block):
    return min(block_size, n - block * block_size)


def _run_threads(plan, seed, n, first_block, n_blocks, workers, collector):
    """Runs the blocks on `workers` threads.

    Only a few blocks per thread are queued at a time. On any exception in
    the calling thread (KeyboardInterrupt included) the stop event makes the
    running blocks give up at their next sample, queued blocks are cancelled
    and the exception propagates without waiting for the threads.
    """
    block_size = Plan(*plan).block_size
    stop = threading.Event()
    executor = ThreadPoolExecutor(workers, thread_name_prefix="aeso-dispersion")
    blocks = iter(range(first_block, n_blocks))
    pending = {}

    def submit():
        block = next(blocks, None)
        if block is not None:
            count = _block_count(n, block_size, block)
            pending[executor.submit(run_block, plan, seed, block, count, stop)] = block

    try:
        for _ in range(QUEUED_BLOCKS_PER_THREAD * workers):
            submit()
        while pending:
            done, _ = wait(pending, return_when=FIRST_COMPLETED)
            for future in done:
                block = pending.pop(future)
                collector.add(block, future.result())
                if collector.complete:  # the stopping rule is met
                    return
                submit()
    finally:
        # Running blocks give up at their next sample; queued ones are cancelled.
        stop.set()
        executor.shutdown(wait=False, cancel_futures=True)


def _run_dask(plan, seed, n, first_block, n_blocks, workers, collector, client=None, address=None,
              processes=True, blocks_per_task=None, connect_timeout=10.0):
    """Runs groups of blocks as Dask tasks; returns the number of workers.

    Uses `client`, or a client connected to `address`, or a local cluster of
    `workers` single-threaded workers (processes unless processes=False)
    that lives for this run only; a scheduler that does not answer within
    `connect_timeout` seconds is an error. A task that fails, or a worker lost for
    good, ends the study with DispersionError; so does a cluster left
    without any worker for NO_WORKER_TIMEOUT seconds.
    """
    distributed = require("distributed", "dask", "the dask backend")
    owned = []
    try:
        if client is None and address is not None:
            try:
                client = distributed.Client(address, timeout=connect_timeout)
            except (OSError, ValueError, TypeError) as exc:  # ValueError: not an address
                raise DispersionError(f"cannot connect to the Dask scheduler at {address}: {exc}") from None
            owned.append(client)
        elif client is None:
            cluster = distributed.LocalCluster(
                n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                processes=processes, dashboard_address=None, silence_logs=logging.ERROR)
            owned.append(cluster)
            client = distributed.Client(cluster)
            owned.insert(0, client)
        _check_workers(client)
        n_workers = len(client.scheduler_info()["workers"]) or 1
        if blocks_per_task is None:
            blocks_per_task = max(1, math.ceil((n_blocks - first_block) / (TASKS_PER_DASK_WORKER * n_workers)))
        pending = {}
        for first in range(first_block, n_blocks, blocks_per_task):
            last = min(first + blocks_per_task, n_blocks)
            pending[client.submit(run_blocks, plan, seed, first, last, n, pure=False)] = (first, last)
        try:
            _collect_dask(distributed, client, pending, collector)
        except BaseException:
            client.cancel(list(pending))
            raise
        return n_workers
    finally:
        for item in owned:
            item.close()


# What every worker must import to run blocks, resolved with the standard
# library alone: a worker that lacks the package cannot unpickle our own
# functions, and would die on the first task instead of saying why.
WORKER_IMPORT = "aeso_dispersion.engine:__name__"


def _check_workers(client):
    """Raises DispersionError naming the workers that cannot import the
    study engine, before any task is sent."""
    import pkgutil

    answers = client.run(pkgutil.resolve_name, WORKER_IMPORT, on_error="return")
    broken = {worker: answer for worker, answer in answers.items() if isinstance(answer, BaseException)}
    if broken:
        worker, error = sorted(broken.items())[0]
        raise DispersionError(
            f"{len(broken)} of {len(answers)} Dask workers cannot import the study engine, "
            f"e.g. {worker}: {type(error).__name__}: {error}; install aeso on every worker")


def _collect_dask(distributed, client, pending, collector):
    no_worker_since = None
    while pending:
        try:
            done, _ = distributed.wait(list(pending), timeout=1.0, return_when="FIRST_COMPLETED")
        except TimeoutError:
            if client.scheduler_info()["workers"]:
                no_worker_since = None
            elif no_worker_since is None:
                no_worker_since = time.monotonic()
            elif time.monotonic() - no_worker_since > NO_WORKER_TIMEOUT:
                raise DispersionError(
                    f"the Dask cluster has had no worker for {NO_WORKER_TIMEOUT:g} s; "
                    f"{len(pending)} tasks never ran") from None
            continue
        for future in done:
            first, last = pending.pop(future)
            try:
                result = future.result()
            except Exception as exc:
                raise DispersionError(
                    f"a Dask worker failed on blocks {first} to {last - 1}: "
                    f"{type(exc).__name__}: {exc}") from exc
            collector.add(first, result)
            if collector.complete:  # the stopping rule is met
                client.cancel(list(pending))
                return
