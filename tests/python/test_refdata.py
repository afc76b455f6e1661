"""Market reference data: Commission, MarketMeta, MarketInfo and load_market_meta_from_json_str."""

import json
import random
import struct
from fractions import Fraction

import numpy
import pytest
from test_rows import OVERFLOW, loaded, meta, raises_exactly

import pyostrel
from pyostrel import Commission, MarketInfo, MarketMeta, load_market_meta_from_json_str
from refcounts import extra_references, reference_counts

RATES = ["open_rate_by_volume", "open_rate_by_money", "close_rate_by_volume", "close_rate_by_money",
         "today_close_rate_by_volume", "today_close_rate_by_money", "order_rate_by_volume", "order_rate_by_money"]
OPEN, CLOSE = pyostrel.entrust_oc_open, pyostrel.entrust_oc_close


def test_registration_steps():
    names = list(vars(pyostrel))
    pos = names.index
    # Step 3 ends with Commission; steps 9 and 10 sit between the ring identity constants and the framing classes.
    assert pos("PyIndexDataMap") + 1 == pos("Commission") < pos("entrust_oc_open")
    step9_10 = names[pos("lanterfold_category_client") + 1:pos("RawFrameReader")]
    assert step9_10 == ["KestrinConfig", "KestrinStructValueKey", "initialize", "start", "stop", "read_meta", "read_sv",
                        "copy_struct_value", "write_sv", "MarketMeta", "MarketInfo", "load_market_meta_from_json_str",
                        "encode_raw_frame"]
    for cls in (Commission, MarketMeta, MarketInfo):
        assert cls.__module__ == "pyostrel" and cls.__qualname__ == cls.__name__
    assert load_market_meta_from_json_str.__text_signature__ == "(json_bytes)"


# ---- Commission: the formula --------------------------------------------------------------------

def schedule(**rates):
    c = Commission()
    for name, v in rates.items():
        getattr(c, "set_" + name)(v)
    return c


def rate_pair(rates, open_close, is_today):
    if open_close == OPEN:
        return rates["open_rate_by_volume"], rates["open_rate_by_money"]
    if open_close == CLOSE and is_today:
        return rates["today_close_rate_by_volume"], rates["today_close_rate_by_money"]
    return rates["close_rate_by_volume"], rates["close_rate_by_money"]


def fused(x, y, z):
    """x * y + z rounded once: the exact rational value, rounded to the nearest double by int / int."""
    return float(Fraction(x) * Fraction(y) + Fraction(z))


def unfused(x, y, z):
    return x * y + z


def commission(rates, volume, price, direction, open_close, is_today, multiplier, step=fused):
    money = price * volume * multiplier  # (price * volume) * multiplier, two roundings
    by_volume, by_money = rate_pair(rates, open_close, is_today)
    a = step(rates["order_rate_by_money"], money, 0.0)
    b = step(rates["order_rate_by_volume"], volume, a)
    return step(by_money, money, step(by_volume, volume, b))


def fused_cases(count, seed):
    """Random schedules and fills for which a multiply-then-add chain gives another double."""
    rng = random.Random(seed)
    cases = []
    while len(cases) < count:
        rates = {name: rng.choice((1, -1)) * rng.uniform(0.5, 2.0) * 10.0 ** rng.randint(-6, 1) for name in RATES}
        fill = (rng.choice((1, -1)) * rng.uniform(1, 5000), rng.uniform(0.01, 2000), rng.randrange(256),
                rng.choice((OPEN, CLOSE, 50)), rng.random() < 0.5,
                rng.choice((1.0, 10.0, 300.0, rng.uniform(0.1, 100))))
        if commission(rates, *fill) != commission(rates, *fill, step=unfused):
            cases.append((rates, fill))
    return cases


def bits(x):
    return struct.pack("<d", x)


def test_calculate_is_bit_exact_against_single_rounding_steps():
    cases = fused_cases(300, seed=20240611)
    assert {fill[3] for _, fill in cases} == {OPEN, CLOSE, 50}
    for rates, fill in cases:
        got = schedule(**rates).calculate(*fill)
        assert bits(got) == bits(commission(rates, *fill)), (rates, fill)


def test_worked_example():
    c = schedule(open_rate_by_money=0.0003, order_rate_by_volume=1.0)
    exact = fused(0.0003, 350000.0, 10.0)
    assert c.calculate(10, 3500.0, 48, 48, False, 10) == exact and abs(exact - 115.0) < 1e-12
    assert c.calculate(volume=10, price=3500.0, direction=49, open_close=48, is_today=True, multiplier=10) == exact


@pytest.mark.parametrize("open_close, is_today, pair", [
    (OPEN, False, "open"), (OPEN, True, "open"), (CLOSE, True, "today_close"), (CLOSE, False, "close"),
    (50, True, "close"), (50, False, "close"), (0, True, "close"), (255, False, "close")])
def test_rate_pair_choice(open_close, is_today, pair):
    # Distinct powers of two: the sum names the rates used (volume = money = 1).
    rates = {name: float(2 ** i) for i, name in enumerate(RATES)}
    c = schedule(**rates)
    expected = rates[pair + "_rate_by_volume"] + rates[pair + "_rate_by_money"] + 64 + 128
    for direction in (0, 48, 49, 255):
        assert c.calculate(1.0, 1.0, direction, open_close, is_today, 1.0) == expected


@pytest.mark.parametrize("fill", [(10, 3500.0, 48, 48, False, 10), (-3.5, 1e300, 49, 49, True, 0.5),
                                  (0, 0, 0, 0, False, 0)])
def test_new_schedule_charges_nothing(fill):
    c = Commission()
    assert [getattr(c, "get_" + name)() for name in RATES] == [0.0] * 8
    assert c.calculate(*fill) == 0.0


@pytest.mark.parametrize("arg, bad, error, message", [
    ("direction", 256, OverflowError, OVERFLOW), ("direction", -1, OverflowError, OVERFLOW),
    ("open_close", 256, OverflowError, OVERFLOW), ("open_close", -1, OverflowError, OVERFLOW),
    ("is_today", 1, TypeError, "argument 'is_today': 'int' object cannot be converted to 'bool'"),
    ("is_today", None, TypeError, "argument 'is_today': 'NoneType' object cannot be converted to 'bool'"),
    ("volume", "1", TypeError, "argument 'volume': must be real number, not str"),
    ("price", b"1", TypeError, "argument 'price': must be real number, not bytes"),
    ("multiplier", None, TypeError, "argument 'multiplier': must be real number, not NoneType"),
    ("open_close", 48.0, TypeError, "argument 'open_close': 'float' object cannot be interpreted as an integer"),
])
def test_calculate_argument_conversions(arg, bad, error, message):
    args = dict(volume=1.0, price=2.0, direction=48, open_close=48, is_today=False, multiplier=1.0)
    args[arg] = bad
    with pytest.raises(error) as info:
        Commission().calculate(**args)
    assert type(info.value) is error and str(info.value) == message


def test_calculate_accepts_ints_numpy_bools_and_index_objects():
    c = schedule(open_rate_by_volume=2.0, close_rate_by_volume=3.0)
    assert c.calculate(2, 1, 48, numpy.int64(49), numpy.bool_(False), 1) == 6.0
    assert c.calculate(numpy.float64(2.0), 1, 48, 48, numpy.bool_(True), 1) == 4.0
    with pytest.raises(TypeError, match="missing"):
        c.calculate(1.0, 1.0, 48, 48, False)


# ---- Commission: accessors and load -------------------------------------------------------------

@pytest.mark.parametrize("name", RATES)
def test_rate_accessors(name):
    c = Commission()
    get, set_ = getattr(c, "get_" + name), getattr(c, "set_" + name)
    for v in (0.5, -1e-300, 7, float("inf")):
        set_(v)
        assert get() == v and type(get()) is float
    with pytest.raises(TypeError) as info:
        set_("0.5")
    assert str(info.value) == "argument 'v': must be real number, not str"
    assert get() == float("inf")
    assert [getattr(c, "get_" + other)() for other in RATES if other != name] == [0.0] * 7


def loaded_schedule(text, **before):
    c = schedule(**before)
    c.load(text)
    return {name: getattr(c, "get_" + name)() for name in RATES}


def test_load_sets_each_rate_by_its_key():
    values = {name: (i + 1) / 8 for i, name in enumerate(RATES)}
    assert loaded_schedule(json.dumps(values).encode()) == values
    assert loaded_schedule(b'{"open_rate_by_money": 0.0003}', close_rate_by_money=2.0) == {
        **dict.fromkeys(RATES, 0.0), "open_rate_by_money": 0.0003, "close_rate_by_money": 2.0}


@pytest.mark.parametrize("text, changed", [
    (b'{"open_rate_by_money": "0.0003"}', {}),  # a JSON string in place of the number
    (b'{"open_rate_by_money": null, "close_rate_by_money": true, "order_rate_by_volume": [1]}', {}),
    (b'{"open_rate_by_money": {"v": 1}}', {}),
    (b"[1,2]", {}), (b"3", {}), (b'"x"', {}), (b"null", {}),
    (b'{"open_rate_by_money": 5}', {"open_rate_by_money": 5.0}),  # an integer is a number
    (b'{"open_rate_by_money": 1, "open_rate_by_money": 2}', {"open_rate_by_money": 2.0}),
    (b'{"Open_rate_by_money": 1, "open_rate_by_money ": 2, "other": 3}', {}),
    (b'{"order_rate_by_money": -1e-5, "x": {"order_rate_by_money": 9}}', {"order_rate_by_money": -1e-5}),
    (b'{"open_rate_by_volume": 18446744073709551615}', {"open_rate_by_volume": 18446744073709551615.0}),
])
def test_load_leaves_everything_else(text, changed):
    before = {name: -float(i) for i, name in enumerate(RATES)}
    assert loaded_schedule(text, **before) == {**before, **changed}


@pytest.mark.parametrize("text", [b"{", b"", b'{"open_rate_by_money": 1,}', b"\xff", b'{"a": 1} x', b"[1,2"])
def test_load_invalid_json_raises_and_changes_nothing(text):
    c = schedule(open_rate_by_money=3.0)
    raises_exactly(lambda: c.load(text), "Commission.load: invalid JSON: ", prefix_only=True)
    assert len(str(pytest.raises(Exception, c.load, text).value)) > len("Commission.load: invalid JSON: ")
    assert c.get_open_rate_by_money() == 3.0


def test_load_argument_type():
    with pytest.raises(TypeError) as info:
        Commission().load('{"open_rate_by_money": 1}')
    assert str(info.value) == "argument 'json': 'str' object cannot be converted to 'bytes'"


# ---- market meta bundles built from column tables -----------------------------------------------

COMPACT = {"separators": (",", ":"), "ensure_ascii": False}


def compact(value, sort=True):
    return json.dumps(value, sort_keys=sort, **COMPACT).encode()


def render_period(policies):
    return compact({name: sorted(tuple(p) for p in pairs) for name, pairs in policies.items()})


def render_extra(members):
    return compact({k: v if isinstance(v, str) else "" for k, v in members.items()})


# Column kinds: how a row's value is written into the bundle, the StructValue vector slot
# that carries it, and the element that slot holds for it.
KIND = {
    "text": (lambda v: v, "string_vector", lambda v: v.encode()),
    "int": (lambda v: v, "int_32_vector", lambda v: v),
    "enum10": (lambda v: v, "int_32_vector", lambda v: v if 0 <= v <= 10 else 0),
    "enum3": (lambda v: v, "int_32_vector", lambda v: v if 0 <= v <= 3 else 0),
    "int64": (lambda v: v, "int_64_vector", lambda v: v),
    "float": (lambda v: v, "double_vector", lambda v: float(v)),
    "list": (lambda v: v, "string_vector", lambda v: compact(v, sort=False)),
    "suspend": (json.dumps, "string_vector", lambda v: compact({"days": v["days"]})),
    "period": (json.dumps, "string_vector", render_period),
    "object": (json.dumps, "string_vector", compact),
    "extra": (json.dumps, "string_vector", render_extra),
}

# Part key -> (row type name, [(column, kind)]) in slot order; slots 0 and 1 are Int rev and Int trade_day.
TABLES = {
    "securities": ("Security", [
        ("code", "text"), ("name", "text"), ("abbreviation", "text"), ("category", "enum10"), ("state", "enum3"),
        ("last_close", "float"), ("dividend_ratio", "float"), ("lists_at", "int"), ("suspend", "suspend")]),
    "dividends": ("Dividend", [
        ("code", "text"), ("operation", "int"), ("bonus", "float"), ("interest", "float"), ("allotment", "float"),
        ("allotment_price", "float"), ("bonus_share", "float")]),
    "stocks": ("Stock", [
        ("code", "text"), ("name", "text"), ("historical_names", "list"), ("historical_name_days", "list"),
        ("list_day", "int"), ("begin_shares", "int64"), ("list_shares", "int64"), ("list_price", "float"),
        ("unlimit_shares", "int64"), ("limit_shares", "int64")]),
    "commodities": ("Commodity", [
        ("code", "text"), ("name", "text"), ("historical_names", "list"), ("historical_name_days", "list"),
        ("trade_period", "period"), ("uom", "text"), ("volume_multiplier", "int"), ("surge_limit", "float"),
        ("plunge_limit", "float"), ("margin", "object"), ("commission", "object"), ("settlement_day_ord", "int"),
        ("last_trade_day_ord", "int"), ("min_variation_unit", "float"), ("delivery_month_ord", "text"),
        ("extra", "extra")]),
    "futures": ("Futures", [
        ("code", "text"), ("name", "text"), ("commodity", "text"), ("trade_period", "period"), ("uom", "text"),
        ("volume_multiplier", "int"), ("max_market_order_vol", "int"), ("min_market_order_vol", "int"),
        ("max_limit_order_vol", "int"), ("min_limit_order_vol", "int"), ("margin", "object"),
        ("commission", "object"), ("price_tick", "float"), ("expires_at", "int"), ("start_delivery_date", "int"),
        ("end_delivery_date", "int"), ("real_contract_code", "text"), ("extra", "extra")]),
}
PART_NAMES = ["Market", "Holiday", "Security", "Dividend", "Stock", "Commodity", "Futures"]
PART_KEYS = ["market_info", "holidays", "securities", "dividends", "stocks", "commodities", "futures"]

MARGIN = {"short_type": 1, "long_rate": 0.1, "algorithm": "x\u00e9", "long_type": 1, "short_rate": 0.07,
          "z": {"b": [1, {"d": None, "c": True}], "a": -2}}
PERIOD = {"night": [[2100, 100]], "day": [[1330, 1500], [900, 1015]]}
ROWS = {
    "securities": [
        dict(code="600001", name="B \"quoted\"\n", abbreviation="b", category=11, state=3, last_close=10.5,
             dividend_ratio=0.1, lists_at=19991110, suspend={"days": [20240105, 20240104]}),
        dict(code="600000", name="\u6d66\u53d1", abbreviation="a", category=10, state=4, last_close=7,
             dividend_ratio=0, lists_at=-1, suspend={"days": []}),
    ],
    "dividends": [dict(code="600000", operation=2, bonus=0.5, interest=0, allotment=0.25, allotment_price=8,
                       bonus_share=0.1)],
    "stocks": [
        dict(code="600000", name="PF", historical_names=["Old \"one\"", "\u65e7"],
             historical_name_days=[20000101, 20100101], list_day=19991110, begin_shares=9_000_000_000,
             list_shares=-1, list_price=10, unlimit_shares=2**62, limit_shares=0),
        dict(code="000001", name="PA", historical_names=[], historical_name_days=[], list_day=19910403,
             begin_shares=1, list_shares=2, list_price=1.5, unlimit_shares=3, limit_shares=4),
    ],
    "commodities": [dict(code="cu", name="Copper", historical_names=["CU"], historical_name_days=[20200101],
                         trade_period=PERIOD, uom="t", volume_multiplier=5, surge_limit=0.06, plunge_limit=0.05,
                         margin=MARGIN, commission={"open_rate_by_money": 5e-05, "close_rate_by_money": 0.00015},
                         settlement_day_ord=15, last_trade_day_ord=14, min_variation_unit=10,
                         delivery_month_ord="1-12", extra={"z": "last", "a": "first\t", "n": 5})],
    "futures": [
        dict(code=code, name="Copper " + code[2:], commodity="cu", trade_period=PERIOD, uom="t",
             volume_multiplier=5, max_market_order_vol=100, min_market_order_vol=1, max_limit_order_vol=500,
             min_limit_order_vol=1, margin=margin, commission={}, price_tick=10, expires_at=expires,
             start_delivery_date=expires + 3, end_delivery_date=expires + 7, real_contract_code=code.upper(),
             extra={})
        for code, expires, margin in (("cu2403", 20240315, MARGIN), ("cu2402", 20240215, {"long_rate": 0.2}),
                                      ("cu2401", 20240115, MARGIN))
    ],
}
HEADERS = {key: {"rev": 3 + i, "market_code": "SH", "trade_day": 20240102, "time_tag": 1704153600000 + i}
           for i, key in enumerate(PART_KEYS)}
MARKET_INFO = {"name": "Shanghai", "time_zone": 8, "currency": "CNY", "begin_day": 19901219, "start_day": 19901220,
               "trading_period": {"trading_period": [[1300, 1500], [930, 1130]], "after_holiday": []},
               "extra": {"z": "last", "a": "\u00e9\u0001", "n": 5}, "revs": {"Security": 3, "Holiday": 2}}
HOLIDAYS = [20240210, 20240101]


def column_table(part, rows, **override):
    """The part's JSON object: its header and one array per column; `override` replaces columns."""
    obj = dict(HEADERS[part])
    for column, kind in TABLES[part][1]:
        obj[column] = [KIND[kind][0](r[column]) for r in rows]
    obj.update(override)
    return obj


def market_info_part(**override):
    info = {**HEADERS["market_info"], **MARKET_INFO}
    for key in ("trading_period", "extra", "revs"):
        info[key] = json.dumps(info[key])
    info.update(override)
    return info


def full_market():
    market = {"market_info": market_info_part(), "holidays": {**HEADERS["holidays"], "days": HOLIDAYS}}
    market.update({part: column_table(part, rows) for part, rows in ROWS.items()})
    return market


def bundle(*markets):
    return json.dumps({"markets": list(markets)}).encode()


def load_one(market):
    (m,) = load_market_meta_from_json_str(bundle(market))
    return m


def index(*names, ns=0):
    """A PyIndexDataMap resolving each name to (ns, 100 + its position)."""
    return loaded(*(meta((ns, 100 + i), name=n.encode()) for i, n in enumerate(names))).index_data_map()


GLOBAL = index(*("global::" + p for p in PART_NAMES))


def slot_values(sv, kinds):
    return [getattr(sv, "get_" + k)(i) for i, k in enumerate(kinds)]


def expected_table_row(part, rows):
    ordered = {r["code"].encode(): r for r in rows}  # a repeated code keeps its last row
    ordered = [ordered[c] for c in sorted(ordered)]
    h = HEADERS[part]
    kinds, values = ["int", "int"], [h["rev"], h["trade_day"]]
    for column, kind in TABLES[part][1]:
        kinds.append(KIND[kind][1])
        values.append([KIND[kind][2](r[column]) for r in ordered])
    return kinds, values


def expected_rows():
    h, info = HEADERS["market_info"], MARKET_INFO
    out = [(["int", "string", "int", "string", "string", "int", "int", "string", "string"],
            [h["trade_day"], b"Shanghai", 8, b"CNY", render_period(info["trading_period"]), info["start_day"],
             info["begin_day"], compact(info["revs"]), render_extra(info["extra"])]),
           (["int", "int", "int_32_vector"], [HEADERS["holidays"]["rev"], 20240102, HOLIDAYS])]
    return out + [expected_table_row(part, rows) for part, rows in ROWS.items()]


def test_every_part_becomes_its_row():
    m = load_one(full_market())
    assert m.market_code() == b"SH"
    svs = m.to_sv(GLOBAL)
    assert len(svs) == 7
    for i, (sv, (kinds, values)) in enumerate(zip(svs, expected_rows())):
        h = HEADERS[PART_KEYS[i]]
        assert (sv.get_namespace(), sv.get_meta_id(), sv.get_time_tag(), sv.get_granularity(), sv.get_market(),
                sv.get_stock_code()) == (0, 100 + i, h["time_tag"], 0, b"SH", b"SH")
        assert sv.size() == len(kinds) and slot_values(sv, kinds) == values, PART_NAMES[i]
    # Every rendered text is compact JSON.
    for sv, (kinds, _) in zip(svs, expected_rows()):
        for i, k in enumerate(kinds):
            texts = {"string": lambda: [sv.get_string(i)], "string_vector": lambda: sv.get_string_vector(i)}
            for t in texts.get(k, list)():
                if t[:1] in (b"{", b"["):
                    assert compact(json.loads(t), sort=False) == t


def test_to_sv_parts_are_independent_and_fresh():
    m = load_one(full_market())
    first = m.to_sv(GLOBAL)
    first[2].set_int(0, -5)
    assert m.to_sv(GLOBAL)[2].get_int(0) == HEADERS["securities"]["rev"]
    assert m.to_sv(GLOBAL)[0] is not m.to_sv(GLOBAL)[0]


@pytest.mark.parametrize("names, found", [
    ([], []),
    (["other::Security", "other::Stock"], ["Security", "Stock"]),
    (["alpha::Security", "global::Market", "global::Stock"], ["Security"]),
    (["global::Stock", "global::Futures", "global::Nothing"], ["Stock", "Futures"]),
    (["global"], []),  # a first name without "::" is the namespace itself
    (["global::Holiday", "global::Holiday::x"], ["Holiday"]),
])
def test_to_sv_looks_names_up_under_the_first_names_namespace(names, found):
    idx = index(*names, ns=5)
    svs = load_one(full_market()).to_sv(idx)
    # Each row carries its name's ids; the map orders names by bytes.
    ids = {n.split("::", 1)[-1]: 100 + i for i, n in enumerate(names)}
    by_name = sorted(names)
    ns = by_name[0].split("::")[0] if by_name else "global"
    assert [(sv.get_namespace(), sv.get_meta_id()) for sv in svs] == [
        (5, ids[p]) for p in PART_NAMES if p in found and ns + "::" + p in names]
    assert len(svs) == len(found)


def test_absent_parts_give_no_rows():
    m = load_one({"stocks": column_table("stocks", ROWS["stocks"]), "market_info": 5, "holidays": []})
    assert m.market_code() == b""
    assert [sv.get_meta_id() for sv in m.to_sv(GLOBAL)] == [104]


def test_to_sv_argument_type():
    with pytest.raises(TypeError) as info:
        load_one({}).to_sv({"global::Market": (0, 1)})
    assert str(info.value) == "argument 'index_data_map': 'dict' object cannot be converted to 'PyIndexDataMap'"


# ---- loader rules -----------------------------------------------------------------------------

def row_of(market, part):
    svs = load_one(market).to_sv(GLOBAL)
    (sv,) = [sv for sv in svs if sv.get_meta_id() == 100 + PART_NAMES.index(TABLES[part][0])]
    return sv


def columns_of(part, sv):
    kinds = ["int", "int"] + [KIND[k][1] for _, k in TABLES[part][1]]
    return slot_values(sv, kinds)


def test_bundle_shapes():
    assert load_market_meta_from_json_str(b'{"markets": []}') == []
    metas = load_market_meta_from_json_str(bundle(full_market(), {}, 7, full_market()))
    assert [type(m) for m in metas] == [MarketMeta] * 4
    assert [len(m.to_sv(GLOBAL)) for m in metas] == [7, 0, 0, 7]


def test_rows_in_code_order_and_a_repeated_code_keeps_its_last_row():
    rows = [dict(ROWS["securities"][0], code="B"), dict(ROWS["securities"][1], code="A"),
            dict(ROWS["securities"][0], code="B", name="second B"), dict(ROWS["securities"][1], code="\u00e9")]
    values = columns_of("securities", row_of({"securities": column_table("securities", rows)}, "securities"))
    assert values[2:4] == [[b"A", b"B", "\u00e9".encode()], [rows[1]["name"].encode(), b"second B",
                                                             rows[3]["name"].encode()]]


def code_cases(seed):
    rng = random.Random(seed)
    # Codes that agree in their first eight bytes, differ only in length or by a NUL, or hold bytes above 0x7f.
    pieces = ["a", "b", "\0", "\u00e9", "\u007f", "AAAAAAAA", "600000", "\u4e2d"]
    codes = ["".join(rng.choice(pieces) for _ in range(rng.randint(0, 4))) for _ in range(400)]
    codes += rng.choices(codes, k=100)  # repeated codes
    rng.shuffle(codes)
    ordered = sorted(codes, key=str.encode)
    runs = sorted(set(codes), key=str.encode)
    return {"shuffled": codes, "sorted": ordered, "reversed": ordered[::-1],
            "sorted, repeats apart": runs + runs[::3]}


@pytest.mark.parametrize("case", list(code_cases(7)))
def test_rows_come_out_in_byte_order_of_their_codes(case):
    codes = code_cases(7)[case]
    names = [f"row {i}" for i in range(len(codes))]
    part = column_table("securities", [dict(ROWS["securities"][0], code=c) for c in codes], name=names)
    values = columns_of("securities", row_of({"securities": part}, "securities"))
    last = {c: n for c, n in zip(codes, names)}  # the last row of each code
    expected = sorted(last, key=str.encode)
    assert values[2] == [c.encode() for c in expected]
    assert values[3] == [last[c].encode() for c in expected]


@pytest.mark.parametrize("margin, rendered", [
    ("", b"{}"), ("[1,2]", b"{}"), ('"text"', b"{}"),
    ('{"b":1,"a":{"d":[3,{"y":1,"x":2}],"c":null}}', b'{"a":{"c":null,"d":[3,{"x":2,"y":1}]},"b":1}'),
    ('{"k":1,"k":2}', b'{"k":2}'),
    ('{"r":1e-1,"big":18446744073709551615,"neg":-5,"f":2.50}',
     b'{"big":18446744073709551615,"f":2.5,"neg":-5,"r":0.1}'),
])
def test_margin_and_commission_objects_render_with_keys_ascending(margin, rendered):
    for part, column in (("commodities", 11), ("futures", 12)):
        table = column_table(part, ROWS[part][:1], margin=[margin], commission=[margin])
        values = columns_of(part, row_of({part: table}, part))
        assert values[column:column + 2] == [[rendered], [rendered]]


def test_neighbouring_rows_with_equal_nested_texts_each_get_their_own():
    same = json.dumps(MARGIN)
    rows = [dict(ROWS["futures"][0], code=f"c{i}") for i in range(4)]
    table = column_table("futures", rows, margin=[same, same, "", same],
                         trade_period=[json.dumps(PERIOD)] * 2 + ['{"x":[[1,2]]}', json.dumps(PERIOD)])
    values = columns_of("futures", row_of({"futures": table}, "futures"))
    assert values[12] == [compact(MARGIN), compact(MARGIN), b"{}", compact(MARGIN)]
    assert values[5] == [render_period(PERIOD)] * 2 + [b'{"x":[[1,2]]}', render_period(PERIOD)]


# Each case: a change to the full market and the whole error message.
def drop(part, key):
    return lambda m: m[part].pop(key)


def put(part, key, value):
    return lambda m: m[part].__setitem__(key, value)


LOADER_ERRORS = [
    *[(drop(part, "rev"), "missing/!int field 'rev'") for part in PART_KEYS],
    *[(put(part, "rev", "3"), "missing/!int field 'rev'") for part in PART_KEYS],
    *[(drop(part, "market_code"), "missing/!string field 'market_code'") for part in PART_KEYS],
    *[(put(part, "market_code", 1), "missing/!string field 'market_code'") for part in PART_KEYS],
    (put("market_info", "rev", 1.0), "missing/!int field 'rev'"),
    (drop("market_info", "name"), "missing/!string field 'name'"),
    (drop("market_info", "time_zone"), "missing/!int field 'time_zone'"),
    (put("market_info", "time_zone", 8.5), "missing/!int field 'time_zone'"),
    (drop("market_info", "currency"), "missing/!string field 'currency'"),
    (drop("market_info", "begin_day"), "missing/!int field 'begin_day'"),
    (drop("market_info", "start_day"), "missing/!int field 'start_day'"),
    (drop("market_info", "trading_period"), "missing/!string field 'trading_period'"),
    (put("market_info", "trading_period", {}), "missing/!string field 'trading_period'"),
    (drop("market_info", "revs"), "missing/!string field 'revs'"),
    (drop("holidays", "days"), "missing/!array field 'days'"),
    (put("holidays", "days", "[]"), "missing/!array field 'days'"),
    *[(drop(part, column), f"missing/!array field '{column}'") for part, (_, cols) in TABLES.items()
      for column, _ in cols],
    *[(put(part, column, {}), f"missing/!array field '{column}'") for part, (_, cols) in TABLES.items()
      for column, _ in cols[::4]],
    # Integers that their fields cannot hold are refused, not wrapped.
    (put("market_info", "rev", 2**31), "out-of-range int field 'rev'"),
    (put("market_info", "time_zone", -(2**31) - 1), "out-of-range int field 'time_zone'"),
    (put("securities", "trade_day", 2**32), "out-of-range int field 'trade_day'"),
    (put("securities", "time_tag", -1), "out-of-range int field 'time_tag'"),
    (put("securities", "lists_at", [1, 2**31]), "out-of-range int field 'lists_at'"),
    (put("stocks", "begin_shares", [2**63]), "out-of-range int field 'begin_shares'"),
    (put("stocks", "historical_name_days", [[2**40], []]), "out-of-range int field 'historical_name_days'"),
    (put("holidays", "days", [2**31]), "out-of-range int field 'days'"),
    (put("market_info", "revs", '{"a":4294967296}'), "out-of-range int field 'revs'"),
]


@pytest.mark.parametrize("change, message", LOADER_ERRORS, ids=[m for _, m in LOADER_ERRORS])
def test_loader_errors(change, message):
    market = full_market()
    change(market)
    raises_exactly(lambda: load_market_meta_from_json_str(bundle(full_market(), market)), message)


NESTED = [("market_info", "trading_period"), ("market_info", "extra"), ("market_info", "revs"),
          ("securities", "suspend"), ("commodities", "trade_period"), ("commodities", "margin"),
          ("commodities", "commission"), ("commodities", "extra"), ("futures", "trade_period"),
          ("futures", "margin"), ("futures", "commission"), ("futures", "extra")]


@pytest.mark.parametrize("part, key", NESTED)
@pytest.mark.parametrize("bad", ['{"a":', '{"a":1}}', "{'a':1}", "\u00e9"])
def test_a_malformed_nested_text_names_its_key(part, key, bad):
    market = full_market()
    if part == "market_info":
        market[part][key] = bad
    else:
        market[part][key] = [market[part][key][0], bad] + market[part][key][2:]
        market[part]["code"] = ["a", "b"] + market[part]["code"][2:]
    raises_exactly(lambda: load_market_meta_from_json_str(bundle(market)),
                   f"load_market_meta_from_json_str: bad JSON in '{key}': ", prefix_only=True)


@pytest.mark.parametrize("text", [b"", b"{", b'{"markets": [}', b"\xff", b'{"markets": []} []', b"nul"])
def test_bad_json(text):
    raises_exactly(lambda: load_market_meta_from_json_str(text), "load_market_meta_from_json_str: bad JSON: ",
                   prefix_only=True)


@pytest.mark.parametrize("text", [b'{"market": []}', b"[]", b'{"markets": {}}', b'{"markets": "x"}', b"null",
                                  b'{"Markets": []}'])
def test_top_level_markets_array_missing(text):
    raises_exactly(lambda: load_market_meta_from_json_str(text),
                   "load_market_meta_from_json_str: top-level 'markets' array missing")


def test_loader_argument_type():
    for bad, name in (('{"markets": []}', "str"), (bytearray(b"{}"), "bytearray"), (None, "NoneType")):
        with pytest.raises(TypeError) as info:
            load_market_meta_from_json_str(bad)
        assert str(info.value) == f"argument 'json_bytes': '{name}' object cannot be converted to 'bytes'"
    with pytest.raises(TypeError, match="missing"):
        load_market_meta_from_json_str()


# ---- MarketMeta and MarketInfo as classes -----------------------------------------------------

def test_market_meta_has_no_constructor_and_market_info_has_an_empty_one():
    with pytest.raises(TypeError) as info:
        MarketMeta()
    assert str(info.value) == "No constructor defined for MarketMeta"
    i = MarketInfo()
    assert (i.get_market_code(), i.get_name(), i.get_trade_day()) == (b"", b"", 0)
    with pytest.raises(TypeError):
        MarketInfo(1)
    for obj in (i, load_one({}), Commission()):
        with pytest.raises(AttributeError):
            obj.anything = 1


def test_reference_counts_stay_put():
    good, bad = bundle(full_market()), bundle({"stocks": {"rev": 1}})
    c = schedule(open_rate_by_money=0.5)
    m = load_one(full_market())
    args = (10.0, 3500.0, 48, 48, False, 10.0)
    watched = (good, bad, GLOBAL, *args[:2], args[5])
    before = reference_counts(watched)
    for _ in range(300):
        load_market_meta_from_json_str(good), m.to_sv(GLOBAL), m.market_code(), c.calculate(*args)
        c.calculate(*args[:4], is_today=True, multiplier=args[5])
        c.load(b'{"open_rate_by_money": 0.5}')
        for fail in (lambda: load_market_meta_from_json_str(bad), lambda: c.load(b"{"),
                     lambda: m.to_sv({}), lambda: c.calculate(1.0, 1.0, 256, 48, True, 1.0)):
            with pytest.raises(Exception):
                fail()
    assert reference_counts(watched) == before
    assert extra_references(lambda: load_market_meta_from_json_str(good), items=list) == (0, 0)
    assert extra_references(lambda: m.to_sv(GLOBAL), items=list) == (0, 0)
