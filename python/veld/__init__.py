"""Compressed data files from Python.

A data file is a plain dictionary part (bytes 0 to row0 - 1) followed by the
case data, stored as independent zlib blocks with a position-info table and a
24-byte heading at row0. Positions are those of the uncompressed file.

    with veld.open("survey.zdat") as f:        # a binary file object
        f.seek(123456); head = f.read(100)
    records = veld.read_records("survey.zdat", dtype)   # a NumPy array
    with veld.Writer("new.zdat", dictionary) as w:
        w.write(records)

    frame = veld.read_dataframe("survey.zdat", dtype)  # a pandas DataFrame

A damaged file raises veld.DamagedFileError (with .block and .offset where
the library names them); a file with no compressed part at all raises a
plain ValueError ("not a compressed data file"); a refusal of the disk
raises OSError with .errno.
`jobs` counts the threads working on one file, the caller's included: 1 does
everything on the caller's thread, n >= 2 lets n - 1 workers inflate blocks
ahead (reading) or compress blocks at once (writing). Every setting gives
the same bytes and the same errors.
"""

import io
import os

import numpy as np

from ._veld import DamagedFileError, Writer, __version__, _info, _locate, _Reader, _recover, _verify

__all__ = [
    "DamagedFileError", "Writer", "VeldFile", "open", "read_records", "read_dataframe",
    "append", "info", "verify", "recover", "__version__",
]


class VeldFile(io.RawIOBase):
    """The uncompressed bytes of a compressed data file, with random access.

    Made by veld.open. `row0` and `swap` tell where the case data starts and
    in which byte order its table is; `size` is the uncompressed length.
    """

    def __init__(self, path, row0=None, swap=None, jobs=2):
        super().__init__()
        self.name = os.fspath(path)
        self._reader = _Reader(_locate(self.name, row0, swap), jobs)

    def readable(self):
        self._checkClosed()
        return True

    def seekable(self):
        self._checkClosed()
        return True

    def readinto(self, buffer):
        self._checkClosed()
        # Straight into the caller's memory, with the GIL let go.
        view = memoryview(buffer)
        if view.ndim != 1 or view.itemsize != 1:
            view = view.cast("B")
        return self._reader.readinto(view)

    def readall(self):
        self._checkClosed()
        out = bytearray(max(self._reader.size - self._reader.tell(), 0))
        n = self._reader.readinto(out)
        del out[n:]
        return bytes(out)

    def seek(self, offset, whence=os.SEEK_SET):
        self._checkClosed()
        return self._reader.seek(offset, whence)

    def tell(self):
        self._checkClosed()
        return self._reader.tell()

    def close(self):
        if not self.closed:
            try:
                # Absent when the constructor failed.
                reader = getattr(self, "_reader", None)
                if reader is not None:
                    reader.close()
            finally:
                super().close()

    @property
    def row0(self):
        return self._reader.row0

    @property
    def swap(self):
        return self._reader.swap

    @property
    def size(self):
        return self._reader.size


def open(path, row0=None, swap=None, jobs=2):  # noqa: A001 - the module's own open, as gzip.open
    """Opens a compressed data file for reading as a binary file object.

    row0 is found as the veld program finds it when omitted; swap=None tries
    the native byte order first, then the other.
    """
    return VeldFile(path, row0, swap, jobs)


def read_records(path, dtype, start=0, count=None, *, row0=None, swap=None, jobs=2):
    """Case records start to start + count (all that follow when None) as a NumPy array.

    dtype describes one fixed-width record (a structured dtype, usually);
    the bytes are read straight into the array's memory.
    """
    dtype = np.dtype(dtype)
    if dtype.itemsize == 0:
        raise ValueError("the record dtype has no bytes")
    if start < 0 or (count is not None and count < 0):
        raise ValueError("start and count must not be negative")
    with open(path, row0, swap, jobs) as f:
        case_bytes = f.size - f.row0
        total = case_bytes // dtype.itemsize
        if case_bytes % dtype.itemsize:
            raise ValueError(
                f"{case_bytes} bytes of case data are not a whole number of {dtype.itemsize}-byte records"
            )
        if count is None:
            count = max(total - start, 0)
        if start + count > total:
            raise ValueError(f"records {start} to {start + count} asked for; the file holds {total}")
        records = np.empty(count, dtype)
        f.seek(f.row0 + start * dtype.itemsize)
        got = f.readinto(records.view(np.uint8))
        if got != records.nbytes:
            error = DamagedFileError(f"the case data ended after {got} of {records.nbytes} bytes")
            error.filename, error.block, error.offset = f.name, None, None
            raise error
        return records


def read_dataframe(path, dtype, start=0, count=None, *, row0=None, swap=None, jobs=2):
    """Case records as a pandas DataFrame: one column per field of `dtype`.

    Takes the arguments of read_records. A dtype without fields gives one
    column. Columns are in the machine's byte order whatever the file's;
    a field with a shape of its own (a subarray) has no column form and is
    refused: read_records keeps it.
    """
    import pandas as pd

    dtype = np.dtype(dtype)
    for name in dtype.names or ():
        if dtype.fields[name][0].shape:
            raise ValueError(f"field {name!r} holds an array of shape {dtype.fields[name][0].shape}; "
                             "a DataFrame column cannot: use read_records")
    records = read_records(path, dtype, start, count, row0=row0, swap=swap, jobs=jobs)
    if dtype.names is None:
        return pd.DataFrame({0: _native(records)})
    return pd.DataFrame({name: _native(records[name]) for name in dtype.names})


def _native(column):
    # pandas computes on the machine's byte order only.
    if column.dtype.byteorder in "=|" or column.dtype.isnative:
        return np.ascontiguousarray(column)
    return column.astype(column.dtype.newbyteorder("="))


def append(path, row0=None, swap=None, in_place=False, jobs=2):
    """A veld.Writer that appends case data after the file's last byte of it.

    By default the new payloads and table go after the current table and the
    heading is rewritten last, so the file reads as before until close()
    has finished (a failure or a crash loses only the new bytes). in_place
    rewrites the table and the short last block where they are, as the
    library's setFileToAppend does: the file is unreadable until close().
    jobs counts the threads, as for Writer; the file is the same for any.
    """
    return Writer._append(_locate(os.fspath(path), row0, swap), in_place, jobs)


def info(path, row0=None, swap=None, blocks=False):
    """What `veld info --json` prints, as a dict with the same keys and values."""
    return _info(os.fspath(path), row0, swap, blocks)


def verify(path, row0=None, swap=None, jobs=2):
    """Inflates every block; the problems found (a list of dicts with block, offset, text)."""
    return _verify(os.fspath(path), row0, swap, jobs)


def recover(path, output=None, row0=None, swap=None, in_place=False):
    """Rebuilds the table of a file whose table or heading is lost or damaged.

    Every complete block is kept; the new file goes to `output` (PATH.recovered
    when None), or replaces the input when in_place. Nothing is written when
    the file is sound. Answers a dict: what was kept (block_count, case_bytes),
    what was lost (lost_blocks, lost_case_bytes: None when no table counts
    them), where the damage starts (damage_offset, damage), and output.
    """
    path = os.fspath(path)
    if in_place and output is not None:
        raise ValueError("give output or in_place, not both")
    output = path if in_place else os.fspath(output) if output is not None else path + ".recovered"
    if not in_place and os.path.abspath(output) == os.path.abspath(path):
        raise ValueError("output is the input itself; give in_place=True to replace it")
    return _recover(path, output, row0, swap)
