// StructValue: the typed row record (header plus typed field slots).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "qel/error.h"

namespace qel::rows {

// Slot tags; the discriminants are the wire codes.
enum class DataType : std::uint8_t { Empty = 0, Int, Double, String, VInt, VDouble, VString, Int64, VInt64 };

// "Empty", "Int", ... as messages name the tags.
std::string_view data_type_name(DataType t) noexcept;

// The alternatives are in DataType order, so index() is the tag.
using FieldValue = std::variant<std::monostate, std::int32_t, double, std::string, std::vector<std::int32_t>,
                                std::vector<double>, std::vector<std::string>, std::int64_t,
                                std::vector<std::int64_t>>;

template <DataType D>
using PayloadOf = std::variant_alternative_t<static_cast<std::size_t>(D), FieldValue>;

inline DataType type_of(const FieldValue& v) noexcept { return static_cast<DataType>(v.index()); }

inline constexpr std::size_t kAuxCount = 12;

struct StructValue {
  std::string market;
  std::string stock_code;
  std::uint64_t time_tag = 0;
  std::array<std::int32_t, kAuxCount> aux{};
  std::int32_t meta_id = 0;
  std::int32_t granularity = 0;
  std::uint16_t namespace_ = 0;  // "namespace" is a keyword
  std::vector<FieldValue> fields;

  std::size_t size() const noexcept { return fields.size(); }

  // Throws "Invalid field length {size} (pos {pos})" unless pos < size().
  const FieldValue& slot(std::size_t pos) const;
  FieldValue& slot(std::size_t pos);

  // The payload of slot `pos`, which must hold D; otherwise throws
  // "field {pos} is not {kind} (is {actual})".
  template <DataType D>
  const PayloadOf<D>& get(std::size_t pos, std::string_view kind) const {
    const FieldValue& v = slot(pos);
    if (const auto* p = std::get_if<static_cast<std::size_t>(D)>(&v)) return *p;
    throw_wrong_type(pos, kind, type_of(v));
  }

  // Replaces slot `pos` (checked as above) with a D value.
  template <DataType D>
  void set(std::size_t pos, PayloadOf<D> v) {
    slot(pos).template emplace<static_cast<std::size_t>(D)>(std::move(v));
  }

  bool operator==(const StructValue&) const = default;

 private:
  [[noreturn]] static void throw_wrong_type(std::size_t pos, std::string_view kind, DataType actual);
};

}  // namespace qel::rows
