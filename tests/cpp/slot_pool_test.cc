// Slot memory: freed blocks come back for the same size class, and rows may
// be built on one thread and dropped on another, before or after it exits.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "qel/rows/slot_pool.h"
#include "qel/rows/struct_value.h"

namespace qel::rows {
namespace {

TEST(SlotPool, FreedBlocksServeTheirSizeClassAgain) {
  if (!kSlotPoolOn) GTEST_SKIP() << "blocks go straight back to the heap under AddressSanitizer";
  void* a = slot_allocate(200);
  slot_deallocate(a, 200);
  EXPECT_EQ(slot_allocate(193), a);  // same 16-byte class
  void* b = slot_allocate(208);      // the next class is not served from it
  EXPECT_NE(b, a);
  slot_deallocate(a, 193);
  slot_deallocate(b, 208);
  void* big = slot_allocate(kLargestPooled + 1);  // beyond the classes: plain heap
  slot_deallocate(big, kLargestPooled + 1);
}

std::vector<StructValue> rows_with_lists(std::size_t n) {
  std::vector<StructValue> rows(n);
  for (std::size_t i = 0; i < n; ++i) {
    rows[i].fields.resize(3);
    rows[i].set<DataType::VDouble>(0, std::vector<double>(i % 7, 1.5));
    rows[i].set<DataType::String>(1, std::string(i % 40, 'x'));
    rows[i].set<DataType::VString>(2, std::vector<std::string>(i % 3, std::string(30, 'y')));
  }
  return rows;
}

TEST(SlotPool, RowsOutliveAndCrossTheirThreads) {
  std::vector<StructValue> built;
  std::thread maker([&] { built = rows_with_lists(5000); });
  maker.join();  // its pool is drained; the rows still own their blocks
  const std::vector<StructValue> expected = rows_with_lists(5000);
  EXPECT_EQ(built, expected);
  std::thread dropper([rows = std::move(built)]() mutable { rows.clear(); });
  dropper.join();  // frees into a pool that is then drained
  EXPECT_EQ(rows_with_lists(5000), expected);
}

}  // namespace
}  // namespace qel::rows
