// A record's wire fields as one JSON object: members in body order, a shared
// prefix's fields inline, texts as JSON strings, lists as arrays.
#pragma once

#include <string>
#include <type_traits>
#include <vector>

#include "qel/msg/layout.h"
#include "qel/text/json_writer.h"

namespace qel::msg {

template <Record T>
void write_json_members(text::JsonWriter& w, const T& v);

template <class V>
void write_json_value(text::JsonWriter& w, const V& v) {
  if constexpr (std::is_same_v<V, bool>) {
    w.boolean(v);
  } else if constexpr (std::is_integral_v<V> && std::is_signed_v<V>) {
    w.number_int(v);
  } else if constexpr (std::is_integral_v<V>) {
    w.number_uint(v);
  } else if constexpr (std::is_same_v<V, double>) {
    w.number_double(v);
  } else if constexpr (std::is_same_v<V, std::string>) {
    w.string(v);
  } else if constexpr (requires { v.begin(); typename V::value_type; }) {
    w.begin_array();
    for (const auto& item : v) write_json_value(w, item);
    w.end_array();
  } else {
    static_assert(Record<V>, "a kind without a JSON form");
    w.begin_object();
    write_json_members(w, v);
    w.end_object();
  }
}

template <Record T>
void write_json_members(text::JsonWriter& w, const T& v) {
  std::apply(
      [&](const auto&... f) {
        (
            [&]<class F>(const F& field) {
              if constexpr (is_embed<F>) {
                write_json_members(w, v.*F::member);
              } else {
                w.key(field.name);
                write_json_value(w, v.*F::member);
              }
            }(f),
            ...);
      },
      T::kFields);
}

template <Record T>
std::string record_json(const T& v) {
  return text::json_text([&](text::JsonWriter& w) { write_json_value(w, v); });
}

}  // namespace qel::msg
