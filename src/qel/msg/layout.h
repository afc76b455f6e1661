// Messages as declarations: a plain struct and one list of its fields in body
// order drive encode, strict decode and, in the binding, the accessors.
//
//   struct ATUnsubscribeReq {
//     BaseRequest base;
//     std::string uuid;
//     static constexpr auto kFields = std::tuple{
//         Embed<&ATUnsubscribeReq::base>{{kGetSet, kSet}},  // seq, token
//         Field<&ATUnsubscribeReq::uuid>{"uuid", kSet},
//     };
//   };
//
// The wire kind of a field follows from its C++ type: integers big-endian at
// their width, double as f64, bool as one byte, std::string as `string`
// (UTF-8 checked on decode), Blob as `bytes`, std::vector<T> as vec<T>,
// RawVec<T> as rawvec<T>, LittleEndianI32, std::optional<R> as a one-byte
// optional union, Ranged<T, Lo, Hi> as T checked against its range,
// std::map<std::string, R> as a vec of (string key, R) entries in key order,
// rows::RowSet as `bytes` holding a compressed batch set, and any struct with
// kFields as a nested record.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "qel/rows/row_set.h"
#include "qel/wire/codec.h"

namespace qel::msg {

using wire::Reader;
using wire::Writer;

// Which Python accessors a field has.
enum Access : std::uint8_t { kHidden = 0, kGet = 1, kSet = 2, kGetSet = kGet | kSet };

// `bytes`: opaque, never checked.
struct Blob {
  std::string data;
  bool operator==(const Blob&) const = default;
};

// rawvec<T>: a big-endian count, then little-endian elements of 4 or 8 bytes.
template <class T>
struct RawVec {
  std::vector<T> items;
  bool operator==(const RawVec&) const = default;
};

// A lone i32 in native little-endian byte order.
struct LittleEndianI32 {
  std::int32_t value = 0;
  bool operator==(const LittleEndianI32&) const = default;
};

// A list that the wire carries as its count only, always 0.
struct EmptyList {
  bool operator==(const EmptyList&) const = default;
};

// An integer that only the values Lo..Hi are valid for: setters refuse any
// other before changing a field, and decoding refuses it as an unknown value.
template <class T, T Lo, T Hi>
struct Ranged {
  static_assert(std::is_integral_v<T> && Lo <= Hi);
  using Int = T;
  static constexpr T kLo = Lo, kHi = Hi;
  T value = Lo;
  static constexpr bool accepts(long long v) noexcept {
    return v >= static_cast<long long>(Lo) && v <= static_cast<long long>(Hi);
  }
  bool operator==(const Ranged&) const = default;
};

// The refusal of a value outside a Ranged field's range.
inline std::string range_refusal(const std::string& v, long long lo, long long hi) {
  return v + " outside the accepted range " + std::to_string(lo) + ".." + std::to_string(hi);
}


template <auto M>
struct MemberOf;
template <class C, class V, V C::*M>
struct MemberOf<M> {
  using Class = C;
  using Value = V;
};

template <auto M>
struct Field {
  using Value = typename MemberOf<M>::Value;
  static constexpr auto member = M;
  const char* name;
  Access access = kGetSet;
};

template <class T>
concept Record = requires { T::kFields; };

template <Record T>
inline constexpr std::size_t field_count = std::tuple_size_v<std::remove_cv_t<decltype(T::kFields)>>;

// One access for every field of a prefix: the named presets.
struct AccessPreset {
  Access access;
};
inline constexpr AccessPreset kAllGetSet{kGetSet};  // requests whose prefix the caller fills and reads
inline constexpr AccessPreset kAllGet{kGet};        // replies: read only
inline constexpr AccessPreset kAllSet{kSet};        // setter-only records
inline constexpr AccessPreset kAllHidden{kHidden};  // on the wire only

// A shared prefix (a struct with fields of its own), laid out inline. Its
// access is a preset or one entry per prefix field, in its order: a shorter
// list does not compile, so no field loses its accessors unnoticed.
template <auto M>
struct Embed {
  using Value = typename MemberOf<M>::Value;
  static constexpr auto member = M;
  static constexpr std::size_t kCount = field_count<Value>;
  std::array<Access, kCount> access{};

  constexpr Embed() : Embed(kAllGetSet) {}
  constexpr Embed(AccessPreset preset) {
    for (Access& a : access) a = preset.access;
  }
  template <std::size_t K>
    requires(K == kCount)
  constexpr Embed(const Access (&list)[K]) {
    for (std::size_t i = 0; i < K; ++i) access[i] = list[i];
  }
};

template <class T>
inline constexpr bool is_embed = false;
template <auto M>
inline constexpr bool is_embed<Embed<M>> = true;

// ---- one value of each wire kind -------------------------------------------

template <class T>
struct Wire;

template <class T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
struct Wire<T> {
  using U = std::make_unsigned_t<T>;
  static std::size_t size(T) noexcept { return sizeof(T); }
  static void write(Writer& w, T v) {
    if constexpr (sizeof(T) == 1) w.write_u8(static_cast<std::uint8_t>(v));
    if constexpr (sizeof(T) == 2) w.write_u16(static_cast<std::uint16_t>(v));
    if constexpr (sizeof(T) == 4) w.write_u32(static_cast<std::uint32_t>(v));
    if constexpr (sizeof(T) == 8) w.write_u64(static_cast<std::uint64_t>(v));
  }
  static T read(Reader& r) {
    if constexpr (sizeof(T) == 1) return static_cast<T>(r.read_u8());
    if constexpr (sizeof(T) == 2) return static_cast<T>(r.read_u16());
    if constexpr (sizeof(T) == 4) return static_cast<T>(r.read_u32());
    if constexpr (sizeof(T) == 8) return static_cast<T>(r.read_u64());
  }
};

template <>
struct Wire<bool> {
  static std::size_t size(bool) noexcept { return 1; }
  static void write(Writer& w, bool v) { w.write_bool(v); }
  static bool read(Reader& r) { return r.read_u8() != 0; }
};

template <>
struct Wire<double> {
  static std::size_t size(double) noexcept { return 8; }
  static void write(Writer& w, double v) { w.write_f64(v); }
  static double read(Reader& r) { return r.read_f64(); }
};

template <>
struct Wire<std::string> {
  static std::size_t size(const std::string& v) noexcept { return 4 + v.size(); }
  static void write(Writer& w, const std::string& v) { w.write_string(v); }
  static std::string read(Reader& r) { return r.read_string(); }
};

template <>
struct Wire<Blob> {
  static std::size_t size(const Blob& v) noexcept { return 4 + v.data.size(); }
  static void write(Writer& w, const Blob& v) { w.write_bytes(wire::as_bytes(v.data)); }
  static Blob read(Reader& r) { return {r.read_bytes()}; }
};

template <>
struct Wire<LittleEndianI32> {
  static std::size_t size(LittleEndianI32) noexcept { return 4; }
  static void write(Writer& w, LittleEndianI32 v) {
    const auto u = static_cast<std::uint32_t>(v.value);
    const std::uint8_t le[4] = {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
                                static_cast<std::uint8_t>(u >> 16), static_cast<std::uint8_t>(u >> 24)};
    w.write_raw(wire::Bytes(le, 4));
  }
  static LittleEndianI32 read(Reader& r) {
    const wire::Bytes b = r.read_view(4);
    return {static_cast<std::int32_t>(std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
                                      std::uint32_t{b[3]} << 24)};
  }
};

template <>
struct Wire<EmptyList> {
  static std::size_t size(EmptyList) noexcept { return 4; }
  static void write(Writer& w, EmptyList) { w.write_u32(0); }
  static EmptyList read(Reader& r) {
    // No element layout exists: any other count cannot be read past.
    if (const std::uint32_t n = r.read_u32(); n != 0) throw wire::CodecError::length_overflow(n, r.remaining());
    return {};
  }
};

template <class T>
struct Wire<RawVec<T>> {
  static std::size_t size(const RawVec<T>& v) noexcept { return 4 + sizeof(T) * v.items.size(); }
  static void write(Writer& w, const RawVec<T>& v) { w.write_rawvec(std::span<const T>(v.items)); }
  static RawVec<T> read(Reader& r) { return {r.read_rawvec<T>()}; }
};

template <class T>
struct Wire<std::vector<T>> {
  static std::size_t size(const std::vector<T>& v) noexcept {
    std::size_t n = 4;
    for (const T& item : v) n += Wire<T>::size(item);
    return n;
  }
  static void write(Writer& w, const std::vector<T>& v) {
    w.write_u32(wire::u32_length(v.size()));
    for (const T& item : v) Wire<T>::write(w, item);
  }
  static std::vector<T> read(Reader& r) {
    const std::uint32_t n = r.read_u32();
    std::vector<T> out;
    // No element is shorter on the wire than a default one: a lying count
    // cannot reserve room for more elements than the input could hold.
    const std::size_t least = std::max<std::size_t>(1, Wire<T>::size(T{}));
    out.reserve(std::min<std::size_t>(n, r.remaining() / least));
    for (std::uint32_t i = 0; i < n; ++i) out.push_back(Wire<T>::read(r));
    return out;
  }
};

template <class T, T Lo, T Hi>
struct Wire<Ranged<T, Lo, Hi>> {
  static std::size_t size(Ranged<T, Lo, Hi>) noexcept { return sizeof(T); }
  static void write(Writer& w, Ranged<T, Lo, Hi> v) { Wire<T>::write(w, v.value); }
  static Ranged<T, Lo, Hi> read(Reader& r) {
    const T v = Wire<T>::read(r);
    if (v < Lo || v > Hi) throw wire::CodecError::unknown_enum(static_cast<std::uint64_t>(v));
    return {v};
  }
};

// A compressed batch set is `bytes` on the wire; a message declares it as one field of kind RowSet, and a new
// set read from a body comes with no rows and no catalog yet.
template <>
struct Wire<rows::RowSet> {
  static std::size_t size(const rows::RowSet& v) noexcept { return 4 + v.blob.size(); }
  static void write(Writer& w, const rows::RowSet& v) { w.write_bytes(wire::as_bytes(v.blob)); }
  static rows::RowSet read(Reader& r) { return {r.read_bytes(), {}, {}, false}; }
};

template <class V>
struct Wire<std::map<std::string, V>> {
  static std::size_t size(const std::map<std::string, V>& m) noexcept {
    std::size_t n = 4;
    for (const auto& [k, v] : m) n += 4 + k.size() + Wire<V>::size(v);
    return n;
  }
  static void write(Writer& w, const std::map<std::string, V>& m) {
    w.write_u32(wire::u32_length(m.size()));
    for (const auto& [k, v] : m) {
      w.write_string(k);
      Wire<V>::write(w, v);
    }
  }
  // A key that repeats keeps its later entry, as a dict built from the pairs would.
  static std::map<std::string, V> read(Reader& r) {
    std::map<std::string, V> out;
    for (std::uint32_t n = r.read_u32(); n > 0; --n) {
      std::string key = r.read_string();
      out.insert_or_assign(std::move(key), Wire<V>::read(r));
    }
    return out;
  }
};

// Reads one value of T without throwing: false leaves `r` and `out` as they
// were. For the lenient reply decoders, where short bodies are ordinary.
template <class T>
bool try_read(Reader& r, T& out) {
  Reader at = r;
  try {
    T v = Wire<T>::read(at);
    out = std::move(v);
  } catch (const wire::CodecError&) {
    return false;
  }
  r = at;
  return true;
}

// Appends the wire notation of a kind, for docstrings.
template <class T>
void append_kind_name(std::string& out) {
  if constexpr (std::is_same_v<T, bool>) {
    out += "bool";
  } else if constexpr (std::is_integral_v<T>) {
    out += std::is_signed_v<T> ? 'i' : 'u';
    out += std::to_string(8 * sizeof(T));
  } else if constexpr (std::is_same_v<T, double>) {
    out += "f64";
  } else if constexpr (std::is_same_v<T, std::string>) {
    out += "string";
  } else if constexpr (std::is_same_v<T, Blob>) {
    out += "bytes";
  } else if constexpr (std::is_same_v<T, LittleEndianI32>) {
    out += "little-endian i32";
  } else if constexpr (std::is_same_v<T, EmptyList>) {
    out += "u32 count (always 0)";
  } else if constexpr (std::is_same_v<T, rows::RowSet>) {
    out += "bytes (compressed batch set)";
  } else if constexpr (requires { T::kLo; }) {
    append_kind_name<typename T::Int>(out);
    out += " in " + std::to_string(T::kLo) + ".." + std::to_string(T::kHi);
  } else if constexpr (requires { typename T::key_type; }) {
    out += "map<string, ";
    append_kind_name<typename T::mapped_type>(out);
    out += '>';
  } else if constexpr (requires { T{}.items; }) {
    out += "rawvec<";
    append_kind_name<typename decltype(T{}.items)::value_type>(out);
    out += '>';
  } else if constexpr (requires { T{}.has_value(); }) {
    out += "optional ";
    append_kind_name<typename T::value_type>(out);
  } else if constexpr (requires { typename T::value_type; }) {
    out += "vec<";
    append_kind_name<typename T::value_type>(out);
    out += '>';
  } else {
    out += "record";
  }
}

// ---- records ------------------------------------------------------------------

template <Record T>
std::size_t record_size(const T& v) noexcept;
template <Record T>
void write_record(Writer& w, const T& v);

template <Record T>
auto read_record(Reader& r);
template <Record T>
void assign_record(T& target, auto&& decoded);

template <Record T>
struct Wire<T> {
  static std::size_t size(const T& v) noexcept { return record_size(v); }
  static void write(Writer& w, const T& v) { write_record(w, v); }
  static T read(Reader& r) {
    T out{};
    assign_record(out, read_record<T>(r));
    return out;
  }
};

// Absent is one zero byte; present is 1, then the record.
template <Record T>
struct Wire<std::optional<T>> {
  static std::size_t size(const std::optional<T>& v) noexcept { return 1 + (v ? record_size(*v) : 0); }
  static void write(Writer& w, const std::optional<T>& v) {
    w.write_u8(v ? 1 : 0);
    if (v) write_record(w, *v);
  }
  static std::optional<T> read(Reader& r) {
    const std::uint8_t tag = r.read_u8();
    if (tag == 0) return std::nullopt;
    if (tag != 1) throw wire::CodecError::unknown_enum(tag);
    return Wire<T>::read(r);
  }
};

template <Record T>
std::size_t record_size(const T& v) noexcept {
  return std::apply(
      [&](const auto&... f) {
        return (std::size_t{0} + ... + [&]<class F>(const F&) {
          using Member = typename F::Value;
          if constexpr (is_embed<F>) {
            return record_size<Member>(v.*F::member);
          } else {
            return Wire<Member>::size(v.*F::member);
          }
        }(f));
      },
      T::kFields);
}

template <Record T>
void write_record(Writer& w, const T& v) {
  std::apply(
      [&](const auto&... f) {
        (
            [&]<class F>(const F&) {
              using Member = typename F::Value;
              if constexpr (is_embed<F>) {
                write_record(w, v.*F::member);
              } else {
                Wire<Member>::write(w, v.*F::member);
              }
            }(f),
            ...);
      },
      T::kFields);
}

template <class F>
auto read_entry(Reader& r, const F&) {
  if constexpr (is_embed<F>) {
    return read_record<typename F::Value>(r);
  } else {
    return Wire<typename F::Value>::read(r);
  }
}

// Reads the fields in body order (a braced list evaluates left to right). The
// element types are spelled out: deduced from a single embedded prefix, the
// tuple would copy the prefix's tuple instead of holding it.
template <Record T>
auto read_record(Reader& r) {
  return std::apply(
      [&](const auto&... f) { return std::tuple<decltype(read_entry(r, f))...>{read_entry(r, f)...}; },
      T::kFields);
}

template <Record T>
void assign_record(T& target, auto&& decoded) {
  std::apply(
      [&](const auto&... f) {
        [&]<std::size_t... I>(std::index_sequence<I...>) {
          (
              [&]<class F>(const F&, auto&& value) {
                if constexpr (is_embed<F>) {
                  assign_record(target.*F::member, std::move(value));
                } else {
                  target.*F::member = std::move(value);
                }
              }(f, std::get<I>(decoded)),
              ...);
        }(std::index_sequence_for<decltype(f)...>{});
      },
      T::kFields);
}

// The body of `v`, written into one buffer of its final size.
template <Record T>
std::string encode(const T& v) {
  Writer w(record_size(v));
  write_record(w, v);
  return std::move(w).take();
}

// How a reply's decoder takes a body that stops early, declared next to kFields as `static constexpr Lenient
// kLenient{...}`. The fields from kFields[trailer] on form the trailer, read as a whole or not at all.
struct Lenient {
  enum Failure : std::uint8_t {
    kRaise,     // throw wire::CodecError; the target is unchanged
    kKeep,      // stop; the target keeps what it held (after reset_trailer)
    kClear,     // stop; every declared field is back to its default
    kKeepRead,  // stop; the fields read before the failure are kept (a prefix's one by one), the others cleared
  };
  std::size_t trailer;            // index in kFields of the trailer's first field
  std::size_t present_from = 1;   // the trailer is read when at least this many bytes follow the fields before it
  Failure on_failure = kRaise;    // for a body that does not decode
  bool reset_trailer = false;     // the trailer's fields are cleared before anything is read
  bool trailer_on_success = false;  // the trailer is kept only when the reply's error_code (its first field's) is 0
  // A RowSet of the trailer is read through the record's `catalog` when it holds one, and otherwise waits for one;
  // rows that do not decode are a trailer that does not decode.
  bool rows_through_catalog = false;

  constexpr Lenient reading_rows() const {
    Lenient l = *this;
    l.rows_through_catalog = true;
    return l;
  }
};

// A success reply's trailer after its base response: cleared first, read when 4 bytes or more follow the base
// response, kept only by a reply whose error_code is 0; a body that does not decode is taken as `failure` says.
constexpr Lenient success_trailer(Lenient::Failure failure) {
  return {.trailer = 1, .present_from = 4, .on_failure = failure, .reset_trailer = true, .trailer_on_success = true};
}

template <class T>
concept LenientRecord = Record<T> && requires { T::kLenient; };

// Moves the declared fields From..To-1 of `from` into `to`.
template <Record T, std::size_t From, std::size_t To>
void move_fields(T& to, T& from) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((to.*std::get<From + I>(T::kFields).member = std::move(from.*std::get<From + I>(T::kFields).member)), ...);
  }(std::make_index_sequence<To - From>{});
}

// Reads the declared fields From..To-1 into `out` one by one, an embedded prefix's too: a failure leaves `out`
// holding every field read before it.
template <Record T, std::size_t From, std::size_t To>
void read_fields(Reader& r, T& out) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (
        [&]<class F>(const F&) {
          if constexpr (is_embed<F>) {
            read_fields<typename F::Value, 0, F::kCount>(r, out.*F::member);
          } else {
            out.*F::member = Wire<typename F::Value>::read(r);
          }
        }(std::get<From + I>(T::kFields)),
        ...);
  }(std::make_index_sequence<To - From>{});
}

// Calls fn on each RowSet among the declared fields From..To-1 of `m`.
template <Record T, std::size_t From, std::size_t To, class Fn>
void for_each_row_set(T& m, Fn&& fn) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (
        [&]<class F>(const F&) {
          if constexpr (std::is_same_v<typename F::Value, rows::RowSet>) fn(m.*F::member);
        }(std::get<From + I>(T::kFields)),
        ...);
  }(std::make_index_sequence<To - From>{});
}

// Keeps `catalog` as the record's own. Rows that wait for a catalog (a policy's rows_through_catalog) are read
// through it; a set that does not decode stays without rows.
template <Record T>
void attach_catalog(T& m, rows::CatalogSnapshot catalog) {
  m.catalog = std::move(catalog);
  if constexpr (LenientRecord<T>) {
    if constexpr (T::kLenient.rows_through_catalog) {
      constexpr std::size_t kAll = std::tuple_size_v<std::remove_cv_t<decltype(T::kFields)>>;
      for_each_row_set<T, 0, kAll>(m, [&](rows::RowSet& set) { set.held_rows(m.catalog); });
    }
  }
}

// Reads the wire fields of T from `body` and, only once all have decoded,
// replaces them in `target`; fields outside the list (a stored catalog, rows)
// are kept. Bytes after the last field are ignored. Throws wire::CodecError.
// A LenientRecord is read as its kLenient says.
template <Record T>
void decode(T& target, wire::Bytes body) {
  Reader r(body);
  if constexpr (LenientRecord<T>) {
    constexpr Lenient kPolicy = T::kLenient;
    constexpr std::size_t kAll = std::tuple_size_v<std::remove_cv_t<decltype(T::kFields)>>;
    static_assert(kPolicy.trailer > 0 && kPolicy.trailer <= kAll);
    if constexpr (kPolicy.reset_trailer) {
      T fresh{};
      move_fields<T, kPolicy.trailer, kAll>(target, fresh);
    }
    T got{};
    const auto error_reply = [&] {
      if constexpr (kPolicy.trailer_on_success) return (got.*std::get<0>(T::kFields).member).error_code != 0;
      return false;
    };
    const auto fail = [&] {
      if constexpr (kPolicy.on_failure == Lenient::kClear) {
        T fresh{};
        move_fields<T, 0, kAll>(target, fresh);
      }
      if constexpr (kPolicy.on_failure == Lenient::kKeepRead) move_fields<T, 0, kAll>(target, got);
    };
    try {
      read_fields<T, 0, kPolicy.trailer>(r, got);
      // Under kKeepRead an error reply's trailer is not read: whether it would decode changes nothing.
      const bool skip = kPolicy.on_failure == Lenient::kKeepRead && error_reply();
      if (!skip && r.remaining() >= kPolicy.present_from) {
        T tail{};
        read_fields<T, kPolicy.trailer, kAll>(r, tail);
        move_fields<T, kPolicy.trailer, kAll>(got, tail);
      }
    } catch (const wire::CodecError&) {
      if constexpr (kPolicy.on_failure == Lenient::kRaise) throw;
      return fail();
    }
    if (error_reply()) {
      move_fields<T, 0, kPolicy.trailer>(target, got);
      return;
    }
    if constexpr (kPolicy.rows_through_catalog) {
      if (target.catalog) {
        try {
          // Throws as decompress does.
          for_each_row_set<T, kPolicy.trailer, kAll>(got, [&](rows::RowSet& set) {
            if (!set.blob.empty()) set.read(target.catalog);
          });
        } catch (const Error&) {
          if constexpr (kPolicy.on_failure == Lenient::kRaise) throw;
          T fresh{};
          move_fields<T, kPolicy.trailer, kAll>(got, fresh);
          return fail();
        }
      }
    }
    move_fields<T, 0, kAll>(target, got);
  } else {
    auto decoded = read_record<T>(r);
    assign_record(target, std::move(decoded));
  }
}

}  // namespace qel::msg
