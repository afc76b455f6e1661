// The calculator's lifecycle bodies: initialisation, history requests and
// replies, market status and completion. Each begins with the calculator
// prefix.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "qel/msg/base_communication.h"
#include "qel/msg/layout.h"
#include "qel/rows/index_serializer.h"

namespace qel::msg {

struct TCInitialize {
  BaseCommunication base;
  std::int64_t start_time = 0;  // epoch milliseconds
  std::int64_t end_time = 0;
  std::uint32_t granularity = 0;  // seconds
  std::vector<std::string> markets;
  std::vector<std::string> codes;
  std::string parameters;  // the strategy's parameters, as JSON text
  static constexpr auto kFields = std::tuple{
      Embed<&TCInitialize::base>{},
      Field<&TCInitialize::start_time>{"start_time"},
      Field<&TCInitialize::end_time>{"end_time"},
      Field<&TCInitialize::granularity>{"granularity"},
      Field<&TCInitialize::markets>{"markets"},
      Field<&TCInitialize::codes>{"codes"},
      Field<&TCInitialize::parameters>{"parameters"},
  };
};

// Every wire field as one compact JSON object, in body order; `parameters`
// as a JSON string.
std::string initialize_json(const TCInitialize& m);

struct TCHistoricalReq {
  BaseCommunication base;
  std::uint16_t namespace_ = 0;
  std::uint32_t meta_id = 0;
  std::vector<std::string> markets;  // markets[i] pairs with codes[i]
  std::vector<std::string> codes;
  std::int64_t begin_time = 0;  // epoch milliseconds
  std::int64_t end_time = 0;
  std::uint32_t granularity = 0;
  static constexpr auto kFields = std::tuple{
      Embed<&TCHistoricalReq::base>{},
      Field<&TCHistoricalReq::namespace_>{"namespace"},
      Field<&TCHistoricalReq::meta_id>{"meta_id"},
      Field<&TCHistoricalReq::markets>{"markets"},
      Field<&TCHistoricalReq::codes>{"codes"},
      Field<&TCHistoricalReq::begin_time>{"begin_time"},
      Field<&TCHistoricalReq::end_time>{"end_time"},
      Field<&TCHistoricalReq::granularity>{"granularity"},
  };
};

struct TCHistoricalRes {
  BaseCommunication base;
  rows::RowSet rows;
  rows::CatalogSnapshot catalog;  // from set_compressor
  static constexpr auto kFields = std::tuple{
      Embed<&TCHistoricalRes::base>{},
      Field<&TCHistoricalRes::rows>{"rows", kHidden},
  };
};

// Laid out as the data ring's market-status broadcast, which it relays.
struct TCMarketStatus {
  BaseCommunication base;
  std::int32_t state = 0;      // a market_state_* value
  std::uint64_t time_tag = 0;  // epoch milliseconds
  std::vector<std::string> markets;
  RawVec<std::int32_t> trade_days;  // YYYYMMDD, one per market
  static constexpr auto kFields = std::tuple{
      Embed<&TCMarketStatus::base>{},
      Field<&TCMarketStatus::state>{"state"},
      Field<&TCMarketStatus::time_tag>{"time_tag"},
      Field<&TCMarketStatus::markets>{"markets"},
      Field<&TCMarketStatus::trade_days>{"trade_days"},
  };
};

struct TCComplete {
  BaseCommunication base;
  std::int32_t next_action = 0;
  static constexpr auto kFields = std::tuple{
      Embed<&TCComplete::base>{},
      Field<&TCComplete::next_action>{"next_action"},
  };
};

}  // namespace qel::msg
