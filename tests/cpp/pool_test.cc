// The pool's pure parts: settings from the environment, the back-off schedule, resolving a read by name.
#include <gtest/gtest.h>

#include "error_text.h"

#include <map>
#include <string>

#include "qel/storage/pool.h"
#include "qel/storage/settings.h"

namespace qel::storage {
namespace {

using namespace std::chrono_literals;
using test_support::error_text;

PoolSettings from(const std::map<std::string, std::string>& env) {
  return settings_from([&](const char* name) -> const char* {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  });
}

TEST(PoolSettings, VariablesOverrideTheirSettingOnly) {
  EXPECT_EQ(from({}), PoolSettings{});
  PoolSettings want;
  want.reply = 250ms;
  want.max_frame_bytes = 4096;
  EXPECT_EQ(from({{"PYOSTREL_STORAGE_REPLY_TIMEOUT_MS", "250"}, {"PYOSTREL_STORAGE_MAX_FRAME_BYTES", "4096"}}), want);
  // A ceiling below the first back-off is raised to it rather than inverting the schedule.
  EXPECT_EQ(from({{"PYOSTREL_STORAGE_BACKOFF_MS", "700"}, {"PYOSTREL_STORAGE_BACKOFF_MAX_MS", "10"}}).backoff_max,
            700ms);
}

TEST(PoolSettings, RefusesWhatIsNotAPositiveWholeNumber) {
  for (const char* bad : {"", "0", "-5", "1.5", "12ms", " 12", "99999999999999999999"}) {
    EXPECT_EQ(error_text<Error>([&] { from({{"PYOSTREL_STORAGE_CALL_TIMEOUT_MS", bad}}); }),
              std::string("PYOSTREL_STORAGE_CALL_TIMEOUT_MS: expected a whole number from 1 to 31536000000, got '") +
                  bad + "'")
        << bad;
  }
  EXPECT_NO_THROW(from({{"PYOSTREL_STORAGE_MAX_FRAME_BYTES", "4294967296"}}));
  EXPECT_THROW(from({{"PYOSTREL_STORAGE_MAX_FRAME_BYTES", "4294967297"}}), Error);
}

TEST(PoolBackoff, DoublesUpToTheCeilingAndJittersDownToHalf) {
  PoolSettings s;
  s.backoff = 100ms;
  s.backoff_max = 1000ms;
  EXPECT_EQ(backoff_after(0, s, 1.0), 0ms);
  EXPECT_EQ(backoff_after(1, s, 1.0), 100ms);
  EXPECT_EQ(backoff_after(2, s, 1.0), 200ms);
  EXPECT_EQ(backoff_after(4, s, 1.0), 800ms);
  EXPECT_EQ(backoff_after(5, s, 1.0), 1000ms);
  EXPECT_EQ(backoff_after(4000000000u, s, 1.0), 1000ms);  // no overflow however long the master stays down
  EXPECT_EQ(backoff_after(2, s, 0.5), 100ms);
  EXPECT_EQ(backoff_after(2, s, 0.0), 100ms);  // the jitter is clamped to [0.5, 1]
}

rows::IndexSchemaCatalog catalog() {
  rows::IndexSchemaCatalog c;
  auto add = [&](std::uint16_t ns, std::uint32_t id, const char* name, std::uint32_t revision) {
    rows::IndexMeta m;
    m.name = name;
    m.id = id;
    m.namespace_ = ns;
    m.revision = revision;
    m.fields = {{"close", 0, 2, 0, {2}, 0}, {"volume", 3, 0, 0, {4}, 0}};
    c.metas[{ns, id}] = m;
  };
  add(1, 10, "bar", 1);
  add(1, 11, "bar", 3);
  add(1, 12, "bar", 2);
  add(2, 20, "bar", 9);
  return c;
}

TEST(PoolResolve, PicksTheRevisionAndMapsFieldsToSlots) {
  const auto c = catalog();
  ReadRequest rq;
  rq.ns = 1;
  rq.meta_name = "bar";
  EXPECT_EQ(resolve_read(c, rq).meta_id, 11u);  // the highest revision, not the highest id
  rq.revision = 2;
  EXPECT_EQ(resolve_read(c, rq).meta_id, 12u);
  rq.fields = {"volume", "close"};
  EXPECT_EQ(resolve_read(c, rq).field_ids, (std::vector<std::uint32_t>{3, 0}));
}

TEST(PoolResolve, NamesWhatDoesNotResolve) {
  const auto c = catalog();
  ReadRequest rq;
  rq.ns = 3;
  rq.meta_name = "bar";
  EXPECT_EQ(error_text<Error>([&] { resolve_read(c, rq); }), "no meta named 'bar' in namespace 3");
  rq.ns = 1;
  rq.revision = 7;
  EXPECT_EQ(error_text<Error>([&] { resolve_read(c, rq); }), "no meta named 'bar' of revision 7 in namespace 1");
  rq.revision = 0xFFFFFFFF;
  rq.fields = {"close", "open"};
  EXPECT_EQ(error_text<Error>([&] { resolve_read(c, rq); }), "meta 'bar' has no field 'open'");
  rq.fields = {};
  rq.symbols = {"600000"};
  EXPECT_EQ(error_text<Error>([&] { resolve_read(c, rq); }), "symbols given without markets");
}

}  // namespace
}  // namespace qel::storage
