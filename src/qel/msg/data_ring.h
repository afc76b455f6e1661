// Data-ring bodies: push-session start and stop, the row pushes, the
// multi-market status broadcast and the category/identity record.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "qel/msg/calculator.h"
#include "qel/msg/layout.h"
#include "qel/rows/index_serializer.h"
#include "qel/rows/struct_value.h"

namespace qel::msg {

// The push-session entity: the whole body of the start and stop requests and
// their replies.
struct PushSession {
  std::uint32_t trade_day = 0;  // YYYYMMDD
  std::int32_t realtime = 0;
  std::uint32_t session_id = 0;
  static constexpr auto kFields = std::tuple{
      Field<&PushSession::trade_day>{"trade_day"},
      Field<&PushSession::realtime>{"realtime"},
      Field<&PushSession::session_id>{"session_id"},
  };
};

// The start request also carries the caller's correlation number, which never
// goes on the wire: start and stop requests encode the same bytes.
struct DRPushStartReq {
  PushSession session;
  std::int32_t seq = 0;
  static constexpr auto kFields = std::tuple{Embed<&DRPushStartReq::session>{}};
};

// The binary push body. session_id and realtime come in the opposite order
// from the push-session entity. The rows go out as a compressed batch set
// built at encode time with the stored catalog.
struct BinaryPush {
  std::uint32_t trade_day = 0;
  std::uint32_t session_id = 0;
  std::int32_t realtime = 0;
  std::uint64_t hash_code = 0;
  std::vector<rows::StructValue> values;
  rows::CatalogSnapshot catalog;
  static constexpr auto kFields = std::tuple{
      Field<&BinaryPush::trade_day>{"trade_day"},
      Field<&BinaryPush::session_id>{"session_id"},
      Field<&BinaryPush::realtime>{"realtime"},
      Field<&BinaryPush::hash_code>{"hash_code"},
  };
};

// The binary push body followed by one `save` byte.
struct SamplerPush {
  BinaryPush push;
  std::uint8_t save = 0;
  static constexpr auto kFields = std::tuple{
      Embed<&SamplerPush::push>{},
      Field<&SamplerPush::save>{"save"},
  };
};

// The body, nothing written on failure. Without rows the blob is its count 0
// alone. Throws qel::Error "encode requires set_compressor before set_values
// with a non-empty batch" for rows without a catalog, and "compress: <text>"
// when the rows do not pack against it.
std::string encode_push(const BinaryPush& p);
// A whole frame of command `cmd` and sequence `seq` around the body encode_push would make of `p` with
// `rows` in place of its own values, in one buffer.
std::string encode_push_frame(const BinaryPush& p, rows::RowRefs rows, std::uint16_t cmd, std::uint32_t seq);
std::string encode_push(const SamplerPush& p);

// The multi-market status broadcast: the calculator prefix, whose runtime and
// category are carried without accessors (a decoded broadcast encodes back to
// the same bytes), then the states.
struct DRMarketStatus {
  BaseCommunication base;
  std::int32_t state = 0;  // any i32, kept as sent
  std::uint64_t time_tag = 0;
  std::vector<std::string> markets;
  RawVec<std::int32_t> trade_days;
  static constexpr auto kFields = std::tuple{
      Embed<&DRMarketStatus::base>{{kHidden, kHidden, kGetSet, kGetSet, kGetSet, kGetSet}},
      Field<&DRMarketStatus::state>{"state"},
      Field<&DRMarketStatus::time_tag>{"time_tag"},
      Field<&DRMarketStatus::markets>{"markets"},
      Field<&DRMarketStatus::trade_days>{"trade_days"},
  };
};

// A data-ring member's category and identity.
struct LanterfoldCategory {
  std::int16_t category = 0;
  Blob identify;
  static constexpr auto kFields = std::tuple{
      Field<&LanterfoldCategory::category>{"category"},
      Field<&LanterfoldCategory::identify>{"identify"},
  };
};

// Strict; on failure `c` is unchanged and the qel::Error names the field that
// did not read: "category: <codec error>" or "identify: <codec error>".
void decode_lanterfold(LanterfoldCategory& c, wire::Bytes body);

}  // namespace qel::msg
