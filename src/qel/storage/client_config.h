// Storage-master client configuration and fetch key: two plain records.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qel::storage {

// What a configuration load did, when it did not throw.
enum class ConfigLoad {
  kLoaded,   // parsed; the recognised keys were copied in
  kNotJson,  // the text is not JSON: nothing changed, and nothing is to be reported
};

struct KestrinConfig {
  std::string log_path;
  std::vector<std::pair<std::string, std::uint16_t>> masters;  // (host, port), in file order
  std::vector<std::string> singularity_alike_markets;

  // Reads the file at `path` (bytes, passed to the OS as they are) and loads
  // its text as load_from_json_text does. Throws qel::Error
  // "load_from_json read <path>: <OS error text>" when the path holds a NUL or
  // the file cannot be opened or read, and with "stream did not contain valid
  // UTF-8" as the text for content that is not UTF-8. <path> is shown with
  // invalid UTF-8 and NUL replaced by U+FFFD: the message is UTF-8 without NUL.
  ConfigLoad load_from_json(std::string_view path);

  // Copies "log_path" (a string), "masters" (an array of [host string,
  // port uint] entries) and "singularity_markets" (an array of strings) into
  // log_path, masters and singularity_alike_markets; absent or mistyped keys
  // leave their fields unchanged, other keys are ignored. All or nothing: on
  // a throw no field has changed. Throws qel::Error (whole message, callers add
  // no prefix) "load_from_json: master entry not an array",
  // "load_from_json: master[0] not a string", "load_from_json: master[1] not a uint",
  // "load_from_json: master entry <i>: port <n> above 65535",
  // "load_from_json: singularity_markets entry <i> not a string".
  // Text that is not JSON returns kNotJson and changes nothing.
  ConfigLoad load_from_json_text(std::string_view text);

  bool operator==(const KestrinConfig&) const = default;
};

// One fetch from the storage masters.
struct KestrinStructValueKey {
  std::uint16_t ns = 0;
  std::string meta_name;
  std::uint32_t revision = 0xFFFFFFFF;  // the latest revision
  std::uint32_t granularity = 0;
  std::uint64_t from_tm = 0;
  std::uint64_t to_tm = 0;
  std::vector<std::string> markets;
  std::vector<std::string> symbols;
  std::int16_t mask = 0;
  bool wait_io_completion = false;

  bool operator==(const KestrinStructValueKey&) const = default;
};

}  // namespace qel::storage
