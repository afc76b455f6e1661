// Rows kept through a catalog, on the binding's side: a serializer argument as the catalog it holds now, and the
// methods of a class that keeps compressed rows and the catalog to read them with. Every file that converts a
// catalog includes this one (the generic conversions refuse a shared pointer at compile time).
#pragma once

#include <utility>
#include <vector>

#include "pyostrel/bind/message.h"
#include "pyostrel/py_arrow.h"
#include "qel/msg/row_blob.h"
#include "qel/rows/index_serializer.h"

namespace pyostrel::bind {

// An IndexSerializer argument, as the catalog snapshot it holds now.
template <>
struct Arg<qel::rows::CatalogSnapshot> {
  static bool convert(PyObject* obj, qel::rows::CatalogSnapshot& out) noexcept {
    Shared<qel::rows::IndexSerializer> in;
    if (!in.acquire(obj)) return false;
    out = in->snapshot;
    return true;
  }
};
template <Dir D>
struct PyType<qel::rows::CatalogSnapshot, D> {
  static std::string text() { return class_annotation<qel::rows::IndexSerializer>(); }
};

}  // namespace pyostrel::bind

namespace pyostrel {

template <class T>
void set_compressor_of(T& m, qel::rows::CatalogSnapshot catalog) {
  qel::msg::attach_catalog(m, std::move(catalog));
}

// How a holder's getter reads its row set M.
enum class RowsBy {
  kTake,    // RowSet::take, through the holder's catalog while the rows wait for one
  kOrNone,  // anew through the holder's catalog; none when they cannot be had
  kStrict,  // anew through the holder's catalog; raises without one, or when they do not decode
};

template <class T, auto M>
std::vector<qel::rows::StructValue> taken_rows_of(T& m) {
  if constexpr (requires { m.catalog; }) return (m.*M).take(m.catalog);
  return (m.*M).take();
}
template <class T, auto M>
std::vector<qel::rows::StructValue> rows_or_none_of(const T& m) {
  return (m.*M).read_or_none(m.catalog);
}

// The rows of a row-set member, decoded through the message's catalog.
template <class T, auto M>
std::vector<qel::rows::StructValue> blob_rows_of(const T& m) {
  return qel::msg::blob_rows(m.*M, m.catalog, "results");
}
template <class T, auto M>
void set_blob_rows_of(T& m, bind::SharedList<qel::rows::StructValue> rows) {
  m.*M = qel::msg::rows_blob(rows.refs(), m.catalog, "set_results");
}

// set_compressor(compressor): keeps the serializer's current catalog in the member `catalog` (attach_catalog).
template <class T>
bind::Message<T>& compressor(bind::Message<T>& cls, const char* doc = "Keeps the serializer's current catalog for the rows.") {
  return cls.template method<&set_compressor_of<T>>("set_compressor", {"compressor"}, "", doc);
}

// The getter `name` of the row set M, reading it as R says, and its __arrow_c_stream__: the entry every holder of
// rows of one schema row shares.
template <auto M, RowsBy R = RowsBy::kTake, class T>
bind::Message<T>& row_set(bind::Message<T>& cls, const char* name, const char* doc) {
  constexpr auto get = [] {
    if constexpr (R == RowsBy::kTake) return &taken_rows_of<T, M>;
    if constexpr (R == RowsBy::kOrNone) return &rows_or_none_of<T, M>;
    if constexpr (R == RowsBy::kStrict) return &blob_rows_of<T, M>;
  }();
  return cls.template method<get>(name, {}, "", doc)
      .template method<&row_set_arrow<T, M>>("__arrow_c_stream__", {"requested_schema=None"}, "__arrow_c_stream__: ",
                                             kArrowStreamDoc);
}

// results() and set_results(rows) for the row-set member M, through the catalog set_compressor keeps.
template <auto M, class T>
bind::Message<T>& row_blob(bind::Message<T>& cls) {
  return row_set<M, RowsBy::kStrict>(cls, "results", "The rows, decoded through the kept catalog.")
      .template method<&set_blob_rows_of<T, M>>("set_results", {"rows"}, "",
                                                "Replaces the rows, compressed through the kept catalog.");
}

}  // namespace pyostrel
