// JSON writer: escaping, number forms, comma placement, and that the output parses back.
#include <gtest/gtest.h>

#include <simdjson.h>

#include <bit>
#include <charconv>
#include <iterator>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "qel/text/json_writer.h"

namespace qel::text {
namespace {

std::string json_string(std::string_view s) {
  std::string out;
  append_json_string(out, s);
  return out;
}

std::string json_double(double v) {
  std::string out;
  append_json_double(out, v);
  return out;
}

// The string value of a JSON text, through an independent parser.
std::string parse_string(const std::string& json) {
  simdjson::dom::parser parser;
  std::string_view v;
  const auto err = parser.parse(json).get_string().get(v);
  EXPECT_EQ(err, simdjson::SUCCESS) << json;
  return std::string(v);
}

double parse_double(const std::string& json) {
  simdjson::dom::parser parser;
  double v = 0;
  const auto err = parser.parse(json).get_double().get(v);
  EXPECT_EQ(err, simdjson::SUCCESS) << json;
  return v;
}

class JsonStringEscape : public ::testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(JsonStringEscape, WritesAndParsesBack) {
  const auto& [in, expected] = GetParam();
  const std::string out = json_string(in);
  EXPECT_EQ(out, expected);
  EXPECT_EQ(parse_string(out), in);
}

INSTANTIATE_TEST_SUITE_P(
    JsonString, JsonStringEscape,
    ::testing::Values(
        std::make_tuple(std::string(""), std::string(R"("")")),
        std::make_tuple(std::string("plain"), std::string(R"("plain")")),
        std::make_tuple(std::string("a\"b\\c"), std::string(R"("a\"b\\c")")),
        std::make_tuple(std::string("\n\t\r\b\f"), std::string(R"("\n\t\r\b\f")")),
        std::make_tuple(std::string("\x01\x1f x", 4), std::string(R"("\u0001\u001f x")")),
        std::make_tuple(std::string("\0", 1), std::string(R"("\u0000")")),
        // DEL and '/' need no escape.
        std::make_tuple(std::string("\x7f/"), std::string("\"\x7f/\"")),
        // Non-ASCII is copied through.
        std::make_tuple(std::string("\xE6\xB2\xAA\xF0\x9F\x98\x80"),
                        std::string("\"\xE6\xB2\xAA\xF0\x9F\x98\x80\"")),
        // An escape at each position of an eight-byte block and past it.
        std::make_tuple(std::string("0123456\"89abcdef\n"),
                        std::string(R"("0123456\"89abcdef\n")")),
        std::make_tuple(std::string("\"1234567\\abcdefgh"),
                        std::string(R"("\"1234567\\abcdefgh")"))));

TEST(JsonString, AppendsToWhatIsThere) {
  std::string out = "x";
  append_json_string(out, "y");
  EXPECT_EQ(out, "x\"y\"");
}

TEST(JsonString, RandomTextsParseBack) {
  // Code points drawn from every UTF-8 width, controls and quotes included.
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<std::uint32_t> pick(0, 0x10FFFF);
  for (int round = 0; round < 2000; ++round) {
    std::string s;
    const int len = static_cast<int>(rng() % 40);
    for (int k = 0; k < len; ++k) {
      std::uint32_t cp = (rng() % 4 == 0) ? pick(rng) : static_cast<std::uint32_t>(rng() % 0x80);
      if (cp >= 0xD800 && cp <= 0xDFFF) cp = '\\';
      if (cp < 0x80) {
        s += static_cast<char>(cp);
      } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
      } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
      } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
      }
    }
    ASSERT_EQ(parse_string(json_string(s)), s);
  }
}

class JsonDoubleForm : public ::testing::TestWithParam<std::tuple<double, std::string>> {};

TEST_P(JsonDoubleForm, Text) {
  const auto& [v, expected] = GetParam();
  EXPECT_EQ(json_double(v), expected);
}

INSTANTIATE_TEST_SUITE_P(
    JsonDouble, JsonDoubleForm,
    ::testing::Values(std::make_tuple(0.0, "0.0"), std::make_tuple(-0.0, "-0.0"),
                      std::make_tuple(1.0, "1.0"), std::make_tuple(-3.0, "-3.0"),
                      std::make_tuple(100.0, "100.0"), std::make_tuple(0.1, "0.1"),
                      std::make_tuple(2.5, "2.5"), std::make_tuple(1e300, "1e+300"),
                      std::make_tuple(1e-7, "1e-07"), std::make_tuple(1e21, "1e+21"),
                      // Whichever of the fixed and exponent forms is shorter; fixed on a tie.
                      std::make_tuple(100000.0, "1e+05"), std::make_tuple(1200000.0, "1200000.0"),
                      std::make_tuple(0.0001, "1e-04"), std::make_tuple(0.00012, "0.00012"),
                      std::make_tuple(-1234.5, "-1234.5"), std::make_tuple(0.001, "0.001"),
                      // to_chars picks the fixed form when it is no longer than the exponent form.
                      std::make_tuple(123456789012345680.0, "123456789012345680.0"),
                      std::make_tuple(std::numeric_limits<double>::quiet_NaN(), "null"),
                      std::make_tuple(std::numeric_limits<double>::infinity(), "null"),
                      std::make_tuple(-std::numeric_limits<double>::infinity(), "null")));

TEST(JsonDouble, RandomBitPatternsReadBackExactly) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 20000; ++round) {
    const double v = std::bit_cast<double>(rng());
    const std::string text = json_double(v);
    if (!std::isfinite(v)) {
      ASSERT_EQ(text, "null");
      continue;
    }
    ASSERT_EQ(std::bit_cast<std::uint64_t>(parse_double(text)), std::bit_cast<std::uint64_t>(v))
        << text;
  }
  for (double v : {std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
                   std::numeric_limits<double>::max(), -0.0, 9007199254740993.0}) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(parse_double(json_double(v))),
              std::bit_cast<std::uint64_t>(v));
  }
}

// Integers are written in blocks of eight digits: every length and every
// block boundary against to_chars.
TEST(JsonInt, EveryLengthMatchesToChars) {
  std::vector<std::uint64_t> values{0, 1, 9, std::numeric_limits<std::uint64_t>::max()};
  for (std::uint64_t p = 1; p <= 10'000'000'000'000'000'000ULL; p *= 10) {
    for (std::uint64_t v : {p - 1, p, p + 1, p * 2 - 1, p + p / 2}) values.push_back(v);
    if (p == 10'000'000'000'000'000'000ULL) break;
  }
  std::mt19937_64 rng(5);
  for (int i = 0; i < 100000; ++i) values.push_back(rng() >> (rng() % 64));
  for (std::uint64_t v : values) {
    char ref[32];
    char buf[kJsonNumberRoom];
    ASSERT_EQ(std::string(buf, write_json_uint(buf, v)), std::string(ref, std::to_chars(ref, ref + 32, v).ptr));
    const auto s = static_cast<std::int64_t>(v);
    ASSERT_EQ(std::string(buf, write_json_int(buf, s)), std::string(ref, std::to_chars(ref, ref + 32, s).ptr));
  }
}

TEST(JsonInt, Extremes) {
  std::string out;
  append_json_int(out, std::numeric_limits<std::int64_t>::min());
  out += ' ';
  append_json_uint(out, std::numeric_limits<std::uint64_t>::max());
  out += ' ';
  append_json_int(out, 0);
  out += ' ';
  append_json_bool(out, true);
  out += ' ';
  append_json_bool(out, false);
  EXPECT_EQ(out, "-9223372036854775808 18446744073709551615 0 true false");
}

TEST(JsonWriter, CommasAcrossNesting) {
  std::string out;
  JsonWriter w(out);
  w.begin_object();
  w.key("a");
  w.begin_array();
  w.number_int(1);
  w.begin_array();
  w.end_array();
  w.begin_object();
  w.end_object();
  w.number_double(2.0);
  w.end_array();
  w.key("b\n");
  w.begin_object();
  w.key("c");
  w.null();
  w.key("d");
  w.boolean(false);
  w.end_object();
  w.key("e");
  w.string("x");
  w.key("f");
  w.raw("[1,2]");
  w.key("g");
  w.number_uint(7);
  w.end_object();
  EXPECT_EQ(out, R"({"a":[1,[],{},2.0],"b\n":{"c":null,"d":false},"e":"x","f":[1,2],"g":7})");

  simdjson::dom::parser parser;
  simdjson::dom::element doc;
  ASSERT_EQ(parser.parse(out).get(doc), simdjson::SUCCESS);
  EXPECT_EQ(doc["b\n"]["d"].get_bool().value(), false);
}

TEST(JsonWriter, TopLevelArrayOfValues) {
  std::string out;
  JsonWriter w(out);
  w.begin_array();
  w.string("");
  w.number_double(std::nan(""));
  w.number_int(-1);
  w.end_array();
  EXPECT_EQ(out, R"(["",null,-1])");
}

}  // namespace
}  // namespace qel::text
