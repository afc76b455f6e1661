"""Reads fanned out over a Dask cluster of two worker processes, each starting its own pool against the stand-in
master: the concatenated tables equal one read in this process."""

import pytest
from storage_helpers import ROWS, SCHEMA, NAME, NS, peers, pool, read_ok, start  # noqa: F401 (fixtures)

pa = pytest.importorskip("pyarrow")
distributed = pytest.importorskip("dask.distributed")
cloudpickle = pytest.importorskip("cloudpickle")

import dask_read  # noqa: E402  (examples/, on the path through storage_helpers)


def test_partitions_read_in_worker_processes_equal_one_read(pool, peers):
    master = peers(SCHEMA, ROWS, page_size=7)
    markets, codes = [b"SH", b"SZ"], [b"600000", b"600001", b"000001"]
    # The workers import nothing of the tests: the example's functions travel by value.
    cloudpickle.register_pickle_by_value(dask_read)
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            fanned = dask_read.read_universe(client, [(b"127.0.0.1", master.port)], NS, NAME, markets, codes, 2,
                                             0, 2**62)
    finally:
        cloudpickle.unregister_pickle_by_value(dask_read)
    start(master)
    single = pa.RecordBatchReader.from_stream(read_ok(markets=markets, symbols=codes)).read_all()
    order = [("market", "ascending"), ("code", "ascending"), ("time_tag", "ascending")]
    assert fanned.num_rows == len(ROWS)
    assert fanned.schema == single.schema
    assert fanned.sort_by(order).to_pylist() == single.sort_by(order).to_pylist()
