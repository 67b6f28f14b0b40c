"""Instructions a whole Python process executes, counted by valgrind's callgrind.

Unlike wall or CPU time, the count does not depend on what else the machine
is doing, so it compares two pieces of work precisely on a shared machine.
Counts are taken with a fixed hash seed, where setarch can turn it off
without address-space randomisation, and with NumPy's BLAS on one thread
(its idle worker threads spin for a while, a varying number of
instructions), so that the interpreter's own start-up counts the same from
run to run; the work itself is the difference between a process that does it
and one that does everything else.
"""

import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile


def instructions(code, *args, within=None):
    """Instructions of `python -c code args...` under callgrind; with
    `within` (a function name pattern of callgrind's --toggle-collect, which
    needs an unstripped build), only those executed inside such functions."""
    no_aslr = ["setarch", platform.machine(), "-R"] if shutil.which("setarch") else []
    collect = [f"--toggle-collect={within}"] if within else []
    with tempfile.TemporaryDirectory() as workdir:
        out = subprocess.run(
            [*no_aslr, "valgrind", "--tool=callgrind", f"--callgrind-out-file={workdir}/cg.out", *collect,
             sys.executable, "-c", code, *map(str, args)],
            capture_output=True, text=True, check=True, env={**os.environ, "PYTHONHASHSEED": "0", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"})
    return int(re.search(r"Collected : (\d+)", out.stderr).group(1))
