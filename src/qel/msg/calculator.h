// Calculator data bodies: the data batches exchanged with workers, with their
// JSON rendering.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "qel/balance/balancer.h"
#include "qel/msg/base_communication.h"
#include "qel/msg/layout.h"
#include "qel/rows/index_serializer.h"
#include "qel/text/text_buffer.h"

namespace qel::msg {

// Rows by (namespace, meta id), ascending.
using Batches = std::map<rows::SchemaKey, std::vector<rows::StructValue>>;

// Body: BaseCommunication | u32 blob length | blob (a compressed batch set).
// The balancer's state rides along (see qel/balance).
struct TCDataCommunication {
  BaseCommunication base;
  Batches batches;
  rows::CatalogSnapshot catalog;  // from set_compressor or the last decode_string
  balance::Balancer balancer;
  static constexpr auto kFields = std::tuple{
      // error_code and error_msg travel on the wire only.
      Embed<&TCDataCommunication::base>{{kGetSet, kGetSet, kGetSet, kGetSet, kHidden, kHidden}},
  };
};

// Every stored row, batch by batch in ascending key order.
std::vector<const rows::StructValue*> stored_rows(const Batches& batches);

// The body around an already compressed batch set.
std::string data_body(const BaseCommunication& base, wire::Bytes blob);

// The body of every stored row. Throws Error "compress: ...".
std::string encode_data(const TCDataCommunication& m, const rows::IndexSchemaCatalog& catalog);

// Replaces prefix, batches and catalog with the body's, decoded through
// `catalog`; on failure nothing changes. Throws Error "TCDataCommunication
// blob: ..." (prefix or blob cut short, text not UTF-8) or "decompress: ...".
void decode_data(TCDataCommunication& m, wire::Bytes body, rows::CatalogSnapshot catalog);

// The body as JSON, decoded through the stored catalog: the prefix fields,
// then "data" with the groups of namespace 0 under "global" and of any other
// under "private", in ascending key order. Leaves `m` as it is.
std::string decode_to_json(const TCDataCommunication& m, wire::Bytes body);
// The same, appended to `out`; on an exception `out` is left as it was.
void decode_to_json(const TCDataCommunication& m, wire::Bytes body, text::TextBuffer& out);

}  // namespace qel::msg
