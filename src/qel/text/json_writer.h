// The one JSON writer: compact output appended to a std::string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "qel/text/double_text.h"

namespace qel::text {

// Appends `utf8` as a quoted JSON string. `"`, `\` and control bytes below 0x20
// are escaped (\n \t \r \b \f in short form, the rest as \u00XX); every other
// byte, non-ASCII included, is copied as is.
// REQUIRES: `utf8` is valid UTF-8; invalid bytes are copied through unchecked
// and then make the output invalid JSON.
void append_json_string(std::string& out, std::string_view utf8);

// Appends the shortest text that reads back to `v`, with ".0" added when that
// text has neither '.' nor an exponent (so 0.0 -> 0.0, -0.0 -> -0.0, 1e+300
// stays as is). NaN and infinities append `null`.
void append_json_double(std::string& out, double v);

void append_json_int(std::string& out, std::int64_t v);
void append_json_uint(std::string& out, std::uint64_t v);

inline void append_json_bool(std::string& out, bool v) { out += v ? "true" : "false"; }

// The same forms written at `p` into memory the caller has sized, returning the
// end: for renderers that reserve room once per row instead of growing the
// string per value. A number takes at most kJsonNumberRoom bytes (scratch
// included), a string at most json_string_room(size). The doubles' forms,
// write_json_double and write_json_scaled, are in double_text.h.
inline constexpr std::size_t kJsonNumberRoom = kDoubleTextRoom;
constexpr std::size_t json_string_room(std::size_t utf8_size) noexcept { return 6 * utf8_size + 2; }

char* write_json_string(char* p, std::string_view utf8) noexcept;
char* write_json_int(char* p, std::int64_t v) noexcept;
char* write_json_uint(char* p, std::uint64_t v) noexcept;

// Nested objects and arrays with the commas placed for the caller. Each value
// call (string, number_*, boolean, null, raw, begin_*) is one array element or,
// right after key(), one member value.
// REQUIRES: calls nest properly and every key() inside an object is followed by
// exactly one value; the writer does not check this and would emit invalid JSON.
class JsonWriter {
 public:
  explicit JsonWriter(std::string& out) : out_(out) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }

  void key(std::string_view k) {
    separate();
    append_json_string(out_, k);
    out_ += ':';
    need_comma_ = false;
  }

  void string(std::string_view v) { value_begin(); append_json_string(out_, v); }
  void number_int(std::int64_t v) { value_begin(); append_json_int(out_, v); }
  void number_uint(std::uint64_t v) { value_begin(); append_json_uint(out_, v); }
  void number_double(double v) { value_begin(); append_json_double(out_, v); }
  void boolean(bool v) { value_begin(); append_json_bool(out_, v); }
  void null() { value_begin(); out_ += "null"; }
  // REQUIRES: `json` is one complete JSON value.
  void raw(std::string_view json) { value_begin(); out_ += json; }

 private:
  // A comma is due before anything that follows a completed value or member;
  // '{', '[' and "key": are never followed by one.
  void separate() {
    if (need_comma_) out_ += ',';
  }
  void value_begin() {
    separate();
    need_comma_ = true;
  }
  void open(char c) {
    separate();
    out_ += c;
    need_comma_ = false;
  }
  void close(char c) {
    out_ += c;
    need_comma_ = true;
  }

  std::string& out_;
  bool need_comma_ = false;
};

// The text `write` puts through a writer, as a string of its own.
template <class Write>
std::string json_text(Write&& write) {
  std::string out;
  JsonWriter w(out);
  write(w);
  return out;
}

}  // namespace qel::text
