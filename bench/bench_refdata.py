"""Reference data: load_market_meta_from_json_str of one market with 5,000 securities,
5,000 stocks and 500 futures against json.loads of the same bytes, and
Commission.calculate against a built-in call with six float arguments."""

from __future__ import annotations

import json
import random
import struct

import cramjam

import pyostrel
from harness import Bench, Stmt

SECURITIES, STOCKS, FUTURES = 5_000, 5_000, 500
CONTRACTS_PER_COMMODITY = 10
PARTS = ("Market", "Holiday", "Security", "Dividend", "Stock", "Commodity", "Futures")


def _str(s: str) -> bytes:
    b = s.encode()
    return struct.pack(">I", len(b)) + b


def name_index() -> pyostrel.PyIndexDataMap:
    """A catalog with one column-less row type per part, named global::<part>."""
    metas = []
    for i, part in enumerate(PARTS):
        meta_id = 2000 + i
        metas.append(struct.pack(">HIIH", 0, meta_id, meta_id, 0) + _str(f"global::{part}") + _str("")
                     + struct.pack(">IBI", 0, 0, 0) + _str("") + struct.pack(">I", 1) + _str("")
                     + struct.pack(">I", 0))
    schema = pyostrel.IndexSchema()
    schema.load(bytes(cramjam.snappy.compress_raw(struct.pack(">I", len(metas)) + b"".join(metas))))
    return schema.index_data_map()


def header(rng: random.Random) -> dict:
    return {"rev": rng.randint(1, 50), "market_code": "SH", "trade_day": 20240102, "time_tag": 1704153600000}


def make_bundle(seed: int) -> bytes:
    rng = random.Random(seed)
    compact = {"separators": (",", ":")}

    codes = [f"{c:06d}" for c in rng.sample(range(1_000_000), SECURITIES)]
    suspend = [json.dumps({"days": sorted(rng.sample(range(20240101, 20241231), rng.randint(1, 4)))}, **compact)
               if rng.randrange(20) == 0 else "" for _ in codes]
    securities = {**header(rng), "code": codes, "name": [f"Security {c}" for c in codes],
                  "abbreviation": [f"S{c[-4:]}" for c in codes], "category": [rng.randint(0, 10) for _ in codes],
                  "state": [rng.randint(0, 3) for _ in codes],
                  "last_close": [rng.randint(100, 50_000) / 100 for _ in codes],
                  "dividend_ratio": [rng.randint(0, 1000) / 10_000 for _ in codes],
                  "lists_at": [rng.randint(19900101, 20231231) for _ in codes], "suspend": suspend}

    codes = [f"{c:06d}" for c in rng.sample(range(1_000_000), STOCKS)]
    names = [[f"Old {c} {k}" for k in range(rng.randint(0, 2))] for c in codes]
    stocks = {**header(rng), "code": codes, "name": [f"Stock {c}" for c in codes], "historical_names": names,
              "historical_name_days": [[rng.randint(19900101, 20231231) for _ in n] for n in names],
              "list_day": [rng.randint(19900101, 20231231) for _ in codes],
              "begin_shares": [rng.getrandbits(36) for _ in codes], "list_shares": [rng.getrandbits(34) for _ in codes],
              "list_price": [rng.randint(100, 5_000) / 100 for _ in codes],
              "unlimit_shares": [rng.getrandbits(36) for _ in codes],
              "limit_shares": [rng.getrandbits(30) for _ in codes]}

    # Contracts of one commodity sit together and share trading hours, margin,
    # rates and extras, as the platform's bundles do.
    rows = []
    for k in range(FUTURES // CONTRACTS_PER_COMMODITY):
        commodity = f"c{k:02d}"
        shared = {
            "trade_period": json.dumps({"day": [[900, 1015], [1030, 1130], [1330, 1500]],
                                        "night": [[2100, 2300 + k % 3 * 100]]}, **compact),
            "margin": json.dumps({"long_rate": 0.05 + k / 1000, "long_type": 1, "short_rate": 0.05 + k / 1000,
                                  "short_type": 1, "algorithm": "ratio"}, **compact),
            "commission": json.dumps({"open_rate_by_money": 5e-05, "close_rate_by_money": 5e-05,
                                      "today_close_rate_by_money": 1e-4 + k / 1e6}, **compact),
            "extra": json.dumps({"exchange": "SHFE", "product": commodity}, **compact),
        }
        for month in range(CONTRACTS_PER_COMMODITY):
            code = f"{commodity}24{month + 1:02d}"
            rows.append({"code": code, "name": f"{commodity} 24-{month + 1:02d}", "commodity": commodity, **shared,
                         "uom": "t", "volume_multiplier": rng.choice((5, 10, 20)), "max_market_order_vol": 500,
                         "min_market_order_vol": 1, "max_limit_order_vol": 1000, "min_limit_order_vol": 1,
                         "price_tick": rng.choice((0.2, 1.0, 5.0, 10.0)), "expires_at": 20240115 + month * 100,
                         "start_delivery_date": 20240116 + month * 100, "end_delivery_date": 20240120 + month * 100,
                         "real_contract_code": code.upper()})
    futures = {**header(rng), **{col: [r[col] for r in rows] for col in rows[0]}}

    market_info = {**header(rng), "name": "Shanghai", "time_zone": 8, "currency": "CNY", "begin_day": 19901219,
                   "start_day": 19901220,
                   "trading_period": json.dumps({"trading_period": [[930, 1130], [1300, 1500]]}, **compact),
                   "extra": json.dumps({"exchange": "SSE"}, **compact),
                   "revs": json.dumps({p: 1 for p in PARTS}, **compact)}
    market = {"market_info": market_info, "securities": securities, "stocks": stocks, "futures": futures}
    return json.dumps({"markets": [market]}, **compact).encode()


def check_bundle(data: bytes) -> None:
    """Loaded rows against the parsed bundle: codes ascending, columns in code order."""
    (meta,) = pyostrel.load_market_meta_from_json_str(data)
    rows = {r.get_meta_id(): r for r in meta.to_sv(name_index())}
    doc = json.loads(data)["markets"][0]
    if sorted(rows) != [2000, 2002, 2004, 2006] or meta.market_code() != b"SH":
        raise AssertionError(f"parts {sorted(rows)}, market {meta.market_code()!r}")
    for meta_id, part, getter, column in ((2002, "securities", "get_double_vector", 7),
                                          (2004, "stocks", "get_int_64_vector", 7),
                                          (2006, "futures", "get_double_vector", 14)):
        table = doc[part]
        order = sorted(range(len(table["code"])), key=lambda i: table["code"][i].encode())
        want_codes = [table["code"][i].encode() for i in order]
        if rows[meta_id].get_string_vector(2) != want_codes:
            raise AssertionError(f"{part}: codes out of order")
        name = {2002: "last_close", 2004: "begin_shares", 2006: "price_tick"}[meta_id]
        if getattr(rows[meta_id], getter)(column) != [table[name][i] for i in order]:
            raise AssertionError(f"{part}: {name} differs")


def benchmarks() -> list[Bench]:
    data = make_bundle(seed=20240102)
    check_bundle(data)

    c = pyostrel.Commission()
    c.load(b'{"open_rate_by_money":0.0003,"order_rate_by_volume":1.0,"close_rate_by_money":0.0002}')
    if abs(c.calculate(10.0, 3500.0, 48, 48, False, 10.0) - 115.0) > 1e-9:
        raise AssertionError("calculate differs from the worked example")
    return [
        Bench("load_market_meta_from_json_str", Stmt("f(d)", f=pyostrel.load_market_meta_from_json_str, d=data),
              Stmt("f(d)", f=json.loads, d=data), target=0.5, number=3, repeat=9, nbytes=len(data),
              base_label=f"json.loads of the same {len(data) / 1e6:.1f} MB"),
        Bench("Commission.calculate", Stmt("f(v, p, d, oc, t, m)", f=c.calculate, v=10.0, p=3500.0, d=48, oc=48,
                                           t=False, m=10.0),
              Stmt("f(a, b, c, d, e, g)", f=min, a=1.0, b=2.0, c=3.0, d=4.0, e=5.0, g=6.0), target=1.5,
              number=200_000, repeat=15, subtract_empty=True,
              base_label="min(1.0, 2.0, 3.0, 4.0, 5.0, 6.0)"),
    ]
