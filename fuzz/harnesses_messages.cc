// libFuzzer harness body of the message decoders (trading server, data ring,
// calculator, storage master): one table entry per decoder, chosen by the
// first input byte.
#include <simdjson.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "harnesses.h"
#include "qel/error.h"
#include "qel/msg/account.h"
#include "qel/msg/backtest.h"
#include "qel/msg/calculator.h"
#include "qel/msg/calculator_lifecycle.h"
#include "qel/msg/data_ring.h"
#include "qel/msg/fetch.h"
#include "qel/msg/history.h"
#include "qel/msg/layout.h"
#include "qel/msg/row_blob.h"
#include "qel/msg/session_push.h"
#include "qel/msg/trading_server.h"
#include "qel/msg/worker_routing.h"
#include "qel/rows/index_serializer.h"
#include "qel/rows/schema.h"
#include "qel/wire/codec.h"

namespace qel::fuzz {
namespace {

using rows::StructValue;
using wire::Bytes;

[[noreturn]] void fail(const char* what, const char* detail, int line) {
  std::fprintf(stderr, "fuzz invariant violated at harnesses_messages.cc:%d: %s%s%s\n", line, what,
               detail ? ": " : "", detail ? detail : "");
  std::abort();
}

#define FUZZ_CHECK(cond)                          \
  do {                                            \
    if (!(cond)) fail(#cond, nullptr, __LINE__);  \
  } while (0)

// Stands for "no exception is allowed".
struct Nothing {};

// Runs fn; true when it threw an Allowed. Any other exception is a finding.
#define THROWS(Allowed, ...) throws<Allowed>([&] { __VA_ARGS__; }, #__VA_ARGS__, __LINE__)

template <class Allowed, class Fn>
bool throws(Fn&& fn, const char* what, int line) {
  try {
    fn();
    return false;
  } catch (const Allowed&) {
    return true;
  } catch (const std::exception& e) {
    fail(what, e.what(), line);
  } catch (...) {
    fail(what, "an exception of no standard type", line);
  }
}

std::string str(Bytes b) { return std::string(reinterpret_cast<const char*>(b.data()), b.size()); }

template <class V>
std::string wire_of(const V& v) {
  wire::Writer w(msg::Wire<V>::size(v));
  msg::Wire<V>::write(w, v);
  return std::move(w).take();
}

// ---- strict decoders ----------------------------------------------------------

// Every wire field of `v` away from its default, so that a decode which
// changes a field on failure shows.
template <class V>
void fill(V& v) {
  if constexpr (msg::Record<V>) {
    std::apply([&](const auto&... f) { (fill(v.*std::remove_cvref_t<decltype(f)>::member), ...); }, V::kFields);
  } else if constexpr (std::is_same_v<V, bool>) {
    v = true;
  } else if constexpr (std::is_arithmetic_v<V>) {
    v = static_cast<V>(-1);
  } else if constexpr (std::is_same_v<V, std::string>) {
    v = "\xc3\xa9";
  } else if constexpr (std::is_same_v<V, msg::Blob>) {
    v.data = "\xff";
  } else if constexpr (std::is_same_v<V, rows::RowSet>) {
    v.blob = "\xff";
  } else if constexpr (std::is_same_v<V, msg::ClosePrice>) {
    v = {msg::ClosePrice::kProfitLossStop, -1, -1};
  } else if constexpr (requires { V::kHi; }) {
    v.value = V::kHi;
  } else if constexpr (requires { typename V::key_type; }) {
    fill(v["\xc3\xa9"]);
  } else if constexpr (std::is_same_v<V, msg::LittleEndianI32>) {
    v.value = -2;
  } else if constexpr (std::is_same_v<V, msg::EmptyList>) {
  } else if constexpr (requires { v.items; }) {
    v.items.assign(1, 7);
  } else if constexpr (requires { v.emplace(); }) {
    fill(v.emplace());
  } else {
    fill(v.emplace_back());
  }
}

// Whether every value of V re-encodes to the bytes it was read from: a bool
// reads any non-zero byte as true and writes it back as 1; a map keeps the
// later of two equal keys and writes its keys in order.
template <class V>
constexpr bool exact_wire() {
  if constexpr (msg::Record<V>) {
    return std::apply(
        [](const auto&... f) { return (exact_wire<typename std::remove_cvref_t<decltype(f)>::Value>() && ...); },
        V::kFields);
  } else if constexpr (std::is_same_v<V, bool> || requires { typename V::key_type; }) {
    return false;
  } else if constexpr (requires { typename V::value_type; } && !std::is_same_v<V, std::string>) {
    return exact_wire<typename V::value_type>();
  } else {
    return true;
  }
}

// Whether V re-encodes to as many bytes as it was read from: all but maps.
template <class V>
constexpr bool same_size() {
  if constexpr (msg::Record<V>) {
    return std::apply(
        [](const auto&... f) { return (same_size<typename std::remove_cvref_t<decltype(f)>::Value>() && ...); },
        V::kFields);
  } else if constexpr (requires { typename V::key_type; }) {
    return false;
  } else if constexpr (requires { typename V::value_type; } && !std::is_same_v<V, std::string>) {
    return same_size<typename V::value_type>();
  } else {
    return true;
  }
}

// A strict decode either replaces every wire field or throws a codec error
// and changes nothing; what it decodes re-encodes to the bytes it consumed
// (the bytes after them are ignored), or where that cannot hold to a body that
// decodes to itself. Returns whether the body decoded, into `target`.
template <msg::Record T>
bool strict_into(T& target, Bytes body) {
  fill(target);
  const std::string before = msg::encode(target);
  if (THROWS(wire::CodecError, msg::decode(target, body))) {
    FUZZ_CHECK(msg::encode(target) == before);
    return false;
  }
  wire::Reader r(body);
  (void)msg::read_record<T>(r);
  const std::string again = msg::encode(target);
  if constexpr (exact_wire<T>()) {
    FUZZ_CHECK(again == str(body.first(r.position())));
  } else {
    FUZZ_CHECK(same_size<T>() ? again.size() == r.position() : again.size() <= r.position());
    T back;
    msg::decode(back, wire::as_bytes(again));
    FUZZ_CHECK(msg::encode(back) == again);
  }
  return true;
}

template <msg::Record T>
void strict(Bytes body) {
  T target;
  (void)strict_into(target, body);
}

void keepalive(Bytes body) {
  msg::Keepalive k;
  k.utc_now.value = -2;
  if (THROWS(Error, msg::decode_keepalive(k, body))) {
    FUZZ_CHECK(body.size() < 4 && k.utc_now.value == -2);
    return;
  }
  FUZZ_CHECK(msg::encode(k) == str(body.first(4)));
}

// ---- lenient decoders and the rows behind them ------------------------------

rows::IndexMetaField column(std::uint32_t pos, std::uint8_t code, std::uint32_t precision) {
  rows::IndexMetaField f;
  f.pos = pos;
  f.name = "c";
  f.name += std::to_string(pos);
  f.field_type.code = code;
  f.precision = precision;
  return f;
}

// (0, 17): int, double at 2 places, string, one Other column; (1, 5): the
// eight kinds in code order. Names that need escaping in JSON.
rows::CatalogSnapshot fixed_catalog() {
  static const rows::CatalogSnapshot kCatalog = [] {
    rows::IndexSchemaCatalog c;
    rows::IndexMeta bars;
    bars.name = "bars \"1m\"";
    bars.id = 17;
    bars.revision = 3;
    for (auto [code, precision] : {std::pair{1, 0}, {2, 2}, {3, 0}, {9, 0}}) {
      bars.fields.push_back(column(static_cast<std::uint32_t>(bars.fields.size()), code, precision));
    }
    rows::IndexMeta kinds;
    kinds.name = "kinds\n\xc3\xa9";
    kinds.namespace_ = 1;
    kinds.id = 5;
    kinds.revision = 1;
    for (auto [code, precision] : {std::pair{1, 0}, {2, 4}, {3, 0}, {4, 0}, {5, 2}, {6, 0}, {7, 0}, {8, 0}}) {
      kinds.fields.push_back(column(static_cast<std::uint32_t>(kinds.fields.size()), code, precision));
    }
    c.metas.emplace(rows::SchemaKey{0, 17}, std::move(bars));
    c.metas.emplace(rows::SchemaKey{1, 5}, std::move(kinds));
    return std::make_shared<const rows::IndexSchemaCatalog>(std::move(c));
  }();
  return kCatalog;
}

// Decoded rows belong to a known meta and hold its column types or nothing.
void check_shape(const rows::IndexSchemaCatalog& catalog, const std::vector<StructValue>& rows) {
  for (const StructValue& row : rows) {
    const rows::IndexMeta* meta = catalog.lookup(row.namespace_, static_cast<std::uint32_t>(row.meta_id));
    FUZZ_CHECK(meta && row.size() == meta->fields.size());
    for (std::size_t f = 0; f < row.size(); ++f) {
      const rows::FieldKind kind = meta->fields[f].field_type;
      const rows::DataType t = rows::type_of(row.fields[f]);
      FUZZ_CHECK(t == rows::DataType::Empty || (!kind.is_other() && t == kind.data_type()));
    }
  }
}

bool parses(std::string_view json) {
  simdjson::dom::parser parser;
  simdjson::dom::element e;
  return parser.parse(json.data(), json.size()).get(e) == simdjson::SUCCESS;
}

// Strict, except that up to 3 bytes after the prefix mean no entries; only a
// codec error may escape, and then nothing changed. Revision rows through a
// catalog may fail only with a qel error.
void universe_res(Bytes body) {
  msg::ATUniverseRes res;
  fill(res.base);
  fill(res.revisions);
  const std::string base_before = msg::encode(res.base);
  const std::string revisions_before = wire_of(res.revisions);
  if (THROWS(wire::CodecError, msg::decode(res, body))) {
    FUZZ_CHECK(msg::encode(res.base) == base_before && wire_of(res.revisions) == revisions_before);
    return;
  }
  std::string again = msg::encode(res.base);
  if (body.size() - again.size() >= 4) {
    again += wire_of(res.revisions);
  } else {
    FUZZ_CHECK(res.revisions.empty());
  }
  FUZZ_CHECK(again == str(body.first(again.size())));

  std::vector<std::pair<std::string, std::vector<StructValue>>> got;
  FUZZ_CHECK(!THROWS(Nothing, got = msg::universe_revisions(res)));
  FUZZ_CHECK(got.size() == res.revisions.size());
  for (const auto& [ns, rows] : got) FUZZ_CHECK(rows.empty());

  res.catalog = fixed_catalog();
  if (THROWS(Error, got = msg::universe_revisions(res))) return;
  FUZZ_CHECK(got.size() == res.revisions.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    FUZZ_CHECK(got[i].first == res.revisions[i].namespace_);
    check_shape(*res.catalog, got[i].second);
  }
}

// Never throws; an error reply keeps no namespace or seed.
void universe_seeds_res(Bytes body) {
  msg::ATUniverseSeedsRes res;
  res.catalog = fixed_catalog();
  FUZZ_CHECK(!THROWS(Nothing, msg::decode(res, body)));
  if (res.base.error_code != 0) FUZZ_CHECK(res.namespace_.empty() && res.seed.blob.empty());
  std::vector<StructValue> rows;
  FUZZ_CHECK(!THROWS(Nothing, rows = res.seed.read_or_none(res.catalog)));
  check_shape(*res.catalog, rows);
  res.catalog = nullptr;
  FUZZ_CHECK(!THROWS(Nothing, rows = res.seed.read_or_none(res.catalog)));
  FUZZ_CHECK(rows.empty());
}

// Never throws; a catalog attached before or after the decode yields the
// same rows and JSON, which parses; without one there are neither.
void fetch_sv_res(Bytes body) {
  msg::ATFetchSVRes before, after, none;
  before.catalog = fixed_catalog();
  FUZZ_CHECK(!THROWS(Nothing, msg::decode(before, body)));
  FUZZ_CHECK(!THROWS(Nothing, msg::decode(after, body)));
  FUZZ_CHECK(!THROWS(Nothing, msg::decode(none, body)));
  FUZZ_CHECK(!THROWS(Nothing, msg::attach_catalog(after, fixed_catalog())));
  if (before.base.error_code != 0) {
    FUZZ_CHECK(before.namespace_.empty() && before.fields.empty() && before.rows.blob.empty() && before.rows.decoded.empty());
  }
  FUZZ_CHECK(msg::encode(before.base) == msg::encode(after.base));

  const std::vector<StructValue>* rows = nullptr;
  FUZZ_CHECK(!THROWS(Nothing, rows = &before.rows.held_rows(before.catalog)));
  check_shape(*before.catalog, *rows);
  FUZZ_CHECK(!THROWS(Nothing, rows = &none.rows.held_rows(none.catalog)));
  FUZZ_CHECK(rows->empty());

  std::string json, json_after, json_none;
  FUZZ_CHECK(!THROWS(Nothing, json = msg::fetch_json(before)));
  FUZZ_CHECK(!THROWS(Nothing, json_after = msg::fetch_json(after)));
  FUZZ_CHECK(!THROWS(Nothing, json_none = msg::fetch_json(none)));
  FUZZ_CHECK(json == json_after && after.rows.held_rows(after.catalog).size() == before.rows.decoded.size());
  FUZZ_CHECK(json_none == R"({"data":{}})");
  FUZZ_CHECK(json.starts_with(R"({"data":{)") && parses(json));
  if (before.rows.decoded.empty()) FUZZ_CHECK(json == json_none);
}

// ---- data ring ----------------------------------------------------------------

// Strict, naming the field that did not read ("category: " while the i16 is
// missing, "identify: " after it); a failure changes nothing.
void lanterfold_category(Bytes body) {
  msg::LanterfoldCategory c;
  fill(c);
  const std::string before = msg::encode(c);
  try {
    msg::decode_lanterfold(c, body);
  } catch (const Error& e) {
    FUZZ_CHECK(std::string_view(e.what()).starts_with(body.size() < 2 ? "category: " : "identify: "));
    FUZZ_CHECK(msg::encode(c) == before);
    return;
  }
  const std::string again = msg::encode(c);
  FUZZ_CHECK(again.size() <= body.size() && again == str(body.first(again.size())));
}

// ---- calculator ---------------------------------------------------------------

std::size_t row_count(const msg::Batches& batches) {
  std::size_t n = 0;
  for (const auto& [key, rows] : batches) n += rows.size();
  return n;
}

std::size_t body_rows(const std::string& body) {
  msg::TCDataCommunication m;
  msg::decode_data(m, wire::as_bytes(body), fixed_catalog());
  return row_count(m.batches);
}

// decode_string through the fixed catalog: a failure names its stage and
// changes nothing. Decoded rows sit under their own keys, re-encode behind the
// prefix they were read with, and worker_svm routes every one of them: all to
// worker 1 with balancing off, none while no key has an owner (they wait),
// then each once, the waiting ones included, once every key has one.
void tc_data_decode(Bytes body) {
  msg::TCDataCommunication m;
  fill(m.base);
  m.batches[{0, 17}].emplace_back();
  const std::string before = msg::encode(m.base);
  try {
    msg::decode_data(m, body, fixed_catalog());
  } catch (const Error& e) {
    const std::string_view text = e.what();
    FUZZ_CHECK(text.starts_with("TCDataCommunication blob: ") || text.starts_with("decompress: "));
    FUZZ_CHECK(msg::encode(m.base) == before && row_count(m.batches) == 1 && !m.catalog);
    return;
  }
  FUZZ_CHECK(m.catalog == fixed_catalog());
  for (const auto& [key, rows] : m.batches) {
    FUZZ_CHECK(!rows.empty());
    for (const StructValue& r : rows) FUZZ_CHECK(key == rows::SchemaKey(r.namespace_, static_cast<std::uint32_t>(r.meta_id)));
    check_shape(*m.catalog, rows);
  }
  const std::size_t n = row_count(m.batches);
  std::string again;
  FUZZ_CHECK(!THROWS(Nothing, again = msg::encode_data(m, *m.catalog)));
  const std::string prefix = msg::encode(m.base);
  FUZZ_CHECK(prefix == str(body.first(prefix.size())) && again.starts_with(prefix));
  msg::TCDataCommunication back;
  FUZZ_CHECK(!THROWS(Nothing, msg::decode_data(back, wire::as_bytes(again), m.catalog)));
  FUZZ_CHECK(msg::encode(back.base) == prefix && back.batches.size() == m.batches.size());
  for (auto a = m.batches.begin(), b = back.batches.begin(); a != m.batches.end(); ++a, ++b) {
    FUZZ_CHECK(a->first == b->first && a->second.size() == b->second.size());
  }

  std::map<std::uint32_t, std::string> bodies;
  m.balancer.disable_load_balance = true;
  FUZZ_CHECK(!THROWS(Nothing, bodies = msg::worker_svm(m)));
  FUZZ_CHECK(bodies.size() == static_cast<std::size_t>(n != 0) && (n == 0 || (bodies.begin()->first == 1 && body_rows(bodies[1]) == n)));
  m.balancer.disable_load_balance = false;
  m.balancer.set_key_mask(balance::kMaskCode | balance::kMaskMarket);
  FUZZ_CHECK(!THROWS(Nothing, bodies = msg::worker_svm(m)));
  FUZZ_CHECK(bodies.empty() && m.balancer.pending.size() == n);
  balance::Workers workers;
  for (const auto& [key, rows] : m.batches) {
    for (const StructValue& r : rows) workers[balance::to_key(m.balancer.task_key(r))] = {static_cast<std::uint32_t>(r.stock_code.size() % 3)};
  }
  m.balancer.setup_workers(std::move(workers));
  FUZZ_CHECK(!THROWS(Nothing, bodies = msg::worker_svm(m)));
  std::size_t routed = 0;
  for (const auto& [w, b] : bodies) routed += body_rows(b);
  FUZZ_CHECK(routed == 2 * n && m.balancer.pending.empty());
}

// decode_to_json needs a catalog; with the fixed one it fails exactly when
// decode_string does, naming its stage, and otherwise renders JSON that parses:
// the prefix, then every batch in key order as a group of all its rows, those
// of namespace 0 under "global" and the rest under "private".
void tc_data_json(Bytes body) {
  msg::TCDataCommunication m;
  FUZZ_CHECK(THROWS(Error, (void)msg::decode_to_json(m, body)));
  m.catalog = fixed_catalog();
  msg::TCDataCommunication decoded;
  const bool decodes = !THROWS(Error, msg::decode_data(decoded, body, fixed_catalog()));
  std::string json;
  try {
    json = msg::decode_to_json(m, body);
  } catch (const Error& e) {
    const std::string_view text = e.what();
    FUZZ_CHECK(!decodes && (text.starts_with("decode_to_json blob: ") || text.starts_with("decode_to_json decompress: ")));
    return;
  }
  FUZZ_CHECK(decodes && m.batches.empty());
  simdjson::dom::parser parser;
  simdjson::dom::element doc;
  simdjson::dom::object data;
  FUZZ_CHECK(parser.parse(json.data(), json.size()).get(doc) == simdjson::SUCCESS);
  FUZZ_CHECK(json.starts_with(R"({"runtime":)") && doc["data"].get(data) == simdjson::SUCCESS);
  auto batch = decoded.batches.begin();
  for (auto [name, groups] : data) {
    simdjson::dom::array list;
    FUZZ_CHECK(groups.get(list) == simdjson::SUCCESS);
    for (simdjson::dom::element group : list) {
      std::uint64_t id = 0;
      simdjson::dom::array values;
      FUZZ_CHECK(batch != decoded.batches.end() && name == (batch->first.first == 0 ? "global" : "private"));
      FUZZ_CHECK(group["id"].get(id) == simdjson::SUCCESS && id == batch->first.second);
      FUZZ_CHECK(group["values"].get(values) == simdjson::SUCCESS && values.size() == batch->second.size());
      ++batch;
    }
  }
  FUZZ_CHECK(batch == decoded.batches.end());
}

// ---- accounts -----------------------------------------------------------------

// A body that ends after the base response is a whole reply with an empty
// trailer; any other decodes exactly when the strict decode does, to its
// fields. A failure changes nothing.
void account_add_res(Bytes body) {
  msg::ATAccountAddRes res, full;
  fill(res);
  const std::string before = msg::encode(res);
  const bool full_ok = !THROWS(wire::CodecError, msg::decode(full, body));
  wire::Reader r(body);
  msg::BaseResponse base;
  const bool base_only = msg::try_read(r, base) && r.remaining() == 0;
  if (THROWS(wire::CodecError, msg::decode(res, body))) {
    FUZZ_CHECK(!full_ok && !base_only && msg::encode(res) == before);
    return;
  }
  if (base_only) {
    FUZZ_CHECK(msg::encode(res.base) == str(body) && res.account_uuid.empty() && res.basket_uuid.empty());
    FUZZ_CHECK(res.account_type == 0);
  } else {
    FUZZ_CHECK(full_ok && msg::encode(res) == msg::encode(full));
  }
}

// Never throws: the full reply when the strict decode reads one, the base
// response alone when the body ends after it, else every field at its default.
void manual_trade_res(Bytes body) {
  msg::ATManualTradeRes res, full;
  fill(res);
  FUZZ_CHECK(!THROWS(Nothing, msg::decode(res, body)));
  wire::Reader r(body);
  msg::BaseResponse base;
  const bool has_base = msg::try_read(r, base);
  if (has_base && r.remaining() == 0) {
    FUZZ_CHECK(msg::encode(res.base) == str(body) && res.order_uuid.empty() && !res.is_ok);
  } else if (!THROWS(wire::CodecError, msg::decode(full, body))) {
    FUZZ_CHECK(msg::encode(res) == msg::encode(full));
  } else {
    FUZZ_CHECK(msg::encode(res) == msg::encode(msg::ATManualTradeRes{}));
  }
}

// ---- calculator lifecycle and history -------------------------------------------

// Strict; a decoded body renders as JSON that parses back to its fields, in
// body order, the prefix's inline.
void tc_initialize(Bytes body) {
  msg::TCInitialize m;
  if (!strict_into(m, body)) return;
  const std::string json = msg::initialize_json(m);
  simdjson::dom::parser parser;
  simdjson::dom::object doc;
  FUZZ_CHECK(parser.parse(json.data(), json.size()).get(doc) == simdjson::SUCCESS);
  std::vector<std::string_view> keys;
  for (auto [key, value] : doc) keys.push_back(key);
  FUZZ_CHECK((keys == std::vector<std::string_view>{"runtime", "category", "session_id", "status", "error_code",
                                                     "error_msg", "start_time", "end_time", "granularity", "markets",
                                                     "codes", "parameters"}));
  const auto integer = [&](const char* key) {
    std::int64_t v = 0;
    FUZZ_CHECK(doc[key].get(v) == simdjson::SUCCESS);
    return v;
  };
  const auto text = [](simdjson::dom::element e) {
    std::string_view v;
    FUZZ_CHECK(e.get(v) == simdjson::SUCCESS);
    return std::string(v);
  };
  const auto texts = [&](const char* key) {
    simdjson::dom::array list;
    FUZZ_CHECK(doc[key].get(list) == simdjson::SUCCESS);
    std::vector<std::string> out;
    for (simdjson::dom::element e : list) out.push_back(text(e));
    return out;
  };
  FUZZ_CHECK(integer("runtime") == m.base.runtime && integer("category") == m.base.category);
  FUZZ_CHECK(integer("session_id") == m.base.session_id && integer("status") == m.base.status);
  FUZZ_CHECK(integer("error_code") == m.base.error_code && text(doc["error_msg"]) == m.base.error_msg);
  FUZZ_CHECK(integer("start_time") == m.start_time && integer("end_time") == m.end_time);
  FUZZ_CHECK(integer("granularity") == m.granularity && text(doc["parameters"]) == m.parameters);
  FUZZ_CHECK(texts("markets") == m.markets && texts("codes") == m.codes);
}

std::vector<rows::SchemaKey> keys_of(const std::vector<StructValue>& rows) {
  std::vector<rows::SchemaKey> keys;
  for (const StructValue& r : rows) keys.emplace_back(r.namespace_, static_cast<std::uint32_t>(r.meta_id));
  return keys;
}

// Decoded rows belong to the catalog and compress through it; the blob
// decompresses to as many rows, a group per key in key order.
void check_recompress(const rows::CatalogSnapshot& catalog, const std::vector<StructValue>& rows) {
  check_shape(*catalog, rows);
  std::vector<const StructValue*> refs;
  for (const StructValue& r : rows) refs.push_back(&r);
  rows::RowSet blob;
  FUZZ_CHECK(!THROWS(Nothing, blob = msg::rows_blob(refs, catalog, "compress")));
  std::vector<StructValue> back;
  FUZZ_CHECK(!THROWS(Nothing, back = msg::blob_rows(blob, catalog, "results")));
  std::vector<rows::SchemaKey> keys = keys_of(rows);
  std::stable_sort(keys.begin(), keys.end());
  FUZZ_CHECK(keys_of(back) == keys);
}

// Strict; the rows of a decoded blob need a catalog, and through the fixed one
// either fail naming the stage or re-compress.
void tc_historical_res(Bytes body) {
  msg::TCHistoricalRes m;
  if (!strict_into(m, body)) return;
  try {
    (void)msg::blob_rows(m.rows, nullptr, "results");
    FUZZ_CHECK(!"rows without a catalog");
  } catch (const Error& e) {
    FUZZ_CHECK(std::string_view(e.what()) == "results requires set_compressor first");
  }
  std::vector<StructValue> rows;
  try {
    rows = msg::blob_rows(m.rows, fixed_catalog(), "results");
  } catch (const Error& e) {
    FUZZ_CHECK(std::string_view(e.what()).starts_with("decompress: "));
    return;
  }
  if (m.rows.blob.empty()) FUZZ_CHECK(rows.empty());
  check_recompress(fixed_catalog(), rows);
}

// decode_string through the fixed catalog: a codec error when the strict decode
// fails, a "decompress: " error when only the rows do, and then nothing
// changed; a decoded page holds the strict decode's fields and the catalog,
// and its rows re-compress. Taken twice, the rows come back the same: the
// second time decoded again from the kept blob, which cannot fail.
void history_page(Bytes body) {
  msg::NetResponse res, full;
  fill(res);
  res.rows.decoded.emplace_back();
  const std::string before = msg::encode(res);
  const bool full_ok = strict_into(full, body);
  const auto unchanged = [&] { return msg::encode(res) == before && res.rows.decoded.size() == 1 && !res.rows.catalog; };
  try {
    msg::decode_history_page(res, body, fixed_catalog());
  } catch (const wire::CodecError&) {
    FUZZ_CHECK(!full_ok && unchanged());
    return;
  } catch (const Error& e) {
    FUZZ_CHECK(full_ok && std::string_view(e.what()).starts_with("decompress: ") && unchanged());
    return;
  }
  FUZZ_CHECK(full_ok && msg::encode(res) == msg::encode(full) && res.rows.catalog == fixed_catalog());
  check_recompress(res.rows.catalog, res.rows.decoded);
  const std::vector<rows::SchemaKey> keys = keys_of(res.rows.decoded);
  std::vector<StructValue> taken, again;
  FUZZ_CHECK(!THROWS(Nothing, taken = res.rows.take()));
  FUZZ_CHECK(res.rows.decoded.empty() && !THROWS(Nothing, again = res.rows.take()));
  FUZZ_CHECK(keys_of(taken) == keys && keys_of(again) == keys);
}

// The layout is in harnesses.h.
void arrow_export(Bytes body) {
  if (body.empty()) return;
  const std::uint8_t shift = body[0];
  rows::IndexSchemaCatalog catalog = *fixed_catalog();
  for (auto& [key, meta] : catalog.metas) {
    for (rows::IndexMetaField& f : meta.fields) {
      if (f.field_type.code == 2 || f.field_type.code == 5) f.precision = (f.precision + shift) % 13;
    }
  }
  check_arrow_export(catalog, body.subspan(1), shift & 1 ? catalog.lookup(0, 17) : nullptr);
}

struct Decoder {
  const char* name;
  void (*run)(Bytes body);
};

// The committed seeds select their entry by name: make_message_seeds.py reads
// the names from this table and writes each seed's first byte from them, and
// the corpus test checks every seed named after an entry selects it.
constexpr Decoder kDecoders[] = {
    {"Keepalive", &keepalive},
    {"ATUniverseReq", &strict<msg::ATUniverseReq>},
    {"ATUniverseRes", &universe_res},
    {"ATUniverseSeedsReq", &strict<msg::ATUniverseSeedsReq>},
    {"ATUniverseSeedsRes", &universe_seeds_res},
    {"ATSubscribeReq", &strict<msg::ATSubscribeReq>},
    {"ATUnsubscribeReq", &strict<msg::ATUnsubscribeReq>},
    {"ATFetchByCodeReq", &strict<msg::ATFetchByCodeReq>},
    {"ATFetchByTimeReq", &strict<msg::ATFetchByTimeReq>},
    {"ATFetchSVRes", &fetch_sv_res},
    {"DRPushStartRes", &strict<msg::PushSession>},  // also DRPushStopRes: one layout
    {"DRMarketStatus", &strict<msg::DRMarketStatus>},
    {"LanterfoldCategory", &lanterfold_category},
    {"TCDataCommunication.decode_string", &tc_data_decode},
    {"TCDataCommunication.decode_to_json", &tc_data_json},
    {"ATStartBacktestReq", &strict<msg::ATStartBacktestReq>},
    {"ATStartBacktestRes", &strict<msg::ATStartBacktestRes>},
    {"ATControlBacktestReq", &strict<msg::ATControlBacktestReq>},
    {"ATControlBacktestRes", &strict<msg::ATControlBacktestRes>},  // also ATAccountChangeCapitalRes: one layout
    {"ATAccountAddReq", &strict<msg::ATAccountAddReq>},
    {"ATAccountAddRes", &account_add_res},
    {"ATAccountEditReq", &strict<msg::ATAccountEditReq>},
    {"ATAccountEditRes", &strict<msg::ATAccountEditRes>},
    {"ATAccountChangeCapitalReq", &strict<msg::ATAccountChangeCapitalReq>},
    {"ATManualTradeReq", &strict<msg::ATManualTradeReq>},
    {"ATManualTradeEditReq", &strict<msg::ATManualTradeEditReq>},
    {"ATManualTradeRes", &manual_trade_res},
    {"TCInitialize", &tc_initialize},
    {"TCHistoricalReq", &strict<msg::TCHistoricalReq>},
    {"TCHistoricalRes", &tc_historical_res},
    {"TCMarketStatus", &strict<msg::TCMarketStatus>},
    {"TCComplete", &strict<msg::TCComplete>},
    {"TAMarketStatusNotification", &strict<msg::TAMarketStatusNotification>},
    {"ProgressRes", &strict<msg::ProgressRes>},
    {"LogRes", &strict<msg::LogRes>},
    {"NetBaseRequest", &strict<msg::NetBaseRequest>},
    {"NetBaseResponse", &strict<msg::NetBaseResponse>},
    {"NetRequest", &strict<msg::NetRequest>},
    {"NetResponse", &history_page},
    {"HistoryErrorResponse", &strict<msg::HistoryErrorResponse>},
    {"arrow.export_stream", &arrow_export},
};
static_assert(std::size(kDecoders) <= 256, "one selector byte");

}  // namespace

std::vector<std::string_view> message_decoder_names() {
  std::vector<std::string_view> names;
  for (const Decoder& d : kDecoders) names.push_back(d.name);
  return names;
}

void fuzz_messages(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  kDecoders[data[0] % std::size(kDecoders)].run(Bytes(data + 1, size - 1));
}

}  // namespace qel::fuzz
