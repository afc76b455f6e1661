// The storage master's history bodies: a paged read of rows by symbols and
// time, its pages, and the session's base request and reply.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "qel/msg/envelope.h"
#include "qel/msg/layout.h"
#include "qel/rows/index_serializer.h"

namespace qel::msg {

// Commands of the history service. The module exports no constants for them.
namespace history_cmd {
inline constexpr std::uint16_t kOpen = 0x6770;         // NetBaseRequest
inline constexpr std::uint16_t kOpenReply = 0x6771;    // NetBaseResponse
inline constexpr std::uint16_t kRead = 0x6772;         // NetRequest
inline constexpr std::uint16_t kReadReply = 0x6773;    // NetResponse, one per page
inline constexpr std::uint16_t kCancel = 0x6774;       // NetBaseRequest
inline constexpr std::uint16_t kCancelReply = 0x6775;  // NetBaseResponse
inline constexpr std::uint16_t kClose = 0x6776;        // NetBaseRequest
inline constexpr std::uint16_t kCloseReply = 0x6777;   // NetBaseResponse
inline constexpr std::uint16_t kError = 0x6778;        // HistoryErrorResponse, in place of any reply
}  // namespace history_cmd

struct NetBaseRequest {
  BaseRequest base;
  std::int64_t session_id = 0;
  std::uint32_t request_id = 0;  // echoed by every reply to this request
  static constexpr auto kFields = std::tuple{
      Embed<&NetBaseRequest::base>{},
      Field<&NetBaseRequest::session_id>{"session_id"},
      Field<&NetBaseRequest::request_id>{"request_id"},
  };
};

struct NetBaseResponse {
  BaseResponse base;
  std::int64_t session_id = 0;
  std::uint32_t request_id = 0;
  static constexpr auto kFields = std::tuple{
      Embed<&NetBaseResponse::base>{kAllGet},
      Field<&NetBaseResponse::session_id>{"session_id", kGet},
      Field<&NetBaseResponse::request_id>{"request_id", kGet},
  };
};

// The symbols of one market a read covers.
struct MarketSymbols {
  std::string market;
  std::vector<std::string> symbols;
  static constexpr auto kFields = std::tuple{
      Field<&MarketSymbols::market>{"market"},
      Field<&MarketSymbols::symbols>{"symbols"},
  };
};

struct NetRequest {
  NetBaseRequest head;
  std::uint8_t type = 0;  // 0: rows by symbols over [begin_time, end_time]
  std::uint32_t meta_id = 0;
  std::uint16_t namespace_id = 0;
  std::uint32_t granularity = 0;  // seconds
  std::int64_t begin_time = 0;    // epoch milliseconds, inclusive
  std::int64_t end_time = 0;      // epoch milliseconds, inclusive
  std::uint32_t page_size = 0;    // rows per page; 0 lets the master choose
  std::uint64_t offset = 0;       // rows of the range already read
  std::vector<std::uint32_t> field_ids;  // empty: every field
  std::vector<MarketSymbols> symbols;    // one entry per market, in the order first set
  static constexpr auto kFields = std::tuple{
      Embed<&NetRequest::head>{},
      Field<&NetRequest::type>{"type"},
      Field<&NetRequest::meta_id>{"meta_id"},
      Field<&NetRequest::namespace_id>{"namespace_id"},
      Field<&NetRequest::granularity>{"granularity"},
      Field<&NetRequest::begin_time>{"begin_time"},
      Field<&NetRequest::end_time>{"end_time"},
      Field<&NetRequest::page_size>{"page_size"},
      Field<&NetRequest::offset>{"offset"},
      Field<&NetRequest::field_ids>{"field_ids"},
      Field<&NetRequest::symbols>{"symbols", kHidden},
  };
};

// Sets the symbols of `market`, replacing an earlier entry of that market in place.
void set_symbol(NetRequest& req, std::string market, std::vector<std::string> symbols);
// {market: symbols} of the request.
std::map<std::string, std::vector<std::string>> symbol_map(const std::vector<MarketSymbols>& symbols);

// One page of a history read.
struct NetResponse {
  NetBaseResponse head;
  bool has_more = false;          // another page follows from next_offset
  std::uint64_t next_offset = 0;  // rows of the range read once this page is
  std::uint64_t raw_value_count = 0;  // present values in this page's rows
  std::vector<MarketSymbols> symbol_data;  // the symbols that have rows in the page
  RawVec<std::int64_t> time_data;  // [begin, end] epoch-millisecond slices the page covers, two entries each
  rows::RowSet rows;               // read through the catalog decode_string was given
  static constexpr auto kFields = std::tuple{
      Embed<&NetResponse::head>{kAllGet},
      Field<&NetResponse::has_more>{"has_more", kGet},
      Field<&NetResponse::next_offset>{"next_offset", kGet},
      Field<&NetResponse::raw_value_count>{"raw_value_count", kGet},
      Field<&NetResponse::symbol_data>{"symbol_data", kHidden},
      Field<&NetResponse::time_data>{"time_data", kGet},
      Field<&NetResponse::rows>{"rows", kHidden},
  };
};

// Replaces every wire field, the rows decoded through `catalog`, and the
// catalog; on failure nothing changes. Throws CodecError for the body and
// Error "decompress: ..." for its rows.
void decode_history_page(NetResponse& res, wire::Bytes body, rows::CatalogSnapshot catalog);

struct HistoryErrorResponse {
  NetBaseResponse head;
  std::string reason;
  static constexpr auto kFields = std::tuple{
      Embed<&HistoryErrorResponse::head>{kAllGet},
      Field<&HistoryErrorResponse::reason>{"reason", kGet},
  };
};

}  // namespace qel::msg
