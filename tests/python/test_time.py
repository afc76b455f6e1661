"""Market time through the Python surface: calendar arguments, MarketStatus, sampler, US Eastern."""

import collections
import random
import time
import types
from datetime import date, datetime, timedelta, timezone

import pytest

import pyostrel as p

PERIODS = {"trading_period": [[930, 1130], [1300, 1500]]}
CST = timezone(timedelta(hours=8))
OVERFLOW = "out of range integral type conversion attempted"
MAPPING = "periods must be a dict (an Int32PairVectorMap is one)"
KEY = "periods map key must be bytes or str"
SECTION = "each period section must be a 2-element [startHHMM, endHHMM]"
NO_DEFAULT = 'MarketCalendar must carry a "trading_period" policy'


def at(y, m, d, hh=0, mm=0, ss=0, ms=0):
    """Epoch ms of a UTC+8 local time."""
    return int(datetime(y, m, d, hh, mm, ss, tzinfo=CST).timestamp()) * 1000 + ms


def jan(d, *clock):
    return at(2024, 1, d, *clock)


# Every calendar function, called with valid values for everything but periods and holidays.
CALLS = {
    "next_market_break_time": lambda pe, ho: p.next_market_break_time(jan(2, 10), 8, pe, ho),
    "next_market_continue_time": lambda pe, ho: p.next_market_continue_time(jan(2, 10), 8, pe, ho),
    "equivalant_market_time": lambda pe, ho: p.equivalant_market_time(jan(2, 10), 8, pe, ho, False, 0),
    "tradeday_sections": lambda pe, ho: p.tradeday_sections(20240102, 8, pe, ho),
    "sampler_tm_bound": lambda pe, ho: p.sampler_tm_bound(jan(2, 10), 8, pe, ho, 300),
    "sampler_tm_begin": lambda pe, ho: p.sampler_tm_begin(jan(2, 10), 8, pe, ho, 300),
    "calculate_market_status": lambda pe, ho: p.calculate_market_status(jan(2, 10), 8, pe, ho),
    "calculate_market_status_include_weekend":
        lambda pe, ho: p.calculate_market_status_include_weekend(jan(2, 10), 8, pe, ho),
    "this_tradeday_sections": lambda pe, ho: p.this_tradeday_sections(jan(2, 10), 8, pe, ho, False),
}


def type_error(fn):
    with pytest.raises(TypeError) as info:
        fn()
    return str(info.value)


# ---- calendar arguments ----

@pytest.mark.parametrize("name", CALLS)
def test_every_function_builds_the_calendar_the_same_way(name):
    call = CALLS[name]
    assert type_error(lambda: call([], [])) == MAPPING
    assert type_error(lambda: call({7: []}, [])) == KEY
    assert type_error(lambda: call({"trading_period": [[930]]}, [])) == SECTION
    assert "'str' object cannot be converted to 'Sequence' (a str is not taken as a sequence of items)" in type_error(lambda: call(PERIODS, "20240101"))


@pytest.mark.parametrize("periods, holidays, message", [
    (None, [], MAPPING),
    (types.MappingProxyType(PERIODS), [], MAPPING),
    ({None: [[930, 1500]]}, [], KEY),
    ({("trading_period",): [[930, 1500]]}, [], KEY),
    ({"trading_period": [[930, 1130, 1200]]}, [], SECTION),
    ({"trading_period": [(930, 1130), [1300]]}, [], SECTION),
    # The first failure ends the call: items in order, key before value, periods before holidays.
    ({1: [[1, 2, 3]]}, [], KEY),
    ({"a": [[1, 2, 3]], 1: []}, [], SECTION),
    ({"trading_period": [[1]]}, "abc", SECTION),
    ([], "abc", MAPPING),
])
def test_calendar_argument_errors(periods, holidays, message):
    assert type_error(lambda: p.tradeday_sections(20240102, 8, periods, holidays)) == message


@pytest.mark.parametrize("periods, holidays, error, text", [
    ({"trading_period": ["ab"]}, [], TypeError, "'str' object cannot be converted to 'Sequence' (a str is not taken as a sequence of items)"),
    ({"trading_period": [930]}, [], TypeError, "'int' object cannot be converted to 'Sequence'"),
    ({"trading_period": 930}, [], TypeError, "not iterable"),
    ({"trading_period": [[930, 2**31]]}, [], OverflowError, OVERFLOW),
    (PERIODS, (d for d in [20240101]), TypeError, "'generator' object cannot be converted to 'Sequence'"),
])
def test_section_and_holiday_element_conversions(periods, holidays, error, text):
    with pytest.raises(error) as info:
        p.tradeday_sections(20240102, 8, periods, holidays)
    assert text in str(info.value)


class MyDict(dict):
    pass


def alias_sections():
    return p.Int32PairVector([p.Int32Vector([930, 1130]), p.Int32Vector([1300, 1500])])


@pytest.mark.parametrize("periods", [
    p.Int32PairVectorMap(PERIODS),
    collections.OrderedDict(PERIODS),
    MyDict(PERIODS),
    {b"trading_period": [[930, 1130], [1300, 1500]]},
    {"trading_period": ((930, 1130), (1300, 1500))},
    {"trading_period": alias_sections()},
    {"trading_period": {(930, 1130): 0, (1300, 1500): 0}.keys()},  # iterable, not a sequence
    # Invalid UTF-8 in a key is replaced, not refused; other keys are stored and never looked up.
    {b"\xff\xfeweird": [[1, 2]], "trading_period": [[930, 1130], [1300, 1500]], "other": []},
], ids=lambda v: type(v).__name__)
def test_accepted_period_forms(periods):
    assert p.tradeday_sections(20240102, 8, periods, []) == p.tradeday_sections(20240102, 8, PERIODS, [])


@pytest.mark.parametrize("holidays", [(20240102,), p.Int32Vector([20240102]), range(20240102, 20240103)])
def test_accepted_holiday_forms(holidays):
    assert p.tradeday_sections(20240102, 8, PERIODS, holidays) == []


def test_bytes_and_str_keys_collapse_and_the_later_one_wins():
    first, second = [[900, 1000]], [[1300, 1400]]
    for a, b in ((b"trading_period", "trading_period"), ("trading_period", b"trading_period")):
        assert p.tradeday_sections(20240102, 8, {a: first, b: second}, []) == \
            p.tradeday_sections(20240102, 8, {"trading_period": second}, [])


def test_keyword_arguments():
    cal = dict(time_zone=8, periods=PERIODS, holidays=[])
    assert p.tradeday_sections(tradeday=20240102, **cal) == p.tradeday_sections(20240102, 8, PERIODS, [])
    assert p.equivalant_market_time(now=jan(2, 10), ignore_weekend=False, pattern=2, **cal) == \
        [jan(2, 9, 30), jan(2, 10), jan(2, 15)]
    assert p.sampler_tm_bound(now=jan(2, 10), granularity=300, tm_as_of_eod=False, **cal) == (jan(2, 9, 55), jan(2, 10))
    s = p.calculate_market_status(now=jan(2, 10), **cal)
    assert (s.get_begin(), s.get_end()) == (jan(2, 9, 30), jan(2, 15))


@pytest.mark.parametrize("fn", [p.sampler_tm_begin, p.sampler_tm_bound])
def test_tm_as_of_eod_defaults_to_true(fn):
    now = jan(2, 10)
    assert fn(now, 8, PERIODS, [], 86400) == fn(now, 8, PERIODS, [], 86400, True)
    assert fn(now, 8, PERIODS, [], 86400) != fn(now, 8, PERIODS, [], 86400, tm_as_of_eod=False)


BOOL_CALLS = [
    ("ignore_weekend", lambda v: p.this_tradeday_sections(jan(6, 10), 8, PERIODS, [], v)),
    ("ignore_weekend", lambda v: p.equivalant_market_time(jan(6, 10), 8, PERIODS, [], v, 1)),
    ("tm_as_of_eod", lambda v: p.sampler_tm_begin(jan(2, 10), 8, PERIODS, [], 86400, v)),
    ("tm_as_of_eod", lambda v: p.sampler_tm_bound(jan(2, 10), 8, PERIODS, [], 86400, v)),
]


@pytest.mark.parametrize("name, call", BOOL_CALLS)
@pytest.mark.parametrize("value", [0, 1])
def test_bool_arguments_refuse_int(name, call, value):
    assert type_error(lambda: call(value)) == f"argument '{name}': 'int' object cannot be converted to 'bool'"


@pytest.mark.parametrize("name, call", BOOL_CALLS)
def test_bool_arguments_accept_numpy_bool(name, call):
    np = pytest.importorskip("numpy")
    assert call(np.bool_(True)) == call(True)
    assert call(np.bool_(False)) == call(False)


@pytest.mark.parametrize("pattern", [3, -1, 2**31 - 1, -2**31])
def test_pattern_out_of_range(pattern):
    message = type_error(lambda: p.equivalant_market_time(jan(2, 10), 8, PERIODS, [], False, pattern))
    assert message == f"pattern must be FLOOR(0)/CEIL(1)/ROUND(2), got {pattern}"


# ---- internal failures ----

@pytest.mark.parametrize("call, message", [
    (lambda: p.tradeday_sections(20240109, 8, {"after_weekend": [[930, 1500]]}, []), NO_DEFAULT),
    (lambda: p.calculate_market_status(jan(2, 10), 8, {"after_holiday": [[930, 1500]]}, []), NO_DEFAULT),
    (lambda: p.calculate_market_status(jan(2, 10), 8, {"trading_period": []}, []), None),
    (lambda: p.this_tradeday_sections(jan(2, 10), 8, {"trading_period": []}, [], False), None),
    (lambda: p.sampler_tm_begin(jan(2, 10), 8, PERIODS, [], 0), None),
    (lambda: p.sampler_tm_bound(jan(2, 10), 8, PERIODS, [], 0), None),
])
def test_internal_failures_escape_exception_handlers(call, message):
    with pytest.raises(BaseException) as info:
        call()
    assert not isinstance(info.value, Exception)
    assert type(info.value).__module__ == "pyostrel"
    if message is not None:
        assert str(info.value) == message


def test_missing_trading_period_fails_only_when_a_lookup_falls_back():
    periods = {"after_weekend": [[930, 1500]]}
    assert p.tradeday_sections(20240106, 8, periods, []) == []
    assert p.tradeday_sections(20240108, 8, periods, []) == [(jan(8, 9, 30), jan(8, 15))]
    assert p.this_tradeday_sections(jan(8, 10), 8, periods, [], False) == [(jan(8, 9, 30), jan(8, 15))]


def test_day_search_gives_up_on_a_century_of_holidays():
    start = date(2000, 1, 1)
    closed = [int((start + timedelta(days=i)).strftime("%Y%m%d")) for i in range(40000)]
    with pytest.raises(BaseException) as info:
        p.calculate_market_status(at(2000, 1, 5, 10), 8, PERIODS, closed)
    assert not isinstance(info.value, Exception)


def test_first_bar_after_a_long_run_of_holidays_steps_back_over_it_once():
    # The first bar's previous end is the close before 24,000 closed days; the
    # walk back used to search the whole run again for every day (about a minute).
    last_open = date(2024, 1, 1) - timedelta(days=24000)
    closed = [int((last_open + timedelta(days=i)).strftime("%Y%m%d")) for i in range(1, 24001)]
    start = time.perf_counter()
    got = p.sampler_tm_bound(jan(2, 9, 32), 8, PERIODS, closed, 300)
    assert time.perf_counter() - start < 0.5
    assert got == (at(last_open.year, last_open.month, last_open.day, 15), jan(2, 9, 35))


# ---- MarketStatus ----

FIELDS = ["trade_day", "action_day", "market_open", "lattest_market_time", "begin", "end"]


def test_market_status_defaults_and_accessors():
    status = p.MarketStatus()
    assert [getattr(status, "get_" + f)() for f in FIELDS] == [0, 0, False, 0, 0, 0]
    assert status.get_market_open() is False
    values = [-2**31, 2**31 - 1, True, 2**64 - 1, 5, 0]
    for field, value in zip(FIELDS, values):
        assert getattr(status, "set_" + field)(value) is None
    assert [getattr(status, "get_" + f)() for f in FIELDS] == values
    # i32 days, u64 instants, a strict bool.
    for setter, value, error in (("set_trade_day", 2**31, OverflowError), ("set_begin", -1, OverflowError),
                                 ("set_market_open", 1, TypeError)):
        with pytest.raises(error):
            getattr(status, setter)(value)


# ---- behaviour on the UTC+8 day-session calendar ----

def status(now, holidays=(), include_weekend=False):
    fn = p.calculate_market_status_include_weekend if include_weekend else p.calculate_market_status
    s = fn(now, 8, PERIODS, list(holidays))
    return s.get_trade_day(), s.get_action_day(), s.get_market_open(), s.get_lattest_market_time()


@pytest.mark.parametrize("now, holidays, include_weekend, expected", [
    (jan(2, 10), (), False, (20240102, 20240102, True, jan(2, 10))),
    (jan(2, 8), (), False, (20240102, 20240102, False, 0)),
    (jan(3, 0), (), False, (20240103, 20240103, False, 0)),  # day sessions: FLOOR moves on at midnight
    (jan(2, 12, 15), (), True, (20240102, 20240102, False, jan(2, 11, 30))),  # the tie goes to the close
    (jan(6, 10), (), False, (20240105, 20240106, False, jan(5, 15))),
    (jan(6, 10), (), True, (20240106, 20240106, True, jan(6, 10))),
    (jan(6, 10), (20240105,), True, (20240104, 20240106, False, jan(4, 15))),
    (jan(8, 0), (20240105,), True, (20240108, 20240108, False, jan(8, 9, 30))),
])
def test_market_status(now, holidays, include_weekend, expected):
    assert status(now, holidays, include_weekend) == expected


def test_session_lists():
    day2 = [(jan(2, 9, 30), jan(2, 11, 30)), (jan(2, 13), jan(2, 15))]
    assert p.tradeday_sections(20240102, 8, PERIODS, []) == day2
    assert day2[0] == (int(datetime(2024, 1, 2, 1, 30, tzinfo=timezone.utc).timestamp()) * 1000,
                       int(datetime(2024, 1, 2, 3, 30, tzinfo=timezone.utc).timestamp()) * 1000)
    assert p.tradeday_sections(20240106, 8, PERIODS, []) == []
    assert p.this_tradeday_sections(jan(2, 15), 8, PERIODS, [], False) == day2
    assert p.this_tradeday_sections(jan(2, 15, 0, 0, 999), 8, PERIODS, [], False) == day2
    assert p.this_tradeday_sections(jan(2, 15, 30), 8, PERIODS, [], False)[0] == (jan(3, 9, 30), jan(3, 11, 30))
    assert p.this_tradeday_sections(jan(6, 10), 8, PERIODS, [], True)[0][0] == jan(6, 9, 30)
    night = {"trading_period": [[-300, -100]]}
    assert p.tradeday_sections(20240103, 8, night, []) == [(jan(2, 21), jan(2, 23))]


def test_sampler_results():
    # The samplers close weekends; equivalant_market_time takes ignore_weekend from its caller.
    assert p.sampler_tm_begin(jan(5, 15, 10), 8, PERIODS, [], 300) == (jan(5, 14, 55), jan(8, 9, 30))
    assert p.equivalant_market_time(jan(6, 10), 8, PERIODS, [], False, 1) == [jan(8, 9, 30), jan(8, 9, 30), jan(8, 15)]
    assert p.equivalant_market_time(jan(6, 10), 8, PERIODS, [], True, 1) == [jan(6, 9, 30), jan(6, 10), jan(6, 15)]
    assert p.sampler_tm_bound(jan(2, 9, 32), 8, PERIODS, [], 300) == (jan(1, 15), jan(2, 9, 35))
    assert p.sampler_tm_bound(jan(8, 10), 8, PERIODS, [], 86400, False) == (
        int(datetime(2024, 1, 5, tzinfo=timezone.utc).timestamp()) * 1000,
        int(datetime(2024, 1, 8, tzinfo=timezone.utc).timestamp()) * 1000)
    assert p.next_market_break_time(jan(2, 11, 30), 8, PERIODS, []) == jan(2, 15)
    # Both edge searches count weekends as trading days.
    assert p.next_market_continue_time(jan(5, 15), 8, PERIODS, []) == jan(6, 9, 30)
    assert p.next_market_break_time(jan(5, 15), 8, PERIODS, []) == jan(6, 11, 30)
    assert p.equivalant_market_time(jan(2, 8), 8, PERIODS, [], False, 0) == [jan(1, 9, 30), jan(1, 15), jan(1, 15)]


@pytest.mark.parametrize("now", [0, 2**63 - 1, 2**63, 2**64 - 1])
@pytest.mark.parametrize("tz", [-2**31, 2**31 - 1, -5])
def test_extreme_arguments_do_not_crash(now, tz):
    wide = {"trading_period": [[-2**31, 2**31 - 1]]}
    for call in (lambda: p.calculate_market_status(now, tz, PERIODS, [-2**31, 2**31 - 1]),
                 lambda: p.sampler_tm_bound(now, tz, PERIODS, [], 2**32 - 1),
                 lambda: p.sampler_tm_begin(now, tz, wide, [], 1),
                 lambda: p.tradeday_sections(-2**31, tz, wide, []),
                 lambda: p.tradeday_sections(2**31 - 1, tz, PERIODS, [])):
        try:
            call()
        except BaseException as e:  # only the internal failure is acceptable
            assert not isinstance(e, Exception), e
    with pytest.raises(OverflowError):
        p.calculate_market_status(2**64, tz, PERIODS, [])


# ---- US Eastern against the tz database ----

@pytest.fixture(scope="module")
def new_york():
    zoneinfo = pytest.importorskip("zoneinfo")
    try:
        return zoneinfo.ZoneInfo("America/New_York")
    except zoneinfo.ZoneInfoNotFoundError:
        pytest.skip("no tz database (pip install tzdata)")


def transition_dates(tz):
    """Dates whose noon offset differs from the day before's, from the tz database alone."""
    def noon_offset(d):
        return datetime(d.year, d.month, d.day, 12, tzinfo=tz).utcoffset()
    out = []
    for year in range(1987, 2038):
        days = [date(year, 1, 1) + timedelta(days=i) for i in range(1, 365)]
        found = [d for d in days if noon_offset(d) != noon_offset(d - timedelta(days=1))]
        assert len(found) == 2, (year, found)
        out += found
    return out


def utc_of_clocks(day, clocks):
    """UTC seconds of local clock values (minutes after midnight, ascending, ending at 23:59) on `day`.

    Weekends trade here, and local noon lies before the last session end, so the CEIL trade day is `day`."""
    noon = int(datetime(day.year, day.month, day.day, 17, tzinfo=timezone.utc).timestamp()) * 1000
    sections = [[m // 60 * 100 + m % 60] * 2 for m in clocks]
    return [b // 1000 for b, _ in p.this_tradeday_sections(noon, -5, {"trading_period": sections}, [], True)]


def test_us_eastern_local_to_utc_resolves_gaps_and_folds_like_fold_1(new_york):
    around_switch = set(range(0, 24 * 60, 15)) | {59, 60, 61, 119, 120, 121, 179, 180, 181, 1439}
    rng = random.Random(1987)
    cases = [(day, sorted(around_switch)) for day in transition_dates(new_york)]
    cases += [(date(1987, 1, 1) + timedelta(days=rng.randrange(51 * 365)),
               sorted({rng.randrange(24 * 60) for _ in range(6)} | {1439})) for _ in range(300)]
    for day, clocks in cases:
        expected = [int(datetime(day.year, day.month, day.day, m // 60, m % 60, fold=1, tzinfo=new_york).timestamp())
                    for m in clocks]
        assert utc_of_clocks(day, clocks) == expected, day


def test_us_eastern_utc_to_local_date(new_york):
    def check(t):
        got = p.calculate_market_status(t * 1000, -5, PERIODS, []).get_action_day()
        assert got == int(datetime.fromtimestamp(t, new_york).strftime("%Y%m%d")), t

    def midnight(d):
        return int(datetime(d.year, d.month, d.day, tzinfo=new_york).timestamp())

    # Local midnights next to each switch, where an offset error changes the date.
    for day in transition_dates(new_york):
        for k in (-1, 0, 1, 2):
            for delta in (-3601, -1, 0, 3599):
                check(midnight(day + timedelta(days=k)) + delta)
    rng = random.Random(2037)
    lo = int(datetime(1987, 1, 1, tzinfo=timezone.utc).timestamp())
    for _ in range(1500):
        check(midnight(date(1987, 1, 2) + timedelta(days=rng.randrange(51 * 365))) + rng.randrange(-7200, 7200))
        check(lo + rng.randrange(51 * 365 * 86400))
