// The prefixes every trading-server body begins with.
#include "qel/msg/envelope.h"

#include "qel/text/utf8.h"

namespace qel::msg {
namespace {

bool try_read_view(wire::Reader& r, wire::Bytes& out) noexcept {
  if (r.remaining() < 4) return false;
  wire::Reader peek = r;
  const std::uint32_t n = peek.read_u32();
  if (n > peek.remaining()) return false;
  out = peek.read_view(n);
  r = peek;
  return true;
}

}  // namespace

bool try_read_i32(wire::Reader& r, std::int32_t& out) noexcept {
  if (r.remaining() < 4) return false;
  out = static_cast<std::int32_t>(r.read_u32());
  return true;
}

bool try_read_bytes(wire::Reader& r, std::string& out) {
  wire::Bytes view;
  if (!try_read_view(r, view)) return false;
  out.assign(reinterpret_cast<const char*>(view.data()), view.size());
  return true;
}

bool try_read_string(wire::Reader& r, std::string& out) {
  wire::Reader at = r;
  wire::Bytes view;
  if (!try_read_view(at, view) || !text::is_utf8(view)) return false;
  out.assign(reinterpret_cast<const char*>(view.data()), view.size());
  r = at;
  return true;
}

bool try_read_vec_string(wire::Reader& r, std::vector<std::string>& out) {
  wire::Reader at = r;
  std::int32_t count;
  if (!try_read_i32(at, count)) return false;
  const auto n = static_cast<std::uint32_t>(count);
  if (n > at.remaining() / 4) return false;  // each text takes at least its prefix
  std::vector<std::string> got(n);
  for (std::string& text : got) {
    if (!try_read_string(at, text)) return false;
  }
  out = std::move(got);
  r = at;
  return true;
}

bool try_read_base_response(wire::Reader& r, BaseResponse& out) {
  wire::Reader at = r;
  BaseResponse got;
  if (!try_read_i32(at, got.seq) || !try_read_i32(at, got.status) || !try_read_i32(at, got.error_code) ||
      !try_read_string(at, got.error_msg)) {
    return false;
  }
  out = std::move(got);
  r = at;
  return true;
}

void read_base_response_fieldwise(wire::Reader& r, BaseResponse& out) {
  if (try_read_i32(r, out.seq) && try_read_i32(r, out.status) && try_read_i32(r, out.error_code)) {
    try_read_string(r, out.error_msg);
  }
}

}  // namespace qel::msg
