// StructValue: the typed row record (header plus typed field slots).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "qel/error.h"
#include "qel/rows/slot_pool.h"

namespace qel::rows {

// Slot tags; the discriminants are the wire codes.
enum class DataType : std::uint8_t { Empty = 0, Int, Double, String, VInt, VDouble, VString, Int64, VInt64 };

// "Empty", "Int", ... as messages name the tags.
std::string_view data_type_name(DataType t) noexcept;

// What a slot of each type is read as (views into the slot) and written from.
template <class V, class W>
struct SlotAs {
  using View = V;
  using Value = W;
};
template <DataType D>
struct SlotTypes;
template <>
struct SlotTypes<DataType::Int> : SlotAs<std::int32_t, std::int32_t> {};
template <>
struct SlotTypes<DataType::Double> : SlotAs<double, double> {};
template <>
struct SlotTypes<DataType::Int64> : SlotAs<std::int64_t, std::int64_t> {};
template <>
struct SlotTypes<DataType::String> : SlotAs<std::string_view, std::string> {};
template <>
struct SlotTypes<DataType::VInt> : SlotAs<std::span<const std::int32_t>, std::vector<std::int32_t>> {};
template <>
struct SlotTypes<DataType::VDouble> : SlotAs<std::span<const double>, std::vector<double>> {};
template <>
struct SlotTypes<DataType::VString> : SlotAs<std::span<const std::string>, std::vector<std::string>> {};
template <>
struct SlotTypes<DataType::VInt64> : SlotAs<std::span<const std::int64_t>, std::vector<std::int64_t>> {};

template <DataType D>
using ViewOf = typename SlotTypes<D>::View;
template <DataType D>
using ValueOf = typename SlotTypes<D>::Value;

// One slot: a tagged union of the nine types in 16 bytes. Numbers and texts of
// up to 14 bytes live in the slot itself; longer texts and every list live in
// one heap block each (a count, then the elements). A batch of rows is mostly
// slots, so their size is what decoding and encoding a batch costs.
class FieldValue {
 public:
  FieldValue() noexcept = default;  // Empty
  FieldValue(std::int32_t v) noexcept : type_(DataType::Int) { put(v); }
  FieldValue(double v) noexcept : type_(DataType::Double) { put(v); }
  FieldValue(std::int64_t v) noexcept : type_(DataType::Int64) { put(v); }
  FieldValue(std::string_view text);
  FieldValue(const std::string& text) : FieldValue(std::string_view(text)) {}
  FieldValue(const char* text) : FieldValue(std::string_view(text)) {}
  FieldValue(std::span<const std::int32_t> list) : FieldValue(DataType::VInt, list) {}
  FieldValue(std::span<const double> list) : FieldValue(DataType::VDouble, list) {}
  FieldValue(std::span<const std::int64_t> list) : FieldValue(DataType::VInt64, list) {}
  FieldValue(std::span<const std::string> list);
  FieldValue(const std::vector<std::int32_t>& list) : FieldValue(std::span<const std::int32_t>(list)) {}
  FieldValue(const std::vector<double>& list) : FieldValue(std::span<const double>(list)) {}
  FieldValue(const std::vector<std::int64_t>& list) : FieldValue(std::span<const std::int64_t>(list)) {}
  FieldValue(const std::vector<std::string>& list) : FieldValue(std::span<const std::string>(list)) {}

  FieldValue(const FieldValue& other);
  FieldValue(FieldValue&& other) noexcept : raw_(other.raw_), text_size_(other.text_size_), type_(other.type_) {
    other.type_ = DataType::Empty;
  }
  FieldValue& operator=(const FieldValue& other);
  FieldValue& operator=(FieldValue&& other) noexcept;
  ~FieldValue() { release(); }

  // A list of n elements left for the caller to fill in through elements<D>():
  // decoders write values straight into their slot.
  template <DataType D>
  static FieldValue uninitialized_list(std::size_t n)
    requires(D == DataType::VInt || D == DataType::VDouble || D == DataType::VInt64)
  {
    FieldValue v;
    v.set_block(D, new_block(n, sizeof(typename ViewOf<D>::value_type)), n);
    return v;
  }

  DataType type() const noexcept { return type_; }
  std::size_t index() const noexcept { return static_cast<std::size_t>(type_); }
  bool empty() const noexcept { return type_ == DataType::Empty; }

  // The value as type D. REQUIRES: type() == D.
  template <DataType D>
  ViewOf<D> view() const noexcept {
    using V = ViewOf<D>;
    if constexpr (std::is_arithmetic_v<V>) {
      return get<V>();
    } else if constexpr (D == DataType::String) {
      if (text_size_ != kTextOnHeap) return {reinterpret_cast<const char*>(raw_.data()), text_size_};
      return {items<char>(), block_size()};
    } else {
      return {items<typename V::value_type>(), block_size()};
    }
  }

  // The elements of a list slot, writable. REQUIRES: type() == D.
  template <DataType D>
  std::span<std::remove_const_t<typename ViewOf<D>::value_type>> elements() noexcept
    requires(D == DataType::VInt || D == DataType::VDouble || D == DataType::VInt64 || D == DataType::VString)
  {
    using T = std::remove_const_t<typename ViewOf<D>::value_type>;
    return {items<T>(), block_size()};
  }

  // The number of a Double slot, writable. REQUIRES: type() == Double.
  void set_double(double v) noexcept { put(v); }

  // Slots of different types differ; doubles compare as numbers (NaN != NaN).
  friend bool operator==(const FieldValue& a, const FieldValue& b) noexcept;

 private:
  static constexpr std::uint8_t kTextOnHeap = 0xFF;
  static constexpr std::size_t kInlineText = 14;

  FieldValue(DataType type, std::span<const std::int32_t> list);
  FieldValue(DataType type, std::span<const double> list);
  FieldValue(DataType type, std::span<const std::int64_t> list);

  template <class T>
  void put(T v) noexcept {
    static_assert(sizeof(T) <= 8 && std::is_trivially_copyable_v<T>);
    std::memcpy(raw_.data(), &v, sizeof v);
  }
  template <class T>
  T get() const noexcept {
    T v;
    std::memcpy(&v, raw_.data(), sizeof v);
    return v;
  }
  // Heap block: a size_t count followed by the elements.
  static void* new_block(std::size_t n, std::size_t element_size);
  static std::size_t block_bytes(std::size_t n, std::size_t element_size) noexcept {
    return sizeof(std::size_t) + n * element_size;
  }
  void set_block(DataType type, void* block, std::size_t n) noexcept {
    *static_cast<std::size_t*>(block) = n;
    put(block);
    type_ = type;
  }
  void* block() const noexcept { return get<void*>(); }
  std::size_t block_size() const noexcept { return *static_cast<const std::size_t*>(block()); }
  template <class T>
  T* items() const noexcept {
    return reinterpret_cast<T*>(static_cast<std::size_t*>(block()) + 1);
  }
  bool on_heap() const noexcept;
  void release() noexcept;

  alignas(8) std::array<unsigned char, kInlineText> raw_{};
  std::uint8_t text_size_ = 0;  // inline text length, or kTextOnHeap
  DataType type_ = DataType::Empty;
};

static_assert(sizeof(FieldValue) == 16);

inline DataType type_of(const FieldValue& v) noexcept { return v.type(); }

// A row's slots, in memory recycled for the next rows.
using Slots = std::vector<FieldValue, SlotAllocator<FieldValue>>;

inline constexpr std::size_t kAuxCount = 12;

struct StructValue {
  std::string market;
  std::string stock_code;
  std::uint64_t time_tag = 0;
  std::array<std::int32_t, kAuxCount> aux{};
  std::int32_t meta_id = 0;
  std::int32_t granularity = 0;
  std::uint16_t namespace_ = 0;  // "namespace" is a keyword
  Slots fields;

  std::size_t size() const noexcept { return fields.size(); }

  // Throws "Invalid field length {size} (pos {pos})" unless pos < size().
  const FieldValue& slot(std::size_t pos) const;
  FieldValue& slot(std::size_t pos);

  // The value of slot `pos`, which must hold D; otherwise throws
  // "field {pos} is not {kind} (is {actual})". Lists and texts are views into
  // the slot, valid until it changes.
  template <DataType D>
  ViewOf<D> get(std::size_t pos, std::string_view kind) const {
    const FieldValue& v = slot(pos);
    if (v.type() != D) throw_wrong_type(pos, kind, v.type());
    return v.view<D>();
  }

  // Replaces slot `pos` (checked as above) with a D value.
  template <DataType D>
  void set(std::size_t pos, const ValueOf<D>& v) {
    FieldValue& s = slot(pos);
    s = FieldValue(v);
  }

  bool operator==(const StructValue&) const = default;

 private:
  [[noreturn]] static void throw_wrong_type(std::size_t pos, std::string_view kind, DataType actual);
};

}  // namespace qel::rows
