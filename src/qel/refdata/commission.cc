// Commission schedule: loading the rates and the fused formula.
//
// Built with -ffp-contract=off (CMakeLists.txt): every result must be the one
// the explicit std::fma calls give, and no plain product may be fused by the
// compiler into a neighbouring sum.
#include "qel/refdata/commission.h"

#include <cmath>
#include <string>

#include "qel/constants.h"
#include "qel/error.h"
#include "qel/refdata/json_read.h"

namespace qel::refdata {

void Commission::load(std::string_view text) {
  simdjson::dom::parser parser;
  json::element root;
  if (const auto err = parser.parse(text.data(), text.size()).get(root); err != simdjson::SUCCESS) {
    throw Error(std::string("invalid JSON: ") + simdjson::error_message(err));
  }
  const auto obj = json::as_object(root);
  if (!obj) return;
  const auto take = [&](std::string_view key, double& rate) {
    if (const auto v = json::member(*obj, key)) {
      if (const auto x = json::as_number(*v)) rate = *x;
    }
  };
  take("open_rate_by_volume", open_rate_by_volume);
  take("open_rate_by_money", open_rate_by_money);
  take("close_rate_by_volume", close_rate_by_volume);
  take("close_rate_by_money", close_rate_by_money);
  take("today_close_rate_by_volume", today_close_rate_by_volume);
  take("today_close_rate_by_money", today_close_rate_by_money);
  take("order_rate_by_volume", order_rate_by_volume);
  take("order_rate_by_money", order_rate_by_money);
}

double Commission::calculate(double volume, double price, std::uint8_t /*direction*/, std::uint8_t open_close,
                             bool is_today, double multiplier) const noexcept {
  const double money = (price * volume) * multiplier;
  double by_volume = close_rate_by_volume;
  double by_money = close_rate_by_money;
  if (open_close == constants::entrust_oc_open) {
    by_volume = open_rate_by_volume;
    by_money = open_rate_by_money;
  } else if (open_close == constants::entrust_oc_close && is_today) {
    by_volume = today_close_rate_by_volume;
    by_money = today_close_rate_by_money;
  }
  const double a = std::fma(order_rate_by_money, money, 0.0);
  const double b = std::fma(order_rate_by_volume, volume, a);
  const double c = std::fma(by_volume, volume, b);
  return std::fma(by_money, money, c);
}

}  // namespace qel::refdata
