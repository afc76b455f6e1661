// Typed reads from a parsed JSON document, shared by the JSON loaders.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "qel/error.h"

namespace qel::refdata::json {

using simdjson::dom::array;
using simdjson::dom::element;
using simdjson::dom::element_type;
using simdjson::dom::object;

// The value of the last member named `key`. JSON leaves repeated names open;
// the last one wins here as it does for a repeated instrument code.
inline std::optional<element> member(object obj, std::string_view key) noexcept {
  std::optional<element> found;
  for (const auto& kv : obj) {
    if (kv.key == key) found = kv.value;
  }
  return found;
}

inline std::optional<std::string_view> as_string(element e) noexcept {
  std::string_view s;
  if (e.get_string().get(s) != simdjson::SUCCESS) return std::nullopt;
  return s;
}

inline std::optional<object> as_object(element e) noexcept {
  object o;
  if (e.get_object().get(o) != simdjson::SUCCESS) return std::nullopt;
  return o;
}

inline std::optional<array> as_array(element e) noexcept {
  array a;
  if (e.get_array().get(a) != simdjson::SUCCESS) return std::nullopt;
  return a;
}

// Any JSON number, integers included, as a double.
inline std::optional<double> as_number(element e) noexcept {
  switch (e.type()) {
    case element_type::INT64: return static_cast<double>(e.get_int64().value_unsafe());
    case element_type::UINT64: return static_cast<double>(e.get_uint64().value_unsafe());
    case element_type::DOUBLE: return e.get_double().value_unsafe();
    default: return std::nullopt;
  }
}

// "out-of-range int field '<key>'": a JSON integer that the field's width
// cannot hold is refused rather than wrapped.
[[noreturn]] inline void throw_out_of_range(std::string_view key) {
  throw Error("out-of-range int field '" + std::string(key) + "'");
}

// `e` as a T: nullopt when it is not a JSON integer (fractions included);
// throws the out-of-range error above when it is one outside T.
template <class T>
std::optional<T> as_integer(element e, std::string_view key) {
  static_assert(std::is_integral_v<T>);
  if (e.type() == element_type::INT64) {
    const std::int64_t v = e.get_int64().value_unsafe();
    if (!std::in_range<T>(v)) throw_out_of_range(key);
    return static_cast<T>(v);
  }
  if (e.type() == element_type::UINT64) {  // only above INT64_MAX
    const std::uint64_t v = e.get_uint64().value_unsafe();
    if (!std::in_range<T>(v)) throw_out_of_range(key);
    return static_cast<T>(v);
  }
  return std::nullopt;
}

}  // namespace qel::refdata::json
