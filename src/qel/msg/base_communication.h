// The prefix every calculator message begins with.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>

#include "qel/msg/layout.h"

namespace qel::msg {

struct BaseCommunication {
  std::uint8_t runtime = 0;  // a runtime type, sent as given
  std::uint32_t category = 0;
  std::int64_t session_id = 0;
  std::int32_t status = 0;
  std::int32_t error_code = 0;
  std::string error_msg;
  static constexpr auto kFields = std::tuple{
      Field<&BaseCommunication::runtime>{"runtime"},
      Field<&BaseCommunication::category>{"category"},
      Field<&BaseCommunication::session_id>{"session_id"},
      Field<&BaseCommunication::status>{"status"},
      Field<&BaseCommunication::error_code>{"error_code"},
      Field<&BaseCommunication::error_msg>{"error_msg"},
  };
};

}  // namespace qel::msg
