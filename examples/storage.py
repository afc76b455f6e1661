"""Write a row to a storage master and read it back through the module's connection pool.

The master is the stand-in of tests/peer, run in a thread on a free port; it needs nothing but the module.
"""

import warnings

import pyostrel
import stand_in_master
from schema_fixture import schema_binary

storage_master = stand_in_master.load()

NS, META_ID, META_NAME = 0, 42, b"bar.daily"
HIGHEST_REVISION = 0xFFFFFFFF
columns = [(b"close", pyostrel.index_field_type_double, 2), (b"volume", pyostrel.index_field_type_int_64, 0)]
schema = schema_binary(NS, META_ID, META_NAME, columns)

row = pyostrel.StructValue()
row.set_namespace(NS)
row.set_meta_id(META_ID)
row.set_market(b"SH")
row.set_stock_code(b"600000")
row.set_time_tag(1704159000000)  # 2024-01-02 09:30 UTC+8, epoch ms
row.resize(2)
row.set_double(0, 10.13)
row.set_int_64(1, 1200)

with storage_master.StorageMaster(schema).running() as master:
    config = pyostrel.KestrinConfig()
    config.masters = [(b"127.0.0.1", master.port)]
    pyostrel.initialize(config)
    pyostrel.start()  # connects and loads the master's catalog
    try:
        print(f"master on port {master.port}: metas {[m.get_name() for m in pyostrel.read_meta(0)]}")
        pyostrel.write_sv(0, row, True)  # returns once the master has acknowledged it
        rows = pyostrel.read_sv(0, NS, [b"SH"], [b"600000"], META_NAME, [], HIGHEST_REVISION, 0,
                                row.get_time_tag(), row.get_time_tag())
        for r in rows:
            print(f"read back: {r.get_market()!r} {r.get_stock_code()!r} tag={r.get_time_tag()} "
                  f"close={r.get_double(0)} volume={r.get_int_64(1)}")
        # A read that fails returns no rows and says why in a RuntimeWarning.
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            missing = pyostrel.read_sv(0, NS, [], [], b"no.such.meta", [], HIGHEST_REVISION, 0, 0, 1)
        print(f"unknown meta: {missing} rows; warning: {[str(w.message) for w in caught]}")
    finally:
        pyostrel.stop()
