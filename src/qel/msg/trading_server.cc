// Session-layer bodies of the trading server: the hand-written decoders.
#include "qel/msg/trading_server.h"

namespace qel::msg {

void decode_keepalive(Keepalive& k, wire::Bytes body) {
  if (body.size() < 4) throw Error("buffer < 4 bytes");
  decode(k, body);
}

void decode_universe(ATUniverseRes& res, wire::Bytes body) {
  wire::Reader r(body);
  auto base = read_record<BaseResponse>(r);
  std::vector<RevisionBlob> revisions;
  if (r.remaining() >= 4) revisions = Wire<std::vector<RevisionBlob>>::read(r);
  assign_record(res.base, std::move(base));
  res.revisions = std::move(revisions);
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

void decode_seeds(ATUniverseSeedsRes& res, wire::Bytes body) {
  res.namespace_.clear();
  res.seed.clear();
  wire::Reader r(body);
  BaseResponse base;
  if (!try_read(r, base)) return;
  std::string namespace_;
  Blob seed;
  if (r.remaining() >= 4 && !(try_read(r, namespace_) && try_read(r, seed))) return;
  const bool ok = base.error_code == 0;
  res.base = std::move(base);
  if (ok) {
    res.namespace_ = std::move(namespace_);
    res.seed = std::move(seed.data);
  }
}

std::vector<rows::StructValue> seed_rows(const ATUniverseSeedsRes& res) {
  if (res.seed.empty() || !res.catalog) return {};
  try {
    return rows::decompress(*res.catalog, wire::as_bytes(res.seed));
  } catch (const Error&) {
    return {};  // a seed that does not decode yields no rows
  }
}

void set_subscribe_filters(ATSubscribeReq&, std::size_t count) {
  if (count != 0) {
    throw Error(
        "ATSubscribeReq.set_filters: non-empty filters (ATSubscribeFilter) are not supported: only an empty filter "
        "set is accepted, and the wire encodes the filter count only");
  }
}

}  // namespace qel::msg
