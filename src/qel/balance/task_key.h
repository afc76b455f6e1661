// Calculator task keys: the five fields that identify a unit of work, and the
// mask that chooses which of them a row's key keeps.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "qel/rows/struct_value.h"

namespace qel::balance {

// The five fields of a task key, over owned texts (StructValueKey) or borrowed ones (KeyView: what a row is looked
// up by, so that routing a row builds no key).
template <class Text>
struct TaskKey {
  std::uint16_t ns = 0xFFFF;
  std::uint32_t meta_id = 0;
  Text market;
  Text code;
  std::uint32_t granularity = 0;

  TaskKey<std::string_view> view() const noexcept { return {ns, meta_id, market, code, granularity}; }
  // Field by field in declaration order; texts by unsigned bytes, so that keys and views order alike.
  friend std::strong_ordering operator<=>(const TaskKey&, const TaskKey&) = default;
  friend bool operator==(const TaskKey&, const TaskKey&) = default;
};
using KeyView = TaskKey<std::string_view>;
using StructValueKey = TaskKey<std::string>;

// Orders keys and views together, for lookups by view in maps of keys.
struct KeyLess {
  using is_transparent = void;
  static KeyView as_view(const StructValueKey& k) noexcept { return k.view(); }
  static KeyView as_view(const KeyView& k) noexcept { return k; }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const noexcept {
    return as_view(a) < as_view(b);
  }
};

// Covers all five fields; equal keys hash alike, and a key hashes as its view.
std::size_t hash_value(const KeyView& k) noexcept;
inline std::size_t hash_value(const StructValueKey& k) noexcept { return hash_value(k.view()); }

// Key mask bits: a field whose bit is clear is replaced by its neutral value
// (ns 0xFFFF, meta_id 0, empty texts, granularity 0).
inline constexpr std::uint16_t kMaskNs = 0x10;
inline constexpr std::uint16_t kMaskMetaId = 0x08;
inline constexpr std::uint16_t kMaskMarket = 0x04;
inline constexpr std::uint16_t kMaskCode = 0x02;
inline constexpr std::uint16_t kMaskGranularity = 0x01;

constexpr std::uint16_t key_mask(bool ns, bool meta_id, bool market, bool code, bool granularity) noexcept {
  return static_cast<std::uint16_t>((ns ? kMaskNs : 0) | (meta_id ? kMaskMetaId : 0) | (market ? kMaskMarket : 0) |
                                    (code ? kMaskCode : 0) | (granularity ? kMaskGranularity : 0));
}

// The masked key of a row; the view borrows the row's texts.
KeyView masked_view(const rows::StructValue& row, std::uint16_t mask) noexcept;
KeyView masked_view(const KeyView& key, std::uint16_t mask) noexcept;

inline StructValueKey to_key(const KeyView& v) {
  return {v.ns, v.meta_id, std::string(v.market), std::string(v.code), v.granularity};
}

}  // namespace qel::balance
