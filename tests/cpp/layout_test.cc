// Message layout kinds: ranged integers, string-keyed maps, the non-throwing
// read, prefix access lists, the lenient decoders' policy and the record JSON.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "qel/msg/account.h"
#include "qel/msg/envelope.h"
#include "qel/msg/layout.h"
#include "qel/msg/record_json.h"

namespace qel::msg {
namespace {

using Byte = std::uint8_t;

wire::Bytes view(const std::vector<Byte>& v) { return {v.data(), v.size()}; }

// A prefix access list must name every prefix field, or be a preset.
struct Probe {
  BaseResponse base;
  static constexpr auto kFields = std::tuple{Embed<&Probe::base>{kAllGet}};
};
using ProbeEmbed = Embed<&Probe::base>;
static_assert(std::is_constructible_v<ProbeEmbed, const Access (&)[4]>);
static_assert(!std::is_constructible_v<ProbeEmbed, const Access (&)[1]>);
static_assert(!std::is_constructible_v<ProbeEmbed, const Access (&)[5]>);
static_assert(std::get<0>(Probe::kFields).access[3] == kGet);

TEST(Ranged, DecodingRefusesAValueOutsideItsRange) {
  using Operation = Ranged<std::uint8_t, 1, 10>;
  for (Byte b : {Byte{0}, Byte{11}, Byte{255}}) {
    const std::vector<Byte> body{b};
    Reader r(view(body));
    try {
      (void)Wire<Operation>::read(r);
      FAIL() << int{b};
    } catch (const wire::CodecError& e) {
      EXPECT_EQ(e.kind(), wire::CodecError::Kind::unknown_enum);
      EXPECT_EQ(e.value(), b);
    }
  }
  const std::vector<Byte> ten{10};
  Reader r(view(ten));
  EXPECT_EQ(Wire<Operation>::read(r).value, 10);
  EXPECT_EQ(Operation{}.value, 1);  // the lowest accepted value, never an invalid default
  EXPECT_EQ(range_refusal("-1", 1, 10), "-1 outside the accepted range 1..10");
}

TEST(StringMap, EntriesGoInKeyOrderAndARepeatedKeyKeepsItsLaterValue) {
  using Map = std::map<std::string, std::int32_t>;
  const Map m{{"b", 2}, {"a", 1}};
  Writer w;
  Wire<Map>::write(w, m);
  EXPECT_EQ(w.size(), Wire<Map>::size(m));
  const std::string expected("\0\0\0\2\0\0\0\1a\0\0\0\1\0\0\0\1b\0\0\0\2", 22);
  EXPECT_EQ(w.buffer(), expected);

  const std::string repeated("\0\0\0\2\0\0\0\1a\0\0\0\1\0\0\0\1a\0\0\0\7", 22);
  Reader r(wire::as_bytes(repeated));
  EXPECT_EQ(Wire<Map>::read(r), (Map{{"a", 7}}));
}

TEST(TryRead, AFailedReadLeavesReaderAndTargetAsTheyWere) {
  const std::vector<Byte> body{0, 0, 0, 5, 'a', 'b'};  // a string cut short
  Reader r(view(body));
  std::string out = "kept";
  EXPECT_FALSE(try_read(r, out));
  EXPECT_EQ(out, "kept");
  EXPECT_EQ(r.position(), 0u);
  std::int32_t n = 0;
  EXPECT_TRUE(try_read(r, n));
  EXPECT_EQ(n, 5);
  EXPECT_EQ(r.position(), 4u);

  const std::vector<Byte> bad_text{0, 0, 0, 1, 0xFF};
  Reader t(view(bad_text));
  EXPECT_FALSE(try_read(t, out));
  EXPECT_EQ(t.position(), 0u);
}

// A reply whose trailer (a, b) follows the base response, read under the policy L.
template <Lenient L>
struct Trailing {
  BaseResponse base;
  std::string a;
  std::int32_t b = 0;
  static constexpr auto kFields = std::tuple{Embed<&Trailing::base>{kAllGet}, Field<&Trailing::a>{"a", kGet},
                                             Field<&Trailing::b>{"b", kGet}};
  static constexpr Lenient kLenient = L;
};

template <Lenient L>
std::string outcome(std::int32_t error_code, std::size_t cut) {
  Trailing<L> t;
  t.base.seq = 9, t.a = "old", t.b = 5;
  Trailing<L> sent;
  sent.base.seq = 1, sent.base.error_code = error_code, sent.a = "xy", sent.b = 7;
  std::string body = encode(sent);
  body.resize(body.size() - cut);
  try {
    decode(t, wire::as_bytes(body));
  } catch (const wire::CodecError&) {
    return "raised, " + std::to_string(t.base.seq) + " " + t.a + " " + std::to_string(t.b);
  }
  return std::to_string(t.base.seq) + " " + t.a + " " + std::to_string(t.b);
}

TEST(Lenient, EachPolicyTakesAShortBodyAsDeclared) {
  constexpr Lenient kStrict{.trailer = 1};
  constexpr Lenient kClear{.trailer = 1, .present_from = 4, .on_failure = Lenient::kClear};
  constexpr Lenient kKeep{.trailer = 1, .on_failure = Lenient::kKeep, .reset_trailer = true, .trailer_on_success = true};
  constexpr Lenient kRead{.trailer = 1, .on_failure = Lenient::kKeepRead, .trailer_on_success = true};
  // cut: bytes left off the end of base + "xy" (4 + 2 bytes) + b (4 bytes).
  const std::vector<std::pair<std::string, std::string>> cases{
      {outcome<kStrict>(0, 0), "1 xy 7"},
      {outcome<kStrict>(0, 10), "1  0"},  // no trailer: its defaults
      {outcome<kStrict>(0, 1), "raised, 9 old 5"},
      {outcome<kClear>(0, 7), "1  0"},  // 3 bytes after the base: below present_from, so no trailer
      {outcome<kClear>(0, 6), "0  0"},  // 4 bytes: a trailer that does not decode clears everything
      {outcome<kClear>(0, 12), "0  0"},
      {outcome<kKeep>(0, 1), "9  0"},  // the trailer was cleared first, the base kept
      {outcome<kKeep>(3, 0), "1  0"},  // an error reply keeps its base response only
      {outcome<kKeep>(0, 0), "1 xy 7"},
      {outcome<kRead>(0, 1), "1  0"},   // the base as read, the trailer that failed cleared
      {outcome<kRead>(0, 23), "0  0"},  // 3 bytes: not even seq, and the earlier fields cleared
  };
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
}

TEST(ClosePrice, TagThenTwoDoublesUnlessNone) {
  for (const ClosePrice& v : {ClosePrice{}, ClosePrice{ClosePrice::kCancelRange, 1.5, 2.5},
                              ClosePrice{ClosePrice::kProfitLossStop, -1.0, 3.0}}) {
    Writer w;
    Wire<ClosePrice>::write(w, v);
    EXPECT_EQ(w.size(), Wire<ClosePrice>::size(v));
    Reader r(wire::as_bytes(w.buffer()));
    EXPECT_EQ(Wire<ClosePrice>::read(r), v);
  }
  const std::vector<Byte> unknown{3};
  Reader r(view(unknown));
  EXPECT_THROW((void)Wire<ClosePrice>::read(r), wire::CodecError);
}

struct Nested {
  std::vector<std::string> names;
  double px = 0;
  static constexpr auto kFields = std::tuple{Field<&Nested::names>{"names"}, Field<&Nested::px>{"px"}};
};
struct Outer {
  BaseRequest base;
  bool on = false;
  std::uint64_t big = 0;
  Nested nested;
  static constexpr auto kFields = std::tuple{
      Embed<&Outer::base>{},
      Field<&Outer::on>{"on"},
      Field<&Outer::big>{"big"},
      Field<&Outer::nested>{"nested"},
  };
};

TEST(RecordJson, PrefixInlineNumbersTextsListsAndRecords) {
  Outer o;
  o.base = {-3, "t\"\n\xc3\xa9"};
  o.on = true;
  o.big = 18446744073709551615u;
  o.nested = {{"a", "b"}, 0.1};
  EXPECT_EQ(record_json(o),
            "{\"seq\":-3,\"token\":\"t\\\"\\n\xc3\xa9\",\"on\":true,\"big\":18446744073709551615,"
            "\"nested\":{\"names\":[\"a\",\"b\"],\"px\":0.1}}");
}

}  // namespace
}  // namespace qel::msg
