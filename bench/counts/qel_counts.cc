// Instruction counts of the hot paths, for `make bench` to run under
// callgrind: unlike times on a shared machine they repeat exactly, so a
// regression of a few percent shows. Each mode builds its input, then does the
// work once inside qel_counted(), the only function callgrind is told to count.
//
//   valgrind --tool=callgrind --toggle-collect=qel_counted qel_counts MODE
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "qel/arrow/export.h"
#include "qel/rows/checked_batch.h"
#include "qel/rows/index_serializer.h"
#include "qel/rows/row_json.h"
#include "qel/text/double_text.h"
#include "qel/text/text_buffer.h"
#include "qel/wire/scratch_buffer.h"

#include "../cpp/workload.h"

namespace {

using namespace qel;

constexpr std::size_t kDoubles = 100'000;
constexpr std::size_t kJsonRows = 10'000;
constexpr std::size_t kBatchRows = 100'000;

// Text written as the module writes it into a bytes object: grown, never zero-filled.
class HeapTextBuffer final : public text::TextBuffer {
 public:
  HeapTextBuffer() = default;
  ~HeapTextBuffer() { std::free(data_); }

 private:
  void regrow(std::size_t n) override {
    void* p = std::realloc(data_, n);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = n;
  }
};

std::vector<const rows::StructValue*> refs_of(const std::vector<rows::StructValue>& rows) {
  std::vector<const rows::StructValue*> refs;
  for (const rows::StructValue& r : rows) refs.push_back(&r);
  return refs;
}

}  // namespace

extern "C" [[gnu::noinline]] void qel_counted(const std::function<void()>& work) { work(); }

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  std::mt19937_64 rng(20240102);
  std::size_t units = 0;
  const char* unit = "";
  const bool scaled_input = mode == "formatter_scaled" || mode == "to_chars_scaled";
  if (scaled_input || mode == "formatter_random" || mode == "to_chars_random") {
    std::vector<double> values;
    std::vector<std::int64_t> scaled;
    while (values.size() < kDoubles) {
      if (scaled_input) {
        const auto s = static_cast<std::int64_t>(rng() % 50'000'000) + 100;
        scaled.push_back(s);
        values.push_back(rows::unscale(s, values.size() % 2 ? 2 : 4));
      } else if (const double v = std::bit_cast<double>(rng()); std::isfinite(v)) {
        values.push_back(v);
      }
    }
    std::vector<char> out(kDoubles * text::kDoubleTextRoom);
    char* p = out.data();
    if (mode == "formatter_scaled") {
      qel_counted([&] {
        for (std::size_t i = 0; i < kDoubles; ++i) p = text::write_json_scaled(p, scaled[i], i % 2 ? 2 : 4, values[i]);
      });
    } else if (mode == "formatter_random") {
      qel_counted([&] {
        for (std::size_t i = 0; i < kDoubles; ++i) p = text::write_double(p, values[i]);
      });
    } else {
      qel_counted([&] {
        for (std::size_t i = 0; i < kDoubles; ++i) p = std::to_chars(p, p + text::kDoubleTextRoom, values[i]).ptr;
      });
    }
    units = kDoubles;
    unit = "double";
  } else if (mode == "json_rows" || mode == "json_batch") {
    const rows::IndexSchemaCatalog catalog = bench::make_catalog();
    const std::vector<rows::StructValue> rows = bench::make_rows(kJsonRows, 20240102);
    HeapTextBuffer out;
    if (mode == "json_rows") {
      qel_counted([&] { rows::render_fetch_json(out, &catalog, rows); });
    } else {
      const std::string blob = rows::compress(catalog, refs_of(rows));
      wire::ScratchBuffer::Lease lease;
      std::vector<rows::CheckedBatch> batches = rows::check_set(catalog, wire::as_bytes(blob), lease);
      qel_counted([&] { rows::append_group_json(out, batches.front()); });
    }
    units = kJsonRows;
    unit = "row";
  } else if (mode == "json_set") {
    // decode_to_json's work: the set decompressed and checked, then rendered from its bytes.
    const rows::IndexSchemaCatalog catalog = bench::make_catalog();
    const std::vector<rows::StructValue> rows = bench::make_rows(kJsonRows, 20240102);
    const std::string blob = rows::compress(catalog, refs_of(rows));
    HeapTextBuffer out;
    qel_counted([&] {
      wire::ScratchBuffer::Lease lease;
      std::vector<rows::CheckedBatch> batches = rows::check_set(catalog, wire::as_bytes(blob), lease);
      rows::append_group_json(out, batches.front());
    });
    units = kJsonRows;
    unit = "row";
  } else if (mode == "arrow") {
    const rows::IndexSchemaCatalog catalog = bench::make_catalog();
    const std::vector<rows::StructValue> rows = bench::make_rows(kBatchRows, 20240102);
    const std::string blob = rows::compress(catalog, refs_of(rows));
    qel_counted([&] {
      ArrowArrayStream stream;
      arrow::export_stream(catalog, wire::as_bytes(blob), &stream);
      stream.release(&stream);
    });
    units = kBatchRows;
    unit = "row";
  } else if (mode == "compress" || mode == "decompress") {
    const rows::IndexSchemaCatalog catalog = bench::make_catalog();
    const std::vector<rows::StructValue> rows = bench::make_rows(kBatchRows, 20240102);
    const std::vector<const rows::StructValue*> refs = refs_of(rows);
    if (mode == "compress") {
      std::string blob;
      qel_counted([&] { blob = rows::compress(catalog, refs); });
    } else {
      const std::string blob = rows::compress(catalog, refs);
      std::vector<rows::StructValue> back;
      qel_counted([&] { back = rows::decompress(catalog, wire::as_bytes(blob)); });
    }
    units = kBatchRows;
    unit = "row";
  } else {
    std::fprintf(stderr,
                 "usage: qel_counts formatter_random|to_chars_random|formatter_scaled|to_chars_scaled|json_rows|json_batch|"
                 "json_set|arrow|compress|decompress\n");
    return 2;
  }
  std::printf("%s: %zu %ss\n", mode.c_str(), units, unit);
  return 0;
}
