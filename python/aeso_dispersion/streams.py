"""The random streams of a study: one per input and block.

Samples are numbered 0, 1, ... and grouped into blocks of `block_size`. The
values of input `name` ("section.key") in block b are drawn from
``SeedSequence(seed, spawn_key=(b, name_key(name)))``, always for the whole
block (the last block of a study is drawn in full and cut). An input's
values thus depend only on the seed, the block size, its name and its
distribution: not on the other inputs (fixing, adding or removing one
leaves the draws of the others unchanged, so design variants compare on
the same dispersions), nor on the backend, the worker count, the grouping
of blocks into tasks, or n.
"""

import hashlib

import numpy as np

from .distributions import draw


def name_key(name):
    """A stable 64-bit number for an input name (the same on every run,
    interpreter and platform, unlike hash())."""
    return int.from_bytes(hashlib.sha256(name.encode("utf-8")).digest()[:8], "little")


def input_rng(seed, block, name):
    """The generator of input `name` in block `block` of a study drawn with `seed`."""
    sequence = np.random.SeedSequence(seed, spawn_key=(block, name_key(name)))
    return np.random.Generator(np.random.PCG64(sequence))


def draw_inputs(names, codes, params, seed, block, size):
    """The values of the named inputs in one block, shape (len(names), size),
    each from its own stream."""
    columns = np.empty((len(names), size))
    for j, (name, code, row) in enumerate(zip(names, codes.tolist(), params.tolist())):
        columns[j] = draw(input_rng(seed, block, name), code, row, size)
    return columns
