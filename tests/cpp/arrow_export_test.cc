// The Arrow export's ownership rules: buffers aligned and owned by the arrays, a stream that outlives its
// input, released parts that stay released, and refusals that allocate nothing.
#include <gtest/gtest.h>

#include "error_text.h"

#include <cstdint>
#include <string>
#include <vector>

#include "qel/arrow/export.h"

namespace qel::arrow {
namespace {

using rows::StructValue;
using test_support::error_text;

rows::IndexSchemaCatalog catalog_of(std::vector<std::uint32_t> ids) {
  rows::IndexSchemaCatalog c;
  for (std::uint32_t id : ids) {
    rows::IndexMeta m;
    m.name = "bar." + std::to_string(id);
    m.id = id;
    m.namespace_ = 1;
    m.fields = {{"close", 0, 2, 0, {2}, 0}, {"name", 1, 0, 0, {3}, 0}, {"odd", 2, 0, 0, {9}, 0}};
    c.metas[{1, id}] = m;
  }
  return c;
}

StructValue row(std::uint32_t meta, std::uint64_t t) {
  StructValue r;
  r.namespace_ = 1;
  r.meta_id = static_cast<std::int32_t>(meta);
  r.market = "SH";
  r.stock_code = "600000";
  r.time_tag = t;
  r.fields.emplace_back(1.25 * static_cast<double>(t));
  if (t % 2) {
    r.fields.emplace_back("x");
  } else {
    r.fields.emplace_back();
  }
  r.fields.emplace_back();
  return r;
}

std::string blob_of(const rows::IndexSchemaCatalog& c, const std::vector<StructValue>& rows) {
  std::vector<const StructValue*> refs;
  for (const StructValue& r : rows) refs.push_back(&r);
  return rows::compress(c, refs);
}

void check_aligned(const ArrowArray& a) {
  for (std::int64_t i = 0; i < a.n_buffers; ++i) {
    if (a.buffers[i] != nullptr) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.buffers[i]) % 64, 0u);
    }
  }
  for (std::int64_t i = 0; i < a.n_children; ++i) check_aligned(*a.children[i]);
}

TEST(ArrowExport, ArraysOutliveTheInputAndOwnAlignedBuffers) {
  ArrowArrayStream stream;
  {
    const auto c = catalog_of({7});
    std::string blob = blob_of(c, {row(7, 1), row(7, 2), row(7, 3)});
    export_stream(c, wire::as_bytes(blob), &stream);
    blob.assign(blob.size(), '\xff');  // nothing may still point into the input
  }
  ArrowSchema schema;
  ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
  EXPECT_STREQ(schema.format, "+s");
  ASSERT_EQ(schema.n_children, 7);
  EXPECT_STREQ(schema.children[2]->format, "tsm:UTC");
  EXPECT_STREQ(schema.children[6]->format, "n");  // a kind the batch format does not carry
  ArrowArray batch;
  ASSERT_EQ(stream.get_next(&stream, &batch), 0);
  ASSERT_NE(batch.release, nullptr);
  EXPECT_EQ(batch.length, 3);
  check_aligned(batch);
  const ArrowArray& close = *batch.children[4];
  EXPECT_EQ(static_cast<const double*>(close.buffers[1])[2], 3.75);
  const ArrowArray& name = *batch.children[5];
  EXPECT_EQ(name.null_count, 1);
  EXPECT_EQ(static_cast<const std::uint8_t*>(name.buffers[0])[0] & 0b111, 0b101);
  EXPECT_EQ(batch.children[6]->null_count, 3);
  ArrowArray end;
  ASSERT_EQ(stream.get_next(&stream, &end), 0);
  EXPECT_EQ(end.release, nullptr);
  // Released in any order; each release leaves its struct marked released.
  stream.release(&stream);
  EXPECT_EQ(stream.release, nullptr);
  batch.release(&batch);
  EXPECT_EQ(batch.release, nullptr);
  schema.release(&schema);
  EXPECT_EQ(schema.release, nullptr);
}

TEST(ArrowExport, AStreamReleasedUnreadFreesItsBatches) {
  const auto c = catalog_of({7});
  const std::string blob = blob_of(c, {row(7, 1)});
  ArrowArrayStream stream;
  export_stream(c, wire::as_bytes(blob), &stream);
  stream.release(&stream);  // the sanitizer build reports anything left behind
  EXPECT_EQ(stream.release, nullptr);
}

TEST(ArrowExport, SeveralRowTypesAreRefusedByName) {
  const auto c = catalog_of({7, 8});
  const std::string blob = blob_of(c, {row(8, 1), row(7, 2)});
  ArrowArrayStream stream{};
  EXPECT_EQ(error_text<Error>([&] { export_stream(c, wire::as_bytes(blob), &stream); }),
            "rows of several schema rows: (1, 7), (1, 8)");
  EXPECT_EQ(stream.release, nullptr);
}

TEST(ArrowExport, NoRowsIsTheHeaderOrTheHintedColumns) {
  const auto c = catalog_of({7});
  for (const rows::IndexMeta* hint : {static_cast<const rows::IndexMeta*>(nullptr), c.lookup(1, 7)}) {
    ArrowArrayStream stream;
    export_stream(c, {}, &stream, hint);
    ArrowSchema schema;
    ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
    EXPECT_EQ(schema.n_children, hint ? 7 : 4);
    ArrowArray end;
    ASSERT_EQ(stream.get_next(&stream, &end), 0);
    EXPECT_EQ(end.release, nullptr);
    schema.release(&schema);
    stream.release(&stream);
  }
}

}  // namespace
}  // namespace qel::arrow
