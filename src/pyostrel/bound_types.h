// The native types that have a Python class, in one place that every binding
// file sees: returning one of them creates an instance of its class.
#pragma once

namespace qel::rows {
struct StructValue;
struct IndexMetaField;
struct IndexMeta;
struct IndexSchemaCatalog;
struct NameIndex;
}  // namespace qel::rows
namespace qel::refdata {
struct MarketMeta;
}
namespace qel::balance {
struct StructValueKey;
}
namespace qel::time {
struct MarketStatus;
}
namespace qel::wire {
struct FrameHeader;
}

namespace pyostrel::bind {

template <class T>
inline constexpr bool is_bound = false;

template <>
inline constexpr bool is_bound<qel::rows::StructValue> = true;
template <>
inline constexpr bool is_bound<qel::rows::IndexMetaField> = true;
template <>
inline constexpr bool is_bound<qel::rows::IndexMeta> = true;
template <>
inline constexpr bool is_bound<qel::rows::IndexSchemaCatalog> = true;
template <>
inline constexpr bool is_bound<qel::rows::NameIndex> = true;
template <>
inline constexpr bool is_bound<qel::balance::StructValueKey> = true;
template <>
inline constexpr bool is_bound<qel::refdata::MarketMeta> = true;
template <>
inline constexpr bool is_bound<qel::time::MarketStatus> = true;
template <>
inline constexpr bool is_bound<qel::wire::FrameHeader> = true;

}  // namespace pyostrel::bind
