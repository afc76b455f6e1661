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

// Reads a base response without throwing, storing each prefix field as soon
// as it is read, so that a body cut short keeps the fields before the cut.
// (try_read(r, base) reads it whole or not at all.)
void read_base_response_fieldwise(wire::Reader& r, BaseResponse& out);

}  // namespace qel::msg
