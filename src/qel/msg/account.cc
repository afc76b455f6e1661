// Account bodies: the edit reply's checked lookups.
#include "qel/msg/account.h"

namespace qel::msg {

const BasketPreview& basket_at(const ATAccountEditRes& res, std::int64_t i) {
  if (i < 0 || static_cast<std::uint64_t>(i) >= res.baskets.size()) {
    throw Error("basket index " + std::to_string(i) + " out of range (" + std::to_string(res.baskets.size()) +
                " baskets)");
  }
  return res.baskets[static_cast<std::size_t>(i)];
}

const PositionPreview& position_at(const ATAccountEditRes& res, std::int64_t i, std::int64_t j) {
  const BasketPreview& basket = basket_at(res, i);
  if (j < 0 || static_cast<std::uint64_t>(j) >= basket.positions.size()) {
    throw Error("position index " + std::to_string(j) + " out of range (" + std::to_string(basket.positions.size()) +
                " positions in basket " + std::to_string(i) + ")");
  }
  return basket.positions[static_cast<std::size_t>(j)];
}

}  // namespace qel::msg
