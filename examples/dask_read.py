"""Fan a history read out over a Dask cluster: the symbol universe is split into partitions, each worker process
starts its own connection pool for its task, reads its partition and returns an Arrow table, and the client
concatenates the tables into one.

The pool is per process, so nothing of it crosses to a worker: a task names the masters and starts the pool
itself. The master here is the stand-in of tests/peer, run in a thread of this process on a free port.
"""

from __future__ import annotations

import warnings

import pyarrow  # type: ignore[import-untyped]
from dask.distributed import Client, LocalCluster

import pyostrel

HIGHEST_REVISION = 0xFFFFFFFF


def read_partition(masters: list[tuple[bytes, int]], ns: int, meta_name: bytes, markets: list[bytes],
                   symbols: list[bytes], fromtm: int, totm: int) -> pyarrow.Table:
    """One task, in a worker: starts the pool, reads the symbols of the markets, stops the pool. A read that
    fails raises here (its RuntimeWarning made an error) rather than return an empty partition."""
    config = pyostrel.KestrinConfig()
    config.masters = masters
    pyostrel.initialize(config)
    pyostrel.start()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)
            rows = pyostrel.read_sv(0, ns, markets, symbols, meta_name, [], HIGHEST_REVISION, 0, fromtm, totm)
        # The list exports its rows as an Arrow stream; pyarrow.table() would take a list as a sequence of
        # columns, so the stream goes through a reader.
        return pyarrow.RecordBatchReader.from_stream(rows).read_all()
    finally:
        pyostrel.stop()


def read_universe(client: Client, masters: list[tuple[bytes, int]], ns: int, meta_name: bytes, markets: list[bytes],
                  universe: list[bytes], partitions: int, fromtm: int, totm: int) -> pyarrow.Table:
    """The rows of every symbol of `universe` in `markets`, read in `partitions` tasks. A partition without rows has the header
    columns only; the concatenation fills the missing field columns with nulls."""
    parts = [universe[i::partitions] for i in range(partitions)]
    futures = client.map(read_partition, [masters] * partitions, [ns] * partitions, [meta_name] * partitions,
                         [markets] * partitions, parts, [fromtm] * partitions, [totm] * partitions)
    tables = client.gather(futures)  # type: ignore[no-untyped-call]
    # One chunk per column; it also realigns the buffers, which the tables' trip between processes may leave
    # unaligned (Arrow's compute engine warns of those).
    return pyarrow.concat_tables(tables, promote_options="default").combine_chunks()


def main() -> None:
    from schema_fixture import schema_binary

    import stand_in_master

    storage_master = stand_in_master.load()

    ns, meta_id, meta_name = 0, 42, b"bar.daily"
    schema = schema_binary(ns, meta_id, meta_name, [(b"close", pyostrel.index_field_type_double, 2)])
    universe = [b"600000", b"600036", b"601318", b"601988", b"688981"]
    rows = []
    for day in range(5):
        for n, code in enumerate(universe):
            row = pyostrel.StructValue()
            row.set_namespace(ns)
            row.set_meta_id(meta_id)
            row.set_market(b"SH")
            row.set_stock_code(code)
            row.set_time_tag(1704153600000 + day * 86400000)  # 2024-01-02 00:00 UTC, then daily
            row.resize(1)
            row.set_double(0, 10.0 + n + day / 4)
            rows.append(row)

    with storage_master.StorageMaster(schema, rows).running() as master:
        masters = [(b"127.0.0.1", master.port)]
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True)  # type: ignore[no-untyped-call]
        with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
            table = read_universe(client, masters, ns, meta_name, [b"SH"], universe, 2, 0, 2**62)
    print(f"{table.num_rows} rows of {len(universe)} symbols in 2 partitions")
    print(table.group_by("code").aggregate([("close", "mean"), ("close", "count")]).sort_by("code"))


if __name__ == "__main__":
    main()
