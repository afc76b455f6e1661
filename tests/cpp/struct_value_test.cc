// Slots: every type survives copy, move and assignment; texts on both sides
// of the in-slot limit; lists own their elements.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "qel/rows/struct_value.h"

namespace qel::rows {
namespace {

std::vector<FieldValue> one_of_each() {
  return {FieldValue{},
          FieldValue{std::int32_t{-7}},
          FieldValue{2.5},
          FieldValue{std::string(14, 'a')},  // the longest text kept in the slot
          FieldValue{std::string(15, 'b')},  // the shortest one on the heap
          FieldValue{std::vector<std::int32_t>{1, -2, 3}},
          FieldValue{std::vector<double>{0.5}},
          FieldValue{std::vector<std::string>{"x", std::string(40, 'y'), ""}},
          FieldValue{std::int64_t{1} << 40},
          FieldValue{std::vector<std::int64_t>{}}};
}

TEST(FieldValueSlot, CopiesAreDeepAndMovesLeaveEmpty) {
  const std::vector<FieldValue> originals = one_of_each();
  for (const FieldValue& v : originals) {
    SCOPED_TRACE(data_type_name(v.type()));
    FieldValue copy = v;
    EXPECT_EQ(copy, v);
    FieldValue moved = std::move(copy);
    EXPECT_EQ(moved, v);
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): moved-from slots are Empty
    FieldValue assigned{std::string(30, 'z')};
    assigned = moved;
    EXPECT_EQ(assigned, v);
    const FieldValue& self = assigned;
    assigned = self;  // self-assignment keeps the value
    EXPECT_EQ(assigned, v);
  }
  EXPECT_EQ(originals[3].view<DataType::String>(), std::string(14, 'a'));
  EXPECT_EQ(originals[4].view<DataType::String>(), std::string(15, 'b'));
  EXPECT_EQ(originals[7].view<DataType::VString>()[1], std::string(40, 'y'));
}

TEST(FieldValueSlot, EqualityNeedsSameTypeAndContent) {
  const std::vector<FieldValue> all = one_of_each();
  for (std::size_t i = 0; i < all.size(); ++i) {
    for (std::size_t j = 0; j < all.size(); ++j) EXPECT_EQ(all[i] == all[j], i == j) << i << " " << j;
  }
  EXPECT_NE(FieldValue{std::int32_t{1}}, FieldValue{std::int64_t{1}});
  EXPECT_NE(FieldValue{std::nan("")}, FieldValue{std::nan("")});
  EXPECT_NE(FieldValue(std::vector<double>{1.0}), FieldValue(std::vector<double>{1.0, 2.0}));
}

TEST(FieldValueSlot, ListsAreWritableInPlaceWithoutTouchingCopies) {
  FieldValue a{std::vector<double>{1.0, 2.0}};
  const FieldValue b = a;
  a.elements<DataType::VDouble>()[1] = 9.0;
  EXPECT_EQ(a, FieldValue(std::vector<double>{1.0, 9.0}));
  EXPECT_EQ(b, FieldValue(std::vector<double>{1.0, 2.0}));
  FieldValue filled = FieldValue::uninitialized_list<DataType::VInt>(2);
  filled.elements<DataType::VInt>()[0] = 4;
  filled.elements<DataType::VInt>()[1] = 5;
  EXPECT_EQ(filled, FieldValue(std::vector<std::int32_t>{4, 5}));
}

TEST(StructValueSlots, TypedAccessChecksPositionAndType) {
  StructValue row;
  row.fields.resize(2);
  row.set<DataType::String>(0, std::string(20, 'q'));
  EXPECT_EQ(row.get<DataType::String>(0, "string"), std::string(20, 'q'));
  EXPECT_THROW(row.get<DataType::Int>(0, "int"), Error);
  EXPECT_THROW(row.get<DataType::Int>(2, "int"), Error);
  StructValue copy = row;
  row.set<DataType::Int>(0, 3);
  EXPECT_EQ(copy.get<DataType::String>(0, "string"), std::string(20, 'q'));
  EXPECT_NE(copy, row);
}

}  // namespace
}  // namespace qel::rows
