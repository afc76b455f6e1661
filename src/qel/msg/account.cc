// Account and manual-trade bodies: the decoders with rules of their own.
#include "qel/msg/account.h"

namespace qel::msg {

void decode_account_add(ATAccountAddRes& res, wire::Bytes body) {
  Reader r(body);
  ATAccountAddRes got;
  got.base = Wire<BaseResponse>::read(r);
  if (r.remaining() != 0) {
    got.account_uuid = r.read_string();
    got.basket_uuid = r.read_string();
    got.account_type = r.read_u8();
  }
  res = std::move(got);
}

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

void decode_manual_trade(ATManualTradeRes& res, wire::Bytes body) {
  res = ATManualTradeRes{};
  Reader r(body);
  ATManualTradeRes got;
  if (!try_read(r, got.base)) return;
  if (r.remaining() != 0 && (!try_read(r, got.order_uuid) || !try_read(r, got.is_ok))) return;
  res = std::move(got);
}

}  // namespace qel::msg
