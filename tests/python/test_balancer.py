"""The load balancer: StructValueKey, key masks, update_clusters and worker_svm's per-worker bodies."""

import itertools

import pytest
from message_tables import GETTER, compressor, raises_exactly
from test_calculator import COUNT, COUNT_COLS, KINDS, QUOTE, SCHEMA, batches_of, count, quote, split

import pyostrel
from pyostrel import StructValueKey, TCDataCommunication

OVERFLOW = "out of range integral type conversion attempted"
REQUIRES = "worker_svm requires set_compressor/decode_string first"


def key(ns=0xFFFF, meta_id=0, market=b"", code=b"", granularity=0):
    k = StructValueKey()
    k.ns, k.meta_id, k.market, k.code, k.granularity = ns, meta_id, market, code, granularity
    return k


def fields(k):
    return (k.ns, k.meta_id, k.market, k.code, k.granularity)


def by_code(*codes):
    """The task key of rows when only the code counts."""
    return [key(code=c) for c in codes]


def balancer(ser=None, mask=(False, False, False, True, False)):
    m = TCDataCommunication()
    if ser is not None:
        m.set_compressor(ser)
    m.set_lb_key_mask(*mask)
    return m


def summary(rows):
    """What a row is, whatever its type: header and slot values (None for Empty)."""
    def slots(r):
        kinds = KINDS[(r.get_namespace(), r.get_meta_id())]
        return [None if r.is_empty(i) else getattr(r, GETTER[k])(i) for i, k in enumerate(kinds)]
    return [(r.get_namespace(), r.get_meta_id(), r.get_market(), r.get_stock_code(), r.get_time_tag(), slots(r))
            for r in rows]


def as_sent(rows):
    """A body holds one batch per (namespace, meta id), ascending; each keeps its rows' order."""
    return sorted(rows, key=lambda r: r[:2])


def received(bodies, ser):
    """{worker: (prefix fields, rows)}, read back with struct and IndexSerializer.deserialize_batch."""
    out = {}
    for w, data in bodies.items():
        fields_, raw = split(data)
        out[w] = (fields_, summary([r for b in batches_of(raw) for r in ser.deserialize_batch(b)]))
    return out


@pytest.fixture
def ser():
    return compressor(*SCHEMA)


# ---- StructValueKey ------------------------------------------------------------------------------

def test_key_defaults_attributes_and_repr():
    k = StructValueKey()
    assert fields(k) == (0xFFFF, 0, b"", b"", 0)
    k = key(1, 2**32 - 1, b"SH", b"\xe4\xb8\xad", 60)
    assert fields(k) == (1, 2**32 - 1, b"SH", b"\xe4\xb8\xad", 60)
    assert repr(k) == r"StructValueKey(ns=1, meta_id=4294967295, market=b'SH', code=b'\xe4\xb8\xad', granularity=60)"


@pytest.mark.parametrize("name, value, exc, message", [
    ("ns", 2**16, OverflowError, OVERFLOW), ("meta_id", -1, OverflowError, OVERFLOW),
    ("granularity", 2**32, OverflowError, OVERFLOW),
    ("market", "SH", TypeError, "argument 'v': 'str' object cannot be converted to 'bytes'"),
    ("code", b"\xff", Exception, "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 0")])
def test_key_attributes_refuse_bad_values(name, value, exc, message):
    k = key(1, 2, b"m", b"c", 3)
    with pytest.raises(exc) as info:
        setattr(k, name, value)
    assert type(info.value) is exc and str(info.value) == message
    assert fields(k) == (1, 2, b"m", b"c", 3)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(k, name)


# Keys differing in every field, texts compared as unsigned bytes.
KEYS = [key(ns, meta, market, code, gran) for ns, meta, market, code, gran in itertools.product(
    (0, 0xFFFF), (0, 2**32 - 1), (b"", b"SH", b"\xc3\xa9"), (b"a", b"ab"), (0, 7))]


def test_key_equality_hash_and_order_agree_with_the_fields():
    twins = [key(*fields(k)) for k in KEYS]
    for a, b in itertools.product(KEYS, twins):
        fa, fb = fields(a), fields(b)
        assert (a == b, a != b, a < b, a <= b, a > b, a >= b) == (fa == fb, fa != fb, fa < fb, fa <= fb, fa > fb,
                                                                  fa >= fb)
        if a == b:
            assert hash(a) == hash(b)
    assert [fields(k) for k in sorted(twins[::-1])] == sorted(fields(k) for k in KEYS)
    table = {k: i for i, k in enumerate(KEYS)}
    assert all(table[t] == i for i, t in enumerate(twins)) and len(set(KEYS + twins)) == len(KEYS)
    assert (KEYS[0] == 1) is False and KEYS[0] != "x"
    with pytest.raises(TypeError):
        KEYS[0] < 1


# ---- masks and keys without workers ------------------------------------------------------------

ROW = dict(ns=1, meta_id=5, market=b"SZ", code=b"c", gran=9)


@pytest.mark.parametrize("mask, expected", [
    ((False,) * 5, (0xFFFF, 0, b"", b"", 0)),
    ((True, False, False, False, False), (1, 0, b"", b"", 0)),
    ((False, True, False, False, False), (0xFFFF, 5, b"", b"", 0)),
    ((False, False, True, False, False), (0xFFFF, 0, b"SZ", b"", 0)),
    ((False, False, False, True, False), (0xFFFF, 0, b"", b"c", 0)),
    ((False, False, False, False, True), (0xFFFF, 0, b"", b"", 9)),
    ((True,) * 5, (1, 5, b"SZ", b"c", 9))])
def test_key_mask_chooses_the_fields_of_a_task_key(mask, expected):
    m = balancer(mask=mask)
    r = pyostrel.StructValue()
    r.set_namespace(1), r.set_meta_id(5), r.set_market(b"SZ"), r.set_stock_code(b"c"), r.set_granularity(9)
    r.resize(1)
    m.set_sva(1, 5, [r])
    assert [fields(k) for k in m.wild_task_keys()] == [expected]
    [(k, row)] = m.wild_tasks()
    assert fields(k) == expected and summary([row]) == summary([r])


def test_wild_tasks_of_rows_without_workers():
    m = balancer(mask=(True, False, False, False, False))
    m.set_sva(*COUNT, [count(1, code=b"x"), count(2, code=b"y")])
    m.set_sva(*QUOTE, [quote(b"z", 1.0)])
    # One key per namespace whatever the markets and codes; distinct keys, ascending.
    assert [fields(k) for k in m.wild_task_keys()] == [(0, 0, b"", b"", 0), (1, 0, b"", b"", 0)]
    assert [(fields(k), r.get_stock_code()) for k, r in m.wild_tasks()] == [
        ((0, 0, b"", b"", 0), b"z"), ((1, 0, b"", b"", 0), b"x"), ((1, 0, b"", b"", 0), b"y")]
    m.setup_workers({key(ns=1): [3]})
    assert [fields(k) for k in m.wild_task_keys()] == [(0, 0, b"", b"", 0)]
    assert [r.get_stock_code() for _, r in m.wild_tasks()] == [b"z"]


# ---- the workers map ---------------------------------------------------------------------------

def test_setup_assign_and_clear_workers():
    m = TCDataCommunication()
    a, b, c = by_code(b"a", b"b", b"c")
    m.setup_workers({b: (3,), a: {1, 2}})
    got = m.workers
    assert got == {a: {1, 2}, b: {3}} and list(got) == [a, b]  # ordered by key
    got[a].add(9)
    assert m.workers[a] == {1, 2}
    m.assign_task_keys(pyostrel.StructValueKeyToSetOfUint32Map({a: [7], c: []}))
    assert m.workers == {a: {7}, b: {3}, c: set()}
    m.workers = {c: [0]}
    assert m.workers == {c: {0}}
    m.clear_workers()
    assert m.workers == {}


@pytest.mark.parametrize("arg, exc, message", [
    ([], TypeError, "argument 'wks': 'list' object cannot be converted to 'dict'"),
    ({1: [0]}, TypeError, "argument 'wks': 'int' object cannot be converted to 'StructValueKey'"),
    ({key(): 5}, TypeError, "argument 'wks': 'int' object is not iterable"),
    ({key(): [0, -1]}, OverflowError, OVERFLOW), ({key(): [2**32]}, OverflowError, OVERFLOW)])
def test_worker_maps_are_checked_before_anything_changes(arg, exc, message):
    m = TCDataCommunication()
    m.setup_workers({key(code=b"kept"): [4]})
    for call, name in ((m.setup_workers, "wks"), (m.assign_task_keys, "kvs")):
        with pytest.raises(exc) as info:
            call(arg)
        assert type(info.value) is exc and str(info.value) == message.replace("'wks'", f"'{name}'")
    assert m.workers == {key(code=b"kept"): {4}}


# ---- update_clusters ---------------------------------------------------------------------------

def test_keys_go_to_the_least_burdened_worker_smaller_number_first():
    m = TCDataCommunication()
    k1, k2, k3 = by_code(b"1", b"2", b"3")
    m.update_clusters({k1: [], k2: []}, 2)
    assert m.workers == {k1: {0}, k2: {1}}
    m.update_clusters({k3: []}, 2)
    assert m.workers[k3] == {0}


def test_loads_count_the_keys_already_present():
    m = TCDataCommunication()
    a, b, k, j = by_code(b"a", b"b", b"k", b"j")
    m.setup_workers({a: {0}, b: {0, 1}})  # loads: 0 -> 2, 1 -> 1, 2 -> 0
    m.update_clusters({k: [], j: []}, 3)
    assert m.workers[k] == {2} and m.workers[j] == {1}  # then 1 and 2 tie at 1: the smaller number


def test_an_owned_key_keeps_its_workers_and_adds_no_load():
    m = TCDataCommunication()
    k1, k2 = by_code(b"1", b"2")
    m.setup_workers({k1: {1}})
    m.update_clusters({k1: [], k2: []}, 2)
    assert m.workers == {k1: {1}, k2: {0}}


def test_dependents_follow_their_key_masked_and_weigh_on_its_worker():
    m = balancer()
    k1, k2, k3 = by_code(b"1", b"2", b"3")
    deps = [key(1, 5, b"SH", b"x", 60), key(code=b"y")]
    m.update_clusters({k1: deps, k2: [], k3: []}, 2)
    # Worker 0 carries 1 + 2 after k1; k2 and k3 both go to worker 1.
    assert m.workers == {k1: {0}, k2: {1}, k3: {1}, key(code=b"x"): {0}, key(code=b"y"): {0}}
    # A dependent already owned gains the new worker too.
    k4 = key(code=b"4")
    m.update_clusters({k4: [key(code=b"x")]}, 2)
    assert m.workers[k4] == {1} and m.workers[key(code=b"x")] == {0, 1}


def test_a_key_made_owner_as_a_dependent_is_skipped():
    m = balancer(mask=(True,) * 5)
    k1, k2, k3 = by_code(b"1", b"2", b"3")
    m.update_clusters({k1: [k2], k2: [], k3: []}, 2)
    assert m.workers == {k1: {0}, k2: {0}, k3: {1}}


def test_workers_outside_the_range_compete_and_no_worker_assigns_nothing():
    m = TCDataCommunication()
    a, k, j = by_code(b"a", b"k", b"j")
    m.update_clusters({k: []}, 0)
    assert m.workers == {}
    m.setup_workers({a: {5}})
    m.update_clusters({k: [], j: []}, 0)
    assert m.workers == {a: {5}, k: {5}, j: {5}}
    m.update_clusters({key(code=b"z"): []}, 1)
    assert m.workers[key(code=b"z")] == {0}


@pytest.mark.parametrize("args, exc, message", [
    (([], 1), TypeError, "argument 'dep': 'list' object cannot be converted to 'dict'"),
    (({key(): [1]}, 1), TypeError, "argument 'dep': 'int' object cannot be converted to 'StructValueKey'"),
    (({key(): []}, -1), OverflowError, OVERFLOW)])
def test_update_clusters_arguments(args, exc, message):
    m = TCDataCommunication()
    with pytest.raises(exc) as info:
        m.update_clusters(*args)
    assert type(info.value) is exc and str(info.value) == message and m.workers == {}


# ---- worker_svm ------------------------------------------------------------------------------

def routed(ser):
    """Quotes and counts over codes a (workers 0 and 2), b (1), c (an empty set), d (no entry)."""
    m = balancer(ser)
    m.set_runtime(1), m.set_session_id(-5)
    m.set_sva(*QUOTE, [quote(b"a", 1.0, t=1), quote(b"b", 2.0, t=2), quote(b"d", 3.0, t=3), quote(b"a", 4.0, t=4),
                       quote(b"c", 5.0, t=5)])
    m.set_sva(*COUNT, [count(6, code=b"a", t=6), count(7, code=b"d", t=7)])
    a, b, c = by_code(b"a", b"b", b"c")
    m.setup_workers({a: {2, 0}, b: {1}, c: set()})
    return m


def rows_with(m, codes):
    return summary([r for r in m.all() if r.get_stock_code() in codes])


def test_each_worker_receives_exactly_the_rows_of_its_keys(ser):
    m = routed(ser)
    stored = summary(m.all())
    got = received(m.worker_svm(), ser)
    assert summary(m.all()) == stored  # routing leaves the batches as they were
    head = (1, 0, -5, 0, 0, b"")
    assert sorted(got) == [0, 1, 2]
    assert got[0] == got[2] == (head, rows_with(m, {b"a"}))  # stored order, quotes then counts
    assert got[1] == (head, rows_with(m, {b"b"}))


def test_rows_without_an_owner_wait_for_the_next_call(ser):
    m = routed(ser)
    waiting = rows_with(m, {b"d"})
    m.worker_svm()
    m.reset()  # the next push brings no rows of its own
    assert m.worker_svm() == {}  # still no owner: they wait again
    m.assign_task_keys({key(code=b"d"): [3]})
    m.set_sva(*COUNT, [count(8, code=b"d", t=8)])
    got = received(m.worker_svm(), ser)
    # The stored row first, then those that waited, in their order.
    assert got == {3: ((1, 0, -5, 0, 0, b""), as_sent(rows_with(m, {b"d"}) + waiting))}
    m.reset()
    assert m.worker_svm() == {}  # delivered once


def test_disabled_balancing_sends_everything_to_worker_1(ser):
    m = routed(ser)
    waiting = rows_with(m, {b"d"})
    m.worker_svm()
    m.disable_load_balance = True
    assert m.dynamic_load_balance is False
    got = received(m.worker_svm(), ser)
    assert list(got) == [1] and got[1][1] == as_sent(summary(m.all()) + waiting)
    m.disable_load_balance = False
    m.reset()
    assert m.worker_svm() == {}  # the pending rows went with the rest


def test_no_rows_need_no_catalog_and_unowned_rows_none_either(ser):
    m = balancer()
    assert m.worker_svm() == {}
    m.set_sva(*COUNT, [count(1, code=b"x")])
    assert m.worker_svm() == {}


def test_a_missing_catalog_loses_no_row(ser):
    m = balancer()
    m.set_sva(*COUNT, [count(1, code=b"x")])
    waiting = summary(m.all())
    m.worker_svm()  # x waits: nothing to compress, so no catalog needed yet
    m.reset()
    m.setup_workers({key(code=b"x"): [0]})
    raises_exactly(m.worker_svm, REQUIRES)
    raises_exactly(m.worker_svm, REQUIRES)
    m.set_compressor(ser)
    assert received(m.worker_svm(), ser) == {0: ((0,) * 5 + (b"",), waiting)}


def test_a_failed_compression_loses_no_row(ser):
    m = balancer(compressor((COUNT, b"count", 1, COUNT_COLS)))  # knows no quotes
    m.set_sva(*COUNT, [count(1, code=b"x")])
    waiting = summary(m.all())
    m.worker_svm()  # x waits
    m.reset()
    m.setup_workers({key(code=b"x"): [0], key(code=b"q"): [1]})
    m.set_sva(*QUOTE, [quote(b"q", 2.0)])
    # Worker 0's body builds; worker 1's fails, and takes nothing with it.
    raises_exactly(m.worker_svm, "worker_svm compress: unknown schema: namespace=0 meta_id=9")
    m.set_compressor(ser)
    got = received(m.worker_svm(), ser)
    assert {w: rows for w, (_, rows) in got.items()} == {0: waiting, 1: summary(m.all())}
    m.reset()
    assert m.worker_svm() == {}  # x was delivered once


def test_decoded_bodies_route_with_their_own_prefix_and_catalog(ser):
    src = routed(ser)
    src.set_status(9)
    m = balancer()
    m.setup_workers(src.workers)
    m.decode_string(src.encode_string(ser), ser)
    assert m.worker_svm() == src.worker_svm()
    assert split(m.worker_svm()[1])[0] == (1, 0, -5, 9, 0, b"")
