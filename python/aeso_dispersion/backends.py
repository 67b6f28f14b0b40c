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

from .engine import run_block, run_blocks
from .errors import DispersionError, StudyError, require
from .results import DispersionResult
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
    """Gathers block results into the study's arrays, on the calling thread."""

    def __init__(self, n, n_inputs, block_size, bar):
        self.inputs = np.empty((n_inputs, n))
        self.apogees = np.empty(n)
        self.codes = np.zeros(n, dtype=np.int32)
        self.table = {}
        self.block_size = block_size
        self.bar = bar

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
        if self.bar is not None:
            self.bar.update(hi - lo)


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


def run_study(study, n, seed, backend="threads", workers=None, progress=None, **options):
    if seed is None:
        seed = int(np.random.SeedSequence().entropy)
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers <= 0):
        raise StudyError("workers", f"must be a positive integer, not {workers!r}")
    plan = study.plan
    block_size = plan.block_size
    n_blocks = math.ceil(n / block_size)
    bar = _progress_bar(progress, n)
    collector = _Collector(n, int(np.count_nonzero(plan.codes)), block_size, bar)
    started = time.perf_counter()
    try:
        if backend == "threads":
            if options:
                raise TypeError(f"unexpected options for the threads backend: {', '.join(options)}")
            workers = workers or os.cpu_count() or 1
            _run_threads(tuple(plan), seed, n, n_blocks, workers, collector)
        elif backend == "dask":
            workers = _run_dask(tuple(plan), seed, n, n_blocks, workers, collector, **options)
        else:
            raise StudyError("backend", f"must be 'threads' or 'dask', not {backend!r}")
    finally:
        if bar is not None:
            bar.close()
    elapsed = time.perf_counter() - started
    return DispersionResult(
        study=study, n=n, seed=seed, inputs=collector.inputs, apogees=collector.apogees,
        codes=collector.codes, reasons=tuple(collector.table), backend=backend,
        workers=workers, elapsed=elapsed)


def _block_count(n, block_size, block):
    return min(block_size, n - block * block_size)


def _run_threads(plan, seed, n, n_blocks, workers, collector):
    """Runs the blocks on `workers` threads.

    Only a few blocks per thread are queued at a time. On any exception in
    the calling thread (KeyboardInterrupt included) the stop event makes the
    running blocks give up at their next sample, queued blocks are cancelled
    and the exception propagates without waiting for the threads.
    """
    block_size = Plan(*plan).block_size
    stop = threading.Event()
    executor = ThreadPoolExecutor(workers, thread_name_prefix="aeso-dispersion")
    blocks = iter(range(n_blocks))
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
                submit()
    except BaseException:
        stop.set()
        raise
    finally:
        executor.shutdown(wait=False, cancel_futures=True)


def _run_dask(plan, seed, n, n_blocks, workers, collector, client=None, address=None,
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
            except OSError as exc:
                raise DispersionError(f"cannot connect to the Dask scheduler at {address}: {exc}") from exc
            owned.append(client)
        elif client is None:
            cluster = distributed.LocalCluster(
                n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                processes=processes, dashboard_address=None, silence_logs=logging.ERROR)
            owned.append(cluster)
            client = distributed.Client(cluster)
            owned.insert(0, client)
        n_workers = len(client.scheduler_info()["workers"]) or 1
        if blocks_per_task is None:
            blocks_per_task = max(1, math.ceil(n_blocks / (TASKS_PER_DASK_WORKER * n_workers)))
        pending = {}
        for first in range(0, n_blocks, blocks_per_task):
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
