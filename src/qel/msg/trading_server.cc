// Session-layer bodies of the trading server: the hand-written decoders.
#include "qel/msg/trading_server.h"

namespace qel::msg {

void decode_keepalive(Keepalive& k, wire::Bytes body) {
  if (body.size() < 4) throw Error("buffer < 4 bytes");
  decode(k, body);
}

std::vector<std::pair<std::string, std::vector<rows::StructValue>>> universe_revisions(const ATUniverseRes& res) {
  std::vector<std::pair<std::string, std::vector<rows::StructValue>>> out;
  out.reserve(res.revisions.size());
  for (const RevisionBlob& entry : res.revisions) {
    std::vector<rows::StructValue> rows;
    if (res.catalog) rows = rows::decompress(*res.catalog, wire::as_bytes(entry.blob.data));
    out.emplace_back(entry.namespace_, std::move(rows));
  }
  return out;
}

void set_subscribe_filters(ATSubscribeReq&, std::size_t count) {
  if (count != 0) {
    throw Error(
        "ATSubscribeReq.set_filters: non-empty filters (ATSubscribeFilter) are not supported: only an empty filter "
        "set is accepted, and the wire encodes the filter count only");
  }
}

}  // namespace qel::msg
