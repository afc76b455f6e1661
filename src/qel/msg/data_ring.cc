// Data-ring bodies: the row-push encoders and the category record's decoder.
#include "qel/msg/data_ring.h"

#include <utility>

#include "qel/wire/frame.h"

namespace qel::msg {
namespace {

// The compressed batch set of the rows; empty for none, whatever the catalog.
std::string values_blob(const BinaryPush& p, rows::RowRefs rows) {
  if (rows.empty()) return {};
  if (!p.catalog) throw Error("encode requires set_compressor before set_values with a non-empty batch");
  return with_prefix<Error>("compress: ", [&] { return rows::compress(*p.catalog, rows); });
}

std::vector<const rows::StructValue*> refs_of(const std::vector<rows::StructValue>& values) {
  std::vector<const rows::StructValue*> refs;
  refs.reserve(values.size());
  for (const rows::StructValue& row : values) refs.push_back(&row);
  return refs;
}

struct FramePrefix {
  std::uint16_t cmd;
  std::uint32_t seq;
};

// The scalars and the blob, after a frame prefix when one is given; `tail` more bytes are reserved.
Writer push_writer(const BinaryPush& p, rows::RowRefs rows, std::size_t tail, const FramePrefix* frame = nullptr) {
  const std::string blob = values_blob(p, rows);
  const std::size_t body = record_size(p) + 4 + blob.size() + tail;
  Writer w((frame ? wire::kFrameOverhead : 0) + body);
  if (frame) wire::write_frame_prefix(w, frame->cmd, frame->seq, body);
  write_record(w, p);
  w.write_bytes(wire::as_bytes(blob));
  return w;
}

}  // namespace

std::string encode_push(const BinaryPush& p) { return push_writer(p, refs_of(p.values), 0).take(); }

std::string encode_push_frame(const BinaryPush& p, rows::RowRefs rows, std::uint16_t cmd, std::uint32_t seq) {
  const FramePrefix frame{cmd, seq};
  return push_writer(p, rows, 0, &frame).take();
}

std::string encode_push(const SamplerPush& s) {
  Writer w = push_writer(s.push, refs_of(s.push.values), 1);
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
