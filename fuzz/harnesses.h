// libFuzzer harness bodies, shared by the fuzz executables and the corpus replay test.
//
// Each harness accepts arbitrary bytes. The documented qel errors of the code under
// test are caught; anything else (a crash, a sanitizer report, another exception, a
// broken invariant, which aborts) is a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace qel::rows {
struct IndexMeta;
struct IndexSchemaCatalog;
}  // namespace qel::rows

namespace qel::fuzz {

// parse_frame, parse_whole_frame and NetPackage::decode_raw over a frame stream;
// every frame cut must re-encode to its own bytes.
void fuzz_frame_parse(const std::uint8_t* data, std::size_t size);

// RawFrameReader fed in pieces whose sizes derive from the first two bytes;
// it must cut what a one-shot parse of the same stream cuts.
void fuzz_raw_frame_reader(const std::uint8_t* data, std::size_t size);

// The WebSocket path: a raw Snappy block holding one frame, decoded into a
// NetPackage, then re-encoded and decoded again. The Snappy library's decoder
// is the reference for what a block holds.
void fuzz_package_decode(const std::uint8_t* data, std::size_t size);

// FrameHeader::decode over consecutive headers.
void fuzz_header_decode(const std::uint8_t* data, std::size_t size);

// load_schema over a schema binary; a loaded catalog must survive save and load,
// and its name index must pick the highest revision of each name.
void fuzz_schema_load(const std::uint8_t* data, std::size_t size);

// The schema of the two batch harnesses comes first: a head byte (low nibble
// % 9 columns; bit 7 set registers it under a key the batches do not name),
// then a byte per column (high nibble the kind code, 0 and 9..15 being Other;
// low nibble % 13 the precision). The catalog holds it under the key(s) that
// the batch header(s) of the rest of the input name.
//
// deserialize of one batch; rows that decode must serialize and decode again
// to themselves.
void fuzz_batch_deserialize(const std::uint8_t* data, std::size_t size);

// decompress of a Snappy-compressed batch set; rows that decode must compress
// and decompress to themselves, grouped by ascending (namespace, meta id). The
// set then goes through check_arrow_export, the schema as the empty meta.
void fuzz_batch_set_decompress(const std::uint8_t* data, std::size_t size);

// The market-time functions over a calendar read from the input (big-endian):
// i32 time zone; a flag byte (bit 0 ignore_weekend, bits 1-3 which of
// trading_period, after_weekend, after_holiday exist, bits 4-7 the holiday
// count); per existing policy a count byte (% 4) and that many (i32, i32)
// sections; the i32 holidays. Then calls of 13 bytes each: an op byte (low
// nibble the function, bits 4-5 % 3 the pattern, bit 6 tm_as_of_eod), an i64
// instant in ms (clamped as the Python layer clamps it) and a u32 granularity
// (or trade day).
void fuzz_market_time(const std::uint8_t* data, std::size_t size);

// load_market_meta_from_json_str over the input as a bundle; only its
// documented messages may fail it, and a loaded bundle's rows must have the
// parts' slot counts, one vector element per row and rendered texts that parse.
void fuzz_market_meta(const std::uint8_t* data, std::size_t size);

// Commission::load over the input; a failure changes no rate, and loaded rates
// written back as JSON load to themselves.
void fuzz_commission(const std::uint8_t* data, std::size_t size);

// KestrinConfig::load_from_json_text over the input; a refusal or a text that
// is not JSON changes nothing, and a loaded configuration written back as JSON
// loads to itself.
void fuzz_client_config(const std::uint8_t* data, std::size_t size);

// The message decoders (trading server, backtest, accounts, calculator, data
// ring, storage-master history): the first byte picks one (modulo the table in
// harnesses_messages.cc, whose entries seeds name), the rest is its body. A strict
// decode either throws a codec error and changes nothing or re-encodes to the
// bytes it consumed; lenient decodes and their rows and JSON never throw. The
// row-carrying replies decode through a fixed catalog: (0, 17) int, double
// (2 places), string, Other; (1, 5) the kinds 1..8 in order, precisions 0 4 0
// 0 2 0 0 0. The entry "arrow.export_stream" takes a byte, then a compressed
// set for check_arrow_export through that catalog, the byte added to every
// Double and VDouble precision (modulo 13), an odd byte passing (0, 17) as the
// empty meta.
void fuzz_messages(const std::uint8_t* data, std::size_t size);
// The names of that table, in selector order.
std::vector<std::string_view> message_decoder_names();

// arrow::export_stream of a compressed set, read back through the C data
// interface: when decompress refuses the set, the export refuses it with the
// same text; rows of several (namespace, meta id) are refused naming each;
// otherwise the stream owns everything (catalog, blob and empty_meta are gone
// before it is read) and holds the decoded rows in order, value for value
// (doubles bit for bit, absent slots as nulls), under the rows' schema, or
// empty_meta's when there are none.
void check_arrow_export(const rows::IndexSchemaCatalog& catalog, std::span<const std::uint8_t> blob,
                        const rows::IndexMeta* empty_meta);

struct Harness {
  const char* name;  // fuzz/fuzz_<name>.cc, fuzz/corpus/<name>/
  void (*run)(const std::uint8_t*, std::size_t);
};

inline constexpr Harness kHarnesses[] = {
    {"frame_parse", &fuzz_frame_parse},
    {"raw_frame_reader", &fuzz_raw_frame_reader},
    {"package_decode", &fuzz_package_decode},
    {"header_decode", &fuzz_header_decode},
    {"schema_load", &fuzz_schema_load},
    {"batch_deserialize", &fuzz_batch_deserialize},
    {"batch_set_decompress", &fuzz_batch_set_decompress},
    {"market_time", &fuzz_market_time},
    {"market_meta", &fuzz_market_meta},
    {"commission", &fuzz_commission},
    {"client_config", &fuzz_client_config},
    {"messages", &fuzz_messages},
};

}  // namespace qel::fuzz
