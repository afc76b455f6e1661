// Historical fetch bodies: requests by code and by time, and the row reply.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "qel/msg/envelope.h"
#include "qel/msg/layout.h"
#include "qel/rows/index_serializer.h"
#include "qel/text/text_buffer.h"

namespace qel::msg {

struct ATFetchByCodeReq {
  BaseRequest base;
  std::string namespace_;
  std::string qualified_name;
  std::uint32_t revision = 0;
  std::string market;
  std::string code;
  std::uint64_t from_time_tag = 0;
  std::uint64_t to_time_tag = 0;
  std::uint32_t granularity = 0;
  std::vector<std::string> fields;
  static constexpr auto kFields = std::tuple{
      Embed<&ATFetchByCodeReq::base>{},
      Field<&ATFetchByCodeReq::namespace_>{"namespace"},
      Field<&ATFetchByCodeReq::qualified_name>{"qualified_name"},
      Field<&ATFetchByCodeReq::revision>{"revision"},
      Field<&ATFetchByCodeReq::market>{"market"},
      Field<&ATFetchByCodeReq::code>{"code"},
      Field<&ATFetchByCodeReq::from_time_tag>{"from_time_tag"},
      Field<&ATFetchByCodeReq::to_time_tag>{"to_time_tag"},
      Field<&ATFetchByCodeReq::granularity>{"granularity"},
      Field<&ATFetchByCodeReq::fields>{"fields"},
  };
};

struct ATFetchByTimeReq {
  BaseRequest base;
  std::string namespace_;
  std::string qualified_name;
  std::uint32_t revision = 0;
  std::vector<std::string> markets;  // markets[i] pairs with codes[i]; sent as given
  std::vector<std::string> codes;
  std::uint64_t time_tag = 0;
  std::uint32_t granularity = 0;
  std::vector<std::string> fields;
  static constexpr auto kFields = std::tuple{
      Embed<&ATFetchByTimeReq::base>{},
      Field<&ATFetchByTimeReq::namespace_>{"namespace"},
      Field<&ATFetchByTimeReq::qualified_name>{"qualified_name"},
      Field<&ATFetchByTimeReq::revision>{"revision"},
      Field<&ATFetchByTimeReq::markets>{"markets"},
      Field<&ATFetchByTimeReq::codes>{"codes"},
      Field<&ATFetchByTimeReq::time_tag>{"time_tag"},
      Field<&ATFetchByTimeReq::granularity>{"granularity"},
      Field<&ATFetchByTimeReq::fields>{"fields"},
  };
};

struct ATFetchSVRes {
  BaseResponse base;
  std::string namespace_;
  std::vector<std::string> fields;
  // The rows, pending until a catalog is attached; once read, they are decoded again through the catalog that
  // read them, whatever catalog is attached since.
  rows::RowSet rows;
  rows::CatalogSnapshot catalog;
  static constexpr auto kFields = std::tuple{
      Embed<&ATFetchSVRes::base>{},
      Field<&ATFetchSVRes::fields>{"fields"},
  };
};

// Never throws on content. An error reply keeps only its prefix; a success
// reply keeps namespace, fields and blob, and its rows once a catalog is
// attached (before or after this call).
void decode_fetch_reply(ATFetchSVRes& res, wire::Bytes body);
// Stores the catalog, then decodes a stored blob whose rows are still missing.
void attach_catalog(ATFetchSVRes& res, rows::CatalogSnapshot catalog);
// The rows, decoded from the blob first if needed. Never throws on content.
const std::vector<rows::StructValue>& fetch_rows(ATFetchSVRes& res);
// The same as a list of their own: the first call takes the decoded rows
// themselves; a later one decodes them again from the kept blob, keeps them
// and copies them from then on. Never throws on content.
std::vector<rows::StructValue> take_fetch_rows(ATFetchSVRes& res);
// {"data":{"":[group]}} for the rows of the first row's schema, {"data":{}}
// without rows, catalog or schema.
std::string fetch_json(ATFetchSVRes& res);
// The same, appended to `out`.
void fetch_json(ATFetchSVRes& res, text::TextBuffer& out);

}  // namespace qel::msg
