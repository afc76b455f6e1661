// Account and manual-trade bodies.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "qel/msg/envelope.h"
#include "qel/msg/layout.h"

namespace qel::msg {

struct ATAccountAddReq {
  BaseRequest base;
  std::string name;
  std::string password;
  std::uint8_t category = 0;  // an account_category_* value
  double capital = 0;
  static constexpr auto kFields = std::tuple{
      Embed<&ATAccountAddReq::base>{},
      Field<&ATAccountAddReq::name>{"name"},
      Field<&ATAccountAddReq::password>{"password", kSet},
      Field<&ATAccountAddReq::category>{"category"},
      Field<&ATAccountAddReq::capital>{"capital"},
  };
};

struct ATAccountAddRes {
  BaseResponse base;
  std::string account_uuid;
  std::string basket_uuid;
  std::uint8_t account_type = 0;
  static constexpr auto kFields = std::tuple{
      Embed<&ATAccountAddRes::base>{kAllGet},
      Field<&ATAccountAddRes::account_uuid>{"account_uuid", kGet},
      Field<&ATAccountAddRes::basket_uuid>{"basket_uuid", kGet},
      Field<&ATAccountAddRes::account_type>{"account_type", kGet},
  };
  // A body that ends right after the base response is a complete reply with empty uuids and account type 0; any
  // other short body throws CodecError, leaving the reply unchanged.
  static constexpr Lenient kLenient{.trailer = 1};
};

struct ATAccountEditReq {
  BaseRequest base;
  std::string account_uuid;
  Ranged<std::uint8_t, 1, 10> operation;  // an account_edit_operation_* value
  std::string target;  // the sub-account, trader or strategy the operation names
  std::string value;   // a new name, password or pattern
  double amount = 0;   // a capital
  static constexpr auto kFields = std::tuple{
      Embed<&ATAccountEditReq::base>{},
      Field<&ATAccountEditReq::account_uuid>{"account_uuid"},
      Field<&ATAccountEditReq::operation>{"operation"},
      Field<&ATAccountEditReq::target>{"target"},
      Field<&ATAccountEditReq::value>{"value"},
      Field<&ATAccountEditReq::amount>{"amount"},
  };
};

struct PositionPreview {
  std::string market;
  std::string code;
  std::int64_t volume = 0;
  double cost = 0;
  static constexpr auto kFields = std::tuple{
      Field<&PositionPreview::market>{"market"},
      Field<&PositionPreview::code>{"code"},
      Field<&PositionPreview::volume>{"volume"},
      Field<&PositionPreview::cost>{"cost"},
  };
};

struct BasketPreview {
  std::string basket_uuid;
  double capital = 0;
  double cash = 0;
  std::vector<PositionPreview> positions;
  static constexpr auto kFields = std::tuple{
      Field<&BasketPreview::basket_uuid>{"basket_uuid"},
      Field<&BasketPreview::capital>{"capital"},
      Field<&BasketPreview::cash>{"cash"},
      Field<&BasketPreview::positions>{"positions"},
  };
};

// The account as the edit leaves it, basket by basket; read through indexed
// getters.
struct ATAccountEditRes {
  BaseResponse base;
  std::vector<BasketPreview> baskets;
  static constexpr auto kFields = std::tuple{
      Embed<&ATAccountEditRes::base>{kAllGet},
      Field<&ATAccountEditRes::baskets>{"baskets", kHidden},
  };
};

// The basket at `i`, or Error "basket index <i> out of range (<n> baskets)".
const BasketPreview& basket_at(const ATAccountEditRes& res, std::int64_t i);
// The position `j` of basket `i`, or Error naming the index out of range.
const PositionPreview& position_at(const ATAccountEditRes& res, std::int64_t i, std::int64_t j);

struct ATAccountChangeCapitalReq {
  BaseRequest base;
  std::string account_uuid;
  std::string basket_uuid;
  double amount = 0;  // added to the basket's capital; negative withdraws
  static constexpr auto kFields = std::tuple{
      Embed<&ATAccountChangeCapitalReq::base>{},
      Field<&ATAccountChangeCapitalReq::account_uuid>{"account_uuid"},
      Field<&ATAccountChangeCapitalReq::basket_uuid>{"basket_uuid"},
      Field<&ATAccountChangeCapitalReq::amount>{"amount"},
  };
};

struct ATAccountChangeCapitalRes {
  BaseResponse base;
  static constexpr auto kFields = std::tuple{Embed<&ATAccountChangeCapitalRes::base>{kAllGet}};
};

// The condition that closes a manual position: none, a price band outside
// which the order is cancelled, or profit and loss stops. One tag byte, then
// two f64 unless the tag is 0.
struct ClosePrice {
  enum Kind : std::uint8_t { kNone = 0, kCancelRange = 1, kProfitLossStop = 2 };
  std::uint8_t kind = kNone;
  double first = 0;   // lower bound, or profit stop
  double second = 0;  // upper bound, or loss stop
  bool operator==(const ClosePrice&) const = default;
};

template <>
struct Wire<ClosePrice> {
  static std::size_t size(const ClosePrice& v) noexcept { return v.kind == ClosePrice::kNone ? 1 : 17; }
  static void write(Writer& w, const ClosePrice& v) {
    w.write_u8(v.kind);
    if (v.kind == ClosePrice::kNone) return;
    w.write_f64(v.first);
    w.write_f64(v.second);
  }
  static ClosePrice read(Reader& r) {
    ClosePrice v;
    v.kind = r.read_u8();
    if (v.kind > ClosePrice::kProfitLossStop) throw wire::CodecError::unknown_enum(v.kind);
    if (v.kind == ClosePrice::kNone) return v;
    v.first = r.read_f64();
    v.second = r.read_f64();
    return v;
  }
};

struct ATManualTradeReq {
  BaseRequest base;
  std::string account_uuid;
  std::string basket_uuid;
  std::string market;
  std::string code;
  std::uint8_t direction = 0;  // entrust_direction_*
  std::uint8_t oc = 0;         // entrust_oc_*
  std::int64_t volume = 0;
  double price = 0;
  ClosePrice close_price;
  static constexpr auto kFields = std::tuple{
      Embed<&ATManualTradeReq::base>{},
      Field<&ATManualTradeReq::account_uuid>{"account_uuid"},
      Field<&ATManualTradeReq::basket_uuid>{"basket_uuid"},
      Field<&ATManualTradeReq::market>{"market"},
      Field<&ATManualTradeReq::code>{"code"},
      Field<&ATManualTradeReq::direction>{"direction"},
      Field<&ATManualTradeReq::oc>{"oc"},
      Field<&ATManualTradeReq::volume>{"volume"},
      Field<&ATManualTradeReq::price>{"price"},
      Field<&ATManualTradeReq::close_price>{"close_price", kHidden},
  };
};

struct ATManualTradeEditReq {
  BaseRequest base;
  std::string order_uuid;
  std::int64_t volume = 0;
  double price = 0;
  static constexpr auto kFields = std::tuple{
      Embed<&ATManualTradeEditReq::base>{},
      Field<&ATManualTradeEditReq::order_uuid>{"order_uuid"},
      Field<&ATManualTradeEditReq::volume>{"volume"},
      Field<&ATManualTradeEditReq::price>{"price"},
  };
};

struct ATManualTradeRes {
  BaseResponse base;
  std::string order_uuid;
  bool is_ok = false;
  static constexpr auto kFields = std::tuple{
      Embed<&ATManualTradeRes::base>{kAllGet},
      Field<&ATManualTradeRes::order_uuid>{"order_uuid", kGet},
      Field<&ATManualTradeRes::is_ok>{"is_ok", kGet},
  };
  // Never throws on content: the base response, then the trailer when the body goes on past it; a body that
  // cannot be read leaves every field at its default.
  static constexpr Lenient kLenient{.trailer = 1, .on_failure = Lenient::kClear};
};

}  // namespace qel::msg
