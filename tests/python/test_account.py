"""Accounts and manual trading: close prices, the lenient replies, the account preview's indexed getters."""

import math
import struct
import sys

import pytest
from message_tables import needed, raises_exactly, s

import pyostrel as p

BASE = [struct.pack(">i", 5), struct.pack(">i", -1), struct.pack(">i", 2), struct.pack(">I", 2), b"no"]
BASE_BODY = b"".join(BASE)


def base_state(m):
    return (m.get_seq(), m.get_status(), m.get_error_code(), m.get_error_msg())


def text(t):
    return [struct.pack(">I", len(t)), t]


# ---- ATManualTradeReq's close price ----------------------------------------------------------------

# seq, token, account_uuid, basket_uuid, market, code, direction, oc, volume, price; then the close price.
TRADE_HEAD = struct.pack(">iIIIIIBBqd", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.0)


@pytest.mark.parametrize("calls, tail", [
    ([], b"\0"),
    ([("cancel_range", 1.5, -2)], b"\1" + struct.pack(">dd", 1.5, -2.0)),
    ([("pl_stop", math.inf, 0.25)], b"\2" + struct.pack(">dd", math.inf, 0.25)),
    ([("cancel_range", 1, 2), ("pl_stop", 3, 4)], b"\2" + struct.pack(">dd", 3, 4)),
    ([("pl_stop", 3, 4), ("none",)], b"\0"),
])
def test_close_price_is_a_tag_then_two_doubles(calls, tail):
    m = p.ATManualTradeReq()
    for name, *args in calls:
        assert getattr(m, "set_close_price_" + name)(*args) is None
    assert m.encode() == TRADE_HEAD + tail


# ---- ATManualTradeRes: never raises, resets first ----------------------------------------------

TRADE_GOOD = BASE_BODY + s(b"ord-1") + b"\1"
DEFAULTS = (0, 0, 0, b"", b"", False)


def trade_state(m):
    return base_state(m) + (m.get_order_uuid(), m.get_is_ok())


@pytest.mark.parametrize("data, expected", [
    (b"", DEFAULTS),
    (b"abc", DEFAULTS),
    (BASE_BODY[:-1], DEFAULTS),
    (BASE_BODY, (5, -1, 2, b"no", b"", False)),  # a reply that ends after the base response keeps it
    (BASE_BODY + b"\0\0", DEFAULTS),  # a trailer cut short: nothing is kept
    (BASE_BODY + s(b"ord"), DEFAULTS),
    (BASE_BODY + s(b"\xff") + b"\1", DEFAULTS),  # or one whose text is not UTF-8
    (TRADE_GOOD, (5, -1, 2, b"no", b"ord-1", True)),
    (TRADE_GOOD + b"more", (5, -1, 2, b"no", b"ord-1", True)),
])
def test_manual_trade_reply_is_lenient(data, expected):
    m = p.ATManualTradeRes()
    m.decode(TRADE_GOOD)
    assert m.decode(data) is None
    assert trade_state(m) == expected


# ---- ATAccountAddRes: a base-only body is complete, any other short body raises ---------------------

ADD_UNITS = BASE + text(b"acc") + text(b"bk") + [b"\7"]


def add_state(m):
    return base_state(m) + (m.get_account_uuid(), m.get_basket_uuid(), m.get_account_type())


def test_account_add_reply():
    full, m = b"".join(ADD_UNITS), p.ATAccountAddRes()
    m.decode(full)
    assert add_state(m) == (5, -1, 2, b"no", b"acc", b"bk", 7)
    for cut in range(len(full)):
        if cut == len(BASE_BODY):
            continue
        raises_exactly(lambda: m.decode(full[:cut]),
                       f"ATAccountAddRes decode: unexpected end of input: needed {needed(ADD_UNITS, cut)} more bytes")
        assert add_state(m) == (5, -1, 2, b"no", b"acc", b"bk", 7)
    m.decode(BASE_BODY)
    assert add_state(m) == (5, -1, 2, b"no", b"", b"", 0)


# ---- ATAccountEditRes: a preview read through indexed getters ---------------------------------------

def position(market, code, volume, cost):
    return text(market) + text(code) + [struct.pack(">q", volume), struct.pack(">d", cost)]


def basket(uuid, capital, cash, positions):
    return text(uuid) + [struct.pack(">d", capital), struct.pack(">d", cash),
                         struct.pack(">I", len(positions))] + [u for pos in positions for u in pos]


EDIT_UNITS = BASE + [struct.pack(">I", 3)] + basket(b"b1", 1e6, 2.5, [position(b"SH", b"600000", -5, 3.25),
                                                                      position(b"SZ", b"\xe4\xb8\xad", 2**40, 0.0)])
EDIT_UNITS += basket(b"b2", 0.0, -1.0, []) + basket(b"", 7.0, 8.0, [position(b"", b"", 0, -0.5)])


def preview(m):
    return base_state(m) + tuple(
        (m.get_basket_uuid(i), m.get_basket_capital(i), m.get_basket_cash(i),
         [m.get_position(i, j) for j in range(m.get_position_count(i))]) for i in range(m.get_basket_count()))


def test_account_edit_reply_reads_basket_by_basket():
    m = p.ATAccountEditRes()
    assert m.get_basket_count() == 0
    m.decode(b"".join(EDIT_UNITS))
    assert preview(m) == (5, -1, 2, b"no",
                          (b"b1", 1e6, 2.5, [(b"SH", b"600000", -5, 3.25), (b"SZ", b"\xe4\xb8\xad", 2**40, 0.0)]),
                          (b"b2", 0.0, -1.0, []), (b"", 7.0, 8.0, [(b"", b"", 0, -0.5)]))


@pytest.mark.parametrize("getter, args, message", [
    ("get_basket_uuid", (3,), "basket index 3 out of range (3 baskets)"),
    ("get_basket_capital", (-1,), "basket index -1 out of range (3 baskets)"),
    ("get_basket_cash", (2**63 - 1,), f"basket index {2**63 - 1} out of range (3 baskets)"),
    ("get_position_count", (3,), "basket index 3 out of range (3 baskets)"),
    ("get_position", (3, 0), "basket index 3 out of range (3 baskets)"),
    ("get_position", (0, 2), "position index 2 out of range (2 positions in basket 0)"),
    ("get_position", (1, 0), "position index 0 out of range (0 positions in basket 1)"),
    ("get_position", (2, -1), "position index -1 out of range (1 positions in basket 2)"),
])
def test_account_edit_indices_out_of_range(getter, args, message):
    m = p.ATAccountEditRes()
    m.decode(b"".join(EDIT_UNITS))
    raises_exactly(lambda: getattr(m, getter)(*args), message)
    with pytest.raises(OverflowError):
        getattr(m, getter)(2**63, *args[1:])


@pytest.mark.parametrize("cls, units, state", [
    ("ATAccountEditRes", EDIT_UNITS, preview),
    ("ATAccountChangeCapitalRes", BASE, base_state),
    ("ATControlBacktestRes", BASE, base_state),
    ("ATStartBacktestRes", BASE + [struct.pack(">q", -(2**40))] + text(b"h:80"),
     lambda m: base_state(m) + (m.get_session_id(), m.get_bt_address()))])
def test_strict_replies_raise_on_short_bodies_and_change_nothing(cls, units, state):
    full, m = b"".join(units), getattr(p, cls)()
    m.decode(full)
    before = state(m)
    assert before[:4] == (5, -1, 2, b"no")
    for cut in range(len(full)):
        raises_exactly(lambda: m.decode(full[:cut]),
                       f"{cls} decode: unexpected end of input: needed {needed(units, cut)} more bytes")
        assert state(m) == before


def test_reference_counts_stay_put():
    res, trade = p.ATAccountEditRes(), p.ATManualTradeRes()
    body = b"".join(EDIT_UNITS)
    res.decode(body)
    counts = sys.getrefcount(body), sys.getrefcount(TRADE_GOOD)
    for _ in range(200):
        res.decode(body)
        res.get_position(0, 1), res.get_basket_uuid(2)
        trade.decode(TRADE_GOOD), trade.decode(b"")
    assert (sys.getrefcount(body), sys.getrefcount(TRADE_GOOD)) == counts
