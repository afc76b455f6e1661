// Storage-master client configuration: loading it from a JSON file.
#include "qel/storage/client_config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <span>
#include <system_error>

#include "qel/error.h"
#include "qel/refdata/json_read.h"
#include "qel/text/utf8.h"

namespace qel::storage {

namespace {

namespace json = refdata::json;

std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The path as messages show it: each invalid UTF-8 sequence and each NUL
// replaced by U+FFFD, so the text is UTF-8 and survives as a C string.
std::string displayed_path(std::string_view s) {
  std::string out;
  while (const auto bad = text::check_utf8(bytes_of(s))) {
    out.append(s.substr(0, bad->valid_up_to));
    out += kReplacement;
    const std::size_t skip = bad->valid_up_to + (bad->error_len == 0 ? s.size() - bad->valid_up_to : bad->error_len);
    s.remove_prefix(skip);
  }
  out.append(s);
  for (std::size_t at = out.find('\0'); at != std::string::npos; at = out.find('\0', at)) {
    out.replace(at, 1, kReplacement);
  }
  return out;
}

[[noreturn]] void throw_read_error(std::string_view path, std::string_view why) {
  throw Error("load_from_json read " + displayed_path(path) + ": " + std::string(why));
}

std::string read_whole_file(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) throw_read_error(path, "path contains a NUL byte");
  const std::string p(path);
  const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw_read_error(path, std::generic_category().message(errno));
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      text.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      const int err = errno;
      ::close(fd);
      throw_read_error(path, std::generic_category().message(err));
    }
  }
  ::close(fd);
  return text;
}

[[noreturn]] void refuse(const std::string& why) { throw Error("load_from_json: " + why); }

std::pair<std::string, std::uint16_t> read_master(json::element entry, std::size_t i) {
  const auto a = json::as_array(entry);
  if (!a) refuse("master entry not an array");
  // Elements past the first two are ignored.
  json::element host_e, port_e;
  const bool has_host = a->at(0).get(host_e) == simdjson::SUCCESS;
  const auto host = has_host ? json::as_string(host_e) : std::nullopt;
  if (!host) refuse("master[0] not a string");
  if (a->at(1).get(port_e) != simdjson::SUCCESS) refuse("master[1] not a uint");
  std::uint64_t port = 0;
  if (port_e.type() == json::element_type::INT64 && port_e.get_int64().value_unsafe() >= 0) {
    port = static_cast<std::uint64_t>(port_e.get_int64().value_unsafe());
  } else if (port_e.type() == json::element_type::UINT64) {
    port = port_e.get_uint64().value_unsafe();
  } else {
    refuse("master[1] not a uint");
  }
  // A port is 16 bits; narrowing a larger one would connect somewhere else.
  if (port > 0xFFFF) refuse("master entry " + std::to_string(i) + ": port " + std::to_string(port) + " above 65535");
  return {std::string(*host), static_cast<std::uint16_t>(port)};
}

}  // namespace

ConfigLoad KestrinConfig::load_from_json(std::string_view path) {
  const std::string text = read_whole_file(path);
  if (!text::is_utf8(bytes_of(text))) throw_read_error(path, "stream did not contain valid UTF-8");
  return load_from_json_text(text);
}

ConfigLoad KestrinConfig::load_from_json_text(std::string_view text) {
  simdjson::dom::parser parser;
  json::element root;
  if (parser.parse(text.data(), text.size()).get(root) != simdjson::SUCCESS) return ConfigLoad::kNotJson;
  const auto obj = json::as_object(root);
  if (!obj) return ConfigLoad::kLoaded;

  // Built aside and assigned at the end, so a refused entry changes nothing.
  KestrinConfig next = *this;
  if (const auto e = json::member(*obj, "log_path")) {
    if (const auto s = json::as_string(*e)) next.log_path = std::string(*s);
  }
  if (const auto e = json::member(*obj, "masters")) {
    if (const auto list = json::as_array(*e)) {
      next.masters.clear();
      std::size_t i = 0;
      for (json::element entry : *list) next.masters.push_back(read_master(entry, i++));
    }
  }
  if (const auto e = json::member(*obj, "singularity_markets")) {
    if (const auto list = json::as_array(*e)) {
      next.singularity_alike_markets.clear();
      std::size_t i = 0;
      for (json::element m : *list) {
        const auto s = json::as_string(m);
        if (!s) refuse("singularity_markets entry " + std::to_string(i) + " not a string");
        next.singularity_alike_markets.emplace_back(*s);
        ++i;
      }
    }
  }
  *this = std::move(next);
  return ConfigLoad::kLoaded;
}

}  // namespace qel::storage
