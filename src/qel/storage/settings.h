// The pool's deadlines, back-off and frame bound: finite defaults, each overridable by an environment variable.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace qel::storage {

struct PoolSettings {
  std::chrono::milliseconds connect{3000};    // one connect, all addresses of a master
  std::chrono::milliseconds handshake{5000};  // identification and data definition
  std::chrono::milliseconds reply{10000};     // silence while a reply is awaited
  std::chrono::milliseconds call{60000};      // a whole call, reconnects and retries included
  std::chrono::milliseconds ack{10000};       // a write's acknowledgement
  std::chrono::milliseconds backoff{100};     // first pause after a failed connect or handshake
  std::chrono::milliseconds backoff_max{5000};
  std::size_t max_frame_bytes = std::size_t{256} << 20;

  bool operator==(const PoolSettings&) const = default;
};

// One environment variable and the setting it overrides, for documentation and error texts.
struct SettingVariable {
  const char* name;
  const char* meaning;
};
extern const SettingVariable kSettingVariables[8];

// The defaults, overridden by the variables of kSettingVariables that `lookup` finds (null: unset). Values are
// whole numbers from 1 (milliseconds, or bytes for the frame bound); anything else throws qel::Error
// "<NAME>: expected a whole number from 1 to <max>, got '<value>'". A back-off ceiling below the first
// back-off is raised to it.
PoolSettings settings_from(const std::function<const char*(const char*)>& lookup);
// settings_from(getenv).
PoolSettings settings_from_environment();

}  // namespace qel::storage
