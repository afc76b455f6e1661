"""Rows as Arrow streams: each holder's __arrow_c_stream__ read by pyarrow, polars and DuckDB, checked against the
rows its own getters give."""

import ctypes
import datetime
import gc
import os
import random
import tracemalloc
from collections import namedtuple

import pytest
from message_tables import GETTER, atoms, batch, batch_set, compressor, response, s
from refcounts import reference_counts
from test_calculator import body as calc_body
from test_history import page_units
from test_rows import row

import pyostrel as p

pa = pytest.importorskip("pyarrow")

HEADER = [("market", pa.string()), ("code", pa.string()), ("time_tag", pa.timestamp("ms", tz="UTC")),
          ("granularity", pa.int32())]
ARROW = {1: pa.int32(), 2: pa.float64(), 3: pa.string(), 7: pa.int64(), 4: pa.list_(pa.int32()),
         5: pa.list_(pa.float64()), 6: pa.list_(pa.string()), 8: pa.list_(pa.int64())}
EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
NO_CATALOG = "no catalog to read the rows with (set_compressor first)"

# ---- random catalogs and rows ------------------------------------------------------------------

I32, I64 = (-(2**31), 2**31 - 1), (-(2**63), 2**63 - 1)
TEXTS = [b"", b"a", b"SH", b"\xe4\xb8\xad\xe6\x96\x87", b"caf\xc3\xa9", b"\xf0\x9f\x98\x80!", b'q"\\\n\x00\x7f']
UNKNOWN = (0, 9, 200)  # kinds the schema may name but no slot carries


def scalar(rnd, code):
    """A slot value as the batch carries it: a Double as its scaled integer."""
    if code == 1:
        return rnd.choice([rnd.randint(*I32), *I32, 0, -1])
    if code in (2, 7):
        return rnd.choice([rnd.randint(-(10**12), 10**12), rnd.randint(*I64), *I64, 0, -1])
    if code == 3:
        return rnd.choice(TEXTS)
    if 4 <= code <= 8:
        return [scalar(rnd, {4: 1, 5: 2, 6: 3, 8: 7}[code]) for _ in range(rnd.choice([0, 0, 1, 3, 5]))]
    return 1  # an unknown kind: the presence bit alone


Case = namedtuple("Case", "key columns rows ser blob svs")


def case(seed, n=None):
    """A catalog of every kind (Double and VDouble at precisions seed % 10 and 9 - seed % 10), an unknown kind and
    a few more columns; rows with about a quarter of their slots absent, the wire blob of them in one to three
    batches, and the same rows as StructValues whose doubles lie off the precision's grid (exported as held)."""
    rnd = random.Random(seed)
    codes = list(range(1, 9)) + [rnd.choice(UNKNOWN)] + [rnd.randint(1, 8) for _ in range(rnd.randint(0, 4))]
    rnd.shuffle(codes)
    first = {2: seed % 10, 5: 9 - seed % 10}
    names = ["f%d", "\u4ef7%d", "caf\u00e9_%d", "v %d"]
    columns = [(rnd.choice(names).replace("%d", str(i)).encode(), code,
                first.pop(code) if code in first else rnd.randint(0, 9)) for i, code in enumerate(codes)]
    key = (rnd.randint(0, 3), rnd.randint(1, 2**31 - 1))
    n = rnd.choice([1, 2, 7, 64, 65, 130]) if n is None else n
    rows = [(rnd.randint(0, 4102444800000), rnd.choice([rnd.randint(*I32), 60, 0, -1]), rnd.choice(TEXTS),
             rnd.choice(TEXTS), [None if rnd.random() < 0.25 else scalar(rnd, c) for _, c, _ in columns])
            for _ in range(n)]
    cuts = sorted(rnd.sample(range(1, n), min(n - 1, rnd.randint(0, 2)))) if n > 1 else []
    chunks = [rows[a:b] for a, b in zip([0] + cuts, cuts + [n])]
    blob = batch_set(*(batch(key, columns, chunk) for chunk in chunks))
    ser = compressor((key, b"rows." + str(seed).encode(), 1, columns))

    def native(code, precision, v):
        if code == 2:
            return v * float(f"1e-{precision}") + rnd.uniform(-0.45, 0.45) * 10.0 ** -precision
        return [native(2, precision, x) for x in v] if code == 5 else v

    svs = [row([None if v is None or code not in GETTER else (code, native(code, prec, v))
                for (_, code, prec), v in zip(columns, slots)],
               ns=key[0], meta_id=key[1], time_tag=t, granularity=g, market=m, code=c)
           for t, g, m, c, slots in rows]
    return Case(key, columns, rows, ser, blob, svs)


def expected(svs, columns):
    """The rows as pyarrow's to_pylist gives them, read through the StructValue getters."""
    def slot(sv, i, code, precision):
        if code not in GETTER or sv.is_empty(i):
            return None
        v = getattr(sv, GETTER[code])(i)
        if code in (3, 6):
            return v.decode() if code == 3 else [x.decode() for x in v]
        return v
    return [{"market": sv.get_market().decode(), "code": sv.get_stock_code().decode(),
             "time_tag": EPOCH + datetime.timedelta(milliseconds=sv.get_time_tag()),
             "granularity": sv.get_granularity(),
             **{name.decode(): slot(sv, i, code, prec) for i, (name, code, prec) in enumerate(columns)}}
            for sv in svs]


# ---- the holders: (class, load the case into an instance, the getter of its rows) ----------------------

def load_fetch(h, c):
    h.set_compressor(c.ser)
    h.decode(response(1, 2, 0, b"m") + s(b"ns") + b"".join(atoms("vec<string>", [b"f"])) + s(c.blob))


def load_seeds(h, c):
    h.set_compressor(c.ser)
    h.decode(response() + s(b"ns") + s(c.blob))


def load_push(h, c):
    h.set_compressor(c.ser)
    h.set_values(c.svs)


def load_sva(h, c):
    h.reset()
    h.set_compressor(c.ser)
    h.set_sva(*c.key, c.svs)


def load_historical(h, c):
    h.set_compressor(c.ser)
    h.decode_string(p.TCHistoricalRes().encode_string()[:-4] + s(c.blob))  # the rows come last


HOLDERS = {
    "ATFetchSVRes": (p.ATFetchSVRes, load_fetch, "results"),
    "NetResponse": (p.NetResponse, lambda h, c: h.decode_string(b"".join(page_units(c.blob)), c.ser), "rows"),
    "ATUniverseSeedsRes": (p.ATUniverseSeedsRes, load_seeds, "seed_data"),
    "TCHistoricalRes": (p.TCHistoricalRes, load_historical, "results"),
    "TCDataCommunication": (p.TCDataCommunication, lambda h, c: h.decode_string(calc_body(c.blob), c.ser), "all"),
    "TCDataCommunication.set_sva": (p.TCDataCommunication, load_sva, "all"),
    **{cls.__name__: (cls, load_push, "values")
       for cls in (p.DRBinaryPushDataReq, p.DRReportMarketMetaReq, p.DRSamplerPushDataReq)},
}


def holder(kind, c):
    cls, load, getter = HOLDERS[kind]
    h = cls()
    load(h, c)
    return h, expected(getattr(h, getter)(), c.columns)


def check_schema(schema, columns):
    assert schema.names == [n for n, _ in HEADER] + [name.decode() for name, *_ in columns]
    assert [schema.field(n).type for n, _ in HEADER] == [t for _, t in HEADER]
    for (name, code, precision), field in zip(columns, list(schema)[len(HEADER):]):
        want = ARROW.get(code, pa.null())
        assert field.type == want or (pa.types.is_list(field.type) and pa.types.is_list(want)
                                      and field.type.value_type == want.value_type), (name, code, field.type)
        assert field.metadata == {b"precision": str(precision).encode()}, name


# ---- contents and schema ------------------------------------------------------------------------

@pytest.mark.parametrize("seed", range(10))
@pytest.mark.parametrize("kind", HOLDERS)
def test_tables_hold_what_the_getters_give(kind, seed):
    c = case(seed)
    h, rows = holder(kind, c)
    table = pa.table(h)
    check_schema(table.schema, c.columns)
    assert table.num_rows == len(c.rows)
    assert table.to_pylist() == rows
    assert pa.table(h).to_pylist() == rows  # again, after the getter has taken the decoded rows


def test_decoded_calculator_doubles_are_exported_as_decoded():
    # Rows held natively are exported as held: a scaled value above 2^53 would not survive packing them again.
    columns = [(b"x", 2, 9)]
    m = p.TCDataCommunication()
    m.decode_string(calc_body(batch_set(batch((0, 7), columns, [(0, 0, b"", b"", [12345678901234568])]))),
                    compressor(((0, 7), b"x", 1, columns)))
    assert m.all()[0].get_double(0) == 12345678901234568 * 1e-9 == 12345678.901234569
    assert pa.table(m).column("x").to_pylist() == [12345678.901234569]  # not 12345678.90123457


def test_the_capsule_and_requested_schema():
    h, rows = holder("ATFetchSVRes", case(1))
    is_valid = ctypes.pythonapi.PyCapsule_IsValid
    is_valid.argtypes, is_valid.restype = [ctypes.py_object, ctypes.c_char_p], ctypes.c_int
    for capsule in (h.__arrow_c_stream__(), h.__arrow_c_stream__(None),
                    h.__arrow_c_stream__(requested_schema=pa.schema([]).__arrow_c_schema__())):
        assert type(capsule).__name__ == "PyCapsule" and is_valid(capsule, b"arrow_array_stream") == 1

    class Asking:  # a consumer asking for another schema gets the rows as they are
        def __arrow_c_stream__(self, requested_schema=None):
            return h.__arrow_c_stream__(pa.schema([("x", pa.int8())]).__arrow_c_schema__())

    assert pa.table(Asking()).to_pylist() == rows


@pytest.mark.parametrize("kind", HOLDERS)
def test_no_rows_give_the_header_columns(kind):
    cls, load, *_ = HOLDERS[kind]
    table = pa.table(cls())  # a fresh holder: no rows and no catalog
    assert table.num_rows == 0 and table.schema.names == [n for n, _ in HEADER]
    assert [f.type for f in table.schema] == [t for _, t in HEADER]
    c = case(4, n=0)
    h = cls()
    load(h, c)
    table = pa.table(h)
    assert table.num_rows == 0 and table.schema.names[:len(HEADER)] == [n for n, _ in HEADER]
    if len(table.schema) > len(HEADER):  # the row type was known
        check_schema(table.schema, c.columns)


TWO = [((0, 7), b"a", 1, [(b"n", 1, 0)]), ((1, 5), b"b", 1, [(b"n", 1, 0)])]
TWO_BLOB = batch_set(batch((0, 7), [(b"n", 1, 0)], [(1, 0, b"SH", b"x", [1])]),
                     batch((1, 5), [(b"n", 1, 0)], [(2, 0, b"SH", b"y", [2])]))
TWO_ROWS = [row([(1, 1)], ns=0, meta_id=7), row([(1, 2)], ns=1, meta_id=5)]


def two_sva(h, c):
    h.set_compressor(c.ser)
    h.set_sva(0, 7, TWO_ROWS[:1]), h.set_sva(1, 5, TWO_ROWS[1:])


@pytest.mark.parametrize("kind", HOLDERS)
def test_rows_of_several_row_types_are_refused_naming_them(kind):
    cls, load, *_ = HOLDERS[kind]
    c = Case(None, None, None, compressor(*TWO), TWO_BLOB, TWO_ROWS)
    h = cls()
    (two_sva if kind == "TCDataCommunication.set_sva" else load)(h, c)
    for export in (h.__arrow_c_stream__, lambda: pa.table(h)):
        with pytest.raises(Exception) as info:
            export()
        assert type(info.value) is Exception and "rows of several schema rows: (0, 7), (1, 5)" in str(info.value)


@pytest.mark.parametrize("kind, load", [
    ("ATFetchSVRes", lambda h, c: h.decode(response() + s(b"ns") + b"\0" * 4 + s(c.blob))),
    ("ATUniverseSeedsRes", lambda h, c: h.decode(response() + s(b"ns") + s(c.blob))),
    ("TCHistoricalRes", lambda h, c: h.decode_string(p.TCHistoricalRes().encode_string()[:-4] + s(c.blob))),
    ("TCDataCommunication", lambda h, c: h.set_sva(*c.key, c.svs)),
    ("DRBinaryPushDataReq", lambda h, c: h.set_values(c.svs)),
    ("DRSamplerPushDataReq", lambda h, c: h.set_values(c.svs)),
    ("DRReportMarketMetaReq", lambda h, c: h.set_values(c.svs)),
])
def test_rows_without_a_catalog_are_refused(kind, load):
    h = HOLDERS[kind][0]()
    load(h, case(5))
    with pytest.raises(Exception) as info:
        h.__arrow_c_stream__()
    assert type(info.value) is Exception and str(info.value).endswith(": " + NO_CATALOG), str(info.value)


# ---- lifetimes ------------------------------------------------------------------------------------

@pytest.mark.parametrize("kind", HOLDERS)
def test_tables_and_unread_streams_outlive_their_holder_and_its_next_rows(kind):
    first, second = case(6), case(7)
    h, rows = holder(kind, first)
    table, reader = pa.table(h), pa.RecordBatchReader.from_stream(h)  # the reader has read nothing yet
    HOLDERS[kind][1](h, second)  # decoded (or given rows) again, with another catalog
    _, rows2 = holder(kind, second)
    later = pa.RecordBatchReader.from_stream(h)
    del h, first
    gc.collect()
    assert table.to_pylist() == rows and reader.read_all().to_pylist() == rows
    assert later.read_all().to_pylist() == rows2


# ---- other readers --------------------------------------------------------------------------------

def test_polars_reads_the_stream():
    pl = pytest.importorskip("polars")
    h, rows = holder("ATFetchSVRes", case(3))
    frame = pl.DataFrame(h)
    assert frame.columns == pa.table(h).schema.names and frame.to_dicts() == rows


def test_duckdb_reads_the_stream():
    duckdb = pytest.importorskip("duckdb")
    c = case(8)
    h, rows = holder("DRBinaryPushDataReq", c)
    names = [name.decode() for name, *_ in c.columns]
    query = "select market, code, epoch_ms(time_tag), granularity, " + ", ".join(f'"{n}"' for n in names)
    with duckdb.connect() as con:
        got = con.sql(query + " from h").fetchall()
    ms = datetime.timedelta(milliseconds=1)
    assert got == [(r["market"], r["code"], (r["time_tag"] - EPOCH) // ms, r["granularity"], *(r[n] for n in names))
                   for r in rows]


# ---- leaks ----------------------------------------------------------------------------------------

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_exports_leak_nothing():
    c = case(9, n=2)
    h, rows = holder("ATFetchSVRes", c)
    two = p.ATFetchSVRes()
    load_fetch(two, Case(None, None, None, compressor(*TWO), TWO_BLOB, None))
    watched = (h, two, c.ser, c.blob, p.ATFetchSVRes)

    def export(n):
        for i in range(n):
            if i % 8 > 1:
                h.__arrow_c_stream__()  # dropped unread: the capsule releases the stream
            elif i % 8:
                pa.RecordBatchReader.from_stream(h).read_all()
            else:
                try:
                    two.__arrow_c_stream__()
                except Exception:
                    pass

    export(2000)
    gc.collect()
    counts, memory = reference_counts(watched), rss()
    tracemalloc.start()
    try:
        export(100_000)
        gc.collect()
        current, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert reference_counts(watched) == counts
    assert current < 64 * 1024, current
    # A sanitizer runtime keeps freed blocks in quarantine, so the process grows there without any leak; there
    # the C++ tests' leak check covers the export's own frees.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert rss() - memory < 2**20, rss() - memory
    assert pa.table(h).to_pylist() == rows
