// Commission schedule: eight rates loaded from JSON and the per-fill formula.
#pragma once

#include <cstdint>
#include <string_view>

namespace qel::refdata {

struct Commission {
  double open_rate_by_volume = 0.0;
  double open_rate_by_money = 0.0;
  double close_rate_by_volume = 0.0;
  double close_rate_by_money = 0.0;
  double today_close_rate_by_volume = 0.0;
  double today_close_rate_by_money = 0.0;
  double order_rate_by_volume = 0.0;
  double order_rate_by_money = 0.0;

  // Sets each rate whose key (the field name) the top-level object holds as a
  // JSON number (of a repeated key, the last); everything else, a top-level
  // value that is not an object included, leaves the rates as they are. Throws qel::Error
  // "invalid JSON: <parser's description>" (callers put "Commission.load: "
  // before it) and then changes nothing.
  void load(std::string_view json);

  // The commission of one fill: money = (price * volume) * multiplier, then
  // four fused multiply-adds, each rounded once:
  //   fma(M, money, fma(V, volume, fma(order_by_volume, volume, fma(order_by_money, money, 0.0))))
  // where (V, M) are the open rates for open_close == entrust_oc_open (48),
  // the today-close rates for entrust_oc_close (49) with `is_today`, and the
  // close rates for anything else.
  // `direction` takes no part. No rounding to a currency unit, no sign.
  double calculate(double volume, double price, std::uint8_t direction, std::uint8_t open_close, bool is_today,
                   double multiplier) const noexcept;

  bool operator==(const Commission&) const = default;
};

}  // namespace qel::refdata
