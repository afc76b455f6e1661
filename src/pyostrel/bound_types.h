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
namespace qel::storage {
struct KestrinConfig;
struct KestrinStructValueKey;
}  // namespace qel::storage
namespace qel::msg {
struct UniverseIn;
struct UniverseInImport;
struct SecuritySelector;
struct UniverseOut;
struct UniverseOutExport;
struct UniverseOutExportDef;
struct UniverseOutSubAccount;
struct UniverseOutSampleGranularity;
struct SamplerConfiguration;
struct BacktestParams;
}  // namespace qel::msg

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
// The storage client's records: the pool's functions take copies.
template <>
inline constexpr bool is_bound<qel::storage::KestrinConfig> = true;
template <>
inline constexpr bool is_bound<qel::storage::KestrinStructValueKey> = true;
// The backtest records: taken by value (copied) where a field holds one.
template <>
inline constexpr bool is_bound<qel::msg::UniverseIn> = true;
template <>
inline constexpr bool is_bound<qel::msg::UniverseInImport> = true;
template <>
inline constexpr bool is_bound<qel::msg::SecuritySelector> = true;
template <>
inline constexpr bool is_bound<qel::msg::UniverseOut> = true;
template <>
inline constexpr bool is_bound<qel::msg::UniverseOutExport> = true;
template <>
inline constexpr bool is_bound<qel::msg::UniverseOutExportDef> = true;
template <>
inline constexpr bool is_bound<qel::msg::UniverseOutSubAccount> = true;
template <>
inline constexpr bool is_bound<qel::msg::UniverseOutSampleGranularity> = true;
template <>
inline constexpr bool is_bound<qel::msg::SamplerConfiguration> = true;
template <>
inline constexpr bool is_bound<qel::msg::BacktestParams> = true;

}  // namespace pyostrel::bind
