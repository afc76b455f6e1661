"""Market time from Python: calculate_market_status, sampler_tm_bound and
tradeday_sections per call, against datetime.fromtimestamp as the unit of cost,
and (without a target) against exchange_calendars' session look-ups."""

from __future__ import annotations

import datetime
import random

import pyostrel
from harness import FASTER, Bench, Stmt

TIME_ZONE = 8
TZ = datetime.timezone(datetime.timedelta(hours=TIME_ZONE))
PERIODS = {"trading_period": [[930, 1130], [1300, 1500]]}
# Twenty closed weekdays of 2024, ascending.
HOLIDAYS = [20240101, 20240209, 20240212, 20240213, 20240214, 20240215, 20240216, 20240404, 20240405, 20240501,
            20240502, 20240503, 20240610, 20240916, 20240917, 20241001, 20241002, 20241003, 20241004, 20241007]
GRANULARITY = 300
CALLS = 10_000
XCAL_CALLS = 500  # exchange_calendars costs tens of microseconds a call

LABEL = "datetime.fromtimestamp(t, timezone(+8h)) over the same instants"


def make_instants(seed: int) -> list[int]:
    """Epoch ms over 2024: two in three inside trading hours (09:30-15:00 local),
    the rest anywhere in the day, any day of the week."""
    rng = random.Random(seed)
    year = datetime.datetime(2024, 1, 1, tzinfo=TZ)
    out = []
    for _ in range(CALLS):
        day = year + datetime.timedelta(days=rng.randrange(366))
        if rng.random() < 2 / 3:
            ms = rng.randrange((9 * 60 + 30) * 60_000, 15 * 3_600_000)
        else:
            ms = rng.randrange(86_400_000)
        out.append(int(day.timestamp()) * 1000 + ms)
    return out


def local_date(ms: int) -> int:
    d = datetime.datetime.fromtimestamp(ms / 1000, TZ)
    return d.year * 10000 + d.month * 100 + d.day


def check(instants: list[int]) -> None:
    """The calendar is built as intended: spot answers from the documented cases."""
    st = pyostrel.calculate_market_status(1_704_160_800_000, TIME_ZONE, PERIODS, HOLIDAYS)  # 2024-01-02 10:00
    if (st.get_trade_day(), st.get_market_open()) != (20240102, True):
        raise AssertionError("calculate_market_status disagrees at 2024-01-02 10:00")
    # 09:32 on the day after a holiday: the previous bar ended on Friday 2023-12-29 at 15:00.
    if pyostrel.sampler_tm_bound(1_704_159_120_000, TIME_ZONE, PERIODS, HOLIDAYS, GRANULARITY) != (
            1_703_833_200_000, 1_704_159_300_000):
        raise AssertionError("sampler_tm_bound disagrees at 2024-01-02 09:32")
    if pyostrel.tradeday_sections(20240102, TIME_ZONE, PERIODS, HOLIDAYS) != [
            (1_704_159_000_000, 1_704_166_200_000), (1_704_171_600_000, 1_704_178_800_000)]:
        raise AssertionError("tradeday_sections disagrees on 2024-01-02")
    open_share = sum(pyostrel.calculate_market_status(t, TIME_ZONE, PERIODS, HOLIDAYS).get_market_open()
                     for t in instants) / len(instants)
    print(f"{len(instants):,} instants over 2024, {open_share:.0%} in a session; {len(HOLIDAYS)} holidays")


def xcal_benches(instants: list[int], days: list[int]) -> list[Bench]:
    try:
        import exchange_calendars
        import pandas as pd

        cal = exchange_calendars.get_calendar("XSHG")
    except Exception as e:  # noqa: BLE001 -- any failure to load only skips these rows
        print(f"exchange_calendars: skipped ({type(e).__name__}: {e})")
        return []

    minutes = [pd.Timestamp(t // 60_000 * 60_000, unit="ms", tz="UTC") for t in instants[:XCAL_CALLS]]
    dates = [pd.Timestamp(str(d)) for d in days[:XCAL_CALLS]]
    ts, tds = instants[:XCAL_CALLS], days[:XCAL_CALLS]

    def status(m):
        s = cal.minute_to_session(m, "previous")
        return s, cal.is_open_on_minute(m), cal.session_open(s), cal.session_close(s)

    def bound(m):
        s = cal.minute_to_session(m, "next")
        return (cal.previous_close(m), cal.session_open(s), cal.session_break_start(s), cal.session_break_end(s),
                cal.session_close(s))

    def sections(d):
        if not cal.is_session(d):
            return []
        return [(cal.session_open(d), cal.session_break_start(d)), (cal.session_break_end(d), cal.session_close(d))]

    names = dict(p=PERIODS, h=HOLIDAYS, z=TIME_ZONE)
    loop = "for x in xs: f(x)"
    return [
        Bench("calculate_market_status vs xcals", Stmt("for t in ts: f(t, z, p, h)", f=pyostrel.calculate_market_status,
                                                       ts=ts, **names),
              Stmt(loop, f=status, xs=minutes), direction=FASTER, repeat=3,
              base_label="XSHG minute_to_session(previous), is_open_on_minute, session_open, session_close"),
        Bench("sampler_tm_bound vs xcals", Stmt("for t in ts: f(t, z, p, h, 300)", f=pyostrel.sampler_tm_bound,
                                                ts=ts, **names),
              Stmt(loop, f=bound, xs=minutes), direction=FASTER, repeat=3,
              base_label="XSHG minute_to_session(next), previous_close, session_open/break_start/break_end/close"),
        Bench("tradeday_sections vs xcals", Stmt("for d in ds: f(d, z, p, h)", f=pyostrel.tradeday_sections,
                                                 ds=tds, **names),
              Stmt(loop, f=sections, xs=dates), direction=FASTER, repeat=3,
              base_label="XSHG is_session, session_open/break_start/break_end/close"),
    ]


def benchmarks() -> list[Bench]:
    instants = make_instants(seed=2024)
    seconds = [t / 1000 for t in instants]
    days = [local_date(t) for t in instants]
    check(instants)

    names = dict(p=PERIODS, h=HOLIDAYS, z=TIME_ZONE)
    base = Stmt("for s in ss: f(s, tz)", f=datetime.datetime.fromtimestamp, ss=seconds, tz=TZ)
    return [
        Bench("calculate_market_status", Stmt("for t in ts: f(t, z, p, h)", f=pyostrel.calculate_market_status,
                                              ts=instants, **names),
              base, target=3, repeat=15, base_label=LABEL),
        Bench("sampler_tm_bound (300 s)", Stmt("for t in ts: f(t, z, p, h, 300)", f=pyostrel.sampler_tm_bound,
                                               ts=instants, **names),
              base, target=3, repeat=15, base_label=LABEL),
        Bench("tradeday_sections", Stmt("for d in ds: f(d, z, p, h)", f=pyostrel.tradeday_sections,
                                        ds=days, **names),
              base, target=3, repeat=15, base_label=LABEL),
        *xcal_benches(instants, days),
    ]
