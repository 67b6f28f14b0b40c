"""Backends that run a study's blocks: a thread pool, or a Dask cluster.

A backend is an object chosen by the caller, ``Threads(workers=...)`` or
``Dask(client=... | address=... | local_workers=...)``. Both hand out blocks
(or groups of blocks) in order, as futures, and give the results to a
collector (see Collecting) as they come back, in one loop written once
(collect_in_order); where a block ran changes nothing in its results (see
engine).
"""

import concurrent.futures
import contextlib
import itertools
from concurrent.futures import ThreadPoolExecutor
import logging
import os
import signal
import sys
import time
import uuid
from typing import Protocol

import numpy as np

from . import outcomes
from .engine import run_block, run_blocks, stop_flag, stop_tasks
from .errors import DispersionError, StudyError, require
from .output import Runs, export_rows

# How many blocks each thread has queued ahead: enough to keep it busy while
# the main thread collects, few enough that an interrupt has little to cancel.
QUEUED_BLOCKS_PER_THREAD = 2
# The longest the calling thread waits for a block without returning to the
# interpreter. A signal that arrives just before a wait begins is not seen by
# that wait, and its handler (Ctrl-C) runs only once the wait returns: a
# wait without a timeout could then outlast a block that runs for hours.
SIGNAL_POLL_SECONDS = 0.1
# Dask tasks per worker: a few per worker balance the load; fewer, larger
# tasks keep the scheduler's per-task cost small against the runs.
TASKS_PER_DASK_WORKER = 4
# A Dask study whose cluster has had no worker for this long is abandoned.
NO_WORKER_TIMEOUT = 60.0
# The longest a Dask study waits for a task before it looks at its workers.
DASK_POLL_SECONDS = 1.0
# A testing hook: with this variable set to "K" or "K:SIGNAL" (a name such as
# SIGKILL) in the environment, the process sends itself SIGNAL (SIGINT when
# none is named) once block K has been collected and written to the results
# journal, so that tests stop a study after a known block instead of timing
# a signal; "K:SIGNAL:group" sends it to the whole process group, as a
# terminal sends Ctrl-C.
STOP_AFTER_BLOCK = "AESO_DISPERSION_STOP_AFTER_BLOCK"


def _stop_after_block():
    """(block, signal, to the whole group) of the STOP_AFTER_BLOCK hook, or None."""
    value = os.environ.get(STOP_AFTER_BLOCK)
    if not value:
        return None
    block, _, rest = value.partition(":")
    name, _, group = rest.partition(":")
    return int(block), getattr(signal, name or "SIGINT"), group == "group"


class Collecting(Protocol):
    """What a backend hands block results to."""

    # The blocks before this one are in already; a backend starts here.
    first_block: int
    # A stopping rule has ended the study: no further block is wanted.
    complete: bool
    # No block is left to run (complete, or every block read back).
    finished: bool

    def add(self, first_block, result):
        """Takes the BlockResult (see engine) of blocks from `first_block` on."""


def collect_in_order(collector, tasks, submit, wait, cancel, ahead=None, poll=SIGNAL_POLL_SECONDS,
                     idle=None, result=None):
    """Runs `tasks`, (first, last) ranges of blocks in order, as futures and
    gives each result to `collector` as it comes back, until every task is
    in or the collector is complete.

    submit(first, last) gives a task's future, with at most `ahead` futures
    pending at a time (all of them when None); wait(futures, timeout) gives
    those done, waiting at most `poll` seconds; idle(pending) runs after a
    wait that found none; result(future, task) gives a done future's result
    (default: future.result()); cancel(futures) gets the futures still
    pending when the loop ends, however it ends.
    """
    tasks = iter(tasks)
    pending = {}

    def top_up():
        for task in itertools.islice(tasks, None if ahead is None else max(0, ahead - len(pending))):
            pending[submit(*task)] = task

    try:
        top_up()
        while pending:
            done = wait(list(pending), poll)
            if not done:
                if idle is not None:
                    idle(pending)
                continue
            for future in done:
                task = pending.pop(future)
                collector.add(task[0], future.result() if result is None else result(future, task))
                if collector.complete:  # the stopping rule is met
                    return
            top_up()
    finally:
        if pending:
            cancel(list(pending))


class Collector:
    """Gathers block results into the study's arrays, on the calling thread,
    and hands each block to the writer (see output) as soon as every block
    before it has come back. `first_block`: the blocks before it are in
    already (read back from the results file), and backends start there."""

    def __init__(self, plan, n, bar=None, writer=None, names=(), tracker=None):
        self.plan, self.n = plan, n
        # With a stopping rule: its tracker (see stopping), and whether it
        # has stopped the study (blocks past the stop are neither kept nor
        # written; backends stop handing out blocks).
        self.tracker = tracker
        self.complete = False
        self.inputs = np.empty((int(np.count_nonzero(plan.dispersed)), n))
        self.outcomes = np.empty((len(outcomes.OUTCOMES), n))
        self.steps = np.empty(n, dtype=np.uint64)
        self.codes = np.empty(n, dtype=np.int32)
        # The same arrays, as the results file's writer reads them.
        self.runs = Runs(plan, names, self.inputs, self.outcomes, self.steps, self.codes)
        self.block_size = plan.block_size
        self.bar = bar
        self.writer = writer
        self.blocks = -(-n // self.block_size)
        self.done = set()
        self.first_block = self.written = 0
        # The rows read back from the results file (see add_previous).
        self.previous_rows = 0
        self.stop_after = _stop_after_block()

    def add(self, first_block, result):
        lo = first_block * self.block_size
        hi = lo + result.codes.shape[0]
        self.inputs[:, lo:hi] = result.inputs
        self.outcomes[:, lo:hi] = result.outcomes
        self.steps[lo:hi] = result.steps
        self.codes[lo:hi] = result.codes
        self._finished(first_block, hi)
        if self.bar is not None:
            self.bar.update(hi - lo)

    def add_previous(self, previous):
        """Takes the rows an earlier run left in the results file (at most
        n): the study goes on after their whole blocks, or after all of
        them when they are the n samples. Every one is kept, even where a
        stopping rule is met before their end."""
        rows = self.previous_rows = previous.rows
        self.inputs[:, :rows] = previous.inputs[:, :rows]
        self.outcomes[:, :rows] = previous.outcomes[:, :rows]
        self.steps[:rows] = previous.steps[:rows]
        self.codes[:rows] = previous.codes[:rows]
        self.first_block = self.written = self.blocks if rows == self.n else rows // self.block_size
        if self.bar is not None:
            self.bar.update(rows)
        self._rule_stops_at(rows)

    def _finished(self, first_block, hi):
        self.done.update(range(first_block, -(-hi // self.block_size)))
        while self.written in self.done and not self.complete:
            lo = self.written * self.block_size
            if self._rule_stops_at(lo):
                break
            if self.writer is not None:
                self.writer.append(*export_rows(self.runs, lo, min(lo + self.block_size, self.n)))
            self.done.discard(self.written)
            self.written += 1
            if self.stop_after is not None and self.stop_after[0] == self.written - 1:
                _, signum, group = self.stop_after
                if group:
                    os.killpg(0, signum)
                else:
                    os.kill(os.getpid(), signum)
        self._rule_stops_at(min(self.written * self.block_size, self.n))

    def _rule_stops_at(self, prefix):
        """Checks the stopping rule on the first `prefix` samples (all of
        them in); True once it has stopped the study there or before."""
        if self.tracker is not None and not self.complete:
            outcome = self.outcomes[outcomes.ROW[self.tracker.rule.statistic.outcome]]
            self.complete = self.tracker.advance(outcome[:prefix]) is not None
        return self.complete

    @property
    def finished(self):
        """Whether no block is left to run: a stopping rule has ended the
        study, or every block is in."""
        return self.complete or self.first_block >= self.blocks

    @property
    def kept(self):
        """The number of samples of the result: the stop n (or the rows
        read back, when more), or n."""
        return max(self.tracker.stop, self.previous_rows) if self.complete else self.n


def progress_bar(enabled, n):
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


def _positive_or_none(key, value):
    if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value <= 0):
        raise StudyError(key, f"must be a positive integer, not {value!r}")
    return value


class Threads:
    """Runs the blocks on a pool of threads in this process.

    Each block runs natively, detached from the interpreter, so the threads
    use every core on GIL and free-threaded builds alike.

    Parameters
    ----------
    workers : int, optional
        The number of threads (default: the number of cores).

    Raises
    ------
    StudyError
        `workers` is not a positive integer.

    Examples
    --------
    >>> from aeso_dispersion import Threads
    >>> Threads(workers=2).workers
    2
    """

    name = "threads"

    def __init__(self, workers=None):
        self.workers = _positive_or_none("workers", workers) or os.cpu_count() or 1

    def run(self, plan, seed, n, collector):
        """Runs every block of a study; :meth:`Study.run` calls it.

        Only a few blocks per thread are queued at a time. On any exception
        in the calling thread (KeyboardInterrupt included) the stop flag ends
        the running flights within a few thousand steps, queued blocks are
        cancelled and the exception propagates without waiting for the
        threads.

        Parameters
        ----------
        plan : plan.Plan
            The study's plain form.
        seed : int
            The seed of the draws.
        n : int
            The number of samples.
        collector : backends.Collector
            Receives each block's results, on the calling thread.

        Returns
        -------
        int
            The number of workers.
        """
        if collector.finished:  # by the rows read back
            return self.workers
        stop = stop_flag(plan)
        executor = ThreadPoolExecutor(self.workers, thread_name_prefix="aeso-dispersion")

        def submit(first, last):
            return executor.submit(run_block, plan, seed, first, plan.samples_in_block(n, first), stop)

        def wait(futures, timeout):
            return concurrent.futures.wait(futures, timeout, concurrent.futures.FIRST_COMPLETED).done

        def cancel(futures):
            for future in futures:
                future.cancel()

        blocks = ((b, b + 1) for b in range(collector.first_block, plan.block_count(n)))
        try:
            collect_in_order(collector, blocks, submit, wait, cancel, ahead=QUEUED_BLOCKS_PER_THREAD * self.workers)
        finally:
            # Running flights end at their next check, queued blocks are cancelled.
            stop.set()
            executor.shutdown(wait=False, cancel_futures=True)
        return self.workers


class Dask:
    """Runs groups of blocks as Dask tasks (needs the ``dask`` extra).

    On an existing client, on a client connected to a scheduler, or on a
    local cluster of single-threaded workers that lives for one run only.
    The workers need ``aeso`` installed; one that cannot import it is named
    before any task is sent. A task that fails, or a worker lost for good,
    ends the study with :class:`DispersionError`; so does a cluster left
    without any worker for 60 seconds.

    Parameters
    ----------
    client : distributed.Client, optional
        A connected client.
    address : str, optional
        The address of a scheduler, e.g. "tcp://host:8786" (not with
        `client`).
    local_workers : int, optional
        Without `client` and `address`: the size of the local cluster
        (default: the number of cores).
    processes : bool, default True
        Local workers as processes (True) or threads.
    blocks_per_task : int, optional
        Blocks per Dask task (default: a few tasks per worker).
    connect_timeout : float, default 10.0
        Seconds to wait for the scheduler at `address`.

    Raises
    ------
    TypeError
        Both `client` and `address` given.
    StudyError
        `local_workers` or `blocks_per_task` is not a positive integer.

    Examples
    --------
    >>> from aeso_dispersion import Dask
    >>> backend = Dask(local_workers=2)   # the cluster starts when a study runs on it
    >>> backend.local_workers
    2
    """

    name = "dask"

    def __init__(self, client=None, address=None, local_workers=None, processes=True,
                 blocks_per_task=None, connect_timeout=10.0):
        if client is not None and address is not None:
            raise TypeError("give a Dask client or a scheduler address, not both")
        self.client, self.address = client, address
        self.local_workers = _positive_or_none("local_workers", local_workers)
        self.processes = processes
        self.blocks_per_task = _positive_or_none("blocks_per_task", blocks_per_task)
        self.connect_timeout = connect_timeout

    def run(self, plan, seed, n, collector):
        """Runs every block of a study as Dask tasks; :meth:`Study.run` calls it.

        The tasks left once a stopping rule is met are cancelled.

        Parameters
        ----------
        plan : plan.Plan
            The study's plain form, sent to the workers.
        seed : int
            The seed of the draws.
        n : int
            The number of samples.
        collector : backends.Collector
            Receives each task's results, on the calling thread.

        Returns
        -------
        int
            The number of workers.

        Raises
        ------
        DispersionError
            The scheduler does not answer, a worker cannot import the study
            engine, a task fails, or the cluster has no worker for 60 s.
        MissingExtra
            ``distributed`` (the ``dask`` extra) is not installed.
        """
        distributed = require("distributed", "dask", "the dask backend")
        if collector.finished:  # by the rows read back
            return self.local_workers or 0
        owned = []
        try:
            client = self.client
            if client is None and self.address is not None:
                try:
                    client = distributed.Client(self.address, timeout=self.connect_timeout)
                except (OSError, ValueError, TypeError) as exc:  # ValueError: not an address
                    raise DispersionError(
                        f"cannot connect to the Dask scheduler at {self.address}: {exc}") from None
                owned.append(client)
            elif client is None:
                cluster = distributed.LocalCluster(
                    n_workers=self.local_workers or os.cpu_count() or 1, threads_per_worker=1,
                    processes=self.processes, dashboard_address=None, silence_logs=logging.ERROR)
                owned.append(cluster)
                client = distributed.Client(cluster)
                owned.insert(0, client)
            _check_workers(client)
            if self.client is None and self.address is None and self.processes:
                # Ctrl-C reaches the whole process group: our own local
                # workers leave it to us (see ignore_interrupts).
                client.run(ignore_interrupts, on_error="ignore")
            n_workers = len(client.scheduler_info()["workers"]) or 1
            n_blocks = plan.block_count(n)
            todo = n_blocks - collector.first_block
            per_task = self.blocks_per_task or max(1, -(-todo // (TASKS_PER_DASK_WORKER * n_workers)))
            tasks = ((first, min(first + per_task, n_blocks))
                     for first in range(collector.first_block, n_blocks, per_task))
            # Names this run's tasks on the workers, where stop_tasks ends them.
            token = uuid.uuid4().hex

            def cancel(futures):
                client.cancel(futures)
                # Tasks already running are not cancelled: their flights are
                # stopped. At best effort: a lost scheduler runs no task.
                with contextlib.suppress(Exception):
                    client.run(stop_tasks, token, on_error="ignore")

            collect_in_order(collector, tasks,
                             lambda first, last: client.submit(run_blocks, plan, seed, first, last, n, token,
                                                               pure=False),
                             lambda futures, timeout: _dask_done(distributed, futures, timeout),
                             cancel, poll=DASK_POLL_SECONDS, idle=_NoWorkerWatch(client), result=_dask_result)
            return n_workers
        finally:
            for item in owned:
                item.close()


# What every worker must import to run blocks, resolved with the standard
# library alone: a worker that lacks the package cannot unpickle our own
# functions, and would die on the first task instead of saying why.
WORKER_IMPORT = "aeso_dispersion.engine:__name__"


def ignore_interrupts():
    """Makes a worker process of a study's own local cluster ignore SIGINT.

    A Ctrl-C at the terminal reaches every process of its group, the
    workers too: one that reacts ends its event loop and leaves the flights
    it runs going, so that it no longer answers stop_tasks and its nanny
    waits seconds before killing it. The study stops its workers' flights
    and closes the cluster itself. Run by Client.run, on the worker's event
    loop, which is its process's main thread."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


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


def _dask_done(distributed, futures, timeout):
    try:
        return distributed.wait(futures, timeout=timeout, return_when="FIRST_COMPLETED").done
    except TimeoutError:
        return set()


def _dask_result(future, task):
    """A Dask task's result; DispersionError naming its blocks if it failed."""
    try:
        return future.result()
    except Exception as exc:
        first, last = task
        raise DispersionError(f"a Dask worker failed on blocks {first} to {last - 1}: "
                              f"{type(exc).__name__}: {exc}") from exc


class _NoWorkerWatch:
    """Abandons a Dask study whose cluster has had no worker for
    NO_WORKER_TIMEOUT seconds (called after each wait that found no task
    done)."""

    def __init__(self, client):
        self.client, self.since = client, None

    def __call__(self, pending):
        if self.client.scheduler_info()["workers"]:
            self.since = None
        elif self.since is None:
            self.since = time.monotonic()
        elif time.monotonic() - self.since > NO_WORKER_TIMEOUT:
            raise DispersionError(f"the Dask cluster has had no worker for {NO_WORKER_TIMEOUT:g} s; "
                                  f"{len(pending)} tasks never ran")


def backend_named(name, workers=None, **options):
    """The backend object for the shorthand `name` ("threads" or "dask");
    `workers` is the thread count, or the size of a local Dask cluster."""
    if name == "threads":
        if options:
            raise TypeError(f"unexpected options for the threads backend: {', '.join(options)}")
        return Threads(workers)
    if name == "dask":
        return Dask(local_workers=workers, **options)
    raise StudyError("backend", f"must be 'threads', 'dask' or a backend object, not {name!r}")
