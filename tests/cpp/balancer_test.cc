// Load balancer internals: the owner index against the workers map it indexes,
// key order and hash, copies of a balancer, and worker_svm's two phases.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "qel/balance/balancer.h"
#include "qel/msg/calculator.h"
#include "qel/msg/worker_routing.h"

namespace qel::balance {
namespace {

using rows::StructValue;

StructValueKey make_key(std::uint16_t ns, std::uint32_t meta, std::string market, std::string code,
                        std::uint32_t gran) {
  return {ns, meta, std::move(market), std::move(code), gran};
}

auto as_tuple(const StructValueKey& k) { return std::tie(k.ns, k.meta_id, k.market, k.code, k.granularity); }

// Keys that collide on most fields, so that probes run through neighbours.
Workers random_workers(std::mt19937& rng, std::size_t n) {
  Workers out;
  std::uniform_int_distribution<int> small(0, 3), worker(0, 40);
  while (out.size() < n) {
    WorkerSet set;
    for (int i = small(rng); i > 0; --i) set.insert(static_cast<std::uint32_t>(worker(rng) * 1000));
    out[make_key(static_cast<std::uint16_t>(small(rng)), static_cast<std::uint32_t>(small(rng)),
                 std::string(static_cast<std::size_t>(small(rng)), 'm'), std::to_string(rng() % 5000),
                 static_cast<std::uint32_t>(small(rng)))] = set;
  }
  return out;
}

TEST(OwnerIndex, FindsEveryKeyWithItsWorkersAsGroups) {
  std::mt19937 rng(7);
  const Workers workers = random_workers(rng, 3000);
  OwnerIndex index;
  index.rebuild(workers);
  std::vector<std::uint32_t> numbers(index.workers().begin(), index.workers().end());
  std::set<std::uint32_t> all;
  for (const auto& [key, set] : workers) all.insert(set.begin(), set.end());
  ASSERT_EQ(numbers, std::vector<std::uint32_t>(all.begin(), all.end()));
  for (const auto& [key, set] : workers) {
    const std::span<const std::uint32_t>* groups = index.find(key.view());
    ASSERT_NE(groups, nullptr);
    std::vector<std::uint32_t> got;
    for (std::uint32_t g : *groups) got.push_back(numbers.at(g));
    EXPECT_EQ(got, std::vector<std::uint32_t>(set.begin(), set.end()));
    // A key one field off is another key.
    StructValueKey near = key;
    near.granularity += 7;
    EXPECT_EQ(index.find(near.view()) != nullptr, workers.contains(near));
  }
  EXPECT_EQ(OwnerIndex().find(StructValueKey{}.view()), nullptr);
}

TEST(TaskKey, OrderHashAndMaskAgreeWithTheFields) {
  const std::vector<StructValueKey> keys = {
      make_key(0, 0, "", "", 0),       make_key(0, 0, "", "a", 0),     make_key(0, 0, "\xc3\xa9", "", 0),
      make_key(0, 0, "z", "", 0),      make_key(0, 1, "", "", 0),      make_key(0xFFFF, 0, "", "", 0),
      make_key(0, 0, "", "", 0xFFFFFFFFu), make_key(0, 0xFFFFFFFFu, "", "", 0)};
  for (const StructValueKey& a : keys) {
    for (const StructValueKey& b : keys) {
      // Texts compare as unsigned bytes, as std::string does.
      EXPECT_EQ(a <=> b, as_tuple(a) <=> as_tuple(b));
      EXPECT_EQ(KeyLess{}(a, b.view()), as_tuple(a) < as_tuple(b));
      if (a == b) {
        EXPECT_EQ(hash_value(a), hash_value(b.view()));
      }
    }
  }
  const KeyView full{1, 2, "m", "c", 3};
  EXPECT_EQ(masked_view(full, 0), KeyView{});
  EXPECT_EQ(masked_view(full, kMaskNs | kMaskCode), (KeyView{1, 0, "", "c", 0}));
  EXPECT_EQ(masked_view(full, 0x1F), full);
  EXPECT_EQ(key_mask(true, false, false, true, true), kMaskNs | kMaskCode | kMaskGranularity);
}

TEST(Balancer, CopiesAndMovesKeepAWorkingIndex) {
  Balancer original;
  original.setup_workers({{make_key(1, 2, "m", "c", 3), {4}}});
  original.set_key_mask(0x1F);
  StructValue row;
  row.namespace_ = 1, row.meta_id = 2, row.market = "m", row.stock_code = "c", row.granularity = 3;

  Balancer copy = original;
  Balancer assigned;
  assigned = original;
  original.clear_workers();  // the copies' views must not point into it
  EXPECT_FALSE(original.owned(row));
  EXPECT_TRUE(copy.owned(row));
  EXPECT_TRUE(assigned.owned(row));
  Balancer moved = std::move(copy);
  EXPECT_TRUE(moved.owned(row));
  ASSERT_EQ(moved.index().workers().size(), 1u);
  EXPECT_EQ(moved.index().workers()[0], 4u);
}

std::shared_ptr<const rows::IndexSchemaCatalog> one_int_column() {
  rows::IndexSchemaCatalog cat;
  cat.metas[{0, 1}].fields.push_back({"n", 0, 0, 0, {1}, 0});
  return std::make_shared<const rows::IndexSchemaCatalog>(std::move(cat));
}

StructValue int_row(std::string code, std::int32_t n) {
  StructValue r;
  r.meta_id = 1;
  r.stock_code = std::move(code);
  r.fields.emplace_back(n);
  return r;
}

std::vector<std::string> codes(const std::vector<StructValue>& rows) {
  std::vector<std::string> out;
  for (const StructValue& r : rows) out.push_back(r.stock_code + std::to_string(r.fields[0].view<rows::DataType::Int>()));
  return out;
}

TEST(WorkerSvm, PrepareChangesNothingAndCommitKeepsTheOrder) {
  msg::TCDataCommunication m;
  m.catalog = one_int_column();
  m.balancer.set_key_mask(kMaskCode);
  m.balancer.setup_workers({{make_key(0xFFFF, 0, "", "a", 0), {0}}});
  m.balancer.pending = {int_row("p", 1), int_row("a", 2), int_row("q", 3)};
  m.batches[{0, 1}] = {int_row("s", 4), int_row("a", 5), int_row("t", 6)};

  msg::WorkerSvm prepared = msg::prepare_worker_svm(m);
  EXPECT_EQ(codes(m.balancer.pending), (std::vector<std::string>{"p1", "a2", "q3"}));
  ASSERT_EQ(prepared.bodies.size(), 1u);
  EXPECT_EQ(codes(prepared.pending), (std::vector<std::string>{"s4", "t6"}));
  EXPECT_EQ(prepared.kept, (std::vector<std::size_t>{0, 2}));
  EXPECT_GE(prepared.pending.capacity(), 4u);  // room for the kept rows: the commit cannot fail

  msg::commit_worker_svm(m, std::move(prepared));
  EXPECT_EQ(codes(m.balancer.pending), (std::vector<std::string>{"s4", "t6", "p1", "q3"}));
  EXPECT_EQ(codes(m.batches.at({0, 1})), (std::vector<std::string>{"s4", "a5", "t6"}));
}

}  // namespace
}  // namespace qel::balance
