"""Dask collections over compressed data files.

Each chunk holds the records that begin in a run of whole blocks of the file,
so a chunk inflates only its own blocks (and the start of the next one when a
record straddles the boundary). Every chunk is read independently, by
whichever worker computes it, on Dask's local scheduler or dask.distributed.

    x = veld.dask.read_records("survey.zdat", dtype)
    x["income"].mean().compute()
"""

import os

import numpy as np

import veld

__all__ = ["read_records", "read_dataframe"]


def _read_chunk(path, dtype, start, count, row0, swap):
    # One chunk per task: the reader's own thread does the work, and the
    # worker pool is the parallelism.
    return veld.read_records(path, dtype, start, count, row0=row0, swap=swap, jobs=1)


def _version_of(path, layout):
    """What tells this file's contents apart from an earlier version of it."""
    if path.startswith(("http://", "https://")):
        # No stat over the wire: the table (offsets and sizes of every block) stands in.
        return tuple(layout.blocks), layout.data_end
    stat = os.stat(path)
    return stat.st_mtime_ns, stat.st_size


def _chunk_starts(layout, itemsize, blocks_per_chunk, total):
    """Index of the first record of each chunk: those that begin in its blocks."""
    starts = [0]
    for position, _size in layout.blocks[blocks_per_chunk::blocks_per_chunk]:
        first = -(-(position - layout.row0) // itemsize)  # ceiling: a straddling record stays behind
        if starts[-1] < first < total:
            starts.append(first)
    return starts + [total]


def read_records(path, dtype, *, blocks_per_chunk=16, row0=None, swap=None):
    """The file's case records as a one-dimensional dask.array of `dtype`.

    blocks_per_chunk whole blocks of 4,190,208 uncompressed bytes go into
    each chunk (16: about 64 MiB).
    """
    import dask.array as da
    from dask.base import tokenize

    if blocks_per_chunk < 1:
        raise ValueError("blocks_per_chunk must be at least 1")
    path = os.fspath(path)
    dtype = np.dtype(dtype)
    if dtype.itemsize == 0:
        raise ValueError("the record dtype has no bytes")
    layout = veld._locate(path, row0, swap)
    case_bytes = layout.data_end - layout.row0
    if case_bytes % dtype.itemsize:
        raise ValueError(
            f"{case_bytes} bytes of case data are not a whole number of {dtype.itemsize}-byte records"
        )
    total = case_bytes // dtype.itemsize
    starts = _chunk_starts(layout, dtype.itemsize, blocks_per_chunk, total)
    name = "veld-records-" + tokenize(
        path, _version_of(path, layout), dtype, blocks_per_chunk, layout.row0, layout.swap
    )
    graph = {
        (name, i): (_read_chunk, path, dtype, begin, end - begin, layout.row0, layout.swap)
        for i, (begin, end) in enumerate(zip(starts, starts[1:]))
    }
    chunks = (tuple(end - begin for begin, end in zip(starts, starts[1:])),)
    return da.Array(graph, name, chunks, dtype=dtype)


def read_dataframe(path, dtype, **kwargs):
    """The same records as a dask.dataframe, one column per field of a structured dtype."""
    import dask.dataframe as dd

    return dd.from_dask_array(read_records(path, dtype, **kwargs))
