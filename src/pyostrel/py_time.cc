// Python surface of market time: MarketStatus and the calendar functions.
#include "pyostrel/py_time.h"

#include <algorithm>
#include <string>

#include "pyostrel/bind/class.h"
#include "pyostrel/bind/function.h"
#include "qel/time/calendar.h"
#include "qel/time/market_status.h"
#include "qel/time/sampler.h"

namespace pyostrel {

using bind::Object;
using bind::Ref;
using qel::time::MarketCalendar;
using qel::time::MarketStatus;
using qel::time::Pattern;
using qel::time::Span;

}  // namespace pyostrel

namespace pyostrel::bind {
template <>
struct ToPy<qel::time::Span> {
  static PyObject* convert(const qel::time::Span& s) noexcept { return Py_BuildValue("(LL)", s.begin, s.end); }
};
// (begin, end) epoch milliseconds.
template <Dir D>
struct PyType<qel::time::Span, D> {
  static std::string text() { return "tuple[int, int]"; }
};
}  // namespace pyostrel::bind

namespace pyostrel {
namespace {

[[noreturn]] void raise_type_error(const char* message) {
  PyErr_SetString(PyExc_TypeError, message);
  throw bind::PythonErrorSet{};
}

template <class T>
T convert_or_throw(PyObject* obj) {
  T value{};
  if (!bind::Arg<T>::convert(obj, value)) throw bind::PythonErrorSet{};
  return value;
}

std::string policy_name(PyObject* key) {
  Ref text;
  if (PyBytes_Check(key)) {
    // Invalid bytes become U+FFFD rather than failing the call.
    text = Ref(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key), "replace"));
  } else if (PyUnicode_Check(key)) {
    text = Ref::borrow(key);
  } else {
    raise_type_error("periods map key must be bytes or str");
  }
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (!utf8) throw bind::PythonErrorSet{};
  return std::string(utf8, static_cast<std::size_t>(size));
}

// One [start, end] section; the common 2-element list or tuple converts
// without a temporary vector.
qel::time::Section section_of(PyObject* item) {
  if ((PyList_CheckExact(item) || PyTuple_CheckExact(item)) && PySequence_Fast_GET_SIZE(item) == 2) {
    std::int32_t start, end;
    PyObject** pair = PySequence_Fast_ITEMS(item);
    Ref first = Ref::borrow(pair[0]), second = Ref::borrow(pair[1]);  // __index__ may shrink a list
    if (!bind::Arg<std::int32_t>::convert(first.get(), start) || !bind::Arg<std::int32_t>::convert(second.get(), end)) {
      throw bind::PythonErrorSet{};
    }
    return {start, end};
  }
  const auto pair = convert_or_throw<std::vector<std::int32_t>>(item);
  if (pair.size() != 2) raise_type_error("each period section must be a 2-element [startHHMM, endHHMM]");
  return {pair[0], pair[1]};
}

std::vector<qel::time::Section> policy_sections(PyObject* value) {
  std::vector<qel::time::Section> out;
  if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
    // Converting a section may run Python code that resizes the list: re-read
    // the size and hold each item while converting it.
    out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(value)));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(value); ++i) {
      Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(value, i));
      out.push_back(section_of(item.get()));
    }
    return out;
  }
  Ref iter(PyObject_GetIter(value));
  if (!iter) throw bind::PythonErrorSet{};
  while (Ref item{PyIter_Next(iter.get())}) out.push_back(section_of(item.get()));
  if (PyErr_Occurred()) throw bind::PythonErrorSet{};
  return out;
}

// The calendar of one call, built from its arguments in their documented order.
MarketCalendar make_calendar(std::int32_t time_zone, Object periods, Object holidays, bool ignore_weekend = false) {
  if (!PyDict_Check(periods.obj)) raise_type_error("periods must be a dict (an Int32PairVectorMap is one)");
  MarketCalendar calendar;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(periods.obj, &pos, &key, &value)) {
    // Converting a section may run Python code that changes the dict: hold the
    // item (the call's arguments hold the dict itself).
    Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
    std::string name = policy_name(key);
    calendar.periods.insert_or_assign(std::move(name), policy_sections(value));
  }
  calendar.holidays = convert_or_throw<std::vector<std::int32_t>>(holidays.obj);
  calendar.time_zone = time_zone;
  calendar.ignore_weekend = ignore_weekend;
  return calendar;
}

// Instants arrive as u64 milliseconds and are computed as i64.
std::int64_t instant(std::uint64_t now) { return qel::time::clamp_instant_ms(static_cast<std::int64_t>(now)); }

std::int64_t next_market_break_time(std::uint64_t now, std::int32_t tz, Object periods, Object holidays) {
  return qel::time::next_market_break_time(make_calendar(tz, periods, holidays, true), instant(now));
}

std::int64_t next_market_continue_time(std::uint64_t now, std::int32_t tz, Object periods, Object holidays) {
  return qel::time::next_market_continue_time(make_calendar(tz, periods, holidays, true), instant(now));
}

std::array<std::int64_t, 3> equivalant_market_time(std::uint64_t now, std::int32_t tz, Object periods,
                                                   Object holidays, bool ignore_weekend, std::int32_t pattern) {
  const MarketCalendar calendar = make_calendar(tz, periods, holidays, ignore_weekend);
  if (static_cast<std::uint32_t>(pattern) > 2) {
    raise_type_error(("pattern must be FLOOR(0)/CEIL(1)/ROUND(2), got " + std::to_string(pattern)).c_str());
  }
  return qel::time::equivalant_market_time(calendar, instant(now), static_cast<Pattern>(pattern));
}

std::vector<Span> tradeday_sections(std::int32_t tradeday, std::int32_t tz, Object periods, Object holidays) {
  return make_calendar(tz, periods, holidays).tradeday_sections(tradeday);
}

std::pair<std::int64_t, std::int64_t> sampler_tm_bound(std::uint64_t now, std::int32_t tz, Object periods,
                                                       Object holidays, std::uint32_t granularity,
                                                       std::optional<bool> tm_as_of_eod) {
  return qel::time::sampler_tm_bound(make_calendar(tz, periods, holidays), instant(now), granularity,
                                     tm_as_of_eod.value_or(true));
}

std::pair<std::int64_t, std::int64_t> sampler_tm_begin(std::uint64_t now, std::int32_t tz, Object periods,
                                                       Object holidays, std::uint32_t granularity,
                                                       std::optional<bool> tm_as_of_eod) {
  return qel::time::sampler_tm_begin(make_calendar(tz, periods, holidays), instant(now), granularity,
                                     tm_as_of_eod.value_or(true));
}

MarketStatus calculate_market_status(std::uint64_t now, std::int32_t tz, Object periods, Object holidays) {
  return qel::time::calculate_status(make_calendar(tz, periods, holidays), instant(now), Pattern::floor);
}

MarketStatus calculate_market_status_include_weekend(std::uint64_t now, std::int32_t tz, Object periods,
                                                     Object holidays) {
  return qel::time::calculate_status(make_calendar(tz, periods, holidays, true), instant(now), Pattern::round);
}

std::vector<Span> this_tradeday_sections(std::uint64_t now, std::int32_t tz, Object periods, Object holidays,
                                         bool ignore_weekend) {
  std::vector<Span> spans =
      make_calendar(tz, periods, holidays, ignore_weekend).current_sections(instant(now) / 1000);
  for (Span& s : spans) s = {s.begin * 1000, s.end * 1000};
  return spans;
}

constexpr std::initializer_list<const char*> kCalendarArgs = {"now", "time_zone", "periods", "holidays"};

// A market-time function's docstring: what it returns, then the calendar arguments, which every one of them takes.
template <std::size_t N>
struct CalendarDoc {
  static constexpr char kArgs[] =
      " now is in milliseconds since the epoch; time_zone in whole hours from UTC, -5 being US Eastern with daylight "
      "saving; periods {name: [[startHHMM, endHHMM], ...]}, keys bytes or str; holidays YYYYMMDD ints, ascending. "
      "Raises TypeError on malformed periods.";
  char text[N - 1 + sizeof(kArgs)] = {};
  constexpr CalendarDoc(const char (&what)[N]) {
    std::copy_n(what, N - 1, text);
    std::copy_n(kArgs, sizeof(kArgs), text + N - 1);
  }
};
template <CalendarDoc D>
constexpr const char* calendar_doc() {
  return D.text;
}

}  // namespace

const bool kDefined[] = {
    bind::define(
        "MarketStatus", "Trade day, session state and latest market time of an instant.",
        [](bind::Class<MarketStatus>& c) {
          c.accessors<&MarketStatus::trade_day>("trade_day", "the trade day the instant belongs to (YYYYMMDD, i32)")
              .accessors<&MarketStatus::action_day>("action_day", "the instant's local calendar date (YYYYMMDD, i32)")
              .accessors<&MarketStatus::market_open>("market_open", "whether the instant lies inside a session (bool)")
              .accessors<&MarketStatus::lattest_market_time>(
                  "lattest_market_time",
                  "the latest market time reached: the instant inside a session, else a session boundary (u64 ms since "
                  "the epoch)")
              .accessors<&MarketStatus::begin>("begin",
                                               "the start of the trade day's first session (u64 ms since the epoch)")
              .accessors<&MarketStatus::end>("end", "the end of the trade day's last session (u64 ms since the epoch)");
        }),
};

bool add_sampler_functions(PyObject* m) noexcept {
  using bind::add_function;
  return add_function<&next_market_break_time>(
             m, "next_market_break_time", kCalendarArgs, "",
             calendar_doc<"Returns the end of the first session ending after now, in ms; weekends count as trading "
                          "days.">()) &&
         add_function<&next_market_continue_time>(
             m, "next_market_continue_time", kCalendarArgs, "",
             calendar_doc<"Returns the start of the first session starting after now, in ms; weekends count as "
                          "trading days.">()) &&
         add_function<&equivalant_market_time>(
             m, "equivalant_market_time", {"now", "time_zone", "periods", "holidays", "ignore_weekend", "pattern"},
             "",
             calendar_doc<"Returns [first session start, now clamped into the sessions, last session end] in ms of "
                          "the trade day now resolves to under pattern (FLOOR 0, CEIL 1, ROUND 2; another raises "
                          "TypeError).">()) &&
         add_function<&tradeday_sections>(
             m, "tradeday_sections", {"tradeday", "time_zone", "periods", "holidays"}, "",
             calendar_doc<"Returns the sessions of trade day tradeday (YYYYMMDD) as [(begin_ms, end_ms)], or [] "
                          "for a weekend day or holiday.">()) &&
         add_function<&sampler_tm_bound>(
             m, "sampler_tm_bound", {"now", "time_zone", "periods", "holidays", "granularity", "tm_as_of_eod=True"},
             "",
             calendar_doc<"Returns (prev_bar_end, curr_bar_end) in ms of the bar of granularity seconds that now "
                          "falls in, bars closed on the right; tm_as_of_eod stamps bars of a day or more at the "
                          "last close.">()) &&
         add_function<&sampler_tm_begin>(
             m, "sampler_tm_begin", {"now", "time_zone", "periods", "holidays", "granularity", "tm_as_of_eod=True"},
             "",
             calendar_doc<"Returns (curr_bar_begin, next_bar_begin) in ms of the bar of granularity seconds that "
                          "now falls in; tm_as_of_eod stamps bars of a day or more at the last close.">());
}

bool add_market_status_functions(PyObject* m) noexcept {
  using bind::add_function;
  return add_function<&calculate_market_status>(
             m, "calculate_market_status", kCalendarArgs, "",
             calendar_doc<"Returns the MarketStatus of now, its trade day resolved FLOOR (kept until the next "
                          "first session starts).">()) &&
         add_function<&calculate_market_status_include_weekend>(
             m, "calculate_market_status_include_weekend", kCalendarArgs, "",
             calendar_doc<"Returns the MarketStatus of now with weekends counted as trading days, its trade day "
                          "resolved ROUND.">()) &&
         add_function<&this_tradeday_sections>(
             m, "this_tradeday_sections", {"now", "time_zone", "periods", "holidays", "ignore_weekend"}, "",
             calendar_doc<"Returns the sessions of the trade day now belongs to, resolved CEIL (the next one once "
                          "today's last session has ended), as [(begin_ms, end_ms)].">());
}

}  // namespace pyostrel
