// UTF-8 validation: the vectorised answer and the located error agree with the
// byte scanner the core used before, over exhaustive, adversarial and random texts.
#include <gtest/gtest.h>

#include "error_text.h"

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include "qel/error.h"
#include "qel/text/utf8.h"

namespace qel::text {
namespace {

// The scanner as it stood before the vectorised path, kept frozen here so that
// neither side can drift: byte-at-a-time, maximal-prefix error lengths.
std::optional<Utf8Error> reference(const std::string& s) {
  const auto b = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  const auto cont = [](std::uint8_t c) { return (c & 0xC0) == 0x80; };
  for (std::size_t i = 0; i < s.size();) {
    const std::uint8_t lead = b(i);
    if (lead < 0x80) { ++i; continue; }
    const int width = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                      : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (width == 0) return Utf8Error{i, 1};
    if (i + 1 >= s.size()) return Utf8Error{i, 0};
    const std::uint8_t c = b(i + 1);
    const bool second_ok = lead == 0xE0 ? c >= 0xA0 && c <= 0xBF : lead == 0xED ? c >= 0x80 && c <= 0x9F
                           : lead == 0xF0 ? c >= 0x90 && c <= 0xBF : lead == 0xF4 ? c >= 0x80 && c <= 0x8F : cont(c);
    if (!second_ok) return Utf8Error{i, 1};
    for (std::size_t k = 2; k < static_cast<std::size_t>(width); ++k) {
      if (i + k >= s.size()) return Utf8Error{i, 0};
      if (!cont(b(i + k))) return Utf8Error{i, k};
    }
    i += width;
  }
  return std::nullopt;
}

std::span<const std::uint8_t> span_of(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string hex(const std::string& s) {
  std::string out;
  for (unsigned char c : s) out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
  return out;
}

// "" when every entry point agrees with the reference on s; else what differed.
std::string disagreement(const std::string& s) {
  const auto want = reference(s);
  const auto got = check_utf8(span_of(s));
  const std::string want_text = want ? want->describe() : "valid";
  const std::string got_text = got ? got->describe() : "valid";
  if (got_text != want_text) return "check_utf8: " + got_text + ", want " + want_text + " for " + hex(s);
  if (is_utf8(span_of(s)) != !want || valid_utf8(span_of(s)) != !want) return "validity differs for " + hex(s);
  return "";
}

// Valid text drawing from every sequence width, boundary code points included.
std::string mixed_text(std::size_t n, std::mt19937& rng) {
  static const std::array<const char*, 10> kChars = {"a",          "\x7F",         "\xC2\x80",     "\xDF\xBF",
                                                     "\xE0\xA0\x80", "\xED\x9F\xBF",   "\xEE\x80\x80",
                                                     "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "\xE4\xB8\xAD"};
  std::string out;
  while (out.size() < n) out += kChars[rng() % kChars.size()];
  return out;
}

// The first disagreement over the candidate alone, then amid valid text: on the
// short path with its ASCII-skip words at every alignment, and on the long path,
// with nothing, ASCII or a multi-byte character after it.
std::string disagreement_in_context(const std::string& candidate, std::uint32_t salt) {
  static std::mt19937 rng(7);
  static const std::string ascii_pad(kVectorMinBytes, 'p');
  static const std::string mixed_pad = mixed_text(2 * kVectorMinBytes, rng);
  const std::size_t shift = salt % 16;
  const std::array<std::string, 5> texts = {
      candidate, ascii_pad.substr(0, shift) + candidate + "123456789",
      ascii_pad.substr(0, 57 + shift) + candidate + "\xC3\xA9",
      mixed_pad.substr(0, kVectorMinBytes - 6 + shift) + candidate,
      ascii_pad.substr(0, kVectorMinBytes - 6 + shift) + candidate + "a"};
  for (const auto& t : texts) {
    if (auto d = disagreement(t); !d.empty()) return d;
  }
  return "";
}

TEST(Utf8Differential, EveryOneAndTwoByteText) {
  for (int a = 0; a < 256; ++a) {
    ASSERT_EQ(disagreement_in_context(std::string(1, static_cast<char>(a)), a), "");
    for (int b = 0; b < 256; ++b) {
      ASSERT_EQ(disagreement_in_context({static_cast<char>(a), static_cast<char>(b)}, a + b), "");
    }
  }
}

TEST(Utf8Differential, ThreeAndFourByteTextsOverBoundaryBytes) {
  // Each edge of the lead and second-byte ranges (overlongs, surrogates, > U+10FFFF).
  const std::string edges("\x00\x7F\x80\x8F\x90\x9F\xA0\xBF\xC0\xC1\xC2\xDF"
                          "\xE0\xE1\xEC\xED\xEE\xEF\xF0\xF1\xF3\xF4\xF5\xFF", 24);
  // A fourth byte counts only as continuation or not.
  const std::string last_edges("\x7F\x80\xBF\xC0", 4);
  std::uint32_t salt = 0;
  for (char a : edges) {
    for (char b : edges) {
      for (char c : edges) {
        ASSERT_EQ(disagreement_in_context({a, b, c}, ++salt), "");
        for (char d : last_edges) ASSERT_EQ(disagreement_in_context({a, b, c, d}, ++salt), "");
      }
    }
  }
}

TEST(Utf8Differential, EveryTruncationAndEveryBadByteOffset) {
  std::mt19937 rng(11);
  // A long text, and a short one whose ASCII head the short path skips.
  for (const std::string& text : {mixed_text(3 * kVectorMinBytes, rng), std::string(100, 'h') + mixed_text(60, rng)}) {
    for (std::size_t k = 0; k <= text.size(); ++k) ASSERT_EQ(disagreement(text.substr(0, k)), "");
    for (std::size_t at = 0; at < text.size(); ++at) {
      for (char bad : std::string("\x80\xBF\xC0\xC1\xE0\xED\xF4\xF5\xFF" "a", 10)) {
        std::string t = text;
        t[at] = bad;
        ASSERT_EQ(disagreement(t), "");
      }
    }
  }
}

TEST(Utf8Differential, RandomTextsWithSprinkledBytes) {
  std::mt19937 rng(3);
  for (int round = 0; round < 20000; ++round) {
    std::string t = mixed_text(rng() % (2 * kVectorMinBytes), rng);
    for (unsigned k = rng() % 3; k > 0 && !t.empty(); --k) t[rng() % t.size()] = static_cast<char>(rng());
    ASSERT_EQ(disagreement(t), "");
  }
}

TEST(Utf8String, ThrowsTheLocatedErrorWithItsPrefix) {
  const std::string long_bad = std::string(2 * kVectorMinBytes, 'a') + "\xE4\xB8" "a";
  EXPECT_EQ(test_support::error_text<Error>([&] { utf8_string(span_of(long_bad)); }),
            "invalid utf-8: invalid utf-8 sequence of 2 bytes from index " + std::to_string(2 * kVectorMinBytes));
  const std::string long_ok = std::string(2 * kVectorMinBytes, 'a') + "\xF0\x9F\x98\x80";
  EXPECT_EQ(utf8_string(span_of(long_ok)), long_ok);
}

}  // namespace
}  // namespace qel::text
