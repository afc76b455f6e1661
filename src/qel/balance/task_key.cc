// Calculator task keys: hashing and masking.
#include "qel/balance/task_key.h"

#include <functional>

namespace qel::balance {

std::size_t hash_value(const KeyView& k) noexcept {
  // The fixed-width fields in one word, mixed; then each text folded in.
  std::uint64_t h = (std::uint64_t{k.ns} << 48) ^ (std::uint64_t{k.meta_id} << 16) ^ k.granularity;
  h *= 0x9E3779B97F4A7C15ull;
  const std::hash<std::string_view> text;
  h ^= text(k.market) + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
  h ^= text(k.code) + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
  return static_cast<std::size_t>(h);
}

KeyView masked_view(const KeyView& k, std::uint16_t mask) noexcept {
  KeyView out;
  if (mask & kMaskNs) out.ns = k.ns;
  if (mask & kMaskMetaId) out.meta_id = k.meta_id;
  if (mask & kMaskMarket) out.market = k.market;
  if (mask & kMaskCode) out.code = k.code;
  if (mask & kMaskGranularity) out.granularity = k.granularity;
  return out;
}

KeyView masked_view(const rows::StructValue& row, std::uint16_t mask) noexcept {
  return masked_view(KeyView{row.namespace_, static_cast<std::uint32_t>(row.meta_id), row.market, row.stock_code,
                             static_cast<std::uint32_t>(row.granularity)},
                     mask);
}

}  // namespace qel::balance
