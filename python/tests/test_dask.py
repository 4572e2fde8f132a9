import faulthandler

import numpy as np
import pytest

import veld
import veld.dask
from conftest import BLOCK, RECORD, records

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def multi_block(tmp_path_factory):
    data = records(1_000_000, 3)  # 20 MB: five blocks, records straddling their ends
    path = tmp_path_factory.mktemp("dask") / "f"
    with veld.Writer(path, b"D" * 777) as w:
        w.write(data)
    return path, data


def test_chunks_follow_the_block_table(multi_block):
    path, data = multi_block
    x = veld.dask.read_records(path, RECORD, blocks_per_chunk=2)
    starts = np.cumsum((0,) + x.chunks[0])
    # Each chunk holds the records that begin in its two blocks.
    assert list(starts) == [0, -(-2 * BLOCK // RECORD.itemsize), -(-4 * BLOCK // RECORD.itemsize), len(data)]
    assert np.array_equal(x.compute(scheduler="threads"), data)
    frame = veld.dask.read_dataframe(path, RECORD)
    assert list(frame.columns) == ["id", "x", "tag"] and frame["x"].sum().compute() == data["x"].sum()


def test_local_cluster_of_processes_matches_numpy(multi_block):
    path, data = multi_block
    # A hang here must end the run, not the CI job's patience.
    faulthandler.dump_traceback_later(240, exit=True)
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster, timeout="60s") as client:
            x = veld.dask.read_records(path, RECORD, blocks_per_chunk=1)
            assert x.numblocks == (5,)
            mean = client.compute(x["x"].mean()).result(timeout=120)
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert mean == pytest.approx(data["x"].mean(), rel=1e-12)
