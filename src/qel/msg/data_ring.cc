// Data-ring bodies: the row-push encoders and the category record's decoder.
#include "qel/msg/data_ring.h"

#include <utility>

namespace qel::msg {
namespace {

// The compressed batch set of the rows; empty for none, whatever the catalog.
std::string values_blob(const BinaryPush& p) {
  if (p.values.empty()) return {};
  if (!p.catalog) throw Error("encode requires set_compressor before set_values with a non-empty batch");
  std::vector<const rows::StructValue*> refs;
  refs.reserve(p.values.size());
  for (const rows::StructValue& row : p.values) refs.push_back(&row);
  return with_prefix<Error>("compress: ", [&] { return rows::compress(*p.catalog, refs); });
}

// The scalars and the blob; `tail` more bytes are reserved for the caller.
Writer push_writer(const BinaryPush& p, std::size_t tail) {
  const std::string blob = values_blob(p);
  Writer w(record_size(p) + 4 + blob.size() + tail);
  write_record(w, p);
  w.write_bytes(wire::as_bytes(blob));
  return w;
}

}  // namespace

std::string encode_push(const BinaryPush& p) { return push_writer(p, 0).take(); }

std::string encode_push(const SamplerPush& s) {
  Writer w = push_writer(s.push, 1);
  w.write_u8(s.save);
  return std::move(w).take();
}

void decode_lanterfold(LanterfoldCategory& c, wire::Bytes body) {
  Reader r(body);
  auto category = with_prefix<Error, wire::CodecError>("category: ", [&] { return r.read_i16(); });
  auto identify = with_prefix<Error, wire::CodecError>("identify: ", [&] { return Wire<Blob>::read(r); });
  c.category = category;
  c.identify = std::move(identify);
}

}  // namespace qel::msg
