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
      Field<&ATFetchSVRes::namespace_>{"namespace", kHidden},
      Field<&ATFetchSVRes::fields>{"fields"},
      Field<&ATFetchSVRes::rows>{"rows", kHidden},
  };
  // Never throws on content: a body cut short keeps the fields before the cut; the rows are read once a catalog
  // is attached (before or after).
  static constexpr Lenient kLenient = success_trailer(Lenient::kKeepRead).reading_rows();
};

// {"data":{"":[group]}} for the rows of the first row's schema, {"data":{}}
// without rows, catalog or schema.
std::string fetch_json(ATFetchSVRes& res);
// The same, appended to `out`.
void fetch_json(ATFetchSVRes& res, text::TextBuffer& out);

}  // namespace qel::msg
