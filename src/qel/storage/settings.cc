// Pool settings from the environment.
#include "qel/storage/settings.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "qel/error.h"

namespace qel::storage {
namespace {

// Large enough for any real deadline, small enough that now + it never overflows the steady clock.
constexpr std::uint64_t kMaxMilliseconds = 365ULL * 24 * 3600 * 1000;
constexpr std::uint64_t kMaxFrameBytes = std::uint64_t{1} << 32;  // total_len is a u32

std::uint64_t parse(const char* name, std::string_view text, std::uint64_t max) {
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < 1 || v > max) {
    throw Error(std::string(name) + ": expected a whole number from 1 to " + std::to_string(max) + ", got '" +
                std::string(text) + "'");
  }
  return v;
}

}  // namespace

const SettingVariable kSettingVariables[8] = {
    {"PYOSTREL_STORAGE_CONNECT_TIMEOUT_MS", "one TCP connect, all addresses of a master"},
    {"PYOSTREL_STORAGE_HANDSHAKE_TIMEOUT_MS", "the identification and data-definition exchange"},
    {"PYOSTREL_STORAGE_REPLY_TIMEOUT_MS", "silence while a reply is awaited"},
    {"PYOSTREL_STORAGE_CALL_TIMEOUT_MS", "a whole call, reconnects and retries included"},
    {"PYOSTREL_STORAGE_ACK_TIMEOUT_MS", "a write's acknowledgement"},
    {"PYOSTREL_STORAGE_BACKOFF_MS", "the first back-off after a failed connect or handshake"},
    {"PYOSTREL_STORAGE_BACKOFF_MAX_MS", "the back-off's ceiling"},
    {"PYOSTREL_STORAGE_MAX_FRAME_BYTES", "the largest reply frame accepted"},
};

PoolSettings settings_from(const std::function<const char*(const char*)>& lookup) {
  PoolSettings s;
  std::chrono::milliseconds* const durations[] = {&s.connect, &s.handshake, &s.reply, &s.call,
                                                   &s.ack,     &s.backoff,   &s.backoff_max};
  for (std::size_t i = 0; i < std::size(durations); ++i) {
    if (const char* v = lookup(kSettingVariables[i].name)) {
      *durations[i] = std::chrono::milliseconds(parse(kSettingVariables[i].name, v, kMaxMilliseconds));
    }
  }
  if (const char* v = lookup(kSettingVariables[7].name)) {
    s.max_frame_bytes = static_cast<std::size_t>(parse(kSettingVariables[7].name, v, kMaxFrameBytes));
  }
  if (s.backoff_max < s.backoff) s.backoff_max = s.backoff;
  return s;
}

PoolSettings settings_from_environment() {
  return settings_from([](const char* name) -> const char* { return std::getenv(name); });
}

}  // namespace qel::storage
