// Session-layer bodies of the trading server: keep-alive, universe revisions,
// universe seeds, realtime subscription.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "qel/msg/envelope.h"
#include "qel/msg/layout.h"
#include "qel/rows/index_serializer.h"

namespace qel::msg {

struct Keepalive {
  LittleEndianI32 utc_now;
  static constexpr auto kFields = std::tuple{Field<&Keepalive::utc_now>{"utc_now"}};
};
// Throws qel::Error "buffer < 4 bytes" for a shorter body; bytes after the
// first four are ignored.
void decode_keepalive(Keepalive& k, wire::Bytes body);

struct ATUniverseReq {
  BaseRequest base;
  static constexpr auto kFields = std::tuple{Embed<&ATUniverseReq::base>{{kGetSet, kSet}}};
};

// One namespace's revision rows, a compressed batch set.
struct RevisionBlob {
  std::string namespace_;
  Blob blob;
  static constexpr auto kFields = std::tuple{
      Field<&RevisionBlob::namespace_>{"namespace"},
      Field<&RevisionBlob::blob>{"blob"},
  };
};

struct ATUniverseRes {
  BaseResponse base;
  std::vector<RevisionBlob> revisions;
  rows::CatalogSnapshot catalog;
  static constexpr auto kFields = std::tuple{
      Embed<&ATUniverseRes::base>{{kGetSet, kGet, kGet, kGet}},
      Field<&ATUniverseRes::revisions>{"revisions", kHidden},
  };
  // Strict, but a body that ends within 3 bytes after the prefix has no entries.
  static constexpr Lenient kLenient{.trailer = 1, .present_from = 4};
};
// Each namespace's rows, in wire order (a repeated namespace appears twice:
// the caller keeps the later). Without a catalog every list is empty.
// Throws rows::SerializerError for a blob that does not decode.
std::vector<std::pair<std::string, std::vector<rows::StructValue>>> universe_revisions(const ATUniverseRes& res);

struct ATUniverseSeedsReq {
  BaseRequest base;
  std::uint32_t revision = 0;
  std::string namespace_;
  std::string qualified_name;
  std::string market;
  std::int32_t trade_day = 0;
  static constexpr auto kFields = std::tuple{
      Embed<&ATUniverseSeedsReq::base>{},
      Field<&ATUniverseSeedsReq::revision>{"revision"},
      Field<&ATUniverseSeedsReq::namespace_>{"namespace"},
      Field<&ATUniverseSeedsReq::qualified_name>{"qualified_name"},
      Field<&ATUniverseSeedsReq::market>{"market"},
      Field<&ATUniverseSeedsReq::trade_day>{"trade_day"},
  };
};

struct ATUniverseSeedsRes {
  BaseResponse base;
  std::string namespace_;
  rows::RowSet seed;  // read on demand through the kept catalog
  rows::CatalogSnapshot catalog;
  static constexpr auto kFields = std::tuple{
      Embed<&ATUniverseSeedsRes::base>{kAllGet},
      Field<&ATUniverseSeedsRes::namespace_>{"namespace", kGet},
      Field<&ATUniverseSeedsRes::seed>{"seed", kHidden},
  };
  // Never throws on content; a body that cannot be read keeps the earlier base response.
  static constexpr Lenient kLenient = success_trailer(Lenient::kKeep);
};

struct ATSubscribeReq {
  BaseRequest base;
  std::string uuid;
  std::vector<std::string> markets;
  std::vector<std::string> symbols;
  std::vector<std::uint32_t> granularities;
  std::vector<std::string> qualified_names;
  std::vector<std::vector<std::string>> fields;
  std::int32_t start = 0;
  std::int32_t end = 0;
  std::vector<std::string> sort;
  std::vector<std::uint8_t> direction;
  EmptyList filters;  // no filter layout exists: the wire carries a count of 0
  static constexpr auto kFields = std::tuple{
      Embed<&ATSubscribeReq::base>{{kGetSet, kSet}},
      Field<&ATSubscribeReq::uuid>{"uuid", kSet},
      Field<&ATSubscribeReq::markets>{"markets", kSet},
      Field<&ATSubscribeReq::symbols>{"symbols", kSet},
      Field<&ATSubscribeReq::granularities>{"granularities", kSet},
      Field<&ATSubscribeReq::qualified_names>{"qualified_names", kSet},
      Field<&ATSubscribeReq::fields>{"fields", kSet},
      Field<&ATSubscribeReq::start>{"start", kSet},
      Field<&ATSubscribeReq::end>{"end", kSet},
      Field<&ATSubscribeReq::sort>{"sort", kSet},
      Field<&ATSubscribeReq::direction>{"direction", kSet},
      Field<&ATSubscribeReq::filters>{"filters", kHidden},
  };
};

// Only an empty filter set exists on the wire; any other count throws.
void set_subscribe_filters(ATSubscribeReq& req, std::size_t count);

struct ATUnsubscribeReq {
  BaseRequest base;
  std::string uuid;
  static constexpr auto kFields = std::tuple{
      Embed<&ATUnsubscribeReq::base>{{kGetSet, kSet}},
      Field<&ATUnsubscribeReq::uuid>{"uuid", kSet},
  };
};

}  // namespace qel::msg
