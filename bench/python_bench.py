#!/usr/bin/env python3
"""Python reach, measured against references in the same run.

1. NumPy: veld.read_records of a whole file against `veld unpack` writing the
   same bytes (both with a worker inflating ahead). Prints the ratio of the
   times (read_records / unpack); within 1.10 is the goal.
2. Dask: a statistic over the file on a LocalCluster of 2 worker processes;
   prints how many chunk tasks each worker computed and checks the answer
   against NumPy's on the whole array.

Run from the source tree after `make build` (Debian's python3):
    python3 bench/python_bench.py [--size MB] [--dir DIR] [--repeat N]
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
RECORD = np.dtype([("id", "<i8"), ("income", "<f8"), ("age", "<i2"), ("region", "S6")])
DICTIONARY = b"survey dictionary part\n" * 2000


def make_file(path, size_mb):
    import veld

    n = size_mb * (1 << 20) // RECORD.itemsize
    rng = np.random.default_rng(1)
    with veld.Writer(path, DICTIONARY) as w:
        for start in range(0, n, 1 << 20):
            r = np.empty(min(1 << 20, n - start), RECORD)
            r["id"] = np.arange(start, start + len(r))
            r["income"] = np.round(rng.lognormal(10, 0.5, len(r)), 2)
            r["age"] = rng.integers(18, 90, len(r))
            r["region"] = rng.choice([b"north", b"south", b"east", b"west"], len(r))
            w.write(r)
    return n


def best_of(repeat, fn):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def numpy_against_unpack(path, program, out, repeat):
    import veld

    unpack = best_of(repeat, lambda: subprocess.run(
        [program, "unpack", path, out, "--threads", "2", "--quiet"], check=True))
    records = None

    def read():
        nonlocal records
        records = None  # the previous array's memory goes back first
        records = veld.read_records(path, RECORD, jobs=2)

    read_time = best_of(repeat, read)
    size = os.path.getsize(out)
    print(f"veld unpack --threads 2    {unpack:7.3f} s  {size / unpack / 2**20:7.1f} MiB/s")
    print(f"veld.read_records jobs=2   {read_time:7.3f} s  {records.nbytes / read_time / 2**20:7.1f} MiB/s")
    print(f"ratio read_records / unpack: {read_time / unpack:.3f}  (goal: 1.10 or less)")
    return records


def dask_on_two_processes(path, records, blocks_per_chunk):
    import veld.dask
    from distributed import Client, LocalCluster, get_task_stream

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        workers = len(client.scheduler_info()["workers"])
        x = veld.dask.read_records(path, RECORD, blocks_per_chunk=blocks_per_chunk)
        t = time.perf_counter()
        with get_task_stream(client) as stream:
            mean = client.compute(x["income"].mean()).result(timeout=600)
        elapsed = time.perf_counter() - t
        counts = {}
        for task in stream.data:
            if "veld-records" in str(task["key"]):
                counts[task["worker"]] = counts.get(task["worker"], 0) + 1
    expected = records["income"].mean()
    print(f"dask: {x.numblocks[0]} chunks of {blocks_per_chunk} blocks, mean income {mean:.6f} "
          f"(NumPy on the whole array: {expected:.6f}, {'same' if np.isclose(mean, expected, rtol=1e-12) else 'DIFFERENT'}) "
          f"in {elapsed:.3f} s")
    for worker, count in sorted(counts.items()):
        print(f"  worker {worker}: {count} chunk tasks")
    print(f"workers used: {len(counts)} of {workers}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=300, help="case data in MB (default 300)")
    parser.add_argument("--dir", help="where the files go (default: a temporary directory)")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs of each, the best counts")
    parser.add_argument("--build", default=str(ROOT / "build" / "release"), help="the build directory")
    parser.add_argument("--blocks-per-chunk", type=int, default=4)
    args = parser.parse_args()

    build = pathlib.Path(args.build)
    sys.path.insert(0, str(build / "python"))
    os.environ["PYTHONPATH"] = str(build / "python") + os.pathsep + os.environ.get("PYTHONPATH", "")
    program = str(build / "bin" / "veld")

    work = pathlib.Path(args.dir or tempfile.mkdtemp(prefix="veld-python-bench-"))
    work.mkdir(parents=True, exist_ok=True)
    try:
        path = str(work / "survey.zdat")
        n = make_file(path, args.size)
        print(f"{path}: {n:,} records of {RECORD.itemsize} bytes, {os.path.getsize(path):,} bytes on disk")
        records = numpy_against_unpack(path, program, str(work / "survey.dat"), args.repeat)
        dask_on_two_processes(path, records, args.blocks_per_chunk)
    finally:
        if not args.dir:
            shutil.rmtree(work)


if __name__ == "__main__":
    main()
