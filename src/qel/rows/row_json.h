// JSON rendering of rows against their row type's columns, written straight
// from the rows into one output string.
#pragma once

#include <span>
#include <string>

#include "qel/rows/checked_batch.h"
#include "qel/rows/schema.h"
#include "qel/rows/struct_value.h"
#include "qel/text/text_buffer.h"

namespace qel::rows {

// Appends the group object of `rows` rendered with the columns of `meta`:
//   {"id":..,"name":..,"revision":..,"values":[{row},...]}
// Each row object holds "market", "code", "_stock_code" (the stock code again),
// "time_tag", "granularity" (as an unsigned 32-bit number), then one member per
// column of `meta`, in column order. A slot is rendered by the type it holds,
// whatever the column declares; an empty slot, or a column past the row's
// slots, by the column's declared type: 0, 0.0, "" or [] (null for a column
// of an unknown kind, which has no value to default to). Non-finite doubles
// are null.
// REQUIRES: the rows' texts are valid UTF-8 (as every way into a row ensures).
// On an exception (memory) `out` is left as it was.
void append_group_json(text::TextBuffer& out, const IndexMeta& meta, std::span<const StructValue> rows);
void append_group_json(std::string& out, const IndexMeta& meta, std::span<const StructValue> rows);
// The same over rows held elsewhere. REQUIRES: every pointer is non-null.
void append_group_json(text::TextBuffer& out, const IndexMeta& meta, std::span<const StructValue* const> rows);
void append_group_json(std::string& out, const IndexMeta& meta, std::span<const StructValue* const> rows);
// The same, read straight from a checked batch (rendered with its own meta)
// as the rows decoding it would build; consumes the batch's cursors.
void append_group_json(text::TextBuffer& out, CheckedBatch& batch);
void append_group_json(std::string& out, CheckedBatch& batch);

// The rendering of a fetch reply: {"data":{"":[group]}} with the group of all
// `rows` under the meta of the first row's (namespace, meta id); {"data":{}}
// when there are no rows, no catalog or no such meta.
void render_fetch_json(text::TextBuffer& out, const IndexSchemaCatalog* catalog, std::span<const StructValue> rows);
std::string render_fetch_json(const IndexSchemaCatalog* catalog, std::span<const StructValue> rows);

}  // namespace qel::rows
