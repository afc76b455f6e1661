// The prefixes every trading-server body begins with, and the lenient read of
// a reply's prefix.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "qel/msg/layout.h"

namespace qel::msg {

struct BaseRequest {
  std::int32_t seq = 0;
  std::string token;
  static constexpr auto kFields = std::tuple{
      Field<&BaseRequest::seq>{"seq"},
      Field<&BaseRequest::token>{"token"},
  };
};

struct BaseResponse {
  std::int32_t seq = 0;
  std::int32_t status = 0;
  std::int32_t error_code = 0;
  std::string error_msg;
  static constexpr auto kFields = std::tuple{
      Field<&BaseResponse::seq>{"seq"},
      Field<&BaseResponse::status>{"status"},
      Field<&BaseResponse::error_code>{"error_code"},
      Field<&BaseResponse::error_msg>{"error_msg"},
  };
};

// Reads that never throw: false leaves `r` and `out` unchanged. The lenient
// reply decoders run on every inbound frame, where short bodies are ordinary.
bool try_read_i32(wire::Reader& r, std::int32_t& out) noexcept;
bool try_read_string(wire::Reader& r, std::string& out);
bool try_read_bytes(wire::Reader& r, std::string& out);
bool try_read_vec_string(wire::Reader& r, std::vector<std::string>& out);

// Reads a base response without throwing: false when the body is too short
// for it or its text is not UTF-8 (`out` is then unchanged), true with `r`
// past it otherwise. Receive loops see short and odd bodies as normal traffic.
bool try_read_base_response(wire::Reader& r, BaseResponse& out);

// As above, storing each prefix field as soon as it is read, so that a body
// cut short keeps the fields before the cut.
void read_base_response_fieldwise(wire::Reader& r, BaseResponse& out);

}  // namespace qel::msg
